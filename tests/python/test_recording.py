"""Recording and its tables, read by real Arrow consumers."""

import duckdb
import numpy
import pyarrow
import pyarrow.compute as pc
import pytest

import corvane
from corvane import Engine

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
    def test_every_grain_through_the_consumers(self, two_days):
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
        # Bucketed grains: the daily bars are the tick closes' paths.
        tick = table.to_pydict()
        table = pyarrow.table(two_days.bars(minutes=7))
        assert table.num_rows == 2 * 56 * 100
        assert table.column_names == ["day", "bar", "instrument_id", "open", "high", "low",
                                      "close", "volume"]
        daily = pyarrow.table(two_days.bars(grain="day")).to_pydict()
        assert len(daily["bar"]) == 200 and set(daily["bar"]) == {0}
        first_day_closes = tick["close"][:39000]
        for i in (0, 57, 99):
            path = first_day_closes[i::100]
            assert daily["open"][i] == path[0] and daily["close"][i] == path[-1]
            assert daily["high"][i] == max(path) and daily["low"][i] == min(path)
        last_bar = [row for row in range(5600) if table["bar"][row].as_py() == 55]
        assert len(last_bar) == 100  # ticks 385 to 389

    def test_nothing_recorded_reads_the_last_session(self):
        e = Engine(seed=3, universe=corvane.random_instruments(3))
        e.run_session(9, 30, 3, 10)
        table = pyarrow.table(e.bars(day=42))
        assert table.num_rows == 30 and set(table["day"].to_pylist()) == {42}
        prices = numpy.frombuffer(e.session_prices(), dtype="<f8")
        assert prices.tolist() == table["close"].to_pylist()
        assert len(e.session_volumes()) == len(e.session_mispricing_s()) == 30 * 8
        # A day opened and kept before any tick has no bars, at any grain.
        e.open_market()
        e.record(43)
        grains = ({}, {"minutes": 5}, {"grain": "day"})
        assert [pyarrow.table(e.bars(day=43, **grain)).num_rows for grain in grains] == [0, 0, 0]


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
    def test_refusals(self, refusal, call, message):
        assert refusal(call, Engine(seed=3, universe=corvane.random_instruments(4))) == message


def f64(raw):
    return numpy.frombuffer(raw, dtype="<f8")


def rows_of(table, day, column):
    """A day's column, with each row's instrument position."""
    rows = table.filter(pc.equal(table["day"], day))
    return rows["instrument_id"].to_numpy(), rows[column].to_numpy()


