// ModelParams: an immutable coefficient set, a shipped preset or a
// fingerprinted deviation from one; and the `model_preset` summary.
#include "core/params.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

ModelParams& model_of(PyObject* self) { return payload_of<ModelParams>(self); }

// A keyword or dictionary entry on its way to `with_override`: the name as
// UTF-8 bytes, sorted byte-wise, and the value already converted.
struct Entry {
    std::string name;
    double value;
};

void sort_by_name(std::vector<Entry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return std::string_view(a.name) < std::string_view(b.name);
    });
}

std::optional<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return std::nullopt;
    return std::string(utf8, static_cast<std::size_t>(size));
}

// A coefficient value as the interpreter converts numbers (int and bool
// included, text never); anything else is "<name> must be a number".
std::optional<double> number_for(PyObject* value, const char* function, const std::string& name) {
    double number = 0.0;
    if (from_python(value, function, name.c_str(), number)) return number;
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
        PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        raise_validation(text::message(name, " must be a number"));
    }
    return std::nullopt;
}

std::optional<ModelParams> preset_or_raise(std::string_view name) {
    auto model = ModelParams::preset(name);
    if (!model) raise_validation(unknown_preset_message(name));
    return model;
}

// Applies overrides one at a time in the entries' order; the first refusal
// is raised and nothing is returned.
std::optional<ModelParams> apply_overrides(ModelParams model, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
        auto next = model.with_override(entry.name, entry.value);
        if (!unwrap(next)) return std::nullopt;
        model = *next;
    }
    return model;
}

constexpr Param FROM_PRESET_PARAMS[] = {optional_param("name", "kx-v14")};
constexpr Signature FROM_PRESET_SIGNATURE{"from_preset", FROM_PRESET_PARAMS, 1, true};

PyObject* ModelParams_from_preset(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(FROM_PRESET_SIGNATURE, args, nargs, kwnames);
        std::optional<std::string_view> name;
        if (!parsed || !parsed->extract(name)) return nullptr;
        auto base = preset_or_raise(name.value_or(DEFAULT_PRESET));
        if (!base) return nullptr;

        // Converted and applied in byte order of the keywords, so the first
        // bad one in that order is the one reported.
        std::vector<std::pair<std::string, PyObject*>> keywords;
        if (PyObject* extra = parsed->extra()) {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            Py_ssize_t position = 0;
            while (PyDict_Next(extra, &position, &key, &value)) {
                auto keyword = utf8_of(key);
                if (!keyword) return nullptr;
                keywords.emplace_back(std::move(*keyword), value);
            }
        }
        std::sort(keywords.begin(), keywords.end(), [](const auto& a, const auto& b) {
            return std::string_view(a.first) < std::string_view(b.first);
        });
        ModelParams model = *base;
        for (const auto& [keyword, value] : keywords) {
            auto number = number_for(value, "from_preset", keyword);
            if (!number) return nullptr;
            auto next = model.with_override(keyword, *number);
            if (!unwrap(next)) return nullptr;
            model = *next;
        }
        return MODEL_PARAMS.create(state_of_type(reinterpret_cast<PyTypeObject*>(type)),
                                   std::move(model));
    });
}

constexpr Param FROM_DICT_PARAMS[] = {{"values"}};
constexpr Signature FROM_DICT_SIGNATURE{"from_dict", FROM_DICT_PARAMS, 1};

// The value of a non-settable key must already be this build's, bit for bit.
bool check_fixed(const ModelParams& model, const Entry& entry) {
    auto own = model.get(entry.name);
    if (!own) {
        raise_validation(text::message(
            "unknown model parameter ", text::quoted(entry.name),
            " in the dictionary. A newer build may have written it; upgrade corvane rather than "
            "dropping it silently."));
        return false;
    }
    if (std::bit_cast<std::uint64_t>(*own) != std::bit_cast<std::uint64_t>(entry.value)) {
        raise_validation(text::message(
            entry.name, " is ", text::debug_number(entry.value), " in this dictionary but ",
            text::debug_number(*own),
            " on this build, and it is not runtime-settable here. The dictionary describes a "
            "model this build cannot run; use the build that wrote it."));
        return false;
    }
    return true;
}

