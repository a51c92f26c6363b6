#include "core/engine_state.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/sectors.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

// Feeds values to the hash in one canonical byte form: numbers big-endian,
// texts and sequences with their length first, optionals with a presence
// byte, each part behind its name.
class StateHasher {
public:
    void part(std::string_view name) {
        hash_.update(name);
        hash_.update(static_cast<unsigned char>(0));
    }
    void add(double value) { hash_.update_big_endian(value); }
    void add(std::uint64_t value) {
        for (int shift = 56; shift >= 0; shift -= 8) {
            hash_.update(static_cast<unsigned char>((value >> shift) & 0xFF));
        }
    }
    void add(std::uint32_t value) { add(static_cast<std::uint64_t>(value)); }
    void add(bool value) { hash_.update(static_cast<unsigned char>(value ? 1 : 0)); }
    void add(std::string_view text) {
        add(static_cast<std::uint64_t>(text.size()));
        hash_.update(text);
    }
    void add(const std::string& text) { add(std::string_view(text)); }
    template <class T>
    void add(const std::optional<T>& value) {
        add(value.has_value());
        if (value) add(*value);
    }
    template <class T, std::size_t N>
    void add(const std::array<T, N>& values) {
        for (const T& value : values) add(value);
    }
    template <class T>
    void add(const std::vector<T>& values) {
        add(static_cast<std::uint64_t>(values.size()));
        for (const T& value : values) add(value);
    }
    void add(CyclePhase phase) { add(name_of(phase)); }
    void add(ForwardGuidance guidance) { add(name_of(guidance)); }
    void add(const GameRng::Record& record) {
        add(record.state);
        add(record.increment);
        add(record.spare);
    }
    void add(const NewsEvent& event) {
        add(event.ticker);
        add(event.sector);
        add(event.price_impact);
    }

    // A named part holding `values` in order.
    template <class... T>
    void field(std::string_view name, const T&... values) {
        part(name);
        (add(values), ...);
    }

    std::string finish() { return hash_.finish_hex(); }

private:
    Sha256 hash_;
};

}  // namespace

std::string state_digest(const EngineState& state) {
    StateHasher hasher;
    hasher.part("columns");
    for (std::size_t k = 0; k < PRICE_FIELD_COUNT; ++k) {
        hasher.add(COLUMN_FIELDS[k]);
        hasher.add(state.columns[k]);
    }
    hasher.field("rng", state.rng);
    // The part keeps the snapshot key's name; what it holds are company ids.
    hasher.field("tickers", state.company_ids);
    hasher.field("model_fingerprint", state.model_fingerprint);
    hasher.field("attribution", state.attribution);
    hasher.field("tick_components", state.tick_components);
    hasher.field("tick_fundamental", state.tick_fundamental);
    hasher.field("tick_anchor", state.tick_anchor);
    hasher.field("market_open", state.market_open);
    hasher.field("market_variance", state.market_variance);
    hasher.field("volume_state", state.volume_state);
    hasher.part("economy");
    visit_fields(state.economy, [&hasher](std::string_view name, const auto& value) {
        hasher.add(name);
        hasher.add(value);
    });
    const CentralBank& bank = state.central_bank;
    hasher.field("central_bank", bank.last_meeting_date, bank.next_meeting_date,
                 bank.target_inflation, bank.target_unemployment, bank.qe_active,
                 bank.qe_monthly_purchases, bank.hawkish_dovish_score, bank.forward_guidance);
    hasher.field("day_count", state.day_count);
    hasher.field("day_number", state.day_number);
    hasher.field("pending_news", state.pending_news);
    hasher.field("universe_stress", state.universe_stress);
    hasher.field("instrument_volume_states", state.instrument_volume_states);
    if (!state.long_memory_states.empty()) {
        hasher.field("long_memory_states", state.long_memory_states);
    }
    hasher.field("draws", state.draws.market, state.draws.economy, state.draws.external);
    return hasher.finish();
}

