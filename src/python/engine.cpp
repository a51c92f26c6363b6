// Engine and TickResult: one simulated market as the interpreter drives it.
//
// Everything here converts: arguments into the simulation's inputs, results
// into interpreter objects. The rules (checks, logging, day buffers) are the
// simulation's (core/simulation.hpp). Each call holds the engine for its
// whole length, conversions included, so a caller's __float__ or a signal
// handler that calls back into the same engine is refused, never interleaved.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/book_reads.hpp"
#include "core/comparison.hpp"
#include "core/market_hours.hpp"
#include "core/market_maker.hpp"
#include "core/simulation.hpp"
#include "core/table_digest.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/arrow.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

struct EngineObject {
    Simulation simulation;
    // Set while a call runs on the engine, from any thread.
    BusyFlag flag;
};

// Holds the engine for one call; refuses when another call holds it.
class Borrow {
public:
    explicit Borrow(PyObject* self, bool changes = true)
        : object_(payload_of<EngineObject>(self)), hold_(object_.flag, changes) {}

    explicit operator bool() const noexcept { return static_cast<bool>(hold_); }
    Simulation& simulation() noexcept { return object_.simulation; }

private:
    EngineObject& object_;
    BusyHold hold_;
};

// Runs `body(simulation)` holding the engine, guarded.
template <class Body>
PyObject* with_engine(PyObject* self, Body&& body, bool changes = true) {
    return guarded([&]() -> PyObject* {
        Borrow borrow(self, changes);
        if (!borrow) return nullptr;
        return body(borrow.simulation());
    });
}

// As with_engine, for a call that only reads: `body` gets the simulation as
// const, and the call leaves the count of changes as it is.
template <class Body>
PyObject* reading_engine(PyObject* self, Body&& body) {
    return with_engine(
        self, [&](Simulation& simulation) { return body(std::as_const(simulation)); }, false);
}

// After a run its caller's keep_going stopped: the interruption's error is
// set; what ran stays run.
PyObject* interrupted() {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
}

// Asks for Ctrl-C while holding the interpreter lock.
bool no_signal() { return PyErr_CheckSignals() == 0; }

// ---- TickResult ----

PyObject* TickResult_get_market_status(PyObject* self, void*) {
    return to_python(status_name(payload_of<TickSummary>(self).status));
}

PyObject* TickResult_repr(PyObject* self) {
    return guarded([self] {
        const TickSummary& tick = payload_of<TickSummary>(self);
        return to_python(
            text::message("TickResult(market_status=", text::quoted(status_name(tick.status)),
                          ", draws_consumed=", tick.draws, ", active=", tick.active, ")"));
    });
}

PyObject* TickResult_reduce(PyObject* self) {
    const TickSummary& tick = payload_of<TickSummary>(self);
    return values_tuple(status_name(tick.status), tick.draws, tick.active);
}

PyObject* TickResult_rebuild(PyTypeObject* type, PyObject* values) {
    TickSummary tick;
    std::string status;
    if (!read_values("TickResult", values, status, tick.draws, tick.active)) return nullptr;
    constexpr MarketStatus STATUSES[] = {MarketStatus::pre_market, MarketStatus::open,
                                         MarketStatus::after_hours, MarketStatus::closed};
    const MarketStatus* found =
        std::find_if(std::begin(STATUSES), std::end(STATUSES),
                     [&](MarketStatus s) { return status_name(s) == status; });
    if (found == std::end(STATUSES)) {
        return raise_validation("a pickled TickResult names an unknown market status");
    }
    tick.status = *found;
    return create(type, tick);
}

PyGetSetDef TICK_RESULT_GETSET[] = {
    read_only("market_status", TickResult_get_market_status,
              "\"open\", \"pre_market\", \"after_hours\" or \"closed\"."),
    read_only<&TickSummary::draws>("draws_consumed",
                                   "Draws the tick took; zero when the market was closed."),
    read_only<&TickSummary::active>("active", "Instruments the tick moved."),
    {},
};

Class<TickSummary> TICK_RESULT_CLASS{
    "corvane._core.TickResult",
    {
        .doc = "What one tick did. Read-only.",
        .repr = TickResult_repr,
        .getset = TICK_RESULT_GETSET,
        .reduce = TickResult_reduce,
        .rebuild = TickResult_rebuild,
    },
};

// ---- Construction ----

constexpr Param NEW_PARAMS[] = {
    {"seed"}, {"universe"}, optional_param("macro_state"), optional_param("model")};
constexpr Signature NEW_SIGNATURE{"Engine", NEW_PARAMS, 0};

PyObject* Engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::uint32_t seed{};
        std::vector<InstrumentInit> universe;
        const Macro* macro = nullptr;
        PyObject* model_arg = Py_None;
        if (!parse_args(NEW_SIGNATURE, args, kwargs, seed, UniverseArg{universe},
                        optional_instance(MACRO, macro), model_arg)) {
            return nullptr;
        }
        // An empty universe is reported before the model is looked at.
        if (universe.empty()) {
            return raise_validation(
                "universe is empty - an engine with no instruments has nothing to simulate");
        }
        std::optional<ModelParams> model = resolve_model(model_arg);
        if (!model) return nullptr;
        std::optional<Macro> initial;
        if (macro) initial = *macro;
        auto simulation = Simulation::create(seed, universe, initial, *model);
        if (!unwrap(simulation)) return nullptr;
        return create(type, EngineObject{std::move(*simulation), {}});
    });
}

// ---- Driving ----

// open_market and close_market: no arguments, None back.
template <void (Simulation::*step)()>
PyObject* Engine_step(PyObject* self, PyObject*) {
    return with_engine(self, [](Simulation& simulation) {
        (simulation.*step)();
        return Py_NewRef(Py_None);
    });
}

constexpr Param TICK_PARAMS[] = {
    {"hour"},
    {"minute"},
    {"day_of_week"},
    optional_param("volatility", DEFAULT_CLOCK.volatility),
    optional_param("news"),
    optional_param("news_impacts"),
    optional_param("order_flow"),
};
constexpr Signature TICK_SIGNATURE{"tick", TICK_PARAMS, 3};

PyObject* Engine_tick(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        Clock clock;
        PyObject* news = Py_None;
        PyObject* impacts = Py_None;
        PyObject* flow = Py_None;
        if (!parse_args(TICK_SIGNATURE, args, nargs, kwnames, clock.hour, clock.minute,
                        clock.day_of_week, clock.volatility, news, impacts, flow)) {
            return nullptr;
        }
        std::optional<CallInputs> inputs = call_inputs(news, impacts, flow, "tick");
        if (!inputs) return nullptr;
        auto tick = simulation.tick(clock, *inputs);
        if (!unwrap(tick)) return nullptr;
        return TICK_RESULT_CLASS.create(state_of(self), *tick);
    });
}

