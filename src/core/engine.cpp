#include "core/engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/market_maker.hpp"
#include "core/maths.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Each column's name and the roster field it reads and writes, in the
// trading state or the details: a plain number, or an optional one whose
// absence reads and writes as NaN. Exactly one of the four is set.
struct FieldEntry {
    PriceField field;
    std::string_view name;
    double TradingState::*trading = nullptr;
    std::optional<double> TradingState::*trading_optional = nullptr;
    double CompanyDetails::*details = nullptr;
    std::optional<double> CompanyDetails::*details_optional = nullptr;

    double read(const TradingState& t, const CompanyDetails& d) const noexcept {
        if (trading) return t.*trading;
        if (details) return d.*details;
        const std::optional<double>& value =
            trading_optional ? t.*trading_optional : d.*details_optional;
        return value.value_or(NaN);
    }
    void write(TradingState& t, CompanyDetails& d, double value) const noexcept {
        if (trading) {
            t.*trading = value;
        } else if (details) {
            d.*details = value;
        } else {
            std::optional<double>& target =
                trading_optional ? t.*trading_optional : d.*details_optional;
            target = std::isnan(value) ? std::nullopt : std::optional<double>(value);
        }
    }
};

constexpr FieldEntry traded(PriceField field, std::string_view name, double TradingState::*plain) {
    return {field, name, plain};
}
constexpr FieldEntry traded(PriceField field, std::string_view name,
                            std::optional<double> TradingState::*optional) {
    return {field, name, nullptr, optional};
}
constexpr FieldEntry detail(PriceField field, std::string_view name,
                            double CompanyDetails::*plain) {
    return {field, name, nullptr, nullptr, plain};
}
constexpr FieldEntry detail(PriceField field, std::string_view name,
                            std::optional<double> CompanyDetails::*optional) {
    return {field, name, nullptr, nullptr, nullptr, optional};
}

constexpr std::array<FieldEntry, PRICE_FIELD_COUNT> FIELDS = {{
    traded(PriceField::price, "price", &TradingState::price),
    traded(PriceField::previous_close, "previous_close", &TradingState::previous_close),
    traded(PriceField::open, "open", &TradingState::open),
    traded(PriceField::high, "high", &TradingState::high),
    traded(PriceField::low, "low", &TradingState::low),
    traded(PriceField::volume, "volume", &TradingState::volume),
    traded(PriceField::market_cap, "market_cap", &TradingState::market_cap),
    traded(PriceField::mispricing_s, "mispricing_s", &TradingState::mispricing_s),
    traded(PriceField::maker_inventory, "maker_inventory", &TradingState::maker_inventory),
    detail(PriceField::garch_variance, "garch_variance", &CompanyDetails::garch_variance),
    traded(PriceField::previous_tick_price, "previous_tick_price",
           &TradingState::previous_tick_price),
    detail(PriceField::mispricing_s_prev_close, "mispricing_s_prev_close",
           &CompanyDetails::mispricing_s_prev_close),
    traded(PriceField::mispricing_momentum, "mispricing_momentum",
           &TradingState::mispricing_momentum),
    detail(PriceField::last_daily_return, "last_daily_return", &CompanyDetails::last_daily_return),
    detail(PriceField::avg_volume, "avg_volume", &CompanyDetails::avg_volume),
    detail(PriceField::beta, "beta", &CompanyDetails::beta),
    detail(PriceField::short_interest, "short_interest", &CompanyDetails::short_interest),
    detail(PriceField::float_shares, "float_shares", &CompanyDetails::float_shares),
}};

// In the enum's order, so a field indexes its own entry.
constexpr bool fields_in_order() {
    for (std::size_t i = 0; i < FIELDS.size(); ++i) {
        if (static_cast<std::size_t>(FIELDS[i].field) != i) return false;
    }
    return true;
}
static_assert(fields_in_order());

const FieldEntry& entry_of(PriceField field) noexcept {
    return FIELDS[static_cast<std::size_t>(field)];
}

}  // namespace

