"""_cast_strings fed by every kind of Arrow producer a user is likely to hold.

Each producer builds a one-column string table from the same Python values;
every producer is run through the same table of casts, so a producer-specific
import problem (wrong batch order, lost nulls, rows numbered per batch instead
of across the stream) shows up as a wrong value or a wrong row in the error.
"""

from __future__ import annotations

import datetime
import decimal
import re
from collections.abc import Callable
from typing import Any

import pyarrow as pa
import pytest

import _vorpel

Values = list[str | None]
Producer = Callable[[Values], Any]


def _pa_table(values: Values, type_: pa.DataType = pa.string()) -> pa.Table:
    return pa.table({"value": pa.array(values, type_)})


def _chunked(values: Values, size: int = 2) -> pa.Table:
    """The same table split into chunks of ``size`` rows."""
    return pa.Table.from_batches(_pa_table(values).to_batches(max_chunksize=size), _pa_table([]).schema)


# --------------------------------------------------------------- producers


def pyarrow_producers() -> list[Any]:
    return [
        pytest.param(lambda v: _pa_table(v), id="pa.Table"),
        pytest.param(lambda v: _pa_table(v, pa.large_string()), id="pa.Table-large_string"),
        pytest.param(_chunked, id="pa.Table-chunks-of-2"),
        pytest.param(lambda v: _pa_table(v).to_batches()[0] if v else pa.RecordBatch.from_pylist([], schema=_pa_table([]).schema), id="pa.RecordBatch"),
        pytest.param(
            lambda v: pa.RecordBatchReader.from_batches(_pa_table([]).schema, _pa_table(v).to_batches(max_chunksize=2)),
            id="pa.RecordBatchReader-chunks-of-2",
        ),
    ]


def _pandas(values: Values, dtype: str) -> pa.Table:
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"value": pd.Series(values, dtype=dtype)})
    if dtype == "object":
        # an object column is typed by inference, which cannot type an empty one
        return pa.Table.from_pandas(frame, schema=_pa_table([]).schema)
    return pa.Table.from_pandas(frame)


def _polars_arrow(values: Values) -> pa.Table:
    pl = pytest.importorskip("polars")
    # polars holds strings as views; to_arrow() hands them out as large_string
    return pl.DataFrame({"value": values}, schema={"value": pl.String}).to_arrow()


def _duckdb_relation(values: Values) -> Any:
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    return con.sql("SELECT unnest($v::VARCHAR[]) AS value", params={"v": values})


def _nanoarrow_stream(values: Values) -> Any:
    na = pytest.importorskip("nanoarrow")
    return na.c_array_stream(_chunked(values))


def _nanoarrow_array_stream(values: Values) -> Any:
    na = pytest.importorskip("nanoarrow")
    return na.ArrayStream(_chunked(values))


def _arro3_table(values: Values) -> Any:
    a3 = pytest.importorskip("arro3.core")
    return a3.Table.from_arrow(_chunked(values))


def _arro3_reader(values: Values) -> Any:
    a3 = pytest.importorskip("arro3.core")
    return a3.RecordBatchReader.from_arrow(_chunked(values))


def _arro3_batch(values: Values) -> Any:
    a3 = pytest.importorskip("arro3.core")
    return a3.RecordBatch.from_arrow(pa.RecordBatch.from_pylist([{"value": v} for v in values], schema=_pa_table([]).schema))


def _arro3_batch_as_table(values: Values) -> Any:
    # An arro3 RecordBatch offers only __arrow_c_array__ (see the rejected
    # inputs below); wrapped in a Table it becomes a stream.
    a3 = pytest.importorskip("arro3.core")
    return a3.Table.from_batches([_arro3_batch(values)])


class _ProtocolOnly:
    """Any object with __arrow_c_stream__ and nothing else pyarrow knows."""

    def __init__(self, table: pa.Table) -> None:
        self._table = table

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._table.__arrow_c_stream__(requested_schema)


PRODUCERS = pyarrow_producers() + [
    pytest.param(lambda v: _pandas(v, "object"), id="pandas-object"),
    pytest.param(lambda v: _pandas(v, "str"), id="pandas-str"),
    pytest.param(_polars_arrow, id="polars-to_arrow"),
    pytest.param(lambda v: _duckdb_relation(v), id="duckdb-relation-c-stream"),
    pytest.param(lambda v: _duckdb_relation(v).arrow(), id="duckdb-arrow"),
    pytest.param(lambda v: _duckdb_relation(v).to_arrow_table(), id="duckdb-to_arrow_table"),
    pytest.param(lambda v: _duckdb_relation(v).to_arrow_reader(batch_size=2), id="duckdb-reader-batches"),
    pytest.param(_nanoarrow_stream, id="nanoarrow-c_array_stream"),
    pytest.param(_nanoarrow_array_stream, id="nanoarrow-ArrayStream"),
    pytest.param(_arro3_table, id="arro3-Table"),
    pytest.param(_arro3_reader, id="arro3-RecordBatchReader"),
    pytest.param(_arro3_batch_as_table, id="arro3-Table.from_batches"),
    pytest.param(lambda v: _ProtocolOnly(_chunked(v)), id="bare-__arrow_c_stream__"),
]

# --------------------------------------------------------------- casts

