#include "core/order_book.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/generator.hpp"

namespace corvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

std::vector<std::string> ids(const OrderBook& book, Side side) {
    std::vector<std::string> out;
    for (const BookOrder& order : book.orders(side)) out.push_back(book.id_text(order.order_id));
    return out;
}

// Asks of 100 at 10.0 (m1) and 100 at 10.5 (m2).
OrderBook two_asks() {
    OrderBook book("AAPL");
    book.post_limit(Side::sell, 10.0, 100, "m1");
    book.post_limit(Side::sell, 10.5, 100, "m2");
    return book;
}

TEST(OrderBookSubmit, BadSizesAndLimitsTradeNothingAndInfiniteOnesBreakNothing) {
    // A bad size is an empty result; a NaN limit trades nothing and, not
    // being a price, posts nothing, leaving the whole size unfilled.
    const std::pair<double, double> cases[] = {{0.0, 11.0}, {-1.0, 11.0}, {NaN, 11.0},
                                               {50.0, NaN}, {50.0, -1.0}, {50.0, 0.0}};
    for (auto [size, limit] : cases) {
        OrderBook book = two_asks();
        MatchResult result = book.submit(Side::buy, size, "t", limit, true);
        EXPECT_TRUE(result.fills.empty());
        EXPECT_FALSE(result.average_price || result.resting);
        EXPECT_EQ(result.unfilled, size > 0 ? size : 0.0);
        EXPECT_EQ(book.next_sequence(), 2u);
        EXPECT_EQ(book.depth(Side::sell), 200.0);
        EXPECT_TRUE(book.bids().empty());
    }
    // Infinite sizes leave no broken order behind.
    OrderBook book("X");
    book.post_limit(Side::sell, 10.0, INF, "m");
    book.submit(Side::buy, INF, "t");
    for (const BookOrder& order : book.asks()) EXPECT_GT(order.remaining, 0.0);
}

// Each fill's fields, the average price and the quotes read-outs are checked
// value for value from the interpreter; here, what it cannot see.
TEST(OrderBookSubmit, SweepsAtTheMakersPricesOrStopsAtALimitAndPostsOrNot) {
    OrderBook swept = two_asks();
    EXPECT_EQ(swept.submit(Side::buy, 150, "t").fills.size(), 2u);
    ASSERT_EQ(swept.asks().size(), 1u);
    EXPECT_EQ(std::tuple(swept.asks()[0].price, swept.asks()[0].remaining, swept.last_price()),
              std::tuple(10.5, 50.0, 10.5));

    OrderBook posted = two_asks();
    MatchResult result = posted.submit(Side::buy, 150, "t", 10.0, true);
    ASSERT_EQ(result.fills.size(), 1u);
    EXPECT_EQ(result.unfilled, 0.0);
    ASSERT_TRUE(result.resting);
    EXPECT_EQ(posted.id_text(result.resting->order_id), "AAPL-2");
    ASSERT_EQ(posted.bids().size(), 1u);
    const BookOrder& bid = posted.bids()[0];
    EXPECT_EQ(std::tuple(bid.owner, bid.price, bid.quantity, bid.remaining),
              std::tuple("t", 10.0, 150.0, 50.0));

    OrderBook kept = two_asks();
    result = kept.submit(Side::buy, 150, "t", 10.0, false);
    EXPECT_EQ(result.unfilled, 50.0);
    EXPECT_FALSE(result.resting);
    EXPECT_TRUE(kept.bids().empty());
    EXPECT_EQ(kept.next_sequence(), 2u);

    // The limit trades equal prices; a sell limit mirrors it.
    OrderBook sells("X");
    sells.post_limit(Side::buy, 9.0, 10, "b");
    EXPECT_EQ(sells.submit(Side::sell, 5, "t", 9.0).fills.size(), 1u);
    EXPECT_TRUE(sells.submit(Side::sell, 5, "t", 9.01).fills.empty());
}

