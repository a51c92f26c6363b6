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
    std::vector<OrderFlowEntry> flow = {
        {e.roster()[1].name, {5e6, 1e5}}, {e.roster()[2].name, {0.0, 2e6}}, {"ODD", {1e4, 3e4}}};
    std::vector<double> inventory(e.size(), 0.0);
    for (std::size_t i = 0; i < inventory.size(); i += 3) inventory[i] = i % 2 ? 4e5 : -3e5;
    EXPECT_TRUE(e.set_column(PriceField::maker_inventory, inventory).ok());

    StateHash hash;
    SessionBuffer buffer;
    SessionRequest day;
    day.ticks = 400;
    day.news = news;
    day.news_impacts = impacts;
    day.order_flow = flow;
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
    e.open_market();
    day.open_at_start = false;
    day.ticks = 120;
    day.close_at_end = true;
    std::vector<std::optional<double>> innovations(e.size());
    std::vector<double> bases(e.size(), 0.0004);
    day.innovations = innovations;
    day.sector_base_variances = bases;
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
        request.hour = hour;
        request.minute = minute;
        request.day_of_week = weekday;
        request.ticks = static_cast<std::uint64_t>(ticks);
        EXPECT_TRUE(e.run_session(request, buffer).ok());
        hash.add_session(buffer);
        hash.add_engine(e);
    }
    return hash.finish();
}

TEST(StateHash, BusyDayUnderEveryPreset) {
    // Pinned on the engine before the tick was restructured for speed.
    const std::array<std::string_view, SHIPPED_PRESETS.size()> expected = {
        "4ec54f840d4aa0e86d840a46488b1be1eb4d6b632b2fcec86de1aca4d0aadeb5",
        "37f029708e8d2740417736b6307ff4fc6e4394615f6fd54ca7ba6838faeb4fec",
        "dbcaedc03dbed970f422779d6e1e1480a2cf9fb4cd969ca719658a6d279e4783",
        "16fe7338dcda1700bbcd8113e2881b33dd6618478edda61829447cc05c2f9ddd",
        "4a17033f020998cec58826ad7710ec355c1bd391b11adab1924f092b254992ab",
        "46784c21897b075400858f2116fb7ab102cbff69d350b995b4f02875ad734121",
        "5c66249d887794ee0729994254a97a876fb68791be4d62e7e587dfdb195667a2",
        "d2ef8b227d249262d4b1dbb9a936c521fd2e615393dab2b0166a24a6ae1fccf3",
        "e6f3db5e09210d084966ef1f1b11f0ae5ffb22356631b59f9f30ef6ee27e22bc",
        "e96c693f7053db08d5ec061f0123d9b0064563e8b807b53c09d296d42531d5a7",
        "2c02ad4bf15481a1c543a582cd6f4c8009e276d544132475b185f9a1d9bd6fdc",
        "68d595ede4282447ba6373791d04a54d53fbdbc24f168d70f01a64f973e4ff57",
        "03c61918e63e1401c5914c58a71240dba1eab43fc7abf735cbb58141b4ec2500",
        "9488999b24245e69b175fcab66ca2b03f6ff46c2ae3c1dafa7644f7d67fdf0a9"};
    for (std::size_t k = 0; k < SHIPPED_PRESETS.size(); ++k) {
        SCOPED_TRACE(SHIPPED_PRESETS[k]);
        EXPECT_EQ(busy_run(*ModelParams::preset(SHIPPED_PRESETS[k])), expected[k]);
    }
}

TEST(StateHash, SessionsOutsideRegularHours) {
    EXPECT_EQ(off_hours_run(), "fc896ebb8fc18e2b5c02789a379b0ab9fed568463fbf2f185fdf06606367c29a");
}

}  // namespace
}  // namespace corvane::testing
