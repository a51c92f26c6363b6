// Sectors, market hours and the rate check: the fixed tables every other
// unit leans on.
#include <gtest/gtest.h>

#include <cmath>

#include "core/market_hours.hpp"
#include "core/sectors.hpp"
#include "core/units.hpp"

namespace corvane {
namespace {

TEST(SectorLookup, EveryKeyFindsItsOwnRow) {
    for (const SectorSpec& spec : sectors::TABLE) {
        const SectorSpec* found = sectors::by_key(spec.key);
        ASSERT_NE(found, nullptr) << spec.key;
        EXPECT_EQ(found, &spec);
    }
}

TEST(SectorLookup, NearMissesAreUnknown) {
    for (const char* key : {"Technology", " technology", "technology ", "", "utilitie",
                            "utilitiez", "Energy", "real estate"}) {
        EXPECT_EQ(sectors::by_key(key), nullptr) << key;
    }
}

TEST(SectorLookup, UnknownMessageListsKeysInOrder) {
    EXPECT_EQ(sectors::unknown_sector_message("Tech"),
              "unknown sector \"Tech\". Valid sectors: technology, financial_services, "
              "healthcare, energy, consumer_discretionary, consumer_staples, industrials, "
              "materials, real_estate, utilities, telecommunications, transportation");
}

struct StatusCase {
    std::int64_t hour, minute, day;
    std::optional<MarketStatus> expected;
};

TEST(MarketHours, SessionBoundaries) {
    const StatusCase cases[] = {
        {9, 29, 3, MarketStatus::pre_market}, {9, 30, 3, MarketStatus::open},
        {15, 59, 3, MarketStatus::open},      {16, 0, 3, MarketStatus::after_hours},
        {19, 59, 3, MarketStatus::after_hours}, {20, 0, 3, MarketStatus::closed},
        {6, 59, 3, MarketStatus::closed},     {7, 0, 1, MarketStatus::pre_market},
        {12, 0, 0, MarketStatus::closed},     {12, 0, 6, MarketStatus::closed},
        {24, 0, 3, std::nullopt},             {12, 60, 3, std::nullopt},
        {12, 0, 7, std::nullopt},             {-1, 0, 3, std::nullopt},
        {0, -1, 3, std::nullopt},             {0, 0, -1, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(market_hours::status_at(c.hour, c.minute, c.day), c.expected)
            << c.hour << ":" << c.minute << " day " << c.day;
    }
}

TEST(RateCheck, AcceptsTheClosedRangeUnchanged) {
    for (double value : {0.5, -0.05, 0.0, -0.0, 0.0000001}) {
        auto checked = units::check_rate("r", value);
        ASSERT_TRUE(checked.ok());
        EXPECT_EQ(std::signbit(*checked), std::signbit(value));
        EXPECT_EQ(*checked, value);
    }
}

TEST(RateCheck, RefusalsAndThePercentHint) {
    const std::string range = " is outside the plausible range [-0.05, 0.5]";
    EXPECT_EQ(units::check_rate("r", 0.51).error(), "r = 0.51" + range);
    EXPECT_EQ(units::check_rate("r", 1.0).error(), "r = 1" + range);
    EXPECT_EQ(units::check_rate("r", 100.0).error(),
              "r = 100" + range +
                  " - this looks like a percent value. Rates are FRACTIONAL here: pass 1 for 100%.");
    EXPECT_EQ(units::check_rate("rate", 5.0).error(),
              "rate = 5" + range +
                  " - this looks like a percent value. Rates are FRACTIONAL here: pass 0.05 for 5%.");
    EXPECT_EQ(units::check_rate("r", 100.5).error(), "r = 100.5" + range);
    EXPECT_EQ(units::check_rate("r", -INFINITY).error(), "r = -inf" + range);
    EXPECT_EQ(units::check_rate("r", std::nan("")).error(), "r is NaN");
}

}  // namespace
}  // namespace corvane
