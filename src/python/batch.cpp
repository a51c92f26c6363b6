// EngineBatch: many seeded markets in lock step, read as one matrix.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/engine_batch.hpp"
#include "core/simulation.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/ref.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

struct BatchObject {
    EngineBatch batch;
    // Set while a call runs, the lock released or not: another thread, or a
    // signal handler run between slices, is refused rather than interleaved.
    BusyFlag flag;
};

template <class Body>
PyObject* with_batch(PyObject* self, Body&& body, bool changes = true) {
    return guarded([&]() -> PyObject* {
        BatchObject& object = payload_of<BatchObject>(self);
        BusyHold hold(object.flag, changes);
        if (!hold) return nullptr;
        return body(object.batch);
    });
}

// As with_batch, for a call that only reads: `body` gets the batch as
// const, and the call leaves the count of changes as it is.
template <class Body>
PyObject* reading_batch(PyObject* self, Body&& body) {
    return with_batch(
        self, [&](EngineBatch& batch) { return body(std::as_const(batch)); }, false);
}

PyObject* finish_run(Result<RunOutcome>& ran) {
    if (!unwrap(ran)) return nullptr;
    if (ran->interrupted) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

constexpr Param NEW_PARAMS[] = {{"seeds"},
                                {"universe"},
                                optional_param("macro_state"),
                                optional_param("model"),
                                optional_param("threads")};
constexpr Signature NEW_SIGNATURE{"EngineBatch", NEW_PARAMS, 0};

PyObject* EngineBatch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::vector<std::uint32_t> seeds;
        std::vector<InstrumentInit> universe;
        const Macro* macro = nullptr;
        PyObject* model_arg = Py_None;
        std::optional<std::uint64_t> threads;
        if (!parse_args(NEW_SIGNATURE, args, kwargs,
                        SequenceArg<std::uint32_t>{seeds, "list of int"}, UniverseArg{universe},
                        optional_instance(MACRO, macro), model_arg, threads)) {
            return nullptr;
        }
        if (threads && *threads == 0) {
            return raise_validation("threads must be at least 1, or None for every core");
        }
        if (!unwrap(EngineBatch::check(seeds, universe.size()))) return nullptr;
        std::optional<ModelParams> model = resolve_model(model_arg);
        if (!model) return nullptr;
        std::optional<Macro> initial;
        if (macro) initial = *macro;
        auto batch = EngineBatch::create(std::move(seeds), universe, initial, *model);
        if (!unwrap(batch)) return nullptr;
        // More threads than members would only wait, and more than a size
        // holds cannot be asked of the machine either.
        std::uint64_t wanted = threads ? *threads : EngineBatch::available_cores();
        batch->set_threads(
            static_cast<std::size_t>(std::min<std::uint64_t>(wanted, batch->members().size())));
        return create(type, BatchObject{std::move(*batch), {}});
    });
}

// open_market and close_market: no arguments, None back.
template <void (EngineBatch::*step)()>
PyObject* EngineBatch_step(PyObject* self, PyObject*) {
    return with_batch(self, [](EngineBatch& batch) {
        (batch.*step)();
        return Py_NewRef(Py_None);
    });
}

// Per-member inputs as the interpreter hands them over, converted while the
// lock is held; the members then read only these copies.
struct MemberArgs {
    std::vector<double> order_flow;
    std::vector<std::vector<NewsArg>> news;

    BatchInputs view() const { return {order_flow, news}; }
};

}  // namespace

