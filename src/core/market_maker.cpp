#include "core/market_maker.hpp"

#include <algorithm>
#include <cmath>

#include "core/microstructure.hpp"
#include "core/rounding.hpp"

namespace corvane {

namespace ms = microstructure;

LiveBookOptions tick_book_options(const ModelParams& model, double vix, double levels) noexcept {
    return {vix, model.spread_size_smoothness, model.spread_size_exponent, levels};
}

LiveBookOptions full_book_options(double vix) noexcept { return {vix, 0.0, 0.455, BOOK_LEVELS}; }

std::optional<LiveQuote> quote_live_book(const LiveBookInput& input,
                                         const LiveBookOptions& options) noexcept {
    double price = input.price;
    if (!(price > 0.0)) return std::nullopt;

    // Half spread in currency: basis points from size, stress, sector risk
    // and short crowding, applied to the price.
    double cap = input.market_cap / 1e9;
    double tier = ms::blended_tier(ms::capitalisation_tier(cap), cap,
                                   options.spread_size_smoothness, options.spread_size_exponent);
    double stress = ms::vix_stress(options.vix);
    double risk = ms::volatility_beta_factor(input.volatility, input.beta);
    double squeeze = ms::squeeze_widening(input.short_interest, input.float_shares);
    LiveQuote quote;
    quote.half_spread = ((((tier * risk) * stress) * squeeze) * 0.5) / 10000.0 * price;

    // Lean away from inventory: a long maker quotes lower and shows less bid.
    double base = ms::base_level_size(input.avg_volume, input.volume, input.shares_outstanding);
    double skew = ms::inventory_skew(input.maker_inventory, base, INVENTORY_LIMIT_LEVELS);
    quote.mid = price - quote.half_spread * skew;
    double shrink = std::max(0.15, std::min(1.0 - std::fabs(skew), 1.0));
    quote.bid_base =
        std::max(1.0, skew > 0.0 ? rounding::floor(shrink * base) : rounding::floor(base));
    quote.ask_base =
        std::max(1.0, skew < 0.0 ? rounding::floor(shrink * base) : rounding::floor(base));

    // Inside quotes at least a cent apart, then rounded to cents.
    double bid = std::max(0.01, quote.mid - quote.half_spread);
    double ask = std::max(bid + 0.01, quote.mid + quote.half_spread);
    quote.bid = ms::cents(bid);
    quote.ask = ms::cents(ask);
    quote.step = std::max(0.01, (quote.ask - quote.bid) * 0.5);
    return quote;
}

std::optional<LadderLevel> ladder_level(const LiveQuote& quote, Side side,
                                        std::size_t index) noexcept {
    double i = static_cast<double>(index);
    double decay = 1.0 / (i * 0.3 + 1.0);
    if (side == Side::buy) {
        double price = ms::cents(quote.bid - quote.step * i);
        if (!(price > 0.0)) return std::nullopt;
        return LadderLevel{price, std::max(1.0, rounding::floor(quote.bid_base * decay))};
    }
    return LadderLevel{ms::cents(quote.step * i + quote.ask),
                       std::max(1.0, rounding::floor(decay * quote.ask_base))};
}

bool quotes_level(const LiveBookOptions& options, std::size_t index) noexcept {
    // A side holds at most MAX_DEPTH_PER_SIDE orders and refuses the rest
    // without consuming ids, so deeper levels would change nothing.
    return index < MAX_DEPTH_PER_SIDE &&
           (index == 0 || static_cast<double>(index) < options.levels);
}

LadderSweep::LadderSweep(const LiveQuote& quote, const LiveBookOptions& options,
                         double price) noexcept
    : quote_(quote), options_(options), last_price_(price) {}

void LadderSweep::seek(Front& front, Side side, std::size_t index) noexcept {
    front.started = true;
    // The book's rules for a level: bids stop at the first price that is not
    // positive; an ask the book refuses is simply not there.
    for (; quotes_level(options_, index); ++index) {
        auto level = ladder_level(quote_, side, index);
        if (!level) break;
        if (!(level->price > 0.0) || !(level->size > 0.0)) continue;
        front.level = index;
        front.price = level->price;
        front.remaining = level->size;
        return;
    }
    front.empty = true;
}

LadderSweep::Front& LadderSweep::opened(Side side) noexcept {
    Front& front = side == Side::buy ? bid_ : ask_;
    if (!front.started) seek(front, side, 0);
    return front;
}

bool LadderSweep::two_sided() noexcept {
    return !opened(Side::buy).empty && !opened(Side::sell).empty;
}

void LadderSweep::take(Side taker, double quantity, double& filled, double& maker_change) noexcept {
    if (!(quantity > 0.0)) return;
    Side maker = opposite(taker);
    Front& front = opened(maker);
    double remaining = quantity;
    while (!front.empty && remaining > 0.0) {
        double take = front.remaining < remaining ? front.remaining : remaining;
        remaining = remaining - take;
        filled += take;
        maker_change += taker == Side::sell ? take : -take;
        front.remaining = front.remaining - take;
        last_price_ = front.price;
        if (!(front.remaining > 0.0)) seek(front, maker, front.level + 1);
    }
}

void build_live_book(const LiveBookInput& input, const LiveBookOptions& options, OrderBook& book) {
    book.reset(input.company_id, input.price);
    auto quote = quote_live_book(input, options);
    if (!quote) return;
    auto quoted_levels = [&options](std::size_t i) { return quotes_level(options, i); };
    // Bids first, best first, then the asks: the order fixes the ids.
    for (std::size_t i = 0; quoted_levels(i); ++i) {
        auto level = ladder_level(*quote, Side::buy, i);
        // Bid prices only fall with depth: once one is not positive, none is.
        if (!level) break;
        book.append_maker_level(Side::buy, level->price, level->size, MARKET_MAKER);
    }
    for (std::size_t i = 0; quoted_levels(i); ++i) {
        auto level = ladder_level(*quote, Side::sell, i);
        book.append_maker_level(Side::sell, level->price, level->size, MARKET_MAKER);
    }
}

OrderBook build_live_book(const LiveBookInput& input, const LiveBookOptions& options) {
    OrderBook book;
    build_live_book(input, options, book);
    return book;
}

}  // namespace corvane
