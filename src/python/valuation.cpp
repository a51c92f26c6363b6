// Fair value and the daily mispricing model, as pure functions. None of
// them draws a random number.
#include "core/fair_value.hpp"
#include "core/mispricing.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

PyTypeObject* fair_value_type = nullptr;
PyTypeObject* mispricing_state_type = nullptr;

// ---- FairValue ----

template <double FairValue::*field>
PyObject* FairValue_get(PyObject* self, void*) {
    return to_python(payload_of<FairValue>(self).*field);
}

PyObject* FairValue_get_book_value_path(PyObject* self, void*) {
    return to_python(payload_of<FairValue>(self).book_value_path);
}

PyObject* FairValue_repr(PyObject* self) {
    return guarded([&]() -> PyObject* { return to_python(to_text(payload_of<FairValue>(self))); });
}

PyGetSetDef FAIR_VALUE_GETSET[] = {
    {"fair_value", FairValue_get<&FairValue::fair_value>, nullptr, "Fair value per share.",
     nullptr},
    {"target_pe", FairValue_get<&FairValue::target_pe>, nullptr,
     "The multiple actually applied. Zero on the book-value path.", nullptr},
    {"sector_anchor_pe", FairValue_get<&FairValue::sector_anchor_pe>, nullptr,
     "The sector's anchor multiple, before adjustment.", nullptr},
    {"rate_adjustment", FairValue_get<&FairValue::rate_adjustment>, nullptr,
     "Rate adjustment applied to the anchor.", nullptr},
    {"qe_adjustment", FairValue_get<&FairValue::qe_adjustment>, nullptr,
     "QE adjustment applied to the anchor.", nullptr},
    {"book_value_path", FairValue_get_book_value_path, nullptr,
     "True when valued off book because EPS was not positive.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot FAIR_VALUE_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Fair value per share and the components it was built from.\n\n"
                                  "Returned by fair_value(); immutable.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<FairValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(FairValue_repr)},
    {Py_tp_getset, FAIR_VALUE_GETSET},
    {0, nullptr},
};

PyType_Spec FAIR_VALUE_SPEC = {"corvane._core.FairValue", basic_size<FairValue>(), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               FAIR_VALUE_SLOTS};

constexpr Param FAIR_VALUE_PARAMS[] = {
    optional_param("eps"),
    {"sector"},
    optional_param("revenue_growth"),
    optional_param("federal_funds_rate"),
    optional_param("corporate_bond_yield"),
    optional_param("qe_pe_boost"),
    optional_param("book_value_per_share"),
};
constexpr Signature FAIR_VALUE_SIGNATURE{"fair_value", FAIR_VALUE_PARAMS, 0};

PyObject* fair_value_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(FAIR_VALUE_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        FairValueArgs given;
        auto eps = parsed->optional_f64(0);
        if (!eps) return nullptr;
        given.eps = *eps;
        auto sector = parsed->str(1);
        if (!sector) return nullptr;
        given.sector = *sector;
        auto growth = parsed->optional_f64(2);
        if (!growth) return nullptr;
        given.revenue_growth = *growth;
        if (parsed->given(3)) {
            auto rate = parsed->f64(3);
            if (!rate) return nullptr;
            given.federal_funds_rate = *rate;
        }
        auto yield = parsed->optional_f64(4);
        if (!yield) return nullptr;
        given.corporate_bond_yield = *yield;
        auto boost = parsed->optional_f64(5);
        if (!boost) return nullptr;
        given.qe_pe_boost = *boost;
        auto book = parsed->optional_f64(6);
        if (!book) return nullptr;
        given.book_value_per_share = *book;

        auto value = fair_value(given);
        if (!unwrap(value)) return nullptr;
        return create(fair_value_type, std::move(*value));
    });
}

// ---- MispricingState ----

constexpr Param STATE_PARAMS[] = {optional_param("s"), optional_param("s_prev")};
constexpr Signature STATE_SIGNATURE{"MispricingState", STATE_PARAMS, 2};

PyObject* MispricingState_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(STATE_SIGNATURE, args, kwargs);
        if (!parsed) return nullptr;
        double s = 0.0;
        if (parsed->given(0)) {
            auto given = parsed->f64(0);
            if (!given) return nullptr;
            s = *given;
        }
        auto s_prev = parsed->optional_f64(1);
        if (!s_prev) return nullptr;
        auto state = make_mispricing_state(s, *s_prev);
        if (!unwrap(state)) return nullptr;
        return create(type, std::move(*state));
    });
}

template <double MispricingState::*field>
PyObject* MispricingState_get(PyObject* self, void*) {
    return to_python(payload_of<MispricingState>(self).*field);
}

PyObject* MispricingState_repr(PyObject* self) {
    return guarded(
        [&]() -> PyObject* { return to_python(to_text(payload_of<MispricingState>(self))); });
}

