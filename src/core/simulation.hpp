// A simulation as a caller drives it: one engine plus what only the
// caller's view needs (the tickers, the order log, the day buffers, the
// recordings, the day number and whether a day is open).
//
// Every call checks all it can refuse before anything moves, so a refused
// call leaves no draw, no log entry and no change. The interpreter's Engine
// class is a thin wrapper around this type: it converts arguments and
// results and nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/chunked.hpp"
#include "core/engine.hpp"
#include "core/engine_state.hpp"
#include "core/macro.hpp"
#include "core/order_log.hpp"
#include "core/params.hpp"
#include "core/result.hpp"
#include "core/universe.hpp"

namespace corvane {

// The fourteen recording columns, in order: price, volume, mispricing_s,
// fundamental_value, anchor_price, then the nine attribution factors
// (the session buffer's eight tick components and the close's jump).
inline constexpr std::size_t RECORDING_COLUMNS = 14;
inline constexpr std::size_t FIRST_FACTOR_COLUMN = 5;
inline constexpr std::size_t JUMP_COLUMN = 13;

// One column of a day, ticks x instruments row-major. Shared, so that a
// recording can hand it to a reader without copying it.
using DayColumn = std::shared_ptr<const std::vector<double>>;

// One session's place in a day's columns: its rows follow the previous
// session's, each `instruments` wide (a listing or a delisting between
// sessions changes the width). `start_volume` is each instrument's
// cumulative volume when the session began, so the volume traded in its
// first tick counts from there and not from what tick() calls before it
// traded.
struct DaySession {
    std::uint64_t ticks = 0;
    std::uint64_t instruments = 0;
    std::vector<double> start_volume;
};

struct RecordedDay {
    std::array<DayColumn, RECORDING_COLUMNS> columns;
    // The day's sessions in order; their cells fill each column.
    std::vector<DaySession> sessions;
    // Ticks of all sessions, and the last session's instrument count.
    std::uint64_t ticks = 0;
    std::uint64_t instruments = 0;
    std::uint32_t day = 0;
};

// A finished session's cells of every recording column, immutable from the
// moment it is appended to the day, so forks share it.
using DayChunk = std::array<DayColumn, RECORDING_COLUMNS>;

// The economy a recorded day traded under; rates fractional.
struct MacroRow {
    double vix = 0.0;
    double federal_funds_rate = 0.0;
    double corporate_bond_yield = 0.0;
    double inflation_rate = 0.0;
    double unemployment_rate = 0.0;
    double gdp_growth = 0.0;
    double qe_pe_boost = 0.0;
    double fear_greed_index = 0.0;
    double universe_stress = 0.0;
    std::uint32_t day = 0;
};

// One price level of one side of one instrument's book at a snapshot.
struct BookRow {
    double price = 0.0;
    double size = 0.0;
    std::uint32_t day = 0;
    std::uint32_t tick = 0;
    std::uint32_t instrument_id = 0;
    // 0 bids, 1 asks.
    std::uint32_t side = 0;
    // 0 is the best level.
    std::uint32_t level = 0;
};

// What a tick did, as the caller sees it.
struct TickSummary {
    MarketStatus status = MarketStatus::closed;
    std::uint64_t draws = 0;
    std::uint64_t active = 0;
};

// How a run of ticks ended.
struct RunOutcome {
    // Ticks written (a session) or run (run_until).
    std::uint64_t ticks = 0;
    // The caller's keep_going said stop; what ran stays run.
    bool interrupted = false;
    // run_until: the tick, within the call, on which the band was left.
    std::optional<std::uint64_t> fired_at;
    // Memory ran out part way: what ran is kept and logged, then this is
    // rethrown.
    std::exception_ptr failure;
};

// Asked between slices of a long run (and between days); false stops it.
using KeepGoing = std::function<bool()>;

// The column of that name, or "unknown field ..." listing the valid names.
Result<PriceField> field_from_name(std::string_view name);

// The attribution slot of that factor name, or "unknown factor ...".
Result<std::size_t> factor_from_name(std::string_view name);

class Simulation {
public:
    // The instruments in roster order (company id = position). Refuses an
    // empty universe; the instruments are assumed checked.
    static Result<Simulation> create(std::uint32_t seed,
                                     const std::vector<InstrumentInit>& universe,
                                     const std::optional<Macro>& macro, const ModelParams& model);

    // "invalid time 24:05", the day-of-week and volatility messages: what
    // every call that takes a clock checks first.
    static Status check_clock(const Clock& clock);
    // The engine's input for a tick at `clock` with no news or flow.
    static TickInput tick_input(const Clock& clock) noexcept;

