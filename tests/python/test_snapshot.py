"""Saving and restoring an engine's state."""

import pickle
import struct

import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane
from corvane import Engine, ValidationError

UNIVERSE = corvane.random_instruments(8, seed=5)


def engine(model="kx-v14", universe=UNIVERSE, seed=3):
    return Engine(seed=seed, universe=universe, model=model)


def bits(numbers):
    """Floats as their bit patterns: a generator's state is carried in them."""
    return struct.pack(f"<{len(numbers)}d", *numbers)


def observed(e):
    return e.prices(), e.draws_by_stream(), e.state_digest()


def shift_mispricing(e):
    snapshot = e.state_snapshot()
    values = struct.unpack(f"<{len(e)}d", snapshot["columns"]["mispricing_s"])
    snapshot["columns"]["mispricing_s"] = bits([v + 0.03 for v in values])
    e.restore_state(snapshot)


# Every kind of input an engine takes mid-run. A roster edit is made on the
# fresh engine too: a snapshot holds columns, not the roster's history.
CHANGES = {
    "macro pin": lambda e: e.pin_macro(vix=42.0, federal_funds_rate=0.06, cycle="trough"),
    "column write": shift_mispricing,
    "listing": lambda e: e.list_instrument(corvane.Instrument("NEW", "energy", initial_price=30.0, shares_outstanding=5e6)),
    "delisting": lambda e: e.delist(2),
    "news": lambda e: e.tick(10, 0, 3, news=[corvane.News(ticker="AAB", price_impact=0.05)],
                             news_impacts=[corvane.NewsImpact(sector="energy", remaining_impact=0.5)]),
    "order flow": lambda e: e.tick(10, 0, 3, order_flow={"AAA": (2e5, 0.0)}),
}


