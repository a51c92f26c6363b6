#include "core/generator.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

namespace corvane {
namespace {

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

TEST(GameRngSequence, ZeroSeedAndSequenceStartFromMultiplierPlusOne) {
    auto rng = GameRng::create(0, 0);
    EXPECT_EQ(rng.record().increment, 1u);
    EXPECT_EQ(rng.record().state, GameRng::MULTIPLIER + 1);
    EXPECT_FALSE(rng.record().spare.has_value());
}

TEST(GameRngNormal, PairsShareTwoStepsAndTheCachedSecondSurvivesARecord) {
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
}

TEST(GameRngNormal, ZeroUniformUsesTinyFloorInsteadOfInfinity) {
    // State 0 yields a first output of 0, and state 1 a second of 0 (theta = 0).
    auto rng = GameRng::from_record({std::nullopt, 0, 1});
    EXPECT_EQ(rng.next_normal(), 0x1.b2501fed3b4b3p+2);  // sqrt(-2 ln 1e-10), recorded once
    EXPECT_EQ(rng.next_normal(), 0.0);
}

TEST(GameRngAdvance, EqualsSingleStepsAndComposes) {
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
}

TEST(GameRngAdvance, UniformCursorStartsWhereNormalUniformPairsEnd) {
    for (bool spare : {false, true}) {
        for (std::uint64_t pairs = 0; pairs < 7; ++pairs) {
            auto drawn = GameRng::create(21, 2);
            if (spare) drawn.next_normal();
            GameRng cursor = drawn.uniforms_after_normal_uniform_pairs(pairs);
            for (std::uint64_t j = 0; j < pairs; ++j) {
                drawn.next_normal();
                drawn.next_float();
            }
            SCOPED_TRACE(testing::Message() << pairs << " pairs, spare " << spare);
            EXPECT_EQ(cursor.record().state, drawn.record().state);
            EXPECT_FALSE(cursor.record().spare.has_value());
            EXPECT_EQ(cursor.next_float(), drawn.next_float());
        }
    }
}

TEST(GameRngInt, BoundsAndDrawCounts) {
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
}

TEST(GameRngBool, AlwaysStepsAndCompareStrictly) {
    auto rng = GameRng::create(1, 1);
    auto twin = rng;
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
