// The desk's account and readings against the market they come from: fills
// priced on the engine's own built books, marks at those books' mids, the
// flow the market is handed, and returns, volumes and attribution read from
// the engine's columns, over steps that close one day and open the next.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/maths.hpp"
#include "core/trading_desk.hpp"
#include "engine_fixture.hpp"

namespace corvane {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// A plain engine driven as a batch member is, keeping what the test must see
// before the desk moves on: the flow it was handed, and the columns at the
// close, before the next open starts the day's totals over.
class EngineMarket final : public DeskMarket {
public:
    explicit EngineMarket(Engine& engine) : engine_(engine) {}
    const Engine& engine() const override { return engine_; }
    Status first_tick(const Clock& clock, std::span<const OrderVolume> flow,
                      bool any_flow) override {
        handed.assign(flow.begin(), flow.end());
        TickInput input = Simulation::tick_input(clock);
        if (any_flow) input.order_flow = flow;
        (void)engine_.tick(input);
        return Status::success();
    }
    Status run(const Clock& clock, std::uint64_t ticks) override {
        SessionRequest request;
        request.tick = Simulation::tick_input(clock);
        request.ticks = ticks;
        Result<SessionOutcome> ran = engine_.run_session(request);
        if (!ran) return Error{ran.error()};
        return Status::success();
    }
    void close() override {
        volume_at_close = engine_.column(PriceField::volume);
        engine_.close_day(++day_);
    }
    void open() override {
        attribution_at_close.assign(engine_.attribution().begin(), engine_.attribution().end());
        engine_.open_market();
    }

