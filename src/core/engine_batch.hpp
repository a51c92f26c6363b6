// Many markets in lock step: one engine per seed, all built from the same
// universe, macro state and model, advanced together so that a vectorised
// policy or a seed sweep crosses into the core once per step for all of
// them. Member k evolves exactly as a single simulation from seed k driven
// with the same calls. A batch keeps no log and no recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "core/simulation.hpp"

namespace corvane {

class EngineBatch {
public:
    // "no seeds given", "universe is empty", then repeated seeds: what is
    // refused before the model is even looked at.
    static Status check(std::span<const std::uint32_t> seeds, std::size_t universe_size);
    static Result<EngineBatch> create(std::vector<std::uint32_t> seeds,
                                      const std::vector<InstrumentInit>& universe,
                                      const std::optional<Macro>& macro, const ModelParams& model);

    void open_market();
    Status tick(const Clock& clock);
    // Opens the day first when none is open. Members advance slice by slice,
    // so an interrupted session leaves them all at the same tick.
    Result<RunOutcome> run_session(const Clock& clock, std::uint64_t ticks,
                                   const KeepGoing& keep_going = {});
    // Every member closes as a single simulation does, macro step included;
    // the next session opens a new day.
    void close_market();
    Result<RunOutcome> run_days(std::uint64_t days, const Clock& clock, std::uint64_t ticks_per_day,
                                const KeepGoing& keep_going = {});

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

    std::vector<Engine> members_;
    std::vector<std::uint32_t> seeds_;
    std::vector<std::string> tickers_;
    std::vector<std::optional<double>> close_innovations_;
    std::vector<double> close_base_variances_;
    std::uint32_t day_number_ = 0;
    bool opened_ = false;
};

}  // namespace corvane
