"""Coverage-guided fuzzing of the entry points that read caller-built data.

    python tests/python/fuzz/fuzz_surface.py TARGET [libFuzzer options] [corpus dirs]

TARGET is one of: restore_state, from_dict, loads. Each input is decoded
into a nested value of hostile parts (NaN, infinities, -0.0, huge integers,
unknown names, wrong types) laid over a real snapshot, model dictionary or
serialised text. Properties: only the documented exceptions, and a refused
restore leaves the engine exactly as it was.
"""

import sys

import atheris

with atheris.instrument_imports():
    import corvane

DOCUMENTED = (ValueError, TypeError, OverflowError, MemoryError, KeyError)
UNIVERSE = corvane.random_instruments(3, seed=1)
SOURCE = corvane.Engine(seed=2, universe=UNIVERSE)
SOURCE.run_session(9, 30, 3, 4)
SNAPSHOT = SOURCE.state_snapshot()
MODEL = corvane.ModelParams.from_preset("kx-v7").to_dict()
NAMES = ["tickers", "columns", "rng", "economy", "central_bank", "market_variance", "price",
         "vix", "gdp_trend", "cycle_phase", "draws", "pending_news", "garch_beta", "name",
         "day_count", "oil_last_opec_day", "forward_guidance", "model_fingerprint"]


def value(data, depth=0):
    kind = data.ConsumeIntInRange(0, 11 if depth < 3 else 7)
    if kind == 0:
        return None
    if kind == 1:
        return data.ConsumeBool()
    if kind == 2:
        return data.ConsumeRegularFloat()
    if kind == 3:
        return data.PickValueInList([float("nan"), float("inf"), -float("inf"), -0.0, 5e-324,
                                     1e308, 2.5, 0.025])
    if kind == 4:
        return data.PickValueInList([0, -1, 2**32, 2**64, -(2**63) - 1, 10**400, 7])
    if kind == 5:
        return data.PickValueInList(NAMES + ["", "AAA-0", "expansion", "\udc80"])
    if kind == 6:
        return data.ConsumeBytes(data.ConsumeIntInRange(0, 40))
    if kind == 7:
        return data.ConsumeUnicodeNoSurrogates(data.ConsumeIntInRange(0, 12))
    size = data.ConsumeIntInRange(0, 4)
    if kind in (8, 9):
        return [value(data, depth + 1) for _ in range(size)]
    return {data.PickValueInList(NAMES): value(data, depth + 1) for _ in range(size)}


def mutated(base, data):
    """A deep copy of `base` with a few parts replaced by hostile values."""
    import copy

    result = copy.deepcopy(base)
    for _ in range(data.ConsumeIntInRange(1, 3)):
        target = result
        for _ in range(data.ConsumeIntInRange(0, 2)):
            if isinstance(target, dict) and target:
                child = target[data.PickValueInList(list(target))]
                if isinstance(child, (dict, list)) and child:
                    target = child
        if isinstance(target, dict) and target:
            key = data.PickValueInList(list(target) + NAMES)
            if data.ConsumeBool():
                target.pop(key, None)
            else:
                target[key] = value(data)
        elif isinstance(target, list) and target:
            target[data.ConsumeIntInRange(0, len(target) - 1)] = value(data)
    return result


def restore_state(data):
    snapshot = mutated(SNAPSHOT, data) if data.ConsumeBool() else value(data)
    engine = corvane.Engine(seed=9, universe=UNIVERSE)
    engine.draw_normal()
    before = (engine.state_digest(), engine.order_log, engine.draws_by_stream())
    try:
        engine.restore_state(snapshot)
    except DOCUMENTED:
        if (engine.state_digest(), engine.order_log, engine.draws_by_stream()) != before:
            raise AssertionError("a refused restore changed the engine")


def from_dict(data):
    values = mutated(MODEL, data) if data.ConsumeBool() else value(data)
    try:
        model = corvane.ModelParams.from_dict(values)
    except DOCUMENTED:
        return
    if corvane.ModelParams.from_dict(model.to_dict()) != model:
        raise AssertionError("to_dict/from_dict lost something")


def loads(data):
    loads_ = getattr(corvane, "loads", None)
    if loads_ is None:
        return
    text = data.ConsumeUnicode(data.ConsumeIntInRange(0, 400))
    try:
        loads_(text)
    except DOCUMENTED:
        pass


TARGETS = {"restore_state": restore_state, "from_dict": from_dict, "loads": loads}


def main():
    target = TARGETS[sys.argv[1]]

    def one(raw):
        target(atheris.FuzzedDataProvider(raw))

    atheris.Setup([sys.argv[0]] + sys.argv[2:], one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
