// What a tick costs per instrument, against a floor measured in the same
// process: the draws and maths the model cannot avoid, run through the
// project's own generator and maths code with nothing else around them.
//
//   open     a 390-tick regular session from 9:30 on the digest's path (no
//            buffer), at 100, 1000 and 5000 generated instruments.
//   pre      a pre-market session from 7:00 at the same sizes.
//   recorded the same 390 regular ticks at 1000 instruments with and
//            without a session buffer.
//
// Two floors per instrument-tick. The draws floor is the draws and one exp:
// one normal (half a log, sqrt, sin and cos pair) and five uniforms in
// regular hours, one of each before the open. The required floor adds the
// divisions whose operands change every tick, so no reuse between ticks
// can remove them: regular hours divide nine times (capitalisation, the
// crowd's lean, the day's move and its units, the flow lot, the inventory
// skew, the inside bid and ask rounded to cents, and the buy lean); before
// the open three times (capitalisation, the move and its units).
// `tick_bench profile [pre [n]]` runs only two regular (or pre-market)
// sessions at 1000 (or n) instruments, short enough to run under callgrind.
// `tick_bench sizes n...` reports both sessions at each roster size given,
// to see where a roster outgrows the caches. `tick_bench lanes` runs the
// pre-market sessions at 5000 instruments under each lane set exp_lanes can
// use here, in turns, so that load falls on all alike.
//
// Every figure is the best of a few sessions, each on a freshly opened day,
// and is reported as a ratio against floors measured just before each
// session, or against its unrecorded twin, so the ratios hold on a busy
// machine. Heap allocations during a session (once the
// buffers exist) are counted too: there should be none.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/engine.hpp"
#include "core/maths.hpp"
#include "core/universe.hpp"

#include "allocation_counter.hpp"

using bench::allocations;

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

Engine build(std::size_t n) {
    std::vector<TickCompany> roster;
    auto universe = random_universe(n, 1);
    for (std::size_t i = 0; i < n; ++i) roster.push_back(*universe[i].to_init().to_tick_company(i));
    std::vector<std::string> keys;
    for (const SectorSpec& spec : sectors::TABLE) keys.emplace_back(spec.key);
    return Engine::with_params(7, std::move(roster), create_initial_economy_state(), CentralBank{},
                               std::move(keys), ModelParams{});
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Nanoseconds per instrument-tick of the unavoidable draws and maths: one
// normal, `uniforms` uniforms, one exp and `divisions` independent
// divisions by values drawn this cell, best of `runs` runs of `cells`.
double floor_ns(int uniforms, int divisions, std::size_t cells = 1 << 20, int runs = 5) {
    GameRng rng = GameRng::create(7, 1);
    double best = 1e300;
    volatile double sink = 0.0;
    for (int run = 0; run < runs; ++run) {
        double acc = 0.0;
        auto start = Clock::now();
        for (std::size_t i = 0; i < cells; ++i) {
            double z = rng.next_normal();
            double u = 0.0;
            for (int k = 0; k < uniforms; ++k) u += rng.next_float();
            double q = 0.0;
            for (int k = 0; k < divisions; ++k) q += (u + static_cast<double>(k)) / (z + 9.0);
            acc += maths::exp(z * 0.01) + u + q;
        }
        best = std::min(best, seconds_since(start) * 1e9 / static_cast<double>(cells));
        sink = sink + acc;
    }
    return best;
}

// A floor's cell beyond its one normal and one exp.
struct FloorShape {
    int uniforms = 0;
    int divisions = 0;
    // Off under a profiler, where only the sessions matter.
    bool sampled = true;
};

struct Figures {
    double ns = 1e300;
    // The quickest floors, sampled just before each session so that load
    // from other processes, which comes and goes, has the same chances to
    // spare the floor as the session. Best against best: a ratio per day
    // would favour days when load slowed the floor alone.
    double required_floor = 1e300;
    double draws_floor = 1e300;
    std::uint64_t allocated = 0;
};

// Best nanoseconds per instrument-tick over `sessions` sessions of `ticks`
// ticks from hour:minute, after one warm-up day, and the best floors of
// `shape` around them.
Figures session_ns(Engine& engine, SessionBuffer* buffer, std::int64_t hour, std::int64_t minute,
                   std::uint64_t ticks, int sessions, FloorShape shape) {
    SessionRequest request;
    request.tick.hour = hour;
    request.tick.minute = minute;
    request.ticks = ticks;
    Figures f;
    for (int day = 1; day <= sessions + 1; ++day) {
        bool measured = day > 1;
        if (measured && shape.sampled) {
            f.draws_floor = std::min(f.draws_floor, floor_ns(shape.uniforms, 0, 1 << 18, 3));
            f.required_floor =
                std::min(f.required_floor, floor_ns(shape.uniforms, shape.divisions, 1 << 18, 3));
        }
        engine.open_market();
        std::uint64_t before = allocations;
        auto start = Clock::now();
        if (buffer) {
            (void)engine.run_session(request, *buffer);
        } else {
            (void)engine.run_session(request);
        }
        double s = seconds_since(start);
        if (measured) {
            f.ns = std::min(f.ns, s * 1e9 / static_cast<double>(ticks * engine.size()));
            f.allocated = std::max(f.allocated, allocations - before);
        }
        engine.close_day(static_cast<std::uint32_t>(day));
    }
    return f;
}

void report(const char* what, std::size_t n, Figures f) {
    std::printf(
        "  %-9s %5zu instruments: %7.1f ns/instrument-tick = %5.2f x required floor "
        "(%5.2f x draws floor), %llu allocs\n",
        what, n, f.ns, f.ns / f.required_floor, f.ns / f.draws_floor,
        static_cast<unsigned long long>(f.allocated));
}

}  // namespace

