"""Run the default simulation: `python -m corvane`.

Generates a universe, simulates it day by day under a model preset and
prints the determinism digest of the final state, the number two builds
compare to prove they agree bit for bit.
"""

import argparse
import sys
import time

import corvane


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m corvane", description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=100, help="instruments (default 100)")
    parser.add_argument("--days", type=int, default=20, help="trading days (default 20)")
    parser.add_argument("--ticks", type=int, default=390, help="ticks per day (default 390)")
    parser.add_argument("--seed", type=int, default=7, help="engine seed (default 7)")
    parser.add_argument("--universe-seed", type=int, default=0, help="universe seed (default 0)")
    parser.add_argument("--preset", default="kx-v14", help="model preset (default kx-v14)")
    args = parser.parse_args(argv)

    print(f"corvane {corvane.__version__}")
    universe = corvane.random_instruments(args.size, seed=args.universe_seed)
    if universe:
        shown = ", ".join(f"{i.ticker} {i.initial_price:.2f}" for i in universe[:5])
        more = f" and {len(universe) - 5} more" if len(universe) > 5 else ""
        print(f"universe: {shown}{more}")
    started = time.perf_counter()
    try:
        digest = corvane.fixed_simulation_digest(
            size=args.size,
            universe_seed=args.universe_seed,
            seed=args.seed,
            days=args.days,
            ticks=args.ticks,
            preset=args.preset,
        )
    except (ValueError, OverflowError, MemoryError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    elapsed = time.perf_counter() - started
    print(
        f"simulated {args.size} instruments for {args.days} days of {args.ticks} ticks "
        f"under {args.preset} (seed {args.seed}) in {elapsed:.2f} s"
    )
    print(f"final-state digest: {digest}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