class TestTablesAgainstTheEngine:
    NEWCOMER = corvane.Instrument("NEW", "utilities", initial_price=20.0, shares_outstanding=1e7,
                                  avg_volume=5e5)

    @pytest.mark.parametrize("seed", [3, 8])
    def test_bar_volumes_are_what_each_session_traded(self, seed):
        """A bar's volume is the rise of the cumulative volume over it: summed per position over
        a day, at every grain, it is what the day's sessions traded. Volume from tick() calls
        between sessions belongs to no bar; a listing and a delisting change the roster mid-day."""
        rng = numpy.random.default_rng(seed)
        e = Engine(seed=seed, universe=corvane.random_instruments(5, seed=seed))
        expected = {}
        for day in range(3):
            e.open_market()
            traded, widest = numpy.zeros(7), 0
            for s in range(4):
                for minute in range(int(rng.integers(0, 3))):
                    e.tick(12, minute, 3)
                if s == 1 and day != 1:
                    e.list_instrument(self.NEWCOMER)
                if s == 2 and day != 2:
                    e.delist(int(rng.integers(0, len(e))))
                start, widest = f64(e.column("volume")).copy(), max(widest, len(e))
                e.run_session(9 + s, 30, 3, int(rng.integers(5, 40)))
                traded[:len(e)] += f64(e.column("volume")) - start
                if day == 0 and s == 0:
                    # Nothing recorded yet: the tables read the last session.
                    ids, volume = rows_of(pyarrow.table(e.bars(day=0)), 0, "volume")
                    sums = numpy.bincount(ids, weights=volume)
                    assert sums == pytest.approx(traded[:len(e)], rel=1e-12), seed
            e.record(day)
            expected[day] = traded[:widest]
            e.close_market()
        for bars in (e.bars(), e.bars(minutes=int(rng.integers(2, 30))), e.bars(grain="day")):
            table = pyarrow.table(bars)
            for day, traded in expected.items():
                ids, volume = rows_of(table, day, "volume")
                sums = numpy.bincount(ids, weights=volume, minlength=len(traded))
                assert sums[:len(traded)] == pytest.approx(traded, rel=1e-12), (seed, day)
                assert len(sums) <= len(traded) and (volume >= 0).all()

    @pytest.mark.parametrize("seed", range(4))
    def test_truth_sums_to_attribution_and_each_close_jump_opens_the_next_session(self, seed):
        """Over random histories of explicit closes, closes at a session's end, whole days and
        restores between days: a day's truth column summed over its ticks is the day's
        attribution for every driver but the jump, and the jump column holds, on the first
        tick of each session, the jump the close before it gave the mispricing (all-zero
        ones too), else 0."""
        rng = numpy.random.default_rng(seed)
        # Jumps often enough that closes with and without them follow each other.
        model = corvane.ModelParams.from_preset("kx-v5", jump_intensity_market=0.3,
                                                jump_intensity_idio=0.2)
        e = Engine(seed=seed, universe=corvane.random_instruments(4, seed=seed), model=model)
        mispricing = lambda: numpy.nan_to_num(f64(e.column("mispricing_s")))
        state = {"carry": None, "label": 0, "saved": None}
        days = []

        def close(call, after_session=False):
            before = mispricing()
            call()
            if after_session:  # the mispricing the session's last tick left
                before = numpy.nan_to_num(f64(e.session_mispricing_s())[-4:])
            e.record(state["label"])
            truth = pyarrow.table(e.truth())
            truth = truth.filter(pc.equal(truth["day"], state["label"]))
            for factor in TICK_FACTORS:
                column = truth.column(factor).to_numpy().reshape(-1, 4)
                summed = [sum(column[:, i].tolist()) for i in range(4)]
                assert f64(e.attribution(factor)).tolist() == summed, (seed, state, factor)
            days.append((state["label"], truth.column("jump").to_numpy().reshape(-1, 4)))
            state["carry"] = mispricing() - before
            state["label"] += 1

        def session_rows(ticks):
            rows = numpy.zeros((ticks, 4))
            if state["carry"] is not None:
                rows[0], state["carry"] = state["carry"], None
            jump.append(rows)

        for _ in range(16):
            jump = []
            if rng.integers(0, 3) == 0:
                ticks = int(rng.integers(3, 30))
                session_rows(ticks)
                close(lambda: e.run_days(1, ticks_per_day=ticks, record=False), True)
            else:
                e.open_market()
                for _ in range(int(rng.integers(1, 3))):
                    ticks, at_end = int(rng.integers(3, 30)), bool(rng.integers(0, 2))
                    session_rows(ticks)
                    if at_end:
                        close(lambda: e.run_session(9, 30, 3, ticks, close_at_end=True), True)
                        days[-1] += (numpy.vstack(jump),)
                    else:
                        e.run_session(9, 30, 3, ticks)
                close(e.close_market)
            days[-1] += (numpy.vstack(jump),)
            if rng.integers(0, 2):  # a second close with no session between
                close(e.close_market)
                days[-1] += (numpy.vstack(jump),)
            if state["saved"] is None or rng.integers(0, 3) == 0:
                state["saved"] = e.state_snapshot()
            elif rng.integers(0, 2):
                e.restore_state(state["saved"])
        assert any(expected.any() for _, _, expected in days)
        for label, got, expected in days:
            assert got.tolist() == expected.tolist(), (seed, label)
