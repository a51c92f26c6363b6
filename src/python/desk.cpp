// TradingDesk: a trading environment's step, run in the core for one Engine
// or every member of an EngineBatch.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/engine_batch.hpp"
#include "core/text.hpp"
#include "core/trading_desk.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

struct DeskObject {
    // The Engine or EngineBatch the desk trades on, kept alive with it.
    Ref market;
    bool batch = false;
    TradingDesk desk;
    // The market's count of changes as the desk's last call left it.
    std::uint64_t market_changes = 0;
    BusyFlag flag;
};

// The desk and its market held for one call: both refuse other calls
// meanwhile. False with an error set when either is busy. A call that only
// reads (`changes` false) changes neither.
class Held {
public:
    explicit Held(PyObject* self, bool changes = true)
        : object_(payload_of<DeskObject>(self)), own_(object_.flag) {
        if (!own_) return;
        PyObject* market = object_.market.get();
        if (object_.batch) {
            batch_ = hold_batch(market, market_, changes);
        } else {
            simulation_ = hold_engine(market, market_, changes);
        }
        if (!*this) return;
        // Any other call that may have changed the market since leaves the
        // books the desk read behind.
        std::uint64_t now = market_.changes();
        if (now != object_.market_changes + (changes ? 1 : 0)) object_.desk.markets_changed();
        object_.market_changes = now;
    }

    explicit operator bool() const noexcept { return batch_ || simulation_; }
    TradingDesk& desk() noexcept { return object_.desk; }
    EngineBatch* batch() noexcept { return batch_; }
    Simulation* simulation() noexcept { return simulation_; }

private:
    DeskObject& object_;
    BusyHold own_;
    BusyHold market_;
    EngineBatch* batch_ = nullptr;
    Simulation* simulation_ = nullptr;
};

template <class Body>
PyObject* with_desk(PyObject* self, Body&& body, bool changes = true) {
    return guarded([&]() -> PyObject* {
        Held held(self, changes);
        if (!held) return nullptr;
        return body(held);
    });
}

// As with_desk, for a call that reads the desk and changes nothing.
template <class Body>
PyObject* reading_desk(PyObject* self, Body&& body) {
    return with_desk(self, std::forward<Body>(body), false);
}

// Every market's step body, on whichever thread the batch gives it.
using MarketBody = std::function<Status(std::size_t, DeskMarket&)>;

// Runs `body` for every market: a batch's members on its threads with the
// interpreter lock released, a single engine here.
Status for_each_market(Held& held, const MarketBody& body, bool open_after) {
    if (EngineBatch* batch = held.batch()) {
        ReleasedInterpreter released;
        return batch->drive_members(body, open_after);
    }
    SimulationMarket market(*held.simulation());
    return body(0, market);
}

// A new bytearray of `count` values of T, written in place by `fill`
// (arrays over a bytearray are writable, as any other step's are).
template <class T, class Fill>
PyObject* bytearray_of(std::size_t count, Fill&& fill) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) return PyErr_NoMemory();
    PyObject* bytes =
        PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)));
    if (!bytes) return nullptr;
    fill(std::span<T>(reinterpret_cast<T*>(PyByteArray_AsString(bytes)), count));
    return bytes;
}

// Every market's observation, market after market, as float32.
PyObject* observations(const TradingDesk& desk) {
    std::size_t size = desk.terms().observation_size();
    return bytearray_of<float>(desk.markets() * size, [&](std::span<float> out) {
        for (std::size_t k = 0; k < desk.markets(); ++k)
            desk.observe(k, out.subspan(k * size, size));
    });
}

PyObject* outputs(const TradingDesk& desk) {
    std::size_t size = desk.terms().outputs_size();
    return bytearray_of<double>(desk.markets() * size, [&](std::span<double> out) {
        for (std::size_t k = 0; k < desk.markets(); ++k) {
            const std::vector<double>& own = desk.book(k).outputs;
            std::copy(own.begin(), own.end(), out.begin() + static_cast<std::ptrdiff_t>(k * size));
        }
    });
}

// (outputs, observations) of every market, as step() returns them.
PyObject* step_results(const TradingDesk& desk) {
    Ref numbers = Ref::steal(outputs(desk));
    if (!numbers) return nullptr;
    Ref seen = Ref::steal(observations(desk));
    if (!seen) return nullptr;
    return PyTuple_Pack(2, numbers.get(), seen.get());
}

constexpr Param NEW_PARAMS[] = {
    {"market"},        {"traded"}, {"max_position"},   {"volume_per_tick"},
    {"starting_cash"}, {"window"}, {"ticks_per_step"}, {"episode_days"},
    {"low"},           {"high"}};
