#include "core/mispricing.hpp"

#include <cmath>

#include "core/allocation.hpp"
#include "core/maths.hpp"
#include "core/text.hpp"

namespace corvane {
namespace {

// Comparison-based clamp: a NaN fails both comparisons and passes through.
double clamp(double value, double low, double high) {
    if (value < low) return low;
    if (value > high) return high;
    return value;
}

double cap_mispricing(double s) { return clamp(s, -DAILY_MISPRICING_CAP, DAILY_MISPRICING_CAP); }

Status check_finite(std::string_view name, double value) {
    if (std::isfinite(value)) return Status::success();
    return Error{text::message(name, " must be finite, got ", value)};
}

}  // namespace

Result<MispricingState> make_mispricing_state(double s, std::optional<double> s_prev) {
    if (auto status = check_finite("s", s); !status) return Error{status.error()};
    if (!s_prev) {
        double capped = cap_mispricing(s);
        return MispricingState{capped, capped};
    }
    if (auto status = check_finite("s_prev", *s_prev); !status) return Error{status.error()};
    return MispricingState{s, *s_prev};
}

std::string to_text(const MispricingState& state) {
    return text::message("MispricingState(s=", state.s, ", s_prev=", state.s_prev, ")");
}

Result<MispricingState> step_mispricing_daily(const MispricingState& state, double innovation,
                                              double shock) {
    if (auto status = check_finite("innovation", innovation); !status) {
        return Error{status.error()};
    }
    if (auto status = check_finite("shock", shock); !status) return Error{status.error()};
    double capped_shock = clamp(shock, -DAILY_SHOCK_CAP, DAILY_SHOCK_CAP);
    double next = innovation +
                  (DAILY_PHI * state.s + (state.s - state.s_prev) * DAILY_MOMENTUM_THETA) +
                  capped_shock;
    return MispricingState{cap_mispricing(next), state.s};
}

double apply_mispricing(double fair_value, double s) {
    double price = fair_value * maths::exp(cap_mispricing(s));
    if (std::isnan(price)) return price;
    // Also what a negative fair value gives: never a negative price.
    return price > FAIR_VALUE_FLOOR ? price : FAIR_VALUE_FLOOR;
}

Result<std::vector<double>> impulse_response(std::int64_t horizon_days, double phi, double theta,
                                             const std::function<bool()>& keep_going) {
    if (horizon_days < 0) {
        return Error{text::message("horizon_days must be >= 0, got ", horizon_days)};
    }
    // horizon_days + 1 cannot overflow in unsigned 64-bit; a count too large
    // to hold fails to allocate rather than wrapping.
    auto days = static_cast<std::uint64_t>(horizon_days);
    std::vector<double> response;
    auto failure = [days] {
        return AllocationFailure(
            text::message("cannot allocate a response of ", days + 1, " days"));
    };
    // More than the machine holds would be granted and then killed while filled.
    std::uint64_t memory = physical_memory_bytes();
    if (memory != 0 && days >= memory / sizeof(double)) throw failure();
    try {
        response.reserve(static_cast<std::size_t>(days + 1));
    } catch (const std::bad_alloc&) {
        throw failure();
    }
    response.push_back(1.0);
    double before = 0.0;
    for (std::uint64_t k = 0; k < days; ++k) {
        // A horizon is the caller's to choose; a long one can be stopped.
        if (keep_going && k % (1U << 20) == 0 && k > 0 && !keep_going()) {
            return Error{std::string(INTERRUPTED)};
        }
        double current = response.back();
        response.push_back((current - before) * theta + phi * current);
        before = current;
    }
    return response;
}

std::pair<double, double> characteristic_root_moduli(double phi, double theta) {
    double a = phi + theta;
    double disc = -4.0 * theta + a * a;
    if (disc >= 0.0) {
        double root = std::sqrt(disc);
        double first = std::fabs((a + root) * 0.5);
        double second = std::fabs((a - root) * 0.5);
        return first >= second ? std::pair{first, second} : std::pair{second, first};
    }
    // Complex pair: both have modulus sqrt(theta), the root of their product.
    double modulus = std::sqrt(theta);
    return {modulus, modulus};
}

std::pair<double, double> crowd_adjusted_root_moduli(const ModelParams& model) {
    // The tick's crowd leans on valuation (against reversion) and on the last
    // move (with momentum), shifting both coefficients of the daily model.
    return characteristic_root_moduli(DAILY_PHI - model.crowd_valuation_gain,
                                      DAILY_MOMENTUM_THETA + model.crowd_momentum_gain);
}

Result<std::optional<double>> stationary_sigma(double innovation_sigma, double phi, double theta) {
    double sigma = innovation_sigma;
    if (!std::isfinite(sigma) || sigma < 0.0) {
        return Error{
            text::message("innovation_sigma must be finite and not negative, got ", sigma)};
    }
    double variance_in = sigma * sigma;
    double numerator = variance_in * (theta + 1.0);
    double lag_sum = theta + 1.0;
    double persistence = theta + phi;
    double denominator = ((lag_sum * lag_sum) - (persistence * persistence)) * (1.0 - theta);
    if (std::isinf(variance_in) || !(denominator > 0.0)) return std::optional<double>{};
    double variance = numerator / denominator;
    if (!std::isfinite(variance) || variance < 0.0) return std::optional<double>{};
    return std::optional<double>{std::sqrt(variance)};
}

}  // namespace corvane
