#include "core/generator.hpp"

#include <cmath>

#include "core/maths.hpp"

namespace corvane {

double GameRng::next_normal_pair() {
    double u1 = next_float();
    double u2 = next_float();
    // log(0) would make the radius infinite.
    if (u1 == 0.0) u1 = 1e-10;
    double radius = std::sqrt(maths::log(u1) * -2.0);
    double theta = u2 * 6.283185307179586;
    double sine = 0.0;
    double cosine = 0.0;
    maths::sin_cos(theta, sine, cosine);
    spare_ = sine * radius;
    return cosine * radius;
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