// Copied so the caller may reuse the buffer at once.
bool f64_buffer_of(PyObject* object, const char* function, const char* what,
                   std::vector<double>& out, bool float32_too) {
    const char* expected =
        float32_too ? "a C-contiguous float32 or float64 buffer" : "a C-contiguous float64 buffer";
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        wrong_type(function, what, expected, object);
        return false;
    }
    struct Release {
        Py_buffer& view;
        ~Release() { PyBuffer_Release(&view); }
    } release{view};
    std::string_view format = view.format ? view.format : "B";
    // One letter, alone or after a native or little-endian byte order.
    auto is = [format](char code) {
        bool ordered =
            format.size() == 2 && (format[0] == '<' || format[0] == '=' || format[0] == '@');
        return (format.size() == 1 || ordered) && format.back() == code;
    };
    if (float32_too && view.itemsize == 4 && is('f')) {
        const auto* values = static_cast<const float*>(view.buf);
        out.assign(values, values + view.len / 4);
        return true;
    }
    bool doubles = view.itemsize == 8 && is('d');
    bool bytes =
        !float32_too && view.itemsize == 1 && (format == "B" || format == "b" || format == "c");
    if (!doubles && !bytes) {
        wrong_type(function, what, expected, object);
        return false;
    }
    if (view.len % 8 != 0) {
        raise_validation(
            text::message(what, " must be whole float64 values, got ", view.len, " bytes"));
        return false;
    }
    out.resize(static_cast<std::size_t>(view.len) / 8);
    if (view.len > 0) std::memcpy(out.data(), view.buf, static_cast<std::size_t>(view.len));
    return true;
}

namespace {

bool flow_of(PyObject* object, const char* function, std::vector<double>& out) {
    return object == Py_None || f64_buffer_of(object, function, "order_flow", out);
}

// None, or one list (or None) of News per member.
bool news_of(PyObject* object, const char* function, std::vector<std::vector<NewsArg>>& out) {
    if (object == Py_None) return true;
    Ref lists =
        sequence_items(object, function, "news", "list of lists of News", Accepts::list_or_tuple);
    return lists && for_each_item(lists, [&](std::size_t, PyObject* list) {
               std::optional<CallInputs> member = call_inputs(list, Py_None, Py_None, function);
               if (!member) return false;
               out.push_back(std::move(member->news));
               return true;
           });
}

std::optional<MemberArgs> member_args(PyObject* flow, PyObject* news, const char* function) {
    MemberArgs args;
    if (!flow_of(flow, function, args.order_flow) || !news_of(news, function, args.news)) {
        return std::nullopt;
    }
    return args;
}

constexpr Param TICK_PARAMS[] = {{"hour"},
                                 {"minute"},
                                 {"day_of_week"},
                                 optional_param("volatility", DEFAULT_CLOCK.volatility),
                                 optional_param("order_flow"),
                                 optional_param("news")};
constexpr Signature TICK_SIGNATURE{"tick", TICK_PARAMS, 3};

PyObject* EngineBatch_tick(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        Clock clock;
        PyObject* flow = Py_None;
        PyObject* news = Py_None;
        if (!parse_args(TICK_SIGNATURE, args, nargs, kwnames, clock.hour, clock.minute,
                        clock.day_of_week, clock.volatility, flow, news)) {
            return nullptr;
        }
        std::optional<MemberArgs> inputs = member_args(flow, news, "tick");
        if (!inputs) return nullptr;
        std::optional<Status> ticked;
        {
            ReleasedInterpreter released;
            ticked.emplace(batch.tick(clock, inputs->view()));
        }
        if (!unwrap(*ticked)) return nullptr;
        return Py_NewRef(Py_None);
    });
}

constexpr Param SESSION_PARAMS[] = {{"hour"},
                                    {"minute"},
                                    {"day_of_week"},
                                    {"ticks"},
                                    optional_param("volatility", DEFAULT_CLOCK.volatility),
                                    optional_param("order_flow"),
                                    optional_param("news")};
constexpr Signature SESSION_SIGNATURE{"run_session", SESSION_PARAMS, 4};

