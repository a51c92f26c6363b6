#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/digest.hpp"
#include "core/float_environment.hpp"
#include "core/simulation.hpp"
#include "engine_fixture.hpp"
#include "golden.hpp"

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace corvane {
namespace {

using testing::make_engine;
using testing::opened;
using testing::session_at;

SessionOutcome run(Engine& engine, const SessionRequest& request, SessionBuffer& buffer) {
    auto outcome = engine.run_session(request, buffer);
    EXPECT_TRUE(outcome.ok()) << (outcome ? "" : outcome.error());
    return outcome ? *outcome : SessionOutcome{};
}

std::vector<double> row(const SessionBuffer& buffer, std::uint64_t tick) {
    auto values = buffer.row(buffer.price, tick);
    return {values.begin(), values.end()};
}

TEST(SessionBuffer, KeepsRowsBeyondAShorterSessionUntouched) {
    Engine engine = opened(make_engine(4));
    SessionBuffer buffer;
    SessionOutcome three = run(engine, session_at(10, 0, 3), buffer);
    EXPECT_EQ(three.tick, 3u);
    EXPECT_EQ(buffer.ticks_written, 3u);
    EXPECT_EQ(buffer.instruments, 4u);
    std::vector<double> second_row = row(buffer, 1);

    SessionOutcome one = run(engine, session_at(10, 3, 1), buffer);
    EXPECT_EQ(one.tick, 1u);
    EXPECT_EQ(one.draws, 1u + 12u + 6u * 4u);
    EXPECT_EQ(buffer.ticks_written, 1u);
    EXPECT_EQ(row(buffer, 0), testing::prices(engine));
    EXPECT_EQ(row(buffer, 1), second_row);
    EXPECT_EQ(buffer.price.size(), 12u);
}

TEST(SessionRun, AnInterruptionContinuesAsIfUnbrokenAndA1955StartRunsIntoClosedHours) {
    // 2000 instruments make a slice 32 ticks long.
    Engine whole = opened(make_engine(2000)), broken = opened(make_engine(2000));
    SessionBuffer whole_buffer, broken_buffer;
    run(whole, session_at(9, 30, 100), whole_buffer);

    int asked = 0;
    SessionRequest first = session_at(9, 30, 100);
    first.keep_going = [&asked] { return ++asked < 2; };
    SessionOutcome stopped = run(broken, first, broken_buffer);
    EXPECT_TRUE(stopped.interrupted);
    EXPECT_EQ(stopped.tick, 64u);
    EXPECT_EQ(broken_buffer.ticks_written, 64u);
    EXPECT_EQ(row(broken_buffer, 63), row(whole_buffer, 63));

    SessionOutcome rest = run(broken, session_at(10, 34, 36), broken_buffer);
    EXPECT_FALSE(rest.interrupted);
    EXPECT_EQ(testing::prices(broken), testing::prices(whole));
    EXPECT_EQ(broken.draws(), whole.draws());

    // A session from 19:55 runs on into closed hours.
    Engine engine = opened(make_engine(5));
    SessionBuffer buffer;
    SessionOutcome outcome = run(engine, session_at(19, 55, 10), buffer);
    EXPECT_EQ(outcome.draws, 5u * (1u + 12u + 2u * 5u));
    for (std::uint64_t t = 5; t < 10; ++t) {
        EXPECT_EQ(row(buffer, t), row(buffer, 4));
        for (const auto& matrix : buffer.components) {
            for (double value : buffer.row(matrix, t)) EXPECT_EQ(value, 0.0);
        }
    }
    auto noise = buffer.row(buffer.components[slot(Component::random_noise)], 4);
    EXPECT_TRUE(std::ranges::any_of(noise, [](double x) { return x != 0.0; }));
}

TEST(SessionRun, AStopOnTheThirdTickRunsNoClose) {
    // Find an instrument whose third price leaves the range of the first two.
    Engine twin = opened(make_engine(20));
    SessionBuffer path;
    run(twin, session_at(10, 0, 3), path);
    std::optional<StopCondition> stop;
    for (std::size_t i = 0; i < 20 && !stop; ++i) {
        double p0 = row(path, 0)[i], p1 = row(path, 1)[i], p2 = row(path, 2)[i];
        if (p2 > std::max(p0, p1)) stop = StopCondition{i, {}, std::max(p0, p1)};
        if (p2 < std::min(p0, p1)) stop = StopCondition{i, std::min(p0, p1), {}};
    }
    ASSERT_TRUE(stop);

    Engine engine = opened(make_engine(20));
    auto before = engine.column(PriceField::garch_variance);
    SessionRequest request = session_at(10, 0, 390);
    request.stop = stop;
    request.close_at_end = true;
    std::vector<std::optional<double>> innovations(20);
    std::vector<double> bases(20, 0.0004);
    request.close = {innovations, bases, false};
    SessionBuffer buffer;
    SessionOutcome outcome = run(engine, request, buffer);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.tick, 2u);
    EXPECT_EQ(buffer.ticks_written, 3u);
    EXPECT_EQ(engine.column(PriceField::garch_variance), before);
    EXPECT_FALSE(engine.roster()[0].last_daily_return);

    // Without the stop the session closes: the roll sets the day's return.
    Engine closing = opened(make_engine(20));
    request.stop.reset();
    request.ticks = 3;
    run(closing, request, buffer);
    EXPECT_TRUE(closing.roster()[0].last_daily_return);
    EXPECT_NE(closing.column(PriceField::garch_variance), before);
}

TEST(SessionRun, RefusesCloseInputsThatDoNotMatchTheRosterBeforeTicking) {
    Engine engine = opened(make_engine(3));
    std::vector<std::optional<double>> innovations(2);
    std::vector<double> bases(3, 0.0004);
    SessionRequest request = session_at(10, 0, 5);
    request.close_at_end = true;
    request.close = {innovations, bases, false};
    SessionBuffer buffer;
    auto refused = engine.run_session(request, buffer);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(),
              "close request has 2 innovations and 3 sector base variances for 3 companies");
    EXPECT_EQ(engine.draws().market, 0u);
    EXPECT_EQ(buffer.ticks_written, 0u);

    RngState streams = engine.rng_state();
    Status close = engine.close_market({innovations, bases, false});
    ASSERT_FALSE(close.ok());
    EXPECT_EQ(engine.rng_state(), streams);
    EXPECT_FALSE(engine.roster()[0].last_daily_return);
}

