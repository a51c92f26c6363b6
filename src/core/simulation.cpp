#include "core/simulation.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "core/sectors.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

// The last of the spare storage, or none.
std::vector<double> take_spare(std::vector<std::vector<double>>& spare) noexcept {
    if (spare.empty()) return {};
    std::vector<double> storage = std::move(spare.back());
    spare.pop_back();
    return storage;
}

// Long-run daily variance of an instrument whose sector is not in the table.
constexpr double FALLBACK_BASE_VARIANCE = 0.000225;

// At least two digits, as a clock shows them ("09", "24", "-1").
std::string two_digits(std::int64_t value) {
    std::string digits = std::to_string(value);
    return digits.size() < 2 ? "0" + digits : digits;
}

std::string no_ticker_message(std::string_view ticker) {
    return text::message("no instrument with ticker ", text::quoted(ticker), " in this universe");
}

bool finite_not_negative(double value) { return std::isfinite(value) && value >= 0.0; }

// Room for `count` more entries without giving up geometric growth, so the
// appends that follow a change cannot fail half way.
template <class T>
void make_room(std::vector<T>& items, std::size_t count) {
    if (items.capacity() - items.size() >= count) return;
    items.reserve(std::max(items.size() + count, 2 * items.capacity()));
}

template <class T, std::size_t CHUNK>
void make_room(Chunked<T, CHUNK>& items, std::size_t count) {
    items.make_room(count);
}

// The log's room for `count` more entries and one spare, which
// clear_recording takes.
void make_log_room(OrderLog& log, std::size_t count) { make_room(log, count + 1); }

}  // namespace

Result<std::size_t> factor_from_name(std::string_view name) {
    for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k) {
        if (ATTRIBUTION_FACTORS[k] == name) return k;
    }
    return Error{text::message("unknown factor ", text::quoted(name),
                               ". Valid: ", text::join(ATTRIBUTION_FACTORS))};
}

Result<PriceField> field_from_name(std::string_view name) {
    std::optional<PriceField> field = price_field_from_name(name);
    if (!field) {
        return Error{text::message("unknown field ", text::quoted(name),
                                   ". Valid: ", text::join(COLUMN_FIELDS))};
    }
    return *field;
}

Simulation::Simulation(std::uint32_t seed, Engine engine, std::vector<std::string> tickers,
                       std::optional<Macro> initial_macro, std::vector<InstrumentInit> universe)
    : seed_(seed),
      engine_(std::move(engine)),
      tickers_(std::move(tickers)),
      initial_macro_(std::move(initial_macro)),
      universe_(std::move(universe)),
      session_(std::make_shared<SessionBuffer>()) {
    make_log_room(log_, 0);
    for (const InstrumentInit& instrument : universe_) {
        highest_initial_price_ = std::max(highest_initial_price_, instrument.initial_price);
    }
}

Result<Simulation> Simulation::create(std::uint32_t seed,
                                      const std::vector<InstrumentInit>& universe,
                                      const std::optional<Macro>& macro, const ModelParams& model) {
    if (universe.empty()) {
        return Error{"universe is empty - an engine with no instruments has nothing to simulate"};
    }
    std::vector<TickCompany> roster;
    std::vector<std::string> tickers;
    roster.reserve(universe.size());
    tickers.reserve(universe.size());
    for (std::size_t i = 0; i < universe.size(); ++i) {
        Result<TickCompany> record = universe[i].to_tick_company(i);
        if (!record) return Error{record.error()};
        roster.push_back(std::move(*record));
        tickers.push_back(universe[i].ticker);
    }
    std::vector<std::string> keys;
    keys.reserve(sectors::COUNT);
    for (const SectorSpec& spec : sectors::TABLE) keys.emplace_back(spec.key);
    Engine engine = Engine::with_params(seed, std::move(roster), economy_from(macro), CentralBank{},
                                        std::move(keys), model);
    return Simulation(seed, std::move(engine), std::move(tickers), macro, universe);
}

Status Simulation::check_clock(const Clock& clock) {
    if (clock.hour < 0 || clock.hour >= 24 || clock.minute < 0 || clock.minute >= 60) {
        return Error{
            text::message("invalid time ", two_digits(clock.hour), ":", two_digits(clock.minute))};
    }
    if (clock.day_of_week < 0 || clock.day_of_week >= 7) {
        return Error{text::message("day_of_week must be 0 (Sunday) to 6 (Saturday), got ",
                                   clock.day_of_week)};
    }
    if (!finite_not_negative(clock.volatility)) {
        return Error{
            text::message("volatility must be finite and not negative, got ", clock.volatility)};
    }
    return Status::success();
}

