#include "core/trading_desk.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "core/book_reads.hpp"
#include "core/macro.hpp"
#include "core/maths.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// Where each part of the observation starts in its flat layout.
struct Layout {
    std::size_t n, window;
    std::size_t returns() const noexcept { return 0; }
    std::size_t volumes() const noexcept { return window * n; }
    std::size_t spread() const noexcept { return 2 * window * n; }
    std::size_t bid_size() const noexcept { return spread() + n; }
    std::size_t ask_size() const noexcept { return spread() + 2 * n; }
    std::size_t position() const noexcept { return spread() + 3 * n; }
    std::size_t cash() const noexcept { return spread() + 4 * n; }
    std::size_t vix() const noexcept { return cash() + 1; }
    std::size_t policy_rate() const noexcept { return cash() + 2; }
    std::size_t time_of_day() const noexcept { return cash() + 3; }
};

Layout layout_of(const DeskTerms& terms) noexcept { return {terms.width(), terms.window}; }

// The window's rows move up one; the newest row is the last.
std::span<double> shift_window(std::span<double> window, std::size_t n) noexcept {
    std::copy(window.begin() + static_cast<std::ptrdiff_t>(n), window.end(), window.begin());
    return window.subspan(window.size() - n);
}

// numpy's maximum and minimum with bounds that are numbers (the terms
// hold no NaN): a NaN value passes through either.
double bounded(double value, double low, double high) noexcept {
    double above = value < low ? low : value;
    return above > high ? high : above;
}

}  // namespace

Status check_desk_terms(const DeskTerms& terms, std::size_t roster_size) {
    std::size_t n = terms.width();
    if (n == 0) return Error{"a desk trades at least one instrument"};
    std::vector<bool> seen(roster_size, false);
    for (std::size_t i : terms.traded) {
        if (i >= roster_size || seen[i]) {
            return Error{text::message("traded must hold distinct roster positions below ",
                                       roster_size, ", got ", i)};
        }
        seen[i] = true;
    }
    auto positive = [](double v) { return std::isfinite(v) && v > 0.0; };
    if (terms.max_position.size() != n || terms.volume_per_tick.size() != n ||
        !std::all_of(terms.max_position.begin(), terms.max_position.end(), positive) ||
        !std::all_of(terms.volume_per_tick.begin(), terms.volume_per_tick.end(), positive)) {
        return Error{text::message("max_position and volume_per_tick must hold ", n,
                                   " finite values above 0 each")};
    }
    if (!positive(terms.starting_cash)) return Error{"starting_cash must be finite and above 0"};
    if (terms.window == 0 || terms.window > DESK_MAX_WINDOW) {
        return Error{text::message("window must be from 1 to ", DESK_MAX_WINDOW)};
    }
    if (terms.ticks_per_step == 0 || terms.ticks_per_step > DESK_TICKS_PER_DAY ||
        terms.episode_days == 0) {
        return Error{"ticks_per_step must be from 1 to 390 and episode_days at least 1"};
    }
    std::size_t size = terms.observation_size();
    auto number = [](double v) { return !std::isnan(v); };
    if (terms.low.size() != size || terms.high.size() != size ||
        !std::all_of(terms.low.begin(), terms.low.end(), number) ||
        !std::all_of(terms.high.begin(), terms.high.end(), number)) {
        return Error{text::message("low and high must hold ", size, " bounds each, none NaN")};
    }
    return Status::success();
}

TradingDesk::TradingDesk(DeskTerms terms, std::size_t markets, std::size_t roster_size)
    : terms_(std::move(terms)), books_(markets) {
    std::size_t n = terms_.width();
    for (DeskBook& book : books_) {
        book.position.assign(n, 0.0);
        book.price.assign(n, 0.0);
        book.mid.assign(n, 0.0);
        book.day_volume.assign(n, 0.0);
        book.attribution_base.assign(ATTRIBUTION_SLOTS * n, 0.0);
        book.raw.assign(terms_.observation_size(), 0.0);
        book.outputs.assign(terms_.outputs_size(), 0.0);
        book.roster_scratch.assign(roster_size, 0.0);
        book.traded_scratch.assign(n, 0.0);
        book.flow.assign(roster_size, OrderVolume{});
        book.quotes.assign(n, std::nullopt);
    }
}

