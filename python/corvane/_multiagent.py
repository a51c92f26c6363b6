"""Several traders in one market, on PettingZoo's Parallel API.

The market and everything each trader sees are `MarketEnv`'s: this module
holds only what several accounts add, namely who trades first, how each
trade meets the depth the others left, and one account per trader.
"""

try:
    from pettingzoo import ParallelEnv
except ModuleNotFoundError as error:  # pragma: no cover - depends on the install
    raise ModuleNotFoundError(
        "corvane.env.MarketParallelEnv needs pettingzoo: pip install 'corvane[multiagent]'",
        name="pettingzoo",
    ) from error
from collections.abc import Iterable
from typing import Any

import numpy as np
from gymnasium import spaces
from numpy.typing import ArrayLike, NDArray

import corvane
from corvane import _render, _rewards
from corvane.env import _F64, MarketEnv, Observation, _count, _f64, _InterruptAfter

# More traders than this in one market is a mistake, not a study.
MAX_AGENTS = 10_000

# One trade's fills: signed shares, average and worst price, per instrument.
_Fills = tuple[_F64, _F64, _F64]


def _check_agents(agents: object) -> list[str]:
    if isinstance(agents, (int, np.integer)) and not isinstance(agents, bool):
        return [f"agent_{k}" for k in range(_count("agents", agents, 1, MAX_AGENTS))]
    names = list(agents) if isinstance(agents, Iterable) and not isinstance(agents, str) else []
    if (not 0 < len(names) <= MAX_AGENTS or len(set(names)) != len(names)
            or not all(isinstance(name, str) and name for name in names)):
        raise corvane.ValidationError(
            f"agents must be a count from 1 to {MAX_AGENTS} or distinct non-empty names, got {agents!r}"
        )
    return names


def price_in_turn(market: MarketEnv, trades: list[_F64]) -> list[_Fills]:
    """Prices each trade (signed shares per traded instrument) in turn against
    the live books, as if the ones before it had taken their depth.

    A sweep from the top of a book prices the first `x` shares of that side;
    a trade of `q` shares after others wanting `w` on its side fills what the
    sweep of `w + q` fills beyond the sweep of `w`, and pays the difference of
    the two costs. The first trade on a side is read from its own sweep as is,
    so a lone trader is priced exactly as `MarketEnv` prices it.
    """
    assert market.engine is not None
    n = len(market.tickers)
    columns = np.arange(n)
    # Per side (row 0 buys, row 1 sells) and instrument: the shares wanted so
    # far, and what their sweep filled and cost.
    wanted, filled, cost = np.zeros((2, n)), np.zeros((2, n)), np.zeros((2, n))
    whole = np.zeros(market._roster_size)
    priced = []
    for trade in trades:
        if not trade.any():
            priced.append((np.zeros(n), np.full(n, np.nan), np.full(n, np.nan)))
            continue
        at = ((trade < 0).astype(np.intp), columns)
        moved = trade != 0.0
        reach = wanted[at] + np.abs(trade)
        whole[market._index] = np.where(moved, np.copysign(reach, trade), 0.0)
        swept = _f64(market.engine.sweep_costs(whole.tolist())).reshape(3, -1)
        end_quantity, end_average, end_worst = market._pick(swept)
        end_filled = np.abs(end_quantity)
        end_cost = np.where(end_filled > 0.0, end_filled * end_average, 0.0)
        own = end_filled - filled[at]
        took = moved & (own > 0.0)
        with np.errstate(divide="ignore", invalid="ignore"):
            average = np.where(wanted[at] == 0.0, end_average, (end_cost - cost[at]) / own)
        priced.append((
            np.where(took, np.copysign(own, trade), 0.0),
            np.where(took, average, np.nan),
            np.where(took, end_worst, np.nan),
        ))
        wanted[at] = np.where(moved, reach, wanted[at])
        filled[at] = np.where(moved, end_filled, filled[at])
        cost[at] = np.where(moved, end_cost, cost[at])
    return priced


