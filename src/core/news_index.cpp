#include "core/news_index.hpp"

#include <algorithm>
#include <bit>
#include <numeric>
#include <string_view>
#include <type_traits>

namespace corvane {

void NewsIndex::prepare(std::span<const NewsEvent> tick_news, std::span<const NewsEvent> pending,
                        const std::vector<CompanyDetails>& roster, double blend,
                        const ModelParams& p) {
    tick_news_ = tick_news;
    pending_ = pending;
    blend_ = blend;
    params_ = &p;
    cursor_ = 0;
    if (still_current(tick_news, blend)) return;

    events_.clear();
    market_.clear();
    for (auto& bucket : by_sector_) bucket.clear();
    direct_.clear();
    // Pending news never exceeds one event per instrument; sized for that
    // once, the index stops allocating however the day's news falls.
    std::size_t most = tick_news.size() + std::max(pending.size(), roster.size());
    events_.reserve(most);
    market_.reserve(most);
    for (auto& bucket : by_sector_) bucket.reserve(most);
    direct_.reserve(most);
    if (!roster_sorted_) sort_roster(roster);
    for (const NewsEvent& event : tick_news) add(event, roster, blend, p);
    for (const NewsEvent& event : pending) add(event, roster, blend, p);
    std::sort(direct_.begin(), direct_.end());

    // A tick's own news is for that tick only, so such an index is not kept.
    built_ = tick_news.empty();
    summed_.assign(built_ ? roster.size() : 0, 0);
    sums_.resize(summed_.size());
    summed_count_ = 0;
    blend_bits_ = std::bit_cast<std::uint64_t>(blend);
}

bool NewsIndex::still_current(std::span<const NewsEvent> tick_news, double blend) const noexcept {
    return built_ && tick_news.empty() && std::bit_cast<std::uint64_t>(blend) == blend_bits_;
}

void NewsIndex::sort_roster(const std::vector<CompanyDetails>& roster) {
    roster_by_id_.resize(roster.size());
    std::iota(roster_by_id_.begin(), roster_by_id_.end(), std::size_t{0});
    std::sort(roster_by_id_.begin(), roster_by_id_.end(), [&roster](std::size_t a, std::size_t b) {
        int order = roster[a].company_id.compare(roster[b].company_id);
        return order != 0 ? order < 0 : a < b;
    });
    roster_sorted_ = true;
}

// Each event's contribution in every role, and where it applies. Costs
// log(instruments) per event.
void NewsIndex::add(const NewsEvent& event, const std::vector<CompanyDetails>& roster, double blend,
                    const ModelParams& p) {
    std::size_t position = events_.size();
    Event& entry = events_.emplace_back();
    double v = event.price_impact.value_or(0.0);
    entry.direct = v;
    entry.named = event.ticker.has_value();
    if (entry.named) {
        // A named company moves its sector peers only by the peer weight.
        double w = v < 0.0 ? p.news_peer_weight_down : p.news_peer_weight;
        if (p.news_peer_vix_coupling != 0.0) w = w * (blend * p.news_peer_vix_coupling + 1.0);
        entry.peer_adds = w != 0.0;
        entry.peer = v * w;
        name_targets(*event.ticker, position, roster);
    } else {
        entry.broad = v * (event.sector ? p.news_sector_weight : p.news_market_weight);
    }
    if (event.sector) {
        // A sector outside the table can only match an instrument outside
        // it, and those take the plain scan.
        if (const SectorSpec* spec = sectors::by_key(*event.sector)) {
            by_sector_[sectors::index_of(*spec)].push_back(position);
        }
    } else if (!entry.named) {
        market_.push_back(position);
    }
}

void NewsIndex::name_targets(std::string_view company_id, std::size_t event,
                             const std::vector<CompanyDetails>& roster) {
    auto [first, last] =
        std::equal_range(roster_by_id_.begin(), roster_by_id_.end(), company_id,
                         [&roster](const auto& a, const auto& b) {
                             if constexpr (std::is_same_v<std::decay_t<decltype(a)>, std::size_t>) {
                                 return std::string_view(roster[a].company_id) < b;
                             } else {
                                 return a < std::string_view(roster[b].company_id);
                             }
                         });
    for (auto it = first; it != last; ++it) direct_.emplace_back(*it, event);
}

double NewsIndex::sum_news(std::size_t i, const CompanyDetails& c, const SectorSpec* spec) {
    if (i >= summed_.size()) return merge(i, c, spec);
    if (!summed_[i]) {
        sums_[i] = merge(i, c, spec);
        summed_[i] = 1;
        ++summed_count_;
    }
    return sums_[i];
}

double NewsIndex::merge(std::size_t i, const CompanyDetails& c, const SectorSpec* spec) {
    if (!spec) return scan(c);
    // Instruments come in roster order, so the named events are a run here.
    while (cursor_ < direct_.size() && direct_[cursor_].first < i) ++cursor_;
    std::size_t named_end = cursor_;
    while (named_end < direct_.size() && direct_[named_end].first == i) ++named_end;

    // A merge of the three ascending lists keeps the event order.
    const auto& sector = by_sector_[sectors::index_of(*spec)];
    std::size_t a = 0, b = 0, d = cursor_;
    constexpr std::size_t END = static_cast<std::size_t>(-1);
    double sum = 0.0;
    for (;;) {
        std::size_t next_a = a < market_.size() ? market_[a] : END;
        std::size_t next_b = b < sector.size() ? sector[b] : END;
        std::size_t next_d = d < named_end ? direct_[d].second : END;
        std::size_t next = std::min(next_a, std::min(next_b, next_d));
        if (next == END) break;
        const Event& event = events_[next];
        if (next == next_d) {
            sum += event.direct;
            ++d;
            if (next == next_b) ++b;
        } else if (next == next_b) {
            if (!event.named) {
                sum += event.broad;
            } else if (event.peer_adds) {
                sum += event.peer;
            }
            ++b;
        } else {
            sum += event.broad;
            ++a;
        }
    }
    return sum;
}

double NewsIndex::scan(const CompanyDetails& c) const {
    const ModelParams& p = *params_;
    double sum = 0.0;
    auto add_one = [&](const NewsEvent& event) {
        double v = event.price_impact.value_or(0.0);
        bool sector_matches = event.sector && *event.sector == c.sector;
        if (event.ticker) {
            if (*event.ticker == c.company_id) {
                sum += v;
            } else if (sector_matches) {
                // A named company moves its sector peers only by the peer weight.
                double w = v < 0.0 ? p.news_peer_weight_down : p.news_peer_weight;
                if (p.news_peer_vix_coupling != 0.0)
                    w = w * (blend_ * p.news_peer_vix_coupling + 1.0);
                if (w != 0.0) sum += v * w;
            }
        } else if (!event.sector) {
            sum += v * p.news_market_weight;
        } else if (sector_matches) {
            sum += v * p.news_sector_weight;
        }
    };
    for (const NewsEvent& event : tick_news_) add_one(event);
    for (const NewsEvent& event : pending_) add_one(event);
    return sum;
}

}  // namespace corvane