// The buffers follow the ticks that ran, a slice ahead, whatever was asked;
// a size that could never fit is told before anything is allocated.
TEST(SessionBufferSize, ASessionHoldsOnlyAboutTheSlicesItRan) {
    Engine engine = opened(make_engine(2));
    SessionBuffer buffer;
    SessionRequest request = session_at(10, 0, std::uint64_t{1} << 62);
    int asked = 0;
    request.keep_going = [&asked] { return ++asked < 3; };
    SessionOutcome ran = run(engine, request, buffer);
    const std::uint64_t slice = session_slice_ticks(2);
    EXPECT_TRUE(ran.interrupted);
    EXPECT_EQ(buffer.ticks_written, 3 * slice);
    EXPECT_LE(buffer.rows_held(2), 4 * slice);
    EXPECT_EQ(buffer.row(buffer.price, 3 * slice - 1)[1], engine.trading()[1].price);
    EXPECT_THROW(SessionBuffer::check_fits(request.ticks, 2), std::bad_alloc);
}

TEST(DayOpen, EndogenousNewsDrawsOnlyWhenItCanHappen) {
    Engine silent = make_engine(8, testing::quiet_model());
    RngState streams = silent.rng_state();
    silent.open_market();
    EXPECT_EQ(silent.rng_state(), streams);
    EXPECT_TRUE(silent.pending_news().empty());

    ModelParams always;
    always.endogenous_news_intensity = 1.0;
    Engine busy = make_engine(8, always);
    for (int day = 0; day < 2; ++day) {
        busy.open_market();
        ASSERT_EQ(busy.pending_news().size(), 8u);
        for (std::size_t i = 0; i < 8; ++i) {
            EXPECT_EQ(busy.pending_news()[i].ticker, busy.roster()[i].company_id);
            EXPECT_EQ(busy.pending_news()[i].sector, busy.roster()[i].sector);
        }
    }
}

