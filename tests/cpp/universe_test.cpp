#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>

#include "core/params.hpp"
#include "core/sectors.hpp"
#include "core/sha256.hpp"
#include "core/universe.hpp"
#include "golden.hpp"

namespace corvane {
namespace {

std::string universe_digest(const std::vector<GeneratedInstrument>& universe) {
    Sha256 hash;
    for (const GeneratedInstrument& g : universe) {
        hash.update(g.ticker);
        hash.update(static_cast<unsigned char>(0));
        hash.update(g.sector);
        hash.update(static_cast<unsigned char>(0));
        for (double value : {g.initial_price, g.shares_outstanding, g.eps, g.book_value_per_share,
                             g.revenue_growth, g.avg_volume, g.beta, g.short_interest}) {
            hash.update_big_endian(value);
        }
    }
    return hash.finish_hex();
}

// The sector table lookup every other unit leans on. Market hours, the rate
// check and their messages are tested from the interpreter, where callers meet them.
TEST(SectorLookup, EveryKeyFindsItsOwnRowAndNearMissesNone) {
    for (const SectorSpec& spec : sectors::TABLE) EXPECT_EQ(sectors::by_key(spec.key), &spec);
    for (const char* key :
         {"Technology", " technology", "technology ", "", "utilitie", "utilitiez", "real estate"}) {
        EXPECT_EQ(sectors::by_key(key), nullptr) << key;
    }
}

TEST(RandomUniverse, PinnedDigestAStablePrefixAndTickersThatWrapAfterZzz) {
    // Recorded once; any change to draw order, constants or exp shows here,
    // loss-making names (which take one extra draw) included.
    // Cross-checked against an independent model of the generator, which agreed
    // on every value except one where the host exp rounds a near-tie the other way.
    EXPECT_GOLDEN("universe_1000_seed_7_digest", universe_digest(random_universe(1000, 7)));

    // A stable prefix, and tickers that wrap after ZZZ.
    auto small = random_universe(40, 3);
    auto large = random_universe(500, 3);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), large.begin()));
    EXPECT_TRUE(random_universe(0, 3).empty());
    EXPECT_EQ(ticker_for(17575), "ZZZ");
    EXPECT_EQ(ticker_for(17576), "AAA");
}

TEST(RandomUniverse, EveryInstrumentWithinItsRanges) {
    for (std::uint32_t seed : {0u, 1u, 99u, 4294967295u}) {
        SCOPED_TRACE(seed);
        auto universe = random_universe(2000, seed);
        std::size_t losses = 0;
        for (std::size_t i = 0; i < universe.size(); ++i) {
            const GeneratedInstrument& g = universe[i];
            const SectorSpec& spec = sectors::TABLE[i % 12];
            ASSERT_EQ(g.sector, spec.key);
            ASSERT_EQ(g.ticker, ticker_for(i));
            ASSERT_GE(g.initial_price, 3.0 * (1 - 1e-12));
            ASSERT_LT(g.initial_price, 600.0);
            double cap = g.initial_price * g.shares_outstanding;
            ASSERT_GE(cap, 2e8 * (1 - 1e-12));
            ASSERT_LT(cap, 2e12 * (1 + 1e-12));
            ASSERT_GE(g.avg_volume, 1000.0);
            ASSERT_GE(g.beta, 0.15);
            ASSERT_GE(g.short_interest, 0.004 * g.shares_outstanding * (1 - 1e-12));
            ASSERT_LE(g.short_interest, 0.3 * g.shares_outstanding * (1 + 1e-12));
            ASSERT_GT(g.book_value_per_share, 0.0);
            ASSERT_TRUE(std::isfinite(g.revenue_growth));
            ASSERT_NE(g.eps, 0.0);
            if (g.eps < 0.0) {
                ++losses;
                // Losses run from 1% to 9% of the price.
                ASSERT_LE(-g.eps, 0.09 * g.initial_price * (1 + 1e-12));
            } else {
                // Earnings yields between the sector's anchor multiple x 0.55 and x 1.6.
                double pe = g.initial_price / g.eps;
                ASSERT_GE(pe, 0.55 * spec.anchor_pe * (1 - 1e-12));
                ASSERT_LE(pe, 1.6 * spec.anchor_pe * (1 + 1e-12));
            }
        }
        // About one name in nine.
        EXPECT_GT(losses, 150u);
        EXPECT_LT(losses, 300u);
    }
}

// The refusals and their messages are checked from the interpreter.
TEST(InstrumentCheck, AcceptsBoundaryValuesAndConvertsFromTheDescriptionAndTheSector) {
    InstrumentInit init;
    init.ticker = "XYZ";
    init.sector = "technology";
    init.initial_price = 50.0;
    init.shares_outstanding = 1e6;
    InstrumentInit edges = init;
    edges.avg_volume = -0.0;
    edges.beta = 0.0;
    // Short interest under one share reads as a fraction from a thousand shares up.
    using C = std::tuple<double, double, bool>;
    for (auto [shares, short_interest, ok] :
         {C{1000, 0.5, false}, C{999, 0.5, true}, C{1000, 1, true}, C{1e6, 1, true},
          C{1000, 0, true}, C{1e9, 0.999, false}}) {
        edges.shares_outstanding = shares;
        edges.short_interest = short_interest;
        EXPECT_EQ(check_instrument(edges).ok(), ok) << shares << " " << short_interest;
    }
    for (const auto& g : random_universe(300, 11)) ASSERT_TRUE(check_instrument(g.to_init()));

    init.eps = 2.0;
    init.short_interest = 25000.0;
    auto company = init.to_tick_company(7);
    ASSERT_TRUE(company);
    TickCompany expected;
    expected.beta = 1.0;
    expected.price = expected.previous_close = expected.open = expected.high = expected.low = 50.0;
    expected.avg_volume = 1000000.0;
    expected.shares_outstanding = expected.float_shares = 1e6;
    expected.market_cap = 5e7;
    expected.garch_variance = 0.025 * 0.025;
    expected.variance_components.fill(0.025 * 0.025);
    expected.short_interest = 25000.0;
    expected.sector_volatility = 1.2;
    expected.sector_anchor_pe = 32.0;
    expected.eps = 2.0;
    expected.company_id = "XYZ-7";
    expected.name = "XYZ";
    expected.sector = "technology";
    EXPECT_EQ(*company, expected);

    init.sector = "nowhere";
    EXPECT_FALSE(init.to_tick_company(0));
}

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
    return std::ranges::all_of(
        MODEL_FIELDS, [&](const FieldInfo& f) { return bits(a.*f.member) == bits(b.*f.member); });
}

// Each preset's digest is pinned as computed outside this code base from the
// published coefficient tables: a mistyped value in any preset changes it.
TEST(ModelPresets, DigestsMatchThePublishedCoefficientsAndTheDefaultIsKxV14) {
    for (std::string_view name : SHIPPED_PRESETS) {
        ModelParams model = preset_or_die(name);
        EXPECT_GOLDEN("preset_digest_" + std::string(name), model.digest()) << name;
        EXPECT_EQ(model.fingerprint(), name);
    }
    // The default is kx-v14, and so are the record's own defaults.
    EXPECT_TRUE(bit_identical(preset_or_die(DEFAULT_PRESET), ModelParams::default_preset()));
    EXPECT_TRUE(bit_identical(preset_or_die("kx-v14"), ModelParams{}));
}

TEST(ModelOverride, DerivedValuesKeepInStepAndCustomModelsNameTheirDigest) {
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

    // Custom models name their digest.
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