// A time given in full, or not at all (the engine's clock then).
bool time_or_clock(const Simulation& simulation, const std::optional<std::int64_t>& hour,
                   const std::optional<std::int64_t>& minute,
                   const std::optional<std::int64_t>& day_of_week, Clock& clock) {
    if (!hour && !minute && !day_of_week) {
        clock = simulation.next_clock(clock.volatility);
        return true;
    }
    if (hour && minute && day_of_week) {
        clock.hour = *hour;
        clock.minute = *minute;
        clock.day_of_week = *day_of_week;
        return true;
    }
    raise_validation(
        "give hour, minute and day_of_week together, or none of them to continue from "
        "Engine.clock");
    return false;
}

constexpr Param SESSION_PARAMS[] = {
    optional_param("hour"),
    optional_param("minute"),
    optional_param("day_of_week"),
    optional_param("ticks"),
    optional_param("volatility", DEFAULT_CLOCK.volatility),
    optional_param("close_at_end", false),
    optional_param("news"),
    optional_param("news_impacts"),
    optional_param("order_flow"),
};
constexpr Signature SESSION_SIGNATURE{"run_session", SESSION_PARAMS, 4};

PyObject* Engine_run_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        Clock clock;
        std::optional<std::int64_t> hour, minute, day_of_week;
        std::optional<std::uint64_t> ticks;
        bool close_at_end{};
        PyObject* news = Py_None;
        PyObject* impacts = Py_None;
        PyObject* flow = Py_None;
        if (!parse_args(SESSION_SIGNATURE, args, nargs, kwnames, hour, minute, day_of_week, ticks,
                        clock.volatility, close_at_end, news, impacts, flow)) {
            return nullptr;
        }
        if (!ticks) {
            return raise_validation(
                "run_session() needs ticks: run_session(ticks=N) runs N minutes from "
                "Engine.clock, run_session(hour, minute, day_of_week, N) from the time given");
        }
        if (!time_or_clock(simulation, hour, minute, day_of_week, clock)) return nullptr;
        std::optional<CallInputs> inputs = call_inputs(news, impacts, flow, "run_session");
        if (!inputs) return nullptr;
        std::optional<Result<RunOutcome>> ran;
        {
            // Nothing inside touches an interpreter object; between slices
            // the lock comes back for a moment to look for Ctrl-C.
            ReleasedInterpreter released;
            ran.emplace(simulation.run_session(clock, *ticks, close_at_end, *inputs, [&released] {
                return released.no_signal_raised();
            }));
        }
        if (!unwrap(*ran)) return nullptr;
        if ((*ran)->interrupted) return interrupted();
        return to_python((*ran)->ticks);
    });
}

constexpr Param DAYS_PARAMS[] = {
    {"days"},
    optional_param("hour", DEFAULT_CLOCK.hour),
    optional_param("minute", DEFAULT_CLOCK.minute),
    optional_param("day_of_week", DEFAULT_CLOCK.day_of_week),
    optional_param("ticks_per_day", 390),
    optional_param("volatility", DEFAULT_CLOCK.volatility),
    optional_param("record", true),
    optional_param("first_day", 0),
};
constexpr Signature DAYS_SIGNATURE{"run_days", DAYS_PARAMS, 1};

PyObject* Engine_run_days(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::uint64_t days = 0;
        Clock clock;
        std::uint64_t ticks_per_day{};
        bool record{};
        std::uint32_t first_day{};
        if (!parse_args(DAYS_SIGNATURE, args, nargs, kwnames, days, clock.hour, clock.minute,
                        clock.day_of_week, ticks_per_day, clock.volatility, record, first_day)) {
            return nullptr;
        }
        std::optional<Result<RunOutcome>> ran;
        {
            ReleasedInterpreter released;
            ran.emplace(simulation.run_days(days, clock, ticks_per_day, record, first_day,
                                            [&released] { return released.no_signal_raised(); }));
        }
        if (!unwrap(*ran)) return nullptr;
        if ((*ran)->interrupted) return interrupted();
        return to_python(days);
    });
}

constexpr Param UNTIL_PARAMS[] = {
    {"ticker"},
    optional_param("above"),
    optional_param("below"),
    optional_param("max_ticks", 390),
    optional_param("hour"),
    optional_param("minute"),
    optional_param("day_of_week"),
    optional_param("volatility", DEFAULT_CLOCK.volatility),
};
constexpr Signature UNTIL_SIGNATURE{"run_until", UNTIL_PARAMS, 0};

PyObject* Engine_run_until(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::string_view ticker;
        std::optional<double> above;
        std::optional<double> below;
        std::uint64_t max_ticks{};
        Clock clock;
        std::optional<std::int64_t> hour, minute, day_of_week;
        if (!parse_args(UNTIL_SIGNATURE, args, nargs, kwnames, ticker, above, below, max_ticks,
                        hour, minute, day_of_week, clock.volatility)) {
            return nullptr;
        }
        // No time: carry on from the clock. A time given in part keeps the
        // defaults this call has always had for the rest.
        if (!hour && !minute && !day_of_week) {
            clock = simulation.next_clock(clock.volatility);
        } else {
            clock.hour = hour.value_or(9);
            clock.minute = minute.value_or(30);
            clock.day_of_week = day_of_week.value_or(3);
        }
        // Keeps the lock: a band watch is usually short, and the caller
        // reads the price right after.
        auto ran = simulation.run_until(ticker, above, below, max_ticks, clock, no_signal);
        if (!unwrap(ran)) return nullptr;
        if (ran->interrupted) return interrupted();
        return to_python(ran->fired_at);
    });
}

// ---- Roster ----

constexpr Param LIST_PARAMS[] = {{"instrument"}};
constexpr Signature LIST_SIGNATURE{"list_instrument", LIST_PARAMS, 1};

PyObject* Engine_list_instrument(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        const InstrumentInit* instrument = nullptr;
        if (!parse_args(LIST_SIGNATURE, args, nargs, kwnames, instance(INSTRUMENT, instrument))) {
            return nullptr;
        }
        return to_python(simulation.list_instrument(*instrument));
    });
}

constexpr Param DELIST_PARAMS[] = {{"index"}};
constexpr Signature DELIST_SIGNATURE{"delist", DELIST_PARAMS, 1};

PyObject* Engine_delist(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::uint64_t index = 0;
        if (!parse_args(DELIST_SIGNATURE, args, nargs, kwnames, index)) return nullptr;
        auto removed = simulation.delist(index);
        if (!unwrap(removed)) return nullptr;
        return to_python(*removed);
    });
}

constexpr Param INDEX_OF_PARAMS[] = {{"ticker"}};
constexpr Signature INDEX_OF_SIGNATURE{"index_of", INDEX_OF_PARAMS, 1};

PyObject* Engine_index_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::string_view ticker;
        if (!parse_args(INDEX_OF_SIGNATURE, args, nargs, kwnames, ticker)) return nullptr;
        return to_python(simulation.index_of(ticker));
    });
}

