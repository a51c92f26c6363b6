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
    run = _Seeds(fn, seeds, executor, own=own, timeout=timeout)
    try:
        while run.start_waiting():
            finished, _ = wait(run.running, timeout=run.next_wait(), return_when=FIRST_COMPLETED)
            run.collect(finished, progress)
            run.expire()
        if run.failures:
            raise run.failures[min(run.failures)]
        return run.results
    finally:
        run.close()


class _Seeds:
    """One sweep's seeds: waiting, running (since when), finished or failed,
    on the pool that runs them."""

    def __init__(
        self, fn: Callable[[int], Any], seeds: list[int], executor: Executor | None, *, own: bool, timeout: float | None
    ):
        self.fn, self.seeds, self.own, self.timeout = fn, seeds, own, timeout
        # Without an executor the seeds run on the default process pool,
        # whose workers say when each seed starts.
        self.processes = executor is None
        self.started = _context().SimpleQueue() if self.processes else None
        self.pool = _default_pool(len(seeds), self.started) if executor is None else executor
        if own or timeout is None:
            self.window = _workers(len(seeds)) if own else len(seeds)
        else:
            self.window = getattr(executor, "_max_workers", None) or len(seeds)
        self.results: list[Any] = [None] * len(seeds)
        self.failures: dict[int, BaseException] = {}
        self.waiting = collections.deque(range(len(seeds)))
        # future -> (index, when it started, or None until its worker says so)
        self.running: dict[Future[Any], tuple[int, float | None]] = {}
        self.generation = 0
        self.done = 0

    def start_waiting(self) -> bool:
        """Starts the seeds the window has room for, none after the first
        failure in seed order; whether any seed before it still runs."""
        first_failure = min(self.failures, default=len(self.seeds))
        while self.waiting and self.waiting[0] < first_failure and (
            self.timeout is None or len(self.running) < self.window
        ):
            index = self.waiting.popleft()
            if self.processes:
                future = self.pool.submit(_run, self.fn, (self.generation, index), self.seeds[index])
            else:
                future = self.pool.submit(self.fn, self.seeds[index])
            self.running[future] = (index, None if self.processes else time.monotonic())
        return any(index < first_failure for index, _ in self.running.values())

    def next_wait(self) -> float | None:
        """How long to wait for a seed to finish before the next one's time
        runs out; short while a worker has not said it started."""
        if self.timeout is None:
            return None
        if self.processes:
            assert self.started is not None
            while not self.started.empty():
                tag = self.started.get()
                for future, (index, _) in self.running.items():
                    if tag == (self.generation, index):
                        self.running[future] = (index, time.monotonic())
        starts = [start for _, start in self.running.values() if start is not None]
        left = max(0.0, min(starts) + self.timeout - time.monotonic()) if starts else None
        if len(starts) < len(self.running):
            left = 0.05 if left is None else min(left, 0.05)
        return left

    def collect(self, finished: Iterable[Future[Any]], progress: Callable[[int, int], Any] | None) -> None:
        for future in finished:
            index, _ = self.running.pop(future)
            try:
                self.results[index] = future.result()
            except BaseException as error:
                self.failures[index] = _failure(self.seeds[index], error)
            self.done += 1
            if progress is not None:
                progress(self.done, len(self.seeds))

    def expire(self) -> None:
        """Fails the seeds past their time."""
        if self.timeout is None:
            return
        now = time.monotonic()
        late = [(f, i) for f, (i, start) in self.running.items() if start is not None and now - start >= self.timeout]
        for future, index in late:
            del self.running[future]
            future.cancel()
            late_error = TimeoutError(f"seed {self.seeds[index]!r} ran past its {self.timeout} s")
            self.failures[index] = _failure(self.seeds[index], late_error)
        if late and self.processes:
            # A pool cannot stop one worker: all go, and the seeds still
            # running start again on a fresh pool.
            self.waiting.extendleft(sorted((index for index, _ in self.running.values()), reverse=True))
            self.running.clear()
            _kill(self.pool)
            # A worker ended inside a put may hold the queue's lock.
            self.generation += 1
            self.started = _context().SimpleQueue()
            self.pool = _default_pool(len(self.seeds), self.started)

    def close(self) -> None:
        for future in self.running:
            future.cancel()
        if self.processes and self.running:
            _kill(self.pool)
        elif self.processes or self.own:
            self.pool.shutdown(wait=not self.running, cancel_futures=True)
