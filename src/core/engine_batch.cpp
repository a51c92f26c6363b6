#include "core/engine_batch.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/sectors.hpp"

namespace corvane {

EngineBatch::EngineBatch(std::vector<Engine> members, std::vector<std::uint32_t> seeds,
                         std::vector<std::string> tickers)
    : members_(std::move(members)), seeds_(std::move(seeds)), tickers_(std::move(tickers)) {}

Status EngineBatch::check(std::span<const std::uint32_t> seeds, std::size_t universe_size) {
    if (seeds.empty()) return Error{"no seeds given"};
    if (universe_size == 0) return Error{"universe is empty"};
    std::vector<std::uint32_t> sorted(seeds.begin(), seeds.end());
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        return Error{
            "seeds must be distinct - a repeated seed is the same market twice, which reads as "
            "two samples and is one"};
    }
    return Status::success();
}

Result<EngineBatch> EngineBatch::create(std::vector<std::uint32_t> seeds,
                                        const std::vector<InstrumentInit>& universe,
                                        const std::optional<Macro>& macro,
                                        const ModelParams& model) {
    if (Status valid = check(seeds, universe.size()); !valid) return Error{valid.error()};
    std::vector<Engine> members;
    members.reserve(seeds.size());
    std::vector<std::string> tickers;
    for (std::uint32_t seed : seeds) {
        Result<Simulation> built = Simulation::create(seed, universe, macro, model);
        if (!built) return Error{built.error()};
        if (tickers.empty()) tickers = built->tickers();
        members.push_back(built->engine());
    }
    return EngineBatch(std::move(members), std::move(seeds), std::move(tickers));
}

void EngineBatch::open_members() {
    opened_ = true;
    for (Engine& member : members_) member.open_market();
}

void EngineBatch::open_market() { open_members(); }

Status EngineBatch::tick(const Clock& clock) {
    if (Status valid = Simulation::check_clock(clock); !valid) return valid;
    TickInput input = Simulation::tick_input(clock);
    for (Engine& member : members_) (void)member.tick(input);
    return Status::success();
}

Result<RunOutcome> EngineBatch::run_session(const Clock& clock, std::uint64_t ticks,
                                            const KeepGoing& keep_going) {
    if (ticks == 0) return Error{"ticks must be greater than zero"};
    if (Status valid = Simulation::check_clock(clock); !valid) return Error{valid.error()};
    if (!opened_) open_members();

    // A session with no open, close or stop condition is its ticks in order,
    // so running it in slices, each continuing the clock, changes nothing.
    std::size_t cells_per_tick = std::max<std::size_t>(1, members_.size() * tickers_.size());
    std::uint64_t slice = std::max<std::uint64_t>(1, SESSION_SLICE_CELLS / cells_per_tick);
    SessionRequest request;
    request.tick = Simulation::tick_input(clock);
    RunOutcome outcome;
    while (outcome.ticks < ticks) {
        request.ticks = std::min(slice, ticks - outcome.ticks);
        for (Engine& member : members_) {
            Result<SessionOutcome> ran = member.run_session(request);
            if (!ran) return Error{ran.error()};
        }
        outcome.ticks += request.ticks;
        std::uint64_t minutes = static_cast<std::uint64_t>(request.tick.minute) + request.ticks;
        request.tick.hour += static_cast<std::int64_t>(minutes / 60);
        request.tick.minute = static_cast<std::int64_t>(minutes % 60);
        if (outcome.ticks < ticks && keep_going && !keep_going()) {
            outcome.interrupted = true;
            break;
        }
    }
    return outcome;
}

void EngineBatch::close_market() {
    opened_ = false;
    ++day_number_;
    for (Engine& member : members_) member.close_day(day_number_);
}

Result<RunOutcome> EngineBatch::run_days(std::uint64_t days, const Clock& clock,
                                         std::uint64_t ticks_per_day, const KeepGoing& keep_going) {
    if (days == 0) return Error{"days must be greater than zero"};
    if (ticks_per_day == 0) return Error{"ticks_per_day must be greater than zero"};
    if (Status valid = Simulation::check_clock(clock); !valid) return Error{valid.error()};
    RunOutcome outcome;
    for (std::uint64_t d = 0; d < days; ++d) {
        if (d > 0 && keep_going && !keep_going()) {
            outcome.interrupted = true;
            break;
        }
        open_members();
        Result<RunOutcome> ran = run_session(clock, ticks_per_day, keep_going);
        if (!ran) return ran;
        if (ran->interrupted) {
            outcome.interrupted = true;
            break;
        }
        close_market();
        outcome.ticks = d + 1;
    }
    return outcome;
}

std::vector<double> EngineBatch::column(PriceField field) const {
    std::size_t n = tickers_.size();
    std::vector<double> values(members_.size() * n);
    for (std::size_t k = 0; k < members_.size(); ++k) {
        members_[k].column_into(field, std::span<double>(values).subspan(k * n, n));
    }
    return values;
}

}  // namespace corvane
