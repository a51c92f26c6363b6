// A trader's desk: what a learning agent sees of a market and the account it
// trades, stepped in the core. A step of a trading environment is a handful
// of small reads and sums per instrument around a few simulated minutes;
// done from the interpreter, those cost several times the minutes
// themselves, so the whole step (the trade priced against the live books,
// its flow on the step's first tick, the minutes, the close and the next
// open, the readings, the marks and the observation) runs here, one pass
// per market, and the interpreter crosses in once a step for every market.
//
// One desk serves one market or every member of a batch: the markets share
// the clock (day and minute of the episode) and the terms, and each has its
// own readings and account. Sums run in instrument order, so every platform
// gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/engine.hpp"
#include "core/result.hpp"
#include "core/simulation.hpp"
#include "core/tick.hpp"

namespace corvane {

inline constexpr std::size_t DESK_TICKS_PER_DAY = 390;
inline constexpr std::int64_t DESK_OPEN_MINUTE = 9 * 60 + 30;
// Steps an observation looks back at most: beyond it the window is minutes
// of copying a step, not a reading.
inline constexpr std::size_t DESK_MAX_WINDOW = 10'000;
// Per market, ahead of the per-instrument outputs of a step: wealth, cash.
inline constexpr std::size_t DESK_HEAD = 2;
// Per instrument: quantity, average price, worst price, cost over the mid,
// then each attribution slot's change over the step.
inline constexpr std::size_t DESK_ROWS = 4 + ATTRIBUTION_SLOTS;

struct DeskTerms {
    // Roster positions of the traded instruments, distinct.
    std::vector<std::size_t> traded;
    // Per traded instrument: shares a target of 1 means, and the shares an
    // average tick trades.
    std::vector<double> max_position;
    std::vector<double> volume_per_tick;
    double starting_cash = 1.0;
    std::size_t window = 1;
    std::size_t ticks_per_step = 1;
    std::size_t episode_days = 1;
    // The observation's bounds, value by value in its flat layout.
    std::vector<double> low;
    std::vector<double> high;

    std::size_t width() const noexcept { return traded.size(); }
    // returns and volumes (window x width each), spread, bid size, ask size,
    // position (width each), cash, VIX, policy rate, time of day.
    std::size_t observation_size() const noexcept { return (2 * window + 4) * width() + 4; }
    std::size_t outputs_size() const noexcept { return DESK_HEAD + DESK_ROWS * width(); }
};

// The first fault of `terms` against a roster of `roster_size`, named.
Status check_desk_terms(const DeskTerms& terms, std::size_t roster_size);

// What a desk drives: one market, ticked, run, closed and opened as the
// caller's own calls would (a single simulation logs them), and read.
class DeskMarket {
public:
    virtual const Engine& engine() const = 0;
    // `flow` in roster order; only instruments with `traded` set take part.
    virtual Status first_tick(const Clock& clock, std::span<const OrderVolume> flow,
                              bool any_flow) = 0;
    virtual Status run(const Clock& clock, std::uint64_t ticks) = 0;
    virtual void close() = 0;
    virtual void open() = 0;

protected:
    ~DeskMarket() = default;
};

// A single simulation as a desk drives it: every call logged as the
// caller's own would be, the flow by ticker.
class SimulationMarket final : public DeskMarket {
public:
    explicit SimulationMarket(Simulation& simulation) noexcept : simulation_(simulation) {}
    const Engine& engine() const override { return simulation_.engine(); }
    Status first_tick(const Clock& clock, std::span<const OrderVolume> flow,
                      bool any_flow) override;
    Status run(const Clock& clock, std::uint64_t ticks) override;
    void close() override { simulation_.close_market(); }
    void open() override { simulation_.open_market(); }

private:
    Simulation& simulation_;
};

// One market's readings and account. Values only: a desk may be copied.
struct DeskBook {
    double cash = 0.0;
    double wealth = 0.0;
    std::vector<double> position;
    std::vector<double> price;
    std::vector<double> mid;
    std::vector<double> day_volume;
    // ATTRIBUTION_SLOTS x width, slot after slot.
    std::vector<double> attribution_base;
    // The observation before bounds: the flat layout of DeskTerms.
    std::vector<double> raw;
    // The last step's outputs: DESK_HEAD then DESK_ROWS x width.
    std::vector<double> outputs;
    // Scratch, kept so that a step allocates only what the market does.
    std::vector<double> roster_scratch;
    std::vector<double> traded_scratch;
    std::vector<OrderVolume> flow;
    // Each traded instrument's live quote as the last step left the market
    // (none where the price was not positive). While `quotes_current`, the
    // market is as that read found it, and the next trade prices from them
    // rather than quoting every book again.
    std::vector<std::optional<LiveQuote>> quotes;
    bool quotes_current = false;
};

class TradingDesk {
public:
    // `terms` checked by check_desk_terms against every market's roster.
    TradingDesk(DeskTerms terms, std::size_t markets, std::size_t roster_size);

