"""How much faster a batch runs on two threads than on one.

An EngineBatch of 64 seeds over 100 generated instruments runs one whole
day, alternately with threads=1 and threads=2 (five rounds each, fresh
batches), and reports the median wall time of each, their ratio, and
whether both thread counts reached the same prices bit for bit.

    python bench/batch_threads_bench.py [--seeds N] [--size N] [--rounds N]
"""

import argparse
import statistics
import time

import corvane


def one_day(seeds, universe, threads):
    batch = corvane.EngineBatch(seeds=list(range(seeds)), universe=universe, threads=threads)
    started = time.perf_counter()
    batch.run_days(1)
    return time.perf_counter() - started, batch.prices()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seeds", type=int, default=64)
    parser.add_argument("--size", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    universe = corvane.random_instruments(options.size, seed=0)
    times = {1: [], 2: []}
    prices = {}
    for _ in range(options.rounds):
        for threads in (1, 2):
            seconds, prices[threads] = one_day(options.seeds, universe, threads)
            times[threads].append(seconds)
    one, two = statistics.median(times[1]), statistics.median(times[2])
    print(f"{options.seeds} seeds x {options.size} instruments, one day, median of {options.rounds}")
    print(f"threads=1 {one:.3f} s, threads=2 {two:.3f} s: {one / two:.2f}x (target at least 1.7x)")
    print(f"same bits on both: {prices[1] == prices[2]}")


if __name__ == "__main__":
    main()
