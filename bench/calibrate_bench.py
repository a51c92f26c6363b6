"""What one calibration evaluation costs beyond its simulation.

Runs the same markets two ways in one process: a candidate's evaluation
(30 generated instruments for 500 days under each of two seeds, a day at a
time, reading prices and volumes after each, then measuring the facts) and
`Engine.run_days(500, record=False)` over the same seeds alone. Reports the
median of several rounds of each and their ratio; the evaluation should
cost at most 20% more.

    python bench/calibrate_bench.py [--rounds N]
"""

import argparse
import statistics
import time

import corvane
from corvane import _calibrate

SIZE, DAYS, SEEDS, UNIVERSE_SEED = 30, 500, (101, 202), 0


def evaluation():
    _calibrate.evaluate({}, model="kx-v14", size=SIZE, days=DAYS, seeds=SEEDS, lags=(1, 5, 10, 20, 50, 100))


def simulation():
    universe = corvane.random_instruments(SIZE, seed=UNIVERSE_SEED)
    for seed in SEEDS:
        corvane.Engine(seed=seed, universe=universe, model="kx-v14").run_days(DAYS, record=False)


def median_of(rounds, run):
    times = []
    for _ in range(rounds):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    evaluation()  # imports and first-touch allocations stay out of the rounds
    # Interleaved, so a machine that slows down mid-run slows both alike.
    times = {"evaluation": [], "simulation": []}
    for _ in range(rounds):
        times["evaluation"].append(median_of(1, evaluation))
        times["simulation"].append(median_of(1, simulation))
    evaluate_s = statistics.median(times["evaluation"])
    simulate_s = statistics.median(times["simulation"])
    print(f"evaluation  {evaluate_s:8.3f} s  ({SIZE} instruments x {DAYS} days x {len(SEEDS)} seeds)")
    print(f"simulation  {simulate_s:8.3f} s  (run_days(record=False) alone)")
    ratio = evaluate_s / simulate_s
    print(f"ratio       {ratio:8.3f}  ({'within' if ratio <= 1.2 else 'OVER'} the 1.2 allowed)")
    return 0 if ratio <= 1.2 else 1


if __name__ == "__main__":
    raise SystemExit(main())
