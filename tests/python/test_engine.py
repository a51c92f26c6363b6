"""The Engine and EngineBatch surfaces: driving, inputs, the order log, refusals."""

import array
import resource
import struct
import threading

import pytest

import corvane
from corvane import Engine, EngineBatch, Macro, News, NewsImpact, ValidationError

UNIVERSE = corvane.random_instruments(6, seed=3)


def engine(seed=7, **kwargs):
    return Engine(seed=seed, universe=kwargs.pop("universe", UNIVERSE), **kwargs)


def f64(data):
    return list(struct.unpack(f"<{len(data) // 8}d", data))


def ops(e):
    return [entry["op"] for entry in e.order_log]


DAY = "day_of_week must be 0 (Sunday) to 6 (Saturday), got "
VOLATILITY = "volatility must be finite and not negative, got "
QQQ = 'no instrument with ticker "QQQ" in this universe'

REFUSALS = [
    (lambda e: e.tick(24, 0, 1), "invalid time 24:00"),
    (lambda e: e.tick(9, 5, 7), DAY + "7"),
    (lambda e: e.tick(9, 30, 3, volatility=-1.0), VOLATILITY + "-1"),
    (lambda e: e.run_session(9, 30, 7, 390), DAY + "7"),
    (lambda e: e.run_session(9, 75, 3, 10), "invalid time 09:75"),
    (lambda e: e.run_session(9, 30, 3, 10, volatility=float("nan")), VOLATILITY + "NaN"),
    (lambda e: e.run_session(9, 30, 3, 0), "ticks must be greater than zero"),
    (lambda e: e.run_days(0), "days must be greater than zero"),
    (lambda e: e.run_days(1, ticks_per_day=0), "ticks_per_day must be greater than zero"),
    (lambda e: e.run_days(1, hour=-1), "invalid time -1:30"),
    (lambda e: e.run_days(2, first_day=2**32 - 1),
     "first_day + days - 1 must be at most 4294967295 to label every recorded day, "
     "got 4294967295 + 2 - 1"),
    (lambda e: e.run_until(ticker="AAA"),
     "give at least one of above= or below= - a run_until with no condition is just run_session"),
    (lambda e: e.run_until(ticker="AAA", above=10.0, below=10.0),
     "below (10) must be under above (10) - an inverted band fires immediately and always"),
    (lambda e: e.run_until(ticker="AAA", above=0.0), "above must be finite and positive, got 0"),
    (lambda e: e.run_until(ticker="AAA", below=float("inf")),
     "below must be finite and positive, got inf"),
    (lambda e: e.run_until(ticker="AAA", above=1.0, max_ticks=0),
     "max_ticks must be greater than zero"),
    (lambda e: e.run_until(ticker="ZZZ", above=1.0),
     'no instrument with ticker "ZZZ" in this universe'),
    (lambda e: e.run_until(ticker="AAA", above=1.0, day_of_week=9), DAY + "9"),
    (lambda e: e.delist(len(e)), "no instrument at index 6; the roster holds 6"),
    (lambda e: e.tick(9, 30, 3, order_flow={"ZZZ": (1.0, 2.0), "AAA": (0.0, -1.0)}),
     'order flow for "AAA" must be finite and not negative, got (0, -1)'),
    (lambda e: e.tick(9, 30, 3, order_flow={"QQQ": (1.0, 2.0)}), QQQ),
    (lambda e: e.run_session(9, 30, 3, 5, news=[News(), News(ticker="QQQ")]), QQQ),
    (lambda e: e.tick(9, 30, 3, news_impacts=[NewsImpact(ticker="QQQ")]), QQQ),
    # A pin checks its rates (in order) and their finiteness before the cycle.
    (lambda e: e.pin_macro(corporate_bond_yield=0.9, inflation_rate=0.7, cycle="x"),
     "corporate_bond_yield = 0.9 is outside the plausible range [-0.05, 0.5]"),
    (lambda e: e.pin_macro(vix=float("nan"), cycle="nope"), "vix must be finite, got NaN"),
    (lambda e: e.pin_macro(federal_funds_rate=3.0), "federal_funds_rate = 3 is outside the "
     "plausible range [-0.05, 0.5] - this looks like a percent value. Rates are FRACTIONAL "
     "here: pass 0.03 for 3%."),
    (lambda e: e.pin_macro(cycle="Peak"),
     'unknown cycle "Peak". Valid: expansion, peak, contraction, trough, recovery'),
    (lambda e: e.column("Price"), 'unknown field "Price". Valid: price, previous_close, '
     "previous_tick_price, open, high, low, volume, avg_volume, market_cap, mispricing_s, "
     "mispricing_s_prev_close, mispricing_momentum, last_daily_return, maker_inventory, "
     "garch_variance, beta, short_interest, float_shares"),
]


