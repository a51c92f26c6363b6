// The extension module: creation, and the order in which everything is
// registered. That order is what `dir()`-free introspection (the module
// dict, generated docs) shows, so it is kept in one table below.
#include <variant>

#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

constexpr const char* MODULE_DOC =
    "The compiled extension.\n\n"
    "This module is named `_core` because the `corvane` package wraps it: the package "
    "re-exports everything defined here and adds what is better written in Python, `sweep` "
    "(a function over many seeds) and `backtest` (a policy over many seeds of the trading "
    "environment in `corvane.env`). Import `corvane`, not this module.";

PyObject* rebuild_instance(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyMethodDef REBUILD_FUNCTION = {
    "_rebuild", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rebuild_instance)),
    METH_FASTCALL,
    "_rebuild(name, values, /)\n--\n\nRebuilds a pickled instance of the class named."};

#if defined(__clang__)
constexpr const char* COMPILER = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* COMPILER = "gcc " __VERSION__;
#elif defined(_MSC_VER)
#define CORVANE_TEXT(x) #x
#define CORVANE_VALUE(x) CORVANE_TEXT(x)
constexpr const char* COMPILER = "msvc " CORVANE_VALUE(_MSC_FULL_VER);
#else
constexpr const char* COMPILER = "unknown";
#endif

struct Exceptions {};
struct Version {};
using Registration = std::variant<TypeEntry*, PyMethodDef*, Exceptions, Version>;

// Registration order is part of the module's interface; add new classes and
// functions at their place here.
const Registration REGISTRATION_ORDER[] = {
    &GAME_RNG,
    &VERSION_FUNCTION,
    &FIXED_SIMULATION_DIGEST_FUNCTION,
    &CHECK_RATE_FUNCTION,
    &FAIR_VALUE_FUNCTION,
    &SECTORS_FUNCTION,
    &STEP_MISPRICING_DAILY_FUNCTION,
    &APPLY_MISPRICING_FUNCTION,
    &CHARACTERISTIC_ROOT_MODULI_FUNCTION,
    &CROWD_ADJUSTED_ROOT_MODULI_FUNCTION,
    &IMPULSE_RESPONSE_FUNCTION,
    &MODEL_PRESET_FUNCTION,
    &MISPRICING_STATE,
    &FAIR_VALUE_TYPE,
    &ORDER_BOOK,
    &FILL,
    &MATCH_RESULT,
    &PRICE_LEVEL,
    &SWEEP_COST,
    &MODEL_PARAMS,
    &ENGINE,
    &INSTRUMENT,
    &MACRO,
    &TICK_RESULT,
    &ENGINE_BATCH,
    &TRADING_DESK,
    &NEWS,
    &NEWS_IMPACT,
    &ARROW_STREAM,
    &FILLS_STREAM_FUNCTION,
    &MARKET_STATUS_FUNCTION,
    &RANDOM_INSTRUMENTS_FUNCTION,
    &SECTOR_VOLATILITY_FUNCTION,
    &SECTOR_DAILY_SIGMA_FUNCTION,
    &STATIONARY_SIGMA_FUNCTION,
    &COMPARE_FUNCTION,
    Exceptions{},
    Version{},
    // Private: what a pickled exception is rebuilt with.
    &RESTORE_ERROR_FUNCTION,
    // Private: what a pickled instance is rebuilt with.
    &REBUILD_FUNCTION,
};

// ---- Pickling ----

// The entry `state`'s module built `type` from, if it pickles; else null.
const TypeEntry* pickled_entry(const ModuleState& state, PyTypeObject* type) {
    for (const Registration& entry : REGISTRATION_ORDER) {
        auto* type_entry = std::get_if<TypeEntry*>(&entry);
        if (type_entry && (*type_entry)->reduce && (*type_entry)->type_in(state) == type) {
            return *type_entry;
        }
    }
    return nullptr;
}

// Returns a new (callable, args) pair: `_rebuild(short name, values)`.
PyObject* reduce_instance(PyObject* self, PyObject*) {
    return guarded([self]() -> PyObject* {
        PyTypeObject* type = Py_TYPE(self);
        const TypeEntry* entry = pickled_entry(state_of(self), type);
        if (!entry) return refuse_pickling(self, "it has no pickled form");
        PyObject* module = PyType_GetModule(type);  // borrowed
        if (!module) return nullptr;
        Ref rebuild = Ref::steal(PyObject_GetAttrString(module, "_rebuild"));
        Ref values = Ref::steal(entry->reduce(self));
        if (!rebuild || !values) return nullptr;
        return Py_BuildValue("(O(sO))", rebuild.get(), entry->short_name(), values.get());
    });
}

