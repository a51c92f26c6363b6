"""What a fork costs beside a state snapshot.

An engine over 100 generated instruments runs 20 recorded days under
kx-v14; then, at the day boundary and again 195 ticks into the next day,
times `Engine.fork()` against `Engine.state_snapshot()` of the same engine
(the median of five rounds of many calls each). The recorded days, the
order log and the day's finished sessions are shared, not copied, so a fork
should cost at most twice a snapshot.

    python bench/fork_bench.py [--rounds N]
"""

import argparse
import statistics
import time

import corvane

SIZE, DAYS, SEED, CALLS = 100, 20, 7, 200


def median(call, rounds):
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        for _ in range(CALLS):
            call()
        times.append((time.perf_counter() - started) / CALLS)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    engine = corvane.Engine(seed=SEED, universe=corvane.random_instruments(SIZE, seed=0), model="kx-v14")
    engine.run_days(DAYS)
    worst = 0.0
    for label, step in (("day boundary", None), ("mid-day", 195)):
        if step:
            engine.run_session(ticks=step)
        fork = median(engine.fork, rounds)
        snapshot = median(engine.state_snapshot, rounds)
        ratio = fork / snapshot
        worst = max(worst, ratio)
        print(f"{label:<13} fork {1e6 * fork:8.1f} us   snapshot {1e6 * snapshot:8.1f} us   ratio {ratio:.2f}")
    print(f"worst ratio {worst:.2f} (target at most 2)")


if __name__ == "__main__":
    main()