// --- Inputs ------------------------------------------------------------------

Result<std::size_t> Simulation::position_of(std::string_view ticker) const {
    std::optional<std::size_t> found = index_of(ticker);
    if (!found) return Error{no_ticker_message(ticker)};
    return *found;
}

std::optional<std::size_t> Simulation::index_of(std::string_view ticker) const noexcept {
    auto found = std::find(tickers_.begin(), tickers_.end(), ticker);
    if (found == tickers_.end()) return std::nullopt;
    return static_cast<std::size_t>(found - tickers_.begin());
}

Result<Simulation::PreparedInputs> Simulation::prepare(const CallInputs& inputs) const {
    PreparedInputs out;
    if (Status news = prepare_news(inputs.news, out); !news) return Error{news.error()};
    if (Status impacts = prepare_news_impacts(inputs.news_impacts, out); !impacts) {
        return Error{impacts.error()};
    }
    if (Status flow = prepare_order_flow(inputs.order_flow, out); !flow) {
        return Error{flow.error()};
    }
    return out;
}

// News names instruments by ticker; the engine knows them by company id.
Status Simulation::prepare_news(const std::vector<NewsArg>& news, PreparedInputs& out) const {
    const std::vector<CompanyDetails>& roster = engine_.roster();
    for (const NewsArg& given : news) {
        NewsEvent event{given.price_impact, std::nullopt, given.sector};
        NewsArg logged = given;
        if (given.ticker) {
            Result<std::size_t> position = position_of(*given.ticker);
            if (!position) return Error{position.error()};
            const CompanyDetails& company = roster[*position];
            event.ticker = company.company_id;
            if (!event.sector) event.sector = company.sector;
            // The log names the instrument the engine will act on: the first
            // record holding that company id.
            auto holder = std::find_if(roster.begin(), roster.end(), [&](const CompanyDetails& c) {
                return c.company_id == company.company_id;
            });
            logged.ticker = tickers_[static_cast<std::size_t>(holder - roster.begin())];
        }
        logged.sector = event.sector;
        out.news.push_back(std::move(event));
        out.logged.news.push_back(std::move(logged));
    }
    return Status::success();
}

// Impacts name instruments by ticker too; they are logged as given.
Status Simulation::prepare_news_impacts(const std::vector<NewsImpactArg>& impacts,
                                        PreparedInputs& out) const {
    const std::vector<CompanyDetails>& roster = engine_.roster();
    for (const NewsImpactArg& given : impacts) {
        NewsImpact impact;
        impact.sectors = given.sectors.value_or(std::vector<std::string>{});
        impact.sector = given.sector;
        impact.remaining_impact = given.remaining_impact;
        impact.reversal_phase = given.reversal_phase;
        if (given.ticker) {
            Result<std::size_t> position = position_of(*given.ticker);
            if (!position) return Error{position.error()};
            impact.ticker = roster[*position].company_id;
        }
        out.news_impacts.push_back(std::move(impact));
    }
    out.logged.news_impacts = impacts;
    return Status::success();
}

