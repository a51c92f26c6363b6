// What one market tick takes and gives back, and the working memory it keeps
// between ticks. The tick itself is `Engine::tick` (tick.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/market_hours.hpp"
#include "core/market_maker.hpp"
#include "core/news_index.hpp"
#include "core/order_book.hpp"
#include "core/sectors.hpp"
#include "core/tick_company.hpp"

namespace corvane {

// A trading day holds 390 ticks; the exact constants derived from that count.
inline constexpr double INV_SQRT_TICKS_PER_DAY = 0.05063696835418333;  // 1/sqrt(390)
inline constexpr double SQRT_TICKS_PER_DAY = 19.748417658131498;       // sqrt(390)
inline constexpr double INV_TICKS_PER_DAY = 0.002564102564102564;      // 1/390, as a multiplier

// The first eight attribution components, which every tick writes; the ninth,
// `jump`, is written only by the close.
inline constexpr std::size_t TICK_COMPONENTS = 8;
inline constexpr std::size_t ATTRIBUTION_SLOTS = 9;
enum class Component : std::size_t {
    reversion = 0,
    momentum = 1,
    crowd_lean = 2,
    company_news = 3,
    order_flow_impact = 4,
    short_squeeze_effect = 5,
    random_noise = 6,
    circuit_breaker = 7,
    jump = 8,
};
inline constexpr std::array<std::string_view, ATTRIBUTION_SLOTS> ATTRIBUTION_FACTORS = {
    "reversion",    "momentum",          "crowd_lean",
    "company_news", "order_flow_impact", "short_squeeze_effect",
    "random_noise", "circuit_breaker",   "jump"};

using ComponentRow = std::array<double, TICK_COMPONENTS>;
using AttributionRow = std::array<double, ATTRIBUTION_SLOTS>;

inline constexpr std::size_t slot(Component component) noexcept {
    return static_cast<std::size_t>(component);
}

// Impact still working through the tape; in the tick it only amplifies volume.
struct NewsImpact {
    std::vector<std::string> sectors;
    std::optional<std::string> ticker;
    std::optional<std::string> sector;
    double remaining_impact = 0.0;
    bool reversal_phase = false;

    bool operator==(const NewsImpact&) const = default;
};

// Caller flow for one instrument this tick, in shares.
struct OrderVolume {
    double buy = 0.0;
    double sell = 0.0;

