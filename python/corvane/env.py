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
import math
import signal
import struct
import threading
from collections.abc import Callable, Iterable
from typing import Any, cast

import numpy as np
from gymnasium import spaces
from numpy.typing import ArrayLike, NDArray

import corvane
from corvane import _core, _gym, _pnl, _render, _rewards

__all__ = ["MarketEnv", "MarketVectorEnv"]

TICKS_PER_DAY = 390
OPEN_MINUTE = 9 * 60 + 30
# Monday to Friday (0 is Sunday): the market is closed at weekends.
TRADING_DAYS = (1, 2, 3, 4, 5)
TRADING_DAYS_PER_YEAR = 252

# What the agent sees each step: one array per key of the observation space.
Observation = dict[str, NDArray[np.float32]]
_F64 = NDArray[np.float64]
# A step's wealth and cash, the first two values of its outputs.
_ACCOUNT = struct.Struct("<2d")


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


# The C module's own functions: the enum wrappers of `signal` cost more
# than a step of the market.
try:
    from _signal import getsignal as _get_handler  # type: ignore[import-not-found]
    from _signal import signal as _set_handler
except ImportError:  # pragma: no cover - another interpreter
    from signal import getsignal as _get_handler
    from signal import signal as _set_handler


_MAIN_THREAD = threading.main_thread().ident


class _InterruptAfter:
    """Holds back a Ctrl-C that arrives inside the block until it ends, so a
    step either runs whole or not at all. Only the main thread receives
    signals, and a handler installed outside Python cannot be put back: in
    either case the block runs as it is. A class rather than a generator:
    it runs on every step."""

    __slots__ = ("_previous", "_received")

    def __enter__(self) -> None:
        self._previous = None
        self._received = False
        if threading.get_ident() != _MAIN_THREAD:
            return
        self._previous = _get_handler(signal.SIGINT)
        if self._previous is not None:
            _set_handler(signal.SIGINT, self._hold)

    def _hold(self, signum: int, frame: object) -> None:
        self._received = True

    def __exit__(self, *exception: object) -> None:
        if self._previous is None:
            return
        _set_handler(signal.SIGINT, self._previous)
        if self._received:
            signal.raise_signal(signal.SIGINT)


# Targets as the desk takes them: finite, float32 or float64 (it clips them
# to [-1, 1]).
_Targets = NDArray[np.float64] | NDArray[np.float32]


def _targets(action: ArrayLike, shape: tuple[int, ...], name: str, array: str, each: str) -> _Targets:
    """`action` checked against `shape`; a ValueError names what is wrong."""
    # A sample of the action space, as a learner sends it: a sum of squares
    # has nothing to cancel, so it is finite only when every value is (it
    # may overflow for huge finite values, which the full check then takes).
    if type(action) is np.ndarray and action.dtype == np.float32 and action.shape == shape:
        if action.flags.c_contiguous and math.isfinite(np.vdot(action, action)):
            return action
    try:
        action = np.asarray(action)
    except (ValueError, TypeError) as error:
        raise ValueError(f"{name} must be {array}: {error}") from None
    if action.dtype.kind not in "iuf":
        raise ValueError(f"{name} must hold real numbers, got dtype {action.dtype}")
    if action.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, {each}, got shape {action.shape}")
    action = np.ascontiguousarray(action, dtype=np.float64)
    # One call catches NaN (no comparison holds), infinities and values
    # float32 cannot hold.
    if not (np.abs(action) <= _ACTION_LIMIT).all():
        bad = action[~(np.abs(action) <= _ACTION_LIMIT)][0]
        raise ValueError(f"{name} must be finite float32 values, got {bad}")
    return action


