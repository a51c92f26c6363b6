"""A trading environment on the simulator, with Gymnasium's conventions.

Importing this module registers ``corvane/Market-v0``, so either of

    import corvane.env; gymnasium.make("corvane/Market-v0")
    gymnasium.make("corvane.env:corvane/Market-v0")

builds a `MarketEnv`. Needs the ``rl`` extra: ``pip install 'corvane[rl]'``.
`MarketParallelEnv`, several traders in one market on PettingZoo's Parallel
API, needs the ``multiagent`` extra as well.
"""

try:
    import gymnasium
except ModuleNotFoundError as error:  # pragma: no cover - depends on the install
    raise ModuleNotFoundError(
        "corvane.env needs gymnasium: pip install 'corvane[rl]'", name="gymnasium"
    ) from error
import contextlib
import signal
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any, cast

import numpy as np
from gymnasium import spaces
from numpy.typing import ArrayLike, NDArray

import corvane
from corvane import _gym, _pnl, _render, _rewards

__all__ = ["MarketEnv", "MarketVectorEnv"]

TICKS_PER_DAY = 390
OPEN_MINUTE = 9 * 60 + 30
# Monday to Friday (0 is Sunday): the market is closed at weekends.
TRADING_DAYS = (1, 2, 3, 4, 5)
TRADING_DAYS_PER_YEAR = 252

# What the agent sees each step: one array per key of the observation space.
Observation = dict[str, NDArray[np.float32]]
_F64 = NDArray[np.float64]
# The agent's order flow for a tick: ticker -> (shares bought, shares sold).
_Flow = dict[str, tuple[float, float]]


def _f64(data: bytes | _F64) -> _F64:
    return np.frombuffer(data, dtype="<f8")


# Bounds of the settings: beyond them a step costs minutes or a number
# stops meaning money.
MAX_EPISODE_DAYS = 10_000
MAX_WINDOW = 10_000
MAX_CASH = 1e15
MAX_SHARES = 1e12
# An action must fit the action space's float32.
_ACTION_LIMIT = float(np.finfo(np.float32).max)


def _count(name: str, value: object, lowest: int, highest: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not lowest <= value <= highest:
        raise corvane.ValidationError(f"{name} must be an integer from {lowest} to {highest}, got {value!r}")
    return int(value)


def _check_universe(universe: Iterable[corvane.Instrument]) -> list[corvane.Instrument]:
    universe = list(universe)
    if not universe or not all(isinstance(i, corvane.Instrument) for i in universe):
        raise corvane.ValidationError("universe must be a non-empty list of corvane.Instrument")
    return universe


def _check_model(model: corvane.ModelParams | str | None) -> corvane.ModelParams | str | None:
    if isinstance(model, str):
        corvane.ModelParams.from_preset(model)  # an unknown name says which are shipped
    elif model is not None and not isinstance(model, corvane.ModelParams):
        raise corvane.ValidationError(
            f"model must be None, a preset name or a corvane.ModelParams, got {type(model).__name__}"
        )
    return model


def _check_cash(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)) or not (
        0 < value <= MAX_CASH
    ):
        raise corvane.ValidationError(
            f"starting_cash must be a number above 0 and at most {MAX_CASH:g}, got {value!r}"
        )
    return float(value)


def _check_tickers(every: list[str], tickers: list[str]) -> None:
    unknown = [t for t in tickers if t not in every]
    if not tickers or unknown or len(set(tickers)) != len(tickers):
        raise corvane.ValidationError(
            f"tickers must be distinct tickers of the universe, got {tickers!r}"
        )


