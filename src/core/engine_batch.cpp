#include "core/engine_batch.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <thread>
#include <utility>

#include "core/book_reads.hpp"
#include "core/float_environment.hpp"
#include "core/macro.hpp"
#include "core/sectors.hpp"
#include "core/text.hpp"

namespace corvane {

EngineBatch::EngineBatch(std::vector<Engine> members, std::vector<std::uint32_t> seeds,
                         std::vector<std::string> tickers, std::vector<InstrumentInit> universe,
                         std::optional<Macro> macro)
    : members_(std::move(members)),
      seeds_(std::move(seeds)),
      tickers_(std::move(tickers)),
      universe_(std::move(universe)),
      macro_(std::move(macro)),
      day_numbers_(members_.size(), 0) {}

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
    return EngineBatch(std::move(members), std::move(seeds), std::move(tickers), universe, macro);
}

std::size_t EngineBatch::available_cores() noexcept {
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

Status EngineBatch::for_each_member(const std::function<Status(std::size_t)>& body) {
    std::size_t n = members_.size();
    std::size_t workers = std::min(threads_, n);
    if (workers <= 1) {
        for (std::size_t k = 0; k < n; ++k) {
            if (Status done = body(k); !done) return done;
        }
        return Status::success();
    }
    // Members are handed out one at a time, so a slow member does not hold
    // up a whole share; which thread runs which member changes nothing.
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::vector<std::optional<Error>> refused(n);
    std::vector<std::exception_ptr> thrown(n);
    auto work = [&]() noexcept {
        IeeeEnvironmentScope ieee;
        while (!stop.load(std::memory_order_relaxed)) {
            std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
            if (k >= n) return;
            try {
                if (Status done = body(k); !done) {
                    refused[k] = Error{done.error()};
                    stop.store(true, std::memory_order_relaxed);
                }
            } catch (...) {
                thrown[k] = std::current_exception();
                stop.store(true, std::memory_order_relaxed);
            }
        }
    };
    {
        std::vector<std::jthread> pool;
        try {
            pool.reserve(workers - 1);
            for (std::size_t t = 1; t < workers; ++t) pool.emplace_back(work);
        } catch (...) {
            // Fewer threads than asked for only takes longer: the caller's
            // own thread works through whatever is left.
        }
        work();
    }  // joins
    for (std::size_t k = 0; k < n; ++k) {
        if (thrown[k]) std::rethrow_exception(thrown[k]);
        if (refused[k]) return *refused[k];
    }
    return Status::success();
}

Status EngineBatch::check(const BatchInputs& inputs) const {
    std::size_t n = tickers_.size();
    std::size_t members = members_.size();
    if (!inputs.order_flow.empty()) {
        // Both counts are sizes of vectors already held, so their product
        // over two fits unless memory is larger than the address space.
        bool fits = n <= std::numeric_limits<std::size_t>::max() / 2 / members;
        if (!fits || inputs.order_flow.size() != members * n * 2) {
            return Error{text::message("order_flow must hold ", members, " x ", n,
                                       " x 2 float64 (members x instruments x (buy, sell)), got ",
                                       inputs.order_flow.size())};
        }
        for (std::size_t k = 0; k < members; ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                double buy = inputs.order_flow[(k * n + i) * 2];
                double sell = inputs.order_flow[(k * n + i) * 2 + 1];
                auto fine = [](double v) { return std::isfinite(v) && v >= 0.0; };
                if (!fine(buy) || !fine(sell)) {
                    return Error{text::message(
                        "order_flow of member ", k, " for ", text::quoted(tickers_[i]),
                        " must be finite and not negative, got (", buy, ", ", sell, ")")};
                }
            }
        }
    }
    if (!inputs.news.empty()) {
        if (inputs.news.size() != members) {
            return Error{text::message("news must hold one list per member: ", members,
                                       " members, got ", inputs.news.size(), " lists")};
        }
        for (std::size_t k = 0; k < members; ++k) {
            for (const NewsArg& item : inputs.news[k]) {
                if (item.ticker &&
                    std::find(tickers_.begin(), tickers_.end(), *item.ticker) == tickers_.end()) {
                    return Error{text::message("news of member ", k, ": no instrument with ticker ",
                                               text::quoted(*item.ticker), " in this universe")};
                }
            }
        }
    }
    return Status::success();
}

