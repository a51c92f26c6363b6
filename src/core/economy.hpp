// The macro economy the price model reads and the daily macro step evolves.
//
// Every rate in here is in PERCENT (2.5 means 2.5%). Callers speak fractions;
// the conversion happens only where a `Macro` or a pin crosses into the
// economy and where the state is read back out (macro.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

namespace corvane {

enum class CyclePhase : std::uint8_t {
    expansion = 0,
    peak = 1,
    contraction = 2,
    trough = 3,
    recovery = 4,
};
inline constexpr std::array<std::string_view, 5> CYCLE_PHASE_NAMES = {
    "expansion", "peak", "contraction", "trough", "recovery"};

enum class ForwardGuidance : std::uint8_t {
    ongoing_increases = 0,
    accommodative = 1,
    as_appropriate = 2,
};
inline constexpr std::array<std::string_view, 3> FORWARD_GUIDANCE_NAMES = {
    "ongoing_increases", "accommodative", "as_appropriate"};

// Exact, case-sensitive; nothing for any other text.
std::optional<CyclePhase> cycle_phase_from_name(std::string_view name) noexcept;
std::optional<ForwardGuidance> forward_guidance_from_name(std::string_view name) noexcept;

inline std::string_view name_of(CyclePhase phase) noexcept {
    return CYCLE_PHASE_NAMES[static_cast<std::size_t>(phase)];
}
inline std::string_view name_of(ForwardGuidance guidance) noexcept {
    return FORWARD_GUIDANCE_NAMES[static_cast<std::size_t>(guidance)];
}

// Defaults are the initial state with no overrides. Field order is the
// canonical order snapshots use; `visit_fields` walks it.
struct EconomyState {
    double federal_funds_rate = 2.5;
    double prime_rate = 5.5;
    double corporate_bond_yield = 4.5600000000000005;
    double treasury_yield_10y = 3.5;
    double treasury_yield_2y = 2.8;
    double mortgage_rate_30y = 6.0;
    double cpi = 100.0;
    double inflation_rate = 2.0;
    double core_inflation = 2.0;
    double gdp_growth = 2.5;
    double gdp = 25000.0;
    double unemployment_rate = 4.0;
    double jobs_created = 200000.0;
    double labor_force_participation = 62.5;
    double usd_index = 100.0;
    double oil_price = 75.0;
    double gold_price = 1900.0;
    double copper_price = 4.0;
    double housing_index = 100.0;
    double home_starts_monthly = 1500000.0;
    double housing_transaction_volume = 100.0;
    double long_term_unemployment_rate = 1.5;
    double structural_unemployment = 4.5;
    double consumer_confidence = 100.5;
    double business_confidence = 100.5;
    double fear_greed_index = 60.0;
    double vix = 15.0;
    double tariff_rate = 5.0;
    double trade_balance = -50.0;
    double oil_inventory_level = 50.0;
    std::uint64_t oil_last_opec_day = 0;
    double wage_growth = 3.0;
    double previous_day_market_return = 0.0;
    double rolling_market_return_30d = 0.0;
    std::optional<double> market_pe = 18.0;
    double qe_pe_boost = 0.0;
    double fiscal_stimulus = 0.0;
    double government_debt_to_gdp = 100.0;
    double months_in_current_phase = 0.0;
    double recession_probability = 0.1;
    // Oldest first.
    std::array<double, 4> gdp_trend = {2.3, 2.4, 2.5, 2.6};
    CyclePhase cycle_phase = CyclePhase::expansion;

    bool operator==(const EconomyState&) const = default;
};

// Calls `visit(name, field)` for every field in canonical order, so that
// snapshots, restores and digests cannot drift from the record.
template <class State, class Visitor>
requires std::is_same_v<std::remove_const_t<State>, EconomyState>
void visit_fields(State& s, Visitor&& visit) {
    visit("federal_funds_rate", s.federal_funds_rate);
    visit("prime_rate", s.prime_rate);
    visit("corporate_bond_yield", s.corporate_bond_yield);
    visit("treasury_yield_10y", s.treasury_yield_10y);
    visit("treasury_yield_2y", s.treasury_yield_2y);
    visit("mortgage_rate_30y", s.mortgage_rate_30y);
    visit("cpi", s.cpi);
    visit("inflation_rate", s.inflation_rate);
    visit("core_inflation", s.core_inflation);
    visit("gdp_growth", s.gdp_growth);
    visit("gdp", s.gdp);
    visit("unemployment_rate", s.unemployment_rate);
    visit("jobs_created", s.jobs_created);
    visit("labor_force_participation", s.labor_force_participation);
    visit("usd_index", s.usd_index);
    visit("oil_price", s.oil_price);
    visit("gold_price", s.gold_price);
    visit("copper_price", s.copper_price);
    visit("housing_index", s.housing_index);
    visit("home_starts_monthly", s.home_starts_monthly);
    visit("housing_transaction_volume", s.housing_transaction_volume);
    visit("long_term_unemployment_rate", s.long_term_unemployment_rate);
    visit("structural_unemployment", s.structural_unemployment);
    visit("consumer_confidence", s.consumer_confidence);
    visit("business_confidence", s.business_confidence);
    visit("fear_greed_index", s.fear_greed_index);
    visit("vix", s.vix);
    visit("tariff_rate", s.tariff_rate);
    visit("trade_balance", s.trade_balance);
    visit("oil_inventory_level", s.oil_inventory_level);
    visit("oil_last_opec_day", s.oil_last_opec_day);
    visit("wage_growth", s.wage_growth);
    visit("previous_day_market_return", s.previous_day_market_return);
    visit("rolling_market_return_30d", s.rolling_market_return_30d);
    visit("market_pe", s.market_pe);
    visit("qe_pe_boost", s.qe_pe_boost);
    visit("fiscal_stimulus", s.fiscal_stimulus);
    visit("government_debt_to_gdp", s.government_debt_to_gdp);
    visit("months_in_current_phase", s.months_in_current_phase);
    visit("recession_probability", s.recession_probability);
    visit("gdp_trend", s.gdp_trend);
    visit("cycle_phase", s.cycle_phase);
}

struct CentralBank {
    // Minutes of simulated time.
    std::uint64_t last_meeting_date = 0;
    std::uint64_t next_meeting_date = 45 * 1440;
    double target_inflation = 2.0;
    double target_unemployment = 4.0;
    double qe_monthly_purchases = 0.0;
    double hawkish_dovish_score = 0.0;
    ForwardGuidance forward_guidance = ForwardGuidance::as_appropriate;
    bool qe_active = false;

    bool operator==(const CentralBank&) const = default;
};

// Overrides for the initial state; rates in percent.
struct EconomyInit {
    std::optional<double> inflation_rate;
    std::optional<double> gdp_growth;
    std::optional<double> unemployment_rate;
    std::optional<CyclePhase> cycle_phase;
};

// The starting economy. Pure; draws nothing.
EconomyState create_initial_economy_state(const EconomyInit& init = {});

}  // namespace corvane
