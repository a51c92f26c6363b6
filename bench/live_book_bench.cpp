// What one instrument costs on a regular-hours tick: build the market
// maker's live book and settle four market orders against it, at the two
// ladder depths the tick uses most (2 and 10 levels a side).
//
// Three measurements per depth, all in the same run so their ratios hold on
// a busy machine:
//   build        - the live book alone, into a reused book;
//   build+settle - the tick's path: the same, then four market orders into
//                  a reused result;
//   naive        - the same work on a straightforward book: vectors built
//                  fresh for every instrument, ids rendered as text on
//                  every order, the best order erased from the front.
// Heap allocations are counted too: the tick's path should make none once
// its buffers exist.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/market_maker.hpp"
#include "core/order_book.hpp"

#include "allocation_counter.hpp"

using bench::allocations;

namespace {

using namespace corvane;

constexpr int INSTRUMENTS = 64;

struct Scenario {
    LiveBookInput input;
    std::string company_id;
    double slice = 0.0;
    Side sides[4];
};

// A spread of instruments like a generated universe: prices from a few
// dollars to a few hundred, caps across every tier, some inventory. Each
// order is a quarter of a flow sized to the ladder depth, as the tick sizes
// it.
std::vector<Scenario> scenarios(double levels) {
    std::vector<Scenario> out(INSTRUMENTS);
    std::uint32_t state = 12345;
    auto next = [&state]() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0;
    };
    for (int i = 0; i < INSTRUMENTS; ++i) {
        Scenario& s = out[static_cast<std::size_t>(i)];
        char name[16] = {'C'};
        s.company_id.assign(name, std::to_chars(name + 1, name + sizeof name, i).ptr);
        double price = 5.0 + next() * 300.0;
        double avg_volume = 200'000.0 + next() * 5'000'000.0;
        s.input.volatility = 0.6 + next() * 0.7;
        s.input.beta = 0.5 + next();
        s.input.float_shares = 1e8;
        s.input.short_interest = next() * 2e7;
        s.input.avg_volume = avg_volume;
        s.input.volume = avg_volume * 0.3;
        s.input.shares_outstanding = 1.2e8;
        s.input.maker_inventory = (next() - 0.5) * 4.0 * std::floor(avg_volume / 100.0);
        s.input.company_id = s.company_id;
        s.input.price = price;
        s.input.market_cap = price * 1.2e8 * (0.1 + next() * 50.0);
        double lot = std::floor(avg_volume / 100.0);
        s.slice = std::max(1.0, std::floor(lot * (levels - 1.0) * 0.25));
        for (Side& side : s.sides) side = next() < 0.5 ? Side::buy : Side::sell;
    }
    return out;
}

// ---- A straightforward book, for comparison ----

struct NaiveOrder {
    std::string id;
    std::string owner;
    double price;
    double remaining;
};

struct NaiveFill {
    std::string maker_order_id;
    std::string maker_id;
    std::string taker_id;
    double price;
    double quantity;
};

struct NaiveBook {
    std::string company_id;
    std::vector<NaiveOrder> bids, asks;
    std::uint64_t sequence = 0;
    double last_price = 0.0;

    void append(std::vector<NaiveOrder>& side, double price, double quantity) {
        std::string id = company_id;
        id.push_back('-');
        id.append(std::to_string(sequence++));
        side.push_back({std::move(id), "mm", price, quantity});
    }
    std::vector<NaiveFill> submit(Side side, double quantity) {
        std::vector<NaiveFill> fills;
        auto& makers = side == Side::buy ? asks : bids;
        double remaining = quantity;
        while (remaining > 0.0 && !makers.empty()) {
            NaiveOrder& maker = makers.front();
            double take = std::min(maker.remaining, remaining);
            maker.remaining -= take;
            fills.push_back({maker.id, maker.owner, "flow", maker.price, take});
            last_price = maker.price;
            if (maker.remaining <= 0.0) makers.erase(makers.begin());
            remaining -= take;
        }
        return fills;
    }
};

