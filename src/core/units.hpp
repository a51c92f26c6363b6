// Rates cross the interpreter boundary as fractions and live as percent
// inside the economy; this is the one place a boundary rate is judged.
#pragma once

#include <string_view>

#include "core/result.hpp"

namespace corvane::units {

inline constexpr double MIN_RATE_FRACTION = -0.05;
inline constexpr double MAX_RATE_FRACTION = 0.5;

// The fraction unchanged, or a message that names the argument and, for a
// value that looks like a percent, says what to pass instead.
Result<double> check_rate(std::string_view name, double fraction);

}  // namespace corvane::units
