"""The `corvane` command: simulate, sweep seeds, list presets, print digests."""

import argparse
import contextlib
import functools
import importlib
import itertools
import os
import signal
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, NoReturn

import corvane
from corvane import _calibrate, _whatif_cli

EXTRA_HINT = "install the command's extra: pip install 'corvane[cli]'"
TOP_MOVES = 5
LAST_SEED = 2**32 - 1


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


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split())


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


SEED = _bounded(0, LAST_SEED)


def shipped_presets() -> dict[str, corvane.ModelParams]:
    """Every shipped preset by name, oldest first."""
    shipped = {}
    for k in itertools.count(1):
        try:
            model = corvane.ModelParams.from_preset(f"kx-v{k}")
        except corvane.ValidationError:
            return shipped
        shipped[model.fingerprint] = model


def _preset(name: str) -> str:
    shipped = shipped_presets()
    if name not in shipped:
        raise argparse.ArgumentTypeError(
            f"unknown model preset {name!r}; choose one of {', '.join(shipped)} (see `corvane presets`)"
        )
    return name


def _model_file(text: str) -> corvane.ModelParams:
    try:
        return _calibrate.read_model_file(text)
    except (OSError, ValueError, TypeError) as error:  # ValidationError and JSON errors are ValueErrors
        reason = error.strerror if isinstance(error, OSError) and error.strerror else _one_line(error)
        raise argparse.ArgumentTypeError(f"cannot use {text} as a model: {reason}") from None


def _common(parser: argparse.ArgumentParser, *, days: int, size: int = 108, model_file: bool = True) -> None:
    parser.add_argument("--days", type=_bounded(1, 100_000), default=days, help="trading days (default %(default)s)")
    parser.add_argument("--size", type=_bounded(1, 17576), default=size, help="instruments (default %(default)s)")
    parser.add_argument("--universe-seed", type=SEED, default=0, help="universe seed (default %(default)s)")
    models = parser.add_mutually_exclusive_group() if model_file else parser
    models.add_argument(
        "--preset", type=_preset, default=corvane.ModelParams.from_preset().fingerprint,
        help="model preset (default %(default)s; see `corvane presets`)",
    )
    if model_file:
        models.add_argument(
            "--model", type=_model_file, metavar="FILE",
            help='a JSON file of model values, in the form of a manifest\'s "model", instead of --preset',
        )
    parser.add_argument(
        "--ticks", type=_bounded(1, 390), default=390, help="ticks (minutes) a day (default %(default)s)"
    )


def _model(args: argparse.Namespace) -> corvane.ModelParams:
    return args.model if getattr(args, "model", None) is not None else corvane.ModelParams.from_preset(args.preset)


def _output_folder(text: str) -> Path:
    """The folder to write in, created and proven writable before any work."""
    out = Path(text)
    if out.exists() and not out.is_dir():
        raise UsageError(f"--out {text} is a file, not a folder")
    try:
        out.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=out):
            pass
    except OSError as error:
        raise UsageError(f"--out {text} cannot be written: {error.strerror or error}") from None
    return out


def _progress_bar(total: int, unit: str):
    (tqdm,) = _require("tqdm")
    # A bar is for a person watching; in a log or a pipe it is noise.
    return tqdm.tqdm(total=total, unit=unit, disable=not sys.stderr.isatty(), leave=False)


# ---- simulate ----


class _DayByDay:
    """Ctrl-C stops a run at once, except while a finished day is written:
    then it stops once the day's rows and the manifest are both out, so the
    files on disk always agree with the manifest."""

    def __init__(self):
        self.writing = False
        self.pending = False

    def _on_interrupt(self, *_):
        if self.writing:
            self.pending = True
        else:
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def handling_interrupts(self):
        if threading.current_thread() is not threading.main_thread():
            yield  # signals reach the main thread only
            return
        previous = signal.signal(signal.SIGINT, self._on_interrupt)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, previous)

    @contextlib.contextmanager
    def writing_a_day(self):
        self.writing = True
        try:
            yield
        finally:
            self.writing = False
        if self.pending:
            raise KeyboardInterrupt