NaiveBook naive_live_book(const LiveBookInput& input, const LiveBookOptions& options) {
    NaiveBook book{std::string(input.company_id), {}, {}, 0, input.price};
    auto quote = quote_live_book(input, options);
    if (!quote) return book;
    for (std::size_t i = 0; static_cast<double>(i) < options.levels; ++i) {
        auto level = ladder_level(*quote, Side::buy, i);
        if (!level) break;
        book.append(book.bids, level->price, level->size);
    }
    for (std::size_t i = 0; static_cast<double>(i) < options.levels; ++i) {
        auto level = ladder_level(*quote, Side::sell, i);
        book.append(book.asks, level->price, level->size);
    }
    return book;
}

// ---- Timing ----

struct Measure {
    double ns_per_iteration;
    double allocations_per_iteration;
};

template <class Body>
Measure measure(long iterations, Body&& body) {
    body(INSTRUMENTS * 4L);  // warm up, and let reused buffers reach their size
    double best = 1e300;
    std::uint64_t allocated = 0;
    for (int repeat = 0; repeat < 7; ++repeat) {
        std::uint64_t before = allocations;
        auto start = std::chrono::steady_clock::now();
        body(iterations);
        auto stop = std::chrono::steady_clock::now();
        allocated = allocations - before;
        best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
    }
    return {best / static_cast<double>(iterations),
            static_cast<double>(allocated) / static_cast<double>(iterations)};
}

volatile double sink = 0.0;

void run(double levels, long iterations) {
    const auto universe = scenarios(levels);
    LiveBookOptions options = tick_book_options(ModelParams{}, 18.0, levels);

    OrderBook book;
    Measure build = measure(iterations, [&](long n) {
        double total = 0.0;
        for (long k = 0; k < n; ++k) {
            const Scenario& s = universe[static_cast<std::size_t>(k % INSTRUMENTS)];
            build_live_book(s.input, options, book);
            total += *book.best_ask();
        }
        sink = total;
    });

    MatchResult result;
    Measure settle = measure(iterations, [&](long n) {
        double total = 0.0;
        for (long k = 0; k < n; ++k) {
            const Scenario& s = universe[static_cast<std::size_t>(k % INSTRUMENTS)];
            build_live_book(s.input, options, book);
            double inventory = 0.0;
            for (Side side : s.sides) {
                book.submit(side, s.slice, "flow", std::nullopt, false, std::nullopt, result);
                for (const Fill& fill : result.fills) {
                    if (fill.maker_id == MARKET_MAKER) {
                        inventory += side == Side::sell ? fill.quantity : -fill.quantity;
                    }
                }
            }
            total += *book.last_price() + inventory;
        }
        sink = total;
    });

    Measure naive = measure(iterations, [&](long n) {
        double total = 0.0;
        for (long k = 0; k < n; ++k) {
            const Scenario& s = universe[static_cast<std::size_t>(k % INSTRUMENTS)];
            NaiveBook naive_book = naive_live_book(s.input, options);
            double inventory = 0.0;
            for (Side side : s.sides) {
                for (const NaiveFill& fill : naive_book.submit(side, s.slice)) {
                    if (fill.maker_id == MARKET_MAKER) {
                        inventory += side == Side::sell ? fill.quantity : -fill.quantity;
                    }
                }
            }
            total += naive_book.last_price + inventory;
        }
        sink = total;
    });

    std::printf(
        "%2.0f levels  build %7.1f ns  build+settle %7.1f ns  naive %7.1f ns  "
        "naive/ours %.2fx  settle/build %.2fx  allocations/iteration: ours %.3f, naive %.1f\n",
        levels, build.ns_per_iteration, settle.ns_per_iteration, naive.ns_per_iteration,
        naive.ns_per_iteration / settle.ns_per_iteration,
        settle.ns_per_iteration / build.ns_per_iteration, settle.allocations_per_iteration,
        naive.allocations_per_iteration);
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = argc > 1 ? std::atol(argv[1]) : 400'000;
    for (double levels : {2.0, 10.0}) run(levels, iterations);
    return 0;
}
