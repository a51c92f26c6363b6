// exp and Box-Muller over arrays, several elements at a time. Each lane repeats,
// operation for operation and in the same order, the common path of the scalar
// function in maths.cpp: IEEE add, subtract and multiply round each lane exactly as
// the scalar instructions do, so the bits cannot differ. Lanes are computed whatever
// their input and an element off the common path is then redone by the scalar
// function itself, which keeps every special case in one place. Nothing here may be
// fused or reordered: the core is built with -ffp-contract=off, and the AVX2 kernels
// are compiled for AVX2 alone, not FMA.

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/maths.hpp"
#include "core/maths_tables.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#define CORVANE_LANES_X86 1
#include <immintrin.h>
#if defined(__GNUC__)
#define CORVANE_LANES_AVX2 1
#endif
#elif defined(__aarch64__)
#define CORVANE_LANES_NEON 1
#include <arm_neon.h>
#endif

namespace corvane::maths {
namespace {

using detail::exp_data;

// exp's common path is 2^-54 <= |x| < 512, exactly the inputs whose top twelve bits
// fall in its range check; NaN fails both comparisons.
constexpr double common_low = 0x1p-54;
constexpr double common_high = 512.0;
// ki % N as a mask, and the shift of ki into an exponent (52 - table bits).
constexpr std::int64_t index_mask = (1 << detail::exp_table_bits) - 1;
constexpr int exponent_shift = 52 - detail::exp_table_bits;

void exp_scalar(const double* x, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = exp(x[i]);
}

#if CORVANE_LANES_X86
void exp_sse2(const double* x, double* out, std::size_t n) {
    const __m128d invln2N = _mm_set1_pd(exp_data.invln2N);
    const __m128d shift = _mm_set1_pd(exp_data.shift);
    const __m128d negln2hiN = _mm_set1_pd(exp_data.negln2hiN);
    const __m128d negln2loN = _mm_set1_pd(exp_data.negln2loN);
    const __m128d C2 = _mm_set1_pd(exp_data.poly[0]);
    const __m128d C3 = _mm_set1_pd(exp_data.poly[1]);
    const __m128d C4 = _mm_set1_pd(exp_data.poly[2]);
    const __m128d C5 = _mm_set1_pd(exp_data.poly[3]);
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d low = _mm_set1_pd(common_low);
    const __m128d high = _mm_set1_pd(common_high);
    const __m128i mask = _mm_set1_epi64x(index_mask);
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(x + i);
        const __m128d z = _mm_mul_pd(invln2N, v);
        __m128d kd = _mm_add_pd(z, shift);
        const __m128i ki = _mm_castpd_si128(kd);
        kd = _mm_sub_pd(kd, shift);
        const __m128d r =
            _mm_add_pd(_mm_add_pd(v, _mm_mul_pd(kd, negln2hiN)), _mm_mul_pd(kd, negln2loN));
        // No gather: each lane's tail and scale bits sit side by side in the table.
        const __m128i idx = _mm_and_si128(ki, mask);
        const auto i0 = static_cast<std::size_t>(_mm_cvtsi128_si64(idx));
        const auto i1 = static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(idx, idx)));
        const __m128i e0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(exp_data.tab + 2 * i0));
        const __m128i e1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(exp_data.tab + 2 * i1));
        const __m128d tail = _mm_castsi128_pd(_mm_unpacklo_epi64(e0, e1));
        const __m128i sbits =
            _mm_add_epi64(_mm_unpackhi_epi64(e0, e1), _mm_slli_epi64(ki, exponent_shift));
        const __m128d r2 = _mm_mul_pd(r, r);
        const __m128d tmp = _mm_add_pd(
            _mm_add_pd(_mm_add_pd(tail, r), _mm_mul_pd(r2, _mm_add_pd(C2, _mm_mul_pd(r, C3)))),
            _mm_mul_pd(_mm_mul_pd(r2, r2), _mm_add_pd(C4, _mm_mul_pd(r, C5))));
        const __m128d scale = _mm_castsi128_pd(sbits);
        _mm_storeu_pd(out + i, _mm_add_pd(scale, _mm_mul_pd(scale, tmp)));
        const __m128d a = _mm_andnot_pd(sign, v);
        const int common = _mm_movemask_pd(_mm_and_pd(_mm_cmpge_pd(a, low), _mm_cmplt_pd(a, high)));
        // From the loaded inputs: out may be x.
        if (!(common & 1)) out[i] = exp(_mm_cvtsd_f64(v));
        if (!(common & 2)) out[i + 1] = exp(_mm_cvtsd_f64(_mm_unpackhi_pd(v, v)));
    }
    exp_scalar(x + i, out + i, n - i);
}
#endif

