#include "core/engine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "engine_fixture.hpp"

namespace corvane {
namespace {

using testing::at;
using testing::make_engine;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(EngineColumns, EveryPublishedNameParsesToADistinctFieldAndBack) {
    std::set<PriceField> seen;
    for (std::string_view name : COLUMN_FIELDS) {
        auto field = price_field_from_name(name);
        ASSERT_TRUE(field) << name;
        EXPECT_EQ(name_of(*field), name);
        seen.insert(*field);
    }
    EXPECT_EQ(seen.size(), PRICE_FIELD_COUNT);
    for (std::string_view near_miss : {"Price", "prices", "PRICE", "price ", "", "jump"}) {
        EXPECT_FALSE(price_field_from_name(near_miss)) << near_miss;
    }
}

TEST(EngineColumns, AbsentOptionalsReadAsNaNAndNaNWritesMakeThemAbsent) {
    auto roster = testing::generated_roster(3);
    roster[1].beta.reset();
    Engine engine = make_engine(std::move(roster));
    auto beta = engine.column(PriceField::beta);
    EXPECT_FALSE(std::isnan(beta[0]));
    EXPECT_TRUE(std::isnan(beta[1]));
    EXPECT_TRUE(std::isnan(engine.column(PriceField::mispricing_s)[0]));

    // A NaN mispricing is re-initialised by the next tick from price and fair value.
    engine.open_market();
    (void)engine.tick(at(8, 0));
    ASSERT_TRUE(engine.roster()[0].mispricing_s);
    ASSERT_TRUE(
        engine.set_column(PriceField::mispricing_s, std::vector<double>{NaN, 0.1, NaN}).ok());
    EXPECT_FALSE(engine.roster()[0].mispricing_s);
    EXPECT_EQ(engine.roster()[1].mispricing_s, 0.1);
    ASSERT_TRUE(
        engine.set_column(PriceField::mispricing_momentum, std::vector<double>(3, 0.3)).ok());
    (void)engine.tick(at(8, 1));
    EXPECT_TRUE(engine.roster()[0].mispricing_s);
    EXPECT_EQ(engine.roster()[0].mispricing_momentum, 0.0);
    EXPECT_EQ(engine.roster()[1].mispricing_momentum, 0.3);
}

TEST(EngineColumns, SetColumnRefusesAWrongLengthAndWritesNothing) {
    Engine engine = make_engine(3);
    auto before = engine.column(PriceField::price);
    Status refused = engine.set_column(PriceField::price, std::vector<double>{1.0, 2.0});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "expected 3 values for 3 companies, got 2");
    EXPECT_EQ(engine.column(PriceField::price), before);

    // A price write touches nothing else, not even the capitalisation.
    auto cap = engine.column(PriceField::market_cap);
    ASSERT_TRUE(engine.set_column(PriceField::price, std::vector<double>{1.0, 2.0, 3.0}).ok());
    EXPECT_EQ(engine.column(PriceField::price), (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(engine.column(PriceField::market_cap), cap);
}

TEST(EngineRoster, ListingThenDelistingRestoresEveryVectorAndMovesNoStream) {
    Engine engine = make_engine(4);
    engine.open_market();
    (void)engine.tick(at(10, 0));
    RngState streams = engine.rng_state();
    auto volume_states = engine.instrument_volume_states();

    // Every per-instrument vector follows the roster.
    auto expect_size = [&](std::size_t n) {
        EXPECT_EQ(engine.size(), n);
        EXPECT_EQ(engine.attribution().size(), n);
        EXPECT_EQ(engine.tick_components().size(), n);
        EXPECT_EQ(engine.tick_fundamental().size(), n);
        EXPECT_EQ(engine.tick_anchor().size(), n);
    };
    engine.list(testing::plain_company("NEW", "energy", 4));
    expect_size(5);
    EXPECT_TRUE(std::isnan(engine.tick_fundamental()[4]));
    EXPECT_TRUE(std::isnan(engine.tick_anchor()[4]));
    EXPECT_EQ(engine.attribution()[4], AttributionRow{});

    // Delisting the second shifts the tail down, the new one included.
    std::vector<std::string> ids = engine.ids();
    double third_anchor = engine.tick_anchor()[2];
    ASSERT_TRUE(engine.delist(1).ok());
    EXPECT_EQ(engine.ids(), (std::vector<std::string>{ids[0], ids[2], ids[3], ids[4]}));
    EXPECT_EQ(engine.tick_anchor()[1], third_anchor);
    ASSERT_TRUE(engine.delist(3).ok());
    expect_size(3);

    EXPECT_EQ(engine.rng_state(), streams);
    EXPECT_EQ(engine.instrument_volume_states(), volume_states);
}

TEST(EngineBook, ServesTheFullLadderAndDrawsNothing) {
    Engine engine = make_engine(2);
    RngState streams = engine.rng_state();
    auto book = engine.book_for(1);
    ASSERT_TRUE(book);
    EXPECT_EQ(book->company_id(), engine.roster()[1].company_id);
    EXPECT_EQ(book->bids().size(), 10u);
    EXPECT_EQ(book->asks().size(), 10u);
    EXPECT_LT(*book->best_bid(), engine.roster()[1].price);
    EXPECT_GT(*book->best_ask(), engine.roster()[1].price);
    EXPECT_FALSE(engine.book_for(2));
    EXPECT_EQ(engine.rng_state(), streams);
}

// Restoring the streams is the snapshot suites' (a restored engine goes on as its source).
TEST(EngineStreams, ConstructionDrawsNothing) {
    Engine engine = make_engine(5);
    auto derived = derive_streams(11);
    for (std::size_t i = 0; i < STREAM_COUNT; ++i) {
        EXPECT_EQ(engine.rng_state()[i], derived[i].record());
    }
}

TEST(EngineStreams, ExternalDrawsLeaveTheMarketUntouched) {
    Engine a = make_engine(6), b = make_engine(6);
    for (int i = 0; i < 3; ++i) (void)b.draw_normal();
    (void)b.draw_uniform();
    EXPECT_EQ(b.draws().external, 4u);
    for (Engine* e : {&a, &b}) {
        e->open_market();
        for (int minute = 30; minute < 40; ++minute) (void)e->tick(at(9, minute));
    }
    EXPECT_EQ(testing::prices(a), testing::prices(b));
    EXPECT_EQ(a.draws().market, b.draws().market);
}

}  // namespace
}  // namespace corvane
