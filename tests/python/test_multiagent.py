"""Several traders in one market, and the pictures of both trading environments."""

import math

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("pettingzoo")
from pettingzoo.test import parallel_api_test  # noqa: E402

import corvane  # noqa: E402
from corvane import _render  # noqa: E402
from corvane.env import MarketEnv, MarketParallelEnv  # noqa: E402

SHORT = {"episode_days": 2, "ticks_per_step": 78}


def run(env, seed, actions):
    """An episode's every output, step by step, with each agent's actions
    drawn from `actions` (agent -> steps x instruments)."""
    outputs = [env.reset(seed=seed)]
    for step in range(len(next(iter(actions.values())))):
        outputs.append(env.step({agent: actions[agent][step] for agent in env.agents}))
    return outputs


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return np.array_equal(a, b, equal_nan=True)


class TestSeveralTraders:
    def test_api_and_determinism(self):
        parallel_api_test(MarketParallelEnv(agents=3, **SHORT), num_cycles=20)
        rng = np.random.default_rng(9)
        actions = {f"agent_{k}": rng.uniform(-1, 1, (10, 20)) for k in range(3)}
        first, again, other = (run(MarketParallelEnv(agents=3, **SHORT), seed, actions) for seed in (7, 7, 8))
        assert same(first, again) and not same(first, other)
        assert first[-1][3] == dict.fromkeys(actions, True)  # truncated after two days

    def test_a_lone_trader_is_the_single_agent_market_bit_for_bit(self):
        actions = np.random.default_rng(2).uniform(-1, 1, (10, 20))
        alone = run(MarketParallelEnv(agents=["solo"], reward="log_return", **SHORT), 5, {"solo": actions})
        single = MarketEnv(reward="log_return", **SHORT)
        expected = [single.reset(seed=5)] + [single.step(action) for action in actions]
        assert same([tuple(part["solo"] for part in out) for out in alone], expected)

    def test_turns_rotate_and_each_fill_takes_the_depth_the_ones_before_left(self):
        tickers, limits = ["AAA", "AAB"], np.array([3000.0, 3000.0])
        env = MarketParallelEnv(agents=3, tickers=tickers, max_position=limits, **SHORT)
        env.reset(seed=1)
        engine, names = env.market.engine, env.possible_agents
        position, cash = {a: np.zeros(2) for a in names}, dict.fromkeys(names, 1e6)
        # Buyers crowd AAA and sellers AAB past their books' depth; then the turn goes round.
        steps = [[(1, -1), (0.5, -1), (-1, -1)], [(0, 0), (1, 1), (1, 1)], [(-1, 1), (-1, -1), (0.2, 0)]]
        for t, targets in enumerate(steps):
            ladders = {(ticker, side): [[level.price, level.quantity] for level in engine.book(ticker).price_levels(side, 100)]
                       for ticker in tickers for side in ("buy", "sell")}
            order = [names[(t + k) % 3] for k in range(3)]
            actions = {a: np.array(targets[names.index(a)], dtype=np.float32) for a in names}
            expected, bought, sold = {}, np.zeros(2), np.zeros(2)
            for agent in order:
                trade = np.rint(actions[agent] * limits) - position[agent]
                expected[agent] = fills = np.array([take(ladders[ticker, "sell" if q > 0 else "buy"], q)
                                                    for ticker, q in zip(tickers, trade)]).T
                position[agent] += fills[0]
                cash[agent] -= np.nansum(fills[0] * fills[1])
                bought, sold = bought + np.maximum(fills[0], 0), sold + np.maximum(-fills[0], 0)
            _, _, _, _, infos = env.step(actions)
            bid, ask = np.frombuffer(engine.quotes(), "<f8").reshape(4, -1)[:2, :2]
            for agent in names:
                got = [infos[agent]["fills"][k] for k in ("quantity", "average_price", "worst_price")]
                assert np.allclose(got, expected[agent], rtol=1e-12, equal_nan=True), (t, agent)
                assert infos[agent]["wealth"] == pytest.approx(cash[agent] + position[agent] @ (bid + ask) / 2, rel=1e-12)
            flow = next(e for e in reversed(engine.order_log) if e["op"] == "tick")["order_flow"]
            assert flow == {ticker: [b, s] for ticker, b, s in zip(tickers, bought, sold) if b or s}
        assert sum(expected["agent_2"][0]) < 6000  # the books ran dry: some wanted went unfilled

    def test_a_ruined_trader_leaves_and_the_others_go_on(self):
        env = MarketParallelEnv(agents=["bold", "idle"], starting_cash=1000.0, max_position=1e5, **SHORT)
        with pytest.raises(RuntimeError, match=r"call reset\(\) first"):
            env.step({})
        env.reset(seed=3)
        # A bad action first: refused, and nothing moves, not even the turn.
        digest = env.market.engine.state_digest()
        with pytest.raises(ValueError, match="finite float32"):
            env.step({"bold": np.zeros(20), "idle": np.full(20, np.nan)})
        assert env.market.engine.state_digest() == digest and env.turn() == ["bold", "idle"]
        _, rewards, terminated, truncated, infos = env.step({"bold": np.ones(20), "idle": np.zeros(20)})
        assert terminated == {"bold": True, "idle": False} and infos["bold"]["wealth"] <= 0 == rewards["idle"]
        assert env.agents == ["idle"]
        with pytest.raises(ValueError, match="actions must map each of"):
            env.step({"bold": np.zeros(20), "idle": np.zeros(20)})
        while env.agents:
            *_, truncated, infos = env.step({"idle": np.zeros(20)})
        assert truncated == {"idle": True} and infos["idle"]["wealth"] == 1000.0
        # Nothing traded costs nothing, though it has no average price.
        fills = infos["idle"]["fills"]
        assert (fills["cost"] == 0.0).all() and np.isnan(fills["average_price"]).all()

    @pytest.mark.parametrize("kwargs, message", [
        ({"agents": 0}, "agents must be an integer from 1 to 10000"),
        ({"agents": ["a", "a"]}, "agents must be a count from 1 to 10000 or distinct non-empty names"),
        ({"agents": "ab"}, "distinct non-empty names, got 'ab'"),
        ({"render_mode": "human"}, "render_mode must be None, 'ansi' or 'rgb_array', got 'human'"),
        ({"episode_days": 0}, "episode_days must be an integer"),
    ])
    def test_bad_settings_are_refused(self, kwargs, message):
        with pytest.raises(corvane.ValidationError, match=message):
            MarketParallelEnv(**kwargs)


