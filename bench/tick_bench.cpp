// What a trading day costs per instrument: one 390-tick regular session
// (open to close, every tick settling flow through the live book) for 100
// and for 1000 generated instruments, in one process so the two figures are
// comparable on a busy machine.
//
// Reported per size: nanoseconds per instrument-tick (best of several
// sessions, each on a freshly opened day), and heap allocations during a
// session once the engine's buffers exist (should be none). Then the ratio
// of the two per-instrument-tick figures: near 1 means the tick is linear in
// instruments.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "core/universe.hpp"

#include "allocation_counter.hpp"

using bench::allocations;

namespace {

using namespace corvane;

constexpr std::uint64_t TICKS = 390;

Engine build(std::size_t n) {
    std::vector<TickCompany> roster;
    auto universe = random_universe(n, 1);
    for (std::size_t i = 0; i < n; ++i) roster.push_back(*universe[i].to_init().to_tick_company(i));
    std::vector<std::string> keys;
    for (const SectorSpec& spec : sectors::TABLE) keys.emplace_back(spec.key);
    return Engine::with_params(7, std::move(roster), create_initial_economy_state(), CentralBank{},
                               std::move(keys), ModelParams{});
}

struct Figures {
    double ns_per_instrument_tick;
    std::uint64_t session_allocations;
};

Figures measure(std::size_t n, int sessions) {
    Engine engine = build(n);
    SessionBuffer buffer;
    SessionRequest request;
    request.hour = 9;
    request.minute = 30;
    request.ticks = TICKS;
    double best = 1e300;
    std::uint64_t allocated = 0;
    for (int day = 1; day <= sessions + 1; ++day) {
        engine.open_market();
        std::uint64_t before = allocations;
        auto start = std::chrono::steady_clock::now();
        (void)engine.run_session(request, buffer);
        auto stop = std::chrono::steady_clock::now();
        // The first session sizes the buffers; it is warm-up.
        if (day > 1) {
            double ns = std::chrono::duration<double, std::nano>(stop - start).count();
            best = std::min(best, ns / static_cast<double>(TICKS * n));
            allocated = std::max(allocated, allocations - before);
        }
        engine.close_day(static_cast<std::uint32_t>(day));
    }
    return {best, allocated};
}

}  // namespace

int main() {
    Figures small = measure(100, 7);
    Figures large = measure(1000, 5);
    std::printf("390-tick session, kx-v14, generated universe\n");
    std::printf("  %5d instruments: %8.1f ns per instrument-tick, %llu allocations per session\n",
                100, small.ns_per_instrument_tick,
                static_cast<unsigned long long>(small.session_allocations));
    std::printf("  %5d instruments: %8.1f ns per instrument-tick, %llu allocations per session\n",
                1000, large.ns_per_instrument_tick,
                static_cast<unsigned long long>(large.session_allocations));
    std::printf("  ratio 1000/100: %.3f (1.0 is linear)\n",
                large.ns_per_instrument_tick / small.ns_per_instrument_tick);
    return 0;
}