constexpr Signature NEW_SIGNATURE{"TradingDesk", NEW_PARAMS, 10};

PyObject* TradingDesk_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* market = nullptr;
        PyObject* max_position = nullptr;
        PyObject* volume_per_tick = nullptr;
        PyObject* low = nullptr;
        PyObject* high = nullptr;
        std::vector<std::uint64_t> traded;
        DeskTerms terms;
        std::uint64_t window{}, ticks{}, days{};
        if (!parse_args(NEW_SIGNATURE, args, kwargs, market,
                        SequenceArg<std::uint64_t>{traded, "list of int"}, max_position,
                        volume_per_tick, terms.starting_cash, window, ticks, days, low, high) ||
            !f64_buffer_of(max_position, "TradingDesk", "max_position", terms.max_position) ||
            !f64_buffer_of(volume_per_tick, "TradingDesk", "volume_per_tick",
                           terms.volume_per_tick) ||
            !f64_buffer_of(low, "TradingDesk", "low", terms.low) ||
            !f64_buffer_of(high, "TradingDesk", "high", terms.high)) {
            return nullptr;
        }
        constexpr std::uint64_t LIMIT = std::uint64_t{1} << 40;
        terms.window = static_cast<std::size_t>(std::min(window, LIMIT));
        terms.ticks_per_step = static_cast<std::size_t>(std::min(ticks, LIMIT));
        terms.episode_days = static_cast<std::size_t>(std::min(days, LIMIT));
        for (std::uint64_t i : traded)
            terms.traded.push_back(static_cast<std::size_t>(std::min(i, LIMIT)));

        bool batch_market = false;
        std::size_t markets = 1;
        std::size_t roster = 0;
        BusyHold held;
        if (EngineBatch* batch = hold_batch(market, held, false)) {
            batch_market = true;
            markets = batch->members().size();
            roster = batch->tickers().size();
        } else if (Simulation* simulation = hold_engine(market, held, false)) {
            roster = simulation->engine().size();
        } else {
            if (!PyErr_Occurred())
                wrong_type("TradingDesk", "market", "an Engine or EngineBatch", market);
            return nullptr;
        }
        if (!unwrap(check_desk_terms(terms, roster))) return nullptr;
        return create(type, DeskObject{Ref::borrow(market),
                                       batch_market,
                                       TradingDesk(std::move(terms), markets, roster),
                                       held.changes(),
                                       {}});
    });
}

PyObject* TradingDesk_start(PyObject* self, PyObject*) {
    return with_desk(self, [](Held& held) -> PyObject* {
        TradingDesk& desk = held.desk();
        Status done = for_each_market(
            held,
            [&desk](std::size_t k, DeskMarket& market) {
                desk.start(k, market);
                return Status::success();
            },
            true);
        if (!unwrap(done)) return nullptr;
        desk.started();
        return step_results(desk);
    });
}

constexpr Param RESTART_PARAMS[] = {{"member"}};
constexpr Signature RESTART_SIGNATURE{"restart", RESTART_PARAMS, 1};

PyObject* TradingDesk_restart(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return with_desk(self, [&](Held& held) -> PyObject* {
        std::uint64_t member{};
        if (!parse_args(RESTART_SIGNATURE, args, nargs, kwnames, member)) return nullptr;
        TradingDesk& desk = held.desk();
        if (member >= desk.markets()) {
            return raise_validation(
                text::message("member must be below ", desk.markets(), ", got ", member));
        }
        if (EngineBatch* batch = held.batch()) {
            // Only member k is read; the batch's threads are not needed.
            Status done = batch->drive_members(
                [&](std::size_t k, DeskMarket& market) {
                    if (k == member) desk.start(k, market);
                    return Status::success();
                },
                desk.minute() < DESK_TICKS_PER_DAY && !desk.over());
            if (!unwrap(done)) return nullptr;
        } else {
            SimulationMarket market(*held.simulation());
            desk.start(0, market);
        }
        return Py_NewRef(Py_None);
    });
}

constexpr Param STEP_PARAMS[] = {{"targets"}, optional_param("idle")};
constexpr Signature STEP_SIGNATURE{"step", STEP_PARAMS, 1};