def take(ladder, quantity):
    """Takes |quantity| shares off `ladder` ([price, shares] levels, consumed
    in place): signed shares filled, average and worst price."""
    filled = cost = 0.0
    worst = math.nan
    for level in ladder:
        size = min(abs(quantity) - filled, level[1])
        if size > 0:
            filled, cost, worst, level[1] = filled + size, cost + size * level[0], level[0], level[1] - size
    return (math.copysign(filled, quantity), cost / filled, worst) if filled else (0.0, math.nan, math.nan)


class TestRendering:
    @pytest.mark.parametrize("multi", [False, True])
    def test_the_table_shows_the_state_and_the_panels_are_drawn(self, multi):
        settings = {"tickers": ["AAA", "AAB"], **SHORT}
        if multi:
            env = MarketParallelEnv(agents=2, render_mode="ansi", **settings)
            shown, step = ["agent_0", "agent_1"], lambda a: env.step({"agent_0": a, "agent_1": -a})[4]
        else:
            env = MarketEnv(render_mode="ansi", **settings)
            shown, step = ["agent"], lambda a: {"agent": env.step(a)[4]}
        env.reset(seed=4)
        engine = env.market.engine if multi else env.engine
        position = {a: np.zeros(2) for a in shown}
        for _ in range(6):  # into the second day
            infos = step(np.array([0.6, -0.3], dtype=np.float32))
            for agent in shown:
                position[agent] += infos[agent]["fills"]["quantity"]
        lines = [line.split() for line in env.render().splitlines()]
        assert lines[0] == ["day", "2", "of", "2,", "10:48"] and lines[1] == ["ticker", "last", "mid", *shown]
        bid, ask = np.frombuffer(engine.quotes(), "<f8").reshape(4, -1)[:2, :2]
        price = np.frombuffer(engine.prices(), "<f8")[:2]
        read = [[float(cell.replace(",", "")) for cell in line[1:]] for line in lines[2:]]
        for j, ticker in enumerate(["AAA", "AAB"]):
            assert lines[2 + j][0] == ticker
            assert read[j] == pytest.approx([price[j], (bid[j] + ask[j]) / 2] + [position[a][j] for a in shown], abs=5.1e-5)
        assert read[3] == pytest.approx([infos[a]["wealth"] for a in shown], abs=0.0051)  # to the shown digits

        drawn = (MarketParallelEnv(agents=2, render_mode="rgb_array", **settings) if multi
                 else MarketEnv(render_mode="rgb_array", **settings))
        drawn.reset(seed=4)
        frame = drawn.render()
        assert frame.shape == _render.FRAME_SHAPE and frame.dtype == np.uint8
        assert len(np.unique(frame.reshape(-1, 3), axis=0)) > 20  # lines, labels, not a blank page
