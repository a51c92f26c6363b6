// Lookup tables behind corvane::maths exp, log and pow. The layouts mirror musl's
// __exp_data, __log_data (non-FMA build, with tab2) and __pow_log_data so the values
// in maths_tables.cpp can be printed straight out of musl's libc.a.
#pragma once

#include <array>
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

extern const ExpData exp_data;
extern const LogData log_data;
extern const PowLogData pow_log_data;

}  // namespace corvane::maths::detail
