// Heap types built from specs: an interpreter object that holds one C++
// value (its payload) by value, constructed and destroyed with the object.
//
// Types are final (no Py_TPFLAGS_BASETYPE), so an object's layout is always
// the one its type was built for.
#pragma once

#include <new>
#include <utility>

#include "python/ref.hpp"

namespace corvane::py {

template <class Payload>
struct Object {
    PyObject_HEAD
    Payload payload;
};

template <class Payload>
Payload& payload_of(PyObject* self) noexcept {
    return reinterpret_cast<Object<Payload>*>(self)->payload;
}

// A new object of `type` owning `value`; null with an error set on failure.
template <class Payload>
PyObject* create(PyTypeObject* type, Payload&& value) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    static_assert(std::is_nothrow_move_constructible_v<std::decay_t<Payload>>);
    new (&reinterpret_cast<Object<std::decay_t<Payload>>*>(self)->payload)
        std::decay_t<Payload>(std::forward<Payload>(value));
    return self;
}

template <class Payload>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Object<Payload>*>(self)->payload.~Payload();
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    // Instances of heap types own a reference to their type.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

template <class Payload>
constexpr int basic_size() noexcept {
    return static_cast<int>(sizeof(Object<Payload>));
}

// Casts a fast-call or keyword function to the slot type PyMethodDef stores.
template <class Function>
PyCFunction as_method(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// True when `object` is an instance of `type` (types are final: exact check).
inline bool is_instance(PyObject* object, PyTypeObject* type) noexcept {
    return Py_TYPE(object) == type;
}

}  // namespace corvane::py
