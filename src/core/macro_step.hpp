// The economy's daily step: one trading day of rates, yields, inflation,
// labour, commodities, VIX, business-cycle phase and central bank, run at the
// end of every close so the next day's first tick reads the new values.
//
// The step is the only consumer of the economy stream. How many values it
// takes depends on the state (a contraction rolls what an expansion never
// does), so the engine adds the count returned here to its economy counter.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/economy.hpp"
#include "core/generator.hpp"
#include "core/params.hpp"
#include "core/tick_company.hpp"

namespace corvane {

// What one day's step did. The close does not need it; it is for callers
// and tests that want to see why the stream moved as it did.
struct MacroDaySummary {
    bool phase_changed = false;
    bool meeting_held = false;
    // Meeting days only: the rule that decided (0 to 6) and the roll of the
    // first scheduling uniform, floor(6u).
    std::optional<std::uint8_t> decision_code;
    std::optional<std::uint8_t> meeting_roll;
    // Values handed out by the economy stream: one per uniform, one per
    // normal whether or not it came from the cached spare.
    std::uint64_t economy_draws = 0;
};

// Advances `economy` and `bank` by day `day_number` (the engine's day count
// after the close's increment; the first close is day 1). Reads the active
// instruments of `roster`, with their `trading` states in the same order,
// for the market P/E and returns, and
// `market_variance` for the realised-volatility VIX level. Draws only from
// `economy_stream`, whose spare carries over to the next day.
MacroDaySummary advance_macro_day(EconomyState& economy, CentralBank& bank,
                                  const ModelParams& model, GameRng& economy_stream,
                                  std::span<const CompanyDetails> roster,
                                  std::span<const TradingState> trading, double market_variance,
                                  std::uint32_t day_number);

}  // namespace corvane
