// Heap types built from specs: an interpreter object that holds one C++
// value (its payload) by value, constructed and destroyed with the object.
//
// A unit declares each class once, naming the slots it fills:
//
//     Class<SweepCost> SWEEP_COST{
//         "corvane._core.SweepCost",
//         {
//             .doc = "The cost of an immediate market order. Read-only.",
//             .repr = SweepCost_repr,
//             .getset = SWEEP_COST_GETSET,
//         },
//     };
//
// with attributes such as `read_only<&SweepCost::filled>("filled", "doc")`,
// and the module registers it (bindings.hpp). The declaration is only a
// description: each module object builds its own type from it and keeps it
// in its module state, as the interpreter's limited-API template does, so a
// second execution of the module never disturbs the first.
// `SWEEP_COST.create(state, value)` makes an instance of the module whose
// state is given; `SWEEP_COST.of(object)` finds the payload of one.
//
// Types are final (no Py_TPFLAGS_BASETYPE) and immutable, so an object's
// layout is always the one its type was built for, `Py_TYPE(self)` always
// leads to the module state, and nobody can swap in a `__new__` that hands
// out an object whose payload was never built. One Class per payload type:
// an instance is recognised by its type's deallocator, which is the
// payload's own, whichever module object built the type.
#pragma once

#include <array>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace corvane::py {

template <class Payload>
struct Object {
    PyObject ob_base;  // what PyObject_HEAD declares
    Payload payload;
};

template <class Payload>
Payload& payload_of(PyObject* self) noexcept {
    return reinterpret_cast<Object<Payload>*>(self)->payload;
}

