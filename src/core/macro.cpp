#include "core/macro.hpp"

#include <cmath>

#include "core/text.hpp"
#include "core/units.hpp"

namespace corvane {
namespace {

constexpr double PERCENT_PER_FRACTION = 100.0;

Status check_finite(std::string_view name, double value) {
    if (std::isfinite(value)) return Status::success();
    return Error{text::message(name, " must be finite, got ", value)};
}

Status check_rate(std::string_view name, double value) {
    auto checked = units::check_rate(name, value);
    if (!checked) return Error{checked.error()};
    return Status::success();
}

template <class Check>
Status check_given(Check check, std::string_view name, const std::optional<double>& value) {
    return value ? check(name, *value) : Status::success();
}

}  // namespace

std::string unknown_cycle_message(std::string_view name) {
    return text::message("unknown cycle ", text::quoted(name),
                         ". Valid: ", text::join(CYCLE_PHASE_NAMES));
}

Result<Macro> make_macro(const MacroArgs& args) {
    auto cycle = cycle_phase_from_name(args.cycle);
    if (!cycle) return Error{unknown_cycle_message(args.cycle)};
    for (const Status& status : {
             check_rate("federal_funds_rate", args.federal_funds_rate),
             check_rate("inflation_rate", args.inflation_rate),
             check_given(check_rate, "corporate_bond_yield", args.corporate_bond_yield),
             check_finite("vix", args.vix),
             check_finite("qe_pe_boost", args.qe_pe_boost),
             check_finite("fear_greed_index", args.fear_greed_index),
         }) {
        if (!status) return Error{status.error()};
    }
    return Macro{args.vix,
                 args.federal_funds_rate,
                 args.corporate_bond_yield,
                 args.inflation_rate,
                 args.qe_pe_boost,
                 args.fear_greed_index,
                 *cycle};
}

std::string to_text(const Macro& macro) {
    return text::message("Macro(vix=", macro.vix, ", federal_funds_rate=", macro.federal_funds_rate,
                         ", cycle=", text::quoted(name_of(macro.cycle)), ")");
}

EconomyState economy_from(const std::optional<Macro>& macro) {
    const Macro given = macro.value_or(Macro{});
    EconomyState state = create_initial_economy_state();
    state.vix = given.vix;
    state.federal_funds_rate = given.federal_funds_rate * PERCENT_PER_FRACTION;
    state.inflation_rate = given.inflation_rate * PERCENT_PER_FRACTION;
    if (given.corporate_bond_yield) {
        state.corporate_bond_yield = *given.corporate_bond_yield * PERCENT_PER_FRACTION;
    }
    state.qe_pe_boost = given.qe_pe_boost;
    state.fear_greed_index = given.fear_greed_index;
    state.cycle_phase = given.cycle;
    return state;
}

Macro macro_from(const EconomyState& economy) {
    // Division, not multiplication by 0.01: the two differ in the last bit.
    return Macro{economy.vix,
                 economy.federal_funds_rate / PERCENT_PER_FRACTION,
                 economy.corporate_bond_yield / PERCENT_PER_FRACTION,
                 economy.inflation_rate / PERCENT_PER_FRACTION,
                 economy.qe_pe_boost,
                 economy.fear_greed_index,
                 economy.cycle_phase};
}

Result<MacroPin> check_macro_pin(const MacroPinArgs& args) {
    // Evaluated in order, so the first failure is the one reported. The cycle
    // comes last here (a `Macro` checks it first).
    for (const Status& status : {
             check_given(check_rate, "federal_funds_rate", args.federal_funds_rate),
             check_given(check_rate, "corporate_bond_yield", args.corporate_bond_yield),
             check_given(check_rate, "inflation_rate", args.inflation_rate),
             check_given(check_finite, "vix", args.vix),
             check_given(check_finite, "qe_pe_boost", args.qe_pe_boost),
             check_given(check_finite, "fear_greed_index", args.fear_greed_index),
         }) {
        if (!status) return Error{status.error()};
    }
    std::optional<CyclePhase> cycle;
    if (args.cycle) {
        cycle = cycle_phase_from_name(*args.cycle);
        if (!cycle) return Error{unknown_cycle_message(*args.cycle)};
    }
    return MacroPin{args.vix,
                    args.federal_funds_rate,
                    args.corporate_bond_yield,
                    args.inflation_rate,
                    args.qe_pe_boost,
                    args.fear_greed_index,
                    cycle};
}

void apply_macro_pin(EconomyState& economy, const MacroPin& pin) noexcept {
    if (pin.vix) economy.vix = *pin.vix;
    if (pin.federal_funds_rate) {
        economy.federal_funds_rate = *pin.federal_funds_rate * PERCENT_PER_FRACTION;
    }
    if (pin.corporate_bond_yield) {
        economy.corporate_bond_yield = *pin.corporate_bond_yield * PERCENT_PER_FRACTION;
    }
    if (pin.inflation_rate) economy.inflation_rate = *pin.inflation_rate * PERCENT_PER_FRACTION;
    if (pin.qe_pe_boost) economy.qe_pe_boost = *pin.qe_pe_boost;
    if (pin.fear_greed_index) economy.fear_greed_index = *pin.fear_greed_index;
    if (pin.cycle) economy.cycle_phase = *pin.cycle;
}

}  // namespace corvane