TEST(OrderBookIds, GeneratedAndSuppliedIdsShareTheSequence) {
    OrderBook book("AAPL");
    EXPECT_EQ(book.id_text(book.post_limit(Side::buy, 1, 1, "o")->order_id), "AAPL-0");
    EXPECT_EQ(book.id_text(book.post_limit(Side::buy, 1, 1, "o", "x")->order_id), "x");
    EXPECT_EQ(book.id_text(book.post_limit(Side::buy, 1, 1, "o")->order_id), "AAPL-2");
    EXPECT_FALSE(book.post_limit(Side::buy, 0.0, 1, "o"));
    EXPECT_FALSE(book.post_limit(Side::buy, 1, NaN, "o"));
    EXPECT_EQ(book.next_sequence(), 3u);
    EXPECT_EQ(ids(book, Side::buy), (std::vector<std::string>{"AAPL-0", "x", "AAPL-2"}));
    // Matching by text: neither a prefix nor a near miss cancels.
    for (const char* miss : {"AAPL-", "AAPL-20", "AAPL2"}) EXPECT_FALSE(book.cancel_order(miss));
    EXPECT_TRUE(book.cancel_order("AAPL-2"));
    EXPECT_EQ(ids(book, Side::buy), (std::vector<std::string>{"AAPL-0", "x"}));
    // A supplied id may repeat on the other side: one cancel takes one order,
    // the bid first; cancelling by owner spans both sides.
    book.post_limit(Side::sell, 5, 1, "p", "x");
    EXPECT_TRUE(book.cancel_order("x"));
    EXPECT_EQ(ids(book, Side::buy), (std::vector<std::string>{"AAPL-0"}));
    EXPECT_EQ(ids(book, Side::sell), (std::vector<std::string>{"x"}));
    book.post_limit(Side::sell, 6, 1, "o");
    EXPECT_EQ(book.cancel_all_for("o"), 2u);
    EXPECT_EQ(book.cancel_all_for("o"), 0u);
    EXPECT_EQ(ids(book, Side::sell), (std::vector<std::string>{"x"}));
    EXPECT_EQ(book.next_sequence(), 5u);
}

TEST(OrderBookCap, PostTruncatesAppendRefuses) {
    OrderBook book("X");
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(book.append_maker_level(Side::buy, 100.0 - i, 1, "mm"));
    }
    // A worse post is accepted, named and consumes a number, but is not on the book.
    auto worse = book.post_limit(Side::buy, 50.0, 1, "o");
    ASSERT_TRUE(worse);
    EXPECT_EQ(book.id_text(worse->order_id), "X-32");
    EXPECT_EQ(book.bids().size(), 32u);
    EXPECT_EQ(book.bids().back().price, 69.0);
    // A better one pushes the worst off.
    book.post_limit(Side::buy, 100.5, 1, "o");
    EXPECT_EQ(book.bids().size(), 32u);
    EXPECT_EQ(book.bids()[0].price, 100.5);
    EXPECT_EQ(book.bids().back().price, 70.0);
    EXPECT_EQ(book.append_maker_level(Side::buy, 1.0, 1, "mm"), nullptr);
    EXPECT_EQ(book.next_sequence(), 34u);
    EXPECT_EQ(book.id_text(book.post_limit(Side::sell, 200, 1, "o")->order_id), "X-34");
    // A remainder posted onto a full side is truncated the same way.
    MatchResult result = book.submit(Side::buy, 5, "t", 60.0, true);
    ASSERT_TRUE(result.resting);
    EXPECT_EQ(result.unfilled, 0.0);
    EXPECT_EQ(book.bids().back().price, 70.0);
    EXPECT_EQ(book.next_sequence(), 36u);
}

TEST(OrderBookReadOuts, SweepCostChangesNothing) {
    OrderBook book = two_asks();
    EXPECT_FALSE(book.sweep_cost(Side::sell, 10));
    EXPECT_EQ(book.sweep_cost(Side::buy, 500)->filled, 200.0);
    EXPECT_FALSE(book.last_price());
    EXPECT_EQ(book.depth(Side::sell), 200.0);
    EXPECT_EQ(book.next_sequence(), 2u);

    // A sweep that exactly empties a level stops there, quoted or traded.
    SweepCost exact = book.sweep_cost(Side::buy, 100).value();
    EXPECT_EQ(std::tuple(exact.average_price, exact.worst_price, exact.filled),
              std::tuple(10.0, 10.0, 100.0));
    MatchResult result = book.submit(Side::buy, 100, "t");
    ASSERT_EQ(result.fills.size(), 1u);
    EXPECT_EQ(result.unfilled, 0.0);
    EXPECT_EQ(book.asks().size(), 1u);
    EXPECT_EQ(book.best_ask(), 10.5);
    EXPECT_EQ(book.last_price(), 10.0);
}

TEST(OrderBookReadOuts, QuotesAndLevels) {
    OrderBook book("X", 5.0);
    EXPECT_FALSE(book.mid_price() || book.spread());
    book.post_limit(Side::sell, 10.5, 3, "a");
    EXPECT_FALSE(book.mid_price() || book.spread() || book.best_bid());
    book.post_limit(Side::buy, 10.0, 1, "a");
    book.post_limit(Side::buy, 10.0, 2, "a");
    book.post_limit(Side::buy, 9.5, 4, "a");
    EXPECT_EQ(book.price_levels(Side::buy, 10).size(), 2u);
    EXPECT_EQ(book.price_levels(Side::buy, 1).size(), 1u);
    // Appending out of order shows a price twice: only neighbours merge.
    OrderBook crossed("Y");
    crossed.append_maker_level(Side::sell, 10, 1, "mm");
    crossed.append_maker_level(Side::sell, 9, 1, "mm");
    crossed.append_maker_level(Side::sell, 10, 1, "mm");
    EXPECT_EQ(crossed.price_levels(Side::sell, 10).size(), 3u);
}

