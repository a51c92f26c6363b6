#include "core/params.hpp"
#include "golden.hpp"

#include <gtest/gtest.h>

#include <bit>
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

// Each preset's digest is pinned as computed outside this code base from the
// published coefficient tables: a mistyped value in any preset changes it.
TEST(ModelPresets, DigestsMatchThePublishedCoefficients) {
    for (std::string_view name : SHIPPED_PRESETS) {
        ModelParams model = preset_or_die(name);
        EXPECT_GOLDEN("preset_digest_" + std::string(name), model.digest()) << name;
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
    EXPECT_GOLDEN("custom_digest_kx-v3_garch_beta_0.7", custom.digest());
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
