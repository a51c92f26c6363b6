// The market maker's pricing rules, one small function per rule, so that the
// live book reads as their composition and each rule can be checked alone.
// All arithmetic is binary64 in the written order. Inline: the tick quotes
// every instrument every regular-hours minute, and calls would cost more
// than the rules themselves.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "core/maths.hpp"
#include "core/rounding.hpp"

namespace corvane::microstructure {

namespace detail {

// max(lo, min(x, hi)): a NaN ends up at `lo`.
inline double clamp(double x, double lo, double hi) noexcept {
    return std::max(lo, std::min(x, hi));
}

// Present and neither zero nor NaN.
inline bool usable(const std::optional<double>& value) noexcept {
    return value && *value != 0.0 && !std::isnan(*value);
}

}  // namespace detail

// Rounds half up to whole cents; a negative value that rounds to zero gives
// -0.0.
inline double cents(double price) noexcept {
    double y = price * 100.0;
    double r = rounding::floor(y);
    // The half-cent test is a coin toss across instruments; selecting from
    // a pair keeps it off the branch predictor.
    const double rounded[2] = {r, r + 1.0};
    r = rounded[static_cast<std::size_t>(y - r >= 0.5)];
    if (y < 0.0 && r == 0.0) return -0.0;
    return r / 100.0;
}

// Full spread in basis points by capitalisation (billions): 3 above 50, 5
// above 10, 10 above 1, else 30 (NaN included).
inline double capitalisation_tier(double cap_billions) noexcept {
    // Counting the thresholds passed gives the tier without branches, which
    // neighbouring instruments of different sizes would mispredict; NaN
    // passes none.
    constexpr double TIERS[4] = {30.0, 10.0, 5.0, 3.0};
    std::size_t passed = static_cast<std::size_t>(cap_billions > 1.0) +
                         static_cast<std::size_t>(cap_billions > 10.0) +
                         static_cast<std::size_t>(cap_billions > 50.0);
    return TIERS[passed];
}

// The tier blended with the continuous size curve 5 x (cap / 25)^-exponent,
// clamped to [1, 100], with weight `smoothness`; the tier alone when the
// weight is 0 or the capitalisation is not positive.
inline double blended_tier(double tier, double cap_billions, double smoothness,
                           double exponent) noexcept {
    if (smoothness == 0.0 || !(cap_billions > 0.0)) return tier;
    double curve = detail::clamp(5.0 * maths::pow(cap_billions / 25.0, -exponent), 1.0, 100.0);
    return curve * smoothness + (1.0 - smoothness) * tier;
}

// 1 at a VIX of 15 or below, one more for every 30 points above; unbounded.
inline double vix_stress(double vix) noexcept { return std::max(0.0, (vix - 15.0) / 30.0) + 1.0; }

// (0.3 x volatility) x beta + 0.7, with 0.3 standing for the volatility term
// and 1 for beta when either is absent.
inline double volatility_beta_factor(std::optional<double> volatility,
                                     std::optional<double> beta) noexcept {
    double scaled = volatility ? 0.3 * *volatility : 0.3;
    return scaled * beta.value_or(1.0) + 0.7;
}

// Widening for a crowded short: 1 + 2 x (short ratio - 0.15) above a 15 %
// short ratio of the float, else 1.
inline double squeeze_widening(std::optional<double> short_interest,
                               std::optional<double> float_shares) noexcept {
    double divisor = float_shares && *float_shares > 1.0 ? *float_shares : 1.0;
    double ratio = short_interest.value_or(0.0) / divisor;
    if (!(ratio > 0.15)) return 1.0;
    return ((ratio - 0.15) + (ratio - 0.15)) + 1.0;
}

// Shares per ladder level: a hundredth of the first non-zero of average
// volume, today's volume and half a percent of shares outstanding (else
// 100), in whole shares and at least 1. NaN counts as 0.
inline double base_level_size(std::optional<double> avg_volume, std::optional<double> volume,
                              std::optional<double> shares_outstanding) noexcept {
    double x = 100.0;
    if (detail::usable(avg_volume)) {
        x = *avg_volume;
    } else if (detail::usable(volume)) {
        x = *volume;
    } else if (shares_outstanding && detail::usable(*shares_outstanding * 0.005)) {
        x = *shares_outstanding * 0.005;
    }
    return std::max(1.0, rounding::floor(x / 100.0));
}

// The maker's inventory as a fraction of its limit (`limit_levels` base
// sizes), clamped to [-1, 1]; 0 when absent or NaN.
inline double inventory_skew(std::optional<double> inventory, double base,
                             double limit_levels) noexcept {
    if (!inventory || std::isnan(*inventory)) return 0.0;
    double limit = limit_levels * base;
    return detail::clamp(*inventory / limit, -1.0, 1.0);
}

}  // namespace corvane::microstructure
