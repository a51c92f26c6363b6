"""The stylized facts of a daily price table: heavy tails, volatility
clustering and its slow decay, leverage, co-movement.

Every figure is measured per instrument on daily log returns and reported as
the median over instruments, with a bootstrap interval that resamples
instruments. numpy is imported only when facts are measured, and pyarrow
only for an Arrow stream.
"""

import dataclasses
import math
from collections.abc import Iterator, Mapping
from typing import Any

TRADING_DAYS = 252
HORIZONS = (1, 5, 20)
DEFAULT_LAGS = (1, 5, 10, 20, 50, 100)
BOOTSTRAP_DRAWS = 200
# The bootstrap's own seed: the same table always gives the same interval.
BOOTSTRAP_SEED = 20010601
TAIL_FRACTION = 0.05

_DAY_COLUMNS = ("date", "day", "timestamp", "time")
_INSTRUMENT_COLUMNS = ("instrument_id", "instrument", "ticker", "symbol", "company_id")


class Lags(Mapping):
    """A read-only mapping of whole numbers (lags, horizons) to figures."""

    __slots__ = ("_items",)

    def __init__(self, items: Mapping[int, float] | Any) -> None:
        pairs = items.items() if isinstance(items, Mapping) else items
        self._items = tuple(sorted((int(k), float(v)) for k, v in pairs))

    def __getitem__(self, key: int) -> float:
        for k, v in self._items:
            if k == key:
                return v
        raise KeyError(key)

    def __iter__(self) -> Iterator[int]:
        return (k for k, _ in self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Mapping) and _same(dict(self), dict(other))

    def __hash__(self) -> int:
        return hash(self._items)

    def __repr__(self) -> str:
        return "{" + ", ".join(f"{k}: {_fmt(v)}" for k, v in self._items) + "}"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Lags, (self._items,))


def _same(a: dict[Any, Any], b: dict[Any, Any]) -> bool:
    # A figure that cannot be measured is NaN on both sides: equal here.
    return a.keys() == b.keys() and all(
        a[k] == b[k] or (isinstance(a[k], float) and isinstance(b[k], float) and math.isnan(a[k]) and math.isnan(b[k]))
        for k in a
    )


def _fmt(value: float | None) -> str:
    if value is None:
        return "-"
    return "nan" if math.isnan(value) else f"{value:.4g}"


