// The two kinds of bound the core applies, named for what they do with a NaN.
//
// num_max / num_min / num_clamp drop a NaN: meeting one they keep the other
// operand (IEEE maxNum/minNum), so num_clamp(NaN, lo, hi), written as
// max(lo, min(x, hi)), gives hi. The tick and the close use these; paths
// depend on it, so it is spelled out here rather than left to std::max's
// operand order.
//
// nan_max / nan_min / nan_clamp keep a NaN: the economy's step uses these so
// that a series pinned to NaN poisons what is computed from it rather than
// being quietly repaired.
#pragma once

#include <cmath>

namespace corvane::bounds {

// Equal operands (including zeros of opposite sign) give the first. Each
// settles its common case with one comparison: for num_min, that the first
// operand is already the smaller.
inline double num_max(double a, double b) noexcept {
    if (a < b) return b;
    return a != a ? b : a;
}
inline double num_min(double a, double b) noexcept {
    if (a <= b) return a;
    return (a != a || b == b) ? b : a;
}
inline double num_clamp(double x, double low, double high) noexcept {
    return num_max(low, num_min(x, high));
}

// Equal zeros of opposite sign give +0.0; of two NaNs, the first.
inline double nan_max(double a, double b) noexcept {
    if (a > b) return a;
    if (b > a) return b;
    if (a == b) return a == 0.0 ? a + b : a;
    return std::isnan(a) ? a : b;
}
inline double nan_min(double a, double b) noexcept {
    if (a < b) return a;
    if (b < a) return b;
    if (a == b) return a == 0.0 ? a + b : a;
    return std::isnan(a) ? a : b;
}
inline double nan_clamp(double x, double low, double high) noexcept {
    return nan_max(low, nan_min(x, high));
}

}  // namespace corvane::bounds