// The same rules on plain vectors, to check the slot window against: price
// then time priority, market orders never resting, and ids. (Its sides stay
// short of the 32-order cap, which OrderBookCap covers.)
struct ReferenceBook {
    struct Order {
        std::string id, owner;
        double price, remaining;
    };
    std::vector<Order> sides[2];
    std::uint64_t sequence = 0;

    std::string next_id() { return "R-" + std::to_string(sequence++); }
    void insert(Side side, Order order) {
        auto& orders = sides[static_cast<int>(side)];
        std::size_t at = 0;
        while (at < orders.size() && !(side == Side::buy ? orders[at].price < order.price
                                                         : orders[at].price > order.price)) {
            ++at;
        }
        orders.insert(orders.begin() + static_cast<std::ptrdiff_t>(at), order);
        if (orders.size() > 32) orders.resize(32);
    }
    void submit(Side side, double quantity, std::optional<double> limit, const std::string& taker) {
        auto& makers = sides[1 - static_cast<int>(side)];
        double remaining = quantity;
        while (remaining > 0 && !makers.empty()) {
            Order& maker = makers.front();
            if (limit && !(side == Side::buy ? maker.price <= *limit : maker.price >= *limit)) {
                break;
            }
            double take = std::min(maker.remaining, remaining);
            maker.remaining -= take;
            remaining -= take;
            if (maker.remaining <= 0) makers.erase(makers.begin());
        }
        if (remaining > 0 && limit) insert(side, {next_id(), taker, *limit, remaining});
    }
};

TEST(OrderBookWindow, AgreesWithAPlainVectorBookOverRandomOperations) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        auto rng = GameRng::create(seed, 77);
        OrderBook book("R");
        ReferenceBook reference;
        for (int step = 0; step < 400; ++step) {
            auto side = rng.next_bool(0.5) ? Side::buy : Side::sell;
            double price = static_cast<double>(rng.next_int(90, 110));
            double size = static_cast<double>(rng.next_int(1, 40));
            std::string owner = rng.next_bool(0.5) ? "a" : "a-much-longer-owner-name";
            // Weighted to append at the back while taking from the front, so
            // the slot window runs off its end and slides.
            const std::string_view ops = "ppaaaaaaaaaaasssssccktttttttttttttttttttt";
            switch (ops[static_cast<std::size_t>(rng.next_int(0, 40))]) {
                case 'p':
                    book.post_limit(side, price, size, owner);
                    reference.insert(side, {reference.next_id(), owner, price, size});
                    break;
                case 'a': {
                    auto& orders = reference.sides[static_cast<int>(side)];
                    if (orders.size() < 32) {
                        double worst = orders.empty() ? 100.0 : orders.back().price;
                        double next = side == Side::buy ? worst - 1 : worst + 1;
                        book.append_maker_level(side, next, size, owner);
                        orders.push_back({reference.next_id(), owner, next, size});
                    }
                    break;
                }
                case 's': {
                    std::optional<double> limit;
                    if (rng.next_bool(0.5)) limit = price;
                    book.submit(side, size, "t", limit, true);
                    reference.submit(side, size, limit, "t");
                    break;
                }
                case 'c': {
                    std::string id = "R-" + std::to_string(rng.next_int(0, step));
                    bool removed = false;
                    for (auto& orders : reference.sides) {
                        auto it = std::find_if(orders.begin(), orders.end(),
                                               [&](const auto& o) { return o.id == id; });
                        if (!removed && it != orders.end()) {
                            orders.erase(it);
                            removed = true;
                        }
                    }
                    EXPECT_EQ(book.cancel_order(id), removed) << "seed " << seed;
                    break;
                }
                case 'k': {
                    std::size_t removed = 0;
                    for (auto& orders : reference.sides) {
                        removed +=
                            std::erase_if(orders, [&](const auto& o) { return o.owner == owner; });
                    }
                    EXPECT_EQ(book.cancel_all_for(owner), removed) << "seed " << seed;
                    break;
                }
                default: {
                    // A taker for about the best order on one side.
                    auto& makers = reference.sides[1 - static_cast<int>(side)];
                    if (!makers.empty()) {
                        double take = makers.front().remaining;
                        book.submit(side, take, "t");
                        reference.submit(side, take, std::nullopt, "t");
                    }
                }
            }
            for (Side s : {Side::buy, Side::sell}) {
                std::vector<std::tuple<std::string, std::string, double, double>> got, want;
                for (const BookOrder& o : book.orders(s))
                    got.emplace_back(book.id_text(o.order_id), o.owner, o.price, o.remaining);
                for (const auto& o : reference.sides[static_cast<int>(s)])
                    want.emplace_back(o.id, o.owner, o.price, o.remaining);
                ASSERT_EQ(got, want) << "seed " << seed << " step " << step;
            }
        }
    }
}

}  // namespace
}  // namespace corvane
