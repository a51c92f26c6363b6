#include "core/params.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "core/maths.hpp"
#include "core/sectors.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

// A value a field holds from the previous run's end up to and including
// preset kx-v<through>.
struct Run {
    int through;
    double value;
};

struct Varying {
    double ModelParams::*member;
    std::array<Run, 7> runs;
};

constexpr int PRESET_COUNT = static_cast<int>(SHIPPED_PRESETS.size());

// The fields in which the presets differ, with each one's history across
// them. Every other field holds its kx-v14 value (the record's initialiser)
// in all fourteen.
constexpr Varying VARYING[] = {
    {&ModelParams::market_factor_sigma,
     {{{3, 0.016}, {7, 0.015879388479656826}, {14, 0.008829098749522557}}}},
    {&ModelParams::sector_vix_coupling, {{{6, 0.0}, {10, 0.25}, {14, 1.0}}}},
    {&ModelParams::sector_factor_sigma,
     {{{6, 0.002}, {7, 0.012}, {12, 0.011863939388471967}, {13, 0.01006215}, {14, 0.0099802949}}}},
    {&ModelParams::sector_loading, {{{12, 0.5}, {13, 0.57351027}, {14, 0.58821442}}}},
    {&ModelParams::idio_sigma_scale,
     {{{1, 0.84},
       {6, 0.8146007420925029},
       {7, 0.7331406678832526},
       {10, 0.6525931444846045},
       {12, 0.53},
       {13, 0.5688},
       {14, 0.59604441}}}},
    {&ModelParams::endogenous_news_intensity, {{{10, 0.0}, {14, 0.05}}}},
    {&ModelParams::endogenous_news_sigma,
     {{{10, 0.0}, {12, 0.03}, {13, 0.021}, {14, 0.020360516}}}},
    {&ModelParams::news_peer_weight, {{{10, 0.0}, {14, 0.05}}}},
    {&ModelParams::news_peer_weight_down, {{{10, 0.0}, {14, 0.05}}}},
    {&ModelParams::news_peer_vix_coupling, {{{10, 0.0}, {14, 8.0}}}},
    {&ModelParams::crisis_blend_cap, {{{6, 0.8}, {14, 0.98}}}},
    {&ModelParams::crisis_blend_gain, {{{10, 0.5}, {12, 0.8}, {14, 0.8275881}}}},
    {&ModelParams::crisis_blend_source, {{{6, 0.0}, {14, 1.0}}}},
    {&ModelParams::garch_alpha,
     {{{1, 0.02}, {2, 0.06325721198154774}, {14, 0.059507211981547736}}}},
    {&ModelParams::garch_beta, {{{1, 0.8}, {2, 0.7202713314664563}, {14, 0.6853150814664563}}}},
    {&ModelParams::garch_gamma, {{{1, 0.34}, {2, 0.34313536187800275}, {14, 0.18318536187800277}}}},
    {&ModelParams::garch_vix_coupling, {{{9, 0.0}, {12, 0.3}, {13, 0.0269}, {14, 0.14219611}}}},
    {&ModelParams::market_vol_alpha,
     {{{1, 0.45},
       {2, 0.471269662689196},
       {7, 0.46779624669755665},
       {12, 0.2983752950979363},
       {13, 0.300730582},
       {14, 0.28035004}}}},
    {&ModelParams::market_vol_beta,
     {{{1, 0.5},
       {2, 0.525132121878571},
       {7, 0.5212617214385166},
       {12, 0.6647431226131493},
       {13, 0.66999041},
       {14, 0.69244622}}}},
    {&ModelParams::market_vol_ceiling_multiple, {{{6, 8.0}, {9, 16.0}, {14, 32.0}}}},
    {&ModelParams::market_vol_vix_coupling,
     {{{1, 1.0}, {2, 0.9821748202999738}, {14, 0.9540498202999739}}}},
    {&ModelParams::market_vol_vix_anchor, {{{12, 15.0}, {14, 15.98426471}}}},
    {&ModelParams::volume_variance_gain, {{{3, 0.0}, {14, 0.028403829887593345}}}},
    {&ModelParams::volume_move_cap, {{{11, 4.0}, {14, 12.0}}}},
    {&ModelParams::jump_intensity_market,
     {{{3, 0.0}, {7, 0.086555921159823}, {12, 0.07195215610657195}, {14, 0.0565753337}}}},
    {&ModelParams::jump_mean_market, {{{3, 0.0}, {14, -0.008521833617959641}}}},
    {&ModelParams::jump_sigma_market,
     {{{3, 0.0}, {7, 0.0023793153879054386}, {14, 0.0028601822465565054}}}},
    {&ModelParams::jump_intensity_idio,
     {{{3, 0.0}, {10, 0.02271987289851697}, {12, 0.018175898318813576}, {14, 0.0068895346}}}},
    {&ModelParams::jump_sigma_idio,
     {{{3, 0.0}, {12, 0.062369653817277396}, {13, 0.08369236}, {14, 0.08745117}}}},
    {&ModelParams::jump_vix_coupling, {{{12, 0.0}, {14, 0.2626}}}},
    {&ModelParams::jump_momentum_share, {{{4, 1.0}, {14, 0.0}}}},
    {&ModelParams::volume_persistence, {{{3, 0.0}, {9, 0.07231783926786545}, {14, 0.7}}}},
    {&ModelParams::volume_innovation_sigma, {{{3, 0.0}, {9, 0.1504517786623244}, {14, 0.21}}}},
    {&ModelParams::vix_return_source, {{{8, 0.0}, {14, 1.0}}}},
    {&ModelParams::vix_cycle_amplitude, {{{8, 1.0}, {9, 0.6}, {14, 0.0}}}},
    {&ModelParams::vix_return_gain, {{{8, 25.0}, {14, 17.0}}}},
    {&ModelParams::vix_return_gain_up, {{{8, 10.0}, {14, 17.0}}}},
    {&ModelParams::vix_return_clamp, {{{8, 0.03}, {14, 15.0}}}},
    {&ModelParams::vix_target_shock_cap, {{{8, 12.0}, {14, 45.0}}}},
    {&ModelParams::crisis_vix_threshold, {{{12, 25.5}, {14, 30.88325108}}}},
    {&ModelParams::momentum_theta,
     {{{1, 0.25},
       {2, 0.0625},
       {5, 0.07420624999999997},
       {8, 0.03710312499999999},
       {14, 0.018551562499999993}}}},
};

