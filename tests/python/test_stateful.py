"""An engine driven through random histories, and the same calls on a twin; the twin, a replay
of the engine's manifest (when its history can be replayed) and a fresh engine restored from its
snapshot must agree with it bit for bit, by state digest."""

import struct

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import corvane

UNIVERSE = corvane.random_instruments(4, seed=6)
MODELS = ["kx-v14", "kx-v12", "kx-v5", "kx-v2"]
NEWCOMER = corvane.Instrument("NEW", "utilities", initial_price=20.0, shares_outstanding=1e8,
                              eps=1.1)

tickers = st.sampled_from(["AAA", "AAB", "AAC", "AAD", "NEW"])
times = st.tuples(st.integers(7, 21), st.integers(0, 59), st.integers(0, 6))
flows = st.dictionaries(tickers, st.tuples(st.floats(0, 5e5), st.floats(0, 5e5)), max_size=2)
news = st.lists(st.builds(corvane.News, ticker=st.none() | tickers,
                          sector=st.none() | st.sampled_from(["energy", "technology"]),
                          price_impact=st.floats(-0.05, 0.05)), max_size=2)


class History(RuleBasedStateMachine):
    @initialize(seed=st.integers(0, 2**32 - 1), model=st.sampled_from(MODELS))
    def build(self, seed, model):
        self.engines = [corvane.Engine(seed=seed, universe=UNIVERSE, model=model)
                        for _ in range(2)]

    def both(self, call):
        """The call on the engine and its twin; a refusal must be refused by both."""
        outcomes = []
        for engine in self.engines:
            try:
                outcomes.append(("ok", call(engine)))
            except corvane.ValidationError as error:
                outcomes.append(("refused", str(error)))
        assert outcomes[0] == outcomes[1]

    @rule(at=times, flow=flows, items=news)
    def tick(self, at, flow, items):
        self.both(lambda e: repr(e.tick(*at, order_flow=flow, news=items)))

    @rule(at=times, ticks=st.integers(1, 40), close=st.booleans(), flow=flows)
    def session(self, at, ticks, close, flow):
        self.both(lambda e: e.run_session(*at, ticks, close_at_end=close, order_flow=flow))

    @rule(ticker=tickers, width=st.floats(0.0, 0.05), ticks=st.integers(1, 30))
    def band(self, ticker, width, ticks):
        def run(engine):
            index = engine.index_of(ticker)
            if index is None:
                return engine.run_until(ticker=ticker, above=1.0, max_ticks=ticks)
            level = struct.unpack_from("<d", engine.prices(), 8 * index)[0]
            return engine.run_until(ticker=ticker, above=level * (1 + width),
                                    below=level * (1 - width), max_ticks=ticks)
        self.both(run)

    @rule(days=st.integers(1, 2), ticks=st.integers(1, 30), record=st.booleans())
    def days(self, days, ticks, record):
        self.both(lambda e: e.run_days(days, ticks_per_day=ticks, record=record))

    @rule(opening=st.booleans())
    def open_or_close(self, opening):
        self.both(lambda e: e.open_market() if opening else e.close_market())

    @rule()
    @precondition(lambda self: self.engines[0].index_of("NEW") is None)
    def list_newcomer(self):
        self.both(lambda e: e.list_instrument(NEWCOMER))

    @rule(index=st.integers(0, 5))
    @precondition(lambda self: len(self.engines[0]) > 1)
    def delist(self, index):
        self.both(lambda e: e.delist(index))

    @rule(vix=st.none() | st.floats(5, 80), rate=st.none() | st.floats(0, 0.1),
          cycle=st.none() | st.sampled_from(["peak", "trough", "Boom"]))
    def pin(self, vix, rate, cycle):
        self.both(lambda e: e.pin_macro(vix=vix, federal_funds_rate=rate, cycle=cycle))

    @rule(normal=st.booleans())
    def draw(self, normal):
        self.both(lambda e: e.draw_normal() if normal else e.draw_uniform())

    @rule()
    def snapshot_books(self):
        self.both(lambda e: e.snapshot_book(levels=3))

    @rule()
    def save_and_restore(self):
        # Restoring its own state leaves an engine as it was, digest and all.
        for engine in self.engines:
            digest = engine.state_digest()
            engine.restore_state(engine.state_snapshot())
            assert engine.state_digest() == digest

    @invariant()
    def twins_agree(self):
        first, twin = self.engines
        assert first.state_digest() == twin.state_digest()
        assert first.order_log == twin.order_log

    def teardown(self):
        engine = self.engines[0]
        fresh = corvane.Engine(seed=engine.seed, universe=UNIVERSE, model=engine.model)
        # A snapshot carries no roster edits: it restores only into the same roster.
        if engine.tickers == [i.ticker for i in UNIVERSE]:
            fresh.restore_state(engine.state_snapshot())
            assert fresh.state_digest() == engine.state_digest()
        # Restores replay too: the manifest keeps each restored state.
        rebuilt = corvane.replay(corvane.loads(corvane.dumps(corvane.manifest(engine))))
        assert rebuilt.state_digest() == engine.state_digest()
        assert rebuilt.prices() == engine.prices()
        assert rebuilt.draws_by_stream() == engine.draws_by_stream()


History.TestCase.settings = settings(
    max_examples=60, stateful_step_count=15, deadline=None, derandomize=True,
    suppress_health_check=list(HealthCheck))
TestHistory = History.TestCase
