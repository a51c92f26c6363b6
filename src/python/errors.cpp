#include "python/errors.hpp"

#include <stdexcept>

#include "core/allocation.hpp"

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

// The exceptions' names ("_core.ValidationError") lead to no importable
// module, so the default pickling, which looks the class up by that name,
// fails (an error raised in a process-pool worker would never reach its
// caller). An instance of either type therefore pickles as a call of the
// module's `_restore_error` with the type's short name and the arguments.
PyObject* reduce_error(PyObject* self, PyObject*) noexcept {
    bool ours = Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(validation_error_type()) ||
                Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(order_error_type());
    Ref args = Ref::steal(PyObject_GetAttrString(self, "args"));
    Ref state = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!args || !state) return nullptr;
    if (!ours) {
        // A caller's subclass pickles as exceptions always do.
        return Py_BuildValue("(OOO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(),
                             state.get());
    }
    Ref module = Ref::steal(PyImport_ImportModule("corvane._core"));
    if (!module) return nullptr;
    Ref restore = Ref::steal(PyObject_GetAttrString(module.get(), "_restore_error"));
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!restore || !name) return nullptr;
    return Py_BuildValue("(O(OO)O)", restore.get(), name.get(), args.get(), state.get());
}

PyMethodDef REDUCE_METHOD = {"__reduce__", reduce_error, METH_NOARGS,
                             "Pickles through corvane._core._restore_error."};

PyObject* create_once(PyObject*& slot, const char* name, const char* doc) noexcept {
    // Process-wide and never released: every module instance shares them.
    if (slot) return slot;
    Ref type = Ref::steal(PyErr_NewExceptionWithDoc(name, doc, PyExc_ValueError, nullptr));
    if (!type) return nullptr;
    Ref reduce =
        Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &REDUCE_METHOD));
    if (!reduce || PyObject_SetAttrString(type.get(), "__reduce__", reduce.get()) < 0) {
        return nullptr;
    }
    slot = type.release();
    return slot;
}

// Returns a new exception: `_restore_error(name, args)` is name(*args).
PyObject* restore_error(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyTuple_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "_restore_error(name, args) takes a str and a tuple");
        return nullptr;
    }
    PyObject* type = nullptr;
    if (PyUnicode_CompareWithASCIIString(args[0], "ValidationError") == 0) {
        type = validation_error_type();
    } else if (PyUnicode_CompareWithASCIIString(args[0], "OrderError") == 0) {
        type = order_error_type();
    } else {
        PyErr_SetString(PyExc_ValueError, "_restore_error: unknown exception name");
        return nullptr;
    }
    return type ? PyObject_Call(type, args[1], nullptr) : nullptr;
}

}  // namespace

PyMethodDef RESTORE_ERROR_FUNCTION = {
    "_restore_error", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(restore_error)),
    METH_FASTCALL,
    "_restore_error(name, args, /)\n--\n\nRebuilds a pickled ValidationError or OrderError."};

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
    } catch (const AllocationFailure& error) {
        PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "not enough memory for the buffers this call needs");
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError, "a buffer this call needs is larger than memory allows");
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace corvane::py
