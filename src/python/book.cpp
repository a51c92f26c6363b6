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
#include "python/types.hpp"

namespace corvane::py {
namespace {

PyTypeObject* order_book_type = nullptr;
PyTypeObject* fill_type = nullptr;
PyTypeObject* match_result_type = nullptr;
PyTypeObject* price_level_type = nullptr;
PyTypeObject* sweep_cost_type = nullptr;

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
    // A tuple of Fill objects; callers get a fresh list of them.
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

template <class Payload, double Payload::*field>
PyObject* get_f64(PyObject* self, void*) {
    return to_python(payload_of<Payload>(self).*field);
}

template <class Payload, std::string Payload::*field>
PyObject* get_text(PyObject* self, void*) {
    return to_python(std::string_view(payload_of<Payload>(self).*field));
}

PyObject* optional_f64(const std::optional<double>& value) {
    if (!value) Py_RETURN_NONE;
    return to_python(*value);
}

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
    {"maker_order_id", get_text<FillValue, &FillValue::maker_order_id>, nullptr,
     "Id of the resting order that was hit.", nullptr},
    {"maker_id", get_text<FillValue, &FillValue::maker_id>, nullptr,
     "Owner of the resting order.", nullptr},
    {"taker_id", get_text<FillValue, &FillValue::taker_id>, nullptr,
     "Name of the submitting taker.", nullptr},
    {"price", get_f64<FillValue, &FillValue::price>, nullptr,
     "Execution price: always the resting order's price, never the taker's limit.", nullptr},
    {"quantity", get_f64<FillValue, &FillValue::quantity>, nullptr, "Shares executed.", nullptr},
    {"taker_side", Fill_get_taker_side, nullptr, "\"buy\" or \"sell\": the incoming order's side.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot FILL_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("One execution against a resting order. Read-only.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<FillValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(Fill_repr)},
    {Py_tp_getset, FILL_GETSET},
    {0, nullptr},
};

PyType_Spec FILL_SPEC = {"corvane._core.Fill", basic_size<FillValue>(), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, FILL_SLOTS};

// A new list holding the result's fills.
PyObject* MatchResult_get_fills(PyObject* self, void*) {
    return PySequence_List(payload_of<MatchValue>(self).fills.get());
}

PyObject* MatchResult_get_average_price(PyObject* self, void*) {
    return optional_f64(payload_of<MatchValue>(self).average_price);
}

PyObject* MatchResult_get_resting_order_id(PyObject* self, void*) {
    const auto& id = payload_of<MatchValue>(self).resting_order_id;
    if (!id) Py_RETURN_NONE;
    return to_python(std::string_view(*id));
}

PyObject* MatchResult_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const auto& match = payload_of<MatchValue>(self);
        return to_python(text::message("MatchResult(fills=", match.fill_count,
                                       ", unfilled=", match.unfilled, ", average_price=",
                                       text::debug_optional(match.average_price), ")"));
    });
}

PyGetSetDef MATCH_RESULT_GETSET[] = {
    {"fills", MatchResult_get_fills, nullptr, "The fills, in execution order (a new list).",
     nullptr},
    {"average_price", MatchResult_get_average_price, nullptr,
     "Volume-weighted price of the fills, or None if nothing filled. Against the mid price "
     "before the order, the gap is the depth the order consumed.",
     nullptr},
    {"resting_order_id", MatchResult_get_resting_order_id, nullptr,
     "Id of the posted remainder, or None when nothing was posted.", nullptr},
    {"unfilled", get_f64<MatchValue, &MatchValue::unfilled>, nullptr,
     "Shares neither filled nor posted; 0 when a remainder was posted.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot MATCH_RESULT_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("What OrderBook.submit did. Read-only.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<MatchValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(MatchResult_repr)},
    {Py_tp_getset, MATCH_RESULT_GETSET},
    {0, nullptr},
};

PyType_Spec MATCH_RESULT_SPEC = {"corvane._core.MatchResult", basic_size<MatchValue>(), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                 MATCH_RESULT_SLOTS};

