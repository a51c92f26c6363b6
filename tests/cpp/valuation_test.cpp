#include <gtest/gtest.h>

#include <cmath>

#include "core/fair_value.hpp"
#include "core/maths.hpp"
#include "core/mispricing.hpp"

namespace corvane {
namespace {

TEST(FairValueEarnings, TechnologyAtZeroRateIsSixtySevenEightyFour) {
    auto value = fair_value(FairValueArgs{.eps = 2.0, .sector = "technology"});
    ASSERT_TRUE(value);
    EXPECT_EQ(value->rate_adjustment, 1.06);
    EXPECT_EQ(value->target_pe, 33.92);
    EXPECT_EQ(value->fair_value, 67.84);
    EXPECT_EQ(value->sector_anchor_pe, 32.0);
    EXPECT_EQ(value->qe_adjustment, 1.0);
    EXPECT_FALSE(value->book_value_path);
    EXPECT_EQ(to_text(*value),
              "FairValue(fair_value=67.8400, target_pe=33.9200, book_value_path=false)");
}

TEST(FairValueEarnings, HighRatesHitTheFloorAndGrowthLengthensDuration) {
    auto floored = fair_value(
        FairValueArgs{.eps = 1.0, .sector = "energy", .corporate_bond_yield = 0.5});
    ASSERT_TRUE(floored);
    // ((0.5 - 0.04) * -1.5) + 1 = 0.30999999999999994, raised to the floor.
    EXPECT_EQ(floored->rate_adjustment, 0.5);
    EXPECT_EQ(floored->fair_value, 5.0);

    // A yield of exactly zero is used, not replaced by the policy rate.
    auto zero_yield = fair_value(FairValueArgs{.eps = 1.0, .sector = "energy",
                                               .federal_funds_rate = 0.3,
                                               .corporate_bond_yield = 0.0});
    ASSERT_TRUE(zero_yield);
    EXPECT_EQ(zero_yield->rate_adjustment, 1.06);

    auto shrinking = fair_value(FairValueArgs{
        .eps = 1.0, .sector = "energy", .revenue_growth = -0.3, .federal_funds_rate = 0.1});
    auto flat = fair_value(
        FairValueArgs{.eps = 1.0, .sector = "energy", .federal_funds_rate = 0.1});
    auto growing = fair_value(FairValueArgs{
        .eps = 1.0, .sector = "energy", .revenue_growth = 0.22, .federal_funds_rate = 0.1});
    ASSERT_TRUE(shrinking && flat && growing);
    EXPECT_EQ(shrinking->rate_adjustment, flat->rate_adjustment);
    // The rate term grows by (0.22 + 0.22) + 1 = 1.44.
    EXPECT_NEAR(growing->rate_adjustment - 1.0, (flat->rate_adjustment - 1.0) * 1.44, 1e-15);

    auto boosted = fair_value(
        FairValueArgs{.eps = 2.0, .sector = "technology", .qe_pe_boost = 0.1});
    ASSERT_TRUE(boosted);
    EXPECT_EQ(boosted->qe_adjustment, 1.1);
    EXPECT_EQ(boosted->target_pe, (32.0 * 1.06) * 1.1);
}

TEST(FairValueBook, LossMakersAreValuedOffBookWithAFloor) {
    auto book = fair_value(FairValueArgs{
        .eps = -1.0, .sector = "energy", .book_value_per_share = 10.0});
    ASSERT_TRUE(book);
    EXPECT_EQ(book->fair_value, 12.0);
    EXPECT_EQ(book->target_pe, 0.0);
    EXPECT_EQ(book->sector_anchor_pe, 10.0);
    EXPECT_TRUE(book->book_value_path);
    EXPECT_EQ(to_text(*book),
              "FairValue(fair_value=12.0000, target_pe=0.0000, book_value_path=true)");

    auto bare = fair_value(FairValueArgs{.eps = -1.0, .sector = "energy"});
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->fair_value, 0.01);
    auto no_eps = fair_value(FairValueArgs{.sector = "energy", .book_value_per_share = -3.0});
    ASSERT_TRUE(no_eps);
    EXPECT_EQ(no_eps->fair_value, 0.01);
    EXPECT_TRUE(no_eps->book_value_path);
}

TEST(FairValueInputsCore, MissingAnchorFallsBackAndNanPropagates) {
    FairValue unanchored = fair_value(FairValueInputs{.eps = 1.0, .sector_anchor_pe = 0.0});
    EXPECT_EQ(unanchored.sector_anchor_pe, 18.0);
    FairValue nan_anchor = fair_value(FairValueInputs{.eps = 1.0, .sector_anchor_pe = NAN});
    EXPECT_EQ(nan_anchor.sector_anchor_pe, 18.0);
    FairValue nan_rate =
        fair_value(FairValueInputs{.eps = 1.0, .sector_anchor_pe = 10.0, .rate_pct = NAN});
    EXPECT_TRUE(std::isnan(nan_rate.rate_adjustment));
    EXPECT_TRUE(std::isnan(nan_rate.fair_value));
    EXPECT_EQ(to_text(nan_rate), "FairValue(fair_value=NaN, target_pe=NaN, book_value_path=false)");
}

TEST(FairValueBoundary, RefusalsInOrder) {
    struct Case {
        FairValueArgs args;
        const char* message;
    };
    const Case cases[] = {
        {{.eps = NAN, .sector = "Technology"},
         "unknown sector \"Technology\". Valid sectors: technology, financial_services, "
         "healthcare, energy, consumer_discretionary, consumer_staples, industrials, materials, "
         "real_estate, utilities, telecommunications, transportation"},
        {{.eps = INFINITY, .sector = "energy", .book_value_per_share = NAN},
         "eps must be finite, got inf"},
        {{.sector = "energy", .revenue_growth = NAN, .book_value_per_share = -INFINITY},
         "book_value_per_share must be finite, got -inf"},
        {{.sector = "energy", .revenue_growth = NAN, .qe_pe_boost = NAN},
         "revenue_growth must be finite, got NaN"},
        {{.sector = "energy", .federal_funds_rate = 9.0, .qe_pe_boost = INFINITY},
         "qe_pe_boost must be finite, got inf"},
        {{.sector = "energy", .federal_funds_rate = 5.2, .corporate_bond_yield = 1.0},
         "federal_funds_rate = 5.2 is outside the plausible range [-0.05, 0.5] - this looks like "
         "a percent value. Rates are FRACTIONAL here: pass 0.052000000000000005 for 5.2%."},
        {{.sector = "energy", .corporate_bond_yield = NAN}, "corporate_bond_yield is NaN"},
    };
    for (const Case& c : cases) {
        auto value = fair_value(c.args);
        ASSERT_FALSE(value);
        EXPECT_EQ(value.error(), c.message);
    }
}

TEST(MispricingModel, PersistenceIsASixtyDayHalfLife) {
    EXPECT_EQ(DAILY_PHI, maths::pow(0.5, 1.0 / 60.0));
}

TEST(MispricingModel, ConstructionCapsOnlyWithoutHistory) {
    auto capped = make_mispricing_state(2.0, std::nullopt);
    ASSERT_TRUE(capped);
    EXPECT_EQ(*capped, (MispricingState{0.9, 0.9}));
    auto given = make_mispricing_state(2.0, 0.0);
    ASSERT_TRUE(given);
    EXPECT_EQ(*given, (MispricingState{2.0, 0.0}));
    EXPECT_EQ(make_mispricing_state(NAN, 0.0).error(), "s must be finite, got NaN");
    EXPECT_EQ(make_mispricing_state(0.0, -INFINITY).error(), "s_prev must be finite, got -inf");
    EXPECT_EQ(to_text(MispricingState{0.5, -0.25}), "MispricingState(s=0.5, s_prev=-0.25)");
    EXPECT_EQ(to_text(MispricingState{}), "MispricingState(s=0, s_prev=0)");
}

TEST(MispricingModel, StepCapsTheShockButNotTheInnovation) {
    MispricingState rest{0.0, 0.0};
    auto shocked = step_mispricing_daily(rest, 0.0, 1.0);
    ASSERT_TRUE(shocked);
    EXPECT_EQ(shocked->s, 0.15);
    EXPECT_EQ(shocked->s_prev, 0.0);
    auto pushed = step_mispricing_daily(rest, 1.0, 0.0);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(pushed->s, 0.9);
    auto pulled = step_mispricing_daily(rest, -0.5, -1.0);
    ASSERT_TRUE(pulled);
    EXPECT_EQ(pulled->s, -0.5 + 0.0 + -0.15);

    MispricingState moving{0.2, 0.1};
    auto next = step_mispricing_daily(moving, 0.01, 0.02);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->s, 0.01 + (DAILY_PHI * 0.2 + (0.2 - 0.1) * 0.25) + 0.02);
    EXPECT_EQ(next->s_prev, 0.2);

