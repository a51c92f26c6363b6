"""Every entry point called with random and hostile arguments.

Properties: a call returns or raises one of the documented exceptions, never
crashes the interpreter; and a refused call on an engine leaves it exactly
as it was (its state digest, order log, draw counters and recordings).
"""

import array
import inspect
import os
import subprocess
import sys

import pyarrow as pa
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane
from corvane import _core

DOCUMENTED = (corvane.ValidationError, corvane.OrderError, TypeError, OverflowError, ValueError,
              MemoryError)

# Arguments that set how much work a call does: small values, or values the
# conversion refuses outright, never a legal but enormous amount of work.
WORK = {"days", "ticks", "ticks_per_day", "max_ticks", "n", "horizon_days", "size", "levels",
        "minutes", "max_levels"}

UNIVERSE = corvane.random_instruments(3, seed=1)

numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1e308, -1e308, 5e-324, 0.025, 2.5, 100.0]),
    st.integers(-3, 30),
    st.sampled_from([-1, 2**31 - 1, 2**32, 2**63, -(2**63) - 1, 2**64, 10**400]),
)
texts = st.one_of(
    st.sampled_from(["AAA", "AAB", "technology", "energy", "kx-v3", "buy", "sell", "price",
                     "jump", "tick", "day", "peak", "", "\0", "\udc80", "x" * 300]),
    st.text(max_size=12),
)
objects = st.sampled_from([UNIVERSE[0], corvane.News(ticker="AAA"), corvane.NewsImpact(),
                           corvane.Macro(), corvane.ModelParams.from_preset("kx-v2"),
                           object(), b"\x00" * 16, bytearray(8)])
scalars = st.one_of(st.none(), st.booleans(), numbers, texts, objects)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                            st.dictionaries(texts, inner, max_size=4)),
    max_leaves=8,
)
work = st.one_of(st.integers(0, 6), st.sampled_from([-1, 2**64, 10**30, 1.5, "7", None]))


def parameters(function):
    try:
        return list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        return []


@st.composite
def call_arguments(draw, function):
    """Positional and keyword arguments for a random subset of `function`'s parameters."""
    args, kwargs = [], {}
    for parameter in parameters(function):
        if parameter.name in ("self", "cls") or not draw(st.booleans()):
            if parameter.default is inspect.Parameter.empty and draw(st.booleans()):
                break  # sometimes leave a required argument out
            continue
        value = draw(work if parameter.name in WORK else values)
        if parameter.kind is parameter.POSITIONAL_OR_KEYWORD and not kwargs and draw(
                st.booleans()):
            args.append(value)
        else:
            kwargs[parameter.name] = value
    if draw(st.integers(0, 9)) == 0:
        kwargs[draw(texts)] = draw(values)  # an unknown keyword
    return args, kwargs


def engine_state(engine):
    return (engine.state_digest(), engine.order_log, engine.draws_by_stream(),
            engine.recorded_days, engine.recorded_book_rows, engine.tickers)


def fresh_engine():
    engine = corvane.Engine(seed=5, universe=UNIVERSE)
    engine.run_session(9, 30, 3, 3)
    return engine


SETTINGS = settings(max_examples=60, deadline=None, derandomize=True,
                    suppress_health_check=list(HealthCheck))


@SETTINGS
@given(st.dictionaries(texts, values, max_size=6), st.sampled_from(
    ["columns", "rng", "economy", "tickers", "market_variance", "draws", "pending_news",
     "model_fingerprint", "attribution"]))
def test_malformed_snapshots_change_nothing(extra, key):
    engine = fresh_engine()
    snapshot = engine.state_snapshot()
    snapshot[key] = extra if key in ("columns", "economy", "draws") else list(extra.values())
    target = fresh_engine()
    target.draw_uniform()
    before = engine_state(target)
    try:
        target.restore_state(snapshot)
    except DOCUMENTED:
        assert engine_state(target) == before


def book():
    book = corvane.OrderBook("AAA-0", last_price=10.0)
    book.post_limit("sell", 10.5, 100, owner="mm")
    book.post_limit("buy", 9.5, 100, owner="mm")
    return book


def f64(values):
    return array.array("d", values)


def desk():
    """A desk trading two of the engine's instruments, its episode started."""
    window, size = 2, (2 * 2 + 4) * 2 + 4
    made = _core.TradingDesk(fresh_engine(), [0, 1], f64([100.0, 100.0]), f64([10.0, 10.0]), 1e6, window, 5, 2,
                             f64([-1e9] * size), f64([1e9] * size))
    made.start()
    return made


