// OrderBook and its read-only results: Fill, MatchResult, SweepCost and
// PriceLevel. The one difference from the core book is that a size or price
// the core would quietly ignore is refused here, because an order that
// silently did nothing is the worst failure a caller can meet.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/order_book.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"
#include "python/value_class.hpp"

namespace corvane::py {
namespace {

// A fill with its ids rendered: the value outlives the book it came from.
struct FillValue {
    std::string maker_order_id;
    std::string maker_id;
    std::string taker_id;
    double price = 0.0;
    double quantity = 0.0;
    Side taker_side = Side::buy;
};

struct MatchValue {
    // A list of Fill objects, never handed out: callers get a fresh copy.
    Ref fills;
    std::size_t fill_count = 0;
    std::optional<double> average_price;
    std::optional<std::string> resting_order_id;
    double unfilled = 0.0;
};

// ---- Checks shared by the methods ----

// Exactly "buy" or "sell": no case folding, no trimming.
std::optional<Side> side_or_raise(std::string_view side) {
    if (side == "buy") return Side::buy;
    if (side == "sell") return Side::sell;
    raise_validation(text::message("side must be \"buy\" or \"sell\", got ", text::quoted(side)));
    return std::nullopt;
}

// Sizes and prices: finite and strictly positive.
bool positive_or_raise(const char* name, double value) {
    if (std::isfinite(value) && value > 0.0) return true;
    raise_validation(text::message(name, " must be finite and greater than zero, got ", value));
    return false;
}

// ---- Value classes ----

PyObject* Fill_get_taker_side(PyObject* self, void*) {
    return to_python(side_name(payload_of<FillValue>(self).taker_side));
}

PyObject* Fill_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const auto& fill = payload_of<FillValue>(self);
        return to_python(text::message("Fill(price=", fill.price, ", quantity=", fill.quantity,
                                       ", taker_side=", text::quoted(side_name(fill.taker_side)),
                                       ")"));
    });
}

PyGetSetDef FILL_GETSET[] = {
    read_only<&FillValue::maker_order_id>("maker_order_id",
                                          "Id of the resting order that was hit."),
    read_only<&FillValue::maker_id>("maker_id", "Owner of the resting order."),
    read_only<&FillValue::taker_id>("taker_id", "Name of the submitting taker."),
    read_only<&FillValue::price>(
        "price", "Execution price: always the resting order's price, never the taker's limit."),
    read_only<&FillValue::quantity>("quantity", "Shares executed."),
    read_only("taker_side", Fill_get_taker_side, "\"buy\" or \"sell\": the incoming order's side."),
    {},
};

PyObject* Fill_reduce(PyObject* self) {
    const auto& fill = payload_of<FillValue>(self);
    return values_tuple(fill.maker_order_id, fill.maker_id, fill.taker_id, fill.price,
                        fill.quantity, side_name(fill.taker_side));
}

PyObject* Fill_rebuild(PyTypeObject* type, PyObject* values) {
    FillValue fill;
    std::string_view side;
    if (!read_values("Fill", values, fill.maker_order_id, fill.maker_id, fill.taker_id, fill.price,
                     fill.quantity, side)) {
        return nullptr;
    }
    auto taker_side = side_or_raise(side);
    if (!taker_side) return nullptr;
    fill.taker_side = *taker_side;
    return create(type, std::move(fill));
}

Class<FillValue> FILL_CLASS{
    "corvane._core.Fill",
    {
        .doc = "One execution against a resting order. Read-only.",
        .repr = Fill_repr,
        .getset = FILL_GETSET,
        .reduce = Fill_reduce,
        .rebuild = Fill_rebuild,
    },
};

// A new list holding the result's fills.
PyObject* MatchResult_get_fills(PyObject* self, void*) {
    return PySequence_List(payload_of<MatchValue>(self).fills.get());
}

PyObject* MatchResult_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const auto& match = payload_of<MatchValue>(self);
        return to_python(
            text::message("MatchResult(fills=", match.fill_count, ", unfilled=", match.unfilled,
                          ", average_price=", text::debug_optional(match.average_price), ")"));
    });
}

PyGetSetDef MATCH_RESULT_GETSET[] = {
    read_only("fills", MatchResult_get_fills, "The fills, in execution order (a new list)."),
    read_only<&MatchValue::average_price>(
        "average_price",
        "Volume-weighted price of the fills, or None if nothing filled. Against the mid price "
        "before the order, the gap is the depth the order consumed."),
    read_only<&MatchValue::resting_order_id>(
        "resting_order_id", "Id of the posted remainder, or None when nothing was posted."),
    read_only<&MatchValue::unfilled>(
        "unfilled", "Shares neither filled nor posted; 0 when a remainder was posted."),
    {},
};

