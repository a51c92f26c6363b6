"""Runs as data: JSON that loses nothing, and manifests a run is rebuilt from.

JSON has no bytes, no NaN or infinities, and no way to tell a model from a
dictionary, so those travel as one-key objects whose key starts with "$":

    {"$bytes": "<base64>"}            bytes
    {"$f64": "7ff8000000000001"}      a non-finite float, as its 64-bit pattern
    {"$model": {...}}                 a ModelParams, as its to_dict()
    {"$instrument": {...}}            an Instrument, as its constructor's fields
    {"$macro": {...}}                 a Macro, likewise

Finite floats are written in their shortest round-trip form (-0.0 included)
and integers exactly, so every value, the generator patterns of a state
snapshot among them, reads back bit for bit.
"""

import base64
import binascii
import hashlib
import json
import math
import struct
import warnings
from typing import Any

from corvane import _core
from corvane._core import Engine, Instrument, Macro, ModelParams, News, NewsImpact, ValidationError

MANIFEST_FORMAT = "corvane-manifest/1"
SWEEP_FORMAT = "corvane-sweep/1"

_INSTRUMENT_FIELDS = (
    "ticker",
    "sector",
    "initial_price",
    "shares_outstanding",
    "eps",
    "book_value_per_share",
    "revenue_growth",
    "avg_volume",
    "beta",
    "short_interest",
)
_MACRO_FIELDS = (
    "vix",
    "federal_funds_rate",
    "corporate_bond_yield",
    "inflation_rate",
    "qe_pe_boost",
    "fear_greed_index",
    "cycle",
)
_TAGS = ("$bytes", "$f64", "$model", "$instrument", "$macro")


def _fields(obj: Any, names: tuple[str, ...]) -> dict[str, Any]:
    return {name: getattr(obj, name) for name in names}


def _encode(value: Any, where: str) -> Any:
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        return {"$f64": struct.pack(">d", value).hex()}
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"$bytes": base64.b64encode(bytes(value)).decode("ascii")}
    if isinstance(value, (list, tuple)):
        return [_encode(item, f"{where}[{i}]") for i, item in enumerate(value)]
    if isinstance(value, dict):
        if len(value) == 1 and next(iter(value)) in _TAGS:
            raise ValueError(f"dumps: {where} is a dict whose only key is the reserved {next(iter(value))!r}")
        out = {}
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError(f"dumps: {where} has a key of type {type(key).__name__}; keys must be str")
            out[key] = _encode(item, f"{where}[{key!r}]")
        return out
    if isinstance(value, ModelParams):
        return {"$model": _encode(value.to_dict(), where)}
    if isinstance(value, Instrument):
        return {"$instrument": _encode(_fields(value, _INSTRUMENT_FIELDS), where)}
    if isinstance(value, Macro):
        return {"$macro": _encode(_fields(value, _MACRO_FIELDS), where)}
    if isinstance(value, Engine):
        raise TypeError("dumps: an Engine is not data; write corvane.manifest(engine) or engine.state_snapshot()")
    raise TypeError(f"dumps: {where} is a {type(value).__name__}, which has no JSON form here")


def _decode(value: Any, where: str) -> Any:
    if isinstance(value, list):
        return [_decode(item, f"{where}[{i}]") for i, item in enumerate(value)]
    if not isinstance(value, dict):
        return value
    if len(value) == 1 and next(iter(value)) in _TAGS:
        ((tag, body),) = value.items()
        if tag not in ("$bytes", "$f64"):
            body = _decode(body, where)
        try:
            return _decode_tagged(tag, body)
        except (ValueError, TypeError, OverflowError, struct.error, binascii.Error) as error:
            raise ValidationError(f"loads: {where} is not a valid {tag}: {error}") from None
    return {key: _decode(item, f"{where}[{key!r}]") for key, item in value.items()}


def _decode_tagged(tag: str, body: Any) -> Any:
    if tag in ("$bytes", "$f64"):
        if not isinstance(body, str):
            raise TypeError(f"its body is a {type(body).__name__}, not a string")
        if tag == "$bytes":
            return base64.b64decode(body, validate=True)
        return struct.unpack(">d", bytes.fromhex(body))[0]
    if not isinstance(body, dict):
        raise TypeError(f"its body is a {type(body).__name__}, not an object of fields")
    if tag == "$model":
        return ModelParams.from_dict(body)
    if tag == "$instrument":
        return Instrument(**body)
    return Macro(**body)


def dumps(obj: Any, *, indent: int | None = None) -> str:
    """JSON text for `obj`: plain data, bytes, any float, and the model,
    instrument and macro classes. `loads` gives back an equal value."""
    return json.dumps(_encode(obj, "value"), indent=indent, allow_nan=False)


