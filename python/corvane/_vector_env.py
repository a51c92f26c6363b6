"""Many markets stepped as one: `MarketVectorEnv`, Gymnasium's vector
interface over one `corvane.EngineBatch`.

Every read and every price crosses into the core once per step for all the
markets at once, and the rest is numpy over (markets, instruments) arrays,
so a step costs about what the simulation does, however many markets run.
"""

from collections.abc import Iterable, Sequence
from typing import Any, cast

import gymnasium
import numpy as np
from gymnasium.vector import AutoresetMode
from gymnasium.vector.utils import batch_space
from numpy.typing import ArrayLike, NDArray

import corvane
from corvane.env import (
    _ACTION_LIMIT,
    OPEN_MINUTE,
    TICKS_PER_DAY,
    TRADING_DAYS,
    MarketEnv,
    Observation,
    _count,
    _interrupt_after,
)

_F64 = NDArray[np.float64]
_SEED_LIMIT = 2**32
# Threads a batch may use at most.
MAX_THREADS = 1024


def _seeds(seed: int | Sequence[int], count: int) -> list[int]:
    """One engine seed per market: `seed`, `seed` + 1, ... or the list given."""
    if isinstance(seed, (int, np.integer)) and not isinstance(seed, bool):
        seeds = [int(seed) + k for k in range(count)]
    else:
        seeds = list(cast(Sequence[int], seed))
        if len(seeds) != count or not all(
            isinstance(s, (int, np.integer)) and not isinstance(s, bool) for s in seeds
        ):
            raise corvane.ValidationError(
                f"seed must be an integer or a list of {count} integers, got {seed!r}"
            )
        seeds = [int(s) for s in seeds]
    if not all(0 <= s < _SEED_LIMIT for s in seeds):
        raise corvane.ValidationError(
            f"seeds must be from 0 to {_SEED_LIMIT - 1}, got {seeds[0]} to {seeds[-1]}"
        )
    return seeds


