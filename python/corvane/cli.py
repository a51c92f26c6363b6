"""The `corvane` command: simulate, sweep seeds, list presets, print digests."""

import argparse
import functools
import importlib
import sys
import time
from pathlib import Path
from typing import Any, NoReturn

import corvane
from corvane import _whatif_cli

EXTRA_HINT = "install the command's extra: pip install 'corvane[cli]'"
TOP_MOVES = 5


class UsageError(Exception):
    """A bad argument, reported as one line with exit status 2."""


class Parser(argparse.ArgumentParser):
    # One line, never a usage block or a traceback: the line says what to fix.
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: error: {message}")


def _require(*modules: str) -> list[Any]:
    loaded = []
    for name in modules:
        try:
            loaded.append(importlib.import_module(name))
        except ImportError:
            raise RuntimeError(f"this command needs {name.split('.')[0]}: {EXTRA_HINT}") from None
    return loaded


def _bounded(low: int, high: int | None = None):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < low or (high is not None and value > high):
            bound = f"from {low} to {high}" if high is not None else f"at least {low}"
            raise argparse.ArgumentTypeError(f"{value} is out of range: give a number {bound}")
        return value

    return parse


SEED = _bounded(0, 2**32 - 1)


def _common(parser: argparse.ArgumentParser, *, days: int) -> None:
    parser.add_argument("--days", type=_bounded(1, 100_000), default=days, help=f"trading days (default {days})")
    parser.add_argument("--size", type=_bounded(1, 17576), default=108, help="instruments (default 108)")
    parser.add_argument("--universe-seed", type=SEED, default=0, help="universe seed (default 0)")
    parser.add_argument("--preset", default="kx-v14", help="model preset (default kx-v14; see `corvane presets`)")
    parser.add_argument("--ticks", type=_bounded(1, 390), default=390, help="ticks (minutes) a day (default 390)")


def _progress_bar(total: int, unit: str):
    (tqdm,) = _require("tqdm")
    # A bar is for a person watching; in a log or a pipe it is noise.
    return tqdm.tqdm(total=total, unit=unit, disable=not sys.stderr.isatty(), leave=False)


# ---- simulate ----


def _daily(engine: corvane.Engine, np: Any, pa: Any) -> tuple[Any, Any]:
    """Closes as days x instruments, and each day's return."""
    table = pa.table(engine.bars(grain="day"))
    days = np.asarray(table.column("day")).astype(np.int64)
    ids = np.asarray(table.column("instrument_id")).astype(np.int64)
    closes = np.zeros((days.max() + 1, len(engine)))
    closes[days, ids] = np.asarray(table.column("close"))
    initial = np.array([i.initial_price for i in engine.universe])
    previous = np.vstack([initial, closes[:-1]])
    return closes, closes / previous - 1.0


def _drivers(truth: Any, np: Any, moves: list[tuple[int, int]]) -> Any:
    """For each (day, instrument), its drivers summed over the day's ticks."""
    day = np.asarray(truth.column("day")).astype(np.int64)
    ids = np.asarray(truth.column("instrument_id")).astype(np.int64)
    out = np.zeros((len(moves), len(corvane.Engine.FACTORS)))
    for k, (d, i) in enumerate(moves):
        rows = (day == d) & (ids == i)
        for f, factor in enumerate(corvane.Engine.FACTORS):
            out[k, f] = np.asarray(truth.column(factor))[rows].sum()
    return out


def _write(table: Any, path: Path, csv: bool) -> Path:
    if csv:
        (pcsv,) = _require("pyarrow.csv")
        pcsv.write_csv(table, path.with_suffix(".csv"))
        return path.with_suffix(".csv")
    (pq,) = _require("pyarrow.parquet")
    pq.write_table(table, path.with_suffix(".parquet"))
    return path.with_suffix(".parquet")


