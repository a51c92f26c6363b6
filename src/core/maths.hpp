// Portable transcendental functions. Every simulated number has to come out
// bit-identical on every platform, so the core never calls the host libm for these:
// each function below returns exactly what musl 1.2.x returns on x86_64 (checked bit
// for bit against musl by the maths_matches_musl test), whatever libm, compiler or
// CPU the build uses. Special values follow C99 Annex F; errno and floating-point
// exception flags are not part of the contract.
#pragma once

#include <cstddef>
#include <span>

namespace corvane::maths {

double sin(double x) noexcept;
double cos(double x) noexcept;
// sin(x) and cos(x), bit for bit, reducing the argument once.
void sin_cos(double x, double& sine, double& cosine) noexcept;
double exp(double x) noexcept;
double log(double x) noexcept;
double pow(double x, double y) noexcept;

// out[i] = exp(x[i]) for i < n, bit for bit: each lane runs exp's own sequence of
// operations, and an element outside exp's common path (|x| < 2^-54, |x| >= 512,
// inf, NaN) is left to exp itself. x and out may be the same array.
void exp_lanes(const double* x, double* out, std::size_t n) noexcept;

// Two standard normals from two uniforms in [0, 1) (Box-Muller): the radius
// sqrt(-2 log u1), with a u1 of 0 taken as 1e-10, times the cosine and the sine
// of 2 pi u2.
void box_muller(double u1, double u2, double& cosine, double& sine) noexcept;

// box_muller(u1[i], u2[i], cosine[i], sine[i]) for i < n, bit for bit, as exp_lanes
// is exp: an element off the lanes' common path is left to box_muller itself.
// cosine may be u1 and sine u2.
void box_muller_lanes(const double* u1, const double* u2, double* cosine, double* sine,
                      std::size_t n) noexcept;

// The instruction sets the lanes can run on. Every one gives the same bits; the
// choice only exists so that each can be checked.
enum class LaneSet : unsigned char { scalar, sse2, avx2, neon };

// Those this build and CPU can run, scalar first and the widest, the default, last.
std::span<const LaneSet> available_lane_sets() noexcept;
LaneSet lane_set() noexcept;
// Makes the lanes use `set` from now on, process-wide; false, changing nothing,
// if it is not available. For tests and checks, not to be called mid-run.
bool use_lane_set(LaneSet set) noexcept;

}  // namespace corvane::maths
