#include "core/economy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/macro.hpp"

// Cases name only the fields they vary and leave the rest at their defaults,
// which is what designated initializers are for here.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace corvane {
namespace {

TEST(InitialEconomy, DefaultsDeriveSpreadsAndConfidence) {
    // Its credit yield and sentiment are in the fixed simulation digest's zero-day pin.
    EconomyState state = create_initial_economy_state();
    EXPECT_EQ(state.mortgage_rate_30y, 6.0);
    EXPECT_EQ(state.consumer_confidence, 100.5);
    EXPECT_EQ(state.business_confidence, 100.5);
    EXPECT_EQ(state.recession_probability, 0.1);
    EXPECT_EQ(state.gdp_trend, (std::array<double, 4>{2.3, 2.4, 2.5, 2.6}));
    // The record's own defaults are the same state, field for field.
    EXPECT_EQ(state, EconomyState{});
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

}  // namespace
}  // namespace corvane