PyObject* EngineBatch_run_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        Clock clock;
        std::uint64_t ticks = 0;
        PyObject* flow = Py_None;
        PyObject* news = Py_None;
        if (!parse_args(SESSION_SIGNATURE, args, nargs, kwnames, clock.hour, clock.minute,
                        clock.day_of_week, ticks, clock.volatility, flow, news)) {
            return nullptr;
        }
        std::optional<MemberArgs> inputs = member_args(flow, news, "run_session");
        if (!inputs) return nullptr;
        std::optional<Result<RunOutcome>> ran;
        {
            // No interpreter object is touched inside, on any thread; between
            // slices this thread takes the lock back to look for Ctrl-C.
            ReleasedInterpreter released;
            ran.emplace(batch.run_session(clock, ticks, inputs->view(),
                                          [&released] { return released.no_signal_raised(); }));
        }
        return finish_run(*ran);
    });
}

constexpr Param DAYS_PARAMS[] = {
    {"days"},
    optional_param("hour", DEFAULT_CLOCK.hour),
    optional_param("minute", DEFAULT_CLOCK.minute),
    optional_param("day_of_week", DEFAULT_CLOCK.day_of_week),
    optional_param("ticks_per_day", 390),
    optional_param("volatility", DEFAULT_CLOCK.volatility),
};
constexpr Signature DAYS_SIGNATURE{"run_days", DAYS_PARAMS, 1};

PyObject* EngineBatch_run_days(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        std::uint64_t days = 0;
        Clock clock;
        std::uint64_t ticks_per_day{};
        if (!parse_args(DAYS_SIGNATURE, args, nargs, kwnames, days, clock.hour, clock.minute,
                        clock.day_of_week, ticks_per_day, clock.volatility)) {
            return nullptr;
        }
        std::optional<Result<RunOutcome>> ran;
        {
            ReleasedInterpreter released;
            ran.emplace(batch.run_days(days, clock, ticks_per_day,
                                       [&released] { return released.no_signal_raised(); }));
        }
        return finish_run(*ran);
    });
}

// As bytes, or as a markets x instruments array over them.
PyObject* batch_matrix(const EngineBatch& batch, PriceField field, bool as_numpy) {
    return f64_result(f64_bytes(batch.column(field)), as_numpy,
                      static_cast<Py_ssize_t>(batch.members().size()),
                      static_cast<Py_ssize_t>(batch.tickers().size()));
}

constexpr Param PRICES_PARAMS[] = {optional_param("as_numpy", false)};
constexpr Signature PRICES_SIGNATURE{"prices", PRICES_PARAMS, 0};

PyObject* EngineBatch_prices(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return reading_batch(self, [&](const EngineBatch& batch) -> PyObject* {
        bool as_numpy{};
        if (!parse_args(PRICES_SIGNATURE, args, nargs, kwnames, as_numpy)) return nullptr;
        return batch_matrix(batch, PriceField::price, as_numpy);
    });
}

constexpr Param COLUMN_PARAMS[] = {{"field"}, optional_param("as_numpy", false)};
constexpr Signature COLUMN_SIGNATURE{"column", COLUMN_PARAMS, 1};

PyObject* EngineBatch_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return reading_batch(self, [&](const EngineBatch& batch) -> PyObject* {
        std::string_view name;
        bool as_numpy{};
        if (!parse_args(COLUMN_SIGNATURE, args, nargs, kwnames, name, as_numpy)) return nullptr;
        auto field = field_from_name(name);
        if (!unwrap(field)) return nullptr;
        return batch_matrix(batch, *field, as_numpy);
    });
}

// As bytes, or as a markets x fields x instruments array over them.
PyObject* batch_cube(const EngineBatch& batch, const std::vector<double>& values, Py_ssize_t fields,
                     bool as_numpy) {
    Ref flat = Ref::steal(f64_result(f64_bytes(values), as_numpy));
    if (!flat || !as_numpy) return flat.release();
    return PyObject_CallMethod(flat.get(), "reshape", "nnn",
                               static_cast<Py_ssize_t>(batch.members().size()), fields,
                               static_cast<Py_ssize_t>(batch.tickers().size()));
}

