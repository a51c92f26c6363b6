// The one place where core refusals and C++ exceptions become interpreter
// exceptions. No C++ exception ever unwinds into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "core/float_environment.hpp"
#include "core/result.hpp"
#include "python/ref.hpp"

namespace corvane::py {

enum class ErrorKind { validation, order };

// The two exception types, created once per process on first use.
// Borrowed references; null only if creation failed (an error is then set).
PyObject* validation_error_type() noexcept;
PyObject* order_error_type() noexcept;

// The module function unpickling goes through (see errors.cpp).
extern PyMethodDef RESTORE_ERROR_FUNCTION;

// Sets the interpreter error for a core message; always returns nullptr.
PyObject* raise(ErrorKind kind, const std::string& message) noexcept;
inline PyObject* raise_validation(const std::string& message) noexcept {
    return raise(ErrorKind::validation, message);
}

// Sets an error for whatever C++ exception is in flight.
void raise_current_exception() noexcept;

// Runs a binding body under the IEEE default floating-point environment,
// turning any escaping C++ exception into an interpreter error. `Failure` is
// what the slot returns on error.
template <auto Failure = nullptr, class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    IeeeEnvironmentScope ieee;
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        raise_current_exception();
        return Failure;
    }
}

// Unwraps a core result, raising its message as `kind` on refusal.
template <class T>
bool unwrap(Result<T>& result, ErrorKind kind = ErrorKind::validation) {
    if (result) return true;
    raise(kind, result.error());
    return false;
}
inline bool unwrap(const Status& status, ErrorKind kind = ErrorKind::validation) {
    if (status) return true;
    raise(kind, status.error());
    return false;
}

}  // namespace corvane::py
