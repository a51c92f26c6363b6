#include "core/market_hours.hpp"

namespace corvane {

std::string_view status_name(MarketStatus status) noexcept {
    switch (status) {
        case MarketStatus::pre_market: return "pre_market";
        case MarketStatus::open: return "open";
        case MarketStatus::after_hours: return "after_hours";
        case MarketStatus::closed: break;
    }
    return "closed";
}

namespace market_hours {

MarketStatus classify_hours(double hours) noexcept {
    if (hours >= PRE_MARKET_START && hours < REGULAR_START) return MarketStatus::pre_market;
    if (hours >= REGULAR_START && hours < REGULAR_END) return MarketStatus::open;
    if (hours >= REGULAR_END && hours < AFTER_HOURS_END) return MarketStatus::after_hours;
    return MarketStatus::closed;
}

std::optional<MarketStatus> status_at(std::int64_t hour, std::int64_t minute,
                                      std::int64_t day_of_week) noexcept {
    if (hour < 0 || hour >= 24 || minute < 0 || minute >= 60 || day_of_week < 0 ||
        day_of_week >= 7) {
        return std::nullopt;
    }
    if (day_of_week == 0 || day_of_week == 6) return MarketStatus::closed;
    // Minute first, then the hour added: the binary64 sum is the contract.
    double hours = static_cast<double>(minute) / 60.0 + static_cast<double>(hour);
    return classify_hours(hours);
}

}  // namespace market_hours
}  // namespace corvane
