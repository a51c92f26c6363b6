// A simulation's complete state, as a caller saves and restores it.
//
// A state reproduces a market, not its history (that is the order log's
// job): restored into an engine built from the same seed, universe and
// model, it continues bit for bit. It holds every column, the seven
// generators, the day vectors, the market and economy state and, so that
// the continuation is exact, the day number, the open day's endogenous
// news, the universe stress, the per-instrument volume states and the draw
// counters.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/economy.hpp"
#include "core/engine.hpp"
#include "core/result.hpp"

namespace corvane {

// When the next tick of an open day runs. Hours run on past 23 as a long
// session's do.
struct TimeOfDay {
    std::int64_t hour = 9;
    std::int64_t minute = 30;
    std::int64_t day_of_week = 3;

    bool operator==(const TimeOfDay&) const = default;
};

struct EngineState {
    // In COLUMN_FIELDS order, roster order within.
    std::array<std::vector<double>, PRICE_FIELD_COUNT> columns;
    RngState rng;
    std::vector<std::string> company_ids;
    std::string model_fingerprint;
    std::vector<double> attribution;
    std::vector<double> tick_components;
    std::vector<double> tick_fundamental;
    std::vector<double> tick_anchor;
    bool market_open = false;
    // Variance, the day's market factor, the two component levels.
    std::array<double, 4> market_variance{};
    double volume_state = 0.0;
    EconomyState economy;
    CentralBank central_bank;
    std::uint32_t day_count = 0;
    std::uint32_t day_number = 0;
    std::vector<NewsEvent> pending_news;
    double universe_stress = 0.0;
    std::vector<double> instrument_volume_states;
    // Empty while the long-memory option is off, and then left out of the
    // digest and the snapshot, so states without it keep theirs.
    std::vector<double> long_memory_states;
    DrawCounters draws;
    // Outside the digest: when the caller runs the next tick is not part of
    // the market, and digests taken before the clock existed stay valid.
    std::optional<TimeOfDay> clock;
};

// SHA-256, in hex, of everything the state holds, in its own order: two
// engines with the same digest continue identically.
std::string state_digest(const EngineState& state);

// What a restore writes, checked in full before anything is written. The
// required parts are always present; the rest only when the saved state
// had them.
struct StatePatch {
    std::array<std::vector<double>, PRICE_FIELD_COUNT> columns;
    // The first slots to replace; the rest keep the engine's generators.
    std::vector<GameRng::Record> rng;
    std::vector<double> attribution;
    std::vector<double> tick_components;
    std::vector<double> tick_fundamental;
    std::vector<double> tick_anchor;
    std::optional<bool> market_open;
    std::optional<double> volume_state;
    // Empty, or variance and day factor, or those and the two levels.
    std::vector<double> market_variance;
    // The economy and central bank with the saved fields laid over the
    // engine's own.
    EconomyState economy;
    CentralBank central_bank;
    std::optional<std::uint32_t> day_count;
    std::optional<std::uint32_t> day_number;
    std::optional<std::vector<NewsEvent>> pending_news;
    std::optional<double> universe_stress;
    std::optional<std::vector<double>> instrument_volume_states;
    std::optional<std::vector<double>> long_memory_states;
    std::optional<DrawCounters> draws;
    // Given: the clock to set (none for a closed day). Not given: the clock
    // of a day just opened, or none.
    bool clock_given = false;
    std::optional<TimeOfDay> clock;
};

namespace state_checks {

// The messages a restore refuses with, one per part, in the order a restore
// checks them.
Status roster(const std::vector<std::string>& saved, const Engine& engine);
Status model(const std::string& saved_fingerprint, const Engine& engine);
Status rng_count(std::size_t count);
Status market_variance_count(std::size_t count);
Status gdp_trend_count(std::size_t count);

// What else a simulation knows that bounds the values it can have written.
struct Bounds {
    // No price is written above this (see price_ceiling).
    double price_ceiling = 0.0;
    // Company ids a pending story may name besides the roster's: those of
    // instruments delisted since, whose stories run to the close.
    std::span<const std::string> delisted_ids;
};

// The highest price the engine can print: the model's hard cap, or the
// highest initial price when one starts above it, times the breaker band
// twice (a print may exceed the capped anchor by a band, and a close there
// moves the band once more).
double price_ceiling(const ModelParams& model, double highest_initial_price);

// Values of kinds the engine never writes, each refused naming its key:
// non-finite numbers (NaN only where a value may be absent), prices above
// the ceiling, per-instrument volume states of another length than the
// roster's or the engine's own, stories naming unknown companies or
// sectors or carrying non-finite impacts, draw counters at or above 2**63.
Status values(const StatePatch& patch, const Engine& engine, const Bounds& bounds);

}  // namespace state_checks

}  // namespace corvane
