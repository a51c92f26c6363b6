// Macro: the caller's description of the economy, with fractional rates.
#include "core/macro.hpp"

#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

// The defaults are the core's own, so the signature cannot drift from them.
constexpr MacroArgs MACRO_DEFAULTS{};
constexpr Param NEW_PARAMS[] = {
    optional_param("vix", MACRO_DEFAULTS.vix),
    optional_param("federal_funds_rate", MACRO_DEFAULTS.federal_funds_rate),
    optional_param("corporate_bond_yield"),
    optional_param("inflation_rate", MACRO_DEFAULTS.inflation_rate),
    optional_param("qe_pe_boost", MACRO_DEFAULTS.qe_pe_boost),
    optional_param("fear_greed_index", MACRO_DEFAULTS.fear_greed_index),
    optional_param("cycle", MACRO_DEFAULTS.cycle.data()),
};
constexpr Signature NEW_SIGNATURE{"Macro", NEW_PARAMS, 0};

PyObject* Macro_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        MacroArgs given;
        if (!parse_args(NEW_SIGNATURE, args, kwargs, given.vix, given.federal_funds_rate,
                        given.corporate_bond_yield, given.inflation_rate, given.qe_pe_boost,
                        given.fear_greed_index, given.cycle)) {
            return nullptr;
        }
        auto macro = make_macro(given);
        if (!unwrap(macro)) return nullptr;
        return create(type, std::move(*macro));
    });
}

PyObject* get_cycle(PyObject* self, void*) {
    return to_python(name_of(payload_of<Macro>(self).cycle));
}

PyObject* Macro_reduce(PyObject* self) {
    const Macro& macro = payload_of<Macro>(self);
    return values_tuple(macro.vix, macro.federal_funds_rate, macro.corporate_bond_yield,
                        macro.inflation_rate, macro.qe_pe_boost, macro.fear_greed_index,
                        name_of(macro.cycle));
}

// Field by field, unchecked but for the cycle: an engine's economy may have
// wandered where the constructor would not start one.
PyObject* Macro_rebuild(PyTypeObject* type, PyObject* values) {
    Macro macro;
    std::string cycle;
    if (!read_values("Macro", values, macro.vix, macro.federal_funds_rate,
                     macro.corporate_bond_yield, macro.inflation_rate, macro.qe_pe_boost,
                     macro.fear_greed_index, cycle)) {
        return nullptr;
    }
    auto phase = cycle_phase_from_name(cycle);
    if (!phase) return raise_validation("a pickled Macro names an unknown cycle phase");
    macro.cycle = *phase;
    return create(type, std::move(macro));
}

PyGetSetDef GETSET[] = {
    read_only<&Macro::vix>("vix", "VIX level, in index points."),
    read_only<&Macro::federal_funds_rate>("federal_funds_rate",
                                          "Policy rate, fractional (0.025 is 2.5%)."),
    read_only<&Macro::corporate_bond_yield>(
        "corporate_bond_yield", "Corporate bond yield, fractional; None derives it from the VIX."),
    read_only<&Macro::inflation_rate>("inflation_rate", "Inflation rate, fractional."),
    read_only<&Macro::qe_pe_boost>(
        "qe_pe_boost", "Quantitative-easing lift to price/earnings multiples, a multiplier delta."),
    read_only<&Macro::fear_greed_index>("fear_greed_index",
                                        "Market sentiment, 0 (fear) to 100 (greed)."),
    read_only("cycle", get_cycle,
              "Business-cycle phase: expansion, peak, contraction, trough or recovery."),
    {},
};

}  // namespace

Class<Macro> MACRO{
    "corvane._core.Macro",
    {
        .doc = signature_doc(NEW_SIGNATURE, "",
                             "The macro state the price loop reads.\n\n"
                             "Rates are FRACTIONAL here and converted once, in `to_core`."),
        .new_object = Macro_new,
        .repr = text_repr<Macro>,
        .getset = GETSET,
        .reduce = Macro_reduce,
        .rebuild = Macro_rebuild,
    },
};

}  // namespace corvane::py