constexpr std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Runs must ascend and end at the last preset, and their final value must be
// the record's own initialiser: the two places kx-v14 is written must agree.
constexpr bool varying_table_is_consistent() {
    const ModelParams defaults{};
    for (std::size_t i = 0; i < std::size(VARYING); ++i) {
        const Varying& field = VARYING[i];
        for (std::size_t j = 0; j < i; ++j) {
            if (VARYING[j].member == field.member) return false;
        }
        int previous = 0;
        std::size_t run = 0;
        for (; run < field.runs.size() && field.runs[run].through != 0; ++run) {
            if (field.runs[run].through <= previous) return false;
            if (run > 0 && bits(field.runs[run].value) == bits(field.runs[run - 1].value)) {
                return false;
            }
            previous = field.runs[run].through;
        }
        if (previous != PRESET_COUNT || run < 2) return false;
        if (bits(field.runs[run - 1].value) != bits(defaults.*field.member)) return false;
    }
    return true;
}
static_assert(std::size(VARYING) == 41);
static_assert(varying_table_is_consistent());

constexpr std::array<ModelParams, SHIPPED_PRESETS.size()> build_presets() {
    std::array<ModelParams, SHIPPED_PRESETS.size()> presets{};
    for (const Varying& field : VARYING) {
        std::size_t run = 0;
        for (int number = 1; number <= PRESET_COUNT; ++number) {
            while (field.runs[run].through < number) ++run;
            presets[static_cast<std::size_t>(number - 1)].*field.member = field.runs[run].value;
        }
    }
    return presets;
}

