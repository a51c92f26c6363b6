// C++ port of musl 1.2.x sin, cos, exp, log and pow (see THIRD_PARTY.md).
//
// The aim is bit-identical results with musl's generic C code as built for x86_64,
// so each expression keeps musl's operand order and grouping: reassociating, fusing
// (the core is built with -ffp-contract=off) or "simplifying" `a + s - s` style
// rounding tricks would change results. Where musl has FMA and non-FMA variants, the
// non-FMA one is used because that is what x86_64 musl is compiled to. Paths that only
// exist to raise floating-point exceptions are dropped; they never change a result.

#include "core/maths.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/maths_tables.hpp"

namespace corvane::maths {
namespace {

using std::int32_t;
using std::int64_t;
using std::uint32_t;
using std::uint64_t;

constexpr uint64_t asuint64(double x) { return std::bit_cast<uint64_t>(x); }
constexpr double asdouble(uint64_t i) { return std::bit_cast<double>(i); }
constexpr uint32_t high_word(double x) { return static_cast<uint32_t>(asuint64(x) >> 32); }
constexpr uint32_t top12(double x) { return static_cast<uint32_t>(asuint64(x) >> 52); }

constexpr double inf = asdouble(0x7ff0000000000000);

// x * 2^n, exact unless the result is subnormal (rounded once, as musl's scalbn).
double scalbn(double x, int n) {
    double y = x;
    if (n > 1023) {
        y *= 0x1p1023;
        n -= 1023;
        if (n > 1023) {
            y *= 0x1p1023;
            n -= 1023;
            if (n > 1023) n = 1023;
        }
    } else if (n < -1022) {
        // Keep the final n below -53 so the subnormal result is rounded only once.
        y *= 0x1p-1022 * 0x1p53;
        n += 1022 - 53;
        if (n < -1022) {
            y *= 0x1p-1022 * 0x1p53;
            n += 1022 - 53;
            if (n < -1022) n = -1022;
        }
    }
    return y * asdouble(static_cast<uint64_t>(0x3ff + n) << 52);
}

// Results of overflow/underflow, computed so the sign comes out right.
double xflow(uint32_t sign, double y) { return (sign ? -y : y) * y; }
double oflow(uint32_t sign) { return xflow(sign, 0x1p769); }
double uflow(uint32_t sign) { return xflow(sign, 0x1p-767); }
double invalid(double x) { return (x - x) / (x - x); }

// ---------------------------------------------------------------------------
// Argument reduction for sin/cos: x = n*pi/2 + (y[0] + y[1]), |y| <~ pi/4.

// 2/pi in 24-bit chunks: ipio2[i] is bits 24i+1 .. 24i+24 after the binary point.
// 66 chunks cover every finite double.
constexpr int32_t ipio2[] = {
    0xA2F983, 0x6E4E44, 0x1529FC, 0x2757D1, 0xF534DD, 0xC0DB62, 0x95993C, 0x439041, 0xFE5163,
    0xABDEBB, 0xC561B7, 0x246E3A, 0x424DD2, 0xE00649, 0x2EEA09, 0xD1921C, 0xFE1DEB, 0x1CB129,
    0xA73EE8, 0x8235F5, 0x2EBB44, 0x84E99C, 0x7026B4, 0x5F7E41, 0x3991D6, 0x398353, 0x39F49C,
    0x845F8B, 0xBDF928, 0x3B1FF8, 0x97FFDE, 0x05980F, 0xEF2F11, 0x8B5A0A, 0x6D1F6D, 0x367ECF,
    0x27CB09, 0xB74F46, 0x3F669E, 0x5FEA2D, 0x7527BA, 0xC7EBE5, 0xF17B3D, 0x0739F7, 0x8A5292,
    0xEA6BFB, 0x5FB11F, 0x8D5D08, 0x560330, 0x46FC7B, 0x6BABF0, 0xCFBC20, 0x9AF436, 0x1DA9E3,
    0x91615E, 0xE61B08, 0x659985, 0x5F14A0, 0x68408D, 0xFFD880, 0x4D7327, 0x310606, 0x1556CA,
    0x73A8C9, 0x60E27B, 0xC08C6B,
};

// pi/2 in 24-bit pieces.
constexpr double PIo2[] = {
    asdouble(0x3ff921fb40000000), asdouble(0x3e74442d00000000), asdouble(0x3cf8469880000000),
    asdouble(0x3b78cc5160000000), asdouble(0x39f01b8380000000), asdouble(0x387a252040000000),
    asdouble(0x36e3822280000000), asdouble(0x3569f31d00000000),
};

// Payne-Hanek reduction (musl's __rem_pio2_large with prec == 1, i.e. double).
// x[0..nx) are 24-bit chunks of the input scaled by 2^-e0; returns n mod 8.
int rem_pio2_large(const double* x, double* y, int e0, int nx) {
    constexpr int jk = 4;  // init_jk[prec] for double precision
    constexpr int jp = jk;
    int32_t iq[20] = {};
    double f[20] = {}, fq[20] = {}, q[20] = {};
    double z, fw;
    int i, j, k;

    const int jx = nx - 1;
    int jv = (e0 - 3) / 24;
    if (jv < 0) jv = 0;
    int q0 = e0 - 24 * (jv + 1);

    // f[0..jx+jk] = ipio2[jv-jx .. jv+jk]
    j = jv - jx;
    const int m = jx + jk;
    for (i = 0; i <= m; i++, j++) f[i] = j < 0 ? 0.0 : static_cast<double>(ipio2[j]);

    for (i = 0; i <= jk; i++) {
        for (j = 0, fw = 0.0; j <= jx; j++) fw += x[j] * f[jx + i - j];
        q[i] = fw;
    }

    int jz = jk;
    int n;
    int32_t ih;
    for (;;) {
        // Distill q[] into 24-bit integers iq[], most significant last.
        for (i = 0, j = jz, z = q[jz]; j > 0; i++, j--) {
            fw = static_cast<double>(static_cast<int32_t>(0x1p-24 * z));
            iq[i] = static_cast<int32_t>(z - 0x1p24 * fw);
            z = q[j - 1] + fw;
        }

        z = scalbn(z, q0);
        z -= 8.0 * std::floor(z * 0.125);  // only n mod 8 matters
        n = static_cast<int32_t>(z);
        z -= static_cast<double>(n);
        ih = 0;
        if (q0 > 0) {  // the integer part reaches into iq[jz-1]
            i = iq[jz - 1] >> (24 - q0);
            n += i;
            iq[jz - 1] -= i << (24 - q0);
            ih = iq[jz - 1] >> (23 - q0);
        } else if (q0 == 0) {
            ih = iq[jz - 1] >> 23;
        } else if (z >= 0.5) {
            ih = 2;
        }

        int32_t carry = 0;
        if (ih > 0) {  // fraction > 0.5: use n+1 and the negative remainder 1 - fraction
            n += 1;
            for (i = 0; i < jz; i++) {
                j = iq[i];
                if (carry == 0) {
                    if (j != 0) {
                        carry = 1;
                        iq[i] = 0x1000000 - j;
                    }
                } else {
                    iq[i] = 0xffffff - j;
                }
            }
            // Clear the integer bits that were moved into n.
            if (q0 == 1) {
                iq[jz - 1] &= 0x7fffff;
            } else if (q0 == 2) {
                iq[jz - 1] &= 0x3fffff;
            }
            if (ih == 2) {
                z = 1.0 - z;
                if (carry != 0) z -= scalbn(1.0, q0);
            }
        }

        // All computed bits cancelled: pull in more of 2/pi and start over.
        if (z == 0) {
            j = 0;
            for (i = jz - 1; i >= jk; i--) j |= iq[i];
            if (j == 0) {
                for (k = 1; iq[jk - k] == 0; k++) {}
                for (i = jz + 1; i <= jz + k; i++) {
                    f[jx + i] = static_cast<double>(ipio2[jv + i]);
                    for (j = 0, fw = 0.0; j <= jx; j++) fw += x[j] * f[jx + i - j];
                    q[i] = fw;
                }
                jz += k;
                continue;
            }
        }
        break;
    }

    // Drop trailing zero chunks, or split the last partial value into 24-bit chunks.
    if (z == 0.0) {
        jz -= 1;
        q0 -= 24;
        while (iq[jz] == 0) {
            jz--;
            q0 -= 24;
        }
    } else {
        z = scalbn(z, -q0);
        if (z >= 0x1p24) {
            fw = static_cast<double>(static_cast<int32_t>(0x1p-24 * z));
            iq[jz] = static_cast<int32_t>(z - 0x1p24 * fw);
            jz += 1;
            q0 += 24;
            iq[jz] = static_cast<int32_t>(fw);
        } else {
            iq[jz] = static_cast<int32_t>(z);
        }
    }

    fw = scalbn(1.0, q0);
    for (i = jz; i >= 0; i--) {
        q[i] = fw * static_cast<double>(iq[i]);
        fw *= 0x1p-24;
    }

    // fq[] = PIo2 * q[], then fold into the two-term result.
    for (i = jz; i >= 0; i--) {
        for (fw = 0.0, k = 0; k <= jp && k <= jz - i; k++) fw += PIo2[k] * q[i + k];
        fq[jz - i] = fw;
    }

    fw = 0.0;
    for (i = jz; i >= 0; i--) fw += fq[i];
    y[0] = ih == 0 ? fw : -fw;
    fw = fq[0] - fw;
    for (i = 1; i <= jz; i++) fw += fq[i];
    y[1] = ih == 0 ? fw : -fw;
    return n & 7;
}

constexpr double toint = 1.5 / 0x1p-52;  // 1.5 / DBL_EPSILON
constexpr double pio4 = 0x1.921fb54442d18p-1;
constexpr double invpio2 = asdouble(0x3fe45f306dc9c883);  // 53 bits of 2/pi
using detail::pio2_1;
using detail::pio2_1t;
constexpr double pio2_2 = asdouble(0x3dd0b4611a600000);   // second 33 bits
constexpr double pio2_2t = asdouble(0x3ba3198a2e037073);  // pi/2 - (pio2_1 + pio2_2)
constexpr double pio2_3 = asdouble(0x3ba3198a2e000000);   // third 33 bits
constexpr double pio2_3t = asdouble(0x397b839a252049c1);  // remaining tail

// |x| < 2^20 * pi/2: Cody-Waite with one, two or three pieces of pi/2, depending on
// how many leading bits cancel.
int rem_pio2_medium(double x, uint32_t ix, double* y) {
    double fn = x * invpio2 + toint - toint;
    int n = static_cast<int32_t>(fn);
    double r = x - fn * pio2_1;
    double w = fn * pio2_1t;  // first round, good to 85 bits
    // fn can be off by one under directed rounding; musl corrects it, so do we.
    if (r - w < -pio4) {
        n--;
        fn--;
        r = x - fn * pio2_1;
        w = fn * pio2_1t;
    } else if (r - w > pio4) {
        n++;
        fn++;
        r = x - fn * pio2_1;
        w = fn * pio2_1t;
    }
    y[0] = r - w;
    const int ex = static_cast<int>(ix >> 20);
    int ey = static_cast<int>((asuint64(y[0]) >> 52) & 0x7ff);
    if (ex - ey > 16) {  // second round, good to 118 bits
        double t = r;
        w = fn * pio2_2;
        r = t - w;
        w = fn * pio2_2t - ((t - r) - w);
        y[0] = r - w;
        ey = static_cast<int>((asuint64(y[0]) >> 52) & 0x7ff);
        if (ex - ey > 49) {  // third round, good to 151 bits: covers all cases
            t = r;
            w = fn * pio2_3;
            r = t - w;
            w = fn * pio2_3t - ((t - r) - w);
            y[0] = r - w;
        }
    }
    y[1] = (r - y[0]) - w;
    return n;
}

// x - k*pi/2 for |x| <~ 9pi/4 away from multiples of pi/2 (k = 1..4, toward zero).
int rem_pio2_small(double x, bool negative, int k, double* y) {
    const double kk = static_cast<double>(k);
    if (!negative) {
        const double z = x - kk * pio2_1;  // one rounding, good to 85 bits
        y[0] = z - kk * pio2_1t;
        y[1] = (z - y[0]) - kk * pio2_1t;
        return k;
    }
    const double z = x + kk * pio2_1;
    y[0] = z + kk * pio2_1t;
    y[1] = (z - y[0]) + kk * pio2_1t;
    return -k;
}

// Caller handles |x| <~ pi/4, where no reduction is needed.
int rem_pio2(double x, double* y) {
    uint64_t u = asuint64(x);
    const bool negative = (u >> 63) != 0;
    const uint32_t ix = static_cast<uint32_t>(u >> 32) & 0x7fffffff;

    // Near a small multiple of pi/2 the one-step subtraction would cancel, so those
    // inputs (high word ~ pi/2, pi, 3pi/2, 2pi) take the medium path.
    if (ix <= 0x400f6a7a) {  // |x| ~<= 5pi/4
        if ((ix & 0xfffff) == 0x921fb) return rem_pio2_medium(x, ix, y);
        return rem_pio2_small(x, negative, ix <= 0x4002d97c ? 1 : 2, y);  // |x| ~<= 3pi/4: k = 1
    }
    if (ix <= 0x401c463b) {      // |x| ~<= 9pi/4
        if (ix <= 0x4015fdbc) {  // |x| ~<= 7pi/4
            if (ix == 0x4012d97c) return rem_pio2_medium(x, ix, y);
            return rem_pio2_small(x, negative, 3, y);
        }
        if (ix == 0x401921fb) return rem_pio2_medium(x, ix, y);
        return rem_pio2_small(x, negative, 4, y);
    }
    if (ix < 0x413921fb) return rem_pio2_medium(x, ix, y);  // |x| ~< 2^20 * pi/2

    if (ix >= 0x7ff00000) {  // inf or NaN
        y[0] = y[1] = x - x;
        return 0;
    }
    // Split |x| * 2^(23 - ilogb(x)) into three 24-bit integer chunks.
    u &= ~uint64_t{0} >> 12;
    u |= static_cast<uint64_t>(0x3ff + 23) << 52;
    double z = asdouble(u);
    double tx[3], ty[2];
    int i;
    for (i = 0; i < 2; i++) {
        tx[i] = static_cast<double>(static_cast<int32_t>(z));
        z = (z - tx[i]) * 0x1p24;
    }
    tx[i] = z;
    while (tx[i] == 0.0) i--;  // the first chunk is never zero
    const int n = rem_pio2_large(tx, ty, static_cast<int>(ix >> 20) - (0x3ff + 23), i + 1);
    if (negative) {
        y[0] = -ty[0];
        y[1] = -ty[1];
        return -n;
    }
    y[0] = ty[0];
    y[1] = ty[1];
    return n;
}

// sin on [-pi/4, pi/4]; x + y is the reduced argument, iy == 0 means y is zero.
double kernel_sin(double x, double y, int iy) {
    const auto [S1, S2, S3, S4, S5, S6] = detail::sin_poly;
    const double z = x * x;
    const double w = z * z;
    const double r = S2 + z * (S3 + z * S4) + z * w * (S5 + z * S6);
    const double v = z * x;
    if (iy == 0) return x + v * (S1 + z * r);
    return x - ((z * (0.5 * y - v * r) - y) - v * S1);
}

// cos on [-pi/4, pi/4] for the reduced argument x + y.
double kernel_cos(double x, double y) {
    const auto [C1, C2, C3, C4, C5, C6] = detail::cos_poly;
    const double z = x * x;
    double w = z * z;
    const double r = z * (C1 + z * (C2 + z * C3)) + w * w * (C4 + z * (C5 + z * C6));
    const double hz = 0.5 * z;
    w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + (z * r - x * y));
}

// ---------------------------------------------------------------------------
// exp: 2^(k/N) from the table times a polynomial for exp(r), N = 128.

using maths::detail::exp_data;
constexpr int exp_n = 1 << detail::exp_table_bits;

// scale * (1 + tmp) where scale's exponent may have overflowed (k > 0) or the
// result may be subnormal (k < 0). In the subnormal range the sum is rounded to
// the final precision before scaling down, avoiding a double rounding.
double exp_specialcase(double tmp, uint64_t sbits, uint64_t ki) {
    if ((ki & 0x80000000) == 0) {
        sbits -= 1009ULL << 52;
        const double scale = asdouble(sbits);
        return 0x1p1009 * (scale + scale * tmp);
    }
    sbits += 1022ULL << 52;
    const double scale = asdouble(sbits);
    double y = scale + scale * tmp;
    if (y < 1.0) {
        double lo = scale - y + scale * tmp;
        const double hi = 1.0 + y;
        lo = 1.0 - hi + y + lo;
        y = (hi + lo) - 1.0;
        if (y == 0.0) y = 0.0;  // no -0 under downward rounding
    }
    return 0x1p-1022 * y;
}

// pow's variant: scale may carry a sign bit, so |y| and the sign of zero need care.
double pow_exp_specialcase(double tmp, uint64_t sbits, uint64_t ki) {
    if ((ki & 0x80000000) == 0) {
        sbits -= 1009ULL << 52;
        const double scale = asdouble(sbits);
        return 0x1p1009 * (scale + scale * tmp);
    }
    sbits += 1022ULL << 52;
    const double scale = asdouble(sbits);
    double y = scale + scale * tmp;
    if (std::fabs(y) < 1.0) {
        const double one = y < 0.0 ? -1.0 : 1.0;
        double lo = scale - y + scale * tmp;
        const double hi = one + y;
        lo = one - hi + y + lo;
        y = (hi + lo) - one;
        if (y == 0) y = asdouble(sbits & 0x8000000000000000);
    }
    return 0x1p-1022 * y;
}

// Shared core of exp and pow's final step: sign * exp(x + xtail).
// sign_bias is 0 or pow_sign_bias; `for_pow` selects pow's underflow handling.
template <bool for_pow>
double exp_core(double x, double xtail, uint32_t sign_bias) {
    const double C2 = exp_data.poly[0];
    const double C3 = exp_data.poly[1];
    const double C4 = exp_data.poly[2];
    const double C5 = exp_data.poly[3];

    uint32_t abstop = top12(x) & 0x7ff;
    if (abstop - top12(0x1p-54) >= top12(512.0) - top12(0x1p-54)) {
        if (abstop - top12(0x1p-54) >= 0x80000000) {
            // |x| < 2^-54: avoid spurious underflow; 1 + x gives the right rounding.
            const double one = 1.0 + x;
            return sign_bias ? -one : one;
        }
        if (abstop >= top12(1024.0)) {
            if constexpr (!for_pow) {
                if (asuint64(x) == asuint64(-inf)) return 0.0;
                if (abstop >= top12(inf)) return 1.0 + x;
            }
            // pow never passes inf or NaN here.
            return (asuint64(x) >> 63) ? uflow(sign_bias) : oflow(sign_bias);
        }
        abstop = 0;  // large |x|: handled by the special case below
    }

    // x = ln2/N*k + r, with integer k and |r| <= ln2/2N.
    const double z = exp_data.invln2N * x;
    double kd = z + exp_data.shift;  // rounds z to an integer held in the low bits
    const uint64_t ki = asuint64(kd);
    kd -= exp_data.shift;
    double r = x + kd * exp_data.negln2hiN + kd * exp_data.negln2loN;
    if constexpr (for_pow) r += xtail;
    // 2^(k/N) ~= scale * (1 + tail)
    const uint64_t idx = 2 * (ki % exp_n);
    const uint64_t top = (ki + sign_bias) << (52 - detail::exp_table_bits);
    const double tail = asdouble(exp_data.tab[idx]);
    const uint64_t sbits = exp_data.tab[idx + 1] + top;  // valid for -1023N < k < 1024N
    const double r2 = r * r;
    const double tmp = tail + r + r2 * (C2 + r * C3) + r2 * r2 * (C4 + r * C5);
    if (abstop == 0) {
        return for_pow ? pow_exp_specialcase(tmp, sbits, ki) : exp_specialcase(tmp, sbits, ki);
    }
    const double scale = asdouble(sbits);
    return scale + scale * tmp;
}

constexpr uint32_t pow_sign_bias = 0x800 << detail::exp_table_bits;

// ---------------------------------------------------------------------------
// log: log(x) = k*ln2 + log(c) + log1p(z/c - 1) with c from a 128-entry table.

using maths::detail::log_data;
using maths::detail::pow_log_data;

// log(x) as hi + *tail with ~15 extra bits, for pow. ix is x's bit pattern with
// subnormals already normalised (exponent pushed into the sign bit).
double pow_log_inline(uint64_t ix, double* tail) {
    constexpr uint64_t off = 0x3fe6955500000000;
    const double* A = pow_log_data.poly;

    // x = 2^k z, z in [off, 2*off) exactly; c is near the centre of z's subinterval.
    const uint64_t tmp = ix - off;
    const int i = static_cast<int>((tmp >> (52 - detail::pow_log_table_bits)) %
                                   (1 << detail::pow_log_table_bits));
    const int k = static_cast<int>(static_cast<int64_t>(tmp) >> 52);  // arithmetic shift
    const uint64_t iz = ix - (tmp & 0xfffULL << 52);
    const double z = asdouble(iz);
    const double kd = static_cast<double>(k);

    const auto& e = pow_log_data.tab[static_cast<std::size_t>(i)];
    const double invc = e.invc;
    const double logc = e.logc;
    const double logctail = e.logctail;

    // r = z/c - 1 exactly, without fma: split z so rhi, rlo and rhi*rhi are exact.
    const double zhi = asdouble((iz + (1ULL << 31)) & (~0ULL << 32));
    const double zlo = z - zhi;
    const double rhi = zhi * invc - 1.0;
    const double rlo = zlo * invc;
    const double r = rhi + rlo;

    // k*ln2 + log(c) + r
    const double t1 = kd * pow_log_data.ln2hi + logc;
    const double t2 = t1 + r;
    const double lo1 = kd * pow_log_data.ln2lo + logctail;
    const double lo2 = t1 - t2 + r;

    // + A[0]*r*r, with its rounding error recovered from the split of r.
    const double ar = A[0] * r;  // A[0] == -0.5
    const double ar2 = r * ar;
    const double ar3 = r * ar2;
    const double arhi = A[0] * rhi;
    const double arhi2 = rhi * arhi;
    const double hi = t2 + arhi2;
    const double lo3 = rlo * (ar + arhi);
    const double lo4 = t2 - hi + arhi2;
    // log1p(r) - r - A[0]*r*r
    const double p = (ar3 * (A[1] + r * A[2] + ar2 * (A[3] + r * A[4] + ar2 * (A[5] + r * A[6]))));
    const double lo = lo1 + lo2 + lo3 + lo4 + p;
    const double y = hi + lo;
    *tail = hi - y + lo;
    return y;
}

// 0: not an integer, 1: odd integer, 2: even integer. iy is a non-zero finite value.
int checkint(uint64_t iy) {
    const int e = static_cast<int>((iy >> 52) & 0x7ff);
    if (e < 0x3ff) return 0;
    if (e > 0x3ff + 52) return 2;
    if (iy & ((1ULL << (0x3ff + 52 - e)) - 1)) return 0;
    if (iy & (1ULL << (0x3ff + 52 - e))) return 1;
    return 2;
}

// True for the bit patterns of +-0, +-inf and NaN.
bool zeroinfnan(uint64_t i) { return 2 * i - 1 >= 2 * asuint64(inf) - 1; }

}  // namespace

