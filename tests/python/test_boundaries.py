"""Refusals in the binding's own argument handling, each with good parts the
engine would act on were the check missing."""

import inspect
import math
import struct

import pytest

import corvane

UNIVERSE = corvane.random_instruments(4, seed=5)


def _spoil_news(snapshot):
    good = {"ticker": "AAA-0", "sector": "technology", "price_impact": 0.05}
    snapshot["pending_news"] = [good, 42]


def _spoil_rng(snapshot):
    snapshot["rng"][2] = "x"


@pytest.mark.parametrize("spoil, message", [
    (_spoil_news, "argument 'pending_news' must be dict, not int"),
    (_spoil_rng, "argument 'rng' must be float, not str"),
])
def test_a_restore_with_one_malformed_entry_changes_nothing(spoil, message):
    source = corvane.Engine(seed=3, universe=UNIVERSE)
    source.run_days(3, ticks_per_day=30, record=False)
    snapshot = source.state_snapshot()
    spoil(snapshot)
    target = corvane.Engine(seed=3, universe=UNIVERSE)
    before = target.state_digest(), target.order_log
    with pytest.raises(TypeError, match=message):
        target.restore_state(snapshot)
    assert (target.state_digest(), target.order_log) == before


def test_an_instrument_without_a_price_quotes_nothing_and_sizes_zero():
    engine = corvane.Engine(seed=5, universe=UNIVERSE)
    engine.run_session(9, 30, 3, 3)
    snapshot = engine.state_snapshot()
    prices = list(struct.unpack("<4d", snapshot["columns"]["price"]))
    prices[0] = math.nan
    snapshot["columns"]["price"] = struct.pack("<4d", *prices)
    engine.restore_state(snapshot)
    # Bids, asks, bid sizes, ask sizes: four columns of four.
    quotes = struct.unpack("<16d", engine.quotes())
    assert math.isnan(quotes[0]) and math.isnan(quotes[4]) and quotes[8] == quotes[12] == 0.0
    assert quotes[9] > 0.0


@pytest.mark.parametrize("read", [lambda b: b.price_levels("up"), lambda b: b.sweep_cost("up", 5),
                                  lambda b: b.depth("up")])
def test_an_unknown_side_is_refused_by_every_book_reader(read):
    book = corvane.OrderBook("X", last_price=10.0)
    book.post_limit("sell", 10.5, 100, owner="mm")
    with pytest.raises(corvane.ValidationError, match='side must be "buy" or "sell", got "up"'):
        read(book)


def test_one_positional_argument_too_many_is_refused_by_every_call():
    owners = [corvane.Engine(seed=5, universe=UNIVERSE), corvane.OrderBook("X", last_price=10.0),
              corvane.EngineBatch(seeds=[1, 2], universe=UNIVERSE), corvane.GameRng(1, 2),
              corvane._core]
    for owner in owners:
        for name in dir(owner):
            call = getattr(owner, name)
            if name.startswith("_") or not getattr(call, "__text_signature__", None):
                continue
            params = inspect.signature(call).parameters.values()
            n = sum(p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) for p in params)
            with pytest.raises(TypeError, match=rf"takes (at most {n} positional|no arguments)"):
                call(*[None] * (n + 1))
