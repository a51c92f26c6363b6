// Whole-state hashes of runs that reach what the fixed-simulation digest
// never sees: every session-buffer cell, every column, the day vectors, the
// streams and their counters, and every instrument's full book, over caller
// flow, news, lingering impacts, deep ladders, every preset, sessions past
// the close and outside regular hours, and roster edits mid-run. A change to
// any arithmetic, its order or a draw moves these hashes.
#include <gtest/gtest.h>

#include <cstring>
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

    void add_session(const SessionBuffer& b) {
        std::size_t cells = static_cast<std::size_t>(b.ticks_written) * b.instruments;
        add(b.ticks_written);
        for (const auto* m :
             {&b.price, &b.volume, &b.mispricing_s, &b.tick_fundamental, &b.tick_anchor}) {
            add(std::span<const double>(*m).first(cells));
        }
        for (const auto& m : b.components) add(std::span<const double>(m).first(cells));
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
        add(e.draws().market);
        add(e.draws().economy);
        add(e.draws().external);
        add(e.market().variance);
        add(e.market().universe_stress);
        add(e.economy().vix);
        add(e.economy().corporate_bond_yield);
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
                add(o.price);
                add(o.quantity);
                add(o.remaining);
                add(o.sequence);
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
        for (std::size_t i = 0; i < e.size(); ++i) {
            for (const auto& [ticker, volume] : flow_by_ticker) {
                if (e.roster()[i].name == ticker) flow[i] = volume;
            }
        }
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
        hash.add_session(buffer);
        hash.add_engine(e);
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
    day.close.innovations = innovations;
    day.close.sector_base_variances = bases;
    EXPECT_TRUE(e.run_session(day, buffer).ok());
    hash.add_session(buffer);
    hash.add_engine(e);
    return hash.finish();
}

// Sessions outside regular hours and on a weekend, with no inputs.
std::string off_hours_run() {
    Engine e = make_engine(60);
    StateHash hash;
    SessionBuffer buffer;
    e.open_market();
    for (auto [hour, minute, weekday, ticks] : {std::array<std::int64_t, 4>{4, 0, 2, 330},
                                                {16, 0, 2, 240},
                                                {20, 0, 2, 30},
                                                {10, 0, 6, 20}}) {
        SessionRequest request;
        request.tick.hour = hour;
        request.tick.minute = minute;
        request.tick.day_of_week = weekday;
        request.ticks = static_cast<std::uint64_t>(ticks);
        EXPECT_TRUE(e.run_session(request, buffer).ok());
        hash.add_session(buffer);
        hash.add_engine(e);
    }
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

TEST(StateHash, SessionsOutsideRegularHours) {
    EXPECT_GOLDEN("off_hours_state_hash", off_hours_run());
}

}  // namespace
}  // namespace corvane::testing
