// The simulation engine: the roster of instruments, the economy, the model,
// the seven generator streams and the per-instrument day vectors the tick
// and the close fill.
//
// The engine is a plain value used by one thread at a time. Its behaviour is
// split by stage: construction, columns and roster edits here (engine.cpp);
// the market tick in tick.cpp; the open, sessions and the close in
// lifecycle.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/economy.hpp"
#include "core/generator.hpp"
#include "core/lifecycle.hpp"
#include "core/order_book.hpp"
#include "core/params.hpp"
#include "core/result.hpp"
#include "core/sectors.hpp"
#include "core/tick.hpp"
#include "core/tick_company.hpp"

namespace corvane {

// The eighteen per-instrument columns, in declaration order; each names the
// `TickCompany` field of the same name, in its trading state or its details.
enum class PriceField : std::uint8_t {
    price,
    previous_close,
    open,
    high,
    low,
    volume,
    market_cap,
    mispricing_s,
    maker_inventory,
    garch_variance,
    previous_tick_price,
    mispricing_s_prev_close,
    mispricing_momentum,
    last_daily_return,
    avg_volume,
    beta,
    short_interest,
    float_shares,
};
inline constexpr std::size_t PRICE_FIELD_COUNT = 18;

// The published order snapshots, batches and tables iterate in.
inline constexpr std::array<std::string_view, PRICE_FIELD_COUNT> COLUMN_FIELDS = {
    "price",
    "previous_close",
    "previous_tick_price",
    "open",
    "high",
    "low",
    "volume",
    "avg_volume",
    "market_cap",
    "mispricing_s",
    "mispricing_s_prev_close",
    "mispricing_momentum",
    "last_daily_return",
    "maker_inventory",
    "garch_variance",
    "beta",
    "short_interest",
    "float_shares"};

std::string_view name_of(PriceField field) noexcept;
// Exact, case-sensitive: "Price" and "prices" are not fields.
std::optional<PriceField> price_field_from_name(std::string_view name) noexcept;

// Market-wide state the ticks and closes carry from day to day.
struct MarketState {
    // Variance of the market factor, and its two component levels (fast, slow).
    double variance = 0.0;
    std::array<double, 2> variance_components{};
    // Sum of the day's market shocks.
    double day_factor = 0.0;
    // Stress memory read by the crisis blend.
    double universe_stress = 0.0;
    // Log volume state of the whole market.
    double volume_state = 0.0;

    bool operator==(const MarketState&) const = default;
};

// Values handed out per counted stream.
struct DrawCounters {
    std::uint64_t market = 0;
    std::uint64_t economy = 0;
    std::uint64_t external = 0;

    std::uint64_t total() const noexcept { return market + economy + external; }
    bool operator==(const DrawCounters&) const = default;
};

using RngState = std::array<GameRng::Record, STREAM_COUNT>;

class Engine {
public:
    // Takes ownership of everything; derives the streams from `seed`, sizes
    // the day vectors to the roster and draws nothing.
    static Engine with_params(std::uint32_t seed, std::vector<TickCompany> roster,
                              EconomyState economy, CentralBank central_bank,
                              std::vector<std::string> sector_keys, ModelParams model);

    // --- Roster and columns -------------------------------------------------

    std::size_t size() const noexcept { return roster_.size(); }
    // Each instrument's details and, apart, its trading state, in roster order.
    const std::vector<CompanyDetails>& roster() const noexcept { return roster_; }
    const std::vector<TradingState>& trading() const noexcept { return trading_; }
    // Every record's company id, in roster order.
    std::vector<std::string> ids() const;

    // One value per instrument; an absent optional reads as NaN.
    std::vector<double> column(PriceField field) const;
    // The same into `out`, which must hold `size()` values.
    void column_into(PriceField field, std::span<double> out) const noexcept;
    // Writes every value in roster order; NaN makes an optional field
    // absent. Refuses a length other than the roster's, writing nothing.
    Status set_column(PriceField field, std::span<const double> values);
    // set_column's length check alone.
    Status check_column_length(std::size_t count) const;

