// The market maker's pricing rules, one small function per rule, so that the
// live book reads as their composition and each rule can be checked alone.
// All arithmetic is binary64 in the written order.
#pragma once

#include <optional>

#include "core/rounding.hpp"

namespace corvane::microstructure {

// Rounds half up to whole cents; a negative value that rounds to zero gives
// -0.0. Inline: the ladder rounds every level it prices.
inline double cents(double price) noexcept {
    double y = price * 100.0;
    double r = rounding::floor(y);
    if (y - rounding::floor(y) >= 0.5) r = r + 1.0;
    if (y < 0.0 && r == 0.0) return -0.0;
    return r / 100.0;
}

// Full spread in basis points by capitalisation (billions): 3 above 50, 5
// above 10, 10 above 1, else 30 (NaN included).
double capitalisation_tier(double cap_billions) noexcept;

// The tier blended with the continuous size curve 5 x (cap / 25)^-exponent,
// clamped to [1, 100], with weight `smoothness`; the tier alone when the
// weight is 0 or the capitalisation is not positive.
double blended_tier(double tier, double cap_billions, double smoothness, double exponent) noexcept;

// 1 at a VIX of 15 or below, one more for every 30 points above; unbounded.
double vix_stress(double vix) noexcept;

// (0.3 x volatility) x beta + 0.7, with 0.3 standing for the volatility term
// and 1 for beta when either is absent.
double volatility_beta_factor(std::optional<double> volatility,
                              std::optional<double> beta) noexcept;

// Widening for a crowded short: 1 + 2 x (short ratio - 0.15) above a 15 %
// short ratio of the float, else 1.
double squeeze_widening(std::optional<double> short_interest,
                        std::optional<double> float_shares) noexcept;

// Shares per ladder level: a hundredth of the first non-zero of average
// volume, today's volume and half a percent of shares outstanding (else
// 100), in whole shares and at least 1. NaN counts as 0.
double base_level_size(std::optional<double> avg_volume, std::optional<double> volume,
                       std::optional<double> shares_outstanding) noexcept;

// The maker's inventory as a fraction of its limit (`limit_levels` base
// sizes), clamped to [-1, 1]; 0 when absent or NaN.
double inventory_skew(std::optional<double> inventory, double base, double limit_levels) noexcept;

}  // namespace corvane::microstructure