    // --- Driving -------------------------------------------------------------

    // Logs and opens a day unconditionally.
    void open_market();
    Result<TickSummary> tick(const Clock& clock, const CallInputs& inputs);
    // Opens the day first when none is open. `close_at_end` closes the day
    // and runs the macro step, as close_market does, without logging it.
    Result<RunOutcome> run_session(const Clock& clock, std::uint64_t ticks, bool close_at_end,
                                   const CallInputs& inputs, const KeepGoing& keep_going = {});
    // Whole days: open, session, record (when asked), close. Stops between
    // days, and inside a session, when `keep_going` says so.
    Result<RunOutcome> run_days(std::uint64_t days, const Clock& clock, std::uint64_t ticks_per_day,
                                bool record, std::uint32_t first_day,
                                const KeepGoing& keep_going = {});
    // Ticks until `ticker`'s price leaves (below, above), at most max_ticks.
    Result<RunOutcome> run_until(std::string_view ticker, std::optional<double> above,
                                 std::optional<double> below, std::uint64_t max_ticks,
                                 const Clock& clock, const KeepGoing& keep_going = {});
    void close_market();

    // --- Roster --------------------------------------------------------------

    std::uint64_t list_instrument(const InstrumentInit& instrument);
    // The removed ticker.
    Result<std::string> delist(std::uint64_t index);
    std::optional<std::size_t> index_of(std::string_view ticker) const noexcept;
    const std::vector<std::string>& tickers() const noexcept { return tickers_; }

    // --- The caller's own draws and the economy ------------------------------

    double draw_uniform();
    double draw_normal();
    Status pin_macro(const MacroPinArgs& args);

    // --- Recording -----------------------------------------------------------

    void record(std::uint32_t day);
    // Empties the recorded days, macro rows and book rows. Logged.
    void clear_recording();
    // Appends every instrument's book, at most `levels` levels a side, as
    // book rows; returns how many. Logged.
    Result<std::uint64_t> snapshot_book(std::uint32_t day, std::uint32_t tick,
                                        std::uint64_t levels);
    // Bytes the three recordings hold.
    std::uint64_t recorded_bytes() const noexcept;
    const Chunked<RecordedDay, 16>& recorded_days() const noexcept { return recorded_days_; }
    const Chunked<MacroRow, 64>& macro_rows() const noexcept { return macro_rows_; }
    const Chunked<BookRow, 256>& book_rows() const noexcept { return book_rows_; }
    const SessionBuffer& session() const noexcept { return *session_; }

    // --- Saving and restoring -------------------------------------------------

    EngineState state() const;
    // Writes a patch checked in full beforehand (engine_state.hpp), and logs
    // the digest of the state it leads to. Leaves the day buffers, the
    // close carry, the recordings and the log before it alone.
    void restore(StatePatch patch);
    // Refuses a patch holding values this simulation could never have
    // written (state_checks::values).
    Status check_restore(const StatePatch& patch) const;
    // Every state a restore led to, in log order: what a replay of the
    // log's restore_state entries must restore again.
    const Chunked<EngineState, 4>& restored_states() const noexcept { return restored_; }
    // An independent simulation in exactly this state, with a fork entry
    // closing the copied log. What is immutable is shared, not copied: the
    // recordings, the log's older entries, the day's finished sessions and
    // the last session's matrices (until either side runs a session).
    // Throws std::bad_alloc, leaving this one as it was.
    Simulation fork() const;

    // --- Reading -------------------------------------------------------------

    const Engine& engine() const noexcept { return engine_; }
    const OrderLog& log() const noexcept { return log_; }
    std::uint32_t seed() const noexcept { return seed_; }
    const std::optional<Macro>& initial_macro() const noexcept { return initial_macro_; }
    // The instruments as constructed, before any listing or delisting: with
    // the seed, the model and the log, what rebuilds the run.
    const std::vector<InstrumentInit>& universe() const noexcept { return universe_; }
    std::uint32_t day_number() const noexcept { return day_number_; }
    bool day_open() const noexcept { return day_open_; }
    // When the open day's next tick runs; none while no day is open.
    const std::optional<TimeOfDay>& clock() const noexcept { return clock_; }
    // Where a run given no time starts: the clock, or the opening bell of
    // the day the run is about to open.
    Clock next_clock(double volatility) const noexcept;
    // Ticks the current day's buffers hold, and tick() calls since the last
    // open (which never reach them).
    std::uint64_t day_ticks() const noexcept { return day_ticks_; }
    std::uint64_t loose_ticks() const noexcept { return loose_ticks_; }

private:
    Simulation(std::uint32_t seed, Engine engine, std::vector<std::string> tickers,
               std::optional<Macro> initial_macro, std::vector<InstrumentInit> universe);