PyObject* SweepCost_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const auto& cost = payload_of<SweepCost>(self);
        return to_python(text::message("SweepCost(average_price=", cost.average_price,
                                       ", worst_price=", cost.worst_price,
                                       ", filled=", cost.filled, ")"));
    });
}

PyGetSetDef SWEEP_COST_GETSET[] = {
    {"average_price", get_f64<SweepCost, &SweepCost::average_price>, nullptr,
     "Volume-weighted price a market order would pay now.", nullptr},
    {"worst_price", get_f64<SweepCost, &SweepCost::worst_price>, nullptr,
     "Price of the deepest order it would reach.", nullptr},
    {"filled", get_f64<SweepCost, &SweepCost::filled>, nullptr,
     "Shares it would fill: less than asked when the side runs out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SWEEP_COST_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("The cost of an immediate market order. Read-only.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SweepCost>)},
    {Py_tp_repr, reinterpret_cast<void*>(SweepCost_repr)},
    {Py_tp_getset, SWEEP_COST_GETSET},
    {0, nullptr},
};

PyType_Spec SWEEP_COST_SPEC = {"corvane._core.SweepCost", basic_size<SweepCost>(), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               SWEEP_COST_SLOTS};

PyObject* PriceLevel_get_orders(PyObject* self, void*) {
    return to_python(static_cast<std::uint64_t>(payload_of<PriceLevel>(self).orders));
}

PyObject* PriceLevel_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const auto& level = payload_of<PriceLevel>(self);
        return to_python(text::message("PriceLevel(price=", level.price,
                                       ", quantity=", level.quantity, ", orders=", level.orders,
                                       ")"));
    });
}

PyGetSetDef PRICE_LEVEL_GETSET[] = {
    {"price", get_f64<PriceLevel, &PriceLevel::price>, nullptr, "The level's price.", nullptr},
    {"quantity", get_f64<PriceLevel, &PriceLevel::quantity>, nullptr,
     "Shares resting at it.", nullptr},
    {"orders", PriceLevel_get_orders, nullptr, "Number of orders making it up.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot PRICE_LEVEL_SLOTS[] = {
    {Py_tp_doc, const_cast<char*>("Consecutive resting orders at one price. Read-only.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PriceLevel>)},
    {Py_tp_repr, reinterpret_cast<void*>(PriceLevel_repr)},
    {Py_tp_getset, PRICE_LEVEL_GETSET},
    {0, nullptr},
};

PyType_Spec PRICE_LEVEL_SPEC = {"corvane._core.PriceLevel", basic_size<PriceLevel>(), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                PRICE_LEVEL_SLOTS};

// A new MatchResult object for a core result of `book`.
PyObject* new_match_result(const OrderBook& book, const MatchResult& result) {
    Ref fills = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(result.fills.size())));
    if (!fills) return nullptr;
    for (std::size_t i = 0; i < result.fills.size(); ++i) {
        const Fill& fill = result.fills[i];
        PyObject* item = create(fill_type, FillValue{book.id_text(fill.maker_order_id),
                                                     fill.maker_id, fill.taker_id, fill.price,
                                                     fill.quantity, fill.taker_side});
        if (!item) return nullptr;
        PyTuple_SetItem(fills.get(), static_cast<Py_ssize_t>(i), item);
    }
    std::optional<std::string> resting;
    if (result.resting) resting = book.id_text(result.resting->order_id);
    return create(match_result_type, MatchValue{std::move(fills), result.fills.size(),
                                                result.average_price, std::move(resting),
                                                result.unfilled});
}

// ---- OrderBook ----

OrderBook& book_of(PyObject* self) { return payload_of<OrderBook>(self); }

constexpr Param NEW_PARAMS[] = {{"company_id"}, optional_param("last_price")};
constexpr Signature NEW_SIGNATURE{"OrderBook", NEW_PARAMS, 2};

PyObject* OrderBook_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(NEW_SIGNATURE, args, kwargs);
        if (!parsed) return nullptr;
        auto company_id = parsed->str(0);
        if (!company_id) return nullptr;
        auto last_price = parsed->optional_f64(1);
        if (!last_price) return nullptr;
        if (*last_price && !positive_or_raise("last_price", **last_price)) return nullptr;
        return create(type, OrderBook(*company_id, *last_price));
    });
}

