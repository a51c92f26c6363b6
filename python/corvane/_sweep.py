"""Run one function over many seeds, in parallel, results in seed order."""

import collections
import functools
import multiprocessing
import os
import sys
import time
import warnings
from collections.abc import Callable, Iterable
from concurrent.futures import FIRST_COMPLETED, Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor, wait
from typing import Any, TypeVar

Result = TypeVar("Result")

_warned_main = False


def _context() -> Any:
    # Forking a process that runs threads (a progress bar's, a caller's) can
    # deadlock the child; a fork server starts workers from a clean process.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


# In a worker of the default pool: where it says which seed it starts, so
# that a seed's time leaves out the worker's start and its imports.
_started: Any = None


def _remember(started: Any) -> None:
    global _started
    _started = started


def _run(fn: Callable[[int], Result], tag: tuple[int, int], seed: int) -> Result:
    _started.put(tag)
    return fn(seed)


def _default_pool(jobs: int, started: Any) -> ProcessPoolExecutor:
    return ProcessPoolExecutor(
        max_workers=_workers(jobs), mp_context=_context(), initializer=_remember, initargs=(started,)
    )


def _workers(jobs: int) -> int:
    return max(1, min(jobs, os.cpu_count() or 1))


def _importable(fn: Callable[..., Any]) -> bool:
    """Whether a worker process can import `fn` and whatever a partial of it
    binds (a back-test's policy): not what was defined in a __main__ that has
    no file (a notebook, `python -c`, `python -`)."""
    if getattr(sys.modules.get("__main__"), "__file__", None) is not None:
        return True
    pending: list[Any] = [fn]
    while pending:
        item = pending.pop()
        if isinstance(item, functools.partial):
            pending += [item.func, *item.args, *item.keywords.values()]
        elif callable(item) and getattr(item, "__module__", None) == "__main__":
            return False
    return True


def _kill(pool: Executor) -> None:
    """Ends a pool whose worker will not come back: its processes are
    terminated, so no hung worker outlives the sweep."""
    # The executor keeps no public handle on its processes.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        process.terminate()
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.join()


def _failure(seed: int, error: BaseException) -> BaseException:
    # A worker's exit is its seed's failure, never the caller's.
    if isinstance(error, SystemExit):
        wrapped = RuntimeError(f"fn({seed!r}) called exit({error.code!r})")
        wrapped.__cause__ = error
        return wrapped
    error.add_note(f"while running seed {seed!r}")
    return error


def sweep(
    fn: Callable[[int], Result],
    seeds: Iterable[int],
    *,
    executor: Executor | None = None,
    progress: Callable[[int, int], Any] | None = None,
    timeout: float | None = None,
) -> list[Result]:
    """fn(seed) for every seed, as a list in the order of `seeds`.

    Runs on `executor` (any concurrent.futures.Executor: a thread pool, or a
    cluster's, such as Dask's `Client(...).get_executor()`), by default a
    local process pool, so `fn` must pickle: a module-level function or a
    functools.partial of one. A function workers cannot import (defined in a
    notebook, `python -c` or `python -`) runs on threads instead, with a
    RuntimeWarning; Engine.run_session and Engine.run_days release the
    interpreter lock while they simulate, so a function spending its time in
    them still runs in parallel there. `progress`, when given, is called as
    progress(done, total) as seeds finish.

    `timeout`, in seconds, bounds each seed from its start: a seed past it
    fails with TimeoutError. On the default pool its worker is ended and the
    pool rebuilt; on threads or a caller's executor the work cannot be
    stopped, so its result is abandoned while it runs on. A caller's
    executor runs as many seeds at once as its `_max_workers` says (all,
    when it does not say), and each seed's time counts from then.

    The first failure in seed order is raised, its type kept, with a note
    naming its seed (a SystemExit in `fn` arrives as a RuntimeError naming
    it); the seeds not yet started are cancelled.
    """
    global _warned_main
    seeds = list(seeds)
    own = executor is None
    if own and not _importable(fn):
        if not _warned_main:
            _warned_main = True
            warnings.warn(
                "sweep: fn (or a function it binds, such as a back-test's policy) is defined "
                "in __main__ without a file (a notebook, python -c or python -), which worker "
                "processes cannot import, so it runs on threads; define it in a module to run "
                "on processes",
                RuntimeWarning,
                stacklevel=2,
            )
        executor = ThreadPoolExecutor(_workers(len(seeds)))
    processes = executor is None
    started = _context().SimpleQueue() if processes else None
    pool = _default_pool(len(seeds), started) if executor is None else executor
    if own or timeout is None:
        window = _workers(len(seeds)) if own else len(seeds)
    else:
        window = getattr(executor, "_max_workers", None) or len(seeds)

    results: list[Any] = [None] * len(seeds)
    failures: dict[int, BaseException] = {}
    waiting = collections.deque(range(len(seeds)))
    # future -> (index, when it started, or None until its worker says so)
    running: dict[Future[Any], tuple[int, float | None]] = {}
    generation = 0
    done = 0

    def submit(index: int) -> Future[Any]:
        if processes:
            return pool.submit(_run, fn, (generation, index), seeds[index])
        return pool.submit(fn, seeds[index])

    try:
        while True:
            # Nothing after the first failure in seed order is started.
            first_failure = min(failures, default=len(seeds))
            while waiting and waiting[0] < first_failure and (timeout is None or len(running) < window):
                index = waiting.popleft()
                running[submit(index)] = (index, None if processes else time.monotonic())
            if not any(index < first_failure for index, _ in running.values()):
                break
            left = None
            if timeout is not None:
                if processes:
                    assert started is not None
                    while not started.empty():
                        tag = started.get()
                        for future, (index, _) in running.items():
                            if tag == (generation, index):
                                running[future] = (index, time.monotonic())
                starts = [start for _, start in running.values() if start is not None]
                left = max(0.0, min(starts) + timeout - time.monotonic()) if starts else None
                if len(starts) < len(running):
                    left = 0.05 if left is None else min(left, 0.05)
            finished, _ = wait(running, timeout=left, return_when=FIRST_COMPLETED)
            for future in finished:
                index, _ = running.pop(future)
                try:
                    results[index] = future.result()
                except BaseException as error:
                    failures[index] = _failure(seeds[index], error)
                done += 1
                if progress is not None:
                    progress(done, len(seeds))
            if timeout is None:
                continue
            now = time.monotonic()
            late = [(f, index) for f, (index, start) in running.items() if start is not None and now - start >= timeout]
            for future, index in late:
                del running[future]
                future.cancel()
                late_error = TimeoutError(f"seed {seeds[index]!r} ran past its {timeout} s")
                failures[index] = _failure(seeds[index], late_error)
            if late and processes:
                # A pool cannot stop one worker: all go, and the seeds still
                # running start again on a fresh pool.
                waiting.extendleft(sorted((index for index, _ in running.values()), reverse=True))
                running.clear()
                _kill(pool)
                # A worker ended inside a put may hold the queue's lock.
                generation += 1
                started = _context().SimpleQueue()
                pool = _default_pool(len(seeds), started)
        if failures:
            raise failures[min(failures)]
        return results
    finally:
        for future in running:
            future.cancel()
        if processes and running:
            _kill(pool)
        elif processes or own:
            pool.shutdown(wait=not running, cancel_futures=True)
