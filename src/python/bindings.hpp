// What each binding unit contributes to the module, collected here so the
// module's registration table can list everything in one place.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/engine_batch.hpp"
#include "core/engine_state.hpp"
#include "core/macro.hpp"
#include "core/order_book.hpp"
#include "core/order_log.hpp"
#include "core/params.hpp"
#include "core/sectors.hpp"
#include "core/simulation.hpp"
#include "core/universe.hpp"
#include "python/args.hpp"
#include "python/types.hpp"

namespace corvane::py {

// A class that other units create or take is exported whole, as its Class;
// one only its own unit uses is exported as its registration entry.

// generator.cpp
extern TypeEntry& GAME_RNG;

// functions.cpp
extern PyMethodDef VERSION_FUNCTION;
extern PyMethodDef CHECK_RATE_FUNCTION;
extern PyMethodDef SECTORS_FUNCTION;
extern PyMethodDef MARKET_STATUS_FUNCTION;
extern PyMethodDef SECTOR_VOLATILITY_FUNCTION;
extern PyMethodDef SECTOR_DAILY_SIGMA_FUNCTION;

// digest.cpp
extern PyMethodDef FIXED_SIMULATION_DIGEST_FUNCTION;

// book.cpp
extern Class<OrderBook> ORDER_BOOK;
extern TypeEntry& FILL;
extern TypeEntry& MATCH_RESULT;
extern TypeEntry& PRICE_LEVEL;
extern TypeEntry& SWEEP_COST;

// params.cpp
extern Class<ModelParams> MODEL_PARAMS;
extern PyMethodDef MODEL_PRESET_FUNCTION;
// New reference: "name" (the fingerprint) and then the canonical pairs.
PyObject* model_dict(const ModelParams& model);

// valuation.cpp
extern TypeEntry& FAIR_VALUE_TYPE;
extern TypeEntry& MISPRICING_STATE;
extern PyMethodDef FAIR_VALUE_FUNCTION;
extern PyMethodDef STEP_MISPRICING_DAILY_FUNCTION;
extern PyMethodDef APPLY_MISPRICING_FUNCTION;
extern PyMethodDef CHARACTERISTIC_ROOT_MODULI_FUNCTION;
extern PyMethodDef CROWD_ADJUSTED_ROOT_MODULI_FUNCTION;
extern PyMethodDef IMPULSE_RESPONSE_FUNCTION;
extern PyMethodDef STATIONARY_SIGMA_FUNCTION;

// universe.cpp
// Its `create` does not check: pass only descriptions that passed
// check_instrument.
extern Class<InstrumentInit> INSTRUMENT;
extern PyMethodDef RANDOM_INSTRUMENTS_FUNCTION;

// The core's default clock: every signature's default time and volatility.
inline constexpr Clock DEFAULT_CLOCK{};

// macro.cpp
extern Class<Macro> MACRO;
// The macro fields as keywords, in Macro(...)'s order, each None (left as
// it is), as Engine.pin_macro takes them.
inline constexpr Param MACRO_FIELD_PARAMS[] = {
    optional_param("vix"),
    optional_param("federal_funds_rate"),
    optional_param("corporate_bond_yield"),
    optional_param("inflation_rate"),
    optional_param("qe_pe_boost"),
    optional_param("fear_greed_index"),
    optional_param("cycle"),
};

// news.cpp
// News as dicts of ticker, sector and price_impact: a caller's, as logged,
// and the engine's pending stories, as saved (its "ticker" is then the
// company id the engine uses).
template <class News>
PyObject* news_list(const std::vector<News>& news) {
    return list_of(news, [](const News& item) {
        return DictBuilder()
            .add("ticker", item.ticker)
            .add("sector", item.sector)
            .add("price_impact", item.price_impact)
            .finish();
    });
}
extern Class<NewsArg> NEWS;
extern Class<NewsImpactArg> NEWS_IMPACT;
// A call's news, news impacts and order flow (each may be None), converted;
// nothing with an error set.
std::optional<CallInputs> call_inputs(PyObject* news, PyObject* news_impacts, PyObject* order_flow,
                                      const char* function);

// order_log.cpp
// New reference: one dict per entry.
PyObject* order_log_list(const OrderLog& log);

// snapshot.cpp
// New reference: the state as the plain dict callers save.
PyObject* state_dict(const EngineState& state);
// A saved dict read and checked in full against `simulation`; nothing with
// an error set.
std::optional<StatePatch> state_patch(PyObject* snapshot, const Simulation& simulation);

// tables.cpp: new ArrowStreams of `state`'s module, or null with an error set.
PyObject* bars_table(const ModuleState& state, const Simulation& simulation, std::uint32_t label,
                     std::optional<std::uint64_t> minutes, std::optional<std::string_view> grain);
PyObject* truth_table(const ModuleState& state, const Simulation& simulation, std::uint32_t label);
PyObject* macro_table(const ModuleState& state, const Simulation& simulation);
PyObject* book_table(const ModuleState& state, const Simulation& simulation);

// engine.cpp
extern TypeEntry& ENGINE;
extern TypeEntry& TICK_RESULT;
extern PyMethodDef COMPARE_FUNCTION;
// A model argument: None, a preset name or a ModelParams; nothing with
// ValidationError set.
std::optional<ModelParams> resolve_model(PyObject* model);
// A universe argument: a list or tuple of Instrument.
struct UniverseArg {
    std::vector<InstrumentInit>& out;
    bool from_python(PyObject* object, const char* function, const char* what) const;
};
// The reads every engine-like object refuses while another call runs on it.
inline constexpr const char* ENGINE_BUSY = "engine is busy: another call on it is still running";
// An engine-like object's busy flag, and a count of the calls that may have
// changed it: a desk tells by the count whether the books it read at the
// end of its last step still stand.
struct BusyFlag {
    bool busy = false;
    std::uint64_t changes = 0;
};
// The flag held for one call: set while held, so that any other call on the
// object (from another thread, or from a signal handler run while the lock
// is released) is refused rather than interleaved. Refused, it holds
// nothing and the busy RuntimeError is set. A call that only reads
// (`changes` false) leaves the count as it is.
class BusyHold {
public:
    BusyHold() noexcept = default;
    explicit BusyHold(BusyFlag& flag, bool changes = true) noexcept {
        if (flag.busy) {
            PyErr_SetString(PyExc_RuntimeError, ENGINE_BUSY);
            return;
        }
        flag.busy = true;
        if (changes) ++flag.changes;
        flag_ = &flag;
    }
    BusyHold(BusyHold&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    BusyHold& operator=(BusyHold&& other) noexcept {
        if (this != &other) {
            release();
            flag_ = std::exchange(other.flag_, nullptr);
        }
        return *this;
    }
    ~BusyHold() { release(); }

    explicit operator bool() const noexcept { return flag_ != nullptr; }
    // The calls that may have changed the object, this one included.
    std::uint64_t changes() const noexcept { return flag_ ? flag_->changes : 0; }

private:
    void release() noexcept {
        if (flag_) flag_->busy = false;
        flag_ = nullptr;
    }
    BusyFlag* flag_ = nullptr;
};
// An Engine lent to a trading desk for as long as `hold` is held: its
// simulation, or null when `object` is no Engine (no error set) or is busy
// (RuntimeError set).
Simulation* hold_engine(PyObject* object, BusyHold& hold, bool changes = true);

// batch.cpp
extern TypeEntry& ENGINE_BATCH;
// As hold_engine, for an EngineBatch.
EngineBatch* hold_batch(PyObject* object, BusyHold& hold, bool changes = true);
// Any C-contiguous buffer of float64 (or of bytes, read as little-endian
// float64; or, with `float32_too`, of float32 instead of bytes), copied as
// float64; false with an error set naming `what`.
bool f64_buffer_of(PyObject* object, const char* function, const char* what,
                   std::vector<double>& out, bool float32_too = false);

// desk.cpp
extern TypeEntry& TRADING_DESK;
// arrow.cpp (tables are built through arrow.hpp)
extern TypeEntry& ARROW_STREAM;
extern PyMethodDef FILLS_STREAM_FUNCTION;

// The sector for a caller's key, or null with ValidationError set naming the
// valid keys. The one lookup every sector argument goes through.
const SectorSpec* sector_or_raise(std::string_view key);

// The project's version, written once in CMakeLists.txt (the package's
// metadata reads it from there too).
inline constexpr const char* VERSION = CORVANE_VERSION;

}  // namespace corvane::py