// ---- Draws and the economy ----

PyObject* Engine_draws_by_stream(PyObject* self, PyObject*) {
    return with_engine(self, [](Simulation& simulation) -> PyObject* {
        const DrawCounters& draws = simulation.engine().draws();
        Ref dict = Ref::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "market", draws.market) ||
            !set_item(dict.get(), "economy", draws.economy) ||
            !set_item(dict.get(), "external", draws.external)) {
            return nullptr;
        }
        return dict.release();
    });
}

PyObject* Engine_draw_uniform(PyObject* self, PyObject*) {
    return with_engine(self,
                       [](Simulation& simulation) { return to_python(simulation.draw_uniform()); });
}

PyObject* Engine_draw_normal(PyObject* self, PyObject*) {
    return with_engine(self,
                       [](Simulation& simulation) { return to_python(simulation.draw_normal()); });
}

constexpr Signature PIN_SIGNATURE{"pin_macro", MACRO_FIELD_PARAMS, 0};

PyObject* Engine_pin_macro(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        MacroPinArgs pin;
        if (!parse_args(PIN_SIGNATURE, args, nargs, kwnames, pin.vix, pin.federal_funds_rate,
                        pin.corporate_bond_yield, pin.inflation_rate, pin.qe_pe_boost,
                        pin.fear_greed_index, pin.cycle)) {
            return nullptr;
        }
        if (!unwrap(simulation.pin_macro(pin))) return nullptr;
        return Py_NewRef(Py_None);
    });
}

// ---- Recording and columns ----

constexpr Param RECORD_PARAMS[] = {{"day"}};
constexpr Signature RECORD_SIGNATURE{"record", RECORD_PARAMS, 1};

PyObject* Engine_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::uint32_t day{};
        if (!parse_args(RECORD_SIGNATURE, args, nargs, kwnames, day)) return nullptr;
        // Warned before recording: where warnings are errors, nothing is kept.
        if (simulation.day_ticks() == 0 && simulation.loose_ticks() > 0) {
            std::string warning = text::message(
                "record(", day, ") keeps a day with no ticks: the ", simulation.loose_ticks(),
                " ticks run since the open were run by tick(), which never writes the day's "
                "tables; run them with run_session or run_until to record them");
            if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) < 0) return nullptr;
        }
        simulation.record(day);
        return Py_NewRef(Py_None);
    });
}

constexpr Param AS_NUMPY_PARAMS[] = {optional_param("as_numpy", false)};
constexpr Signature PRICES_SIGNATURE{"prices", AS_NUMPY_PARAMS, 0};

PyObject* Engine_prices(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return reading_engine(self, [&](const Simulation& simulation) -> PyObject* {
        bool as_numpy{};
        if (!parse_args(PRICES_SIGNATURE, args, nargs, kwnames, as_numpy)) return nullptr;
        return f64_result(f64_bytes(simulation.engine().column(PriceField::price)), as_numpy);
    });
}

constexpr Param COLUMN_PARAMS[] = {{"field"}, optional_param("as_numpy", false)};
constexpr Signature COLUMN_SIGNATURE{"column", COLUMN_PARAMS, 1};

PyObject* Engine_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return reading_engine(self, [&](const Simulation& simulation) -> PyObject* {
        std::string_view name;
        bool as_numpy{};
        if (!parse_args(COLUMN_SIGNATURE, args, nargs, kwnames, name, as_numpy)) return nullptr;
        auto field = field_from_name(name);
        if (!unwrap(field)) return nullptr;
        return f64_result(f64_bytes(simulation.engine().column(*field)), as_numpy);
    });
}

PyObject* Engine_clear_recording(PyObject* self, PyObject*) {
    return with_engine(self, [](Simulation& simulation) {
        simulation.clear_recording();
        return Py_NewRef(Py_None);
    });
}

constexpr Param BARS_PARAMS[] = {optional_param("day", 0), optional_param("minutes"),
                                 optional_param("grain")};
constexpr Signature BARS_SIGNATURE{"bars", BARS_PARAMS, 0};

PyObject* Engine_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::uint32_t day{};
        std::optional<std::uint64_t> minutes;
        std::optional<std::string_view> grain;
        if (!parse_args(BARS_SIGNATURE, args, nargs, kwnames, day, minutes, grain)) {
            return nullptr;
        }
        return bars_table(state_of(self), simulation, day, minutes, grain);
    });
}

constexpr Param TRUTH_PARAMS[] = {optional_param("day", 0)};
constexpr Signature TRUTH_SIGNATURE{"truth", TRUTH_PARAMS, 0};

PyObject* Engine_truth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::uint32_t day{};
        if (!parse_args(TRUTH_SIGNATURE, args, nargs, kwnames, day)) return nullptr;
        return truth_table(state_of(self), simulation, day);
    });
}

PyObject* Engine_macro_table(PyObject* self, PyObject*) {
    return with_engine(
        self, [self](Simulation& simulation) { return macro_table(state_of(self), simulation); });
}

PyObject* Engine_book_table(PyObject* self, PyObject*) {
    return with_engine(
        self, [self](Simulation& simulation) { return book_table(state_of(self), simulation); });
}

constexpr Param SNAPSHOT_BOOK_PARAMS[] = {optional_param("day", 0), optional_param("tick", 0),
                                          optional_param("levels", 10)};
constexpr Signature SNAPSHOT_BOOK_SIGNATURE{"snapshot_book", SNAPSHOT_BOOK_PARAMS, 0};

PyObject* Engine_snapshot_book(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::uint32_t day{};
        std::uint32_t tick{};
        std::uint64_t levels{};
        if (!parse_args(SNAPSHOT_BOOK_SIGNATURE, args, nargs, kwnames, day, tick, levels)) {
            return nullptr;
        }
        auto rows = simulation.snapshot_book(day, tick, levels);
        if (!unwrap(rows)) return nullptr;
        return to_python(*rows);
    });
}

constexpr Param BOOK_PARAMS[] = {{"ticker"}};
constexpr Signature BOOK_SIGNATURE{"book", BOOK_PARAMS, 1};

PyObject* Engine_book(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        std::string_view ticker;
        if (!parse_args(BOOK_SIGNATURE, args, nargs, kwnames, ticker)) return nullptr;
        std::optional<std::size_t> index = simulation.index_of(ticker);
        if (!index) {
            return raise_validation(text::message("no instrument with ticker ",
                                                  text::quoted(ticker), " in this universe"));
        }
        std::optional<OrderBook> book = simulation.engine().book_for(*index);
        if (!book) return raise_validation(text::message("no instrument at index ", *index));
        return ORDER_BOOK.create(state_of(self), std::move(*book));
    });
}

