// Macro: the caller's description of the economy, with fractional rates.
#include "core/macro.hpp"

#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

PyTypeObject* macro_type = nullptr;

constexpr Param NEW_PARAMS[] = {
    optional_param("vix"),           optional_param("federal_funds_rate"),
    optional_param("corporate_bond_yield"), optional_param("inflation_rate"),
    optional_param("qe_pe_boost"),   optional_param("fear_greed_index"),
    optional_param("cycle"),
};
constexpr Signature NEW_SIGNATURE{"Macro", NEW_PARAMS, 0};

// Writes argument i into `out` when it was given; false with an error set.
bool read_f64(const Args& args, std::size_t i, double& out) {
    if (!args.given(i)) return true;
    auto value = args.f64(i);
    if (!value) return false;
    out = *value;
    return true;
}

PyObject* Macro_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(NEW_SIGNATURE, args, kwargs);
        if (!parsed) return nullptr;
        MacroArgs given;
        if (!read_f64(*parsed, 0, given.vix) || !read_f64(*parsed, 1, given.federal_funds_rate)) {
            return nullptr;
        }
        auto yield = parsed->optional_f64(2);
        if (!yield) return nullptr;
        given.corporate_bond_yield = *yield;
        if (!read_f64(*parsed, 3, given.inflation_rate) ||
            !read_f64(*parsed, 4, given.qe_pe_boost) ||
            !read_f64(*parsed, 5, given.fear_greed_index)) {
            return nullptr;
        }
        if (parsed->given(6)) {
            auto cycle = parsed->str(6);
            if (!cycle) return nullptr;
            given.cycle = *cycle;
        }
        auto macro = make_macro(given);
        if (!unwrap(macro)) return nullptr;
        return create(type, std::move(*macro));
    });
}

const Macro& macro_of_self(PyObject* self) { return payload_of<Macro>(self); }

template <double Macro::*field>
PyObject* get_f64(PyObject* self, void*) {
    return to_python(macro_of_self(self).*field);
}

// Returns a new reference (None included).
PyObject* get_corporate_bond_yield(PyObject* self, void*) {
    const auto& yield = macro_of_self(self).corporate_bond_yield;
    if (!yield) Py_RETURN_NONE;
    return to_python(*yield);
}

PyObject* get_cycle(PyObject* self, void*) {
    return to_python(name_of(macro_of_self(self).cycle));
}

PyObject* Macro_repr(PyObject* self) {
    return guarded([&]() -> PyObject* { return to_python(to_text(macro_of_self(self))); });
}

PyGetSetDef GETSET[] = {
    {"vix", get_f64<&Macro::vix>, nullptr, "VIX level, in index points.", nullptr},
    {"federal_funds_rate", get_f64<&Macro::federal_funds_rate>, nullptr,
     "Policy rate, fractional (0.025 is 2.5%).", nullptr},
    {"corporate_bond_yield", get_corporate_bond_yield, nullptr,
     "Corporate bond yield, fractional; None derives it from the VIX.", nullptr},
    {"inflation_rate", get_f64<&Macro::inflation_rate>, nullptr, "Inflation rate, fractional.",
     nullptr},
    {"qe_pe_boost", get_f64<&Macro::qe_pe_boost>, nullptr,
     "Quantitative-easing lift to price/earnings multiples, a multiplier delta.", nullptr},
    {"fear_greed_index", get_f64<&Macro::fear_greed_index>, nullptr,
     "Market sentiment, 0 (fear) to 100 (greed).", nullptr},
    {"cycle", get_cycle, nullptr,
     "Business-cycle phase: expansion, peak, contraction, trough or recovery.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Macro(*, vix=15.0, federal_funds_rate=0.025, corporate_bond_yield=None, "
         "inflation_rate=0.02, qe_pe_boost=0.0, fear_greed_index=50.0, cycle='expansion')\n--\n\n"
         "The macro state the price loop reads.\n\n"
         "Rates are FRACTIONAL here and converted once, in `to_core`.")},
    {Py_tp_new, reinterpret_cast<void*>(Macro_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Macro>)},
    {Py_tp_repr, reinterpret_cast<void*>(Macro_repr)},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {"corvane._core.Macro", basic_size<Macro>(), 0, Py_TPFLAGS_DEFAULT, SLOTS};

}  // namespace

TypeEntry MACRO{&SPEC, &macro_type};

const Macro* macro_of(PyObject* object) noexcept {
    if (!macro_type || !is_instance(object, macro_type)) return nullptr;
    return &payload_of<Macro>(object);
}

PyObject* new_macro(const Macro& macro) noexcept {
    return create(macro_type, Macro(macro));
}

}  // namespace corvane::py