class _TableFile:
    """A table written a day at a time: a Parquet row group or CSV rows each."""

    def __init__(self, path: Path, csv: bool):
        self.path = path.with_suffix(".csv" if csv else ".parquet")
        self._csv = csv
        self._writer = None

    def append(self, table: Any) -> None:
        if self._writer is None:
            if self._csv:
                (pcsv,) = _require("pyarrow.csv")
                self._writer = pcsv.CSVWriter(self.path, table.schema)
            else:
                (pq,) = _require("pyarrow.parquet")
                self._writer = pq.ParquetWriter(self.path, table.schema)
        self._writer.write_table(table)

    def close(self) -> None:
        if self._writer is not None:
            self._writer.close()


def _write_atomically(path: Path, text: str) -> None:
    temporary = path.with_name(f".{path.name}.partial")
    temporary.write_text(text)
    os.replace(temporary, path)


class _Run:
    """A simulation run a day at a time, each finished day written at once,
    and the numbers its summary and chart need kept as it goes."""

    def __init__(self, engine: corvane.Engine, np: Any, pa: Any, out: Path, args: argparse.Namespace):
        self.engine, self.np, self.pa, self.args = engine, np, pa, args
        universe = engine.universe
        self.sectors = [i.sector for i in universe]
        self.initial = np.array([i.initial_price for i in universe])
        self.closes = self.initial.copy()  # the last day's
        self.members = {s: [i for i, x in enumerate(self.sectors) if x == s] for s in sorted(set(self.sectors))}
        # Each sector's equal-weight index (start = 100): at the start, then a value a day.
        self.index = {sector: [100.0] for sector in self.members}
        # The largest moves of the run are among each day's largest: (day,
        # instrument, return, drivers summed over the day) of those only, so
        # memory does not grow with days x instruments.
        self.moves: list[tuple[int, int, float, Any]] = []
        self.macro: list[dict] = []
        self.files = {name: _TableFile(out / name, args.csv) for name in ("bars", "truth", "macro")}
        if args.no_truth:
            del self.files["truth"]
        self.manifest = out / "manifest.json"
        self._tickers = pa.array(engine.tickers)
        self._sector_names = pa.array(self.sectors)

    @property
    def days_done(self) -> int:
        return len(self.macro)

    def run_day(self, guard: _DayByDay) -> None:
        day = self.days_done
        np, pa, engine = self.np, self.pa, self.engine
        # The recording holds one day at a time: memory stays flat over a long
        # run, and reading a day costs the same on the last day as the first.
        # The manifest then replays to the last day written, with its tables.
        if day:
            engine.clear_recording()
        engine.run_days(1, ticks_per_day=self.args.ticks, first_day=day)
        daily = pa.table(engine.bars(grain="day"))
        closes = self.closes.copy()
        closes[np.asarray(daily.column("instrument_id"))] = np.asarray(daily.column("close"))
        returns = closes / self.closes - 1.0
        truth = pa.table(engine.truth())
        ids = np.asarray(truth.column("instrument_id")).astype(np.int64)
        largest = np.argsort(-np.abs(returns), kind="stable")[:TOP_MOVES]
        drivers = np.array([
            np.bincount(ids, weights=np.asarray(truth.column(factor)), minlength=len(engine))[largest]
            for factor in corvane.Engine.FACTORS
        ])
        macro = pa.table(engine.macro_table())
        bars = pa.table(engine.bars(minutes=self.args.minutes))
        ids = bars.column("instrument_id")
        bars = bars.append_column("ticker", self._tickers.take(ids)).append_column(
            "sector", self._sector_names.take(ids)
        )
        with guard.writing_a_day():
            self.files["bars"].append(bars)
            if "truth" in self.files:
                self.files["truth"].append(truth)
            self.files["macro"].append(macro)
            _write_atomically(self.manifest, corvane.dumps(corvane.manifest(engine)))
            self.macro.append(macro.to_pylist()[0])
            self.moves += [(day, int(i), float(returns[i]), drivers[:, k]) for k, i in enumerate(largest)]
            for sector, members in self.members.items():
                self.index[sector].append(100.0 * float(np.mean(closes[members] / self.initial[members])))
            self.closes = closes

    def close(self) -> None:
        for file in self.files.values():
            file.close()

    def written(self) -> list[Path]:
        return [file.path for file in self.files.values()] + [self.manifest]

    def largest_moves(self) -> list[tuple[int, int, float, Any]]:
        """(day, instrument, return, drivers) of the TOP_MOVES largest daily moves, largest first."""
        return sorted(self.moves, key=lambda move: (-abs(move[2]), move[0], move[1]))[:TOP_MOVES]


