// Argument parsing for binding functions: positional and keyword binding by
// name, then typed conversions whose errors are the interpreter's own
// TypeError/OverflowError naming the function and the argument.
//
// Every converter returns an empty optional with an interpreter error set on
// failure, so a body reads: `auto x = args.f64(0); if (!x) return nullptr;`.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/ref.hpp"

namespace corvane::py {

struct Param {
    const char* name;
    bool required = true;
};
constexpr Param optional_param(const char* name) { return {name, false}; }

// A parameter list as the interpreter sees it: the first `positional`
// parameters may come by position, the rest only by keyword.
struct Signature {
    const char* function;
    std::span<const Param> params;
    std::size_t positional;
    // Collect unknown keywords instead of refusing them (`**overrides`).
    bool extra_keywords = false;
};

class Args {
public:
    static constexpr std::size_t MAX_PARAMS = 24;

    // From a vectorcall (METH_FASTCALL | METH_KEYWORDS) invocation.
    static std::optional<Args> parse(const Signature& signature, PyObject* const* args,
                                     Py_ssize_t nargs, PyObject* kwnames);
    // From a tuple and an optional dict (tp_new, tp_init).
    static std::optional<Args> parse(const Signature& signature, PyObject* args,
                                     PyObject* kwargs);

    // The argument in slot i (borrowed), or null when it was not given.
    PyObject* operator[](std::size_t i) const { return values_[i]; }
    bool given(std::size_t i) const { return values_[i] != nullptr; }
    // Given and not None.
    bool present(std::size_t i) const { return values_[i] && values_[i] != Py_None; }
    // Keywords that matched no parameter, in call order (a dict; may be null).
    PyObject* extra() const { return extra_.get(); }

    std::optional<double> f64(std::size_t i) const;
    std::optional<std::int64_t> i64(std::size_t i) const;
    std::optional<std::uint64_t> u64(std::size_t i) const;
    std::optional<std::uint32_t> u32(std::size_t i) const;
    std::optional<bool> boolean(std::size_t i) const;
    // A view into the interpreter's UTF-8 cache, valid while the argument lives.
    std::optional<std::string_view> str(std::size_t i) const;
    // None (or absent) gives `std::optional<T>{}` wrapped in the outer optional.
    std::optional<std::optional<double>> optional_f64(std::size_t i) const;
    std::optional<std::optional<std::string_view>> optional_str(std::size_t i) const;

    const char* name(std::size_t i) const { return signature_->params[i].name; }

private:
    explicit Args(const Signature& signature) : signature_(&signature) { values_.fill(nullptr); }
    bool bind_keyword(PyObject* key, PyObject* value);
    bool check_required() const;

    const Signature* signature_;
    std::array<PyObject*, MAX_PARAMS> values_;
    Ref extra_;
};

// Conversions of a single object, for values that are not direct arguments
// (list items, dict values); `what` names the value in the error.
std::optional<double> to_f64(PyObject* object, const char* function, const char* what);
std::optional<std::int64_t> to_i64(PyObject* object, const char* function, const char* what);
std::optional<std::uint64_t> to_u64(PyObject* object, const char* function, const char* what);
std::optional<std::string_view> to_str(PyObject* object, const char* function, const char* what);

// The interpreter's name of an object's type ("str", "float").
std::string type_name(PyObject* object);

// New references to interpreter values; null with an error set on failure.
PyObject* to_python(double value) noexcept;
PyObject* to_python(std::string_view value) noexcept;
inline PyObject* to_python(const char* value) noexcept { return to_python(std::string_view(value)); }
PyObject* to_python(std::int64_t value) noexcept;
PyObject* to_python(std::uint64_t value) noexcept;
PyObject* to_python(bool value) noexcept;

}  // namespace corvane::py
