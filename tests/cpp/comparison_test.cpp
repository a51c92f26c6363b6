#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/comparison.hpp"

namespace corvane {
namespace {

// Where each difference went, worked out by hand for three instruments whose
// rows interleave as a comparison lays them out: tick by tick, instrument
// by instrument. The third never differs.
TEST(Divergences, PeakLastHalfLifeAndOrderFollowTheRows) {
    const double s[3][5] = {
        {0.1, -0.4, 0.3, 0.2, 0.1}, {0.0, 0.05, 0.04, 0.03, 0.026}, {0.0, 0.0, 0.0, 0.0, 0.0}};
    Comparison comparison;
    for (std::uint32_t tick = 0; tick < 5; ++tick) {
        for (std::uint32_t i = 0; i < 3; ++i) {
            comparison.day.push_back(1);
            comparison.tick.push_back(tick);
            comparison.instrument.push_back(i);
            comparison.values[0].push_back(s[i][tick]);
            for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k)
                comparison.values[1 + k].push_back(static_cast<double>(100 * i + 10 * tick + k));
            comparison.values[1 + ATTRIBUTION_SLOTS].push_back(0.0);
            comparison.values[2 + ATTRIBUTION_SLOTS].push_back(0.0);
        }
    }
    std::vector<Divergence> found = divergences(comparison);
    ASSERT_EQ(found.size(), 2u);
    // The larger peak first: |-0.4| on the second tick, row 1 x 3 + 0.
    const Divergence& first = found[0];
    EXPECT_EQ(first.instrument, 0u);
    EXPECT_EQ(first.peak, 0.4);
    EXPECT_EQ(first.peak_row, 3u);
    EXPECT_EQ(first.last, 0.1);
    // 0.3 is not yet half of 0.4; 0.2, two ticks after the peak, is.
    EXPECT_EQ(first.half_life, std::optional<std::uint64_t>(2));
    // The drivers as the last row has them.
    for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k)
        EXPECT_EQ(first.drivers[k], static_cast<double>(40 + k));
    // 0.05 never comes down to 0.025.
    const Divergence& second = found[1];
    EXPECT_EQ(second.instrument, 1u);
    EXPECT_EQ(second.peak, 0.05);
    EXPECT_EQ(second.peak_row, 4u);
    EXPECT_EQ(second.last, 0.026);
    EXPECT_FALSE(second.half_life);
}

}  // namespace
}  // namespace corvane
