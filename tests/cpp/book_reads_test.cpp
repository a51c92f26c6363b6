// The top of book read straight off a quote against the book that quote
// builds, over quotes from a cent to past the prices where the inside stops
// rounding exactly, inventories that empty a side, and extreme spreads.
#include "core/book_reads.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "core/generator.hpp"

namespace corvane {
namespace {

// The price and shares of the first price level of one side of `book`; an
// empty side as the reads give it.
std::pair<double, double> first_level(const OrderBook& book, Side side) {
    std::vector<PriceLevel> levels = book.price_levels(side, 1);
    if (levels.empty()) return {std::numeric_limits<double>::quiet_NaN(), 0.0};
    return {levels[0].price, levels[0].quantity};
}

void expect_bits(double read, double truth, const char* what, double price) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(read), std::bit_cast<std::uint64_t>(truth))
        << what << " at price " << price << ": " << read << " against the book's " << truth;
}

TEST(TopOfBook, IsTheBuiltBooksFirstLevelOnEachSide) {
    GameRng rng = GameRng::create(11, 0);
    for (int trial = 0; trial < 20'000; ++trial) {
        LiveBookInput input;
        input.volatility = 0.5 + 2.0 * rng.next_float();
        input.beta = 3.0 * rng.next_float();
        input.avg_volume = std::pow(10.0, 8.0 * rng.next_float());
        input.short_interest = 0.5 * rng.next_float();
        input.float_shares = std::pow(10.0, 4.0 + 6.0 * rng.next_float());
        if (trial % 3 != 0) {
            input.maker_inventory =
                (rng.next_float() - 0.5) * std::pow(10.0, 9.0 * rng.next_float());
        }
        input.company_id = "T";
        // A cent to 1e15, log-uniform: past 1e13 the inside is no longer
        // taken as rounded and the ladder is walked.
        input.price = std::pow(10.0, -2.0 + 17.0 * rng.next_float());
        input.market_cap = std::pow(10.0, 6.0 + 7.0 * rng.next_float());
        const double vix = 10.0 + 70.0 * rng.next_float();
        const LiveBookOptions options = full_book_options(vix);
        std::optional<LiveQuote> quote = quote_live_book(input, options);
        ASSERT_TRUE(quote);
        OrderBook book = build_live_book(input, options);
        TopOfBook top = top_of_book(*quote, vix);
        auto [bid, bid_size] = first_level(book, Side::buy);
        auto [ask, ask_size] = first_level(book, Side::sell);
        expect_bits(top.bid, bid, "bid", input.price);
        expect_bits(top.ask, ask, "ask", input.price);
        expect_bits(top.bid_size, bid_size, "bid size", input.price);
        expect_bits(top.ask_size, ask_size, "ask size", input.price);
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace corvane
