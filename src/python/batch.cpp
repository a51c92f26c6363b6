// EngineBatch: many seeded markets in lock step, read as one matrix.
#include <optional>
#include <utility>
#include <vector>

#include "core/engine_batch.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

struct BatchObject {
    EngineBatch batch;
    // A signal handler run between slices may call back into the batch.
    bool busy = false;
};

template <class Body>
PyObject* with_batch(PyObject* self, Body&& body) {
    return guarded([&]() -> PyObject* {
        BatchObject& object = payload_of<BatchObject>(self);
        if (object.busy) {
            PyErr_SetString(PyExc_RuntimeError, ENGINE_BUSY);
            return nullptr;
        }
        object.busy = true;
        struct Release {
            bool& busy;
            ~Release() { busy = false; }
        } release{object.busy};
        return body(object.batch);
    });
}

bool no_signal() { return PyErr_CheckSignals() == 0; }

PyObject* finish_run(Result<RunOutcome>& ran) {
    if (!unwrap(ran)) return nullptr;
    if (ran->interrupted) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

constexpr Param NEW_PARAMS[] = {
    {"seeds"}, {"universe"}, optional_param("macro_state"), optional_param("model")};
constexpr Signature NEW_SIGNATURE{"EngineBatch", NEW_PARAMS, 0};

PyObject* EngineBatch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::vector<std::uint32_t> seeds;
        std::vector<InstrumentInit> universe;
        const Macro* macro = nullptr;
        PyObject* model_arg = Py_None;
        if (!parse_args(NEW_SIGNATURE, args, kwargs,
                        SequenceArg<std::uint32_t>{seeds, "list of int"}, UniverseArg{universe},
                        optional_instance(MACRO, macro), model_arg)) {
            return nullptr;
        }
        if (!unwrap(EngineBatch::check(seeds, universe.size()))) return nullptr;
        std::optional<ModelParams> model = resolve_model(model_arg);
        if (!model) return nullptr;
        std::optional<Macro> initial;
        if (macro) initial = *macro;
        auto batch = EngineBatch::create(std::move(seeds), universe, initial, *model);
        if (!unwrap(batch)) return nullptr;
        return create(type, BatchObject{std::move(*batch)});
    });
}

PyObject* EngineBatch_open_market(PyObject* self, PyObject*) {
    return with_batch(self, [](EngineBatch& batch) {
        batch.open_market();
        return Py_NewRef(Py_None);
    });
}

PyObject* EngineBatch_close_market(PyObject* self, PyObject*) {
    return with_batch(self, [](EngineBatch& batch) {
        batch.close_market();
        return Py_NewRef(Py_None);
    });
}

constexpr Param TICK_PARAMS[] = {
    {"hour"}, {"minute"}, {"day_of_week"}, optional_param("volatility")};
constexpr Signature TICK_SIGNATURE{"tick", TICK_PARAMS, 3};

PyObject* EngineBatch_tick(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        Clock clock;
        if (!parse_args(TICK_SIGNATURE, args, nargs, kwnames, clock.hour, clock.minute,
                        clock.day_of_week, clock.volatility)) {
            return nullptr;
        }
        if (!unwrap(batch.tick(clock))) return nullptr;
        return Py_NewRef(Py_None);
    });
}

constexpr Param SESSION_PARAMS[] = {
    {"hour"}, {"minute"}, {"day_of_week"}, {"ticks"}, optional_param("volatility")};
constexpr Signature SESSION_SIGNATURE{"run_session", SESSION_PARAMS, 4};

PyObject* EngineBatch_run_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        Clock clock;
        std::uint64_t ticks = 0;
        if (!parse_args(SESSION_SIGNATURE, args, nargs, kwnames, clock.hour, clock.minute,
                        clock.day_of_week, ticks, clock.volatility)) {
            return nullptr;
        }
        auto ran = batch.run_session(clock, ticks, no_signal);
        return finish_run(ran);
    });
}

constexpr Param DAYS_PARAMS[] = {
    {"days"},
    optional_param("hour"),
    optional_param("minute"),
    optional_param("day_of_week"),
    optional_param("ticks_per_day"),
    optional_param("volatility"),
};
constexpr Signature DAYS_SIGNATURE{"run_days", DAYS_PARAMS, 1};

PyObject* EngineBatch_run_days(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        std::uint64_t days = 0;
        Clock clock;
        std::uint64_t ticks_per_day = 390;
        if (!parse_args(DAYS_SIGNATURE, args, nargs, kwnames, days, clock.hour, clock.minute,
                        clock.day_of_week, ticks_per_day, clock.volatility)) {
            return nullptr;
        }
        auto ran = batch.run_days(days, clock, ticks_per_day, no_signal);
        return finish_run(ran);
    });
}

// As bytes, or as a markets x instruments array over them.
PyObject* batch_matrix(const EngineBatch& batch, PriceField field, bool as_numpy) {
    return f64_result(f64_bytes(batch.column(field)), as_numpy,
                      static_cast<Py_ssize_t>(batch.members().size()),
                      static_cast<Py_ssize_t>(batch.tickers().size()));
}