constexpr Param POST_LIMIT_PARAMS[] = {
    {"side"}, {"price"}, {"quantity"}, {"owner"}, optional_param("order_id")};
constexpr Signature POST_LIMIT_SIGNATURE{"post_limit", POST_LIMIT_PARAMS, 3};

// Returns a new str: the order's id.
PyObject* OrderBook_post_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(POST_LIMIT_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto side_text = parsed->str(0);
        if (!side_text) return nullptr;
        auto price = parsed->f64(1);
        if (!price) return nullptr;
        auto quantity = parsed->f64(2);
        if (!quantity) return nullptr;
        auto owner = parsed->str(3);
        if (!owner) return nullptr;
        auto order_id = parsed->optional_str(4);
        if (!order_id) return nullptr;
        auto side = side_or_raise(*side_text);
        if (!side || !positive_or_raise("price", *price) ||
            !positive_or_raise("quantity", *quantity)) {
            return nullptr;
        }
        OrderBook& book = book_of(self);
        auto order = book.post_limit(*side, *price, *quantity, *owner, *order_id);
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
        auto parsed = Args::parse(APPEND_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto side_text = parsed->str(0);
        if (!side_text) return nullptr;
        auto price = parsed->f64(1);
        if (!price) return nullptr;
        auto quantity = parsed->f64(2);
        if (!quantity) return nullptr;
        auto owner = parsed->str(3);
        if (!owner) return nullptr;
        auto side = side_or_raise(*side_text);
        if (!side || !positive_or_raise("price", *price) ||
            !positive_or_raise("quantity", *quantity)) {
            return nullptr;
        }
        OrderBook& book = book_of(self);
        const BookOrder* order = book.append_maker_level(*side, *price, *quantity, *owner);
        if (!order) Py_RETURN_NONE;
        return to_python(book.id_text(order->order_id));
    });
}

constexpr Param SUBMIT_PARAMS[] = {
    {"side"},
    {"quantity"},
    optional_param("taker"),
    optional_param("limit_price"),
    optional_param("post_remainder"),
    optional_param("order_id"),
};
constexpr Signature SUBMIT_SIGNATURE{"submit", SUBMIT_PARAMS, 2};

PyObject* OrderBook_submit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(SUBMIT_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto side_text = parsed->str(0);
        if (!side_text) return nullptr;
        auto quantity = parsed->f64(1);
        if (!quantity) return nullptr;
        std::string_view taker = "taker";
        if (parsed->given(2)) {
            auto given = parsed->str(2);
            if (!given) return nullptr;
            taker = *given;
        }
        auto limit_price = parsed->optional_f64(3);
        if (!limit_price) return nullptr;
        bool post_remainder = false;
        if (parsed->given(4)) {
            auto given = parsed->boolean(4);
            if (!given) return nullptr;
            post_remainder = *given;
        }
        auto order_id = parsed->optional_str(5);
        if (!order_id) return nullptr;
        auto side = side_or_raise(*side_text);
        if (!side || !positive_or_raise("quantity", *quantity)) return nullptr;
        if (*limit_price && !positive_or_raise("limit_price", **limit_price)) return nullptr;
        OrderBook& book = book_of(self);
        MatchResult result =
            book.submit(*side, *quantity, taker, *limit_price, post_remainder, *order_id);
        return new_match_result(book, result);
    });
}

constexpr Param SWEEP_PARAMS[] = {{"side"}, {"quantity"}};
constexpr Signature SWEEP_SIGNATURE{"sweep_cost", SWEEP_PARAMS, 2};

