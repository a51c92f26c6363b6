// The engine state as a plain dict, and back.
//
// A restore reads and checks the whole dict, in a fixed order (the first
// failure in that order is the one raised), before the engine is touched:
// a refused restore changes nothing.
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>

#include "core/engine_state.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"

namespace corvane::py {
namespace {

constexpr const char* FUNCTION = "restore_state";

double bits_as_double(std::uint64_t bits) { return std::bit_cast<double>(bits); }
std::uint64_t double_bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// ---- Writing ----

PyObject* economy_value(double value) { return to_python(value); }
PyObject* economy_value(std::uint64_t value) { return to_python(value); }
PyObject* economy_value(const std::optional<double>& value) { return to_python(value); }
PyObject* economy_value(const std::array<double, 4>& values) { return list_of(values); }
PyObject* economy_value(CyclePhase phase) { return to_python(name_of(phase)); }

PyObject* central_bank_dict(const CentralBank& bank) {
    return DictBuilder()
        .add("last_meeting_date", bank.last_meeting_date)
        .add("next_meeting_date", bank.next_meeting_date)
        .add("target_inflation", bank.target_inflation)
        .add("target_unemployment", bank.target_unemployment)
        .add("qe_active", bank.qe_active)
        .add("qe_monthly_purchases", bank.qe_monthly_purchases)
        .add("hawkish_dovish_score", bank.hawkish_dovish_score)
        .add("forward_guidance", name_of(bank.forward_guidance))
        .finish();
}

PyObject* economy_dict(const EngineState& state) {
    DictBuilder dict;
    visit_fields(state.economy, [&dict](const char* name, const auto& field) {
        dict.add_object(name, economy_value(field));
    });
    return dict.add_object("central_bank", central_bank_dict(state.central_bank))
        .add("day_count", state.day_count)
        .finish();
}

PyObject* rng_list(const RngState& records) {
    std::vector<double> numbers;
    for (const GameRng::Record& record : records) {
        numbers.push_back(bits_as_double(record.state));
        numbers.push_back(bits_as_double(record.increment));
        numbers.push_back(record.spare.value_or(std::numeric_limits<double>::quiet_NaN()));
    }
    return list_of(numbers);
}

// ---- Reading ----

// The value under `key`, owned, so that a caller's conversion hook that
// edits the dict cannot free it under us; null (no error) when absent.
Ref item(PyObject* dict, const char* key) { return Ref::borrow(PyDict_GetItemString(dict, key)); }

bool require_dict(PyObject* value, const char* what) {
    if (PyDict_Check(value)) return true;
    wrong_type(FUNCTION, what, "dict", value);
    return false;
}

bool require_list(PyObject* value, const char* what) {
    if (PyList_Check(value)) return true;
    wrong_type(FUNCTION, what, "list", value);
    return false;
}

// Consecutive little-endian binary64 values; a trailing remainder of fewer
// than eight bytes is ignored.
bool f64s(PyObject* value, const char* what, std::vector<double>& out) {
    if (!PyBytes_Check(value)) {
        wrong_type(FUNCTION, what, "bytes", value);
        return false;
    }
    const char* data = PyBytes_AsString(value);
    auto size = static_cast<std::size_t>(PyBytes_Size(value));
    out.resize(size / 8);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint64_t bits = 0;
        for (int k = 7; k >= 0; --k) {
            bits =
                (bits << 8) | static_cast<unsigned char>(data[8 * i + static_cast<std::size_t>(k)]);
        }
        out[i] = bits_as_double(bits);
    }
    return true;
}

bool numbers(PyObject* list, const char* what, std::vector<double>& out) {
    Ref items = sequence_items(list, FUNCTION, what, "list", Accepts::list);
    out.clear();
    return items && for_each_item(items, [&](std::size_t, PyObject* element) {
               double value = 0.0;
               if (!from_python(element, FUNCTION, what, value)) return false;
               out.push_back(value);
               return true;
           });
}

bool strings(PyObject* list, std::vector<std::string>& out) {
    if (!PyList_Check(list)) return false;
    Py_ssize_t count = PyList_Size(list);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* element = PyList_GetItem(list, i);
        if (!PyUnicode_Check(element)) return false;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(element, &size);
        if (!utf8) {
            PyErr_Clear();
            return false;
        }
        out.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    return true;
}

// An optional key converted into `out` as its type says.
template <class T>
bool optional_key(PyObject* dict, const char* key, std::optional<T>& out) {
    Ref value = item(dict, key);
    if (!value) return true;
    T converted{};
    if constexpr (std::is_same_v<T, bool>) {
        if (!PyBool_Check(value.get())) {
            wrong_type(FUNCTION, key, "bool", value.get());
            return false;
        }
        converted = value.get() == Py_True;
    } else if (!from_python(value.get(), FUNCTION, key, converted)) {
        return false;
    }
    out = converted;
    return true;
}

// Economy fields: present ones overwrite, absent ones keep the engine's.
bool economy_field(PyObject* value, const char* name, double& field) {
    return from_python(value, FUNCTION, name, field);
}
bool economy_field(PyObject* value, const char* name, std::uint64_t& field) {
    return from_python(value, FUNCTION, name, field);
}
bool economy_field(PyObject* value, const char* name, std::optional<double>& field) {
    return from_python(value, FUNCTION, name, field);
}
bool economy_field(PyObject* value, const char* name, std::array<double, 4>& field) {
    std::vector<double> trend;
    if (!numbers(value, name, trend)) return false;
    if (!unwrap(state_checks::gdp_trend_count(trend.size()))) return false;
    std::copy(trend.begin(), trend.end(), field.begin());
    return true;
}
bool economy_field(PyObject* value, const char* name, CyclePhase& field) {
    std::string_view text;
    if (!from_python(value, FUNCTION, name, text)) return false;
    std::optional<CyclePhase> phase = cycle_phase_from_name(text);
    if (!phase) {
        raise_validation(text::message("unknown cycle phase ", text::quoted(text)));
        return false;
    }
    field = *phase;
    return true;
}
bool economy_field(PyObject* value, const char* name, ForwardGuidance& field) {
    std::string_view text;
    if (!from_python(value, FUNCTION, name, text)) return false;
    std::optional<ForwardGuidance> guidance = forward_guidance_from_name(text);
    if (!guidance) {
        raise_validation(text::message("unknown forward guidance ", text::quoted(text)));
        return false;
    }
    field = *guidance;
    return true;
}
bool economy_field(PyObject* value, const char* name, bool& field) {
    if (!PyBool_Check(value)) {
        wrong_type(FUNCTION, name, "bool", value);
        return false;
    }
    field = value == Py_True;
    return true;
}

bool read_economy(PyObject* economy, StatePatch& patch) {
    if (!require_dict(economy, "economy")) return false;
    bool ok = true;
    visit_fields(patch.economy, [&](const char* name, auto& field) {
        if (!ok) return;
        if (Ref value = item(economy, name)) ok = economy_field(value.get(), name, field);
    });
    if (!ok) return false;
    if (Ref bank_ref = item(economy, "central_bank")) {
        PyObject* bank = bank_ref.get();
        if (!require_dict(bank, "central_bank")) return false;
        CentralBank& b = patch.central_bank;
        auto field = [&](const char* name, auto& out) {
            Ref value = item(bank, name);
            return !value || economy_field(value.get(), name, out);
        };
        if (!field("last_meeting_date", b.last_meeting_date) ||
            !field("next_meeting_date", b.next_meeting_date) ||
            !field("target_inflation", b.target_inflation) ||
            !field("target_unemployment", b.target_unemployment) ||
            !field("qe_active", b.qe_active) ||
            !field("qe_monthly_purchases", b.qe_monthly_purchases) ||
            !field("hawkish_dovish_score", b.hawkish_dovish_score) ||
            !field("forward_guidance", b.forward_guidance)) {
            return false;
        }
    }
    return optional_key(economy, "day_count", patch.day_count);
}

bool read_rng(PyObject* snapshot, StatePatch& patch) {
    Ref rng = item(snapshot, "rng");
    if (!rng) return raise_validation("snapshot has no 'rng'") != nullptr;
    if (!require_list(rng.get(), "rng")) return false;
    if (!unwrap(state_checks::rng_count(static_cast<std::size_t>(PyList_Size(rng.get()))))) {
        return false;
    }
    std::vector<double> values;
    if (!numbers(rng.get(), "rng", values)) return false;
    for (std::size_t i = 0; i + 2 < values.size(); i += 3) {
        GameRng::Record record;
        record.state = double_bits(values[i]);
        record.increment = double_bits(values[i + 1]);
        if (!std::isnan(values[i + 2])) record.spare = values[i + 2];
        patch.rng.push_back(record);
    }
    return true;
}

bool read_columns(PyObject* snapshot, const Engine& engine, StatePatch& patch) {
    Ref columns = item(snapshot, "columns");
    if (!columns) return raise_validation("snapshot has no 'columns'") != nullptr;
    if (!require_dict(columns.get(), "columns")) return false;
    for (std::size_t k = 0; k < PRICE_FIELD_COUNT; ++k) {
        std::string name(COLUMN_FIELDS[k]);
        Ref value = item(columns.get(), name.c_str());
        if (!value) {
            raise_validation(text::message("snapshot is missing column ", text::quoted(name)));
            return false;
        }
        if (!f64s(value.get(), name.c_str(), patch.columns[k])) return false;
        if (!unwrap(engine.check_column_length(patch.columns[k].size()))) return false;
    }
    return true;
}

bool read_day_state(PyObject* snapshot, const Engine& engine, StatePatch& patch) {
    const std::size_t n = engine.size();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Part {
        const char* key;
        std::vector<double>& out;
        std::vector<double> fallback;
    };
    Part parts[] = {
        {"attribution", patch.attribution, std::vector<double>(ATTRIBUTION_SLOTS * n, 0.0)},
        {"tick_components", patch.tick_components, std::vector<double>(TICK_COMPONENTS * n, 0.0)},
        {"tick_fundamental", patch.tick_fundamental, std::vector<double>(n, nan)},
        {"tick_anchor", patch.tick_anchor, std::vector<double>(n, nan)},
    };
    for (Part& part : parts) {
        Ref value = item(snapshot, part.key);
        if (!value) {
            part.out = std::move(part.fallback);
        } else if (!f64s(value.get(), part.key, part.out)) {
            return false;
        }
    }
    return unwrap(engine.check_day_state(patch.attribution.size(), patch.tick_components.size(),
                                         patch.tick_fundamental.size(), patch.tick_anchor.size()));
}

bool read_news(PyObject* list, std::vector<NewsEvent>& out) {
    Ref entries = sequence_items(list, FUNCTION, "pending_news", "list", Accepts::list);
    return entries && for_each_item(entries, [&out](std::size_t, PyObject* entry) {
               if (!require_dict(entry, "pending_news")) return false;
               NewsEvent event;
               auto field = [entry](const char* name, auto& out_field) {
                   Ref value = item(entry, name);
                   return !value || from_python(value.get(), FUNCTION, name, out_field);
               };
               if (!field("ticker", event.ticker) || !field("sector", event.sector) ||
                   !field("price_impact", event.price_impact)) {
                   return false;
               }
               out.push_back(std::move(event));
               return true;
           });
}

// What a snapshot holds beyond its basic form; each part is optional.
bool read_continuation(PyObject* snapshot, StatePatch& patch) {
    if (!optional_key(snapshot, "day_number", patch.day_number) ||
        !optional_key(snapshot, "universe_stress", patch.universe_stress)) {
        return false;
    }
    if (Ref news = item(snapshot, "pending_news")) {
        patch.pending_news.emplace();
        if (!read_news(news.get(), *patch.pending_news)) return false;
    }
    if (Ref states = item(snapshot, "instrument_volume_states")) {
        patch.instrument_volume_states.emplace();
        if (!f64s(states.get(), "instrument_volume_states", *patch.instrument_volume_states)) {
            return false;
        }
    }
    if (Ref states = item(snapshot, "long_memory_states")) {
        patch.long_memory_states.emplace();
        if (!f64s(states.get(), "long_memory_states", *patch.long_memory_states)) return false;
    }
    if (Ref draws = item(snapshot, "draws")) {
        if (!require_dict(draws.get(), "draws")) return false;
        DrawCounters counters;
        for (auto [name, out] :
             {std::pair{"market", &counters.market}, std::pair{"economy", &counters.economy},
              std::pair{"external", &counters.external}}) {
            Ref value = item(draws.get(), name);
            if (!value) {
                raise_validation(text::message("draws has no ", text::quoted(name)));
                return false;
            }
            if (!from_python(value.get(), FUNCTION, name, *out)) return false;
        }
        patch.draws = counters;
    }
    return true;
}

// "clock": None while no day is open, else [hour, minute, day_of_week]
// with the minute and weekday in range and the hour not negative.
bool read_clock(PyObject* snapshot, bool day_open, StatePatch& patch) {
    Ref value = item(snapshot, "clock");
    if (!value) return true;
    patch.clock_given = true;
    std::vector<std::int64_t> parts;
    bool shaped = value.get() == Py_None;
    if (!shaped && PyList_Check(value.get()) && PyList_Size(value.get()) == 3) {
        for (Py_ssize_t i = 0; i < 3; ++i) {
            std::int64_t part = 0;
            if (!from_python(PyList_GetItem(value.get(), i), FUNCTION, "clock", part)) {
                return false;
            }
            parts.push_back(part);
        }
        shaped = parts[0] >= 0 && parts[1] >= 0 && parts[1] < 60 && parts[2] >= 0 && parts[2] < 7;
    }
    if (shaped && parts.empty() == !day_open) {
        if (!parts.empty()) patch.clock = TimeOfDay{parts[0], parts[1], parts[2]};
        return true;
    }
    Ref shown = Ref::steal(PyObject_Repr(value.get()));
    const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), nullptr) : nullptr;
    if (!text) return false;
    raise_validation(text::message(
        "clock must be [hour, minute, day_of_week] (minute 0 to 59, day_of_week 0 to 6) while "
        "the market is open and None while it is closed; got ",
        text, " with market_open ", day_open ? "True" : "False"));
    return false;
}

}  // namespace

