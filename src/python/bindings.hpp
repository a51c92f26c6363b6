// What each binding unit contributes to the module, collected here so the
// module's registration table can list everything in one place.
#pragma once

#include <string_view>

#include "core/macro.hpp"
#include "core/order_book.hpp"
#include "core/params.hpp"
#include "core/sectors.hpp"
#include "core/universe.hpp"
#include "python/ref.hpp"

namespace corvane::py {

// A class the module registers: its spec, and where its type object is kept
// once built (borrowed by every unit that creates instances).
struct TypeEntry {
    PyType_Spec* spec;
    PyTypeObject** type;
};

// generator.cpp
extern TypeEntry GAME_RNG;

// functions.cpp
extern PyMethodDef VERSION_FUNCTION;
extern PyMethodDef CHECK_RATE_FUNCTION;
extern PyMethodDef SECTORS_FUNCTION;
extern PyMethodDef MARKET_STATUS_FUNCTION;
extern PyMethodDef SECTOR_VOLATILITY_FUNCTION;
extern PyMethodDef SECTOR_DAILY_SIGMA_FUNCTION;

// digest.cpp
extern PyMethodDef FIXED_SIMULATION_DIGEST_FUNCTION;

// book.cpp
extern TypeEntry ORDER_BOOK;
extern TypeEntry FILL;
extern TypeEntry MATCH_RESULT;
extern TypeEntry PRICE_LEVEL;
extern TypeEntry SWEEP_COST;
// A new OrderBook object owning `book`; null with an error set.
PyObject* new_order_book(OrderBook&& book) noexcept;

// params.cpp
extern TypeEntry MODEL_PARAMS;
extern PyMethodDef MODEL_PRESET_FUNCTION;
// The record a ModelParams object holds (borrowed from it), or null without
// an error set when `object` is not a ModelParams.
const ModelParams* model_params_of(PyObject* object) noexcept;
// A new ModelParams object holding a copy of `model`; null with an error set.
PyObject* new_model_params(const ModelParams& model) noexcept;

// valuation.cpp
extern TypeEntry FAIR_VALUE_TYPE;
extern TypeEntry MISPRICING_STATE;
extern PyMethodDef FAIR_VALUE_FUNCTION;
extern PyMethodDef STEP_MISPRICING_DAILY_FUNCTION;
extern PyMethodDef APPLY_MISPRICING_FUNCTION;
extern PyMethodDef CHARACTERISTIC_ROOT_MODULI_FUNCTION;
extern PyMethodDef CROWD_ADJUSTED_ROOT_MODULI_FUNCTION;
extern PyMethodDef IMPULSE_RESPONSE_FUNCTION;
extern PyMethodDef STATIONARY_SIGMA_FUNCTION;

// universe.cpp
extern TypeEntry INSTRUMENT;
extern PyMethodDef RANDOM_INSTRUMENTS_FUNCTION;
// The description an Instrument object holds (borrowed from it), or null
// without an error set when `object` is not an Instrument.
const InstrumentInit* instrument_of(PyObject* object) noexcept;
// A new Instrument object owning `instrument` (unchecked: pass only
// descriptions that passed check_instrument); null with an error set.
PyObject* new_instrument(InstrumentInit&& instrument) noexcept;

// economy.cpp
extern TypeEntry MACRO;
// The description a Macro object holds (borrowed from it), or null without
// an error set when `object` is not a Macro.
const Macro* macro_of(PyObject* object) noexcept;
// A new Macro object holding a copy of `macro`; null with an error set.
PyObject* new_macro(const Macro& macro) noexcept;

// The sector for a caller's key, or null with ValidationError set naming the
// valid keys. The one lookup every sector argument goes through.
const SectorSpec* sector_or_raise(std::string_view key);

inline constexpr const char* VERSION = "0.4.3";

}  // namespace corvane::py
