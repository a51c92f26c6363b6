"""The trading environment, back-tests over seeds, and the all-books reads under them."""

import concurrent.futures
import subprocess
import sys

import pytest

gymnasium = pytest.importorskip("gymnasium")
np = pytest.importorskip("numpy")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import corvane  # noqa: E402
from corvane.env import MarketEnv  # noqa: E402

# Two days of five steps: short, and it crosses a close.
SHORT = {"episode_days": 2, "ticks_per_step": 78}


def episode(env, seed, actions):
    out = [env.reset(seed=seed)]
    for action in actions:
        out.append(env.step(action))
    return out, env.engine.state_digest()


def flat(results):
    """Every array and number of an episode's results, in order."""
    values = []

    def walk(item):
        if isinstance(item, dict):
            for key in sorted(item):
                walk(item[key])
        elif isinstance(item, (tuple, list)):
            for part in item:
                walk(part)
        else:
            values.append(np.asarray(item).tobytes())

    walk(results)
    return values


class TestGymnasiumConventions:
    def test_check_env_and_registration(self):
        from gymnasium.utils.env_checker import check_env

        check_env(gymnasium.make("corvane/Market-v0", **SHORT).unwrapped)

    @pytest.mark.parametrize("vector", ["SyncVectorEnv", "AsyncVectorEnv"])
    def test_vector_envs_run(self, vector):
        envs = getattr(gymnasium.vector, vector)([lambda: MarketEnv(**SHORT)] * 2)
        try:
            observations, _ = envs.reset(seed=[1, 2])
            assert observations["returns"].shape == (2, 10, 20)
            for _ in range(12):  # past the end: the vector env resets by itself
                _, rewards, _, _, infos = envs.step(envs.action_space.sample())
            assert rewards.shape == (2,) and "attribution" in infos
        finally:
            envs.close()

    def test_episode_is_truncated_after_its_days_and_rewards_add_up(self):
        env = MarketEnv(**SHORT)
        _, info = env.reset(seed=3)
        total, steps, done = 0.0, 0, False
        while not done:
            _, reward, terminated, truncated, info = env.step(env.action_space.sample())
            assert not terminated and (info["fills"]["cost"] >= 0).all()
            total, steps, done = total + reward, steps + 1, truncated
        assert steps == 2 * env.steps_per_day
        assert total == pytest.approx(info["wealth"] - env.starting_cash, abs=1e-6)
        with pytest.raises(RuntimeError, match="reset"):
            env.step(env.action_space.sample())

    def test_bad_settings_are_refused(self):
        for kwargs in ({"tickers": ["NOPE"]}, {"ticks_per_step": 0}, {"episode_days": 0},
                       {"starting_cash": 0.0}, {"max_position": -1.0}, {"max_position": [1, 2]}):
            with pytest.raises(corvane.ValidationError):
                MarketEnv(**kwargs)


class TestDeterminism:
    def test_same_seed_same_actions_same_bits_other_seeds_differ(self):
        actions = np.random.default_rng(0).uniform(-1, 1, (10, 20)).astype(np.float32)
        first, digest = episode(MarketEnv(**SHORT), 11, actions)
        again, digest_again = episode(MarketEnv(**SHORT), 11, actions)
        other, digest_other = episode(MarketEnv(**SHORT), 12, actions)
        assert flat(first) == flat(again) and digest == digest_again
        assert digest != digest_other and flat(first) != flat(other)


class TestTradingAnswersBack:
    @pytest.mark.parametrize("seed", [1, 3, 9])
    def test_a_large_buy_lifts_the_price_and_costs_more_per_share(self, seed):
        def run(action):
            """The first step's fills, and the price after each of six steps
            that hold what it bought."""
            env = MarketEnv(tickers=["AAA"], max_position=50_000, ticks_per_step=5)
            env.reset(seed=seed)
            index = env.engine.index_of("AAA")
            fills, prices = None, []
            for _ in range(6):
                _, _, _, _, info = env.step(np.array([action], dtype=np.float32))
                fills = fills or info["fills"]
                prices.append(np.frombuffer(env.engine.prices(), "<f8")[index])
            return np.array(prices), fills

        quiet, _ = run(0.0)
        _, small = run(0.002)
        large_prices, large = run(1.0)
        assert large["quantity"][0] > 10 * small["quantity"][0] > 0
        assert large["average_price"][0] > small["average_price"][0]
        lift = large_prices - quiet
        assert lift.max() > 0 and lift.sum() > 0