// Returns a new SweepCost, or None when nothing could fill.
PyObject* OrderBook_sweep_cost(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(SWEEP_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto side_text = parsed->str(0);
        if (!side_text) return nullptr;
        auto quantity = parsed->f64(1);
        if (!quantity) return nullptr;
        auto side = side_or_raise(*side_text);
        if (!side || !positive_or_raise("quantity", *quantity)) return nullptr;
        auto cost = book_of(self).sweep_cost(*side, *quantity);
        if (!cost) Py_RETURN_NONE;
        return create(sweep_cost_type, SweepCost(*cost));
    });
}

constexpr Param LEVELS_PARAMS[] = {{"side"}, optional_param("max_levels")};
constexpr Signature LEVELS_SIGNATURE{"price_levels", LEVELS_PARAMS, 2};

PyObject* OrderBook_price_levels(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(LEVELS_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto side_text = parsed->str(0);
        if (!side_text) return nullptr;
        std::uint64_t max_levels = 10;
        if (parsed->given(1)) {
            auto given = parsed->u64(1);
            if (!given) return nullptr;
            max_levels = *given;
        }
        auto side = side_or_raise(*side_text);
        if (!side) return nullptr;
        // No side holds more levels than orders, so a huge count is just "all".
        auto levels = book_of(self).price_levels(
            *side, static_cast<std::size_t>(std::min<std::uint64_t>(max_levels, SIZE_MAX)));
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(levels.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            PyObject* item = create(price_level_type, PriceLevel(levels[i]));
            if (!item) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

constexpr Param SIDE_PARAMS[] = {{"side"}};
constexpr Signature DEPTH_SIGNATURE{"depth", SIDE_PARAMS, 1};

PyObject* OrderBook_depth(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(DEPTH_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto side_text = parsed->str(0);
        if (!side_text) return nullptr;
        auto side = side_or_raise(*side_text);
        if (!side) return nullptr;
        return to_python(book_of(self).depth(*side));
    });
}

constexpr Param CANCEL_PARAMS[] = {{"order_id"}};
constexpr Signature CANCEL_SIGNATURE{"cancel_order", CANCEL_PARAMS, 1};

PyObject* OrderBook_cancel_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(CANCEL_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto order_id = parsed->str(0);
        if (!order_id) return nullptr;
        return to_python(book_of(self).cancel_order(*order_id));
    });
}

constexpr Param CANCEL_ALL_PARAMS[] = {{"owner_id"}};
constexpr Signature CANCEL_ALL_SIGNATURE{"cancel_all_for", CANCEL_ALL_PARAMS, 1};

PyObject* OrderBook_cancel_all_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(CANCEL_ALL_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        auto owner = parsed->str(0);
        if (!owner) return nullptr;
        return to_python(static_cast<std::uint64_t>(book_of(self).cancel_all_for(*owner)));
    });
}

template <std::optional<double> (OrderBook::*quote)() const noexcept>
PyObject* OrderBook_get_quote(PyObject* self, void*) {
    return optional_f64((book_of(self).*quote)());
}

