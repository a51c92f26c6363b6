// Edges where one comparison or constant decides, and values pinned where
// other suites only count draws. Pins were recorded once from this build.
#include <gtest/gtest.h>

#include <vector>

#include "core/simulation.hpp"
#include "engine_fixture.hpp"

namespace corvane {
namespace {

std::vector<InstrumentInit> inits(std::size_t n, std::uint32_t seed) {
    std::vector<InstrumentInit> universe;
    for (const GeneratedInstrument& g : random_universe(n, seed)) universe.push_back(g.to_init());
    return universe;
}

TEST(Boundary, ADayWithoutVolumeLeavesTheAverageAlone) {
    Engine engine = testing::make_engine(3);
    engine.open_market();
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

TEST(CrisisBlend, OldAndNewPresetsTakeTheirOwnPathAboveTheThreshold) {
    EconomyState economy = create_initial_economy_state();
    economy.vix = 40.0;
    std::vector<double> noise;
    for (const char* name : {"kx-v6", "kx-v7"}) {
        Engine engine =
            Engine::with_params(11, testing::generated_roster(24), economy, CentralBank{},
                                testing::table_sector_keys(), ModelParams::preset(name).value());
        engine.open_market();
        (void)engine.tick(testing::at(10, 0));
        noise.push_back(engine.tick_components()[5][slot(Component::random_noise)]);
    }
    // Recorded once. Through kx-v6 the blend mixes the market factor into
    // the sector factors; from kx-v7 it loads the market term instead.
    EXPECT_EQ(noise, (std::vector<double>{-0x1.93819ba00fc7p-11, -0x1.6cd91074420a2p-11}));
}

// Each refused call carries good parts the simulation would act on were its
// check missing or made after the change: nothing of them may land.
TEST(Refusals, AGoodPartBesideABadOneChangesNothing) {
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

TEST(RunDays, AnInterruptionInsideADayIsReported) {
    // 2048 instruments: the session asks whether to go on every 32 ticks.
    Simulation sim = Simulation::create(5, inits(2048, 1), std::nullopt, ModelParams{}).value();
    auto ran = sim.run_days(2, Clock{}, 64, false, 1, [] { return false; });
    ASSERT_TRUE(ran.ok());
    EXPECT_TRUE(ran->interrupted);
}

}  // namespace
}  // namespace corvane
