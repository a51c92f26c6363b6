import math

import pytest

from corvane import (FairValue, MispricingState, ValidationError, apply_mispricing,
                     characteristic_root_moduli, crowd_adjusted_root_moduli, fair_value,
                     impulse_response, stationary_sigma, step_mispricing_daily)


class TestFairValue:
    def test_technology_at_zero_rate(self):
        value = fair_value(eps=2.0, sector="technology")
        assert value.fair_value == 67.84
        assert value.target_pe == 33.92
        assert value.rate_adjustment == 1.06
        assert (value.sector_anchor_pe, value.qe_adjustment) == (32.0, 1.0)
        assert value.book_value_path is False
        assert repr(value) == (
            "FairValue(fair_value=67.8400, target_pe=33.9200, book_value_path=false)")
        assert isinstance(value, FairValue)

    def test_book_value_path(self):
        value = fair_value(eps=-1.0, sector="energy", book_value_per_share=10.0)
        assert (value.fair_value, value.target_pe, value.book_value_path) == (12.0, 0.0, True)
        assert repr(value) == (
            "FairValue(fair_value=12.0000, target_pe=0.0000, book_value_path=true)")
        assert fair_value(eps=-1.0, sector="energy").fair_value == 0.01

    def test_rates_are_fractional_and_the_yield_wins(self):
        assert fair_value(eps=1.0, sector="energy", corporate_bond_yield=0.5).rate_adjustment == 0.5
        zero_yield = fair_value(eps=1.0, sector="energy", federal_funds_rate=0.3,
                                corporate_bond_yield=0.0)
        assert zero_yield.rate_adjustment == 1.06
        flat = fair_value(eps=1.0, sector="energy", federal_funds_rate=0.1)
        shrinking = fair_value(eps=1.0, sector="energy", federal_funds_rate=0.1,
                               revenue_growth=-0.3)
        growing = fair_value(eps=1.0, sector="energy", federal_funds_rate=0.1,
                             revenue_growth=0.22)
        assert shrinking.rate_adjustment == flat.rate_adjustment
        assert growing.rate_adjustment - 1.0 == pytest.approx((flat.rate_adjustment - 1.0) * 1.44)
        assert fair_value(eps=2.0, sector="technology", qe_pe_boost=0.1).qe_adjustment == 1.1

    @pytest.mark.parametrize("kwargs, message", [
        (dict(sector="Technology"), 'unknown sector "Technology". Valid sectors: technology, '
         "financial_services, healthcare, energy, consumer_discretionary, consumer_staples, "
         "industrials, materials, real_estate, utilities, telecommunications, transportation"),
        (dict(sector="energy", eps=float("inf"), book_value_per_share=float("nan")),
         "eps must be finite, got inf"),
        (dict(sector="energy", qe_pe_boost=float("nan"), federal_funds_rate=5.0),
         "qe_pe_boost must be finite, got NaN"),
        (dict(sector="energy", federal_funds_rate=5.2),
         "federal_funds_rate = 5.2 is outside the plausible range [-0.05, 0.5] - this looks like "
         "a percent value. Rates are FRACTIONAL here: pass 0.052000000000000005 for 5.2%."),
        (dict(sector="energy", corporate_bond_yield=-0.06),
         "corporate_bond_yield = -0.06 is outside the plausible range [-0.05, 0.5]"),
    ])
    def test_refusals(self, kwargs, message):
        with pytest.raises(ValidationError) as info:
            fair_value(**kwargs)
        assert str(info.value) == message

    def test_keyword_only_sector_required(self):
        with pytest.raises(TypeError):
            fair_value(2.0, "technology")
        with pytest.raises(TypeError):
            fair_value(eps=2.0)
        with pytest.raises(TypeError):
            FairValue()


class TestMispricingState:
    def test_construction(self):
        assert (MispricingState().s, MispricingState().s_prev) == (0.0, 0.0)
        capped = MispricingState(2.0)
        assert (capped.s, capped.s_prev) == (0.9, 0.9)
        given = MispricingState(s=2.0, s_prev=0.0)
        assert (given.s, given.s_prev) == (2.0, 0.0)
        assert repr(MispricingState(0.5, -0.25)) == "MispricingState(s=0.5, s_prev=-0.25)"
        assert MispricingState.__doc__.startswith("The daily log-mispricing state.")

    @pytest.mark.parametrize("args, message", [
        ((float("nan"),), "s must be finite, got NaN"),
        ((0.0, float("inf")), "s_prev must be finite, got inf"),
    ])
    def test_refusals(self, args, message):
        with pytest.raises(ValidationError, match=f"^{message}$"):
            MispricingState(*args)

    def test_step(self):
        rest = MispricingState()
        assert step_mispricing_daily(rest, shock=1.0).s == 0.15
        assert step_mispricing_daily(rest, innovation=1.0).s == 0.9
        state = MispricingState(0.2, 0.1)
        after = step_mispricing_daily(state, innovation=0.01, shock=0.02)
        assert after.s_prev == 0.2 and state.s == 0.2
        with pytest.raises(ValidationError, match="^innovation must be finite, got NaN$"):
            step_mispricing_daily(rest, innovation=float("nan"), shock=float("nan"))
        with pytest.raises(ValidationError, match="^shock must be finite, got -inf$"):
            step_mispricing_daily(rest, shock=float("-inf"))
        with pytest.raises(TypeError, match="MispricingState"):
            step_mispricing_daily(0.1)
        with pytest.raises(TypeError):
            step_mispricing_daily(rest, 0.1)

    def test_apply(self):
        assert apply_mispricing(100.0, 0.0) == 100.0
        assert apply_mispricing(100.0, 7.0) == apply_mispricing(100.0, 0.9)
        assert apply_mispricing(-5.0, 0.0) == 0.01
        assert math.isnan(apply_mispricing(float("nan"), 0.0))
        assert math.isnan(apply_mispricing(1.0, float("nan")))


class TestAnalysis:
    def test_impulse_response(self):
        assert impulse_response(3) == [1.0, 1.2385140203528962, 1.2839169786106939,
                                       1.2805206738902497]
        assert impulse_response(0) == [1.0]
        assert impulse_response(2, 0.5, 0.0) == [1.0, 0.5, 0.25]
        assert impulse_response(2, phi=None, theta=0.0) == impulse_response(2, theta=0.0)
        with pytest.raises(ValidationError, match="^horizon_days must be >= 0, got -1$"):
            impulse_response(-1)
        with pytest.raises(TypeError):
            impulse_response(2.0)

    def test_root_moduli(self):
        assert characteristic_root_moduli() == (0.9846051245176521, 0.253908895835244)
        assert characteristic_root_moduli(phi=0.5, theta=0.5) == (math.sqrt(0.5), math.sqrt(0.5))
        assert crowd_adjusted_root_moduli() == (0.9758250905200969, 0.2766889298327992)

    def test_stationary_sigma(self):
        assert stationary_sigma(1.0) == 7.636077151465644
        assert stationary_sigma(-0.0) == 0.0
        assert stationary_sigma(1.0, phi=1.0, theta=0.0) is None
        assert stationary_sigma(1e200) is None
        with pytest.raises(ValidationError,
                           match="^innovation_sigma must be finite and not negative, got -1$"):
            stationary_sigma(-1.0)
        with pytest.raises(TypeError):
            stationary_sigma(1.0, 0.5)
