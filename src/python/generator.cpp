// GameRng: the deterministic generator, for callers who want the same
// draws the simulator makes.
#include "core/generator.hpp"

#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

PyTypeObject* game_rng_type = nullptr;

GameRng& rng_of(PyObject* self) { return payload_of<GameRng>(self); }

constexpr Param NEW_PARAMS[] = {{"seed"}, {"sequence"}};
constexpr Signature NEW_SIGNATURE{"GameRng", NEW_PARAMS, 2};

PyObject* GameRng_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(NEW_SIGNATURE, args, kwargs);
        if (!parsed) return nullptr;
        auto seed = parsed->u32(0);
        if (!seed) return nullptr;
        auto sequence = parsed->u32(1);
        if (!sequence) return nullptr;
        return create(type, GameRng::create(*seed, *sequence));
    });
}

// Returns a new float.
PyObject* GameRng_next_float(PyObject* self, PyObject*) {
    return PyFloat_FromDouble(rng_of(self).next_float());
}

// Returns a new float.
PyObject* GameRng_next_normal(PyObject* self, PyObject*) {
    // The transform's log, sin and cos must round the same under any host environment.
    return guarded([self] { return PyFloat_FromDouble(rng_of(self).next_normal()); });
}

constexpr Param NEXT_INT_PARAMS[] = {{"min"}, {"max"}};
constexpr Signature NEXT_INT_SIGNATURE{"next_int", NEXT_INT_PARAMS, 2};

PyObject* GameRng_next_int(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    auto parsed = Args::parse(NEXT_INT_SIGNATURE, args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto min = parsed->i64(0);
    if (!min) return nullptr;
    auto max = parsed->i64(1);
    if (!max) return nullptr;
    return to_python(rng_of(self).next_int(*min, *max));
}

constexpr Param NEXT_BOOL_PARAMS[] = {{"p"}};
constexpr Signature NEXT_BOOL_SIGNATURE{"next_bool", NEXT_BOOL_PARAMS, 1};

PyObject* GameRng_next_bool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    auto parsed = Args::parse(NEXT_BOOL_SIGNATURE, args, nargs, kwnames);
    if (!parsed) return nullptr;
    auto p = parsed->f64(0);
    if (!p) return nullptr;
    return to_python(rng_of(self).next_bool(*p));
}

PyObject* GameRng_repr(PyObject*) { return PyUnicode_FromString("GameRng(...)"); }

PyMethodDef METHODS[] = {
    {"next_float", GameRng_next_float, METH_NOARGS,
     "next_float($self, /)\n--\n\nA uniform float in [0, 1): one generator step."},
    {"next_normal", GameRng_next_normal, METH_NOARGS,
     "next_normal($self, /)\n--\n\nA standard normal. Normals come in Box-Muller pairs: the "
     "first of a pair takes two steps and the second is cached, so it takes none."},
    {"next_int", as_method(GameRng_next_int), METH_FASTCALL | METH_KEYWORDS,
     "next_int($self, min, max)\n--\n\nAn integer in [min, max], both inclusive: one step, "
     "reduced by plain modulo. Returns min without drawing when max < min or the range holds "
     "2**63 values or more."},
    {"next_bool", as_method(GameRng_next_bool), METH_FASTCALL | METH_KEYWORDS,
     "next_bool($self, p)\n--\n\nTrue with probability p: one step whatever p is."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(
                    "GameRng(seed, sequence)\n--\n\n"
                    "A PCG32 generator (64-bit state, XSH-RR output) with Box-Muller normals.\n\n"
                    "Two generators built from the same seed and sequence draw the same values on "
                    "every platform. Both arguments are unsigned 32-bit integers.")},
    {Py_tp_new, reinterpret_cast<void*>(GameRng_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<GameRng>)},
    {Py_tp_repr, reinterpret_cast<void*>(GameRng_repr)},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {"corvane._core.GameRng", basic_size<GameRng>(), 0, Py_TPFLAGS_DEFAULT, SLOTS};

}  // namespace

TypeEntry GAME_RNG{&SPEC, &game_rng_type};

}  // namespace corvane::py