class TestContinuation:
    @pytest.mark.parametrize("change", CHANGES)
    def test_a_change_mid_run_goes_on_as_a_fresh_engine_restored_after_it(self, change):
        # Large enough that a session is worked through in slices.
        universe = corvane.random_instruments(180, seed=4)
        source = Engine(seed=8, universe=universe)
        source.run_session(9, 30, 3, 30)
        CHANGES[change](source)
        fresh = Engine(seed=8, universe=universe)
        if change in ("listing", "delisting"):
            CHANGES[change](fresh)
        fresh.restore_state(source.state_snapshot())
        for e in (source, fresh):
            e.run_session(10, 1, 3, 380, close_at_end=True)
            e.open_market()
            e.run_session(9, 30, 4, 20)
            e.record(1)
        assert observed(fresh) == observed(source) and fresh.quotes() == source.quotes()
        for table in ("truth", "bars"):
            assert pa.table(getattr(fresh, table)(day=1)) == pa.table(getattr(source, table)(day=1))

    def test_a_session_in_slices_or_in_pieces_is_the_same_session(self):
        # 180 instruments over 390 ticks is past the size that is worked in slices.
        whole, pieces = (Engine(seed=8, universe=corvane.random_instruments(180, seed=4)) for _ in range(2))
        whole.run_session(9, 30, 3, 390)
        for start, ticks in ((0, 1), (1, 200), (201, 189)):
            pieces.run_session(*divmod(570 + start, 60), 3, ticks)
        whole.record(0), pieces.record(0)
        assert observed(whole) == observed(pieces)
        assert pa.table(whole.truth()) == pa.table(pieces.truth())
        assert pa.table(whole.bars()).column("close") == pa.table(pieces.bars()).column("close")

    def test_mid_day_snapshot_after_29_days_continues_bit_for_bit(self):
        # kx-v14 draws endogenous news at every open; day 30 is a monthly close.
        source = engine()
        source.run_days(29, ticks_per_day=60, record=False)
        source.open_market()
        source.run_session(9, 30, 3, 30)
        snapshot = source.state_snapshot()
        assert snapshot["pending_news"] and snapshot["day_number"] == 29

        restored = engine()
        restored.restore_state(snapshot)
        assert restored.state_digest() == source.state_digest()
        assert restored.order_log[-1] == {"op": "restore_state",
                                          "state_digest": source.state_digest()}
        for e in (source, restored):
            e.run_session(10, 0, 3, 30)
            e.close_market()
            e.run_days(1, ticks_per_day=60, record=False)
        assert observed(restored) == observed(source)

    def test_snapshot_is_plain_data_in_a_fixed_order(self):
        e = engine()
        e.run_session(9, 30, 3, 5)
        snapshot = e.state_snapshot()
        assert list(snapshot) == [
            "columns", "rng", "tickers", "model_fingerprint", "attribution", "tick_components",
            "tick_fundamental", "tick_anchor", "market_open", "market_variance", "volume_state",
            "economy", "day_number", "pending_news", "universe_stress", "instrument_volume_states",
            "draws", "clock"]
        assert list(snapshot["columns"])[:3] == ["price", "previous_close", "previous_tick_price"]
        assert len(snapshot["rng"]) == 21 and snapshot["tickers"][0] == "AAA-0"
        economy = snapshot["economy"]
        assert list(economy)[-3:] == ["cycle_phase", "central_bank", "day_count"]
        assert economy["federal_funds_rate"] == 2.5 and economy["cycle_phase"] == "expansion"
        assert snapshot["market_open"] is True
        # The state is read, never changed.
        assert e.state_snapshot()["rng"][:2] == snapshot["rng"][:2]
        assert e.order_log[-1]["op"] == "run_session"

    def test_a_partial_snapshot_restores_what_it_holds_and_keeps_or_defaults_the_rest(self):
        source = engine(seed=1)
        source.run_session(9, 30, 3, 20)
        snapshot = source.state_snapshot()
        basic = {k: v for k, v in snapshot.items() if k not in (
            "day_number", "pending_news", "universe_stress", "instrument_volume_states", "draws")}
        target = engine()
        target.draw_uniform()
        target.restore_state(basic)
        assert target.prices() == source.prices()
        assert target.draws_by_stream()["external"] == 1  # counters left as they were
        # The first streams alone, no anchors and no model: the rest is the target's own.
        snapshot["rng"] = snapshot["rng"][:9]
        del snapshot["tick_anchor"], snapshot["model_fingerprint"]
        target = engine(model="kx-v2", seed=2)
        own_rng = target.state_snapshot()["rng"]
        target.restore_state(snapshot)
        after = target.state_snapshot()
        assert bits(after["rng"][:9]) == bits(snapshot["rng"])
        assert bits(after["rng"][9:]) == bits(own_rng[9:])
        anchors = struct.unpack("<8d", after["tick_anchor"])
        assert all(a != a for a in anchors)


def broken(edit):
    e = engine()
    e.run_session(9, 30, 3, 5)
    snapshot = e.state_snapshot()
    edit(snapshot)
    return snapshot


def change(*path, to=None):
    """Sets the item at `path` to `to`, or deletes it when `to` is None."""
    def apply(snapshot):
        *parents, key = path
        for part in parents:
            snapshot = snapshot[part]
        if to is None:
            del snapshot[key]
        else:
            snapshot[key] = to
    return apply


def column(name, at, value):
    def apply(snapshot):
        part = snapshot if name.startswith("tick_") else snapshot["columns"]
        values = list(struct.unpack(f"<{len(part[name]) // 8}d", part[name]))
        values[at] = value
        part[name] = bits(values)
    return apply


ONLY_FINITE = "; the engine writes only finite values there"
ROSTER = ("snapshot roster does not match this engine. Columns are" + " " * 18 + "positional, so "
          "restoring across rosters would attach every" + " " * 18 + "value to the wrong "
          "instrument.")