def desk_state(made):
    return made.day, made.minute, made.book(0), made.observe(1e6, f64([0.0, 0.0]))


# Each owner of calls: how to make one, and what a refused call must leave as it was.
INSTANCES = {
    "module": (lambda: _core, None),
    "Engine": (fresh_engine, engine_state),
    "OrderBook": (book, lambda b: (repr(b), [repr(x) for x in b.price_levels("buy", 20)],
                                   [repr(x) for x in b.price_levels("sell", 20)])),
    "EngineBatch": (lambda: corvane.EngineBatch(seeds=[1, 2], universe=UNIVERSE),
                    lambda b: (b.prices(), b.draws_consumed, b.column("garch_variance"))),
    "GameRng": (lambda: corvane.GameRng(1, 2), None),
    "ModelParams": (lambda: corvane.ModelParams.from_preset("kx-v4"), None),
    "TradingDesk": (desk, desk_state),
}


def owner(cls):
    return _core if cls == "module" else getattr(_core, cls)


# The module's functions and constructors, and each class's methods. The
# digest's size arguments are work: it has tests of its own.
CALLS = sorted(
    (cls, name) for cls in INSTANCES for name, value in vars(owner(cls)).items()
    if callable(value) and not name.startswith("_") and name != "fixed_simulation_digest"
    and not (isinstance(value, type) and (issubclass(value, BaseException)
                                          or value.__text_signature__ is None)))


@pytest.mark.parametrize("cls, name", CALLS)
def test_every_call_refuses_without_a_trace(cls, name):
    make, state = INSTANCES[cls]
    method = getattr(owner(cls), name)

    @SETTINGS
    @given(call_arguments(method))
    def check(arguments):
        args, kwargs = arguments
        target = make()
        before = state(target) if state else None
        try:
            getattr(target, name)(*args, **kwargs)
        except DOCUMENTED:
            if state:
                assert state(target) == before

    check()


def test_a_desk_names_the_argument_that_is_no_buffer_and_refuses_a_target_it_cannot_reach():
    made = desk()
    for call, named in ((lambda: made.value(1.0, "x"), "value.. argument 'position'"),
                        (lambda: made.observe(1.0, None), "observe.. argument 'position'"),
                        (lambda: made.step("x"), "step.. argument 'targets'"),
                        (lambda: made.advance(object()), "advance.. argument 'order_flow'")):
        with pytest.raises(TypeError, match=named):
            call()
    with pytest.raises(corvane.ValidationError, match="targets must be finite, got NaN"):
        made.step(f64([0.5, float("nan")]))
    assert desk_state(made) == desk_state(desk())


@pytest.mark.parametrize("change, message", [
    ({"traded": []}, "a desk trades at least one instrument"),
    ({"traded": [0, 0]}, "traded must hold distinct roster positions below 3, got 0"),
    ({"traded": [0, 3]}, "traded must hold distinct roster positions below 3, got 3"),
    ({"max_position": f64([100.0, 0.0])}, "max_position and volume_per_tick must hold 2 finite values above 0 each"),
    ({"volume_per_tick": f64([10.0, float("nan")])}, "max_position and volume_per_tick must hold 2"),
    ({"starting_cash": float("inf")}, "starting_cash must be finite and above 0"),
    ({"window": 0}, "window must be from 1 to 10000"),
    ({"ticks_per_step": 391}, "ticks_per_step must be from 1 to 390 and episode_days at least 1"),
    ({"low": f64([0.0] * 19 + [float("nan")])}, "low and high must hold 20 bounds each, none NaN"),
])
def test_a_desk_refuses_terms_it_could_not_trade(change, message):
    terms = {"traded": [0, 1], "max_position": f64([100.0, 100.0]), "volume_per_tick": f64([10.0, 10.0]),
             "starting_cash": 1e6, "window": 2, "ticks_per_step": 5, "episode_days": 2,
             "low": f64([-1e9] * 20), "high": f64([1e9] * 20)} | change
    with pytest.raises(corvane.ValidationError, match=message):
        _core.TradingDesk(fresh_engine(), *terms.values())


