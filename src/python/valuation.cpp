// Fair value and the daily mispricing model, as pure functions. None of
// them draws a random number.
#include "core/fair_value.hpp"
#include "core/mispricing.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"
#include "python/value_class.hpp"

namespace corvane::py {
namespace {

// ---- FairValue ----

constexpr ValueFields<FairValue, &FairValue::fair_value, &FairValue::target_pe,
                      &FairValue::sector_anchor_pe, &FairValue::rate_adjustment,
                      &FairValue::qe_adjustment, &FairValue::book_value_path>
    FAIR_VALUE_FIELDS{
        "FairValue",
        {{{"fair_value", "Fair value per share."},
          {"target_pe", "The multiple actually applied. Zero on the book-value path."},
          {"sector_anchor_pe", "The sector's anchor multiple, before adjustment."},
          {"rate_adjustment", "Rate adjustment applied to the anchor."},
          {"qe_adjustment", "QE adjustment applied to the anchor."},
          {"book_value_path", "True when valued off book because EPS was not positive."}}}};
Class<FairValue> FAIR_VALUE_CLASS{
    "corvane._core.FairValue",
    value_slots<FAIR_VALUE_FIELDS>("Fair value per share and the components it was built from.\n\n"
                                   "Returned by fair_value(); immutable.",
                                   text_repr<FairValue>)};

constexpr FairValueArgs FAIR_VALUE_DEFAULTS{};
constexpr Param FAIR_VALUE_PARAMS[] = {
    optional_param("eps"),
    {"sector"},
    optional_param("revenue_growth"),
    optional_param("federal_funds_rate", FAIR_VALUE_DEFAULTS.federal_funds_rate),
    optional_param("corporate_bond_yield"),
    optional_param("qe_pe_boost"),
    optional_param("book_value_per_share"),
};
constexpr Signature FAIR_VALUE_SIGNATURE{"fair_value", FAIR_VALUE_PARAMS, 0};

PyObject* fair_value_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        FairValueArgs given;
        if (!parse_args(FAIR_VALUE_SIGNATURE, args, nargs, kwnames, given.eps, given.sector,
                        given.revenue_growth, given.federal_funds_rate, given.corporate_bond_yield,
                        given.qe_pe_boost, given.book_value_per_share)) {
            return nullptr;
        }
        auto value = fair_value(given);
        if (!unwrap(value)) return nullptr;
        return FAIR_VALUE_CLASS.create(state_of_module(module), std::move(*value));
    });
}

// ---- MispricingState ----

constexpr Param STATE_PARAMS[] = {optional_param("s", 0.0), optional_param("s_prev")};
constexpr Signature STATE_SIGNATURE{"MispricingState", STATE_PARAMS, 2};

PyObject* MispricingState_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        double s{};
        std::optional<double> s_prev;
        if (!parse_args(STATE_SIGNATURE, args, kwargs, s, s_prev)) return nullptr;
        auto state = make_mispricing_state(s, s_prev);
        if (!unwrap(state)) return nullptr;
        return create(type, std::move(*state));
    });
}

PyObject* MispricingState_reduce(PyObject* self) {
    const MispricingState& state = payload_of<MispricingState>(self);
    return values_tuple(state.s, state.s_prev);
}

PyObject* MispricingState_rebuild(PyTypeObject* type, PyObject* values) {
    double s = 0.0;
    double s_prev = 0.0;
    if (!read_values("MispricingState", values, s, s_prev)) return nullptr;
    auto state = make_mispricing_state(s, s_prev);
    if (!unwrap(state)) return nullptr;
    return create(type, std::move(*state));
}

PyGetSetDef MISPRICING_STATE_GETSET[] = {
    read_only<&MispricingState::s>("s", "Log deviation of price from fair value."),
    read_only<&MispricingState::s_prev>("s_prev", "Yesterday's s."),
    {},
};

