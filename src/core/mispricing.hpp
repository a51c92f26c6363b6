// The daily log-mispricing model and its analysis.
//
// s is the log deviation of price from fair value. Each day
//   s' = innovation + (phi s + theta (s - s_prev)) + clamp(shock)
// clamped to the mispricing cap: an AR(2) with a 60-day half-life and a
// momentum term in yesterday's change. This is the public, analysable model;
// the tick runs a related per-tick process with crowd feedback, and neither
// reproduces the other's trajectories. Nothing here draws.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/params.hpp"
#include "core/result.hpp"

namespace corvane {

// 0.5 to the power 1/60: a 60-day half-life.
inline constexpr double DAILY_PHI = 0.9885140203528962;
inline constexpr double DAILY_MOMENTUM_THETA = 0.25;
// |s| at most this: a price within a factor e^0.9 of fair value.
inline constexpr double DAILY_MISPRICING_CAP = 0.9;

struct MispricingState {
    double s = 0.0;
    // Yesterday's s, which the momentum term needs.
    double s_prev = 0.0;

    bool operator==(const MispricingState&) const = default;
};

// Without s_prev the state starts at rest: s is capped and s_prev equals it.
// With s_prev both are kept exactly as given.
Result<MispricingState> make_mispricing_state(double s, std::optional<double> s_prev);

// MispricingState(s=0.5, s_prev=0.25)
std::string to_text(const MispricingState& state);

// One day. The innovation is the caller's zero-mean, variance-scaled noise and
// is not capped; the directional shock (news, flow, squeezes) is, so that no
// single day dominates.
Result<MispricingState> step_mispricing_daily(const MispricingState& state, double innovation,
                                              double shock);

// The price at mispricing s, never below the price floor; NaN propagates.
double apply_mispricing(double fair_value, double s);

// Response of s to a unit impulse, days 0..horizon_days. A long horizon
// asks `keep_going` now and then and fails with INTERRUPTED when told to stop.
Result<std::vector<double>> impulse_response(std::int64_t horizon_days, double phi = DAILY_PHI,
                                             double theta = DAILY_MOMENTUM_THETA,
                                             const std::function<bool()>& keep_going = {});

// Moduli of the roots of z^2 - (phi + theta) z + theta, larger first; both
// below 1 means the process is stationary.
std::pair<double, double> characteristic_root_moduli(double phi = DAILY_PHI,
                                                     double theta = DAILY_MOMENTUM_THETA);

// The same with the tick's crowd feedback folded in: the valuation lean
// weakens reversion and the momentum lean strengthens momentum.
std::pair<double, double> crowd_adjusted_root_moduli(
    const ModelParams& model = ModelParams::default_preset());

// Standard deviation of s in the stationary state, or nothing when the
// parameters are not stationary (rather than a huge finite number).
Result<std::optional<double>> stationary_sigma(double innovation_sigma, double phi = DAILY_PHI,
                                               double theta = DAILY_MOMENTUM_THETA);

}  // namespace corvane
