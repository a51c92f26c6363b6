"""Seed sweeps: one function over many seeds, on any executor."""

import multiprocessing
import os
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from typing import Any, TypeVar

Result = TypeVar("Result")


class SweepError(RuntimeError):
    """A sweep's function raised for one seed; the original error is its cause."""

    def __init__(self, seed: int, error: BaseException) -> None:
        super().__init__(f"seed {seed} failed: {type(error).__name__}: {error}")
        self.seed = seed


def _default_pool(jobs: int) -> ProcessPoolExecutor:
    # Forking a process that runs threads (a progress bar's, a caller's) can
    # deadlock the child; a fork server starts workers from a clean process.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    return ProcessPoolExecutor(max_workers=max(1, min(jobs, os.cpu_count() or 1)), mp_context=context)


def sweep(
    fn: Callable[[int], Result],
    seeds: Iterable[int],
    *,
    executor: Executor | None = None,
    progress: Callable[[int, int], Any] | None = None,
) -> list[Result]:
    """`[fn(seed) for seed in seeds]`, computed in parallel, in seed order.

    The default runs on a local process pool, so `fn` and what it returns
    must pickle (a module-level function, or a functools.partial of one).
    Any concurrent.futures.Executor may be passed instead -- a thread pool,
    or a cluster's, such as Dask's `Client(...).get_executor()` -- and the
    results are the same. `progress(done, total)` is called as seeds finish.
    The first seed to fail (in seed order) raises SweepError naming it.
    """
    seeds = list(seeds)
    own = executor is None
    pool = _default_pool(len(seeds)) if own else executor
    futures: list[Future[Result]] = []
    try:
        futures = [pool.submit(fn, seed) for seed in seeds]
        if progress is not None:
            for done, _ in enumerate(as_completed(futures), 1):
                progress(done, len(seeds))
        results = []
        for seed, future in zip(seeds, futures):
            error = future.exception()
            if error is not None:
                raise SweepError(seed, error) from error
            results.append(future.result())
        return results
    finally:
        for future in futures:
            future.cancel()
        if own:
            pool.shutdown(wait=True, cancel_futures=True)