REFUSALS = [
    (change("tickers"), ValidationError, "snapshot has no 'tickers'"),
    (lambda s: s["tickers"].append("ZZZ-9"), ValidationError, ROSTER),
    (change("tickers", to="AAA-0"), ValidationError, ROSTER),
    (change("model_fingerprint", to="kx-v3"), ValidationError,
     'this snapshot was taken under model "kx-v3" and this engine runs "kx-v14". Restoring '
     "across models would continue the frozen market under coefficients it was never priced "
     "with; build the engine with the snapshot's model instead."),
    (change("columns"), ValidationError, "snapshot has no 'columns'"),
    *[(lambda s, key=key: s.update({key: list(s[key].values())}), TypeError,
       f"argument '{key}' must be dict, not list") for key in ("columns", "economy", "draws")],
    (change("columns", "high"), ValidationError, 'snapshot is missing column "high"'),
    (change("columns", "low", to=b"\0" * 72), ValidationError,
     "expected 8 values for 8 companies, got 9"),
    (change("columns", "low", to=[1.0] * 8), TypeError, "argument 'low' must be bytes"),
    (change("rng"), ValidationError, "snapshot has no 'rng'"),
    (lambda s: s.__setitem__("rng", s["rng"][:3]), ValidationError,
     "this snapshot predates the RNG stream split (3 rng numbers, expected 9). It froze a "
     "single-stream market that this version cannot continue bit-exactly; re-run it under the "
     "version that wrote it, or re-simulate from the seed."),
    (lambda s: s.__setitem__("rng", s["rng"][:10]), ValidationError,
     "rng must be 9 numbers (market, economy, external), 12 (plus jumps), 15 (plus volume), "
     "18 (plus news) or 21 (plus per-name volume), as (state, increment, spare) triples, "
     "got 10"),
    (lambda s: s.__setitem__("attribution", s["attribution"][:-8]), ValidationError,
     "attribution has 71 values, expected 72"),
    (change("market_variance", to=[1.0, 2.0, 3.0]), ValidationError,
     "market_variance must be [variance, day_factor], or that plus the two component levels, "
     "got 3 values"),
    (change("economy", "gdp_trend", to=[1.0]), ValidationError,
     "gdp_trend must be 4 numbers, got 1"),
    (change("economy", "cycle_phase", to="boom"), ValidationError, 'unknown cycle phase "boom"'),
    (change("economy", "central_bank", "forward_guidance", to="soon"), ValidationError,
     'unknown forward guidance "soon"'),
    (change("economy", "vix", to="high"), TypeError, "argument 'vix' must be float, not str"),
    # A good entry beside the bad one must not land either.
    (change("pending_news", to=[{"ticker": "AAA-0", "sector": "technology",
                                 "price_impact": 0.05}, 42]), TypeError,
     "argument 'pending_news' must be dict, not int"),
    (lambda s: s["rng"].__setitem__(2, "x"), TypeError, "argument 'rng' must be float, not str"),
    # Values the engine never writes.
    (column("previous_close", 1, float("inf")), ValidationError,
     'column "previous_close" holds inf at position 1' + ONLY_FINITE),
    (column("price", 0, 1e9), ValidationError, 'column "price" holds 1000000000 at position 0, '
     "above the highest price this model prints here (78125)"),
    (column("volume", 2, float("nan")), ValidationError,
     'column "volume" holds NaN at position 2' + ONLY_FINITE),
    (column("beta", 7, -float("inf")), ValidationError,
     'column "beta" holds -inf at position 7' + ONLY_FINITE),
    (column("tick_anchor", 3, float("inf")), ValidationError,
     "tick_anchor holds inf at position 3" + ONLY_FINITE),
    (change("volume_state", to=float("nan")), ValidationError, "volume_state is NaN" + ONLY_FINITE),
    (change("economy", "vix", to=float("nan")), ValidationError, "vix is NaN" + ONLY_FINITE),
    (change("economy", "central_bank", "target_inflation", to=float("-inf")), ValidationError,
     "target_inflation is -inf" + ONLY_FINITE),
    (change("pending_news", to=[{"ticker": "ZZZ-9", "sector": "technology",
                                 "price_impact": 0.05}]), ValidationError,
     'pending_news[0] names company "ZZZ-9", which this engine never held'),
    (change("pending_news", to=[{"ticker": None, "sector": "tech", "price_impact": 0.05}]),
     ValidationError, 'pending_news[0] names sector "tech", which does not exist'),
    (change("pending_news", to=[{"sector": "energy", "price_impact": float("nan")}]),
     ValidationError, "pending_news[0] has price_impact NaN; an impact is a finite number"),
    (change("instrument_volume_states", to=b""), ValidationError,
     "instrument_volume_states has 0 values, expected 8"),
    (change("instrument_volume_states", to=bytes(8 * 8_000_000)), ValidationError,
     "instrument_volume_states has 8000000 values, expected 8"),
    (change("draws", "economy", to=2**63), ValidationError,
     'draws "economy" is 9223372036854775808, at or above 2**63; no run draws that many'),
]


