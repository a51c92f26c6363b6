#include "core/digest.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "core/engine.hpp"
#include "core/float_environment.hpp"
#include "core/params.hpp"
#include "core/sectors.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/universe.hpp"

namespace corvane {
namespace {

// What one instrument costs while the universe is built and run, with room
// for the engine's per-instrument vectors and scratch.
constexpr std::size_t BYTES_PER_INSTRUMENT = sizeof(GeneratedInstrument) + 2 * sizeof(TickCompany) +
                                             sizeof(AttributionRow) + sizeof(ComponentRow) +
                                             sizeof(InstrumentWork) + 8 * sizeof(double);

Result<Engine> build_engine(const FixedSimulation& run, const ModelParams& model) {
    if (run.size > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) /
                       BYTES_PER_INSTRUMENT) {
        throw std::bad_alloc();
    }
    std::vector<GeneratedInstrument> universe = random_universe(run.size, run.universe_seed);
    std::vector<TickCompany> roster;
    roster.reserve(universe.size());
    for (std::size_t i = 0; i < universe.size(); ++i) {
        Result<TickCompany> record = universe[i].to_init().to_tick_company(i);
        if (!record) return Error{record.error()};
        roster.push_back(std::move(*record));
    }
    std::vector<std::string> keys;
    keys.reserve(sectors::COUNT);
    for (const SectorSpec& spec : sectors::TABLE) keys.emplace_back(spec.key);
    return Engine::with_params(run.seed, std::move(roster), create_initial_economy_state(),
                               CentralBank{}, std::move(keys), model);
}

}  // namespace

Result<std::string> fixed_simulation_digest(const FixedSimulation& run, std::string_view preset,
                                            const std::function<bool()>& keep_going) {
    IeeeEnvironmentScope ieee;
    std::optional<ModelParams> model = ModelParams::preset(preset);
    if (!model) return Error{text::message("unknown preset ", text::quoted(preset))};
    Result<Engine> built = build_engine(run, *model);
    if (!built) return Error{built.error()};
    Engine& engine = *built;

    // Whole days: open, one session with no inputs, then the close and macro step.
    SessionRequest session;
    session.tick = TickInput{};
    session.ticks = run.ticks;
    session.keep_going = keep_going;
    for (std::uint64_t day = 1; day <= run.days; ++day) {
        if (keep_going && !keep_going()) return Error{std::string(DIGEST_INTERRUPTED)};
        engine.open_market();
        Result<SessionOutcome> ran = engine.run_session(session);
        if (!ran) return Error{ran.error()};
        if (ran->interrupted) return Error{std::string(DIGEST_INTERRUPTED)};
        engine.close_day(static_cast<std::uint32_t>(day));
    }

    // Prices in roster order, then five macro values in the economy's units.
    Sha256 hash;
    const EconomyState& economy = engine.economy();
    std::vector<double> values;
    values.reserve(engine.size() + 5);
    for (const TradingState& c : engine.trading()) values.push_back(c.price);
    for (double value : {economy.vix, economy.federal_funds_rate, economy.inflation_rate,
                         economy.corporate_bond_yield, economy.fear_greed_index}) {
        values.push_back(value);
    }
    for (double value : values) {
        if (!std::isfinite(value)) {
            return Error{text::message("the fixed simulation under preset ", text::quoted(preset),
                                       " produced a non-finite value")};
        }
        hash.update_big_endian(value);
    }
    return hash.finish_hex();
}

}  // namespace corvane