PyObject* MatchResult_reduce(PyObject* self) {
    const auto& match = payload_of<MatchValue>(self);
    return values_tuple(Item{match.fills.get()}, match.average_price, match.resting_order_id,
                        match.unfilled);
}

PyObject* MatchResult_rebuild(PyTypeObject* type, PyObject* values) {
    PyObject* fills = nullptr;
    MatchValue match;
    if (!read_values("MatchResult", values, fills, match.average_price, match.resting_order_id,
                     match.unfilled)) {
        return nullptr;
    }
    // A copy, checked: the result is immutable, the list it was given is not.
    Ref items = sequence_items(fills, "MatchResult", "fills", "list of Fill", Accepts::list);
    if (!items || !for_each_item(items, [](std::size_t, PyObject* fill) {
            return FILL_CLASS.of(fill) ||
                   wrong_type("MatchResult", "fills", "list of Fill", fill) != nullptr;
        })) {
        return nullptr;
    }
    match.fills = Ref::steal(PySequence_List(items.get()));
    if (!match.fills) return nullptr;
    match.fill_count = static_cast<std::size_t>(PyTuple_Size(items.get()));
    return create(type, std::move(match));
}

Class<MatchValue> MATCH_RESULT_CLASS{
    "corvane._core.MatchResult",
    {
        .doc = "What OrderBook.submit did. Read-only.",
        .repr = MatchResult_repr,
        .getset = MATCH_RESULT_GETSET,
        .reduce = MatchResult_reduce,
        .rebuild = MatchResult_rebuild,
    },
};

constexpr ValueFields<SweepCost, &SweepCost::average_price, &SweepCost::worst_price,
                      &SweepCost::filled>
    SWEEP_COST_FIELDS{
        "SweepCost",
        {{{"average_price", "Volume-weighted price a market order would pay now."},
          {"worst_price", "Price of the deepest order it would reach."},
          {"filled", "Shares it would fill: less than asked when the side runs out."}}}};
Class<SweepCost> SWEEP_COST_CLASS{
    "corvane._core.SweepCost",
    value_slots<SWEEP_COST_FIELDS>("The cost of an immediate market order. Read-only.")};

constexpr ValueFields<PriceLevel, &PriceLevel::price, &PriceLevel::quantity, &PriceLevel::orders>
    PRICE_LEVEL_FIELDS{"PriceLevel",
                       {{{"price", "The level's price."},
                         {"quantity", "Shares resting at it."},
                         {"orders", "Number of orders making it up."}}}};
Class<PriceLevel> PRICE_LEVEL_CLASS{
    "corvane._core.PriceLevel",
    value_slots<PRICE_LEVEL_FIELDS>("Consecutive resting orders at one price. Read-only.")};

// A new MatchResult object for a core result of `book`.
PyObject* new_match_result(const ModuleState& state, const OrderBook& book,
                           const MatchResult& result) {
    Ref fills = Ref::steal(list_of(result.fills, [&](const Fill& fill) {
        return FILL_CLASS.create(
            state, FillValue{book.id_text(fill.maker_order_id), fill.maker_id, fill.taker_id,
                             fill.price, fill.quantity, fill.taker_side});
    }));
    if (!fills) return nullptr;
    std::optional<std::string> resting;
    if (result.resting) resting = book.id_text(result.resting->order_id);
    return MATCH_RESULT_CLASS.create(
        state, MatchValue{std::move(fills), result.fills.size(), result.average_price,
                          std::move(resting), result.unfilled});
}

// ---- OrderBook ----

OrderBook& book_of(PyObject* self) { return payload_of<OrderBook>(self); }

constexpr Param NEW_PARAMS[] = {{"company_id"}, optional_param("last_price")};
constexpr Signature NEW_SIGNATURE{"OrderBook", NEW_PARAMS, 2};

PyObject* OrderBook_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::string_view company_id;
        std::optional<double> last_price;
        if (!parse_args(NEW_SIGNATURE, args, kwargs, company_id, last_price)) return nullptr;
        if (last_price && !positive_or_raise("last_price", *last_price)) return nullptr;
        return create(type, OrderBook(company_id, last_price));
    });
}

constexpr Param POST_LIMIT_PARAMS[] = {
    {"side"}, {"price"}, {"quantity"}, {"owner"}, optional_param("order_id")};
constexpr Signature POST_LIMIT_SIGNATURE{"post_limit", POST_LIMIT_PARAMS, 3};

