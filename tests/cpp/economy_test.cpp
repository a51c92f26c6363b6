#include "core/economy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/fair_value.hpp"
#include "core/macro.hpp"
#include "core/mispricing.hpp"
#include "core/text.hpp"

// Cases name only the fields they vary and leave the rest at their defaults,
// which is what designated initializers are for here.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvane {
namespace {

TEST(InitialEconomy, DefaultsDeriveSpreadsAndConfidence) {
    // The record's own defaults, which the header states, are the derived
    // state field for field; its credit yield and sentiment are also in the
    // fixed simulation digest's zero-day pin.
    EXPECT_EQ(create_initial_economy_state(), EconomyState{});
    // Confidence is held to [40, 130]: 100 + 50 - 12 capped, 100 - 50 - 15 floored.
    EXPECT_EQ(create_initial_economy_state({.gdp_growth = 10.0}).consumer_confidence, 130.0);
    EXPECT_EQ(create_initial_economy_state({.gdp_growth = -10.0, .unemployment_rate = 5.0})
                  .business_confidence,
              40.0);
}

TEST(InitialEconomy, PhaseSetsVixSentimentAndRecessionOdds) {
    struct Case {
        CyclePhase phase;
        double vix, fear_greed, recession, credit;
    };
    for (const Case& c : {Case{CyclePhase::peak, 18.0, 55.0, 0.1, 4.62},
                          Case{CyclePhase::contraction, 25.0, 30.0, 0.5, 4.76},
                          Case{CyclePhase::trough, 30.0, 25.0, 0.3, 4.86},
                          Case{CyclePhase::recovery, 15.0, 55.0, 0.1, 4.5600000000000005}}) {
        SCOPED_TRACE(std::string(name_of(c.phase)));
        EconomyState state = create_initial_economy_state({.cycle_phase = c.phase});
        EXPECT_EQ(state.cycle_phase, c.phase);
        EXPECT_EQ(state.vix, c.vix);
        EXPECT_EQ(state.fear_greed_index, c.fear_greed);
        EXPECT_EQ(state.recession_probability, c.recession);
        EXPECT_DOUBLE_EQ(state.corporate_bond_yield, c.credit);
        // The mortgage floor of 6% binds for every shipped phase.
        EXPECT_EQ(state.mortgage_rate_30y, 6.0);
    }
}

TEST(EconomyNames, ExactCaseSensitiveRoundTrip) {
    for (std::string_view name : CYCLE_PHASE_NAMES) {
        EXPECT_EQ(name_of(*cycle_phase_from_name(name)), name);
    }
    for (std::string_view name : FORWARD_GUIDANCE_NAMES) {
        EXPECT_EQ(name_of(*forward_guidance_from_name(name)), name);
    }
    for (std::string_view bad : {"Expansion", "expansion ", "", "as-appropriate"}) {
        EXPECT_FALSE(cycle_phase_from_name(bad));
        EXPECT_FALSE(forward_guidance_from_name(bad));
    }
}

TEST(MacroOverlay, TheDescriptionOverlaysTheExpansionBase) {
    // The description's sentiment (50) wins over the phase table's 60; nothing
    // else moves, the 4.56 credit yield included.
    EconomyState expected = create_initial_economy_state();
    expected.fear_greed_index = 50.0;
    EXPECT_EQ(economy_from(std::nullopt), expected);
    EXPECT_EQ(economy_from(Macro{}), expected);
    // Phase-dependent values (recession odds, the yield's spread, core
    // inflation) stay those of expansion whatever the phase and VIX given.
    auto macro = make_macro({.vix = 30.0, .cycle = "contraction"});
    ASSERT_TRUE(macro);
    expected.cycle_phase = CyclePhase::contraction;
    expected.vix = 30.0;
    EXPECT_EQ(economy_from(*macro), expected);
}

TEST(MacroOverlay, ReadBackDividesByOneHundred) {
    Macro back = macro_from(economy_from(Macro{}));
    ASSERT_TRUE(back.corporate_bond_yield);
    EXPECT_EQ(*back.corporate_bond_yield, 0.0456);
    EXPECT_EQ(back.federal_funds_rate, 0.025);
    EXPECT_EQ(back.inflation_rate, 0.02);
    EXPECT_EQ(back.cycle, CyclePhase::expansion);
    // A given yield crosses in and back out unchanged.
    auto macro = make_macro({.corporate_bond_yield = 0.052});
    ASSERT_TRUE(macro);
    EXPECT_EQ(economy_from(*macro).corporate_bond_yield, 0.052 * 100.0);
}

// The pin's refusals and their order are checked from the interpreter; here,
// that it writes only what it is given.
TEST(MacroPinning, WritesOnlyGivenFields) {
    EconomyState base = economy_from(Macro{});
    base.months_in_current_phase = 7.0;

    EconomyState untouched = base;
    apply_macro_pin(untouched, *check_macro_pin({}));
    EXPECT_EQ(untouched, base);

    EconomyState troughed = base;
    apply_macro_pin(troughed, *check_macro_pin({.cycle = "trough"}));
    EconomyState expected = base;
    expected.cycle_phase = CyclePhase::trough;
    EXPECT_EQ(troughed, expected);

    auto rates = check_macro_pin(
        {.vix = 40.0, .federal_funds_rate = 0.05, .corporate_bond_yield = 0.0, .qe_pe_boost = 0.1});
    ASSERT_TRUE(rates);
    EconomyState pinned = base;
    apply_macro_pin(pinned, *rates);
    // Nothing else moves: not the prime rate with the policy rate, nor the
    // spreads with the VIX, nor the phase clock.
    expected = base;
    expected.vix = 40.0;
    expected.federal_funds_rate = 5.0;
    expected.corporate_bond_yield = 0.0;
    expected.qe_pe_boost = 0.1;
    EXPECT_EQ(pinned, expected);
    // The validated pin keeps the values as passed, for the order log.
    EXPECT_EQ(rates->federal_funds_rate, 0.05);
}

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

// The everyday forms (5, 0.05, -0, NaN, inf, -inf, Some(10.0), None, a quoted
// name with quotes and backslashes) are read word for word in the
// interpreter's messages and reprs; here, the edges those never reach.
TEST(NumberText, ShortestRoundTripWithoutExponentAndNonFiniteWords) {
    EXPECT_EQ(text::number(0.0000001), "0.0000001");
    EXPECT_EQ(text::number(1e22), "10000000000000000000000");
    EXPECT_EQ(text::number(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(text::number(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(text::number(std::numeric_limits<double>::max()).size(), 309u);
    EXPECT_EQ(text::number(-std::nan("")), "NaN");
}

TEST(NumberText, DebugFormKeepsAFraction) {
    EXPECT_EQ(text::debug_number(-0.0), "-0.0");
    EXPECT_EQ(text::debug_number(0.25), "0.25");
    EXPECT_EQ(text::debug_number(INFINITY), "inf");
}

TEST(QuotedText, EscapesControlsAndKeepsUtf8) {
    EXPECT_EQ(text::quoted("\n\t\x01"), "\"\\n\\t\\u{1}\"");
    EXPECT_EQ(text::quoted("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
}

}  // namespace
}  // namespace corvane
