// Books read without being built, for callers that read them every step (a
// trading environment): these walk an instrument's ladder as Engine::book_for
// would lay it out, with the book's own arithmetic, but build no OrderBook,
// so they allocate nothing. A single engine, every member of a batch and
// the trading desk read through these same functions.
#pragma once

#include <optional>
#include <span>

#include "core/engine.hpp"
#include "core/market_maker.hpp"

namespace corvane {

// The best price and the shares at it on each side of the full book a
// quote lays out; an empty side reads NaN with size 0.
struct TopOfBook {
    double bid = 0.0;
    double ask = 0.0;
    double bid_size = 0.0;
    double ask_size = 0.0;
};
TopOfBook top_of_book(const LiveQuote& quote, double vix);

// Instrument `i`'s live quote, as book_for builds its book from; nothing
// when its price is not positive.
std::optional<LiveQuote> live_quote(const Engine& engine, std::size_t i);

// A market order of `quantity` shares (positive to buy, negative to sell)
// priced against a quote's full book without moving the market: the signed
// quantity filled, the average and the worst price (NaN where nothing filled).
struct SweepPrice {
    double filled = 0.0;
    double average = 0.0;
    double worst = 0.0;
};
SweepPrice sweep_price(const LiveQuote& quote, double vix, double quantity);

// Every instrument's top of book into `out` (4 x instruments): best bid,
// best ask, bid size, ask size. An empty side reads NaN with size 0.
void quotes_into(const Engine& engine, std::span<double> out);

// Prices a market order per instrument (`quantities` in roster order,
// positive to buy, negative to sell, 0 for none) against its live book
// without moving the market, into `out` (3 x instruments): the signed
// quantity filled, the average and the worst price (NaN where nothing filled).
void sweep_costs_into(const Engine& engine, std::span<const double> quantities,
                      std::span<double> out);

}  // namespace corvane
