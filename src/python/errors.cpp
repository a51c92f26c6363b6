#include "python/errors.hpp"

#include <stdexcept>

namespace corvane::py {
namespace {

constexpr const char* VALIDATION_ERROR_DOC =
    "Raised when construction input is rejected at the boundary. Subclasses ValueError, so "
    "`except ValueError` keeps working while the specific type is available to callers who want "
    "it. The taxonomy is deliberately tiny: a simulator that invents an error type per field "
    "teaches users to catch Exception, which catches the bugs too.";

constexpr const char* ORDER_ERROR_DOC =
    "Raised when an order is rejected. Distinct from ValidationError because the causes differ "
    "in kind: a malformed scenario is a setup mistake, made once, whereas a rejected order is a "
    "market rule hit during a run -- a market order outside regular hours, or a size the book "
    "will not accept. Callers reasonably handle the two differently.";

PyObject* create_once(PyObject*& slot, const char* name, const char* doc) noexcept {
    // Process-wide and never released: every module instance shares them.
    if (!slot) slot = PyErr_NewExceptionWithDoc(name, doc, PyExc_ValueError, nullptr);
    return slot;
}

}  // namespace

PyObject* validation_error_type() noexcept {
    static PyObject* type = nullptr;
    return create_once(type, "_core.ValidationError", VALIDATION_ERROR_DOC);
}

PyObject* order_error_type() noexcept {
    static PyObject* type = nullptr;
    return create_once(type, "_core.OrderError", ORDER_ERROR_DOC);
}

PyObject* raise(ErrorKind kind, const std::string& message) noexcept {
    PyObject* type = kind == ErrorKind::order ? order_error_type() : validation_error_type();
    if (type) {
        Ref text = Ref::steal(
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        if (text) PyErr_SetObject(type, text.get());
    }
    return nullptr;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace corvane::py
