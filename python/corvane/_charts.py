"""Figures of a run, a sweep and a back-test, drawn from plain data.

Each function takes numbers and names and returns a matplotlib Figure that
no global state holds (no pyplot), so the caller saves it and a test can
read it back. Legends sit beside the axes, never over what they explain;
day axes tick whole days; a series of few points is drawn with markers, so a
one-day run is not an empty chart. Needs numpy and matplotlib.
"""

import numpy as np
from matplotlib.figure import Figure
from matplotlib.ticker import MaxNLocator

# Fewer points than this and a line alone shows little or nothing.
FEW_POINTS = 12
LINE_STYLES = ("-", "--", ":", "-.")


def series_styles(count: int) -> list[dict]:
    """`count` distinct (colour, line style) pairs: ten colours, then the
    same colours in the next line style."""
    return [{"color": f"C{k % 10}", "linestyle": LINE_STYLES[k // 10 % len(LINE_STYLES)]} for k in range(count)]


def _marks(points: int) -> dict:
    return {"marker": "o", "markersize": 4} if points < FEW_POINTS else {}


def _legend_beside(axes, *args, **kwargs) -> None:
    axes.legend(*args, loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0, fontsize=7, **kwargs)


def legend(axes) -> None:
    """A legend in a fixed corner: matplotlib's default search for the best
    place takes long on big plots and then warns, which a loaded machine
    turns into a failure under -W error."""
    axes.legend(loc="upper right", fontsize=7)


def _by_day(axes, days) -> None:
    axes.xaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_xlabel("day")
    if len(days) and np.ptp(days) < 2:  # else a lone day's axis ticks fractions of it
        axes.set_xlim(np.min(days) - 1, np.max(days) + 1)


def run_figure(*, title, sector_index, drivers, driver_labels, factors, macro_days, macro) -> Figure:
    """A run in four panels.

    sector_index: sector -> its equal-weight index (start = 100), one value
    for the start and one per day's close. drivers: one row per labelled
    move, one column per factor. macro: column name -> one value per
    recorded day in `macro_days` (vix, fear_greed_index, rates as fractions).
    """
    figure = Figure(figsize=(16, 9), layout="constrained")
    figure.suptitle(title)
    axes = figure.subplots(2, 2)

    ax = axes[0, 0]
    for (sector, index), style in zip(sorted(sector_index.items()), series_styles(len(sector_index))):
        ax.plot(np.arange(len(index)), index, label=sector, **style, **_marks(len(index)))
    ax.axhline(100.0, color="grey", linewidth=0.5)
    ax.set(title="Price paths by sector (equal weight, start = 100)", ylabel="index")
    _by_day(ax, np.arange(max(map(len, sector_index.values()), default=0)))
    _legend_beside(ax)

    ax = axes[0, 1]
    drivers = np.asarray(drivers, dtype=float).reshape(len(driver_labels), len(factors))
    left_pos = np.zeros(len(driver_labels))
    left_neg = np.zeros(len(driver_labels))
    for f, factor in enumerate(factors):
        values = drivers[:, f]
        if not np.any(values):
            continue
        base = np.where(values >= 0, left_pos, left_neg)
        # A factor keeps its colour whichever factors are absent.
        ax.barh(range(len(driver_labels)), values, left=base, label=factor, color=f"C{f}")
        left_pos += np.maximum(values, 0)
        left_neg += np.minimum(values, 0)
    ax.set_yticks(range(len(driver_labels)), driver_labels)
    ax.invert_yaxis()
    ax.axvline(0.0, color="black", linewidth=0.5)
    ax.set(title="Drivers of the largest daily moves", xlabel="change of log mispricing over the day")
    if ax.patches:
        _legend_beside(ax)

    marks = _marks(len(macro_days))
    ax = axes[1, 0]
    ax.plot(macro_days, macro["vix"], color="tab:red", label="VIX", **marks)
    ax.set(title="VIX and fear & greed", ylabel="VIX")
    _by_day(ax, macro_days)
    twin = ax.twinx()
    # Its own marker: on a lone day both points may sit on one spot.
    twin.plot(macro_days, macro["fear_greed_index"], color="tab:blue", label="fear & greed", **{**marks, **(
        {"marker": "s", "markersize": 8, "fillstyle": "none"} if marks else {})})
    twin.set_ylabel("fear & greed (0-100)")
    lines = ax.get_lines() + twin.get_lines()
    # Beside the twin axis's labels, not over them.
    twin.legend(lines, [line.get_label() for line in lines], loc="upper left", bbox_to_anchor=(1.12, 1.0),
                borderaxespad=0.0, fontsize=7)

    ax = axes[1, 1]
    rates = ("federal_funds_rate", "corporate_bond_yield", "inflation_rate", "unemployment_rate", "gdp_growth")
    for column, style in zip(rates, series_styles(len(rates))):
        ax.plot(macro_days, 100.0 * np.asarray(macro[column]), label=column.replace("_", " "), **style, **marks)
    ax.set(title="Rates and the economy", ylabel="percent")
    _by_day(ax, macro_days)
    _legend_beside(ax)
    return figure


def _histogram(ax, values, *, bins, color, scale=1.0, unit="") -> None:
    values = scale * np.asarray(values, dtype=float)
    ax.hist(values, bins=bins, color=color, edgecolor="white")
    mean = values.mean()
    ax.axvline(mean, color="black", linestyle="--", label=f"mean {mean:+.2f}{unit}")
    ax.yaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_ylabel("seeds")
    _legend_beside(ax)


def sweep_figure(columns, *, definitions, preset, days, seeds) -> Figure:
    """One histogram per measure of a sweep, its mean marked.

    columns: name -> one value per seed, with return-like measures as
    fractions (drawn in percent) and "vix" in points. definitions: name ->
    what the column means, printed under the charts.
    """
    names = list(columns)
    width = min(3, len(names))
    rows = -(-len(names) // width)
    figure = Figure(figsize=(6 * width, 3.6 * rows + 1.2), layout="constrained")
    figure.suptitle(f"Sweep of {seeds} seeds under {preset}: {days} days each")
    grid = figure.subplots(rows, width, squeeze=False)
    bins = max(5, len(columns[names[0]]) // 3)
    for k, name in enumerate(names):
        ax = grid.flat[k]
        percent = name != "vix"
        _histogram(ax, columns[name], bins=bins, color=f"C{k}", scale=100.0 if percent else 1.0,
                   unit=" %" if percent else "")
        ax.set(title=name, xlabel="percent" if percent else "points")
    for ax in grid.flat[len(names):]:
        ax.set_axis_off()
    figure.supxlabel("\n".join(f"{name}: {definitions[name]}" for name in names), fontsize=8, ha="left", x=0.01)
    return figure


def pnl_figure(pnl, *, policy, bins=30) -> Figure:
    """The distribution of a back-test's P&L over its seeds, the mean marked."""
    figure = Figure(figsize=(8.0, 4.0), layout="constrained")
    ax = figure.subplots()
    _histogram(ax, pnl, bins=bins, color="C0")
    ax.axvline(0.0, color="grey", linewidth=0.8)
    ax.set(xlabel="P&L", title=f"P&L of {policy} over {len(pnl)} seeds")
    return figure
