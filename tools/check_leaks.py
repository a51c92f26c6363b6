"""Reference and memory leak check: every entry point, called again and again.

Each scenario (a call that succeeds, or one that is refused) runs a few
times to warm caches, then many times while the interpreter's total
reference count (a debug interpreter's sys.gettotalrefcount) and tracemalloc's
traced memory are watched. A scenario whose counts keep growing leaks.

    python3.11-dbg tools/check_leaks.py          # corvane importable
    python3 tools/check_leaks.py --quick          # a release interpreter: memory only
    valgrind python3 tools/check_leaks.py --valgrind   # every call once or twice, untraced

Exits 1 naming every leaking scenario.
"""

import gc
import pickle
import sys
import tracemalloc

import corvane

ROUNDS = 300
UNIVERSE = corvane.random_instruments(4, seed=2)
ENGINE = corvane.Engine(seed=3, universe=UNIVERSE, model="kx-v12")
ENGINE.run_days(2, ticks_per_day=20)
BATCH = corvane.EngineBatch(seeds=[1, 2], universe=UNIVERSE)
SNAPSHOT = ENGINE.state_snapshot()


def refused(call):
    def run():
        try:
            call()
        except (ValueError, TypeError, OverflowError, MemoryError):
            pass
        else:
            raise AssertionError("expected a refusal")
    return run


def consume(stream):
    capsule = stream.__arrow_c_stream__()
    del capsule  # an unconsumed stream is released by the capsule


def book():
    b = corvane.OrderBook("AAA-0", last_price=10.0)
    b.post_limit("sell", 10.5, 100, owner="mm")
    b.append_maker_level("buy", 9.5, 100, owner="mm")
    b.submit("buy", 50)
    b.sweep_cost("sell", 10)
    b.price_levels("buy")
    b.cancel_all_for("mm")
    return repr(b)


SCENARIOS = {
    "module functions": lambda: (
        corvane.version(), corvane.check_rate("federal_funds_rate", 0.05),
        corvane.fair_value(eps=2.0, sector="energy"), corvane.sectors(),
        corvane.step_mispricing_daily(corvane.MispricingState(s=0.1), innovation=0.01),
        corvane.apply_mispricing(10.0, 0.1), corvane.characteristic_root_moduli(),
        corvane.crowd_adjusted_root_moduli(), corvane.impulse_response(20),
        corvane.model_preset("kx-v3"), corvane.market_status(9, 30, 3),
        corvane.random_instruments(5), corvane.sector_volatility("energy"),
        corvane.sector_daily_sigma("utilities"), corvane.stationary_sigma(0.1)),
    "module refusals": refused(lambda: corvane.check_rate("federal_funds_rate", 5)),
    "conversion refusals": refused(lambda: corvane.fair_value(eps="x", sector="energy")),
    "hostile keyword": refused(lambda: corvane.GameRng(1, 2, **{"seed\0x": 1})),
    "quoted refusal": refused(lambda: corvane.sector_volatility("é" * 500)),
    "digest": lambda: corvane.fixed_simulation_digest(
        size=2, universe_seed=0, seed=1, days=1, ticks=5, preset="kx-v14"),
    "fills stream": lambda: consume(corvane.fills_stream([1], [2], [3], [0], [1.0], [2.0],
                                                         [2.5], [2.0])),
    "generator": lambda: [corvane.GameRng(1, 2).next_normal(), corvane.GameRng(1, 2).next_int(0, 9)],
    "order book": book,
    "order refusal": refused(lambda: corvane.OrderBook("X").submit("buy", -1)),
    "model params": lambda: (
        corvane.ModelParams.from_dict(corvane.ModelParams.from_preset("kx-v5").to_dict()),
        corvane.ModelParams.from_preset("kx-v5", garch_beta=0.8).fingerprint,
        hash(corvane.ModelParams.from_preset()), corvane.ModelParams.settable()),
    "model refusal": refused(lambda: corvane.ModelParams.from_preset("kx-v5", nope=1.0)),
    "value classes": lambda: [repr(x) for x in (
        corvane.Instrument("X", "energy", initial_price=5.0, shares_outstanding=1e6),
        corvane.Macro(vix=20.0), corvane.News(ticker="AAA"),
        corvane.NewsImpact(sectors=["energy"]).sectors)],
    "value refusals": refused(lambda: corvane.Macro(cycle="boom")),
    "exception pickling": lambda: pickle.loads(pickle.dumps(corvane.ValidationError("m"))),
    "engine build": lambda: corvane.Engine(seed=1, universe=UNIVERSE),
    "engine refusal": refused(lambda: corvane.Engine(seed=1, universe=[], model="x")),
    "engine driving": lambda: (
        ENGINE.tick(9, 30, 3, news=[corvane.News(ticker="AAB")], order_flow={"AAA": (5.0, 1.0)},
                    news_impacts=[corvane.NewsImpact(ticker="AAC")]),
        ENGINE.run_session(9, 31, 3, 2), ENGINE.run_until(ticker="AAA", above=1e9, max_ticks=2),
        ENGINE.pin_macro(vix=20.0), ENGINE.draw_normal(), ENGINE.index_of("AAB"),
        ENGINE.draws_by_stream()),
    "engine refusals": refused(lambda: ENGINE.tick(9, 30, 3, order_flow={"AAA": (1.0, -1.0)})),
    "engine reads": lambda: (
        ENGINE.prices(), ENGINE.column("garch_variance"), ENGINE.attribution("jump"),
        ENGINE.tickers, ENGINE.model, ENGINE.model_params, ENGINE.macro_state,
        ENGINE.order_log[-3:], ENGINE.session_prices(), ENGINE.book("AAA"), repr(ENGINE),
        ENGINE.state_digest()),
    "engine tables": lambda: [consume(t) for t in (
        ENGINE.bars(), ENGINE.bars(minutes=5), ENGINE.truth(), ENGINE.macro_table(),
        ENGINE.book_table())],
    "snapshot and restore": lambda: corvane.Engine(seed=3, universe=UNIVERSE,
                                                   model="kx-v12").restore_state(SNAPSHOT),
    "restore refusal": refused(lambda: ENGINE.restore_state({**SNAPSHOT, "rng": [1.0] * 4})),
    "batch": lambda: (BATCH.tick(9, 30, 3), BATCH.prices(), BATCH.draws_consumed, repr(BATCH)),
}


