// A central limit order book for one instrument with price-time priority.
//
// Market impact is not a formula here: a large order pays worse prices
// because it consumes the resting orders in front of it, each at that
// order's own price. The engine builds one of these around every instrument
// with flow on every regular-hours tick, so the book is built for reuse:
// each side is a fixed window of slots allocated once, `reset` keeps them,
// taking the best order only advances the window, and generated order ids
// are kept as numbers and rendered as text only when someone asks.
//
// The core never refuses loudly: a non-positive or NaN size gives an empty
// result and a post that cannot be accepted gives nothing. Validation that
// reports is the binding's job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum class Side : std::uint8_t { buy = 0, sell = 1 };

constexpr Side opposite(Side side) noexcept { return side == Side::buy ? Side::sell : Side::buy; }

// "buy" or "sell".
std::string_view side_name(Side side) noexcept;

// Orders per side, not price levels.
inline constexpr std::size_t MAX_DEPTH_PER_SIDE = 32;

// An order's id. A generated id is the book's company id, a hyphen and the
// order's sequence number; only the number is kept, since the company id is
// the book's and most ids are never read. A supplied id is kept as given.
class OrderId {
public:
    OrderId() = default;
    static OrderId generated(std::uint64_t sequence) noexcept;
    static OrderId supplied(std::string_view text);

    bool is_generated() const noexcept { return !supplied_; }
    // The sequence number of a generated id (0 for a supplied one).
    std::uint64_t sequence() const noexcept { return sequence_; }
    const std::string& supplied_text() const noexcept { return text_; }

    // The id as text, for an order of the book whose company id is given.
    std::string render(std::string_view company_id) const;
    // Byte-for-byte equality with `text`, without rendering.
    bool matches(std::string_view text, std::string_view company_id) const noexcept;

    // Reassigns in place, keeping the text's buffer.
    void assign_generated(std::uint64_t sequence) noexcept;
    void assign_supplied(std::string_view text);

private:
    std::string text_;
    std::uint64_t sequence_ = 0;
    bool supplied_ = false;
};

struct BookOrder {
    OrderId order_id;
    std::string owner;
    double price = 0.0;
    // Size when placed; for a posted remainder, the whole submitted size.
    double quantity = 0.0;
    double remaining = 0.0;
    std::uint64_t sequence = 0;
    Side side = Side::buy;
};

struct Fill {
    OrderId maker_order_id;
    std::string maker_id;
    std::string taker_id;
    // Always the resting order's price.
    double price = 0.0;
    double quantity = 0.0;
    Side taker_side = Side::buy;
};

// Consecutive resting orders at one price.
struct PriceLevel {
    double price = 0.0;
    double quantity = 0.0;
    std::uint32_t orders = 0;
};

struct MatchResult {
    std::vector<Fill> fills;
    std::optional<double> average_price;
    // The posted remainder, as created (it may have fallen off a full side).
    std::optional<BookOrder> resting;
    // Neither filled nor posted; 0 when a remainder was posted.
    double unfilled = 0.0;

    // Empties the result, keeping the fills' capacity.
    void clear() noexcept;
};

struct SweepCost {
    double average_price = 0.0;
    double worst_price = 0.0;
    double filled = 0.0;
};

namespace detail {

// One side's orders, best first, held in a window [begin, end) of a fixed
// run of slots. Taking the best order advances `begin`, so a market order
// that clears several levels moves nothing; the window slides back to the
// start only when it reaches the end of the slots.
class SideOrders {
public:
    static constexpr std::size_t SLOTS = 2 * MAX_DEPTH_PER_SIDE;

    std::size_t size() const noexcept { return end_ - begin_; }
    bool empty() const noexcept { return begin_ == end_; }
    BookOrder& operator[](std::size_t i) noexcept { return slots_[begin_ + i]; }
    const BookOrder& operator[](std::size_t i) const noexcept { return slots_[begin_ + i]; }
    std::span<const BookOrder> view() const noexcept { return {slots_.data() + begin_, size()}; }

    // A free slot just past the far end, where a new order is described
    // before it joins the side. Allocating the slots (once) and filling in
    // the staged order's strings are the only steps that can throw, so a
    // commit below never fails halfway.
    BookOrder& stage();
    // The staged order joins at the far end; the side holds fewer than the cap.
    void commit_back() noexcept;
    // The staged order joins at `position` (< MAX_DEPTH_PER_SIDE), later
    // orders moving back one; on a full side the last order falls off.
    void commit_at(std::size_t position) noexcept;
    void pop_front() noexcept;
    void erase(std::size_t position) noexcept;
    // Drops every order of `owner`, keeping the rest in order; answers how
    // many went.
    std::size_t erase_owned_by(std::string_view owner) noexcept;
    // Forgets every order; the slots (and their strings' buffers) stay.
    void clear() noexcept { begin_ = end_ = 0; }

private:
    void slide_to_start() noexcept;