constexpr std::array<ModelParams, SHIPPED_PRESETS.size()> PRESETS = build_presets();

// The recorded derived bits and band multipliers hold in every preset.
constexpr bool presets_keep_derived_fields() {
    for (const ModelParams& p : PRESETS) {
        if (p.mispricing_half_life_days != 60.0) return false;
        if (p.breaker_band_upper != 1.0 + p.price_breaker_fraction) return false;
        if (p.breaker_band_lower != 1.0 - p.price_breaker_fraction) return false;
    }
    return true;
}
static_assert(presets_keep_derived_fields());

// The field table lists every member once, in declaration order; with the
// size check in the header that makes it the stored order.
constexpr bool fields_in_stored_order() {
    ModelParams probe{};
    for (std::size_t i = 1; i < MODEL_FIELDS.size(); ++i) {
        if (!(&(probe.*MODEL_FIELDS[i - 1].member) < &(probe.*MODEL_FIELDS[i].member))) {
            return false;
        }
    }
    return true;
}
static_assert(fields_in_stored_order());

struct NamedField {
    std::string_view name;
    const FieldInfo* info;
};

constexpr std::size_t count_of(FieldKind kind) {
    std::size_t count = 0;
    for (const FieldInfo& field : MODEL_FIELDS) count += field.kind == kind ? 1 : 0;
    return count;
}
constexpr std::size_t SETTABLE_COUNT = count_of(FieldKind::settable);
constexpr std::size_t NAMED_COUNT = SETTABLE_COUNT + count_of(FieldKind::derived);
static_assert(SETTABLE_COUNT == 95 && NAMED_COUNT == 97);

// Options added after the presets were fixed. At its off value (the
// record's initialiser) an option is left out of the canonical pairs, so
// every preset and every model written before it keeps its digest.
constexpr std::array<double ModelParams::*, 3> OPTIONS = {&ModelParams::long_memory_sigma,
                                                          &ModelParams::long_memory_horizon,
                                                          &ModelParams::long_memory_leverage};

bool left_out_of_digest(const ModelParams& model, const FieldInfo& field) {
    static constexpr ModelParams OFF{};
    for (double ModelParams::*option : OPTIONS) {
        if (field.member == option) return bits(model.*option) == bits(OFF.*option);
    }
    return false;
}

// The named fields sorted byte-wise (char_traits compares as unsigned bytes),
// for binary search.
constexpr std::array<NamedField, NAMED_COUNT> build_named() {
    std::array<NamedField, NAMED_COUNT> named{};
    std::size_t next = 0;
    for (const FieldInfo& field : MODEL_FIELDS) {
        if (field.kind != FieldKind::hidden) named[next++] = {field.name, &field};
    }
    std::sort(named.begin(), named.end(),
              [](const NamedField& a, const NamedField& b) { return a.name < b.name; });
    return named;
}
constexpr std::array<NamedField, NAMED_COUNT> NAMED = build_named();

constexpr std::array<std::string_view, SETTABLE_COUNT> build_settable() {
    std::array<std::string_view, SETTABLE_COUNT> names{};
    std::size_t next = 0;
    for (const NamedField& field : NAMED) {
        if (field.info->kind == FieldKind::settable) names[next++] = field.name;
    }
    return names;
}
constexpr std::array<std::string_view, SETTABLE_COUNT> SETTABLE = build_settable();

