import pytest

from corvane import Macro, ValidationError

UNKNOWN_CYCLE = "unknown cycle {}. Valid: expansion, peak, contraction, trough, recovery"


class TestMacro:
    def test_defaults(self):
        macro = Macro()
        assert (macro.vix, macro.federal_funds_rate) == (15.0, 0.025)
        assert macro.corporate_bond_yield is None
        assert (macro.inflation_rate, macro.qe_pe_boost) == (0.02, 0.0)
        assert macro.fear_greed_index == 50.0
        assert macro.cycle == "expansion"
        assert repr(macro) == 'Macro(vix=15, federal_funds_rate=0.025, cycle="expansion")'

    def test_values_kept_as_given(self):
        macro = Macro(vix=-3.0, federal_funds_rate=-0.05, corporate_bond_yield=0.0,
                      inflation_rate=0.5, qe_pe_boost=12.0, fear_greed_index=400.0, cycle="trough")
        assert macro.corporate_bond_yield == 0.0 and macro.federal_funds_rate == -0.05
        assert repr(macro) == 'Macro(vix=-3, federal_funds_rate=-0.05, cycle="trough")'
        with pytest.raises(AttributeError):
            macro.vix = 20.0

    @pytest.mark.parametrize("kwargs, message", [
        (dict(federal_funds_rate=2.5),
         "federal_funds_rate = 2.5 is outside the plausible range [-0.05, 0.5] - this looks "
         "like a percent value. Rates are FRACTIONAL here: pass 0.025 for 2.5%."),
        (dict(cycle="Expansion"), UNKNOWN_CYCLE.format('"Expansion"')),
        (dict(cycle='say "hi"'), UNKNOWN_CYCLE.format(r'"say \"hi\""')),
        (dict(vix=float("nan")), "vix must be finite, got NaN"),
        (dict(qe_pe_boost=float("inf")), "qe_pe_boost must be finite, got inf"),
        (dict(fear_greed_index=float("-inf")), "fear_greed_index must be finite, got -inf"),
        (dict(inflation_rate=0.51),
         "inflation_rate = 0.51 is outside the plausible range [-0.05, 0.5]"),
        (dict(corporate_bond_yield=float("nan")), "corporate_bond_yield is NaN"),
        # Checked in order: cycle, then the rates (inflation before the yield), then finiteness.
        (dict(federal_funds_rate=9.0, cycle="boom"), UNKNOWN_CYCLE.format('"boom"')),
        (dict(corporate_bond_yield=0.9, inflation_rate=0.7),
         "inflation_rate = 0.7 is outside the plausible range [-0.05, 0.5]"),
        (dict(vix=float("nan"), corporate_bond_yield=0.9),
         "corporate_bond_yield = 0.9 is outside the plausible range [-0.05, 0.5]"),
    ])
    def test_refusals(self, kwargs, message):
        with pytest.raises(ValidationError) as info:
            Macro(**kwargs)
        assert str(info.value) == message

    def test_keyword_only_and_typed(self):
        with pytest.raises(TypeError):
            Macro(15.0)
        with pytest.raises(TypeError):
            Macro(cycle=3)
        with pytest.raises(TypeError):
            Macro(vix="15")