PyObject* state_dict(const EngineState& state) {
    DictBuilder columns;
    for (std::size_t k = 0; k < PRICE_FIELD_COUNT; ++k) {
        std::string name(COLUMN_FIELDS[k]);
        columns.add_object(name.c_str(), f64_bytes(state.columns[k]));
    }
    DrawCounters draws = state.draws;
    DictBuilder out;
    out.add_object("columns", columns.finish())
        .add_object("rng", rng_list(state.rng))
        // "tickers" is the key snapshots have always had; it holds company ids.
        .add_object("tickers", list_of(state.company_ids))
        .add("model_fingerprint", state.model_fingerprint)
        .add_object("attribution", f64_bytes(state.attribution))
        .add_object("tick_components", f64_bytes(state.tick_components))
        .add_object("tick_fundamental", f64_bytes(state.tick_fundamental))
        .add_object("tick_anchor", f64_bytes(state.tick_anchor))
        .add("market_open", state.market_open)
        .add_object("market_variance", list_of(state.market_variance))
        .add("volume_state", state.volume_state)
        .add_object("economy", economy_dict(state))
        .add("day_number", state.day_number)
        .add_object("pending_news", news_list(state.pending_news))
        .add("universe_stress", state.universe_stress)
        .add_object("instrument_volume_states", f64_bytes(state.instrument_volume_states))
        .add_object("draws", DictBuilder()
                                 .add("market", draws.market)
                                 .add("economy", draws.economy)
                                 .add("external", draws.external)
                                 .finish())
        .add_object("clock", state.clock
                                 ? list_of(std::array{state.clock->hour, state.clock->minute,
                                                      state.clock->day_of_week})
                                 : Py_NewRef(Py_None));
    // Only a model with the long-memory option has these.
    if (!state.long_memory_states.empty()) {
        out.add_object("long_memory_states", f64_bytes(state.long_memory_states));
    }
    return out.finish();
}

