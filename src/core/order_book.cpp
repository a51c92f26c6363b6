#include "core/order_book.hpp"

#include <algorithm>
#include <charconv>
#include <utility>

namespace corvane {

std::string_view side_name(Side side) noexcept { return side == Side::buy ? "buy" : "sell"; }

// ---- OrderId ----

namespace {

// Decimal digits of a sequence number; 20 is enough for any u64.
struct Digits {
    char buffer[20];
    std::size_t size;
    explicit Digits(std::uint64_t value) noexcept {
        size = static_cast<std::size_t>(std::to_chars(buffer, buffer + sizeof buffer, value).ptr -
                                        buffer);
    }
    std::string_view view() const noexcept { return {buffer, size}; }
};

}  // namespace

OrderId OrderId::generated(std::uint64_t sequence) noexcept {
    OrderId id;
    id.sequence_ = sequence;
    return id;
}

OrderId OrderId::supplied(std::string_view text) {
    OrderId id;
    id.assign_supplied(text);
    return id;
}

void OrderId::assign_generated(std::uint64_t sequence) noexcept {
    text_.clear();
    sequence_ = sequence;
    supplied_ = false;
}

void OrderId::assign_supplied(std::string_view text) {
    text_.assign(text);
    sequence_ = 0;
    supplied_ = true;
}

std::string OrderId::render(std::string_view company_id) const {
    if (supplied_) return text_;
    Digits digits(sequence_);
    std::string out;
    out.reserve(company_id.size() + 1 + digits.size);
    out.append(company_id).push_back('-');
    out.append(digits.view());
    return out;
}

bool OrderId::matches(std::string_view text, std::string_view company_id) const noexcept {
    if (supplied_) return text == text_;
    Digits digits(sequence_);
    return text.size() == company_id.size() + 1 + digits.size && text.starts_with(company_id) &&
           text[company_id.size()] == '-' && text.substr(company_id.size() + 1) == digits.view();
}

void MatchResult::clear() noexcept {
    fills.clear();
    average_price.reset();
    resting.reset();
    unfilled = 0.0;
}

// ---- One side's slots ----

namespace detail {

BookOrder& SideOrders::stage() {
    if (slots_.empty()) slots_.resize(SLOTS);
    if (end_ == SLOTS) slide_to_start();
    return slots_[end_];
}

void SideOrders::commit_back() noexcept { ++end_; }

void SideOrders::commit_at(std::size_t position) noexcept {
    auto first = slots_.begin() + static_cast<std::ptrdiff_t>(begin_ + position);
    auto staged = slots_.begin() + static_cast<std::ptrdiff_t>(end_);
    // Swaps rather than moves, so every slot keeps a string buffer to reuse.
    std::rotate(first, staged, staged + 1);
    ++end_;
    if (size() > MAX_DEPTH_PER_SIDE) --end_;
}

void SideOrders::pop_front() noexcept {
    ++begin_;
    if (begin_ == end_) begin_ = end_ = 0;
}

void SideOrders::erase(std::size_t position) noexcept {
    auto first = slots_.begin() + static_cast<std::ptrdiff_t>(begin_ + position);
    auto last = slots_.begin() + static_cast<std::ptrdiff_t>(end_);
    std::rotate(first, first + 1, last);
    --end_;
    if (begin_ == end_) begin_ = end_ = 0;
}

std::size_t SideOrders::erase_owned_by(std::string_view owner) noexcept {
    std::size_t kept = begin_;
    for (std::size_t i = begin_; i < end_; ++i) {
        if (slots_[i].owner == owner) continue;
        if (kept != i) std::swap(slots_[kept], slots_[i]);
        ++kept;
    }
    std::size_t removed = end_ - kept;
    end_ = kept;
    if (begin_ == end_) begin_ = end_ = 0;
    return removed;
}

void SideOrders::slide_to_start() noexcept {
    auto base = slots_.begin();
    std::rotate(base, base + static_cast<std::ptrdiff_t>(begin_),
                base + static_cast<std::ptrdiff_t>(end_));
    end_ -= begin_;
    begin_ = 0;
}

}  // namespace detail

// ---- OrderBook ----

OrderBook::OrderBook(std::string_view company_id, std::optional<double> last_price)
    : last_price_(last_price), company_id_(company_id) {}

std::optional<OrderBook> OrderBook::restored(std::string_view company_id,
                                             std::optional<double> last_price,
                                             std::span<const BookOrder> bids,
                                             std::span<const BookOrder> asks,
                                             std::uint64_t next_sequence) {
    if (bids.size() > MAX_DEPTH_PER_SIDE || asks.size() > MAX_DEPTH_PER_SIDE) return std::nullopt;
    OrderBook book(company_id, last_price);
    for (const BookOrder& order : bids) {
        book.bids_.stage() = order;
        book.bids_.commit_back();
    }
    for (const BookOrder& order : asks) {
        book.asks_.stage() = order;
        book.asks_.commit_back();
    }
    book.next_sequence_ = next_sequence;
    return book;
}

void OrderBook::reset(std::string_view company_id, std::optional<double> last_price) {
    company_id_.assign(company_id);
    last_price_ = last_price;
    bids_.clear();
    asks_.clear();
    next_sequence_ = 0;
}

std::size_t OrderBook::priority_position(Side side, double price) const noexcept {
    const auto orders = side_of(side).view();
    std::size_t position = 0;
    if (side == Side::buy) {
        while (position < orders.size() && !(orders[position].price < price)) ++position;
    } else {
        while (position < orders.size() && !(orders[position].price > price)) ++position;
    }
    return position;
}

BookOrder& OrderBook::stage_order(Side side, double price, double quantity, double remaining,
                                  std::string_view owner,
                                  std::optional<std::string_view> order_id) {
    BookOrder& order = side_of(side).stage();
    if (order_id) {
        order.order_id.assign_supplied(*order_id);
    } else {
        order.order_id.assign_generated(next_sequence_);
    }
    order.owner.assign(owner);
    order.price = price;
    order.quantity = quantity;
    order.remaining = remaining;
    order.sequence = next_sequence_;
    order.side = side;
    return order;
}

void OrderBook::commit_resting(Side side, double price) noexcept {
    std::size_t position = priority_position(side, price);
    // An order that would land beyond the cap was still accepted; it simply
    // is not on the book.
    if (position < MAX_DEPTH_PER_SIDE) side_of(side).commit_at(position);
    ++next_sequence_;
}

std::optional<BookOrder> OrderBook::post_limit(Side side, double price, double quantity,
                                               std::string_view owner,
                                               std::optional<std::string_view> order_id) {
    if (!(price > 0.0) || !(quantity > 0.0)) return std::nullopt;
    std::optional<BookOrder> created =
        stage_order(side, price, quantity, quantity, owner, order_id);
    commit_resting(side, price);
    return created;
}

const BookOrder* OrderBook::append_maker_level(Side side, double price, double quantity,
                                               std::string_view owner) {
    auto& orders = side_of(side);
    if (!(price > 0.0) || !(quantity > 0.0) || orders.size() >= MAX_DEPTH_PER_SIDE) {
        return nullptr;
    }
    stage_order(side, price, quantity, quantity, owner, std::nullopt);
    orders.commit_back();
    ++next_sequence_;
    return &orders[orders.size() - 1];
}

MatchResult OrderBook::submit(Side side, double quantity, std::string_view taker,
                              std::optional<double> limit_price, bool post_remainder,
                              std::optional<std::string_view> order_id) {
    MatchResult result;
    submit(side, quantity, taker, limit_price, post_remainder, order_id, result);
    return result;
}

void OrderBook::submit(Side side, double quantity, std::string_view taker,
                       std::optional<double> limit_price, bool post_remainder,
                       std::optional<std::string_view> order_id, MatchResult& result) {
    result.clear();
    if (!(quantity > 0.0)) return;
    auto& makers = side_of(opposite(side));

    // Walk the makers without touching them, recording the fills: everything
    // that can allocate happens before the book changes.
    result.fills.reserve(makers.size());
    double remaining = quantity;
    for (std::size_t i = 0; i < makers.size() && remaining > 0.0; ++i) {
        const BookOrder& maker = makers[i];
        if (limit_price) {
            bool crosses =
                side == Side::buy ? maker.price <= *limit_price : maker.price >= *limit_price;
            if (!crosses) break;
        }
        double take = maker.remaining < remaining ? maker.remaining : remaining;
        Fill& fill = result.fills.emplace_back();
        fill.maker_order_id = maker.order_id;
        fill.maker_id.assign(maker.owner);
        fill.taker_id.assign(taker);
        fill.price = maker.price;
        fill.quantity = take;
        fill.taker_side = side;
        remaining = remaining - take;
    }

    // Only a limit order rests, and only at a price a post would accept.
    bool posts = remaining > 0.0 && limit_price && post_remainder && *limit_price > 0.0;
    if (posts) {
        result.resting = stage_order(side, *limit_price, quantity, remaining, taker, order_id);
    }

    // Apply the fills: a maker leaves the book once nothing of it remains.
    for (const Fill& fill : result.fills) {
        BookOrder& maker = makers[0];
        maker.remaining = maker.remaining - fill.quantity;
        last_price_ = maker.price;
        if (!(maker.remaining > 0.0)) makers.pop_front();
    }

    if (!result.fills.empty()) {
        double notional = 0.0;
        double filled = 0.0;
        for (const Fill& fill : result.fills) {
            notional = notional + fill.price * fill.quantity;
            filled = filled + fill.quantity;
        }
        result.average_price = notional / filled;
    }
    if (posts) {
        commit_resting(side, *limit_price);
    } else {
        result.unfilled = remaining;
    }
}

bool OrderBook::cancel_order(std::string_view order_id) {
    for (auto* orders : {&bids_, &asks_}) {
        for (std::size_t i = 0; i < orders->size(); ++i) {
            if ((*orders)[i].order_id.matches(order_id, company_id_)) {
                orders->erase(i);
                return true;
            }
        }
    }
    return false;
}

std::size_t OrderBook::cancel_all_for(std::string_view owner) {
    std::size_t removed = bids_.erase_owned_by(owner);
    return removed + asks_.erase_owned_by(owner);
}

std::optional<SweepCost> OrderBook::sweep_cost(Side side, double quantity) const {
    const auto makers = side_of(opposite(side)).view();
    if (makers.empty()) return std::nullopt;
    double remaining = quantity;
    double cost = 0.0;
    double worst = 0.0;
    for (const BookOrder& maker : makers) {
        double take = remaining < maker.remaining ? remaining : maker.remaining;
        remaining = remaining - take;
        cost = cost + take * maker.price;
        worst = maker.price;
        if (remaining <= 0.0) break;
    }
    // A subtraction, not the sum of the takes.
    double filled = quantity - remaining;
    if (!(filled > 0.0)) return std::nullopt;
    return SweepCost{cost / filled, worst, filled};
}

std::vector<PriceLevel> OrderBook::price_levels(Side side, std::size_t max_levels) const {
    std::vector<PriceLevel> levels;
    if (max_levels == 0) return levels;
    const auto orders = side_of(side).view();
    levels.reserve(std::min(max_levels, orders.size()));
    for (const BookOrder& order : orders) {
        if (!levels.empty() && order.price == levels.back().price) {
            levels.back().quantity = levels.back().quantity + order.remaining;
            levels.back().orders += 1;
            continue;
        }
        if (levels.size() == max_levels) break;
        levels.push_back({order.price, order.remaining, 1});
    }
    return levels;
}

double OrderBook::depth(Side side) const noexcept {
    double total = 0.0;
    for (const BookOrder& order : side_of(side).view()) total = total + order.remaining;
    return total;
}

std::optional<double> OrderBook::best_bid() const noexcept {
    if (bids_.empty()) return std::nullopt;
    return bids_[0].price;
}

std::optional<double> OrderBook::best_ask() const noexcept {
    if (asks_.empty()) return std::nullopt;
    return asks_[0].price;
}

std::optional<double> OrderBook::mid_price() const noexcept {
    if (bids_.empty() || asks_.empty()) return std::nullopt;
    return (bids_[0].price + asks_[0].price) * 0.5;
}

std::optional<double> OrderBook::spread() const noexcept {
    if (bids_.empty() || asks_.empty()) return std::nullopt;
    return asks_[0].price - bids_[0].price;
}

}  // namespace corvane
