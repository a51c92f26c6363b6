import hashlib
import struct

import pytest

import corvane

# The economy's starting values in its own units (percent rates): VIX,
# policy rate, inflation, corporate bond yield, fear and greed.
INITIAL_MACRO = (15.0, 2.5, 2.0, 4.5600000000000005, 60.0)

BASE = dict(size=20, universe_seed=0, seed=0, days=3, ticks=390, preset="kx-v14")


def digest(**changes):
    return corvane.fixed_simulation_digest(**{**BASE, **changes})


def sha256_of(values):
    return hashlib.sha256(b"".join(struct.pack(">d", v) for v in values)).hexdigest()


class TestFixedSimulationDigest:
    @pytest.mark.parametrize("change", [{"seed": 1}, {"universe_seed": 1}, {"size": 21},
                                        {"days": 2}, {"ticks": 389}, {"preset": "kx-v13"}])
    def test_every_argument_matters(self, change):
        assert digest(**change) != digest()

    def test_zero_days_hash_initial_prices_then_macro(self):
        prices = [i.initial_price for i in corvane.random_instruments(5, seed=9)]
        assert digest(size=5, universe_seed=9, days=0) == sha256_of(prices + list(INITIAL_MACRO))
        assert digest(size=0, days=0) == sha256_of(INITIAL_MACRO)
        # The macro chain still runs, so a day with no instruments hashes differently.
        assert digest(size=0, days=1) != sha256_of(INITIAL_MACRO)

    @pytest.mark.parametrize("preset, message", [
        ("KX-V14", 'unknown preset "KX-V14"'), ("kx-v15", 'unknown preset "kx-v15"'),
        ('a"b\\', 'unknown preset "a\\"b\\\\"'),
    ])
    def test_unknown_preset(self, refusal, preset, message):
        assert refusal(digest, preset=preset, size=2**62) == message

    @pytest.mark.parametrize("size", [2**62, 2**64 - 1])
    def test_unaddressable_universe(self, size):
        with pytest.raises(MemoryError):
            digest(size=size)


def test_ctrl_c_stops_a_run_that_would_never_end(ctrl_c):
    with ctrl_c(0.2):
        digest(size=5, seed=1, days=1, ticks=2**62)