// The roster now as the Instruments that make it: those the engine was
// built from, edited by the logged listings and delistings.
std::vector<InstrumentInit> roster_instruments(const Simulation& simulation) {
    std::vector<InstrumentInit> roster = simulation.universe();
    for (const LogEntry& entry : simulation.log()) {
        if (const auto* listed = std::get_if<log_entry::ListInstrument>(&entry)) {
            roster.push_back(listed->instrument);
        } else if (const auto* removed = std::get_if<log_entry::Delist>(&entry)) {
            if (removed->index < roster.size()) {
                roster.erase(roster.begin() + static_cast<std::ptrdiff_t>(removed->index));
            }
        }
    }
    return roster;
}

PyObject* Engine_universe_table(PyObject* self, PyObject*) {
    return with_engine(self, [self](Simulation& simulation) -> PyObject* {
        std::vector<InstrumentInit> roster = roster_instruments(simulation);
        const std::size_t n = roster.size();
        std::vector<std::uint32_t> ids(n);
        std::vector<std::string> sectors(n);
        std::vector<double> shares(n), initial(n);
        for (std::size_t i = 0; i < n; ++i) {
            ids[i] = static_cast<std::uint32_t>(i);
            sectors[i] = roster[i].sector;
            shares[i] = roster[i].shares_outstanding;
            initial[i] = roster[i].initial_price;
        }
        std::vector<RecordBatch> batches(1);
        batches[0].columns = {
            ColumnBuffer::u32(std::move(ids)),
            ColumnBuffer::utf8(simulation.tickers()),
            ColumnBuffer::utf8(sectors),
            ColumnBuffer::f64(std::move(shares)),
            ColumnBuffer::f64(std::move(initial)),
            ColumnBuffer::u8(std::vector<std::uint8_t>(n, 1)),
        };
        return new_arrow_stream(state_of(self), TableKind::universe, std::move(batches));
    });
}

// ---- Books of every instrument at once ----
//
// tests/python/test_env.py holds these to book(ticker).

constexpr Signature QUOTES_SIGNATURE{"quotes", AS_NUMPY_PARAMS, 0};

PyObject* Engine_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return reading_engine(self, [&](const Simulation& simulation) -> PyObject* {
        bool as_numpy{};
        if (!parse_args(QUOTES_SIGNATURE, args, nargs, kwnames, as_numpy)) return nullptr;
        const Engine& engine = simulation.engine();
        const std::size_t n = engine.size();
        std::vector<double> out(4 * n);
        quotes_into(engine, out);
        // Laid out field by field; an array shows it instrument by instrument.
        const auto width = static_cast<Py_ssize_t>(n);
        return f64_result(f64_bytes(out), as_numpy, 4, width, true);
    });
}

constexpr Param SWEEP_COSTS_PARAMS[] = {{"quantities"}, optional_param("as_numpy", false)};
constexpr Signature SWEEP_COSTS_SIGNATURE{"sweep_costs", SWEEP_COSTS_PARAMS, 1};

PyObject* Engine_sweep_costs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return reading_engine(self, [&](const Simulation& simulation) -> PyObject* {
        PyObject* given = nullptr;
        bool as_numpy{};
        if (!parse_args(SWEEP_COSTS_SIGNATURE, args, nargs, kwnames, given, as_numpy)) {
            return nullptr;
        }
        const Engine& engine = simulation.engine();
        const std::size_t n = engine.size();
        Ref items = sequence_items(given, "sweep_costs", "quantities", "a sequence of floats",
                                   Accepts::iterable);
        if (!items) return nullptr;
        const Py_ssize_t size = PyTuple_Size(items.get());
        if (static_cast<std::size_t>(size) != n) {
            return raise_validation(text::message("sweep_costs() expected ", n,
                                                  " quantities, one per instrument, got ", size));
        }
        std::vector<double> quantities(n);
        if (!for_each_item(items, [&](std::size_t i, PyObject* item) {
                return from_python(item, "sweep_costs", "quantities", quantities[i]);
            })) {
            return nullptr;
        }
        std::vector<double> out(3 * n);
        sweep_costs_into(engine, quantities, out);
        return f64_result(f64_bytes(out), as_numpy, 3, static_cast<Py_ssize_t>(n), true);
    });
}

constexpr Param ATTRIBUTION_PARAMS[] = {{"factor"}, optional_param("as_numpy", false)};
constexpr Signature ATTRIBUTION_SIGNATURE{"attribution", ATTRIBUTION_PARAMS, 1};

PyObject* Engine_attribution(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return reading_engine(self, [&](const Simulation& simulation) -> PyObject* {
        std::string_view name;
        bool as_numpy{};
        if (!parse_args(ATTRIBUTION_SIGNATURE, args, nargs, kwnames, name, as_numpy)) {
            return nullptr;
        }
        auto slot = factor_from_name(name);
        if (!unwrap(slot)) return nullptr;
        std::vector<double> values;
        for (const AttributionRow& row : simulation.engine().attribution()) {
            values.push_back(row[*slot]);
        }
        return f64_result(f64_bytes(values), as_numpy);
    });
}

// The last session's matrix, cut to the ticks it wrote: past them lies an
// older session.
constexpr Signature SESSION_PRICES_SIGNATURE{"session_prices", AS_NUMPY_PARAMS, 0};
constexpr Signature SESSION_VOLUMES_SIGNATURE{"session_volumes", AS_NUMPY_PARAMS, 0};
constexpr Signature SESSION_MISPRICING_SIGNATURE{"session_mispricing_s", AS_NUMPY_PARAMS, 0};

template <auto Matrix, const Signature& SIGNATURE>
PyObject* Engine_session_matrix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        bool as_numpy{};
        if (!parse_args(SIGNATURE, args, nargs, kwnames, as_numpy)) return nullptr;
        const SessionBuffer& session = simulation.session();
        const std::vector<double>& values = session.*Matrix;
        std::size_t cells = static_cast<std::size_t>(session.ticks_written) * session.instruments;
        cells = std::min(cells, values.size());
        const std::size_t width = session.instruments == 0 ? 1 : session.instruments;
        return f64_result(f64_bytes(std::span<const double>(values).first(cells)), as_numpy,
                          static_cast<Py_ssize_t>(cells / width), static_cast<Py_ssize_t>(width));
    });
}

// ---- Saving and restoring ----

PyObject* Engine_state_snapshot(PyObject* self, PyObject*) {
    return with_engine(self, [](Simulation& simulation) { return state_dict(simulation.state()); });
}

PyObject* Engine_state_digest(PyObject* self, PyObject*) {
    return with_engine(
        self, [](Simulation& simulation) { return to_python(state_digest(simulation.state())); });
}

PyObject* Engine_table_digests(PyObject* self, PyObject*) {
    return with_engine(self, [](Simulation& simulation) {
        TableDigests digests;
        {
            // A long recording takes a while to hash; it holds no Python object.
            ReleasedInterpreter released;
            digests = table_digests(simulation);
        }
        return DictBuilder()
            .add("bars", digests.bars)
            .add("truth", digests.truth)
            .add("macro", digests.macro)
            .add("book", digests.book)
            .finish();
    });
}

