// The one source of randomness: PCG32 (64-bit LCG state, XSH-RR output) with
// a Box-Muller normal transform that caches its second value.
//
// Every draw here is part of a reproducible sequence: the order and count of
// steps is contractual, so none of these functions may take a shortcut that
// changes how many steps a draw consumes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvane {

class GameRng {
public:
    static constexpr std::uint64_t MULTIPLIER = 0x5851f42d4c957f2dULL;

    // The published PCG32 seeding: state 0, one step, add the seed, one step.
    static GameRng create(std::uint32_t seed, std::uint32_t sequence) {
        GameRng rng;
        rng.increment_ = 2 * static_cast<std::uint64_t>(sequence) + 1;
        rng.state_ =
            (static_cast<std::uint64_t>(seed) + rng.increment_) * MULTIPLIER + rng.increment_;
        return rng;
    }

    // The raw record, as captured and restored with engine state.
    struct Record {
        std::optional<double> spare;
        std::uint64_t state = 0;
        std::uint64_t increment = 1;
        bool operator==(const Record&) const = default;
    };
    static GameRng from_record(const Record& record) {
        GameRng rng;
        rng.spare_ = record.spare;
        rng.state_ = record.state;
        rng.increment_ = record.increment;
        return rng;
    }
    Record record() const { return {spare_, state_, increment_}; }

    std::uint32_t next_u32() {
        std::uint64_t old = state_;
        state_ = old * MULTIPLIER + increment_;
        auto xorshifted = static_cast<std::uint32_t>(((old >> 18u) ^ old) >> 27u);
        auto rotation = static_cast<unsigned>(old >> 59u);
        return (xorshifted >> rotation) | (xorshifted << ((32u - rotation) & 31u));
    }

    // A double in [0, 1): one step. Never 1.0; exactly 0.0 is possible.
    double next_float() { return static_cast<double>(next_u32()) * 0x1p-32; }

    // A standard normal: two steps for a pair, the second value cached.
    // The cached half is handed out inline.
    double next_normal() {
        if (spare_) {
            double value = *spare_;
            spare_.reset();
            return value;
        }
        return next_normal_pair();
    }

    // `count` draws of a normal then a uniform, into out[2j] and out[2j + 1]:
    // the values and the stream `count` calls of next_normal then next_float
    // would give, with the normals worked out several lanes at a time.
    // `first` and `second` are room for (count + 1) / 2 values each.
    void normal_uniform_pairs(double* out, std::size_t count, double* first, double* second);
    // `count` normals into out, as `count` calls of next_normal would give
    // them; `first` and `second` as above.
    void normals(double* out, std::size_t count, double* first, double* second);

    // Inclusive signed bounds. An empty range (max < min) or one of 2^63 or
    // more values returns min without drawing; otherwise one step, plain
    // modulo (the bias is part of the sequence).
    std::int64_t next_int(std::int64_t min, std::int64_t max) {
        std::uint64_t span = static_cast<std::uint64_t>(max) - static_cast<std::uint64_t>(min);
        if (span > 0x7ffffffffffffffeULL) return min;
        std::uint64_t offset = static_cast<std::uint64_t>(next_u32()) % (span + 1);
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(min) + offset);
    }

    // One step whatever p is; NaN is never above a draw, so it gives false.
    bool next_bool(double p) { return p > next_float(); }

    // Moves the stream `steps` steps on at once, where `steps` calls of
    // next_u32 would leave it (the step's affine map, composed by squaring).
    // The spare is kept.
    void advance(std::uint64_t steps);

    // A cursor for uniforms, started where `pairs` draws of a normal then a
    // uniform would leave this stream, without drawing them; it holds no
    // spare. A normal takes two steps every other time, the first time
    // unless a spare is cached.
    GameRng uniforms_after_normal_uniform_pairs(std::uint64_t pairs) const {
        GameRng cursor = *this;
        cursor.spare_.reset();
        std::uint64_t fresh_normals = spare_ ? pairs / 2 : (pairs + 1) / 2;
        cursor.advance(pairs + 2 * fresh_normals);
        return cursor;
    }

    bool operator==(const GameRng&) const = default;

private:
    GameRng() = default;
    // Draws a fresh pair: returns one value and caches the other.
    double next_normal_pair();
    // The two above: normals, each followed by a uniform when `uniforms`.
    void fill_normals(double* out, std::size_t count, bool uniforms, double* first, double* second);

    std::optional<double> spare_;
    std::uint64_t state_ = 0;
    std::uint64_t increment_ = 1;
};

// The engine's seven streams, in the fixed position order of state capture.
enum class Stream : std::size_t {
    market = 0,
    economy = 1,
    external = 2,
    jump = 3,
    market_volume = 4,
    instrument_volume = 5,
    news = 6,
};
inline constexpr std::size_t STREAM_COUNT = 7;

// Derivation index per position: positions 5 and 6 swap indices 6 and 5, and
// the index (not the position) feeds the seed mixing and the sequence.
inline constexpr std::array<std::uint32_t, STREAM_COUNT> STREAM_DERIVATION_INDEX = {0, 1, 2, 3,
                                                                                    4, 6, 5};

// The SplitMix64 finalizer of (root << 32) + golden ratio + d, high 32 bits.
std::uint32_t derive_sub_seed(std::uint32_t root_seed, std::uint32_t derivation_index);

// All seven streams from one root seed, in position order.
std::array<GameRng, STREAM_COUNT> derive_streams(std::uint32_t root_seed);

}  // namespace corvane