    EXPECT_EQ(step_mispricing_daily(rest, NAN, NAN).error(), "innovation must be finite, got NaN");
    EXPECT_EQ(step_mispricing_daily(rest, 0.0, INFINITY).error(), "shock must be finite, got inf");
}

TEST(MispricingModel, ApplyFloorsThePriceAndPropagatesNan) {
    EXPECT_EQ(apply_mispricing(100.0, 0.0), 100.0);
    EXPECT_EQ(apply_mispricing(100.0, 5.0), apply_mispricing(100.0, 0.9));
    EXPECT_EQ(apply_mispricing(100.0, 0.9), 100.0 * maths::exp(0.9));
    EXPECT_EQ(apply_mispricing(-5.0, 0.0), 0.01);
    EXPECT_EQ(apply_mispricing(0.001, 0.0), 0.01);
    EXPECT_TRUE(std::isnan(apply_mispricing(NAN, 0.0)));
    EXPECT_TRUE(std::isnan(apply_mispricing(10.0, NAN)));
}

TEST(MispricingAnalysis, ImpulseResponseKnownAnswers) {
    auto response = impulse_response(3);
    ASSERT_TRUE(response);
    EXPECT_EQ(*response, (std::vector<double>{1.0, 1.2385140203528962, 1.2839169786106939,
                                              1.2805206738902497}));
    EXPECT_EQ(*impulse_response(0), std::vector<double>{1.0});
    EXPECT_EQ(impulse_response(-1).error(), "horizon_days must be >= 0, got -1");
    // A pure AR(1): phi^k.
    auto ar1 = impulse_response(2, 0.5, 0.0);
    ASSERT_TRUE(ar1);
    EXPECT_EQ(*ar1, (std::vector<double>{1.0, 0.5, 0.25}));
    // Stationary: it dies out eventually.
    EXPECT_LT(std::fabs(impulse_response(2000)->back()), 1e-9);
}