@dataclasses.dataclass(frozen=True, eq=False)
class Facts:
    """The stylized facts of one price table (see `corvane.facts`).

    `ci` maps each name of `figures()` to its 95% bootstrap interval over
    instruments, or is None when it was not computed.
    """

    volatility: float
    excess_kurtosis: Lags
    tail_index: float
    acf_1: float
    acf_abs: Lags
    decay_exponent: float
    leverage: float
    mean_pair_correlation: float
    volume_volatility: float | None
    gain_loss_asymmetry: float
    instruments: int
    days: int
    ci: Mapping[str, tuple[float, float]] | None = dataclasses.field(default=None, compare=False)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Facts):
            return NotImplemented
        return (self.instruments, self.days) == (other.instruments, other.days) and _same(
            self.figures(), other.figures()
        )

    def __hash__(self) -> int:
        return hash((self.instruments, self.days, self.volatility))

    def figures(self) -> dict[str, float]:
        """Every figure under one flat name: "excess_kurtosis" is the 1-day
        figure, "excess_kurtosis_5" the 5-day one, "acf_abs_20" the ACF of
        |r| at lag 20. These are the names a calibration target uses."""
        out = {"volatility": self.volatility}
        for h, v in self.excess_kurtosis.items():
            out["excess_kurtosis" if h == 1 else f"excess_kurtosis_{h}"] = v
        out["tail_index"] = self.tail_index
        out["acf_1"] = self.acf_1
        for lag, v in self.acf_abs.items():
            out[f"acf_abs_{lag}"] = v
        out["decay_exponent"] = self.decay_exponent
        out["leverage"] = self.leverage
        out["mean_pair_correlation"] = self.mean_pair_correlation
        if self.volume_volatility is not None:
            out["volume_volatility"] = self.volume_volatility
        out["gain_loss_asymmetry"] = self.gain_loss_asymmetry
        return out

    def to_dict(self) -> dict[str, Any]:
        """Plain values: "excess_kurtosis" is the 1-day figure, the other
        horizons are under "excess_kurtosis_by_horizon"; "acf_abs" maps lag
        to figure; "ci" maps figure names to [low, high] or is None."""
        return {
            "volatility": self.volatility,
            "excess_kurtosis": self.excess_kurtosis.get(1, math.nan),
            "excess_kurtosis_by_horizon": dict(self.excess_kurtosis),
            "tail_index": self.tail_index,
            "acf_1": self.acf_1,
            "acf_abs": dict(self.acf_abs),
            "decay_exponent": self.decay_exponent,
            "leverage": self.leverage,
            "mean_pair_correlation": self.mean_pair_correlation,
            "volume_volatility": self.volume_volatility,
            "gain_loss_asymmetry": self.gain_loss_asymmetry,
            "instruments": self.instruments,
            "days": self.days,
            "ci": None if self.ci is None else {k: list(v) for k, v in self.ci.items()},
        }

    def compare(self, other: "Facts | Mapping[str, float]", *, names: tuple[str, str] = ("this", "other")) -> str:
        """A text table of this result's figures beside another's (or beside
        a mapping of figure names to values, such as a calibration target)."""
        theirs = other.figures() if isinstance(other, Facts) else dict(other)
        mine = self.figures()
        keys = list(mine) + [k for k in theirs if k not in mine]
        width = max(len(k) for k in keys)
        lines = [f"{'fact':<{width}}  {names[0]:>10}  {names[1]:>10}"]
        for k in keys:
            lines.append(f"{k:<{width}}  {_fmt(mine.get(k)):>10}  {_fmt(theirs.get(k)):>10}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        head = f"Facts({self.instruments} instruments x {self.days} days)"
        figures = self.figures()
        width = max(len(k) for k in figures)
        rows = []
        for k, v in figures.items():
            interval = self.ci.get(k) if self.ci else None
            tail = f"  [{_fmt(interval[0])}, {_fmt(interval[1])}]" if interval else ""
            rows.append(f"  {k:<{width}}  {_fmt(v):>9}{tail}")
        return "\n".join([head, *rows])


# ---- reading a table ----


def _pick(columns: list[str], wanted: tuple[str, ...], what: str, required: bool = True) -> str | None:
    lower = {c.lower(): c for c in columns}
    for name in wanted:
        if name in lower:
            return lower[name]
    if required:
        raise ValueError(f"facts: the table has no {what} column (looked for {', '.join(wanted)}; it has {columns})")
    return None


def _frame_columns(table: Any) -> tuple[list[str], Any]:
    """The column names and a getter of one column as a numpy array, for a
    pyarrow table, a polars or pandas frame, or any Arrow stream."""
    import numpy as np

    if hasattr(table, "column_names"):  # pyarrow.Table
        return list(table.column_names), lambda c: table.column(c).to_numpy()
    columns = getattr(table, "columns", None)
    if columns is not None and hasattr(table, "__getitem__") and hasattr(table, "shape"):  # polars, pandas
        return [str(c) for c in columns], lambda c: np.asarray(table[c].to_numpy())
    if hasattr(table, "__arrow_c_stream__"):
        try:
            import pyarrow as pa
        except ImportError:
            raise RuntimeError("facts: reading an Arrow stream needs pyarrow") from None
        return _frame_columns(pa.table(table))
    raise TypeError(f"facts: expected a table or a 2-D array of closes, not {type(table).__name__}")


def _pivot(table: Any) -> tuple[Any, Any]:
    """Closes (and volumes, or None) as days x instruments; NaN where an
    instrument has no row on a day."""
    import numpy as np

    columns, get = _frame_columns(table)
    day = _pick(columns, _DAY_COLUMNS, "date or day")
    instrument = _pick(columns, _INSTRUMENT_COLUMNS, "instrument")
    close = _pick(columns, ("close",), "close")
    volume = _pick(columns, ("volume",), "volume", required=False)
    days, day_index = np.unique(get(day), return_inverse=True)
    names, instrument_index = np.unique(get(instrument), return_inverse=True)
    closes = np.full((len(days), len(names)), np.nan)
    closes[day_index, instrument_index] = np.asarray(get(close), dtype=float)
    volumes = None
    if volume is not None:
        volumes = np.full(closes.shape, np.nan)
        volumes[day_index, instrument_index] = np.asarray(get(volume), dtype=float)
    return closes, volumes


# ---- per-instrument figures ----


def _acf(x: Any, lag: int) -> Any:
    """The usual sample ACF of each column: demeaned, over the lag-0 sum."""
    import numpy as np

    n = x.shape[0]
    if lag >= n:
        return np.full(x.shape[1], np.nan)
    d = x - x.mean(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (d[:-lag] * d[lag:]).sum(axis=0) / (d * d).sum(axis=0)


def _excess_kurtosis(x: Any) -> Any:
    import numpy as np

    d = x - x.mean(axis=0)
    m2 = (d * d).mean(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (d**4).mean(axis=0) / (m2 * m2) - 3.0


def _skewness(x: Any) -> Any:
    import numpy as np

    d = x - x.mean(axis=0)
    m2 = (d * d).mean(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (d**3).mean(axis=0) / m2**1.5


def _hill(x: Any) -> Any:
    """Hill's tail index of each column's |r| on its largest 5%."""
    import numpy as np

    a = np.sort(np.abs(x), axis=0)[::-1]
    k = max(2, int(TAIL_FRACTION * a.shape[0]))
    if k >= a.shape[0]:
        return np.full(x.shape[1], np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        return 1.0 / (np.log(a[:k]).mean(axis=0) - np.log(a[k]))


def _correlation(x: Any, y: Any) -> Any:
    """Pearson correlation of matching columns."""
    import numpy as np

    dx = x - x.mean(axis=0)
    dy = y - y.mean(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (dx * dy).sum(axis=0) / np.sqrt((dx * dx).sum(axis=0) * (dy * dy).sum(axis=0))


def _aggregate(r: Any, horizon: int) -> Any:
    """Sums of `horizon` consecutive log returns, not overlapping."""
    blocks = r.shape[0] // horizon
    return r[: blocks * horizon].reshape(blocks, horizon, r.shape[1]).sum(axis=1)


def _decay(np: Any, lags: Any, acf: Any) -> float:
    """Minus the slope of log ACF on log lag, over the lags whose ACF is
    positive; NaN with fewer than two such lags."""
    keep = np.isfinite(acf) & (acf > 0)
    if keep.sum() < 2:
        return math.nan
    slope = np.polyfit(np.log(lags[keep]), np.log(acf[keep]), 1)[0]
    return float(-slope)


def _per_instrument(np: Any, r: Any, v: Any, lags: tuple[int, ...]) -> dict[str, Any]:
    """Each figure as one value per instrument (a column of r)."""
    out: dict[str, Any] = {"volatility": r.std(axis=0, ddof=1) * math.sqrt(TRADING_DAYS)}
    for h in HORIZONS:
        name = "excess_kurtosis" if h == 1 else f"excess_kurtosis_{h}"
        # Kurtosis of fewer than four sums says nothing.
        out[name] = _excess_kurtosis(_aggregate(r, h)) if r.shape[0] // h >= 4 else np.full(r.shape[1], np.nan)
    out["tail_index"] = _hill(r)
    out["acf_1"] = _acf(r, 1)
    a = np.abs(r)
    for lag in lags:
        out[f"acf_abs_{lag}"] = _acf(a, lag)
    # Leverage: today's return against tomorrow's size of move.
    out["leverage"] = _correlation(r[:-1], a[1:])
    out["mean_pair_correlation"] = _mean_pair_correlation(np, r)
    if v is not None:
        out["volume_volatility"] = _correlation(v, a)
    out["gain_loss_asymmetry"] = _skewness(r)
    return out


def _nanmedian(np: Any, values: Any) -> Any:
    """The median of the finite values along the last axis; NaN where there
    are none. (numpy's nanmedian warns through the process-wide warning
    filters, which threads measuring at once cannot silence safely.)"""
    ordered = np.sort(values, axis=-1)  # NaN sorts last
    count = np.isfinite(ordered).sum(axis=-1, keepdims=True)
    low = np.take_along_axis(ordered, np.maximum(count - 1, 0) // 2, axis=-1)
    high = np.take_along_axis(ordered, np.minimum(count // 2, values.shape[-1] - 1), axis=-1)
    return np.where(count > 0, 0.5 * (low + high), np.nan)[..., 0]


def _medians(np: Any, names: list[str], values: Any, lags: tuple[int, ...]) -> dict[str, Any]:
    """Medians over the last axis of `values` (figures x ... x instruments),
    and the decay exponent fitted to each median ACF of |r|."""
    out = dict(zip(names, _nanmedian(np, values)))
    curves = np.stack([out[f"acf_abs_{lag}"] for lag in lags], axis=-1)
    x = np.array(lags, dtype=float)
    out["decay_exponent"] = np.array([_decay(np, x, c) for c in curves.reshape(-1, len(lags))]).reshape(
        curves.shape[:-1]
    )
    return out


def facts(table: Any, *, lags: tuple[int, ...] = DEFAULT_LAGS, ci: bool = True) -> Facts:
    """The stylized facts of a daily price table.

    `table` is an ArrowStream or anything with the Arrow PyCapsule interface
    (needs pyarrow), a pyarrow table, a polars or pandas frame with a date or
    day column, an instrument column (instrument_id, instrument, ticker or
    symbol), a close column and optionally a volume column; or a 2-D array of
    closes shaped days x instruments. Days are taken in sorted order.

    Returns are daily log returns; an instrument with a missing or
    non-positive close is measured on its longest run of valid days, and the
    mean pairwise correlation uses the days every instrument has. Each figure
    is the median over instruments of:

    - volatility: standard deviation (ddof 1) times sqrt(252);
    - excess_kurtosis at horizons 1, 5 and 20 days (non-overlapping sums of
      log returns; population moments, as scipy.stats.kurtosis);
    - tail_index: Hill's estimator on the largest 5% of |r|;
    - acf_1 and acf_abs (ACF of r at lag 1 and of |r| at each lag): demeaned
      and normalised by the lag-0 sum, as statsmodels' acf;
    - leverage: correlation of r on one day with |r| on the next;
    - mean_pair_correlation: an instrument's mean correlation with the others;
    - volume_volatility: correlation of the day's volume with |r| (None
      without a volume column);
    - gain_loss_asymmetry: the skewness of r (negative: losses larger).

    decay_exponent is the power-law exponent fitted by least squares to
    log(median ACF of |r|) against log(lag), over the lags where it is
    positive. With `ci`, a 95% interval of every figure comes from 200
    bootstrap draws of instruments, seeded, so it is the same on every call.
    """
    import numpy as np

    lags = tuple(int(lag) for lag in lags)
    if not lags or any(lag < 1 for lag in lags):
        raise ValueError("facts: lags must be whole numbers of at least 1")
    if isinstance(table, (list, tuple)) or (hasattr(table, "ndim") and hasattr(table, "dtype")):
        closes = np.asarray(table, dtype=float)
        if closes.ndim != 2:
            raise ValueError(f"facts: an array of closes must be days x instruments, not {closes.ndim}-D")
        volumes = None
    else:
        closes, volumes = _pivot(table)
    return facts_of_arrays(closes, volumes, lags=lags, ci=ci)


def facts_of_arrays(closes: Any, volumes: Any, *, lags: tuple[int, ...], ci: bool = False) -> Facts:
    """`facts` of closes and volumes (or None) shaped days x instruments."""
    import numpy as np

    with np.errstate(invalid="ignore", divide="ignore"):
        logs = np.where(closes > 0, np.log(np.where(closes > 0, closes, 1.0)), np.nan)
    r = np.diff(logs, axis=0)
    v = None if volumes is None else volumes[1:]
    if r.shape[0] < 3 or r.shape[1] < 1:
        raise ValueError(f"facts: need at least 4 days and 1 instrument, got {closes.shape[0]} x {closes.shape[1]}")
    if np.isfinite(r).all() and (v is None or np.isfinite(v).all()):
        values = _per_instrument(np, r, v, lags)
    else:
        values = _ragged(np, r, v, lags)
    names = list(values)
    table = np.stack([values[name] for name in names])
    summary = {k: float(v) for k, v in _medians(np, names, table, lags).items()}
    intervals = None
    if ci:
        m = r.shape[1]
        picks = np.random.default_rng(BOOTSTRAP_SEED).integers(0, m, (BOOTSTRAP_DRAWS, m))
        draws = _medians(np, names, table[:, picks], lags)
        intervals = {}
        for name in summary:
            column = draws[name][np.isfinite(draws[name])]
            if column.size:
                low, high = np.percentile(column, [2.5, 97.5])
                intervals[name] = (float(low), float(high))
    return Facts(
        volatility=summary["volatility"],
        excess_kurtosis=Lags({h: summary["excess_kurtosis" if h == 1 else f"excess_kurtosis_{h}"] for h in HORIZONS}),
        tail_index=summary["tail_index"],
        acf_1=summary["acf_1"],
        acf_abs=Lags({lag: summary[f"acf_abs_{lag}"] for lag in lags}),
        decay_exponent=summary["decay_exponent"],
        leverage=summary["leverage"],
        mean_pair_correlation=summary["mean_pair_correlation"],
        volume_volatility=summary.get("volume_volatility"),
        gain_loss_asymmetry=summary["gain_loss_asymmetry"],
        instruments=int(r.shape[1]),
        days=int(closes.shape[0]),
        ci=intervals,
    )


def _longest_run(np: Any, ok: Any) -> slice:
    best, start, run = slice(0, 0), 0, 0
    for t, good in enumerate(ok):
        if good:
            run += 1
            if run > best.stop - best.start:
                best = slice(start, t + 1)
        else:
            start, run = t + 1, 0
    return best


def _ragged(np: Any, r: Any, v: Any, lags: tuple[int, ...]) -> dict[str, Any]:
    """Per-instrument figures when instruments have gaps: each on its
    longest run of valid days; correlations across instruments on the days
    all of them have."""
    m = r.shape[1]
    columns: dict[str, Any] = {}
    for i in range(m):
        ok = np.isfinite(r[:, i]) & (np.isfinite(v[:, i]) if v is not None else True)
        run = _longest_run(np, ok)
        if run.stop - run.start < 3:
            one = None
        else:
            one = _per_instrument(np, r[run, i : i + 1], None if v is None else v[run, i : i + 1], lags)
        for name, value in (one or {}).items():
            columns.setdefault(name, np.full(m, np.nan))[i] = value[0]
    if not columns:
        raise ValueError("facts: no instrument has 4 consecutive valid closes")
    full = np.isfinite(r).all(axis=1)
    if full.sum() >= 3:
        columns["mean_pair_correlation"] = _mean_pair_correlation(np, r[full])
    else:
        columns["mean_pair_correlation"] = np.full(m, np.nan)
    return columns


def _mean_pair_correlation(np: Any, r: Any) -> Any:
    """Each instrument's mean correlation with the others; NaN alone."""
    m = r.shape[1]
    if m < 2:
        return np.full(m, np.nan)
    c = np.corrcoef(r, rowvar=False)
    return (c.sum(axis=0) - 1.0) / (m - 1)


def mean(results: list[Facts]) -> Facts:
    """The figure-by-figure mean of results measured alike (no intervals)."""
    first = results[0]

    def avg(values: list[float]) -> float:
        return math.fsum(values) / len(values)

    def avg_lags(pick: Any) -> Lags:
        return Lags({k: avg([pick(f)[k] for f in results]) for k in pick(first)})

    volume = None if first.volume_volatility is None else avg([f.volume_volatility for f in results])
    return Facts(
        volatility=avg([f.volatility for f in results]),
        excess_kurtosis=avg_lags(lambda f: f.excess_kurtosis),
        tail_index=avg([f.tail_index for f in results]),
        acf_1=avg([f.acf_1 for f in results]),
        acf_abs=avg_lags(lambda f: f.acf_abs),
        decay_exponent=avg([f.decay_exponent for f in results]),
        leverage=avg([f.leverage for f in results]),
        mean_pair_correlation=avg([f.mean_pair_correlation for f in results]),
        volume_volatility=volume,
        gain_loss_asymmetry=avg([f.gain_loss_asymmetry for f in results]),
        instruments=first.instruments,
        days=first.days,
    )
