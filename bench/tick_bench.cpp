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
// to see where a roster outgrows the caches. `tick_bench recorded [rounds
// [n]]` runs only the recorded comparison, over more rounds than the
// default five and at n instruments (1000), with the median of the rounds'
// own ratios beside the others. `tick_bench lanes` runs the pre-market
// sessions at 5000 instruments under each lane set exp_lanes can use here,
// in turns, so that load falls on all alike.
//
// Every figure is the median of its sessions (five; six in `lanes`), each
// on a freshly opened day, with the best beside it, and is reported as a
// ratio against floors measured just before each session, or against its
// unrecorded twin, so the ratios hold on a busy machine. Heap allocations
// during a session (once the buffers exist) are counted too: there should
// be none.
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
    // Each measured session's nanoseconds per instrument-tick.
    std::vector<double> sessions;
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
            // Counted before the figure is kept, which may allocate.
            f.allocated = std::max(f.allocated, allocations - before);
            f.sessions.push_back(s * 1e9 / static_cast<double>(ticks * engine.size()));
            f.ns = std::min(f.ns, f.sessions.back());
        }
        engine.close_day(static_cast<std::uint32_t>(day));
    }
    return f;
}

// The middle of the sessions' figures, or the mean of the middle two.
double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2.0;
}

// Folds one more run of sessions into `into`.
void gather(Figures& into, const Figures& more) {
    into.sessions.insert(into.sessions.end(), more.sessions.begin(), more.sessions.end());
    into.ns = std::min(into.ns, more.ns);
    into.required_floor = std::min(into.required_floor, more.required_floor);
    into.draws_floor = std::min(into.draws_floor, more.draws_floor);
    into.allocated = std::max(into.allocated, more.allocated);
}

void report(const char* what, std::size_t n, const Figures& f) {
    double middle = median(f.sessions);
    std::printf(
        "  %-9s %5zu instruments: %7.1f ns/instrument-tick (median of %zu, best %.1f) = %5.2f x "
        "required floor (%5.2f x draws floor), %llu allocs\n",
        what, n, middle, f.sessions.size(), f.ns, middle / f.required_floor, middle / f.draws_floor,
        static_cast<unsigned long long>(f.allocated));
}

// Recorded against unrecorded: two identical engines, the same days, over
// `rounds` rounds of one session each.
void compare_recorded(int rounds, std::size_t n, FloorShape shape) {
    Engine plain = build(n);
    Engine recorded = build(n);
    SessionBuffer buffer;
    // Alternating single sessions, so that load from other processes falls
    // on both alike; each call opens, runs and closes one day after a warm-up.
    Figures bare;
    Figures kept;
    for (int round = 0; round < rounds; ++round) {
        gather(bare, session_ns(plain, nullptr, 9, 30, 390, 1, shape));
        gather(kept, session_ns(recorded, &buffer, 9, 30, 390, 1, shape));
    }
    report("bare", n, bare);
    report("recorded", n, kept);
    std::vector<double> ratios;
    for (std::size_t k = 0; k < kept.sessions.size(); ++k)
        ratios.push_back(kept.sessions[k] / bare.sessions[k]);
    std::printf(
        "  recorded / unrecorded: %.3f (medians; %.3f best against best, %.3f median of rounds)\n",
        median(kept.sessions) / median(bare.sessions), kept.ns / bare.ns, median(ratios));
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
    if (argc > 1 && std::string(argv[1]) == "recorded") {
        compare_recorded(argc > 2 ? std::stoi(argv[2]) : 5, argc > 3 ? std::stoul(argv[3]) : 1000,
                         OPEN);
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "sizes") {
        for (int a = 2; a < argc; ++a) {
            std::size_t n = std::stoul(argv[a]);
            Engine before_open = build(n);
            report("pre", n, session_ns(before_open, nullptr, 7, 0, 150, 5, PRE));
            Engine regular = build(n);
            report("open", n, session_ns(regular, nullptr, 9, 30, 390, 5, OPEN));
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
                gather(best[j], session_ns(engine, nullptr, 7, 0, 150, 1, PRE));
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
        report("open", n, session_ns(engine, nullptr, 9, 30, 390, 5, OPEN));
    }
    for (std::size_t n : {std::size_t{100}, std::size_t{1000}, std::size_t{5000}}) {
        Engine engine = build(n);
        report("pre", n, session_ns(engine, nullptr, 7, 0, 150, 5, PRE));
    }

    compare_recorded(5, 1000, OPEN);
    return 0;
}
