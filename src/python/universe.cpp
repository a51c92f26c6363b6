// Instrument and random_instruments: describing a universe to simulate.
#include "core/universe.hpp"

#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/pickling.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

constexpr Param NEW_PARAMS[] = {
    {"ticker"},
    {"sector"},
    {"initial_price"},
    {"shares_outstanding"},
    optional_param("eps"),
    optional_param("book_value_per_share"),
    optional_param("revenue_growth"),
    optional_param("avg_volume", 1000000.0),
    optional_param("beta", 1.0),
    optional_param("short_interest", 0.0),
};
constexpr Signature NEW_SIGNATURE{"Instrument", NEW_PARAMS, 2};

PyObject* Instrument_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        // What the caller leaves out keeps InstrumentInit's defaults, the signature's.
        InstrumentInit init;
        if (!parse_args(NEW_SIGNATURE, args, kwargs, init.ticker, init.sector, init.initial_price,
                        init.shares_outstanding, init.eps, init.book_value_per_share,
                        init.revenue_growth, init.avg_volume, init.beta, init.short_interest)) {
            return nullptr;
        }
        if (!unwrap(check_instrument(init))) return nullptr;
        return create(type, std::move(init));
    });
}

PyObject* Instrument_reduce(PyObject* self) {
    const InstrumentInit& init = payload_of<InstrumentInit>(self);
    return values_tuple(init.ticker, init.sector, init.initial_price, init.shares_outstanding,
                        init.eps, init.book_value_per_share, init.revenue_growth, init.avg_volume,
                        init.beta, init.short_interest);
}

PyObject* Instrument_rebuild(PyTypeObject* type, PyObject* values) {
    InstrumentInit init;
    if (!read_values("Instrument", values, init.ticker, init.sector, init.initial_price,
                     init.shares_outstanding, init.eps, init.book_value_per_share,
                     init.revenue_growth, init.avg_volume, init.beta, init.short_interest) ||
        !unwrap(check_instrument(init))) {
        return nullptr;
    }
    return create(type, std::move(init));
}

PyGetSetDef GETSET[] = {
    read_only<&InstrumentInit::ticker>("ticker", "The instrument's name."),
    read_only<&InstrumentInit::sector>("sector", "A sector key (see sectors())."),
    read_only<&InstrumentInit::initial_price>("initial_price", "Starting price."),
    read_only<&InstrumentInit::shares_outstanding>("shares_outstanding", "Share count."),
    read_only<&InstrumentInit::eps>("eps", "Earnings per share, or None."),
    read_only<&InstrumentInit::book_value_per_share>("book_value_per_share",
                                                     "Book value per share, or None."),
    read_only<&InstrumentInit::revenue_growth>("revenue_growth",
                                               "Revenue growth as a fraction, or None."),
    read_only<&InstrumentInit::avg_volume>("avg_volume", "Average daily volume, in shares."),
    read_only<&InstrumentInit::beta>("beta", "Market beta."),
    read_only<&InstrumentInit::short_interest>("short_interest",
                                               "Shares sold short: a share count, not a fraction."),
    read_only<&InstrumentInit::market_cap>("market_cap",
                                           "initial_price * shares_outstanding. Never an input."),
    {},
};

constexpr Param RANDOM_PARAMS[] = {optional_param("n", 108), optional_param("seed", 0)};
constexpr Signature RANDOM_SIGNATURE{"random_instruments", RANDOM_PARAMS, 1};

// Returns a new list of Instrument.
PyObject* random_instruments(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        std::uint64_t n{};
        std::uint32_t seed{};
        if (!parse_args(RANDOM_SIGNATURE, args, nargs, kwnames, n, seed)) return nullptr;
        if (!unwrap(check_universe_size(n))) return nullptr;
        auto universe = random_universe(static_cast<std::size_t>(n), seed);
        const ModuleState& state = state_of_module(module);
        return list_of(universe, [&state](const GeneratedInstrument& instrument) {
            return INSTRUMENT.create(state, instrument.to_init());
        });
    });
}

}  // namespace

Class<InstrumentInit> INSTRUMENT{
    "corvane._core.Instrument",
    {
        .doc = signature_doc(
            NEW_SIGNATURE, "",
            "One listed instrument, as an engine's universe takes it.\n\n"
            "Prices are currency units; `avg_volume` and `short_interest` are SHARE COUNTS. "
            "Market capitalisation is derived (`market_cap`), never given. Fundamentals left "
            "as None value the instrument off book."),
        .new_object = Instrument_new,
        .repr = text_repr<InstrumentInit>,
        .getset = GETSET,
        .reduce = Instrument_reduce,
        .rebuild = Instrument_rebuild,
    },
};

PyMethodDef RANDOM_INSTRUMENTS_FUNCTION = keywords_method(
    "random_instruments", random_instruments,
    signature_doc(
        RANDOM_SIGNATURE, "",
        "A plausible universe of n instruments, cycling through the twelve sectors in table "
        "order, named AAA, AAB, ... .\n\n"
        "A pure function of (n, seed): it draws from a generator of its own, never from an "
        "engine's, so the same universe can be simulated under any market seed. The first n "
        "instruments of a larger universe with the same seed are this universe. n is 1 to 17576 "
        "(three-letter tickers); seed is an unsigned 32-bit integer."));

}  // namespace corvane::py
