// The news a tick applies, indexed by whom it can move.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/params.hpp"
#include "core/sectors.hpp"
#include "core/tick_company.hpp"

namespace corvane {

// A news impulse as the price model sees it. Scope follows from which fields
// are set: a company id names one instrument and, with a sector, its peers; a
// sector alone names that sector; neither is market-wide.
struct NewsEvent {
    std::optional<double> price_impact;
    // Holds a company id (ticker-index), never a caller's ticker; the field
    // keeps its published name, which snapshots' pending news carry too.
    std::optional<std::string> ticker;
    std::optional<std::string> sector;

    bool operator==(const NewsEvent&) const = default;
};

// The tick's news (its own events, then the day's pending ones) indexed so
// that each instrument visits only the events that can move it: the
// market-wide ones, those naming its sector, and those naming it. Pending
// news grows with the roster, so a scan of every event per instrument would
// make the tick quadratic in instruments; and it holds all day, so the index
// is kept from tick to tick while nothing it was built from has changed.
class NewsIndex {
public:
    // Indexes `tick_news` then `pending` for this tick; `blend` scales peer
    // weights. The spans must hold until the tick's last `company_news`.
    void prepare(std::span<const NewsEvent> tick_news, std::span<const NewsEvent> pending,
                 const std::vector<CompanyDetails>& roster, double blend, const ModelParams& p);

    // Company news for roster position i, with c its record and spec its
    // sector's table entry: the events that reach it, added in event order
    // exactly as a scan of every event would add them. Positions must come
    // in ascending order within a tick.
    // Inline for the answer already summed, which is every tick's but the
    // first in a day.
    double company_news(std::size_t i, const CompanyDetails& c, const SectorSpec* spec) {
        if (events_.empty()) return 0.0;
        if (i < summed_.size() && summed_[i]) return sums_[i];
        return sum_news(i, c, spec);
    }

    // Every position's company news, indexed by position, when the index is
    // kept, has events and has summed every position; null otherwise.
    const double* complete_sums() const noexcept {
        bool complete = !events_.empty() && !sums_.empty() && summed_count_ == sums_.size();
        return complete ? sums_.data() : nullptr;
    }

    // Positions and company ids may have moved.
    void roster_changed() noexcept {
        roster_sorted_ = false;
        built_ = false;
    }
    // The pending news is no longer what the index was built from.
    void pending_changed() noexcept { built_ = false; }

private:
    // One event's contribution in each role it can play.
    struct Event {
        // The full impact, for the company it names.
        double direct = 0.0;
        // Impact times the peer weight, for the named company's sector peers.
        double peer = 0.0;
        bool peer_adds = false;
        // Impact times the market or sector weight, for an unnamed event.
        double broad = 0.0;
        bool named = false;
    };

    // company_news for a position not yet summed: merged, and kept when the
    // index keeps sums for it.
    double sum_news(std::size_t i, const CompanyDetails& c, const SectorSpec* spec);
    bool still_current(std::span<const NewsEvent> tick_news, double blend) const noexcept;
    void sort_roster(const std::vector<CompanyDetails>& roster);
    void add(const NewsEvent& event, const std::vector<CompanyDetails>& roster, double blend,
             const ModelParams& p);
    // Every roster position holding `company_id`.
    void name_targets(std::string_view company_id, std::size_t event,
                      const std::vector<CompanyDetails>& roster);
    // The events that reach position i, merged from the index.
    double merge(std::size_t i, const CompanyDetails& c, const SectorSpec* spec);
    // The plain scan, for an instrument outside the sector table.
    double scan(const CompanyDetails& c) const;

    std::vector<Event> events_;
    // Event positions, ascending: unnamed and unsectored; by table sector.
    std::vector<std::size_t> market_;
    std::array<std::vector<std::size_t>, sectors::COUNT> by_sector_;
    // (roster position, event position) for every event naming a company,
    // sorted, so instruments in roster order walk it once.
    std::vector<std::pair<std::size_t, std::size_t>> direct_;
    // Roster positions sorted by company id (ties by position), rebuilt only
    // after the roster changes.
    std::vector<std::size_t> roster_by_id_;
    bool roster_sorted_ = false;
    // Built from the pending news as it stands and no tick news of its own,
    // under the blend whose bits are kept.
    bool built_ = false;
    std::uint64_t blend_bits_ = 0;
    // This tick's inputs, for the plain scan.
    std::span<const NewsEvent> tick_news_;
    std::span<const NewsEvent> pending_;
    double blend_ = 0.0;
    const ModelParams* params_ = nullptr;
    // Where the current position's named events start in `direct_`.
    std::size_t cursor_ = 0;
    // Each position's sum, once worked out, while the index is kept: the
    // same events reach the same instrument every tick of the day.
    std::vector<double> sums_;
    std::vector<std::uint8_t> summed_;
    // How many of `summed_` are set.
    std::size_t summed_count_ = 0;
};

}  // namespace corvane