PyMethodDef REDUCE_METHOD = {"__reduce__", reduce_instance, METH_NOARGS,
                             "Pickles through corvane._core._rebuild."};

// Returns a new instance of the class `name`, from what its reduce wrote.
PyObject* rebuild_instance(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 2 || !PyUnicode_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError,
                            "_rebuild(name, values) takes a class name and values");
            return nullptr;
        }
        const ModuleState& state = state_of_module(module);
        for (const Registration& entry : REGISTRATION_ORDER) {
            auto* type_entry = std::get_if<TypeEntry*>(&entry);
            if (!type_entry || !(*type_entry)->rebuild) continue;
            if (PyUnicode_CompareWithASCIIString(args[0], (*type_entry)->short_name()) != 0) {
                continue;
            }
            PyTypeObject* type = (*type_entry)->type_in(state);
            if (!type) break;
            return (*type_entry)->rebuild(type, args[1]);
        }
        PyErr_Format(PyExc_ValueError, "_rebuild: no class %R pickles here", args[0]);
        return nullptr;
    });
}

int add(PyObject* module, const char* name, PyObject* value) {
    // PyModule_AddObject steals only on success.
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_XDECREF(value);
        return -1;
    }
    return 0;
}

int register_one(PyObject* module, PyObject* module_name, const Registration& entry) {
    if (auto* type_entry = std::get_if<TypeEntry*>(&entry)) {
        std::size_t slot = (*type_entry)->slot;
        if (slot >= MAX_TYPES) {
            PyErr_SetString(PyExc_SystemError, "more classes than the module state holds");
            return -1;
        }
        PyObject* type = PyType_FromModuleAndSpec(module, &(*type_entry)->spec, nullptr);
        if (!type) return -1;
        // The module state keeps one reference, the module dict the other.
        ModuleState& state = state_of_module(module);
        Py_XDECREF(state.types[slot]);
        state.types[slot] = Py_NewRef(type);
        if ((*type_entry)->prepare && (*type_entry)->prepare(type) < 0) {
            Py_DECREF(type);
            return -1;
        }
        if ((*type_entry)->reduce &&
            set_class_attribute(
                type, "__reduce__",
                PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &REDUCE_METHOD)) < 0) {
            Py_DECREF(type);
            return -1;
        }
        return add(module, (*type_entry)->short_name(), type);
    }
    if (auto* function = std::get_if<PyMethodDef*>(&entry)) {
        PyObject* callable = PyCFunction_NewEx(*function, module, module_name);
        if (!callable) return -1;
        return add(module, (*function)->ml_name, callable);
    }
    if (std::holds_alternative<Exceptions>(entry)) {
        PyObject* validation = validation_error_type();
        PyObject* order = order_error_type();
        if (!validation || !order) return -1;
        Py_INCREF(validation);
        if (add(module, "ValidationError", validation) < 0) return -1;
        Py_INCREF(order);
        return add(module, "OrderError", order);
    }
    if (add(module, "__version__", PyUnicode_FromString(VERSION)) < 0) return -1;
    // For a receipt of a verified run: which compiler built these numbers.
    return add(module, "_compiler", PyUnicode_FromString(COMPILER));
}

int exec_module(PyObject* module) {
    return guarded<-1>([module]() -> int {
        Ref module_name = Ref::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (const Registration& entry : REGISTRATION_ORDER) {
            if (register_one(module, module_name.get(), entry) < 0) return -1;
        }
        return 0;
    });
}

// The types refer to their module and the module state to the types: the
// garbage collector breaks that cycle through these two.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
    for (PyObject* type : state_of_module(module).types) Py_VISIT(type);
    return 0;
}

int clear_module(PyObject* module) {
    for (PyObject*& type : state_of_module(module).types) Py_CLEAR(type);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot MODULE_SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_core",         MODULE_DOC,   sizeof(ModuleState), nullptr,
    MODULE_SLOTS,          traverse_module, clear_module, free_module,
};

}  // namespace

PyObject* refuse_pickling(PyObject* self, const char* why) noexcept {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot pickle %U: %s", name.get(), why);
    return nullptr;
}

}  // namespace corvane::py

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&corvane::py::MODULE_DEF); }