PyObject* ModelParams_from_dict(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* values = nullptr;
        if (!parse_args(FROM_DICT_SIGNATURE, args, nargs, kwnames, values)) return nullptr;
        if (!PyDict_Check(values)) return wrong_type("from_dict", "values", "dict", values);
        // A snapshot of the items: converting a value may run caller code
        // that changes the dictionary.
        Ref items = Ref::steal(PyDict_Items(values));
        if (!items) return nullptr;
        Py_ssize_t count = PyList_Size(items.get());
        std::vector<Entry> entries;
        entries.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyList_GetItem(items.get(), i);
            PyObject* key = PyTuple_GetItem(item, 0);
            std::string name;
            if (!from_python(key, "from_dict", "key", name)) return nullptr;
            // The fingerprint is recomputed, never trusted.
            if (name == "name") continue;
            auto number = number_for(PyTuple_GetItem(item, 1), "from_dict", name);
            if (!number) return nullptr;
            entries.push_back({std::move(name), *number});
        }
        sort_by_name(entries);

        // Settable keys first, so the half-life is in place before the
        // derived bits are compared; then every other key must match.
        std::vector<Entry> settable;
        std::vector<const Entry*> fixed;
        auto names = ModelParams::settable_names();
        for (const Entry& entry : entries) {
            if (std::binary_search(names.begin(), names.end(), std::string_view(entry.name))) {
                settable.push_back(entry);
            } else {
                fixed.push_back(&entry);
            }
        }
        auto model = apply_overrides(*ModelParams::preset(SHIPPED_PRESETS.front()), settable);
        if (!model) return nullptr;
        for (const Entry* entry : fixed) {
            if (!check_fixed(*model, *entry)) return nullptr;
        }
        return MODEL_PARAMS.create(state_of_type(reinterpret_cast<PyTypeObject*>(type)),
                                   std::move(*model));
    });
}

PyObject* ModelParams_to_dict(PyObject* self, PyObject*) {
    return guarded([&] { return model_dict(model_of(self)); });
}

// Returns a new list of str.
PyObject* ModelParams_settable(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return list_of(ModelParams::settable_names()); });
}

// Class attributes first; any other name is a coefficient, read with `get`.
PyObject* ModelParams_getattro(PyObject* self, PyObject* name) {
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    return guarded([&]() -> PyObject* {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
        if (!utf8) return nullptr;
        auto value = model_of(self).get(std::string_view(utf8, static_cast<std::size_t>(size)));
        if (!value) {
            return PyErr_Format(PyExc_AttributeError, "ModelParams has no parameter %U", name);
        }
        return to_python(*value);
    });
}

// Equal exactly when every canonical value is bit-identical, which is when
// the digests agree.
PyObject* ModelParams_richcompare(PyObject* self, PyObject* other, int op) {
    if (!MODEL_PARAMS.of(other) || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guarded([&]() -> PyObject* {
        bool equal = model_of(self).digest() == model_of(other).digest();
        return to_python(op == Py_EQ ? equal : !equal);
    });
}

// Consistent with equality: the leading digest bytes.
Py_hash_t ModelParams_hash(PyObject* self) {
    return guarded<Py_hash_t{-1}>([&]() -> Py_hash_t {
        std::string digest = model_of(self).digest();
        std::uint64_t leading = 0;
        for (std::size_t i = 0; i < 16; ++i) {
            char c = digest[i];
            leading =
                (leading << 4) | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        auto hash = static_cast<Py_hash_t>(leading);
        return hash == -1 ? -2 : hash;
    });
}

// ModelParams("kx-v1"), or the fingerprint and every settable coefficient
// whose bits differ from kx-v1's, in settable order.
PyObject* ModelParams_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const ModelParams& model = model_of(self);
        const std::string fingerprint = model.fingerprint();
        std::string out = text::message("ModelParams(", text::quoted(fingerprint));
        if (fingerprint != SHIPPED_PRESETS.front()) {
            const ModelParams base = *ModelParams::preset(SHIPPED_PRESETS.front());
            std::vector<std::string> changed;
            for (std::string_view name : ModelParams::settable_names()) {
                double value = *model.get(name);
                if (std::bit_cast<std::uint64_t>(value) !=
                    std::bit_cast<std::uint64_t>(*base.get(name))) {
                    changed.push_back(text::message(name, "=", value));
                }
            }
            out.append(text::message(", from kx-v1 with ", text::join(changed)));
        }
        out.push_back(')');
        return to_python(out);
    });
}

constexpr Param MODEL_PRESET_PARAMS[] = {optional_param("name")};
constexpr Signature MODEL_PRESET_SIGNATURE{"model_preset", MODEL_PRESET_PARAMS, 1};

