import math
import struct

import pytest

from corvane import ModelParams, _core, model_preset

PRESETS = [f"kx-v{i}" for i in range(1, 15)]
SETTABLE = ModelParams.settable()
SURFACE = "The settable surface is: " + ", ".join(SETTABLE)
DERIVED = ("mispricing_phi", "s_phi_tick")


def bits(value):
    return struct.pack(">d", value)


VARIANTS = [
    ("kx-v3", {"garch_beta": 0.7}),
    ("kx-v14", {"mispricing_half_life_days": 30.0}),
    ("kx-v7", {"price_breaker_fraction": 0.1, "sector_loading_beta_slope": -0.0}),
    ("kx-v1", {"mispricing_half_life_days": 45.5, "momentum_theta": 0.1, "vix_return_source": 0}),
]


class TestPresets:
    def test_default_is_kx_v14(self):
        assert ModelParams.from_preset() == ModelParams.from_preset("kx-v14")
        assert ModelParams.from_preset(name=None).fingerprint == "kx-v14"
        summary = model_preset()
        assert list(summary) == [
            "name", "mispricing_half_life_days", "mispricing_phi", "momentum_theta",
            "mispricing_cap", "daily_shock_cap", "crowd_valuation_gain", "crowd_momentum_gain",
            "crowd_lean_cap"]
        assert summary["name"] == "kx-v14" and model_preset(None) == summary

    @pytest.mark.parametrize("name", ["kx-v01", "KX-V1", "kx-v15", "", 'a"\\'])
    def test_unknown_preset(self, refusal, name):
        escaped = name.replace("\\", "\\\\").replace('"', '\\"')
        message = f'unknown model preset "{escaped}". Shipped presets: ' + ", ".join(PRESETS)
        assert refusal(ModelParams.from_preset, name) == refusal(model_preset, name) == message


class TestDictionary:
    @pytest.mark.parametrize("base, overrides", [(name, {}) for name in PRESETS] + VARIANTS)
    def test_shape_round_trip_and_text(self, base, overrides):
        model = ModelParams.from_preset(base, **overrides)
        values = model.to_dict()
        keys = list(values)
        assert len(keys) == 123 and keys[0] == "name"
        assert values["name"] == (model.fingerprint if overrides else base)
        assert keys[1:] == sorted(keys[1:], key=str.encode)
        assert all(type(values[key]) is float for key in keys[1:])
        # The carried constants' names are pinned by the preset digests.
        sectors = {"sector_daily_sigma_" + key for key in _core.sectors()}
        carried = set(keys[1:]) - set(SETTABLE) - set(DERIVED) - sectors
        assert len(carried) == 16 and sectors < set(keys) and "book_levels" in carried
        rebuilt = ModelParams.from_dict(values)
        assert rebuilt == model and not (rebuilt != model) and hash(rebuilt) == hash(model)
        floats = [bits(v) for v in values.values() if isinstance(v, float)]
        assert [bits(v) for v in rebuilt.to_dict().values() if isinstance(v, float)] == floats
        # The text lists the settable values that differ from kx-v1, in the settable order.
        first = ModelParams.from_preset("kx-v1")
        changed = [name for name in SETTABLE if bits(getattr(model, name)) != bits(getattr(first, name))]
        listed, prefix = repr(model), f'ModelParams("{model.fingerprint}", from kx-v1 with '
        if base == "kx-v1" and not overrides:
            assert listed == 'ModelParams("kx-v1")' and changed == []  # none to list
        else:
            assert listed.startswith(prefix) and listed.endswith(")")
            assert [item.split("=")[0] for item in listed[len(prefix):-1].split(", ")] == changed
        if not overrides:  # model_preset's summary reads the named preset.
            summary = model_preset(name=base)
            assert summary.pop("name") == base
            assert summary == {key: getattr(model, key) for key in summary}
            assert base != "kx-v14" or len(changed) == 41

    def test_partial_and_empty(self):
        assert ModelParams.from_dict({}).fingerprint == "kx-v1"
        assert ModelParams.from_dict({"name": object()}).fingerprint == "kx-v1"
        model = ModelParams.from_dict({"mispricing_half_life_days": 30, "name": "kx-v9"})
        assert model == ModelParams.from_preset("kx-v1", mispricing_half_life_days=30.0)
        assert model.mispricing_phi == 0.9771599684342459  # recomputed for 30 days

    @pytest.mark.parametrize("change, message", [
        ({"book_levels": 11}, "book_levels is 11.0 in this dictionary but 10.0 on this build, and "
         "it is not runtime-settable here. The dictionary describes a model this build cannot "
         "run; use the build that wrote it."),
        ({"mispricing_phi": 0.5}, "mispricing_phi is 0.5 in this dictionary but "
         "0.9885140203528962 on this build, and it is not runtime-settable here. The dictionary "
         "describes a model this build cannot run; use the build that wrote it."),
        ({"future_knob": 1.0, "zz_knob": 2.0}, 'unknown model parameter "future_knob" in the '
         "dictionary. A newer build may have written it; upgrade corvane rather than dropping "
         "it silently."),
        ({"garch_beta": "0.5"}, "garch_beta must be a number"),
        ({"garch_beta": math.inf}, "garch_beta must be finite, got inf"),
    ])
    def test_refusals(self, refusal, change, message):
        assert refusal(ModelParams.from_dict, {**ModelParams.from_preset().to_dict(), **change}) == message


