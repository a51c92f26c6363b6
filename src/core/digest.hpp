// The cross-build determinism probe: one fully specified simulation, hashed.
// Two builds agree on every input and every rule exactly when they return
// the same digest for the same arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace corvane {

struct FixedSimulation {
    // Instruments in the generated universe.
    std::size_t size = 20;
    std::uint32_t universe_seed = 0;
    std::uint32_t seed = 0;
    std::uint32_t days = 1;
    std::uint64_t ticks = 390;
};

// Generates the universe, runs `days` days of `ticks` ticks from 9:30 on a
// Wednesday under the named shipped preset, and returns the SHA-256 of the
// final prices and five macro values as 64 lower-case hex digits. Refuses an
// unknown preset (before anything runs) and a non-finite hashed value. A
// universe too large to address fails as allocation does, with
// std::bad_alloc.
//
// `keep_going`, when given, is asked between days and every few hundred
// ticks; answering false abandons the run with the message "interrupted".
Result<std::string> fixed_simulation_digest(const FixedSimulation& run, std::string_view preset,
                                            const std::function<bool()>& keep_going = {});

inline constexpr std::string_view DIGEST_INTERRUPTED = INTERRUPTED;

}  // namespace corvane
