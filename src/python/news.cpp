// News, NewsImpact and the conversion of a call's news, news impacts and
// order flow into the core's inputs.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/order_log.hpp"
#include "core/sectors.hpp"
#include "core/text.hpp"
#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

bool finite_or_raise(const char* name, double value) {
    if (std::isfinite(value)) return true;
    raise_validation(text::message(name, " must be finite, got ", value));
    return false;
}

bool sector_given_or_raise(const std::optional<std::string>& sector) {
    return !sector || sector_or_raise(*sector) != nullptr;
}

// ---- News ----

bool news_checks(const NewsArg& news) {
    return finite_or_raise("price_impact", news.price_impact) && sector_given_or_raise(news.sector);
}

constexpr Param NEWS_PARAMS[] = {optional_param("ticker"), optional_param("sector"),
                                 optional_param("price_impact", 0.0)};
constexpr Signature NEWS_SIGNATURE{"News", NEWS_PARAMS, 0};

PyObject* News_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        NewsArg news;
        if (!parse_args(NEWS_SIGNATURE, args, kwargs, news.ticker, news.sector,
                        news.price_impact)) {
            return nullptr;
        }
        if (!news_checks(news)) return nullptr;
        return create(type, std::move(news));
    });
}

PyObject* News_reduce(PyObject* self) {
    const NewsArg& news = payload_of<NewsArg>(self);
    return values_tuple(news.ticker, news.sector, news.price_impact);
}

PyObject* News_rebuild(PyTypeObject* type, PyObject* values) {
    NewsArg news;
    if (!read_values("News", values, news.ticker, news.sector, news.price_impact) ||
        !news_checks(news)) {
        return nullptr;
    }
    return create(type, std::move(news));
}

PyObject* News_repr(PyObject* self) {
    return guarded([self] {
        const NewsArg& news = payload_of<NewsArg>(self);
        return to_python(text::message("News(ticker=", text::quoted_optional(news.ticker),
                                       ", sector=", text::quoted_optional(news.sector),
                                       ", price_impact=", news.price_impact, ")"));
    });
}

PyGetSetDef NEWS_GETSET[] = {
    read_only<&NewsArg::ticker>("ticker", "The instrument it names, or None."),
    read_only<&NewsArg::sector>("sector", "The sector it names, or None."),
    read_only<&NewsArg::price_impact>("price_impact", "The impulse, as a log-price shift."),
    {},
};

// ---- NewsImpact ----

constexpr Param IMPACT_PARAMS[] = {
    optional_param("ticker"), optional_param("sector"), optional_param("sectors"),
    optional_param("remaining_impact", 0.0), optional_param("reversal_phase", false)};
constexpr Signature IMPACT_SIGNATURE{"NewsImpact", IMPACT_PARAMS, 0};

// A list of sector keys, for `Args::extract`.
struct SectorList {
    std::optional<std::vector<std::string>>& out;

    bool from_python(PyObject* object, const char* function, const char* what) const {
        if (object == Py_None) {
            out.reset();
            return true;
        }
        std::vector<std::string> keys;
        if (!SequenceArg<std::string>{keys, "list of str"}.from_python(object, function, what)) {
            return false;
        }
        out = std::move(keys);
        return true;
    }
};

bool impact_checks(const NewsImpactArg& impact) {
    if (!finite_or_raise("remaining_impact", impact.remaining_impact)) return false;
    if (!sector_given_or_raise(impact.sector)) return false;
    for (const std::string& key : impact.sectors.value_or(std::vector<std::string>{})) {
        if (!sector_or_raise(key)) return false;
    }
    return true;
}

PyObject* NewsImpact_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        NewsImpactArg impact;
        if (!parse_args(IMPACT_SIGNATURE, args, kwargs, impact.ticker, impact.sector,
                        SectorList{impact.sectors}, impact.remaining_impact,
                        impact.reversal_phase)) {
            return nullptr;
        }
        if (!impact_checks(impact)) return nullptr;
        return create(type, std::move(impact));
    });
}

PyObject* NewsImpact_reduce(PyObject* self) {
    const NewsImpactArg& impact = payload_of<NewsImpactArg>(self);
    Ref sectors = Ref::borrow(Py_None);
    if (impact.sectors) sectors = Ref::steal(list_of(*impact.sectors));
    if (!sectors) return nullptr;
    return values_tuple(impact.ticker, impact.sector, Item{sectors.get()}, impact.remaining_impact,
                        impact.reversal_phase);
}

PyObject* NewsImpact_rebuild(PyTypeObject* type, PyObject* values) {
    NewsImpactArg impact;
    if (!read_values("NewsImpact", values, impact.ticker, impact.sector, SectorList{impact.sectors},
                     impact.remaining_impact, impact.reversal_phase) ||
        !impact_checks(impact)) {
        return nullptr;
    }
    return create(type, std::move(impact));
}

PyObject* NewsImpact_repr(PyObject* self) {
    return guarded([self] {
        const NewsImpactArg& impact = payload_of<NewsImpactArg>(self);
        return to_python(
            text::message("NewsImpact(ticker=", text::quoted_optional(impact.ticker),
                          ", remaining_impact=", impact.remaining_impact,
                          ", reversal_phase=", impact.reversal_phase ? "true" : "false", ")"));
    });
}

PyObject* NewsImpact_get_sectors(PyObject* self, void*) {
    return guarded([self]() -> PyObject* {
        const auto& sectors = payload_of<NewsImpactArg>(self).sectors;
        if (!sectors) return Py_NewRef(Py_None);
        return list_of(*sectors);
    });
}