def loads(text: str | bytes) -> Any:
    """The value `dumps` wrote. Text that is not JSON, or a tagged object
    whose body does not decode, is a ValidationError saying where."""
    if not isinstance(text, (str, bytes, bytearray)):
        raise TypeError(f"loads() takes str or bytes, not {type(text).__name__}")
    try:
        data = json.loads(text)
    except RecursionError:
        raise ValidationError("loads: the JSON is nested too deeply") from None
    except ValueError as error:  # not JSON, or bytes that are not UTF-8
        raise ValidationError(f"loads: not JSON: {error}") from None
    try:
        return _decode(data, "value")
    except RecursionError:
        raise ValidationError("loads: the JSON is nested too deeply") from None


def _digest(value: Any) -> str:
    text = json.dumps(_encode(value, "value"), sort_keys=True, separators=(",", ":"), allow_nan=False)
    return hashlib.sha256(text.encode()).hexdigest()


# The manifest parts a replay takes as given: a digest of each, as written,
# shows an edit that neither the state nor the tables would (an unused field
# of a listed instrument, say).
_INPUTS = ("universe", "macro_state", "order_log", "restored_states", "lineage")


def manifest(engine: Engine) -> dict[str, Any]:
    """Everything that rebuilds `engine`'s run: the package version, the
    model, seed, universe and initial macro state it was built from, its
    order log, the state each restore_state in it led to, and what the
    replay must reach: the state digest, the digest of every recorded table
    (`Engine.table_digests`) and digests of the inputs as written here.

    A fork's log is its parent's up to a "fork" entry; "lineage" names, for
    each fork entry, the parent's history there by the digest of its log
    (the parent's own manifest has a log that starts with those entries)."""
    log = engine.order_log
    written = {
        "format": MANIFEST_FORMAT,
        "corvane": _core.__version__,
        "seed": engine.seed,
        "model": engine.model.to_dict(),
        "model_fingerprint": engine.model_fingerprint,
        "universe": [_fields(i, _INSTRUMENT_FIELDS) for i in engine.universe],
        "macro_state": _fields(engine.initial_macro_state, _MACRO_FIELDS),
        "order_log": log,
        "restored_states": engine.restored_states(),
        "lineage": [
            {"entry": index, "parent_order_log": _digest(log[:index])}
            for index, entry in enumerate(log)
            if entry["op"] == "fork"
        ],
        "state_digest": engine.state_digest(),
        "table_digests": engine.table_digests(),
    }
    written["input_digests"] = {key: _digest(written[key]) for key in _INPUTS}
    return written


def sweep_manifest(manifests: list[dict[str, Any]]) -> dict[str, Any]:
    """Many runs' manifests (one a seed, say) as one: what every run has
    alike (the model, the universe, the version...) written once under
    "shared", and each run's own keys (seed, order log, digests) under
    "runs", in order. `verify` takes it and re-runs every run."""
    manifests = list(manifests)
    if not manifests or not all(isinstance(m, dict) for m in manifests):
        raise ValidationError("sweep_manifest() takes a non-empty list of manifest dicts")
    first, rest = manifests[0], manifests[1:]
    shared = {key: value for key, value in first.items() if all(key in m and m[key] == value for m in rest)}
    runs = [{key: value for key, value in m.items() if key not in shared} for m in manifests]
    return {"format": SWEEP_FORMAT, "shared": shared, "runs": runs}


def sweep_runs(manifest: dict[str, Any]) -> list[dict[str, Any]]:
    """Each run of a sweep manifest, as a manifest of its own."""
    shared, runs = manifest.get("shared"), manifest.get("runs")
    if type(shared) is not dict or type(runs) is not list or not all(type(run) is dict for run in runs):
        raise ValidationError("a sweep manifest holds a 'shared' object and a list of 'runs' objects")
    return [{**shared, **run} for run in runs]


def _clock(entry: dict[str, Any]) -> dict[str, Any]:
    return {
        "hour": entry["hour"],
        "minute": entry["minute"],
        "day_of_week": entry["day_of_week"],
        "volatility": entry["volatility"],
    }


def _inputs(entry: dict[str, Any]) -> dict[str, Any]:
    inputs: dict[str, Any] = {
        "news": [News(**news) for news in entry.get("news", [])],
        "order_flow": {ticker: tuple(pair) for ticker, pair in entry.get("order_flow", {}).items()},
    }
    if "news_impacts" in entry:
        inputs["news_impacts"] = [NewsImpact(**impact) for impact in entry["news_impacts"]]
    return inputs


