"""Read-outs as numpy arrays over the bytes they are built in, the roster as a table, how
inputs move prices, and the README tour run exactly as printed."""

import re
from pathlib import Path

import duckdb
import numpy
import polars
import pyarrow
import pytest

import corvane
from corvane import Engine, EngineBatch, News

UNIVERSE = corvane.random_instruments(4, seed=5)
README = Path(__file__).resolve().parents[2] / "README.md"


def test_arrays_wrap_the_built_bytes_read_only_in_the_shapes_users_expect():
    e = Engine(seed=3, universe=UNIVERSE)
    e.run_session(9, 30, 3, 6)
    batch = EngineBatch(seeds=[1, 2, 3], universe=UNIVERSE)
    batch.run_session(9, 30, 3, 2)
    n = len(UNIVERSE)
    reads = {
        "prices": (e.prices, (), (n,)),
        "column": (e.column, ("volume",), (n,)),
        "attribution": (e.attribution, ("random_noise",), (n,)),
        "session_prices": (e.session_prices, (), (6, n)),
        "session_volumes": (e.session_volumes, (), (6, n)),
        "session_mispricing_s": (e.session_mispricing_s, (), (6, n)),
        "quotes": (e.quotes, (), (n, 4)),
        "sweep_costs": (e.sweep_costs, ([100.0, -50.0, 0.0, 1e9],), (n, 3)),
        "batch prices": (batch.prices, (), (3, n)),
        "batch column": (batch.column, ("mispricing_s",), (3, n)),
        "batch quotes": (batch.quotes, (), (3, 4, n)),
        "batch sweep_costs": (batch.sweep_costs, (numpy.full((3, n), 40.0),), (3, 3, n)),
        "batch attribution": (batch.attribution, ("jump",), (3, n)),
    }
    for name, (read, args, shape) in reads.items():
        array = read(*args, as_numpy=True)
        base = array
        while not isinstance(base, bytes):
            base = base.base
        assert array.shape == shape and array.dtype == numpy.float64, name
        assert not array.flags.writeable, name
        flat = numpy.frombuffer(read(*args), dtype="<f8")
        # Laid out field by field in the bytes; shown instrument by instrument.
        laid_out = array.T if name in ("quotes", "sweep_costs") else array
        numpy.testing.assert_array_equal(laid_out.reshape(-1), flat, err_msg=name)
        assert base == read(*args), name
    assert e.quotes(as_numpy=True)[0].tolist()[:2] == numpy.frombuffer(e.quotes())[[0, n]].tolist()


def universe_rows(e):
    """The roster joined onto day bars in each of the three readers, as comparable tuples."""
    bars, names = e.bars(grain="day"), e.universe_table()
    columns = ["instrument_id", "ticker", "sector", "shares_outstanding", "initial_price", "listed"]
    joined = {
        "polars": polars.DataFrame(bars).join(polars.DataFrame(names), on="instrument_id"),
        "pyarrow": pyarrow.table(bars).join(pyarrow.table(names), "instrument_id"),
        "duckdb": duckdb.sql("SELECT * FROM bars JOIN names USING (instrument_id)").arrow(),
    }
    out = {}
    for reader, table in joined.items():
        rows = polars.DataFrame(table).select(columns).sort("instrument_id").rows()
        out[reader] = [tuple(row) for row in rows]
    return out


def test_universe_table_joins_bars_by_instrument_id_after_roster_edits():
    e = Engine(seed=4, universe=UNIVERSE)
    extra = corvane.Instrument("NEW", "energy", initial_price=12.5, shares_outstanding=3e7)
    e.list_instrument(extra)
    e.delist(1)
    e.run_days(1)
    roster = [UNIVERSE[0], *UNIVERSE[2:], extra]
    expected = [(i, x.ticker, x.sector, x.shares_outstanding, x.initial_price, 1)
                for i, x in enumerate(roster)]
    for reader, rows in universe_rows(e).items():
        assert rows == expected, reader


def run_one_tick(**inputs):
    e = Engine(seed=9, universe=corvane.random_instruments(100, seed=0))
    e.open_market()
    e.run_session(ticks=1, **inputs)
    return e


def test_the_documented_reactions_to_news_and_flow():
    aaa = corvane.random_instruments(100, seed=0)[0]
    quiet = run_one_tick()
    news = run_one_tick(news=[News(ticker="AAA", price_impact=-0.5)])
    s = [x.column("mispricing_s", as_numpy=True)[0] for x in (quiet, news)]
    assert s[1] - s[0] == pytest.approx(-0.5 / 390, rel=1e-9)
    assert news.prices() == quiet.prices()

    # Both past ten average ticks' volume: the same capped push; the shares are not volume.
    assert 2e4 > 10 * aaa.avg_volume / 390
    small, huge = (run_one_tick(order_flow={"AAA": (shares, 0.0)}) for shares in (2e4, 1e9))
    push = small.attribution("order_flow_impact", as_numpy=True)[0]
    assert push == huge.attribution("order_flow_impact", as_numpy=True)[0]
    depth = max(aaa.avg_volume, 0.005 * aaa.shares_outstanding) / 390
    model = quiet.model
    assert push == pytest.approx(
        model.informed_flow_fraction * model.order_flow_coefficient * 1.5 / depth / 390, rel=1e-12)
    assert small.column("volume") == huge.column("volume")


def test_the_readme_tour_runs_as_printed():
    text = README.read_text(encoding="utf-8")
    tour = re.search(r"## A short tour\n\n```python\n(.*?)```", text, re.S).group(1)
    namespace = {"__name__": "tour"}
    with pytest.raises(corvane.ValidationError, match="pass 0.05 for 5%") as raised:
        exec(compile(tour, str(README), "exec"), namespace)
    assert raised.traceback[-1].lineno + 1 == len(tour.splitlines())   # the last line shows it
    join = re.search(r"puts names to them.*?```python\n(.*?)```", text, re.S).group(1)
    exec(compile(join, str(README), "exec"), namespace)
    assert namespace["engine"].clock is None and len(namespace["names"].columns) == 6
    assert namespace["engine"].recorded_days == 21
    assert len(namespace["prices"]) == 32