constexpr Param RESTORE_PARAMS[] = {{"snapshot"}};
constexpr Signature RESTORE_SIGNATURE{"restore_state", RESTORE_PARAMS, 1};

PyObject* Engine_restore_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return with_engine(self, [&](Simulation& simulation) -> PyObject* {
        PyObject* snapshot = nullptr;
        if (!parse_args(RESTORE_SIGNATURE, args, nargs, kwnames, snapshot)) return nullptr;
        std::optional<StatePatch> patch = state_patch(snapshot, simulation);
        if (!patch) return nullptr;
        simulation.restore(std::move(*patch));
        return Py_NewRef(Py_None);
    });
}

// ---- Forks ----

PyObject* Engine_fork(PyObject* self, PyObject*) {
    return reading_engine(self, [self](const Simulation& simulation) {
        return create(Py_TYPE(self), EngineObject{simulation.fork(), {}});
    });
}

// copy.deepcopy's memo has nothing to add: a fork shares nothing mutable.
PyObject* Engine_deepcopy(PyObject* self, PyObject*) { return Engine_fork(self, nullptr); }

PyObject* Engine_restored_states(PyObject* self, PyObject*) {
    return with_engine(self, [](Simulation& simulation) {
        return list_of(simulation.restored_states(),
                       [](const EngineState& state) { return state_dict(state); });
    });
}

// ---- Reads ----

Py_ssize_t Engine_length(PyObject* self) {
    Borrow borrow(self, false);
    if (!borrow) return -1;
    return static_cast<Py_ssize_t>(borrow.simulation().engine().size());
}

PyObject* Engine_repr(PyObject* self) {
    return guarded([self] {
        const EngineObject& object = payload_of<EngineObject>(self);
        // Never raises: a busy engine is not read at all.
        if (object.flag.busy) return to_python("Engine(busy)");
        const Engine& engine = object.simulation.engine();
        return to_python(text::message("Engine(", engine.size(),
                                       " instruments, draws=", engine.draws().total(), ")"));
    });
}

// A read-only property computed from the simulation while holding it.
template <auto Read>
PyObject* property(PyObject* self, void*) {
    return reading_engine(self,
                          [self](const Simulation& simulation) { return Read(self, simulation); });
}

PyObject* read_tickers(PyObject*, const Simulation& simulation) {
    return list_of(simulation.tickers());
}
PyObject* read_model(PyObject* self, const Simulation& simulation) {
    return MODEL_PARAMS.create(state_of(self), simulation.engine().model());
}
PyObject* read_model_params(PyObject*, const Simulation& simulation) {
    return model_dict(simulation.engine().model());
}
PyObject* read_fingerprint(PyObject*, const Simulation& simulation) {
    return to_python(simulation.engine().model().fingerprint());
}
PyObject* read_draws(PyObject*, const Simulation& simulation) {
    return to_python(simulation.engine().draws().total());
}
PyObject* read_macro_state(PyObject* self, const Simulation& simulation) {
    return MACRO.create(state_of(self), macro_from(simulation.engine().economy()));
}
PyObject* read_initial_macro(PyObject* self, const Simulation& simulation) {
    return MACRO.create(state_of(self), simulation.initial_macro().value_or(Macro{}));
}
PyObject* read_seed(PyObject*, const Simulation& simulation) {
    return to_python(simulation.seed());
}
PyObject* read_universe(PyObject* self, const Simulation& simulation) {
    const ModuleState& state = state_of(self);
    return list_of(simulation.universe(), [&state](const InstrumentInit& instrument) {
        return INSTRUMENT.create(state, instrument);
    });
}
PyObject* read_recorded_days(PyObject*, const Simulation& simulation) {
    return to_python(simulation.recorded_days().size());
}
PyObject* read_book_rows(PyObject*, const Simulation& simulation) {
    return to_python(simulation.book_rows().size());
}
PyObject* read_ticks_written(PyObject*, const Simulation& simulation) {
    return to_python(simulation.session().ticks_written);
}
PyObject* read_recorded_bytes(PyObject*, const Simulation& simulation) {
    return to_python(simulation.recorded_bytes());
}
PyObject* read_order_log(PyObject*, const Simulation& simulation) {
    return order_log_list(simulation.log());
}
PyObject* read_clock(PyObject*, const Simulation& simulation) {
    const std::optional<TimeOfDay>& clock = simulation.clock();
    if (!clock) return Py_NewRef(Py_None);
    return values_tuple(clock->hour, clock->minute, clock->day_of_week);
}

PyGetSetDef GETSET[] = {
    read_only("tickers", property<read_tickers>,
              "The roster's tickers in roster order (a new list): every column follows it."),
    read_only("model", property<read_model>, "The model, as a ModelParams."),
    read_only("model_params", property<read_model_params>,
              "The model's coefficient dictionary (ModelParams.to_dict())."),
    read_only("model_fingerprint", property<read_fingerprint>,
              "The shipped preset's name, or \"custom-\" and eight hex digits."),
    read_only("draws_consumed", property<read_draws>,
              "Draws taken so far: market + economy + external."),
    read_only("macro_state", property<read_macro_state>,
              "The economy now, as a Macro (rates fractional)."),
    read_only("initial_macro_state", property<read_initial_macro>,
              "The Macro the engine was built from."),
    read_only("seed", property<read_seed>, "The seed the engine was built from."),
    read_only("universe", property<read_universe>,
              "The Instruments the engine was built from (a new list), before any listing or "
              "delisting."),
    read_only("recorded_days", property<read_recorded_days>, "Days kept by record()."),
    read_only("recorded_book_rows", property<read_book_rows>, "Book depth rows recorded."),
    read_only("recorded_bytes", property<read_recorded_bytes>,
              "Bytes the recordings (days, macro rows, book rows) hold."),
    read_only("session_ticks_written", property<read_ticks_written>,
              "Ticks written by the last session run."),
    read_only("order_log", property<read_order_log>,
              "Every input so far, in order: a new list of dicts, each with \"op\" first."),
    read_only("clock", property<read_clock>,
              "(hour, minute, day_of_week) of the open day's next tick, or None while no day is "
              "open. A day opens at (9, 30, 3); tick, run_session and run_until move it past the "
              "ticks they ran (past 16:00 too: a session runs on into after-hours). "
              "run_session(ticks=N) and run_until(...) given no time start here."),
    {},
};

// An engine is a running process, not a value: what carries it elsewhere
// is its state or its history.
PyObject* Engine_reduce(PyObject* self, PyObject*) {
    return refuse_pickling(self,
                           "save its state with state_snapshot() and restore_state(), or its "
                           "whole run with corvane.manifest() and corvane.replay()");
}