// Returns a new dict of the frozen summary shape.
PyObject* model_preset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::optional<std::string_view> name;
        if (!parse_args(MODEL_PRESET_SIGNATURE, args, nargs, kwnames, name)) return nullptr;
        const std::string_view preset_name = name.value_or(DEFAULT_PRESET);
        auto model = preset_or_raise(preset_name);
        if (!model) return nullptr;
        // Digests hash every value of this dict: its keys never change
        // without a version change.
        const std::pair<const char*, double> entries[] = {
            {"mispricing_half_life_days", model->mispricing_half_life_days},
            {"mispricing_phi", model->mispricing_phi},
            {"momentum_theta", model->momentum_theta},
            {"mispricing_cap", model->mispricing_cap},
            {"daily_shock_cap", DAILY_SHOCK_CAP},
            {"crowd_valuation_gain", model->crowd_valuation_gain},
            {"crowd_momentum_gain", model->crowd_momentum_gain},
            {"crowd_lean_cap", model->crowd_lean_cap},
        };
        Ref dict = Ref::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "name", preset_name)) return nullptr;
        for (const auto& [key, number] : entries) {
            if (!set_item(dict.get(), key, number)) return nullptr;
        }
        return dict.release();
    });
}

// A model pickles as its dictionary, which from_dict checks against this
// build on the way back in.
PyObject* ModelParams_reduce(PyObject* self) {
    Ref dict = Ref::steal(model_dict(model_of(self)));
    return dict ? values_tuple(Item{dict.get()}) : nullptr;
}

PyObject* ModelParams_rebuild(PyTypeObject* type, PyObject* values) {
    PyObject* dict = nullptr;
    if (!read_values("ModelParams", values, dict)) return nullptr;
    return ModelParams_from_dict(reinterpret_cast<PyObject*>(type), &dict, 1, nullptr);
}

PyMethodDef METHODS[] = {
    keywords_method(
        "from_preset", ModelParams_from_preset,
        signature_doc(
            FROM_PRESET_SIGNATURE, "",
            "The shipped preset `name` with each keyword override applied in byte order of the "
            "keywords. Any override that changes a bit makes the model a \"custom-\" variant; "
            "unknown, derived and compile-time names are refused (ValidationError), never "
            "dropped."),
        METH_CLASS),
    keywords_method(
        "from_dict", ModelParams_from_dict,
        signature_doc(
            FROM_DICT_SIGNATURE, "",
            "Rebuild a model from its dictionary (the inverse of to_dict). Keys it lacks keep "
            "kx-v1's "
            "values; \"name\" is ignored and the fingerprint recomputed. A key this build does not "
            "know, or a fixed constant with another value, is refused (ValidationError)."),
        METH_CLASS),
    noargs_method(
        "to_dict", ModelParams_to_dict,
        "to_dict($self, /)\n--\n\n"
        "\"name\" (the fingerprint) followed by the 122 coefficients and carried "
        "constants, and each option switched on, in ascending byte order of their names."),
    noargs_method("settable", ModelParams_settable,
                  "settable()\n--\n\nThe 95 coefficient names from_preset accepts as overrides, "
                  "sorted.",
                  METH_STATIC),
    {},
};

PyGetSetDef GETSET[] = {
    read_only<&ModelParams::fingerprint>(
        "fingerprint",
        "The shipped preset's name when the model is bit-identical to one, otherwise \"custom-\" "
        "and the first eight hex digits of its SHA-256 digest."),
    {},
};

}  // namespace

PyObject* model_dict(const ModelParams& model) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), "name", model.fingerprint())) return nullptr;
    for (const CanonicalPair& pair : model.to_pairs()) {
        if (!set_item(dict.get(), pair.name, pair.value)) return nullptr;
    }
    return dict.release();
}

Class<ModelParams> MODEL_PARAMS{
    "corvane._core.ModelParams",
    {
        .doc = "An immutable set of model coefficients: a shipped preset, or a fingerprinted "
               "deviation from one.\n\n"
               "Build one with ModelParams.from_preset(...) or ModelParams.from_dict(...). "
               "Every coefficient and carried constant reads as an attribute "
               "(m.garch_beta, m.book_levels). Two models are equal when all their values "
               "are bit-identical; equal models hash alike.",
        .repr = ModelParams_repr,
        .methods = METHODS,
        .getset = GETSET,
        .getattro = ModelParams_getattro,
        .richcompare = ModelParams_richcompare,
        .hash = ModelParams_hash,
        .reduce = ModelParams_reduce,
        .rebuild = ModelParams_rebuild,
    },
};

PyMethodDef MODEL_PRESET_FUNCTION = keywords_method(
    "model_preset", model_preset,
    signature_doc(
        MODEL_PRESET_SIGNATURE, "",
        "The mispricing coefficients of a shipped preset (default kx-v14) as a dict of fixed "
        "shape. The full coefficient set is ModelParams.from_preset(name).to_dict()."));

}  // namespace corvane::py
