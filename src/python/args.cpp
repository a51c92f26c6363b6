#include "python/args.hpp"

#include <limits>

#include "core/text.hpp"

namespace corvane::py {
namespace {

std::string call_name(const Signature& signature) {
    return text::message(signature.function, "()");
}

bool type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

std::string argument_prefix(const char* function, const char* what) {
    return text::message(function, "() argument '", what, "'");
}

}  // namespace

std::string type_name(PyObject* object) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!utf8) {
        PyErr_Clear();
        return "object";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<Args> Args::parse(const Signature& signature, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
    Args parsed(signature);
    auto given = static_cast<std::size_t>(nargs);
    if (given > signature.positional) {
        type_error(text::message(call_name(signature), " takes at most ", signature.positional,
                                 " positional argument", signature.positional == 1 ? "" : "s",
                                 " (", given, " given)"));
        return std::nullopt;
    }
    for (std::size_t i = 0; i < given; ++i) parsed.values_[i] = args[i];
    if (kwnames) {
        Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (!parsed.bind_keyword(PyTuple_GetItem(kwnames, k), args[nargs + k])) {
                return std::nullopt;
            }
        }
    }
    if (!parsed.check_required()) return std::nullopt;
    return parsed;
}

std::optional<Args> Args::parse(const Signature& signature, PyObject* args, PyObject* kwargs) {
    Args parsed(signature);
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    auto given = static_cast<std::size_t>(nargs);
    if (given > signature.positional) {
        type_error(text::message(call_name(signature), " takes at most ", signature.positional,
                                 " positional argument", signature.positional == 1 ? "" : "s",
                                 " (", given, " given)"));
        return std::nullopt;
    }
    for (std::size_t i = 0; i < given; ++i) {
        parsed.values_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (kwargs) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!parsed.bind_keyword(key, value)) return std::nullopt;
        }
    }
    if (!parsed.check_required()) return std::nullopt;
    return parsed;
}

bool Args::bind_keyword(PyObject* key, PyObject* value) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (!utf8) return false;
    std::string_view keyword(utf8, static_cast<std::size_t>(size));
    const auto& params = signature_->params;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (keyword != params[i].name) continue;
        if (values_[i]) {
            return type_error(text::message(call_name(*signature_),
                                            " got multiple values for argument '", keyword, "'"));
        }
        values_[i] = value;
        return true;
    }
    if (!signature_->extra_keywords) {
        return type_error(text::message(call_name(*signature_),
                                        " got an unexpected keyword argument '", keyword, "'"));
    }
    if (!extra_) {
        extra_ = Ref::steal(PyDict_New());
        if (!extra_) return false;
    }
    return PyDict_SetItem(extra_.get(), key, value) == 0;
}

bool Args::check_required() const {
    const auto& params = signature_->params;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!params[i].required || values_[i]) continue;
        if (i < signature_->positional) {
            return type_error(text::message(call_name(*signature_), " missing required argument '",
                                            params[i].name, "' (pos ", i + 1, ")"));
        }
        return type_error(text::message(call_name(*signature_),
                                        " missing required keyword-only argument '",
                                        params[i].name, "'"));
    }
    return true;
}

std::optional<double> to_f64(PyObject* object, const char* function, const char* what) {
    if (PyFloat_Check(object)) return PyFloat_AsDouble(object);
    if (PyLong_Check(object)) {
        double value = PyLong_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
        return value;
    }
    // float() would parse text; a number argument never does.
    if (!PyUnicode_Check(object) && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
        Ref as_float = Ref::steal(PyNumber_Float(object));
        if (as_float) return PyFloat_AsDouble(as_float.get());
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
        PyErr_Clear();
    }
    type_error(text::message(argument_prefix(function, what), " must be float, not ",
                             type_name(object)));
    return std::nullopt;
}

namespace {

// An exact integer (int or __index__), not a float: the interpreter refuses
// float for integer arguments rather than truncating.
Ref to_index(PyObject* object, const char* function, const char* what) {
    if (PyLong_Check(object)) return Ref::borrow(object);
    if (!PyFloat_Check(object)) {
        Ref index = Ref::steal(PyNumber_Index(object));
        if (index) return index;
        PyErr_Clear();
    }
    type_error(text::message(argument_prefix(function, what), " must be int, not ",
                             type_name(object)));
    return Ref();
}

bool out_of_range(const char* function, const char* what, const char* range) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError,
                    text::message(argument_prefix(function, what), " is out of range (", range, ")")
                        .c_str());
    return false;
}

}  // namespace

std::optional<std::int64_t> to_i64(PyObject* object, const char* function, const char* what) {
    Ref index = to_index(object, function, what);
    if (!index) return std::nullopt;
    long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        out_of_range(function, what, "a signed 64-bit integer is required");
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

std::optional<std::uint64_t> to_u64(PyObject* object, const char* function, const char* what) {
    Ref index = to_index(object, function, what);
    if (!index) return std::nullopt;
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        out_of_range(function, what, "an unsigned 64-bit integer is required");
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

std::optional<std::string_view> to_str(PyObject* object, const char* function, const char* what) {
    if (!PyUnicode_Check(object)) {
        type_error(text::message(argument_prefix(function, what), " must be str, not ",
                                 type_name(object)));
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (!utf8) return std::nullopt;
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<double> Args::f64(std::size_t i) const {
    return to_f64(values_[i], signature_->function, name(i));
}

std::optional<std::int64_t> Args::i64(std::size_t i) const {
    return to_i64(values_[i], signature_->function, name(i));
}

std::optional<std::uint64_t> Args::u64(std::size_t i) const {
    return to_u64(values_[i], signature_->function, name(i));
}

std::optional<std::uint32_t> Args::u32(std::size_t i) const {
    auto value = to_u64(values_[i], signature_->function, name(i));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            out_of_range(signature_->function, name(i), "0 to 4294967295");
        }
        return std::nullopt;
    }
    if (*value > std::numeric_limits<std::uint32_t>::max()) {
        out_of_range(signature_->function, name(i), "0 to 4294967295");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

std::optional<bool> Args::boolean(std::size_t i) const {
    int truth = PyObject_IsTrue(values_[i]);
    if (truth < 0) return std::nullopt;
    return truth == 1;
}

std::optional<std::string_view> Args::str(std::size_t i) const {
    return to_str(values_[i], signature_->function, name(i));
}

std::optional<std::optional<double>> Args::optional_f64(std::size_t i) const {
    if (!present(i)) return std::optional<double>{};
    auto value = f64(i);
    if (!value) return std::nullopt;
    return std::optional<double>{*value};
}

std::optional<std::optional<std::string_view>> Args::optional_str(std::size_t i) const {
    if (!present(i)) return std::optional<std::string_view>{};
    auto value = str(i);
    if (!value) return std::nullopt;
    return std::optional<std::string_view>{*value};
}

PyObject* to_python(double value) noexcept { return PyFloat_FromDouble(value); }

PyObject* to_python(std::string_view value) noexcept {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* to_python(std::int64_t value) noexcept {
    return PyLong_FromLongLong(static_cast<long long>(value));
}

PyObject* to_python(std::uint64_t value) noexcept {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

PyObject* to_python(bool value) noexcept { return PyBool_FromLong(value ? 1 : 0); }

}  // namespace corvane::py
