"""The trading environment, back-tests over seeds, and the all-books reads under them."""

import concurrent.futures
import signal
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

    @pytest.mark.parametrize("kwargs, message", [
        ({"tickers": ["NOPE"]}, "tickers must be distinct"),
        ({"ticks_per_step": 391}, "ticks_per_step must be an integer from 1 to 390"),
        ({"episode_days": True}, "episode_days must be an integer from 1 to 10000"),
        ({"window": 10**7}, "window must be an integer from 1 to 10000, got 10000000"),
        ({"starting_cash": float("inf")}, "starting_cash must be a number above 0 and at most 1e"),
        ({"max_position": 1e13}, "max_position must be a number of shares above 0 and at most 1e"),
        ({"max_position": [1, 2]}, "max_position"),
        ({"universe": []}, "universe must be a non-empty list"),
        ({"model": 3}, "model must be None, a preset name"),
    ])
    def test_bad_settings_are_refused_naming_the_setting_and_its_range(self, kwargs, message):
        with pytest.raises(corvane.ValidationError, match=message):
            MarketEnv(**kwargs)

    @pytest.mark.parametrize("action, message", [
        ([np.nan, 0.0], "finite float32 values, got nan"),
        ([0.0, -np.inf], "finite float32 values, got -inf"),
        ([1e308, 0.0], "finite float32 values, got 1e[+]?308"),
        ([0.5 + 1j, 0.0], "real numbers, got dtype complex128"),
        (["0.5", "0"], "real numbers"),
        (0.5, r"shape \(2,\), a target per traded instrument, got shape \(\)"),
        ([0.1, 0.2, 0.3], r"got shape \(3,\)"),
        ([[0.1], [0.2, 0.3]], "array of 2 numbers"),
    ])
    def test_a_bad_action_is_refused_and_changes_nothing(self, action, message):
        env = MarketEnv(tickers=["AAA", "AAB"], **SHORT)
        env.reset(seed=2)
        digest, entries = env.engine.state_digest(), len(env.engine.order_log)
        with pytest.raises(ValueError, match=message):
            env.step(action)
        assert env.engine.state_digest() == digest and len(env.engine.order_log) == entries

    def test_ctrl_c_inside_a_step_is_raised_after_the_step(self):
        class Interrupting:
            """The engine, with a Ctrl-C landing as a session starts."""

            def __init__(self, engine):
                self.engine = engine

            def __getattr__(self, name):
                return getattr(self.engine, name)

            def run_session(self, *args, **kwargs):
                signal.raise_signal(signal.SIGINT)
                return self.engine.run_session(*args, **kwargs)

        action = np.full(20, 0.4)
        plain, hit = MarketEnv(**SHORT), MarketEnv(**SHORT)
        plain.reset(seed=5)
        plain.step(action)
        hit.reset(seed=5)
        hit.engine = Interrupting(hit.engine)
        handler = signal.getsignal(signal.SIGINT)
        with pytest.raises(KeyboardInterrupt):
            hit.step(action)
        assert signal.getsignal(signal.SIGINT) is handler
        # The step ran whole: the same market and wealth as without the signal.
        assert hit.engine.engine.state_digest() == plain.engine.state_digest()
        assert hit.wealth == plain.wealth and hit._minute == plain._minute == 78


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
        assert table.column("seed").to_pylist() == [4, 2, 7]
        row = result.rows[0]
        assert 0.9 < row["turnover"] <= 1.0 and row["cost"] > 0 and 0 <= row["max_drawdown"] < 1
        pytest.importorskip("matplotlib")
        assert result.plot(tmp_path / "pnl.png").stat().st_size > 0

    def test_importing_corvane_leaves_gymnasium_out_and_its_absence_is_named(self):
        code = ("import sys, corvane; assert 'gymnasium' not in sys.modules\n"
                "sys.modules['gymnasium'] = None\n"
                "try:\n    import corvane.env\nexcept ModuleNotFoundError as e:\n    print(e)\n")
        out = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", code],
                             capture_output=True, text=True, check=True)
        assert "corvane[rl]" in out.stdout and "gymnasium" in out.stdout
