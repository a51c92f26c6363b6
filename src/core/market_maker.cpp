#include "core/market_maker.hpp"

#include <algorithm>
#include <cmath>

namespace corvane {

namespace ms = microstructure;

LiveBookOptions full_book_options(double vix) noexcept { return {vix, 0.0, 0.455, BOOK_LEVELS}; }

QuoteTerms quote_terms(const LiveBookInput& input) noexcept {
    return {ms::volatility_beta_factor(input.volatility, input.beta),
            ms::squeeze_widening(input.short_interest, input.float_shares),
            ms::base_level_size(input.avg_volume, input.volume, input.shares_outstanding)};
}

std::optional<LiveQuote> quote_live_book(const LiveBookInput& input,
                                         const LiveBookOptions& options) noexcept {
    if (!(input.price > 0.0)) return std::nullopt;
    return quote_ladder(input.price, input.market_cap / 1e9, ms::vix_stress(options.vix),
                        quote_terms(input), input.maker_inventory, options);
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