D = decimal.Decimal
CASTS = [
    pytest.param("int64", ["1", None, "-3", "007", None], pa.int64(), [1, None, -3, 7, None], id="int64"),
    pytest.param(
        "decimal128(2)", ["1.239", " 42 ", None, "-.07", "0"], pa.decimal128(38, 2), [D("1.23"), D("42.00"), None, D("-0.07"), D("0.00")], id="decimal128(2)"
    ),
    pytest.param(
        "timestamp[ms,format=%d/%m/%Y %H:%M]",
        ["05/01/2024 12:30", None, "2024-01-05", "31/12/1999 23:59", "1/2/2024 0:00"],
        pa.timestamp("ms"),
        [
            datetime.datetime(2024, 1, 5, 12, 30),
            None,
            datetime.datetime(2024, 1, 5),
            datetime.datetime(1999, 12, 31, 23, 59),
            datetime.datetime(2024, 2, 1),
        ],
        id="timestamp-pattern",
    ),
    pytest.param("string", ["a", None, "", "ü", "a,b"], pa.string(), ["a", None, "", "ü", "a,b"], id="string"),
]


@pytest.mark.parametrize("field_type, values, arrow_type, expected", CASTS)
@pytest.mark.parametrize("producer", PRODUCERS)
def test_cast_from_producer(producer: Producer, field_type: str, values: Values, arrow_type: pa.DataType, expected: list[Any]) -> None:
    result = _vorpel._cast_strings(producer(values), field_type)
    assert isinstance(result, pa.Array)
    assert result.type == arrow_type
    assert result.to_pylist() == expected


@pytest.mark.parametrize("producer", PRODUCERS)
def test_dictionary_from_producer(producer: Producer) -> None:
    result = _vorpel._cast_strings(producer(["b", "a", None, "b", "c"]), "dictionary")
    assert result.type == pa.dictionary(pa.int32(), pa.string())
    assert result.indices.to_pylist() == [0, 1, None, 0, 2]
    assert result.dictionary.to_pylist() == ["b", "a", "c"]


# A bad value in row 3 sits in the second batch for the producers that split
# into batches of two: the reported row must count across batches.
@pytest.mark.parametrize(
    "field_type, values, message",
    [
        pytest.param("int64", ["1", "2", None, "x7", "y"], 'value "x7" in column "value" at row 3 does not parse as declared type Int64', id="int64"),
        pytest.param("bool", ["true", "false", "true", "True"], 'value "True" in column "value" at row 3 does not parse as declared type Boolean', id="bool"),
        pytest.param(
            "decimal128(2)", ["1", "2", "3", "12,5"], 'value "12,5" in column "value" at row 3 does not parse as declared type Decimal128(2)', id="decimal"
        ),
    ],
)
@pytest.mark.parametrize("producer", PRODUCERS)
def test_first_bad_value_from_producer(producer: Producer, field_type: str, values: Values, message: str) -> None:
    with pytest.raises(_vorpel.PlanError) as info:
        _vorpel._cast_strings(producer(values), field_type)
    assert str(info.value) == "strict_types: " + message


@pytest.mark.parametrize("producer", PRODUCERS)
def test_empty_input_from_producer(producer: Producer) -> None:
    result = _vorpel._cast_strings(producer([]), "int64")
    assert result.type == pa.int64()
    assert len(result) == 0


# --------------------------------------------------------------- producers the cast rejects


def test_polars_string_view_is_rejected() -> None:
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"value": ["1", None, "3"]})
    with pytest.raises(TypeError) as info:
        _vorpel._cast_strings(df, "int64")
    assert str(info.value) == "_cast_strings expects string or large_string input, got Utf8View"


@pytest.mark.parametrize(
    "route",
    [
        pytest.param(lambda df, pl: df.to_arrow(), id="to_arrow"),
        pytest.param(lambda df, pl: df.to_arrow(compat_level=pl.CompatLevel.oldest()), id="to_arrow-oldest"),
        pytest.param(lambda df, pl: pa.table(df.to_arrow()).cast(pa.schema([("value", pa.string())])), id="cast-to-string"),
    ],
)
def test_polars_working_routes(route: Callable[[Any, Any], Any]) -> None:
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"value": ["1", None, "3"]})
    assert _vorpel._cast_strings(route(df, pl), "int64").to_pylist() == [1, None, 3]


@pytest.mark.parametrize(
    "make, exc, message",
    [
        pytest.param(lambda: pa.table({"value": pa.array([1, 2], pa.int64())}), TypeError,
                     "_cast_strings expects string or large_string input, got Int64", id="int64-column"),
        pytest.param(lambda: _duckdb_relation(["1"]).select("value, value AS other"), ValueError,
                     "_cast_strings expects a one-column Arrow table", id="duckdb-two-columns"),
        pytest.param(lambda: pa.table({"value": pa.array([b"1"], pa.binary())}), TypeError,
                     "_cast_strings expects string or large_string input, got Binary", id="binary-column"),
        pytest.param(lambda: ["1", "2"], TypeError,
                     "Expected instance of pyarrow.lib.RecordBatchReader, got list", id="python-list"),
        pytest.param(lambda: _arro3_batch(["1"]), TypeError,
                     "Expected instance of pyarrow.lib.RecordBatchReader, got arro3.core._core.RecordBatch", id="arro3-bare-RecordBatch"),
    ],
)
def test_rejected_inputs(make: Callable[[], Any], exc: type[Exception], message: str) -> None:
    with pytest.raises(exc) as info:
        _vorpel._cast_strings(make(), "int64")
    assert type(info.value) is exc
    assert str(info.value) == message


def test_capsule_is_consumed_once() -> None:
    """A producer's stream belongs to the cast; a second use sees it released."""
    table = _pa_table(["1", "2"])
    capsule = table.__arrow_c_stream__()

    class Once:
        def __arrow_c_stream__(self, requested_schema: object = None) -> object:
            return capsule

    assert _vorpel._cast_strings(Once(), "int64").to_pylist() == [1, 2]
    with pytest.raises(ValueError, match=re.escape("C Data interface error: input stream is already released")):
        _vorpel._cast_strings(Once(), "int64")