// Flow in byte order of the ticker: the first bad ticker in that order
// is the one reported, a bad value before an unknown name.
Status Simulation::prepare_order_flow(const std::vector<FlowArg>& flows,
                                      PreparedInputs& out) const {
    if (flows.empty()) return Status::success();
    std::vector<const FlowArg*> sorted;
    sorted.reserve(flows.size());
    for (const FlowArg& flow : flows) sorted.push_back(&flow);
    std::sort(sorted.begin(), sorted.end(),
              [](const FlowArg* a, const FlowArg* b) { return a->ticker < b->ticker; });
    // Resolved to positions here, once, by one search of the sorted flow per
    // instrument (a search of the roster per entry would cost instruments x
    // entries): each instrument takes the first entry naming its ticker, and
    // an entry no instrument finds names none.
    std::vector<OrderVolume> resolved(tickers_.size());
    std::vector<bool> known(sorted.size(), false);
    for (std::size_t i = 0; i < tickers_.size(); ++i) {
        const std::string_view ticker = tickers_[i];
        auto entry = std::lower_bound(
            sorted.begin(), sorted.end(), ticker,
            [](const FlowArg* flow, std::string_view name) { return flow->ticker < name; });
        if (entry == sorted.end() || (*entry)->ticker != ticker) continue;
        resolved[i] = OrderVolume{(*entry)->buy, (*entry)->sell};
        for (auto same = entry; same != sorted.end() && (*same)->ticker == ticker; ++same) {
            known[static_cast<std::size_t>(same - sorted.begin())] = true;
        }
    }
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        const FlowArg& flow = *sorted[k];
        if (!finite_not_negative(flow.buy) || !finite_not_negative(flow.sell)) {
            return Error{text::message("order flow for ", text::quoted(flow.ticker),
                                       " must be finite and not negative, got (", flow.buy, ", ",
                                       flow.sell, ")")};
        }
        if (!known[k]) return Error{no_ticker_message(flow.ticker)};
        out.logged.order_flow.push_back(flow);
    }
    out.order_flow = std::move(resolved);
    return Status::success();
}

TickInput Simulation::tick_input(const Clock& clock) noexcept {
    TickInput input;
    input.hour = clock.hour;
    input.minute = clock.minute;
    input.day_of_week = clock.day_of_week;
    input.volatility = clock.volatility;
    return input;
}

TickInput Simulation::PreparedInputs::at(const Clock& clock) const noexcept {
    TickInput input = tick_input(clock);
    input.news = news;
    input.news_impacts = news_impacts;
    input.order_flow = order_flow;
    return input;
}

// --- Driving -------------------------------------------------------------------

void Simulation::open_day() {
    make_log_room(log_, 1);
    log_.emplace_back(log_entry::OpenMarket{});
    keep_spare_columns();
    day_chunks_.clear();
    day_sessions_.clear();
    day_ticks_ = 0;
    loose_ticks_ = 0;
    day_open_ = true;
    clock_ = TimeOfDay{};
    engine_.open_market();
}

Clock Simulation::next_clock(double volatility) const noexcept {
    TimeOfDay at = clock_.value_or(TimeOfDay{});
    return Clock{at.hour, at.minute, at.day_of_week, volatility};
}

void Simulation::advance_clock(const Clock& start, std::uint64_t ticks) {
    if (!day_open_) return;
    // A checked start has 0 <= minute < 60, so neither sum can overflow.
    std::uint64_t minutes = static_cast<std::uint64_t>(start.minute) + ticks;
    clock_ = TimeOfDay{start.hour + static_cast<std::int64_t>(minutes / 60),
                       static_cast<std::int64_t>(minutes % 60), start.day_of_week};
}

void Simulation::open_market() { open_day(); }

Result<TickSummary> Simulation::tick(const Clock& clock, const CallInputs& inputs) {
    if (Status valid = check_clock(clock); !valid) return Error{valid.error()};
    Result<PreparedInputs> prepared = prepare(inputs);
    if (!prepared) return Error{prepared.error()};
    make_log_room(log_, 1);
    log_.emplace_back(log_entry::Tick{clock, std::move(prepared->logged)});

    TickOutcome outcome = engine_.tick(prepared->at(clock));
    ++loose_ticks_;
    advance_clock(clock, 1);
    return TickSummary{outcome.status, outcome.draws, outcome.active.size()};
}

void Simulation::fill_close_inputs() {
    const std::vector<CompanyDetails>& roster = engine_.roster();
    close_innovations_.assign(roster.size(), std::nullopt);
    close_base_variances_.clear();
    for (const CompanyDetails& company : roster) {
        const SectorSpec* spec = sectors::by_key(company.sector);
        close_base_variances_.push_back(spec ? spec->daily_sigma * spec->daily_sigma
                                             : FALLBACK_BASE_VARIANCE);
    }
}

SessionRequest Simulation::begin_session(const Clock& clock, std::uint64_t ticks) {
    // The first slice's buffers are sized before the day opens, so a
    // failure there changes nothing; the session grows them as it runs.
    reserve_own_session(std::min(ticks, session_slice_ticks(engine_.size())), engine_.size());
    make_log_room(log_, 2);
    close_carry_.reserve(engine_.size());
    if (!day_open_) open_day();
    SessionRequest request;
    request.tick = tick_input(clock);
    request.ticks = ticks;
    return request;
}

