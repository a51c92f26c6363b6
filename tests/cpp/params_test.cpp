#include "core/params.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

namespace corvane {
namespace {

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

ModelParams preset_or_die(std::string_view name) {
    auto model = ModelParams::preset(name);
    if (!model) ADD_FAILURE() << "no preset " << name;
    return model.value_or(ModelParams{});
}

ModelParams overridden(const ModelParams& model, std::string_view name, double value) {
    auto result = model.with_override(name, value);
    if (!result) ADD_FAILURE() << result.error();
    return result ? *result : model;
}

// The refusal messages are checked word for word from the interpreter.
bool refused(std::string_view name, double value) {
    return !ModelParams{}.with_override(name, value);
}

bool bit_identical(const ModelParams& a, const ModelParams& b) {
    for (const FieldInfo& field : MODEL_FIELDS) {
        if (bits(a.*field.member) != bits(b.*field.member)) return false;
    }
    return true;
}

// SHA-256 of each preset's canonical serialisation, computed outside this
// code base from the published coefficient tables: a mistyped value in any
// preset changes its digest.
constexpr std::pair<std::string_view, std::string_view> PRESET_DIGESTS[] = {
    {"kx-v1", "793a671b8df4f9a153ed76836bbf04d0d19d7a5ee553ab7dd07940175217ea56"},
    {"kx-v2", "c2868f53b7fc4b36ebb1d09be30981528db439a98b538c47386ab2a6d9064e7e"},
    {"kx-v3", "14603d43a647eb3f16493001ed40df9e6c683462c14bc1173e86fd76ccb41813"},
    {"kx-v4", "52032b0aadde1e81b0c63245438d7ccda934dcb46266d716685fc13056a17401"},
    {"kx-v5", "71466f66c2938c4506b14584bdc615c8719eadb137c6bb82c308f0b9beb45482"},
    {"kx-v6", "7cc7f30bfbc2bc81975f1c6f6d8ce0dde72dcf4be426ca985504101fca1ee01c"},
    {"kx-v7", "b74b993f0e7919b179bd1bab9ef351f8d84a4eac17166f158baeefdf43bf35e3"},
    {"kx-v8", "a7dac70761275801752d820b3180f93aa7b8ea8906825ca8a2a041828fb6559c"},
    {"kx-v9", "0cff9c63f87307278f53a6cff8717b6f1e2b6292dd4806fbb39cfb6cd68a0ecc"},
    {"kx-v10", "4cc3be70fc0363b236ac1870b67cb918276238a39a57f10fa14d432b73c6dac3"},
    {"kx-v11", "4fb74e575e3bdec4a20795b574649b6b5dbf0489b0043c908a8487cccf656c68"},
    {"kx-v12", "da13291a7d8a52964e09d2446cf40b7117373d45d9a4966a853c89ccf80c3997"},
    {"kx-v13", "6326ccc31787176ce8f0aff92e347ed425c140d734e20429585756d8498c77c7"},
    {"kx-v14", "34d5f6422c2e7071228a4bb5366469d9109ab4c492ebc3139104f5f71022e45f"},
};

TEST(ModelPresets, DigestsMatchThePublishedCoefficients) {
    for (const auto& [name, digest] : PRESET_DIGESTS) {
        ModelParams model = preset_or_die(name);
        EXPECT_EQ(model.digest(), digest) << name;
        EXPECT_EQ(model.fingerprint(), name);
    }
}

TEST(ModelPresets, DefaultIsKxV14) {
    EXPECT_TRUE(bit_identical(preset_or_die(DEFAULT_PRESET), ModelParams::default_preset()));
    EXPECT_TRUE(bit_identical(preset_or_die("kx-v14"), ModelParams{}));
}

TEST(ModelOverride, BreakerBandAndHalfLifeKeepTheirDerivedValuesInStep) {
    EXPECT_TRUE(refused("price_breaker_fraction", 1.0));
    EXPECT_TRUE(refused("price_breaker_fraction", -1.0));
    EXPECT_EQ(overridden(ModelParams{}, "price_breaker_fraction", -0.999).breaker_band_upper,
              -0.999 + 1.0);
    ModelParams model = overridden(ModelParams{}, "price_breaker_fraction", 0.999);
    model = overridden(model, "price_breaker_fraction", 0.1);
    EXPECT_EQ(model.price_breaker_fraction, 0.1);
    EXPECT_EQ(bits(model.breaker_band_upper), bits(0.1 + 1.0));
    EXPECT_EQ(bits(model.breaker_band_lower), bits(1.0 - 0.1));

    EXPECT_TRUE(refused("mispricing_half_life_days", 0.0));
    EXPECT_TRUE(refused("mispricing_half_life_days", -0.0));
    const ModelParams base = preset_or_die("kx-v3");
    EXPECT_TRUE(bit_identical(overridden(base, "mispricing_half_life_days", 60.0), base));

    ModelParams faster = overridden(base, "mispricing_half_life_days", 30.0);
    // 0.5^(1/30) and 0.5^(1/11700), recorded once.
    EXPECT_EQ(bits(faster.mispricing_phi), 0x3fef44e4fb6c55d7u);
    EXPECT_EQ(bits(faster.s_phi_tick), 0x3fefff83c2e9549fu);
    EXPECT_TRUE(faster.fingerprint().starts_with("custom-"));

    // Back to 60 recomputes with pow, which reproduces the recorded bits: loading a
    // preset never evaluates pow, and this is why it need not.
    ModelParams back = overridden(faster, "mispricing_half_life_days", 60.0);
    EXPECT_TRUE(bit_identical(back, base));
    EXPECT_EQ(back.fingerprint(), "kx-v3");
}

TEST(ModelFingerprint, CustomModelsNameTheirDigest) {
    ModelParams custom = overridden(preset_or_die("kx-v3"), "garch_beta", 0.7);
    EXPECT_EQ(custom.digest(), "8e79f871942a9030eaf8eb9873c54bd1d9a3c693607f7d5ffcc747136ea56e06");
    EXPECT_EQ(custom.fingerprint(), "custom-8e79f871");

    // Bits, not values: -0.0 is a different model from 0.0.
    ModelParams negative_zero = overridden(ModelParams{}, "sector_loading_beta_slope", -0.0);
    EXPECT_EQ(negative_zero.fingerprint(), "custom-214d36bb");
    EXPECT_EQ(overridden(ModelParams{}, "sector_loading_beta_slope", 0.0).fingerprint(), "kx-v14");

    // Every preset's own values applied to another preset give that preset.
    ModelParams rebuilt = preset_or_die("kx-v14");
    const ModelParams target = preset_or_die("kx-v2");
    for (std::string_view name : ModelParams::settable_names()) {
        rebuilt = overridden(rebuilt, name, *target.get(name));
    }
    EXPECT_EQ(rebuilt.fingerprint(), "kx-v2");
}

}  // namespace
}  // namespace corvane