def _spent(quantity: _F64, average: _F64) -> float:
    """What the fills cost, summed in instrument order as the desk sums a
    lone trader's, so that one trader here is MarketEnv's bit for bit."""
    spent = 0.0
    for q, price in zip(quantity.tolist(), average.tolist()):
        if q != 0.0:
            spent = spent + q * price
    return spent


class _Account:
    __slots__ = ("cash", "position", "wealth", "reward")

    def __init__(self, market: MarketEnv, reward: _rewards.Reward) -> None:
        self.cash = market.starting_cash
        self.position = np.zeros(len(market.tickers))
        self.wealth = market._value(self.cash, self.position)
        self.reward = reward


class MarketParallelEnv(ParallelEnv[str, Observation, ArrayLike]):  # type: ignore[misc]
    """`agents` traders (a count, named agent_0, agent_1, ..., or a list of
    names) in one market. The other settings, the spaces, the observation
    and `reward` are `MarketEnv`'s, per trader: each has its own cash,
    positions and wealth.

    Each step every trader still in names target positions. Their trades are
    priced against the live books in turn, and each takes the depth those
    before it on its side took: at step t the turn starts with
    `possible_agents[t % K]` and goes round in order, so no trader is always
    first. The bought and sold shares of all of them then enter the market on
    the step's first tick. A trader whose wealth reaches zero is terminated
    and leaves `agents` (its positions stay as they are); the others go on
    until all are truncated after `episode_days`. Each trader's `info` holds
    its fills (signed shares, average and worst price, cost over the mid),
    the step's attribution and its wealth.
    """

    metadata = {"name": "corvane_market_v0", "render_modes": list(_render.MODES),
                "render_fps": _render.FPS, "is_parallelizable": True}

    def __init__(
        self,
        *,
        agents: int | Iterable[str] = 2,
        render_mode: str | None = None,
        universe: Iterable[corvane.Instrument] | None = None,
        model: corvane.ModelParams | str | None = None,
        tickers: Iterable[str] | None = None,
        ticks_per_step: int = 5,
        episode_days: int = 5,
        starting_cash: float = 1_000_000.0,
        max_position: ArrayLike | None = None,
        window: int = 10,
        reward: str | _rewards.RewardFunction = "pnl",
    ) -> None:
        self.possible_agents = _check_agents(agents)
        self.render_mode = _render.check_mode(render_mode)
        self.market = MarketEnv(universe=universe, model=model, tickers=tickers,
                                ticks_per_step=ticks_per_step, episode_days=episode_days,
                                starting_cash=starting_cash, max_position=max_position,
                                window=window, reward=reward)
        self.agents: list[str] = []
        self._accounts: dict[str, _Account] = {}
        self._steps = 0
        self._trace = _render.Trace()

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return self.market.observation_space

    def action_space(self, agent: str) -> spaces.Space[Any]:
        return self.market.action_space

    def reset(
        self, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[dict[str, Observation], dict[str, dict[str, Any]]]:
        """A fresh market from `seed`, as `MarketEnv.reset`, every trader in
        with the starting cash and no positions."""
        market = self.market
        market.reset(seed=seed)
        self.agents = list(self.possible_agents)
        self._steps = 0
        self._accounts = {
            agent: _Account(market, _rewards.Reward(market._reward_kind, market.starting_cash))
            for agent in self.agents
        }
        self._record()
        observations = {agent: self._observe(agent) for agent in self.agents}
        return observations, {agent: {"wealth": self._accounts[agent].wealth} for agent in self.agents}

    def step(self, actions: dict[str, ArrayLike]) -> tuple[
        dict[str, Observation], dict[str, float], dict[str, bool], dict[str, bool], dict[str, dict[str, Any]]
    ]:
        """One step: `actions` maps every trader still in to its targets, as
        `MarketEnv.step` takes them. All are checked before anything moves."""
        if not self.agents:
            raise RuntimeError("call reset() first: no episode is running")
        if not isinstance(actions, dict) or set(actions) != set(self.agents):
            named = list(actions) if isinstance(actions, dict) else actions
            raise ValueError(f"actions must map each of {self.agents} to its targets, got {named!r}")
        targets = {agent: self.market._target(actions[agent]) for agent in self.agents}
        with _InterruptAfter():
            return self._step(targets)

    def turn(self) -> list[str]:
        """The order in which this step's trades are priced."""
        first = self._steps % len(self.possible_agents)
        trading = set(self.agents)
        return [a for a in self.possible_agents[first:] + self.possible_agents[:first] if a in trading]

    def _step(self, targets: dict[str, _F64]) -> tuple[
        dict[str, Observation], dict[str, float], dict[str, bool], dict[str, bool], dict[str, dict[str, Any]]
    ]:
        market = self.market
        order = self.turn()
        accounts = [self._accounts[agent] for agent in order]
        # Clipped as the desk clips a lone trader's targets.
        trades = [np.rint(np.minimum(np.maximum(targets[a], -1.0), 1.0) * market.max_position) - account.position
                  for a, account in zip(order, accounts)]
        infos: dict[str, dict[str, Any]] = {}
        # Per roster instrument: shares bought, shares sold.
        flow = np.zeros((market._roster_size, 2))
        bought, sold = np.zeros(len(market.tickers)), np.zeros(len(market.tickers))
        mid = market._mid
        for agent, account, (quantity, average, worst) in zip(order, accounts, price_in_turn(market, trades)):
            filled = quantity != 0.0
            account.position += quantity
            account.cash -= _spent(quantity, average)
            bought += np.maximum(quantity, 0.0)
            sold += np.maximum(-quantity, 0.0)
            cost = np.where(filled, quantity * (average - mid), 0.0)
            infos[agent] = {"fills": {"quantity": quantity, "average_price": average,
                                      "worst_price": worst, "cost": cost}}
        flow[market._index, 0], flow[market._index, 1] = bought, sold
        before = {agent: self._accounts[agent].wealth for agent in self.agents}
        attribution = market._advance(flow)
        over = market._day == market.episode_days
        observations, rewards, terminations, truncations = {}, {}, {}, {}
        for agent in self.agents:
            account = self._accounts[agent]
            account.wealth = market._value(account.cash, account.position)
            info = infos[agent]
            info["attribution"] = dict(zip(corvane.Engine.FACTORS, attribution))
            info["wealth"] = account.wealth
            terminations[agent] = account.wealth <= 0.0
            truncations[agent] = not terminations[agent] and over
            rewards[agent] = account.reward(before[agent], account.wealth, info)
            observations[agent] = self._observe(agent)
        self._steps += 1
        self._record()  # before the leavers go: their last step is drawn
        self.agents = [a for a in self.agents if not (terminations[a] or truncations[a])]
        return observations, rewards, terminations, truncations, infos

    def _observe(self, agent: str) -> Observation:
        account = self._accounts[agent]
        return self.market._observe(account.cash, account.position)

    # ---- Rendering ----

    def _shown(self) -> dict[str, _render.Account]:
        return {a: (self._accounts[a].cash, self._accounts[a].position, self._accounts[a].wealth)
                for a in self.agents}

    def _record(self) -> None:
        if self.render_mode == "rgb_array":
            if not self._steps:  # a new episode
                self._trace.clear()
            self.market._record_to(self._trace, self._shown())

    def render(self) -> str | NDArray[np.uint8] | None:
        """By `render_mode`: "ansi", the moment as a text table, every trader
        who took part in a column; "rgb_array", price, position and wealth
        panels of the episode so far; None, nothing."""
        if self.render_mode is None:
            return None
        if self.market.engine is None:
            raise RuntimeError("call reset() first: there is no market to draw")
        if self.render_mode == "ansi":
            return self.market._ansi({a: (account.cash, account.position, account.wealth)
                                      for a, account in self._accounts.items()})
        return _render.rgb_array(self.market.tickers, self._trace)

    def close(self) -> None:
        pass