// A new object of `type` owning `value` (what a tp_new returns); null with an
// error set on failure.
template <class Payload>
PyObject* create(PyTypeObject* type, Payload&& value) noexcept {
    using Value = std::decay_t<Payload>;
    static_assert(std::is_nothrow_move_constructible_v<Value>);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    new (&reinterpret_cast<Object<Value>*>(self)->payload) Value(std::forward<Payload>(value));
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

// ---- Module state ----

// Enough for every class the module registers; registration refuses more.
inline constexpr std::size_t MAX_TYPES = 40;

// What one module object owns: the types it built (strong references).
struct ModuleState {
    std::array<PyObject*, MAX_TYPES> types{};
};

// The state of a module object of ours (functions get it as `self`).
inline ModuleState& state_of_module(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}
// The state of the module that built `type`, one of our final types.
inline ModuleState& state_of_type(PyTypeObject* type) noexcept {
    return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}
// The state of the module that built `self`'s type.
inline ModuleState& state_of(PyObject* self) noexcept { return state_of_type(Py_TYPE(self)); }

// ---- Classes ----

// How a class pickles. `reduce` gives an instance's payload as a new tuple
// of plain values; `rebuild` makes a new instance of `type` from such a
// tuple, checking it as a constructor would (null with an error set). A
// class with both pickles as `_core._rebuild(short name, values)`, which
// pickle finds by name in every process, whatever the protocol.
using ReduceFunction = PyObject* (*)(PyObject* self);
using RebuildFunction = PyObject* (*)(PyTypeObject* type, PyObject* values);

// What the module registers: its PyType_Spec, and where each module state
// keeps the type built from it.
struct TypeEntry {
    PyType_Spec spec{};
    // Position in ModuleState::types, fixed for the life of the process.
    std::size_t slot = next_slot();
    // Fills in class attributes once the type is built (see set_class_attribute).
    int (*prepare)(PyObject* type) = nullptr;
    ReduceFunction reduce = nullptr;
    RebuildFunction rebuild = nullptr;

    // The name the interpreter shows ("SweepCost").
    const char* short_name() const noexcept {
        const char* dot = std::strrchr(spec.name, '.');
        return dot ? dot + 1 : spec.name;
    }
    // The type `state`'s module built from this entry (borrowed); null before
    // registration.
    PyTypeObject* type_in(const ModuleState& state) const noexcept {
        return slot < MAX_TYPES ? reinterpret_cast<PyTypeObject*>(state.types[slot]) : nullptr;
    }

private:
    static std::size_t next_slot() noexcept {
        static std::size_t count = 0;
        return count++;
    }
};

// The slots a class fills, by name; the rest stay empty. Without `new_object`
// the interpreter cannot create instances: only the binding hands them out.
struct ClassSlots {
    const char* doc = nullptr;
    newfunc new_object = nullptr;
    reprfunc repr = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
    getattrofunc getattro = nullptr;
    richcmpfunc richcompare = nullptr;
    hashfunc hash = nullptr;
    lenfunc length = nullptr;
    // Class attributes, set once the type is built.
    int (*prepare)(PyObject* type) = nullptr;
    // Pickling (see TypeEntry).
    ReduceFunction reduce = nullptr;
    RebuildFunction rebuild = nullptr;
};

template <class Payload>
class Class : public TypeEntry {
public:
    Class(const char* name, const ClassSlots& given) noexcept {
        prepare = given.prepare;
        reduce = given.reduce;
        rebuild = given.rebuild;
        std::size_t count = 0;
        auto add = [&](int id, auto* pointer) {
            if (pointer) slots_[count++] = {id, reinterpret_cast<void*>(pointer)};
        };
        add(Py_tp_doc, const_cast<char*>(given.doc));
        add(Py_tp_new, given.new_object);
        add(Py_tp_dealloc, &dealloc<Payload>);
        add(Py_tp_repr, given.repr);
        add(Py_tp_methods, given.methods);
        add(Py_tp_getset, given.getset);
        add(Py_tp_getattro, given.getattro);
        add(Py_tp_richcompare, given.richcompare);
        add(Py_tp_hash, given.hash);
        add(Py_mp_length, given.length);
        auto flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                     (given.new_object ? 0UL : Py_TPFLAGS_DISALLOW_INSTANTIATION);
        spec = {name, static_cast<int>(sizeof(Object<Payload>)), 0,
                static_cast<unsigned int>(flags), slots_.data()};
    }
    // The spec points into the object itself.
    Class(const Class&) = delete;
    Class& operator=(const Class&) = delete;

    // The payload of `object` (borrowed from it) when it is an instance,
    // else null without an error set.
    static Payload* of(PyObject* object) noexcept {
        void* deallocator = PyType_GetSlot(Py_TYPE(object), Py_tp_dealloc);
        if (deallocator != reinterpret_cast<void*>(&dealloc<Payload>)) {
            PyErr_Clear();
            return nullptr;
        }
        return &payload_of<Payload>(object);
    }

    // A new instance, of `state`'s module, owning `value`; null with an error set.
    PyObject* create(const ModuleState& state, Payload value) const noexcept {
        PyTypeObject* built = type_in(state);
        if (!built) {
            PyErr_Format(PyExc_SystemError, "%s is not registered", short_name());
            return nullptr;
        }
        return py::create(built, std::move(value));
    }

private:
    // At least one per ClassSlots field (each a pointer), dealloc and the
    // terminator.
    std::array<PyType_Slot, sizeof(ClassSlots) / sizeof(void*) + 2> slots_{};
};

// An argument that must be an instance of `cls`, for `Args::extract`: sets
// `out` to its payload (borrowed from the argument).
template <class Payload>
struct InstanceArg {
    const Class<Payload>& cls;
    const Payload*& out;

    bool from_python(PyObject* object, const char* function, const char* what) const {
        const Payload* payload = cls.of(object);
        if (!payload) {
            wrong_type(function, what, cls.short_name(), object);
            return false;
        }
        out = payload;
        return true;
    }
};

template <class Payload>
InstanceArg<Payload> instance(const Class<Payload>& cls, const Payload*& out) {
    return {cls, out};
}

// The same, but None is accepted and leaves `out` null.
template <class Payload>
struct OptionalInstanceArg {
    const Class<Payload>& cls;
    const Payload*& out;

    bool from_python(PyObject* object, const char* function, const char* what) const {
        if (object == Py_None) {
            out = nullptr;
            return true;
        }
        const Payload* payload = cls.of(object);
        if (!payload) {
            std::string expected(cls.short_name());
            wrong_type(function, what, expected + " or None", object);
            return false;
        }
        out = payload;
        return true;
    }
};

template <class Payload>
OptionalInstanceArg<Payload> optional_instance(const Class<Payload>& cls, const Payload*& out) {
    return {cls, out};
}

// Sets a class attribute of an immutable type while it is being prepared:
// the type's own setattr refuses every write, so this writes to its dict
// the way the generic setattr does, then tells the type its dict changed.
// Takes a new reference to `value`; -1 with an error set.
inline int set_class_attribute(PyObject* type, const char* name, PyObject* value) {
    Ref owned = Ref::steal(value);
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!owned || !key || PyObject_GenericSetAttr(type, key.get(), owned.get()) < 0) return -1;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

// ---- Attributes, reprs and methods ----

template <class Member>
struct MemberClass;
template <class C, class T>
struct MemberClass<T C::*> {
    using type = C;
};

// A read-only attribute: a field of the payload, or what a const method of it
// taking no argument returns, converted by `to_python`. A method runs guarded:
// it may allocate, and its arithmetic must not see the caller's environment.
template <auto Member>
PyObject* get(PyObject* self, void*) noexcept {
    using Payload = typename MemberClass<decltype(Member)>::type;
    if constexpr (std::is_member_function_pointer_v<decltype(Member)>) {
        return guarded([self] { return to_python((payload_of<Payload>(self).*Member)()); });
    } else {
        return to_python(payload_of<Payload>(self).*Member);
    }
}

constexpr PyGetSetDef read_only(const char* name, getter get_value, const char* doc) {
    return {name, get_value, nullptr, doc, nullptr};
}

template <auto Member>
constexpr PyGetSetDef read_only(const char* name, const char* doc) {
    return read_only(name, get<Member>, doc);
}

// A repr that is the core's text form of the payload (its `to_text`).
template <class Payload>
PyObject* text_repr(PyObject* self) noexcept {
    return guarded([self] { return to_python(to_text(payload_of<Payload>(self))); });
}

// Method-table entries whose flags always match the function's signature.
using KeywordsFunction = PyObject*(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsFunction = PyObject*(PyObject*, PyObject*);

inline PyMethodDef keywords_method(const char* name, KeywordsFunction* function, const char* doc,
                                   int flags = 0) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS | flags, doc};
}

inline PyMethodDef noargs_method(const char* name, NoArgsFunction* function, const char* doc,
                                 int flags = 0) noexcept {
    return {name, function, METH_NOARGS | flags, doc};
}

}  // namespace corvane::py
