#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "core/maths.hpp"
#include "core/simulation.hpp"
#include "engine_fixture.hpp"

namespace corvane {
namespace {

using testing::at;
using testing::make_engine;
using testing::opened;
using testing::plain_company;
using testing::quiet_model;

// One component of the last tick, for every instrument in roster order.
std::vector<double> components(const Engine& engine, Component which) {
    std::vector<double> out;
    for (const ComponentRow& row : engine.tick_components()) out.push_back(row[slot(which)]);
    return out;
}

// A day's news impact on each instrument, spread over the day's ticks.
std::vector<double> per_tick(std::vector<double> day) {
    for (double& x : day) x = x * INV_TICKS_PER_DAY;
    return day;
}

// A, B in technology and C in energy, with round numbers.
std::vector<TickCompany> three_names() {
    return {plain_company("A", "technology", 0), plain_company("B", "technology", 1),
            plain_company("C", "energy", 2)};
}

TEST(TickDrawSchedule, CountsByStatusNoneWhenClosedAndNoneForHaltedNames) {
    Engine engine = opened(make_engine(100));
    TickOutcome open = engine.tick(at(9, 30));
    EXPECT_EQ(open.status, MarketStatus::open);
    EXPECT_EQ(open.draws, 613u);
    EXPECT_EQ(open.active.size(), 100u);
    EXPECT_EQ(engine.tick(at(8, 0)).draws, 1u + 12u + 200u);
    EXPECT_EQ(engine.tick(at(19, 59)).draws, 213u);
    EXPECT_EQ(engine.draws().market, 613u + 213u + 213u);

    auto before = testing::prices(engine);
    RngState streams = engine.rng_state();
    for (TickInput closed : {at(12, 0, 0), at(12, 0, 6), at(6, 59), at(20, 0), at(25, 10)}) {
        TickOutcome outcome = engine.tick(closed);
        EXPECT_EQ(outcome.status, MarketStatus::closed);
        EXPECT_EQ(outcome.draws, 0u);
        EXPECT_TRUE(outcome.active.empty());
    }
    EXPECT_EQ(engine.rng_state(), streams);
    EXPECT_EQ(testing::prices(engine), before);
    for (const ComponentRow& row : engine.tick_components()) EXPECT_EQ(row, ComponentRow{});

    // Suspended instruments are neither drawn for nor moved.
    auto roster = testing::generated_roster(100);
    roster[40].suspended = true;
    roster[41].tradable = false;
    engine = opened(make_engine(std::move(roster)));
    double price = engine.trading()[40].price;
    TickOutcome halted = engine.tick(at(11, 0));
    EXPECT_EQ(halted.draws, 1u + 12u + 6u * 98u);
    EXPECT_EQ(halted.active.size(), 98u);
    EXPECT_EQ(halted.active[40], 42u);
    EXPECT_EQ(engine.trading()[40].price, price);
}

TEST(TickOutsideRegularHours, BooksNoCrowdTermsScalesNoiseAndTradesNothing) {
    Engine pre = opened(make_engine(12)), open = opened(make_engine(12));
    (void)pre.tick(at(8, 0));
    (void)open.tick(at(9, 30));
    for (std::size_t i = 0; i < 12; ++i) {
        for (Component c : {Component::reversion, Component::momentum, Component::crowd_lean,
                            Component::short_squeeze_effect}) {
            EXPECT_EQ(components(pre, c)[i], 0.0);
        }
        // Same draws, so the same raw noise: x0.15 before the open, x1.2 at it.
        double ratio = components(pre, Component::random_noise)[i] /
                       components(open, Component::random_noise)[i];
        EXPECT_NEAR(ratio, 0.125, 1e-12);
        EXPECT_FALSE(pre.trading()[i].maker_inventory);
        EXPECT_EQ(pre.trading()[i].price, pre.tick_anchor()[i]);
    }
}

TEST(TickNews, ScopeFollowsTheFieldsSetAndReachesDuplicatesAndOddSectors) {
    auto news_after = [](NewsEvent event, double peer = 0.05, double peer_down = 0.1) {
        ModelParams model = quiet_model();
        model.news_peer_weight = peer;
        model.news_peer_weight_down = peer_down;
        Engine engine = opened(make_engine(three_names(), model));
        TickInput input = at(8, 0);
        input.news = {&event, 1};
        (void)engine.tick(input);
        return components(engine, Component::company_news);
    };
    double v = 0.01;
    EXPECT_EQ(news_after({v, {}, {}}), per_tick({v * 0.3, v * 0.3, v * 0.3}));
    EXPECT_EQ(news_after({v, {}, "technology"}), per_tick({v * 0.5, v * 0.5, 0.0}));
    EXPECT_EQ(news_after({v, "A-0", {}}), per_tick({v, 0.0, 0.0}));
    EXPECT_EQ(news_after({v, "A-0", "technology"}), per_tick({v, v * 0.05, 0.0}));
    EXPECT_EQ(news_after({-v, "A-0", "technology"}), per_tick({-v, -v * 0.1, 0.0}));
    EXPECT_EQ(news_after({v, "A-0", "technology"}, 0.0, 0.0), per_tick({v, 0.0, 0.0}));
    // A bare ticker is not a company id, and an absent impact is no impact.
    EXPECT_EQ(news_after({v, "A", {}}), per_tick({0.0, 0.0, 0.0}));
    // An unknown ticker with a sector still reaches that sector as a peer.
    EXPECT_EQ(news_after({v, "A", "energy"}), per_tick({0.0, 0.0, v * 0.05}));
    EXPECT_EQ(news_after({{}, {}, {}}), per_tick({0.0, 0.0, 0.0}));

    // News reaches duplicate ids and sectors outside the table.
    std::vector<TickCompany> roster = three_names();
    roster.push_back(plain_company("D", "energy", 3));
    roster.back().sector = "custom";
    roster.push_back(plain_company("A", "energy", 0));
    ModelParams model = quiet_model();
    model.news_peer_weight = 0.05;
    Engine engine = opened(make_engine(std::move(roster), model));
    v = 0.02;
    std::vector<NewsEvent> news = {{v, "A-0", "custom"}, {v, {}, "custom"}, {v, {}, {}}};
    TickInput input = at(8, 0);
    input.news = news;
    (void)engine.tick(input);
    double market = v * 0.3;
    std::vector<double> expected = {(0.0 + v) + market, market, market,
                                    ((0.0 + v * 0.05) + v * 0.5) + market, (0.0 + v) + market};
    EXPECT_EQ(components(engine, Component::company_news), per_tick(expected));
}

TEST(TickBounds, MispricingIsHeldAtTheCapAndTheBreakerPullsToTheBand) {
    ModelParams model = quiet_model();
    model.breaker_band_upper = 1e12;
    model.breaker_band_lower = 0.0;
    Engine engine = opened(make_engine(three_names(), model));
    NewsEvent boom{1e5, {}, {}};
    TickInput input = at(8, 0);
    input.news = {&boom, 1};
    for (double impact : {1e5, -1e5}) {
        boom.price_impact = impact;
        (void)engine.tick(input);
        for (const TradingState& c : engine.trading()) {
            EXPECT_EQ(c.mispricing_s, std::copysign(model.mispricing_cap, impact));
        }
    }
    EXPECT_EQ(components(engine, Component::circuit_breaker), std::vector<double>(3, 0.0));

    // At the default bands the breaker pulls to the band and books the difference.
    engine = opened(make_engine(three_names(), quiet_model()));
    std::vector<double> half = testing::prices(engine);
    for (double& p : half) p *= 0.5;
    ASSERT_TRUE(engine.set_column(PriceField::previous_close, half).ok());
    (void)engine.tick(at(8, 0));
    for (std::size_t i = 0; i < 3; ++i) {
        const TradingState& c = engine.trading()[i];
        EXPECT_EQ(c.price, half[i] * 1.25);
        double s = maths::log(c.price / engine.tick_fundamental()[i]);
        EXPECT_EQ(c.mispricing_s, std::max(s, -0.9));
        EXPECT_LT(components(engine, Component::circuit_breaker)[i], 0.0);
        EXPECT_EQ(engine.attribution()[i][slot(Component::circuit_breaker)],
                  components(engine, Component::circuit_breaker)[i]);
    }
    // In regular hours the traded print is pulled back into the band too.
    (void)engine.tick(at(10, 0));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_LE(engine.trading()[i].price, half[i] * 1.25);
}

TEST(TickFirstTick, StartsFromPriceAgainstFairValueWithNoMomentum) {
    Engine engine = opened(make_engine(24));
    // A momentum without a mispricing is dropped by the first tick.
    ASSERT_TRUE(
        engine.set_column(PriceField::mispricing_momentum, std::vector<double>(24, 0.5)).ok());
    std::vector<double> start = testing::prices(engine);
    (void)engine.tick(at(7, 0));
    for (std::size_t i = 0; i < start.size(); ++i) {
        const TradingState& c = engine.trading()[i];
        double expected = maths::log(start[i] / engine.tick_fundamental()[i]);
        expected = std::max(-0.9, std::min(expected, 0.9));
        EXPECT_EQ(engine.roster()[i].mispricing_s_prev_close, expected) << i;
        EXPECT_EQ(c.mispricing_momentum, 0.0);
        EXPECT_EQ(c.previous_tick_price, start[i]);
    }
    (void)engine.tick(at(10, 0));
    EXPECT_EQ(components(engine, Component::momentum), std::vector<double>(24, 0.0));
}

TEST(TickInputs, FlowReachesEveryListingOfItsTickerAndImpactsAmplifyVolume) {
    std::vector<InstrumentInit> universe;
    for (const GeneratedInstrument& g : random_universe(3, 1)) universe.push_back(g.to_init());
    Simulation sim = Simulation::create(5, universe, std::nullopt, quiet_model()).value();
    // A second listing under the second ticker, with the same figures.
    sim.list_instrument(universe[1]);
    CallInputs inputs;
    inputs.order_flow = {{universe[1].ticker, 1e6, 0.0}};
    ASSERT_TRUE(sim.tick(Clock{8, 0, 3, 1.0}, inputs).ok());
    auto flow = components(sim.engine(), Component::order_flow_impact);
    EXPECT_GT(flow[1], 0.0);
    EXPECT_EQ(flow, (std::vector<double>{0.0, flow[1], 0.0, flow[1]}));

    // A thinly traded name: its volume base (the larger of the average
    // volume and half a percent of its shares) is under 100 shares a tick,
    // so its impact divides by 100; so does the intensity of its flow.
    std::vector<TickCompany> names = three_names();
    TickCompany& thin = names[2];
    thin.avg_volume = 1000.0;
    thin.shares_outstanding = 1e6;
    thin.market_cap = thin.price * thin.shares_outstanding;
    const ModelParams model = quiet_model();
    Engine thin_market = opened(make_engine(names, model));
    const std::vector<OrderVolume> thin_flow = {{}, {}, {1000.0, 0.0}};
    TickInput early = at(8, 0);
    early.order_flow = thin_flow;
    (void)thin_market.tick(early);
    // 1000 shares against 100 a tick: intensity 1.5; all bought: imbalance 1.
    const double impact = model.informed_flow_fraction *
                          (model.order_flow_coefficient * ((1.0 * 1.5) * (1.0 / 100.0)));
    EXPECT_EQ(components(thin_market, Component::order_flow_impact)[2], impact * INV_TICKS_PER_DAY);

    // News impacts amplify volume up to tenfold, and reversals not at all.
    auto volumes = [](std::vector<NewsImpact> impacts) {
        Engine engine = opened(make_engine(three_names(), quiet_model()));
        TickInput input = at(9, 30);
        input.news_impacts = impacts;
        TickOutcome outcome = engine.tick(input);
        return std::vector<double>(outcome.volumes.begin(), outcome.volumes.end());
    };
    // One percent of impact adds one unit to the amplifier, up to ten in all.
    auto plain = volumes({});
    auto capped = volumes({{{}, "A-0", {}, 0.1, false}});
    auto halfway = volumes({{{}, "A-0", {}, 0.05, false}});
    EXPECT_GT(plain[0], 0.0);
    EXPECT_GE(capped[0], 10.0 * plain[0]);
    EXPECT_GE(halfway[0], 6.0 * plain[0]);
    EXPECT_LT(halfway[0], capped[0]);
    EXPECT_EQ(capped[1], plain[1]);
    EXPECT_EQ(volumes({{{}, "A-0", {}, 1.0, false}}), capped);
    EXPECT_EQ(
        volumes(
            {{{}, "A-0", {}, 0.03, false}, {{}, {}, {}, 0.0, false}, {{}, "A-0", {}, 0.02, false}}),
        halfway);
    EXPECT_EQ(volumes({{{}, "A-0", {}, 1.0, true}}), plain);
    // A sector list or a sector names every instrument in it.
    auto all = volumes({{{"energy", "technology"}, {}, {}, 0.1, false}});
    EXPECT_EQ(all, volumes({{{}, {}, "technology", 0.1, false}, {{}, {}, "energy", 0.1, false}}));
    EXPECT_EQ(all[0], capped[0]);
    EXPECT_GE(all[2], 10.0 * plain[2]);
}

TEST(CrisisBlend, OldAndNewPresetsTakeTheirOwnPathAboveTheThreshold) {
    EconomyState economy = create_initial_economy_state();
    economy.vix = 40.0;
    std::vector<double> noise;
    for (const char* name : {"kx-v6", "kx-v7"}) {
        Engine engine =
            Engine::with_params(11, testing::generated_roster(24), economy, CentralBank{},
                                testing::table_sector_keys(), ModelParams::preset(name).value());
        engine.open_market();
        (void)engine.tick(at(10, 0));
        noise.push_back(components(engine, Component::random_noise)[5]);
    }
    // Recorded once. Through kx-v6 the blend mixes the market factor into
    // the sector factors; from kx-v7 it loads the market term instead.
    EXPECT_EQ(noise, (std::vector<double>{-0x1.93819ba00fc7p-11, -0x1.6cd91074420a2p-11}));
}

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TEST(EngineColumns, NamesRoundTripAbsentOptionalsReadAsNaNAndWritesAreNarrow) {
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

    // Absent optionals read as NaN, and writes are checked and narrow.
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
    ASSERT_TRUE(engine.trading()[0].mispricing_s);
    ASSERT_TRUE(
        engine.set_column(PriceField::mispricing_s, std::vector<double>{NaN, 0.1, NaN}).ok());
    EXPECT_FALSE(engine.trading()[0].mispricing_s);
    EXPECT_EQ(engine.trading()[1].mispricing_s, 0.1);
    ASSERT_TRUE(
        engine.set_column(PriceField::mispricing_momentum, std::vector<double>(3, 0.3)).ok());
    (void)engine.tick(at(8, 1));
    EXPECT_TRUE(engine.trading()[0].mispricing_s);
    EXPECT_EQ(engine.trading()[0].mispricing_momentum, 0.0);
    EXPECT_EQ(engine.trading()[1].mispricing_momentum, 0.3);

    // A wrong length writes nothing; a price write touches nothing else, not
    // even the capitalisation.
    auto before = engine.column(PriceField::price);
    auto cap = engine.column(PriceField::market_cap);
    Status refused = engine.set_column(PriceField::price, std::vector<double>{1.0, 2.0});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "expected 3 values for 3 companies, got 2");
    EXPECT_EQ(engine.column(PriceField::price), before);
    ASSERT_TRUE(engine.set_column(PriceField::price, std::vector<double>{1.0, 2.0, 3.0}).ok());
    EXPECT_EQ(engine.column(PriceField::price), (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(engine.column(PriceField::market_cap), cap);
}

TEST(EngineRoster, ListingThenDelistingRestoresEveryVectorAndMovesNoStream) {
    Engine engine = opened(make_engine(4));
    (void)engine.tick(at(10, 0));
    RngState streams = engine.rng_state();
    auto volume_states = engine.instrument_volume_states();

    // Every per-instrument vector follows the roster.
    auto expect_size = [&](std::size_t n) {
        EXPECT_EQ(engine.size(), n);
        EXPECT_EQ(engine.trading().size(), n);
        EXPECT_EQ(engine.attribution().size(), n);
        EXPECT_EQ(engine.tick_components().size(), n);
        EXPECT_EQ(engine.tick_fundamental().size(), n);
        EXPECT_EQ(engine.tick_anchor().size(), n);
    };
    TickCompany listing = testing::plain_company("NEW", "energy", 4);
    engine.list(listing);
    expect_size(5);
    EXPECT_EQ(engine.trading()[4], static_cast<const TradingState&>(listing));
    EXPECT_TRUE(std::isnan(engine.tick_fundamental()[4]));
    EXPECT_TRUE(std::isnan(engine.tick_anchor()[4]));
    EXPECT_EQ(engine.attribution()[4], AttributionRow{});

    // Delisting the second shifts the tail down, the new one included.
    std::vector<std::string> ids = engine.ids();
    double third_anchor = engine.tick_anchor()[2];
    TradingState third = engine.trading()[2];
    ASSERT_TRUE(engine.delist(1).ok());
    EXPECT_EQ(engine.ids(), (std::vector<std::string>{ids[0], ids[2], ids[3], ids[4]}));
    EXPECT_EQ(engine.tick_anchor()[1], third_anchor);
    EXPECT_EQ(engine.trading()[1], third);
    EXPECT_EQ(engine.trading()[3], static_cast<const TradingState&>(listing));
    ASSERT_TRUE(engine.delist(3).ok());
    expect_size(3);

    EXPECT_EQ(engine.rng_state(), streams);
    EXPECT_EQ(engine.instrument_volume_states(), volume_states);
}

// Neither building the engine nor serving a book draws: the streams stay as
// derived from the seed. (Restoring them is the snapshot suites'.)
TEST(EngineStreams, BooksAndConstructionDrawNothingAndExternalDrawsLeaveTheMarket) {
    Engine engine = make_engine(2);
    auto book = engine.book_for(1);
    ASSERT_TRUE(book);
    EXPECT_EQ(book->company_id(), engine.roster()[1].company_id);
    EXPECT_EQ(book->bids().size(), 10u);
    EXPECT_EQ(book->asks().size(), 10u);
    EXPECT_LT(*book->best_bid(), engine.trading()[1].price);
    EXPECT_GT(*book->best_ask(), engine.trading()[1].price);
    EXPECT_FALSE(engine.book_for(2));
    auto derived = derive_streams(11);
    for (std::size_t i = 0; i < STREAM_COUNT; ++i)
        EXPECT_EQ(engine.rng_state()[i], derived[i].record());

    // External draws leave the market untouched.
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