// Returns a new str: the order's id.
PyObject* OrderBook_post_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view side_text;
        double price = 0.0;
        double quantity = 0.0;
        std::string_view owner;
        std::optional<std::string_view> order_id;
        if (!parse_args(POST_LIMIT_SIGNATURE, args, nargs, kwnames, side_text, price, quantity,
                        owner, order_id)) {
            return nullptr;
        }
        auto side = side_or_raise(side_text);
        if (!side || !positive_or_raise("price", price) ||
            !positive_or_raise("quantity", quantity)) {
            return nullptr;
        }
        OrderBook& book = book_of(self);
        auto order = book.post_limit(*side, price, quantity, owner, order_id);
        // Checked above: the core cannot refuse a positive finite order.
        if (!order) return raise(ErrorKind::order, "order refused");
        return to_python(book.id_text(order->order_id));
    });
}

constexpr Param APPEND_PARAMS[] = {{"side"}, {"price"}, {"quantity"}, {"owner"}};
constexpr Signature APPEND_SIGNATURE{"append_maker_level", APPEND_PARAMS, 3};

// Returns a new str, or None when the side is full.
PyObject* OrderBook_append_maker_level(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view side_text;
        double price = 0.0;
        double quantity = 0.0;
        std::string_view owner;
        if (!parse_args(APPEND_SIGNATURE, args, nargs, kwnames, side_text, price, quantity,
                        owner)) {
            return nullptr;
        }
        auto side = side_or_raise(side_text);
        if (!side || !positive_or_raise("price", price) ||
            !positive_or_raise("quantity", quantity)) {
            return nullptr;
        }
        OrderBook& book = book_of(self);
        const BookOrder* order = book.append_maker_level(*side, price, quantity, owner);
        if (!order) Py_RETURN_NONE;
        return to_python(book.id_text(order->order_id));
    });
}

constexpr Param SUBMIT_PARAMS[] = {
    {"side"},
    {"quantity"},
    optional_param("taker", "taker"),
    optional_param("limit_price"),
    optional_param("post_remainder", false),
    optional_param("order_id"),
};
constexpr Signature SUBMIT_SIGNATURE{"submit", SUBMIT_PARAMS, 2};

PyObject* OrderBook_submit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view side_text;
        double quantity = 0.0;
        std::string_view taker{};
        std::optional<double> limit_price;
        bool post_remainder{};
        std::optional<std::string_view> order_id;
        if (!parse_args(SUBMIT_SIGNATURE, args, nargs, kwnames, side_text, quantity, taker,
                        limit_price, post_remainder, order_id)) {
            return nullptr;
        }
        auto side = side_or_raise(side_text);
        if (!side || !positive_or_raise("quantity", quantity)) return nullptr;
        if (limit_price && !positive_or_raise("limit_price", *limit_price)) return nullptr;
        OrderBook& book = book_of(self);
        MatchResult result =
            book.submit(*side, quantity, taker, limit_price, post_remainder, order_id);
        return new_match_result(state_of(self), book, result);
    });
}

constexpr Param SWEEP_PARAMS[] = {{"side"}, {"quantity"}};
constexpr Signature SWEEP_SIGNATURE{"sweep_cost", SWEEP_PARAMS, 2};

// Returns a new SweepCost, or None when nothing could fill.
PyObject* OrderBook_sweep_cost(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view side_text;
        double quantity = 0.0;
        if (!parse_args(SWEEP_SIGNATURE, args, nargs, kwnames, side_text, quantity)) {
            return nullptr;
        }
        auto side = side_or_raise(side_text);
        if (!side || !positive_or_raise("quantity", quantity)) return nullptr;
        auto cost = book_of(self).sweep_cost(*side, quantity);
        if (!cost) Py_RETURN_NONE;
        return SWEEP_COST_CLASS.create(state_of(self), *cost);
    });
}

constexpr Param LEVELS_PARAMS[] = {{"side"}, optional_param("max_levels", 10)};
constexpr Signature LEVELS_SIGNATURE{"price_levels", LEVELS_PARAMS, 2};

// Returns a new list of PriceLevel.
PyObject* OrderBook_price_levels(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view side_text;
        std::uint64_t max_levels{};
        if (!parse_args(LEVELS_SIGNATURE, args, nargs, kwnames, side_text, max_levels)) {
            return nullptr;
        }
        auto side = side_or_raise(side_text);
        if (!side) return nullptr;
        // No side holds more levels than orders, so a huge count is just "all".
        auto levels = book_of(self).price_levels(
            *side, static_cast<std::size_t>(std::min<std::uint64_t>(max_levels, SIZE_MAX)));
        return list_of(levels, [self](const PriceLevel& level) {
            return PRICE_LEVEL_CLASS.create(state_of(self), level);
        });
    });
}