constexpr Signature QUOTES_SIGNATURE{"quotes", PRICES_PARAMS, 0};

PyObject* EngineBatch_quotes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return reading_batch(self, [&](const EngineBatch& batch) -> PyObject* {
        bool as_numpy{};
        if (!parse_args(QUOTES_SIGNATURE, args, nargs, kwnames, as_numpy)) return nullptr;
        return batch_cube(batch, batch.quotes(), 4, as_numpy);
    });
}

constexpr Param SWEEP_COSTS_PARAMS[] = {{"quantities"}, optional_param("as_numpy", false)};
constexpr Signature SWEEP_COSTS_SIGNATURE{"sweep_costs", SWEEP_COSTS_PARAMS, 1};

PyObject* EngineBatch_sweep_costs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return reading_batch(self, [&](const EngineBatch& batch) -> PyObject* {
        PyObject* given = nullptr;
        bool as_numpy{};
        if (!parse_args(SWEEP_COSTS_SIGNATURE, args, nargs, kwnames, given, as_numpy)) {
            return nullptr;
        }
        std::vector<double> quantities;
        if (!f64_buffer_of(given, "sweep_costs", "quantities", quantities)) return nullptr;
        Result<std::vector<double>> priced = batch.sweep_costs(quantities);
        if (!unwrap(priced)) return nullptr;
        return batch_cube(batch, *priced, 3, as_numpy);
    });
}

constexpr Param ATTRIBUTION_PARAMS[] = {optional_param("factor"),
                                        optional_param("as_numpy", false)};
constexpr Signature ATTRIBUTION_SIGNATURE{"attribution", ATTRIBUTION_PARAMS, 1};

PyObject* EngineBatch_attribution(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return reading_batch(self, [&](const EngineBatch& batch) -> PyObject* {
        std::optional<std::string_view> name;
        bool as_numpy{};
        if (!parse_args(ATTRIBUTION_SIGNATURE, args, nargs, kwnames, name, as_numpy)) {
            return nullptr;
        }
        const auto members = static_cast<Py_ssize_t>(batch.members().size());
        const auto width = static_cast<Py_ssize_t>(batch.tickers().size());
        if (!name) {
            // Every factor at once: factors x markets x instruments.
            Ref flat = Ref::steal(f64_result(f64_bytes(batch.attribution()), as_numpy));
            if (!flat || !as_numpy) return flat.release();
            return PyObject_CallMethod(flat.get(), "reshape", "nnn",
                                       static_cast<Py_ssize_t>(ATTRIBUTION_SLOTS), members, width);
        }
        auto slot = factor_from_name(*name);
        if (!unwrap(slot)) return nullptr;
        return f64_result(f64_bytes(batch.attribution(*slot)), as_numpy, members, width);
    });
}

constexpr Param REPLACE_PARAMS[] = {{"member"}, {"seed"}};
constexpr Signature REPLACE_SIGNATURE{"replace_member", REPLACE_PARAMS, 2};

PyObject* EngineBatch_replace_member(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        std::uint64_t member = 0;
        std::uint32_t seed{};
        if (!parse_args(REPLACE_SIGNATURE, args, nargs, kwnames, member, seed)) return nullptr;
        std::optional<Status> replaced;
        {
            // Building a market takes a while; it holds no Python object.
            ReleasedInterpreter released;
            replaced.emplace(batch.replace_member(
                static_cast<std::size_t>(std::min<std::uint64_t>(member, SIZE_MAX)), seed));
        }
        if (!unwrap(*replaced)) return nullptr;
        return Py_NewRef(Py_None);
    });
}

Py_ssize_t EngineBatch_length(PyObject* self) {
    BatchObject& object = payload_of<BatchObject>(self);
    BusyHold hold(object.flag, false);
    if (!hold) return -1;
    return static_cast<Py_ssize_t>(object.batch.members().size());
}

