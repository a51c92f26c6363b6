// The caller's side of the economy: a macro description with FRACTIONAL
// rates, and pins that overwrite series of a running economy.
//
// These are the only places rates change units: into the economy they are
// multiplied by 100.0, out of it divided by 100.0. Only the three rate series
// convert; vix, qe_pe_boost and fear_greed_index cross unchanged.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/economy.hpp"
#include "core/result.hpp"

namespace corvane {

// A validated macro description; rates fractional, as the caller gave them.
struct Macro {
    double vix = 15.0;
    double federal_funds_rate = 0.025;
    std::optional<double> corporate_bond_yield;
    double inflation_rate = 0.02;
    double qe_pe_boost = 0.0;
    double fear_greed_index = 50.0;
    CyclePhase cycle = CyclePhase::expansion;

    bool operator==(const Macro&) const = default;
};

// A macro description as the caller writes it, cycle by name.
struct MacroArgs {
    double vix = 15.0;
    double federal_funds_rate = 0.025;
    std::optional<double> corporate_bond_yield;
    double inflation_rate = 0.02;
    double qe_pe_boost = 0.0;
    double fear_greed_index = 50.0;
    std::string_view cycle = "expansion";
};

// Checks in order: cycle name, the rates, then finiteness; first failure wins.
Result<Macro> make_macro(const MacroArgs& args);

// Macro(vix=15, federal_funds_rate=0.025, cycle="expansion")
std::string to_text(const Macro& macro);

// An engine's starting economy: the expansion base with no overrides, then
// the description's fields laid over it. Nothing else is recomputed, so the
// spreads and the recession probability stay those of expansion.
EconomyState economy_from(const std::optional<Macro>& macro);

// The live economy read back as a description; no validation on the way out.
Macro macro_from(const EconomyState& economy);

// Series to overwrite in a running economy, as the caller gives them.
struct MacroPinArgs {
    std::optional<double> vix;
    std::optional<double> federal_funds_rate;
    std::optional<double> corporate_bond_yield;
    std::optional<double> inflation_rate;
    std::optional<double> qe_pe_boost;
    std::optional<double> fear_greed_index;
    std::optional<std::string_view> cycle;
};

// A validated pin; rates still fractional, as passed (the order log keeps them so).
struct MacroPin {
    std::optional<double> vix;
    std::optional<double> federal_funds_rate;
    std::optional<double> corporate_bond_yield;
    std::optional<double> inflation_rate;
    std::optional<double> qe_pe_boost;
    std::optional<double> fear_greed_index;
    std::optional<CyclePhase> cycle;

    bool operator==(const MacroPin&) const = default;
};

// Checks only the given fields: rates, then finiteness, then the cycle name.
Result<MacroPin> check_macro_pin(const MacroPinArgs& args);

// Writes only the given fields; nothing is derived from them.
void apply_macro_pin(EconomyState& economy, const MacroPin& pin) noexcept;

// "unknown cycle \"Expansion\". Valid: expansion, peak, ..."
std::string unknown_cycle_message(std::string_view name);

}  // namespace corvane