std::string_view name_of(PriceField field) noexcept { return entry_of(field).name; }

std::optional<PriceField> price_field_from_name(std::string_view name) noexcept {
    for (std::size_t i = 0; i < PRICE_FIELD_COUNT; ++i) {
        auto field = static_cast<PriceField>(i);
        if (name_of(field) == name) return field;
    }
    return std::nullopt;
}

Engine::Engine(std::array<GameRng, STREAM_COUNT> streams, std::vector<TickCompany> roster,
               EconomyState economy, CentralBank central_bank, std::vector<std::string> sector_keys,
               ModelParams model)
    : streams_(streams),
      economy_(std::move(economy)),
      central_bank_(central_bank),
      sector_keys_(std::move(sector_keys)),
      model_(model) {
    roster_.reserve(roster.size());
    trading_.reserve(roster.size());
    for (TickCompany& record : roster) append(std::move(record));
}

void Engine::append(TickCompany&& record) {
    trading_.push_back(static_cast<const TradingState&>(record));
    roster_.push_back(std::move(static_cast<CompanyDetails&>(record)));
}

Engine Engine::with_params(std::uint32_t seed, std::vector<TickCompany> roster,
                           EconomyState economy, CentralBank central_bank,
                           std::vector<std::string> sector_keys, ModelParams model) {
    Engine engine(derive_streams(seed), std::move(roster), std::move(economy), central_bank,
                  std::move(sector_keys), model);
    // Sector factors are looked up through the table, so map each table
    // sector to the first engine key that names it once, here.
    for (std::size_t i = 0; i < sectors::COUNT; ++i) {
        engine.table_key_positions_[i] = engine.sector_key_position(sectors::TABLE[i].key);
    }
    engine.reset_day_vectors();
    engine.instrument_volume_states_.assign(engine.roster_.size(), 0.0);
    double sigma_squared = model.market_factor_sigma * model.market_factor_sigma;
    engine.market_.variance = sigma_squared;
    engine.market_.variance_components = {sigma_squared, sigma_squared};
    return engine;
}

std::vector<std::string> Engine::ids() const {
    std::vector<std::string> ids;
    ids.reserve(roster_.size());
    for (const CompanyDetails& company : roster_) ids.push_back(company.company_id);
    return ids;
}

std::vector<double> Engine::column(PriceField field) const {
    std::vector<double> values(roster_.size());
    column_into(field, values);
    return values;
}

void Engine::column_into(PriceField field, std::span<double> out) const noexcept {
    std::size_t n = std::min(out.size(), roster_.size());
    const FieldEntry& entry = entry_of(field);
    for (std::size_t i = 0; i < n; ++i) out[i] = entry.read(trading_[i], roster_[i]);
}

Status Engine::check_column_length(std::size_t count) const {
    std::size_t n = roster_.size();
    if (count == n) return Status::success();
    return Error{text::message("expected ", n, " values for ", n, " companies, got ", count)};
}

Status Engine::set_column(PriceField field, std::span<const double> values) {
    std::size_t n = roster_.size();
    if (Status valid = check_column_length(values.size()); !valid) return valid;
    const FieldEntry& entry = entry_of(field);
    for (std::size_t i = 0; i < n; ++i) entry.write(trading_[i], roster_[i], values[i]);
    cache_.invalidate(CacheReason::column_write);
    return Status::success();
}

std::optional<OrderBook> Engine::book_for(std::size_t index) const {
    if (index >= roster_.size()) return std::nullopt;
    const TradingState& t = trading_[index];
    return build_live_book(live_book_input(roster_[index], t, t.price),
                           full_book_options(economy_.vix));
}