def _reissue(engine: Engine, op: str, entry: dict[str, Any], restored: list[Any]) -> Engine:
    """Re-issues one entry; a fork entry continues in the fork."""
    match op:
        case "open_market":
            engine.open_market()
        case "close_market":
            engine.close_market()
        case "tick":
            clock = _clock(entry)
            engine.tick(
                clock.pop("hour"), clock.pop("minute"), clock.pop("day_of_week"), **clock,
                **_inputs(entry),
            )
        case "run_session":
            clock = _clock(entry)
            engine.run_session(
                clock.pop("hour"), clock.pop("minute"), clock.pop("day_of_week"), entry["ticks"],
                close_at_end=entry["close_at_end"], **clock, **_inputs(entry),
            )
        case "run_until":
            # The band may have fired earlier or later under other inputs; what
            # ran is what the log says ran, so exactly that many ticks run again.
            engine.run_until(
                ticker=entry["ticker"], above=entry["above"], below=entry["below"],
                max_ticks=entry["ticks_run"], **_clock(entry),
            )
        case "pin_macro":
            engine.pin_macro(**entry["fields"])
        case "list_instrument":
            engine.list_instrument(Instrument(**{name: entry[name] for name in _INSTRUMENT_FIELDS}))
        case "delist":
            engine.delist(entry["index"])
        case "draw_uniform":
            engine.draw_uniform()
        case "draw_normal":
            engine.draw_normal()
        case "record":
            # The run being replayed already had its say about a day of tick()s.
            with warnings.catch_warnings():
                warnings.filterwarnings("ignore", r"record\(", RuntimeWarning)
                engine.record(entry["day"])
        case "snapshot_book":
            engine.snapshot_book(day=entry["day"], tick=entry["tick"], levels=entry["levels"])
        case "clear_recording":
            engine.clear_recording()
        case "fork":
            engine = engine.fork()
            if engine.order_log[-1] != entry:
                raise ValidationError(f"the fork came at {engine.order_log[-1]}, not where the entry says")
        case "restore_state":
            engine.restore_state(restored.pop(0))
            if engine.state_digest() != entry["state_digest"]:
                raise ValidationError(
                    f"the restored state has digest {engine.state_digest()}, not the entry's {entry['state_digest']}"
                )
    return engine


# What each manifest value and log entry field must be, as (description,
# test); bool is not an int here, as JSON keeps the two apart.
def _kind(description: str, *types: type, optional: bool = False) -> tuple[str, Any]:
    def test(value: Any) -> bool:
        return (optional and value is None) or type(value) in types

    return (description + (" or null" if optional else ""), test)


def _list_of(description: str, fields: dict[str, tuple[str, Any]]) -> tuple[str, Any]:
    def test(value: Any) -> bool:
        return type(value) is list and all(
            type(item) is dict and item.keys() == fields.keys() and all(fields[k][1](v) for k, v in item.items())
            for item in value
        )

    return (description, test)


_INT = _kind("an integer", int)
_NUMBER = _kind("a number", int, float)
_TEXT = _kind("a string", str)
_OBJECT = _kind("an object", dict)
_CLOCK = {"hour": _INT, "minute": _INT, "day_of_week": _INT, "volatility": _NUMBER}
_INPUT_FIELDS = {
    "news": _list_of(
        "a list of news objects",
        {"ticker": _kind("", str, optional=True), "sector": _kind("", str, optional=True), "price_impact": _NUMBER},
    ),
    "order_flow": (
        "an object of [buy, sell] pairs",
        lambda v: type(v) is dict and all(type(p) is list and len(p) == 2 and all(_NUMBER[1](x) for x in p)
                                          for p in v.values()),
    ),
}
_IMPACTS = _list_of(
    "a list of news impact objects",
    {
        "ticker": _kind("", str, optional=True),
        "sector": _kind("", str, optional=True),
        "sectors": ("", lambda v: v is None or (type(v) is list and all(type(x) is str for x in v))),
        "remaining_impact": _NUMBER,
        "reversal_phase": _kind("", bool),
    },
)
_ENTRY_FIELDS: dict[str, dict[str, tuple[str, Any]]] = {
    "open_market": {},
    "close_market": {},
    "tick": {**_CLOCK, **_INPUT_FIELDS},
    "run_session": {**_CLOCK, "ticks": _INT, "close_at_end": _kind("true or false", bool), **_INPUT_FIELDS},
    "run_until": {
        "ticker": _TEXT,
        "above": _kind("a number", int, float, optional=True),
        "below": _kind("a number", int, float, optional=True),
        "max_ticks": _INT,
        **_CLOCK,
        "ticks_run": _INT,
    },
    "pin_macro": {"fields": _OBJECT},
    "list_instrument": {
        name: _kind("a number", int, float, optional=name in ("eps", "book_value_per_share", "revenue_growth"))
        for name in _INSTRUMENT_FIELDS
    }
    | {"ticker": _TEXT, "sector": _TEXT},
    "delist": {"index": _INT},
    "draw_uniform": {},
    "draw_normal": {},
    "record": {"day": _INT},
    "snapshot_book": {"day": _INT, "tick": _INT, "levels": _INT},
    "clear_recording": {},
    "fork": {"recorded_days": _INT, "day_ticks": _INT},
    "restore_state": {"state_digest": _TEXT},
}
_MANIFEST_KEYS = {
    "format": _TEXT,
    "corvane": _TEXT,
    "seed": _INT,
    "model": _OBJECT,
    "model_fingerprint": _TEXT,
    "universe": ("a list of objects", lambda v: type(v) is list and all(type(i) is dict for i in v)),
    "macro_state": _OBJECT,
    "order_log": ("a list", lambda v: type(v) is list),
    "state_digest": _TEXT,
}
_DIGESTS = ("an object of hex digests", lambda v: type(v) is dict and all(type(x) is str for x in v.values()))