class TestAllBooksAtOnce:
    @settings(max_examples=15, deadline=None)
    @given(seed=st.integers(0, 2**32 - 1), ticks=st.integers(0, 60),
           sizes=st.lists(st.floats(-50_000, 50_000), min_size=20, max_size=20))
    def test_quotes_and_sweep_costs_match_each_book(self, seed, ticks, sizes):
        engine = corvane.Engine(seed=seed, universe=corvane.random_instruments(20, seed=0))
        engine.run_session(9, 30, 2, ticks) if ticks else engine.open_market()
        quotes = np.frombuffer(engine.quotes(), "<f8").reshape(4, -1)
        costs = np.frombuffer(engine.sweep_costs(sizes), "<f8").reshape(3, -1)
        for i, ticker in enumerate(engine.tickers):
            book = engine.book(ticker)
            top = [book.price_levels(side, 1)[0] for side in ("buy", "sell")]
            assert list(quotes[:, i]) == [top[0].price, top[1].price, top[0].quantity,
                                          top[1].quantity]
            side = "buy" if sizes[i] > 0 else "sell"
            sweep = book.sweep_cost(side, abs(sizes[i])) if sizes[i] else None
            if sweep is None:
                assert costs[0, i] == 0.0 and np.isnan(costs[1:, i]).all()
            else:
                assert list(costs[:, i]) == [np.copysign(sweep.filled, sizes[i]),
                                             sweep.average_price, sweep.worst_price]
        with pytest.raises(corvane.ValidationError, match="expected 20 quantities"):
            engine.sweep_costs([1.0])


def buy_and_hold(observation):
    return np.ones_like(observation["position"])


class TestBacktest:
    def test_rows_follow_seeds_on_any_executor_and_read_as_arrow(self, tmp_path):
        pyarrow = pytest.importorskip("pyarrow")
        result = corvane.backtest(buy_and_hold, seeds=[4, 2, 7], **SHORT)
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            threaded = corvane.backtest(buy_and_hold, seeds=[4, 2, 7], executor=pool, **SHORT)
        assert result.rows == threaded.rows
        table = pyarrow.table(result.table)
        assert table.column_names == ["seed", "pnl", "sharpe", "max_drawdown", "turnover", "cost"]
        assert table.column("seed").to_pylist() == [4, 2, 7] and result.policy == "buy_and_hold"
        row = result.rows[0]
        assert 0.9 < row["turnover"] <= 1.0 and row["cost"] > 0 and 0 <= row["max_drawdown"] < 1
        pytest.importorskip("matplotlib")
        assert result.plot(tmp_path / "pnl.png").stat().st_size > 0

    @pytest.mark.parametrize("code", [
        # Light, yet gymnasium learns the ids on its first import, or at once when loaded before.
        "import sys, corvane; assert not {'gymnasium', 'numpy', 'pyarrow'} & set(sys.modules)\n"
        "import gymnasium; gymnasium.make('corvane/Market-v0', episode_days=1).reset(seed=1)",
        "import gymnasium, corvane; gymnasium.make('corvane/Market-v0', episode_days=1).reset(seed=1)",
        "import corvane, sys; sys.modules['gymnasium'] = None\n"
        "try:\n    import corvane.env\nexcept ModuleNotFoundError as e:\n"
        "    assert 'corvane[rl]' in str(e) and e.name == 'gymnasium', e\nelse:\n    raise SystemExit('imported')",
    ])
    def test_import_corvane_is_light_and_registers_the_environments(self, code):
        subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", code], check=True)