class TestRefusals:
    @pytest.mark.parametrize("change, kind, message", REFUSALS)
    def test_messages_and_nothing_changes(self, change, kind, message):
        target = engine(seed=99)
        state = lambda: (target.state_digest(), target.order_log, target.draws_by_stream())
        before = state()
        with pytest.raises(kind) as raised:
            target.restore_state(broken(change))
        assert message in str(raised.value)
        if kind is ValidationError:
            assert str(raised.value) == message
        assert state() == before


class TestRestoredReadings:
    def test_an_instrument_without_a_price_quotes_nothing_and_sizes_zero(self):
        e = engine(universe=UNIVERSE[:4], seed=5)
        e.run_session(9, 30, 3, 3)
        snapshot = e.state_snapshot()
        column("price", 0, float("nan"))(snapshot)
        e.restore_state(snapshot)
        # Bids, asks, bid sizes, ask sizes: four columns of four.
        quotes = struct.unpack("<16d", e.quotes())
        assert quotes[0] != quotes[0] and quotes[4] != quotes[4] and quotes[8] == quotes[12] == 0.0
        assert quotes[9] > 0.0

    def test_a_last_meeting_after_today_wraps_to_a_meeting_at_once(self):
        e = engine()
        snapshot = e.state_snapshot()
        snapshot["economy"]["oil_last_opec_day"] = 500
        e.restore_state(snapshot)
        e.close_market()  # day 1: 1 - 500 wraps round, so the producers meet
        assert e.state_snapshot()["economy"]["oil_last_opec_day"] == 1


STEPS = {
    "session": lambda e: e.run_session(9, 30, 3, 7),
    "close": lambda e: e.close_market(),
    "days": lambda e: e.run_days(1, ticks_per_day=9, record=False),
    "tick": lambda e: e.tick(11, 0, 3),
    "draw": lambda e: e.draw_normal(),
    "open": lambda e: e.open_market(),
}
# Roster edits, repeated on the engine a snapshot is restored into; one
# instrument starts above the hard cap, as a caller may list one.
LISTINGS = [corvane.Instrument("HUGE", "energy", initial_price=9e4, shares_outstanding=1e7),
            corvane.Instrument("NEW", "utilities", initial_price=20.0, shares_outstanding=1e8)]
EDITS = {"list": lambda e: e.list_instrument(LISTINGS[len(e.tickers) % 2]),
         "delist": lambda e: e.delist(0) if len(e) > 1 else None}


@settings(max_examples=12, deadline=None, derandomize=True)
@given(st.sampled_from(["kx-v2", "kx-v9", "kx-v14"]), st.integers(0, 2**32 - 1),
       st.lists(st.sampled_from(sorted(STEPS) + sorted(EDITS) + ["snapshot"]), max_size=10))
def test_every_snapshot_of_a_real_history_restores_bit_for_bit(model, seed, steps):
    universe = UNIVERSE[:3]
    source = engine(model, universe, seed)
    edits, taken = [], []
    for step in steps + ["snapshot"]:
        if step == "snapshot":
            taken.append((list(edits), source.state_snapshot(), source.state_digest()))
        elif step in EDITS:
            edits.append(EDITS[step])
            EDITS[step](source)
        else:
            STEPS[step](source)
    for done, snapshot, digest in taken:
        fresh = engine(model, universe, seed)
        for edit in done:
            edit(fresh)
        fresh.restore_state(snapshot)
        assert fresh.state_digest() == digest
        # Every bit, NaN payloads included, comes back out.
        assert pickle.dumps(fresh.state_snapshot()) == pickle.dumps(snapshot)