#if CORVANE_LANES_AVX2
__attribute__((target("avx2"))) void exp_avx2(const double* x, double* out, std::size_t n) {
    const __m256d invln2N = _mm256_set1_pd(exp_data.invln2N);
    const __m256d shift = _mm256_set1_pd(exp_data.shift);
    const __m256d negln2hiN = _mm256_set1_pd(exp_data.negln2hiN);
    const __m256d negln2loN = _mm256_set1_pd(exp_data.negln2loN);
    const __m256d C2 = _mm256_set1_pd(exp_data.poly[0]);
    const __m256d C3 = _mm256_set1_pd(exp_data.poly[1]);
    const __m256d C4 = _mm256_set1_pd(exp_data.poly[2]);
    const __m256d C5 = _mm256_set1_pd(exp_data.poly[3]);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d low = _mm256_set1_pd(common_low);
    const __m256d high = _mm256_set1_pd(common_high);
    const __m256i mask = _mm256_set1_epi64x(index_mask);
    const auto* tab = reinterpret_cast<const long long*>(exp_data.tab);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        const __m256d z = _mm256_mul_pd(invln2N, v);
        __m256d kd = _mm256_add_pd(z, shift);
        const __m256i ki = _mm256_castpd_si256(kd);
        kd = _mm256_sub_pd(kd, shift);
        const __m256d r = _mm256_add_pd(_mm256_add_pd(v, _mm256_mul_pd(kd, negln2hiN)),
                                        _mm256_mul_pd(kd, negln2loN));
        // Table entry pairs: the tail at 2*idx, the scale's bits at 2*idx + 1.
        const __m256i at = _mm256_slli_epi64(_mm256_and_si256(ki, mask), 1);
        const __m256d tail = _mm256_castsi256_pd(_mm256_i64gather_epi64(tab, at, 8));
        const __m256i bits = _mm256_i64gather_epi64(tab + 1, at, 8);
        const __m256i sbits = _mm256_add_epi64(bits, _mm256_slli_epi64(ki, exponent_shift));
        const __m256d r2 = _mm256_mul_pd(r, r);
        const __m256d tmp = _mm256_add_pd(
            _mm256_add_pd(_mm256_add_pd(tail, r),
                          _mm256_mul_pd(r2, _mm256_add_pd(C2, _mm256_mul_pd(r, C3)))),
            _mm256_mul_pd(_mm256_mul_pd(r2, r2), _mm256_add_pd(C4, _mm256_mul_pd(r, C5))));
        const __m256d scale = _mm256_castsi256_pd(sbits);
        _mm256_storeu_pd(out + i, _mm256_add_pd(scale, _mm256_mul_pd(scale, tmp)));
        const __m256d a = _mm256_andnot_pd(sign, v);
        const int common = _mm256_movemask_pd(
            _mm256_and_pd(_mm256_cmp_pd(a, low, _CMP_GE_OQ), _mm256_cmp_pd(a, high, _CMP_LT_OQ)));
        if (common != 0xf) {
            double in[4];  // out may be x
            _mm256_storeu_pd(in, v);
            for (std::size_t lane = 0; lane < 4; ++lane) {
                if (!((common >> lane) & 1)) out[i + lane] = exp(in[lane]);
            }
        }
    }
    exp_sse2(x + i, out + i, n - i);
}
#endif