constexpr Param SIDE_PARAMS[] = {{"side"}};
constexpr Signature DEPTH_SIGNATURE{"depth", SIDE_PARAMS, 1};

PyObject* OrderBook_depth(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view side_text;
        if (!parse_args(DEPTH_SIGNATURE, args, nargs, kwnames, side_text)) return nullptr;
        auto side = side_or_raise(side_text);
        if (!side) return nullptr;
        return to_python(book_of(self).depth(*side));
    });
}

constexpr Param CANCEL_PARAMS[] = {{"order_id"}};
constexpr Signature CANCEL_SIGNATURE{"cancel_order", CANCEL_PARAMS, 1};

PyObject* OrderBook_cancel_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view order_id;
        if (!parse_args(CANCEL_SIGNATURE, args, nargs, kwnames, order_id)) return nullptr;
        return to_python(book_of(self).cancel_order(order_id));
    });
}

constexpr Param CANCEL_ALL_PARAMS[] = {{"owner_id"}};
constexpr Signature CANCEL_ALL_SIGNATURE{"cancel_all_for", CANCEL_ALL_PARAMS, 1};

PyObject* OrderBook_cancel_all_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::string_view owner;
        if (!parse_args(CANCEL_ALL_SIGNATURE, args, nargs, kwnames, owner)) return nullptr;
        return to_python(book_of(self).cancel_all_for(owner));
    });
}

PyObject* OrderBook_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const OrderBook& book = book_of(self);
        return to_python(text::message("OrderBook(", text::quoted(book.company_id()),
                                       ", bid=", text::debug_optional(book.best_bid()),
                                       ", ask=", text::debug_optional(book.best_ask()), ")"));
    });
}

PyMethodDef ORDER_BOOK_METHODS[] = {
    keywords_method(
        "post_limit", OrderBook_post_limit,
        signature_doc(
            POST_LIMIT_SIGNATURE, "$self",
            "Rest a limit order behind every order at an equal or better price and return its id "
            "(order_id, or the company id, a hyphen and the book's sequence number). A side holds "
            "at "
            "most 32 orders: a post beyond them pushes the worst off, and may be that worst one -- "
            "its id is returned even then, though it is not on the book.")),
    keywords_method(
        "submit", OrderBook_submit,
        signature_doc(
            SUBMIT_SIGNATURE, "$self",
            "Trade against the opposite side, best price first, each fill at the resting order's "
            "price. Without limit_price this is a market order, which never rests: post_remainder "
            "is "
            "ignored for it. With a limit and post_remainder, what the limit stopped rests at the "
            "limit under order_id (or a generated id).")),
    keywords_method(
        "append_maker_level", OrderBook_append_maker_level,
        signature_doc(
            APPEND_SIGNATURE, "$self",
            "Append an order at the far end of a side without comparing prices, for building a "
            "ladder; return its id, or None when the side already holds 32 orders (no sequence "
            "number is used then). Append in worsening price order: nothing checks it.")),
    keywords_method(
        "sweep_cost", OrderBook_sweep_cost,
        signature_doc(SWEEP_SIGNATURE, "$self",
                      "What a market order of this size would pay now, as a SweepCost, or None "
                      "when the opposite side is empty. Never changes the book.")),
    keywords_method(
        "price_levels", OrderBook_price_levels,
        signature_doc(LEVELS_SIGNATURE, "$self",
                      "The side's orders merged into price levels, best first: a list of "
                      "PriceLevel.")),
    keywords_method("depth", OrderBook_depth,
                    signature_doc(DEPTH_SIGNATURE, "$self", "Total resting quantity on one side.")),
    keywords_method(
        "cancel_order", OrderBook_cancel_order,
        signature_doc(CANCEL_SIGNATURE, "$self",
                      "Remove the first order with this id, bids searched first; True if one was "
                      "removed.")),
    keywords_method(
        "cancel_all_for", OrderBook_cancel_all_for,
        signature_doc(CANCEL_ALL_SIGNATURE, "$self",
                      "Remove every order of this owner from both sides; return how many.")),
    {},
};

// ---- Pickling a book ----
//
// A resting order pickles as (id, owner, price, quantity, remaining,
// sequence), the id as its sequence number when the book generated it and
// as text when the caller supplied it; a book as its company id, last
// price, next sequence number and both sides in priority order.

