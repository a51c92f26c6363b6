// Engines for the engine, tick and lifecycle suites: a generated universe
// under a chosen model, built the way the interpreter surface builds them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/engine.hpp"
#include "core/sectors.hpp"
#include "core/universe.hpp"

namespace corvane::testing {

inline std::vector<std::string> table_sector_keys() {
    std::vector<std::string> keys;
    for (const SectorSpec& spec : sectors::TABLE) keys.emplace_back(spec.key);
    return keys;
}

inline std::vector<TickCompany> generated_roster(std::size_t n, std::uint32_t universe_seed = 3) {
    std::vector<TickCompany> roster;
    auto universe = random_universe(n, universe_seed);
    for (std::size_t i = 0; i < universe.size(); ++i) {
        auto record = universe[i].to_init().to_tick_company(i);
        EXPECT_TRUE(record.ok());
        if (record) roster.push_back(std::move(*record));
    }
    return roster;
}

inline Engine make_engine(std::vector<TickCompany> roster, const ModelParams& model = {},
                          std::uint32_t seed = 11) {
    return Engine::with_params(seed, std::move(roster), create_initial_economy_state(),
                               CentralBank{}, table_sector_keys(), model);
}

inline Engine make_engine(std::size_t n, const ModelParams& model = {}, std::uint32_t seed = 11) {
    return make_engine(generated_roster(n), model, seed);
}

// An engine with its market opened for the day.
inline Engine opened(Engine engine) {
    engine.open_market();
    return engine;
}

// The default model without the day's own news, so tests choose what news there is.
inline ModelParams quiet_model() {
    ModelParams model;
    model.endogenous_news_intensity = 0.0;
    return model;
}

// A record with round numbers: technology, price 100, one billion shares.
inline TickCompany plain_company(std::string ticker, std::string sector, std::size_t id) {
    InstrumentInit init;
    init.ticker = std::move(ticker);
    init.sector = std::move(sector);
    init.initial_price = 100.0;
    init.shares_outstanding = 1e9;
    init.eps = 5.0;
    init.book_value_per_share = 40.0;
    init.revenue_growth = 0.05;
    auto record = init.to_tick_company(id);
    EXPECT_TRUE(record.ok());
    return record ? std::move(*record) : TickCompany{};
}

inline TickInput at(std::int64_t hour, std::int64_t minute, std::int64_t day_of_week = 3) {
    TickInput input;
    input.hour = hour;
    input.minute = minute;
    input.day_of_week = day_of_week;
    return input;
}

inline SessionRequest session_at(std::int64_t hour, std::int64_t minute, std::uint64_t ticks,
                                 std::int64_t day_of_week = 3) {
    SessionRequest request;
    request.tick = at(hour, minute, day_of_week);
    request.ticks = ticks;
    return request;
}

inline std::vector<double> prices(const Engine& engine) { return engine.column(PriceField::price); }

}  // namespace corvane::testing
