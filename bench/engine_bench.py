"""What the Engine surface adds to a simulation.

Runs the same work two ways in one process: 100 generated instruments for
20 days of 390 ticks under kx-v14, once through `fixed_simulation_digest`
(the bare core loop) and once through `Engine.run_days(20, record=False)`
(day buffers, order log, the interpreter lock released per session).
Reports the best of several rounds of each and their ratio; the surface
should cost at most 20% more.

    python bench/engine_bench.py [--rounds N]
"""

import argparse
import time

import corvane

SIZE, DAYS, TICKS, SEED, UNIVERSE_SEED = 100, 20, 390, 7, 0


def digest_run():
    corvane.fixed_simulation_digest(
        size=SIZE, universe_seed=UNIVERSE_SEED, seed=SEED, days=DAYS, ticks=TICKS, preset="kx-v14"
    )


def engine_run(universe):
    engine = corvane.Engine(seed=SEED, universe=universe, model="kx-v14")
    engine.run_days(DAYS, ticks_per_day=TICKS, record=False)


def best_of(rounds, run):
    best = float("inf")
    for _ in range(rounds):
        started = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - started)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    universe = corvane.random_instruments(SIZE, seed=UNIVERSE_SEED)
    # Interleaved, so a busy machine slows both alike.
    digest = engine = float("inf")
    for _ in range(rounds):
        digest = min(digest, best_of(1, digest_run))
        engine = min(engine, best_of(1, lambda: engine_run(universe)))
    print(f"fixed_simulation_digest: {digest:.3f} s")
    print(f"Engine.run_days:         {engine:.3f} s")
    print(f"ratio: {engine / digest:.3f} (target at most 1.20)")


if __name__ == "__main__":
    main()