// ---------------------------------------------------------------------------

double sin(double x) noexcept {
    const uint32_t ix = high_word(x) & 0x7fffffff;
    if (ix <= 0x3fe921fb) {             // |x| ~< pi/4
        if (ix < 0x3e500000) return x;  // |x| < 2^-26
        return kernel_sin(x, 0.0, 0);
    }
    if (ix >= 0x7ff00000) return x - x;  // inf or NaN

    double y[2];
    const unsigned n = static_cast<unsigned>(rem_pio2(x, y));
    switch (n & 3) {
        case 0: return kernel_sin(y[0], y[1], 1);
        case 1: return kernel_cos(y[0], y[1]);
        case 2: return -kernel_sin(y[0], y[1], 1);
        default: return -kernel_cos(y[0], y[1]);
    }
}

double cos(double x) noexcept {
    const uint32_t ix = high_word(x) & 0x7fffffff;
    if (ix <= 0x3fe921fb) {               // |x| ~< pi/4
        if (ix < 0x3e46a09e) return 1.0;  // |x| < 2^-27 * sqrt(2)
        return kernel_cos(x, 0.0);
    }
    if (ix >= 0x7ff00000) return x - x;  // inf or NaN

    double y[2];
    const unsigned n = static_cast<unsigned>(rem_pio2(x, y));
    switch (n & 3) {
        case 0: return kernel_cos(y[0], y[1]);
        case 1: return -kernel_sin(y[0], y[1], 1);
        case 2: return -kernel_cos(y[0], y[1]);
        default: return kernel_sin(y[0], y[1], 1);
    }
}

