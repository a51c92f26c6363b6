#include "core/book_reads.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "core/market_maker.hpp"

namespace corvane {
namespace {

// The live quote of instrument `i`, as book_for builds its book from.
std::optional<LiveQuote> live_quote(const Engine& engine, std::size_t i) {
    const TickCompany& company = engine.roster()[i];
    return quote_live_book(live_book_input(company, company.price),
                           full_book_options(engine.economy().vix));
}

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

void quotes_into(const Engine& engine, std::span<double> out) {
    const std::size_t n = engine.size();
    const double vix = engine.economy().vix;
    for (std::size_t i = 0; i < 2 * n; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 2 * n; i < 4 * n; ++i) out[i] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        std::optional<LiveQuote> quote = live_quote(engine, i);
        if (!quote) continue;
        for (Side side : {Side::buy, Side::sell}) {
            double& price = out[(side == Side::buy ? 0 : n) + i];
            double& size = out[(side == Side::buy ? 2 * n : 3 * n) + i];
            // The top level: the first order and any after it at its price.
            walk_ladder(*quote, vix, side, [&](double p, double q) {
                if (size > 0.0 && p != price) return false;
                price = p;
                size = size + q;
                return true;
            });
        }
    }
}

void sweep_costs_into(const Engine& engine, std::span<const double> quantities,
                      std::span<double> out) {
    const std::size_t n = engine.size();
    const double vix = engine.economy().vix;
    for (std::size_t i = 0; i < n; ++i) out[i] = 0.0;
    for (std::size_t i = n; i < 3 * n; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) {
        const double wanted = std::fabs(quantities[i]);
        if (!(wanted > 0.0) || !std::isfinite(wanted)) continue;
        std::optional<LiveQuote> quote = live_quote(engine, i);
        if (!quote) continue;
        const bool buy = quantities[i] > 0.0;
        // OrderBook::sweep_cost's loop, operation for operation.
        double remaining = wanted;
        double cost = 0.0;
        double worst = 0.0;
        walk_ladder(*quote, vix, buy ? Side::sell : Side::buy, [&](double p, double q) {
            double take = remaining < q ? remaining : q;
            remaining = remaining - take;
            cost = cost + take * p;
            worst = p;
            return remaining > 0.0;
        });
        double filled = wanted - remaining;
        if (!(filled > 0.0)) continue;
        out[i] = buy ? filled : -filled;
        out[n + i] = cost / filled;
        out[2 * n + i] = worst;
    }
}

}  // namespace corvane