Result<RunOutcome> Simulation::session(SessionRequest& request, const KeepGoing& keep_going) {
    fill_close_inputs();
    request.close.innovations = close_innovations_;
    request.close.sector_base_variances = close_base_variances_;
    request.keep_going = keep_going;
    Result<SessionOutcome> ran =
        keep_day_ ? engine_.run_session(request, *session_) : unread_session(request);
    if (!ran) return Error{ran.error()};
    RunOutcome outcome;
    outcome.failure = ran->failure;
    if (keep_day_ || ran->interrupted || ran->failure) {
        try {
            append_session_to_day();
        } catch (const std::bad_alloc&) {
            // The ticks ran all the same; the caller logs them first.
            if (!outcome.failure) outcome.failure = std::current_exception();
        }
    }
    // The ticks that ran: a stop's tick ran too.
    outcome.ticks = ran->stopped ? ran->tick + 1 : ran->tick;
    outcome.interrupted = ran->interrupted;
    if (ran->stopped) outcome.fired_at = ran->tick;
    return outcome;
}

// A day of a longer run that is neither recorded nor its last is read by no
// one unless the run stops inside it, and its rows cost about a fifth of its
// ticks. It runs without them, from a copy of the engine kept to run the
// ticks that did run again, rows and all, if it stops early: the same
// inputs give the same bits.
Result<SessionOutcome> Simulation::unread_session(const SessionRequest& request) {
    std::optional<Engine> before;
    try {
        before.emplace(engine_);
    } catch (const std::bad_alloc&) {
        return engine_.run_session(request, *session_);
    }
    Result<SessionOutcome> ran = engine_.run_session(request);
    if (!ran) return ran;
    if (!ran->interrupted && !ran->failure) {
        // The buffer holds an earlier session's rows: none of them are this one's.
        session_->ticks_written = 0;
        return ran;
    }
    engine_ = std::move(*before);
    SessionRequest again = request;
    again.ticks = ran->tick;
    again.keep_going = {};
    Result<SessionOutcome> rerun = engine_.run_session(again, *session_);
    if (!rerun) return rerun;
    if (!rerun->failure) rerun->interrupted = ran->interrupted;
    return rerun;
}

void Simulation::reserve_own_session(std::uint64_t ticks, std::size_t instruments) {
    if (session_.use_count() == 1) {
        // A fork that let go of it on another thread had finished reading.
        std::atomic_thread_fence(std::memory_order_acquire);
        session_->reserve_session(ticks, instruments);
        return;
    }
    // A fork still reads the last session. A session writes every row it
    // reports and nothing reads past them, so a new buffer serves; it
    // replaces the shared one only once it holds the first slice.
    auto fresh = std::make_shared<SessionBuffer>();
    fresh->reserve_session(ticks, instruments);
    session_ = std::move(fresh);
}

void Simulation::append_session_to_day() {
    const SessionBuffer& buffer = *session_;
    std::size_t cells = static_cast<std::size_t>(buffer.ticks_written) * buffer.instruments;
    // All of it is built before anything changes: a failed allocation
    // appends nothing.
    DaySession piece{buffer.ticks_written, buffer.instruments,
                     std::vector<double>(buffer.start_volume.begin(),
                                         buffer.start_volume.begin() +
                                             static_cast<std::ptrdiff_t>(buffer.instruments))};
    make_room(day_sessions_, 1);
    make_room(day_chunks_, 1);
    std::array<const std::vector<double>*, JUMP_COLUMN> sources = {
        &buffer.price, &buffer.volume, &buffer.mispricing_s, &buffer.tick_fundamental,
        &buffer.tick_anchor};
    for (std::size_t k = 0; k < TICK_COMPONENTS; ++k) {
        sources[FIRST_FACTOR_COLUMN + k] = &buffer.components[k];
    }
    DayChunk chunk;
    for (std::size_t c = 0; c < JUMP_COLUMN; ++c) {
        chunk[c] = day_column(std::span<const double>(*sources[c]).first(cells));
    }
    // The jump column: zeros, plus the last close's jumps on this session's
    // first tick.
    std::vector<double> jump = take_spare(spare_columns_.storage);
    jump.assign(cells, 0.0);
    for (std::size_t k = 0; k < close_carry_.size() && k < jump.size(); ++k) {
        jump[k] += close_carry_[k];
    }
    chunk[JUMP_COLUMN] = std::make_shared<std::vector<double>>(std::move(jump));

    day_instruments_ = buffer.instruments;
    day_ticks_ += buffer.ticks_written;
    day_sessions_.push_back(std::move(piece));
    day_chunks_.push_back(std::move(chunk));
    close_carry_.clear();
}