// One instrument, round GARCH coefficients, and a close with a known innovation.
double garch_after_close(double cascade_components, double innovation) {
    ModelParams model;
    model.garch_alpha = 0.1;
    model.garch_beta = 0.8;
    model.garch_gamma = 0.1;
    model.garch_omega = 1e-6;
    model.garch_vix_coupling = 0.0;
    model.garch_cascade_components = cascade_components;
    model.garch_cascade_weight = 1.0;
    Engine engine = make_engine({testing::plain_company("A", "technology", 0)}, model);
    EXPECT_TRUE(engine.set_column(PriceField::garch_variance, std::vector<double>{0.0004}).ok());
    std::vector<std::optional<double>> innovations{innovation};
    std::vector<double> bases{0.0004};
    EXPECT_TRUE(engine.close_market({innovations, bases, false}).ok());
    return engine.roster()[0].garch_variance;
}

TEST(DayClose, SingleAndCascadeGarch) {
    // 0.8 x 0.0004 + 0.1 x 0.02^2 + 1e-6, plus 0.1 x 0.02^2 on a loss.
    EXPECT_NEAR(garch_after_close(0.0, 0.02), 0.000361, 1e-15);
    EXPECT_NEAR(garch_after_close(0.0, -0.02), 0.000401, 1e-15);
    EXPECT_NEAR(garch_after_close(-3.0, -0.02), 0.000401, 1e-15);
    // Clamped to five times the base variance.
    EXPECT_NEAR(garch_after_close(0.0, 1.0), 0.002, 1e-15);

    // Three components with weight 1: the mean of the three, the rest untouched.
    ModelParams model;
    model.garch_cascade_components = 3.0;
    Engine engine = opened(make_engine(2, model));
    (void)engine.run_session(session_at(10, 0, 30)).ok();
    auto before = engine.roster()[1].variance_components;
    engine.close_day(1);
    const CompanyDetails& c = engine.roster()[1];
    double mean =
        ((c.variance_components[0] + c.variance_components[1]) + c.variance_components[2]) / 3.0;
    EXPECT_DOUBLE_EQ(c.garch_variance, mean);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NE(c.variance_components[k], before[k]);
    for (std::size_t k = 3; k < VARIANCE_COMPONENTS; ++k)
        EXPECT_EQ(c.variance_components[k], before[k]);
}

TEST(DayClose, JumpsShiftMispricingNotPricesAndNoVolumeLeavesTheAverage) {
    ModelParams model = testing::quiet_model();
    model.jump_intensity_idio = 1.0;
    model.jump_vix_coupling = 0.0;
    model.jump_sigma_idio = 0.05;
    Engine engine = opened(make_engine(6, model));
    (void)engine.run_session(session_at(10, 0, 20)).ok();
    auto prices = testing::prices(engine);
    auto s0 = engine.column(PriceField::mispricing_s);
    engine.close_day(1);
    EXPECT_EQ(testing::prices(engine), prices);
    auto s1 = engine.column(PriceField::mispricing_s);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NE(s1[i], s0[i]);
        EXPECT_EQ(engine.attribution()[i][slot(Component::jump)], s1[i] - s0[i]);
    }
    // The next day's first tick prices the shifted mispricing.
    engine.open_market();
    (void)engine.tick(testing::at(8, 0));
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(engine.column(PriceField::mispricing_s)[i], s1[i], 0.02);
        EXPECT_NE(engine.trading()[i].price, prices[i]);
    }

    // A day without volume leaves the average alone.
    engine = opened(make_engine(3));
    (void)engine.tick(testing::at(10, 0));
    auto average = engine.column(PriceField::avg_volume);
    ASSERT_TRUE(engine.set_column(PriceField::volume, std::vector<double>{0.0, 0.0, 2030.0}).ok());
    std::vector<std::optional<double>> innovations(3);
    std::vector<double> bases(3, 0.0004);
    ASSERT_TRUE(engine.close_market({innovations, bases, true}).ok());
    // The third rolls two twenty-firsts of the way to 2030 / 2.03 = 1000 shares
    // (recorded once); the two that traded nothing keep theirs.
    average[2] = 0x1.16de4cp+22;
    EXPECT_EQ(engine.column(PriceField::avg_volume), average);
}

