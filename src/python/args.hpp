// Argument parsing for binding functions: positional and keyword binding by
// name, then conversions chosen by the type of the variable each argument
// goes into. Their errors are the interpreter's own TypeError/OverflowError
// naming the function and the argument.
//
// A body declares its arguments and parses into them:
//
//     std::string_view side;
//     double quantity{};
//     std::string_view taker;
//     std::optional<double> limit_price;
//     if (!parse_args(SUBMIT_SIGNATURE, args, nargs, kwnames, side, quantity, taker,
//                     limit_price)) {
//         return nullptr;
//     }
//
// Arguments convert in signature order and the first failure stops the rest;
// a body's own checks (ranges, names) follow, before any state changes.
// An argument the caller left out takes its parameter's default, the one
// the text signature shows, so a default is written once, in the parameter
// list; None is accepted only into a std::optional, which it empties.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/ref.hpp"

namespace corvane::py {

// What leaving a parameter out means: the value its variable takes, and
// the text the signature shows for it, from one declaration. None empties a
// std::optional (or leaves an argument that converts itself as it is); the
// others set the variable.
struct Default {
    enum class Kind : std::uint8_t { required, none, boolean, integer, real, text };
    Kind kind = Kind::required;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    const char* text = nullptr;
};

struct Param {
    const char* name;
    Default fallback{};
    constexpr bool required() const noexcept { return fallback.kind == Default::Kind::required; }
};
// A parameter that defaults to None; the others to the value given.
constexpr Param optional_param(const char* name) { return {name, {.kind = Default::Kind::none}}; }
constexpr Param optional_param(const char* name, bool value) {
    return {name, {.kind = Default::Kind::boolean, .boolean = value}};
}
constexpr Param optional_param(const char* name, int value) {
    return {name, {.kind = Default::Kind::integer, .integer = value}};
}
constexpr Param optional_param(const char* name, std::int64_t value) {
    return {name, {.kind = Default::Kind::integer, .integer = value}};
}
constexpr Param optional_param(const char* name, double value) {
    return {name, {.kind = Default::Kind::real, .real = value}};
}
constexpr Param optional_param(const char* name, const char* value) {
    return {name, {.kind = Default::Kind::text, .text = value}};
}

// A parameter list as the interpreter sees it: the first `positional`
// parameters may come by position, the rest only by keyword.
struct Signature {
    const char* function;
    std::span<const Param> params;
    std::size_t positional;
    // Collect unknown keywords instead of refusing them (`**overrides`).
    bool extra_keywords = false;
};

// The interpreter's text signature of `signature` followed by `doc`, as a
// method's or function's docstring ("tick($self, hour, *, volatility=1.0)\n--\n\n..."):
// `first` is "$self", "$module" or empty (a constructor). Kept for the life of the process.
const char* signature_doc(const Signature& signature, const char* first, const char* doc);

// ---- Conversions of one object ----
//
// `from_python(object, function, what, out)` converts `object`, named `what`
// in errors about `function`, into `out`, by out's type; false with an error
// set (and `out` unchanged) on failure:
//   double               int, float or anything with __float__; never text
//   int64_t, uint64_t,   int or anything with __index__; never float; out of
//   uint32_t             range is an OverflowError
//   bool                 any object's truth value
//   std::string_view     str, viewed in the interpreter's UTF-8 cache (valid
//                        while the object lives)
//   std::string          str, copied
//   std::optional<T>     None empties it; anything else converts as T
//   PyObject*            the object itself, borrowed
// A type of its own converts itself through a member
// `bool from_python(PyObject*, const char* function, const char* what)`,
// as `instance(CLASS, pointer)` (types.hpp) does for a binding class.
bool from_python(PyObject* object, const char* function, const char* what, double& out);
bool from_python(PyObject* object, const char* function, const char* what, std::int64_t& out);
bool from_python(PyObject* object, const char* function, const char* what, std::uint64_t& out);
bool from_python(PyObject* object, const char* function, const char* what, std::uint32_t& out);
bool from_python(PyObject* object, const char* function, const char* what, bool& out);
bool from_python(PyObject* object, const char* function, const char* what, std::string_view& out);
bool from_python(PyObject* object, const char* function, const char* what, std::string& out);
inline bool from_python(PyObject* object, const char*, const char*, PyObject*& out) {
    out = object;
    return true;
}

template <class T>
bool from_python(PyObject* object, const char* function, const char* what, std::optional<T>& out) {
    if (object == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!from_python(object, function, what, value)) return false;
    out = std::move(value);
    return true;
}

template <class Out>
concept ConvertsItself = requires(Out& out, PyObject* object, const char* text) {
    { out.from_python(object, text, text) } -> std::same_as<bool>;
};

template <ConvertsItself Out>
bool from_python(PyObject* object, const char* function, const char* what, Out& out) {
    return out.from_python(object, function, what);
}

// ---- Sequences ----
//
// Converting an item may run the caller's code (__float__, __index__) that
// shrinks the list being read and frees the items not yet read. A sequence is
// therefore read from a tuple of its own, taken before any item converts:
// the caller's tuple itself (immutable) or a copy of the caller's list.

enum class Accepts { list, list_or_tuple, iterable };

// The items of `object` as such a tuple, when it is of a kind `accepts`
// names (`iterable`: anything iter() takes but text and bytes); otherwise
// null with "<function>() argument '<what>' must be <expected>, not <type>".
Ref sequence_items(PyObject* object, const char* function, const char* what,
                   std::string_view expected, Accepts accepts);

// Calls `convert(i, item)` for each item of a tuple from `sequence_items`,
// in order, until one returns false. A long one can be stopped with Ctrl-C.
template <class Convert>
bool for_each_item(const Ref& items, Convert&& convert) {
    const Py_ssize_t size = PyTuple_Size(items.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        if ((i & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() < 0) return false;
        if (!convert(static_cast<std::size_t>(i), PyTuple_GetItem(items.get(), i))) return false;
    }
    return true;
}

// A sequence argument whose items convert as T, each named "<what>[i]" in
// errors; `out` is written only when every item converted.
template <class T>
struct SequenceArg {
    std::vector<T>& out;
    std::string_view expected;
    Accepts accepts = Accepts::list_or_tuple;

    bool from_python(PyObject* object, const char* function, const char* what) const;
};

// Sets "<function>() argument '<what>' must be <expected>, not <type>" as a
// TypeError; always returns nullptr.
PyObject* wrong_type(const char* function, const char* what, std::string_view expected,
                     PyObject* object);

// Sets an error of `type` with `message`, whole (NULs included).
void set_error(PyObject* type, const std::string& message);

// The interpreter's name of an object's type ("str", "float").
std::string type_name(PyObject* object);

template <class T>
bool SequenceArg<T>::from_python(PyObject* object, const char* function, const char* what) const {
    Ref items = sequence_items(object, function, what, expected, accepts);
    if (!items) return false;
    std::vector<T> values;
    values.reserve(static_cast<std::size_t>(PyTuple_Size(items.get())));
    // The item's name for errors, rebuilt in one buffer: no allocation per item.
    std::string label;
    bool converted = for_each_item(items, [&](std::size_t i, PyObject* item) {
        label.assign(what).append("[").append(std::to_string(i)).append("]");
        T value{};
        if (!py::from_python(item, function, label.c_str(), value)) return false;
        values.push_back(std::move(value));
        return true;
    });
    if (converted) out = std::move(values);
    return converted;
}

// ---- Defaults ----
//
// `apply_default(fallback, out)` sets `out` to a parameter's default; false
// when the default does not fit the variable's type (a binding's own slip,
// reported as SystemError).
inline bool apply_default(const Default& fallback, double& out) {
    if (fallback.kind == Default::Kind::real) out = fallback.real;
    if (fallback.kind == Default::Kind::integer) out = static_cast<double>(fallback.integer);
    return fallback.kind == Default::Kind::real || fallback.kind == Default::Kind::integer;
}
template <std::integral Integer>
bool apply_default(const Default& fallback, Integer& out) {
    if constexpr (std::is_same_v<Integer, bool>) {
        if (fallback.kind == Default::Kind::boolean) out = fallback.boolean;
        return fallback.kind == Default::Kind::boolean;
    } else {
        if (fallback.kind == Default::Kind::integer) out = static_cast<Integer>(fallback.integer);
        return fallback.kind == Default::Kind::integer && std::in_range<Integer>(fallback.integer);
    }
}
inline bool apply_default(const Default& fallback, std::string_view& out) {
    if (fallback.kind == Default::Kind::text) out = fallback.text;
    return fallback.kind == Default::Kind::text;
}
inline bool apply_default(const Default& fallback, std::string& out) {
    if (fallback.kind == Default::Kind::text) out = fallback.text;
    return fallback.kind == Default::Kind::text;
}
// An object argument left out is None itself (borrowed), as if passed.
inline bool apply_default(const Default& fallback, PyObject*& out) {
    if (fallback.kind == Default::Kind::none) out = Py_None;
    return fallback.kind == Default::Kind::none;
}
template <class T>
bool apply_default(const Default& fallback, std::optional<T>& out) {
    if (fallback.kind == Default::Kind::none) {
        out.reset();
        return true;
    }
    T value{};
    if (!apply_default(fallback, value)) return false;
    out = std::move(value);
    return true;
}
// An argument that converts itself keeps its own empty state.
template <class Out>
requires ConvertsItself<Out>
bool apply_default(const Default& fallback, const Out&) {
    return fallback.kind == Default::Kind::none;
}

// ---- Binding a call's arguments to a signature ----

class Args {
public:
    static constexpr std::size_t MAX_PARAMS = 24;

    // From a vectorcall (METH_FASTCALL | METH_KEYWORDS) invocation.
    static std::optional<Args> parse(const Signature& signature, PyObject* const* args,
                                     Py_ssize_t nargs, PyObject* kwnames);
    // From a tuple and an optional dict (tp_new, tp_init).
    static std::optional<Args> parse(const Signature& signature, PyObject* args, PyObject* kwargs);

    // Whether the caller passed the argument of slot i at all.
    bool given(std::size_t i) const { return values_[i] != nullptr; }
    // Keywords that matched no parameter, in call order (a dict; may be null).
    PyObject* extra() const { return extra_.get(); }

    // Converts every given argument, in signature order, into the variable
    // of its slot (one per parameter); stops at the first failure.
    template <class... Outs>
    bool extract(Outs&&... outs) const {
        // An rvalue would take the value and drop it.
        static_assert(((std::is_lvalue_reference_v<Outs> || ConvertsItself<Outs>)&&...),
                      "extract into variables");
        if (sizeof...(Outs) != signature_->params.size()) return slot_count_mismatch();
        [[maybe_unused]] std::size_t i = 0;
        return (extract_one(i++, outs) && ...);
    }

private:
    explicit Args(const Signature& signature) : signature_(&signature) { values_.fill(nullptr); }
    bool check_positional(std::size_t given) const;
    bool bind_keyword(PyObject* key, PyObject* value);
    bool check_required() const;
    bool slot_count_mismatch() const;

    template <class Out>
    bool extract_one(std::size_t i, Out& out) const {
        const Param& param = signature_->params[i];
        if (given(i)) return from_python(values_[i], signature_->function, param.name, out);
        return param.required() || apply_default(param.fallback, out) || default_mismatch(param);
    }
    bool default_mismatch(const Param& param) const;

    const Signature* signature_;
    std::array<PyObject*, MAX_PARAMS> values_;
    Ref extra_;
};

// Parse and extract in one step, for bodies that need no raw argument.
template <class... Outs>
bool parse_args(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, Outs&&... outs) {
    auto parsed = Args::parse(signature, args, nargs, kwnames);
    return parsed && parsed->extract(std::forward<Outs>(outs)...);
}

template <class... Outs>
bool parse_args(const Signature& signature, PyObject* args, PyObject* kwargs, Outs&&... outs) {
    auto parsed = Args::parse(signature, args, kwargs);
    return parsed && parsed->extract(std::forward<Outs>(outs)...);
}

// ---- Results ----

// New references to interpreter values; null with an error set on failure.
PyObject* to_python(double value) noexcept;
PyObject* to_python(std::string_view value) noexcept;
inline PyObject* to_python(const char* value) noexcept {
    return to_python(std::string_view(value));
}

template <std::integral T>
PyObject* to_python(T value) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
        return PyBool_FromLong(value ? 1 : 0);
    } else if constexpr (std::is_signed_v<T>) {
        return PyLong_FromLongLong(value);
    } else {
        return PyLong_FromUnsignedLongLong(value);
    }
}

