// The two halves of a class's pickling (see TypeEntry): a payload written
// out as a tuple of plain values, and read back with the same conversions
// arguments go through.
#pragma once

#include <utility>

#include "python/args.hpp"
#include "python/ref.hpp"

namespace corvane::py {

// An already-built value (a list of instances, say) for `values_tuple`.
struct Item {
    PyObject* object;  // borrowed
};
inline PyObject* to_python(Item item) noexcept { return Py_NewRef(item.object); }

// A new tuple of the values, each converted by `to_python`; null with an
// error set.
template <class... Values>
PyObject* values_tuple(const Values&... values) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Values))));
    if (!tuple) return nullptr;
    // In order, stopping at the first failure: nothing runs with an error set.
    Py_ssize_t i = 0;
    auto set_next = [&](PyObject* item) {
        return item && PyTuple_SetItem(tuple.get(), i++, item) == 0;
    };
    if (!(set_next(to_python(values)) && ...)) return nullptr;
    return tuple.release();
}

// Converts a tuple written by `values_tuple` into `outs`, in order; false
// with TypeError (or the conversion's error) set.
template <class... Outs>
bool read_values(const char* class_name, PyObject* values, Outs&&... outs) {
    if (!PyTuple_Check(values) || PyTuple_Size(values) != sizeof...(Outs)) {
        PyErr_Format(PyExc_TypeError, "a pickled %s is a tuple of %d values", class_name,
                     static_cast<int>(sizeof...(Outs)));
        return false;
    }
    Py_ssize_t i = 0;
    auto read_one = [&](auto&& out) {
        return from_python(PyTuple_GetItem(values, i++), class_name, "pickled value", out);
    };
    return (read_one(outs) && ...);
}

// The __reduce__ of a class that cannot be pickled: TypeError with `why`.
PyObject* refuse_pickling(PyObject* self, const char* why) noexcept;

}  // namespace corvane::py
