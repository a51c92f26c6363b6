#include "core/generator.hpp"

#include <cmath>

#include "core/maths.hpp"

namespace corvane {

double GameRng::next_normal_pair() {
    double u1 = next_float();
    double u2 = next_float();
    double cosine = 0.0;
    double sine = 0.0;
    maths::box_muller(u1, u2, cosine, sine);
    spare_ = sine;
    return cosine;
}

void GameRng::normal_uniform_pairs(double* out, std::size_t count, double* first, double* second) {
    fill_normals(out, count, true, first, second);
}

void GameRng::normals(double* out, std::size_t count, double* first, double* second) {
    fill_normals(out, count, false, first, second);
}

void GameRng::fill_normals(double* out, std::size_t count, bool uniforms, double* first,
                           double* second) {
    if (count == 0) return;
    const std::size_t stride = uniforms ? 2 : 1;
    // A spare left by an earlier normal is the first draw's.
    std::size_t start = 0;
    if (spare_) {
        out[0] = next_normal();
        if (uniforms) out[1] = next_float();
        start = 1;
    }
    // Each fresh pair of normals serves two draws: its two uniforms come
    // first, then each draw's own uniform.
    const std::size_t pairs = (count - start + 1) / 2;
    for (std::size_t p = 0; p < pairs; ++p) {
        const std::size_t at = start + 2 * p;
        first[p] = next_float();
        second[p] = next_float();
        if (uniforms) {
            out[stride * at + 1] = next_float();
            if (at + 1 < count) out[stride * (at + 1) + 1] = next_float();
        }
    }
    maths::box_muller_lanes(first, second, first, second, pairs);
    for (std::size_t p = 0; p < pairs; ++p) {
        const std::size_t at = start + 2 * p;
        out[stride * at] = first[p];
        // An odd draw out keeps its pair's sine for the next normal.
        if (at + 1 < count) {
            out[stride * (at + 1)] = second[p];
        } else {
            spare_ = second[p];
        }
    }
}

void GameRng::advance(std::uint64_t steps) {
    std::uint64_t mult = MULTIPLIER;
    std::uint64_t plus = increment_;
    std::uint64_t acc_mult = 1;
    std::uint64_t acc_plus = 0;
    for (; steps > 0; steps >>= 1) {
        if (steps & 1u) {
            acc_mult = acc_mult * mult;
            acc_plus = acc_plus * mult + plus;
        }
        plus = (mult + 1) * plus;
        mult = mult * mult;
    }
    state_ = acc_mult * state_ + acc_plus;
}

std::uint32_t derive_sub_seed(std::uint32_t root_seed, std::uint32_t derivation_index) {
    std::uint64_t z =
        (static_cast<std::uint64_t>(root_seed) << 32) + 0x9e3779b97f4a7c15ULL + derivation_index;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z = z ^ (z >> 31);
    return static_cast<std::uint32_t>(z >> 32);
}

std::array<GameRng, STREAM_COUNT> derive_streams(std::uint32_t root_seed) {
    auto make = [root_seed](std::size_t position) {
        std::uint32_t d = STREAM_DERIVATION_INDEX[position];
        return GameRng::create(derive_sub_seed(root_seed, d), 256 + d);
    };
    return {make(0), make(1), make(2), make(3), make(4), make(5), make(6)};
}

}  // namespace corvane