PyGetSetDef MISPRICING_STATE_GETSET[] = {
    {"s", MispricingState_get<&MispricingState::s>, nullptr,
     "Log deviation of price from fair value.", nullptr},
    {"s_prev", MispricingState_get<&MispricingState::s_prev>, nullptr, "Yesterday's s.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot MISPRICING_STATE_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "MispricingState(s=0.0, s_prev=None)\n--\n\n"
         "The daily log-mispricing state.\n\n"
         "`s` is the log deviation of price from fair value, and `s_prev` is\n"
         "yesterday's, which the momentum term needs. Immutable: a step returns a new\n"
         "state rather than mutating, so a trajectory is a list of values you can\n"
         "keep rather than a thing you have to copy defensively.")},
    {Py_tp_new, reinterpret_cast<void*>(MispricingState_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MispricingState>)},
    {Py_tp_repr, reinterpret_cast<void*>(MispricingState_repr)},
    {Py_tp_getset, MISPRICING_STATE_GETSET},
    {0, nullptr},
};

PyType_Spec MISPRICING_STATE_SPEC = {"corvane._core.MispricingState",
                                     basic_size<MispricingState>(), 0, Py_TPFLAGS_DEFAULT,
                                     MISPRICING_STATE_SLOTS};

// ---- The daily step and its analysis ----

constexpr Param STEP_PARAMS[] = {{"state"}, optional_param("innovation"), optional_param("shock")};
constexpr Signature STEP_SIGNATURE{"step_mispricing_daily", STEP_PARAMS, 1};

PyObject* step_mispricing_daily_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(STEP_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        PyObject* state = (*parsed)[0];
        if (!is_instance(state, mispricing_state_type)) {
            PyErr_SetString(PyExc_TypeError,
                            text::message("step_mispricing_daily() argument 'state' must be "
                                          "MispricingState, not ",
                                          type_name(state))
                                .c_str());
            return nullptr;
        }
        double innovation = 0.0;
        if (parsed->given(1)) {
            auto value = parsed->f64(1);
            if (!value) return nullptr;
            innovation = *value;
        }
        double shock = 0.0;
        if (parsed->given(2)) {
            auto value = parsed->f64(2);
            if (!value) return nullptr;
            shock = *value;
        }
        auto next = step_mispricing_daily(payload_of<MispricingState>(state), innovation, shock);
        if (!unwrap(next)) return nullptr;
        return create(mispricing_state_type, std::move(*next));
    });
}

constexpr Param APPLY_PARAMS[] = {{"fair_value"}, {"s"}};
constexpr Signature APPLY_SIGNATURE{"apply_mispricing", APPLY_PARAMS, 2};

PyObject* apply_mispricing_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(APPLY_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto value = parsed->f64(0);
        if (!value) return nullptr;
        auto s = parsed->f64(1);
        if (!s) return nullptr;
        return to_python(apply_mispricing(*value, *s));
    });
}

// phi and theta: None (or absent) means the daily model's own.
bool read_coefficients(const Args& args, std::size_t first, double& phi, double& theta) {
    auto given_phi = args.optional_f64(first);
    if (!given_phi) return false;
    auto given_theta = args.optional_f64(first + 1);
    if (!given_theta) return false;
    phi = given_phi->value_or(DAILY_PHI);
    theta = given_theta->value_or(DAILY_MOMENTUM_THETA);
    return true;
}

// A new (float, float) tuple.
PyObject* pair_to_python(std::pair<double, double> pair) {
    Ref first = Ref::steal(to_python(pair.first));
    if (!first) return nullptr;
    Ref second = Ref::steal(to_python(pair.second));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

constexpr Param IMPULSE_PARAMS[] = {{"horizon_days"}, optional_param("phi"),
                                    optional_param("theta")};
constexpr Signature IMPULSE_SIGNATURE{"impulse_response", IMPULSE_PARAMS, 3};

PyObject* impulse_response_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(IMPULSE_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto horizon = parsed->i64(0);
        if (!horizon) return nullptr;
        double phi = 0.0;
        double theta = 0.0;
        if (!read_coefficients(*parsed, 1, phi, theta)) return nullptr;
        auto response = impulse_response(*horizon, phi, theta);
        if (!unwrap(response)) return nullptr;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(response->size())));
        if (!list) return nullptr;
        for (std::size_t k = 0; k < response->size(); ++k) {
            PyObject* value = to_python((*response)[k]);
            if (!value) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), value);
        }
        return list.release();
    });
}

constexpr Param ROOTS_PARAMS[] = {optional_param("phi"), optional_param("theta")};
constexpr Signature ROOTS_SIGNATURE{"characteristic_root_moduli", ROOTS_PARAMS, 2};

PyObject* characteristic_root_moduli_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(ROOTS_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        double phi = 0.0;
        double theta = 0.0;
        if (!read_coefficients(*parsed, 0, phi, theta)) return nullptr;
        return pair_to_python(characteristic_root_moduli(phi, theta));
    });
}

PyObject* crowd_adjusted_root_moduli_function(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return pair_to_python(crowd_adjusted_root_moduli()); });
}

constexpr Param SIGMA_PARAMS[] = {{"innovation_sigma"}, optional_param("phi"),
                                  optional_param("theta")};
