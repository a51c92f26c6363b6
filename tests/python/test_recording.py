"""Recording and its tables, read by real Arrow consumers."""

import duckdb
import numpy
import pyarrow
import pyarrow.compute as pc
import pytest

import corvane
from corvane import Engine, ValidationError

TICK_FACTORS = Engine.FACTORS[:-1]


@pytest.fixture(scope="module")
def two_days():
    e = Engine(seed=11, universe=corvane.random_instruments(100, seed=2))
    e.run_days(2)
    return e


def close_address(stream):
    table = pyarrow.table(stream)
    return table.column("close").chunk(0).buffers()[1].address


class TestBars:
    def test_tick_grain_through_the_consumers(self, two_days):
        stream = two_days.bars()
        assert repr(stream) == 'ArrowStream("bars", 78000 rows in 2 batch(es))'
        table = pyarrow.table(stream)
        assert table.column_names == ["day", "tick", "instrument_id", "close", "volume"]
        assert table.schema.field("day").type == pyarrow.uint32()
        # The recording's own memory, not a copy: every export sees the same buffer.
        assert close_address(stream) == close_address(stream)
        reader = pyarrow.RecordBatchReader.from_stream(stream)
        assert [batch.num_rows for batch in reader] == [39000, 39000]
        count = duckdb.sql("select count(*) from stream where tick = 389").fetchall()[0][0]
        assert count == 200
        # The last tick's closes are the prices the engine holds... before the close,
        # which moves no price.
        last = table.filter(pc.equal(table["day"], 1)).column("close").to_numpy()
        assert last[-100:].tobytes() == two_days.prices()

    def test_bucketed_grains(self, two_days):
        table = pyarrow.table(two_days.bars(minutes=7))
        assert table.num_rows == 2 * 56 * 100
        assert table.column_names == ["day", "bar", "instrument_id", "open", "high", "low",
                                      "close", "volume"]
        daily = pyarrow.table(two_days.bars(grain="day")).to_pydict()
        tick = pyarrow.table(two_days.bars()).to_pydict()
        assert len(daily["bar"]) == 200 and set(daily["bar"]) == {0}
        first_day_closes = tick["close"][:39000]
        for i in (0, 57, 99):
            path = first_day_closes[i::100]
            assert daily["open"][i] == path[0] and daily["close"][i] == path[-1]
            assert daily["high"][i] == max(path) and daily["low"][i] == min(path)
        last_bar = [row for row in range(5600) if table["bar"][row].as_py() == 55]
        assert len(last_bar) == 100  # ticks 385 to 389

    def test_truth_sums_to_the_days_attribution(self):
        e = Engine(seed=4, universe=corvane.random_instruments(20, seed=1), model="kx-v9")
        e.run_days(3, ticks_per_day=50)
        truth = pyarrow.table(e.truth()).filter(
            pc.equal(pyarrow.table(e.truth())["day"], 2))
        for factor in TICK_FACTORS:
            column = truth.column(factor).to_numpy().reshape(50, 20)
            summed = [sum(column[:, i].tolist()) for i in range(20)]
            assert numpy.frombuffer(e.attribution(factor), dtype="<f8").tolist() == summed

    def test_the_close_jump_lands_on_the_next_first_tick(self):
        e = Engine(seed=1, universe=corvane.random_instruments(30), model="kx-v5")
        for _ in range(5):
            e.run_session(9, 30, 3, 10)
            e.close_market()
            jumps = numpy.frombuffer(e.attribution("jump"), dtype="<f8")
            if jumps.any():
                break
        e.open_market()
        e.run_session(9, 30, 3, 10)
        e.record(7)
        jump = pyarrow.table(e.truth()).column("jump").to_numpy().reshape(10, 30)
        assert jump[0].tolist() == jumps.tolist() and not jump[1:].any()

    def test_nothing_recorded_reads_the_last_session(self):
        e = Engine(seed=3, universe=corvane.random_instruments(3))
        e.run_session(9, 30, 3, 10)
        table = pyarrow.table(e.bars(day=42))
        assert table.num_rows == 30 and set(table["day"].to_pylist()) == {42}
        prices = numpy.frombuffer(e.session_prices(), dtype="<f8")
        assert prices.tolist() == table["close"].to_pylist()
        assert len(e.session_volumes()) == len(e.session_mispricing_s()) == 30 * 8


