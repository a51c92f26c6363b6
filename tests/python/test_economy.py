import pytest

from corvane import Macro

UNKNOWN_CYCLE = "unknown cycle {}. Valid: expansion, peak, contraction, trough, recovery"


class TestMacro:
    def test_defaults_values_kept_as_given_and_read_only(self):
        macro = Macro()
        assert (macro.vix, macro.federal_funds_rate, macro.inflation_rate) == (15.0, 0.025, 0.02)
        assert macro.corporate_bond_yield is None
        assert (macro.qe_pe_boost, macro.fear_greed_index, macro.cycle) == (0.0, 50.0, "expansion")
        assert repr(macro) == 'Macro(vix=15, federal_funds_rate=0.025, cycle="expansion")'
        # Nothing beyond finiteness limits vix, qe_pe_boost or fear_greed_index.
        macro = Macro(vix=-3.0, federal_funds_rate=-0.05, corporate_bond_yield=0.0,
                      qe_pe_boost=12.0, fear_greed_index=400.0, cycle="trough")
        assert macro.corporate_bond_yield == 0.0 and macro.fear_greed_index == 400.0
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
        (dict(corporate_bond_yield=float("nan")), "corporate_bond_yield is NaN"),
        # The cycle is checked before the rates, the rates before finiteness.
        (dict(federal_funds_rate=9.0, cycle="boom"), UNKNOWN_CYCLE.format('"boom"')),
        (dict(vix=float("nan"), corporate_bond_yield=0.9),
         "corporate_bond_yield = 0.9 is outside the plausible range [-0.05, 0.5]"),
        (dict(corporate_bond_yield=0.9, inflation_rate=0.7),
         "inflation_rate = 0.7 is outside the plausible range [-0.05, 0.5]"),
    ])
    def test_refusals(self, refusal, kwargs, message):
        assert refusal(Macro, **kwargs) == message