def _chart(path: Path, np: Any, plt: Any, *, engine, closes, sectors, moves, labels, drivers, macro) -> None:
    fig, axes = plt.subplots(2, 2, figsize=(14, 9), constrained_layout=True)
    fig.suptitle(
        f"corvane {corvane.__version__}: {len(engine)} instruments, {closes.shape[0]} days, "
        f"{engine.model_fingerprint}, seed {engine.seed}"
    )
    initial = np.array([i.initial_price for i in engine.universe])
    days = np.arange(closes.shape[0] + 1)
    ax = axes[0, 0]
    for k, sector in enumerate(sorted(set(sectors))):
        members = [i for i, s in enumerate(sectors) if s == sector]
        path_of = np.vstack([initial, closes])[:, members] / initial[members]
        # Ten colours, then dashes: twelve sectors must stay tellable apart.
        style = {"color": f"C{k % 10}", "linestyle": "-" if k < 10 else "--"}
        ax.plot(days, 100.0 * path_of.mean(axis=1), label=sector, **style)
    ax.axhline(100.0, color="grey", linewidth=0.5)
    ax.set(title="Price paths by sector (equal weight, start = 100)", xlabel="day", ylabel="index")
    ax.legend(fontsize=7, ncol=2)

    ax = axes[0, 1]
    left_pos = np.zeros(len(moves))
    left_neg = np.zeros(len(moves))
    for f, factor in enumerate(corvane.Engine.FACTORS):
        values = drivers[:, f]
        if not np.any(values):
            continue
        base = np.where(values >= 0, left_pos, left_neg)
        # A factor keeps its colour whichever factors are absent.
        ax.barh(range(len(moves)), values, left=base, label=factor, color=f"C{f}")
        left_pos += np.maximum(values, 0)
        left_neg += np.minimum(values, 0)
    ax.set_yticks(range(len(moves)), labels)
    ax.invert_yaxis()
    ax.axvline(0.0, color="black", linewidth=0.5)
    ax.set(title="Drivers of the largest daily moves", xlabel="change of log mispricing over the day")
    ax.legend(fontsize=7)

    macro_days = np.asarray(macro.column("day"))
    ax = axes[1, 0]
    ax.plot(macro_days, np.asarray(macro.column("vix")), color="tab:red", label="VIX")
    ax.set(title="VIX and fear & greed", xlabel="day", ylabel="VIX")
    twin = ax.twinx()
    twin.plot(macro_days, np.asarray(macro.column("fear_greed_index")), color="tab:blue", label="fear & greed")
    twin.set_ylabel("fear & greed (0-100)")
    lines = ax.get_lines() + twin.get_lines()
    ax.legend(lines, [line.get_label() for line in lines], loc="upper left", fontsize=8)

    ax = axes[1, 1]
    for column in ("federal_funds_rate", "corporate_bond_yield", "inflation_rate", "unemployment_rate", "gdp_growth"):
        ax.plot(macro_days, 100.0 * np.asarray(macro.column(column)), label=column.replace("_", " "))
    ax.set(title="Rates and the economy", xlabel="day", ylabel="percent")
    ax.legend(fontsize=7)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def _run_with_progress(engine: corvane.Engine, args: argparse.Namespace) -> float:
    """Runs the days one at a time under a progress bar; the seconds taken."""
    started = time.perf_counter()
    with _progress_bar(args.days, "day") as bar:
        for day in range(args.days):
            engine.run_days(1, ticks_per_day=args.ticks, first_day=day)
            bar.update()
    return time.perf_counter() - started