TEST(DayRestore, RefusesTheFirstWrongLengthAndChangesNothing) {
    Engine engine = opened(make_engine(2));
    (void)engine.tick(testing::at(10, 0));
    auto anchors = std::vector<double>(engine.tick_anchor().begin(), engine.tick_anchor().end());
    std::vector<double> attribution(17), components(16), fundamental(2), anchor(2);
    Status refused = engine.restore_day_state(attribution, components, fundamental, anchor);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "attribution has 17 values, expected 18");
    attribution.resize(18);
    fundamental.resize(1);
    refused = engine.restore_day_state(attribution, components, fundamental, anchor);
    EXPECT_EQ(refused.error(), "tick_fundamental has 1 values, expected 2");
    EXPECT_EQ(std::vector<double>(engine.tick_anchor().begin(), engine.tick_anchor().end()),
              anchors);

    fundamental = {7.0, 8.0};
    anchor = {1.0, 2.0};
    for (std::size_t k = 0; k < 18; ++k) attribution[k] = static_cast<double>(k);
    ASSERT_TRUE(engine.restore_day_state(attribution, components, fundamental, anchor).ok());
    EXPECT_EQ(engine.attribution()[1][slot(Component::jump)], 17.0);
    EXPECT_EQ(engine.tick_fundamental()[1], 8.0);
    EXPECT_EQ(engine.tick_anchor()[0], 1.0);
}

TEST(Digest, IsPinnedForOneSmallSimulationAndSlicingIsInvisible) {
    auto digest = fixed_simulation_digest({20, 0, 0, 3, 390}, "kx-v14");
    ASSERT_TRUE(digest.ok());
    EXPECT_GOLDEN("small_simulation_digest", *digest);

    // Asking whether to continue slices sessions invisibly.
    // With 100 instruments a slice is 655 ticks: 1000 ticks a day cross one
    // slice boundary and run past 20:00.
    const FixedSimulation run{100, 3, 4, 2, 1000};
    int asked = 0;
    auto sliced = fixed_simulation_digest(run, "kx-v14", [&asked] { return ++asked > 0; });
    ASSERT_TRUE(sliced.ok());
    EXPECT_EQ(*sliced, fixed_simulation_digest(run, "kx-v14").value());
    EXPECT_EQ(asked, 2 * (1 + 1));

    int budget = 3;
    auto stopped = fixed_simulation_digest(run, "kx-v14", [&budget] { return --budget > 0; });
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error(), DIGEST_INTERRUPTED);
}

std::vector<InstrumentInit> inits(std::size_t n, std::uint32_t seed) {
    std::vector<InstrumentInit> universe;
    for (const GeneratedInstrument& g : random_universe(n, seed)) universe.push_back(g.to_init());
    return universe;
}

