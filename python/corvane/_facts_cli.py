"""The `corvane facts` and `corvane calibrate` commands."""

import json
import math
from pathlib import Path
from typing import Any

import corvane
from corvane import _calibrate, _facts

# Published facts of real equities' daily returns (the stylized-facts
# literature): heavy tails with an index near 3, no linear autocorrelation,
# slowly decaying clustering, leverage, strong co-movement.
REAL_EQUITIES = {
    "volatility": 0.27,
    "excess_kurtosis": 6.0,
    "tail_index": 3.0,
    "acf_1": 0.0,
    "acf_abs_1": 0.25,
    "acf_abs_20": 0.12,
    "acf_abs_50": 0.1,
    "acf_abs_100": 0.08,
    "leverage": -0.1,
    "mean_pair_correlation": 0.3,
}
NAMED_TARGETS = {"real-equities": REAL_EQUITIES}


def _closes(args: Any) -> tuple[Any, Any]:
    """Closes and volumes (days x instruments) of the file or the preset."""
    if args.preset is not None:
        model = corvane.load_model(args.preset)
        return _calibrate.simulate_closes(model, size=args.size, days=args.days, seed=args.seed)
    (pa,) = _require("pyarrow")
    path = Path(args.file)
    if path.suffix == ".csv":
        (pcsv,) = _require("pyarrow.csv")
        table = pcsv.read_csv(path)
    else:
        (pq,) = _require("pyarrow.parquet")
        table = pq.read_table(path)
    return _facts._pivot(table)


def _require(*names: str) -> list[Any]:
    from corvane.cli import _require as require

    return require(*names)


def _chart(path: Path, closes: Any, measured: _facts.Facts, target: dict[str, float] | None) -> None:
    np, plt = _require("numpy", "matplotlib.pyplot")
    from corvane._charts import legend

    r = np.diff(np.log(closes), axis=0)
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.5), constrained_layout=True)
    lags = np.array(list(measured.acf_abs))
    ax = axes[0]
    ax.loglog(lags, np.clip(list(measured.acf_abs.values()), 1e-4, None), "o-", label="measured")
    if target:
        pairs = sorted((int(k.rsplit("_", 1)[1]), v) for k, v in target.items() if k.startswith("acf_abs_"))
        if pairs:
            ax.loglog(*zip(*pairs), "s--", label="target")
    ax.set(title="ACF of |r| (log-log)", xlabel="lag (days)")
    legend(ax)
    ax = axes[1]
    z = r[np.isfinite(r)]
    z = (z - z.mean()) / z.std()
    grid = np.linspace(-8, 8, 161)
    ax.hist(z, bins=grid, density=True, log=True, label="returns, standardised")
    ax.plot(grid, np.exp(-grid**2 / 2) / math.sqrt(2 * math.pi), label="normal")
    ax.set(title="return distribution", ylim=(1e-5, 1))
    legend(ax)
    ax = axes[2]
    ax.plot(list(measured.excess_kurtosis), list(measured.excess_kurtosis.values()), "o-")
    ax.axhline(0.0, color="grey", linewidth=0.5)
    ax.set(title="excess kurtosis by horizon", xlabel="horizon (days)")
    fig.savefig(path)
    plt.close(fig)


def _target(text: str) -> dict[str, float]:
    if text in NAMED_TARGETS:
        return dict(NAMED_TARGETS[text])
    target = {}
    for item in text.split(","):
        name, _, value = item.partition("=")
        try:
            target[name.strip()] = float(value)
        except ValueError:
            raise RuntimeError(f"--target: expected a name ({', '.join(NAMED_TARGETS)}) or fact=value,...") from None
    return target


def facts(args: Any) -> int:
    closes, volumes = _closes(args)
    try:
        measured = _facts.facts_of_arrays(closes, volumes, lags=_facts.DEFAULT_LAGS, ci=True)
    except ValueError as error:
        raise RuntimeError(str(error)) from None
    print(measured)
    print()
    print(measured.compare(REAL_EQUITIES, names=("measured", "equities")))
    _chart(Path(args.chart), closes, measured, REAL_EQUITIES)
    print(f"chart: {args.chart}")
    return 0


def calibrate(args: Any) -> int:
    if (args.data is None) == (args.target is None):
        raise RuntimeError("give one of --data FILE and --target")
    if args.data is not None:
        args.file, args.preset = args.data, None
        closes, volumes = _closes(args)
        target: Any = _facts.facts_of_arrays(closes, volumes, lags=_facts.DEFAULT_LAGS)
    else:
        target = _target(args.target)
    try:
        fit = corvane.calibrate(
            target, model=args.model, size=args.size, days=args.days, budget=args.budget, progress=None
        )
    except (ValueError, TypeError) as error:
        raise RuntimeError(str(error)) from None
    out = fit.save(args.out)
    reached = Path(out).with_suffix(".facts.json")
    reached.write_text(json.dumps({"facts": fit.facts.to_dict(), "target": fit.target, "seconds": fit.seconds}, indent=1))
    print(fit.report())
    print(f"model {fit.model.fingerprint}: {out}; facts: {reached}; {len(fit.history)} candidates in {fit.seconds:.0f} s")
    closes, _ = _calibrate.simulate_closes(fit.model, size=args.size, days=args.days, seed=_calibrate.DEFAULT_SEEDS[0])
    chart = Path(out).with_suffix(".png")
    _chart(chart, closes, fit.facts, {k: v for k, (v, _) in fit.target.items()})
    print(f"chart: {chart}")
    return 0


def register(commands: Any, *, bounded: Any, seed: Any) -> None:
    """Adds the two commands to the `corvane` parser's subcommands."""
    measure = commands.add_parser(
        "facts", help="the stylized facts of a price table or a preset, with a chart",
        description="Measure the stylized facts of daily prices (heavy tails, autocorrelation, volatility "
        "clustering, leverage, correlation), from a file of your own or a simulated market, and chart "
        "them.")
    source = measure.add_mutually_exclusive_group(required=True)
    source.add_argument("file", nargs="?", help="daily prices: Parquet or CSV with date, instrument and close")
    source.add_argument("--preset", help="measure a simulated market of this model (preset or shipped model)")
    measure.add_argument("--size", type=bounded(2, 17576), default=100, help="instruments (default %(default)s)")
    measure.add_argument("--days", type=bounded(25, 100_000), default=750, help="trading days (default %(default)s)")
    measure.add_argument("--seed", type=seed, default=1, help="market seed (default %(default)s)")
    measure.add_argument("--chart", default="facts.png", help="chart file (default %(default)s)")
    measure.set_defaults(handler=facts)

    fit = commands.add_parser(
        "calibrate", help="fit a model to a table's facts or to named facts",
        description="Search model coefficients whose simulated market shows the facts of your data (or "
        "the named facts), and write the fitted model as JSON that `simulate --model` reads.")
    fit.add_argument("--data", help="daily prices to match: Parquet or CSV")
    fit.add_argument("--target", help=f"named facts ({', '.join(NAMED_TARGETS)}) or fact=value,...")
    fit.add_argument("--out", default="model.json", help="model file to write (default %(default)s)")
    fit.add_argument("--model", default="kx-v14", help="the model to start from (default %(default)s)")
    fit.add_argument("--size", type=bounded(2, 17576), default=30, help="instruments per candidate (default %(default)s)")
    fit.add_argument("--days", type=bounded(25, 100_000), default=500, help="days per candidate (default %(default)s)")
    fit.add_argument("--budget", type=bounded(1, 100_000), default=200, help="candidates to evaluate (default %(default)s)")
    fit.set_defaults(handler=calibrate)