class TestRecordings:
    def test_tables_hold_the_state_they_were_read_from_under_the_labels_given(self):
        e = Engine(seed=3, universe=corvane.random_instruments(4))
        e.run_session(9, 30, 3, 20, close_at_end=True)  # the economy moves at the close
        expected = []
        for day, pins in ((6, {}), (9, {"vix": 31.5, "federal_funds_rate": 0.041, "qe_pe_boost": 0.2,
                                      "corporate_bond_yield": 0.07, "inflation_rate": 0.033,
                                      "fear_greed_index": 12.0})):
            e.pin_macro(**pins)
            e.record(day)
            macro, state = e.macro_state, e.state_snapshot()
            expected.append({"day": day, **{k: getattr(macro, k) for k in (
                "vix", "federal_funds_rate", "corporate_bond_yield", "inflation_rate",
                "qe_pe_boost", "fear_greed_index")}, **{k: state["economy"][k] / 100 for k in (
                    "unemployment_rate", "gdp_growth")}, "universe_stress": state["universe_stress"]})
            assert all(expected[-1][k] == pytest.approx(v, rel=1e-12) for k, v in pins.items())
            e.open_market()
            e.run_session(9, 30, 3, 7)
        table = pyarrow.table(e.macro_table())
        assert sorted(table.column_names) == sorted(expected[0])
        assert table.to_pylist() == [pytest.approx(row, rel=1e-15) for row in expected]

        # A book row per level of each side of each live book, labelled as asked.
        assert e.snapshot_book(day=12, tick=5, levels=3) == 24
        rows = [(r["instrument_id"], r["side"], r["level"], r["price"], r["size"])
                for r in pyarrow.table(e.book_table()).to_pylist()
                if (r["day"], r["tick"]) == (12, 5)]
        assert rows == [(i, side, level, p.price, p.quantity)
                        for i, ticker in enumerate(e.tickers)
                        for side, name in enumerate(("buy", "sell"))
                        for level, p in enumerate(e.book(ticker).price_levels(name, 3))]
        assert e.snapshot_book(levels=1) == 8 and e.recorded_book_rows == 32 and e.recorded_bytes > 0
        e.clear_recording()
        assert pyarrow.table(e.macro_table()).num_rows == 0 and e.recorded_bytes == 0
        assert e.order_log[-3:] == [{"op": "snapshot_book", "day": 12, "tick": 5, "levels": 3},
                                    {"op": "snapshot_book", "day": 0, "tick": 0, "levels": 1},
                                    {"op": "clear_recording"}]

    @pytest.mark.parametrize("call, message", [
        (lambda e: e.bars(minutes=5, grain="day"), "pass either minutes or grain, not both"),
        (lambda e: e.bars(minutes=0), "minutes must be at least 1"),
        (lambda e: e.bars(grain="week"), 'unknown grain "week". Valid: "tick", "day", or '
                                         "minutes=N"),
        (lambda e: e.snapshot_book(levels=0), "levels must be at least 1"),
        (lambda e: e.attribution("noise"), 'unknown factor "noise". Valid: reversion, momentum, '
         "crowd_lean, company_news, order_flow_impact, short_squeeze_effect, random_noise, "
         "circuit_breaker, jump"),
        (lambda e: e.book("ZZZ"), 'no instrument with ticker "ZZZ" in this universe'),
    ])
    def test_refusals(self, call, message):
        e = Engine(seed=3, universe=corvane.random_instruments(4))
        with pytest.raises(ValidationError) as raised:
            call(e)
        assert str(raised.value) == message
