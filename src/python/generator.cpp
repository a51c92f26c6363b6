// GameRng: the deterministic generator, for callers who want the same
// draws the simulator makes.
#include "core/generator.hpp"

#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

GameRng& rng_of(PyObject* self) { return payload_of<GameRng>(self); }

constexpr Param NEW_PARAMS[] = {{"seed"}, {"sequence"}};
constexpr Signature NEW_SIGNATURE{"GameRng", NEW_PARAMS, 2};

PyObject* GameRng_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::uint32_t seed{};
        std::uint32_t sequence = 0;
        if (!parse_args(NEW_SIGNATURE, args, kwargs, seed, sequence)) return nullptr;
        return create(type, GameRng::create(seed, sequence));
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
    return guarded([&]() -> PyObject* {
        std::int64_t min = 0;
        std::int64_t max = 0;
        if (!parse_args(NEXT_INT_SIGNATURE, args, nargs, kwnames, min, max)) return nullptr;
        return to_python(rng_of(self).next_int(min, max));
    });
}

constexpr Param NEXT_BOOL_PARAMS[] = {{"p"}};
constexpr Signature NEXT_BOOL_SIGNATURE{"next_bool", NEXT_BOOL_PARAMS, 1};

PyObject* GameRng_next_bool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        double p = 0.0;
        if (!parse_args(NEXT_BOOL_SIGNATURE, args, nargs, kwnames, p)) return nullptr;
        return to_python(rng_of(self).next_bool(p));
    });
}

PyObject* GameRng_repr(PyObject*) { return PyUnicode_FromString("GameRng(...)"); }

// The state and increment as their 64-bit patterns and the cached normal,
// so a rebuilt generator draws exactly what this one would.
PyObject* GameRng_reduce(PyObject* self) {
    GameRng::Record record = rng_of(self).record();
    return values_tuple(record.state, record.increment, record.spare);
}

PyObject* GameRng_rebuild(PyTypeObject* type, PyObject* values) {
    GameRng::Record record;
    if (!read_values("GameRng", values, record.state, record.increment, record.spare)) {
        return nullptr;
    }
    // PCG's increment is odd by construction; an even one is no generator of ours.
    if (record.increment % 2 == 0) return raise_validation("a GameRng's increment must be odd");
    return create(type, GameRng::from_record(record));
}

PyMethodDef METHODS[] = {
    noargs_method("next_float", GameRng_next_float,
                  "next_float($self, /)\n--\n\nA uniform float in [0, 1): one generator step."),
    noargs_method("next_normal", GameRng_next_normal,
                  "next_normal($self, /)\n--\n\nA standard normal. Normals come in Box-Muller "
                  "pairs: the first of a pair takes two steps and the second is cached, so it "
                  "takes none."),
    keywords_method(
        "next_int", GameRng_next_int,
        signature_doc(
            NEXT_INT_SIGNATURE, "$self",
            "An integer in [min, max], both inclusive: "
            "one step, reduced by plain modulo. Returns min without drawing when max < min "
            "or the range holds 2**63 values or more.")),
    keywords_method("next_bool", GameRng_next_bool,
                    signature_doc(NEXT_BOOL_SIGNATURE, "$self",
                                  "True with probability p: one step whatever p is.")),
    {},
};

Class<GameRng> GAME_RNG_CLASS{
    "corvane._core.GameRng",
    {
        .doc = signature_doc(
            NEW_SIGNATURE, "",
            "A PCG32 generator (64-bit state, XSH-RR output) with Box-Muller normals.\n\n"
            "Two generators built from the same seed and sequence draw the same values on "
            "every platform. Both arguments are unsigned 32-bit integers."),
        .new_object = GameRng_new,
        .repr = GameRng_repr,
        .methods = METHODS,
        .reduce = GameRng_reduce,
        .rebuild = GameRng_rebuild,
    },
};

}  // namespace

TypeEntry& GAME_RNG = GAME_RNG_CLASS;

}  // namespace corvane::py