// Columns are made writable and only read once made a DayColumn, so a
// column that nothing else holds may be taken apart again.
DayColumn Simulation::day_column(std::span<const double> cells) {
    std::vector<double> storage = take_spare(spare_columns_.storage);
    storage.assign(cells.begin(), cells.end());
    return std::make_shared<std::vector<double>>(std::move(storage));
}

void Simulation::keep_spare_columns() noexcept {
    std::vector<std::vector<double>>& spare = spare_columns_.storage;
    // One session's columns are all a day at a time reuses.
    try {
        spare.reserve(RECORDING_COLUMNS);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (DayChunk& chunk : day_chunks_) {
        for (DayColumn& column : chunk) {
            if (spare.size() == RECORDING_COLUMNS) return;
            if (column.use_count() != 1) continue;
            // A fork that let go of it on another thread had finished reading.
            std::atomic_thread_fence(std::memory_order_acquire);
            spare.push_back(std::move(*std::const_pointer_cast<std::vector<double>>(column)));
            column.reset();
        }
    }
}

Result<RunOutcome> Simulation::run_session(const Clock& clock, std::uint64_t ticks,
                                           bool close_at_end, const CallInputs& inputs,
                                           const KeepGoing& keep_going) {
    if (ticks == 0) return Error{"ticks must be greater than zero"};
    if (Status valid = check_clock(clock); !valid) return Error{valid.error()};
    Result<PreparedInputs> prepared = prepare(inputs);
    if (!prepared) return Error{prepared.error()};
    // A session runs all its ticks: one that cannot fit fails before it
    // starts. run_until may stop at any tick, so it only grows as it goes.
    SessionBuffer::check_fits(ticks, engine_.size());
    SessionRequest request = begin_session(clock, ticks);
    request.tick = prepared->at(clock);
    request.close_at_end = close_at_end;
    Result<RunOutcome> ran = session(request, keep_going);
    if (!ran) return ran;
    advance_clock(clock, ran->ticks);
    bool closed = close_at_end && !ran->interrupted && !ran->failure;
    if (closed) {
        keep_close_carry();
        run_macro_step();
    }
    // Logged once the run has ended, as what happened.
    log_.emplace_back(
        log_entry::RunSession{clock, ran->ticks, closed, std::move(prepared->logged)});
    if (ran->failure) std::rethrow_exception(ran->failure);
    return ran;
}

Result<RunOutcome> Simulation::run_days(std::uint64_t days, const Clock& clock,
                                        std::uint64_t ticks_per_day, bool record_days,
                                        std::uint32_t first_day, const KeepGoing& keep_going) {
    if (days == 0) return Error{"days must be greater than zero"};
    if (ticks_per_day == 0) return Error{"ticks_per_day must be greater than zero"};
    if (Status valid = check_clock(clock); !valid) return Error{valid.error()};
    constexpr std::uint64_t LAST_DAY = std::numeric_limits<std::uint32_t>::max();
    if (record_days && days - 1 > LAST_DAY - first_day) {
        return Error{text::message("first_day + days - 1 must be at most ", LAST_DAY,
                                   " to label every recorded day, got ", first_day, " + ", days,
                                   " - 1")};
    }
    SessionBuffer::check_fits(ticks_per_day, engine_.size());

    RunOutcome outcome;
    for (std::uint64_t d = 0; d < days; ++d) {
        if (d > 0 && keep_going && !keep_going()) {
            outcome.interrupted = true;
            return outcome;
        }
        make_log_room(log_, 4);
        open_day();
        // Unrecorded days need no day buffers, which the next open empties
        // anyway: only the last day's (or an interrupted one's) can be read.
        struct KeepDay {
            bool& flag;
            ~KeepDay() { flag = true; }
        } restore_afterwards{keep_day_};
        keep_day_ = record_days || d + 1 == days;
        Result<RunOutcome> ran = run_session(clock, ticks_per_day, false, CallInputs{}, keep_going);
        if (!ran) return ran;
        if (ran->interrupted) {
            outcome.interrupted = true;
            return outcome;
        }
        if (record_days) record(first_day + static_cast<std::uint32_t>(d));
        close_market();
        outcome.ticks = d + 1;
    }
    return outcome;
}

Result<RunOutcome> Simulation::run_until(std::string_view ticker, std::optional<double> above,
                                         std::optional<double> below, std::uint64_t max_ticks,
                                         const Clock& clock, const KeepGoing& keep_going) {
    if (!above && !below) {
        return Error{
            "give at least one of above= or below= - a run_until with no condition is just "
            "run_session"};
    }
    for (auto [name, bound] : {std::pair{"above", above}, std::pair{"below", below}}) {
        if (bound && !(std::isfinite(*bound) && *bound > 0.0)) {
            return Error{text::message(name, " must be finite and positive, got ", *bound)};
        }
    }
    if (above && below && *below >= *above) {
        return Error{text::message("below (", *below, ") must be under above (", *above,
                                   ") - an inverted band fires immediately and always")};
    }
    if (max_ticks == 0) return Error{"max_ticks must be greater than zero"};
    Result<std::size_t> position = position_of(ticker);
    if (!position) return Error{position.error()};
    if (Status valid = check_clock(clock); !valid) return Error{valid.error()};
    SessionRequest request = begin_session(clock, max_ticks);
    request.stop = StopCondition{*position, below, above};
    Result<RunOutcome> ran = session(request, keep_going);
    if (!ran) return ran;
    advance_clock(clock, ran->ticks);
    log_.emplace_back(
        log_entry::RunUntil{std::string(ticker), above, below, max_ticks, clock, ran->ticks});
    if (ran->failure) std::rethrow_exception(ran->failure);
    return ran;
}

void Simulation::run_macro_step() {
    ++day_number_;
    engine_.advance_macro_day(day_number_);
}

void Simulation::close_market() {
    make_log_room(log_, 1);
    close_carry_.reserve(engine_.size());
    log_.emplace_back(log_entry::CloseMarket{});
    day_open_ = false;
    clock_.reset();
    ++day_number_;
    engine_.close_day(day_number_);
    keep_close_carry();
}

void Simulation::keep_close_carry() {
    // Room was made before the close ran.
    std::span<const double> jumps = engine_.last_close_jumps();
    close_carry_.assign(jumps.begin(), jumps.end());
}

// --- Roster --------------------------------------------------------------------

std::uint64_t Simulation::list_instrument(const InstrumentInit& instrument) {
    Result<TickCompany> record = instrument.to_tick_company(engine_.size());
    // A checked instrument always converts.
    if (!record) return engine_.size();
    LogEntry entry = log_entry::ListInstrument{instrument};
    std::string ticker = instrument.ticker;
    make_log_room(log_, 1);
    make_room(tickers_, 1);
    highest_initial_price_ = std::max(highest_initial_price_, instrument.initial_price);
    engine_.list(std::move(*record));
    log_.push_back(std::move(entry));
    tickers_.push_back(std::move(ticker));
    return engine_.size() - 1;
}

Result<std::string> Simulation::delist(std::uint64_t index) {
    if (index >= engine_.size()) {
        return Error{
            text::message("no instrument at index ", index, "; the roster holds ", engine_.size())};
    }
    auto position = static_cast<std::size_t>(index);
    make_log_room(log_, 1);
    make_room(delisted_ids_, 1);
    std::string id = engine_.roster()[position].company_id;
    if (Status removed = engine_.delist(position); !removed) return Error{removed.error()};
    std::string ticker = std::move(tickers_[position]);
    tickers_.erase(tickers_.begin() + static_cast<std::ptrdiff_t>(position));
    log_.emplace_back(log_entry::Delist{index});
    delisted_ids_.push_back(std::move(id));
    return ticker;
}

// --- Draws and the economy -------------------------------------------------------

double Simulation::draw_uniform() {
    make_log_room(log_, 1);
    log_.emplace_back(log_entry::Draw{false});
    return engine_.draw_uniform();
}

double Simulation::draw_normal() {
    make_log_room(log_, 1);
    log_.emplace_back(log_entry::Draw{true});
    return engine_.draw_normal();
}

Status Simulation::pin_macro(const MacroPinArgs& args) {
    Result<MacroPin> pin = check_macro_pin(args);
    if (!pin) return Error{pin.error()};
    make_log_room(log_, 1);
    log_.emplace_back(log_entry::PinMacro{*pin});
    EconomyState economy = engine_.economy();
    apply_macro_pin(economy, *pin);
    engine_.set_economy(economy);
    return Status::success();
}

void Simulation::clear_recording() {
    // Every other append leaves a slot spare for this entry (make_log_room),
    // so the one call that frees memory cannot fail for want of it. The
    // spare is taken back once the recordings are freed, when memory allows;
    // until then the next append makes room for it.
    make_room(log_, 1);
    log_.emplace_back(log_entry::ClearRecording{});
    recorded_days_.clear();
    macro_rows_.clear();
    book_rows_.clear();
    try {
        make_room(log_, 1);
    } catch (const std::bad_alloc&) {}
}

Result<std::uint64_t> Simulation::snapshot_book(std::uint32_t day, std::uint32_t tick,
                                                std::uint64_t levels) {
    if (levels == 0) return Error{"levels must be at least 1"};
    // The maker quotes a bounded ladder; a larger request records no more.
    auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(levels, 1U << 16));
    std::vector<BookRow> rows;
    for (std::size_t i = 0; i < engine_.size(); ++i) {
        std::optional<OrderBook> book = engine_.book_for(i);
        if (!book) continue;
        for (std::uint32_t side : {0U, 1U}) {
            std::vector<PriceLevel> found =
                book->price_levels(side == 0 ? Side::buy : Side::sell, kept);
            for (std::size_t k = 0; k < found.size(); ++k) {
                rows.push_back(BookRow{found[k].price, found[k].quantity, day, tick,
                                       static_cast<std::uint32_t>(i), side,
                                       static_cast<std::uint32_t>(k)});
            }
        }
    }
    make_log_room(log_, 1);
    make_room(book_rows_, rows.size());
    log_.emplace_back(log_entry::SnapshotBook{day, tick, levels});
    book_rows_.append(rows.begin(), rows.end());
    return static_cast<std::uint64_t>(rows.size());
}