void TradingDesk::start(std::size_t k, const DeskMarket& market) {
    DeskBook& book = books_[k];
    const Engine& engine = market.engine();
    book.cash = terms_.starting_cash;
    std::fill(book.position.begin(), book.position.end(), 0.0);
    std::fill(book.raw.begin(), book.raw.end(), 0.0);
    std::fill(book.outputs.begin(), book.outputs.end(), 0.0);
    read_macro(book, engine);
    read_day_start(book, engine);
    read_traded(book, engine, PriceField::price, book.price);
    read_books(book, engine);
    book.wealth = value(k, book.cash, book.position);
    book.outputs[0] = book.wealth;
    book.outputs[1] = book.cash;
}

TradingDesk::StepClock TradingDesk::next_step() const noexcept {
    StepClock clock;
    clock.ticks = std::min(terms_.ticks_per_step, DESK_TICKS_PER_DAY - minute_);
    auto at = [this](std::size_t minute) {
        Clock c;
        std::int64_t since_midnight = DESK_OPEN_MINUTE + static_cast<std::int64_t>(minute);
        c.hour = since_midnight / 60;
        c.minute = since_midnight % 60;
        // Monday to Friday (0 is Sunday): a trading day never falls at a weekend.
        c.day_of_week = static_cast<std::int64_t>(1 + day_ % 5);
        return c;
    };
    clock.first = at(minute_);
    clock.rest = at(minute_ + 1);
    clock.closes = minute_ + clock.ticks == DESK_TICKS_PER_DAY;
    clock.reopens = clock.closes && day_ + 1 < terms_.episode_days;
    return clock;
}

void TradingDesk::stepped(const StepClock& clock) noexcept {
    minute_ += clock.ticks;
    if (clock.closes) ++day_;
    if (clock.reopens) minute_ = 0;
}

void TradingDesk::trade(DeskBook& book, const Engine& engine, std::span<const double> target,
                        bool trades) {
    const std::size_t n = terms_.width();
    std::span<double> out(book.outputs);
    std::span<double> quantity = out.subspan(DESK_HEAD, n);
    std::span<double> average = out.subspan(DESK_HEAD + n, n);
    std::span<double> worst = out.subspan(DESK_HEAD + 2 * n, n);
    std::span<double> cost = out.subspan(DESK_HEAD + 3 * n, n);
    std::fill(quantity.begin(), quantity.end(), 0.0);
    std::fill(average.begin(), average.end(), NOT_A_NUMBER);
    std::fill(worst.begin(), worst.end(), NOT_A_NUMBER);
    std::fill(cost.begin(), cost.end(), 0.0);
    std::fill(book.flow.begin(), book.flow.end(), OrderVolume{});

    if (!trades) return;
    const double vix = engine.economy().vix;
    double spent = 0.0;
    bool any_fill = false;
    for (std::size_t j = 0; j < n; ++j) {
        double wanted = std::nearbyint(target[j] * terms_.max_position[j]) - book.position[j];
        if (wanted == 0.0) continue;
        std::size_t i = terms_.traded[j];
        const std::optional<LiveQuote>& quote = quote_for_trade(book, engine, j);
        if (!quote) continue;
        SweepPrice priced = sweep_price(*quote, vix, wanted);
        double q = priced.filled;
        if (q == 0.0) continue;
        quantity[j] = q;
        average[j] = priced.average;
        worst[j] = priced.worst;
        any_fill = true;
        cost[j] = q * (average[j] - book.mid[j]);
        spent = spent + q * average[j];
        book.flow[i] = q > 0.0 ? OrderVolume{q, 0.0} : OrderVolume{0.0, -q};
    }
    if (!any_fill) return;
    for (std::size_t j = 0; j < n; ++j) book.position[j] = book.position[j] + quantity[j];
    book.cash = book.cash - spent;
}