// New bytes: the values as little-endian IEEE-754 binary64, 8 bytes each.
PyObject* f64_bytes(std::span<const double> values) noexcept;

// A read-out's result: `bytes` (a new reference, taken) as it is, or, when
// `as_numpy`, a read-only float64 numpy array over those very bytes: flat
// when `cols` is 0, else rows x cols, seen transposed when `transposed`.
// numpy is imported here and nowhere else.
PyObject* f64_result(PyObject* bytes, bool as_numpy, Py_ssize_t rows = 0, Py_ssize_t cols = 0,
                     bool transposed = false);

// None when empty.
template <class T>
PyObject* to_python(const std::optional<T>& value) noexcept {
    if (!value) return Py_NewRef(Py_None);
    return to_python(*value);
}

// A new list of `convert(item)` for each item in order (`to_python` unless
// given); null with an error set.
// A long list can be stopped with Ctrl-C while it is built.
template <class Range, class Convert>
PyObject* list_of(const Range& items, Convert&& convert) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        if ((i & 0xFFFF) == 0xFFFF && PyErr_CheckSignals() < 0) return nullptr;
        PyObject* value = convert(item);
        if (!value) return nullptr;
        PyList_SetItem(list.get(), i++, value);
    }
    return list.release();
}

template <class Range>
PyObject* list_of(const Range& items) {
    return list_of(items, [](const auto& item) { return to_python(item); });
}

