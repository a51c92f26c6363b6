// Whole-state hashes of runs that reach what the fixed-simulation digest
// never sees: every session-buffer cell, every column, the day vectors, the
// streams and their counters, and every instrument's full book, over caller
// flow, news, lingering impacts, deep ladders, every preset, sessions past
// the close and outside regular hours, and roster edits mid-run. A change to
// any arithmetic, its order or a draw moves these hashes.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/sha256.hpp"
#include "engine_fixture.hpp"
#include "golden.hpp"

namespace corvane::testing {
namespace {

class StateHash {
public:
    void add(double value) { hash_.update_big_endian(value); }
    void add(std::uint64_t value) { add(static_cast<double>(value)); }
    void add(std::span<const double> values) {
        for (double v : values) add(v);
    }
    void add(const std::optional<double>& value) {
        add(std::uint64_t{value.has_value()});
        if (value) add(*value);
    }

    // A session's buffer, then the engine it left behind.
    void add_session(const SessionBuffer& b, const Engine& e) {
        std::size_t cells = static_cast<std::size_t>(b.ticks_written) * b.instruments;
        add(b.ticks_written);
        for (const auto* m :
             {&b.price, &b.volume, &b.mispricing_s, &b.tick_fundamental, &b.tick_anchor}) {
            add(std::span<const double>(*m).first(cells));
        }
        for (const auto& m : b.components) add(std::span<const double>(m).first(cells));
        add_engine(e);
    }

    void add_engine(const Engine& e) {
        for (std::size_t f = 0; f < PRICE_FIELD_COUNT; ++f) {
            add(e.column(static_cast<PriceField>(f)));
        }
        for (const auto& row : e.attribution()) add(row);
        for (const auto& row : e.tick_components()) add(row);
        add(e.tick_fundamental());
        add(e.tick_anchor());
        for (const auto& record : e.rng_state()) {
            add(record.spare);
            add(record.state);
            add(record.increment);
        }
        const DrawCounters& n = e.draws();
        for (std::uint64_t count : {n.market, n.economy, n.external}) add(count);
        add(std::array{e.market().variance, e.market().universe_stress, e.economy().vix,
                       e.economy().corporate_bond_yield});
        for (std::size_t i = 0; i < e.size(); ++i) add_book(*e.book_for(i));
    }

    std::string finish() { return hash_.finish_hex(); }

private:
    void add_book(const OrderBook& book) {
        hash_.update(book.company_id());
        add(book.last_price());
        add(book.next_sequence());
        for (auto orders : {book.bids(), book.asks()}) {
            add(std::uint64_t{orders.size()});
            for (const BookOrder& o : orders) {
                hash_.update(book.id_text(o.order_id));
                hash_.update(o.owner);
                add(std::array{o.price, o.quantity, o.remaining, static_cast<double>(o.sequence)});
            }
        }
    }

