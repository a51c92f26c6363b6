import hashlib
import json
import math
import struct

import pyarrow as pa
import pyarrow.compute  # noqa: F401
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane


def bits(value):
    return struct.pack("<d", value)


def eventful_engine():
    """An engine driven through every kind of logged call but a restore."""
    universe = corvane.random_instruments(6, seed=3)
    engine = corvane.Engine(seed=11, universe=universe, macro_state=corvane.Macro(vix=22.0, cycle="peak"),
                            model=corvane.ModelParams.from_preset("kx-v14", garch_beta=0.7))
    engine.open_market()
    engine.tick(9, 30, 3, news=[corvane.News(sector="energy", price_impact=-0.02)],
                news_impacts=[corvane.NewsImpact(ticker="AAB", sectors=["energy"], remaining_impact=0.4)],
                order_flow={"AAA": (5000.0, 0.0)})
    engine.run_session(9, 31, 3, 20, news_impacts=[corvane.NewsImpact(sector="technology")])
    engine.record(0)
    engine.snapshot_book(day=0, tick=20, levels=3)
    engine.clear_recording()
    engine.run_until(ticker="AAA", below=1e9, max_ticks=50)
    engine.run_until(ticker="AAA", above=1e9, max_ticks=15)
    engine.close_market()
    engine.pin_macro(vix=35.0, federal_funds_rate=0.05)
    engine.list_instrument(corvane.Instrument("NEW", "utilities", initial_price=20.0, shares_outstanding=1e7))
    engine.delist(1)
    engine.draw_uniform()
    engine.draw_normal()
    engine.run_days(2, first_day=1)
    engine.snapshot_book(day=2, tick=0, levels=2)
    return engine


def recorded_engine():
    """Two recorded days of one session each, books snapshotted, a listing."""
    engine = corvane.Engine(seed=4, universe=corvane.random_instruments(5, seed=2))
    sessions = []
    for day in (7, 9):
        engine.open_market()
        engine.run_session(9, 30, 2, 40, close_at_end=True)
        engine.record(day)
        sessions.append((day, engine.session_prices(), engine.session_volumes()))
        engine.snapshot_book(day=day, tick=40, levels=4)
    engine.list_instrument(corvane.Instrument("NEW", "utilities", initial_price=20.0, shares_outstanding=1e7,
                                              eps=1.5, book_value_per_share=8.0))
    return engine, sessions


def first(log, op):
    return next(i for i, entry in enumerate(log) if entry["op"] == op)


def setting(op, key, value, refused):
    """Sets `key` of the first `op` entry; `refused` names that entry's index as {}."""
    def tamper(m):
        m["order_log"][first(m["order_log"], op)][key] = value
        return refused.format(first(m["order_log"], op))
    return tamper


def tamper_drop_record(m):
    del m["order_log"][first(m["order_log"], "record")]
    return rf"table_digests\['bars'\].*fill it: {first(m['order_log'], 'record')} \(record\)"


