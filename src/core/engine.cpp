#include "core/engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/market_maker.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double or_nan(const std::optional<double>& value) noexcept { return value.value_or(NaN); }

// NaN stores absence.
std::optional<double> present_unless_nan(double value) noexcept {
    if (std::isnan(value)) return std::nullopt;
    return value;
}

// Both switches below list every field without a default, so a new field
// that is not handled fails to compile under -Werror=switch.
double read_field(const TickCompany& c, PriceField field) noexcept {
    switch (field) {
        case PriceField::price: return c.price;
        case PriceField::previous_close: return c.previous_close;
        case PriceField::open: return c.open;
        case PriceField::high: return c.high;
        case PriceField::low: return c.low;
        case PriceField::volume: return c.volume;
        case PriceField::market_cap: return c.market_cap;
        case PriceField::mispricing_s: return or_nan(c.mispricing_s);
        case PriceField::maker_inventory: return or_nan(c.maker_inventory);
        case PriceField::garch_variance: return c.garch_variance;
        case PriceField::previous_tick_price: return or_nan(c.previous_tick_price);
        case PriceField::mispricing_s_prev_close: return or_nan(c.mispricing_s_prev_close);
        case PriceField::mispricing_momentum: return or_nan(c.mispricing_momentum);
        case PriceField::last_daily_return: return or_nan(c.last_daily_return);
        case PriceField::avg_volume: return c.avg_volume;
        case PriceField::beta: return or_nan(c.beta);
        case PriceField::short_interest: return c.short_interest;
        case PriceField::float_shares: return c.float_shares;
    }
    return NaN;
}

void write_field(TickCompany& c, PriceField field, double value) noexcept {
    switch (field) {
        case PriceField::price: c.price = value; return;
        case PriceField::previous_close: c.previous_close = value; return;
        case PriceField::open: c.open = value; return;
        case PriceField::high: c.high = value; return;
        case PriceField::low: c.low = value; return;
        case PriceField::volume: c.volume = value; return;
        case PriceField::market_cap: c.market_cap = value; return;
        case PriceField::mispricing_s: c.mispricing_s = present_unless_nan(value); return;
        case PriceField::maker_inventory: c.maker_inventory = present_unless_nan(value); return;
        case PriceField::garch_variance: c.garch_variance = value; return;
        case PriceField::previous_tick_price:
            c.previous_tick_price = present_unless_nan(value);
            return;
        case PriceField::mispricing_s_prev_close:
            c.mispricing_s_prev_close = present_unless_nan(value);
            return;
        case PriceField::mispricing_momentum:
            c.mispricing_momentum = present_unless_nan(value);
            return;
        case PriceField::last_daily_return: c.last_daily_return = present_unless_nan(value); return;
        case PriceField::avg_volume: c.avg_volume = value; return;
        case PriceField::beta: c.beta = present_unless_nan(value); return;
        case PriceField::short_interest: c.short_interest = value; return;
        case PriceField::float_shares: c.float_shares = value; return;
    }
}

}  // namespace

std::string_view name_of(PriceField field) noexcept {
    switch (field) {
        case PriceField::price: return "price";
        case PriceField::previous_close: return "previous_close";
        case PriceField::open: return "open";
        case PriceField::high: return "high";
        case PriceField::low: return "low";
        case PriceField::volume: return "volume";
        case PriceField::market_cap: return "market_cap";
        case PriceField::mispricing_s: return "mispricing_s";
        case PriceField::maker_inventory: return "maker_inventory";
        case PriceField::garch_variance: return "garch_variance";
        case PriceField::previous_tick_price: return "previous_tick_price";
        case PriceField::mispricing_s_prev_close: return "mispricing_s_prev_close";
        case PriceField::mispricing_momentum: return "mispricing_momentum";
        case PriceField::last_daily_return: return "last_daily_return";
        case PriceField::avg_volume: return "avg_volume";
        case PriceField::beta: return "beta";
        case PriceField::short_interest: return "short_interest";
        case PriceField::float_shares: return "float_shares";
    }
    return {};
}

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
      roster_(std::move(roster)),
      sector_keys_(std::move(sector_keys)),
      model_(model) {}

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
    for (const TickCompany& company : roster_) ids.push_back(company.company_id);
    return ids;
}

std::vector<double> Engine::column(PriceField field) const {
    std::vector<double> values(roster_.size());
    column_into(field, values);
    return values;
}

void Engine::column_into(PriceField field, std::span<double> out) const noexcept {
    std::size_t n = std::min(out.size(), roster_.size());
    for (std::size_t i = 0; i < n; ++i) out[i] = read_field(roster_[i], field);
}

Status Engine::check_column_length(std::size_t count) const {
    std::size_t n = roster_.size();
    if (count == n) return Status::success();
    return Error{text::message("expected ", n, " values for ", n, " companies, got ", count)};
}

Status Engine::set_column(PriceField field, std::span<const double> values) {
    std::size_t n = roster_.size();
    if (Status valid = check_column_length(values.size()); !valid) return valid;
    for (std::size_t i = 0; i < n; ++i) write_field(roster_[i], field, values[i]);
    cache_.invalidate(CacheReason::column_write);
    return Status::success();
}

std::optional<OrderBook> Engine::book_for(std::size_t index) const {
    if (index >= roster_.size()) return std::nullopt;
    const TickCompany& c = roster_[index];
    return build_live_book(live_book_input(c, c.price), full_book_options(economy_.vix));
}

void Engine::list(TickCompany record) {
    // Grow every vector first so a failed allocation leaves them all alike.
    roster_.reserve(roster_.size() + 1);
    attribution_.reserve(roster_.size() + 1);
    tick_components_.reserve(roster_.size() + 1);
    tick_fundamental_.reserve(roster_.size() + 1);
    tick_anchor_.reserve(roster_.size() + 1);
    roster_.push_back(std::move(record));
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
    cache_.invalidate(CacheReason::roster_edit);
    at(attribution_);
    at(tick_components_);
    at(tick_fundamental_);
    at(tick_anchor_);
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