def _print_summary(run: _Run, np: Any, *, elapsed: float, moves: list) -> None:
    engine, args, sectors = run.engine, run.args, run.sectors
    total = run.closes / run.initial - 1.0
    print(
        f"corvane {corvane.__version__}: {args.size} instruments, {args.days} days of {args.ticks} ticks "
        f"under {engine.model_fingerprint}, seed {args.seed}, simulated in {elapsed:.1f} s"
    )
    print("\nReturn by sector (equal weight):")
    by_sector = {s: total[members].mean() for s, members in run.members.items()}
    for sector, value in sorted(by_sector.items(), key=lambda kv: -kv[1]):
        print(f"  {sector:<24} {100 * value:+7.2f}%")
    print(f"  {'all':<24} {100 * total.mean():+7.2f}%")
    vix = np.array([row["vix"] for row in run.macro])
    path = " ".join(f"{v:.1f}" for v in vix) if len(vix) <= 20 else f"{vix[0]:.1f} ... {vix[-1]:.1f}"
    print(f"\nVIX by day: {path}  (low {vix.min():.1f}, high {vix.max():.1f})")
    print("\nLargest daily moves and what drove them (change of log mispricing):")
    for d, i, move, row in moves:
        top = np.argsort(-np.abs(row), kind="stable")[:3]
        why = ", ".join(f"{corvane.Engine.FACTORS[f]} {row[f]:+.4f}" for f in top if row[f] != 0.0)
        name = f"{engine.tickers[i]} ({sectors[i]})"
        print(f"  day {d:>3}  {name:<30} {100 * move:+6.2f}%   {why}")


def simulate(args: argparse.Namespace) -> int:
    np, pa, _ = _require("numpy", "pyarrow", "matplotlib")
    _require("pyarrow.csv" if args.csv else "pyarrow.parquet")
    out = _output_folder(args.out)
    universe = corvane.random_instruments(args.size, seed=args.universe_seed)
    engine = corvane.Engine(seed=args.seed, universe=universe, model=_model(args))
    run = _Run(engine, np, pa, out, args)
    guard = _DayByDay()

    started = time.perf_counter()
    try:
        with guard.handling_interrupts(), _progress_bar(args.days, "day") as bar:
            while run.days_done < args.days:
                run.run_day(guard)
                bar.update()
    except KeyboardInterrupt:
        run.close()
        kept = ", ".join(str(path) for path in run.written() if path.exists())
        print(
            f"corvane simulate: interrupted after {run.days_done} of {args.days} days; "
            f"kept {kept or 'nothing'}", file=sys.stderr,
        )
        return 130
    run.close()
    elapsed = time.perf_counter() - started

    from corvane import _charts

    moves = run.largest_moves()
    chart = out / "summary.png"
    macro_columns = {name: np.array([row[name] for row in run.macro]) for name in run.macro[0]}
    _charts.run_figure(
        title=f"corvane {corvane.__version__}: {len(engine)} instruments, {args.days} day{'s' * (args.days > 1)}, "
        f"{engine.model_fingerprint}, seed {engine.seed}",
        sector_index=run.index,
        drivers=np.array([row for *_, row in moves]),
        driver_labels=[f"day {d} {engine.tickers[i]} {100 * move:+.1f}%" for d, i, move, _ in moves],
        factors=corvane.Engine.FACTORS,
        macro_days=macro_columns["day"],
        macro=macro_columns,
    ).savefig(chart, dpi=100)

    _print_summary(run, np, elapsed=elapsed, moves=moves)
    print("\nWrote:")
    for path_written in [*run.written(), chart]:
        print(f"  {path_written}")
    return 0


