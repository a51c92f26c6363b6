#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "core/generator.hpp"
#include "core/market_maker.hpp"
#include "core/microstructure.hpp"
#include "core/order_book.hpp"

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

TEST(OrderBookReadOuts, SweepCostChangesNothingQuotesAndLevels) {
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

    // Quotes need both sides; levels group equal prices.
    book = OrderBook("X", 5.0);
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
    for (double price : {10.0, 9.0, 10.0}) crossed.append_maker_level(Side::sell, price, 1, "mm");
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
                    // The reference's ids are unique: at most one order goes.
                    std::string id = "R-" + std::to_string(rng.next_int(0, step));
                    auto named = [&](const auto& o) { return o.id == id; };
                    std::size_t removed = std::erase_if(reference.sides[0], named) +
                                          std::erase_if(reference.sides[1], named);
                    EXPECT_EQ(book.cancel_order(id), removed == 1) << "seed " << seed;
                    break;
                }
                case 'k': {
                    auto owned = [&](const auto& o) { return o.owner == owner; };
                    std::size_t removed = std::erase_if(reference.sides[0], owned) +
                                          std::erase_if(reference.sides[1], owned);
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

namespace ms = microstructure;

// Price 100, no inventory, volatility 1 and beta 1 (risk factor exactly 1),
// a million shares a day: base size 10,000.
LiveBookInput plain(double market_cap) {
    LiveBookInput input;
    input.volatility = 1.0;
    input.beta = 1.0;
    input.avg_volume = 1'000'000.0;
    input.company_id = "AAA";
    input.price = 100.0;
    input.market_cap = market_cap;
    return input;
}

double half_spread(const LiveBookInput& input, const LiveBookOptions& options = {}) {
    return quote_live_book(input, options)->half_spread;
}

// Best bid, best ask and the sizes shown there.
std::tuple<double, double, double, double> inside(const OrderBook& book) {
    return {*book.best_bid(), *book.best_ask(), book.bids()[0].quantity, book.asks()[0].quantity};
}

TEST(LiveBook, SpreadTiersSizeCurveStressRiskSqueezeAndBaseSizes) {
    // Full spread in basis points of 100: half of 3 bp is 0.015, and so on.
    const std::pair<double, double> tiers[] = {
        {50.5e9, 0.015}, {50e9, 0.025}, {10e9, 0.05}, {1e9, 0.15}, {std::nan(""), 0.15}};
    for (auto [cap, half] : tiers) EXPECT_DOUBLE_EQ(half_spread(plain(cap)), half) << cap;

    // 5 x (2.5 / 25)^-0.455 = 5 x 10^0.455 = 14.2551...
    EXPECT_NEAR(ms::blended_tier(10.0, 2.5, 1.0, 0.455), 14.2551, 1e-4);
    EXPECT_NEAR(ms::blended_tier(10.0, 2.5, 0.5, 0.455), 12.1275, 1e-4);
    // Clamped to [1, 100]; ignored at zero weight or without a capitalisation.
    EXPECT_EQ(ms::blended_tier(30.0, 1e-9, 1.0, 0.455), 100.0);
    EXPECT_EQ(ms::blended_tier(3.0, 1e6, 1.0, 0.455), 1.0);
    EXPECT_EQ(ms::blended_tier(30.0, 0.0, 1.0, 0.455), 30.0);
    EXPECT_EQ(ms::blended_tier(10.0, 2.5, 0.0, 0.455), 10.0);

    for (auto [vix, stress] : {std::pair{10.0, 1.0}, std::pair{15.0, 1.0}, std::pair{45.0, 2.0}})
        EXPECT_EQ(ms::vix_stress(vix), stress) << vix;
    LiveBookOptions stressed;
    stressed.vix = 45.0;
    EXPECT_DOUBLE_EQ(half_spread(plain(10e9), stressed), 0.1);

    EXPECT_DOUBLE_EQ(ms::volatility_beta_factor(std::nullopt, std::nullopt), 1.0);
    EXPECT_DOUBLE_EQ(ms::volatility_beta_factor(2.0, 1.5), 1.6);

    // A quarter of the float short: 1 + 2 x 0.1.
    EXPECT_DOUBLE_EQ(ms::squeeze_widening(250.0, 1000.0), 1.2);
    EXPECT_EQ(ms::squeeze_widening(150.0, 1000.0), 1.0);
    // A float of 1 share or less, or NaN, divides by 1.
    EXPECT_DOUBLE_EQ(ms::squeeze_widening(0.25, 0.5), 1.2);
    EXPECT_DOUBLE_EQ(ms::squeeze_widening(0.25, std::nan("")), 1.2);
    EXPECT_EQ(ms::squeeze_widening(std::nullopt, 1000.0), 1.0);

    // The base size comes from the first usable volume.
    EXPECT_EQ(ms::base_level_size(1'000'000.0, 5.0, 5.0), 10'000.0);
    EXPECT_EQ(ms::base_level_size(50.0, std::nullopt, std::nullopt), 1.0);
    EXPECT_EQ(ms::base_level_size(0.0, 25'000.0, std::nullopt), 250.0);
    EXPECT_EQ(ms::base_level_size(std::nan(""), std::nan(""), 1e6), 50.0);
    EXPECT_EQ(ms::base_level_size(std::nullopt, 0.0, 0.0), 1.0);
    EXPECT_EQ(ms::base_level_size(-500.0, std::nullopt, std::nullopt), 1.0);

    // Sizes decay to 1/1.3, 1/1.6, 1/1.9 of the base.
    OrderBook book = build_live_book(plain(100e9), {});
    ASSERT_EQ(book.bids().size(), 10u);
    ASSERT_EQ(book.asks().size(), 10u);
    for (auto s : {book.bids(), book.asks()}) {
        EXPECT_EQ(std::tuple(s[0].quantity, s[1].quantity, s[2].quantity, s[3].quantity),
                  std::tuple(10'000.0, 7'692.0, 6'250.0, 5'263.0));
    }
}

TEST(LiveBookLadder, MegaCapQuotesIdsAndSaturatedInventorySkew) {
    // Price 200, 3 bp: half spread 0.03, quotes 199.97 / 200.03, step 0.03.
    LiveBookInput input = plain(100e9);
    input.price = 200.0;
    OrderBook book = build_live_book(input, {});
    EXPECT_EQ(book.company_id(), "AAA");
    EXPECT_EQ(book.last_price(), 200.0);
    EXPECT_EQ(inside(book), std::tuple(199.97, 200.03, 10'000.0, 10'000.0));
    EXPECT_EQ(book.bids()[1].price, 199.94);
    EXPECT_EQ(book.asks()[9].price, 200.3);
    EXPECT_EQ(book.bids()[0].owner, "mm");
    EXPECT_EQ(book.id_text(book.bids()[0].order_id), "AAA-0");
    EXPECT_EQ(book.id_text(book.bids()[9].order_id), "AAA-9");
    EXPECT_EQ(book.id_text(book.asks()[0].order_id), "AAA-10");
    EXPECT_EQ(book.next_sequence(), 20u);

    // Rebuilding into the same book starts it over under the new company.
    LiveBookOptions two = tick_book_options(ModelParams{}, 15.0, 2.0);
    input.company_id = "BBB";
    build_live_book(input, two, book);
    EXPECT_EQ(book.bids().size(), 2u);
    EXPECT_EQ(book.id_text(book.asks()[0].order_id), "BBB-2");
    // At least one level, whatever the count says.
    two.levels = 0.0;
    build_live_book(input, two, book);
    EXPECT_EQ(book.bids().size(), 1u);
    EXPECT_EQ(book.asks().size(), 1u);

    // A saturated inventory skews the quotes.
    // Limit 12 x 10,000; half spread 0.05 at 10 bp.
    for (double inventory : {120'000.0, 500'000.0}) {
        LiveBookInput skewed = plain(10e9);
        skewed.maker_inventory = inventory;
        EXPECT_EQ(inside(build_live_book(skewed, {})), std::tuple(99.9, 100.0, 1'500.0, 10'000.0));
        skewed.maker_inventory = -inventory;
        EXPECT_EQ(inside(build_live_book(skewed, {})), std::tuple(100.0, 100.1, 10'000.0, 1'500.0));
    }
    // 15 % of a base of 1 share still shows one share.
    LiveBookInput thin = plain(10e9);
    thin.avg_volume = 50.0;
    thin.maker_inventory = 12.0;
    EXPECT_EQ(quote_live_book(thin, {})->bid_base, 1.0);
    // Half the limit: the mid moves by half of a half spread.
    LiveBookInput half = plain(10e9);
    half.maker_inventory = 60'000.0;
    EXPECT_DOUBLE_EQ(quote_live_book(half, {})->mid, 99.975);
    EXPECT_EQ(quote_live_book(half, {})->bid_base, 5'000.0);
}

TEST(LiveBookLadder, PennyStockQuotesFewerBidLevelsAndNoPriceNone) {
    // 30 bp of 0.05: the inside rounds to 0.05 / 0.06 and the step is one cent,
    // so bids stop at 0.01 while asks run on.
    LiveBookInput input = plain(1e6);
    input.price = 0.05;
    OrderBook book = build_live_book(input, {});
    ASSERT_EQ(book.bids().size(), 5u);
    EXPECT_EQ(book.bids()[0].price, 0.05);
    EXPECT_EQ(book.bids()[4].price, 0.01);
    ASSERT_EQ(book.asks().size(), 10u);
    EXPECT_EQ(book.asks()[0].price, 0.06);
    EXPECT_EQ(book.id_text(book.asks()[0].order_id), "AAA-5");

    // No price, no quotes.
    for (double price : {0.0, -3.0, std::nan("")}) {
        input.price = price;
        book = build_live_book(input, {});
        EXPECT_TRUE(book.bids().empty() && book.asks().empty());
        ASSERT_TRUE(book.last_price());
        EXPECT_TRUE(*book.last_price() == price || std::isnan(price));
    }
}

TEST(LiveBookLadder, AskAlwaysAtLeastOneCentAboveBid) {
    auto rng = GameRng::create(2024, 5);
    for (int i = 0; i < 20'000; ++i) {
        LiveBookInput input = plain(rng.next_float() * 100e9);
        input.price = std::floor(rng.next_float() * 1e6) / 1e4;
        input.maker_inventory = (rng.next_float() - 0.5) * 400'000.0;
        input.short_interest = rng.next_float() * 1e6;
        input.float_shares = 1e6;
        LiveBookOptions options;
        options.vix = rng.next_float() * 80.0;
        auto quote = quote_live_book(input, options);
        if (!quote) continue;
        ASSERT_GE(std::round((quote->ask - quote->bid) * 100.0), 1.0)
            << "price " << input.price << " iteration " << i;
        EXPECT_GE(quote->bid, 0.01);
    }
}

// The sweep and the built book agree fill for fill: random ladders, depths
// and order sizes, four orders each way as the tick sends them.
TEST(LadderSweep, FillsAsTheBuiltBookDoesAndSettleFlowAgreesBitForBit) {
    auto rng = GameRng::create(77, 3);
    for (int i = 0; i < 5'000; ++i) {
        LiveBookInput input = plain(rng.next_float() * 60e9);
        input.price = std::floor(rng.next_float() * 3e4) / 1e3;
        input.avg_volume = std::floor(rng.next_float() * 2e6);
        input.maker_inventory = (rng.next_float() - 0.5) * 80'000.0;
        LiveBookOptions options;
        options.levels = std::floor(rng.next_float() * 12.0);
        OrderBook book = build_live_book(input, options);
        auto quote = quote_live_book(input, options);
        if (!quote) continue;
        LadderSweep sweep(*quote, options, input.price);
        ASSERT_EQ(sweep.two_sided(), !book.bids().empty() && !book.asks().empty());
        double slice = std::floor(rng.next_float() * 40'000.0);
        for (int k = 0; k < 4; ++k) {
            Side side = rng.next_float() < 0.5 ? Side::buy : Side::sell;
            double filled = 0.0, change = 0.0, expected_filled = 0.0, expected_change = 0.0;
            sweep.take(side, slice, filled, change);
            for (const Fill& fill : book.submit(side, slice, "flow").fills) {
                expected_filled += fill.quantity;
                expected_change += side == Side::sell ? fill.quantity : -fill.quantity;
            }
            ASSERT_EQ(filled, expected_filled) << "iteration " << i;
            ASSERT_EQ(change, expected_change) << "iteration " << i;
            ASSERT_EQ(sweep.last_price(), *book.last_price()) << "iteration " << i;
        }
    }

    // The closed-form settlement against the sweep, over ladders from penny
    // stocks to infinite sizes, every depth the tick quotes and slices from a
    // share to many times the ladder: the same last trade and share change, bit
    // for bit, whenever it settles. It must settle nearly all of them, among
    // them orders that stop deep in the ladder and sides the orders exhaust.
    auto draws = GameRng::create(91, 4);
    int settled = 0, deep = 0, exhausted = 0;
    constexpr int TRIALS = 20'000;
    for (int i = 0; i < TRIALS; ++i) {
        LiveBookInput input = plain(draws.next_float() * 60e9);
        input.price = std::floor(std::exp(draws.next_float() * 14.0 - 5.0) * 1e3) / 1e3;
        double volume = draws.next_float() < 0.02 ? 0.0 : std::floor(draws.next_float() * 2e6);
        input.avg_volume = volume;
        input.shares_outstanding = draws.next_float() < 0.5 ? 1e300 : 1e6;
        input.maker_inventory = (draws.next_float() - 0.5) * 200'000.0;
        LiveBookOptions options;
        options.levels = std::floor(draws.next_float() * 12.0);
        auto quote = quote_live_book(input, options);
        if (!quote) continue;
        double slice = std::max(1.0, std::floor(std::exp(draws.next_float() * 12.0)));
        Side sides[4];
        for (Side& side : sides) side = draws.next_float() < 0.5 ? Side::buy : Side::sell;

        double price = -1.0, change = -1.0;
        if (!settle_flow(*quote, options, sides, slice, price, change)) continue;
        ++settled;
        LadderSweep sweep(*quote, options, input.price);
        ASSERT_TRUE(sweep.two_sided());
        double filled = 0.0, changes[4] = {0.0, 0.0, 0.0, 0.0};
        for (int k = 0; k < 4; ++k) sweep.take(sides[k], slice, filled, changes[k]);
        double expected = ((changes[0] + changes[1]) + changes[2]) + changes[3];
        ASSERT_EQ(std::bit_cast<std::uint64_t>(price),
                  std::bit_cast<std::uint64_t>(sweep.last_price()))
            << "iteration " << i;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(change), std::bit_cast<std::uint64_t>(expected))
            << "iteration " << i;
        deep += price != quote->bid && price != quote->ask &&
                price != ladder_level(*quote, Side::buy, 1).value_or(LadderLevel{}).price &&
                price != ladder_level(*quote, Side::sell, 1)->price;
        exhausted += filled < 4.0 * slice;
    }
    EXPECT_GT(settled, TRIALS * 9 / 10);
    EXPECT_GT(deep, TRIALS / 50);
    EXPECT_GT(exhausted, TRIALS / 10);
}

}  // namespace
}  // namespace corvane