Status TradingDesk::step(std::size_t k, DeskMarket& market, const StepClock& clock,
                         std::span<const double> target, bool trades) {
    DeskBook& book = books_[k];
    trade(book, market.engine(), target, trades);
    bool any_flow = std::any_of(book.flow.begin(), book.flow.end(),
                                [](const OrderVolume& v) { return v.buy != 0.0 || v.sell != 0.0; });
    if (Status ran = advance(k, market, clock, book.flow, any_flow); !ran) return ran;
    book.wealth = value(k, book.cash, book.position);
    book.outputs[0] = book.wealth;
    book.outputs[1] = book.cash;
    return Status::success();
}

Status TradingDesk::advance(std::size_t k, DeskMarket& market, const StepClock& clock,
                            std::span<const OrderVolume> flow, bool any_flow) {
    DeskBook& book = books_[k];
    // The minutes move the books: until they are read again, none holds.
    book.quotes_current = false;
    if (Status ticked = market.first_tick(clock.first, flow, any_flow); !ticked) return ticked;
    if (clock.ticks > 1) {
        if (Status ran = market.run(clock.rest, clock.ticks - 1); !ran) return ran;
    }
    const Engine& engine = market.engine();
    read_volumes(book, engine, clock.ticks);
    if (clock.closes) {
        market.close();
        read_macro(book, engine);
    }
    const std::size_t n = terms_.width();
    std::span<double> step_attribution =
        std::span<double>(book.outputs).subspan(DESK_HEAD + 4 * n, ATTRIBUTION_SLOTS * n);
    read_attribution(engine, step_attribution);
    for (std::size_t c = 0; c < step_attribution.size(); ++c) {
        double now = step_attribution[c];
        step_attribution[c] = now - book.attribution_base[c];
        book.attribution_base[c] = now;
    }
    if (clock.reopens) {
        market.open();
        read_day_start(book, engine);
    }
    read_returns(book, engine);
    read_books(book, engine);
    return Status::success();
}

double TradingDesk::value(std::size_t k, double cash,
                          std::span<const double> position) const noexcept {
    const std::vector<double>& mid = books_[k].mid;
    double held = 0.0;
    for (std::size_t j = 0; j < mid.size(); ++j) held = held + position[j] * mid[j];
    return cash + held;
}

void TradingDesk::observe(std::size_t k, double cash, std::span<const double> position,
                          std::span<float> out) const noexcept {
    const DeskBook& book = books_[k];
    Layout at = layout_of(terms_);
    auto bound = [&](std::size_t c, double value) {
        out[c] = static_cast<float>(bounded(value, terms_.low[c], terms_.high[c]));
    };
    for (std::size_t c = 0; c < at.position(); ++c) bound(c, book.raw[c]);
    for (std::size_t j = 0; j < at.n; ++j) {
        bound(at.position() + j, position[j] / terms_.max_position[j]);
    }
    bound(at.cash(), cash / terms_.starting_cash);
    bound(at.vix(), book.raw[at.vix()]);
    bound(at.policy_rate(), book.raw[at.policy_rate()]);
    bound(at.time_of_day(), static_cast<double>(minute_) / static_cast<double>(DESK_TICKS_PER_DAY));
}

// ---- A single simulation ----

Status SimulationMarket::first_tick(const Clock& clock, std::span<const OrderVolume> flow,
                                    bool any_flow) {
    CallInputs inputs;
    if (any_flow) {
        const std::vector<std::string>& tickers = simulation_.tickers();
        for (std::size_t i = 0; i < flow.size(); ++i) {
            if (flow[i].buy != 0.0 || flow[i].sell != 0.0) {
                inputs.order_flow.push_back(FlowArg{tickers[i], flow[i].buy, flow[i].sell});
            }
        }
    }
    Result<TickSummary> ticked = simulation_.tick(clock, inputs);
    if (!ticked) return Error{ticked.error()};
    return Status::success();
}

Status SimulationMarket::run(const Clock& clock, std::uint64_t ticks) {
    Result<RunOutcome> ran = simulation_.run_session(clock, ticks, false, CallInputs{}, {});
    if (!ran) return Error{ran.error()};
    if (ran->failure) std::rethrow_exception(ran->failure);
    return Status::success();
}