def _check_entry(index: int, entry: Any) -> None:
    """Refuses an entry no engine writes, naming it and the field."""
    if type(entry) is not dict:
        raise ValidationError(f"order log entry {index} is a {type(entry).__name__}, not an object")
    op = entry.get("op")
    where = f"order log entry {index} ({op})"
    fields = _ENTRY_FIELDS.get(op) if type(op) is str else None
    if fields is None:
        raise ValidationError(f"{where}: 'op' is not a known operation")
    optional = {"news_impacts": _IMPACTS} if op in ("tick", "run_session") else {}
    for key, value in entry.items():
        if key == "op":
            continue
        description, test = fields.get(key) or optional.get(key) or (None, None)
        if test is None:
            raise ValidationError(f"{where}: unexpected key {key!r}")
        if not test(value):
            raise ValidationError(f"{where}: {key!r} must be {description}, got {value!r}")
    missing = [key for key in fields if key not in entry]
    if missing:
        raise ValidationError(f"{where}: missing key {missing[0]!r}")


def _check_manifest(manifest: dict[str, Any]) -> None:
    for key, (description, test) in _MANIFEST_KEYS.items():
        if key not in manifest:
            raise ValidationError(f"manifest lacks {key!r}")
        if not test(manifest[key]):
            raise ValidationError(f"manifest {key!r} must be {description}, got {type(manifest[key]).__name__}")
    if manifest["format"] != MANIFEST_FORMAT:
        raise ValidationError(f"manifest 'format' {manifest['format']!r} is not {MANIFEST_FORMAT!r}")
    for key in ("table_digests", "input_digests"):
        if key in manifest and not _DIGESTS[1](manifest[key]):
            raise ValidationError(f"manifest {key!r} must be {_DIGESTS[0]}")
    log = manifest["order_log"]
    for index, entry in enumerate(log):
        _check_entry(index, entry)
    restores = [index for index, entry in enumerate(log) if entry["op"] == "restore_state"]
    restored = manifest.get("restored_states", [])
    if type(restored) is not list or not all(type(state) is dict for state in restored):
        raise ValidationError("manifest 'restored_states' must be a list of state objects")
    if len(restored) < len(restores):
        index = restores[len(restored)]
        raise ValidationError(
            f"order log entry {index} (restore_state) cannot be replayed: the manifest holds no "
            "state for it in 'restored_states' (a manifest written before restored states were kept)"
        )
    if len(restored) > len(restores):
        raise ValidationError(f"manifest 'restored_states' holds {len(restored)} states for {len(restores)} restores")
    _check_lineage(manifest)


def _check_lineage(manifest: dict[str, Any]) -> None:
    """Each lineage record must name a fork entry and its parent's log."""
    if "lineage" not in manifest:
        return
    log, lineage = manifest["order_log"], manifest["lineage"]
    forks = [index for index, entry in enumerate(log) if entry["op"] == "fork"]
    if type(lineage) is not list or len(lineage) != len(forks):
        raise ValidationError(f"manifest 'lineage' must be a list of one record per fork entry ({len(forks)})")
    for k, (record, index) in enumerate(zip(lineage, forks)):
        expected = {"entry": index, "parent_order_log": _digest(log[:index])}
        if record != expected:
            raise ValidationError(
                f"manifest 'lineage'[{k}] does not name the fork at order log entry {index} and the "
                f"parent history before it: expected {expected}, got {record!r}"
            )


