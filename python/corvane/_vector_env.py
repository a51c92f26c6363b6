"""Many markets stepped as one: `MarketVectorEnv`, Gymnasium's vector
interface over one `corvane.EngineBatch`.

A step crosses into the core once for all the markets: the desk there
prices every trade, runs the minutes on the batch's threads, reads the books
and keeps the accounts, and hands back flat arrays that this module only
reshapes, so a step costs little more than the simulation does.
"""

from collections.abc import Iterable, Sequence
from typing import Any, cast

import gymnasium
import numpy as np
from gymnasium.vector import AutoresetMode
from gymnasium.vector.utils import batch_space
from numpy.typing import ArrayLike, NDArray

import corvane
from corvane import _render, _rewards
from corvane.env import (
    MarketEnv,
    Observation,
    _count,
    _desk,
    _f64,
    _InterruptAfter,
    _Targets,
    _targets,
)

_F64 = NDArray[np.float64]
_SEED_LIMIT = 2**32
# Threads a batch may use at most.
MAX_THREADS = 1024


class _Outputs:
    """A step's outputs, a row per market as MarketEnv reads its one."""

    __slots__ = ("wealth", "quantity", "average", "worst", "cost", "attribution")

    def __init__(self, data: bytearray, single: MarketEnv) -> None:
        rows = np.frombuffer(data, dtype=single._outputs)
        self.wealth = rows["account"][:, 0].copy()
        fills = rows["fills"]
        self.quantity, self.average, self.worst, self.cost = (fills[:, j] for j in range(4))
        # factors x markets x traded instruments.
        self.attribution = rows["attribution"].transpose(1, 0, 2)


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

    Settings are MarketEnv's and mean the same, `reward` included: each
    market keeps its own reward, as its MarketEnv would; a callable gets
    the market's own `info`, as MarketEnv hands it. `render()` gives a tuple
    of each market's picture in `render_mode`, as its MarketEnv draws it.
    `threads` is the native threads the markets advance on (None: every
    core). Results are the same for any thread count. Observations,
    rewards, flags and `info` are Gymnasium's batched forms of MarketEnv's:
    each observation key holds an array with the market first, `info` holds
    each key with its ``_key`` mask.

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

    metadata = {"render_modes": list(_render.MODES), "render_fps": _render.FPS,
                "autoreset_mode": AutoresetMode.NEXT_STEP}

    batch: corvane.EngineBatch | None
    # The episode's state, set by reset(): a row per market.
    wealth: _F64
    _ended: NDArray[np.bool_]
    _member_rewards: list[_rewards.Reward]
    # Each market's episode so far, for "rgb_array".
    _traces: list[_render.Trace]
    _market: corvane._core.TradingDesk | None
    _out: _Outputs

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
        reward: str | _rewards.RewardFunction = "pnl",
        render_mode: str | None = None,
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
            reward=reward,
            render_mode=render_mode,
        )
        self._single = single
        self._reward_kind = single._reward_kind
        self.render_mode = single.render_mode
        self.tickers = single.tickers
        self.ticks_per_step = single.ticks_per_step
        self.episode_days = single.episode_days
        self.starting_cash = single.starting_cash
        self.window = single.window
        self.max_position = single.max_position
        self.steps_per_day = single.steps_per_day

        self.single_observation_space = single.observation_space
        self.single_action_space = single.action_space
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self.batch = None
        self._market = None

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
        self._market = _desk(self.batch, single)
        self._ended = np.zeros(m, dtype=bool)
        self._member_rewards = [_rewards.Reward(self._reward_kind, self.starting_cash) for _ in range(m)]
        self._traces = [_render.Trace() for _ in range(m)]
        observation = self._take(*self._market.start())
        self._record(range(m))
        return observation, {"wealth": self.wealth, "_wealth": np.ones(m, dtype=bool)}

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
        with _InterruptAfter():
            return self._step(target)

    def _target(self, actions: ArrayLike) -> _Targets:
        shape = (self.num_envs, len(self.tickers))
        return _targets(actions, shape, "actions", f"an array shaped {shape}",
                        "a target per market and traded instrument")

    def _step(
        self, target: _Targets
    ) -> tuple[Observation, _F64, NDArray[np.bool_], NDArray[np.bool_], dict[str, Any]]:
        assert self._market is not None
        restarted = self._restart_ended()
        before = self.wealth
        observation = self._take(*self._market.step(target, idle=restarted or None))
        out = self._out

        terminated = self.wealth <= 0.0
        truncated = ~terminated & (self._market.day == self.episode_days)
        self._ended = terminated | truncated
        every = np.ones(self.num_envs, dtype=bool)
        fills = {"quantity": out.quantity, "average_price": out.average, "worst_price": out.worst,
                 "cost": out.cost}
        attribution = dict(zip(corvane.Engine.FACTORS, out.attribution))
        info = {
            "fills": {**fills, **{"_" + key: every for key in fills}},
            "_fills": every,
            "attribution": {**attribution, **{"_" + key: every for key in attribution}},
            "_attribution": every,
            "wealth": self.wealth,
            "_wealth": every,
        }
        for k in restarted:
            self._traces[k].clear()
        self._record(range(self.num_envs))
        return observation, self._rewards_of(before, restarted, info), terminated, truncated, info

    def _rewards_of(self, before: _F64, restarted: list[int], info: dict[str, Any]) -> _F64:
        """Each market's reward for the step, by its own account's `Reward`;
        a market started over on this step has none."""
        if self._reward_kind == "pnl":
            # A restarted market's step starts from its fresh wealth: it earns 0.
            return self.wealth - before
        rewards = np.zeros(self.num_envs)
        after, prior = self.wealth.tolist(), before.tolist()
        fresh = set(restarted)
        for k, reward in enumerate(self._member_rewards):
            if k not in fresh:
                own = self._own_info(info, k) if callable(self._reward_kind) else {}
                rewards[k] = reward(prior[k], after[k], own)
        return rewards

    @staticmethod
    def _own_info(info: dict[str, Any], k: int) -> dict[str, Any]:
        """Market k's part of a step's `info`, as its MarketEnv's `info`."""
        # Every key but the masks, which a single market's `info` has none of.
        def own(part: dict[str, Any]) -> dict[str, Any]:
            return {key: value[k] for key, value in part.items() if not key.startswith("_")}

        return {"fills": own(info["fills"]), "attribution": own(info["attribution"]),
                "wealth": float(info["wealth"][k])}

    # ---- Rendering ----

    def render(self) -> tuple[str, ...] | tuple[NDArray[np.uint8], ...] | None:
        """By `render_mode`, a picture per market, as its MarketEnv draws
        it: "ansi", the moment as a text table; "rgb_array", price, position
        and wealth panels of its episode so far; None, nothing."""
        if self.render_mode is None:
            return None
        if self._market is None:
            raise RuntimeError("call reset() first: there is no market to draw")
        if self.render_mode == "ansi":
            day, minute = int(self._market.day), int(self._market.minute)
            return tuple(
                _render.ansi(self.tickers, day, minute, self.episode_days, price, mid,
                             {"agent": account})
                for price, mid, account in map(self._drawn, range(self.num_envs))
            )
        return tuple(_render.rgb_array(self.tickers, trace) for trace in self._traces)

    def _drawn(self, k: int) -> tuple[_F64, _F64, _render.Account]:
        """Market k's last prices and mids, and its account."""
        assert self._market is not None
        book = self._market.book(k)

        def column(key: str) -> _F64:
            return _f64(cast(bytes, book[key]))

        account = (float(book["cash"]), column("position"), float(book["wealth"]))
        return column("price"), column("mid"), account

    def _record(self, markets: Iterable[int]) -> None:
        """The moment, into each of `markets`' traces, for "rgb_array"."""
        if self.render_mode != "rgb_array":
            return
        assert self._market is not None
        day, minute = int(self._market.day), int(self._market.minute)
        for k in markets:
            price, mid, account = self._drawn(k)
            self._traces[k].record(day, minute, price, mid, {"agent": account})

    def _take(self, outputs: bytearray, observations: bytearray) -> Observation:
        """Keeps a step's outputs; returns its observations."""
        self._out = _Outputs(outputs, self._single)
        self.wealth = self._out.wealth
        rows = np.frombuffer(observations, dtype=self._single._record)
        return {key: rows[key] for key in self._single._bounds}

    def _restart_ended(self) -> list[int]:
        """Markets whose episode ended while others trade on start over in
        place, each from a fresh engine of a newly drawn seed; they trade
        nothing on this step."""
        ended = np.flatnonzero(self._ended).tolist()
        if not ended:
            return ended
        assert self.batch is not None and self._market is not None
        batch = self.batch
        # A new array: the last step's info holds the old one.
        self.wealth = self.wealth.copy()
        for k in ended:
            held = set(batch.seeds)
            seed = int(self.np_random.integers(_SEED_LIMIT))
            while seed in held:
                seed = int(self.np_random.integers(_SEED_LIMIT))
            batch.replace_member(k, seed)
            self._market.restart(k)
            self._member_rewards[k].reset()
            # The step's reward counts from the fresh account.
            self.wealth[k] = self._market.book(k)["wealth"]
        self._ended = np.zeros_like(self._ended)
        return ended