namespace state_checks {

Status roster(const std::vector<std::string>& saved, const Engine& engine) {
    const std::vector<CompanyDetails>& records = engine.roster();
    bool same = saved.size() == records.size();
    for (std::size_t i = 0; same && i < saved.size(); ++i) {
        same = saved[i] == records[i].company_id;
    }
    if (same) return Status::success();
    // The two runs of spaces are part of the message callers match on.
    return Error{
        "snapshot roster does not match this engine. Columns are                  positional, "
        "so restoring across rosters would attach every                  value to the wrong "
        "instrument."};
}

Status model(const std::string& saved_fingerprint, const Engine& engine) {
    std::string own = engine.model().fingerprint();
    if (saved_fingerprint == own) return Status::success();
    return Error{text::message(
        "this snapshot was taken under model ", text::quoted(saved_fingerprint),
        " and this engine runs ", text::quoted(own),
        ". Restoring across models would continue the frozen market under coefficients it was "
        "never priced with; build the engine with the snapshot's model instead.")};
}

Status rng_count(std::size_t count) {
    if (count == 3) {
        return Error{
            "this snapshot predates the RNG stream split (3 rng numbers, expected 9). It froze a "
            "single-stream market that this version cannot continue bit-exactly; re-run it "
            "under the version that wrote it, or re-simulate from the seed."};
    }
    if (count % 3 == 0 && count >= 9 && count <= 3 * STREAM_COUNT) return Status::success();
    return Error{text::message(
        "rng must be 9 numbers (market, economy, external), 12 (plus jumps), 15 (plus volume), "
        "18 (plus news) or 21 (plus per-name volume), as (state, increment, spare) triples, got ",
        count)};
}

Status market_variance_count(std::size_t count) {
    if (count == 2 || count == 4) return Status::success();
    return Error{text::message(
        "market_variance must be [variance, day_factor], or that plus the two component "
        "levels, got ",
        count, " values")};
}

Status gdp_trend_count(std::size_t count) {
    if (count == 4) return Status::success();
    return Error{text::message("gdp_trend must be 4 numbers, got ", count)};
}

double price_ceiling(const ModelParams& model, double highest_initial_price) {
    double band = std::max(1.0, model.breaker_band_upper);
    return std::max(model.price_hard_cap, highest_initial_price) * band * band;
}

namespace {

Error not_finite(std::string_view key, std::size_t at, double value) {
    return Error{text::message(key, " holds ", text::number(value), " at position ", at,
                               "; the engine writes only finite values there")};
}

Error not_finite(std::string_view key, double value) {
    return Error{text::message(key, " is ", text::number(value),
                               "; the engine writes only finite values there")};
}

// Every value finite, or NaN too when `absent_allowed`.
Status finite(std::string_view key, std::span<const double> values, bool absent_allowed) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        double value = values[i];
        if (std::isfinite(value) || (absent_allowed && std::isnan(value))) continue;
        return not_finite(key, i, value);
    }
    return Status::success();
}

// The long-memory components: none without the option, else one set per
// instrument (a listing since the last close may still lack its own), each
// finite and within the bound the close keeps them to.
Status long_memory(const std::vector<double>& states, const Engine& engine) {
    constexpr std::size_t K = LONG_MEMORY_COMPONENTS;
    double sigma = engine.model().long_memory_sigma;
    std::size_t count = states.size();
    if (sigma == 0.0 && count != 0) {
        return Error{text::message("long_memory_states has ", count,
                                   " values, but the model's long-memory option is off")};
    }
    if (count % K != 0 || count > engine.size() * K) {
        return Error{text::message("long_memory_states has ", count, " values, expected ",
                                   engine.size() * K, " (", K, " per instrument)")};
    }
    if (Status valid = finite("long_memory_states", states, false); !valid) return valid;
    double limit = LONG_MEMORY_LIMIT * sigma;
    for (std::size_t i = 0; i < count; ++i) {
        if (std::fabs(states[i]) <= limit) continue;
        return Error{text::message("long_memory_states[", i, "] is ", text::number(states[i]),
                                   ", beyond ", text::number(LONG_MEMORY_LIMIT),
                                   " x long_memory_sigma; no run reaches it")};
    }
    return Status::success();
}

// The columns an absent value reads from as NaN.
bool may_be_absent(PriceField field) {
    switch (field) {
        case PriceField::mispricing_s:
        case PriceField::maker_inventory:
        case PriceField::previous_tick_price:
        case PriceField::mispricing_s_prev_close:
        case PriceField::mispricing_momentum:
        case PriceField::last_daily_return:
        case PriceField::beta: return true;
        default: return false;
    }
}

bool is_price(PriceField field) {
    switch (field) {
        case PriceField::price:
        case PriceField::previous_close:
        case PriceField::previous_tick_price:
        case PriceField::open:
        case PriceField::high:
        case PriceField::low: return true;
        default: return false;
    }
}

Status columns(const StatePatch& patch, double ceiling) {
    static_assert(COLUMN_FIELDS[0] == "price");
    // An instrument without a price keeps NaN wherever it has one.
    const std::vector<double>& prices = patch.columns[0];
    for (std::size_t k = 0; k < PRICE_FIELD_COUNT; ++k) {
        PriceField field = *price_field_from_name(COLUMN_FIELDS[k]);
        std::string key = text::message("column ", text::quoted(COLUMN_FIELDS[k]));
        const std::vector<double>& column = patch.columns[k];
        for (std::size_t i = 0; i < column.size(); ++i) {
            double value = column[i];
            bool absent = std::isnan(value) &&
                          (may_be_absent(field) || (i < prices.size() && std::isnan(prices[i])));
            if (!std::isfinite(value) && !absent) return not_finite(key, i, value);
            if (is_price(field) && value > ceiling) {
                return Error{text::message(key, " holds ", text::number(value), " at position ", i,
                                           ", above the highest price this model prints here (",
                                           text::number(ceiling), ")")};
            }
        }
    }
    return Status::success();
}