EngineBatch::MemberInputs EngineBatch::member_inputs(std::size_t k,
                                                     const BatchInputs& inputs) const {
    MemberInputs out;
    const std::vector<CompanyDetails>& roster = members_[k].roster();
    if (!inputs.news.empty()) {
        for (const NewsArg& given : inputs.news[k]) {
            NewsEvent event{given.price_impact, std::nullopt, given.sector};
            if (given.ticker) {
                auto at = std::find(tickers_.begin(), tickers_.end(), *given.ticker);
                auto position = static_cast<std::size_t>(at - tickers_.begin());
                if (position < roster.size()) {
                    event.ticker = roster[position].company_id;
                    if (!event.sector) event.sector = roster[position].sector;
                }
            }
            out.news.push_back(std::move(event));
        }
    }
    if (!inputs.order_flow.empty()) {
        std::size_t n = tickers_.size();
        out.order_flow.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            out.order_flow.push_back(OrderVolume{inputs.order_flow[(k * n + i) * 2],
                                                 inputs.order_flow[(k * n + i) * 2 + 1]});
        }
    }
    return out;
}

std::vector<EngineBatch::MemberInputs> EngineBatch::all_member_inputs(
    const BatchInputs& inputs) const {
    std::vector<MemberInputs> own(members_.size());
    if (!inputs.order_flow.empty() || !inputs.news.empty()) {
        for (std::size_t k = 0; k < members_.size(); ++k) own[k] = member_inputs(k, inputs);
    }
    return own;
}

void EngineBatch::open_members() {
    opened_ = true;
    (void)for_each_member([this](std::size_t k) {
        members_[k].open_market();
        return Status::success();
    });
}

void EngineBatch::open_market() { open_members(); }

Status EngineBatch::tick(const Clock& clock, const BatchInputs& inputs) {
    if (Status valid = Simulation::check_clock(clock); !valid) return valid;
    if (Status valid = check(inputs); !valid) return valid;
    TickInput input = Simulation::tick_input(clock);
    // Every member's share first: running out of memory here moves nothing.
    std::vector<MemberInputs> own = all_member_inputs(inputs);
    return for_each_member([&](std::size_t k) {
        TickInput member_input = input;
        member_input.news = own[k].news;
        member_input.order_flow = own[k].order_flow;
        (void)members_[k].tick(member_input);
        return Status::success();
    });
}