PyObject* order_values(const BookOrder& order) {
    Ref id = Ref::steal(order.order_id.is_generated() ? to_python(order.order_id.sequence())
                                                      : to_python(order.order_id.supplied_text()));
    if (!id) return nullptr;
    return values_tuple(Item{id.get()}, order.owner, order.price, order.quantity, order.remaining,
                        order.sequence);
}

// One side's orders, for `read_values`.
struct SideArg {
    Side side;
    std::vector<BookOrder>& out;

    bool from_python(PyObject* object, const char* function, const char* what) const {
        // Each order's tuple, and so its id, stays held while the next
        // values convert.
        Ref items = sequence_items(object, function, what, "list", Accepts::list);
        return items && for_each_item(items, [&](std::size_t, PyObject* item) {
                   return read_order(item, function, what);
               });
    }

    bool read_order(PyObject* item, const char* function, const char* what) const {
        BookOrder order;
        order.side = side;
        PyObject* id = nullptr;
        if (!read_values("OrderBook order", item, id, order.owner, order.price, order.quantity,
                         order.remaining, order.sequence)) {
            return false;
        }
        if (PyUnicode_Check(id)) {
            std::string_view text;
            if (!py::from_python(id, function, what, text)) return false;
            order.order_id = OrderId::supplied(text);
        } else {
            std::uint64_t number = 0;
            if (!py::from_python(id, function, what, number)) return false;
            order.order_id = OrderId::generated(number);
        }
        if (!positive_or_raise("price", order.price) ||
            !positive_or_raise("remaining", order.remaining)) {
            return false;
        }
        out.push_back(std::move(order));
        return true;
    }
};

PyObject* OrderBook_reduce(PyObject* self) {
    const OrderBook& book = book_of(self);
    Ref bids = Ref::steal(list_of(book.bids(), order_values));
    Ref asks = Ref::steal(list_of(book.asks(), order_values));
    if (!bids || !asks) return nullptr;
    return values_tuple(book.company_id(), book.last_price(), book.next_sequence(),
                        Item{bids.get()}, Item{asks.get()});
}

PyObject* OrderBook_rebuild(PyTypeObject* type, PyObject* values) {
    std::string_view company_id;
    std::optional<double> last_price;
    std::uint64_t next_sequence = 0;
    std::vector<BookOrder> bids;
    std::vector<BookOrder> asks;
    if (!read_values("OrderBook", values, company_id, last_price, next_sequence,
                     SideArg{Side::buy, bids}, SideArg{Side::sell, asks})) {
        return nullptr;
    }
    if (last_price && !positive_or_raise("last_price", *last_price)) return nullptr;
    auto book = OrderBook::restored(company_id, last_price, bids, asks, next_sequence);
    if (!book) {
        return raise_validation(text::message("a pickled OrderBook side holds more than ",
                                              MAX_DEPTH_PER_SIDE, " orders"));
    }
    return create(type, std::move(*book));
}

PyGetSetDef ORDER_BOOK_GETSET[] = {
    read_only<&OrderBook::best_bid>("best_bid", "Highest bid price, or None."),
    read_only<&OrderBook::best_ask>("best_ask", "Lowest ask price, or None."),
    read_only<&OrderBook::mid_price>(
        "mid_price", "Halfway between the best bid and ask; None unless both sides quote."),
    read_only<&OrderBook::spread>("spread",
                                  "Best ask minus best bid; None unless both sides quote."),
    read_only<&OrderBook::company_id>("company_id",
                                      "The instrument's id, the prefix of generated order ids."),
    {},
};

}  // namespace

Class<OrderBook> ORDER_BOOK{
    "corvane._core.OrderBook",
    {
        .doc = signature_doc(
            NEW_SIGNATURE, "",
            "A limit order book for one instrument with price-time priority and at most 32 "
            "orders a side. A large order pays worse prices because it consumes the orders "
            "in front of it, each at its own price. Sides are \"buy\" and \"sell\"; sizes and "
            "prices must be finite and greater than zero, and a refused call changes nothing."),
        .new_object = OrderBook_new,
        .repr = OrderBook_repr,
        .methods = ORDER_BOOK_METHODS,
        .getset = ORDER_BOOK_GETSET,
        .reduce = OrderBook_reduce,
        .rebuild = OrderBook_rebuild,
    },
};
TypeEntry& FILL = FILL_CLASS;
TypeEntry& MATCH_RESULT = MATCH_RESULT_CLASS;
TypeEntry& PRICE_LEVEL = PRICE_LEVEL_CLASS;
TypeEntry& SWEEP_COST = SWEEP_COST_CLASS;

}  // namespace corvane::py