    const DeskTerms& terms() const noexcept { return terms_; }
    std::size_t markets() const noexcept { return books_.size(); }
    std::size_t day() const noexcept { return day_; }
    std::size_t minute() const noexcept { return minute_; }
    bool over() const noexcept { return day_ == terms_.episode_days; }
    const DeskBook& book(std::size_t k) const noexcept { return books_[k]; }

    // A fresh episode: market k opened on its first day, its account at the
    // starting cash with nothing held. Call for every market, then started();
    // or for market k alone mid-episode (its engine replaced and opened at
    // the shared clock): a fresh account, fresh readings.
    void start(std::size_t k, const DeskMarket& market);
    void started() noexcept {
        day_ = 0;
        minute_ = 0;
    }
    // The shared clock of the step about to run, and how many minutes it runs.
    struct StepClock {
        Clock first;
        Clock rest;
        std::uint64_t ticks = 0;
        bool closes = false;
        bool reopens = false;
    };
    StepClock next_step() const noexcept;

    // Market k's whole step toward `target` (fractions per traded
    // instrument, already clipped to [-1, 1]); `trades` false trades
    // nothing. Markets are independent: any may run on any thread.
    Status step(std::size_t k, DeskMarket& market, const StepClock& clock,
                std::span<const double> target, bool trades);
    // The market's part of a step for market k, with `flow` (roster order,
    // buy and sell) already decided by the caller: the minutes, the close
    // and open, the readings. The step's attribution lands in the outputs.
    Status advance(std::size_t k, DeskMarket& market, const StepClock& clock,
                   std::span<const OrderVolume> flow, bool any_flow);
    // Once every market has stepped: the shared clock moves on.
    void stepped(const StepClock& clock) noexcept;
    // Something other than this desk changed the markets since its last
    // step: the next trade quotes every book afresh. A caller that lets
    // anything else change a market between steps must say so.
    void markets_changed() noexcept {
        for (DeskBook& book : books_) book.quotes_current = false;
    }

    // Cash plus `position` marked at market k's mids, summed in order.
    double value(std::size_t k, double cash, std::span<const double> position) const noexcept;
    // Market k's observation with that account, bounded, as float32.
    void observe(std::size_t k, double cash, std::span<const double> position,
                 std::span<float> out) const noexcept;
    void observe(std::size_t k, std::span<float> out) const noexcept {
        observe(k, books_[k].cash, books_[k].position, out);
    }

private:
    void trade(DeskBook& book, const Engine& engine, std::span<const double> target, bool trades);
    // The traded instruments' values of a roster column, in traded order.
    void read_traded(DeskBook& book, const Engine& engine, PriceField field,
                     std::span<double> out) const;
    // The observation's window that starts at `start` moved up a row; its
    // newest row, to be written.
    std::span<double> next_row(DeskBook& book, std::size_t start) const;
    void read_volumes(DeskBook& book, const Engine& engine, std::uint64_t ticks) const;
    void read_attribution(const Engine& engine, std::span<double> out) const;
    void read_day_start(DeskBook& book, const Engine& engine) const;
    void read_macro(DeskBook& book, const Engine& engine) const;
    void read_returns(DeskBook& book, const Engine& engine) const;
    void read_books(DeskBook& book, const Engine& engine) const;
    const std::optional<LiveQuote>& quote_for_trade(DeskBook& book, const Engine& engine,
                                                    std::size_t j) const;

    DeskTerms terms_;
    std::vector<DeskBook> books_;
    std::size_t day_ = 0;
    std::size_t minute_ = 0;
};

}  // namespace corvane
