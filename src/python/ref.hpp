// The binding toolkit's owning reference: one move-only handle with named
// constructors, so every reference's ownership is visible where it is made.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvane::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (which may be null after a failed call).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (typically as a function's result).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Releases the interpreter lock for a core run; nothing inside may touch a
// Python object.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreter() { PyEval_RestoreThread(state_); }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    // Takes the lock back for a moment to run pending signal handlers (Ctrl-C
    // raises KeyboardInterrupt there). False when one raised: the error stays
    // set for the caller to return once the lock is held again.
    bool no_signal_raised() noexcept {
        PyEval_RestoreThread(state_);
        bool clear = PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return clear;
    }

private:
    PyThreadState* state_;
};

}  // namespace corvane::py
