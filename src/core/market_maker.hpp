// The market maker's live book: a ladder of quotes around one instrument's
// price, the liquidity every simulated order trades against. Its spread
// widens with a small capitalisation, a high VIX, a volatile sector, a high
// beta and a crowded short; its quotes lean away from the maker's inventory.
// A pure function of its inputs: no draws, no state kept between calls.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string_view>

#include "core/microstructure.hpp"
#include "core/order_book.hpp"
#include "core/params.hpp"
#include "core/rounding.hpp"

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
inline LiveBookOptions tick_book_options(const ModelParams& model, double vix,
                                         double levels) noexcept {
    return {vix, model.spread_size_smoothness, model.spread_size_exponent, levels};
}
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

// The terms of a quote that follow from the instrument rather than from its
// price or inventory, so a caller quoting one instrument many times can
// work them out once.
struct QuoteTerms {
    // Widening from the sector's volatility and the beta.
    double risk = 1.0;
    // Widening from a crowded short.
    double squeeze = 1.0;
    // Shares per level before the inventory lean: a whole number (or
    // infinite), as `base_level_size` gives it.
    double base = 1.0;
};

QuoteTerms quote_terms(const LiveBookInput& input) noexcept;

// `microstructure::cents` of a positive price, which never rounds to -0.0
// and whose floor has no sign to mend. The inside quotes are at least a
// cent, so they round here with the same bits.
inline double positive_cents(double price) noexcept {
    double y = price * 100.0;
    double r = rounding::floor_non_negative(y);
    // A coin toss across instruments: added, not branched on. The floor of
    // a positive price is never -0.0, so adding a zero keeps its bits.
    return (r + static_cast<double>(y - r >= 0.5)) / 100.0;
}

// The full spread in basis points for a capitalisation `cap` in billions.
inline double spread_tier(double cap, const LiveBookOptions& options) noexcept {
    namespace ms = microstructure;
    return ms::blended_tier(ms::capitalisation_tier(cap), cap, options.spread_size_smoothness,
                            options.spread_size_exponent);
}

// The half spread as a fraction of the price: basis points from size,
// stress, sector risk and short crowding. It changes only with the tier, so
// a caller quoting one instrument tick after tick can keep it.
inline double half_spread_fraction(double tier, double stress, const QuoteTerms& terms) noexcept {
    return ((((tier * terms.risk) * stress) * terms.squeeze) * 0.5) / 10000.0;
}

// The quote at a positive `price` whose half spread is `fraction` of it.
inline LiveQuote quote_at_spread(double price, double fraction, const QuoteTerms& terms,
                                 const std::optional<double>& inventory) noexcept {
    namespace ms = microstructure;
    LiveQuote quote;
    quote.half_spread = fraction * price;

    // Lean away from inventory: a long maker quotes lower and shows less bid.
    double base = terms.base;
    double skew = ms::inventory_skew(inventory, base, INVENTORY_LIMIT_LEVELS);
    quote.mid = price - quote.half_spread * skew;
    // The base is already whole, so only the shrunk side needs rounding.
    double shrink = std::max(0.15, std::min(1.0 - std::fabs(skew), 1.0));
    double shrunk = std::max(1.0, rounding::floor_non_negative(shrink * base));
    quote.bid_base = skew > 0.0 ? shrunk : std::max(1.0, base);
    quote.ask_base = skew < 0.0 ? shrunk : std::max(1.0, base);

    // Inside quotes at least a cent apart, then rounded to cents.
    double bid = std::max(0.01, quote.mid - quote.half_spread);
    double ask = std::max(bid + 0.01, quote.mid + quote.half_spread);
    quote.bid = positive_cents(bid);
    quote.ask = positive_cents(ask);
    quote.step = std::max(0.01, (quote.ask - quote.bid) * 0.5);
    return quote;
}

// The quote at a positive `price`, with `cap` the capitalisation in
// billions (market cap / 1e9) and `stress` the VIX stress of `options.vix`;
// `quote_live_book` is this behind the price check.
inline LiveQuote quote_ladder(double price, double cap, double stress, const QuoteTerms& terms,
                              const std::optional<double>& inventory,
                              const LiveBookOptions& options) noexcept {
    return quote_at_spread(price, half_spread_fraction(spread_tier(cap, options), stress, terms),
                           terms, inventory);
}

