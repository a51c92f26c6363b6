// What each binding unit contributes to the module, collected here so the
// module's registration table can list everything in one place.
#pragma once

#include <string_view>

#include "core/params.hpp"
#include "core/sectors.hpp"
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

// params.cpp
extern TypeEntry MODEL_PARAMS;
extern PyMethodDef MODEL_PRESET_FUNCTION;
// The record a ModelParams object holds (borrowed from it), or null without
// an error set when `object` is not a ModelParams.
const ModelParams* model_params_of(PyObject* object) noexcept;
// A new ModelParams object holding a copy of `model`; null with an error set.
PyObject* new_model_params(const ModelParams& model) noexcept;

// The sector for a caller's key, or null with ValidationError set naming the
// valid keys. The one lookup every sector argument goes through.
const SectorSpec* sector_or_raise(std::string_view key);

inline constexpr const char* VERSION = "0.4.3";

}  // namespace corvane::py