    bool operator==(const OrderVolume&) const = default;
};

// One game-minute. The sequences are borrowed for the call only.
struct TickInput {
    std::span<const NewsEvent> news;
    std::span<const NewsImpact> news_impacts;
    // Caller flow by roster position; when empty, or for a position past
    // its end, the instrument has none.
    std::span<const OrderVolume> order_flow;
    std::int64_t hour = 9;
    std::int64_t minute = 30;
    // 0 is Sunday, 6 Saturday.
    std::int64_t day_of_week = 3;
    // Multiplies the idiosyncratic noise term only.
    double volatility = 1.0;
};

// What a tick did. The spans view the engine's working memory and hold until
// the engine next changes.
struct TickOutcome {
    // Roster indices of the instruments the tick moved, in roster order, with
    // each one's anchor price and tick volume alongside.
    std::span<const std::size_t> active;
    std::span<const double> anchors;
    std::span<const double> volumes;
    MarketStatus status = MarketStatus::closed;
    // Values taken from the market stream.
    std::uint64_t draws = 0;
};

// The session a moment falls in, as the tick classifies it: no range check,
// so a session that runs past midnight keeps counting hours and is closed.
MarketStatus tick_status(std::int64_t hour, std::int64_t minute, std::int64_t day_of_week) noexcept;

// Per-instrument values one tick carries from stage to stage of its walk.
struct InstrumentWork {
    std::size_t index = 0;
    // Factors and drift.
    double cap_billions = 0.0;
    double news = 0.0;
    double flow = 0.0;
    double squeeze = 0.0;
    double drift = 0.0;
    double noise = 0.0;
    double amplifier = 1.0;
    double uniform = 0.0;
    // Valuation and the mispricing update.
    double fair_value = 0.0;
    double anchor = 0.0;
    double lean = 0.0;
    double band_high = 0.0;
    double band_low = 0.0;
    double volume = 0.0;
};

// Per-instrument values that only roster edits, column writes and the close
// change, worked out once and reused by every tick until then. Each is the
// same expression the tick would evaluate, so reuse changes no bit.
struct alignas(64) InstrumentConstants {
    // Exactly what every tick reads, one cache line of each instrument, so
    // that a pre-market walk streams no byte it does not use; what only
    // caller flow and regular hours read lies apart, in `InstrumentBookTerms`
    // and `InstrumentFlowTerms`.
    //
    // Slot of the instrument's sector factor; slot 0 holds a zero factor
    // for an instrument with none, so the walk reads it without a branch.
    std::uint32_t factor_position = 0;
    // Neither suspended nor untradable: the tick moves it.
    bool moves = false;
    bool quote_base_fixed = false;
    bool flow_lot_fixed = false;
    bool has_spread = false;
    double beta = 1.0;
    // Idiosyncratic noise per unit normal, before the size multiplier.
    double idio = 0.0;
    double loading = 0.0;
    // Volume multipliers from the instrument's volume state and its
    // variance against the sector's; 1 when they do not apply.
    double own_volume = 1.0;
    double variance_volume = 1.0;
    // The per-tick fair value, for the economy it was computed under.
    double fair_value = 0.0;
    // The average volume's share of one tick.
    double average_per_tick = 0.0;
};
static_assert(sizeof(InstrumentConstants) == 64);

// What regular hours read of an instrument beyond its first line: one
// cache line more.
struct alignas(64) InstrumentBookTerms {
    double squeeze = 0.0;
    // The momentum component of a regular-hours tick.
    double momentum_term = 0.0;
    // The live book's terms; its base level size holds only while the
    // average volume is usable, else today's volume sets it tick by tick.
    QuoteTerms quote;
    // Shares per level the flow is sized against, when the average volume
    // fixes it.
    double flow_lot = 1.0;
    // The live book's half spread as a fraction of the price, for the
    // spread tier it was worked out at, once it has been.
    double spread_tier = 0.0;
    double spread_fraction = 0.0;
};
static_assert(sizeof(InstrumentBookTerms) == 64);

// What only caller flow and the general walk read.
struct InstrumentFlowTerms {
    const SectorSpec* spec = nullptr;
    // Caller flow's intensity denominator, and the reciprocal its impact
    // multiplies by.
    double flow_per_tick = 0.0;
    double flow_reciprocal = 0.0;
};

// Working memory of the tick, kept by the engine so that a tick allocates
// nothing once the first few have sized it. Nothing here means anything
// from one tick to the next.
struct TickScratch {
    std::vector<std::size_t> active;
    std::vector<double> anchors;
    std::vector<double> volumes;
    // The market's normal, then one per engine sector key.
    std::vector<double> shared_normals;
    // A +0.0 factor, then the sector factor per engine sector key.
    std::vector<double> sector_factors;
    // Each moved instrument's normal and uniform, drawn ahead of the walk.
    std::vector<double> factor_draws;
    // Room for the uniforms behind those normals, a pair's first and second.
    std::vector<double> normal_first;
    std::vector<double> normal_second;
    // For the moved instruments of one block of the walk, each one's clamped
    // mispricing, the value carried beside it (before the open its noise, in
    // regular hours the crowd's lean) and its growth factor, carried between
    // the passes; an array each, so that the growths are worked out several
    // lanes at a time, and a block long, so that they stay in cache.
    std::vector<double> passed_s1;
    std::vector<double> passed_carried;
    std::vector<double> passed_growth;
};

// Why values the tick keeps from one tick to the next may no longer hold.
enum class CacheReason : std::uint8_t {
    // Listed or delisted: positions and company ids moved.
    roster_edit,
    // A per-instrument column was written.
    column_write,
    // The close rewrote variances, average volumes and momentum.
    close,
    // Per-instrument volume or long-memory states were put back.
    volume_states,
    // The day vectors were put back.
    restore,
    // The economy moved: a macro step, a pin or a restore.
    macro,
    // The day's pending news was replaced.
    news,
};

// The values the tick keeps between ticks, each with the invariant it holds
// while its flag says it is current. Every change to what they are worked
// out from calls `invalidate` with its reason; the tick rebuilds what a
// reason dropped on its next call, so the order of the calls is free.
struct TickCache {
    // constants[i] is what `describe` makes of roster instrument i as it
    // stands, and book[i] and flow[i] the rest of it; active_count the
    // number of them that move. The spread fields are the exception: see
    // `spreads_current`.
    std::vector<InstrumentConstants> constants;
    std::vector<InstrumentBookTerms> book;
    std::vector<InstrumentFlowTerms> flow;
    std::size_t active_count = 0;
    bool constants_current = false;
    // constants[i].fair_value is instrument i's fair value under the economy
    // as it stands.
    bool fair_values_current = false;
    // Where has_spread is set, spread_fraction is the live book's half
    // spread for spread_tier under the VIX as it stands.
    bool spreads_current = false;
    // Set only by a pre-market tick, and only while nothing has written the
    // rows or the day's totals since: every row holds +0.0 in the components
    // a pre-market tick leaves zero, and the day's totals for them hold
    // neither -0.0 nor a signalling NaN, so those zeros need neither writing
    // nor adding. A regular tick clears it.
    bool zero_slots_clean = false;
    // The day's news indexed by whom it can move; it keeps track of its own
    // inputs but for the two changes it is told of here.
    NewsIndex news;

    void invalidate(CacheReason reason) noexcept {
        switch (reason) {
            case CacheReason::roster_edit: news.roster_changed(); [[fallthrough]];
            case CacheReason::column_write:
            case CacheReason::close:
            case CacheReason::volume_states:
                constants_current = false;
                zero_slots_clean = false;
                break;
            case CacheReason::restore: zero_slots_clean = false; break;
            case CacheReason::macro:
                fair_values_current = false;
                spreads_current = false;
                break;
            case CacheReason::news: news.pending_changed(); break;
        }
    }
    // Every reason at once: the next tick works everything out afresh.
    void invalidate_all() noexcept {
        for (CacheReason reason : {CacheReason::roster_edit, CacheReason::restore,
                                   CacheReason::macro, CacheReason::news})
            invalidate(reason);
    }
};

// The market maker's view of an instrument, quoting around `price`.
LiveBookInput live_book_input(const CompanyDetails& details, const TradingState& trading,
                              double price);

}  // namespace corvane