# ---- sweep ----

SWEEP_COLUMNS = {
    "market_return": "the mean over instruments of each one's return from its initial price to the last price",
    "dispersion": "the standard deviation of those returns across instruments",
    "best": "the highest instrument return",
    "worst": "the lowest instrument return",
    "vix": "the VIX after the last day, in points",
}


def sweep_outcome(seed: int, *, size: int, universe_seed: int, days: int, ticks: int, model) -> dict:
    """One seed's run, reduced to the numbers a sweep compares (SWEEP_COLUMNS),
    with the manifest that re-runs it."""
    import array

    universe = corvane.random_instruments(size, seed=universe_seed)
    engine = corvane.Engine(seed=seed, universe=universe, model=model)
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
        "manifest": corvane.manifest(engine),
    }


def sweep(args: argparse.Namespace) -> int:
    (np, _) = _require("numpy", "matplotlib")
    seeds = range(args.first_seed, args.first_seed + args.seeds)
    if seeds[-1] > LAST_SEED:
        raise UsageError(f"corvane sweep: error: the seeds run past {LAST_SEED}")
    out = _output_folder(args.out)
    model = _model(args)
    fn = functools.partial(
        sweep_outcome, size=args.size, universe_seed=args.universe_seed, days=args.days, ticks=args.ticks,
        model=model,
    )
    started = time.perf_counter()
    with _progress_bar(len(seeds), "seed") as bar:
        results = corvane.sweep(fn, seeds, progress=lambda done, total: bar.update(done - bar.n))
    elapsed = time.perf_counter() - started
    names = list(SWEEP_COLUMNS)
    with open(out / "sweep.csv", "w") as table:
        table.write("seed," + ",".join(names) + "\n")
        for row in results:
            table.write(f"{row['seed']}," + ",".join(repr(row[n]) for n in names) + "\n")
    # Every seed's state digest, so anyone can re-run the sweep and check it (corvane verify).
    _write_atomically(out / "manifest.json", corvane.dumps(corvane.sweep_manifest([row["manifest"] for row in results])))

    print(
        f"corvane {corvane.__version__}: {len(seeds)} seeds ({seeds[0]}..{seeds[-1]}), {args.size} instruments, "
        f"{args.days} days under {model.fingerprint}, in {elapsed:.1f} s"
    )
    print(f"\n{'':<15}{'mean':>9}{'std':>9}{'min':>9}{'5%':>9}{'median':>9}{'95%':>9}{'max':>9}")
    for name in names:
        values = np.array([row[name] for row in results])
        scale, unit = (1.0, "") if name == "vix" else (100.0, " %")
        stats = [values.mean(), values.std(), values.min(), *np.percentile(values, [5, 50, 95]), values.max()]
        print(f"{name + unit:<15}" + "".join(f"{scale * v:9.2f}" for v in stats))
    print("".join(f"\n  {name}: {meaning}" for name, meaning in SWEEP_COLUMNS.items()))

    from corvane import _charts

    _charts.sweep_figure(
        {name: [row[name] for row in results] for name in names}, definitions=SWEEP_COLUMNS,
        preset=model.fingerprint, days=args.days, seeds=len(seeds),
    ).savefig(out / "sweep.png", dpi=100)
    print(f"\nWrote:\n  {out / 'sweep.csv'}\n  {out / 'sweep.png'}\n  {out / 'manifest.json'}")
    return 0


# ---- presets and digest ----


def preset_changes(older: corvane.ModelParams, newer: corvane.ModelParams) -> list[str]:
    """Each value `newer` sets differently from `older`, as "name old -> new"."""
    before, after = older.to_dict(), newer.to_dict()
    return [
        f"{name} {before.get(name)!r} -> {value!r}"
        for name, value in after.items()
        if name != "name" and (name not in before or repr(before[name]) != repr(value))
    ]


