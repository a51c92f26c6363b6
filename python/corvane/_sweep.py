"""Run one function over many seeds, in parallel, results in seed order."""

import multiprocessing
import os
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from typing import Any, TypeVar

Result = TypeVar("Result")


def _default_pool(jobs: int) -> ProcessPoolExecutor:
    # Forking a process that runs threads (a progress bar's, a caller's) can
    # deadlock the child; a fork server starts workers from a clean process.
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    workers = max(1, min(jobs, os.cpu_count() or 1))
    return ProcessPoolExecutor(max_workers=workers, mp_context=context)


def sweep(
    fn: Callable[[int], Result],
    seeds: Iterable[int],
    *,
    executor: Executor | None = None,
    progress: Callable[[int, int], Any] | None = None,
) -> list[Result]:
    """fn(seed) for every seed, as a list in the order of `seeds`.

    Runs on `executor` (any concurrent.futures.Executor: a thread pool, or a
    cluster's, such as Dask's `Client(...).get_executor()`), by default a
    local process pool, so `fn` must pickle: a module-level function or a
    functools.partial of one. `progress`, when given, is called as
    progress(done, total) as seeds finish. The first failure in seed order
    is re-raised, its type kept, with a note naming its seed; the seeds not
    yet started are cancelled.
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
            try:
                results.append(future.result())
            except BaseException as error:
                error.add_note(f"while running seed {seed!r}")
                raise
        return results
    finally:
        for future in futures:
            future.cancel()
        if own:
            pool.shutdown(wait=True, cancel_futures=True)
