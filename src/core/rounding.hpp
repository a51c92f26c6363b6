// Rounding down to a whole number without a library call. Baseline x86-64
// has no rounding instruction, so std::floor is an out-of-line call, and the
// live book rounds several times per level. Flooring is exact, so this gives
// the same bits as std::floor for every input, -0.0 and NaN included.
#pragma once

#include <cstdint>

namespace corvane::rounding {

inline double floor(double x) noexcept {
    // From 2^52 up every double is whole; NaN and infinities fail the test.
    if (!(x < 0x1p52 && x > -0x1p52) || x == 0.0) return x;
    auto t = static_cast<double>(static_cast<std::int64_t>(x));
    return t > x ? t - 1.0 : t;
}

}  // namespace corvane::rounding