Result<RunOutcome> EngineBatch::run_session(const Clock& clock, std::uint64_t ticks,
                                            const BatchInputs& inputs,
                                            const KeepGoing& keep_going) {
    if (ticks == 0) return Error{"ticks must be greater than zero"};
    if (Status valid = Simulation::check_clock(clock); !valid) return Error{valid.error()};
    if (Status valid = check(inputs); !valid) return Error{valid.error()};
    // Converted once for the whole session, before the day opens.
    std::vector<MemberInputs> own = all_member_inputs(inputs);
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
        Status ran = for_each_member([&](std::size_t k) -> Status {
            SessionRequest member_request = request;
            member_request.tick.news = own[k].news;
            member_request.tick.order_flow = own[k].order_flow;
            Result<SessionOutcome> member = members_[k].run_session(member_request);
            if (!member) return Error{member.error()};
            return Status::success();
        });
        if (!ran) return Error{ran.error()};
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
    (void)for_each_member([this](std::size_t k) {
        members_[k].close_day(++day_numbers_[k]);
        return Status::success();
    });
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
        Result<RunOutcome> ran = run_session(clock, ticks_per_day, {}, keep_going);
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

std::vector<double> EngineBatch::quotes() const {
    std::size_t cells = 4 * tickers_.size();
    std::vector<double> values(members_.size() * cells);
    for (std::size_t k = 0; k < members_.size(); ++k) {
        quotes_into(members_[k], std::span<double>(values).subspan(k * cells, cells));
    }
    return values;
}

Result<std::vector<double>> EngineBatch::sweep_costs(std::span<const double> quantities) const {
    std::size_t n = tickers_.size();
    if (quantities.size() != members_.size() * n) {
        return Error{text::message("quantities must hold ", members_.size(), " x ", n,
                                   " float64 (members x instruments), got ", quantities.size())};
    }
    std::vector<double> values(members_.size() * 3 * n);
    for (std::size_t k = 0; k < members_.size(); ++k) {
        sweep_costs_into(members_[k], quantities.subspan(k * n, n),
                         std::span<double>(values).subspan(k * 3 * n, 3 * n));
    }
    return values;
}

std::vector<double> EngineBatch::attribution(std::size_t slot) const {
    std::vector<double> values;
    values.reserve(members_.size() * tickers_.size());
    for (const Engine& member : members_) {
        for (const AttributionRow& row : member.attribution()) values.push_back(row[slot]);
    }
    return values;
}

std::vector<double> EngineBatch::attribution() const {
    std::size_t cells = members_.size() * tickers_.size();
    std::vector<double> values(ATTRIBUTION_SLOTS * cells);
    std::size_t at = 0;
    for (const Engine& member : members_) {
        for (const AttributionRow& row : member.attribution()) {
            for (std::size_t slot = 0; slot < ATTRIBUTION_SLOTS; ++slot) {
                values[slot * cells + at] = row[slot];
            }
            ++at;
        }
    }
    return values;
}

std::vector<Macro> EngineBatch::economies() const {
    std::vector<Macro> values;
    values.reserve(members_.size());
    for (const Engine& member : members_) values.push_back(macro_from(member.economy()));
    return values;
}

namespace {

// Member k of a batch, as a desk drives it.
class MemberMarket final : public DeskMarket {
public:
    MemberMarket(Engine& engine, std::uint32_t& day_number, std::size_t members,
                 std::size_t instruments) noexcept
        : engine_(engine), day_number_(day_number), members_(members), instruments_(instruments) {}
    const Engine& engine() const override { return engine_; }
    Status first_tick(const Clock& clock, std::span<const OrderVolume> flow,
                      bool any_flow) override {
        TickInput input = Simulation::tick_input(clock);
        if (any_flow) input.order_flow = flow;
        (void)engine_.tick(input);
        return Status::success();
    }
    Status run(const Clock& clock, std::uint64_t ticks) override {
        // In slices as the batch's own sessions run, so memory stays bounded
        // however many members there are.
        std::size_t cells_per_tick = std::max<std::size_t>(1, members_ * instruments_);
        std::uint64_t slice = std::max<std::uint64_t>(1, SESSION_SLICE_CELLS / cells_per_tick);
        SessionRequest request;
        request.tick = Simulation::tick_input(clock);
        std::uint64_t done = 0;
        while (done < ticks) {
            request.ticks = std::min(slice, ticks - done);
            Result<SessionOutcome> ran = engine_.run_session(request);
            if (!ran) return Error{ran.error()};
            done += request.ticks;
            std::uint64_t minutes = static_cast<std::uint64_t>(request.tick.minute) + request.ticks;
            request.tick.hour += static_cast<std::int64_t>(minutes / 60);
            request.tick.minute = static_cast<std::int64_t>(minutes % 60);
        }
        return Status::success();
    }
    void close() override { engine_.close_day(++day_number_); }
    void open() override { engine_.open_market(); }

private:
    Engine& engine_;
    std::uint32_t& day_number_;
    std::size_t members_;
    std::size_t instruments_;
};

}  // namespace

Status EngineBatch::drive_members(const std::function<Status(std::size_t, DeskMarket&)>& body,
                                  bool open_after) {
    Status done = for_each_member([&](std::size_t k) {
        MemberMarket market(members_[k], day_numbers_[k], members_.size(), tickers_.size());
        return body(k, market);
    });
    opened_ = open_after;
    return done;
}

Status EngineBatch::replace_member(std::size_t k, std::uint32_t seed) {
    if (k >= members_.size()) {
        return Error{text::message("member must be below ", members_.size(), ", got ", k)};
    }
    for (std::size_t other = 0; other < seeds_.size(); ++other) {
        if (other != k && seeds_[other] == seed) {
            return Error{text::message("seed ", seed, " is member ", other,
                                       "'s already - a repeated seed is the same market twice")};
        }
    }
    Result<Simulation> built = Simulation::create(seed, universe_, macro_, model());
    if (!built) return Error{built.error()};
    Engine fresh = built->engine();
    if (opened_) fresh.open_market();
    members_[k] = std::move(fresh);
    seeds_[k] = seed;
    day_numbers_[k] = 0;
    return Status::success();
}

}  // namespace corvane
