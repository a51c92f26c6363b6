// The trading day's requests and outputs: the close's inputs, a session of
// ticks and the buffer it fills. The behaviour is Engine's (lifecycle.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/tick.hpp"

namespace corvane {

// Inputs of the close, one value per instrument in roster order.
struct DayCloseRequest {
    // GARCH innovations; an absent or non-finite one falls back to the day's
    // total return.
    std::span<const std::optional<double>> innovations;
    // Each instrument's long-run daily variance (its sector's daily_sigma^2).
    std::span<const double> sector_base_variances;
    bool roll_average_volume = false;
};

// Stop a session at the first tick after which the watched instrument's
// price is strictly below `lower` or strictly above `upper`.
struct StopCondition {
    std::size_t index = 0;
    std::optional<double> lower;
    std::optional<double> upper;
};

// A run of ticks: the first tick's input, which every later tick repeats with
// its clock moved on, then the close when `close_at_end` asks for it.
struct SessionRequest {
    TickInput tick;
    std::uint64_t ticks = 390;
    bool open_at_start = false;
    bool close_at_end = false;
    // An absent innovation here is the day's accumulated noise.
    DayCloseRequest close;
    std::optional<StopCondition> stop;
    // Asked between slices of about SESSION_SLICE_CELLS instrument-ticks;
    // false ends the session there, interrupted (no close). Lets a caller
    // stop a long run without the slicing showing in what was simulated.
    std::function<bool()> keep_going;
};

// Instrument-ticks between two `keep_going` questions: a few tens of
// milliseconds of work. The session buffers grow between slices too.
inline constexpr std::uint64_t SESSION_SLICE_CELLS = 1U << 16;

// Ticks in one slice of a session over `instruments` instruments.
constexpr std::uint64_t session_slice_ticks(std::size_t instruments) noexcept {
    return instruments >= SESSION_SLICE_CELLS
               ? 1
               : SESSION_SLICE_CELLS / std::max<std::size_t>(instruments, 1);
}

struct SessionOutcome {
    bool stopped = false;
    // Ended early because `keep_going` said so; `tick` then counts the ticks run.
    bool interrupted = false;
    // Ended early because the buffers could not grow for the next slice
    // (the allocation failure, to be rethrown once the caller has kept
    // what ran); `tick` counts the ticks run.
    std::exception_ptr failure;
    // The zero-based tick the stop fired on, else the requested tick count.
    std::uint64_t tick = 0;
    // Market-stream values the session's ticks took.
    std::uint64_t draws = 0;
};

// A session's per-tick cross-sections: thirteen ticks x instruments matrices,
// row-major. Owned by the caller and reused: the matrices only grow, and only
// the first `ticks_written` rows belong to the last session.
struct SessionBuffer {
    std::vector<double> price;
    // The day's cumulative volume.
    std::vector<double> volume;
    // NaN where the instrument has no mispricing yet.
    std::vector<double> mispricing_s;
    std::vector<double> tick_fundamental;
    std::vector<double> tick_anchor;
    // The eight tick components, in attribution order.
    std::array<std::vector<double>, TICK_COMPONENTS> components;
    // Each instrument's cumulative volume before the session's first tick:
    // what that tick's traded volume counts from. `instruments` values.
    std::vector<double> start_volume;
    std::size_t instruments = 0;
    std::uint64_t ticks_written = 0;

    // Grows every matrix to hold `ticks` rows of `instruments` cells (new
    // cells 0.0). Throws std::bad_alloc, before changing anything, when that
    // size cannot be addressed; the first failing growth throws as well.
    // A session grows its buffers as it runs, a slice ahead, so its memory
    // follows the ticks it runs rather than the ticks it may run.
    void reserve_session(std::uint64_t ticks, std::size_t instruments);
    // Throws what reserve_session would for that size, allocating nothing.
    static void check_fits(std::uint64_t ticks, std::size_t instruments);
    // Rows of `instruments` cells that every matrix holds.
    std::uint64_t rows_held(std::size_t instruments) const noexcept;
    // Row `tick` of one of the matrices: that tick's cross-section.
    std::span<const double> row(const std::vector<double>& matrix, std::uint64_t tick) const;
};

}  // namespace corvane
