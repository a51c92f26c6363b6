// Instrument and random_instruments: describing a universe to simulate.
#include "core/universe.hpp"

#include "python/args.hpp"
#include "python/bindings.hpp"
#include "python/errors.hpp"
#include "python/types.hpp"

namespace corvane::py {
namespace {

PyTypeObject* instrument_type = nullptr;

constexpr Param NEW_PARAMS[] = {
    {"ticker"},
    {"sector"},
    {"initial_price"},
    {"shares_outstanding"},
    optional_param("eps"),
    optional_param("book_value_per_share"),
    optional_param("revenue_growth"),
    optional_param("avg_volume"),
    optional_param("beta"),
    optional_param("short_interest"),
};
constexpr Signature NEW_SIGNATURE{"Instrument", NEW_PARAMS, 2};

bool read_f64(const Args& args, std::size_t i, double& out) {
    if (!args.given(i)) return true;
    auto value = args.f64(i);
    if (!value) return false;
    out = *value;
    return true;
}

bool read_optional_f64(const Args& args, std::size_t i, std::optional<double>& out) {
    auto value = args.optional_f64(i);
    if (!value) return false;
    out = *value;
    return true;
}

PyObject* Instrument_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(NEW_SIGNATURE, args, kwargs);
        if (!parsed) return nullptr;
        InstrumentInit init;
        auto ticker = parsed->str(0);
        if (!ticker) return nullptr;
        init.ticker = std::string(*ticker);
        auto sector = parsed->str(1);
        if (!sector) return nullptr;
        init.sector = std::string(*sector);
        if (!read_f64(*parsed, 2, init.initial_price) ||
            !read_f64(*parsed, 3, init.shares_outstanding) ||
            !read_optional_f64(*parsed, 4, init.eps) ||
            !read_optional_f64(*parsed, 5, init.book_value_per_share) ||
            !read_optional_f64(*parsed, 6, init.revenue_growth) ||
            !read_f64(*parsed, 7, init.avg_volume) || !read_f64(*parsed, 8, init.beta) ||
            !read_f64(*parsed, 9, init.short_interest)) {
            return nullptr;
        }
        if (!unwrap(check_instrument(init))) return nullptr;
        return create(type, std::move(init));
    });
}

const InstrumentInit& init_of(PyObject* self) { return payload_of<InstrumentInit>(self); }

template <std::string InstrumentInit::*field>
PyObject* get_str(PyObject* self, void*) {
    return to_python(std::string_view(init_of(self).*field));
}

template <double InstrumentInit::*field>
PyObject* get_f64(PyObject* self, void*) {
    return to_python(init_of(self).*field);
}

// Returns a new reference (None included).
template <std::optional<double> InstrumentInit::*field>
PyObject* get_optional_f64(PyObject* self, void*) {
    const auto& value = init_of(self).*field;
    if (!value) Py_RETURN_NONE;
    return to_python(*value);
}

PyObject* get_market_cap(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return to_python(init_of(self).market_cap()); });
}

PyObject* Instrument_repr(PyObject* self) {
    return guarded([&]() -> PyObject* { return to_python(to_text(init_of(self))); });
}