def _write_tables(engine: corvane.Engine, pa: Any, out: Path, args: argparse.Namespace, sectors: list[str]):
    """Writes bars (with ticker and sector), truth, macro and the manifest;
    returns the paths written and the truth and macro tables."""
    tickers = pa.array(engine.tickers)
    bars = pa.table(engine.bars(minutes=args.minutes))
    ids = bars.column("instrument_id")
    bars = bars.append_column("ticker", tickers.take(ids)).append_column("sector", pa.array(sectors).take(ids))
    truth = pa.table(engine.truth())
    macro = pa.table(engine.macro_table())
    written = [
        _write(bars, out / "bars", args.csv),
        _write(truth, out / "truth", args.csv),
        _write(macro, out / "macro", args.csv),
    ]
    manifest_path = out / "manifest.json"
    manifest_path.write_text(corvane.dumps(corvane.manifest(engine)))
    written.append(manifest_path)
    return written, truth, macro


def _largest_moves(returns: Any, np: Any) -> list[tuple[int, int]]:
    """(day, instrument) of the TOP_MOVES largest daily moves, largest first."""
    order = np.argsort(-np.abs(returns), axis=None)[:TOP_MOVES]
    return [tuple(int(x) for x in np.unravel_index(k, returns.shape)) for k in order]


def _print_summary(engine, np, args, *, elapsed, closes, returns, sectors, macro, moves, drivers) -> None:
    initial = np.array([i.initial_price for i in engine.universe])
    total = closes[-1] / initial - 1.0
    print(
        f"corvane {corvane.__version__}: {args.size} instruments, {args.days} days of {args.ticks} ticks "
        f"under {engine.model_fingerprint}, seed {args.seed}, simulated in {elapsed:.1f} s"
    )
    print("\nReturn by sector (equal weight):")
    by_sector = {s: total[[i for i, x in enumerate(sectors) if x == s]].mean() for s in set(sectors)}
    for sector, value in sorted(by_sector.items(), key=lambda kv: -kv[1]):
        print(f"  {sector:<24} {100 * value:+7.2f}%")
    print(f"  {'all':<24} {100 * total.mean():+7.2f}%")
    vix = np.asarray(macro.column("vix"))
    path = " ".join(f"{v:.1f}" for v in vix) if len(vix) <= 20 else (
        f"{vix[0]:.1f} ... {vix[-1]:.1f}")
    print(f"\nVIX by day: {path}  (low {vix.min():.1f}, high {vix.max():.1f})")
    print("\nLargest daily moves and what drove them (change of log mispricing):")
    for (d, i), row in zip(moves, drivers):
        top = np.argsort(-np.abs(row))[:3]
        why = ", ".join(f"{corvane.Engine.FACTORS[f]} {row[f]:+.4f}" for f in top if row[f] != 0.0)
        name = f"{engine.tickers[i]} ({sectors[i]})"
        print(f"  day {d:>3}  {name:<30} {100 * returns[d, i]:+6.2f}%   {why}")


def simulate(args: argparse.Namespace) -> int:
    np, pa, matplotlib = _require("numpy", "pyarrow", "matplotlib")
    matplotlib.use("Agg")
    (plt,) = _require("matplotlib.pyplot")
    universe = corvane.random_instruments(args.size, seed=args.universe_seed)
    engine = corvane.Engine(seed=args.seed, universe=universe, model=args.preset)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    elapsed = _run_with_progress(engine, args)
    sectors = [i.sector for i in universe]
    written, truth, macro = _write_tables(engine, pa, out, args, sectors)

    closes, returns = _daily(engine, np, pa)
    moves = _largest_moves(returns, np)
    drivers = _drivers(truth, np, moves)
    labels = [f"day {d} {engine.tickers[i]} {100 * returns[d, i]:+.1f}%" for d, i in moves]
    chart = out / "summary.png"
    _chart(chart, np, plt, engine=engine, closes=closes, sectors=sectors, moves=moves, labels=labels,
           drivers=drivers, macro=macro)

    _print_summary(engine, np, args, elapsed=elapsed, closes=closes, returns=returns, sectors=sectors,
                   macro=macro, moves=moves, drivers=drivers)
    print("\nWrote:")
    for path_written in [*written, chart]:
        print(f"  {path_written}")
    return 0


# ---- sweep ----