    struct PreparedInputs {
        std::vector<NewsEvent> news;
        std::vector<NewsImpact> news_impacts;
        // By roster position; empty when the call gave none.
        std::vector<OrderVolume> order_flow;
        LoggedInputs logged;

        // The engine's input for a tick at `clock` with these inputs.
        TickInput at(const Clock& clock) const noexcept;
    };
    Result<PreparedInputs> prepare(const CallInputs& inputs) const;
    Status prepare_news(const std::vector<NewsArg>& news, PreparedInputs& out) const;
    Status prepare_news_impacts(const std::vector<NewsImpactArg>& impacts,
                                PreparedInputs& out) const;
    Status prepare_order_flow(const std::vector<FlowArg>& flows, PreparedInputs& out) const;
    Result<std::size_t> position_of(std::string_view ticker) const;
    // Each instrument's long-run daily variance, for a session's close.
    void fill_close_inputs();
    // The day buffers, emptied; the day is open.
    void open_day();
    // Sizes the buffers, opens the day when none is open, and starts a
    // request at `clock`: everything a session does before its ticks.
    SessionRequest begin_session(const Clock& clock, std::uint64_t ticks);
    // One core session, appended to the day buffers.
    Result<RunOutcome> session(SessionRequest& request, const KeepGoing& keep_going);
    // A session whose rows no one reads unless it stops early, run without
    // writing them; stopped early, its ticks run again with them.
    Result<SessionOutcome> unread_session(const SessionRequest& request);
    void append_session_to_day();
    // A day column holding `cells`, in spare storage where there is some.
    DayColumn day_column(std::span<const double> cells);
    // Keeps the storage of the day's columns that nothing else holds any
    // more, for the sessions to come. Before the day's chunks are emptied.
    void keep_spare_columns() noexcept;
    // The session buffer's first slice, in a buffer this simulation alone
    // holds. Throws std::bad_alloc, leaving the buffer as it was.
    void reserve_own_session(std::uint64_t ticks, std::size_t instruments);
    // The day number advances and the macro step runs for it.
    void run_macro_step();
    // After every close: the jump each instrument took at it, all zeros
    // included, replaces the carry for the next session's first tick.
    void keep_close_carry();
    // The clock moves past `ticks` ticks run from `start`, when a day is open.
    void advance_clock(const Clock& start, std::uint64_t ticks);

    std::uint32_t seed_;
    Engine engine_;
    std::vector<std::string> tickers_;
    std::optional<Macro> initial_macro_;
    std::vector<InstrumentInit> universe_;
    OrderLog log_;
    // What bounds a restored state beyond the roster: see check_restore.
    std::vector<std::string> delisted_ids_;
    double highest_initial_price_ = 0.0;
    Chunked<EngineState, 4> restored_;

    // The current day's sessions, one chunk each.
    std::vector<DayChunk> day_chunks_;
    std::uint64_t day_ticks_ = 0;
    std::uint64_t day_instruments_ = 0;
    std::vector<DaySession> day_sessions_;
    std::vector<double> close_carry_;
    // Storage of finished days' columns that no reader, recording or fork
    // holds: a run a day at a time fills it again rather than asking the
    // system for fresh pages every day. A copy starts without any, so no
    // two simulations ever write the same storage.
    struct SpareColumns {
        std::vector<std::vector<double>> storage;
        SpareColumns() = default;
        SpareColumns(const SpareColumns&) noexcept {}
        SpareColumns(SpareColumns&&) noexcept = default;
        SpareColumns& operator=(const SpareColumns&) noexcept {
            storage.clear();
            return *this;
        }
        SpareColumns& operator=(SpareColumns&&) noexcept = default;
    };
    SpareColumns spare_columns_;

    Chunked<RecordedDay, 16> recorded_days_;
    Chunked<MacroRow, 64> macro_rows_;
    Chunked<BookRow, 256> book_rows_;

    // Written by every session, read until the next one. Shared by forks
    // until either side runs a session, which then starts a buffer of its own.
    std::shared_ptr<SessionBuffer> session_;
    std::vector<std::optional<double>> close_innovations_;
    std::vector<double> close_base_variances_;
    std::uint32_t day_number_ = 0;
    bool day_open_ = false;
    std::optional<TimeOfDay> clock_;
    std::uint64_t loose_ticks_ = 0;
    // Whether sessions write their rows and go on to the day buffers
    // (run_days without recording skips the days nobody can read).
    bool keep_day_ = true;
};

}  // namespace corvane
