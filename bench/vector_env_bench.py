"""Market-steps per second of the vector environment, against the simulation
alone.

corvane.env.MarketVectorEnv with 64 markets over the default 20 generated
instruments, 5 ticks a step, a random target for every instrument of every
market every step (every step trades everything: the dearest case), and
autoreset at the end of each five-day episode. The baseline, measured in
the same process at the same thread count, is an EngineBatch of the same
seeds running the same ticks, closes and opens with no agent. Each figure
is the median of several rounds; the environment should cost at most 1.5x
the simulation, and run at least 60,000 market-steps a second on one
thread.

Beside it, the single MarketEnv's share of step time outside the simulator
(bench/env_bench.py measures it the same way), for comparison.
Needs the rl extra.

    python bench/vector_env_bench.py [--markets N] [--steps N] [--rounds N]
"""

import argparse
import statistics
import time

import numpy as np

import corvane
from corvane.env import OPEN_MINUTE, TICKS_PER_DAY, TRADING_DAYS, MarketEnv, MarketVectorEnv

TICKS_PER_STEP = 5
SEED = 7


def vector_round(env, actions):
    env.reset(seed=SEED)
    started = time.perf_counter()
    for action in actions:
        env.step(action)
    return time.perf_counter() - started


def simulation_round(env, steps, threads):
    """The ticks, closes and opens `steps` steps of `env` run, with no agent."""
    batch = corvane.EngineBatch(seeds=list(range(SEED, SEED + env.num_envs)),
                                universe=env._single._universe, threads=threads)
    batch.open_market()
    minute, day = 0, 0
    started = time.perf_counter()
    for _ in range(steps):
        ticks = min(TICKS_PER_STEP, TICKS_PER_DAY - minute)
        day_of_week = TRADING_DAYS[day % len(TRADING_DAYS)]
        hour, at = divmod(OPEN_MINUTE + minute, 60)
        batch.tick(hour, at, day_of_week)
        hour, at = divmod(OPEN_MINUTE + minute + 1, 60)
        batch.run_session(hour, at, day_of_week, ticks - 1)
        minute += ticks
        if minute == TICKS_PER_DAY:
            batch.close_market()
            batch.open_market()
            minute, day = 0, day + 1
    return time.perf_counter() - started


def single_share_outside(steps, rounds):
    """The single environment's share of step time outside its engine's driving calls."""
    env = MarketEnv(ticks_per_step=TICKS_PER_STEP)
    actions = np.random.default_rng(0).uniform(-1, 1, (steps, 20)).astype(np.float32)
    driving = ("tick", "run_session", "open_market", "close_market")
    shares = []
    for _ in range(rounds):
        env.reset(seed=SEED)
        inside = 0.0
        timed = _TimedEngine(env.engine, driving)
        env.engine = timed
        started = time.perf_counter()
        for action in actions:
            _, _, terminated, truncated, _ = env.step(action)
            if terminated or truncated:
                inside += timed.seconds
                env.reset()
                timed = _TimedEngine(env.engine, driving)
                env.engine = timed
        total = time.perf_counter() - started
        shares.append((1 - (inside + timed.seconds) / total, steps / total))
    return statistics.median(s for s, _ in shares), statistics.median(r for _, r in shares)


class _TimedEngine:
    def __init__(self, engine, driving):
        self._engine, self._driving, self.seconds = engine, driving, 0.0

    def __getattr__(self, name):
        method = getattr(self._engine, name)
        if name not in self._driving:
            return method

        def timed(*args, **kwargs):
            started = time.perf_counter()
            try:
                return method(*args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - started

        return timed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--markets", type=int, default=64)
    parser.add_argument("--steps", type=int, default=400)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    print(f"{options.markets} markets x 20 instruments x {TICKS_PER_STEP} ticks a step, "
          f"{options.steps} steps, median of {options.rounds}")
    for threads in (1, 2):
        env = MarketVectorEnv(options.markets, ticks_per_step=TICKS_PER_STEP, threads=threads)
        actions = np.random.default_rng(0).uniform(
            -1, 1, (options.steps, *env.action_space.shape)).astype(np.float32)
        envs, sims = [], []
        for _ in range(options.rounds):
            envs.append(vector_round(env, actions))
            sims.append(simulation_round(env, options.steps, threads))
        env_seconds, sim_seconds = statistics.median(envs), statistics.median(sims)
        member_steps = options.steps * options.markets
        print(f"threads={threads}: environment {member_steps / env_seconds:,.0f} market-steps/s, "
              f"simulation alone {member_steps / sim_seconds:,.0f}; "
              f"environment / simulation {env_seconds / sim_seconds:.2f}x (target at most 1.5x)")
    share, rate = single_share_outside(2000, options.rounds)
    print(f"single MarketEnv: {rate:,.0f} steps/s, share outside the simulator {share:.1%} "
          f"(target at most 40%)")


if __name__ == "__main__":
    main()
