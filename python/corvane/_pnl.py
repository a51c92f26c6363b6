"""An agent's profit and loss taken apart by what moved the prices it held.

Over one step an agent holding `q` shares (after its trade) makes

    q * (mid_after - mid_before) - cost

where `cost` is what its fills paid over the mid. The market's own move is
found by a fork: the step run again from the same state without the
agent's orders, with the same draws. Then

- "own_impact" is q * (mid_after - mid_without): what its orders moved the
  prices it holds;
- the move without them, q * (mid_without - mid_before), is shared among the
  nine drivers in proportion to each driver's change of the log mispricing
  s over the step (in the run without the agent), against the log move of
  the mid; "rest" is the part that is not a change of s (fair value, which
  moves at the close, and the distance of the quotes from the last price);
- "cost" is minus the cost of its fills.

The parts sum to the step's change in wealth, up to rounding.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from corvane._core import Engine

if TYPE_CHECKING:
    from collections.abc import Callable

PARTS = (*Engine.FACTORS, "rest", "own_impact", "cost")

_F64 = NDArray[np.float64]


def mids(engine: Engine, pick: Callable[[_F64], _F64]) -> _F64:
    """The mid of each traded instrument; a side left empty reads as the last price."""
    bid, ask, _, _ = pick(np.frombuffer(engine.quotes(), dtype="<f8").reshape(4, -1))
    price = pick(np.frombuffer(engine.prices(), dtype="<f8"))
    return (np.where(np.isnan(bid), price, bid) + np.where(np.isnan(ask), price, ask)) * 0.5


def attribution(engine: Engine, pick: Callable[[_F64], _F64]) -> _F64:
    """Each driver's change of s since the day opened: drivers x instruments."""
    joined = b"".join(engine.attribution(f) for f in Engine.FACTORS)  # type: ignore[misc]
    return pick(np.frombuffer(joined, dtype="<f8").reshape(len(Engine.FACTORS), -1))


def split(
    *,
    held: _F64,
    mid_before: _F64,
    mid_after: _F64,
    mid_without: _F64,
    drivers_without: _F64,
    cost: float,
) -> dict[str, float]:
    """The parts of a step's P&L (see the module's docstring); `drivers_without`
    is the change of s by driver over the step in the run without the agent."""
    market = held * (mid_without - mid_before)
    with np.errstate(divide="ignore", invalid="ignore"):
        move = np.log(mid_without / mid_before)
        share = np.where(move != 0.0, market / move, 0.0)
    by_driver = drivers_without * share
    parts = dict(zip(Engine.FACTORS, by_driver.sum(axis=1).tolist()))
    parts["rest"] = float((market - by_driver.sum(axis=0)).sum())
    parts["own_impact"] = float((held * (mid_after - mid_without)).sum())
    parts["cost"] = -cost
    return parts