PyGetSetDef IMPACT_GETSET[] = {
    read_only<&NewsImpactArg::ticker>("ticker", "The instrument it names, or None."),
    read_only<&NewsImpactArg::sector>("sector", "The sector it names, or None."),
    read_only("sectors", NewsImpact_get_sectors, "Further sectors it names (a new list), or None."),
    read_only<&NewsImpactArg::remaining_impact>("remaining_impact",
                                                "What is left of the story's impact."),
    read_only<&NewsImpactArg::reversal_phase>("reversal_phase",
                                              "Whether the story is being reversed."),
    {},
};

// ---- A call's inputs ----

// Every item of a list argument, as payloads of `cls`.
template <class Payload>
bool items_of(const Class<Payload>& cls, PyObject* list, const char* function, const char* what,
              std::vector<Payload>& out) {
    if (list == Py_None) return true;
    Ref items = sequence_items(list, function, what, text::message("list of ", cls.short_name()),
                               Accepts::list_or_tuple);
    return items && for_each_item(items, [&](std::size_t i, PyObject* item) {
               const Payload* payload = cls.of(item);
               if (!payload) {
                   std::string where = text::message(what, "[", i, "]");
                   wrong_type(function, where.c_str(), cls.short_name(), item);
                   return false;
               }
               out.push_back(*payload);
               return true;
           });
}

// {ticker: (buy, sell)}; the dict's items are taken first, so a caller's
// __float__ that edits the dict cannot disturb the walk.
bool flow_of(PyObject* dict, const char* function, std::vector<FlowArg>& out) {
    constexpr const char* WHAT = "order_flow";
    if (dict == Py_None) return true;
    if (!PyDict_Check(dict)) {
        wrong_type(function, WHAT, "dict", dict);
        return false;
    }
    Ref items = Ref::steal(PyDict_Items(dict));
    if (!items) return false;
    Py_ssize_t count = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        PyObject* key = PyTuple_GetItem(item, 0);
        PyObject* pair = PyTuple_GetItem(item, 1);
        FlowArg flow;
        if (!from_python(key, function, "order_flow key", flow.ticker)) return false;
        constexpr const char* PAIR = "a pair of floats (buy, sell)";
        Ref values =
            sequence_items(pair, function, "order_flow value", PAIR, Accepts::list_or_tuple);
        if (!values) return false;
        if (PyTuple_Size(values.get()) != 2) {
            wrong_type(function, "order_flow value", PAIR, pair);
            return false;
        }
        if (!from_python(PyTuple_GetItem(values.get(), 0), function, "order_flow value",
                         flow.buy) ||
            !from_python(PyTuple_GetItem(values.get(), 1), function, "order_flow value",
                         flow.sell)) {
            return false;
        }
        out.push_back(std::move(flow));
    }
    return true;
}

}  // namespace

std::optional<CallInputs> call_inputs(PyObject* news, PyObject* news_impacts, PyObject* order_flow,
                                      const char* function) {
    CallInputs inputs;
    if (!items_of(NEWS, news, function, "news", inputs.news) ||
        !items_of(NEWS_IMPACT, news_impacts, function, "news_impacts", inputs.news_impacts) ||
        !flow_of(order_flow, function, inputs.order_flow)) {
        return std::nullopt;
    }
    return inputs;
}

Class<NewsArg> NEWS{
    "corvane._core.News",
    {
        .doc = signature_doc(
            NEWS_SIGNATURE, "",
            "A news impulse arriving now. Its scope follows from what is set: a ticker names "
            "that instrument; a sector alone, every instrument of the sector; neither, the "
            "whole market (the broadest event, not an inert one).\n\n"
            "On each tick it is given to (every tick of a run_session), it adds "
            "price_impact / 390 to the mispricing s of what it reaches (price = fair value x "
            "exp(s)), times a weight: 1 for the named ticker, the model's news_sector_weight "
            "(0.5 in kx-v14) for a sector, news_market_weight (0.3) market-wide, and "
            "news_peer_weight (0.05, more in a crisis) for a named ticker's sector peers. "
            "Over a 390-tick session s moves by price_impact. The print follows through "
            "trades against the maker's quotes, over minutes: News(ticker=\"AAA\", "
            "price_impact=-0.5) in a one-tick session moves AAA's s by -0.00128 and its "
            "printed price not at all."),
        .new_object = News_new,
        .repr = News_repr,
        .getset = NEWS_GETSET,
        .reduce = News_reduce,
        .rebuild = News_rebuild,
    },
};

Class<NewsImpactArg> NEWS_IMPACT{
    "corvane._core.NewsImpact",
    {
        .doc = signature_doc(
            IMPACT_SIGNATURE, "",
            "The residue of a story still working through the tape: it amplifies volume "
            "and moves no price itself. On each tick it is given to, the volume of every "
            "instrument it names (ticker, sector or sectors) is multiplied by 1 + min(r / "
            "0.01, 9), r the sum of remaining_impact over the impacts naming it that are not "
            "in reversal_phase: 0.05 gives six times the volume, and more orders walking the "
            "maker's quotes."),
        .new_object = NewsImpact_new,
        .repr = NewsImpact_repr,
        .getset = IMPACT_GETSET,
        .reduce = NewsImpact_reduce,
        .rebuild = NewsImpact_rebuild,
    },
};

}  // namespace corvane::py