std::uint64_t Simulation::recorded_bytes() const noexcept {
    std::uint64_t bytes = 0;
    for (const RecordedDay& day : recorded_days_) {
        for (const DayColumn& column : day.columns) bytes += column->size() * sizeof(double);
    }
    bytes += macro_rows_.size() * sizeof(MacroRow);
    bytes += book_rows_.size() * sizeof(BookRow);
    return bytes;
}

// --- Saving and restoring ---------------------------------------------------------

EngineState Simulation::state() const {
    EngineState out;
    const std::size_t n = engine_.size();
    for (std::size_t k = 0; k < PRICE_FIELD_COUNT; ++k) {
        out.columns[k] = engine_.column(*price_field_from_name(COLUMN_FIELDS[k]));
    }
    out.rng = engine_.rng_state();
    out.company_ids = engine_.ids();
    out.model_fingerprint = engine_.model().fingerprint();
    out.attribution.reserve(ATTRIBUTION_SLOTS * n);
    for (const AttributionRow& row : engine_.attribution()) {
        out.attribution.insert(out.attribution.end(), row.begin(), row.end());
    }
    out.tick_components.reserve(TICK_COMPONENTS * n);
    for (const ComponentRow& row : engine_.tick_components()) {
        out.tick_components.insert(out.tick_components.end(), row.begin(), row.end());
    }
    out.tick_fundamental.assign(engine_.tick_fundamental().begin(),
                                engine_.tick_fundamental().end());
    out.tick_anchor.assign(engine_.tick_anchor().begin(), engine_.tick_anchor().end());
    out.market_open = day_open_;
    const MarketState& market = engine_.market();
    out.market_variance = {market.variance, market.day_factor, market.variance_components[0],
                           market.variance_components[1]};
    out.volume_state = market.volume_state;
    out.economy = engine_.economy();
    out.central_bank = engine_.central_bank();
    out.day_count = engine_.day_count();
    out.day_number = day_number_;
    out.pending_news.assign(engine_.pending_news().begin(), engine_.pending_news().end());
    out.universe_stress = market.universe_stress;
    out.instrument_volume_states = engine_.instrument_volume_states();
    out.long_memory_states = engine_.long_memory_states();
    out.draws = engine_.draws();
    out.clock = clock_;
    return out;
}