Class<MispricingState> MISPRICING_STATE_CLASS{
    "corvane._core.MispricingState",
    {
        .doc = signature_doc(
            STATE_SIGNATURE, "",
            "The daily log-mispricing state.\n\n"
            "`s` is the log deviation of price from fair value, and `s_prev` is\n"
            "yesterday's, which the momentum term needs. Immutable: a step returns a new\n"
            "state rather than mutating, so a trajectory is a list of values you can\n"
            "keep rather than a thing you have to copy defensively."),
        .new_object = MispricingState_new,
        .repr = text_repr<MispricingState>,
        .getset = MISPRICING_STATE_GETSET,
        .reduce = MispricingState_reduce,
        .rebuild = MispricingState_rebuild,
    },
};

// ---- The daily step and its analysis ----

constexpr Param STEP_PARAMS[] = {
    {"state"}, optional_param("innovation", 0.0), optional_param("shock", 0.0)};
constexpr Signature STEP_SIGNATURE{"step_mispricing_daily", STEP_PARAMS, 1};

PyObject* step_mispricing_daily_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MispricingState* state = nullptr;
        double innovation{};
        double shock{};
        if (!parse_args(STEP_SIGNATURE, args, nargs, kwnames,
                        instance(MISPRICING_STATE_CLASS, state), innovation, shock)) {
            return nullptr;
        }
        auto next = step_mispricing_daily(*state, innovation, shock);
        if (!unwrap(next)) return nullptr;
        return MISPRICING_STATE_CLASS.create(state_of_module(module), std::move(*next));
    });
}

constexpr Param APPLY_PARAMS[] = {{"fair_value"}, {"s"}};
constexpr Signature APPLY_SIGNATURE{"apply_mispricing", APPLY_PARAMS, 2};

PyObject* apply_mispricing_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        double value = 0.0;
        double s{};
        if (!parse_args(APPLY_SIGNATURE, args, nargs, kwnames, value, s)) return nullptr;
        return to_python(apply_mispricing(value, s));
    });
}

// phi and theta: None (or absent) means the daily model's own.
double phi_or_daily(const std::optional<double>& phi) { return phi.value_or(DAILY_PHI); }
double theta_or_daily(const std::optional<double>& theta) {
    return theta.value_or(DAILY_MOMENTUM_THETA);
}

// A new (float, float) tuple.
PyObject* pair_to_python(std::pair<double, double> pair) {
    Ref first = Ref::steal(to_python(pair.first));
    if (!first) return nullptr;
    Ref second = Ref::steal(to_python(pair.second));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

constexpr Param IMPULSE_PARAMS[] = {
    {"horizon_days"}, optional_param("phi"), optional_param("theta")};
constexpr Signature IMPULSE_SIGNATURE{"impulse_response", IMPULSE_PARAMS, 3};

// Returns a new list of float.
PyObject* impulse_response_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t horizon = 0;
        std::optional<double> phi;
        std::optional<double> theta;
        if (!parse_args(IMPULSE_SIGNATURE, args, nargs, kwnames, horizon, phi, theta)) {
            return nullptr;
        }
        auto response = impulse_response(horizon, phi_or_daily(phi), theta_or_daily(theta),
                                         [] { return PyErr_CheckSignals() == 0; });
        // Stopped by Ctrl-C: its KeyboardInterrupt is already set.
        if (!response && PyErr_Occurred()) return nullptr;
        if (!unwrap(response)) return nullptr;
        return list_of(*response);
    });
}

constexpr Param ROOTS_PARAMS[] = {optional_param("phi"), optional_param("theta")};
constexpr Signature ROOTS_SIGNATURE{"characteristic_root_moduli", ROOTS_PARAMS, 2};

PyObject* characteristic_root_moduli_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::optional<double> phi;
        std::optional<double> theta;
        if (!parse_args(ROOTS_SIGNATURE, args, nargs, kwnames, phi, theta)) return nullptr;
        return pair_to_python(characteristic_root_moduli(phi_or_daily(phi), theta_or_daily(theta)));
    });
}

PyObject* crowd_adjusted_root_moduli_function(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return pair_to_python(crowd_adjusted_root_moduli()); });
}

constexpr Param SIGMA_PARAMS[] = {
    {"innovation_sigma"}, optional_param("phi"), optional_param("theta")};
constexpr Signature SIGMA_SIGNATURE{"stationary_sigma", SIGMA_PARAMS, 1};