PyMethodDef METHODS[] = {
    noargs_method("__reduce__", Engine_reduce, "Refuses: an Engine does not pickle."),
    noargs_method("open_market", Engine_step<&Simulation::open_market>,
                  "open_market($self)\n--\n\nOpen a new day: daily resets, the day's endogenous "
                  "news, empty day buffers. Logged."),
    keywords_method(
        "tick", Engine_tick,
        signature_doc(
            TICK_SIGNATURE, "$self",
            "One game-minute: the light step. Never opens a day, and its output is not kept in the "
            "day's tables (bars, truth, session_*): record() after a day of tick() calls keeps an "
            "empty day, and warns. A tick outside market hours draws nothing. Moves Engine.clock "
            "past the time given when a day is open. news, news_impacts and order_flow as for "
            "run_session. Returns a TickResult.")),
    keywords_method(
        "run_session", Engine_run_session,
        signature_doc(
            SESSION_SIGNATURE, "$self",
            "`ticks` consecutive minutes, inputs applied to every tick, opening the day first when "
            "none is open. From the time given (all three of hour, minute, day_of_week), or, given "
            "none, from Engine.clock: run_session(ticks=60) carries on where the day stands. "
            "ticks is always required.\n\n"
            "news: News items, each moving its instruments' mispricing by price_impact / 390 on "
            "every tick (a daily drift spread over the day's minutes). order_flow: {ticker: (buy, "
            "sell)} shares on every tick, adding 0.35 * 50 * imbalance * intensity / depth / 390 "
            "to s (kx-v14's informed_flow_fraction and order_flow_coefficient): imbalance = (buy - "
            "sell) / (buy + sell), intensity = 0.15 * (buy + sell) / (avg_volume / 390) held to "
            "0.2..1.5 (capped from ten average ticks' volume up: 2e4 and 1e9 shares push "
            "alike), depth = max(avg_volume, 0.005 * shares_outstanding) / 390. The shares are "
            "not traded and not counted in the tick's volume. See News and NewsImpact.\n\n"
            "Runs without the interpreter lock; Ctrl-C stops it and what ran stays run. Returns "
            "the "
            "ticks written.")),
    keywords_method(
        "run_days", Engine_run_days,
        signature_doc(
            DAYS_SIGNATURE, "$self",
            "Whole days: open, one session, record(first_day + d) when `record`, close. Ctrl-C "
            "stops it; completed days stay. Returns `days`.")),
    keywords_method(
        "run_until", Engine_run_until,
        signature_doc(
            UNTIL_SIGNATURE, "$self",
            "Tick until `ticker`'s price is strictly above `above` or strictly below `below`, at "
            "most max_ticks, opening the day first when none is open. Given no time it starts at "
            "Engine.clock (9:30 on day 3 in a day just opened); a time given in part takes 9, 30 "
            "and 3 for the rest. Memory grows with the ticks that run, so a huge max_ticks costs "
            "nothing up front; Ctrl-C stops it and what ran stays run. Returns the tick (within "
            "this call) it fired on, or None.")),
    noargs_method("close_market", Engine_step<&Simulation::close_market>,
                  "close_market($self)\n--\n\nClose the day: variances, the daily roll, jumps, "
                  "then the daily macro step. Logged."),
    keywords_method("list_instrument", Engine_list_instrument,
                    signature_doc(LIST_SIGNATURE, "$self",
                                  "Add an Instrument at the end of "
                                  "the roster; returns its index. Draws nothing. Logged.")),
    keywords_method("delist", Engine_delist,
                    signature_doc(DELIST_SIGNATURE, "$self",
                                  "Remove the instrument at `index`; the rest "
                                  "shift down. Returns its ticker. Logged.")),
    keywords_method("index_of", Engine_index_of,
                    signature_doc(INDEX_OF_SIGNATURE, "$self",
                                  "The first roster position holding "
                                  "`ticker`, or None.")),
    noargs_method("draws_by_stream", Engine_draws_by_stream,
                  "draws_by_stream($self)\n--\n\n{\"market\": n, \"economy\": n, "
                  "\"external\": n}: the counted draws of each stream."),
    noargs_method("draw_uniform", Engine_draw_uniform,
                  "draw_uniform($self)\n--\n\nA uniform in [0, 1) from the engine's external "
                  "stream, for the caller's own randomness. Logged."),
    noargs_method("draw_normal", Engine_draw_normal,
                  "draw_normal($self)\n--\n\nA standard normal from the external stream. "
                  "Logged."),
    keywords_method("pin_macro", Engine_pin_macro,
                    signature_doc(PIN_SIGNATURE, "$self",
                                  "Overwrite the given economy series (rates fractional); the "
                                  "next close evolves them from there. Logged, even with nothing "
                                  "given.")),
    keywords_method(
        "record", Engine_record,
        signature_doc(RECORD_SIGNATURE, "$self",
                      "Keep the day so far (its run_session and "
                      "run_until ticks), labelled `day`, with the economy it traded under. Warns "
                      "(RuntimeWarning) when the day's ticks were all run by tick(), which the "
                      "day's tables never hold. Logged.")),
    keywords_method(
        "prices", Engine_prices,
        signature_doc(PRICES_SIGNATURE, "$self",
                      "Every price in roster order, as "
                      "little-endian float64 bytes (numpy.frombuffer(b, dtype=\"<f8\")); "
                      "as_numpy=True gives that read-only array, over the same bytes.")),
    noargs_method("clear_recording", Engine_clear_recording,
                  "clear_recording($self)\n--\n\nDrop the recorded days, macro rows and book "
                  "rows, freeing their memory. Logged; works when memory is short."),
    keywords_method(
        "bars", Engine_bars,
        signature_doc(BARS_SIGNATURE, "$self",
                      "The recorded days "
                      "as bars, one record batch a day: every tick (grain=\"tick\", the "
                      "default), OHLCV bars of `minutes` ticks, or one bar a day (grain=\"day\"). "
                      "A bar's volume is what traded within it, counted from the running total "
                      "at each session's start: volume traded by tick() calls between sessions "
                      "is in no bar. With nothing recorded, the last session, labelled `day`.")),
    keywords_method(
        "truth", Engine_truth,
        signature_doc(TRUTH_SIGNATURE, "$self",
                      "What moved every price, tick by tick: "
                      "mispricing, fair value, anchor and the nine drivers. Summed over a day's "
                      "ticks, a driver's column is the attribution() read after that day's close, "
                      "for every driver but jump: a close's jump shows in the jump column on the "
                      "first tick of the next session.")),
    noargs_method("macro_table", Engine_macro_table,
                  "macro_table($self)\n--\n\nThe economy each recorded day traded under, a "
                  "row a day, rates fractional."),
    keywords_method(
        "snapshot_book", Engine_snapshot_book,
        signature_doc(SNAPSHOT_BOOK_SIGNATURE, "$self",
                      "Record every "
                      "instrument's live book, at most `levels` levels a side; returns the rows "
                      "added. Logged.")),
    noargs_method("universe_table", Engine_universe_table,
                  "universe_table($self)\n--\n\nThe roster as an ArrowStream named "
                  "\"universe\", a row per instrument in roster order: instrument_id (its "
                  "position, the instrument_id of bars, truth and book rows), ticker, sector, "
                  "shares_outstanding, initial_price and listed. A delisted instrument leaves the "
                  "roster and so this table, and the rest move down: listed is 1 on every row, "
                  "and ids join with tables recorded since the last list_instrument or delist."),
    noargs_method("book_table", Engine_book_table,
                  "book_table($self)\n--\n\nEvery recorded book row, as one record batch."),
    keywords_method(
        "book", Engine_book,
        signature_doc(BOOK_SIGNATURE, "$self",
                      "The instrument's live book as a detached "
                      "OrderBook: trading against it prices a fill without moving the market.")),
    keywords_method(
        "quotes", Engine_quotes,
        signature_doc(QUOTES_SIGNATURE, "$self",
                      "Every instrument's top of book, as "
                      "little-endian float64 bytes laid out 4 x instruments: best bid, best ask, "
                      "bid size, ask size. An empty side reads NaN with size 0. as_numpy=True: a "
                      "read-only array over those bytes, shaped instruments x 4.")),
    keywords_method(
        "sweep_costs", Engine_sweep_costs,
        signature_doc(
            SWEEP_COSTS_SIGNATURE, "$self",
            "Prices a market order per "
            "instrument against its live book without moving the market: quantities in "
            "roster order, positive to buy, negative to sell, 0 for none. Returns "
            "little-endian float64 bytes shaped 3 x instruments: the signed quantity "
            "filled, the average and the worst price (NaN where nothing filled). "
            "as_numpy=True: a read-only array over those bytes, shaped instruments x 3.")),
    keywords_method(
        "attribution", Engine_attribution,
        signature_doc(ATTRIBUTION_SIGNATURE, "$self",
                      "Today's change of the "
                      "mispricing due to one driver, per instrument, as little-endian float64 "
                      "bytes, or (as_numpy=True) a read-only array over them. Read after the "
                      "close, it is the day's truth() column summed over its ticks for every "
                      "driver but jump, which holds the close's jumps; truth() shows those on the "
                      "first tick of the next session.")),
    keywords_method(
        "session_prices", Engine_session_matrix<&SessionBuffer::price, SESSION_PRICES_SIGNATURE>,
        signature_doc(SESSION_PRICES_SIGNATURE, "$self",
                      "The last session's "
                      "prices, ticks x instruments row-major, as little-endian float64 bytes; "
                      "as_numpy=True: a read-only array over them, shaped ticks x instruments.")),
    keywords_method(
        "session_volumes", Engine_session_matrix<&SessionBuffer::volume, SESSION_VOLUMES_SIGNATURE>,
        signature_doc(SESSION_VOLUMES_SIGNATURE, "$self",
                      "The day's running total "
                      "of volume after each tick of the last session (not the volume traded in the "
                      "tick; bars() has that), shaped as session_prices().")),
    keywords_method(
        "session_mispricing_s",
        Engine_session_matrix<&SessionBuffer::mispricing_s, SESSION_MISPRICING_SIGNATURE>,
        signature_doc(SESSION_MISPRICING_SIGNATURE, "$self",
                      "The last session's "
                      "mispricing, shaped as session_prices(); NaN where there is none yet.")),
    noargs_method("state_snapshot", Engine_state_snapshot,
                  "state_snapshot($self)\n--\n\nThe market's complete state as a plain dict: "
                  "restored into an engine built from the same seed, universe and model, it "
                  "continues bit for bit. Holds no fundamentals and no history (see order_log)."),
    keywords_method(
        "restore_state", Engine_restore_state,
        signature_doc(RESTORE_SIGNATURE, "$self",
                      "Put the engine back to a saved "
                      "state. The whole dict is checked first: a refused restore changes nothing. "
                      "Values the engine never writes are refused naming their key (non-finite "
                      "numbers, prices above the model's reach, stories naming unknown companies "
                      "or sectors, volume states not one per instrument, draw counters from "
                      "2**63). Logged with the digest of the state it leads to.")),
    noargs_method("restored_states", Engine_restored_states,
                  "restored_states($self)\n--\n\nThe state each restore_state led to, in log "
                  "order, as state_snapshot() dicts: what a replay of the order log restores "
                  "again."),
    noargs_method("fork", Engine_fork,
                  "fork($self)\n--\n\nAn independent Engine in exactly this state: market, "
                  "draws, order log, day buffers and recordings (what is written once is shared, "
                  "so a fork costs about a state_snapshot()). Driven alike, the two stay equal "
                  "bit for bit; driven differently, they differ only from the first differing "
                  "input. The fork's order log ends in a \"fork\" entry saying where the "
                  "tables stood."),
    noargs_method("__copy__", Engine_fork, "__copy__($self)\n--\n\nfork()."),
    {"__deepcopy__", Engine_deepcopy, METH_O, "__deepcopy__($self, memo, /)\n--\n\nfork()."},
    noargs_method("state_digest", Engine_state_digest,
                  "state_digest($self)\n--\n\nThe SHA-256, in hex, of everything "
                  "state_snapshot() holds: equal digests, equal markets."),
    noargs_method("table_digests", Engine_table_digests,
                  "table_digests($self)\n--\n\nThe SHA-256, in hex, of each recording a "
                  "table is read from, as a dict: \"bars\" (every recorded day's label, tick "
                  "and instrument counts, prices and volumes, and its sessions: ticks, instruments "
                  "and the volume each started from), \"truth\" (the same header and "
                  "the mispricing, fair value, anchor and nine factor columns), \"macro\" "
                  "(every macro row) and \"book\" (every book row). Each is taken over a "
                  "little-endian byte form with every sequence behind its length; equal "
                  "digests, equal tables. Nothing recorded hashes the empty recording."),
    keywords_method(
        "column", Engine_column,
        signature_doc(COLUMN_SIGNATURE, "$self",
                      "One per-instrument column, "
                      "in roster order, as little-endian float64 bytes (as_numpy=True: a "
                      "read-only array over them); an absent value reads NaN.")),
    {},
};

