import math

import pytest

from corvane import OrderBook


@pytest.fixture
def two_asks():
    """Asks of 100 at 10.0 (m1) and 100 at 10.5 (m2)."""
    book = OrderBook("AAPL")
    book.post_limit("sell", 10.0, 100, owner="m1")
    book.post_limit("sell", 10.5, 100, owner="m2")
    return book


def state(book):
    """Everything a refused call must leave alone; the probe's id shows the sequence."""
    levels = [(l.price, l.quantity, l.orders)
              for side in ("buy", "sell") for l in book.price_levels(side, 32)]
    text = repr(book)
    probe = book.post_limit("buy", 0.01, 1, owner="probe")
    assert book.cancel_order(probe)
    return levels, text, probe


class TestMatching:
    def test_two_level_sweep(self, two_asks):
        # Priced first, then taken. That pricing changes nothing is the core's
        # SweepCostChangesNothing.
        cost = two_asks.sweep_cost("buy", 150)
        assert (cost.average_price, cost.worst_price, cost.filled) == (
            (100 * 10.0 + 50 * 10.5) / 150, 10.5, 150.0)
        assert repr(two_asks.sweep_cost("buy", 500)) == (
            "SweepCost(average_price=10.25, worst_price=10.5, filled=200)")
        result = two_asks.submit("buy", 150, taker="t")
        assert [(f.maker_order_id, f.maker_id, f.taker_id, f.price, f.quantity, f.taker_side)
                for f in result.fills] == [("AAPL-0", "m1", "t", 10.0, 100.0, "buy"),
                                           ("AAPL-1", "m2", "t", 10.5, 50.0, "buy")]
        assert repr(result) == (
            "MatchResult(fills=2, unfilled=0, average_price=Some(10.166666666666666))")
        assert repr(result.fills[1]) == 'Fill(price=10.5, quantity=50, taker_side="buy")'
        assert two_asks.best_ask == 10.5 and two_asks.depth("sell") == 50.0
        # Results are read-only, their fills a copy.
        with pytest.raises(AttributeError):
            result.unfilled = 1.0
        result.fills.clear()
        assert len(result.fills) == 2

    def test_limit_remainder_posts_or_reports(self, two_asks):
        result = two_asks.submit("buy", 150, limit_price=10.0, post_remainder=True)
        assert (len(result.fills), result.unfilled, result.resting_order_id) == (1, 0.0, "AAPL-2")
        assert two_asks.cancel_all_for("taker") == 1  # the default taker's name

        result = two_asks.submit("buy", 150, limit_price=10.5, order_id="mine")
        assert (result.unfilled, result.resting_order_id) == (50.0, None)
        assert two_asks.best_bid is None

    def test_empty_book(self):
        book = OrderBook("E")
        posted = book.submit("buy", 50, limit_price=9.0, post_remainder=True)
        assert (posted.fills, posted.average_price, posted.unfilled) == ([], None, 0.0)
        assert posted.resting_order_id == "E-0"
        market = book.submit("buy", 50, post_remainder=True)
        assert (market.unfilled, market.resting_order_id) == (50.0, None)
        assert repr(market) == "MatchResult(fills=0, unfilled=50, average_price=None)"
        assert book.sweep_cost("buy", 10) is None


class TestCap:
    # Ids and the cap are the core's tests; here: a refusal is None, a
    # truncated post still returns its id.
    def test_full_side_refuses_append_and_truncates_post(self):
        book = OrderBook("X")
        for i in range(32):
            assert book.append_maker_level("buy", 100.0 - i, 1, owner="mm") == f"X-{i}"
        assert book.append_maker_level("buy", 1.0, 1, owner="mm") is None
        # Posted below the worst of a full side: named, but not on the book.
        assert book.post_limit("buy", 50.0, 1, owner="o") == "X-32"
        assert book.price_levels("buy", 40)[-1].price == 69.0


class TestReadOuts:
    def test_quotes_levels_and_text(self):
        book = OrderBook("Q\"1", last_price=5.0)
        assert (book.mid_price, book.spread, book.company_id) == (None, None, 'Q"1')
        book.post_limit("buy", 10.0, 1, owner="a")
        book.post_limit("buy", 10.0, 2, owner="a")
        book.post_limit("sell", 10.5, 3, owner="a")
        assert (book.mid_price, book.spread) == (10.25, 0.5)
        assert repr(book) == 'OrderBook("Q\\"1", bid=Some(10.0), ask=Some(10.5))'
        assert book.price_levels("buy", 0) == []
        [level] = book.price_levels("buy")
        assert repr(level) == "PriceLevel(price=10, quantity=3, orders=2)"


QUANTITY = "quantity must be finite and greater than zero, got "


class TestRefusals:
    @pytest.mark.parametrize("call, message", [
        (lambda b: b.submit("buy", 0), QUANTITY + "0"),
        (lambda b: b.submit("buy", math.nan), QUANTITY + "NaN"),
        (lambda b: b.submit("buy", math.inf), QUANTITY + "inf"),
        (lambda b: b.submit("Buy", 1), 'side must be "buy" or "sell", got "Buy"'),
        (lambda b: b.submit(" buy", 1), 'side must be "buy" or "sell", got " buy"'),
        # Every reader checks its side too.
        (lambda b: b.price_levels("up"), 'side must be "buy" or "sell", got "up"'),
        (lambda b: b.sweep_cost("up", 5), 'side must be "buy" or "sell", got "up"'),
        (lambda b: b.depth("up"), 'side must be "buy" or "sell", got "up"'),
        (lambda b: b.post_limit("buy", -2.0, 1, owner="o"),
         "price must be finite and greater than zero, got -2"),
        (lambda b: b.post_limit("buy", 1.0, 0.0, owner="o"), QUANTITY + "0"),
        (lambda b: b.append_maker_level("sell", math.inf, 1, owner="o"),
         "price must be finite and greater than zero, got inf"),
        (lambda b: b.submit("buy", 1, limit_price=float("nan"), post_remainder=True),
         "limit_price must be finite and greater than zero, got NaN"),
        (lambda b: b.sweep_cost("sell", -0.5), QUANTITY + "-0.5"),
        (lambda b: OrderBook("X", last_price=0.0),
         "last_price must be finite and greater than zero, got 0"),
    ])
    def test_validation_messages(self, refusal, two_asks, call, message):
        before = state(two_asks)
        assert refusal(call, two_asks) == message
        after = state(two_asks)
        assert after[:2] == before[:2] and after[2] == "AAPL-3"
