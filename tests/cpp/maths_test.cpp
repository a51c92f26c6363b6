#include "core/maths.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <ios>
#include <limits>
#include <vector>

#include "core/generator.hpp"
#include "core/rounding.hpp"

// Known answers for corvane::maths. The exact bit patterns were produced by musl 1.2.3
// (tests/cpp/maths_oracle/musl_reference.c); the oracle test compares millions more,
// starting with its table of special values (signed zeros, infinities, NaNs, subnormals,
// 1, -1, 0.5, 2, 3, -2, 1e22, 1e300 and the doubles closest to multiples of pi/2) for the
// one-argument functions and every pair of them for pow, so those are not repeated here.

namespace corvane {
namespace {

using Bits = std::uint64_t;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Bits bits(double x) { return std::bit_cast<Bits>(x); }

struct Case {
    double x;
    Bits expected;
};

TEST(MathsSinCos, KnownBitsAcrossReductionPaths) {
    const Case sin_cases[] = {
        {0x1p-30, 0x3e10000000000000},
        {0x1.921fb54442d18p+1, 0x3ca1a62633145c07},  // pi: cancellation, medium path
        {-5000.5, 0x3fe95f31302ee428},
        {0x1.656a32e7353d7p+20, 0x3fefffffc9f4797e},
        // Exponents just below a 24-bit chunk of 2/pi: the reduction must not skip
        // that chunk (the host libm's values).
        {0x1.23456789abcdep69, 0xbfec3d59b9ab0202},
        {0x1.fedcba9876543p92, 0xbfec61d8d491c083},
    };
    for (const Case& c : sin_cases)
        EXPECT_EQ(bits(maths::sin(c.x)), c.expected) << std::hexfloat << c.x;

    const Case cos_cases[] = {
        {0x1.921fb54442d18p+0, 0x3c91a62633145c07},  // pi/2
        {1e4, 0xbfee780e88ec4409},
        // Near an odd multiple of pi/2 below 2^20 * pi/2: needs the second reduction
        // round but not the third.
        {0x1.656a32e7353d7p+20, 0xbf3d67f7ed7d3ddb},
    };
    for (const Case& c : cos_cases)
        EXPECT_EQ(bits(maths::cos(c.x)), c.expected) << std::hexfloat << c.x;
}

TEST(MathsExp, KnownBitsAndRangeEdges) {
    const Case cases[] = {
        {20.5, 0x41c7d6c4f0bcdd5c},
        {-50.0, 0x3b6d257d547e083f},
        {600.0, 0x76088a122d234b39},                 // large-k scaling
        {0x1.62e42fefa39efp+9, 0x7fefffffffffff2a},  // largest finite result
        {0x1.62e42fefa39fp+9, 0x7ff0000000000000},   // first overflow
        {-708.5, 0x000e6cf6d08897ac},                // subnormal, rounded once
        {-740.0, 0x0000000000000055},
        {-0x1.74910d52d3051p+9, 0x0000000000000001},  // last non-zero result
        {-0x1.74910d52d3052p+9, 0x0000000000000000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bits(maths::exp(c.x)), c.expected) << std::hexfloat << c.x;
}

TEST(MathsLog, KnownBits) {
    const Case cases[] = {
        {0.1, 0xc0026bb1bbb55515},           {1e6, 0x402ba18a998fffa0},
        {1.0 + 0x1p-20, 0x3eafffff00000aab},  // polynomial path near 1
        {0.99, 0xbf8495453e6fd4bc},          {1.0625, 0x3faf0a30c01162a6},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bits(maths::log(c.x)), c.expected) << std::hexfloat << c.x;
}

TEST(MathsPow, KnownBitsAndNegativeBases) {
    struct PowCase {
        double x, y;
        Bits expected;
    };
    const PowCase cases[] = {
        {0.5, 1.0 / 60.0, 0x3fefa1e827a1b38c},
        {10.0, 0.5, 0x40094c583ada5b53},
        {123.456, -7.25, 0x3cc8ba54295b1992},
        {1e4, 10.0, 0x483d6329f1c35ca5},
        {7.0, 364.0, 0x7fcd638480421ec9},
        {2.0, -1074.0, 0x0000000000000001},
        {2.0, -1075.0, 0x0000000000000000},
        {1.5, -1800.0, 0x0000000000218862},  // subnormal result
        {0x1.8p-1000, 1.0625, 0x0000000000001168},
        {0x1p-1060, 0.75, 0x0e40000000000000},  // subnormal base
        {1.0000001, 1e10, 0x7ff0000000000000},
        {0.9, 7099.0, 0x0000000000000000},
        {3.0, 0x1p-70, 0x3ff0000000000000},  // |y| < 2^-65
        {0.5, 0x1p-70, 0x3ff0000000000000},
        // Negative bases: signed zeros and infinities with exponents the
        // oracle's pairs lack.
        {-inf, -3.0, bits(-0.0)},
        {-0.0, -3.0, bits(-inf)},
        {-0.0, 2.5, bits(0.0)},
        {-1.5, 0x1p64, bits(inf)},  // huge exponents are even integers
        {-2.0, 1025.0, bits(-inf)},
        {-2.0, -1075.0, bits(-0.0)},
        {-7.0, 363.0, 0xffa0cb2724b81197},
        {-1.5, -1801.0, 0x8000000000165aec},  // negative subnormal
        {-0x1p-1060, 3.0, bits(-0.0)},
    };
    for (const PowCase& c : cases) {
        EXPECT_EQ(bits(maths::pow(c.x, c.y)), c.expected) << std::hexfloat << c.x << ", " << c.y;
    }
    EXPECT_TRUE(std::isnan(maths::pow(-8.0, 1.0 / 3.0)));
}

// The inline floor and ceiling give the library's bits: random bit patterns
// (every exponent, NaNs and infinities among them) and the edges around
// zero, one and 2^52.
TEST(RoundingFloor, SameBitsAsTheLibrary) {
    auto same = [](double x) {
        return std::bit_cast<Bits>(rounding::floor(x)) == std::bit_cast<Bits>(std::floor(x)) &&
               std::bit_cast<Bits>(rounding::ceil(x)) == std::bit_cast<Bits>(std::ceil(x));
    };
    for (double x : {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 0x1p52, -0x1p52, 0x1p52 - 0.5, -0x1p52 + 0.5,
                     0x1p63, inf, -inf, nan, 1e-310, -1e-310}) {
        EXPECT_TRUE(same(x)) << x;
    }
    auto rng = GameRng::create(9, 9);
    for (int i = 0; i < 1'000'000; ++i) {
        Bits bits = (Bits{rng.next_u32()} << 32) | rng.next_u32();
        double wide = std::bit_cast<double>(bits);
        double near = (rng.next_float() - 0.5) * 1e6;
        ASSERT_TRUE(same(wide) && same(near)) << std::hexfloat << wide << " " << near;
    }
}

TEST(GameRngSequence, MatchesPublishedPcg32Stream) {
    // The reference demo's first six outputs for seed 42, sequence 54.
    auto rng = GameRng::create(42, 54);
    const std::array<std::uint32_t, 6> expected = {0xa15c02b7, 0x7b47f409, 0xba1d3330,
                                                   0x83d2f293, 0xbfa4784b, 0xcbed606e};
    for (std::uint32_t value : expected) EXPECT_EQ(rng.next_u32(), value);
    // An integer is a plain modulo of one step.
    auto ints = GameRng::create(42, 54);
    EXPECT_EQ(ints.next_int(-3, 3), -3 + static_cast<std::int64_t>(expected[0] % 7u));
    EXPECT_EQ(ints.next_int(0, 9), static_cast<std::int64_t>(expected[1] % 10u));
}

TEST(GameRngNormal, PairsShareTwoStepsTheSpareSurvivesARecordAndZeroHasAFloor) {
    for (int normals : {1, 2}) {
        auto rng = GameRng::create(3, 9);
        auto twin = GameRng::create(3, 9);
        for (int i = 0; i < normals; ++i) rng.next_normal();
        twin.next_float();
        twin.next_float();
        EXPECT_EQ(rng.next_float(), twin.next_float()) << normals << " normals";
    }

    auto rng = GameRng::create(11, 4);
    rng.next_normal();
    auto copy = GameRng::from_record(rng.record());
    ASSERT_TRUE(copy.record().spare.has_value());
    EXPECT_EQ(copy.next_normal(), rng.next_normal());
    EXPECT_EQ(copy, rng);

    // A zero uniform uses a tiny floor instead of infinity.
    // State 0 yields a first output of 0, and state 1 a second of 0 (theta = 0).
    auto zero = GameRng::from_record({std::nullopt, 0, 1});
    EXPECT_EQ(zero.next_normal(), 0x1.b2501fed3b4b3p+2);  // sqrt(-2 ln 1e-10), recorded once
    EXPECT_EQ(zero.next_normal(), 0.0);
}

TEST(GameRngAdvance, EqualsSingleStepsComposesAndTheUniformCursorFollowsPairs) {
    for (std::uint64_t k : {0ull, 1ull, 2ull, 7ull, 1000ull}) {
        auto stepped = GameRng::create(5, 77);
        auto jumped = stepped;
        for (std::uint64_t i = 0; i < k; ++i) stepped.next_u32();
        jumped.advance(k);
        EXPECT_EQ(jumped, stepped) << k << " steps";
        // The jumped stream yields the same draws from there on.
        EXPECT_EQ(jumped.next_u32(), stepped.next_u32());
    }
    // Too far to step one by one: jumps compose, and the period is 2^64.
    auto start = GameRng::create(8, 3);
    auto halves = start;
    halves.advance(1ull << 31);
    halves.advance(1ull << 31);
    auto whole = start;
    whole.advance(1ull << 32);
    EXPECT_EQ(whole, halves);
    EXPECT_NE(whole, start);
    auto round_trip = start;
    round_trip.advance(1ull << 63);
    EXPECT_NE(round_trip, start);
    round_trip.advance(1ull << 63);
    EXPECT_EQ(round_trip, start);
    auto one_short = start;
    one_short.advance(~0ull);
    one_short.next_u32();
    EXPECT_EQ(one_short, start);

    // The uniform cursor starts where normal-uniform pairs end, and the pairs
    // drawn all at once are those drawn one at a time, spare included.
    for (bool spare : {false, true}) {
        for (std::uint64_t pairs = 0; pairs < 7; ++pairs) {
            auto drawn = GameRng::create(21, 2);
            if (spare) drawn.next_normal();
            GameRng cursor = drawn.uniforms_after_normal_uniform_pairs(pairs);
            GameRng at_once = drawn;
            std::vector<double> one_by_one;
            for (std::uint64_t j = 0; j < pairs; ++j) {
                one_by_one.push_back(drawn.next_normal());
                one_by_one.push_back(drawn.next_float());
            }
            std::vector<double> out(2 * pairs);
            std::vector<double> first((pairs + 1) / 2);
            std::vector<double> second((pairs + 1) / 2);
            at_once.normal_uniform_pairs(out.data(), pairs, first.data(), second.data());
            SCOPED_TRACE(testing::Message() << pairs << " pairs, spare " << spare);
            EXPECT_EQ(out, one_by_one);
            EXPECT_EQ(at_once, drawn);
            // Normals alone, the same way.
            GameRng alone = at_once;
            std::vector<double> normals(pairs);
            alone.normals(normals.data(), pairs, first.data(), second.data());
            for (double& normal : normals) EXPECT_EQ(normal, at_once.next_normal());
            EXPECT_EQ(alone, at_once);
            EXPECT_EQ(cursor.record().state, drawn.record().state);
            EXPECT_FALSE(cursor.record().spare.has_value());
            EXPECT_EQ(cursor.next_float(), drawn.next_float());
        }
    }
}

TEST(GameRngIntAndBool, BoundsAndDrawCounts) {
    auto rng = GameRng::create(5, 5);
    auto twin = rng;
    EXPECT_EQ(rng.next_int(5, 5), 5);
    twin.next_u32();
    EXPECT_EQ(rng, twin);

    // Empty and over-wide ranges return min without drawing.
    EXPECT_EQ(rng.next_int(5, 4), 5);
    EXPECT_EQ(rng.next_int(INT64_MIN, INT64_MAX), INT64_MIN);
    EXPECT_EQ(rng.next_int(-1, INT64_MAX), -1);
    EXPECT_EQ(rng, twin);

    // A range of exactly 2^63 - 1 values still draws, and stays below min + 2^32.
    std::int64_t value = rng.next_int(0, INT64_MAX - 1);
    EXPECT_LT(value, std::int64_t{1} << 32);
    EXPECT_NE(rng, twin);

    // A bool always steps, and compares strictly.
    rng = twin = GameRng::create(1, 1);
    EXPECT_FALSE(rng.next_bool(0.0));
    EXPECT_TRUE(rng.next_bool(1.0));
    EXPECT_FALSE(rng.next_bool(std::nan("")));
    for (int i = 0; i < 3; ++i) twin.next_u32();
    EXPECT_EQ(rng, twin);
}

TEST(StreamDerivation, SplitMixHighBitsPerPositionAndEveryRootBit) {
    // SplitMix64's first output from state 0 is 0xe220a8397b1dcdaf.
    EXPECT_EQ(derive_sub_seed(0, 0), 0xe220a839u);
    auto streams = derive_streams(99);
    for (std::size_t position = 0; position < STREAM_COUNT; ++position) {
        std::uint32_t d = STREAM_DERIVATION_INDEX[position];
        EXPECT_EQ(streams[position], GameRng::create(derive_sub_seed(99, d), 256 + d));
    }
    EXPECT_EQ(streams[static_cast<std::size_t>(Stream::instrument_volume)].record().increment,
              2u * 262u + 1u);
    EXPECT_EQ(streams[static_cast<std::size_t>(Stream::news)].record().increment, 2u * 261u + 1u);
    for (std::uint32_t d = 0; d < STREAM_COUNT; ++d) {
        EXPECT_NE(derive_sub_seed(1234, d), derive_sub_seed(1235, d)) << d;
    }
}

}  // namespace
}  // namespace corvane
