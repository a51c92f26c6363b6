"""The trading environment, back-tests over seeds, and the all-books reads under them."""

import concurrent.futures
import math
import signal
import statistics
import subprocess
import sys

import pytest

gymnasium = pytest.importorskip("gymnasium")
np = pytest.importorskip("numpy")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import corvane  # noqa: E402
from corvane.env import MarketEnv, MarketVectorEnv  # noqa: E402

# Two days of five steps: short, and it crosses a close.
SHORT = {"episode_days": 2, "ticks_per_step": 78}


class TestGymnasiumConventions:
    def test_check_env_in_every_render_mode_and_registration(self):
        from gymnasium.utils.env_checker import check_env

        # Through the registered spec, the checker renders each declared mode too.
        check_env(gymnasium.make("corvane/Market-v0", render_mode="ansi", **SHORT).unwrapped)

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
        ({"reward": "sharpe"}, "reward must be 'pnl', 'log_return', 'risk_adjusted' or a callable"),
    ])
    def test_bad_settings_are_refused_naming_the_setting_and_its_range(self, kwargs, message):
        with pytest.raises(corvane.ValidationError, match=message):
            MarketEnv(**kwargs)

    @pytest.mark.parametrize("action, message", [
        ([np.nan, 0.0], "finite float32 values, got nan"),
        ([0.0, -np.inf], "finite float32 values, got -inf"),
        ([1e308, 0.0], "finite float32 values, got 1e[+]?308"),
        (np.array([0.5, np.nan], np.float32), "finite float32 values, got nan"),
        (np.array([np.inf, 0.5], np.float32), "finite float32 values, got inf"),
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

    def test_ctrl_c_inside_a_step_is_raised_after_the_step_and_huge_targets_clip_like_full_ones(self):
        class Interrupting:
            """The core's desk, with a Ctrl-C landing as its step starts."""

            def __init__(self, desk):
                self.desk = desk

            def __getattr__(self, name):
                return getattr(self.desk, name)

            def step(self, *args, **kwargs):
                signal.raise_signal(signal.SIGINT)
                return self.desk.step(*args, **kwargs)

        # Huge targets' squares overflow float32: the quick finiteness check must hand them on.
        action = np.tile(np.float32([1.0, -1.0]), 10)
        plain, hit = MarketEnv(**SHORT), MarketEnv(**SHORT)
        plain.reset(seed=5)
        plain.step(action)
        hit.reset(seed=5)
        hit._market = Interrupting(hit._market)
        # A process started in the background ignores Ctrl-C: give it Python's own handler.
        handler = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            with pytest.raises(KeyboardInterrupt):
                hit.step(action * np.float32(3e38))
            assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
        finally:
            signal.signal(signal.SIGINT, handler)
        # The step ran whole: the same market and wealth as without the signal, at full targets.
        assert hit.engine.state_digest() == plain.engine.state_digest()
        assert hit.wealth == plain.wealth and hit._minute == plain._minute == 78


class TestReadingsAreTheMarkets:
    def test_observations_fills_and_wealth_match_the_engine_underneath(self):
        # Two of the roster, out of roster order; three steps a day over two days.
        env = MarketEnv(tickers=["AAD", "AAB"], max_position=[3000.0, 2000.0], ticks_per_step=130,
                        episode_days=2, window=3)
        _, info = env.reset(seed=5)
        e = env.engine
        assert e.seed == 5 and env.steps_per_day == 3
        at = [e.index_of(t) for t in env.tickers]
        limits, minutes, cash, position, wealth = np.array([3000.0, 2000.0]), 0, 1e6, np.zeros(2), 1e6
        assert info["wealth"] == wealth
        flows = []
        for step, action in enumerate([(0.5, -0.25), (-0.5, 0.75), (0, 0.75), (1, -1), (-0.3, 0.2), (0, 0)]):
            bid, ask, bid_size, ask_size = np.frombuffer(e.quotes(), "<f8").reshape(4, -1)[:, at]
            mid, price, volume = (bid + ask) / 2, np.frombuffer(e.prices(), "<f8")[at], e.column("volume")
            trade = np.zeros(len(e.tickers))
            trade[at] = np.rint(np.array(action) * limits) - position
            priced = np.frombuffer(e.sweep_costs(trade.tolist()), "<f8").reshape(3, -1)[:, at]
            drivers = {f: np.frombuffer(e.attribution(f), "<f8")[at] for f in corvane.Engine.FACTORS}
            observation, reward, terminated, truncated, info = env.step(np.array(action, dtype=np.float32))
            assert (terminated, truncated) == (False, step == 5)
            fills = info["fills"]
            assert fills["quantity"].tolist() == priced[0].tolist()
            assert np.array_equal(fills["average_price"], priced[1], equal_nan=True)
            assert np.array_equal(fills["worst_price"], priced[2], equal_nan=True)
            # A buy pays at least the ask, a sale gets at most the bid: both cost over the mid.
            assert (priced[1][priced[0] > 0] >= ask[priced[0] > 0]).all() and (priced[1][priced[0] < 0] <= bid[priced[0] < 0]).all()
            paid = np.where(priced[0] != 0, priced[0] * (priced[1] - mid), 0.0)
            assert fills["cost"] == pytest.approx(paid) and (paid >= 0).all()
            position, cash = position + priced[0], cash - float(np.nansum(priced[0] * priced[1]))
            flows.append({env.tickers[j]: (max(q, 0.0), max(-q, 0.0)) for j, q in enumerate(priced[0]) if q})
            minutes = (minutes + 130) % 390
            if minutes or truncated:  # a close that opens the next day starts its drivers at zero
                for f, before in drivers.items():
                    moved = np.frombuffer(e.attribution(f), "<f8")[at] - before
                    assert info["attribution"][f].tolist() == moved.tolist(), f
            bid, ask, bid_size, ask_size = np.frombuffer(e.quotes(), "<f8").reshape(4, -1)[:, at]
            mid = (bid + ask) / 2  # the marks after the step
            assert info["wealth"] == pytest.approx(cash + position @ mid, rel=1e-12)
            assert reward == pytest.approx(info["wealth"] - wealth, abs=1e-6)
            wealth = info["wealth"]
            expected = {
                "spread": (ask - bid) / mid, "bid_size": bid_size / limits, "ask_size": ask_size / limits,
                "position": position / limits, "cash": [cash / 1e6], "vix": [e.macro_state.vix],
                "policy_rate": [e.macro_state.federal_funds_rate],
                "time_of_day": [1.0 if truncated else minutes / 390],  # the last close opens no day
                "returns": np.log(np.frombuffer(e.prices(), "<f8")[at] / price),
            }
            if minutes:  # a close resets the day's volume once the step has read it
                grown = np.frombuffer(e.column("volume"), "<f8") - np.frombuffer(volume, "<f8")
                per_tick = np.array([e.universe[i].avg_volume for i in at]) / 390
                expected["volumes"] = grown[at] / (per_tick * 130)
            for key, value in expected.items():
                seen = observation[key][-1] if key in ("returns", "volumes") else observation[key]
                assert seen == pytest.approx(np.asarray(value, dtype=np.float32), rel=1e-6, abs=1e-12), key
        with pytest.raises(RuntimeError, match="reset"):
            env.step(env.action_space.sample())
        # The same market driven by hand: each step's fills on its first tick, then its minutes.
        plain = corvane.Engine(seed=5, universe=env._universe)
        plain.open_market()
        for step, flow in enumerate(flows):
            day_of_week, minute = 1 + step // 3, 570 + 130 * (step % 3)
            plain.tick(minute // 60, minute % 60, day_of_week, order_flow=flow or None)
            plain.run_session((minute + 1) // 60, (minute + 1) % 60, day_of_week, 129)
            if step % 3 == 2:
                plain.close_market()
                if step < 5:
                    plain.open_market()
        assert plain.state_digest() == e.state_digest()

    @pytest.mark.parametrize("vector", [False, True])
    def test_a_market_moved_between_steps_by_another_call_trades_as_it_stands(self, vector):
        # Reads between steps leave the desk's books standing; a tick on the
        # engine moves them, and the next trade prices against the moved books.
        settings = dict(tickers=["AAD", "AAB"], max_position=[3000.0, 2000.0], ticks_per_step=5)
        env = MarketVectorEnv(2, threads=1, **settings) if vector else MarketEnv(**settings)
        env.reset(seed=9)
        market = env.batch if vector else env.engine
        at = [market.tickers.index(t) for t in env.tickers]
        action = np.array([[0.5, -0.5], [-1.0, 1.0]] if vector else [0.5, -0.5], dtype=np.float32)
        held = np.asarray(env.step(action)[4]["fills"]["quantity"])
        for moved in (False, True):
            if moved:  # a heavy buyer of one and seller of the other
                flow = np.zeros((2, len(market.tickers), 2))
                flow[:, at[0], 0] = flow[:, at[1], 1] = 4e6
                market.tick(9, 45, 1, order_flow=flow if vector else {"AAD": (4e6, 0.0), "AAB": (0.0, 4e6)})
            action = -action
            wanted = np.zeros(held.shape[:-1] + (len(market.tickers),))
            wanted[..., at] = np.rint(action.astype(np.float64) * [3000.0, 2000.0]) - held
            priced = np.frombuffer(market.sweep_costs(wanted if vector else wanted.tolist()), "<f8")
            priced = priced.reshape(held.shape[:-1] + (3, -1))[..., at]
            fills = env.step(action)[4]["fills"]
            assert np.array_equal(fills["quantity"], priced[..., 0, :]), moved
            assert np.array_equal(fills["average_price"], priced[..., 1, :], equal_nan=True), moved
            held = held + np.asarray(fills["quantity"])


class TestRewards:
    def test_each_reward_is_its_formula_of_the_wealth_path_in_every_episode(self):
        calls = []
        kinds = {"pnl": None, "log_return": None, "risk_adjusted": None,
                 "callable": lambda before, after, info: calls.append((before, after, info["wealth"])) or 7}
        actions = np.random.default_rng(4).uniform(-1, 1, (4, 20))
        for name, kind in kinds.items():
            env = MarketEnv(reward=kind or name, **SHORT)
            for seed in (3, 3):  # the second episode starts afresh
                _, info = env.reset(seed=seed)
                wealth, rewards, calls[:] = [info["wealth"]], [], []
                for action in actions:
                    _, reward, _, _, info = env.step(action)
                    rewards.append(reward)
                    wealth.append(info["wealth"])
                pnl = [b - a for a, b in zip(wealth, wealth[1:])]
                expected = {
                    "pnl": pnl, "log_return": [math.log(b / a) for a, b in zip(wealth, wealth[1:])],
                    "risk_adjusted": [p - (p - (statistics.mean(pnl[:i]) if i else 0.0)) ** 2 / 1e6
                                      for i, p in enumerate(pnl)],
                    "callable": [7] * 4,
                }[name]
                assert rewards == pytest.approx(expected, rel=1e-12, abs=1e-9), name
                assert name != "pnl" or rewards == pnl  # today's reward, bit for bit
                assert name != "callable" or calls == [(a, b, b) for a, b in zip(wealth, wealth[1:])]


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


def metrics_by_hand(seed):
    """A buy-and-hold episode's measures from its wealth path and fills."""
    env = MarketEnv(**SHORT)
    _, info = env.reset(seed=seed)
    wealth, traded, cost, done = [info["wealth"]], 0.0, 0.0, False
    while not done:
        _, _, terminated, truncated, info = env.step(buy_and_hold({"position": np.zeros(20)}))
        for q, price, paid in zip(*(info["fills"][k] for k in ("quantity", "average_price", "cost"))):
            traded, cost = (traded + abs(q * price), cost + paid) if q else (traded, cost)
        wealth.append(info["wealth"])
        done = terminated or truncated
    returns = [b / a - 1 for a, b in zip(wealth, wealth[1:])]
    drawdowns = [1 - w / max(wealth[: i + 1]) for i, w in enumerate(wealth)]
    sharpe = statistics.mean(returns) / statistics.stdev(returns) * math.sqrt(252 * 390 / 78)
    return {"seed": seed, "pnl": wealth[-1] - wealth[0], "sharpe": sharpe, "max_drawdown": max(drawdowns),
            "turnover": traded / 1_000_000.0, "cost": cost}


def mids_of(engine):
    bid, ask, _, _ = np.frombuffer(engine.quotes(), dtype="<f8").reshape(4, -1)
    return (bid + ask) / 2


class TestPnlByDriver:
    def test_the_parts_sum_to_the_reward_and_own_impact_is_against_a_market_without_the_orders(self):
        env = MarketEnv(pnl_by_driver=True, **SHORT)
        _, info = env.reset(seed=9)
        # Outside: the same market without the agent's orders, driven by hand.
        outside = corvane.Engine(seed=9, universe=env._universe)
        outside.open_market()
        _, reward, *_, info = env.step(np.ones(20))
        outside.tick(9, 30, 3)
        outside.run_session(9, 31, 3, 77)
        held = info["fills"]["quantity"]
        parts = info["pnl_by_driver"]
        assert parts["own_impact"] == pytest.approx(float(held @ (mids_of(env.engine) - mids_of(outside))), rel=1e-12)
        assert parts["own_impact"] > 0 and parts["cost"] == -info["fills"]["cost"].sum() < 0
        # With no trade the orders are none: no impact, no cost, and the parts still sum.
        without_trades, held_through = [], []
        for action in [np.ones(20), *[np.zeros(20)] * 3, -np.ones(20), np.zeros(20)]:  # across the close
            _, reward, *_, info = env.step(action)
            parts = info["pnl_by_driver"]
            assert list(parts) == [*corvane.Engine.FACTORS, "rest", "own_impact", "cost"]
            assert sum(parts.values()) == pytest.approx(reward, rel=1e-9, abs=1e-6)
            if not info["fills"]["quantity"].any():
                without_trades.append((parts["own_impact"], parts["cost"]))
            if env._position.any():
                held_through.append(parts["random_noise"])
        assert without_trades and set(without_trades) == {(0.0, 0.0)}
        # A position held through a step earns or loses by the noise that moved it.
        assert held_through and all(value != 0.0 for value in held_through)

        result = corvane.backtest(buy_and_hold, seeds=[3], pnl_by_driver=True, **SHORT)
        row = result.rows[0]
        assert result.columns[6:] == ["pnl_" + p for p in (*corvane.Engine.FACTORS, "rest", "own_impact", "cost")]
        assert sum(row[c] for c in result.columns[6:]) == pytest.approx(row["pnl"], rel=1e-9)
        assert row["pnl_cost"] == pytest.approx(-row["cost"])


def test_a_step_split_by_hand():
    from corvane import _pnl

    drivers = np.zeros((9, 2))
    reversion, noise = corvane.Engine.FACTORS.index("reversion"), corvane.Engine.FACTORS.index("random_noise")
    drivers[reversion], drivers[noise] = [0.004, 0.0], [0.006, 0.002]  # the second's mid never moved
    parts = _pnl.split(held=np.array([10.0, 5.0]), mid_before=np.array([100.0, 50.0]),
                       mid_after=np.array([102.0, 50.0]), mid_without=np.array([101.0, 50.0]),
                       drivers_without=drivers, cost=0.75)
    per_log = 10.0 / math.log(1.01)  # the held move of 10 over its log move
    assert parts["reversion"] == pytest.approx(0.004 * per_log, rel=1e-12)
    assert parts["random_noise"] == pytest.approx(0.006 * per_log, rel=1e-12)
    assert parts["rest"] == pytest.approx(10.0 - 0.01 * per_log, rel=1e-9)
    assert (parts["own_impact"], parts["cost"], parts["momentum"]) == (10.0, -0.75, 0.0)


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
        assert result.rows[1] == pytest.approx(metrics_by_hand(2), nan_ok=True)
        pytest.importorskip("matplotlib")
        assert result.plot(tmp_path / "pnl.png").stat().st_size > 0

    @pytest.mark.parametrize("code", [
        # Light, and reading bytes keeps it so; yet gymnasium learns the ids on its first
        # import, or at once when loaded before.
        "import sys, corvane\ne = corvane.Engine(seed=1, universe=corvane.random_instruments(3))\n"
        "e.run_session(9, 30, 3, 2); e.prices(); e.session_prices()\n"
        "assert not {'gymnasium', 'numpy', 'pyarrow'} & set(sys.modules)\n"
        "import gymnasium; gymnasium.make('corvane/Market-v0', episode_days=1).reset(seed=1)",
        "import gymnasium, corvane; gymnasium.make('corvane/Market-v0', episode_days=1).reset(seed=1)",
        "import corvane, sys; sys.modules['gymnasium'] = None\n"
        "try:\n    import corvane.env\nexcept ModuleNotFoundError as e:\n"
        "    assert 'corvane[rl]' in str(e) and e.name == 'gymnasium', e\nelse:\n    raise SystemExit('imported')",
        # The multi-agent market loads pettingzoo on first use, and says which extra brings it.
        "import sys; sys.modules['pettingzoo'] = None\nimport corvane.env\ntry:\n    corvane.env.MarketParallelEnv\n"
        "except ModuleNotFoundError as e:\n    assert 'corvane[multiagent]' in str(e) and e.name == 'pettingzoo', e\n"
        "else:\n    raise SystemExit('imported')",
    ])
    def test_import_corvane_is_light_and_silent_and_registers_the_environments(self, code):
        out = subprocess.run([sys.executable, "-X", "dev", "-W", "error", "-c", code], capture_output=True,
                             text=True)
        assert (out.returncode, out.stdout, out.stderr) == (0, "", ""), out.stderr
