// The determinism table: digests of fixed runs that every build, compiler
// and machine must reproduce bit for bit. Prints "name digest" lines; with
// `--check FILE` compares them against a pinned table and exits 1 on any
// difference, naming it. A leading `--lanes scalar|sse2|avx2|neon` runs the
// table with exp_lanes held to that lane set (exit 2 if it is not available).
//
// It covers every preset, a few sizes, seeds and day counts, sessions past
// 390 ticks, and whole-state digests (every column, generator, day vector,
// the economy) of runs with caller flow, news, pins and roster edits.
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/digest.hpp"
#include "core/engine_state.hpp"
#include "core/maths.hpp"
#include "core/params.hpp"
#include "core/simulation.hpp"
#include "core/universe.hpp"

namespace {

using namespace corvane;

std::vector<InstrumentInit> universe(std::size_t n, std::uint32_t seed) {
    std::vector<InstrumentInit> out;
    for (const GeneratedInstrument& instrument : random_universe(n, seed)) {
        out.push_back(instrument.to_init());
    }
    return out;
}

std::string fixed(std::size_t size, std::uint32_t universe_seed, std::uint32_t seed,
                  std::uint32_t days, std::uint64_t ticks, std::string_view preset) {
    auto digest = fixed_simulation_digest({size, universe_seed, seed, days, ticks}, preset);
    return digest ? *digest : "error: " + digest.error();
}

// A busy history: flow, news of every scope, impacts, pins, draws, a
// listing and a delisting, sessions past the regular day and a close.
std::string busy_state(std::string_view preset, std::uint32_t seed) {
    auto model = ModelParams::preset(preset);
    auto created = Simulation::create(seed, universe(24, 2), std::nullopt, *model);
    if (!created) return "error: " + created.error();
    Simulation& s = *created;
    CallInputs inputs;
    inputs.news = {NewsArg{"AAB", std::nullopt, 0.02}, NewsArg{std::nullopt, "energy", -0.01},
                   NewsArg{}};
    inputs.news_impacts = {
        NewsImpactArg{"AAC", std::nullopt, std::vector<std::string>{"utilities"}, 0.4, true}};
    inputs.order_flow = {FlowArg{"AAA", 250000.0, 0.0}, FlowArg{"AAD", 0.0, 90000.0}};
    Clock open{9, 30, 3, 1.0};
    (void)s.run_session(open, 45, false, inputs);
    (void)s.pin_macro(MacroPinArgs{30.0, 0.05, std::nullopt, std::nullopt, std::nullopt,
                                   std::nullopt, std::string_view("peak")});
    (void)s.draw_normal();
    (void)s.tick(Clock{10, 15, 3, 1.5}, inputs);
    (void)s.run_session(Clock{10, 16, 3, 1.0}, 500, true, CallInputs{});
    s.close_market();
    InstrumentInit listed = universe(30, 9)[27];
    listed.ticker = "NEW";
    (void)s.list_instrument(listed);
    (void)s.delist(3);
    (void)s.run_days(3, open, 120, true, 0);
    (void)s.run_until("AAA", 1e9, 1e-9, 200, Clock{4, 0, 2, 1.0});
    return state_digest(s.state());
}

std::vector<std::pair<std::string, std::string>> table() {
    std::vector<std::pair<std::string, std::string>> rows;
    for (std::string_view preset : SHIPPED_PRESETS) {
        rows.emplace_back(std::string("preset ") + std::string(preset),
                          fixed(12, 3, 7, 3, 390, preset));
    }
    rows.emplace_back("one instrument one day", fixed(1, 0, 1, 1, 390, "kx-v14"));
    rows.emplace_back("100 instruments two days", fixed(100, 0, 7, 2, 390, "kx-v14"));
    rows.emplace_back("sessions of 600 ticks", fixed(30, 5, 9, 2, 600, "kx-v9"));
    rows.emplace_back("thirty days", fixed(8, 1, 2, 30, 60, "kx-v12"));
    for (auto [preset, seed] : {std::pair{"kx-v14", 5U}, std::pair{"kx-v5", 6U},
                                std::pair{"kx-v12", 7U}, std::pair{"kx-v1", 8U}}) {
        rows.emplace_back(std::string("busy state ") + preset, busy_state(preset, seed));
    }
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--lanes") {
        const std::string names[] = {"scalar", "sse2", "avx2", "neon"};
        bool used = false;
        for (std::size_t j = 0; j < 4; ++j) {
            if (names[j] == argv[2]) used = maths::use_lane_set(static_cast<maths::LaneSet>(j));
        }
        if (!used) {
            std::printf("lane set %s is not available here\n", argv[2]);
            return 2;
        }
        argc -= 2;
        argv += 2;
    }
    auto rows = table();
    if (argc == 3 && std::string(argv[1]) == "--check") {
        std::map<std::string, std::string> pinned;
        std::ifstream file(argv[2]);
        for (std::string line; std::getline(file, line);) {
            auto space = line.rfind(' ');
            if (space != std::string::npos) pinned[line.substr(0, space)] = line.substr(space + 1);
        }
        int differences = 0;
        for (const auto& [name, digest] : rows) {
            if (pinned[name] != digest) {
                std::printf("DIFFERS %s: %s, pinned %s\n", name.c_str(), digest.c_str(),
                            pinned[name].c_str());
                ++differences;
            }
        }
        std::printf("%zu digests, %d differ\n", rows.size(), differences);
        return differences == 0 ? 0 : 1;
    }
    for (const auto& [name, digest] : rows) std::printf("%s %s\n", name.c_str(), digest.c_str());
    return 0;
}
