// fixed_simulation_digest: the core's determinism probe, unchanged.
#include <limits>
#include <optional>
#include <string>

#include "core/digest.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

constexpr Param DIGEST_PARAMS[] = {{"size"}, {"universe_seed"}, {"seed"},
                                   {"days"}, {"ticks"},         {"preset"}};
constexpr Signature DIGEST_SIGNATURE{"fixed_simulation_digest", DIGEST_PARAMS, 0};

// New reference: the digest as a str.
PyObject* fixed_simulation_digest(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint64_t size = 0;
        std::uint32_t universe_seed = 0;
        std::uint32_t seed{};
        std::uint32_t days = 0;
        std::uint64_t ticks = 0;
        std::string preset;
        if (!parse_args(DIGEST_SIGNATURE, args, nargs, kwnames, size, universe_seed, seed, days,
                        ticks, preset)) {
            return nullptr;
        }
        if (size > std::numeric_limits<std::size_t>::max()) return PyErr_NoMemory();

        FixedSimulation run{static_cast<std::size_t>(size), universe_seed, seed, days, ticks};
        std::optional<Result<std::string>> digest;
        {
            // The simulation touches no interpreter object: `preset` is a
            // copy, so nothing of the interpreter's is read without its lock.
            // Between slices it checks for Ctrl-C, so a long run can be stopped.
            ReleasedInterpreter released;
            digest.emplace(corvane::fixed_simulation_digest(
                run, preset, [&released] { return released.no_signal_raised(); }));
        }
        // An interruption left KeyboardInterrupt (or a handler's error) set.
        if (!*digest && PyErr_Occurred()) return nullptr;
        if (!unwrap(*digest)) return nullptr;
        return to_python(**digest);
    });
}

}  // namespace

PyMethodDef FIXED_SIMULATION_DIGEST_FUNCTION = keywords_method(
    "fixed_simulation_digest", fixed_simulation_digest,
    signature_doc(
        DIGEST_SIGNATURE, "",
        "Run one fully specified simulation and return the SHA-256 of its final prices and five "
        "macro values as 64 hex digits: `size` generated instruments (universe seed "
        "`universe_seed`), "
        "an engine seeded "
        "with `seed` under the shipped preset `preset`, `days` days of `ticks` ticks from 9:30. "
        "Two builds that agree on every rule return the same digest. Ctrl-C stops a long run."));

}  // namespace corvane::py