// Returns a new float, or None when the coefficients are not stationary.
PyObject* stationary_sigma_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        double sigma = 0.0;
        std::optional<double> phi;
        std::optional<double> theta;
        if (!parse_args(SIGMA_SIGNATURE, args, nargs, kwnames, sigma, phi, theta)) {
            return nullptr;
        }
        auto result = stationary_sigma(sigma, phi_or_daily(phi), theta_or_daily(theta));
        if (!unwrap(result)) return nullptr;
        return to_python(*result);
    });
}

}  // namespace

TypeEntry& FAIR_VALUE_TYPE = FAIR_VALUE_CLASS;
TypeEntry& MISPRICING_STATE = MISPRICING_STATE_CLASS;

PyMethodDef FAIR_VALUE_FUNCTION = keywords_method(
    "fair_value", fair_value_function,
    signature_doc(
        FAIR_VALUE_SIGNATURE, "",
        "Fair value per share from fundamentals and the macro state, with its components.\n\n"
        "With positive EPS the value is EPS times the sector's anchor multiple, cut as the "
        "discount rate rises above 4% (faster for growing revenue) and scaled by 1 + "
        "qe_pe_boost. Without positive EPS it is 1.2 times book value per share. Never below "
        "0.01.\n\n"
        "Rates are FRACTIONAL: `corporate_bond_yield=0.052` means 5.2%. The discount rate is "
        "corporate_bond_yield when given (0.0 included), else federal_funds_rate. revenue_growth "
        "is a growth fraction, qe_pe_boost a multiplier delta, eps and book_value_per_share "
        "currency; none of those is scaled."));

PyMethodDef STEP_MISPRICING_DAILY_FUNCTION = keywords_method(
    "step_mispricing_daily", step_mispricing_daily_function,
    signature_doc(
        STEP_SIGNATURE, "",
        "One day of the log-mispricing process, as a new MispricingState:\n\n"
        "    s' = innovation + (phi * s + (s - s_prev) * theta) + clamp(shock, -0.15, 0.15)\n\n"
        "clamped to [-0.9, 0.9], with phi = 0.5 ** (1/60) (a 60-day half-life) and theta = 0.25. "
        "`innovation` is your zero-mean, variance-scaled noise and is not clamped; `shock` is the "
        "day's directional push (news, net order flow, squeezes), capped so that no single day "
        "dominates."));

PyMethodDef APPLY_MISPRICING_FUNCTION = keywords_method(
    "apply_mispricing", apply_mispricing_function,
    signature_doc(
        APPLY_SIGNATURE, "",
        "The price at log mispricing s: fair_value * exp(s), s clamped to [-0.9, 0.9], never "
        "below 0.01. NaN in either argument gives NaN."));

PyMethodDef CHARACTERISTIC_ROOT_MODULI_FUNCTION = keywords_method(
    "characteristic_root_moduli", characteristic_root_moduli_function,
    signature_doc(
        ROOTS_SIGNATURE, "",
        "Moduli of the characteristic roots of s_t = (phi + theta) s_{t-1} - theta s_{t-2}, "
        "larger first. Both below 1 means the process is stationary. None takes the daily "
        "model's own coefficient."));

PyMethodDef CROWD_ADJUSTED_ROOT_MODULI_FUNCTION = noargs_method(
    "crowd_adjusted_root_moduli", crowd_adjusted_root_moduli_function,
    "crowd_adjusted_root_moduli()\n--\n\n"
    "The daily model's root moduli with the engine's crowd feedback included: the crowd's "
    "valuation lean weakens reversion and its momentum lean strengthens momentum.");

PyMethodDef IMPULSE_RESPONSE_FUNCTION = keywords_method(
    "impulse_response", impulse_response_function,
    signature_doc(
        IMPULSE_SIGNATURE, "",
        "Response of s to a unit impulse on day 0, for days 0 to horizon_days (horizon_days + 1 "
        "values). Momentum makes it rise before it decays. None takes the daily model's own "
        "coefficient."));

PyMethodDef STATIONARY_SIGMA_FUNCTION = keywords_method(
    "stationary_sigma", stationary_sigma_function,
    signature_doc(
        SIGMA_SIGNATURE, "",
        "Standard deviation of s in the stationary state, for innovations of standard deviation "
        "innovation_sigma. None when the coefficients are not stationary, rather than a large "
        "finite number."));

}  // namespace corvane::py
