"""ArrowStream as real Arrow consumers see it, through fills_stream."""

import gc
import math
import re
from array import array

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from corvane import fills_stream

pa = pytest.importorskip("pyarrow")

NAMES = ["day", "step", "tick", "instrument_id", "quantity", "price", "worst_price", "notional"]
COLUMNS = {
    "day": [4, 4, 5], "step": [0, 1, 0], "tick": [389, 0, 2**32 - 1], "instrument_id": [2, 0, 1],
    "quantity": [-0.0, 1e300, math.inf], "price": [10.25, 9.5, 11.0],
    "worst_price": [10.5, 9.0, 11.0], "notional": [0.0, 4.75, -3.5],
}


def fills():
    # Any iterable will do for a column, not only a list.
    return fills_stream(**{**COLUMNS, "step": (0, 1, 0), "instrument_id": iter([2, 0, 1])})


class Held:
    """An object offering an already exported capsule, as a consumer expects."""

    def __init__(self, capsule):
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule


class TestConsumers:
    def test_pyarrow_record_batch_reader_polars_and_duckdb(self):
        s = fills()
        table = pa.table(s)
        fields = [pa.field(n, pa.uint32() if i < 4 else pa.float64(), nullable=False)
                  for i, n in enumerate(NAMES)]
        assert table.schema == pa.schema(fields) and table.schema.metadata is None
        assert table.to_pydict() == COLUMNS  # every value bit for bit: the property below
        batches = list(pa.RecordBatchReader.from_stream(s))
        assert [b.num_rows for b in batches] == [3]
        pl = pytest.importorskip("polars")
        frame = pl.DataFrame(s)
        assert frame.columns == NAMES and frame["tick"].dtype == pl.UInt32
        assert frame["notional"].to_list() == COLUMNS["notional"]
        duckdb = pytest.importorskip("duckdb")
        assert duckdb.sql("select sum(price), max(tick) from s").fetchall() == [(30.75, 2**32 - 1)]

    def test_exports_are_complete_independent_and_share_the_columns(self):
        s = fills()
        first = pa.RecordBatchReader.from_stream(s)
        second = pa.RecordBatchReader.from_stream(s)
        a, b = first.read_all(), second.read_all()
        assert a.equals(b) and pa.table(s).equals(a)
        # The same memory behind every export: nothing was copied.
        for name in NAMES:
            assert a[name].chunks[0].buffers()[1].address == b[name].chunks[0].buffers()[1].address

    def test_an_export_outlives_the_stream_object_and_ignores_a_requested_schema(self):
        s = fills()
        capsule = s.__arrow_c_stream__(requested_schema=None)
        reader = pa.RecordBatchReader.from_stream(s)
        del s
        gc.collect()
        assert pa.table(Held(capsule)).to_pydict() == COLUMNS
        assert reader.read_all().to_pydict() == COLUMNS
        # An export nobody consumes is released with its capsule.
        fills().__arrow_c_stream__()
        # A requested schema is ignored.
        narrower = pa.schema([pa.field(n, pa.float32()) for n in NAMES])
        capsule = fills().__arrow_c_stream__(narrower.__arrow_c_schema__())
        assert '"arrow_array_stream"' in repr(capsule)
        assert pa.table(Held(capsule))["price"].type == pa.float64()

    # Drawing large columns is slow on a loaded machine; that is no fault.
    @settings(suppress_health_check=[HealthCheck.too_slow])
    @given(st.data())
    def test_any_columns_round_trip_bit_for_bit(self, data):
        n = data.draw(st.integers(0, 40))
        u32 = st.lists(st.integers(0, 2**32 - 1), min_size=n, max_size=n)
        f64 = st.lists(st.floats(allow_nan=True), min_size=n, max_size=n)
        columns = [data.draw(u32) for _ in range(4)] + [data.draw(f64) for _ in range(4)]
        table = pa.table(fills_stream(*columns))
        for name, values in zip(NAMES, columns):
            data = table[name].chunks[0].buffers()[1]
            expected = array("I" if name in NAMES[:4] else "d", values).tobytes()
            assert (data.to_pybytes() if data else b"") == expected


class TestStreamObject:
    def test_properties_and_repr(self):
        s = fills()
        assert (s.num_rows, s.num_batches, s.columns) == (3, 1, NAMES)
        assert repr(s) == 'ArrowStream("fills", 3 rows in 1 batch(es))'
        empty = fills_stream(*[[]] * 8)
        assert repr(empty) == 'ArrowStream("fills", 0 rows in 1 batch(es))'
        assert [b.num_rows for b in pa.RecordBatchReader.from_stream(empty)] == [0]

    def test_a_column_of_another_length_is_named(self, refusal):
        assert refusal(fills_stream, *[[1, 2, 3]] * 7, [1.0, 2.0]) == "notional has 2 rows, expected 3"
        # Checked in column order: the first that differs is named.
        assert refusal(fills_stream, [1], [], [1], [1], [], [1.0], [1.0], [1.0]) == (
            "step has 0 rows, expected 1")

    @pytest.mark.parametrize("name, value, error, message", [
        ("day", ["x"], TypeError, "argument 'day[0]' must be int, not str"),
        ("tick", [0, 1.0], TypeError, "argument 'tick[1]' must be int, not float"),
        ("step", [0, -1], OverflowError, "argument 'step[1]' is out of range (0 to 4294967295)"),
        ("instrument_id", [2**32], OverflowError, "argument 'instrument_id[0]' is out of range"),
        ("price", ["1"], TypeError, "argument 'price[0]' must be float, not str"),
        ("quantity", 5.0, TypeError, "argument 'quantity' must be a sequence, not float"),
        ("notional", "12", TypeError, "argument 'notional' must be a sequence, not str"),
    ])
    def test_conversion_errors_name_the_argument(self, name, value, error, message):
        with pytest.raises(error, match="^fills_stream\\(\\) " + re.escape(message)):
            fills_stream(**{**COLUMNS, name: value})
