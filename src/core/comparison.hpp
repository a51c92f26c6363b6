// Counterfactual comparison: two simulations that share a history up to a
// fork, compared tick by tick from there.
//
// Both runs take the same draws, so every difference between them is caused
// by what they were given differently. The difference in log mispricing s is
// split over the nine drivers: each driver's column is the running sum, from
// the fork, of that driver's contributions in one run minus the other's, so
// at every tick the nine add up to the difference in s (to rounding).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/engine.hpp"
#include "core/order_log.hpp"
#include "core/result.hpp"
#include "core/simulation.hpp"
#include "core/tick.hpp"

namespace corvane {

// Where two histories part: the fork entry at `entry` in one of the logs,
// with the logs equal before it.
struct ForkPoint {
    std::size_t entry = 0;
    log_entry::Fork at;
};

// The latest fork entry in either log that the other log agrees with up to.
std::optional<ForkPoint> fork_point(const OrderLog& a, const OrderLog& b);

// The difference in s, the nine drivers, the fair value and the price.
inline constexpr std::size_t COMPARISON_VALUES = 3 + ATTRIBUTION_SLOTS;

// One row per recorded tick and instrument from the fork point on, in the
// recordings' order; every value is `b`'s minus `a`'s.
struct Comparison {
    ForkPoint fork;
    std::vector<std::uint32_t> day;
    std::vector<std::uint32_t> tick;
    std::vector<std::uint32_t> instrument;
    std::array<std::vector<double>, COMPARISON_VALUES> values;
};

// Refuses two runs with no shared fork point, and recorded days after it
// that do not line up (tick or instrument counts differ).
Result<Comparison> compare_runs(const Simulation& a, const Simulation& b);

// Where one instrument's difference went.
struct Divergence {
    std::uint32_t instrument = 0;
    // The largest |difference in s|, and the comparison row it came at.
    double peak = 0.0;
    std::size_t peak_row = 0;
    double last = 0.0;
    // This instrument's ticks after the peak until |difference in s| is at
    // most half the peak; none while it has not come down that far.
    std::optional<std::uint64_t> half_life;
    // Each driver's share of the last difference in s.
    std::array<double, ATTRIBUTION_SLOTS> drivers{};
};

// The instruments whose s differed at all, largest peak first.
std::vector<Divergence> divergences(const Comparison& comparison);

}  // namespace corvane
