#include "core/microstructure.hpp"

#include <algorithm>
#include <cmath>

#include "core/maths.hpp"
#include "core/rounding.hpp"

namespace corvane::microstructure {
namespace {

// max(lo, min(x, hi)): a NaN ends up at `lo`.
double clamp(double x, double lo, double hi) noexcept { return std::max(lo, std::min(x, hi)); }

// Present and neither zero nor NaN.
bool usable(const std::optional<double>& value) noexcept {
    return value && *value != 0.0 && !std::isnan(*value);
}

}  // namespace

double capitalisation_tier(double cap_billions) noexcept {
    if (cap_billions > 50.0) return 3.0;
    if (cap_billions > 10.0) return 5.0;
    if (cap_billions > 1.0) return 10.0;
    return 30.0;
}

double blended_tier(double tier, double cap_billions, double smoothness, double exponent) noexcept {
    if (smoothness == 0.0 || !(cap_billions > 0.0)) return tier;
    double curve = clamp(5.0 * maths::pow(cap_billions / 25.0, -exponent), 1.0, 100.0);
    return curve * smoothness + (1.0 - smoothness) * tier;
}

double vix_stress(double vix) noexcept { return std::max(0.0, (vix - 15.0) / 30.0) + 1.0; }

double volatility_beta_factor(std::optional<double> volatility,
                              std::optional<double> beta) noexcept {
    double scaled = volatility ? 0.3 * *volatility : 0.3;
    return scaled * beta.value_or(1.0) + 0.7;
}

double squeeze_widening(std::optional<double> short_interest,
                        std::optional<double> float_shares) noexcept {
    double divisor = float_shares && *float_shares > 1.0 ? *float_shares : 1.0;
    double ratio = short_interest.value_or(0.0) / divisor;
    if (!(ratio > 0.15)) return 1.0;
    return ((ratio - 0.15) + (ratio - 0.15)) + 1.0;
}

double base_level_size(std::optional<double> avg_volume, std::optional<double> volume,
                       std::optional<double> shares_outstanding) noexcept {
    double x = 100.0;
    if (usable(avg_volume)) {
        x = *avg_volume;
    } else if (usable(volume)) {
        x = *volume;
    } else if (shares_outstanding && usable(*shares_outstanding * 0.005)) {
        x = *shares_outstanding * 0.005;
    }
    return std::max(1.0, rounding::floor(x / 100.0));
}

double inventory_skew(std::optional<double> inventory, double base, double limit_levels) noexcept {
    if (!inventory || std::isnan(*inventory)) return 0.0;
    double limit = limit_levels * base;
    return clamp(*inventory / limit, -1.0, 1.0);
}

}  // namespace corvane::microstructure
