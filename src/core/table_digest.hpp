// Digests of what a simulation recorded, one per results table.
//
// A replay that reaches the right market state can still have recorded the
// wrong days, labels or books: recording changes no state. These digests
// let a saved run say what its tables held, so a rebuild can be checked
// against them.
#pragma once

#include <string>

namespace corvane {

class Simulation;

// Each a SHA-256 in lower-case hex.
struct TableDigests {
    // Every recorded day: label, tick and instrument counts, price and
    // volume columns.
    std::string bars;
    // Every recorded day: label, tick and instrument counts, and the
    // mispricing, fair value, anchor and nine factor columns.
    std::string truth;
    // Every macro row: its nine values, then its day.
    std::string macro;
    // Every book row: price, size, day, tick, instrument, side, level.
    std::string book;
};

// Hashes a canonical form: every integer and float little-endian (floats as
// their bit patterns, so NaN payloads and -0.0 count), every sequence behind
// its length. Throws std::bad_alloc when the hash context cannot be made.
TableDigests table_digests(const Simulation& simulation);

}  // namespace corvane