PyGetSetDef GETSET[] = {
    {"ticker", get_str<&InstrumentInit::ticker>, nullptr, "The instrument's name.", nullptr},
    {"sector", get_str<&InstrumentInit::sector>, nullptr, "A sector key (see sectors()).",
     nullptr},
    {"initial_price", get_f64<&InstrumentInit::initial_price>, nullptr, "Starting price.",
     nullptr},
    {"shares_outstanding", get_f64<&InstrumentInit::shares_outstanding>, nullptr,
     "Share count.", nullptr},
    {"eps", get_optional_f64<&InstrumentInit::eps>, nullptr, "Earnings per share, or None.",
     nullptr},
    {"book_value_per_share", get_optional_f64<&InstrumentInit::book_value_per_share>, nullptr,
     "Book value per share, or None.", nullptr},
    {"revenue_growth", get_optional_f64<&InstrumentInit::revenue_growth>, nullptr,
     "Revenue growth as a fraction, or None.", nullptr},
    {"avg_volume", get_f64<&InstrumentInit::avg_volume>, nullptr,
     "Average daily volume, in shares.", nullptr},
    {"beta", get_f64<&InstrumentInit::beta>, nullptr, "Market beta.", nullptr},
    {"short_interest", get_f64<&InstrumentInit::short_interest>, nullptr,
     "Shares sold short: a share count, not a fraction.", nullptr},
    {"market_cap", get_market_cap, nullptr,
     "initial_price * shares_outstanding. Never an input.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Instrument(ticker, sector, *, initial_price, shares_outstanding, eps=None, "
         "book_value_per_share=None, revenue_growth=None, avg_volume=1000000.0, beta=1.0, "
         "short_interest=0.0)\n--\n\n"
         "One listed instrument, as an engine's universe takes it.\n\n"
         "Prices are currency units; `avg_volume` and `short_interest` are SHARE COUNTS. "
         "Market capitalisation is derived (`market_cap`), never given. Fundamentals left as "
         "None value the instrument off book.")},
    {Py_tp_new, reinterpret_cast<void*>(Instrument_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<InstrumentInit>)},
    {Py_tp_repr, reinterpret_cast<void*>(Instrument_repr)},
    {Py_tp_getset, GETSET},
    {0, nullptr},
};

PyType_Spec SPEC = {"corvane._core.Instrument", basic_size<InstrumentInit>(), 0,
                    Py_TPFLAGS_DEFAULT, SLOTS};

constexpr Param RANDOM_PARAMS[] = {optional_param("n"), optional_param("seed")};
constexpr Signature RANDOM_SIGNATURE{"random_instruments", RANDOM_PARAMS, 1};

PyObject* random_instruments(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto parsed = Args::parse(RANDOM_SIGNATURE, args, nargs, kwnames);
        if (!parsed) return nullptr;
        std::uint64_t n = 108;
        if (parsed->given(0)) {
            auto given = parsed->u64(0);
            if (!given) return nullptr;
            n = *given;
        }
        std::uint32_t seed = 0;
        if (parsed->given(1)) {
            auto given = parsed->u32(1);
            if (!given) return nullptr;
            seed = *given;
        }
        if (!unwrap(check_universe_size(n))) return nullptr;
        auto universe = random_universe(static_cast<std::size_t>(n), seed);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(universe.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < universe.size(); ++i) {
            PyObject* instrument = new_instrument(universe[i].to_init());
            if (!instrument) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), instrument);
        }
        return list.release();
    });
}

}  // namespace

TypeEntry INSTRUMENT{&SPEC, &instrument_type};

PyMethodDef RANDOM_INSTRUMENTS_FUNCTION = {
    "random_instruments", as_method(random_instruments), METH_FASTCALL | METH_KEYWORDS,
    "random_instruments(n=108, *, seed=0)\n--\n\n"
    "A plausible universe of n instruments, cycling through the twelve sectors in table "
    "order, named AAA, AAB, ... .\n\n"
    "A pure function of (n, seed): it draws from a generator of its own, never from an "
    "engine's, so the same universe can be simulated under any market seed. The first n "
    "instruments of a larger universe with the same seed are this universe. n is 1 to 17576 "
    "(three-letter tickers); seed is an unsigned 32-bit integer."};

const InstrumentInit* instrument_of(PyObject* object) noexcept {
    if (!instrument_type || !is_instance(object, instrument_type)) return nullptr;
    return &payload_of<InstrumentInit>(object);
}

PyObject* new_instrument(InstrumentInit&& instrument) noexcept {
    return create(instrument_type, std::move(instrument));
}

}  // namespace corvane::py