// Engine.FACTORS: the nine driver names, in attribution order.
int prepare_engine(PyObject* type) {
    return set_class_attribute(type, "FACTORS", list_of(ATTRIBUTION_FACTORS));
}

Class<EngineObject> ENGINE_CLASS{
    "corvane._core.Engine",
    {
        .doc = signature_doc(
            NEW_SIGNATURE, "",
            "One simulated market: a universe of Instruments under a model (a preset name "
            "or a ModelParams; default \"kx-v14\"), from a seed. The same seed, universe, "
            "model and calls give the same market, bit for bit, on every platform.\n\n"
            "A call made while another call on the same engine runs (from another thread) "
            "is refused with RuntimeError."),
        .new_object = Engine_new,
        .repr = Engine_repr,
        .methods = METHODS,
        .getset = GETSET,
        .length = Engine_length,
        .prepare = prepare_engine,
    },
};

// ---- Counterfactual comparison ----

// New reference: where the difference went, for compare()'s summary.
PyObject* divergence_summary(const Comparison& comparison, const Simulation& named_by) {
    const std::vector<std::string>& tickers = named_by.tickers();
    std::array<double, ATTRIBUTION_SLOTS> totals{};
    Ref instruments = Ref::steal(PyList_New(0));
    if (!instruments) return nullptr;
    for (const Divergence& each : divergences(comparison)) {
        DictBuilder drivers;
        for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k) {
            drivers.add(ATTRIBUTION_FACTORS[k].data(), each.drivers[k]);
            totals[k] += std::fabs(each.drivers[k]);
        }
        const std::string ticker =
            each.instrument < tickers.size() ? tickers[each.instrument] : std::string();
        PyObject* half_life = each.half_life ? to_python(*each.half_life) : Py_NewRef(Py_None);
        Ref row = Ref::steal(DictBuilder()
                                 .add("instrument_id", each.instrument)
                                 .add("ticker", ticker)
                                 .add("peak", each.peak)
                                 .add("peak_day", comparison.day[each.peak_row])
                                 .add("peak_tick", comparison.tick[each.peak_row])
                                 .add("last", each.last)
                                 .add_object("half_life_ticks", half_life)
                                 .add_object("drivers", drivers.finish())
                                 .finish());
        if (!row || PyList_Append(instruments.get(), row.get()) != 0) return nullptr;
    }
    DictBuilder drivers;
    for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k) {
        drivers.add(ATTRIBUTION_FACTORS[k].data(), totals[k]);
    }
    return DictBuilder()
        .add_object("fork", DictBuilder()
                                .add("entry", comparison.fork.entry)
                                .add("recorded_days", comparison.fork.at.recorded_days)
                                .add("day_ticks", comparison.fork.at.day_ticks)
                                .finish())
        .add("rows", comparison.day.size())
        .add_object("instruments", instruments.release())
        .add_object("drivers", drivers.finish())
        .finish();
}

