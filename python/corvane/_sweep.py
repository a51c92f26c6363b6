"""Run one function over many seeds, in parallel, results in seed order."""

import concurrent.futures
import os


def sweep(fn, seeds, *, executor=None, progress=None):
    """fn(seed) for every seed, as a list in the order of `seeds`.

    Runs on `executor` (any concurrent.futures.Executor), by default a local
    process pool, so `fn` must pickle: a module-level function or a
    functools.partial of one. `progress`, when given, is called as
    progress(done, total) after each result. A failure is re-raised with a
    note naming its seed; the seeds not yet started are cancelled.
    """
    seeds = list(seeds)
    own = executor is None
    if own:
        workers = max(1, min(len(seeds), os.cpu_count() or 1))
        executor = concurrent.futures.ProcessPoolExecutor(max_workers=workers)
    try:
        futures = [executor.submit(fn, seed) for seed in seeds]
        results = []
        for seed, future in zip(seeds, futures):
            try:
                results.append(future.result())
            except BaseException as error:
                for rest in futures:
                    rest.cancel()
                error.add_note(f"while running seed {seed!r}")
                raise
            if progress is not None:
                progress(len(results), len(seeds))
        return results
    finally:
        if own:
            executor.shutdown(cancel_futures=True)
