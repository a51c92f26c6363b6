// The fixed sector table. Its order is contractual: generated universes
// cycle through it and the market stream draws one factor per sector per
// tick, so adding or reordering sectors changes every simulated path.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

struct SectorSpec {
    std::string_view key;
    std::string_view display_name;
    double anchor_pe;
    // A dimensionless relative multiplier, never squared into a variance.
    double volatility;
    // Long-run daily return standard deviation, as a fraction.
    double daily_sigma;
};

namespace sectors {

inline constexpr std::size_t COUNT = 12;

inline constexpr std::array<SectorSpec, COUNT> TABLE = {{
    {"technology", "Technology", 32.0, 1.2, 0.025},
    {"financial_services", "Financial Services", 12.0, 1.1, 0.015},
    {"healthcare", "Healthcare", 24.0, 0.9, 0.018},
    {"energy", "Energy", 10.0, 1.3, 0.015},
    {"consumer_discretionary", "Consumer Discretionary", 20.0, 1.0, 0.018},
    {"consumer_staples", "Consumer Staples", 20.0, 0.7, 0.008},
    {"industrials", "Industrials", 17.0, 1.0, 0.015},
    {"materials", "Materials", 14.0, 1.2, 0.015},
    {"real_estate", "Real Estate", 35.0, 0.9, 0.008},
    {"utilities", "Utilities", 16.0, 0.6, 0.008},
    {"telecommunications", "Telecommunications", 14.0, 0.8, 0.01},
    {"transportation", "Transportation", 15.0, 1.1, 0.015},
}};

// Exact, case-sensitive match on the key; nullptr for anything else.
// Runs per instrument inside the tick, so it allocates nothing.
const SectorSpec* by_key(std::string_view key) noexcept;

// Position of a sector in the table (its index among the twelve).
inline std::size_t index_of(const SectorSpec& spec) noexcept {
    return static_cast<std::size_t>(&spec - TABLE.data());
}

// "unknown sector \"Tech\". Valid sectors: technology, ..."
std::string unknown_sector_message(std::string_view key);

}  // namespace sectors
}  // namespace corvane
