"""Back-tests: one policy over many seeds of the trading environment.

Nothing here imports gymnasium, numpy or pyarrow until a back-test runs or
its table is read, so importing corvane stays free of the ``rl`` extra.
"""

from __future__ import annotations

import functools
import math
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor
from typing import TYPE_CHECKING, Any, TypeVar

from corvane._sweep import sweep

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from corvane.env import Observation

_PathT = TypeVar("_PathT", bound="str | os.PathLike[str]")

COLUMNS = ("seed", "pnl", "sharpe", "max_drawdown", "turnover", "cost")


def backtest(
    policy: Callable[[Observation], ArrayLike],
    *,
    seeds: Iterable[int],
    executor: Executor | None = None,
    **env_kwargs: Any,
) -> BacktestResult:
    """Runs `policy` for one episode of `corvane.env.MarketEnv(**env_kwargs)`
    per seed, through `corvane.sweep`, and returns a `BacktestResult`.

    `policy(observation) -> action` is called every step; with the default
    process pool it must pickle (a module-level function, or a
    functools.partial of one). A stateful policy should be a fresh object per
    call of backtest: on a thread pool every seed shares it.

    With `pnl_by_driver=True` (an environment setting: each step then also
    runs on a fork without the agent's orders) the rows gain a column
    "pnl_" + part for each part of `corvane._pnl.PARTS`: the episode's P&L by
    driver, the agent's own impact and its cost, summing to "pnl".
    """
    from corvane.env import MarketEnv

    MarketEnv(**env_kwargs)  # a bad keyword fails here, once, not per seed
    run = functools.partial(_episode, policy=policy, env_kwargs=env_kwargs)
    return BacktestResult(sweep(run, seeds, executor=executor), policy=_name_of(policy))


def _name_of(policy: Callable[..., Any]) -> str:
    inner: Any = policy.func if isinstance(policy, functools.partial) else policy
    return getattr(inner, "__qualname__", None) or type(inner).__qualname__


def _episode(
    seed: int, *, policy: Callable[[Observation], ArrayLike], env_kwargs: dict[str, Any]
) -> dict[str, float]:
    import numpy as np

    from corvane.env import TRADING_DAYS_PER_YEAR, MarketEnv

    env = MarketEnv(**env_kwargs)
    observation, info = env.reset(seed=seed)
    history = [info["wealth"]]
    traded = cost = 0.0
    by_driver: dict[str, float] = {}
    done = False
    while not done:
        observation, _, terminated, truncated, info = env.step(policy(observation))
        for part, value in info.get("pnl_by_driver", {}).items():
            by_driver["pnl_" + part] = by_driver.get("pnl_" + part, 0.0) + value
        fills = info["fills"]
        filled = fills["quantity"] != 0.0
        traded += float(np.abs(fills["quantity"][filled] * fills["average_price"][filled]).sum())
        cost += float(fills["cost"].sum())
        history.append(info["wealth"])
        done = terminated or truncated
    wealth = np.array(history)
    # Step returns, annualised: every wealth before the last is positive, as
    # an episode ends at the first that is not.
    returns = np.diff(wealth) / wealth[:-1]
    spread = returns.std(ddof=1) if len(returns) > 1 else 0.0
    per_year = math.sqrt(env.steps_per_day * TRADING_DAYS_PER_YEAR)
    peak = np.maximum.accumulate(wealth)
    return {
        "seed": seed,
        "pnl": float(wealth[-1] - wealth[0]),
        "sharpe": float(returns.mean() / spread * per_year) if spread > 0 else math.nan,
        "max_drawdown": float(((peak - wealth) / peak).max()),
        "turnover": traded / env.starting_cash,
        "cost": cost,
        **by_driver,
    }


class BacktestResult:
    """A back-test's outcome, one row per seed in the order the seeds were
    given, and the name of the policy that ran (`policy`).

    Columns: seed; pnl (final wealth less starting cash); sharpe (of step
    returns of wealth, annualised over 252 trading days; NaN when wealth never
    moved); max_drawdown (the largest fall from a peak, as a fraction of the
    peak); turnover (traded notional over starting cash); cost (paid over the
    mid by every fill).
    """

    def __init__(self, rows: Iterable[Mapping[str, float]], *, policy: str = "a policy") -> None:
        self.rows = [dict(row) for row in rows]
        self.policy = policy

    def __len__(self) -> int:
        return len(self.rows)

    def __repr__(self) -> str:
        return f"BacktestResult({len(self.rows)} seeds of {self.policy})"

    @property
    def columns(self) -> list[str]:
        """The six measures, and the P&L parts when the back-test split it."""
        extra = [name for name in self.rows[0] if name not in COLUMNS] if self.rows else []
        return [*COLUMNS, *extra]

    def column(self, name: str) -> list[float]:
        if name not in self.columns:
            raise KeyError(f"no column {name!r}; the columns are {', '.join(self.columns)}")
        return [row[name] for row in self.rows]

    @property
    def table(self) -> BacktestTable:
        """The rows as an Arrow stream (`__arrow_c_stream__`), for pyarrow,
        polars or duckdb. Reading it needs pyarrow, which the ``rl`` extra
        brings."""
        return BacktestTable(self)

    def plot(self, path: _PathT, *, bins: int | Sequence[float] | str = 30) -> _PathT:
        """Draws the distribution of P&L over the seeds, its mean marked and
        the policy named, into `path` (any format matplotlib writes, by its
        extension); returns `path`."""
        try:
            from corvane._charts import pnl_figure
        except ModuleNotFoundError as error:
            raise ModuleNotFoundError(
                f"BacktestResult.plot needs {error.name}: pip install matplotlib numpy", name=error.name
            ) from error
        pnl_figure(self.column("pnl"), policy=self.policy, bins=bins).savefig(path)
        return path


class BacktestTable:
    """A back-test's rows as an Arrow C stream: seed (int64) and the five
    measures (float64)."""

    def __init__(self, result: BacktestResult) -> None:
        self._rows = result.rows
        self._columns = result.columns

    @property
    def num_rows(self) -> int:
        return len(self._rows)

    @property
    def columns(self) -> list[str]:
        return list(self._columns)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        try:
            import pyarrow
        except ModuleNotFoundError as error:
            raise ModuleNotFoundError(
                "the back-test table needs pyarrow: pip install 'corvane[rl]'", name="pyarrow"
            ) from error
        schema = pyarrow.schema(
            [("seed", pyarrow.int64())] + [(name, pyarrow.float64()) for name in self._columns[1:]]
        )
        table = pyarrow.table(
            {name: [row[name] for row in self._rows] for name in self._columns}, schema=schema
        )
        return table.__arrow_c_stream__(requested_schema)