// ---- Readings ----

void TradingDesk::read_traded(DeskBook& book, const Engine& engine, PriceField field,
                              std::span<double> out) const {
    engine.column_into(field, book.roster_scratch);
    for (std::size_t j = 0; j < terms_.width(); ++j) out[j] = book.roster_scratch[terms_.traded[j]];
}

std::span<double> TradingDesk::next_row(DeskBook& book, std::size_t start) const {
    Layout at = layout_of(terms_);
    return shift_window(std::span<double>(book.raw).subspan(start, at.window * at.n), at.n);
}

void TradingDesk::read_volumes(DeskBook& book, const Engine& engine, std::uint64_t ticks) const {
    std::span<double> newest = next_row(book, layout_of(terms_).volumes());
    read_traded(book, engine, PriceField::volume, book.traded_scratch);
    for (std::size_t j = 0; j < terms_.width(); ++j) {
        double volume = book.traded_scratch[j];
        newest[j] = (volume - book.day_volume[j]) /
                    (terms_.volume_per_tick[j] * static_cast<double>(ticks));
        book.day_volume[j] = volume;
    }
}

void TradingDesk::read_attribution(const Engine& engine, std::span<double> out) const {
    std::span<const AttributionRow> rows = engine.attribution();
    const std::size_t n = terms_.width();
    for (std::size_t j = 0; j < n; ++j) {
        const AttributionRow& row = rows[terms_.traded[j]];
        for (std::size_t slot = 0; slot < ATTRIBUTION_SLOTS; ++slot) out[slot * n + j] = row[slot];
    }
}

void TradingDesk::read_day_start(DeskBook& book, const Engine& engine) const {
    read_traded(book, engine, PriceField::volume, book.day_volume);
    read_attribution(engine, book.attribution_base);
}

void TradingDesk::read_macro(DeskBook& book, const Engine& engine) const {
    Layout at = layout_of(terms_);
    Macro macro = macro_from(engine.economy());
    book.raw[at.vix()] = macro.vix;
    book.raw[at.policy_rate()] = macro.federal_funds_rate;
}

void TradingDesk::read_returns(DeskBook& book, const Engine& engine) const {
    std::span<double> newest = next_row(book, layout_of(terms_).returns());
    read_traded(book, engine, PriceField::price, book.traded_scratch);
    for (std::size_t j = 0; j < terms_.width(); ++j) {
        double price = book.traded_scratch[j];
        newest[j] = maths::log(price / book.price[j]);
        book.price[j] = price;
    }
}

void TradingDesk::read_books(DeskBook& book, const Engine& engine) const {
    Layout at = layout_of(terms_);
    const double vix = engine.economy().vix;
    for (std::size_t j = 0; j < at.n; ++j) {
        book.quotes[j] = live_quote(engine, terms_.traded[j]);
        const std::optional<LiveQuote>& quote = book.quotes[j];
        TopOfBook top =
            quote ? top_of_book(*quote, vix) : TopOfBook{NOT_A_NUMBER, NOT_A_NUMBER, 0.0, 0.0};
        // An empty side reads as the last price with nothing behind it.
        double bid = std::isnan(top.bid) ? book.price[j] : top.bid;
        double ask = std::isnan(top.ask) ? book.price[j] : top.ask;
        double mid = (bid + ask) * 0.5;
        book.mid[j] = mid;
        book.raw[at.spread() + j] = (ask - bid) / mid;
        book.raw[at.bid_size() + j] = top.bid_size / terms_.max_position[j];
        book.raw[at.ask_size() + j] = top.ask_size / terms_.max_position[j];
    }
    book.quotes_current = true;
}

const std::optional<LiveQuote>& TradingDesk::quote_for_trade(DeskBook& book, const Engine& engine,
                                                             std::size_t j) const {
    // The quote is a function of the market alone: one read of the same
    // market gives the same bits.
    if (!book.quotes_current) book.quotes[j] = live_quote(engine, terms_.traded[j]);
    return book.quotes[j];
}

}  // namespace corvane
