#include "python/args.hpp"

#include <bit>
#include <cstring>
#include <deque>
#include <limits>

#include "core/text.hpp"

namespace corvane::py {
namespace {

std::string call_name(const Signature& signature) {
    return text::message(signature.function, "()");
}

bool type_error(const std::string& message) {
    set_error(PyExc_TypeError, message);
    return false;
}

// A keyword as the interpreter writes names in its own errors ('seed'),
// with whatever it holds (a NUL, a lone surrogate) escaped, not cut.
std::string keyword_text(PyObject* key) {
    Ref repr = Ref::steal(PyObject_Repr(key));
    Py_ssize_t size = 0;
    const char* utf8 = repr ? PyUnicode_AsUTF8AndSize(repr.get(), &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "'?'";
    }
    std::string_view text(utf8, static_cast<std::size_t>(size));
    constexpr std::size_t LIMIT = text::QUOTED_CHARACTERS;
    if (text.size() <= LIMIT) return std::string(text);
    std::size_t cut = LIMIT;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text::message(text.substr(0, cut), "\u2026'");
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

std::optional<Args> Args::parse(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    Args parsed(signature);
    auto given = static_cast<std::size_t>(nargs);
    if (!parsed.check_positional(given)) return std::nullopt;
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
    auto given = static_cast<std::size_t>(args ? PyTuple_Size(args) : 0);
    if (!parsed.check_positional(given)) return std::nullopt;
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

bool Args::check_positional(std::size_t given) const {
    const std::size_t allowed = signature_->positional;
    if (given <= allowed) return true;
    return type_error(text::message(call_name(*signature_), " takes at most ", allowed,
                                    " positional argument", allowed == 1 ? "" : "s", " (", given,
                                    " given)"));
}

bool Args::bind_keyword(PyObject* key, PyObject* value) {
    Py_ssize_t size = 0;
    // A keyword that is not valid UTF-8 (a lone surrogate) names no parameter.
    const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (!utf8) PyErr_Clear();
    std::string_view keyword(utf8 ? utf8 : "", static_cast<std::size_t>(size));
    const auto& params = signature_->params;
    for (std::size_t i = 0; utf8 && i < params.size(); ++i) {
        if (keyword != params[i].name) continue;
        if (values_[i]) {
            return type_error(text::message(call_name(*signature_),
                                            " got multiple values for argument '", keyword, "'"));
        }
        values_[i] = value;
        return true;
    }
    if (!signature_->extra_keywords || !utf8) {
        return type_error(text::message(call_name(*signature_),
                                        " got an unexpected keyword argument ", keyword_text(key)));
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
        if (!params[i].required() || values_[i]) continue;
        if (i < signature_->positional) {
            return type_error(text::message(call_name(*signature_), " missing required argument '",
                                            params[i].name, "' (pos ", i + 1, ")"));
        }
        return type_error(text::message(call_name(*signature_),
                                        " missing required keyword-only argument '", params[i].name,
                                        "'"));
    }
    return true;
}

bool Args::default_mismatch(const Param& param) const {
    set_error(PyExc_SystemError, text::message(call_name(*signature_), " declares a default for '",
                                               param.name, "' that its variable cannot take"));
    return false;
}

namespace {

// A default as the interpreter would write it back.
std::string default_text(const Default& fallback) {
    switch (fallback.kind) {
        case Default::Kind::required: break;
        case Default::Kind::none: return "None";
        case Default::Kind::boolean: return fallback.boolean ? "True" : "False";
        case Default::Kind::integer: return text::message(fallback.integer);
        case Default::Kind::real: return text::debug_number(fallback.real);
        case Default::Kind::text: return text::message("'", fallback.text, "'");
    }
    return "";
}

}  // namespace

const char* signature_doc(const Signature& signature, const char* first, const char* doc) {
    std::string text = text::message(signature.function, "(", first);
    const char* separator = *first ? ", " : "";
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        const Param& param = signature.params[i];
        if (i == signature.positional) text += text::message(separator, "*"), separator = ", ";
        text += text::message(separator, param.name);
        if (!param.required()) text += text::message("=", default_text(param.fallback));
        separator = ", ";
    }
    if (signature.extra_keywords) text += text::message(separator, "**overrides");
    text += text::message(")\n--\n\n", doc);
    // Docstrings must outlive every method table that points at them.
    static std::deque<std::string> kept;
    return kept.emplace_back(std::move(text)).c_str();
}

bool Args::slot_count_mismatch() const {
    set_error(PyExc_SystemError, text::message(call_name(*signature_),
                                               " extracts a different number of "
                                               "arguments than it declares"));
    return false;
}

void set_error(PyObject* type, const std::string& message) {
    // Sized: a message may hold a NUL that a C string would stop at.
    Ref text = Ref::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
}

namespace {

// Sets `type` naming the argument, with the pending error as its cause.
bool rename_pending(PyObject* type, const char* function, const char* what,
                    std::string_view problem, bool with_detail = true) {
    PyObject* pending_type = nullptr;
    PyObject* pending_value = nullptr;
    PyObject* pending_traceback = nullptr;
    PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
    PyErr_NormalizeException(&pending_type, &pending_value, &pending_traceback);
    Ref cause = Ref::steal(pending_value);
    Py_XDECREF(pending_type);
    Py_XDECREF(pending_traceback);
    std::string detail;
    if (cause && with_detail) {
        Ref text = Ref::steal(PyObject_Str(cause.get()));
        Py_ssize_t size = 0;
        const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
        if (utf8) {
            detail =
                text::message(" (", std::string_view(utf8, static_cast<std::size_t>(size)), ")");
        }
        PyErr_Clear();
    }
    set_error(type, text::message(argument_prefix(function, what), " ", problem, detail));
    if (cause) {
        PyObject* raised_type = nullptr;
        PyObject* raised = nullptr;
        PyObject* raised_traceback = nullptr;
        PyErr_Fetch(&raised_type, &raised, &raised_traceback);
        PyErr_NormalizeException(&raised_type, &raised, &raised_traceback);
        if (raised) PyException_SetCause(raised, cause.release());
        PyErr_Restore(raised_type, raised, raised_traceback);
    }
    return false;
}

// Only a refusal of the object's type becomes our "must be" error; anything
// else its own conversion raised (KeyboardInterrupt, MemoryError, a bug in
// the caller's __index__) passes through untouched.
bool pending_is_type_error() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace

Ref sequence_items(PyObject* object, const char* function, const char* what,
                   std::string_view expected, Accepts accepts) {
    if (PyTuple_Check(object) && accepts != Accepts::list) return Ref::borrow(object);
    // A list's items as they are now, with no code of the caller's run (a
    // subclass's __iter__ would be).
    if (PyList_Check(object)) return Ref::steal(PyList_AsTuple(object));
    if (accepts == Accepts::iterable && !PyUnicode_Check(object) && !PyBytes_Check(object) &&
        !PyByteArray_Check(object)) {
        Ref items = Ref::steal(PySequence_Tuple(object));
        if (items || !pending_is_type_error()) return items;
    }
    wrong_type(function, what, expected, object);
    return Ref();
}

PyObject* wrong_type(const char* function, const char* what, std::string_view expected,
                     PyObject* object) {
    type_error(text::message(argument_prefix(function, what), " must be ", expected, ", not ",
                             type_name(object)));
    return nullptr;
}

bool from_python(PyObject* object, const char* function, const char* what, double& out) {
    if (PyFloat_Check(object)) {
        out = PyFloat_AsDouble(object);
        return true;
    }
    // float() would parse text; a number argument never does.
    if (!PyUnicode_Check(object) && !PyBytes_Check(object) && !PyByteArray_Check(object)) {
        if (PyLong_Check(object)) {
            double value = PyLong_AsDouble(object);
            if (!(value == -1.0 && PyErr_Occurred())) {
                out = value;
                return true;
            }
        } else if (Ref as_float = Ref::steal(PyNumber_Float(object))) {
            out = PyFloat_AsDouble(as_float.get());
            return true;
        }
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return rename_pending(PyExc_OverflowError, function, what,
                                  "is too large to convert to float", false);
        }
        if (!pending_is_type_error()) return false;
    }
    wrong_type(function, what, "float", object);
    return false;
}

namespace {

// An exact integer (int or __index__), not a float: the interpreter refuses
// float for integer arguments rather than truncating.
Ref to_index(PyObject* object, const char* function, const char* what) {
    if (PyLong_Check(object)) return Ref::borrow(object);
    if (!PyFloat_Check(object)) {
        Ref index = Ref::steal(PyNumber_Index(object));
        if (index) return index;
        if (!pending_is_type_error()) return Ref();
    }
    wrong_type(function, what, "int", object);
    return Ref();
}

bool out_of_range(const char* function, const char* what, const char* range) {
    PyErr_Clear();
    PyErr_SetString(
        PyExc_OverflowError,
        text::message(argument_prefix(function, what), " is out of range (", range, ")").c_str());
    return false;
}

}  // namespace

bool from_python(PyObject* object, const char* function, const char* what, std::int64_t& out) {
    Ref index = to_index(object, function, what);
    if (!index) return false;
    long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        return out_of_range(function, what, "a signed 64-bit integer is required");
    }
    out = static_cast<std::int64_t>(value);
    return true;
}

bool from_python(PyObject* object, const char* function, const char* what, std::uint64_t& out) {
    Ref index = to_index(object, function, what);
    if (!index) return false;
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return out_of_range(function, what, "an unsigned 64-bit integer is required");
    }
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool from_python(PyObject* object, const char* function, const char* what, std::uint32_t& out) {
    constexpr const char* RANGE = "0 to 4294967295";
    std::uint64_t value = 0;
    if (!from_python(object, function, what, value)) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) out_of_range(function, what, RANGE);
        return false;
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        return out_of_range(function, what, RANGE);
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool from_python(PyObject* object, const char*, const char*, bool& out) {
    int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
}

bool from_python(PyObject* object, const char* function, const char* what, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        wrong_type(function, what, "str", object);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return false;
        return rename_pending(PyExc_ValueError, function, what, "is not valid text");
    }
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool from_python(PyObject* object, const char* function, const char* what, std::string& out) {
    std::string_view view;
    if (!from_python(object, function, what, view)) return false;
    out.assign(view);
    return true;
}

PyObject* to_python(double value) noexcept { return PyFloat_FromDouble(value); }

PyObject* f64_result(PyObject* bytes, bool as_numpy, Py_ssize_t rows, Py_ssize_t cols,
                     bool transposed) {
    Ref owned = Ref::steal(bytes);
    if (!owned || !as_numpy) return owned.release();
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    // frombuffer over immutable bytes is a read-only view: no copy is made.
    Ref flat = Ref::steal(PyObject_CallMethod(numpy.get(), "frombuffer", "Os", owned.get(), "<f8"));
    if (!flat || cols == 0) return flat.release();
    Ref shaped = Ref::steal(PyObject_CallMethod(flat.get(), "reshape", "nn", rows, cols));
    if (!shaped || !transposed) return shaped.release();
    return PyObject_GetAttrString(shaped.get(), "T");
}

PyObject* f64_bytes(std::span<const double> values) noexcept {
    constexpr std::size_t LIMIT = static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(double);
    if (values.size() > LIMIT) return PyErr_NoMemory();
    auto size = static_cast<Py_ssize_t>(values.size() * sizeof(double));
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!bytes) return nullptr;
    char* out = PyBytes_AsString(bytes.get());
    if constexpr (std::endian::native == std::endian::little) {
        if (size > 0) std::memcpy(out, values.data(), static_cast<std::size_t>(size));
    } else {
        for (double value : values) {
            auto bits = std::bit_cast<std::uint64_t>(value);
            for (int k = 0; k < 8; ++k) *out++ = static_cast<char>((bits >> (8 * k)) & 0xFF);
        }
    }
    return bytes.release();
}

PyObject* to_python(std::string_view value) noexcept {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

}  // namespace corvane::py
