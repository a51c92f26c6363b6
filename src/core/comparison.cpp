#include "core/comparison.hpp"

#include <algorithm>
#include <cmath>
#include <variant>

#include "core/text.hpp"

namespace corvane {
namespace {

// The recording columns a comparison reads, in its value order.
constexpr std::size_t MISPRICING_COLUMN = 2;
constexpr std::size_t FUNDAMENTAL_COLUMN = 3;
constexpr std::size_t PRICE_COLUMN = 0;

// A fork entry at `index` of `forked`, with `other` agreeing before it.
std::optional<ForkPoint> fork_at(const OrderLog& forked, const OrderLog& other, std::size_t index) {
    const auto* fork = std::get_if<log_entry::Fork>(&forked[index]);
    if (!fork || other.size() < index) return std::nullopt;
    auto mine = forked.begin();
    auto theirs = other.begin();
    for (std::size_t k = 0; k < index; ++k, ++mine, ++theirs) {
        if (!(*mine == *theirs)) return std::nullopt;
    }
    return ForkPoint{index, *fork};
}

}  // namespace

std::optional<ForkPoint> fork_point(const OrderLog& a, const OrderLog& b) {
    // The latest fork is the nearest common ancestor.
    for (std::size_t index = std::max(a.size(), b.size()); index-- > 0;) {
        if (index < a.size()) {
            if (auto found = fork_at(a, b, index)) return found;
        }
        if (index < b.size()) {
            if (auto found = fork_at(b, a, index)) return found;
        }
    }
    return std::nullopt;
}

Result<Comparison> compare_runs(const Simulation& a, const Simulation& b) {
    std::optional<ForkPoint> fork = fork_point(a.log(), b.log());
    if (!fork) {
        return Error{
            "the two engines share no fork point: neither's order log holds a fork entry "
            "after a history the other's repeats (compare a fork with its parent, or two "
            "forks of one engine)"};
    }
    const auto& days_a = a.recorded_days();
    const auto& days_b = b.recorded_days();
    const std::size_t first = static_cast<std::size_t>(fork->at.recorded_days);
    const std::size_t last = std::min(days_a.size(), days_b.size());
    for (std::size_t d = first; d < last; ++d) {
        const RecordedDay& x = days_a[d];
        const RecordedDay& y = days_b[d];
        if (x.ticks != y.ticks || x.instruments != y.instruments) {
            return Error{text::message("recorded day ", d, " holds ", x.ticks, " ticks x ",
                                       x.instruments, " instruments in the first engine and ",
                                       y.ticks, " x ", y.instruments,
                                       " in the second: the runs no longer line up")};
        }
    }

    Comparison out;
    out.fork = *fork;
    std::vector<double> running;
    for (std::size_t d = first; d < last; ++d) {
        const RecordedDay& x = days_a[d];
        const RecordedDay& y = days_b[d];
        const std::size_t n = static_cast<std::size_t>(x.instruments);
        running.resize(n * ATTRIBUTION_SLOTS, 0.0);
        const std::uint64_t start = d == first ? fork->at.day_ticks : 0;
        for (std::uint64_t t = start; t < x.ticks; ++t) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t cell = static_cast<std::size_t>(t) * n + i;
                auto difference = [&](std::size_t column) {
                    return (*y.columns[column])[cell] - (*x.columns[column])[cell];
                };
                out.day.push_back(x.day);
                out.tick.push_back(static_cast<std::uint32_t>(t));
                out.instrument.push_back(static_cast<std::uint32_t>(i));
                out.values[0].push_back(difference(MISPRICING_COLUMN));
                for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k) {
                    double& sum = running[i * ATTRIBUTION_SLOTS + k];
                    sum += difference(FIRST_FACTOR_COLUMN + k);
                    out.values[1 + k].push_back(sum);
                }
                out.values[1 + ATTRIBUTION_SLOTS].push_back(difference(FUNDAMENTAL_COLUMN));
                out.values[2 + ATTRIBUTION_SLOTS].push_back(difference(PRICE_COLUMN));
            }
        }
    }
    return out;
}

std::vector<Divergence> divergences(const Comparison& comparison) {
    std::vector<Divergence> found;
    // Per instrument: its rows so far, and those at its peak.
    std::vector<std::uint64_t> rows;
    std::vector<std::uint64_t> peak_at;
    std::vector<bool> halved;
    const std::vector<double>& s = comparison.values[0];
    for (std::size_t r = 0; r < s.size(); ++r) {
        const std::uint32_t i = comparison.instrument[r];
        if (i >= found.size()) {
            found.resize(i + 1);
            rows.resize(i + 1, 0);
            peak_at.resize(i + 1, 0);
            halved.resize(i + 1, false);
        }
        Divergence& each = found[i];
        each.instrument = i;
        const double size = std::fabs(s[r]);
        if (size > each.peak) {
            each.peak = size;
            each.peak_row = r;
            peak_at[i] = rows[i];
            each.half_life.reset();
            halved[i] = false;
        } else if (!halved[i] && each.peak > 0.0 && size <= each.peak / 2.0) {
            each.half_life = rows[i] - peak_at[i];
            halved[i] = true;
        }
        each.last = s[r];
        for (std::size_t k = 0; k < ATTRIBUTION_SLOTS; ++k) {
            each.drivers[k] = comparison.values[1 + k][r];
        }
        ++rows[i];
    }
    std::erase_if(found, [](const Divergence& each) { return !(each.peak > 0.0); });
    std::stable_sort(found.begin(), found.end(),
                     [](const Divergence& x, const Divergence& y) { return x.peak > y.peak; });
    return found;
}

}  // namespace corvane