constexpr Signature SIGMA_SIGNATURE{"stationary_sigma", SIGMA_PARAMS, 1};

PyObject* stationary_sigma_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(SIGMA_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto sigma = parsed->f64(0);
        if (!sigma) return nullptr;
        double phi = 0.0;
        double theta = 0.0;
        if (!read_coefficients(*parsed, 1, phi, theta)) return nullptr;
        auto result = stationary_sigma(*sigma, phi, theta);
        if (!unwrap(result)) return nullptr;
        if (!*result) Py_RETURN_NONE;
        return to_python(**result);
    });
}

}  // namespace

TypeEntry FAIR_VALUE_TYPE{&FAIR_VALUE_SPEC, &fair_value_type};
TypeEntry MISPRICING_STATE{&MISPRICING_STATE_SPEC, &mispricing_state_type};

PyMethodDef FAIR_VALUE_FUNCTION = {
    "fair_value", as_method(fair_value_function), METH_FASTCALL | METH_KEYWORDS,
    "fair_value(*, eps=None, sector, revenue_growth=None, federal_funds_rate=0.0, "
    "corporate_bond_yield=None, qe_pe_boost=None, book_value_per_share=None)\n--\n\n"
    "Fair value per share from fundamentals and the macro state, with its components.\n\n"
    "With positive EPS the value is EPS times the sector's anchor multiple, cut as the "
    "discount rate rises above 4% (faster for growing revenue) and scaled by 1 + "
    "qe_pe_boost. Without positive EPS it is 1.2 times book value per share. Never below "
    "0.01.\n\n"
    "Rates are FRACTIONAL: `corporate_bond_yield=0.052` means 5.2%. The discount rate is "
    "corporate_bond_yield when given (0.0 included), else federal_funds_rate. revenue_growth "
    "is a growth fraction, qe_pe_boost a multiplier delta, eps and book_value_per_share "
    "currency; none of those is scaled."};

PyMethodDef STEP_MISPRICING_DAILY_FUNCTION = {
    "step_mispricing_daily", as_method(step_mispricing_daily_function),
    METH_FASTCALL | METH_KEYWORDS,
    "step_mispricing_daily(state, *, innovation=0.0, shock=0.0)\n--\n\n"
    "One day of the log-mispricing process, as a new MispricingState:\n\n"
    "    s' = innovation + (phi * s + (s - s_prev) * theta) + clamp(shock, -0.15, 0.15)\n\n"
    "clamped to [-0.9, 0.9], with phi = 0.5 ** (1/60) (a 60-day half-life) and theta = 0.25. "
    "`innovation` is your zero-mean, variance-scaled noise and is not clamped; `shock` is the "
    "day's directional push (news, net order flow, squeezes), capped so that no single day "
    "dominates."};

PyMethodDef APPLY_MISPRICING_FUNCTION = {
    "apply_mispricing", as_method(apply_mispricing_function), METH_FASTCALL | METH_KEYWORDS,
    "apply_mispricing(fair_value, s)\n--\n\n"
    "The price at log mispricing s: fair_value * exp(s), s clamped to [-0.9, 0.9], never "
    "below 0.01. NaN in either argument gives NaN."};

PyMethodDef CHARACTERISTIC_ROOT_MODULI_FUNCTION = {
    "characteristic_root_moduli", as_method(characteristic_root_moduli_function),
    METH_FASTCALL | METH_KEYWORDS,
    "characteristic_root_moduli(phi=None, theta=None)\n--\n\n"
    "Moduli of the characteristic roots of s_t = (phi + theta) s_{t-1} - theta s_{t-2}, "
    "larger first. Both below 1 means the process is stationary. None takes the daily "
    "model's own coefficient."};

PyMethodDef CROWD_ADJUSTED_ROOT_MODULI_FUNCTION = {
    "crowd_adjusted_root_moduli", crowd_adjusted_root_moduli_function, METH_NOARGS,
    "crowd_adjusted_root_moduli()\n--\n\n"
    "The daily model's root moduli with the engine's crowd feedback included: the crowd's "
    "valuation lean weakens reversion and its momentum lean strengthens momentum."};

PyMethodDef IMPULSE_RESPONSE_FUNCTION = {
    "impulse_response", as_method(impulse_response_function), METH_FASTCALL | METH_KEYWORDS,
    "impulse_response(horizon_days, phi=None, theta=None)\n--\n\n"
    "Response of s to a unit impulse on day 0, for days 0 to horizon_days (horizon_days + 1 "
    "values). Momentum makes it rise before it decays. None takes the daily model's own "
    "coefficient."};

PyMethodDef STATIONARY_SIGMA_FUNCTION = {
    "stationary_sigma", as_method(stationary_sigma_function), METH_FASTCALL | METH_KEYWORDS,
    "stationary_sigma(innovation_sigma, *, phi=None, theta=None)\n--\n\n"
    "Standard deviation of s in the stationary state, for innovations of standard deviation "
    "innovation_sigma. None when the coefficients are not stationary, rather than a large "
    "finite number."};

}  // namespace corvane::py