// Bit for bit, as doubles compare NaN unequal to itself.
bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// A session's last row is the state its last tick left, cell for cell, in
// every matrix: for a small session, whose rows stay in cache, and for one
// of 2048 instruments, whose rows go around the caches.
TEST(SessionRows, TheLastRowIsTheStateItWasReadFromWhetherOrNotItBypassesTheCaches) {
    for (std::size_t n : {std::size_t{8}, std::size_t{2048}}) {
        Engine engine = opened(make_engine(n));
        SessionBuffer buffer;
        const std::uint64_t ticks = 24;
        run(engine, session_at(10, 0, ticks), buffer);
        const std::uint64_t last = ticks - 1;
        std::size_t differ = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const TradingState& c = engine.trading()[i];
            const double expected[] = {
                c.price, c.volume,
                c.mispricing_s.value_or(std::numeric_limits<double>::quiet_NaN()),
                engine.tick_fundamental()[i], engine.tick_anchor()[i]};
            const std::vector<double>* matrices[] = {&buffer.price, &buffer.volume,
                                                     &buffer.mispricing_s, &buffer.tick_fundamental,
                                                     &buffer.tick_anchor};
            for (std::size_t m = 0; m < 5; ++m)
                differ += !same_bits(buffer.row(*matrices[m], last)[i], expected[m]);
            for (std::size_t k = 0; k < TICK_COMPONENTS; ++k)
                differ += !same_bits(buffer.row(buffer.components[k], last)[i],
                                     engine.tick_components()[i][k]);
        }
        EXPECT_EQ(differ, 0u) << n << " instruments";
    }
}

// A recorded day shares its columns with the day it was; the days after it
// reuse only storage that nothing holds, so the recording reads as it did.
TEST(DayColumns, ARecordedDayReadsAsItWasAfterTheDaysThatFollow) {
    Simulation sim = Simulation::create(5, inits(30, 1), std::nullopt, ModelParams{}).value();
    ASSERT_TRUE(sim.run_days(1, Clock{}, 390, true, 1).ok());
    const RecordedDay& day = sim.recorded_days()[0];
    std::vector<std::vector<double>> kept;
    for (const DayColumn& column : day.columns) kept.push_back(*column);
    for (int d = 0; d < 3; ++d) ASSERT_TRUE(sim.run_days(1, Clock{}, 390, false, 1).ok());
    for (std::size_t c = 0; c < RECORDING_COLUMNS; ++c) {
        const std::vector<double>& now = *sim.recorded_days()[0].columns[c];
        EXPECT_TRUE(now.size() == kept[c].size() &&
                    std::equal(now.begin(), now.end(), kept[c].begin(), same_bits))
            << "column " << c;
    }
}

