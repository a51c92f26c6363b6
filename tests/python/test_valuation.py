import math

import pytest

from corvane import (MispricingState, characteristic_root_moduli,
                     crowd_adjusted_root_moduli, fair_value, impulse_response, sectors,
                     stationary_sigma, step_mispricing_daily)


class TestFairValue:
    def test_known_answers(self):
        value = fair_value(eps=2.0, sector="technology")
        assert (value.fair_value, value.target_pe, value.rate_adjustment) == (67.84, 33.92, 1.06)
        assert repr(value) == (
            "FairValue(fair_value=67.8400, target_pe=33.9200, book_value_path=false)")
        book = fair_value(eps=-1.0, sector="energy", book_value_per_share=10.0)
        assert (book.fair_value, book.target_pe, book.book_value_path) == (12.0, 0.0, True)
        assert repr(book) == (
            "FairValue(fair_value=12.0000, target_pe=0.0000, book_value_path=true)")
        # A yield of zero is given, not absent: the policy rate is not used in its place.
        zero_yield = fair_value(eps=1.0, sector="energy", federal_funds_rate=0.3,
                                corporate_bond_yield=0.0)
        assert zero_yield.rate_adjustment == 1.06
        assert fair_value(eps=2.0, sector="technology", qe_pe_boost=0.1).qe_adjustment == 1.1

    @pytest.mark.parametrize("kwargs, message", [
        (dict(eps=math.nan, sector="Technology"),
         'unknown sector "Technology". Valid sectors: ' + ", ".join(sectors())),
        (dict(eps=math.inf, book_value_per_share=math.nan), "eps must be finite, got inf"),
        (dict(revenue_growth=math.nan, book_value_per_share=-math.inf),
         "book_value_per_share must be finite, got -inf"),
        (dict(revenue_growth=math.nan, qe_pe_boost=math.nan),
         "revenue_growth must be finite, got NaN"),
        (dict(federal_funds_rate=9.0, qe_pe_boost=math.inf), "qe_pe_boost must be finite, got inf"),
        (dict(federal_funds_rate=5.2, corporate_bond_yield=1.0),
         "federal_funds_rate = 5.2 is outside the plausible range [-0.05, 0.5] - this looks like "
         "a percent value. Rates are FRACTIONAL here: pass 0.052000000000000005 for 5.2%."),
        (dict(corporate_bond_yield=math.nan), "corporate_bond_yield is NaN"),
    ])
    def test_refusals_in_order(self, refusal, kwargs, message):
        assert refusal(fair_value, **{"sector": "energy", **kwargs}) == message


class TestMispricing:
    def test_state_step_and_analysis_arguments(self):
        states = MispricingState(2.0), MispricingState(s=2.0, s_prev=0.0)
        assert [(m.s, m.s_prev) for m in states] == [(0.9, 0.9), (2.0, 0.0)]  # capped, as given
        assert repr(MispricingState(0.5, -0.25)) == "MispricingState(s=0.5, s_prev=-0.25)"
        rest = MispricingState()
        assert step_mispricing_daily(rest, shock=1.0).s == 0.15
        assert step_mispricing_daily(rest, innovation=1.0).s == 0.9
        # The analyses' values are the core's own tests'; here: None is the default,
        # keywords and positions reach the same parameters, and the types.
        phi = 0.9885140203528962
        assert impulse_response(2, None, 0.0) == [1.0, phi, phi * phi]
        assert impulse_response(2, phi=0.5, theta=0.0) == [1.0, 0.5, 0.25]
        assert characteristic_root_moduli(phi=0.5, theta=0.5) == (math.sqrt(0.5),) * 2
        assert characteristic_root_moduli(0.9, -0.2) == characteristic_root_moduli(theta=-0.2, phi=0.9)
        assert type(crowd_adjusted_root_moduli()) is tuple
        assert stationary_sigma(1.0, phi=1.0, theta=0.0) is None

    @pytest.mark.parametrize("call, message", [
        (lambda: MispricingState(math.nan), "s must be finite, got NaN"),
        (lambda: MispricingState(0.0, -math.inf), "s_prev must be finite, got -inf"),
        (lambda: step_mispricing_daily(MispricingState(), innovation=math.nan, shock=math.nan),
         "innovation must be finite, got NaN"),
        (lambda: step_mispricing_daily(MispricingState(), shock=math.inf),
         "shock must be finite, got inf"),
        (lambda: impulse_response(-1), "horizon_days must be >= 0, got -1"),
        (lambda: stationary_sigma(-1.0),
         "innovation_sigma must be finite and not negative, got -1"),
        (lambda: stationary_sigma(float("nan")),
         "innovation_sigma must be finite and not negative, got NaN"),
    ])
    def test_refusals(self, refusal, call, message):
        assert refusal(call) == message
