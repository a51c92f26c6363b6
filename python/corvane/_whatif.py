"""What if? Counterfactual runs from a fork, and runs anyone can re-check.

`compare` sets two engines that share a history side by side from their
fork; `whatif` rebuilds a manifest's run, forks it at a tick, gives the fork
extra order flow and compares the two; `verify` re-runs a manifest and
checks every digest it carries.
"""

import platform
from dataclasses import dataclass
from typing import Any

from corvane import _core
from corvane._core import Engine, ValidationError
from corvane._records import SWEEP_FORMAT, _build, _check_reached, _replay_entry, sweep_runs


@dataclass(frozen=True)
class Comparison:
    """`compare`'s answer. `table` is the "comparison" ArrowStream (this
    object is one too, through it); `summary` says where the difference
    went: the fork, the instruments whose s differed, largest peak first,
    and each driver's part."""

    table: Any
    summary: dict[str, Any]

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.table.__arrow_c_stream__(requested_schema)


def compare(a: Engine, b: Engine) -> Comparison:
    """`b` against `a` from the fork their histories share: see
    `corvane._core._compare` for the table's columns."""
    table, summary = _core._compare(a, b)
    return Comparison(table, summary)


def _session_pieces(entry: dict[str, Any], start: int, tick: int, span: int):
    """A logged session cut at the day's tick `tick`: (ticks, close) pieces
    before, during the `span` ticks of the intervention, and after."""
    before = tick - start
    during = min(span, entry["ticks"] - before)
    after = entry["ticks"] - before - during
    return [(before, False), (during, False), (after, entry["close_at_end"])]


def whatif(
    manifest: dict[str, Any], *, day: int, tick: int, flow: dict[str, tuple[float, float]], ticks: int = 1
) -> tuple[Engine, Engine, Comparison]:
    """Rebuilds `manifest`'s run and, at tick `tick` of its day `day` (both
    counted from 0: the day as the log opened them), forks it; the fork's
    next `ticks` ticks get `flow` ({ticker: (buy, sell)}) on top of what
    the run had. Both then carry on with the rest of the log. Returns the
    run, the fork and their comparison. The tick must fall inside a logged
    session (run_session or a day of run_days)."""
    parent = _build(manifest)
    restored = list(manifest.get("restored_states", []))
    fork = None
    opened = -1
    day_tick = 0
    for index, entry in enumerate(manifest["order_log"]):
        op = entry["op"]
        if op == "open_market":
            opened, day_tick = opened + 1, 0
        inside = op == "run_session" and opened == day and day_tick <= tick < day_tick + entry["ticks"]
        if fork is not None or not inside:
            parent = _replay_entry(parent, index, entry, restored)
            if fork is not None:
                fork = _replay_entry(fork, index, entry, list(restored))
            if op == "run_session":
                day_tick += entry["ticks"]
            continue
        base = {name: entry[name] for name in ("volatility",)}
        news = [_core.News(**item) for item in entry["news"]]
        logged = {name: tuple(pair) for name, pair in entry["order_flow"].items()}
        extra = dict(logged)
        for name, (buy, sell) in flow.items():
            had = extra.get(name, (0.0, 0.0))
            extra[name] = (had[0] + buy, had[1] + sell)
        pieces = _session_pieces(entry, day_tick, tick, ticks)
        first = True
        for k, (count, close) in enumerate(pieces):
            if count == 0 and not close:
                continue
            time = (entry["hour"], entry["minute"], entry["day_of_week"]) if first else (None, None, None)
            first = False
            for engine in (parent,) if fork is None else (parent, fork):
                given = extra if (engine is fork and k == 1) else logged
                engine.run_session(*time, count, close_at_end=close, news=news, order_flow=given, **base)
            if k == 0:
                fork = parent.fork()
        day_tick += entry["ticks"]
    if fork is None:
        raise ValidationError(f"the run has no logged session at day {day}, tick {tick}")
    return parent, fork, compare(parent, fork)


def verify(manifest: dict[str, Any]) -> dict[str, Any]:
    """Re-runs `manifest` and checks the state digest and the recorded
    tables' digests it carries. Returns a receipt: this corvane's version,
    platform and compiler, the version that wrote the manifest, the digests
    it carries and those the re-run reached, and "passed" with, on failure,
    "failure" saying what differs. Never raises for a manifest that fails:
    that is what the receipt is for.

    A sweep's manifest (`sweep_manifest`) re-runs every run; its receipt
    lists each run's ("runs") and fails naming the first run that did."""
    if isinstance(manifest, dict) and manifest.get("format") == SWEEP_FORMAT:
        return _verify_sweep(manifest)
    receipt = _receipt(manifest)
    try:
        engine = _build(manifest)
        restored = list(manifest.get("restored_states", []))
        for index, entry in enumerate(manifest["order_log"]):
            engine = _replay_entry(engine, index, entry, restored)
        receipt["reached"] = {"state_digest": engine.state_digest(), "table_digests": engine.table_digests()}
        _check_reached(manifest, engine)
    except (ValidationError, TypeError) as error:
        receipt["failure"] = str(error)
        return receipt
    receipt["passed"] = True
    return receipt


def _receipt(manifest: Any) -> dict[str, Any]:
    given = manifest if isinstance(manifest, dict) else {}
    return {
        "corvane": _core.__version__,
        "platform": platform.platform(),
        "compiler": getattr(_core, "_compiler", "unknown"),
        "written_by": given.get("corvane"),
        "seed": given.get("seed"),
        "state_digest": given.get("state_digest"),
        "table_digests": given.get("table_digests"),
        "reached": None,
        "passed": False,
        "failure": None,
    }


def _verify_sweep(manifest: dict[str, Any]) -> dict[str, Any]:
    receipt = _receipt(manifest.get("shared"))
    try:
        runs = sweep_runs(manifest)
    except ValidationError as error:
        receipt["failure"] = str(error)
        return receipt
    receipt["runs"] = [verify(run) for run in runs]
    failed = [(k, run) for k, run in enumerate(receipt["runs"]) if not run["passed"]]
    if failed:
        k, run = failed[0]
        receipt["failure"] = f"run {k} (seed {runs[k].get('seed')}) of {len(runs)}: {run['failure']}"
    receipt["passed"] = not failed and bool(runs)
    if not runs:
        receipt["failure"] = "the sweep manifest holds no runs"
    return receipt


def receipt_text(receipt: dict[str, Any]) -> str:
    """The receipt as the lines `corvane verify` prints."""
    lines = [
        f"corvane {receipt['corvane']} on {receipt['platform']}, built by {receipt['compiler']}",
        f"manifest written by corvane {receipt['written_by']}",
    ]
    if "runs" in receipt:
        # A sweep: each run's digest (the tables' when it recorded any) and its verdict.
        for k, run in enumerate(receipt["runs"]):
            lines.append(f"run {k:<4} seed {run['seed']!s:<10} {run['state_digest']}  {'pass' if run['passed'] else 'FAIL'}")
    else:
        lines.append(f"state digest     {receipt['state_digest']}")
    for table, value in (receipt["table_digests"] or {}).items():
        lines.append(f"{table + ' table':<17}{value}")
    if receipt["passed"]:
        lines.append("PASS: the re-run reached every digest")
    else:
        lines.append(f"FAIL: {receipt['failure']}")
    return "\n".join(lines)