    // The ten-level book a caller inspects for instrument `index`; nothing
    // when the index is past the roster. Draws and changes nothing.
    std::optional<OrderBook> book_for(std::size_t index) const;

    // Appends a record with empty day vectors; streams, counters and volume
    // states stay as they are.
    void list(TickCompany record);
    // Removes position `index` from the roster and every day vector.
    Status delist(std::size_t index);

    // --- Streams ------------------------------------------------------------

    // The seven generator records in stream position order.
    RngState rng_state() const noexcept;
    void set_rng_state(const RngState& records) noexcept;
    const DrawCounters& draws() const noexcept { return draws_; }
    // The caller's own draws, from the external stream only.
    double draw_uniform();
    double draw_normal();

    // --- State --------------------------------------------------------------

    const ModelParams& model() const noexcept { return model_; }
    const std::vector<std::string>& sector_keys() const noexcept { return sector_keys_; }
    const EconomyState& economy() const noexcept { return economy_; }
    // Replaces the economy, as a macro pin or a restore does.
    void set_economy(const EconomyState& economy) noexcept;
    CentralBank& central_bank() noexcept { return central_bank_; }
    const CentralBank& central_bank() const noexcept { return central_bank_; }
    MarketState& market() noexcept { return market_; }
    const MarketState& market() const noexcept { return market_; }
    // Day number of the last daily macro step (0 before the first).
    std::uint32_t day_count() const noexcept { return day_count_; }
    void set_day_count(std::uint32_t day) noexcept { day_count_ = day; }
    // By roster position as sized at construction; a missing position reads 0.0.
    const std::vector<double>& instrument_volume_states() const noexcept {
        return instrument_volume_states_;
    }
    double instrument_volume_state(std::size_t index) const noexcept;
    // The long-memory volatility components, LONG_MEMORY_COMPONENTS per
    // instrument in roster order; empty while the option is off.
    const std::vector<double>& long_memory_states() const noexcept { return long_memory_states_; }
    // Instrument i's noise scale from them: exp(sum - sigma^2), whose square
    // averages 1 over the components' stationary spread; 1.0 when off or
    // before its components exist.
    double long_memory_scale(std::size_t index) const noexcept;

    // Day vectors, one entry per instrument in roster order.
    std::span<const AttributionRow> attribution() const noexcept { return attribution_; }
    std::span<const ComponentRow> tick_components() const noexcept { return tick_components_; }
    std::span<const double> tick_fundamental() const noexcept { return tick_fundamental_; }
    std::span<const double> tick_anchor() const noexcept { return tick_anchor_; }
    // The change each instrument's mispricing took from the last close's
    // jump (0.0 where none): the attribution slot accumulates a day's
    // closes, this holds the last one alone.
    std::span<const double> last_close_jumps() const noexcept { return close_jumps_; }
    // Endogenous news drawn at the open, applied to every tick of the day.
    std::span<const NewsEvent> pending_news() const noexcept { return pending_news_; }

    // --- Behaviour ----------------------------------------------------------

    // One game-minute (tick.cpp). A closed market draws nothing.
    TickOutcome tick(const TickInput& input);
    // From now on every tick works out afresh all it would keep between
    // ticks and takes its general walk: the slow reference the specialised
    // walks are held to, bit for bit. For tests.
    void set_reference_walk(bool on) noexcept { reference_walk_ = on; }

