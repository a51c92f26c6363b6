import copy
import pickle
import struct

import pytest

import corvane

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def values():
    """One instance of every value class, in states worth keeping."""
    book = corvane.OrderBook("AAA-0", last_price=10.0)
    book.post_limit("sell", 10.0, 100, owner="mm")
    book.post_limit("sell", 10.0, 40, owner="mm", order_id="named")
    book.post_limit("buy", 9.5, 70, owner="desk")
    book.append_maker_level("sell", 10.5, 100, owner="mm")
    match = book.submit("buy", 120, taker="me")  # leaves a partly filled order resting
    rng = corvane.GameRng(42, 54)
    rng.next_normal()  # caches the spare
    engine = corvane.Engine(seed=3, universe=corvane.random_instruments(2))
    return {
        "GameRng": rng,
        "OrderBook": book,
        "MatchResult": match,
        "Fill": match.fills[0],
        "PriceLevel": book.price_levels("sell")[0],
        "SweepCost": book.sweep_cost("sell", 50),
        "Instrument": corvane.Instrument("X", "energy", initial_price=1.5, shares_outstanding=1e6, eps=-0.0),
        "Macro": corvane.Macro(vix=31.0, corporate_bond_yield=0.07, cycle="contraction"),
        "News": corvane.News(ticker="X", price_impact=-0.0),
        "NewsImpact": corvane.NewsImpact(sectors=["energy", "utilities"], remaining_impact=0.3, reversal_phase=True),
        "ModelParams": corvane.ModelParams.from_preset("kx-v9", garch_beta=0.7),
        "FairValue": corvane.fair_value(eps=2.0, sector="technology"),
        "MispricingState": corvane.MispricingState(0.1, -0.0),
        "TickResult": engine.tick(9, 30, 3),
    }


def fields(value):
    """Every public attribute, floats as their bit patterns."""
    out = {}
    for name in dir(value):
        if name.startswith("_") or callable(getattr(value, name)):
            continue
        item = getattr(value, name)
        if isinstance(item, float):
            item = struct.pack("<d", item)
        elif isinstance(item, list):
            item = [x if isinstance(x, str) else fields(x) for x in item]
        out[name] = item
    return out


@pytest.mark.parametrize("name, value", list(values().items()))
def test_every_value_class_pickles_and_copies_exactly(name, value):
    copies = [pickle.loads(pickle.dumps(value, protocol)) for protocol in PROTOCOLS]
    copies += [copy.copy(value), copy.deepcopy(value)]
    for twin in copies:
        assert type(twin) is type(value) and twin is not value
        assert repr(twin) == repr(value) and fields(twin) == fields(value), name


def test_generator_and_book_continue_as_the_original_would():
    for protocol in PROTOCOLS:
        fresh = values()
        rng = pickle.loads(pickle.dumps(fresh["GameRng"], protocol))
        draws = [rng.next_normal(), rng.next_float(), rng.next_int(0, 99)]
        reference = fresh["GameRng"]
        assert draws == [reference.next_normal(), reference.next_float(), reference.next_int(0, 99)]

        book = pickle.loads(pickle.dumps(fresh["OrderBook"], protocol))
        reference = values()["OrderBook"]
        for twin in (book, reference):
            twin.post_limit("buy", 9.75, 10, owner="late")
        a, b = book.submit("buy", 500, limit_price=20.0), reference.submit("buy", 500, limit_price=20.0)
        assert [fields(f) for f in a.fills] == [fields(f) for f in b.fills]
        assert book.cancel_order("named") == reference.cancel_order("named")
        a, b = book.submit("sell", 1000), reference.submit("sell", 1000)
        assert [fields(f) for f in a.fills] == [fields(f) for f in b.fills] and len(a.fills) == 2


@pytest.mark.parametrize("values, error", [
    (("GameRng", (1, 2, None)), "increment must be odd"),
    (("Macro", (15.0, 0.02, None, 0.02, 0.0, 50.0, "boom")), "unknown cycle phase"),
    (("OrderBook", ("A", None, 0, [("x", "o", 1.0, 1.0, 1.0, 0)] * 33, [])), "more than 32 orders"),
    (("Instrument", ("X",)), "tuple of 10 values"),
])
def test_a_forged_pickle_is_refused(values, error):
    with pytest.raises((corvane.ValidationError, TypeError), match=error):
        corvane._core._rebuild(*values)


@pytest.mark.parametrize("make", [
    lambda: corvane.Engine(seed=1, universe=corvane.random_instruments(1)),
    lambda: corvane.EngineBatch(seeds=[1], universe=corvane.random_instruments(1)),
])
def test_engines_refuse_pickling_and_say_what_to_use(make):
    for protocol in PROTOCOLS:
        with pytest.raises(TypeError, match="state_snapshot.*manifest"):
            pickle.dumps(make(), protocol)