def presets(args: argparse.Namespace) -> int:
    shipped = shipped_presets()
    default = corvane.ModelParams.from_preset().fingerprint
    width = max(map(len, shipped)) + len(" (default)") + 2
    print(f"{'preset':<{width}}what it changes from the one before")
    previous = None
    for name, model in shipped.items():
        label = f"{name} (default)" if name == default else name
        if previous is None:
            changes = f"the first preset: {len(model.to_dict()) - 1} values"
        else:
            changes = ", ".join(preset_changes(previous, model)) or "nothing"
        print(f"{label:<{width}}{changes}")
        previous = model
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

    run = commands.add_parser(
        "simulate", help="run one simulation: tables, a summary and a chart",
        description="Simulate a market day by day and write its bars (with tickers and sectors), the truth "
        "behind every tick, the economy by day, a manifest that replays the run (to the last day, whose tables "
        "the replayed engine holds), a summary and a chart. Each day is written as it finishes: after "
        "Ctrl-C the files hold the completed days and the manifest replays to the last of them.",
    )
    _common(run, days=20)
    run.add_argument("--seed", type=SEED, default=7, help="market seed (default %(default)s)")
    run.add_argument("--minutes", type=_bounded(1, 390), default=5, help="bar length in minutes (default %(default)s)")
    run.add_argument("--out", default="corvane-run", help="output folder (default %(default)s)")
    run.add_argument("--csv", action="store_true", help="write CSV instead of Parquet")
    run.add_argument("--no-truth", action="store_true", help="do not write the truth table (the largest file)")
    run.set_defaults(handler=simulate)

    many = commands.add_parser(
        "sweep", help="run many seeds and summarise the outcomes",
        description="Run the same market under many seeds, in parallel, and write each seed's outcome "
        "(sweep.csv) and their distributions (sweep.png).",
    )
    _common(many, days=5)
    many.add_argument("--seeds", type=_bounded(1, 1_000_000), default=32, help="how many seeds (default %(default)s)")
    many.add_argument("--first-seed", type=SEED, default=0, help="the first seed (default %(default)s)")
    many.add_argument("--out", default="corvane-sweep", help="output folder (default %(default)s)")
    many.set_defaults(handler=sweep)

    listing = commands.add_parser(
        "presets", help="list the model presets and what each changes",
        description="List the shipped model presets, oldest first, each with the values it changes from "
        "the one before.",
    )
    listing.set_defaults(handler=presets)

    fixed = commands.add_parser(
        "digest", help="hash one fixed simulation: two builds agree when digests do",
        description="Run one fixed simulation and print the SHA-256 of its final prices and macro values; "
        "two builds or machines that print the same digest simulate alike.",
    )
    _common(fixed, days=20, size=100, model_file=False)
    fixed.add_argument("--seed", type=SEED, default=7, help="market seed (default %(default)s)")
    fixed.set_defaults(handler=digest)

    from corvane import _facts_cli

    _facts_cli.register(commands, bounded=_bounded, seed=SEED)
    _whatif_cli.register(commands)
    return top


def main(argv: list[str] | None = None) -> int:
    command = "corvane"
    try:
        args = parser().parse_args(argv)
        if args.command is None:
            raise UsageError("corvane: error: choose a command: simulate, sweep, presets, digest, facts, calibrate, whatif or verify (see corvane --help)")
        command = f"corvane {args.command}"
        return args.handler(args)
    except UsageError as error:
        message = str(error)
        print(message if message.startswith("corvane") else f"{command}: error: {message}", file=sys.stderr)
        return 2
    except corvane.ValidationError as error:
        # The simulator's refusals name the bad input (a sweep's, its seed too).
        where = "".join(f" ({note})" for note in getattr(error, "__notes__", []))
        print(f"{command}: error: {_one_line(error)}{where}", file=sys.stderr)
        return 2
    except (RuntimeError, OSError) as error:
        print(f"{command}: {_one_line(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{command}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
