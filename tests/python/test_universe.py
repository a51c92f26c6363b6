import hashlib
import struct

import pytest

from corvane import Instrument, random_instruments, sectors
from golden import GOLDEN

FIELDS = ("initial_price", "shares_outstanding", "eps", "book_value_per_share",
          "revenue_growth", "avg_volume", "beta", "short_interest")


def values(inst):
    return (inst.ticker, inst.sector) + tuple(getattr(inst, f) for f in FIELDS)


class TestRandomInstruments:
    def test_pinned_universe_and_size_limits(self, refusal):
        # The digest the core's own test pins, so the conversion to Instrument
        # is checked against the same bits.
        h = hashlib.sha256()
        for inst in random_instruments(1000, seed=7):
            h.update(inst.ticker.encode() + b"\0" + inst.sector.encode() + b"\0")
            h.update(b"".join(struct.pack(">d", getattr(inst, f)) for f in FIELDS))
        assert h.hexdigest() == GOLDEN["universe_1000_seed_7_digest"]
        # The size limits.
        assert len(random_instruments()) == 108  # the documented default, not only its text
        assert random_instruments(17576, seed=1)[-1].ticker == "ZZZ"
        for n in (17577, 2**64 - 1):
            assert refusal(random_instruments, n) == "n must be at most 17576 - tickers are three letters"
        assert refusal(random_instruments, 0) == "n must be greater than zero"


# The sector list itself is pinned by test_tables.
UNKNOWN_TECH = 'unknown sector "Tech". Valid sectors: ' + ", ".join(sectors())


def make(sector="energy", **overrides):
    return Instrument("AAA", sector, **{"initial_price": 50.0,
                                        "shares_outstanding": 1_000_000.0, **overrides})


class TestInstrument:
    def test_defaults_and_text(self):
        inst = make(initial_price=12.5, eps=1.5)
        assert (inst.avg_volume, inst.beta, inst.short_interest) == (1000000.0, 1.0, 0.0)
        assert inst.eps == 1.5 and inst.book_value_per_share is None
        assert inst.market_cap == 12.5 * 1_000_000.0
        assert repr(inst) == 'Instrument("AAA", sector="energy", price=12.5)'
        with pytest.raises(AttributeError):
            inst.beta = 2.0

    @pytest.mark.parametrize("overrides, message", [
        (dict(sector="Tech"), UNKNOWN_TECH),
        (dict(initial_price=0.0), "initial_price must be finite and greater than zero, got 0"),
        (dict(avg_volume=-1.0), "avg_volume must be finite and not negative, got -1"),
        (dict(beta=float("inf")), "beta must be finite and not negative, got inf"),
        (dict(eps=float("-inf")), "eps must be finite, got -inf"),
        (dict(revenue_growth=float("nan")), "revenue_growth must be finite, got NaN"),
        (dict(book_value_per_share=float("nan")), "book_value_per_share must be finite, got NaN"),
        # The first failing check is the one reported.
        (dict(sector="Tech", initial_price=-1.0), UNKNOWN_TECH),
        (dict(initial_price=-1.0, beta=-1.0, eps=float("nan")),
         "initial_price must be finite and greater than zero, got -1"),
        (dict(short_interest=0.05),
         "short_interest = 0.05 looks like a fraction, but it is a SHARE COUNT: the squeeze rule "
         "divides it by the float. If you meant 5% of 1000000 shares, pass 50000. Values between "
         "0 and 1 are refused because a fractional short position is never what anyone means."),
    ])
    def test_refusals(self, refusal, overrides, message):
        assert refusal(make, **overrides) == message