PyObject* OrderBook_get_company_id(PyObject* self, void*) {
    return to_python(std::string_view(book_of(self).company_id()));
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
    {"post_limit", as_method(OrderBook_post_limit), METH_FASTCALL | METH_KEYWORDS,
     "post_limit($self, side, price, quantity, *, owner, order_id=None)\n--\n\n"
     "Rest a limit order behind every order at an equal or better price and return its id "
     "(order_id, or the company id, a hyphen and the book's sequence number). A side holds at "
     "most 32 orders: a post beyond them pushes the worst off, and may be that worst one -- "
     "its id is returned even then, though it is not on the book."},
    {"submit", as_method(OrderBook_submit), METH_FASTCALL | METH_KEYWORDS,
     "submit($self, side, quantity, *, taker=\"taker\", limit_price=None, "
     "post_remainder=False, order_id=None)\n--\n\n"
     "Trade against the opposite side, best price first, each fill at the resting order's "
     "price. Without limit_price this is a market order, which never rests: post_remainder is "
     "ignored for it. With a limit and post_remainder, what the limit stopped rests at the "
     "limit under order_id (or a generated id)."},
    {"append_maker_level", as_method(OrderBook_append_maker_level),
     METH_FASTCALL | METH_KEYWORDS,
     "append_maker_level($self, side, price, quantity, *, owner)\n--\n\n"
     "Append an order at the far end of a side without comparing prices, for building a "
     "ladder; return its id, or None when the side already holds 32 orders (no sequence "
     "number is used then). Append in worsening price order: nothing checks it."},
    {"sweep_cost", as_method(OrderBook_sweep_cost), METH_FASTCALL | METH_KEYWORDS,
     "sweep_cost($self, side, quantity)\n--\n\n"
     "What a market order of this size would pay now, as a SweepCost, or None when the "
     "opposite side is empty. Never changes the book."},
    {"price_levels", as_method(OrderBook_price_levels), METH_FASTCALL | METH_KEYWORDS,
     "price_levels($self, side, max_levels=10)\n--\n\n"
     "The side's orders merged into price levels, best first: a list of PriceLevel."},
    {"depth", as_method(OrderBook_depth), METH_FASTCALL | METH_KEYWORDS,
     "depth($self, side)\n--\n\nTotal resting quantity on one side."},
    {"cancel_order", as_method(OrderBook_cancel_order), METH_FASTCALL | METH_KEYWORDS,
     "cancel_order($self, order_id)\n--\n\n"
     "Remove the first order with this id, bids searched first; True if one was removed."},
    {"cancel_all_for", as_method(OrderBook_cancel_all_for), METH_FASTCALL | METH_KEYWORDS,
     "cancel_all_for($self, owner_id)\n--\n\n"
     "Remove every order of this owner from both sides; return how many."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ORDER_BOOK_GETSET[] = {
    {"best_bid", OrderBook_get_quote<&OrderBook::best_bid>, nullptr,
     "Highest bid price, or None.", nullptr},
    {"best_ask", OrderBook_get_quote<&OrderBook::best_ask>, nullptr,
     "Lowest ask price, or None.", nullptr},
    {"mid_price", OrderBook_get_quote<&OrderBook::mid_price>, nullptr,
     "Halfway between the best bid and ask; None unless both sides quote.", nullptr},
    {"spread", OrderBook_get_quote<&OrderBook::spread>, nullptr,
     "Best ask minus best bid; None unless both sides quote.", nullptr},
    {"company_id", OrderBook_get_company_id, nullptr,
     "The instrument's id, the prefix of generated order ids.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ORDER_BOOK_SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "OrderBook(company_id, last_price=None)\n--\n\n"
         "A limit order book for one instrument with price-time priority and at most 32 orders "
         "a side. A large order pays worse prices because it consumes the orders in front of "
         "it, each at its own price. Sides are \"buy\" and \"sell\"; sizes and prices must be "
         "finite and greater than zero, and a refused call changes nothing.")},
    {Py_tp_new, reinterpret_cast<void*>(OrderBook_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<OrderBook>)},
    {Py_tp_repr, reinterpret_cast<void*>(OrderBook_repr)},
    {Py_tp_methods, ORDER_BOOK_METHODS},
    {Py_tp_getset, ORDER_BOOK_GETSET},
    {0, nullptr},
};

PyType_Spec ORDER_BOOK_SPEC = {"corvane._core.OrderBook", basic_size<OrderBook>(), 0,
                               Py_TPFLAGS_DEFAULT, ORDER_BOOK_SLOTS};

}  // namespace

TypeEntry ORDER_BOOK{&ORDER_BOOK_SPEC, &order_book_type};
TypeEntry FILL{&FILL_SPEC, &fill_type};
TypeEntry MATCH_RESULT{&MATCH_RESULT_SPEC, &match_result_type};
TypeEntry PRICE_LEVEL{&PRICE_LEVEL_SPEC, &price_level_type};
TypeEntry SWEEP_COST{&SWEEP_COST_SPEC, &sweep_cost_type};

PyObject* new_order_book(OrderBook&& book) noexcept {
    return create(order_book_type, std::move(book));
}

}  // namespace corvane::py
