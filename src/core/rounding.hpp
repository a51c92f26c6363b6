// Rounding to a whole number without a library call. Baseline x86-64
// has no rounding instruction, so std::floor is an out-of-line call, and the
// live book rounds several times per level. Flooring is exact, so this gives
// the same bits as std::floor for every input, -0.0 and NaN included.
#pragma once

#include <cmath>
#include <cstdint>

namespace corvane::rounding {

inline double floor(double x) noexcept {
    // A positive argument below 2^52, the common case, truncates to its floor.
    if (x > 0.0 && x < 0x1p52) return static_cast<double>(static_cast<std::int64_t>(x));
    // From 2^52 up every double is whole; NaN and infinities fail the test.
    if (!(std::fabs(x) < 0x1p52)) return x;
    auto t = static_cast<double>(static_cast<std::int64_t>(x));
    // Truncation turns -0.0 into +0.0; every other floor already has the
    // argument's sign, so copying it back mends that case without a branch.
    return std::copysign(t > x ? t - 1.0 : t, x);
}

// The floor of a number that is not negative: +0.0, positive, +infinity or
// NaN, but not -0.0. Truncation is the floor there and keeps the sign, so
// this gives std::floor's bits with no sign to mend.
inline double floor_non_negative(double x) noexcept {
    if (!(x < 0x1p52)) return x;
    return static_cast<double>(static_cast<std::int64_t>(x));
}

// Negation is exact, so the ceiling from the floor gives std::ceil's bits too.
inline double ceil(double x) noexcept { return -floor(-x); }

}  // namespace corvane::rounding