// No name may be both a field and a carried constant, or `get` would hide it.
constexpr bool names_are_distinct() {
    for (std::size_t i = 1; i < NAMED.size(); ++i) {
        if (!(NAMED[i - 1].name < NAMED[i].name)) return false;
    }
    for (const NamedField& field : NAMED) {
        if (field.name.starts_with(SECTOR_DAILY_SIGMA_PREFIX)) return false;
        for (const NamedConstant& carried : CARRIED_READ_ONLY) {
            if (carried.name == field.name) return false;
        }
    }
    return true;
}
static_assert(names_are_distinct());

// The settable names joined by ", ", quoted in every refusal that lists them.
const std::string& settable_surface() {
    static const std::string surface = text::join(SETTABLE);
    return surface;
}

constexpr bool is_finite_bits(double value) {
    constexpr std::uint64_t EXPONENT = 0x7ff0000000000000u;
    return (bits(value) & EXPONENT) != EXPONENT;
}

// Both derived persistences from a half-life: daily, then per tick (the
// product is formed before its reciprocal).
void derive_persistence(ModelParams& model, double half_life) {
    model.mispricing_phi = maths::pow(0.5, 1.0 / half_life);
    model.s_phi_tick = maths::pow(0.5, 1.0 / (half_life * TICKS_PER_DAY));
}

// The digests of the shipped presets, in `SHIPPED_PRESETS` order, computed
// once (thread-safe static initialisation) for fingerprinting.
const std::array<std::string, SHIPPED_PRESETS.size()>& preset_digests() {
    static const std::array<std::string, SHIPPED_PRESETS.size()> digests = [] {
        std::array<std::string, SHIPPED_PRESETS.size()> out;
        for (std::size_t i = 0; i < PRESETS.size(); ++i) out[i] = PRESETS[i].digest();
        return out;
    }();
    return digests;
}

const FieldInfo* named_field(std::string_view name) noexcept {
    auto found = std::lower_bound(
        NAMED.begin(), NAMED.end(), name,
        [](const NamedField& field, std::string_view key) { return field.name < key; });
    if (found == NAMED.end() || found->name != name) return nullptr;
    return found->info;
}

}  // namespace

std::string unknown_preset_message(std::string_view name) {
    return text::message("unknown model preset ", text::quoted(name),
                         ". Shipped presets: ", text::join(SHIPPED_PRESETS));
}

std::optional<ModelParams> ModelParams::preset(std::string_view name) noexcept {
    for (std::size_t i = 0; i < SHIPPED_PRESETS.size(); ++i) {
        if (SHIPPED_PRESETS[i] == name) return PRESETS[i];
    }
    return std::nullopt;
}

std::optional<double> ModelParams::get(std::string_view name) const noexcept {
    if (auto carried = carried_read_only(name)) return carried;
    if (const FieldInfo* field = named_field(name)) return this->*field->member;
    return std::nullopt;
}

std::vector<std::string_view> ModelParams::settable_names() {
    return {SETTABLE.begin(), SETTABLE.end()};
}

std::optional<double> ModelParams::carried_read_only(std::string_view name) noexcept {
    if (name.starts_with(SECTOR_DAILY_SIGMA_PREFIX)) {
        const SectorSpec* sector = sectors::by_key(name.substr(SECTOR_DAILY_SIGMA_PREFIX.size()));
        if (!sector) return std::nullopt;
        return sector->daily_sigma;
    }
    for (const NamedConstant& carried : CARRIED_READ_ONLY) {
        if (carried.name == name) return carried.value;
    }
    return std::nullopt;
}

