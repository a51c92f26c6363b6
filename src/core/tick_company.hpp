// One instrument as the engine carries it from tick to tick: its trading
// state, which every tick reads and writes, and the rest.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace corvane {

// Number of component levels the idiosyncratic variance is built from.
inline constexpr std::size_t VARIANCE_COMPONENTS = 8;
// Number of slow log-volatility components of the long-memory option.
inline constexpr std::size_t LONG_MEMORY_COMPONENTS = 4;
// Each component stays within this multiple of the option's sigma.
inline constexpr double LONG_MEMORY_LIMIT = 5.0;

// What every tick reads or writes of an instrument, two cache lines of it.
// The engine keeps these apart from the rest, one dense array of them, so
// that a walk over a large roster streams only what it uses.
struct alignas(64) TradingState {
    // Absent until the first tick (or close) sets them.
    std::optional<double> mispricing_s;
    std::optional<double> previous_tick_price;
    double price = 0.0;
    // Centre of the circuit-breaker band.
    double previous_close = 0.0;
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double volume = 0.0;
    double shares_outstanding = 0.0;
    // price x shares_outstanding, kept current by every print.
    double market_cap = 0.0;
    std::optional<double> mispricing_momentum;
    std::optional<double> maker_inventory;

    bool operator==(const TradingState&) const = default;
};
static_assert(sizeof(TradingState) == 128);

// The rest of an instrument: who it is, its fundamentals, and the state
// the close moves.
struct CompanyDetails {
    double avg_volume = 0.0;
    std::optional<double> mispricing_s_prev_close;
    std::optional<double> last_daily_return;
    // Absent reads as 1.0 in the tick.
    std::optional<double> beta;
    double garch_variance = 0.0;
    std::array<double, VARIANCE_COMPONENTS> variance_components{};
    // A share count, not a fraction.
    double short_interest = 0.0;
    double float_shares = 0.0;

    // The sector's relative volatility, passed to the live book.
    std::optional<double> sector_volatility;
    std::optional<double> sector_anchor_pe;
    std::optional<double> eps;
    std::optional<double> book_value_per_share;
    std::optional<double> revenue_growth;

    // The identity news and impacts name: ticker-index.
    std::string company_id;
    // The ticker. Caller flow names it, and reaches the tick already
    // resolved to roster positions.
    std::string name;
    std::string sector;

    // The tick processes an instrument only when not suspended and tradable.
    bool suspended = false;
    bool tradable = true;

    bool operator==(const CompanyDetails&) const = default;
};

// One instrument whole, as it enters the engine and as callers build it;
// the engine keeps its two parts in separate arrays.
struct TickCompany : TradingState, CompanyDetails {
    bool operator==(const TickCompany&) const = default;
};

}  // namespace corvane