class MarketVectorEnv(gymnasium.vector.VectorEnv[Observation, ArrayLike, Any]):
    """`num_envs` markets of `corvane.env.MarketEnv`, stepped together.

    Settings are MarketEnv's and mean the same; `threads` is the native
    threads the markets advance on (None: every core). Results are the same
    for any thread count. Observations, rewards, flags and `info` are
    Gymnasium's batched forms of MarketEnv's: each observation key holds an
    array with the market first, `info` holds each key with its ``_key`` mask.

    ``reset(seed=s)`` gives market k the engine seed s + k (or ``seed[k]``
    for a list of distinct seeds; when None, a block of seeds is drawn from
    the environment's generator), so that, driven with the same actions,
    market k runs exactly the episode of ``MarketEnv().reset(seed=s + k)``:
    the same observations, rewards and `info`.

    Autoreset is Gymnasium's default (`AutoresetMode.NEXT_STEP`): the step
    after a market's episode ends resets it, ignores its action, and returns
    reward 0 with both flags false. The markets share one clock, so
    truncation after `episode_days` comes to all of them on the same step,
    and the next step starts every market over, from a fresh batch, exactly
    as a reset does. A market terminated early (its wealth at zero) while the
    others trade on starts over in place: its engine is replaced by a fresh
    one from a newly drawn seed, opened at the shared clock's minute, which
    trades nothing on that step and is observed, like the others, after the
    step's ticks. That episode then starts mid-session on the shared
    calendar and ends with the others' truncation, so unlike a first episode
    it is not a MarketEnv episode of its seed.
    """

    metadata = {"render_modes": [], "autoreset_mode": AutoresetMode.NEXT_STEP}

    batch: corvane.EngineBatch | None
    # The episode's state, set by reset(): a row per market.
    wealth: _F64
    _day: int
    _minute: int
    _ended: NDArray[np.bool_]
    _cash: _F64
    _position: _F64
    _price: _F64
    _mid: _F64
    _day_volume: _F64
    _attribution_base: _F64

    def __init__(
        self,
        num_envs: int,
        *,
        universe: Iterable[corvane.Instrument] | None = None,
        model: corvane.ModelParams | str | None = None,
        tickers: Iterable[str] | None = None,
        ticks_per_step: int = 5,
        episode_days: int = 5,
        starting_cash: float = 1_000_000.0,
        max_position: ArrayLike | None = None,
        window: int = 10,
        threads: int | None = None,
    ) -> None:
        self.num_envs = _count("num_envs", num_envs, 1, 1_000_000)
        if threads is not None:
            threads = _count("threads", threads, 1, MAX_THREADS)
        self._threads = threads
        # One market's settings, checked once; every market shares them.
        single = MarketEnv(
            universe=universe,
            model=model,
            tickers=tickers,
            ticks_per_step=ticks_per_step,
            episode_days=episode_days,
            starting_cash=starting_cash,
            max_position=max_position,
            window=window,
        )
        self._single = single
        self.tickers = single.tickers
        self.ticks_per_step = single.ticks_per_step
        self.episode_days = single.episode_days
        self.starting_cash = single.starting_cash
        self.window = single.window
        self.max_position = single.max_position
        self.steps_per_day = single.steps_per_day
        self._index = single._index
        self._all_traded = self._index.tolist() == list(range(single._roster_size))
        self._roster_size = single._roster_size
        self._volume_per_tick = single._volume_per_tick

        self.single_observation_space = single.observation_space
        self.single_action_space = single.action_space
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self._lay_out_observation()
        self.batch = None

    def _lay_out_observation(self) -> None:
        # As MarketEnv's: one flat row per market, the keys views into it.
        bounds = self._single._bounds
        m = self.num_envs
        self._low = self._single._low
        self._high = self._single._high
        self._flat = np.zeros((m, self._low.size))
        self._bounded = np.empty_like(self._flat)
        self._layout = []
        self._view = {}
        start = 0
        for key, (shape, _, _) in bounds.items():
            size = int(np.prod(shape))
            at = slice(start, start + size)
            self._layout.append((key, at, (m, *shape)))
            self._view[key] = self._flat[:, at].reshape(m, *shape)
            assert np.shares_memory(self._view[key], self._flat)
            start += size

    def _pick(self, read: bytes | _F64) -> _F64:
        """The traded instruments of a read taken with as_numpy=True."""
        rows = cast(_F64, read)
        return rows if self._all_traded else rows[..., self._index]

    # ---- Gymnasium's interface ----

    def reset(
        self,
        *,
        seed: int | Sequence[int] | None = None,
        options: dict[str, Any] | None = None,
    ) -> tuple[Observation, dict[str, Any]]:
        """Fresh markets, their first day opened: market k from engine seed
        `seed` + k, or `seed[k]` for a list."""
        m = self.num_envs
        if seed is not None:
            seeds = _seeds(seed, m)
        else:
            seeds = _seeds(int(self.np_random.integers(_SEED_LIMIT - m + 1)), m)
        single = self._single
        self.batch = corvane.EngineBatch(
            seeds=seeds, universe=single._universe, model=single._model, threads=self._threads
        )
        if seed is not None:
            super().reset(seed=seeds[0])
        self.batch.open_market()
        self._day = 0
        self._minute = 0
        self._ended = np.zeros(m, dtype=bool)
        self._cash = np.full(m, self.starting_cash)
        self._position = np.zeros((m, len(self.tickers)))
        self._flat[:] = 0.0
        self._read_macro()
        self._start_of_day()
        self._price = self._pick(self.batch.prices(as_numpy=True))
        self._read_books()
        self.wealth = self._mark()
        return self._observation(), {"wealth": self.wealth, "_wealth": np.ones(m, dtype=bool)}

    def step(
        self, actions: ArrayLike
    ) -> tuple[Observation, _F64, NDArray[np.bool_], NDArray[np.bool_], dict[str, Any]]:
        """One step of `ticks_per_step` minutes in every market toward the
        target positions in `actions`: a row per market, a real number per
        traded instrument, clipped to [-1, 1]. Actions of another shape,
        complex or not finite float32 are a ValueError. A Ctrl-C during the
        step is raised once it is over."""
        if self.batch is None:
            raise RuntimeError("call reset() first: no episode is running")
        target = self._target(actions)
        m = self.num_envs
        if self._ended.all():
            observation, info = self.reset()
            return observation, np.zeros(m), np.zeros(m, bool), np.zeros(m, bool), info
        with _interrupt_after():
            return self._step(target)

    def _target(self, actions: ArrayLike) -> _F64:
        shape = (self.num_envs, len(self.tickers))
        try:
            actions = np.asarray(actions)
        except (ValueError, TypeError) as error:
            raise ValueError(f"actions must be an array shaped {shape}: {error}") from None
        if actions.dtype.kind not in "iuf":
            raise ValueError(f"actions must hold real numbers, got dtype {actions.dtype}")
        if actions.shape != shape:
            raise ValueError(
                f"actions must have shape {shape}, a target per market and traded instrument, "
                f"got shape {actions.shape}"
            )
        actions = actions.astype(np.float64, copy=False)
        if not (np.abs(actions) <= _ACTION_LIMIT).all():
            bad = actions[~(np.abs(actions) <= _ACTION_LIMIT)][0]
            raise ValueError(f"actions must be finite float32 values, got {bad}")
        clipped: _F64 = np.minimum(np.maximum(actions, -1.0), 1.0)
        return clipped

    def _step(
        self, target: _F64
    ) -> tuple[Observation, _F64, NDArray[np.bool_], NDArray[np.bool_], dict[str, Any]]:
        restarted = self._restart_ended()
        quantity, average, worst, cost, flow = self._trade(target, restarted)
        before = self.wealth
        ticks = self._run_ticks(flow)
        self._record_volumes(ticks)
        step_attribution = self._close_if_session_over()
        self._record_returns()
        self._read_books()
        self.wealth = self._mark()

        terminated = self.wealth <= 0.0
        truncated = ~terminated & (self._day == self.episode_days)
        self._ended = terminated | truncated
        every = np.ones(self.num_envs, dtype=bool)
        fills = {"quantity": quantity, "average_price": average, "worst_price": worst,
                 "cost": cost}
        attribution = dict(zip(corvane.Engine.FACTORS, step_attribution))
        info = {
            "fills": {**fills, **{"_" + key: every for key in fills}},
            "_fills": every,
            "attribution": {**attribution, **{"_" + key: every for key in attribution}},
            "_attribution": every,
            "wealth": self.wealth,
            "_wealth": every,
        }
        return self._observation(), self.wealth - before, terminated, truncated, info

    # ---- The steps of a step ----

    def _restart_ended(self) -> NDArray[np.bool_]:
        """Markets whose episode ended while others trade on start over in
        place, each from a fresh engine of a newly drawn seed."""
        ended = self._ended
        if not ended.any():
            return ended
        assert self.batch is not None
        batch = self.batch
        for k in np.flatnonzero(ended).tolist():
            held = set(batch.seeds)
            seed = int(self.np_random.integers(_SEED_LIMIT))
            while seed in held:
                seed = int(self.np_random.integers(_SEED_LIMIT))
            batch.replace_member(k, seed)
        self._cash[ended] = self.starting_cash
        self._position[ended] = 0.0
        self._flat[ended] = 0.0
        # The economy of the others has not moved since it was last read.
        self._read_macro()
        # The others keep what they saw: only the restarted rows take new reads.
        rows = ended[:, None]
        volume = self._pick(batch.column("volume", as_numpy=True))
        self._day_volume = np.where(rows, volume, self._day_volume)
        self._attribution_base = np.where(rows, self._attribution(), self._attribution_base)
        self._price = np.where(rows, self._pick(batch.prices(as_numpy=True)), self._price)
        self._read_books()
        self.wealth = np.where(ended, self._mark(), self.wealth)
        self._ended = np.zeros_like(ended)
        return ended

    def _trade(
        self, target: _F64, restarted: NDArray[np.bool_]
    ) -> tuple[_F64, _F64, _F64, _F64, _F64 | None]:
        """Moves toward the target positions at the books' prices, as
        MarketEnv does market by market: the fills, what they cost over the
        mid, and the order flow (markets x roster x (buy, sell)) they make."""
        assert self.batch is not None
        trade = np.rint(target * self.max_position) - self._position
        trade[restarted] = 0.0
        shape = trade.shape
        if not trade.any():
            unpriced = np.full(shape, np.nan)
            return np.zeros(shape), unpriced, unpriced.copy(), np.zeros(shape), None
        if self._all_traded:
            whole = trade
        else:
            whole = np.zeros((self.num_envs, self._roster_size))
            whole[:, self._index] = trade
        priced = cast(_F64, self.batch.sweep_costs(whole, as_numpy=True))
        quantity, average, worst = (self._pick(priced[:, j]) for j in range(3))
        filled = quantity != 0.0
        cost = np.where(filled, quantity * (average - self._mid), 0.0)
        if not filled.any():
            return quantity, average, worst, cost, None
        self._position += quantity
        self._cash -= np.vecdot(quantity, np.where(filled, average, 0.0))
        if self._all_traded:
            flow = np.empty((self.num_envs, self._roster_size, 2))
            buy, sell = flow[:, :, 0], flow[:, :, 1]
        else:
            flow = np.zeros((self.num_envs, self._roster_size, 2))
            buy, sell = np.empty_like(quantity), np.empty_like(quantity)
        # Shares bought, and shares sold, per instrument; none both ways.
        np.maximum(quantity, 0.0, out=buy)
        np.negative(quantity, out=sell)
        np.maximum(sell, 0.0, out=sell)
        if not self._all_traded:
            flow[:, self._index, 0], flow[:, self._index, 1] = buy, sell
        return quantity, average, worst, cost, flow

    def _run_ticks(self, flow: _F64 | None) -> int:
        assert self.batch is not None
        batch = self.batch
        ticks = min(self.ticks_per_step, TICKS_PER_DAY - self._minute)
        hour, minute = divmod(OPEN_MINUTE + self._minute, 60)
        day_of_week = TRADING_DAYS[self._day % len(TRADING_DAYS)]
        # The agents' volume enters the markets once, on the step's first tick.
        batch.tick(hour, minute, day_of_week, order_flow=flow)
        if ticks > 1:
            hour, minute = divmod(OPEN_MINUTE + self._minute + 1, 60)
            batch.run_session(hour, minute, day_of_week, ticks - 1)
        self._minute += ticks
        return ticks

    def _record_volumes(self, ticks: int) -> None:
        assert self.batch is not None
        volumes = self._view["volumes"]
        volumes[:, :-1] = volumes[:, 1:]
        volume = self._pick(self.batch.column("volume", as_numpy=True))
        np.divide(volume - self._day_volume, self._volume_per_tick * ticks, out=volumes[:, -1])
        self._day_volume = volume

    def _close_if_session_over(self) -> _F64:
        assert self.batch is not None
        end_of_day = self._minute == TICKS_PER_DAY
        if end_of_day:
            self.batch.close_market()
            self._day += 1
            self._read_macro()
        attribution = self._attribution()
        step_attribution = attribution - self._attribution_base
        self._attribution_base = attribution
        if end_of_day and self._day < self.episode_days:
            self.batch.open_market()
            self._minute = 0
            self._start_of_day()
        return step_attribution

    def _record_returns(self) -> None:
        assert self.batch is not None
        returns = self._view["returns"]
        returns[:, :-1] = returns[:, 1:]
        price = self._pick(self.batch.prices(as_numpy=True))
        np.log(price / self._price, out=returns[:, -1])
        self._price = price

    # ---- The markets as the agents meet them ----

    def _read_books(self) -> None:
        assert self.batch is not None
        quotes = self._pick(self.batch.quotes(as_numpy=True))
        bid, ask, bid_size, ask_size = (quotes[:, j] for j in range(4))
        # An empty side reads as the last price with nothing behind it.
        if np.isnan(bid.sum() + ask.sum()):
            bid = np.where(np.isnan(bid), self._price, bid)
            ask = np.where(np.isnan(ask), self._price, ask)
        self._mid = (bid + ask) * 0.5
        view = self._view
        np.divide(ask - bid, self._mid, out=view["spread"])
        np.divide(bid_size, self.max_position, out=view["bid_size"])
        np.divide(ask_size, self.max_position, out=view["ask_size"])

    def _attribution(self) -> _F64:
        """factors x markets x traded instruments."""
        assert self.batch is not None
        return self._pick(self.batch.attribution(as_numpy=True))

    def _read_macro(self) -> None:
        assert self.batch is not None
        # Once a day, at the close: the economy moves only then.
        macro = self.batch.macro_states
        self._view["vix"][:, 0] = [state.vix for state in macro]
        self._view["policy_rate"][:, 0] = [state.federal_funds_rate for state in macro]

    def _start_of_day(self) -> None:
        assert self.batch is not None
        self._day_volume = self._pick(self.batch.column("volume", as_numpy=True))
        self._attribution_base = self._attribution()

    def _mark(self) -> _F64:
        # A row's dot product as MarketEnv's np.dot sums it, bit for bit.
        wealth: _F64 = self._cash + np.vecdot(self._position, self._mid)
        return wealth

    def _observation(self) -> Observation:
        view = self._view
        np.divide(self._position, self.max_position, out=view["position"])
        view["cash"][:, 0] = self._cash / self.starting_cash
        view["time_of_day"][:] = self._minute / TICKS_PER_DAY
        bounded = self._bounded
        np.maximum(self._flat, self._low, out=bounded)
        np.minimum(bounded, self._high, out=bounded)
        clipped = bounded.astype(np.float32)
        return {key: clipped[:, at].reshape(shape) for key, at, shape in self._layout}
