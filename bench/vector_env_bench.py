"""Market-steps per second of the vector environment, against the simulation
alone.

corvane.env.MarketVectorEnv with 64 markets over the default 20 generated
instruments, 5 ticks a step, a random target for every instrument of every
market every step (every step trades everything: the dearest case), and
autoreset at the end of each five-day episode. The baseline, measured in
the same process at the same thread count, is an EngineBatch of the same
seeds running the same ticks, closes and opens with no agent, timed in
chunks of steps that alternate with the environment's so that the
machine's drift in speed falls on both alike. Each figure is the median
of several rounds; the environment should cost at most 1.5x
the simulation, and run at least 60,000 market-steps a second on one
thread.

Beside it, the single MarketEnv's share of step time outside the simulator,
as bench/env_bench.py measures it.
Needs the rl extra.

    python bench/vector_env_bench.py [--markets N] [--steps N] [--rounds N]
"""

import argparse
import statistics

import numpy as np
from env_bench import (SEED, TICKS_PER_STEP, environment_steps, interleaved_seconds, simulation_steps,
                       single_environment)

import corvane
from corvane.env import MarketVectorEnv


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
            batch = corvane.EngineBatch(seeds=list(range(SEED, SEED + env.num_envs)),
                                        universe=corvane.random_instruments(20, seed=0),
                                        threads=threads)
            env_seconds, sim_seconds = interleaved_seconds(
                environment_steps(env, actions), simulation_steps(batch, [None] * options.steps),
                options.steps)
            envs.append(env_seconds)
            sims.append(sim_seconds)
        env_seconds, sim_seconds = statistics.median(envs), statistics.median(sims)
        member_steps = options.steps * options.markets
        print(f"threads={threads}: environment {member_steps / env_seconds:,.0f} market-steps/s, "
              f"simulation alone {member_steps / sim_seconds:,.0f}; "
              f"environment / simulation {env_seconds / sim_seconds:.2f}x (target at most 1.5x)")
    rate, share, _, _ = single_environment(2000, options.rounds)
    print(f"single MarketEnv: {rate:,.0f} steps/s, share outside the simulator {share:.1%} "
          f"(target at most 40%)")


if __name__ == "__main__":
    main()
