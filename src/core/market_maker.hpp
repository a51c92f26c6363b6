// The market maker's live book: a ladder of quotes around one instrument's
// price, the liquidity every simulated order trades against. Its spread
// widens with a small capitalisation, a high VIX, a volatile sector, a high
// beta and a crowded short; its quotes lean away from the maker's inventory.
// A pure function of its inputs: no draws, no state kept between calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/order_book.hpp"
#include "core/params.hpp"

namespace corvane {

// What the caller takes from the instrument's tick record.
struct LiveBookInput {
    std::optional<double> volatility;
    std::optional<double> beta;
    std::optional<double> float_shares;
    std::optional<double> short_interest;
    std::optional<double> avg_volume;
    std::optional<double> volume;
    std::optional<double> shares_outstanding;
    // Signed shares; positive is long.
    std::optional<double> maker_inventory;
    // Becomes the book's company id, the prefix of every order id.
    std::string_view company_id;
    double price = 0.0;
    double market_cap = 0.0;
};

struct LiveBookOptions {
    double vix = 15.0;
    // 0 prices the spread from the capitalisation tiers alone.
    double spread_size_smoothness = 0.0;
    double spread_size_exponent = 0.455;
    // Levels per side, a whole number; at least one is always quoted.
    double levels = BOOK_LEVELS;
};

// The options the tick quotes with: the model's spread curve and a depth
// fitted to the flow.
LiveBookOptions tick_book_options(const ModelParams& model, double vix, double levels) noexcept;
// The full book a caller inspects: ten levels, tiers only, whatever the model.
LiveBookOptions full_book_options(double vix) noexcept;

struct LadderLevel {
    double price = 0.0;
    double size = 0.0;
};

// The inside of the ladder, from which every level follows.
struct LiveQuote {
    double half_spread = 0.0;
    // The price moved against the inventory.
    double mid = 0.0;
    // Inside quotes, in cents.
    double bid = 0.0;
    double ask = 0.0;
    // Distance between levels, at least a cent.
    double step = 0.0;
    // Shares at the inside; deeper levels decay from these.
    double bid_base = 0.0;
    double ask_base = 0.0;
};

// Nothing when the price is not positive (NaN included).
std::optional<LiveQuote> quote_live_book(const LiveBookInput& input,
                                         const LiveBookOptions& options) noexcept;

// Level `index` (0 = inside) of one side; nothing for a bid at or below zero.
std::optional<LadderLevel> ladder_level(const LiveQuote& quote, Side side,
                                        std::size_t index) noexcept;

// Rebuilds `book` as the live book, reusing its buffers. Ladder orders are
// owned by "mm"; ids run from 0 on the best bid through the bids, then on
// through the asks.
void build_live_book(const LiveBookInput& input, const LiveBookOptions& options, OrderBook& book);
OrderBook build_live_book(const LiveBookInput& input, const LiveBookOptions& options);

// Owner of every ladder order.
inline constexpr std::string_view MARKET_MAKER = "mm";

}  // namespace corvane