PyObject* EngineBatch_repr(PyObject* self) {
    return guarded([self] {
        const EngineBatch& batch = payload_of<BatchObject>(self).batch;
        return to_python(text::message("EngineBatch(", batch.members().size(), " markets x ",
                                       batch.tickers().size(), " instruments)"));
    });
}

template <auto Read>
PyObject* property(PyObject* self, void*) {
    return reading_batch(self, [self](const EngineBatch& batch) { return Read(self, batch); });
}

PyObject* read_shape(PyObject*, const EngineBatch& batch) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(batch.members().size()),
                         static_cast<Py_ssize_t>(batch.tickers().size()));
}
PyObject* read_seeds(PyObject*, const EngineBatch& batch) { return list_of(batch.seeds()); }
PyObject* read_tickers(PyObject*, const EngineBatch& batch) { return list_of(batch.tickers()); }
PyObject* read_model(PyObject* self, const EngineBatch& batch) {
    return MODEL_PARAMS.create(state_of(self), batch.model());
}
PyObject* read_fingerprint(PyObject*, const EngineBatch& batch) {
    return to_python(batch.model().fingerprint());
}
PyObject* read_threads(PyObject*, const EngineBatch& batch) { return to_python(batch.threads()); }
PyObject* read_macro_states(PyObject* self, const EngineBatch& batch) {
    const ModuleState& state = state_of(self);
    return list_of(batch.economies(),
                   [&state](const Macro& macro) { return MACRO.create(state, macro); });
}
PyObject* read_draws(PyObject*, const EngineBatch& batch) {
    return list_of(batch.members(),
                   [](const Engine& member) { return to_python(member.draws().total()); });
}

PyGetSetDef GETSET[] = {
    read_only("shape", property<read_shape>, "(markets, instruments)."),
    read_only("seeds", property<read_seeds>, "The seeds, in member order."),
    read_only("tickers", property<read_tickers>, "The tickers, in roster order."),
    read_only("model", property<read_model>, "The model every member runs, as a ModelParams."),
    read_only("model_fingerprint", property<read_fingerprint>, "The model's fingerprint."),
    read_only("threads", property<read_threads>,
              "Threads a call advances the members on, this one included; never more than "
              "the members."),
    read_only("macro_states", property<read_macro_states>,
              "Per member, in seed order, its economy now, as a MacroState."),
    read_only("draws_consumed", property<read_draws>,
              "Per member, in seed order, its draws so far (market + economy + external)."),
    {},
};

PyObject* EngineBatch_reduce(PyObject* self, PyObject*) {
    return refuse_pickling(self,
                           "ship its seeds, universe and model and build it again, or run its "
                           "markets as Engines and save each with state_snapshot() or "
                           "corvane.manifest()");
}