def _builders(log: list[dict[str, Any]], table: str) -> str:
    """The log entries that filled a table, for a message about it."""
    ops = {"book": ("snapshot_book", "clear_recording")}.get(table, ("record", "clear_recording"))
    found = [f"{index} ({entry['op']})" for index, entry in enumerate(log) if entry["op"] in ops]
    return ", ".join(found[:8]) + (", ..." if len(found) > 8 else "") if found else "none"


def replay(manifest: dict[str, Any]) -> Engine:
    """Rebuilds the engine a manifest describes by re-issuing every logged
    call in order, and checks what it reaches: the state digest, and, when
    the manifest has them (those written since they were added do), the
    digests of the recorded tables and of the inputs as written.

    Every key and log entry is checked before anything runs; a manifest no
    engine could have written, or one that does not rebuild what it says,
    is a ValidationError naming the key, and the log entry where there is
    one. A restore_state entry restores the state the manifest keeps for it
    and must reach the digest it logged; a fork entry forks, and the replay
    carries on in the fork, as the run it rebuilds did.
    """
    engine = _rebuild(manifest)
    _check_reached(manifest, engine)
    return engine


def _rebuild(manifest: dict[str, Any]) -> Engine:
    """The engine a checked manifest describes, every logged call re-issued."""
    engine = _build(manifest)
    restored = list(manifest.get("restored_states", []))
    for index, entry in enumerate(manifest["order_log"]):
        engine = _replay_entry(engine, index, entry, restored)
    return engine


def _replay_entry(engine: Engine, index: int, entry: dict[str, Any], restored: list[Any]) -> Engine:
    op = entry["op"]
    try:
        return _reissue(engine, op, entry, restored)
    except (ValueError, TypeError, OverflowError) as error:
        raise ValidationError(f"order log entry {index} ({op}) could not be replayed: {error}") from error


def _build(manifest: dict[str, Any]) -> Engine:
    """The engine a manifest starts from, after checking all of it."""
    if not isinstance(manifest, dict):
        raise TypeError(f"replay() takes a manifest dict, not {type(manifest).__name__}")
    _check_manifest(manifest)
    try:
        model = ModelParams.from_dict(manifest["model"])
    except (ValueError, TypeError) as error:
        raise ValidationError(f"manifest 'model' does not rebuild: {error}") from error
    if model.fingerprint != manifest["model_fingerprint"]:
        raise ValidationError(
            f"manifest 'model' rebuilds as {model.fingerprint}, not {manifest['model_fingerprint']} "
            "('model_fingerprint') as recorded"
        )
    try:
        engine = Engine(
            seed=manifest["seed"],
            universe=[Instrument(**fields) for fields in manifest["universe"]],
            macro_state=Macro(**manifest["macro_state"]),
            model=model,
        )
    except (ValueError, TypeError, OverflowError) as error:
        raise ValidationError(f"manifest 'seed', 'universe' or 'macro_state' does not build an engine: {error}") from error
    return engine


def _check_reached(manifest: dict[str, Any], engine: Engine) -> None:
    """Refuses a replay that did not reach the manifest's digests."""
    log = manifest["order_log"]

    written_by = f"written by corvane {manifest['corvane']}, replayed by {_core.__version__}"
    digest = engine.state_digest()
    if digest != manifest["state_digest"]:
        raise ValidationError(
            f"replay reached state digest {digest}, but the manifest's 'state_digest' is "
            f"{manifest['state_digest']} ({written_by})"
        )
    expected_tables = manifest.get("table_digests")
    if expected_tables is not None:
        reached = engine.table_digests()
        for table in [*reached, *(key for key in expected_tables if key not in reached)]:
            if reached.get(table) != expected_tables.get(table):
                raise ValidationError(
                    f"replay recorded a {table!r} table with digest {reached.get(table)}, but the "
                    f"manifest's table_digests[{table!r}] is {expected_tables.get(table)}; the log "
                    f"entries that fill it: {_builders(log, table)} ({written_by})"
                )
    # Last: an edit the replay could not see in the state or the tables.
    for key, expected in manifest.get("input_digests", {}).items():
        if key not in _INPUTS:
            raise ValidationError(f"manifest 'input_digests' has unknown key {key!r}")
        if _digest(manifest[key]) != expected:
            raise ValidationError(
                f"manifest {key!r} is not what was written: its digest is not "
                f"input_digests[{key!r}] ({expected})"
            )