Status Simulation::check_restore(const StatePatch& patch) const {
    state_checks::Bounds bounds{
        state_checks::price_ceiling(engine_.model(), highest_initial_price_), delisted_ids_};
    return state_checks::values(patch, engine_, bounds);
}

void Simulation::restore(StatePatch patch) {
    make_log_room(log_, 1);
    for (std::size_t k = 0; k < PRICE_FIELD_COUNT; ++k) {
        (void)engine_.set_column(*price_field_from_name(COLUMN_FIELDS[k]), patch.columns[k]);
    }
    RngState records = engine_.rng_state();
    for (std::size_t slot = 0; slot < patch.rng.size() && slot < STREAM_COUNT; ++slot) {
        records[slot] = patch.rng[slot];
    }
    engine_.set_rng_state(records);
    (void)engine_.restore_day_state(patch.attribution, patch.tick_components,
                                    patch.tick_fundamental, patch.tick_anchor);
    if (patch.market_open) day_open_ = *patch.market_open;
    MarketState& market = engine_.market();
    if (patch.volume_state) market.volume_state = *patch.volume_state;
    if (patch.market_variance.size() >= 2) {
        market.variance = patch.market_variance[0];
        market.day_factor = patch.market_variance[1];
    }
    if (patch.market_variance.size() == 4) {
        market.variance_components = {patch.market_variance[2], patch.market_variance[3]};
    }
    engine_.set_economy(patch.economy);
    engine_.central_bank() = patch.central_bank;
    if (patch.day_count) engine_.set_day_count(*patch.day_count);
    if (patch.day_number) day_number_ = *patch.day_number;
    if (patch.pending_news) engine_.set_pending_news(std::move(*patch.pending_news));
    if (patch.universe_stress) market.universe_stress = *patch.universe_stress;
    if (patch.instrument_volume_states) {
        engine_.set_instrument_volume_states(std::move(*patch.instrument_volume_states));
    }
    // A snapshot leaves them out while there are none, as before a model
    // that has them first closes: absent, they are empty.
    engine_.set_long_memory_states(
        std::move(patch.long_memory_states).value_or(std::vector<double>{}));
    if (patch.draws) engine_.set_draws(*patch.draws);
    if (patch.clock_given) {
        clock_ = patch.clock;
    } else {
        clock_.reset();
        if (day_open_) clock_ = TimeOfDay{};
    }
    make_room(restored_, 1);
    EngineState reached = state();
    log_.emplace_back(log_entry::RestoreState{state_digest(reached)});
    restored_.push_back(std::move(reached));
}