    // Daily resets and endogenous news (lifecycle.cpp).
    void open_market();
    // Ticks in a loop, writing each tick's cross-section into `buffer`.
    // Refuses close inputs that do not match the roster when the session
    // would close, before anything runs.
    Result<SessionOutcome> run_session(const SessionRequest& request, SessionBuffer& buffer);
    // The same session with no per-tick output kept.
    Result<SessionOutcome> run_session(const SessionRequest& request);
    // GARCH, the daily roll, market variance, stress, jumps and volume
    // states. Refuses a request whose lengths differ from the roster's.
    Status close_market(const DayCloseRequest& request);
    // The close with the day's own inputs, then the daily macro step.
    void close_day(std::uint32_t day_number);
    // The daily macro step alone (the economy stream); returns its draws.
    std::uint64_t advance_macro_day(std::uint32_t day_number);
    // restore_day_state's length checks alone.
    Status check_day_state(std::size_t attribution, std::size_t tick_components,
                           std::size_t tick_fundamental, std::size_t tick_anchor) const;
    // What a restored state also carries so that it continues bit for bit:
    // the open day's endogenous news, the per-instrument volume states and
    // the draw counters.
    void set_pending_news(std::vector<NewsEvent> news);
    void set_instrument_volume_states(std::vector<double> states);
    void set_long_memory_states(std::vector<double> states);
    void set_draws(const DrawCounters& draws) noexcept { draws_ = draws; }
    // Puts the four day vectors back from flat sequences (rows concatenated).
    Status restore_day_state(std::span<const double> attribution,
                             std::span<const double> tick_components,
                             std::span<const double> tick_fundamental,
                             std::span<const double> tick_anchor);

private:
    friend class MarketTick;
    friend class DayClose;

    Engine(std::array<GameRng, STREAM_COUNT> streams, std::vector<TickCompany> roster,
           EconomyState economy, CentralBank central_bank, std::vector<std::string> sector_keys,
           ModelParams model);

    static constexpr std::size_t NO_SECTOR_KEY = static_cast<std::size_t>(-1);

    GameRng& stream(Stream which) noexcept { return streams_[static_cast<std::size_t>(which)]; }
    // Appends a record's two parts to the roster, into room already reserved.
    void append(TickCompany&& record);
    // Every day vector back to one empty entry per instrument.
    void reset_day_vectors();
    // Position in `sector_keys_` of the first key equal to `sector`.
    std::size_t sector_key_position(std::string_view sector) const noexcept;
    Result<SessionOutcome> session(const SessionRequest& request, SessionBuffer* buffer);
    // The session's ticks, up to a stop or an interruption; no open, no close.
    SessionOutcome session_ticks(const SessionRequest& request, SessionBuffer* buffer);
    // Row `t` of every session matrix from the engine's current state.
    // `bypass`: the session's rows outgrow the caches, so they go around them.
    void write_session_row(SessionBuffer& buffer, std::uint64_t t, bool bypass) const;
    // The same with every day vector's length checked, from cell `base` on.
    void write_session_row_checked(SessionBuffer& buffer, std::size_t base) const;

    std::array<GameRng, STREAM_COUNT> streams_;
    EconomyState economy_;
    CentralBank central_bank_;
    std::vector<NewsEvent> pending_news_;
    // The roster in two parts of the same length: the trading state every
    // tick reads and writes, dense, and the rest.
    std::vector<CompanyDetails> roster_;
    std::vector<TradingState> trading_;
    std::vector<std::string> sector_keys_;
    // Per sector of the table, the position of its key in `sector_keys_`.
    std::array<std::size_t, sectors::COUNT> table_key_positions_{};
    std::vector<AttributionRow> attribution_;
    std::vector<ComponentRow> tick_components_;
    std::vector<double> tick_fundamental_;
    std::vector<double> tick_anchor_;
    std::vector<double> instrument_volume_states_;
    std::vector<double> long_memory_states_;
    std::vector<double> close_jumps_;
    MarketState market_;
    DrawCounters draws_;
    std::uint32_t day_count_ = 0;
    ModelParams model_;
    TickScratch scratch_;
    TickCache cache_;
    bool reference_walk_ = false;
    // The close's own inputs, reused day after day.
    std::vector<std::optional<double>> close_innovations_;
    std::vector<double> close_base_variances_;
};

}  // namespace corvane
