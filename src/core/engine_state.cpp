#include "core/engine_state.hpp"

#include <type_traits>

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
    hasher.part("rng");
    hasher.add(state.rng);
    // The part keeps the snapshot key's name; what it holds are company ids.
    hasher.part("tickers");
    hasher.add(state.company_ids);
    hasher.part("model_fingerprint");
    hasher.add(state.model_fingerprint);
    hasher.part("attribution");
    hasher.add(state.attribution);
    hasher.part("tick_components");
    hasher.add(state.tick_components);
    hasher.part("tick_fundamental");
    hasher.add(state.tick_fundamental);
    hasher.part("tick_anchor");
    hasher.add(state.tick_anchor);
    hasher.part("market_open");
    hasher.add(state.market_open);
    hasher.part("market_variance");
    hasher.add(state.market_variance);
    hasher.part("volume_state");
    hasher.add(state.volume_state);
    hasher.part("economy");
    visit_fields(state.economy, [&hasher](std::string_view name, const auto& value) {
        hasher.add(name);
        hasher.add(value);
    });
    const CentralBank& bank = state.central_bank;
    hasher.part("central_bank");
    hasher.add(bank.last_meeting_date);
    hasher.add(bank.next_meeting_date);
    hasher.add(bank.target_inflation);
    hasher.add(bank.target_unemployment);
    hasher.add(bank.qe_active);
    hasher.add(bank.qe_monthly_purchases);
    hasher.add(bank.hawkish_dovish_score);
    hasher.add(bank.forward_guidance);
    hasher.part("day_count");
    hasher.add(state.day_count);
    hasher.part("day_number");
    hasher.add(state.day_number);
    hasher.part("pending_news");
    hasher.add(state.pending_news);
    hasher.part("universe_stress");
    hasher.add(state.universe_stress);
    hasher.part("instrument_volume_states");
    hasher.add(state.instrument_volume_states);
    hasher.part("draws");
    hasher.add(state.draws.market);
    hasher.add(state.draws.economy);
    hasher.add(state.draws.external);
    return hasher.finish();
}

namespace state_checks {

Status roster(const std::vector<std::string>& saved, const Engine& engine) {
    const std::vector<TickCompany>& records = engine.roster();
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

}  // namespace state_checks

}  // namespace corvane