void sin_cos(double x, double& sine, double& cosine) noexcept {
    const uint32_t ix = high_word(x) & 0x7fffffff;
    if (ix <= 0x3fe921fb) {  // |x| ~< pi/4: each with its own small-argument cut
        sine = ix < 0x3e500000 ? x : kernel_sin(x, 0.0, 0);
        cosine = ix < 0x3e46a09e ? 1.0 : kernel_cos(x, 0.0);
        return;
    }
    if (ix >= 0x7ff00000) {  // inf or NaN
        sine = x - x;
        cosine = sine;
        return;
    }
    double y[2];
    const unsigned n = static_cast<unsigned>(rem_pio2(x, y));
    const double s = kernel_sin(y[0], y[1], 1);
    const double c = kernel_cos(y[0], y[1]);
    switch (n & 3) {
        case 0: sine = s, cosine = c; break;
        case 1: sine = c, cosine = -s; break;
        case 2: sine = -s, cosine = -c; break;
        default: sine = -c, cosine = s; break;
    }
}

double exp(double x) noexcept { return exp_core<false>(x, 0.0, 0); }

void box_muller(double u1, double u2, double& cosine, double& sine) noexcept {
    // log(0) would make the radius infinite.
    if (u1 == 0.0) u1 = 1e-10;
    const double radius = std::sqrt(log(u1) * -2.0);
    double s = 0.0;
    double c = 0.0;
    sin_cos(u2 * 6.283185307179586, s, c);
    sine = s * radius;
    cosine = c * radius;
}