void Engine::list(TickCompany record) {
    // Grow every vector first so a failed allocation leaves them all alike.
    roster_.reserve(roster_.size() + 1);
    trading_.reserve(roster_.size() + 1);
    attribution_.reserve(roster_.size() + 1);
    tick_components_.reserve(roster_.size() + 1);
    tick_fundamental_.reserve(roster_.size() + 1);
    tick_anchor_.reserve(roster_.size() + 1);
    append(std::move(record));
    cache_.invalidate(CacheReason::roster_edit);
    attribution_.push_back({});
    tick_components_.push_back({});
    tick_fundamental_.push_back(std::numeric_limits<double>::quiet_NaN());
    tick_anchor_.push_back(std::numeric_limits<double>::quiet_NaN());
}

Status Engine::delist(std::size_t index) {
    if (index >= roster_.size()) {
        return Error{
            text::message("no instrument at index ", index, "; the roster holds ", roster_.size())};
    }
    auto at = [index](auto& vector) {
        vector.erase(vector.begin() + static_cast<std::ptrdiff_t>(index));
    };
    at(roster_);
    at(trading_);
    cache_.invalidate(CacheReason::roster_edit);
    at(attribution_);
    at(tick_components_);
    at(tick_fundamental_);
    at(tick_anchor_);
    // A listing made since the last close has no components yet.
    constexpr std::size_t K = LONG_MEMORY_COMPONENTS;
    if (long_memory_states_.size() >= (index + 1) * K) {
        auto first = long_memory_states_.begin() + static_cast<std::ptrdiff_t>(index * K);
        long_memory_states_.erase(first, first + static_cast<std::ptrdiff_t>(K));
    }
    return Status::success();
}

RngState Engine::rng_state() const noexcept {
    RngState records;
    for (std::size_t i = 0; i < STREAM_COUNT; ++i) records[i] = streams_[i].record();
    return records;
}

void Engine::set_rng_state(const RngState& records) noexcept {
    for (std::size_t i = 0; i < STREAM_COUNT; ++i) streams_[i] = GameRng::from_record(records[i]);
}

double Engine::draw_uniform() {
    ++draws_.external;
    return stream(Stream::external).next_float();
}

double Engine::draw_normal() {
    ++draws_.external;
    return stream(Stream::external).next_normal();
}

void Engine::set_pending_news(std::vector<NewsEvent> news) {
    pending_news_ = std::move(news);
    cache_.invalidate(CacheReason::news);
}

void Engine::set_instrument_volume_states(std::vector<double> states) {
    instrument_volume_states_ = std::move(states);
    cache_.invalidate(CacheReason::volume_states);
}

void Engine::set_economy(const EconomyState& economy) noexcept {
    economy_ = economy;
    cache_.invalidate(CacheReason::macro);
}

void Engine::set_long_memory_states(std::vector<double> states) {
    long_memory_states_ = std::move(states);
    cache_.invalidate(CacheReason::volume_states);
}

double Engine::long_memory_scale(std::size_t index) const noexcept {
    constexpr std::size_t K = LONG_MEMORY_COMPONENTS;
    double sigma = model_.long_memory_sigma;
    if (sigma == 0.0 || long_memory_states_.size() < (index + 1) * K) return 1.0;
    double sum = 0.0;
    for (std::size_t k = 0; k < K; ++k) sum += long_memory_states_[index * K + k];
    return maths::exp(sum - sigma * sigma);
}

double Engine::instrument_volume_state(std::size_t index) const noexcept {
    return index < instrument_volume_states_.size() ? instrument_volume_states_[index] : 0.0;
}

void Engine::reset_day_vectors() {
    std::size_t n = roster_.size();
    attribution_.assign(n, AttributionRow{});
    tick_components_.assign(n, ComponentRow{});
    tick_fundamental_.assign(n, std::numeric_limits<double>::quiet_NaN());
    tick_anchor_.assign(n, std::numeric_limits<double>::quiet_NaN());
}

std::size_t Engine::sector_key_position(std::string_view sector) const noexcept {
    for (std::size_t k = 0; k < sector_keys_.size(); ++k) {
        if (sector_keys_[k] == sector) return k;
    }
    return NO_SECTOR_KEY;
}

}  // namespace corvane
