// Which trading session a wall-clock moment of the week falls in.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

enum class MarketStatus { pre_market, open, after_hours, closed };

std::string_view status_name(MarketStatus status) noexcept;

namespace market_hours {

// Session boundaries in hours of the day; the tick uses the same ones.
inline constexpr double PRE_MARKET_START = 7.0;
inline constexpr double REGULAR_START = 9.5;
inline constexpr double REGULAR_END = 16.0;
inline constexpr double AFTER_HOURS_END = 20.0;

// Session for a time of day expressed in hours (minute / 60 + hour).
MarketStatus classify_hours(double hours) noexcept;

// day_of_week 0 is Sunday. Nothing for a time outside 0..23 h, 0..59 min, 0..6 d.
std::optional<MarketStatus> status_at(std::int64_t hour, std::int64_t minute,
                                      std::int64_t day_of_week) noexcept;

}  // namespace market_hours
}  // namespace corvane