// Each refused call carries good parts the simulation would act on were its
// check missing or made after the change: nothing of them may land.
TEST(Simulation, ARefusalChangesNothingAndAnInterruptedDayIsReported) {
    Simulation sim = Simulation::create(5, inits(3, 1), std::nullopt, ModelParams{}).value();
    ASSERT_TRUE(sim.run_session(Clock{}, 3, false, {}).ok());
    std::string before = state_digest(sim.state());
    std::size_t logged = sim.log().size();

    MacroPinArgs pin;
    pin.vix = 40.0;
    pin.fear_greed_index = 10.0;
    pin.cycle = "Peak";
    EXPECT_FALSE(sim.pin_macro(pin).ok());
    CallInputs flow;
    flow.order_flow = {{"AAA", 5.0, 1.0}, {"AAB", 1.0, -1.0}};
    EXPECT_FALSE(sim.tick(Clock{}, flow).ok());
    CallInputs news;
    news.news = {{"AAA", std::nullopt, 0.05}, {"QQQ", std::nullopt, 0.05}};
    EXPECT_FALSE(sim.run_session(Clock{}, 2, true, news).ok());
    EXPECT_FALSE(sim.delist(3).ok());
    EXPECT_EQ(state_digest(sim.state()), before);
    EXPECT_EQ(sim.log().size(), logged);

    // 2048 instruments: the session asks whether to go on every 32 ticks.
    // Stopped 32 ticks into the second of three unrecorded days (the fourth
    // question), the run is where the same minutes run session by session
    // leave a twin, and that day's session reads as the twin's.
    Simulation big = Simulation::create(5, inits(2048, 1), std::nullopt, ModelParams{}).value();
    int asked = 0;
    auto ran = big.run_days(3, Clock{}, 96, false, 1, [&asked] { return ++asked < 4; });
    ASSERT_TRUE(ran.ok());
    EXPECT_TRUE(ran->interrupted);
    Simulation twin = Simulation::create(5, inits(2048, 1), std::nullopt, ModelParams{}).value();
    ASSERT_TRUE(twin.run_session(Clock{}, 96, false, {}).ok());
    twin.close_market();
    ASSERT_TRUE(twin.run_session(Clock{}, 32, false, {}).ok());
    EXPECT_EQ(state_digest(big.state()), state_digest(twin.state()));
    const SessionBuffer& seen = big.session();
    const SessionBuffer& truth = twin.session();
    ASSERT_EQ(seen.ticks_written, 32u);
    ASSERT_EQ(truth.ticks_written, 32u);
    const std::size_t cells = 32 * 2048;
    auto same = [cells](const std::vector<double>& a, const std::vector<double>& b) {
        return std::equal(a.begin(), a.begin() + cells, b.begin(), [](double x, double y) {
            return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
        });
    };
    EXPECT_TRUE(same(seen.price, truth.price) && same(seen.volume, truth.volume) &&
                same(seen.mispricing_s, truth.mispricing_s));
    for (std::size_t k = 0; k < TICK_COMPONENTS; ++k)
        EXPECT_TRUE(same(seen.components[k], truth.components[k])) << "component " << k;
}

// Options no shipped preset switches on, each run two short days in a
// stressed contraction (the VIX past every crisis threshold) and pinned by
// the head of the state digest, recorded once; the first row is none set.
TEST(OffPresetOptions, EachPathIsPinned) {
    struct Case {
        std::vector<std::pair<const char*, double>> set;
        const char* digest;
    };
    const Case cases[] = {
        {{}, "abc47130e6e35c51"},
        {{{"sector_loading_beta_slope", 0.5}}, "5115fe925342fea3"},
        {{{"crisis_blend_variance_damp", 0.5}}, "eecfdcbe071e32d7"},
        {{{"idio_sigma_beta_exponent", 0.7}}, "1023047c5669b782"},
        {{{"fair_value_book_floor", 3.0}}, "7887190796e94855"},
        {{{"market_vol_slow_weight", 0.4}}, "a35be54eb3207e07"},
        {{{"market_vol_slow_weight", 0.4}, {"market_vol_slow_persistence", 0.9}},
         "7bc4b03866fb9d1f"},
        {{{"market_vol_slow_weight", 0.4},
          {"market_vol_slow_persistence", 0.9},
          {"market_vol_slow_gain", 0.3}},
         "e49c9e2b2d982963"},
        {{{"market_vol_slow_weight", 0.4}, {"market_vol_slow_vix_damp", 0.5}}, "57554ecd1ffa8b01"},
        {{{"volume_idio_persistence", 0.8}}, "e920d99d5dc6bc95"},
        {{{"volume_idio_sigma", 0.2}}, "d0c72b16a3e548fe"},
        {{{"volume_idio_variance_gain", 0.5}}, "370308e7b0022f7d"},
        {{{"garch_cascade_components", 3.0}}, "059ef7356072a4bd"},
        {{{"universe_stress_weight", 0.5}}, "d44ebced75c29440"},
        {{{"universe_stress_weight", 0.5}, {"universe_stress_decay", 0.9}}, "d0903b779e44616f"},
        {{{"universe_stress_weight", 0.5}, {"regime_stress_points", 4.0}}, "7beb576aa0f2f016"},
        {{{"garch_beta_dispersion", 0.2}}, "9f9cc1419698eb79"},
        {{{"size_effect_smoothness", 0.5}}, "3abcc4df14b97cda"},
        {{{"spread_size_smoothness", 0.5}}, "b7a01f2560787e1d"},
        {{{"vix_realised_vol_weight", 0.5}}, "3a1ed4dc40fe6f47"},
        {{{"daily_credit_floor_gain", 0.5}}, "c708a33ce2d27af4"},
    };
    const std::vector<InstrumentInit> universe = inits(12, 2);
    Macro stressed;
    stressed.vix = 45.0;
    stressed.cycle = CyclePhase::contraction;
    for (const Case& c : cases) {
        ModelParams model;
        for (auto [name, value] : c.set) model = model.with_override(name, value).value();
        Simulation sim = Simulation::create(7, universe, stressed, model).value();
        ASSERT_TRUE(sim.run_days(2, Clock{}, 60, false, 1).ok());
        EXPECT_EQ(state_digest(sim.state()).substr(0, 16), c.digest)
            << (c.set.empty() ? "none" : c.set.back().first);
    }
}

