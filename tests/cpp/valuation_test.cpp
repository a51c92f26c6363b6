#include <gtest/gtest.h>

#include <cmath>

#include "core/fair_value.hpp"
#include "core/mispricing.hpp"

// Cases name only the fields they vary and leave the rest at their defaults,
// which is what designated initializers are for here.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvane {
namespace {

// Refusals, a zero yield, the QE term, the mispricing state's cap and single
// steps are checked value for value from the interpreter, which calls
// straight through to these functions.

FairValue value_of(const FairValueArgs& args) {
    auto value = fair_value(args);
    EXPECT_TRUE(value) << value.error();
    return value ? *value : FairValue{};
}

TEST(FairValueEarnings, KnownAnswersAndOnlyPositiveGrowthLengthensRateSensitivity) {
    FairValue tech = value_of({.eps = 2.0, .sector = "technology"});
    EXPECT_EQ(tech, (FairValue{67.84, 33.92, 32.0, 1.06, 1.0, false}));
    // ((0.5 - 0.04) * -1.5) + 1 = 0.30999999999999994, raised to the floor.
    FairValue floored = value_of({.eps = 1.0, .sector = "energy", .corporate_bond_yield = 0.5});
    EXPECT_EQ(floored.rate_adjustment, 0.5);
    EXPECT_EQ(floored.fair_value, 5.0);

    FairValue flat = value_of({.eps = 1.0, .sector = "energy", .federal_funds_rate = 0.1});
    FairValue shrinking = value_of(
        {.eps = 1.0, .sector = "energy", .revenue_growth = -0.3, .federal_funds_rate = 0.1});
    FairValue growing = value_of(
        {.eps = 1.0, .sector = "energy", .revenue_growth = 0.22, .federal_funds_rate = 0.1});
    EXPECT_EQ(shrinking.rate_adjustment, flat.rate_adjustment);
    // The rate term grows by (0.22 + 0.22) + 1 = 1.44.
    EXPECT_NEAR(growing.rate_adjustment - 1.0, (flat.rate_adjustment - 1.0) * 1.44, 1e-15);
}

TEST(FairValueBook, LossMakersOffBookWithAFloorMissingAnchorsAndNan) {
    FairValue book = value_of({.eps = -1.0, .sector = "energy", .book_value_per_share = 10.0});
    EXPECT_EQ(book, (FairValue{12.0, 0.0, 10.0, 1.0, 1.0, true}));
    EXPECT_EQ(value_of({.eps = -1.0, .sector = "energy"}).fair_value, 0.01);
    EXPECT_EQ(value_of({.sector = "energy", .book_value_per_share = -3.0}).fair_value, 0.01);

    EXPECT_EQ(fair_value(FairValueInputs{.eps = 1.0, .sector_anchor_pe = 0.0}).sector_anchor_pe,
              18.0);
    EXPECT_EQ(fair_value(FairValueInputs{.eps = 1.0, .sector_anchor_pe = NAN}).sector_anchor_pe,
              18.0);
    FairValue nan_rate =
        fair_value(FairValueInputs{.eps = 1.0, .sector_anchor_pe = 10.0, .rate_pct = NAN});
    EXPECT_TRUE(std::isnan(nan_rate.rate_adjustment));
    EXPECT_EQ(to_text(nan_rate), "FairValue(fair_value=NaN, target_pe=NaN, book_value_path=false)");

    // Tiny positive earnings take the multiple, 20 x eps: the floor of 0.01 for a
    // trace of earnings, 1.0 for 0.05; none is 1.2 x book.
    FairValueInputs inputs{.sector_anchor_pe = 20.0, .rate_pct = 4.0, .book_value_per_share = 50.0};
    for (auto [eps, fair] : {std::pair{1e-300, 0.01}, std::pair{0.05, 1.0}}) {
        inputs.eps = eps;
        FairValue value = fair_value(inputs);
        EXPECT_FALSE(value.book_value_path);
        EXPECT_EQ(value.target_pe, 20.0);
        EXPECT_EQ(value.fair_value, fair);
    }
    inputs.eps = 0.0;
    EXPECT_EQ(fair_value(inputs).fair_value, 60.0);
}

TEST(MispricingModel, StateStepAndApplyCapsFloorsAndNan) {
    MispricingState rest{0.0, 0.0};
    EXPECT_EQ(*step_mispricing_daily(rest, -0.5, -1.0), (MispricingState{-0.65, 0.0}));
    // Momentum: yesterday's rise carries on with weight 0.25.
    MispricingState rising{0.2, 0.1};
    EXPECT_GT(step_mispricing_daily(rising, 0.0, 0.0)->s, 0.2);
    EXPECT_EQ(step_mispricing_daily(rising, 0.0, 0.0)->s_prev, 0.2);

    EXPECT_EQ(apply_mispricing(100.0, 0.0), 100.0);
    EXPECT_EQ(apply_mispricing(100.0, 5.0), apply_mispricing(100.0, 0.9));
    EXPECT_EQ(apply_mispricing(-5.0, 0.0), 0.01);
    EXPECT_EQ(apply_mispricing(0.001, 0.0), 0.01);
    EXPECT_TRUE(std::isnan(apply_mispricing(NAN, 0.0)));
    EXPECT_TRUE(std::isnan(apply_mispricing(10.0, NAN)));
}

TEST(MispricingAnalysis, ImpulseResponseKnownAnswers) {
    EXPECT_EQ(*impulse_response(3), (std::vector<double>{1.0, 1.2385140203528962,
                                                         1.2839169786106939, 1.2805206738902497}));
    EXPECT_EQ(*impulse_response(0), std::vector<double>{1.0});
    EXPECT_LT(std::fabs(impulse_response(2000)->back()), 1e-9);
}

TEST(MispricingAnalysis, RootModuliAndStationarySigma) {
    EXPECT_EQ(characteristic_root_moduli(), std::pair(0.9846051245176521, 0.253908895835244));
    // A negative sum still reports the larger modulus first.
    auto negative = characteristic_root_moduli(-1.5, 0.1);
    EXPECT_GT(negative.first, negative.second);
    EXPECT_EQ(crowd_adjusted_root_moduli(), std::pair(0.9758250905200969, 0.2766889298327992));

    EXPECT_EQ(stationary_sigma(1.0)->value(), 7.636077151465644);
    EXPECT_EQ(stationary_sigma(-0.0)->value(), 0.0);
    // Not stationary, or not representable: nothing rather than a huge number.
    EXPECT_FALSE(stationary_sigma(1.0, 1.2, 0.25)->has_value());
    EXPECT_FALSE(stationary_sigma(1.0, NAN, 0.25)->has_value());
    EXPECT_FALSE(stationary_sigma(1e200)->has_value());
}

}  // namespace
}  // namespace corvane