def sweep_outcome(seed: int, *, size: int, universe_seed: int, days: int, ticks: int, preset: str) -> dict:
    """One seed's run, reduced to the numbers a sweep compares."""
    import array

    universe = corvane.random_instruments(size, seed=universe_seed)
    engine = corvane.Engine(seed=seed, universe=universe, model=preset)
    engine.run_days(days, ticks_per_day=ticks, record=False)
    prices = array.array("d", engine.prices())
    returns = [p / i.initial_price - 1.0 for p, i in zip(prices, universe)]
    mean = sum(returns) / len(returns)
    return {
        "seed": seed,
        "market_return": mean,
        "dispersion": (sum((r - mean) ** 2 for r in returns) / len(returns)) ** 0.5,
        "best": max(returns),
        "worst": min(returns),
        "vix": engine.macro_state.vix,
    }


def sweep(args: argparse.Namespace) -> int:
    np, matplotlib = _require("numpy", "matplotlib")
    matplotlib.use("Agg")
    (plt,) = _require("matplotlib.pyplot")
    corvane.ModelParams.from_preset(args.preset)  # a bad preset fails here, once, not in every worker
    seeds = range(args.first_seed, args.first_seed + args.seeds)
    if seeds[-1] > 2**32 - 1:
        raise UsageError("corvane sweep: error: the seeds run past 4294967295")
    fn = functools.partial(
        sweep_outcome, size=args.size, universe_seed=args.universe_seed, days=args.days, ticks=args.ticks,
        preset=args.preset,
    )
    started = time.perf_counter()
    with _progress_bar(len(seeds), "seed") as bar:
        results = corvane.sweep(fn, seeds, progress=lambda done, total: bar.update(done - bar.n))
    elapsed = time.perf_counter() - started
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    names = [k for k in results[0] if k != "seed"]
    with open(out / "sweep.csv", "w") as table:
        table.write("seed," + ",".join(names) + "\n")
        for row in results:
            table.write(f"{row['seed']}," + ",".join(repr(row[n]) for n in names) + "\n")

    print(
        f"corvane {corvane.__version__}: {len(seeds)} seeds ({seeds[0]}..{seeds[-1]}), {args.size} instruments, "
        f"{args.days} days under {args.preset}, in {elapsed:.1f} s"
    )
    print(f"\n{'':<15}{'mean':>9}{'std':>9}{'min':>9}{'5%':>9}{'median':>9}{'95%':>9}{'max':>9}")
    for name in names:
        values = np.array([row[name] for row in results])
        scale, unit = (1.0, "") if name == "vix" else (100.0, " %")
        stats = [values.mean(), values.std(), values.min(), *np.percentile(values, [5, 50, 95]), values.max()]
        print(f"{name + unit:<15}" + "".join(f"{scale * v:9.2f}" for v in stats))

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5), constrained_layout=True)
    market = 100.0 * np.array([row["market_return"] for row in results])
    axes[0].hist(market, bins=max(5, len(results) // 3), color="tab:blue", edgecolor="white")
    axes[0].axvline(market.mean(), color="black", linestyle="--", label=f"mean {market.mean():+.2f}%")
    axes[0].set(title=f"Market return over {args.days} days, {len(seeds)} seeds", xlabel="percent", ylabel="seeds")
    axes[0].legend()
    vix = np.array([row["vix"] for row in results])
    axes[1].hist(vix, bins=max(5, len(results) // 3), color="tab:red", edgecolor="white")
    axes[1].set(title="VIX at the end", xlabel="VIX", ylabel="seeds")
    fig.savefig(out / "sweep.png", dpi=100)
    plt.close(fig)
    print(f"\nWrote:\n  {out / 'sweep.csv'}\n  {out / 'sweep.png'}")
    return 0


# ---- presets and digest ----


def presets(args: argparse.Namespace) -> int:
    shipped = []
    for k in range(1, 100):
        try:
            shipped.append(corvane.ModelParams.from_preset(f"kx-v{k}"))
        except corvane.ValidationError:
            break
    default = corvane.ModelParams.from_preset()
    print(f"{'preset':<10}{'fingerprint':<14}{'values':>7}  changes from the one before")
    previous = None
    for model in shipped:
        values = {k: v for k, v in model.to_dict().items() if k != "name"}
        changed = "" if previous is None else str(sum(1 for k, v in values.items() if previous.get(k) != v))
        mark = "  (default)" if model == default else ""
        print(f"{model.fingerprint:<10}{model.fingerprint:<14}{len(values):>7}  {changed}{mark}")
        previous = values
    return 0


def digest(args: argparse.Namespace) -> int:
    """Prints the fixed simulation's digest: the SHA-256 of its final prices
    and five macro values, not of the whole final state (Engine.state_digest
    hashes that). The printed label, "final-state digest", stays as it is for
    the scripts that read it."""
    started = time.perf_counter()
    value = corvane.fixed_simulation_digest(
        size=args.size, universe_seed=args.universe_seed, seed=args.seed, days=args.days, ticks=args.ticks,
        preset=args.preset,
    )
    elapsed = time.perf_counter() - started
    print(
        f"corvane {corvane.__version__}: {args.size} instruments, {args.days} days of {args.ticks} ticks "
        f"under {args.preset} (seed {args.seed}) in {elapsed:.2f} s"
    )
    print(f"final-state digest: {value}")
    return 0


def parser() -> Parser:
    top = Parser(prog="corvane", description="A deterministic stock-market simulator.")
    top.add_argument("--version", action="version", version=f"corvane {corvane.__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)

    run = commands.add_parser("simulate", help="run one simulation: tables, a summary and a chart")
    _common(run, days=20)
    run.add_argument("--seed", type=SEED, default=7, help="market seed (default 7)")
    run.add_argument("--minutes", type=_bounded(1, 390), default=5, help="bar length in minutes (default 5)")
    run.add_argument("--out", default="corvane-run", help="output folder (default ./corvane-run)")
    run.add_argument("--csv", action="store_true", help="write CSV instead of Parquet")
    run.set_defaults(handler=simulate)

    many = commands.add_parser("sweep", help="run many seeds and summarise the outcomes")
    _common(many, days=5)
    many.add_argument("--seeds", type=_bounded(1, 1_000_000), default=32, help="how many seeds (default 32)")
    many.add_argument("--first-seed", type=SEED, default=0, help="the first seed (default 0)")
    many.add_argument("--out", default="corvane-sweep", help="output folder (default ./corvane-sweep)")
    many.set_defaults(handler=sweep)

    listing = commands.add_parser("presets", help="list the model presets and their fingerprints")
    listing.set_defaults(handler=presets)

    fixed = commands.add_parser("digest", help="hash one fixed simulation: two builds agree when digests do")
    _common(fixed, days=20)
    fixed.set_defaults(size=100)
    fixed.add_argument("--seed", type=SEED, default=7, help="market seed (default 7)")
    fixed.set_defaults(handler=digest)
    _whatif_cli.register(commands)
    return top


def main(argv: list[str] | None = None) -> int:
    try:
        args = parser().parse_args(argv)
        if args.command is None:
            raise UsageError("corvane: error: choose a command: simulate, sweep, presets, digest, whatif or verify (see corvane --help)")
        return args.handler(args)
    except UsageError as error:
        print(error, file=sys.stderr)
        return 2
    except corvane.ValidationError as error:
        # The simulator's refusals name the bad input (a sweep's, its seed too).
        where = "".join(f" ({note})" for note in getattr(error, "__notes__", []))
        print(f"corvane {args.command}: error: {error}{where}", file=sys.stderr)
        return 2
    except (RuntimeError, OSError) as error:
        print(f"corvane {args.command}: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("corvane: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