#if CORVANE_LANES_NEON
void exp_neon(const double* x, double* out, std::size_t n) {
    const float64x2_t invln2N = vdupq_n_f64(exp_data.invln2N);
    const float64x2_t shift = vdupq_n_f64(exp_data.shift);
    const float64x2_t negln2hiN = vdupq_n_f64(exp_data.negln2hiN);
    const float64x2_t negln2loN = vdupq_n_f64(exp_data.negln2loN);
    const float64x2_t C2 = vdupq_n_f64(exp_data.poly[0]);
    const float64x2_t C3 = vdupq_n_f64(exp_data.poly[1]);
    const float64x2_t C4 = vdupq_n_f64(exp_data.poly[2]);
    const float64x2_t C5 = vdupq_n_f64(exp_data.poly[3]);
    const float64x2_t low = vdupq_n_f64(common_low);
    const float64x2_t high = vdupq_n_f64(common_high);
    const uint64x2_t mask = vdupq_n_u64(static_cast<std::uint64_t>(index_mask));
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const float64x2_t v = vld1q_f64(x + i);
        const float64x2_t z = vmulq_f64(invln2N, v);
        float64x2_t kd = vaddq_f64(z, shift);
        const uint64x2_t ki = vreinterpretq_u64_f64(kd);
        kd = vsubq_f64(kd, shift);
        const float64x2_t r =
            vaddq_f64(vaddq_f64(v, vmulq_f64(kd, negln2hiN)), vmulq_f64(kd, negln2loN));
        const uint64x2_t idx = vandq_u64(ki, mask);
        const uint64x2_t e0 = vld1q_u64(exp_data.tab + 2 * vgetq_lane_u64(idx, 0));
        const uint64x2_t e1 = vld1q_u64(exp_data.tab + 2 * vgetq_lane_u64(idx, 1));
        const float64x2_t tail = vreinterpretq_f64_u64(vzip1q_u64(e0, e1));
        const uint64x2_t sbits = vaddq_u64(vzip2q_u64(e0, e1), vshlq_n_u64(ki, exponent_shift));
        const float64x2_t r2 = vmulq_f64(r, r);
        const float64x2_t tmp =
            vaddq_f64(vaddq_f64(vaddq_f64(tail, r), vmulq_f64(r2, vaddq_f64(C2, vmulq_f64(r, C3)))),
                      vmulq_f64(vmulq_f64(r2, r2), vaddq_f64(C4, vmulq_f64(r, C5))));
        const float64x2_t scale = vreinterpretq_f64_u64(sbits);
        vst1q_f64(out + i, vaddq_f64(scale, vmulq_f64(scale, tmp)));
        const uint64x2_t common = vandq_u64(vcageq_f64(v, low), vcaltq_f64(v, high));
        // From the loaded inputs: out may be x.
        if (!vgetq_lane_u64(common, 0)) out[i] = exp(vgetq_lane_f64(v, 0));
        if (!vgetq_lane_u64(common, 1)) out[i + 1] = exp(vgetq_lane_f64(v, 1));
    }
    exp_scalar(x + i, out + i, n - i);
}
#endif

// Box-Muller over arrays. One template for every width: GCC's and clang's vector
// types compile each +, - and * to the one lane-wise IEEE instruction (SSE2 or AVX2
// on x86-64, NEON on aarch64), in the order written, and the table look-ups and
// square roots go lane by lane. Each lane runs the scalar sequence of box_muller on
// its common path: u1 a normal number below 1 - 2^-4, where log takes its table,
// and 2 pi u2 between 2^-26 and 9pi/4, where sin and cos reduce the argument by
// k = 0..4 quarter turns in one step. Any other lane is redone by box_muller.

template <std::size_t W>
struct Lanes {
    using D [[gnu::vector_size(8 * W)]] = double;
    using I [[gnu::vector_size(8 * W)]] = std::int64_t;
    using U [[gnu::vector_size(8 * W)]] = std::uint64_t;
};

// The lowest double whose high word exceeds `high_word`.
constexpr double above_high_word(std::uint64_t high_word) {
    return std::bit_cast<double>((high_word + 1) << 32);
}
// Where log leaves its table for the polynomial near 1.
constexpr double log_near_one = 1.0 - 0x1p-4;
// Below this, sin and cos take x itself or 1.
constexpr double sin_cos_tiny = std::bit_cast<double>(std::uint64_t{0x3e500000} << 32);
// Quarter turns to take off: one more past each of about pi/4, 3pi/4, 5pi/4 and
// 7pi/4; past 9pi/4 the scalar reduces differently.
constexpr double quarter_turn_bounds[4] = {above_high_word(0x3fe921fb), above_high_word(0x4002d97c),
                                           above_high_word(0x400f6a7a),
                                           above_high_word(0x4015fdbc)};
