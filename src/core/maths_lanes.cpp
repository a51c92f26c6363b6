// exp over arrays, several elements at a time. Each lane repeats, operation for
// operation and in the same order, the common path of exp in maths.cpp: IEEE add,
// subtract and multiply round each lane exactly as the scalar instructions do, so
// the bits cannot differ. Lanes are computed whatever their input and an element
// off the common path is then redone by exp itself, which keeps every special case
// in one place. Nothing here may be fused or reordered: the core is built with
// -ffp-contract=off, and the AVX2 kernel is compiled for AVX2 alone, not FMA.

#include <array>
#include <atomic>
#include <cstdint>

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

}  // namespace corvane::maths
