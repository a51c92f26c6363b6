"""Pictures of a trading episode, for every environment: a text table of the
moment ("ansi") and price, position and wealth panels of the episode so far
("rgb_array").

Both take plain numbers: the traded tickers, the clock, prices and, per
account, its cash, positions and wealth. matplotlib is imported only when a
frame is drawn, so an environment that never renders never loads it.
"""

from typing import Any

import numpy as np
from numpy.typing import NDArray

import corvane

MODES = ("ansi", "rgb_array")
# Frames a second for a viewer replaying an episode: a step is minutes of market.
FPS = 4
# Height, width and colours of an "rgb_array" frame: 640 x 480 pixels.
FRAME_SHAPE = (480, 640, 3)
_DPI = 100
# More lines than this in a panel and a legend hides the panel.
_LEGEND_LINES = 8
TICKS_PER_DAY = 390
OPEN_MINUTE = 9 * 60 + 30

# An account as drawn: its cash, positions (shares per traded instrument) and wealth.
Account = tuple[float, NDArray[np.float64], float]


def check_mode(mode: object) -> str | None:
    if mode is None or mode in MODES:
        return mode  # type: ignore[return-value]
    raise corvane.ValidationError(f"render_mode must be None, 'ansi' or 'rgb_array', got {mode!r}")


def clock(day: int, minute: int) -> tuple[int, str]:
    """The trading day (from 1) and time of day of a moment `minute` minutes
    into the session of day `day` (from 0); a day's close is counted as the
    close of that day, not the start of the next."""
    if minute == TICKS_PER_DAY and day > 0:
        day -= 1
    hour, minute = divmod(OPEN_MINUTE + minute, 60)
    return day + 1, f"{hour:02d}:{minute:02d}"


def ansi(
    tickers: list[str], day: int, minute: int, episode_days: int,
    price: NDArray[np.float64], mid: NDArray[np.float64], accounts: dict[str, Account],
) -> str:
    """The moment as a table: a row per traded instrument (last price, mid,
    each account's position), then each account's cash and wealth."""
    shown_day, time = clock(day, minute)
    names = list(accounts)
    # Columns of at least 16 characters, each led by a space: money up to
    # a trillion fits, and larger still stays apart from its neighbour.
    width = max([15] + [len(name) for name in names])
    lines = [f"day {shown_day} of {episode_days}, {time}",
             f"{'ticker':<8} {'last':>12} {'mid':>12}" + "".join(f" {name:>{width}}" for name in names)]
    for j, ticker in enumerate(tickers):
        positions = "".join(f" {accounts[name][1][j]:>{width},.0f}" for name in names)
        lines.append(f"{ticker:<8} {price[j]:>12.4f} {mid[j]:>12.4f}{positions}")
    for row, at in (("cash", 0), ("wealth", 2)):
        values = "".join(f" {accounts[name][at]:>{width},.2f}" for name in names)
        lines.append(f"{row:<34}{values}")
    return "\n".join(lines) + "\n"


class Trace:
    """What the panels draw, one entry a step: the time in trading days, the
    traded instruments' last prices, and each account's positions marked at
    the mids and its wealth. An account that leaves stops being recorded."""

    def __init__(self) -> None:
        self.clear()

    def clear(self) -> None:
        self.time: list[float] = []
        self.price: list[NDArray[np.float64]] = []
        self.holdings: dict[str, list[float]] = {}
        self.wealth: dict[str, list[float]] = {}

    def record(self, day: int, minute: int, price: NDArray[np.float64], mid: NDArray[np.float64],
               accounts: dict[str, Account]) -> None:
        shown_day, _ = clock(day, minute)
        self.time.append(shown_day - 1 + minute / TICKS_PER_DAY)
        self.price.append(np.array(price))
        for name, (_, position, wealth) in accounts.items():
            self.holdings.setdefault(name, []).append(float(np.dot(position, mid)))
            self.wealth.setdefault(name, []).append(wealth)


def rgb_array(tickers: list[str], trace: Trace) -> NDArray[np.uint8]:
    """The episode so far as a FRAME_SHAPE image: prices relative to the
    first recorded, the value of each account's positions, each account's
    wealth, over trading days."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from corvane._charts import _marks, series_styles

    height, width, _ = FRAME_SHAPE
    figure = Figure(figsize=(width / _DPI, height / _DPI), dpi=_DPI, layout="constrained")
    canvas = FigureCanvasAgg(figure)
    panels = figure.subplots(3, 1, sharex=True)
    time = np.array(trace.time)
    marks = _marks(len(time))
    if len(time):
        price = np.array(trace.price)
        relative = price / price[0]
        for j, style in enumerate(series_styles(len(tickers))):
            panels[0].plot(time, relative[:, j], label=tickers[j], linewidth=0.8, **style, **marks)
    series: list[tuple[Any, dict[str, list[float]], str]] = [
        (panels[1], trace.holdings, "positions at mid"), (panels[2], trace.wealth, "wealth")]
    for axes, by_account, label in series:
        for (name, values), style in zip(by_account.items(), series_styles(len(by_account))):
            axes.plot(time[: len(values)], values, label=name, linewidth=1.0, **style, **marks)
        axes.set_ylabel(label, fontsize=8)
    panels[0].set_ylabel("price / first", fontsize=8)
    panels[2].set_xlabel("trading days", fontsize=8)
    for axes in panels:
        axes.tick_params(labelsize=7)
        if 0 < len(axes.get_lines()) <= _LEGEND_LINES:
            axes.legend(loc="upper left", fontsize=6)
    canvas.draw()
    frame: NDArray[np.uint8] = np.asarray(canvas.buffer_rgba())[:, :, :3].copy()
    return frame