    std::vector<OrderVolume> handed;
    std::vector<double> volume_at_close;
    std::vector<AttributionRow> attribution_at_close;

private:
    Engine& engine_;
    std::uint32_t day_ = 0;
};

void expect_same(double desk, double truth, const char* what, std::size_t j) {
    EXPECT_TRUE(desk == truth || (std::isnan(desk) && std::isnan(truth)))
        << what << " of traded instrument " << j << ": desk " << desk << ", market " << truth;
}

TEST(TradingDesk, AccountAndReadingsFollowTheMarketTheyWereReadFrom) {
    Engine engine = testing::make_engine(6);
    engine.open_market();
    EngineMarket market(engine);

    DeskTerms terms;
    terms.traded = {4, 0, 2};
    terms.max_position = {3000.0, 1500.0, 800.0};
    terms.volume_per_tick = {50.0, 70.0, 90.0};
    terms.starting_cash = 1e6;
    terms.window = 2;
    terms.ticks_per_step = 150;
    terms.episode_days = 2;
    terms.low.assign(terms.observation_size(), -INF);
    terms.high.assign(terms.observation_size(), INF);
    ASSERT_TRUE(check_desk_terms(terms, engine.size()));
    const std::size_t n = terms.width();
    TradingDesk desk(terms, 1, engine.size());
    desk.start(0, market);
    desk.started();

    // The built books' first levels: mids (an empty side reads as the last
    // price), relative spreads, and the shares at the best bid and ask.
    struct Tops {
        std::vector<double> mid, spread, bid_size, ask_size;
    };
    auto tops = [&] {
        Tops top;
        for (std::size_t i : terms.traded) {
            double price = engine.trading()[i].price;
            std::optional<OrderBook> book = engine.book_for(i);
            double bid = book ? book->best_bid().value_or(price) : price;
            double ask = book ? book->best_ask().value_or(price) : price;
            double mid = (bid + ask) * 0.5;
            top.mid.push_back(mid);
            top.spread.push_back((ask - bid) / mid);
            auto shares = [&](Side side) {
                std::vector<PriceLevel> levels =
                    book ? book->price_levels(side, 1) : std::vector<PriceLevel>{};
                return levels.empty() ? 0.0 : levels[0].quantity;
            };
            top.bid_size.push_back(shares(Side::buy));
            top.ask_size.push_back(shares(Side::sell));
        }
        return top;
    };
    auto mids = [&] { return tops().mid; };
    auto traded_column = [&](const std::vector<double>& column) {
        std::vector<double> out;
        for (std::size_t i : terms.traded) out.push_back(column[i]);
        return out;
    };
    double cash = terms.starting_cash;
    std::vector<double> position(n, 0.0);
    std::vector<double> mid = mids();
    EXPECT_EQ(desk.book(0).wealth, cash);
    std::vector<AttributionRow> base(engine.attribution().begin(), engine.attribution().end());

    // 150, 150 and 90 minutes end the first day; the fourth step opens the second.
    const std::vector<std::vector<double>> targets = {
        {0.5, -1.0, 0.25}, {-0.5, 1.0, 0.25}, {1.0, 0.0, -0.75}, {0.0, 0.3, 1.0}};
    for (std::size_t step = 0; step < targets.size(); ++step) {
        const std::vector<double>& target = targets[step];
        // What the desk last read.
        std::vector<double> price_before = traded_column(engine.column(PriceField::price));
        std::vector<double> volume_before = traded_column(engine.column(PriceField::volume));
        // A minute the desk does not run, as the desk is told: its trade must
        // price against the books as they now stand, not as it last read them.
        if (step == 1) {
            (void)engine.tick(Simulation::tick_input(desk.next_step().first));
            desk.markets_changed();
        }
        std::vector<double> quantity(n, 0.0);
        std::vector<double> average(n, std::nan(""));
        std::vector<double> worst(n, std::nan(""));
        std::vector<double> cost(n, 0.0);
        std::vector<OrderVolume> flow(engine.size());
        double spent = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            std::size_t i = terms.traded[j];
            double wanted = std::nearbyint(target[j] * terms.max_position[j]) - position[j];
            if (wanted == 0.0) continue;
            std::optional<SweepCost> swept = engine.book_for(i)->sweep_cost(
                wanted > 0.0 ? Side::buy : Side::sell, std::fabs(wanted));
            if (!swept) continue;
            quantity[j] = wanted > 0.0 ? swept->filled : -swept->filled;
            average[j] = swept->average_price;
            worst[j] = swept->worst_price;
            cost[j] = quantity[j] * (average[j] - mid[j]);
            spent = spent + quantity[j] * average[j];
            flow[i] =
                wanted > 0.0 ? OrderVolume{swept->filled, 0.0} : OrderVolume{0.0, swept->filled};
        }
        TradingDesk::StepClock clock = desk.next_step();
        ASSERT_TRUE(desk.step(0, market, clock, target, true));
        desk.stepped(clock);

        ASSERT_EQ(market.handed.size(), flow.size());
        for (std::size_t i = 0; i < flow.size(); ++i) {
            EXPECT_EQ(market.handed[i].buy, flow[i].buy) << "bought, roster " << i;
            EXPECT_EQ(market.handed[i].sell, flow[i].sell) << "sold, roster " << i;
        }
        cash = cash - spent;
        for (std::size_t j = 0; j < n; ++j) position[j] = position[j] + quantity[j];
        Tops top = tops();
        mid = top.mid;
        double wealth = 0.0;
        for (std::size_t j = 0; j < n; ++j) wealth = wealth + position[j] * mid[j];
        wealth = cash + wealth;

        const std::vector<double>& out = desk.book(0).outputs;
        EXPECT_EQ(out[0], wealth);
        EXPECT_EQ(out[1], cash);
        EXPECT_EQ(desk.book(0).wealth, wealth);
        std::vector<double> volume_after = traded_column(
            clock.closes ? market.volume_at_close : engine.column(PriceField::volume));
        std::vector<double> price_after = traded_column(engine.column(PriceField::price));
        const std::vector<AttributionRow>& end =
            clock.reopens ? market.attribution_at_close
                          : std::vector<AttributionRow>(engine.attribution().begin(),
                                                        engine.attribution().end());
        std::vector<float> seen(terms.observation_size());
        desk.observe(0, seen);
        for (std::size_t j = 0; j < n; ++j) {
            std::size_t i = terms.traded[j];
            expect_same(out[DESK_HEAD + j], quantity[j], "quantity", j);
            expect_same(out[DESK_HEAD + n + j], average[j], "average price", j);
            expect_same(out[DESK_HEAD + 2 * n + j], worst[j], "worst price", j);
            expect_same(out[DESK_HEAD + 3 * n + j], cost[j], "cost over the mid", j);
            for (std::size_t slot = 0; slot < ATTRIBUTION_SLOTS; ++slot) {
                expect_same(out[DESK_HEAD + 4 * n + slot * n + j], end[i][slot] - base[i][slot],
                            "attribution", j);
            }
            // The newest row of each window is its last.
            expect_same(seen[n + j],
                        static_cast<float>(maths::log(price_after[j] / price_before[j])), "return",
                        j);
            expect_same(
                seen[3 * n + j],
                static_cast<float>((volume_after[j] - volume_before[j]) /
                                   (terms.volume_per_tick[j] * static_cast<double>(clock.ticks))),
                "volume", j);
            expect_same(seen[4 * n + j], static_cast<float>(top.spread[j]), "spread", j);
            expect_same(seen[5 * n + j],
                        static_cast<float>(top.bid_size[j] / terms.max_position[j]), "bid size", j);
            expect_same(seen[6 * n + j],
                        static_cast<float>(top.ask_size[j] / terms.max_position[j]), "ask size", j);
            expect_same(seen[7 * n + j], static_cast<float>(position[j] / terms.max_position[j]),
                        "position", j);
        }
        expect_same(seen[8 * n], static_cast<float>(cash / terms.starting_cash), "cash", 0);
        expect_same(seen[8 * n + 3], static_cast<float>(static_cast<double>(desk.minute()) / 390.0),
                    "time of day", 0);
        base.assign(engine.attribution().begin(), engine.attribution().end());
    }
    EXPECT_EQ(desk.day(), 1u);
    EXPECT_EQ(desk.minute(), 150u);
}