DERIVED_MESSAGE = (
    "{} is a derived coefficient carried as recorded bits; it cannot be set directly. Override "
    "mispricing_half_life_days and both are recomputed from it \u2014 deterministically, but not "
    "bit-identically to the recorded constants.")
CARRIED_MESSAGE = (
    "{} is in the preset but is not yet runtime-settable: it is compile-time in this build, and "
    "accepting an override the engine would ignore would make the fingerprint a lie. " + SURFACE)
UNKNOWN_MESSAGE = "unknown model parameter {}. " + SURFACE
BAND_MESSAGE = "price_breaker_fraction must be inside (-1, 1) for the band to exist, got {}"
HALF_LIFE_MESSAGE = "mispricing_half_life_days must be greater than zero, got {}"


class TestOverrides:
    @pytest.mark.parametrize("overrides, message", [
        # Finiteness is checked before the name is looked up.
        ({"garch_beta": math.nan}, "garch_beta must be finite, got NaN"),
        ({"no_such_knob": math.inf}, "no_such_knob must be finite, got inf"),
        ({"s_phi_tick": -math.inf}, "s_phi_tick must be finite, got -inf"),
        ({"s_phi_tick": 1.0}, DERIVED_MESSAGE.format("s_phi_tick")),
        ({"mispricing_phi": 0.5}, DERIVED_MESSAGE.format("mispricing_phi")),
        ({"book_levels": 10}, CARRIED_MESSAGE.format("book_levels")),
        ({"sector_daily_sigma_energy": 10}, CARRIED_MESSAGE.format("sector_daily_sigma_energy")),
        *[({name: 1.0}, UNKNOWN_MESSAGE.format(f'"{name}"')) for name in (
            "garch_bet", "market_vol_ceiling_multiplee", "GARCH_BETA", "breaker_band_upper",
            "sector_daily_sigma_Energy")],
        ({'a"b\\c': 1.0}, UNKNOWN_MESSAGE.format('"a\\"b\\\\c"')),
        ({"price_breaker_fraction": 1}, BAND_MESSAGE.format("1")),
        ({"price_breaker_fraction": -1.0}, BAND_MESSAGE.format("-1")),
        ({"mispricing_half_life_days": -0.0}, HALF_LIFE_MESSAGE.format("-0")),
        ({"mispricing_half_life_days": -2}, HALF_LIFE_MESSAGE.format("-2")),
    ])
    def test_refusals(self, refusal, overrides, message):
        assert refusal(ModelParams.from_preset, **overrides) == message

    def test_half_life_back_to_the_preset_through_a_dictionary(self):
        faster = ModelParams.from_preset("kx-v5", mispricing_half_life_days=30.0)
        values = {k: v for k, v in faster.to_dict().items() if k not in DERIVED}
        back = ModelParams.from_dict({**values, "mispricing_half_life_days": 60.0})
        assert back == ModelParams.from_preset("kx-v5")
        assert back.fingerprint == "kx-v5"

    def test_first_bad_keyword_in_byte_order_is_reported_and_numbers_convert(self, refusal):
        def first(**overrides):
            return refusal(ModelParams.from_preset, **overrides)
        assert first(zz_knob=1.0, aa_value="x") == "aa_value must be a number"
        assert first(garch_beta=math.nan, book_levels=10.0).startswith("book_levels is in")
        assert first(Zeta=1.0, alpha=math.nan) == f'unknown model parameter "Zeta". {SURFACE}'
        # Numbers convert as the interpreter does.
        model = ModelParams.from_preset("kx-v1", vix_return_source=True, volume_move_cap=4)
        assert model.vix_return_source == 1.0 and model.volume_move_cap == 4.0
        assert first(garch_beta=None) == first(garch_beta=10**400) == "garch_beta must be a number"


class TestAccess:
    def test_attributes_settable_and_inequality(self):
        # Every value reads back as an attribute: settable, derived and carried alike.
        model = ModelParams.from_preset("kx-v1", garch_beta=0.7)
        assert all(getattr(model, k) == v for k, v in model.to_dict().items() if k != "name")
        for name in ["no_such", "breaker_band_upper", "sector_daily_sigma_",
                     "sector_daily_sigma_Energy"]:
            with pytest.raises(AttributeError) as info:
                getattr(model, name)
            assert str(info.value) == "ModelParams has no parameter " + name
        assert len(SETTABLE) == 95 and SETTABLE == sorted(SETTABLE, key=str.encode)
        assert SETTABLE is not ModelParams.settable()
        a = ModelParams.from_preset("kx-v3", garch_beta=0.7)
        assert a != ModelParams.from_preset("kx-v3") and a != "kx-v3" and not (a == a.to_dict())