PyMethodDef METHODS[] = {
    noargs_method("__reduce__", EngineBatch_reduce, "Refuses: an EngineBatch does not pickle."),
    noargs_method("open_market", EngineBatch_step<&EngineBatch::open_market>,
                  "open_market($self)\n--\n\nOpen a new day in every market."),
    keywords_method(
        "tick", EngineBatch_tick,
        signature_doc(TICK_SIGNATURE, "$self",
                      "One game-minute in every market. order_flow: per market and instrument a "
                      "(buy, sell) pair, as a C-contiguous float64 buffer of markets x instruments "
                      "x 2 (a float64 array, or little-endian float64 bytes); news: one list of "
                      "News per market. Market k takes its share as Engine.tick takes order_flow "
                      "for every instrument and news.")),
    keywords_method(
        "run_session", EngineBatch_run_session,
        signature_doc(SESSION_SIGNATURE, "$self",
                      "`ticks` minutes in every market, "
                      "opening the day first when none is open, per-market inputs (as tick takes "
                      "them) on every tick. Ctrl-C stops it with every market at the same tick.")),
    noargs_method("close_market", EngineBatch_step<&EngineBatch::close_market>,
                  "close_market($self)\n--\n\nClose the day in every market, macro step "
                  "included, as Engine.close_market does; the next session opens a new day."),
    keywords_method(
        "run_days", EngineBatch_run_days,
        signature_doc(DAYS_SIGNATURE, "$self",
                      "Whole days in every market: open, one session, close. Ctrl-C stops it.")),
    keywords_method(
        "prices", EngineBatch_prices,
        signature_doc(PRICES_SIGNATURE, "$self",
                      "markets x instruments prices, "
                      "row-major (one market's cross-section contiguous), as little-endian float64 "
                      "bytes; as_numpy=True: a read-only array over them, shaped markets x "
                      "instruments.")),
    keywords_method(
        "quotes", EngineBatch_quotes,
        signature_doc(
            QUOTES_SIGNATURE, "$self",
            "Every market's top of book, "
            "market after market, each laid out as Engine.quotes lays out its bytes (4 x "
            "instruments: best bid, best ask, bid size, ask size; an empty side reads NaN "
            "with size 0); as_numpy=True: a read-only array over them, shaped markets x 4 "
            "x instruments.")),
    keywords_method(
        "sweep_costs", EngineBatch_sweep_costs,
        signature_doc(SWEEP_COSTS_SIGNATURE, "$self",
                      "Prices a market "
                      "order per market and instrument against its live book without moving any "
                      "market: quantities a C-contiguous float64 buffer of markets x instruments "
                      "(roster order; positive to buy, negative to sell, 0 for none). Market after "
                      "market, as Engine.sweep_costs lays out its bytes (3 x instruments: signed "
                      "quantity filled, average and worst price, NaN where nothing filled); "
                      "as_numpy=True: a read-only array over them, shaped markets x 3 x "
                      "instruments.")),
    keywords_method(
        "attribution", EngineBatch_attribution,
        signature_doc(ATTRIBUTION_SIGNATURE, "$self",
                      "Engine.attribution(factor) of every market, shaped as prices(); with no "
                      "factor, every factor's in Engine.FACTORS order, factor after factor "
                      "(as_numpy=True: shaped factors x markets x instruments).")),
    keywords_method(
        "replace_member", EngineBatch_replace_member,
        signature_doc(REPLACE_SIGNATURE, "$self",
                      "Market `member` starts over "
                      "as a fresh Engine(seed=seed, ...) of the batch's universe, macro state and "
                      "model, its day opened when the batch's is open. It then follows the batch's "
                      "clock from where the batch stands and counts its own closes from one, as a "
                      "new Engine does. A seed another market holds is refused.")),
    keywords_method("column", EngineBatch_column,
                    signature_doc(COLUMN_SIGNATURE, "$self",
                                  "One column of every "
                                  "market, shaped as prices().")),
    {},
};

Class<BatchObject> ENGINE_BATCH_CLASS{
    "corvane._core.EngineBatch",
    {
        .doc = signature_doc(
            NEW_SIGNATURE, "",
            "One market per seed, all from the same universe, macro state and model, "
            "advanced together. Member k evolves exactly as Engine(seed=seeds[k], ...) "
            "driven with the same calls. No log and no recording. The members advance on "
            "`threads` native threads (None: every core), with the interpreter lock "
            "released while they run; the results are the same for any thread count."),
        .new_object = EngineBatch_new,
        .repr = EngineBatch_repr,
        .methods = METHODS,
        .getset = GETSET,
        .length = EngineBatch_length,
    },
};

}  // namespace

TypeEntry& ENGINE_BATCH = ENGINE_BATCH_CLASS;

EngineBatch* hold_batch(PyObject* object, BusyHold& hold, bool changes) {
    BatchObject* batch = ENGINE_BATCH_CLASS.of(object);
    if (!batch) return nullptr;
    hold = BusyHold(batch->flag, changes);
    return hold ? &batch->batch : nullptr;
}

}  // namespace corvane::py