class TestManifest:
    def test_json_manifest_replays_to_the_same_engine(self):
        engine = eventful_engine()
        text = corvane.dumps(corvane.manifest(engine))
        replayed = corvane.replay(corvane.loads(text))
        assert replayed.state_digest() == engine.state_digest()
        with pytest.raises(TypeError, match=r"replay\(\) takes a manifest dict, not str"):
            corvane.replay(text)  # the text, not what it holds
        # JSON objects have no order: the same manifest with every object's keys
        # reversed is what was written, and replays alike.
        reordered = corvane.replay(json.loads(text, object_pairs_hook=lambda pairs: dict(pairs[::-1])))
        assert reordered.state_digest() == engine.state_digest()
        assert replayed.table_digests() == engine.table_digests()
        assert replayed.draws_by_stream() == engine.draws_by_stream()
        # One written before the digests, restored states and lineage still replays.
        old = corvane.manifest(engine)
        del old["table_digests"], old["input_digests"], old["restored_states"], old["lineage"]
        assert corvane.replay(old).table_digests() == engine.table_digests()
        assert pa.table(replayed.book_table()) == pa.table(engine.book_table())
        # A snapshot round trips bit for bit: the generator patterns travel as floats, NaN
        # payloads included, and the replay moved on and restored from it is the engine.
        snapshot = engine.state_snapshot()
        back = corvane.loads(corvane.dumps(snapshot))
        assert [bits(x) for x in back["rng"]] == [bits(x) for x in snapshot["rng"]]
        assert back.keys() == snapshot.keys()
        replayed.run_days(1)
        replayed.restore_state(back)
        assert replayed.state_digest() == engine.state_digest()

    def test_table_digests_hash_what_each_table_holds(self):
        engine, sessions = recorded_engine()
        n, ticks = 5, 40

        def column(values):
            return struct.pack("<Q", len(values) // 8) + values

        bars = hashlib.sha256(struct.pack("<Q", 2))
        truth = hashlib.sha256(struct.pack("<Q", 2))
        table = pa.table(engine.truth())
        for day, prices, volumes in sessions:
            header = struct.pack("<IQQ", day, ticks, n)
            # One session a day, from the open, where no share has traded yet.
            bars.update(header + column(prices) + column(volumes) + struct.pack("<QQQ", 1, ticks, n)
                        + column(bytes(8 * n)))
            rows = table.filter(pa.compute.equal(table["day"], day))
            truth.update(header + b"".join(column(rows[name].to_numpy().astype("<f8").tobytes())
                                           for name in table.column_names[3:]))
        macro = pa.table(engine.macro_table()).to_pylist()
        book = pa.table(engine.book_table()).to_pylist()
        assert len(macro) == 2 and len(book) == 2 * n * 8
        names = [f for f in macro[0] if f != "day"]
        expected = {
            "bars": bars.hexdigest(),
            "truth": truth.hexdigest(),
            "macro": hashlib.sha256(struct.pack("<Q", 2) + b"".join(
                struct.pack("<9dI", *(row[f] for f in names), row["day"]) for row in macro)).hexdigest(),
            "book": hashlib.sha256(struct.pack("<Q", len(book)) + b"".join(struct.pack(
                "<ddIIIII", r["price"], r["size"], r["day"], r["tick"], r["instrument_id"], r["side"], r["level"])
                for r in book)).hexdigest(),
        }
        assert engine.table_digests() == expected

    @pytest.mark.parametrize("change", [
        setting("record", "day", 8, r"table_digests\['bars'\].*fill it: {} \(record\)"),
        tamper_drop_record,
        setting("snapshot_book", "levels", 3,
                r"table_digests\['book'\].*fill it: {} \(snapshot_book\)"),
        setting("list_instrument", "book_value_per_share", 8.5,
                r"'order_log' is not what was written.*input_digests\['order_log'\]"),
        setting("run_session", "close_at_end", 1,
                r"entry {} \(run_session\): 'close_at_end' must be true or false"),
        setting("run_session", "news", [{"ticker": None, "sector": "energy", "price_impact": 0.1, "source": "x"}],
                r"entry {} \(run_session\): 'news' must be a list of news objects"),
        lambda m: m.pop("format") and "manifest lacks 'format'",
        lambda m: m.pop("macro_state") and "manifest lacks 'macro_state'",
        lambda m: m["universe"][1].update(book_value_per_share=3.0) or "'universe' is not what was written",
        lambda m: m.update(state_digest="0" * 64) or "manifest's 'state_digest' is 0000",
        lambda m: m["input_digests"].update(extra="0" * 64) or "'input_digests' has unknown key 'extra'",
        lambda m: m["order_log"][-1].update(day="1") or r"entry \d+ \(list_instrument\): unexpected key 'day'",
        lambda m: m["order_log"][0].update(op="teleport") or r"entry 0 \(teleport\): 'op' is not a known",
        lambda m: m["order_log"].__setitem__(1, [1]) or r"entry 1 is a list",
        lambda m: m["order_log"][first(m["order_log"], "record")].pop("day") and r"\(record\): missing key 'day'",
        lambda m: m["order_log"].append({"op": "restore_state", "state_digest": "0"}) or r"\(restore_state\) cannot",
        lambda m: m["order_log"].append({"op": "delist", "index": 99}) or r"entry \d+ \(delist\) could not be",
    ])
    def test_a_tampered_manifest_is_refused_naming_entry_and_key(self, change):
        engine, _ = recorded_engine()
        saved = corvane.loads(corvane.dumps(corvane.manifest(engine)))
        message = change(saved)
        with pytest.raises(corvane.ValidationError, match=message):
            corvane.replay(saved)


TAG_KEYS = ("$bytes", "$f64", "$model", "$instrument", "$macro", "ticker", "sector", "vix", "cycle", "name")
LEAVES = (st.none() | st.booleans() | st.integers() | st.floats()
          | st.text("0123456789abcdefAZ=+/ -", max_size=18) | st.sampled_from(["kx-v3", "energy", "peak"]))
JSONISH = st.recursive(LEAVES, lambda inner: st.lists(inner, max_size=3)
                       | st.dictionaries(st.sampled_from(TAG_KEYS), inner, max_size=3), max_leaves=12)


def every_call_away_from_its_defaults():
    """(method, arguments) for each logged call, every argument set to a
    value that is not its default."""
    return [
        ("open_market", {}),
        ("tick", dict(hour=10, minute=5, day_of_week=2, volatility=1.5,
                      news=[corvane.News(sector="energy", price_impact=-0.02)],
                      news_impacts=[corvane.NewsImpact(ticker="AAB", sectors=["energy"],
                                                       remaining_impact=0.3, reversal_phase=True)],
                      order_flow={"AAC": (5.0, 1.5)})),
        ("run_until", dict(ticker="AAB", above=1e9, below=0.5, max_ticks=3, hour=11, minute=1,
                           day_of_week=4, volatility=1.3)),
        ("record", dict(day=6)),
        ("snapshot_book", dict(day=6, tick=2, levels=4)),
        ("run_session", dict(hour=12, minute=7, day_of_week=4, ticks=4, volatility=0.8,
                             close_at_end=True, news=[corvane.News(sector="utilities", price_impact=0.01)],
                             news_impacts=[corvane.NewsImpact(sector="technology", remaining_impact=0.2)],
                             order_flow={"AAA": (0.0, 700.0)})),
        ("pin_macro", dict(vix=31.0, federal_funds_rate=0.04, corporate_bond_yield=0.07, inflation_rate=0.03,
                           qe_pe_boost=0.1, fear_greed_index=20.0, cycle="trough")),
        ("list_instrument", dict(instrument=corvane.Instrument(
            "NEW", "utilities", initial_price=20.0, shares_outstanding=1e7, eps=1.5, book_value_per_share=9.0,
            revenue_growth=0.04, avg_volume=2e5, beta=0.8, short_interest=4e5))),
        ("delist", dict(index=1)),
        ("draw_normal", {}), ("draw_uniform", {}), ("close_market", {}),
    ]


def logged(op, arguments):
    """The log entry a call should leave, built from its arguments alone."""
    plain = {k: v for k, v in arguments.items() if k not in ("news", "news_impacts", "order_flow")}
    if op == "pin_macro":
        return {"op": op, "fields": plain}
    if op == "list_instrument":
        instrument = arguments["instrument"]
        return {"op": op, **{k: getattr(instrument, k) for k in (
            "ticker", "sector", "initial_price", "shares_outstanding", "eps", "book_value_per_share",
            "revenue_growth", "avg_volume", "beta", "short_interest")}}
    if op == "run_until":
        return {"op": op, **plain, "ticks_run": arguments["max_ticks"]}  # neither band is reached
    if op in ("tick", "run_session"):
        fields = ("ticker", "sector", "sectors", "remaining_impact", "reversal_phase")
        return {"op": op, **plain, "news": [{"ticker": None, "sector": n.sector, "price_impact": n.price_impact}
                                            for n in arguments["news"]],
                "order_flow": {t: list(pair) for t, pair in arguments["order_flow"].items()},
                "news_impacts": [{k: getattr(n, k) for k in fields} for n in arguments["news_impacts"]]}
    return {"op": op, **arguments}


class TestLog:
    def test_every_argument_is_logged_as_given_and_replays_as_logged(self):
        engine = corvane.Engine(seed=2, universe=corvane.random_instruments(3))
        calls = every_call_away_from_its_defaults()
        for op, arguments in calls:
            getattr(engine, op)(**arguments)
        expected = [logged(op, arguments) for op, arguments in calls]
        assert engine.order_log == expected
        replayed = corvane.replay(corvane.loads(corvane.dumps(corvane.manifest(engine))))
        assert replayed.order_log == expected
        # The replay's tables carry the labels the calls gave.
        assert pa.table(replayed.macro_table())["day"].to_pylist() == [6]
        book = pa.table(replayed.book_table()).to_pydict()
        assert {(d, t) for d, t in zip(book["day"], book["tick"])} == {(6, 2)}
        assert max(book["level"]) == 3 and set(book["instrument_id"]) == {0, 1, 2}


class TestJson:
    def test_special_values_and_value_classes(self):
        payload_nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_0000_1234))[0]
        value = {
            "floats": [0.1, -0.0, math.inf, -math.inf, payload_nan, 5e-324],
            "ints": [2**64 - 1, -(2**63)],
            "bytes": b"\x00\xff",
            "model": corvane.ModelParams.from_preset("kx-v3", garch_beta=0.71),
            "instrument": corvane.random_instruments(1)[0],
            "macro": corvane.Macro(corporate_bond_yield=0.061, cycle="trough"),
            "nested": {"pair": (1, None, True, "x")},
        }
        back = corvane.loads(corvane.dumps(value))
        assert [bits(x) for x in back["floats"]] == [bits(x) for x in value["floats"]]
        assert back["ints"] == value["ints"] and back["bytes"] == value["bytes"]
        assert back["model"] == value["model"]
        assert repr(back["instrument"]) == repr(value["instrument"])
        assert repr(back["macro"]) == repr(value["macro"])
        assert back["nested"] == {"pair": [1, None, True, "x"]}

    @settings(max_examples=400, deadline=None)
    @given(value=JSONISH, cut=st.integers(0, 200))
    def test_loads_answers_any_text_with_a_value_or_a_validation_error(self, value, cut):
        text = json.dumps(value)
        for candidate in (text, text[:cut], text.encode()[:cut]):
            try:
                corvane.loads(candidate)
            except corvane.ValidationError:
                pass

    @pytest.mark.parametrize("value, error", [({1: 2}, TypeError), ({"$bytes": "x"}, ValueError),
                                              (object(), TypeError)])
    def test_what_has_no_json_form_is_refused(self, value, error):
        with pytest.raises(error):
            corvane.dumps(value)
        with pytest.raises(TypeError, match="loads.. takes str or bytes, not"):
            corvane.loads(value)