double log(double x) noexcept {
    constexpr uint64_t off = 0x3fe6000000000000;
    const double* A = log_data.poly;
    const double* B = log_data.poly1;

    uint64_t ix = asuint64(x);
    const uint32_t top = static_cast<uint32_t>(ix >> 48);

    constexpr uint64_t lo_bound = asuint64(1.0 - 0x1p-4);
    constexpr uint64_t hi_bound = asuint64(1.0 + 0x1.09p-4);
    if (ix - lo_bound < hi_bound - lo_bound) {
        // Close to 1: a direct polynomial in r = x - 1 is more accurate than the table.
        if (ix == asuint64(1.0)) return 0;
        const double r = x - 1.0;
        const double r2 = r * r;
        const double r3 = r * r2;
        double y =
            r3 *
            (B[1] + r * B[2] + r2 * B[3] +
             r3 * (B[4] + r * B[5] + r2 * B[6] + r3 * (B[7] + r * B[8] + r2 * B[9] + r3 * B[10])));
        // r + B[0]*r*r in extra precision: rhi holds the top 26 bits of r, so rhi*rhi is exact.
        double w = r * 0x1p27;
        const double rhi = r + w - w;
        const double rlo = r - rhi;
        w = rhi * rhi * B[0];  // B[0] == -0.5
        const double hi = r + w;
        double lo = r - hi + w;
        lo += B[0] * rlo * (rhi + r);
        y += lo;
        y += hi;
        return y;
    }
    if (top - 0x0010 >= 0x7ff0 - 0x0010) {
        // x < 2^-1022, negative, inf or NaN.
        if (ix * 2 == 0) return -inf;  // log(+-0)
        if (ix == asuint64(inf)) return x;
        if ((top & 0x8000) || (top & 0x7ff0) == 0x7ff0) return invalid(x);
        // Subnormal: normalise.
        ix = asuint64(x * 0x1p52);
        ix -= 52ULL << 52;
    }

    // x = 2^k z, z in [off, 2*off) exactly; c is near the centre of z's subinterval.
    const uint64_t tmp = ix - off;
    const int i =
        static_cast<int>((tmp >> (52 - detail::log_table_bits)) % (1 << detail::log_table_bits));
    const int k = static_cast<int>(static_cast<int64_t>(tmp) >> 52);  // arithmetic shift
    const uint64_t iz = ix - (tmp & 0xfffULL << 52);
    const auto& t = log_data.tab[static_cast<std::size_t>(i)];
    const auto& t2 = log_data.tab2[static_cast<std::size_t>(i)];
    const double z = asdouble(iz);

    // r ~= z/c - 1 without fma: c = chi + clo is the exact centre and z - chi is exact.
    const double r = (z - t2.chi - t2.clo) * t.invc;
    const double kd = static_cast<double>(k);

    // hi + lo = r + log(c) + k*ln2
    const double w = kd * log_data.ln2hi + t.logc;
    const double hi = w + r;
    const double lo = w - hi + r + kd * log_data.ln2lo;

    // log(x) = lo + (log1p(r) - r) + hi
    const double r2 = r * r;
    const double y = lo + r2 * A[0] + r * r2 * (A[1] + r * A[2] + r2 * (A[3] + r * A[4])) + hi;
    return y;
}

