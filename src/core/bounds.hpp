// The bounds the tick and the close apply. A maximum or minimum that meets a
// NaN keeps the other operand (IEEE maxNum/minNum), so clamp(NaN, lo, hi),
// written as max(lo, min(x, hi)), gives hi. Paths depend on this, so it is
// spelled out here once rather than left to std::max's operand order.
#pragma once

namespace corvane::bounds {

// Equal operands (including zeros of opposite sign) give the first.
inline double max(double a, double b) noexcept { return (a < b || a != a) ? b : a; }
inline double min(double a, double b) noexcept { return (b < a || a != a) ? b : a; }
inline double clamp(double x, double low, double high) noexcept { return max(low, min(x, high)); }

}  // namespace corvane::bounds
