#include "core/economy.hpp"

namespace corvane {
namespace {

// Comparison-based bounds: a NaN fails every comparison and so passes through.
double at_least(double value, double floor) { return value < floor ? floor : value; }
double at_most(double value, double ceiling) { return value > ceiling ? ceiling : value; }
double clamp(double value, double low, double high) { return at_most(at_least(value, low), high); }

constexpr std::array<double, 5> VIX_BY_PHASE = {15.0, 18.0, 25.0, 30.0, 15.0};
constexpr std::array<double, 5> FEAR_GREED_BY_PHASE = {60.0, 55.0, 30.0, 25.0, 55.0};

// VIX level at which both spreads sit at their calm-market base.
constexpr double CALM_VIX = 12.0;

}  // namespace

std::optional<CyclePhase> cycle_phase_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < CYCLE_PHASE_NAMES.size(); ++i) {
        if (CYCLE_PHASE_NAMES[i] == name) return static_cast<CyclePhase>(i);
    }
    return std::nullopt;
}

std::optional<ForwardGuidance> forward_guidance_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < FORWARD_GUIDANCE_NAMES.size(); ++i) {
        if (FORWARD_GUIDANCE_NAMES[i] == name) return static_cast<ForwardGuidance>(i);
    }
    return std::nullopt;
}

EconomyState create_initial_economy_state(const EconomyInit& init) {
    CyclePhase phase = init.cycle_phase.value_or(CyclePhase::expansion);
    double growth = init.gdp_growth.value_or(2.5);
    double unemployment = init.unemployment_rate.value_or(4.0);
    double inflation = init.inflation_rate.value_or(2.0);
    auto p = static_cast<std::size_t>(phase);

    EconomyState state;
    state.vix = VIX_BY_PHASE[p];
    state.fear_greed_index = FEAR_GREED_BY_PHASE[p];
    state.recession_probability = phase == CyclePhase::contraction ? 0.5
                                  : phase == CyclePhase::trough    ? 0.3
                                                                   : 0.1;

    double confidence = clamp((100.0 + 5.0 * growth) - 3.0 * unemployment, 40.0, 130.0);
    state.consumer_confidence = confidence;
    state.business_confidence = confidence;

    // Mortgage and credit spreads widen with the VIX above its calm level.
    double excess = state.vix - CALM_VIX;
    double mortgage_spread = clamp(0.015 * excess + 1.5, 1.5, 2.8);
    state.mortgage_rate_30y = at_most(at_least(mortgage_spread + 3.5, 6.0), 7.0);
    double credit_spread = clamp(excess * 0.02 + 1.0, 0.8, 3.5);
    state.corporate_bond_yield = at_least(credit_spread + 3.5, 4.3);

    state.gdp_growth = growth;
    state.gdp_trend = {growth + (-0.2), growth + (-0.1), growth, 0.1 + growth};
    state.unemployment_rate = unemployment;
    state.inflation_rate = inflation;
    state.core_inflation = inflation;
    state.cycle_phase = phase;
    return state;
}

}  // namespace corvane
