// Every specialised walk of the tick, and every value it keeps between
// ticks, held bit for bit to the general walk that keeps nothing, over
// random markets, inputs and edits between ticks.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "engine_fixture.hpp"

namespace corvane {
namespace {

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
        testing::generated_roster(10 + below(rng, 40), static_cast<std::uint32_t>(seed));
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
                days.insert(days.end(), row.begin(), row.end());
            for (const ComponentRow& row : fast.tick_components())
                rows.insert(rows.end(), row.begin(), row.end());
            for (double& x : days) x = below(rng, 2) ? -0.0 : x;
            for (double& x : rows) x = below(rng, 2) ? -0.0 : x;
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
}  // namespace corvane