constexpr double reduction_high = above_high_word(0x401c463b);
// High words where one step would cancel: near pi/2, pi, 3pi/2 and 2pi.
constexpr std::uint64_t cancelling_high_words[4] = {0x3ff921fb, 0x400921fb, 0x4012d97c, 0x401921fb};

template <std::size_t W>
[[gnu::always_inline]] inline void box_muller_block(const double* u1_at, const double* u2_at,
                                                    double* cosine_at, double* sine_at) noexcept {
    using D = typename Lanes<W>::D;
    using I = typename Lanes<W>::I;
    using U = typename Lanes<W>::U;
    const auto& L = detail::log_data;
    const double* A = L.poly;
    D u1;
    D u2;
    std::memcpy(&u1, u1_at, sizeof u1);
    std::memcpy(&u2, u2_at, sizeof u2);

    // log(u1): u1 = 2^k z, and r ~= z/c - 1 from the table's c near z. The bits
    // are unsigned, as in log, so that any input wraps rather than overflows;
    // k alone is their signed top.
    const U ix = __builtin_bit_cast(U, u1);
    const U tmp = ix - std::uint64_t{0x3fe6000000000000};
    const U index = (tmp >> (52 - detail::log_table_bits)) & ((1u << detail::log_table_bits) - 1);
    const I k = __builtin_bit_cast(I, tmp) >> 52;
    const U iz = ix - (tmp & std::uint64_t{0xfff0000000000000});
    const D z = __builtin_bit_cast(D, iz);
    D invc;
    D logc;
    D chi;
    D clo;
    D kd;
    for (std::size_t j = 0; j < W; ++j) {
        const auto at = static_cast<std::size_t>(index[j]);
        invc[j] = L.tab[at].invc;
        logc[j] = L.tab[at].logc;
        chi[j] = L.tab2[at].chi;
        clo[j] = L.tab2[at].clo;
        kd[j] = static_cast<double>(k[j]);
    }
    const D r = ((z - chi) - clo) * invc;
    const D w = kd * L.ln2hi + logc;
    const D hi = w + r;
    const D lo = ((w - hi) + r) + kd * L.ln2lo;
    const D r2 = r * r;
    const D log_u1 =
        ((lo + r2 * A[0]) + (r * r2) * ((A[1] + r * A[2]) + r2 * (A[3] + r * A[4]))) + hi;
    const D twice = log_u1 * -2.0;
    D radius;
    for (std::size_t j = 0; j < W; ++j) radius[j] = std::sqrt(twice[j]);

    // sin and cos of x = 2 pi u2, as y0 + y1 = x - q pi/2 with q quarter turns.
    const D x = u2 * 6.283185307179586;
    const D none = D{};
    const D one = none + 1.0;
    D q = none;
    for (double bound : quarter_turn_bounds) q = q + (x >= bound ? one : none);
    const D reduced = x - q * detail::pio2_1;
    const D y0 = reduced - q * detail::pio2_1t;
    const D y1 = (reduced - y0) - q * detail::pio2_1t;

    const auto [S1, S2, S3, S4, S5, S6] = detail::sin_poly;
    const D zs = y0 * y0;
    const D ws = zs * zs;
    const D rs = (S2 + zs * (S3 + zs * S4)) + (zs * ws) * (S5 + zs * S6);
    const D vs = zs * y0;
    // Unreduced, the scalar's kernel knows its tail is zero and sums otherwise.
    const D s =
        q == 0.0 ? y0 + vs * (S1 + zs * rs) : y0 - ((zs * (0.5 * y1 - vs * rs) - y1) - vs * S1);

    const auto [C1, C2, C3, C4, C5, C6] = detail::cos_poly;
    const D wc = zs * zs;
    const D rc = zs * (C1 + zs * (C2 + zs * C3)) + (wc * wc) * (C4 + zs * (C5 + zs * C6));
    const D hz = 0.5 * zs;
    const D wh = 1.0 - hz;
    const D c = wh + (((1.0 - wh) - hz) + (zs * rc - y0 * y1));

    // The quarter turns' quadrant: 0 and 4 alike.
    const D sine = q == 1.0 ? c : q == 2.0 ? -s : q == 3.0 ? -c : s;
    const D cosine = q == 1.0 ? -s : q == 2.0 ? -c : q == 3.0 ? s : c;
    const D cosine_out = cosine * radius;
    const D sine_out = sine * radius;
    std::memcpy(cosine_at, &cosine_out, sizeof cosine_out);
    std::memcpy(sine_at, &sine_out, sizeof sine_out);

    // From the loaded inputs: the outputs may be the inputs.
    for (std::size_t j = 0; j < W; ++j) {
        const double a = u1[j];
        const double b = x[j];
        const auto high = std::bit_cast<std::uint64_t>(b) >> 32;
        bool common = a >= 0x1p-1022 && a < log_near_one && b >= sin_cos_tiny && b < reduction_high;
        for (std::uint64_t cancelling : cancelling_high_words)
            common = common && high != cancelling;
        if (!common) box_muller(a, u2[j], cosine_at[j], sine_at[j]);
    }
}