// Nothing when the price is not positive (NaN included).
std::optional<LiveQuote> quote_live_book(const LiveBookInput& input,
                                         const LiveBookOptions& options) noexcept;

// Level `index` (0 = inside) of one side; nothing for a bid at or below zero.
// How level sizes shrink with depth: 1 / (0.3 i + 1) for level i, worked
// out once rather than divided again for every level of every quote.
inline constexpr std::array<double, MAX_DEPTH_PER_SIDE> LEVEL_DECAY = [] {
    std::array<double, MAX_DEPTH_PER_SIDE> decay{};
    for (std::size_t index = 0; index < decay.size(); ++index) {
        decay[index] = 1.0 / (static_cast<double>(index) * 0.3 + 1.0);
    }
    return decay;
}();

// The inside level of a quote is its inside price as it stands: that is
// already a whole number r of cents, and rounding r / 100 to cents again
// gives it back while r / 100 x 100 errs by less than half a cent, which
// holds for every price below 1e13. Both inside prices must be below it, so
// that the step is finite and adding none of it changes nothing.
inline bool inside_is_rounded(const LiveQuote& quote, std::size_t index) noexcept {
    return index == 0 && quote.bid < 1e13 && quote.ask < 1e13;
}

// The quote's sizes are those `quote_ladder` gives, whole and at least one
// (or infinite), and every decay is positive, so a level's size is positive
// and truncates to its floor.
inline double level_size(const LiveQuote& quote, Side side, std::size_t index) noexcept {
    double decay = index < LEVEL_DECAY.size() ? LEVEL_DECAY[index]
                                              : 1.0 / (static_cast<double>(index) * 0.3 + 1.0);
    if (side == Side::buy)
        return std::max(1.0, rounding::floor_non_negative(quote.bid_base * decay));
    return std::max(1.0, rounding::floor_non_negative(decay * quote.ask_base));
}

inline std::optional<LadderLevel> ladder_level(const LiveQuote& quote, Side side,
                                               std::size_t index) noexcept {
    double i = static_cast<double>(index);
    bool rounded = inside_is_rounded(quote, index);
    if (side == Side::buy) {
        double price = rounded ? quote.bid : microstructure::cents(quote.bid - quote.step * i);
        if (!(price > 0.0)) return std::nullopt;
        return LadderLevel{price, level_size(quote, side, index)};
    }
    return LadderLevel{rounded ? quote.ask : microstructure::cents(quote.step * i + quote.ask),
                       level_size(quote, side, index)};
}

// Whether the ladder quotes level `index` (0 = inside) on each side: the
// inside always, deeper levels up to `options.levels` and the side's cap.
inline bool quotes_level(const LiveBookOptions& options, std::size_t index) noexcept {
    // A side holds at most MAX_DEPTH_PER_SIDE orders and refuses the rest
    // without consuming ids, so deeper levels would change nothing.
    return index < MAX_DEPTH_PER_SIDE &&
           (index == 0 || static_cast<double>(index) < options.levels);
}

// Market orders settled against the ladder itself, with exactly the fills,
// in the same order, that `OrderBook::submit` gives against the book
// `build_live_book` would build from the same quote. Levels are priced only
// when an order reaches them, and nothing is named, owned or allocated, so
// the tick can settle flow for every instrument without building a book.
class LadderSweep {
public:
    // Starts over on a fresh ladder; the last trade is `price`.
    LadderSweep(const LiveQuote& quote, const LiveBookOptions& options, double price) noexcept
        : quote_(quote), options_(options), last_price_(price) {}