// --- Recording -----------------------------------------------------------------

void Simulation::record(std::uint32_t day) {
    RecordedDay recorded;
    if (day_chunks_.size() == 1) {
        // One session: its chunk is the day, shared as it stands.
        recorded.columns = day_chunks_.front();
    } else {
        for (std::size_t c = 0; c < RECORDING_COLUMNS; ++c) {
            std::size_t cells = 0;
            for (const DayChunk& chunk : day_chunks_) cells += chunk[c]->size();
            std::vector<double> joined;
            joined.reserve(cells);
            for (const DayChunk& chunk : day_chunks_) {
                joined.insert(joined.end(), chunk[c]->begin(), chunk[c]->end());
            }
            recorded.columns[c] = std::make_shared<const std::vector<double>>(std::move(joined));
        }
    }
    recorded.sessions = day_sessions_;
    recorded.ticks = day_ticks_;
    recorded.instruments = day_instruments_;
    recorded.day = day;
    const EconomyState& economy = engine_.economy();
    MacroRow row{economy.vix,
                 economy.federal_funds_rate / 100.0,
                 economy.corporate_bond_yield / 100.0,
                 economy.inflation_rate / 100.0,
                 economy.unemployment_rate / 100.0,
                 economy.gdp_growth / 100.0,
                 economy.qe_pe_boost,
                 economy.fear_greed_index,
                 engine_.market().universe_stress,
                 day};
    make_room(recorded_days_, 1);
    make_room(macro_rows_, 1);
    make_log_room(log_, 1);
    log_.emplace_back(log_entry::Record{day});
    recorded_days_.push_back(std::move(recorded));
    macro_rows_.push_back(row);
}

}  // namespace corvane