Result<ModelParams> ModelParams::with_override(std::string_view name, double value) const {
    if (!is_finite_bits(value)) {
        return Error{text::message(name, " must be finite, got ", value)};
    }
    const FieldInfo* field = named_field(name);
    if (field && field->kind == FieldKind::derived) {
        return Error{text::message(
            name,
            " is a derived coefficient carried as recorded bits; it cannot be set directly. "
            "Override mispricing_half_life_days and both are recomputed from it \u2014 "
            "deterministically, but not bit-identically to the recorded constants.")};
    }
    if (carried_read_only(name)) {
        return Error{text::message(
            name,
            " is in the preset but is not yet runtime-settable: it is compile-time in this "
            "build, and accepting an override the engine would ignore would make the "
            "fingerprint a lie. The settable surface is: ",
            settable_surface())};
    }
    if (!field) {
        return Error{text::message("unknown model parameter ", text::quoted(name),
                                   ". The settable surface is: ", settable_surface())};
    }

    ModelParams copy = *this;
    if (field->member == &ModelParams::price_breaker_fraction) {
        if (!(value > -1.0 && value < 1.0)) {
            return Error{text::message(
                "price_breaker_fraction must be inside (-1, 1) for the band to exist, got ",
                value)};
        }
        copy.breaker_band_upper = value + 1.0;
        copy.breaker_band_lower = 1.0 - value;
    } else if (field->member == &ModelParams::mispricing_half_life_days) {
        if (!(value > 0.0)) {
            return Error{
                text::message("mispricing_half_life_days must be greater than zero, got ", value)};
        }
        // An unchanged half-life keeps the recorded bits, so overriding a
        // preset with its own value leaves it that preset.
        if (bits(value) != bits(mispricing_half_life_days)) derive_persistence(copy, value);
    } else if (field->member == &ModelParams::long_memory_sigma) {
        // Beyond 2 the scale exp(x - sigma^2) spans more than 1e5 either way.
        if (!(value >= 0.0 && value <= 2.0)) {
            return Error{text::message("long_memory_sigma must lie in [0, 2], got ", value)};
        }
    } else if (field->member == &ModelParams::long_memory_leverage) {
        if (!(value >= 0.0 && value <= 100.0)) {
            return Error{text::message("long_memory_leverage must lie in [0, 100], got ", value)};
        }
    } else if (field->member == &ModelParams::long_memory_horizon) {
        if (!(value >= 1.0 && value <= 100000.0)) {
            return Error{
                text::message("long_memory_horizon must lie in [1, 100000] days, got ", value)};
        }
    }
    copy.*field->member = value;
    return copy;
}

std::vector<CanonicalPair> ModelParams::to_pairs() const {
    std::vector<CanonicalPair> pairs;
    pairs.reserve(NAMED_COUNT + CARRIED_READ_ONLY.size() + sectors::COUNT);
    // Settable and derived fields; `NAMED` is already in name order.
    for (const NamedField& field : NAMED) {
        if (left_out_of_digest(*this, *field.info)) continue;
        pairs.push_back({std::string(field.name), this->*field.info->member});
    }
    for (const NamedConstant& carried : CARRIED_READ_ONLY) {
        pairs.push_back({std::string(carried.name), carried.value});
    }
    for (const SectorSpec& sector : sectors::TABLE) {
        pairs.push_back({text::message(SECTOR_DAILY_SIGMA_PREFIX, sector.key), sector.daily_sigma});
    }
    std::sort(pairs.begin(), pairs.end(), [](const CanonicalPair& a, const CanonicalPair& b) {
        return std::string_view(a.name) < std::string_view(b.name);
    });
    return pairs;
}

std::string ModelParams::digest() const {
    Sha256 hash;
    for (const CanonicalPair& pair : to_pairs()) {
        hash.update(pair.name);
        hash.update(static_cast<unsigned char>('='));
        hash.update_big_endian(pair.value);
        hash.update(static_cast<unsigned char>('\n'));
    }
    return hash.finish_hex();
}

std::string ModelParams::fingerprint() const {
    std::string own = digest();
    const auto& shipped = preset_digests();
    for (std::size_t i = 0; i < shipped.size(); ++i) {
        if (shipped[i] == own) return std::string(SHIPPED_PRESETS[i]);
    }
    return text::message("custom-", std::string_view(own).substr(0, 8));
}

}  // namespace corvane