class TestRefusals:
    # That a refusal changes nothing is test_hostile's property, for every method.
    @pytest.mark.parametrize("call, message", REFUSALS)
    def test_messages(self, refusal, call, message):
        assert refusal(call, engine()) == message

    def test_construction_order_and_model_resolution(self, refusal):
        with pytest.raises(ValidationError, match="^universe is empty - an engine with no"):
            Engine(seed=1, universe=[], model="no-such-model")
        assert refusal(engine, model="kx-v15").endswith(
            "kx-v13, kx-v14. For a modified model, pass ModelParams.from_preset(name, ...) "
            "instead of a string.")
        assert refusal(engine, model=14) == "model must be a preset name or a ModelParams, got 14"
        with pytest.raises(TypeError, match=r"argument 'universe\[1\]' must be Instrument"):
            Engine(seed=1, universe=[UNIVERSE[0], "AAB"])
        variant = corvane.ModelParams.from_preset("kx-v3", garch_beta=0.8)
        assert engine(model=variant).model == variant
        assert engine(model="kx-v3").model_fingerprint == "kx-v3"
        assert engine().model_params["name"] == "kx-v14"


class TestDriving:
    def test_fresh_engine_tick_result_and_closed_market(self):
        e = engine()
        assert repr(e) == "Engine(6 instruments, draws=0)" and len(e) == 6
        assert e.seed == 7 and repr(e.initial_macro_state) == repr(Macro())  # the default
        assert e.order_log == [] and e.recorded_days == 0
        result = e.tick(9, 30, 3, volatility=-0.0)
        assert result.market_status == "open" and result.active == 6
        assert result.draws_consumed == e.draws_consumed > 0
        closed = e.tick(3, 0, 0)
        assert repr(closed) == 'TickResult(market_status="closed", draws_consumed=0, active=0)'
        assert ops(e) == ["tick", "tick"]

    def test_run_days_logs_records_and_closes(self):
        e = engine()
        assert e.run_days(2, ticks_per_day=30) == 2
        assert ops(e) == ["open_market", "run_session", "record", "close_market"] * 2
        assert [x["day"] for x in e.order_log if x["op"] == "record"] == [0, 1]
        assert e.recorded_days == 2 and e.session_ticks_written == 30
        # The same days by hand.
        twin = engine()
        for day in range(2):
            twin.open_market()
            twin.run_session(9, 30, 3, 30)
            twin.record(day)
            twin.close_market()
        assert twin.order_log == e.order_log and twin.prices() == e.prices()
        # The last day of an unrecorded run can still be recorded: 180 rows more.
        e.run_days(3, ticks_per_day=30, record=False)
        e.record(9)
        assert repr(e.bars()) == 'ArrowStream("bars", 540 rows in 3 batch(es))'

    def test_close_at_end_is_part_of_the_session(self):
        by_flag, by_call = engine(), engine()
        by_flag.run_session(9, 30, 3, 20, close_at_end=True)
        by_call.run_session(9, 30, 3, 20)
        by_call.close_market()
        a, b = by_flag.state_snapshot(), by_call.state_snapshot()
        for key in ("rng", "market_open", "clock"):  # the day stays open after a session's close
            del a[key], b[key]
        assert a == b and by_flag.draws_by_stream() == by_call.draws_by_stream()
        assert ops(by_flag) == ["open_market", "run_session"]

    def test_run_until_fires_or_runs_out(self):
        e = engine()
        price = f64(e.prices())[0]
        assert e.run_until(ticker="AAA", above=price * 2, max_ticks=7) is None
        assert e.session_ticks_written == 7
        assert e.run_until(ticker="AAA", below=price * 2) == 0
        assert e.session_ticks_written == 1
        entry = e.order_log[-1]
        assert ops(e) == ["open_market", "run_until", "run_until"]
        # Mid-day, a run given no time carries on from the clock: 9:30 + 7 minutes.
        assert entry == {"op": "run_until", "ticker": "AAA", "above": None, "below": price * 2,
                         "max_ticks": 390, "hour": 9, "minute": 37, "day_of_week": 3,
                         "volatility": 1.0, "ticks_run": 1}

    def test_run_until_takes_memory_as_it_runs(self):
        """Room for a billion ticks costs nothing until they run; a run through several
        growths of its buffers writes every tick as tick() alone gives it."""
        e = engine(universe=corvane.random_instruments(10, seed=1))
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert e.run_until(ticker=e.tickers[3], below=1e9, max_ticks=10**9) == 0
        assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 200_000  # KiB
        e = engine(universe=corvane.random_instruments(400, seed=2))
        e.open_market()
        saved = e.state_snapshot()
        assert e.run_until(ticker=e.tickers[0], above=1e12, max_ticks=600) is None
        e.record(0)
        ran = (e.session_prices(), e.session_volumes(), repr(e.bars()))
        e.restore_state(saved)
        prices, volumes = [], []
        for t in range(30, 630):
            e.tick(9 + t // 60, t % 60, 3)
            prices.append(e.prices())
            volumes.append(e.column("volume"))
        assert ran == (b"".join(prices), b"".join(volumes),
                       'ArrowStream("bars", 240000 rows in 1 batch(es))')

    def test_roster_edits(self):
        e = engine()
        listed = corvane.Instrument("NEW", "energy", initial_price=10.0, shares_outstanding=1e8)
        assert e.list_instrument(listed) == 6 and e.index_of("NEW") == 6
        assert e.delist(0) == "AAA" and e.index_of("AAA") is None
        assert e.tickers == [i.ticker for i in UNIVERSE[1:]] + ["NEW"]
        assert e.draws_consumed == 0
        e.run_session(9, 30, 3, 5)
        assert len(f64(e.prices())) == 6
        # Defaults are logged as such; test_records checks every field given.
        assert (e.order_log[0]["eps"], e.order_log[0]["short_interest"]) == (None, 0.0)

    def test_draws_and_pins(self):
        e = engine()
        for draw in (e.draw_uniform, e.draw_normal, e.draw_normal):
            draw()
        assert e.draws_by_stream() == {"market": 0, "economy": 0, "external": 3}
        # Only the fields given are logged and set (test_records pins every one).
        e.pin_macro(cycle="peak")
        assert e.order_log[3:] == [{"op": "pin_macro", "fields": {"cycle": "peak"}}]
        assert (e.macro_state.vix, e.macro_state.cycle) == (15.0, "peak")


class TestInputsLog:
    def test_news_flow_and_impacts_are_logged_as_used(self):
        e = engine()
        e.tick(9, 30, 3, news=[News(ticker="AAB", price_impact=0.01), News()],
               order_flow={"AAC": (5.0, 0.0), "AAA": [1, 2]})
        entry = e.order_log[0]
        assert entry["news"] == [
            {"ticker": "AAB", "sector": UNIVERSE[1].sector, "price_impact": 0.01},
            {"ticker": None, "sector": None, "price_impact": 0.0}]
        assert list(entry["order_flow"].items()) == [("AAA", [1.0, 2.0]), ("AAC", [5.0, 0.0])]
        assert "news_impacts" not in entry  # given, they are logged field by field: test_records

    def test_input_classes(self, refusal):
        assert repr(News(ticker="X", price_impact=0.5)) == (
            'News(ticker=Some("X"), sector=None, price_impact=0.5)')
        assert repr(NewsImpact(remaining_impact=1.0)) == (
            "NewsImpact(ticker=None, remaining_impact=1, reversal_phase=false)")
        assert refusal(News, price_impact=float("inf")) == "price_impact must be finite, got inf"
        assert refusal(NewsImpact, sectors=["energy", "tech"]).startswith('unknown sector "tech".')
        with pytest.raises(TypeError, match=r"argument 'sectors\[0\]' must be str, not int"):
            NewsImpact(sectors=[1])

    def test_a_callback_into_the_busy_engine_is_refused(self):
        e = engine()

        class Sneaky:
            def __float__(self):
                e.draw_uniform()
                return 1.0

        with pytest.raises(RuntimeError, match="^engine is busy: another call on it is still"):
            e.tick(9, 30, 3, order_flow={"AAA": (Sneaky(), 0.0)})
        assert e.order_log == []


def refused_while_busy(target, work, read=lambda target: None):
    """Runs `work` on another thread and calls len(target) until it is refused as busy;
    returns what `read` makes of the target while it still is."""
    seen = []
    worker = threading.Thread(target=work)
    worker.start()
    while not seen:
        try:
            len(target)
        except RuntimeError as error:
            seen.append(str(error))
    shown = read(target)
    worker.join()
    assert seen == ["engine is busy: another call on it is still running"]
    return shown


class TestLongCalls:
    def test_another_thread_runs_while_a_session_does(self):
        e = engine(universe=corvane.random_instruments(100, seed=1))
        assert refused_while_busy(e, lambda: e.run_session(9, 30, 3, 20000), repr) == "Engine(busy)"
        assert e.session_ticks_written == 20000

    def test_a_threaded_batch_lets_other_threads_run_refuses_them_and_stops_on_ctrl_c(
            self, ctrl_c):
        batch = EngineBatch(seeds=[1, 2, 3], universe=corvane.random_instruments(100, seed=1),
                            threads=2)
        refused_while_busy(batch, lambda: batch.run_session(9, 30, 3, 5000))
        draws = batch.draws_consumed
        with ctrl_c(0.05):
            batch.run_days(10**6, ticks_per_day=10)
        assert all(after > before for after, before in zip(batch.draws_consumed, draws))

    def test_a_desk_is_refused_while_its_engine_is_busy_and_holds_neither_after(self):
        env = pytest.importorskip("corvane.env").MarketEnv(tickers=["AAA", "AAB"])
        env.reset(seed=3)
        e = env.engine

        def step_refused(_):
            with pytest.raises(RuntimeError, match="^engine is busy: another call"):
                env.step([0.5, -0.5])
            return True

        assert refused_while_busy(e, lambda: e.run_session(9, 30, 3, 20000), step_refused)
        # Refused, the desk let go of itself; the session over, of the engine.
        assert env._market.value(1.0, array.array("d", [0.0, 0.0])) == 1.0 and len(e) == 20

    def test_ctrl_c_stops_a_session_and_the_log_says_what_ran(self, ctrl_c):
        e = engine(universe=corvane.random_instruments(100, seed=1))
        with ctrl_c(0.05):
            e.run_session(9, 30, 3, 20000, close_at_end=True)
        entry = e.order_log[-1]
        assert 0 < entry["ticks"] == e.session_ticks_written < 20000
        assert entry["close_at_end"] is False
        with ctrl_c(0.05):
            e.run_days(10**6, ticks_per_day=10)
        assert e.recorded_days > 0


class TestBatch:
    # More threads than this machine's cores, and than members, included.
    @pytest.mark.parametrize("threads", [1, 2, 7, 64])
    def test_members_match_single_engines_across_days(self, threads):
        seeds = [5, 9, 11, 2, 40, 7, 13, 8, 21]
        batch = EngineBatch(seeds=seeds, universe=UNIVERSE, model="kx-v9", threads=threads)
        assert batch.threads == min(threads, len(seeds))
        singles = [engine(seed, model="kx-v9") for seed in seeds]
        for e in [batch, *singles]:
            # A session after a close opens the next day, as a single engine's does.
            for _ in range(2):
                e.run_session(9, 30, 3, 40)
                e.close_market()
            e.run_days(2, ticks_per_day=25)
            e.tick(10, 0, 3)
        assert batch.prices() == b"".join(s.prices() for s in singles)
        assert batch.column("garch_variance") == b"".join(s.column("garch_variance")
                                                          for s in singles)
        assert batch.draws_consumed == [s.draws_consumed for s in singles]

    def test_per_member_inputs_reads_and_a_replaced_member_match_single_engines(self, refusal):
        numpy = pytest.importorskip("numpy")
        seeds, tickers = [4, 8, 15], [i.ticker for i in UNIVERSE]
        flow = [[(1000.0 * (k + 1) * (i + 1), 700.0 * (k + i % 3)) for i in range(6)]
                for k in range(3)]
        flow[1] = [(0.0, 0.0)] * 6
        news = [[News(ticker=tickers[2], price_impact=-0.8)], None,
                [News(sector=UNIVERSE[0].sector, price_impact=0.5), News(price_impact=0.2)]]
        raw = [struct.pack("<36d", *(v for member in flow for pair in member for v in pair)),
               struct.pack("<36d", *(v for member in flow[::-1] for pair in member for v in pair))]
        batch = EngineBatch(seeds=seeds, universe=UNIVERSE, threads=2)
        batch.run_session(9, 30, 3, 30, order_flow=raw[0], news=news)
        batch.tick(10, 0, 3, order_flow=numpy.frombuffer(raw[1]).reshape(3, 6, 2),
                   news=tuple(news[::-1]))
        plain = EngineBatch(seeds=seeds, universe=UNIVERSE)
        plain.run_session(9, 30, 3, 30)
        plain.tick(10, 0, 3)
        singles = []
        for k, seed in enumerate(seeds):
            single = engine(seed)
            single.run_session(9, 30, 3, 30, order_flow=dict(zip(tickers, flow[k])),
                               news=news[k])
            single.tick(10, 0, 3, order_flow=dict(zip(tickers, flow[2 - k])), news=news[2 - k])
            singles.append(single)
        assert batch.prices() == b"".join(s.prices() for s in singles) != plain.prices()
        assert batch.column("mispricing_s") == b"".join(s.column("mispricing_s")
                                                        for s in singles)
        assert batch.draws_consumed == [s.draws_consumed for s in singles]
        # The next day's reads, and a replaced member, are each member's single engine's too.
        for e in [batch, *singles]:
            e.close_market()
            e.run_session(9, 30, 4, 30)
        # Buys, sells, none, NaN (none) and more than the book holds.
        trade = numpy.array([[300.0, -250.0, 0.0, float("nan"), 1e12, -7.0]] * 3) * [[1], [-2], [3]]
        assert batch.sweep_costs(trade) == b"".join(
            s.sweep_costs(row.tolist()) for s, row in zip(singles, trade))
        assert batch.quotes() == b"".join(s.quotes() for s in singles)
        for factor in Engine.FACTORS:
            assert batch.attribution(factor) == b"".join(s.attribution(factor) for s in singles)
        assert batch.attribution() == b"".join(map(batch.attribution, Engine.FACTORS))
        # Member 1 starts over mid-session, on its first day, and from then follows the
        # batch's clock.
        batch.replace_member(1, 99)
        singles[1] = engine(99)
        singles[1].open_market()
        for e in [batch, *singles]:
            e.run_session(10, 0, 4, 20)
            e.close_market()
            e.run_session(9, 30, 5, 10)
        assert batch.seeds == [4, 99, 15]
        assert batch.prices() == b"".join(s.prices() for s in singles)
        assert [m.vix for m in batch.macro_states] == [s.macro_state.vix for s in singles]
        assert batch.draws_consumed == [s.draws_consumed for s in singles]
        for call, message in [
            (lambda: batch.sweep_costs(trade[:2]),
             "quantities must hold 3 x 6 float64 (members x instruments), got 12"),
            (lambda: batch.replace_member(3, 1), "member must be below 3, got 3"),
            (lambda: batch.replace_member(0, 15),
             "seed 15 is member 2's already - a repeated seed is the same market twice"),
        ]:
            assert refusal(call) == message
        assert batch.seeds == [4, 99, 15]

    def test_a_session_larger_than_memory_is_a_memory_error(self):
        e = engine()
        with pytest.raises(MemoryError, match="^cannot allocate the session buffers for "
                                              "100000000000 ticks x 6 instruments$"):
            e.run_session(9, 30, 3, 10**11)
        assert e.order_log == []

    def test_surface(self, refusal):
        batch = EngineBatch(seeds=(1, 2, 3), universe=corvane.random_instruments(40))
        assert batch.shape == (3, 40) and len(batch) == 3 and batch.seeds == [1, 2, 3]
        assert repr(batch) == "EngineBatch(3 markets x 40 instruments)"
        assert len(batch.prices()) == 120 * 8 and batch.model_fingerprint == "kx-v14"
        nan_flow = bytearray(240 * 8)
        struct.pack_into("<d", nan_flow, ((40 + 3) * 2 + 1) * 8, float("nan"))
        with pytest.raises(TypeError, match="order_flow.* must be a C-contiguous float64 buffer"):
            batch.tick(9, 30, 3, order_flow=array.array("f", [0.0] * 240))
        for call, message in [
            (lambda: EngineBatch(seeds=[], universe=[]), "no seeds given"),
            (lambda: EngineBatch(seeds=[1], universe=[]), "universe is empty"),
            (lambda: EngineBatch(seeds=[1, 2, 1], universe=UNIVERSE),
             "seeds must be distinct - a repeated seed is the same market twice, which reads "
             "as two samples and is one"),
            (lambda: batch.tick(9, 30, 7), DAY + "7"),
            (lambda: batch.run_session(9, 30, 3, 5, volatility=-2.0), VOLATILITY + "-2"),
            (lambda: batch.run_days(1, minute=60), "invalid time 09:60"),
            (lambda: EngineBatch(seeds=[1], universe=UNIVERSE, threads=0),
             "threads must be at least 1, or None for every core"),
            (lambda: batch.tick(9, 30, 3, order_flow=bytes(40)),
             "order_flow must hold 3 x 40 x 2 float64 (members x instruments x (buy, sell)), "
             "got 5"),
            (lambda: batch.run_session(9, 30, 3, 5, order_flow=nan_flow),
             f'order_flow of member 1 for "{batch.tickers[3]}" must be finite and not '
             "negative, got (0, NaN)"),
            (lambda: batch.run_session(9, 30, 3, 5, news=[[], []]),
             "news must hold one list per member: 3 members, got 2 lists"),
            (lambda: batch.tick(9, 30, 3, news=[None, None, [News(ticker="QQQ")]]),
             'news of member 2: ' + QQQ),
        ]:
            assert refusal(call) == message
        assert batch.draws_consumed == [0, 0, 0]