double pow(double x, double y) noexcept {
    uint32_t sign_bias = 0;
    uint64_t ix = asuint64(x);
    const uint64_t iy = asuint64(y);
    uint32_t topx = top12(x);
    const uint32_t topy = top12(y);

    // Special cases: x negative, < 2^-1022, inf or NaN; or |y| < 2^-65, >= 2^63 or NaN.
    // (|y| > 1075 * ln2 * 2^53 always gives inf/0 and |y| < 2^-54 / 1075 gives +-1.)
    if (topx - 0x001 >= 0x7ff - 0x001 || (topy & 0x7ff) - 0x3be >= 0x43e - 0x3be) {
        if (zeroinfnan(iy)) {
            if (2 * iy == 0) return 1.0;  // pow(x, +-0) = 1, even for NaN x
            if (ix == asuint64(1.0)) return 1.0;
            if (2 * ix > 2 * asuint64(inf) || 2 * iy > 2 * asuint64(inf)) return x + y;
            if (2 * ix == 2 * asuint64(1.0)) return 1.0;  // pow(-1, +-inf)
            if ((2 * ix < 2 * asuint64(1.0)) == !(iy >> 63))
                return 0.0;  // |x|<1, y=inf or |x|>1, y=-inf
            return y * y;
        }
        if (zeroinfnan(ix)) {
            double x2 = x * x;
            if ((ix >> 63) && checkint(iy) == 1) x2 = -x2;
            return (iy >> 63) ? 1 / x2 : x2;
        }
        // x and y are non-zero and finite.
        if (ix >> 63) {
            const int yint = checkint(iy);
            if (yint == 0) return invalid(x);
            if (yint == 1) sign_bias = pow_sign_bias;
            ix &= 0x7fffffffffffffff;
            topx &= 0x7ff;
        }
        if ((topy & 0x7ff) - 0x3be >= 0x43e - 0x3be) {
            // sign_bias is 0 here: such a y is never an odd integer.
            if (ix == asuint64(1.0)) return 1.0;
            if ((topy & 0x7ff) < 0x3be) {
                // |y| < 2^-65: x^y ~= 1 + y*log(x)
                return ix > asuint64(1.0) ? 1.0 + y : 1.0 - y;
            }
            return (ix > asuint64(1.0)) == (topy < 0x800) ? oflow(0) : uflow(0);
        }
        if (topx == 0) {
            // Subnormal x: normalise so the exponent becomes negative.
            ix = asuint64(x * 0x1p52);
            ix &= 0x7fffffffffffffff;
            ix -= 52ULL << 52;
        }
    }

    double lo;
    const double hi = pow_log_inline(ix, &lo);
    // y * (hi + lo) as ehi + elo, with Dekker-style splits instead of fma.
    const double yhi = asdouble(iy & (~0ULL << 27));
    const double ylo = y - yhi;
    const double lhi = asdouble(asuint64(hi) & (~0ULL << 27));
    const double llo = hi - lhi + lo;
    const double ehi = yhi * lhi;
    const double elo = ylo * lhi + y * llo;  // |elo| < |y| * 2^-25
    return exp_core<true>(ehi, elo, sign_bias);
}

}  // namespace corvane::maths