void box_muller_scalar(const double* u1, const double* u2, double* cosine, double* sine,
                       std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) box_muller(u1[i], u2[i], cosine[i], sine[i]);
}

#if CORVANE_LANES_X86 || CORVANE_LANES_NEON
// SSE2 on x86-64, NEON on aarch64.
void box_muller_two(const double* u1, const double* u2, double* cosine, double* sine,
                    std::size_t n) {
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) box_muller_block<2>(u1 + i, u2 + i, cosine + i, sine + i);
    box_muller_scalar(u1 + i, u2 + i, cosine + i, sine + i, n - i);
}
#endif

#if CORVANE_LANES_AVX2
__attribute__((target("avx2"))) void box_muller_avx2(const double* u1, const double* u2,
                                                     double* cosine, double* sine, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) box_muller_block<4>(u1 + i, u2 + i, cosine + i, sine + i);
    box_muller_two(u1 + i, u2 + i, cosine + i, sine + i, n - i);
}
#endif

struct Available {
    std::array<LaneSet, 3> sets{};
    std::size_t count = 0;
};

Available detect() {
    Available a;
    a.sets[a.count++] = LaneSet::scalar;
#if CORVANE_LANES_X86
    a.sets[a.count++] = LaneSet::sse2;
#endif
#if CORVANE_LANES_AVX2
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) a.sets[a.count++] = LaneSet::avx2;
#endif
#if CORVANE_LANES_NEON
    a.sets[a.count++] = LaneSet::neon;
#endif
    return a;
}

const Available& available() {
    static const Available a = detect();
    return a;
}

// -1 until a set is chosen: the widest available.
std::atomic<int> chosen{-1};

}  // namespace

std::span<const LaneSet> available_lane_sets() noexcept {
    const Available& a = available();
    return {a.sets.data(), a.count};
}

LaneSet lane_set() noexcept {
    const int c = chosen.load(std::memory_order_relaxed);
    if (c >= 0) return static_cast<LaneSet>(c);
    const Available& a = available();
    return a.sets[a.count - 1];
}

bool use_lane_set(LaneSet set) noexcept {
    for (LaneSet s : available_lane_sets()) {
        if (s == set) {
            chosen.store(static_cast<int>(set), std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

void exp_lanes(const double* x, double* out, std::size_t n) noexcept {
    switch (lane_set()) {
#if CORVANE_LANES_X86
        case LaneSet::sse2: exp_sse2(x, out, n); return;
#endif
#if CORVANE_LANES_AVX2
        case LaneSet::avx2: exp_avx2(x, out, n); return;
#endif
#if CORVANE_LANES_NEON
        case LaneSet::neon: exp_neon(x, out, n); return;
#endif
        default: exp_scalar(x, out, n); return;
    }
}

void box_muller_lanes(const double* u1, const double* u2, double* cosine, double* sine,
                      std::size_t n) noexcept {
    switch (lane_set()) {
#if CORVANE_LANES_X86
        case LaneSet::sse2: box_muller_two(u1, u2, cosine, sine, n); return;
#endif
#if CORVANE_LANES_AVX2
        case LaneSet::avx2: box_muller_avx2(u1, u2, cosine, sine, n); return;
#endif
#if CORVANE_LANES_NEON
        case LaneSet::neon: box_muller_two(u1, u2, cosine, sine, n); return;
#endif
        default: box_muller_scalar(u1, u2, cosine, sine, n); return;
    }
}

}  // namespace corvane::maths