int main(int argc, char** argv) {
    // Regular hours divide nine times a cell, pre-market three (see above).
    constexpr FloorShape OPEN{5, 9};
    constexpr FloorShape PRE{1, 3};
    if (argc > 1 && std::string(argv[1]) == "profile") {
        bool pre = argc > 2 && std::string(argv[2]) == "pre";
        Engine engine = build(argc > 3 ? std::stoul(argv[3]) : 1000);
        (void)session_ns(engine, nullptr, pre ? 7 : 9, pre ? 0 : 30, pre ? 150 : 390, 1,
                         FloorShape{0, 0, false});
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "sizes") {
        for (int a = 2; a < argc; ++a) {
            std::size_t n = std::stoul(argv[a]);
            Engine before_open = build(n);
            report("pre", n, session_ns(before_open, nullptr, 7, 0, 150, 3, PRE));
            Engine regular = build(n);
            report("open", n, session_ns(regular, nullptr, 9, 30, 390, 2, OPEN));
        }
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "lanes") {
        static const char* const NAMES[] = {"scalar", "sse2", "avx2", "neon"};
        Engine engine = build(5000);
        auto sets = maths::available_lane_sets();
        std::vector<Figures> best(sets.size());
        for (int round = 0; round < 6; ++round) {
            for (std::size_t j = 0; j < sets.size(); ++j) {
                maths::use_lane_set(sets[j]);
                Figures f = session_ns(engine, nullptr, 7, 0, 150, 1, PRE);
                best[j] = {std::min(best[j].ns, f.ns),
                           std::min(best[j].required_floor, f.required_floor),
                           std::min(best[j].draws_floor, f.draws_floor),
                           std::max(best[j].allocated, f.allocated)};
            }
        }
        for (std::size_t j = 0; j < sets.size(); ++j) {
            report(NAMES[static_cast<std::size_t>(sets[j])], 5000, best[j]);
        }
        return 0;
    }
    std::printf(
        "floors per instrument-tick: open %.1f ns required (%.1f ns draws), pre-market %.1f ns "
        "required (%.1f ns draws)\n",
        floor_ns(OPEN.uniforms, OPEN.divisions), floor_ns(OPEN.uniforms, 0),
        floor_ns(PRE.uniforms, PRE.divisions), floor_ns(PRE.uniforms, 0));

    for (std::size_t n : {std::size_t{100}, std::size_t{1000}, std::size_t{5000}}) {
        Engine engine = build(n);
        report("open", n, session_ns(engine, nullptr, 9, 30, 390, n > 1000 ? 2 : 5, OPEN));
    }
    for (std::size_t n : {std::size_t{100}, std::size_t{1000}, std::size_t{5000}}) {
        Engine engine = build(n);
        report("pre", n, session_ns(engine, nullptr, 7, 0, 150, n > 1000 ? 3 : 5, PRE));
    }

    // Recorded against unrecorded: two identical engines, the same days.
    Engine plain = build(1000);
    Engine recorded = build(1000);
    SessionBuffer buffer;
    // Alternating single sessions, so that load from other processes falls
    // on both alike; each call opens, runs and closes one day after a warm-up.
    Figures bare;
    Figures kept;
    for (int round = 0; round < 4; ++round) {
        Figures b = session_ns(plain, nullptr, 9, 30, 390, 1, OPEN);
        Figures k = session_ns(recorded, &buffer, 9, 30, 390, 1, OPEN);
        bare = {std::min(bare.ns, b.ns), std::min(bare.required_floor, b.required_floor),
                std::min(bare.draws_floor, b.draws_floor), std::max(bare.allocated, b.allocated)};
        kept = {std::min(kept.ns, k.ns), std::min(kept.required_floor, k.required_floor),
                std::min(kept.draws_floor, k.draws_floor), std::max(kept.allocated, k.allocated)};
    }
    report("bare", 1000, bare);
    report("recorded", 1000, kept);
    std::printf("  recorded / unrecorded: %.3f\n", kept.ns / bare.ns);
    return 0;
}
