import math

import pytest

from corvane import (ValidationError, check_rate, market_status, sector_daily_sigma,
                     sector_volatility, sectors)

KEYS = [
    "technology", "financial_services", "healthcare", "energy", "consumer_discretionary",
    "consumer_staples", "industrials", "materials", "real_estate", "utilities",
    "telecommunications", "transportation",
]


class TestSectors:
    def test_keys_in_table_order_and_values(self):
        assert sectors() == KEYS
        assert sectors() is not sectors()
        assert sector_volatility("utilities") == 0.6
        assert sector_daily_sigma("technology") == 0.025
        assert sector_daily_sigma(sector="telecommunications") == 0.01

    @pytest.mark.parametrize("key, shown", [("Technology", "Technology"), ("", ""),
                                            (" technology", " technology"), ('a"b', 'a\\"b')])
    @pytest.mark.parametrize("function", [sector_volatility, sector_daily_sigma])
    def test_unknown(self, refusal, function, key, shown):
        assert refusal(function, key) == f'unknown sector "{shown}". Valid sectors: ' + ", ".join(KEYS)


class TestMarketStatus:
    @pytest.mark.parametrize("when, status", [
        ((9, 29, 3), "pre_market"), ((9, 30, 3), "open"), ((15, 59, 3), "open"),
        ((16, 0, 3), "after_hours"), ((19, 59, 3), "after_hours"), ((20, 0, 3), "closed"),
        ((6, 59, 3), "closed"), ((7, 0, 1), "pre_market"), ((12, 0, 0), "closed"),
        ((12, 0, 6), "closed"),
    ])
    def test_sessions(self, when, status):
        assert market_status(*when) == status

    @pytest.mark.parametrize("when", [(24, 0, 3), (12, 60, 3), (12, 0, 7), (-1, 0, 3), (0, -1, 3),
                                      (0, 0, -1)])
    def test_invalid_time(self, when):
        with pytest.raises(ValidationError, match="^invalid time$"):
            market_status(*when)


class TestCheckRate:
    @pytest.mark.parametrize("value", [0.5, -0.05, 0.0, -0.0, 0.0000001])
    def test_accepts_the_closed_range_bit_for_bit(self, value):
        assert math.copysign(1.0, check_rate("r", value)) == math.copysign(1.0, value)
        assert check_rate("r", value) == value

    @pytest.mark.parametrize("value, message", [
        (0.51, "r = 0.51 is outside the plausible range [-0.05, 0.5]"),
        (1.0, "r = 1 is outside the plausible range [-0.05, 0.5]"),
        (100.0, "r = 100 is outside the plausible range [-0.05, 0.5] - this looks like a "
                "percent value. Rates are FRACTIONAL here: pass 1 for 100%."),
        (100.5, "r = 100.5 is outside the plausible range [-0.05, 0.5]"),
        (5, "r = 5 is outside the plausible range [-0.05, 0.5] - this looks like a percent "
            "value. Rates are FRACTIONAL here: pass 0.05 for 5%."),
        (float("-inf"), "r = -inf is outside the plausible range [-0.05, 0.5]"),
        (float("nan"), "r is NaN"),
    ])
    def test_refusals(self, value, message):
        with pytest.raises(ValidationError) as info:
            check_rate("r", value)
        assert str(info.value) == message
        assert info.value.args == (message,)