    // Both sides hold at least one order, as the built book's would.
    bool two_sided() noexcept { return !opened(Side::buy).empty && !opened(Side::sell).empty; }
    // A market order of `quantity` against the opposite side. Adds each
    // fill's quantity to `filled` and its signed share change (the maker's
    // side) to `maker_change`, fill by fill.
    void take(Side taker, double quantity, double& filled, double& maker_change) noexcept {
        if (!(quantity > 0.0)) return;
        Side maker = opposite(taker);
        Front& front = opened(maker);
        double remaining = quantity;
        while (!front.empty && remaining > 0.0) {
            double take = front.remaining < remaining ? front.remaining : remaining;
            remaining = remaining - take;
            filled += take;
            // Picked from a pair, not branched on: the tick's sides are
            // random, so a branch here would be mispredicted half the time.
            const double signed_take[2] = {-take, take};
            maker_change += signed_take[static_cast<std::size_t>(taker)];
            front.remaining = front.remaining - take;
            last_price_ = front.price;
            if (!(front.remaining > 0.0)) seek(front, maker, front.level + 1);
        }
    }
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
    void seek(Front& front, Side side, std::size_t index) noexcept {
        front.started = true;
        // The book's rules for a level: bids stop at the first price that is
        // not positive; an ask the book refuses is simply not there.
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
    Front& opened(Side side) noexcept {
        Front& front = fronts_[static_cast<std::size_t>(side)];
        if (!front.started) seek(front, side, 0);
        return front;
    }

    LiveQuote quote_;
    LiveBookOptions options_;
    // The bid's front, then the ask's, by side.
    Front fronts_[2];
    double last_price_ = 0.0;
};

// How far orders totalling `demand` shares reach into the `maker` side: the
// shares they get and the level of their last fill. Only sizes are needed
// on the way. The demand is whole and below 2^52, so every difference here
// is exact and the shares taken stay below the demand, whatever the sizes.
struct LadderReach {
    double shares = 0.0;
    std::size_t level = 0;
};

inline LadderReach ladder_reach(const LiveQuote& quote, const LiveBookOptions& options, Side maker,
                                double demand) noexcept {
    double taken = 0.0;
    for (std::size_t index = 0;; ++index) {
        double size = level_size(quote, maker, index);
        if (demand - taken <= size) return {demand, index};
        if (!quotes_level(options, index + 1)) return {taken + size, index};
        taken = taken + size;
    }
}

// The tick's four market orders of `slice` shares each, settled without
// walking fill by fill: each side's orders take the opposite levels in
// turn, so the shares a side gets settle every order's fill, and the last
// trade is at the level where the last order to fill anything stopped.
// Gives the sweep's last trade and the maker's share change, summed order by
// order as the tick sums them, bit for bit; says whether it could.
//
// It declines a slice or an inside too large for the whole numbers to stay
// exact, and a bid it would reach that is not quoted; the sweep settles
// those. Under its guards every ask level is quoted: its price is at least
// a cent and its size at least one. Bid prices only fall with depth, so the
// deepest bid reached being positive means every bid before it is too.
inline bool settle_flow(const LiveQuote& quote, const LiveBookOptions& options,
                        const Side (&sides)[4], double slice, double& price,
                        double& maker_change) noexcept {
    if (!(slice < 0x1p50) || !(quote.bid > 0.0) || !(quote.ask > 0.0) ||
        !inside_is_rounded(quote, 0))
        return false;
    // By the taker's side, as the sides index everything below.
    double orders[2] = {0.0, 0.0};
    for (Side side : sides) orders[static_cast<std::size_t>(side)] += 1.0;
    LadderReach reach[2];
    for (std::size_t taker = 0; taker < 2; ++taker) {
        if (orders[taker] > 0.0)
            reach[taker] = ladder_reach(quote, options, opposite(static_cast<Side>(taker)),
                                        orders[taker] * slice);
    }
    if (orders[1] > 0.0 && !ladder_level(quote, Side::buy, reach[1].level)) return false;

    double before[2] = {0.0, 0.0};
    double change[4];
    std::size_t last = 0;
    for (std::size_t order = 0; order < 4; ++order) {
        auto taker = static_cast<std::size_t>(sides[order]);
        double fill = std::min(slice, std::max(0.0, reach[taker].shares - before[taker]));
        before[taker] = before[taker] + slice;
        // A buyer takes the ask and the maker sells. An order that gets
        // nothing leaves its change at +0.0, as the sweep does.
        const double signed_fill[2] = {-fill, fill};
        change[order] = 0.0 + signed_fill[taker];
        if (fill > 0.0) last = taker;
    }
    maker_change = ((change[0] + change[1]) + change[2]) + change[3];
    price = ladder_level(quote, opposite(static_cast<Side>(last)), reach[last].level)->price;
    return true;
}

// Rebuilds `book` as the live book, reusing its buffers. Ladder orders are
// owned by "mm"; ids run from 0 on the best bid through the bids, then on
// through the asks.
void build_live_book(const LiveBookInput& input, const LiveBookOptions& options, OrderBook& book);
OrderBook build_live_book(const LiveBookInput& input, const LiveBookOptions& options);

// Owner of every ladder order.
inline constexpr std::string_view MARKET_MAKER = "mm";

}  // namespace corvane