constexpr Param COMPARE_PARAMS[] = {{"a"}, {"b"}};
constexpr Signature COMPARE_SIGNATURE{"compare", COMPARE_PARAMS, 2};

PyObject* compare(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a = nullptr;
        PyObject* b = nullptr;
        if (!parse_args(COMPARE_SIGNATURE, args, nargs, kwnames, a, b)) return nullptr;
        for (PyObject* engine : {a, b}) {
            if (!ENGINE_CLASS.of(engine)) {
                wrong_type("compare", engine == a ? "a" : "b", "Engine", engine);
                return nullptr;
            }
        }
        if (a == b) return raise_validation("compare needs two engines, got the same one twice");
        Borrow first(a);
        if (!first) return nullptr;
        Borrow second(b);
        if (!second) return nullptr;
        Result<Comparison> comparison = compare_runs(first.simulation(), second.simulation());
        if (!unwrap(comparison)) return nullptr;
        Ref summary = Ref::steal(divergence_summary(*comparison, second.simulation()));
        if (!summary) return nullptr;
        RecordBatch batch;
        batch.columns.push_back(ColumnBuffer::u32(std::move(comparison->day)));
        batch.columns.push_back(ColumnBuffer::u32(std::move(comparison->tick)));
        batch.columns.push_back(ColumnBuffer::u32(std::move(comparison->instrument)));
        for (std::vector<double>& column : comparison->values) {
            batch.columns.push_back(ColumnBuffer::f64(std::move(column)));
        }
        std::vector<RecordBatch> batches;
        batches.push_back(std::move(batch));
        Ref table = Ref::steal(
            new_arrow_stream(state_of_module(module), TableKind::comparison, std::move(batches)));
        if (!table) return nullptr;
        return PyTuple_Pack(2, table.get(), summary.get());
    });
}

}  // namespace

bool UniverseArg::from_python(PyObject* object, const char* function, const char* what) const {
    Ref items =
        sequence_items(object, function, what, "list of Instrument", Accepts::list_or_tuple);
    if (!items) return false;
    std::vector<InstrumentInit> instruments;
    instruments.reserve(static_cast<std::size_t>(PyTuple_Size(items.get())));
    bool converted = for_each_item(items, [&](std::size_t i, PyObject* item) {
        const InstrumentInit* instrument = INSTRUMENT.of(item);
        if (!instrument) {
            std::string where = text::message(what, "[", i, "]");
            wrong_type(function, where.c_str(), INSTRUMENT.short_name(), item);
            return false;
        }
        instruments.push_back(*instrument);
        return true;
    });
    if (converted) out = std::move(instruments);
    return converted;
}

std::optional<ModelParams> resolve_model(PyObject* model) {
    if (model == Py_None) return ModelParams::preset(DEFAULT_PRESET);
    if (PyUnicode_Check(model)) {
        std::string_view name;
        if (!from_python(model, "Engine", "model", name)) return std::nullopt;
        std::optional<ModelParams> preset = ModelParams::preset(name);
        if (!preset) {
            raise_validation(text::message(
                unknown_preset_message(name),
                ". For a modified model, pass ModelParams.from_preset(name, ...) instead of a "
                "string."));
        }
        return preset;
    }
    if (const ModelParams* params = MODEL_PARAMS.of(model)) return *params;
    Ref text = Ref::steal(PyObject_Str(model));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!utf8) return std::nullopt;
    raise_validation(text::message("model must be a preset name or a ModelParams, got ",
                                   std::string_view(utf8, static_cast<std::size_t>(size))));
    return std::nullopt;
}

TypeEntry& ENGINE = ENGINE_CLASS;

Simulation* hold_engine(PyObject* object, BusyHold& hold, bool changes) {
    EngineObject* engine = ENGINE_CLASS.of(object);
    if (!engine) return nullptr;
    hold = BusyHold(engine->flag, changes);
    return hold ? &engine->simulation : nullptr;
}
PyMethodDef COMPARE_FUNCTION = keywords_method(
    "_compare", compare,
    "_compare(a, b)\n--\n\nTwo engines that share a history up to a fork (a fork and its "
    "parent, or two forks of one engine), compared from the fork on. Returns (table, summary): "
    "an ArrowStream named \"comparison\", a row per recorded tick and instrument from the "
    "fork point, with day, tick, instrument_id and, as b's minus a's, mispricing_s, the nine "
    "drivers (each summed from the fork, so at every row they add up to mispricing_s), "
    "fundamental_value and price; and a dict: the fork, the rows, \"instruments\" whose s "
    "differed (largest peak first: peak, where, last, half_life_ticks to half the peak, and "
    "each driver's share of the last difference) and \"drivers\" (each driver's absolute "
    "share summed over them).");
TypeEntry& TICK_RESULT = TICK_RESULT_CLASS;

}  // namespace corvane::py