class Shrinks:
    """A number whose conversion empties the list it sits in."""

    def __init__(self, value, victim):
        self.value, self.victim = value, victim

    def __float__(self):
        self.victim.clear()
        return float(self.value)

    def __index__(self):
        self.victim.clear()
        return int(self.value)


def sequence_calls():
    """Each call taking a sequence, as f(hostile) -> a comparable result; when
    hostile, one item's conversion empties the list the item sits in."""
    universe = corvane.random_instruments(4, seed=2)

    def seq(values, hostile, at=0):
        items = list(values)
        if hostile:
            items[at] = Shrinks(values[at], items)
        return items

    def traded():
        e = corvane.Engine(seed=4, universe=universe)
        e.run_session(9, 30, 3, 5)
        return e

    def fills(hostile, key):
        columns = {k: [1, 2, 3, 4] for k in ("day", "step", "tick", "instrument_id")}
        columns.update({k: [1.5, 2.5, 3.5, 4.5] for k in
                        ("quantity", "price", "worst_price", "notional")})
        columns[key] = seq(columns[key], hostile, at=1)
        return pa.table(corvane.fills_stream(**columns)).to_pydict()

    def flow(hostile):
        e = traded()
        e.tick(10, 0, 3, order_flow={universe[0].ticker: seq([5e4, 10.0], hostile)})
        return e.state_digest()

    def book(hostile):
        orders = [["o1", "mm", 9.5, 100.0, 100.0, 1], ["o2", "mm", 9.4, 50.0, 50.0, 2]]
        bids = [tuple(order) for order in orders]
        if hostile:
            bids[0] = ("o1", "mm", Shrinks(9.5, bids), 100.0, 100.0, 1)
        rebuilt = _core._rebuild("OrderBook", ("AAA-0", 10.0, 3, bids, []))
        return [repr(level) for level in rebuilt.price_levels("buy", 5)]

    def restored(hostile, edit):
        snapshot = traded().state_snapshot()
        edit(snapshot, hostile)
        e = traded()
        e.restore_state(snapshot)
        return e.state_digest()

    def news(snapshot, hostile):
        entry = {"ticker": snapshot["tickers"][1], "sector": universe[1].sector,
                 "price_impact": 0.01}
        snapshot["pending_news"] = [dict(entry), dict(entry)]
        if hostile:
            snapshot["pending_news"][1]["price_impact"] = Shrinks(0.01,
                                                                  snapshot["pending_news"])

    def economy(snapshot, hostile):
        snapshot["economy"]["gdp_trend"] = seq(snapshot["economy"]["gdp_trend"], hostile)

    return {
        "sweep_costs": lambda h: traded().sweep_costs(seq([100.0, -50.0, 25.0, 1e4], h)),
        "fills_stream int": lambda h: fills(h, "day"),
        "fills_stream float": lambda h: fills(h, "quantity"),
        "EngineBatch seeds": lambda h: corvane.EngineBatch(seeds=seq([1, 2, 3], h),
                                                           universe=universe).prices(),
        "order_flow pair": flow,
        "OrderBook unpickling": book,
        "restore rng": lambda h: restored(h, lambda s, h: s.update(rng=seq(s["rng"], h, 3))),
        "restore market_variance": lambda h: restored(
            h, lambda s, h: s.update(market_variance=seq(s["market_variance"], h))),
        "restore gdp_trend": lambda h: restored(h, economy),
        "restore pending_news": lambda h: restored(h, news),
    }


@pytest.mark.parametrize("name", sorted(sequence_calls()))
def test_a_list_its_own_item_empties_converts_as_it_was_given(name):
    call = sequence_calls()[name]
    assert call(True) == call(False)


MEMORY_SHORT = """
import resource, sys, corvane
e = corvane.Engine(seed=1, universe=corvane.random_instruments(2, seed=1))
e.run_days(1, ticks_per_day=5, record=True)
for _ in range(2**18 - len(e.order_log)):  # a full log: the next entry needs it to grow
    e.draw_uniform()
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + 2**24, resource.RLIM_INFINITY))
e.clear_recording()
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(e.recorded_days, e.order_log[-1]["op"], len(e.order_log))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer reserves address space of its own")
def test_clear_recording_works_when_memory_is_short():
    ran = subprocess.run([sys.executable, "-c", MEMORY_SHORT], capture_output=True, text=True,
                         timeout=120)
    assert ran.stdout.split() == ["0", "clear_recording", str(2**18 + 1)], ran.stderr
