#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/maths.hpp"

// exp_lanes against the scalar exp (itself held to musl bit for bit), on every lane
// set this machine runs, at every lane position, for every array length up to a
// few lane widths past the widest, and in place.

namespace corvane {
namespace {

using Bits = std::uint64_t;

double from_bits(Bits b) { return std::bit_cast<double>(b); }

// Puts the lane set back however the test ends.
struct LaneSetScope {
    maths::LaneSet saved = maths::lane_set();
    explicit LaneSetScope(maths::LaneSet set) { EXPECT_TRUE(maths::use_lane_set(set)); }
    ~LaneSetScope() { maths::use_lane_set(saved); }
};

// Inputs on and around every edge of exp's common path, and a few inside it.
std::vector<double> edges() {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::vector<double> centres = {
        0.0,
        std::numeric_limits<double>::denorm_min(),
        from_bits(0x000fffffffffffff),  // largest subnormal
        std::numeric_limits<double>::min(),
        0x1p-54,
        0x1p-55,
        0x1p-53,
        0.5,
        1.0,
        0x1.62e42fefa39efp-8,  // ln2/128: k steps
        512.0,
        0x1.6232bdd7abcd2p+9,  // ~708.40: the result leaves the normal range
        0x1.62e42fefa39efp+9,  // ~709.78: the last finite result
        0x1.74910d52d3051p+9,  // ~745.13: the last non-zero result
        0x1.74385446d71c3p+9,
        1024.0,
        std::numeric_limits<double>::max(),
        inf,
    };
    std::vector<double> out;
    for (double c : centres) {
        for (double v : {c, std::nextafter(c, 0.0), std::nextafter(c, inf)}) {
            out.push_back(v);
            out.push_back(-v);
        }
    }
    for (Bits nan : {Bits{0x7ff8000000000000}, Bits{0xfff8000000000000}, Bits{0x7ff8000000000123},
                     Bits{0x7ff4000000000001}, Bits{0xfff0000000abcdef}}) {
        out.push_back(from_bits(nan));
    }
    return out;
}

// Compares exp_lanes over x[first, first + n) with exp, and checks it writes
// nothing past the end.
void expect_matches(const std::vector<double>& x, std::size_t first, std::size_t n) {
    constexpr Bits canary = 0x7ff0dead0000beef;
    std::vector<double> out(n + 1, from_bits(canary));
    maths::exp_lanes(x.data() + first, out.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
        const double in = x[first + i];
        ASSERT_EQ(std::bit_cast<Bits>(out[i]), std::bit_cast<Bits>(maths::exp(in)))
            << "x = " << std::hexfloat << in << " at " << i << " of " << n << " under lane set "
            << static_cast<int>(maths::lane_set());
    }
    ASSERT_EQ(std::bit_cast<Bits>(out[n]), canary) << "wrote past " << n;
}

TEST(MathsExpLanes, EdgesAtEveryLaneAndLength) {
    // The edges, then the same among ordinary values, so that common and
    // redone lanes share registers in every arrangement.
    std::vector<double> x = edges();
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> ordinary(-1.0, 1.0);
    for (double e : edges()) {
        x.push_back(ordinary(rng));
        x.push_back(e);
        x.push_back(ordinary(rng));
    }
    for (maths::LaneSet set : maths::available_lane_sets()) {
        LaneSetScope scope(set);
        for (std::size_t first = 0; first < x.size(); ++first) {
            for (std::size_t n = 0; n <= 9 && first + n <= x.size(); ++n) {
                expect_matches(x, first, n);
                if (HasFatalFailure()) return;
            }
        }
        // In place.
        std::vector<double> y = x;
        maths::exp_lanes(y.data(), y.data(), y.size());
        for (std::size_t i = 0; i < x.size(); ++i)
            ASSERT_EQ(std::bit_cast<Bits>(y[i]), std::bit_cast<Bits>(maths::exp(x[i]))) << x[i];
    }
}

TEST(MathsExpLanes, RandomInputsInRaggedRuns) {
    // Mostly the model's range, |x| < 1; then all of exp's finite range; then any
    // bit pattern at all.
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> small(-1.0, 1.0);
    std::uniform_real_distribution<double> wide(-750.0, 750.0);
    std::vector<double> x(300000);
    for (std::size_t i = 0; i < x.size(); ++i) {
        switch (i % 8) {
            case 6: x[i] = wide(rng); break;
            case 7: x[i] = from_bits(rng()); break;
            default: x[i] = small(rng) * (i % 3 == 0 ? 0x1p-20 : 1.0);
        }
    }
    for (maths::LaneSet set : maths::available_lane_sets()) {
        LaneSetScope scope(set);
        std::size_t first = 0;
        while (first < x.size()) {
            const std::size_t n = std::min<std::size_t>(rng() % 10, x.size() - first);
            expect_matches(x, first, n);
            if (HasFatalFailure()) return;
            first += n;
        }
        // And as one long run.
        expect_matches(x, 0, x.size());
    }
}

}  // namespace
}  // namespace corvane