    Sha256 hash_;
};

// A day with everything switched on: news naming companies, sectors and the
// market, impacts that amplify volume (so ladders run deep), caller flow,
// a skewed maker, a session past 390 ticks and a roster edited mid-run.
std::string busy_run(const ModelParams& model) {
    std::vector<TickCompany> roster = generated_roster(40);
    // A sector outside the table, with an engine key of its own.
    roster.push_back(plain_company("ODD", "technology", 40));
    roster.back().sector = "crypto";
    auto keys = table_sector_keys();
    keys.push_back("crypto");
    Engine e = Engine::with_params(5, std::move(roster), create_initial_economy_state(),
                                   CentralBank{}, std::move(keys), model);
    const std::string first = e.roster()[3].company_id;
    std::vector<NewsEvent> news = {{0.02, first, e.roster()[3].sector},
                                   {-0.01, std::nullopt, std::string("energy")},
                                   {0.004, std::nullopt, std::nullopt},
                                   {-0.03, std::string("ODD-40"), std::string("crypto")}};
    std::vector<NewsImpact> impacts = {
        {{"technology", "healthcare"}, std::nullopt, std::nullopt, 0.2, false},
        {{}, e.roster()[7].company_id, std::nullopt, 0.05, false},
        {{}, std::nullopt, std::string("utilities"), 0.3, true}};
    // Flow for three tickers, by roster position as the roster stands.
    const std::vector<std::pair<std::string, OrderVolume>> flow_by_ticker = {
        {e.roster()[1].name, {5e6, 1e5}}, {e.roster()[2].name, {0.0, 2e6}}, {"ODD", {1e4, 3e4}}};
    std::vector<OrderVolume> flow;
    auto place_flow = [&] {
        flow.assign(e.size(), {});
        for (std::size_t i = 0; i < e.size(); ++i)
            for (const auto& [ticker, volume] : flow_by_ticker)
                if (e.roster()[i].name == ticker) flow[i] = volume;
    };
    place_flow();
    std::vector<double> inventory(e.size(), 0.0);
    for (std::size_t i = 0; i < inventory.size(); i += 3) inventory[i] = i % 2 ? 4e5 : -3e5;
    EXPECT_TRUE(e.set_column(PriceField::maker_inventory, inventory).ok());

    StateHash hash;
    SessionBuffer buffer;
    SessionRequest day;
    day.ticks = 400;
    day.tick.news = news;
    day.tick.news_impacts = impacts;
    day.tick.order_flow = flow;
    day.open_at_start = true;
    for (std::uint32_t d = 1; d <= 2; ++d) {
        EXPECT_TRUE(e.run_session(day, buffer).ok());
        hash.add_session(buffer, e);
        e.close_day(d);
    }
    // Roster edits between sessions, then a session that closes itself.
    e.list(plain_company("NEW", "energy", 41));
    EXPECT_TRUE(e.delist(5).ok());
    std::vector<double> betas = e.column(PriceField::beta);
    betas[0] = std::numeric_limits<double>::quiet_NaN();
    betas[9] = 2.5;
    EXPECT_TRUE(e.set_column(PriceField::beta, betas).ok());
    place_flow();
    day.tick.order_flow = flow;
    e.open_market();
    day.open_at_start = false;
    day.ticks = 120;
    day.close_at_end = true;
    std::vector<std::optional<double>> innovations(e.size());
    std::vector<double> bases(e.size(), 0.0004);
    day.close = {innovations, bases, false};
    EXPECT_TRUE(e.run_session(day, buffer).ok());
    hash.add_session(buffer, e);
    return hash.finish();
}

TEST(StateHash, BusyDayUnderEveryPreset) {
    // Pinned on the engine before the tick was restructured for speed.
    for (std::string_view name : SHIPPED_PRESETS) {
        SCOPED_TRACE(name);
        EXPECT_GOLDEN("busy_day_state_hash_" + std::string(name),
                      busy_run(*ModelParams::preset(name)));
    }
}

// Sessions outside regular hours and on a weekend, with no inputs.
TEST(StateHash, SessionsOutsideRegularHours) {
    Engine e = opened(make_engine(60));
    StateHash hash;
    SessionBuffer buffer;
    for (auto [hour, minute, weekday, ticks] : {std::array<std::int64_t, 4>{4, 0, 2, 330},
                                                {16, 0, 2, 240},
                                                {20, 0, 2, 30},
                                                {10, 0, 6, 20}}) {
        auto request = session_at(hour, minute, static_cast<std::uint64_t>(ticks), weekday);
        EXPECT_TRUE(e.run_session(request, buffer).ok());
        hash.add_session(buffer, e);
    }
    EXPECT_GOLDEN("off_hours_state_hash", hash.finish());
}

// Every specialised walk of the tick, and every value it keeps between
// ticks, held bit for bit to the general walk that keeps nothing, over
// random markets, inputs and edits between ticks.
using Rng = std::mt19937_64;

double uniform(Rng& rng, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng);
}
std::size_t below(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

// Every bit of the state a tick reads or writes.
std::vector<std::uint64_t> bits(const Engine& e) {
    std::vector<std::uint64_t> out;
    auto add = [&out](const auto& values) {
        for (double x : values) out.push_back(std::bit_cast<std::uint64_t>(x));
    };
    for (std::string_view name : COLUMN_FIELDS) add(e.column(*price_field_from_name(name)));
    for (const AttributionRow& row : e.attribution()) add(row);
    for (const ComponentRow& row : e.tick_components()) add(row);
    add(e.tick_fundamental()), add(e.tick_anchor());
    for (const GameRng::Record& r : e.rng_state()) {
        out.insert(out.end(), {r.state, r.increment, r.spare ? 1u : 0u});
        add(std::array<double, 1>{r.spare.value_or(0.0)});
    }
    out.push_back(e.draws().market);
    return out;
}

// News naming random instruments, sectors and the market.
std::vector<NewsEvent> random_news(Rng& rng, const Engine& e, std::size_t most) {
    static const std::vector<std::optional<std::string>> SECTORS = {std::nullopt, "technology",
                                                                    "energy", "crypto", "none"};
    std::vector<NewsEvent> news(below(rng, most + 1));
    for (NewsEvent& event : news) {
        event.price_impact = uniform(rng, -0.05, 0.05);
        if (below(rng, 2)) event.ticker = e.roster()[below(rng, e.size())].company_id;
        event.sector = SECTORS[below(rng, SECTORS.size())];
    }
    return news;
}

// A market's worth of random edits and ticks, each step applied to an
// engine on the specialised walks and to one on the reference walk.
void compare_random_market(std::uint64_t seed) {
    Rng rng(seed);
    std::vector<TickCompany> roster =
        testing::generated_roster(10 + below(rng, 150), static_cast<std::uint32_t>(seed));
    // Outside the sector table: under an engine key of its own, and under none.
    for (const char* sector : {"crypto", "none"}) {
        roster.push_back(testing::plain_company(sector, "energy", roster.size()));
        roster.back().sector = sector;
    }
    // In a third of the markets, some instruments the tick does not move.
    bool halts = below(rng, 3) == 0;
    for (TickCompany& c : roster) {
        c.suspended = halts && below(rng, 8) == 0;
        c.tradable = !halts || below(rng, 8) != 0;
    }
    std::vector<std::string> keys = testing::table_sector_keys();
    keys.push_back("crypto");
    EconomyState economy = create_initial_economy_state();
    economy.vix = uniform(rng, 10.0, 60.0);
    std::string_view preset = SHIPPED_PRESETS[below(rng, SHIPPED_PRESETS.size())];
    Engine fast = Engine::with_params(static_cast<std::uint32_t>(seed), roster, economy,
                                      CentralBank{}, keys, *ModelParams::preset(preset));
    // Pending news from the start, so that the walks for a day's news kept
    // summed run from the second tick on.
    fast.set_pending_news(random_news(rng, fast, 2 * fast.size()));
    Engine slow = fast;
    slow.set_reference_walk(true);
    auto both = [&](auto&& step) { step(fast), step(slow); };
    std::uint32_t day = 0;
    for (int step = 0; step < 40; ++step) {
        std::size_t op = below(rng, 16);
        SCOPED_TRACE(::testing::Message()
                     << "seed " << seed << " (" << preset << "), step " << step << ", op " << op);
        std::size_t n = fast.size();
        if (op == 0) {
            both([](Engine& e) { e.open_market(); });
        } else if (op == 1) {
            both([&](Engine& e) { e.close_day(day + 1); });
            ++day;
        } else if (op == 2) {
            TickCompany listed = testing::plain_company("NEW", "utilities", n);
            both([&](Engine& e) { e.list(listed); });
        } else if (op == 3 && n > 4) {
            std::size_t at = below(rng, n);
            both([&](Engine& e) { (void)e.delist(at); });
        } else if (op == 4) {
            auto field = static_cast<PriceField>(below(rng, PRICE_FIELD_COUNT));
            std::vector<double> values = fast.column(field);
            for (double& x : values)
                x = below(rng, 8) == 0 ? std::nan("") : x * uniform(rng, 0.9, 1.1);
            both([&](Engine& e) { (void)e.set_column(field, values); });
        } else if (op == 5) {
            // The day put back with negative zeros wherever a tick may add to them.
            std::vector<double> days, rows, fundamental(n, 50.0), anchor(n, 50.0);
            for (const AttributionRow& row : fast.attribution())
                for (double x : row) days.push_back(below(rng, 2) ? -0.0 : x);
            for (const ComponentRow& row : fast.tick_components())
                for (double x : row) rows.push_back(below(rng, 2) ? -0.0 : x);
            both([&](Engine& e) { (void)e.restore_day_state(days, rows, fundamental, anchor); });
        } else if (op == 6) {
            EconomyState pinned = fast.economy();
            pinned.vix = uniform(rng, 10.0, 60.0);
            pinned.corporate_bond_yield += uniform(rng, -1.0, 1.0);
            pinned.qe_pe_boost = uniform(rng, 0.0, 0.2);
            both([&](Engine& e) { e.set_economy(pinned); });
        } else if (op == 7) {
            std::vector<NewsEvent> pending = random_news(rng, fast, 2 * n);
            both([&](Engine& e) { e.set_pending_news(pending); });
        } else if (op == 8) {
            std::vector<double> states(below(rng, n + 1));
            for (double& x : states) x = uniform(rng, -1.0, 1.0);
            both([&](Engine& e) { e.set_instrument_volume_states(states); });
        } else {
            // A run of ticks with one input: pre-market, regular or after hours.
            std::vector<NewsEvent> news =
                below(rng, 4) ? std::vector<NewsEvent>{} : random_news(rng, fast, 3);
            NewsImpact impact{{"energy"}, fast.roster()[0].company_id, "technology", 0.05};
            impact.reversal_phase = below(rng, 2) == 0;
            std::vector<NewsImpact> impacts(below(rng, 4) == 0, impact);
            std::vector<OrderVolume> flow(below(rng, 4) == 0 ? below(rng, n + 1) : 0);
            for (OrderVolume& v : flow)
                v = {below(rng, 2) ? 0.0 : uniform(rng, 0.0, 1e6), uniform(rng, 0.0, 1e6)};
            static constexpr std::int64_t STARTS[3] = {4 * 60, 9 * 60 + 30, 16 * 60};
            std::int64_t minute =
                STARTS[below(rng, 3)] + static_cast<std::int64_t>(below(rng, 320));
            TickInput input = testing::at(minute / 60, minute % 60, below(rng, 10) ? 3 : 6);
            input.news = news;
            input.news_impacts = impacts;
            input.order_flow = flow;
            input.volatility = uniform(rng, 0.5, 2.0);
            for (std::size_t t = below(rng, 8); t-- > 0;) {
                both([&](Engine& e) { (void)e.tick(input); });
                if (++input.minute == 60) input.minute = 0, ++input.hour;
            }
        }
        ASSERT_EQ(bits(fast), bits(slow));
    }
}

TEST(FastWalks, AgreeWithTheGeneralWalkBitForBit) {
    for (std::uint64_t seed = 1; seed <= 150; ++seed) {
        compare_random_market(seed);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace corvane::testing
