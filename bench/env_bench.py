"""Steps per second of the trading environment, and its share of step time
outside the simulator.

corvane.env.MarketEnv over the default 20 generated instruments, 5 ticks a
step, a random target position for every instrument every step (so every
step trades everything: the dearest case), over one long episode. The
inside is measured in the same process: an Engine of the same seed and
universe running the same ticks, closes and opens with the order flow the
agent's fills made (it ends in the environment's own state, checked). The
outside is the rest: pricing the trades, the readings, the observation, the
bookkeeping. The two are timed in alternating chunks of steps, so that the
machine's drift in speed falls on both alike. Each figure is the median of
several rounds; the share outside
should be at most 40%.
Needs the rl extra.

    python bench/env_bench.py [--steps N] [--rounds N]
"""

import argparse
import statistics
import time

import numpy as np

import corvane
from corvane.env import OPEN_MINUTE, TICKS_PER_DAY, TRADING_DAYS, MarketEnv

TICKS_PER_STEP = 5
SEED = 7


def simulation_steps(market, flows):
    """Runs on `market` (an Engine or EngineBatch) one environment step's
    ticks, and a day's close and next open, per iteration, with each of
    `flows` as the order flow of its step's first tick (None for none).
    Ready after a first iteration that only opens the market."""
    market.open_market()
    yield
    minute, day = 0, 0
    for flow in flows:
        ticks = min(TICKS_PER_STEP, TICKS_PER_DAY - minute)
        day_of_week = TRADING_DAYS[day % len(TRADING_DAYS)]
        hour, at = divmod(OPEN_MINUTE + minute, 60)
        market.tick(hour, at, day_of_week, order_flow=flow)
        hour, at = divmod(OPEN_MINUTE + minute + 1, 60)
        market.run_session(hour, at, day_of_week, ticks - 1)
        minute += ticks
        if minute == TICKS_PER_DAY:
            market.close_market()
            market.open_market()
            minute, day = 0, day + 1
        yield


def environment_steps(env, actions):
    """Steps `env` through `actions`, one per iteration, after a first that
    only resets it. A single environment is reset when its episode ends (a
    vector one resets itself)."""
    env.reset(seed=SEED)
    single = isinstance(env, MarketEnv)
    yield
    for action in actions:
        _, _, terminated, truncated, _ = env.step(action)
        if single and (terminated or truncated):
            env.reset()
        yield


def interleaved_seconds(first, second, steps, chunk=20):
    """The seconds `steps` iterations of each of two step generators take,
    timed in alternating chunks so that the machine's drift in speed falls
    on both alike. Both generators are then run to their end."""
    seconds = [0.0, 0.0]
    for steps_of in (first, second):
        next(steps_of)
    for done in range(0, steps, chunk):
        for k, steps_of in enumerate((first, second)):
            started = time.perf_counter()
            for _ in range(min(chunk, steps - done)):
                next(steps_of)
            seconds[k] += time.perf_counter() - started
    for steps_of in (first, second):
        for _ in steps_of:
            pass
    return seconds


def agent_episodes(env, actions):
    """The episodes `env` runs through `actions` from a reset, as an
    Engine's seed and the order flow of each step's first tick, as
    engine.tick takes it (ticker -> (shares bought, shares sold))."""
    env.reset(seed=SEED)
    episodes = [(env.engine.seed, [])]
    for action in actions:
        _, _, terminated, truncated, info = env.step(action)
        episodes[-1][1].append({ticker: (max(q, 0.0), max(-q, 0.0))
                                for ticker, q in zip(env.tickers, info["fills"]["quantity"].tolist())
                                if q})
        if terminated or truncated:
            env.reset()
            episodes.append((env.engine.seed, []))
    return episodes


def replay_steps(env, episodes):
    """The episodes' steps, as simulation_steps runs them, on plain Engines
    (built before the first iteration), one step per iteration."""
    engines = [corvane.Engine(seed=seed, universe=env._universe) for seed, _ in episodes]
    yield
    for engine, (_, flows) in zip(engines, episodes):
        steps = simulation_steps(engine, flows)
        next(steps)
        yield from steps
    # The last episode ends in the environment's own market.
    if engines[-1].state_digest() != env.engine.state_digest():
        raise AssertionError("the simulation alone is not the environment's market")


def single_environment(steps, rounds):
    """(steps per second, share of step time outside the simulator, seconds
    a step, seconds a step of the simulation alone)."""
    env = MarketEnv(ticks_per_step=TICKS_PER_STEP)
    actions = np.random.default_rng(0).uniform(-1, 1, (steps, *env.action_space.shape))
    actions = actions.astype(np.float32)
    episodes = agent_episodes(env, actions)
    envs, sims = [], []
    for _ in range(rounds):
        env_seconds, sim_seconds = interleaved_seconds(
            environment_steps(env, actions), replay_steps(env, episodes), steps)
        envs.append(env_seconds)
        sims.append(sim_seconds)
    env_time, sim_time = statistics.median(envs), statistics.median(sims)
    return steps / env_time, 1 - sim_time / env_time, env_time / steps, sim_time / steps


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--steps", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    rate, share, step, inside = single_environment(options.steps, options.rounds)
    print(f"20 instruments, {TICKS_PER_STEP} ticks a step, median of {options.rounds}")
    print(f"steps per second: {rate:,.0f}")
    print(f"step time: {step * 1e6:.1f} us, the simulation alone {inside * 1e6:.1f} us")
    print(f"share outside the simulator: {share:.1%} (target at most 40%)")


if __name__ == "__main__":
    main()