PyObject* TradingDesk_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return with_desk(self, [&](Held& held) -> PyObject* {
        PyObject* given = nullptr;
        PyObject* idle_arg = Py_None;
        if (!parse_args(STEP_SIGNATURE, args, nargs, kwnames, given, idle_arg)) return nullptr;
        TradingDesk& desk = held.desk();
        std::size_t n = desk.terms().width();
        std::vector<double> targets;
        if (!f64_buffer_of(given, "step", "targets", targets, true)) return nullptr;
        if (targets.size() != desk.markets() * n) {
            return raise_validation(text::message("targets must hold ", desk.markets(), " x ", n,
                                                  " float64 (markets x traded), got ",
                                                  targets.size()));
        }
        for (double& target : targets) {
            if (!std::isfinite(target)) {
                return raise_validation(text::message("targets must be finite, got ", target));
            }
            target = std::clamp(target, -1.0, 1.0);
        }
        std::vector<bool> trades(desk.markets(), true);
        if (idle_arg != Py_None) {
            std::vector<std::uint64_t> idle;
            if (!SequenceArg<std::uint64_t>{idle, "list of int"}.from_python(idle_arg, "step",
                                                                             "idle")) {
                return nullptr;
            }
            for (std::uint64_t k : idle) {
                if (k >= desk.markets()) {
                    return raise_validation(
                        text::message("idle members must be below ", desk.markets(), ", got ", k));
                }
                trades[k] = false;
            }
        }
        if (desk.over()) return raise_validation("the episode is over: start() a new one");
        TradingDesk::StepClock clock = desk.next_step();
        Status done = for_each_market(
            held,
            [&](std::size_t k, DeskMarket& market) {
                return desk.step(k, market, clock,
                                 std::span<const double>(targets).subspan(k * n, n), trades[k]);
            },
            !clock.closes || clock.reopens);
        if (!unwrap(done)) return nullptr;
        desk.stepped(clock);
        return step_results(desk);
    });
}

constexpr Param ADVANCE_PARAMS[] = {{"order_flow"}};
constexpr Signature ADVANCE_SIGNATURE{"advance", ADVANCE_PARAMS, 1};

PyObject* TradingDesk_advance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return with_desk(self, [&](Held& held) -> PyObject* {
        PyObject* given = nullptr;
        if (!parse_args(ADVANCE_SIGNATURE, args, nargs, kwnames, given)) return nullptr;
        TradingDesk& desk = held.desk();
        if (held.batch()) return raise_validation("advance() trades one Engine, not a batch");
        std::vector<double> values;
        if (!f64_buffer_of(given, "advance", "order_flow", values)) return nullptr;
        const std::vector<std::string>& tickers = held.simulation()->tickers();
        if (values.size() != 2 * tickers.size()) {
            return raise_validation(text::message("order_flow must hold ", tickers.size(),
                                                  " x 2 float64 (instruments x (buy, sell)), got ",
                                                  values.size()));
        }
        std::vector<OrderVolume> flow(tickers.size());
        bool any = false;
        for (std::size_t i = 0; i < flow.size(); ++i) {
            flow[i] = {values[2 * i], values[2 * i + 1]};
            if (!(std::isfinite(flow[i].buy) && flow[i].buy >= 0.0 && std::isfinite(flow[i].sell) &&
                  flow[i].sell >= 0.0)) {
                return raise_validation(text::message("order_flow for ", text::quoted(tickers[i]),
                                                      " must be finite and not negative"));
            }
            any = any || flow[i].buy != 0.0 || flow[i].sell != 0.0;
        }
        if (desk.over()) return raise_validation("the episode is over: start() a new one");
        TradingDesk::StepClock clock = desk.next_step();
        SimulationMarket market(*held.simulation());
        if (!unwrap(desk.advance(0, market, clock, flow, any))) return nullptr;
        desk.stepped(clock);
        return outputs(desk);
    });
}

constexpr Param ACCOUNT_PARAMS[] = {{"cash"}, {"position"}};
constexpr Signature VALUE_SIGNATURE{"value", ACCOUNT_PARAMS, 2};
constexpr Signature OBSERVE_SIGNATURE{"observe", ACCOUNT_PARAMS, 2};

// value and observe: market 0 with the account given.
template <bool Observe>
PyObject* TradingDesk_account(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return reading_desk(self, [&](Held& held) -> PyObject* {
        double cash{};
        PyObject* given = nullptr;
        const Signature& signature = Observe ? OBSERVE_SIGNATURE : VALUE_SIGNATURE;
        if (!parse_args(signature, args, nargs, kwnames, cash, given)) return nullptr;
        const TradingDesk& desk = held.desk();
        std::vector<double> position;
        if (!f64_buffer_of(given, signature.function, "position", position)) return nullptr;
        if (position.size() != desk.terms().width()) {
            return raise_validation(text::message("position must hold ", desk.terms().width(),
                                                  " float64, got ", position.size()));
        }
        if (!Observe) return to_python(desk.value(0, cash, position));
        return bytearray_of<float>(desk.terms().observation_size(), [&](std::span<float> out) {
            desk.observe(0, cash, position, out);
        });
    });
}

constexpr Param BOOK_PARAMS[] = {optional_param("member", 0)};
constexpr Signature BOOK_SIGNATURE{"book", BOOK_PARAMS, 1};

