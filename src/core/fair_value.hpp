// Fair value per share from fundamentals and the macro state.
//
// Earnings-making instruments are valued at a multiple of EPS: the sector's
// anchor multiple, cut as the discount rate rises above neutral (more so for
// growth names, whose value lies further out), then scaled by the QE boost.
// Everything else is valued off book.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace corvane {

struct FairValue {
    double fair_value = 0.0;
    // The multiple actually applied; zero on the book-value path.
    double target_pe = 0.0;
    // The sector's anchor multiple, before adjustment.
    double sector_anchor_pe = 0.0;
    double rate_adjustment = 1.0;
    double qe_adjustment = 1.0;
    // Valued off book because EPS was absent or not positive.
    bool book_value_path = false;

    bool operator==(const FairValue&) const = default;
};

struct FairValueInputs {
    std::optional<double> eps;
    // A sector anchor of 0 (or NaN) means "no anchor": the default multiple applies.
    double sector_anchor_pe = 0.0;
    // A fraction; only growth above zero lengthens the rate sensitivity.
    std::optional<double> revenue_growth;
    // The discount rate in PERCENT, as the economy holds it.
    double rate_pct = 0.0;
    // A multiplier delta: 0.1 lifts the multiple by 10%.
    std::optional<double> qe_pe_boost;
    std::optional<double> book_value_per_share;
};

// Total: a NaN that reaches the arithmetic propagates.
FairValue fair_value(const FairValueInputs& inputs);

// The caller's form: a sector key and FRACTIONAL rates. A corporate bond
// yield, when given (0.0 included), is the discount rate; otherwise the
// policy rate is.
struct FairValueArgs {
    std::optional<double> eps;
    std::string_view sector;
    std::optional<double> revenue_growth;
    double federal_funds_rate = 0.0;
    std::optional<double> corporate_bond_yield;
    std::optional<double> qe_pe_boost;
    std::optional<double> book_value_per_share;
};

// Checks the sector, the finiteness of the fundamentals and the rates, in
// that order, then values.
Result<FairValue> fair_value(const FairValueArgs& args);

// FairValue(fair_value=67.8400, target_pe=33.9200, book_value_path=false)
std::string to_text(const FairValue& value);

}  // namespace corvane