std::optional<StatePatch> state_patch(PyObject* snapshot, const Simulation& simulation) {
    const Engine& engine = simulation.engine();
    if (!require_dict(snapshot, "snapshot")) return std::nullopt;
    StatePatch patch;
    patch.economy = engine.economy();
    patch.central_bank = engine.central_bank();

    Ref company_ids = item(snapshot, "tickers");
    if (!company_ids) return raise_validation("snapshot has no 'tickers'"), std::nullopt;
    std::vector<std::string> ids;
    // What is not a list of strings matches no roster: one entry too many.
    if (!strings(company_ids.get(), ids)) ids.assign(engine.size() + 1, std::string());
    if (!unwrap(state_checks::roster(ids, engine))) return std::nullopt;

    if (Ref fingerprint = item(snapshot, "model_fingerprint")) {
        std::string saved;
        if (!from_python(fingerprint.get(), FUNCTION, "model_fingerprint", saved)) {
            return std::nullopt;
        }
        if (!unwrap(state_checks::model(saved, engine))) return std::nullopt;
    }
    if (!read_columns(snapshot, engine, patch) || !read_rng(snapshot, patch) ||
        !read_day_state(snapshot, engine, patch) ||
        !optional_key(snapshot, "market_open", patch.market_open) ||
        !optional_key(snapshot, "volume_state", patch.volume_state)) {
        return std::nullopt;
    }
    if (Ref variance = item(snapshot, "market_variance")) {
        if (!require_list(variance.get(), "market_variance")) return std::nullopt;
        std::size_t count = static_cast<std::size_t>(PyList_Size(variance.get()));
        if (!unwrap(state_checks::market_variance_count(count)) ||
            !numbers(variance.get(), "market_variance", patch.market_variance)) {
            return std::nullopt;
        }
    }
    if (Ref economy = item(snapshot, "economy")) {
        if (!read_economy(economy.get(), patch)) return std::nullopt;
    }
    if (!read_continuation(snapshot, patch) ||
        !read_clock(snapshot, patch.market_open.value_or(simulation.day_open()), patch) ||
        !unwrap(simulation.check_restore(patch))) {
        return std::nullopt;
    }
    return patch;
}

}  // namespace corvane::py