PyObject* TradingDesk_book(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return reading_desk(self, [&](Held& held) -> PyObject* {
        std::uint64_t member{};
        if (!parse_args(BOOK_SIGNATURE, args, nargs, kwnames, member)) return nullptr;
        const TradingDesk& desk = held.desk();
        if (member >= desk.markets()) {
            return raise_validation(
                text::message("member must be below ", desk.markets(), ", got ", member));
        }
        const DeskBook& book = desk.book(static_cast<std::size_t>(member));
        Ref dict = Ref::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "cash", book.cash) ||
            !set_item(dict.get(), "wealth", book.wealth)) {
            return nullptr;
        }
        std::pair<const char*, const std::vector<double>*> columns[] = {
            {"position", &book.position},
            {"price", &book.price},
            {"mid", &book.mid},
            {"attribution_base", &book.attribution_base}};
        for (const auto& [key, values] : columns) {
            Ref bytes = Ref::steal(f64_bytes(*values));
            if (!bytes || PyDict_SetItemString(dict.get(), key, bytes.get()) != 0) return nullptr;
        }
        return dict.release();
    });
}

PyObject* read_day(PyObject* self, void*) {
    return reading_desk(self, [](Held& held) { return to_python(held.desk().day()); });
}
PyObject* read_minute(PyObject* self, void*) {
    return reading_desk(self, [](Held& held) { return to_python(held.desk().minute()); });
}
PyObject* read_markets(PyObject* self, void*) {
    return reading_desk(self, [](Held& held) { return to_python(held.desk().markets()); });
}

PyGetSetDef GETSET[] = {
    read_only("day", read_day, "Trading days of the episode completed."),
    read_only("minute", read_minute, "Minutes of the day's session run (390 once it closed)."),
    read_only("markets", read_markets, "Markets the desk trades: 1 for an Engine."),
    {},
};

PyMethodDef METHODS[] = {
    noargs_method("start", TradingDesk_start,
                  "start($self)\n--\n\nA fresh episode on markets whose first day is open: "
                  "every account at the starting cash, nothing held. Returns (outputs, "
                  "observations) as step() does, the outputs' fills and factors zero."),
    keywords_method("restart", TradingDesk_restart,
                    signature_doc(RESTART_SIGNATURE, "$self",
                                  "Market `member` alone starts over on its (replaced) engine, "
                                  "at the shared clock.")),
    keywords_method(
        "step", TradingDesk_step,
        signature_doc(STEP_SIGNATURE, "$self",
                      "One step in every market toward `targets` (markets x traded, float32 or "
                      "float64, finite, each clipped to [-1, 1]); the markets listed in `idle` "
                      "trade nothing. Returns "
                      "(outputs, observations): per market wealth, cash, then quantity, average "
                      "price, worst price and cost over the mid per traded instrument, then "
                      "each factor's change over the step (float64 bytearray); then every "
                      "market's observation, bounded (float32 bytearray).")),
    keywords_method("advance", TradingDesk_advance,
                    signature_doc(ADVANCE_SIGNATURE, "$self",
                                  "The market's part of a step on an Engine, with the order flow "
                                  "given (instruments x (buy, sell) float64, roster order) on "
                                  "its first tick; returns the outputs as step() lays them out "
                                  "(the account's part unchanged).")),
    keywords_method("value", TradingDesk_account<false>,
                    signature_doc(VALUE_SIGNATURE, "$self",
                                  "cash plus position marked at the mids, summed in order.")),
    keywords_method("observe", TradingDesk_account<true>,
                    signature_doc(OBSERVE_SIGNATURE, "$self",
                                  "The observation with that account, as a float32 bytearray.")),
    keywords_method("book", TradingDesk_book,
                    signature_doc(BOOK_SIGNATURE, "$self",
                                  "A market's account and readings: cash, wealth, and float64 "
                                  "bytes of position, price, mid and the day's attribution so "
                                  "far (factors x traded).")),
    {},
};

Class<DeskObject> TRADING_DESK_CLASS{
    "corvane._core.TradingDesk",
    {
        .doc = signature_doc(
            NEW_SIGNATURE, "",
            "A trader's desk on an Engine or on every member of an EngineBatch: its account "
            "and what it sees, stepped in the core (corvane.env builds its environments on "
            "it). `traded` are roster positions; max_position and volume_per_tick, one float64 "
            "per traded instrument; low and high bound the observation value by value."),
        .new_object = TradingDesk_new,
        .methods = METHODS,
        .getset = GETSET,
    },
};

}  // namespace

TypeEntry& TRADING_DESK = TRADING_DESK_CLASS;

}  // namespace corvane::py
