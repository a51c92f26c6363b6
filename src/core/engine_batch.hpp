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

private:
    EngineBatch(std::vector<Engine> members, std::vector<std::uint32_t> seeds,
                std::vector<std::string> tickers);
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
    std::vector<std::optional<double>> close_innovations_;
    std::vector<double> close_base_variances_;
    std::uint32_t day_number_ = 0;
    bool opened_ = false;
    std::size_t threads_ = 1;
};

}  // namespace corvane
