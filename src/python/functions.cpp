// Module-level functions over the fixed tables: version, sectors, market
// hours and the rate check. None of them draws a random number.
#include "core/market_hours.hpp"
#include "core/sectors.hpp"
#include "core/units.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace corvane::py {

const SectorSpec* sector_or_raise(std::string_view key) {
    const SectorSpec* spec = sectors::by_key(key);
    if (!spec) raise_validation(sectors::unknown_sector_message(key));
    return spec;
}

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(VERSION); }

constexpr Param CHECK_RATE_PARAMS[] = {{"name"}, {"fraction"}};
constexpr Signature CHECK_RATE_SIGNATURE{"check_rate", CHECK_RATE_PARAMS, 2};

PyObject* check_rate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view name;
        double fraction = 0.0;
        if (!parse_args(CHECK_RATE_SIGNATURE, args, nargs, kwnames, name, fraction)) {
            return nullptr;
        }
        auto checked = units::check_rate(name, fraction);
        if (!unwrap(checked)) return nullptr;
        return to_python(*checked);
    });
}

// Returns a new list of str.
PyObject* sector_keys(PyObject*, PyObject*) {
    return list_of(sectors::TABLE, [](const SectorSpec& spec) { return to_python(spec.key); });
}

constexpr Param MARKET_STATUS_PARAMS[] = {{"hour"}, {"minute"}, {"day_of_week"}};
constexpr Signature MARKET_STATUS_SIGNATURE{"market_status", MARKET_STATUS_PARAMS, 3};

PyObject* market_status(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::int64_t hour = 0;
        std::int64_t minute = 0;
        std::int64_t day_of_week = 0;
        if (!parse_args(MARKET_STATUS_SIGNATURE, args, nargs, kwnames, hour, minute, day_of_week)) {
            return nullptr;
        }
        auto status = market_hours::status_at(hour, minute, day_of_week);
        if (!status) return raise_validation("invalid time");
        return to_python(status_name(*status));
    });
}

constexpr Param SECTOR_PARAMS[] = {{"sector"}};
constexpr Signature SECTOR_VOLATILITY_SIGNATURE{"sector_volatility", SECTOR_PARAMS, 1};
constexpr Signature SECTOR_DAILY_SIGMA_SIGNATURE{"sector_daily_sigma", SECTOR_PARAMS, 1};

// Reads one field of the named sector's record.
template <const Signature& signature, double SectorSpec::*field>
PyObject* sector_field(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view key;
        if (!parse_args(signature, args, nargs, kwnames, key)) return nullptr;
        const SectorSpec* spec = sector_or_raise(key);
        if (!spec) return nullptr;
        return to_python(spec->*field);
    });
}

}  // namespace

PyMethodDef VERSION_FUNCTION = noargs_method("version", version, "version()\n--\n\n");

PyMethodDef CHECK_RATE_FUNCTION = keywords_method(
    "check_rate", check_rate,
    signature_doc(
        CHECK_RATE_SIGNATURE, "",
        "Return `fraction` unchanged if it is a plausible fractional rate, in [-0.05, 0.5]; "
        "otherwise raise a value error (ValidationError) naming `name`. A value that looks like a "
        "percent (above 1, up to 100) gets a hint with the fraction to pass instead."));

PyMethodDef SECTORS_FUNCTION = noargs_method(
    "sectors", sector_keys,
    "sectors()\n--\n\nThe twelve sector keys, in the table order generated universes cycle "
    "through.");

PyMethodDef MARKET_STATUS_FUNCTION = keywords_method(
    "market_status", market_status,
    signature_doc(
        MARKET_STATUS_SIGNATURE, "",
        "The session a moment falls in: \"pre_market\" (7:00 to 9:30), \"open\" (9:30 to 16:00), "
        "\"after_hours\" (16:00 to 20:00) or \"closed\". day_of_week 0 is Sunday and 6 is "
        "Saturday; both are closed all day."));

PyMethodDef SECTOR_VOLATILITY_FUNCTION = keywords_method(
    "sector_volatility", sector_field<SECTOR_VOLATILITY_SIGNATURE, &SectorSpec::volatility>,
    signature_doc(
        SECTOR_VOLATILITY_SIGNATURE, "",
        "The sector's relative volatility multiplier: dimensionless, 0.6 to 1.3. Not a volatility "
        "in any unit; derive betas with it without drawing a random number."));

PyMethodDef SECTOR_DAILY_SIGMA_FUNCTION = keywords_method(
    "sector_daily_sigma", sector_field<SECTOR_DAILY_SIGMA_SIGNATURE, &SectorSpec::daily_sigma>,
    signature_doc(SECTOR_DAILY_SIGMA_SIGNATURE, "",
                  "The sector's long-run daily return standard deviation, as a fraction."));

}  // namespace corvane::py
