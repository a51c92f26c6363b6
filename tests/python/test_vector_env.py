"""The vector of markets: each market is its single environment, stepped together."""

import pytest

gymnasium = pytest.importorskip("gymnasium")
np = pytest.importorskip("numpy")

import corvane  # noqa: E402
from corvane.env import MarketEnv, MarketVectorEnv  # noqa: E402

UNIVERSE = corvane.random_instruments(20, seed=4)
# Seven steps a day, the last one short, over two days: it crosses a close.
SETTINGS = {"universe": UNIVERSE, "episode_days": 2, "ticks_per_step": 60, "window": 3}


def actions(rng, count, n):
    """Random targets, but the first third held after the first step: markets that trade
    some instruments and not others."""
    chosen = rng.uniform(-1.0, 1.0, (count, n)).astype(np.float32)
    chosen[:, : n // 3] = 0.25
    return chosen


def every_entry(before, after, info):
    """A reward that reads every entry of the step's `info`, as MarketEnv hands it over."""
    parts = [*info["fills"].values(), *info["attribution"].values()]
    return (after - before) + sum(float(np.nansum(part)) for part in parts) + info["wealth"]


SUBSET = [UNIVERSE[i].ticker for i in (19, 3, 7, 0, 12, 5, 16, 9, 1, 14, 2, 18, 11, 6, 15, 8, 4)]


class TestEachMarketIsItsSingleEnvironment:
    # All instruments in roster order, and a shuffled subset of them; each reward and picture.
    @pytest.mark.parametrize("threads, tickers, reward, render_mode", [
        (1, None, "pnl", "ansi"),
        (2, SUBSET, "risk_adjusted", None),
        (1, SUBSET, "log_return", "rgb_array"),
        (2, None, every_entry, None),
    ])
    def test_steps_match_gymnasiums_own_vector_of_single_environments(self, threads, tickers, reward,
                                                                       render_mode):
        settings = {**SETTINGS, "tickers": tickers, "reward": reward, "render_mode": render_mode}
        vector = MarketVectorEnv(3, threads=threads, **settings)
        singles = gymnasium.vector.SyncVectorEnv([lambda: MarketEnv(**settings)] * 3)
        for space in ("single_observation_space", "observation_space", "action_space"):
            assert getattr(vector, space) == getattr(singles, space), space
        rng = np.random.default_rng(8)
        try:
            for got, want in zip(vector.reset(seed=11), singles.reset(seed=11)):
                np.testing.assert_equal(got, want)
            assert vector.batch.seeds == [11, 12, 13]
            # To the truncation, and the step after it, which starts every market over.
            for step in range(15):
                chosen = actions(rng, 3, len(vector.tickers))
                got, want = vector.step(chosen), singles.step(chosen)
                assert vector.observation_space.contains(got[0])
                for part, (mine, theirs) in enumerate(zip(got, want)):
                    np.testing.assert_equal(mine, theirs, err_msg=f"step {step}, part {part}")
                    if isinstance(theirs, np.ndarray):
                        assert mine.dtype == theirs.dtype
                # Each market's picture, its text every step and its panels at the episode's end.
                if render_mode == "ansi" or (render_mode == "rgb_array" and step == 13):
                    np.testing.assert_equal(vector.render(), singles.render(), err_msg=f"step {step}")
            assert got[3].tolist() == [False] * 3 and got[1].tolist() == [0.0] * 3
            assert want[4].keys() == got[4].keys() == {"wealth", "_wealth"}
        finally:
            singles.close()

    def test_another_seed_is_another_market_and_seeds_and_actions_are_checked(self, refusal):
        vector = MarketVectorEnv(2, **SETTINGS)
        rewards = []
        for seed in (11, [11, 12], [12, 40]):
            vector.reset(seed=seed)
            rewards.append(vector.step(np.full((2, 20), 0.5))[1].tolist())
            # Seed 12 is the same market in either place; seed 40 is another.
        assert rewards[0] == rewards[1] and rewards[2][0] == rewards[1][1]
        assert rewards[2][1] not in rewards[1]
        assert vector.batch.seeds == [12, 40]
        for seed, message in [
            ([1], "seed must be an integer or a list of 2 integers, got [1]"),
            (2**32 - 1, "seeds must be from 0 to 4294967295, got 4294967295 to 4294967296"),
            ([5, 5], "seeds must be distinct"),
        ]:
            assert refusal(vector.reset, seed=seed).startswith(message)
        assert vector.batch.seeds == [12, 40]
        # A bad action is refused and moves no market.
        before = vector.batch.prices(), vector.batch.draws_consumed
        for chosen, message in [
            (np.zeros((2, 19)), r"actions must have shape \(2, 20\), .*got shape \(2, 19\)"),
            (np.full((2, 20), np.nan), "finite float32 values, got nan"),
            (np.full((2, 20), 1j), "real numbers, got dtype complex128"),
        ]:
            with pytest.raises(ValueError, match=message):
                vector.step(chosen)
        assert (vector.batch.prices(), vector.batch.draws_consumed) == before


@pytest.mark.parametrize("reward", ["pnl", "risk_adjusted"])
def test_a_market_at_zero_wealth_starts_over_alone_and_the_others_go_on(reward):
    # A few dollars and positions of millions of shares: market 0's first trade costs more
    # over the mid than it has; market 1 does not trade.
    settings = {**SETTINGS, "starting_cash": 10.0, "max_position": 1e6, "reward": reward,
                "render_mode": "ansi"}
    vector = MarketVectorEnv(2, **settings)
    alone = MarketEnv(**settings)
    vector.reset(seed=21)
    alone.reset(seed=22)
    chosen = np.zeros((2, 20), dtype=np.float32)
    chosen[0] = 1.0
    _, rewards, terminated, truncated, _ = vector.step(chosen)
    assert terminated.tolist() == [True, False] and not truncated.any() and rewards[0] < -10.0
    alone.step(chosen[1])
    observation, rewards, terminated, truncated, info = vector.step(chosen)
    want = alone.step(chosen[1])
    # Market 0 starts over from a fresh seed: nothing held, its cash whole, no reward.
    assert vector.batch.seeds[0] != 21 and vector.batch.seeds[1] == 22
    assert observation["position"][0].tolist() == [0.0] * 20 and observation["cash"][0] == 1.0
    assert rewards[0] == 0.0 and info["wealth"][0] == 10.0 and not terminated.any()
    # Market 1 never noticed.
    for key, value in want[0].items():
        np.testing.assert_equal(observation[key][1], value)
    assert (rewards[1], info["wealth"][1]) == (want[1], want[4]["wealth"])
    fresh, other = vector.render()
    assert other == alone.render() and fresh.split("\n")[-3:-1] == [
        f"{row:<34} {10.0:>15,.2f}" for row in ("cash", "wealth")]
    # Holding nothing, market 0 earns nothing: its reward starts over with it.
    _, rewards, *_ = vector.step(np.zeros((2, 20)))
    assert rewards[0] == 0.0 and rewards[1] == alone.step(np.zeros(20))[1]
    for _ in range(11):
        *_, terminated, truncated, _ = vector.step(np.zeros((2, 20)))
    assert truncated.tolist() == [True, True]


def test_registered_as_the_vector_entry_point_and_usable_under_gymnasiums_wrappers():
    envs = gymnasium.make_vec("corvane/Market-v0", num_envs=2,
                              vectorization_mode="vector_entry_point", **SETTINGS)
    assert isinstance(envs, MarketVectorEnv) and envs.num_envs == 2
    from gymnasium.wrappers import vector as wrappers

    wrapped = wrappers.DictInfoToList(wrappers.RecordEpisodeStatistics(
        wrappers.FlattenObservation(envs)))
    observations, _ = wrapped.reset(seed=1)
    assert observations.shape == (2, 2 * 3 * 20 + 4 * 20 + 4)
    for _ in range(14):
        *_, infos = wrapped.step(wrapped.action_space.sample())
    assert [info["episode"]["l"] for info in infos] == [14, 14]
    assert all(info["fills"]["quantity"].shape == (20,) for info in infos)