Status economy(const StatePatch& patch) {
    Status status = Status::success();
    auto check = [&status](std::string_view name, const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if (!status) return;
        if constexpr (std::is_same_v<T, double>) {
            if (!std::isfinite(value)) status = not_finite(name, value);
        } else if constexpr (std::is_same_v<T, std::optional<double>>) {
            if (value && !std::isfinite(*value)) status = not_finite(name, *value);
        } else if constexpr (std::is_same_v<T, std::array<double, 4>>) {
            status = finite(name, value, false);
        }
    };
    visit_fields(patch.economy, check);
    const CentralBank& bank = patch.central_bank;
    check("target_inflation", bank.target_inflation);
    check("target_unemployment", bank.target_unemployment);
    check("qe_monthly_purchases", bank.qe_monthly_purchases);
    check("hawkish_dovish_score", bank.hawkish_dovish_score);
    return status;
}

Status news(const std::vector<NewsEvent>& pending, const Engine& engine,
            std::span<const std::string> delisted) {
    for (std::size_t i = 0; i < pending.size(); ++i) {
        const NewsEvent& event = pending[i];
        std::string key = text::message("pending_news[", i, "]");
        if (event.ticker) {
            auto named = [&event](const std::string& id) { return id == *event.ticker; };
            const auto& roster = engine.roster();
            bool known =
                std::any_of(roster.begin(), roster.end(),
                            [&named](const CompanyDetails& c) { return named(c.company_id); }) ||
                std::any_of(delisted.begin(), delisted.end(), named);
            if (!known) {
                return Error{text::message(key, " names company ", text::quoted(*event.ticker),
                                           ", which this engine never held")};
            }
        }
        if (event.sector && !sectors::by_key(*event.sector)) {
            return Error{text::message(key, " names sector ", text::quoted(*event.sector),
                                       ", which does not exist")};
        }
        if (event.price_impact && !std::isfinite(*event.price_impact)) {
            return Error{text::message(key, " has price_impact ", text::number(*event.price_impact),
                                       "; an impact is a finite number")};
        }
    }
    return Status::success();
}

}  // namespace

Status values(const StatePatch& patch, const Engine& engine, const Bounds& bounds) {
    if (Status valid = columns(patch, bounds.price_ceiling); !valid) return valid;
    const std::pair<const char*, std::span<const double>> finite_parts[] = {
        {"attribution", patch.attribution},
        {"tick_components", patch.tick_components},
        {"market_variance", patch.market_variance},
    };
    for (auto [key, part] : finite_parts) {
        if (Status valid = finite(key, part, false); !valid) return valid;
    }
    // NaN until the instrument's first tick of the day.
    for (auto [key, part] : {std::pair{"tick_fundamental", std::span(patch.tick_fundamental)},
                             std::pair{"tick_anchor", std::span(patch.tick_anchor)}}) {
        if (Status valid = finite(key, part, true); !valid) return valid;
    }
    for (auto [key, value] : {std::pair{"volume_state", patch.volume_state},
                              std::pair{"universe_stress", patch.universe_stress}}) {
        if (value && !std::isfinite(*value)) return not_finite(key, *value);
    }
    if (Status valid = economy(patch); !valid) return valid;
    if (patch.pending_news) {
        if (Status valid = news(*patch.pending_news, engine, bounds.delisted_ids); !valid) {
            return valid;
        }
    }
    if (const auto& states = patch.instrument_volume_states) {
        // Sized to the roster at construction; list and delist leave it be.
        std::size_t count = states->size();
        if (count != engine.size() && count != engine.instrument_volume_states().size()) {
            return Error{text::message("instrument_volume_states has ", count, " values, expected ",
                                       engine.size())};
        }
        if (Status valid = finite("instrument_volume_states", *states, false); !valid) {
            return valid;
        }
    }
    if (const auto& states = patch.long_memory_states) {
        if (Status valid = long_memory(*states, engine); !valid) return valid;
    }
    if (patch.draws) {
        constexpr std::uint64_t LIMIT = std::uint64_t{1} << 63;
        for (auto [name, count] :
             {std::pair{"market", patch.draws->market}, std::pair{"economy", patch.draws->economy},
              std::pair{"external", patch.draws->external}}) {
            if (count < LIMIT) continue;
            return Error{text::message("draws ", text::quoted(name), " is ", count,
                                       ", at or above 2**63; no run draws that many")};
        }
    }
    return Status::success();
}

}  // namespace state_checks

}  // namespace corvane
