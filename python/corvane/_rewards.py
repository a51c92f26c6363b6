"""How a step's change in wealth becomes a reward, for every trading environment.

A reward is named ("pnl", "log_return", "risk_adjusted") or is a callable
``f(before, after, info) -> float`` of the account's wealth before and after
the step and the step's ``info``. Each account keeps its own `Reward`, reset
at every episode's start, so nothing carries from one episode to the next.
"""

import math
from collections.abc import Callable
from typing import Any

import corvane

RewardFunction = Callable[[float, float, dict[str, Any]], float]
NAMES = ("pnl", "log_return", "risk_adjusted")
# The mean-variance weight of "risk_adjusted": a step's squared surprise, in
# units of the starting cash, counts this much against its pnl.
RISK_AVERSION = 1.0
# Wealth at or below zero has no logarithm: ruin scores as wealth of one cent.
LOG_FLOOR = 0.01

DESCRIPTION = (
    "reward must be 'pnl', 'log_return', 'risk_adjusted' or a callable "
    "f(before, after, info) -> float"
)


def check_reward(reward: object) -> str | RewardFunction:
    """The reward setting, or a ValidationError naming the choices."""
    if isinstance(reward, str) and reward in NAMES:
        return reward
    if not isinstance(reward, str) and callable(reward):
        return reward  # type: ignore[return-value]
    raise corvane.ValidationError(f"{DESCRIPTION}, got {reward!r}")


class Reward:
    """One account's reward.

    - "pnl": ``after - before``, the step's change in wealth.
    - "log_return": ``log(max(after, 0.01) / before)``.
    - "risk_adjusted": ``pnl - RISK_AVERSION * (pnl - mean)**2 / starting_cash``,
      where ``mean`` is the average pnl of the episode's earlier steps (0 at
      the first): a mean-variance utility, charged for the step's deviation
      from the episode's running mean.
    - a callable: ``float(f(before, after, info))``.
    """

    __slots__ = ("_kind", "_scale", "_steps", "_mean")

    def __init__(self, kind: str | RewardFunction, starting_cash: float) -> None:
        self._kind = kind
        self._scale = starting_cash
        self.reset()

    def reset(self) -> None:
        self._steps = 0
        self._mean = 0.0

    def __call__(self, before: float, after: float, info: dict[str, Any]) -> float:
        kind = self._kind
        if kind == "pnl":
            return after - before
        if kind == "log_return":
            return math.log(max(after, LOG_FLOOR) / before)
        if kind == "risk_adjusted":
            pnl = after - before
            surprise = pnl - self._mean
            self._steps += 1
            self._mean += surprise / self._steps
            return pnl - RISK_AVERSION * surprise * surprise / self._scale
        assert callable(kind)
        return float(kind(before, after, info))
