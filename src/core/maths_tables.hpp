// Lookup tables and constants behind corvane::maths exp, log, pow, sin and cos. The layouts mirror
// musl's
// __exp_data, __log_data (non-FMA build, with tab2) and __pow_log_data so the values
// in maths_tables.cpp can be printed straight out of musl's libc.a.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace corvane::maths::detail {

inline constexpr int exp_table_bits = 7;
inline constexpr int log_table_bits = 7;
inline constexpr int pow_log_table_bits = 7;

struct ExpData {
    double invln2N;
    double shift;
    double negln2hiN;
    double negln2loN;
    double poly[4];  // C2..C5 of exp; C1 == 1
    double exp2_shift;
    double exp2_poly[5];
    std::uint64_t tab[2 * (1 << exp_table_bits)];
};

struct LogData {
    double ln2hi;
    double ln2lo;
    double poly[5];    // A[0..4]
    double poly1[11];  // B[0..10], for inputs close to 1
    struct InvcLogc {
        double invc, logc;
    };
    struct ChiClo {
        double chi, clo;
    };
    std::array<InvcLogc, 1 << log_table_bits> tab;
    std::array<ChiClo, 1 << log_table_bits> tab2;
};

struct PowLogData {
    double ln2hi;
    double ln2lo;
    double poly[7];
    struct Entry {
        double invc, pad, logc, logctail;
    };
    std::array<Entry, 1 << pow_log_table_bits> tab;
};

static_assert(sizeof(ExpData) == 0x870);
static_assert(sizeof(LogData) == 0x1090);
static_assert(sizeof(PowLogData) == 0x1048);

// sin and cos on [-pi/4, pi/4]: musl's __sin S1..S6 and __cos C1..C6.
inline constexpr double sin_poly[6] = {
    std::bit_cast<double>(0xbfc5555555555549), std::bit_cast<double>(0x3f8111111110f8a6),
    std::bit_cast<double>(0xbf2a01a019c161d5), std::bit_cast<double>(0x3ec71de357b1fe7d),
    std::bit_cast<double>(0xbe5ae5e68a2b9ceb), std::bit_cast<double>(0x3de5d93a5acfd57c),
};
inline constexpr double cos_poly[6] = {
    std::bit_cast<double>(0x3fa555555555554c), std::bit_cast<double>(0xbf56c16c16c15177),
    std::bit_cast<double>(0x3efa01a019cb1590), std::bit_cast<double>(0xbe927e4f809c52ad),
    std::bit_cast<double>(0x3e21ee9ebdb4b1c4), std::bit_cast<double>(0xbda8fae9be8838d4),
};
// The first 33 bits of pi/2, and the rest of it.
inline constexpr double pio2_1 = std::bit_cast<double>(0x3ff921fb54400000);
inline constexpr double pio2_1t = std::bit_cast<double>(0x3dd0b4611a626331);

extern const ExpData exp_data;
extern const LogData log_data;
extern const PowLogData pow_log_data;

}  // namespace corvane::maths::detail
