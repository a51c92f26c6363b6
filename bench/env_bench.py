"""Steps per second of the trading environment, and where the time goes.

corvane.env.MarketEnv over the default 20 generated instruments, 5 ticks a
step, a random target position for every instrument every step (so every
step trades everything: the dearest case). Reports the best of several
rounds: steps per second on this one process, and the share of step time
spent outside the simulator (the market's own ticks, closes and opens are
the inside; the books, fills, observation and bookkeeping the outside).
Needs the rl extra.

    python bench/env_bench.py [--steps N] [--rounds N]
"""

import argparse
import time

import numpy as np

from corvane.env import MarketEnv


class TimedEngine:
    """The engine, with the time spent in its driving calls added up."""

    DRIVING = ("tick", "run_session", "open_market", "close_market")

    def __init__(self, engine):
        self._engine = engine
        self.seconds = 0.0

    def __getattr__(self, name):
        method = getattr(self._engine, name)
        if name not in self.DRIVING:
            return method

        def timed(*args, **kwargs):
            started = time.perf_counter()
            try:
                return method(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - started

        return timed


def one_round(env, actions):
    env.reset(seed=7)
    inside = 0.0
    env.engine = engine = TimedEngine(env.engine)
    started = time.perf_counter()
    for action in actions:
        _, _, terminated, truncated, _ = env.step(action)
        if terminated or truncated:
            inside += engine.seconds
            env.reset()
            env.engine = engine = TimedEngine(env.engine)
    total = time.perf_counter() - started
    return total, inside + engine.seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--steps", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    env = MarketEnv(ticks_per_step=5)
    actions = np.random.default_rng(0).uniform(-1, 1, (options.steps,) + env.action_space.shape)
    actions = actions.astype(np.float32)
    best = None
    for _ in range(options.rounds):
        total, inside = one_round(env, actions)
        if best is None or total < best[0]:
            best = (total, inside)
    total, inside = best
    print(f"instruments: {env.action_space.shape[0]}, ticks per step: {env.ticks_per_step}")
    print(f"steps per second: {options.steps / total:,.0f} (target at least 5,000)")
    print(f"step time: {total / options.steps * 1e6:.1f} us, "
          f"in the simulator {inside / options.steps * 1e6:.1f} us")
    print(f"share outside the simulator: {1 - inside / total:.1%}")


if __name__ == "__main__":
    main()
