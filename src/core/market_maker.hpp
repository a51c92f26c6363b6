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

// Whether the ladder quotes level `index` (0 = inside) on each side: the
// inside always, deeper levels up to `options.levels` and the side's cap.
bool quotes_level(const LiveBookOptions& options, std::size_t index) noexcept;

// Market orders settled against the ladder itself, with exactly the fills,
// in the same order, that `OrderBook::submit` gives against the book
// `build_live_book` would build from the same quote. Levels are priced only
// when an order reaches them, and nothing is named, owned or allocated, so
// the tick can settle flow for every instrument without building a book.
class LadderSweep {
public:
    // Starts over on a fresh ladder; the last trade is `price`.
    LadderSweep(const LiveQuote& quote, const LiveBookOptions& options, double price) noexcept;

    // Both sides hold at least one order, as the built book's would.
    bool two_sided() noexcept;
    // A market order of `quantity` against the opposite side. Adds each
    // fill's quantity to `filled` and its signed share change (the maker's
    // side) to `maker_change`, fill by fill.
    void take(Side taker, double quantity, double& filled, double& maker_change) noexcept;
    double last_price() const noexcept { return last_price_; }

private:
    // The order at the front of one side: its level and what remains of it.
    struct Front {
        std::size_t level = 0;
        double price = 0.0;
        double remaining = 0.0;
        bool started = false;
        bool empty = false;
    };
    // Moves `front` to level `index` or beyond, onto the first level the
    // book would have held; empty when none is left.
    void seek(Front& front, Side side, std::size_t index) noexcept;
    Front& opened(Side side) noexcept;

    LiveQuote quote_;
    LiveBookOptions options_;
    Front bid_;
    Front ask_;
    double last_price_ = 0.0;
};

// Rebuilds `book` as the live book, reusing its buffers. Ladder orders are
// owned by "mm"; ids run from 0 on the best bid through the bids, then on
// through the asks.
void build_live_book(const LiveBookInput& input, const LiveBookOptions& options, OrderBook& book);
OrderBook build_live_book(const LiveBookInput& input, const LiveBookOptions& options);

// Owner of every ladder order.
inline constexpr std::string_view MARKET_MAKER = "mm";

}  // namespace corvane
