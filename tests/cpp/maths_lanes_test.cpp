#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <tuple>
#include <utility>
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

// box_muller_lanes against box_muller, bit for bit, over pairs that put each
// input on and around every edge of the lanes' common path, among ordinary
// pairs from the generator's grid, at every lane set, position and length, and
// in place.
TEST(MathsBoxMullerLanes, EdgesAndRandomPairsAtEveryLaneAndLength) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double turn = 6.283185307179586;
    std::vector<double> u1_edges = {0.0, 0x1p-32,      1e-10,         0x1p-1022, 0x1p-1074,
                                    0.5, 1.0 - 0x1p-4, 1.0 - 0x1p-32, 1.0,       1.0 + 0x1.09p-4,
                                    2.0, inf,          -0.25};
    std::vector<double> u2_edges = {0.0,           0x1p-32, 0x1p-28,   0.125, 0.25,  0.5, 0.75,
                                    1.0 - 0x1p-32, 1.0,     9.0 / 8.0, 2.0,   -0.25, inf};
    // The sine's small-argument cut, and where the quarter turns and the
    // cancelling high words begin and end.
    for (Bits high : std::initializer_list<Bits>{
             0x3e500000, 0x3fe921fc, 0x4002d97d, 0x400f6a7b, 0x4015fdbd, 0x401c463c, 0x3ff921fb,
             0x3ff921fc, 0x400921fb, 0x400921fc, 0x4012d97c, 0x4012d97d, 0x401921fb, 0x401921fc}) {
        u2_edges.push_back(from_bits(high << 32) / turn);
    }
    std::vector<std::pair<double, double>> pairs;
    std::mt19937_64 rng(5);
    auto grid = [&] { return static_cast<double>(rng() >> 32) * 0x1p-32; };
    auto around = [](double v) {
        return std::vector<double>{v, std::nextafter(v, -inf), std::nextafter(v, inf)};
    };
    for (double a : u1_edges)
        for (double u1 : around(a)) pairs.insert(pairs.end(), {{u1, grid()}, {grid(), grid()}});
    for (double b : u2_edges)
        for (double u2 : around(b)) pairs.insert(pairs.end(), {{grid(), u2}, {grid(), grid()}});
    pairs.push_back({std::nan(""), std::nan("")});
    for (int i = 0; i < 200000; ++i) pairs.push_back({grid(), grid()});

    std::vector<double> u1(pairs.size());
    std::vector<double> u2(pairs.size());
    std::vector<double> cosine(pairs.size());
    std::vector<double> sine(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        std::tie(u1[i], u2[i]) = pairs[i];
        maths::box_muller(u1[i], u2[i], cosine[i], sine[i]);
    }
    auto expect_pair = [&](std::size_t i, double c, double s) {
        ASSERT_EQ(std::bit_cast<Bits>(c), std::bit_cast<Bits>(cosine[i]))
            << std::hexfloat << "u1 = " << u1[i] << ", u2 = " << u2[i] << " under lane set "
            << static_cast<int>(maths::lane_set());
        ASSERT_EQ(std::bit_cast<Bits>(s), std::bit_cast<Bits>(sine[i]))
            << std::hexfloat << "u1 = " << u1[i] << ", u2 = " << u2[i];
    };
    constexpr std::size_t edge_count = 400;
    for (maths::LaneSet set : maths::available_lane_sets()) {
        LaneSetScope scope(set);
        for (std::size_t first = 0; first < edge_count; ++first) {
            for (std::size_t n = 0; n <= 9; ++n) {
                std::vector<double> c(n + 1, -1.5);
                std::vector<double> s(n + 1, -1.5);
                maths::box_muller_lanes(&u1[first], &u2[first], c.data(), s.data(), n);
                for (std::size_t i = 0; i < n; ++i) expect_pair(first + i, c[i], s[i]);
                ASSERT_TRUE(c[n] == -1.5 && s[n] == -1.5) << "wrote past " << n;
                if (HasFatalFailure()) return;
            }
        }
        // In place, as one long run.
        std::vector<double> c = u1;
        std::vector<double> s = u2;
        maths::box_muller_lanes(c.data(), s.data(), c.data(), s.data(), c.size());
        for (std::size_t i = 0; i < c.size(); ++i) {
            expect_pair(i, c[i], s[i]);
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace
}  // namespace corvane
