// Listed instruments: how a caller describes one, how it becomes the engine's
// tick record, and the deterministic generator of plausible universes.
//
// One instrument goes by four names, one for each place it lives:
// - `InstrumentInit` (below) is the caller's description: ticker, sector,
//   price and fundamentals, checked by `check_instrument` and never changed.
// - `Instrument` is the same description as the interpreter sees it (the
//   binding of `InstrumentInit`, src/python/universe.cpp).
// - `TickCompany` (tick_company.hpp) is the engine's mutable per-instrument
//   state, made once by `to_tick_company` and carried from tick to tick; the
//   engine keeps its `TradingState` and its `CompanyDetails` in two arrays.
// - "record" or "tick record" in comments means a `TickCompany`, and the
//   "roster" is the engine's vector of them (of their details, beside their
//   trading states), indexed by instrument id.
//
// A generated universe depends only on its size and its universe seed. It
// draws from a generator of its own, so the same universe can be run under
// different market seeds without either perturbing the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/result.hpp"
#include "core/tick_company.hpp"

namespace corvane {

// Three upper-case letters name at most 26^3 distinct instruments.
inline constexpr std::uint64_t MAX_UNIVERSE_SIZE = 17576;
// Generator sequence of the universe stream; no engine stream uses it.
inline constexpr std::uint32_t UNIVERSE_SEQUENCE = 21;

// One instrument as a caller describes it. Market capitalisation is never an
// input: it is initial_price x shares_outstanding.
struct InstrumentInit {
    std::optional<double> eps;
    std::optional<double> book_value_per_share;
    // A fraction.
    std::optional<double> revenue_growth;
    std::string ticker;
    // A key of the sector table.
    std::string sector;
    double initial_price = 0.0;
    double shares_outstanding = 0.0;
    // Shares per day.
    double avg_volume = 1000000.0;
    double beta = 1.0;
    // A share count, never a fraction of the shares.
    double short_interest = 0.0;

    double market_cap() const { return initial_price * shares_outstanding; }

    // The initial tick record at roster index `id`. Fails only for a sector
    // that is not in the table, which `check_instrument` has already refused.
    Result<TickCompany> to_tick_company(std::size_t id) const;

    bool operator==(const InstrumentInit&) const = default;
};

// Refuses the first implausible field, in the order callers are told about.
Status check_instrument(const InstrumentInit& instrument);

// Instrument("AAA", sector="technology", price=12.5)
std::string to_text(const InstrumentInit& instrument);

// One generated instrument; every fundamental present.
struct GeneratedInstrument {
    std::string ticker;
    std::string sector;
    double initial_price = 0.0;
    double shares_outstanding = 0.0;
    double eps = 0.0;
    double book_value_per_share = 0.0;
    double revenue_growth = 0.0;
    double avg_volume = 0.0;
    double beta = 0.0;
    double short_interest = 0.0;

    InstrumentInit to_init() const;

    bool operator==(const GeneratedInstrument&) const = default;
};

// AAA, AAB, ..., ZZZ; the names repeat from index 17576 on.
std::string ticker_for(std::uint64_t index);

// Refuses 0 and more instruments than there are tickers.
Status check_universe_size(std::uint64_t n);

// n instruments cycling through the sector table. Pure in (n, seed); the
// first n of a larger universe with the same seed are this universe.
std::vector<GeneratedInstrument> random_universe(std::size_t n, std::uint32_t seed);

}  // namespace corvane