@contextlib.contextmanager
def _interrupt_after() -> Iterator[None]:
    """Holds back a Ctrl-C that arrives inside the block until it ends, so a
    step either runs whole or not at all. Only the main thread receives
    signals, and a handler installed outside Python cannot be put back: in
    either case the block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.getsignal(signal.SIGINT)
    if previous is None:
        yield
        return
    received: list[int] = []
    signal.signal(signal.SIGINT, lambda signum, frame: received.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if received:
            signal.raise_signal(signal.SIGINT)


class MarketEnv(gymnasium.Env[Observation, ArrayLike]):
    """A market that answers back: the agent's trades cost the spread and its
    own depth, and move the price it trades.

    Every step the agent names a target position per traded instrument, as a
    fraction in [-1, 1] of `max_position` shares (a number, or one per traded
    instrument; by default the shares that put an equal part of
    `starting_cash` in each at its opening price, so all long is all in). The
    trade that reaches it is priced by sweeping the live book, then enters the
    market as order flow on the step's first tick; `ticks_per_step` minutes
    then pass. Wealth is cash plus positions marked at mid prices, so its
    change is net of what the fills cost over the mid. The reward is, by
    `reward`: "pnl" (the default), the step's change in wealth; "log_return",
    ``log(after / before)`` of wealth (ruin counts as wealth of 0.01);
    "risk_adjusted", ``pnl - (pnl - mean)**2 / starting_cash`` with ``mean``
    the average pnl of the episode's earlier steps (0 at the first), a
    mean-variance utility; or a callable ``f(before, after, info) -> float`` of
    the wealth before and after the step and the step's `info`, called once
    the step has run.

    Observations hold only what a trader could see (no fair value, no
    mispricing): for the last `window` steps, log returns of the last traded
    price and volume relative to the instrument's average for that many ticks; the
    relative spread and top-of-book sizes (in units of `max_position`); the
    agent's position (as a fraction of `max_position`) and cash (as a fraction
    of `starting_cash`); VIX in points; the policy rate as a fraction; the
    fraction of the session elapsed.

    Settings are checked: `ticks_per_step` from 1 to 390, `episode_days` and
    `window` from 1 to 10,000, `starting_cash` above 0 and at most 1e15,
    `max_position` above 0 and at most 1e12 shares.

    An episode is terminated when wealth reaches zero and truncated after
    `episode_days` trading days; each day ends with the simulator's close.
    `info` holds the step's fills (signed shares, average and worst prices,
    cost over the mid), the change of each instrument's mispricing due to each
    of the nine drivers in `corvane.Engine.FACTORS` (the step's log price move,
    taken apart), and the wealth after the step. With `pnl_by_driver=True`
    (it costs a fork and a second run of every step) `info["pnl_by_driver"]`
    also splits the step's change in wealth into what each driver moved the
    prices held through, the agent's own impact and its cost (see
    `corvane._pnl`).

    `render_mode` "ansi" renders the moment as a text table (time, prices,
    positions, cash, wealth); "rgb_array", the episode so far as price,
    position and wealth panels (an image of `_render.FRAME_SHAPE`, drawn by
    matplotlib).
    """

    metadata = {"render_modes": list(_render.MODES), "render_fps": _render.FPS}

    engine: corvane.Engine | None
    # The episode's state, set by reset().
    wealth: float
    _day: int
    _minute: int
    _done: bool
    _cash: float
    _position: _F64
    _price: _F64
    _mid: _F64
    _day_volume: _F64
    _attribution_base: _F64

    def __init__(
        self,
        *,
        universe: Iterable[corvane.Instrument] | None = None,
        model: corvane.ModelParams | str | None = None,
        tickers: Iterable[str] | None = None,
        ticks_per_step: int = 5,
        episode_days: int = 5,
        starting_cash: float = 1_000_000.0,
        max_position: ArrayLike | None = None,
        window: int = 10,
        reward: str | _rewards.RewardFunction = "pnl",
        render_mode: str | None = None,
        pnl_by_driver: bool = False,
    ) -> None:
        if universe is None:
            universe = corvane.random_instruments(20, seed=0)
        self._universe = _check_universe(universe)
        self._model = _check_model(model)
        every = [instrument.ticker for instrument in self._universe]
        tickers = every if tickers is None else list(tickers)
        _check_tickers(every, tickers)
        ticks_per_step = _count("ticks_per_step", ticks_per_step, 1, TICKS_PER_DAY)
        episode_days = _count("episode_days", episode_days, 1, MAX_EPISODE_DAYS)
        window = _count("window", window, 1, MAX_WINDOW)
        self._reward_kind = _rewards.check_reward(reward)
        self.render_mode = _render.check_mode(render_mode)

        self.tickers = tickers
        self.ticks_per_step = ticks_per_step
        self.episode_days = episode_days
        self.starting_cash = _check_cash(starting_cash)
        self.window = window
        self.pnl_by_driver = bool(pnl_by_driver)
        self._reward = _rewards.Reward(self._reward_kind, self.starting_cash)
        self._trace = _render.Trace()
        self.steps_per_day = -(-TICKS_PER_DAY // ticks_per_step)

        self._index = np.array([every.index(t) for t in tickers], dtype=np.intp)
        self._roster_size = len(every)
        avg_volume = np.array([self._universe[i].avg_volume for i in self._index])
        self._volume_per_tick = avg_volume / TICKS_PER_DAY
        self.max_position = self._position_limits(max_position)
        self._build_spaces()
        self._lay_out_observation()
        # Reading every instrument and keeping the traded ones; no copy when
        # all are traded, in roster order.
        self._pick: Callable[[_F64], _F64]
        if self._index.tolist() == list(range(self._roster_size)):
            self._pick = lambda rows: rows
        else:
            index = self._index
            self._pick = lambda rows: rows[..., index]
        self.engine = None

    def _position_limits(self, max_position: ArrayLike | None) -> _F64:
        """One limit in shares per traded instrument, checked."""
        n = len(self.tickers)
        if max_position is None:
            # Fully long everywhere is fully invested, at the opening prices.
            price = np.array([self._universe[i].initial_price for i in self._index])
            max_position = np.maximum(1.0, np.floor(self.starting_cash / n / price))
        try:
            limits = np.broadcast_to(np.asarray(max_position, dtype=np.float64), (n,))
        except (ValueError, TypeError):
            limits = np.array([np.nan])
        if not np.all((limits > 0) & (limits <= MAX_SHARES)):
            raise corvane.ValidationError(
                f"max_position must be a number of shares above 0 and at most {MAX_SHARES:g}, "
                f"or one such per traded instrument, got {max_position!r}"
            )
        return limits.copy()

    def _build_spaces(self) -> None:
        n = len(self.tickers)
        window = self.window
        # Finite bounds, generous enough that only absurd values are clipped
        # to them (learners normalise by these).
        self._bounds = {
            "returns": ((window, n), -1.0, 1.0),
            "volumes": ((window, n), 0.0, 1e4),
            "spread": ((n,), 0.0, 1.0),
            "bid_size": ((n,), 0.0, 1e6),
            "ask_size": ((n,), 0.0, 1e6),
            "position": ((n,), -1.0, 1.0),
            "cash": ((1,), -1e6, 1e6),
            "vix": ((1,), 0.0, 1e3),
            "policy_rate": ((1,), -1.0, 1.0),
            "time_of_day": ((1,), 0.0, 1.0),
        }
        self.action_space = spaces.Box(-1.0, 1.0, (n,), dtype=np.float32)
        # Gymnasium types a Dict space's samples as spaces, not as the arrays
        # they are.
        self.observation_space = spaces.Dict(  # type: ignore[assignment]
            {
                key: spaces.Box(low, high, shape, dtype=np.float32)
                for key, (shape, low, high) in self._bounds.items()
            }
        )

    def _lay_out_observation(self) -> None:
        # The observation's values live in one flat buffer (the windows are
        # views into it), clipped and converted in one call per step: per-key
        # numpy calls would cost more than the simulator does.
        sizes = [int(np.prod(shape)) for shape, _, _ in self._bounds.values()]
        self._low = np.repeat([low for _, low, _ in self._bounds.values()], sizes)
        self._high = np.repeat([high for _, _, high in self._bounds.values()], sizes)
        self._flat = np.zeros(sum(sizes))
        self._layout = []
        self._view = {}
        start = 0
        for (key, (shape, _, _)), size in zip(self._bounds.items(), sizes):
            self._layout.append((key, slice(start, start + size), shape))
            self._view[key] = self._flat[start : start + size].reshape(shape)
            start += size

    # ---- Gymnasium's interface ----

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Observation, dict[str, Any]]:
        """A fresh market from `seed` (the engine's own seed; when None, one
        drawn from the environment's generator), its first day opened."""
        super().reset(seed=seed)
        engine_seed = int(self.np_random.integers(2**32)) if seed is None else seed
        self.engine = corvane.Engine(seed=engine_seed, universe=self._universe, model=self._model)
        self.engine.open_market()
        self._day = 0
        self._minute = 0
        self._done = False
        self._cash = self.starting_cash
        self._position = np.zeros(len(self.tickers))
        self._flat[:] = 0.0
        self._read_macro()
        self._start_of_day()
        self._price = self._pick(_f64(self.engine.prices()))
        self._read_books()
        self.wealth = self._mark()
        self._reward.reset()
        if self.render_mode == "rgb_array":
            self._trace.clear()
            self._record_to(self._trace, self._shown())
        return self._observation(), {"wealth": self.wealth}

    def step(self, action: ArrayLike) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        """One step of `ticks_per_step` minutes toward the target positions in
        `action`: one real number per traded instrument, clipped to [-1, 1].
        An action of another shape, complex or not a finite float32 is a
        ValueError. A Ctrl-C during the step is raised once it is over."""
        if self.engine is None or self._done:
            raise RuntimeError("call reset() first: no episode is running")
        target = self._target(action)
        with _interrupt_after():
            return self._step(target)

    def _target(self, action: ArrayLike) -> _F64:
        n = len(self.tickers)
        try:
            action = np.asarray(action)
        except (ValueError, TypeError) as error:
            raise ValueError(f"action must be an array of {n} numbers: {error}") from None
        if action.dtype.kind not in "iuf":
            raise ValueError(f"action must hold real numbers, got dtype {action.dtype}")
        if action.shape != (n,):
            raise ValueError(
                f"action must have shape ({n},), a target per traded instrument, got shape {action.shape}"
            )
        action = action.astype(np.float64, copy=False)
        # One call catches NaN (no comparison holds), infinities and values
        # float32 cannot hold.
        if not (np.abs(action) <= _ACTION_LIMIT).all():
            bad = action[~(np.abs(action) <= _ACTION_LIMIT)][0]
            raise ValueError(f"action must be finite float32 values, got {bad}")
        # ufuncs rather than np.clip, whose wrapper costs more than the work.
        clipped: _F64 = np.minimum(np.maximum(action, -1.0), 1.0)
        return clipped

    def _step(self, target: _F64) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        quantity, average, worst, cost, flow = self._trade(target)
        before, mid_before = self.wealth, self._mid
        without = self._run_without_orders() if self.pnl_by_driver else None
        step_attribution = self._advance(flow)
        self.wealth = self._mark()

        terminated = self.wealth <= 0.0
        truncated = not terminated and self._day == self.episode_days
        self._done = terminated or truncated
        info = {
            "fills": {"quantity": quantity, "average_price": average, "worst_price": worst,
                      "cost": cost},
            "attribution": dict(zip(corvane.Engine.FACTORS, step_attribution)),
            "wealth": self.wealth,
        }
        if without is not None:
            info["pnl_by_driver"] = _pnl.split(
                held=self._position, mid_before=mid_before, mid_after=self._mid, mid_without=without[0],
                drivers_without=without[1], cost=float(cost.sum()),
            )
        reward = self._reward(before, self.wealth, info)
        if self.render_mode == "rgb_array":
            self._record_to(self._trace, self._shown())
        return self._observation(), reward, terminated, truncated, info

    # ---- The steps of a step ----

    def _advance(self, flow: _Flow) -> _F64:
        """The market's part of a step, once the trades are priced: the flow
        goes in, the step's minutes pass, the readings follow. Returns the
        step's attribution."""
        ticks = self._run_ticks(flow)
        self._record_volumes(ticks)
        step_attribution = self._close_if_session_over()
        self._record_returns()
        self._read_books()
        return step_attribution

    def _trade(self, target: _F64) -> tuple[_F64, _F64, _F64, _F64, _Flow]:
        """Moves toward the target positions (fractions, checked) at the
        books' prices: the fills, what they cost over the mid, and the order
        flow they make."""
        target = target * self.max_position
        quantity, average, worst, flow = self._fill(np.rint(target) - self._position)
        filled = quantity != 0.0
        # Cost over the mid: what the spread and the agent's own depth took.
        cost = np.where(filled, quantity * (average - self._mid), 0.0)
        if flow:
            self._position += quantity
            # Over every instrument, nothing where nothing filled: the sum a
            # vector of these markets makes row by row, bit for bit.
            self._cash -= float(np.dot(quantity, np.where(filled, average, 0.0)))
        return quantity, average, worst, cost, flow

    def _run_ticks(self, flow: _Flow) -> int:
        """Runs the step's ticks, at most to the end of the session; returns
        how many ran."""
        assert self.engine is not None
        engine = self.engine
        ticks = min(self.ticks_per_step, TICKS_PER_DAY - self._minute)
        hour, minute = divmod(OPEN_MINUTE + self._minute, 60)
        day_of_week = TRADING_DAYS[self._day % len(TRADING_DAYS)]
        # The agent's volume enters the market once, on the step's first tick.
        engine.tick(hour, minute, day_of_week, order_flow=flow or None)
        if ticks > 1:
            hour, minute = divmod(OPEN_MINUTE + self._minute + 1, 60)
            engine.run_session(hour, minute, day_of_week, ticks - 1)
        self._minute += ticks
        return ticks

    def _run_without_orders(self) -> tuple[_F64, _F64]:
        """The step run on a fork without the agent's orders, as _run_ticks
        and the close run it: the mids after it, and each driver's change of
        s over it."""
        assert self.engine is not None
        shadow = self.engine.fork()
        ticks = min(self.ticks_per_step, TICKS_PER_DAY - self._minute)
        hour, minute = divmod(OPEN_MINUTE + self._minute, 60)
        day_of_week = TRADING_DAYS[self._day % len(TRADING_DAYS)]
        shadow.tick(hour, minute, day_of_week)
        if ticks > 1:
            hour, minute = divmod(OPEN_MINUTE + self._minute + 1, 60)
            shadow.run_session(hour, minute, day_of_week, ticks - 1)
        end_of_day = self._minute + ticks == TICKS_PER_DAY
        if end_of_day:
            shadow.close_market()
        drivers = _pnl.attribution(shadow, self._pick) - self._attribution_base
        if end_of_day and self._day + 1 < self.episode_days:
            shadow.open_market()
        return _pnl.mids(shadow, self._pick), drivers

    def _record_volumes(self, ticks: int) -> None:
        assert self.engine is not None
        volumes = self._view["volumes"]
        volumes[:-1] = volumes[1:]
        volume = self._pick(_f64(self.engine.column("volume")))
        np.divide(volume - self._day_volume, self._volume_per_tick * ticks, out=volumes[-1])
        self._day_volume = volume

    def _close_if_session_over(self) -> _F64:
        """Closes the day when the session is over (opening the next while the
        episode lasts); returns the step's attribution, the close's included."""
        assert self.engine is not None
        end_of_day = self._minute == TICKS_PER_DAY
        if end_of_day:
            self.engine.close_market()
            self._day += 1
            self._read_macro()
        attribution = self._attribution()
        step_attribution = attribution - self._attribution_base
        self._attribution_base = attribution
        if end_of_day and self._day < self.episode_days:
            self.engine.open_market()
            self._minute = 0
            self._start_of_day()
        return step_attribution

    def _record_returns(self) -> None:
        assert self.engine is not None
        returns = self._view["returns"]
        returns[:-1] = returns[1:]
        price = self._pick(_f64(self.engine.prices()))
        np.log(price / self._price, out=returns[-1])
        self._price = price

    # ---- The market as the agent meets it ----

    def _fill(self, trade: _F64) -> tuple[_F64, _F64, _F64, _Flow]:
        """Prices `trade` (signed shares) against the live books: what filled
        (signed), at what average and worst price, and the order flow it makes."""
        assert self.engine is not None
        if not trade.any():
            n = len(trade)
            return np.zeros(n), np.full(n, np.nan), np.full(n, np.nan), {}
        whole = np.zeros(self._roster_size)
        whole[self._index] = trade
        priced = self._pick(_f64(self.engine.sweep_costs(whole.tolist())).reshape(3, -1))
        quantity, average, worst = priced
        flow = {
            self.tickers[j]: (q, 0.0) if q > 0 else (0.0, -q)
            for j, q in enumerate(quantity.tolist())
            if q != 0.0
        }
        return quantity, average, worst, flow

    def _read_books(self) -> None:
        """The quotes the observation and the marks need. A side left empty
        reads as the last price with nothing behind it."""
        assert self.engine is not None
        bid, ask, bid_size, ask_size = self._pick(_f64(self.engine.quotes()).reshape(4, -1))
        if np.isnan(bid.sum() + ask.sum()):
            bid = np.where(np.isnan(bid), self._price, bid)
            ask = np.where(np.isnan(ask), self._price, ask)
        self._mid = (bid + ask) * 0.5
        view = self._view
        np.divide(ask - bid, self._mid, out=view["spread"])
        np.divide(bid_size, self.max_position, out=view["bid_size"])
        np.divide(ask_size, self.max_position, out=view["ask_size"])

    def _attribution(self) -> _F64:
        assert self.engine is not None
        # Read without as_numpy, each factor's column is bytes.
        columns = cast(list[bytes], [self.engine.attribution(f) for f in corvane.Engine.FACTORS])
        joined = b"".join(columns)
        return self._pick(_f64(joined).reshape(len(corvane.Engine.FACTORS), -1))

    def _read_macro(self) -> None:
        assert self.engine is not None
        # The economy moves only at the close: read once a day, not a step.
        macro = self.engine.macro_state
        self._view["vix"][0] = macro.vix
        self._view["policy_rate"][0] = macro.federal_funds_rate

    def _start_of_day(self) -> None:
        assert self.engine is not None
        self._day_volume = self._pick(_f64(self.engine.column("volume")))
        self._attribution_base = self._attribution()

    def _mark(self) -> float:
        return self._value(self._cash, self._position)

    def _value(self, cash: float, position: _F64) -> float:
        return cash + float(np.dot(position, self._mid))

    def _observation(self) -> Observation:
        return self._observe(self._cash, self._position)

    def _observe(self, cash: float, position: _F64) -> Observation:
        """The market's readings with one account's cash and positions."""
        view = self._view
        np.divide(position, self.max_position, out=view["position"])
        view["cash"][0] = cash / self.starting_cash
        view["time_of_day"][0] = self._minute / TICKS_PER_DAY
        clipped = np.empty(self._flat.shape, dtype=np.float32)
        np.minimum(np.maximum(self._flat, self._low), self._high, out=clipped, casting="unsafe")
        return {key: clipped[at].reshape(shape) for key, at, shape in self._layout}

    # ---- Rendering ----

    def render(self) -> str | NDArray[np.uint8] | None:
        """By `render_mode`: "ansi", the moment as a text table; "rgb_array",
        price, position and wealth panels of the episode so far; None, nothing."""
        if self.render_mode is None:
            return None
        if self.engine is None:
            raise RuntimeError("call reset() first: there is no market to draw")
        if self.render_mode == "ansi":
            return self._ansi(self._shown())
        return _render.rgb_array(self.tickers, self._trace)

    def _shown(self) -> dict[str, _render.Account]:
        return {"agent": (self._cash, self._position, self.wealth)}

    def _ansi(self, accounts: dict[str, _render.Account]) -> str:
        return _render.ansi(self.tickers, self._day, self._minute, self.episode_days,
                            self._price, self._mid, accounts)

    def _record_to(self, trace: _render.Trace, accounts: dict[str, _render.Account]) -> None:
        trace.record(self._day, self._minute, self._price, self._mid, accounts)


def __getattr__(name: str) -> Any:
    # The multi-agent market needs pettingzoo: it loads on first use, so this
    # module imports without it.
    if name == "MarketParallelEnv":
        from corvane._multiagent import MarketParallelEnv

        return MarketParallelEnv
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


from corvane._vector_env import MarketVectorEnv  # noqa: E402  (builds on MarketEnv)

# `import corvane` registered it already; this keeps `import corvane.env` alone enough.
_gym.register(gymnasium)