def window(scenario):
    gc.collect()
    references = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    memory = tracemalloc.get_traced_memory()[0]
    for _ in range(ROUNDS):
        scenario()
    gc.collect()
    gained_references = (sys.gettotalrefcount() - references
                         if hasattr(sys, "gettotalrefcount") else 0)
    return gained_references / ROUNDS, (tracemalloc.get_traced_memory()[0] - memory) / ROUNDS


def growth(scenario):
    """(references, bytes) gained per call after warming up: the smaller of
    two windows, so that a cache filling once is not taken for a leak while
    anything that grows with every call shows in both."""
    for _ in range(5):
        scenario()
    if ROUNDS == 0:
        return 0.0, 0.0
    first = window(scenario)
    second = window(scenario)
    return min(first[0], second[0]), min(first[1], second[1])


def main():
    global ROUNDS
    if "--quick" in sys.argv:
        ROUNDS = 50
    if "--valgrind" in sys.argv:
        # Valgrind judges what is lost; tracemalloc's own records would only
        # add noise to its report.
        ROUNDS = 0
    else:
        tracemalloc.start()
    leaking = []
    for name, scenario in SCENARIOS.items():
        references, memory = growth(scenario)
        if ROUNDS == 0:
            continue
        # The engine's order log grows by design: allow what one call's log
        # entries hold, and nothing that grows with the references.
        limit = 4096 if name.startswith("engine driving") else 64
        flag = references >= 0.5 or memory > limit
        print(f"{'LEAK' if flag else 'ok  '} {name}: {references:+.2f} references, "
              f"{memory:+.0f} bytes per call")
        if flag:
            leaking.append(name)
    if leaking:
        print("leaking:", ", ".join(leaking))
        return 1
    print(f"{len(SCENARIOS)} scenarios, no leak")
    return 0


if __name__ == "__main__":
    sys.exit(main())
