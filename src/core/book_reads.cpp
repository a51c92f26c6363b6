#include "core/book_reads.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "core/market_maker.hpp"

namespace corvane {
namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// Calls visit(price, size) on each order of one side, best first, while it
// returns true. The book's rules: bids stop at the first price that is not
// positive; an order without a positive price and size is not there.
template <class Visit>
void walk_ladder(const LiveQuote& quote, double vix, Side side, Visit visit) {
    const LiveBookOptions options = full_book_options(vix);
    for (std::size_t i = 0; quotes_level(options, i); ++i) {
        std::optional<LadderLevel> level = ladder_level(quote, side, i);
        if (!level) break;
        if (!(level->price > 0.0) || !(level->size > 0.0)) continue;
        if (!visit(level->price, level->size)) return;
    }
}

}  // namespace

std::optional<LiveQuote> live_quote(const Engine& engine, std::size_t i) {
    const TradingState& trading = engine.trading()[i];
    return quote_live_book(live_book_input(engine.roster()[i], trading, trading.price),
                           full_book_options(engine.economy().vix));
}

SweepPrice sweep_price(const LiveQuote& quote, double vix, double quantity) {
    const double wanted = std::fabs(quantity);
    if (!(wanted > 0.0) || !std::isfinite(wanted)) return {0.0, NOT_A_NUMBER, NOT_A_NUMBER};
    const bool buy = quantity > 0.0;
    // OrderBook::sweep_cost's loop, operation for operation.
    double remaining = wanted;
    double cost = 0.0;
    double worst = 0.0;
    walk_ladder(quote, vix, buy ? Side::sell : Side::buy, [&](double p, double q) {
        double take = remaining < q ? remaining : q;
        remaining = remaining - take;
        cost = cost + take * p;
        worst = p;
        return remaining > 0.0;
    });
    double filled = wanted - remaining;
    if (!(filled > 0.0)) return {0.0, NOT_A_NUMBER, NOT_A_NUMBER};
    return {buy ? filled : -filled, cost / filled, worst};
}

TopOfBook top_of_book(const LiveQuote& quote, double vix) {
    // A rounded inside is quoted on both sides (a bid of at least a cent, an
    // ask above it, sizes of at least one) and every deeper level stands a
    // step of at least a cent further out, so the top is the inside alone.
    if (inside_is_rounded(quote, 0)) {
        return {quote.bid, quote.ask, level_size(quote, Side::buy, 0),
                level_size(quote, Side::sell, 0)};
    }
    TopOfBook top{NOT_A_NUMBER, NOT_A_NUMBER, 0.0, 0.0};
    for (Side side : {Side::buy, Side::sell}) {
        double& price = side == Side::buy ? top.bid : top.ask;
        double& size = side == Side::buy ? top.bid_size : top.ask_size;
        // The top level: the first order and any after it at its price.
        walk_ladder(quote, vix, side, [&](double p, double q) {
            if (size > 0.0 && p != price) return false;
            price = p;
            size = size + q;
            return true;
        });
    }
    return top;
}

void quotes_into(const Engine& engine, std::span<double> out) {
    const std::size_t n = engine.size();
    const double vix = engine.economy().vix;
    for (std::size_t i = 0; i < 2 * n; ++i) out[i] = NOT_A_NUMBER;
    for (std::size_t i = 2 * n; i < 4 * n; ++i) out[i] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        std::optional<LiveQuote> quote = live_quote(engine, i);
        if (!quote) continue;
        TopOfBook top = top_of_book(*quote, vix);
        out[i] = top.bid;
        out[n + i] = top.ask;
        out[2 * n + i] = top.bid_size;
        out[3 * n + i] = top.ask_size;
    }
}

void sweep_costs_into(const Engine& engine, std::span<const double> quantities,
                      std::span<double> out) {
    const std::size_t n = engine.size();
    const double vix = engine.economy().vix;
    for (std::size_t i = 0; i < n; ++i) out[i] = 0.0;
    for (std::size_t i = n; i < 3 * n; ++i) out[i] = NOT_A_NUMBER;
    for (std::size_t i = 0; i < n; ++i) {
        const double wanted = std::fabs(quantities[i]);
        if (!(wanted > 0.0) || !std::isfinite(wanted)) continue;
        std::optional<LiveQuote> quote = live_quote(engine, i);
        if (!quote) continue;
        SweepPrice priced = sweep_price(*quote, vix, quantities[i]);
        out[i] = priced.filled;
        out[n + i] = priced.average;
        out[2 * n + i] = priced.worst;
    }
}

}  // namespace corvane