TEST(TradingDesk, TermsNameTheirFirstFault) {
    auto valid = [] {
        DeskTerms terms;
        terms.traded = {1, 0};
        terms.max_position = {10.0, 20.0};
        terms.volume_per_tick = {1.0, 2.0};
        terms.starting_cash = 100.0;
        terms.window = 3;
        terms.ticks_per_step = 390;
        terms.episode_days = 1;
        terms.low.assign(terms.observation_size(), 0.0);
        terms.high = terms.low;
        return terms;
    };
    ASSERT_TRUE(check_desk_terms(valid(), 2));
    const std::vector<std::pair<void (*)(DeskTerms&), std::string>> faults = {
        {[](DeskTerms& t) { t.traded = {}; }, "a desk trades at least one instrument"},
        {[](DeskTerms& t) {
             t.traded = {1, 2};
         },
         "below 2, got 2"},
        {[](DeskTerms& t) {
             t.traded = {1, 1};
         },
         "below 2, got 1"},
        {[](DeskTerms& t) { t.max_position[1] = 0.0; }, "max_position and volume_per_tick"},
        {[](DeskTerms& t) { t.volume_per_tick[0] = INF; }, "max_position and volume_per_tick"},
        {[](DeskTerms& t) { t.starting_cash = std::nan(""); }, "starting_cash"},
        {[](DeskTerms& t) { t.window = DESK_MAX_WINDOW + 1; }, "window must be from 1 to"},
        {[](DeskTerms& t) { t.ticks_per_step = 391; }, "ticks_per_step"},
        {[](DeskTerms& t) { t.episode_days = 0; }, "episode_days"},
        {[](DeskTerms& t) { t.low.pop_back(); }, "low and high must hold 24 bounds each, none NaN"},
        {[](DeskTerms& t) { t.high[23] = std::nan(""); },
         "low and high must hold 24 bounds each, none NaN"},
    };
    for (const auto& [spoil, message] : faults) {
        DeskTerms terms = valid();
        spoil(terms);
        Status checked = check_desk_terms(terms, 2);
        ASSERT_FALSE(checked) << message;
        EXPECT_NE(checked.error().find(message), std::string::npos) << checked.error();
    }
}

}  // namespace
}  // namespace corvane