def _desk(market: "corvane.Engine | corvane.EngineBatch", single: "MarketEnv") -> _core.TradingDesk:
    """The core's desk for `market` on `single`'s settings: it prices the
    trades, runs the minutes, reads the books and keeps the accounts."""
    return _core.TradingDesk(
        market, single._index.tolist(), single.max_position, single._volume_per_tick,
        single.starting_cash, single.window, single.ticks_per_step, single.episode_days,
        single._low, single._high,
    )


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
    # The episode's state, set by reset(): the desk keeps the account and
    # the readings; the last step's outputs are read from it.
    wealth: float
    _done: bool
    _cash: float
    _market: _core.TradingDesk | None
    # The last step's fills (quantity, average, worst, cost) and each
    # factor's change, a row each per traded instrument.
    _fills: _F64
    _step_attribution: _F64

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
        self._market = None
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
        # The desk hands the observation over as one flat float32 buffer,
        # bounded value by value: a record of one field per key, so that
        # each key's array is one view into it.
        sizes = [int(np.prod(shape)) for shape, _, _ in self._bounds.values()]
        self._low = np.repeat([low for _, low, _ in self._bounds.values()], sizes)
        self._high = np.repeat([high for _, _, high in self._bounds.values()], sizes)
        self._record = np.dtype([(key, np.float32, shape) for key, (shape, _, _) in self._bounds.items()])
        # A step's outputs as the desk lays them out: wealth and cash, then
        # the fills (quantity, average, worst, cost) and each factor's
        # change, a row each.
        n = len(self.tickers)
        self._outputs = np.dtype([("account", "<f8", 2), ("fills", "<f8", (4, n)),
                                  ("attribution", "<f8", (len(corvane.Engine.FACTORS), n))])

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
        self._market = _desk(self.engine, self)
        observation = self._take(*self._market.start())
        self._done = False
        self._reward.reset()
        if self.render_mode == "rgb_array":
            self._trace.clear()
            self._record_to(self._trace, self._shown())
        return observation, {"wealth": self.wealth}

    def step(self, action: ArrayLike) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        """One step of `ticks_per_step` minutes toward the target positions in
        `action`: one real number per traded instrument, clipped to [-1, 1].
        An action of another shape, complex or not a finite float32 is a
        ValueError. A Ctrl-C during the step is raised once it is over."""
        if self._market is None or self._done:
            raise RuntimeError("call reset() first: no episode is running")
        target = self._target(action)
        with _InterruptAfter():
            return self._step(target)

    def _target(self, action: ArrayLike) -> _Targets:
        n = len(self.tickers)
        return _targets(action, (n,), "action", f"an array of {n} numbers",
                        "a target per traded instrument")

    def _step(self, target: _Targets) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        assert self._market is not None
        before = self.wealth
        # The mids before the step, and the step run without the orders.
        without = (self._mid, *self._run_without_orders()) if self.pnl_by_driver else None
        # The trade priced against the live books, its flow on the first
        # tick, the minutes, the readings and the marks: one call.
        observation = self._take(*self._market.step(target))
        quantity, average, worst, cost = self._fills

        terminated = self.wealth <= 0.0
        truncated = not terminated and self._market.day == self.episode_days
        self._done = terminated or truncated
        info = {
            "fills": {"quantity": quantity, "average_price": average, "worst_price": worst,
                      "cost": cost},
            "attribution": dict(zip(corvane.Engine.FACTORS, self._step_attribution)),
            "wealth": self.wealth,
        }
        if without is not None:
            info["pnl_by_driver"] = _pnl.split(
                held=self._position, mid_before=without[0], mid_after=self._mid, mid_without=without[1],
                drivers_without=without[2], cost=float(cost.sum()),
            )
        reward = self._reward(before, self.wealth, info)
        if self.render_mode == "rgb_array":
            self._record_to(self._trace, self._shown())
        return observation, reward, terminated, truncated, info

    def _take(self, outputs: bytearray, observations: bytearray) -> Observation:
        """Keeps a step's outputs; returns its observation."""
        self._keep(outputs)
        return self._observation_of(observations)

    # Fields are taken from the record as a 0-d array, which gives each
    # field's array in one view. Its row (numpy's void scalar) would try a
    # name as an integer index first and format the error it then
    # discards, on every step.
    def _keep(self, outputs: bytearray) -> None:
        record = np.frombuffer(outputs, dtype=self._outputs).reshape(())
        self.wealth, self._cash = _ACCOUNT.unpack_from(outputs)
        self._fills = record["fills"]
        self._step_attribution = record["attribution"]

    def _observation_of(self, data: bytearray) -> Observation:
        record = np.frombuffer(data, dtype=self._record).reshape(())
        return {key: record[key] for key in self._bounds}

    # ---- What several traders in one market need of it ----

    def _advance(self, flow: _F64) -> _F64:
        """The market's part of a step with `flow` (roster x (buy, sell)
        shares) on its first tick: the minutes, the readings. Returns the
        step's attribution (factors x traded instruments)."""
        assert self._market is not None
        wealth, cash = self.wealth, self._cash
        self._keep(self._market.advance(flow))
        # The market moved; the accounts are the caller's.
        self.wealth, self._cash = wealth, cash
        return self._step_attribution

    def _value(self, cash: float, position: _F64) -> float:
        """`cash` and `position` marked at the mids."""
        assert self._market is not None
        return float(self._market.value(cash, position))

    def _observe(self, cash: float, position: _F64) -> Observation:
        """The market's readings with one account's cash and positions."""
        assert self._market is not None
        return self._observation_of(self._market.observe(cash, position))

    def _book(self, key: str) -> _F64:
        assert self._market is not None
        return _f64(cast(bytes, self._market.book()[key]))

    @property
    def _day(self) -> int:
        assert self._market is not None
        return int(self._market.day)

    @property
    def _minute(self) -> int:
        assert self._market is not None
        return int(self._market.minute)

    @property
    def _position(self) -> _F64:
        return self._book("position")

    @property
    def _price(self) -> _F64:
        return self._book("price")

    @property
    def _mid(self) -> _F64:
        return self._book("mid")

    def _run_without_orders(self) -> tuple[_F64, _F64]:
        """The step run on a fork without the agent's orders, as the desk
        runs it with them: the mids after it, and each driver's change of s
        over it."""
        assert self.engine is not None
        base = self._book("attribution_base").reshape(len(corvane.Engine.FACTORS), -1)
        shadow = self.engine.fork()
        at_minute, day = self._minute, self._day
        ticks = min(self.ticks_per_step, TICKS_PER_DAY - at_minute)
        hour, minute = divmod(OPEN_MINUTE + at_minute, 60)
        day_of_week = TRADING_DAYS[day % len(TRADING_DAYS)]
        shadow.tick(hour, minute, day_of_week)
        if ticks > 1:
            hour, minute = divmod(OPEN_MINUTE + at_minute + 1, 60)
            shadow.run_session(hour, minute, day_of_week, ticks - 1)
        end_of_day = at_minute + ticks == TICKS_PER_DAY
        if end_of_day:
            shadow.close_market()
        drivers = _pnl.attribution(shadow, self._pick) - base
        if end_of_day and day + 1 < self.episode_days:
            shadow.open_market()
        return _pnl.mids(shadow, self._pick), drivers

    # ---- Rendering ----

    def render(self) -> str | NDArray[np.uint8] | None:
        """By `render_mode`: "ansi", the moment as a text table; "rgb_array",
        price, position and wealth panels of the episode so far; None, nothing."""
        if self.render_mode is None:
            return None
        if self._market is None:
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