TEST(MispricingAnalysis, RootModuli) {
    auto [big, small] = characteristic_root_moduli();
    EXPECT_EQ(big, 0.9846051245176521);
    EXPECT_EQ(small, 0.253908895835244);
    auto complex = characteristic_root_moduli(0.5, 0.5);
    EXPECT_EQ(complex.first, std::sqrt(0.5));
    EXPECT_EQ(complex.second, std::sqrt(0.5));
    // A negative sum still reports the larger modulus first.
    auto negative = characteristic_root_moduli(-1.5, 0.1);
    EXPECT_GT(negative.first, negative.second);
    auto crowd = crowd_adjusted_root_moduli();
    EXPECT_EQ(crowd.first, 0.9758250905200969);
    EXPECT_EQ(crowd.second, 0.2766889298327992);
}

TEST(MispricingAnalysis, StationarySigma) {
    EXPECT_EQ(stationary_sigma(1.0)->value(), 7.636077151465644);
    EXPECT_EQ(stationary_sigma(0.0)->value(), 0.0);
    EXPECT_EQ(stationary_sigma(-0.0)->value(), 0.0);
    EXPECT_FALSE(stationary_sigma(1.0, 1.0, 0.0)->has_value());
    EXPECT_FALSE(stationary_sigma(1e200)->has_value());
    EXPECT_FALSE(stationary_sigma(1.0, 1.2, 0.25)->has_value());
    EXPECT_FALSE(stationary_sigma(1.0, NAN, 0.25)->has_value());
    for (double bad : {-1.0, double(NAN), double(INFINITY)}) {
        auto sigma = stationary_sigma(bad);
        ASSERT_FALSE(sigma);
        EXPECT_EQ(sigma.error().rfind("innovation_sigma must be finite and not negative, got ", 0),
                  0u);
    }
    EXPECT_EQ(stationary_sigma(-1.0).error(),
              "innovation_sigma must be finite and not negative, got -1");
}

}  // namespace
}  // namespace corvane