constexpr unsigned FLUSH_AND_DAZ = 0x8040u;

// Rounding upward plus flush-to-zero and denormals-are-zero, as a host
// library built with fast-math may leave them.
class HostileFloatingPoint {
public:
    HostileFloatingPoint() {
        std::fesetround(FE_UPWARD);
#if defined(__x86_64__)
        saved_ = _mm_getcsr();
        _mm_setcsr(saved_ | FLUSH_AND_DAZ);
#endif
    }
    ~HostileFloatingPoint() {
#if defined(__x86_64__)
        _mm_setcsr(saved_);
#endif
        std::fesetround(FE_TONEAREST);
    }
    // Whether the caller's environment is still the hostile one.
    static bool in_force() {
#if defined(__x86_64__)
        if ((_mm_getcsr() & FLUSH_AND_DAZ) != FLUSH_AND_DAZ) return false;
#endif
        return std::fegetround() == FE_UPWARD;
    }

private:
    unsigned saved_ = 0;
};

double normals_sum() {
    auto rng = GameRng::create(17, 3);
    double sum = 0.0;
    for (int i = 0; i < 1000; ++i) sum = sum + rng.next_normal();
    // A subnormal product: flushed to zero under flush-to-zero.
    volatile double tiny = 1e-300;
    return sum + (tiny * 1e-15 > 0.0 ? 1.0 : 0.0);
}

std::vector<double> two_days(Engine engine) {
    SessionBuffer buffer;
    SessionRequest session;
    session.ticks = 390;
    for (std::uint32_t day = 1; day <= 2; ++day) {
        engine.open_market();
        (void)engine.run_session(session, buffer).ok();
        engine.close_day(day);
    }
    std::vector<double> state = testing::prices(engine);
    state.push_back(engine.economy().vix);
    state.push_back(engine.market().variance);
    return state;
}

TEST(IeeeEnvironmentScope, ResultsIgnoreTheCallersEnvironment) {
    const double expected = normals_sum();
    Engine engine = testing::make_engine(15, {}, 5);
    std::vector<double> reference = two_days(engine);
    auto digest = fixed_simulation_digest({12, 1, 2, 2, 390}, "kx-v3");
    ASSERT_TRUE(digest.ok());
    HostileFloatingPoint hostile;
    EXPECT_NE(normals_sum(), expected);
    {
        IeeeEnvironmentScope scope;
        EXPECT_TRUE(scope.switched());
        EXPECT_EQ(normals_sum(), expected);
        IeeeEnvironmentScope nested;
        EXPECT_FALSE(nested.switched());
    }
    // Engine days and the digest enter the scope themselves.
    EXPECT_EQ(two_days(engine), reference);
    EXPECT_EQ(fixed_simulation_digest({12, 1, 2, 2, 390}, "kx-v3").value(), *digest);
    EXPECT_TRUE(HostileFloatingPoint::in_force());
}

}  // namespace
}  // namespace corvane
