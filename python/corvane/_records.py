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
import json
import math
import struct
import warnings
from typing import Any

from corvane import _core
from corvane._core import Engine, Instrument, Macro, ModelParams, News, NewsImpact, ValidationError

MANIFEST_FORMAT = "corvane-manifest/1"

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


def _decode(value: Any) -> Any:
    if isinstance(value, list):
        return [_decode(item) for item in value]
    if not isinstance(value, dict):
        return value
    if len(value) == 1:
        ((tag, body),) = value.items()
        if tag == "$bytes":
            return base64.b64decode(body, validate=True)
        if tag == "$f64":
            return struct.unpack(">d", bytes.fromhex(body))[0]
        if tag == "$model":
            return ModelParams.from_dict(_decode(body))
        if tag == "$instrument":
            return Instrument(**_decode(body))
        if tag == "$macro":
            return Macro(**_decode(body))
    return {key: _decode(item) for key, item in value.items()}


def dumps(obj: Any, *, indent: int | None = None) -> str:
    """JSON text for `obj`: plain data, bytes, any float, and the model,
    instrument and macro classes. `loads` gives back an equal value."""
    return json.dumps(_encode(obj, "value"), indent=indent, allow_nan=False)


def loads(text: str | bytes) -> Any:
    """The value `dumps` wrote."""
    return _decode(json.loads(text))


def manifest(engine: Engine) -> dict[str, Any]:
    """Everything that rebuilds `engine`'s run: the package version, the
    model, seed, universe and initial macro state it was built from, its
    order log, and the state digest the replay must reach."""
    return {
        "format": MANIFEST_FORMAT,
        "corvane": _core.__version__,
        "seed": engine.seed,
        "model": engine.model.to_dict(),
        "model_fingerprint": engine.model_fingerprint,
        "universe": [_fields(i, _INSTRUMENT_FIELDS) for i in engine.universe],
        "macro_state": _fields(engine.initial_macro_state, _MACRO_FIELDS),
        "order_log": engine.order_log,
        "state_digest": engine.state_digest(),
    }


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


def _reissue(engine: Engine, op: str, entry: dict[str, Any]) -> None:
    if op == "open_market":
        engine.open_market()
    elif op == "close_market":
        engine.close_market()
    elif op == "tick":
        clock = _clock(entry)
        engine.tick(
            clock.pop("hour"), clock.pop("minute"), clock.pop("day_of_week"), **clock, **_inputs(entry)
        )
    elif op == "run_session":
        clock = _clock(entry)
        engine.run_session(
            clock.pop("hour"),
            clock.pop("minute"),
            clock.pop("day_of_week"),
            entry["ticks"],
            close_at_end=entry["close_at_end"],
            **clock,
            **_inputs(entry),
        )
    elif op == "run_until":
        # The band may have fired earlier or later under other inputs; what
        # ran is what the log says ran, so exactly that many ticks run again.
        engine.run_until(
            ticker=entry["ticker"],
            above=entry["above"],
            below=entry["below"],
            max_ticks=entry["ticks_run"],
            **_clock(entry),
        )
    elif op == "pin_macro":
        engine.pin_macro(**entry["fields"])
    elif op == "list_instrument":
        engine.list_instrument(Instrument(**{name: entry[name] for name in _INSTRUMENT_FIELDS}))
    elif op == "delist":
        engine.delist(entry["index"])
    elif op == "draw_uniform":
        engine.draw_uniform()
    elif op == "draw_normal":
        engine.draw_normal()
    elif op == "record":
        # The run being replayed already had its say about a day of tick()s.
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", r"record\(", RuntimeWarning)
            engine.record(entry["day"])
    elif op == "snapshot_book":
        engine.snapshot_book(day=entry["day"], tick=entry["tick"], levels=entry["levels"])
    elif op == "clear_recording":
        engine.clear_recording()
    else:
        raise ValidationError(f"unknown operation {op!r}")


def replay(manifest: dict[str, Any]) -> Engine:
    """Rebuilds the engine a manifest describes by re-issuing every logged
    call in order, and checks it reaches the manifest's state digest.

    A log holding a restore_state entry is refused before anything runs:
    the state it restored is not in the log, so no replay of it is right.
    """
    if not isinstance(manifest, dict):
        raise TypeError(f"replay() takes a manifest dict, not {type(manifest).__name__}")
    missing = [key for key in ("seed", "model", "universe", "order_log", "state_digest") if key not in manifest]
    if missing:
        raise ValidationError(f"manifest lacks {', '.join(map(repr, missing))}")
    if manifest.get("format", MANIFEST_FORMAT) != MANIFEST_FORMAT:
        raise ValidationError(f"manifest format {manifest['format']!r} is not {MANIFEST_FORMAT!r}")
    log = manifest["order_log"]
    for index, entry in enumerate(log):
        if entry.get("op") == "restore_state":
            raise ValidationError(
                f"order log entry {index} (restore_state) cannot be replayed: the state it "
                "restored is not part of the log; save a manifest of a run without restores"
            )

    model = ModelParams.from_dict(manifest["model"])
    expected_fingerprint = manifest.get("model_fingerprint", model.fingerprint)
    if model.fingerprint != expected_fingerprint:
        raise ValidationError(
            f"manifest model rebuilds as {model.fingerprint}, not {expected_fingerprint} as recorded"
        )
    macro = manifest.get("macro_state")
    engine = Engine(
        seed=manifest["seed"],
        universe=[Instrument(**fields) for fields in manifest["universe"]],
        macro_state=None if macro is None else Macro(**macro),
        model=model,
    )
    for index, entry in enumerate(log):
        op = entry.get("op") if isinstance(entry, dict) else None
        try:
            _reissue(engine, op, entry)
        except (ValueError, TypeError, KeyError) as error:
            detail = f"missing field {error}" if isinstance(error, KeyError) else str(error)
            raise ValidationError(f"order log entry {index} ({op}) could not be replayed: {detail}") from error

    digest = engine.state_digest()
    if digest != manifest["state_digest"]:
        written_by = manifest.get("corvane", "an unknown version")
        raise ValidationError(
            f"replay reached state digest {digest}, but the manifest expects "
            f"{manifest['state_digest']} (written by corvane {written_by}, replayed by {_core.__version__})"
        )
    return engine