// dict[key] = value, both converted by `to_python`; false with an error set.
template <class Key, class Value>
bool set_item(PyObject* dict, const Key& key, const Value& value) {
    Ref key_object = Ref::steal(to_python(key));
    if (!key_object) return false;
    Ref value_object = Ref::steal(to_python(value));
    return value_object && PyDict_SetItem(dict, key_object.get(), value_object.get()) == 0;
}

// A dict filled key by key, in order, for the dicts the module hands out
// (the order log, snapshots); after a failure it adds nothing more and
// `finish` returns null with the error set.
class DictBuilder {
public:
    DictBuilder() : dict_(Ref::steal(PyDict_New())) {}

    template <class Value>
    DictBuilder& add(const char* key, const Value& value) {
        if (dict_) ok_ = ok_ && set_item(dict_.get(), key, value);
        return *this;
    }
    // Takes a new reference (null means failure).
    DictBuilder& add_object(const char* key, PyObject* value) {
        Ref owned = Ref::steal(value);
        if (dict_) ok_ = ok_ && owned && PyDict_SetItemString(dict_.get(), key, owned.get()) == 0;
        return *this;
    }
    PyObject* finish() { return dict_ && ok_ ? dict_.release() : nullptr; }

private:
    Ref dict_;
    bool ok_ = true;
};

}  // namespace corvane::py
