// Books of every instrument at once, for callers that read every book each
// step (a trading environment): these walk each instrument's ladder as
// Engine::book_for would lay it out, with the book's own arithmetic, but
// build no OrderBook, so they allocate nothing per instrument. A single
// engine and every member of a batch read through these same functions.
#pragma once

#include <span>

#include "core/engine.hpp"

namespace corvane {

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
