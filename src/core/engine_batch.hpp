// Many markets in lock step: one engine per seed, all built from the same
// universe, macro state and model, advanced together so that a vectorised
// policy or a seed sweep crosses into the core once per step for all of
// them. Member k evolves exactly as a single simulation from seed k driven
// with the same calls. A batch keeps no log and no recording.
//
// Members share nothing, so they advance on several threads at once: each
// member is always advanced by one thread for a whole slice, and the result
// is bit for bit the same for any thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "core/order_log.hpp"
#include "core/simulation.hpp"
#include "core/trading_desk.hpp"

namespace corvane {

// Inputs for every member at once, applied to every tick of the call as a
// single simulation's are: `order_flow` empty, or members x instruments x
// (buy, sell) with the instruments in roster order; `news` empty, or one list
// per member.
struct BatchInputs {
    std::span<const double> order_flow;
    std::span<const std::vector<NewsArg>> news;
};

class EngineBatch {
public:
    // "no seeds given", "universe is empty", then repeated seeds: what is
    // refused before the model is even looked at.
    static Status check(std::span<const std::uint32_t> seeds, std::size_t universe_size);
    static Result<EngineBatch> create(std::vector<std::uint32_t> seeds,
                                      const std::vector<InstrumentInit>& universe,
                                      const std::optional<Macro>& macro, const ModelParams& model);

    void open_market();
    // Shapes, values and tickers of per-member inputs, the first fault named.
    Status check(const BatchInputs& inputs) const;
    Status tick(const Clock& clock, const BatchInputs& inputs = {});
    // Opens the day first when none is open. Members advance slice by slice,
    // so an interrupted session leaves them all at the same tick.
    Result<RunOutcome> run_session(const Clock& clock, std::uint64_t ticks,
                                   const BatchInputs& inputs = {},
                                   const KeepGoing& keep_going = {});
    // Every member closes as a single simulation does, macro step included;
    // the next session opens a new day.
    void close_market();
    Result<RunOutcome> run_days(std::uint64_t days, const Clock& clock, std::uint64_t ticks_per_day,
                                const KeepGoing& keep_going = {});

    // Threads a call may use, the caller's included; at least one.
    std::size_t threads() const noexcept { return threads_; }
    void set_threads(std::size_t threads) noexcept { threads_ = threads == 0 ? 1 : threads; }
    // The cores this machine reports, or one when it cannot tell.
    static std::size_t available_cores() noexcept;

    const std::vector<Engine>& members() const noexcept { return members_; }
    const std::vector<std::uint32_t>& seeds() const noexcept { return seeds_; }
    const std::vector<std::string>& tickers() const noexcept { return tickers_; }
    const ModelParams& model() const noexcept { return members_.front().model(); }
    // Every member's column, member after member.
    std::vector<double> column(PriceField field) const;
    // Reads of every member at once, member after member, each laid out as
    // the single engine's read (core/book_reads.hpp): quotes 4 x instruments
    // per member; one attribution slot per instrument; one macro value.
    std::vector<double> quotes() const;
    // `quantities` members x instruments; refused, with nothing read, when
    // its size is not that.
    Result<std::vector<double>> sweep_costs(std::span<const double> quantities) const;
    std::vector<double> attribution(std::size_t slot) const;
    // Every slot's, slot after slot, as attribution(slot) lays each out.
    std::vector<double> attribution() const;
    std::vector<Macro> economies() const;

    // body(k, market) for every member k, spread over the threads, with
    // member k as a desk drives it (its ticks, closes and opens as the
    // batch's own calls make them). The first failure in member order is
    // returned. `open_after`: whether the day is open once every body ran.
    Status drive_members(const std::function<Status(std::size_t, DeskMarket&)>& body,
                         bool open_after);

    // Member k starts over as a fresh engine from `seed`, built as create()
    // built the others, its day opened when the batch's is. It then follows
    // the batch's clock from where it stands, and counts its own closes from
    // one, as a new single simulation does. A seed another member holds is
    // refused, as create() refuses it.
    Status replace_member(std::size_t k, std::uint32_t seed);

private:
    EngineBatch(std::vector<Engine> members, std::vector<std::uint32_t> seeds,
                std::vector<std::string> tickers, std::vector<InstrumentInit> universe,
                std::optional<Macro> macro);
    void open_members();
    // Member k's share of checked inputs, as its engine takes them: news by
    // company id, flow by roster position.
    struct MemberInputs {
        std::vector<NewsEvent> news;
        std::vector<OrderVolume> order_flow;
    };
    MemberInputs member_inputs(std::size_t k, const BatchInputs& inputs) const;
    std::vector<MemberInputs> all_member_inputs(const BatchInputs& inputs) const;
    // body(k) for every member k, spread over the threads. Each thread runs
    // under the IEEE default environment. The first failure in member order
    // is returned (or rethrown); after any failure no further member starts.
    Status for_each_member(const std::function<Status(std::size_t)>& body);

    std::vector<Engine> members_;
    std::vector<std::uint32_t> seeds_;
    std::vector<std::string> tickers_;
    // What a replaced member is built from.
    std::vector<InstrumentInit> universe_;
    std::optional<Macro> macro_;
    // Closes per member: a replaced member counts from zero again.
    std::vector<std::uint32_t> day_numbers_;
    bool opened_ = false;
    std::size_t threads_ = 1;
};

}  // namespace corvane