constexpr Param PRICES_PARAMS[] = {optional_param("as_numpy")};
constexpr Signature PRICES_SIGNATURE{"prices", PRICES_PARAMS, 0};

PyObject* EngineBatch_prices(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        bool as_numpy = false;
        if (!parse_args(PRICES_SIGNATURE, args, nargs, kwnames, as_numpy)) return nullptr;
        return batch_matrix(batch, PriceField::price, as_numpy);
    });
}

constexpr Param COLUMN_PARAMS[] = {{"field"}, optional_param("as_numpy")};
constexpr Signature COLUMN_SIGNATURE{"column", COLUMN_PARAMS, 1};

PyObject* EngineBatch_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return with_batch(self, [&](EngineBatch& batch) -> PyObject* {
        std::string_view name;
        bool as_numpy = false;
        if (!parse_args(COLUMN_SIGNATURE, args, nargs, kwnames, name, as_numpy)) return nullptr;
        auto field = field_from_name(name);
        if (!unwrap(field)) return nullptr;
        return batch_matrix(batch, *field, as_numpy);
    });
}

Py_ssize_t EngineBatch_length(PyObject* self) {
    const BatchObject& object = payload_of<BatchObject>(self);
    if (object.busy) {
        PyErr_SetString(PyExc_RuntimeError, ENGINE_BUSY);
        return -1;
    }
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
    return with_batch(self, [self](EngineBatch& batch) { return Read(self, batch); });
}

PyObject* read_shape(PyObject*, EngineBatch& batch) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(batch.members().size()),
                         static_cast<Py_ssize_t>(batch.tickers().size()));
}
PyObject* read_seeds(PyObject*, EngineBatch& batch) { return list_of(batch.seeds()); }
PyObject* read_tickers(PyObject*, EngineBatch& batch) { return list_of(batch.tickers()); }
PyObject* read_model(PyObject* self, EngineBatch& batch) {
    return MODEL_PARAMS.create(state_of(self), batch.model());
}
PyObject* read_fingerprint(PyObject*, EngineBatch& batch) {
    return to_python(batch.model().fingerprint());
}
PyObject* read_draws(PyObject*, EngineBatch& batch) {
    return list_of(batch.members(),
                   [](const Engine& member) { return to_python(member.draws().total()); });
}

PyGetSetDef GETSET[] = {
    read_only("shape", property<read_shape>, "(markets, instruments)."),
    read_only("seeds", property<read_seeds>, "The seeds, in member order."),
    read_only("tickers", property<read_tickers>, "The tickers, in roster order."),
    read_only("model", property<read_model>, "The model every member runs, as a ModelParams."),
    read_only("model_fingerprint", property<read_fingerprint>, "The model's fingerprint."),
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
    noargs_method("open_market", EngineBatch_open_market,
                  "open_market($self)\n--\n\nOpen a new day in every market."),
    keywords_method("tick", EngineBatch_tick,
                    "tick($self, hour, minute, day_of_week, *, volatility=1.0)\n--\n\n"
                    "One game-minute in every market."),
    keywords_method("run_session", EngineBatch_run_session,
                    "run_session($self, hour, minute, day_of_week, ticks, *, volatility=1.0)"
                    "\n--\n\n`ticks` minutes in every market, opening the day first when none "
                    "is open. Ctrl-C stops it with every market at the same tick."),
    noargs_method("close_market", EngineBatch_close_market,
                  "close_market($self)\n--\n\nClose the day in every market, macro step "
                  "included, as Engine.close_market does; the next session opens a new day."),
    keywords_method("run_days", EngineBatch_run_days,
                    "run_days($self, days, *, hour=9, minute=30, day_of_week=3, "
                    "ticks_per_day=390, volatility=1.0)\n--\n\n"
                    "Whole days in every market: open, one session, close. Ctrl-C stops it."),
    keywords_method("prices", EngineBatch_prices,
                    "prices($self, *, as_numpy=False)\n--\n\nmarkets x instruments prices, "
                    "row-major (one market's cross-section contiguous), as little-endian float64 "
                    "bytes; as_numpy=True: a read-only array over them, shaped markets x "
                    "instruments."),
    keywords_method("column", EngineBatch_column,
                    "column($self, field, *, as_numpy=False)\n--\n\nOne column of every "
                    "market, shaped as prices()."),
    {},
};

Class<BatchObject> ENGINE_BATCH_CLASS{
    "corvane._core.EngineBatch",
    {
        .doc = "EngineBatch(*, seeds, universe, macro_state=None, model=None)\n--\n\n"
               "One market per seed, all from the same universe, macro state and model, "
               "advanced together. Member k evolves exactly as Engine(seed=seeds[k], ...) "
               "driven with the same calls. No log and no recording.",
        .new_object = EngineBatch_new,
        .repr = EngineBatch_repr,
        .methods = METHODS,
        .getset = GETSET,
        .length = EngineBatch_length,
    },
};

}  // namespace

TypeEntry& ENGINE_BATCH = ENGINE_BATCH_CLASS;

}  // namespace corvane::py