    std::vector<BookOrder> slots_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace detail

class OrderBook {
public:
    explicit OrderBook(std::string_view company_id = {},
                       std::optional<double> last_price = std::nullopt);

    // A saved book exactly as it was: each side's orders in priority order
    // (as `orders` lists them) and the next sequence number, so matching
    // continues as it would have. Refuses a side of more than
    // MAX_DEPTH_PER_SIDE orders; the order is not re-sorted.
    static std::optional<OrderBook> restored(std::string_view company_id,
                                             std::optional<double> last_price,
                                             std::span<const BookOrder> bids,
                                             std::span<const BookOrder> asks,
                                             std::uint64_t next_sequence);

    // Starts over as a new, empty book for `company_id` (sequence back to 0)
    // keeping every buffer, so one book can serve instrument after instrument.
    void reset(std::string_view company_id, std::optional<double> last_price);

    // Inserts behind every order at an equal or better price; on a full side
    // the worst order falls off, possibly the new one. Nothing unless
    // price > 0 and quantity > 0; otherwise one sequence number is consumed.
    std::optional<BookOrder> post_limit(Side side, double price, double quantity,
                                        std::string_view owner,
                                        std::optional<std::string_view> order_id = std::nullopt);

    // Appends at the far end with no comparison, for a ladder built in
    // worsening price order; refuses a full side. The answer points at the
    // new order and is valid until the book next changes.
    const BookOrder* append_maker_level(Side side, double price, double quantity,
                                        std::string_view owner);

    // Takes from the opposite side at the best price first. With a limit and
    // `post_remainder`, what the limit stopped rests at the limit; a market
    // order never rests. `order_id` names a posted remainder.
    MatchResult submit(Side side, double quantity, std::string_view taker,
                       std::optional<double> limit_price = std::nullopt,
                       bool post_remainder = false,
                       std::optional<std::string_view> order_id = std::nullopt);
    // The same into a caller's result, reusing its fill buffer.
    void submit(Side side, double quantity, std::string_view taker,
                std::optional<double> limit_price, bool post_remainder,
                std::optional<std::string_view> order_id, MatchResult& result);

    // Removes the first order with this id, bids searched first.
    bool cancel_order(std::string_view order_id);
    std::size_t cancel_all_for(std::string_view owner);

    // What a market order of `quantity` would pay now; changes nothing.
    std::optional<SweepCost> sweep_cost(Side side, double quantity) const;
    // Only adjacent orders at an equal price merge into one level.
    std::vector<PriceLevel> price_levels(Side side, std::size_t max_levels) const;
    double depth(Side side) const noexcept;

    std::optional<double> best_bid() const noexcept;
    std::optional<double> best_ask() const noexcept;
    std::optional<double> mid_price() const noexcept;
    std::optional<double> spread() const noexcept;

    std::optional<double> last_price() const noexcept { return last_price_; }
    const std::string& company_id() const noexcept { return company_id_; }
    std::uint64_t next_sequence() const noexcept { return next_sequence_; }
    std::span<const BookOrder> bids() const noexcept { return bids_.view(); }
    std::span<const BookOrder> asks() const noexcept { return asks_.view(); }
    std::span<const BookOrder> orders(Side side) const noexcept { return side_of(side).view(); }

    // An id of this book's orders (or fills) as text.
    std::string id_text(const OrderId& id) const { return id.render(company_id_); }

private:
    detail::SideOrders& side_of(Side side) noexcept { return side == Side::buy ? bids_ : asks_; }
    const detail::SideOrders& side_of(Side side) const noexcept {
        return side == Side::buy ? bids_ : asks_;
    }
    // Where a new resting order goes by price-time priority: behind every
    // order at an equal or better price.
    std::size_t priority_position(Side side, double price) const noexcept;
    // Stages a new order on `side` with every field filled in (the one step
    // of a post that can throw).
    BookOrder& stage_order(Side side, double price, double quantity, double remaining,
                           std::string_view owner, std::optional<std::string_view> order_id);
    // Places the staged order by priority and consumes its sequence number.
    void commit_resting(Side side, double price) noexcept;

    std::optional<double> last_price_;
    std::string company_id_;
    detail::SideOrders bids_;
    detail::SideOrders asks_;
    std::uint64_t next_sequence_ = 0;
};

}  // namespace corvane
