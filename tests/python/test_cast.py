"""_cast_strings end to end: values, result types, the order of the checks and
every message a caller can see."""

from __future__ import annotations

import datetime as dt
import math
import random
import struct
from decimal import ROUND_DOWN, Decimal, localcontext

import pyarrow as pa
import pyarrow.compute as pc
import pytest

import _vorpel
from _vorpel import PlanError

cast = _vorpel._cast_strings

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def table(values, type_=pa.string(), name="s"):
    return pa.table({name: pa.array(values, type_)})


def batches(*chunks, type_=pa.string()):
    """A table whose column is split into the given chunks (one batch each)."""
    schema = pa.schema([("s", type_)])
    return pa.Table.from_batches(
        [pa.record_batch([pa.array(c, type_)], schema=schema) for c in chunks], schema
    )


def ts(type_: str, value: int) -> pa.Scalar:
    return pa.scalar(value, pa.timestamp(type_))


# --------------------------------------------------------------- values

VALUE_CASES = [
    # (field type, input, expected Arrow type, expected Python values)
    ("int64", ["0", "-9223372036854775808", "9223372036854775807", "+5", "007", "-0", None],
     pa.int64(), [0, I64_MIN, I64_MAX, 5, 7, 0, None]),
    ("int64", ["12345678901234567", "-100000000000000009", "+9223372036854775807", "0000000000000000042"],
     pa.int64(), [12345678901234567, -100000000000000009, I64_MAX, 42]),
    ("float64", ["1.5", "-0.25", "1e400", "-1e400", "1e-400", ".5", "5.", "-Infinity", None],
     pa.float64(), [1.5, -0.25, math.inf, -math.inf, 0.0, 0.5, 5.0, -math.inf, None]),
    ("boolean", ["true", "false", None, "true"], pa.bool_(), [True, False, None, True]),
    ("bool", ["false", None], pa.bool_(), [False, None]),
    ("date32", ["1970-01-01", "1969-12-31", " 2024-01-05\t", "2024-1-5", "2024-02-29", None],
     pa.date32(),
     [dt.date(1970, 1, 1), dt.date(1969, 12, 31), dt.date(2024, 1, 5), dt.date(2024, 1, 5),
      dt.date(2024, 2, 29), None]),
    ("string", ["a", "", None, "é€😀", "  x  "], pa.string(), ["a", "", None, "é€😀", "  x  "]),
    ("decimal128(2)", ["1.239", "-1.239", "1.5", "  42 ", ".07", "-.5", "007.10", None],
     pa.decimal128(38, 2),
     [Decimal("1.23"), Decimal("-1.23"), Decimal("1.50"), Decimal("42.00"), Decimal("0.07"),
      Decimal("-0.50"), Decimal("7.10"), None]),
    ("decimal128", ["1", "-0.000000000000000001"], pa.decimal128(38, 18),
     [Decimal("1.000000000000000000"), Decimal("-0.000000000000000001")]),
    ("decimal128(0)", ["12.99", "-3"], pa.decimal128(38, 0), [Decimal(12), Decimal(-3)]),
]


@pytest.mark.parametrize("field_type, values, arrow_type, expected", VALUE_CASES,
                         ids=[c[0] for c in VALUE_CASES])
def test_values_and_type(field_type, values, arrow_type, expected):
    result = cast(table(values), field_type)
    assert isinstance(result, pa.Array)
    assert result.type == arrow_type
    assert result.to_pylist() == expected
    result.validate(full=True)


TIMESTAMP_CASES = [
    # (field type, input, unit, expected raw counts)
    ("timestamp", ["2024-01-05 12:00:00.123456789", "2024-01-05T12:00:00", "2024-01-05", None],
     "us", [1704456000123456, 1704456000000000, 1704412800000000, None]),
    ("timestamp[ms]", ["1969-12-31T23:59:59.5", "2024-01-05 23:59:60"], "ms", [-500, 1704499200000]),
    ("timestamp[s]", ["1969-12-31T23:59:59.5", "2024-01-05 23:59:60"], "s", [-1, 1704499199]),
    ("timestamp[ns]", ["2300-01-01", "1600-01-01", "1970-01-01 00:00:00.000000001"], "ns",
     [I64_MAX, I64_MIN, 1]),
    ("timestamp[ms,format=%d/%m/%Y %H:%M:%S]", ["05/01/2024 12:00:00", "2024-01-05", " 5/1/2024 12:00:00 "],
     "ms", [1704456000000, 1704412800000, 1704456000000]),
    ("timestamp[,format=%d/%m/%Y]", ["05/01/2024"], "us", [1704412800000000]),
]


@pytest.mark.parametrize("field_type, values, unit, expected", TIMESTAMP_CASES,
                         ids=[c[0] for c in TIMESTAMP_CASES])
def test_timestamp_values(field_type, values, unit, expected):
    result = cast(table(values), field_type)
    assert result.type == pa.timestamp(unit)  # no time zone
    assert result.cast(pa.int64()).to_pylist() == expected


def test_float_special_values_keep_their_sign():
    result = cast(table(["NaN", "-nan", "inf", "-0"]), "float64").to_pylist()
    assert math.isnan(result[0]) and math.isnan(result[1])
    assert math.copysign(1.0, result[1]) == -1.0
    assert result[2] == math.inf
    assert result[3] == 0.0 and math.copysign(1.0, result[3]) == -1.0


def test_dictionary_output():
    result = cast(table(["b", "a", "b", None, "c", "a"]), "dictionary")
    assert result.type == pa.dictionary(pa.int32(), pa.string())
    assert result.indices.to_pylist() == [0, 1, 0, None, 2, 1]
    assert result.dictionary.to_pylist() == ["b", "a", "c"]


def test_dictionary_keys_follow_first_appearance_across_batches():
    result = cast(batches(["x", "y"], [], ["y", None, "z", "x"]), "dictionary")
    assert result.indices.to_pylist() == [0, 1, 1, None, 2, 0]
    assert result.dictionary.to_pylist() == ["x", "y", "z"]


def _fold(a: int, b: int) -> int:
    r = a * b
    return (r & 0xFFFFFFFFFFFFFFFF) ^ (r >> 64)


def texts_zeroing_a_fixed_hash(n: int) -> list[str]:
    """24-byte printable texts whose last 8 bytes zero the inner multiply of an
    unseeded multiply-fold hash (constants k0, k1, k2), making that hash 0."""
    k0, k1, k2 = 0xA0761D6478BD642F, 0xE7037ED1A0B428DB, 0x8EBC6AF09C88C6E3
    rng = random.Random(20240105)
    out: set[str] = set()
    while len(out) < n:
        head = bytes(0x20 + b % 95 for b in rng.getrandbits(128).to_bytes(16, "little"))
        w0, w1 = struct.unpack("<QQ", head)
        tail = struct.pack("<Q", _fold(w0 ^ k1, w1 ^ k0 ^ 24) ^ k2)
        if all(0x20 <= c < 0x7F for c in tail):
            out.add((head + tail).decode())
    return sorted(out)


DICTIONARY_TEXT_FAMILIES = {
    "zeroing_a_fixed_hash": lambda: texts_zeroing_a_fixed_hash(200),
    "long_shared_prefix": lambda: ["p" * 500 + str(i) for i in range(3000)],
    "one_byte_apart": lambda: ["b" * i + chr(0x21 + j) + "b" * (99 - i) for i in range(100) for j in range(30)],
}


@pytest.mark.parametrize("family", DICTIONARY_TEXT_FAMILIES)
def test_dictionary_of_hash_shaped_texts_equals_pyarrow(family):
    texts = DICTIONARY_TEXT_FAMILIES[family]()
    rows = texts + [None] + texts[::-1] + texts[::7]
    column = pa.array(rows, pa.string())
    result = cast(pa.table({"s": column}), "dictionary")
    assert result.equals(pc.dictionary_encode(column))
    assert len(result.dictionary) == len(set(texts))


@pytest.mark.parametrize("field_type", ["string", "int64", "dictionary", "timestamp[ms]"])
def test_large_string_input(field_type):
    values = ["1", None, "2"] if field_type == "int64" else ["2024-01-05", None, "2024-01-06"]
    large = cast(table(values, pa.large_string()), field_type)
    plain = cast(table(values), field_type)
    assert large.equals(plain)
    if field_type == "string":
        assert large.type == pa.string()  # never a large_string result


def test_sliced_input_is_read_from_its_offset():
    # Batches that start inside their buffers (slices) must be read from the slice.
    base = pa.array(["9", "1", None, "3", "9"])
    sliced = pa.Table.from_batches([pa.record_batch([base.slice(1, 3)], names=["s"])])
    assert cast(sliced, "int64").to_pylist() == [1, None, 3]


@pytest.mark.parametrize(
    "field_type, arrow_type",
    [
        ("string", pa.string()), ("int64", pa.int64()), ("float64", pa.float64()),
        ("boolean", pa.bool_()), ("date32", pa.date32()), ("timestamp[ns]", pa.timestamp("ns")),
        ("decimal128(5)", pa.decimal128(38, 5)), ("dictionary", pa.dictionary(pa.int32(), pa.string())),
    ],
)
@pytest.mark.parametrize(
    "source",
    [
        pytest.param(lambda: table([]), id="zero-rows"),
        pytest.param(lambda: batches(type_=pa.string()), id="no-batches"),
        pytest.param(lambda: batches([], []), id="empty-batches"),
        pytest.param(lambda: table([None] * 3), id="all-null"),
        pytest.param(lambda: batches([None], [None, None]), id="all-null-batches"),
    ],
)
def test_empty_and_all_null_tables(field_type, arrow_type, source):
    tbl = source()
    result = cast(tbl, field_type)
    assert result.type == arrow_type
    assert len(result) == tbl.num_rows
    assert result.null_count == tbl.num_rows


def test_many_batches_keep_stream_order():
    chunks = [[str(i * 10 + j) if (i + j) % 7 else None for j in range(i % 4)] for i in range(40)]
    expected = [None if v is None else int(v) for c in chunks for v in c]
    assert cast(batches(*chunks), "int64").to_pylist() == expected



def test_a_hundred_thousand_one_row_batches():
    n = 100_000
    values = [str(i) if i % 1000 else None for i in range(n)]
    single = pa.array(values, pa.string())
    tbl = pa.Table.from_batches(
        [pa.record_batch([single.slice(i, 1)], names=["s"]) for i in range(n)])
    assert tbl.column(0).num_chunks == n
    assert cast(tbl, "int64").to_pylist() == [None if v is None else int(v) for v in values]
    bad = values[:]
    bad[n - 1] = "x"
    tbl = pa.Table.from_batches(
        [pa.record_batch([pa.array([v], pa.string())], names=["s"]) for v in bad])
    with pytest.raises(_vorpel.PlanError, match=f"at row {n - 1} does not parse"):
        cast(tbl, "int64")

# --------------------------------------------------------------- strict failures

def strict(value, row, declared, column="value"):
    return (f"strict_types: value {value} in column \"{column}\" at row {row} "
            f"does not parse as declared type {declared}")


STRICT_CASES = [
    # (field type, input values, message)
    ("int64", ["1", None, "x"], strict('"x"', 2, "Int64")),
    ("int64", [" 5"], strict('" 5"', 0, "Int64")),
    ("int64", ["1", "9223372036854775808"], strict('"9223372036854775808"', 1, "Int64")),
    ("int64", ["-9223372036854775809"], strict('"-9223372036854775809"', 0, "Int64")),
    ("int64", ["12345678x012345678"], strict('"12345678x012345678"', 0, "Int64")),
    ("int64", ["1x345678901234567"], strict('"1x345678901234567"', 0, "Int64")),
    ("float64", ["1", "1e"], strict('"1e"', 1, "Float64")),
    ("boolean", ["true", "True"], strict('"True"', 1, "Boolean")),
    ("bool", ["1"], strict('"1"', 0, "Boolean")),
    ("date32", ["2023-02-29"], strict('"2023-02-29"', 0, "Date32")),
    ("timestamp", ["2024-01-05T12:00:00Z"], strict('"2024-01-05T12:00:00Z"', 0, "Timestamp(Microsecond, None)")),
    ("timestamp[ms]", ["x"], strict('"x"', 0, "Timestamp(Millisecond, None)")),
    ("timestamp[ns]", [""], strict('""', 0, "Timestamp(Nanosecond, None)")),
    ("timestamp[ms,format=%d/%m/%Y]", ["32/01/2024"],
     strict('"32/01/2024"', 0, 'Timestamp(Millisecond, Some("%d/%m/%Y"))')),
    ("timestamp[format=a\"b]", ["x"], strict('"x"', 0, 'Timestamp(Microsecond, Some("a\\"b"))')),
    ("decimal128(2)", ["1,5"], strict('"1,5"', 0, "Decimal128(2)")),
    ("decimal128", ["1e5"], strict('"1e5"', 0, "Decimal128(18)")),
    # Quoting of the value: escapes, and only its first 64 characters.
    ("int64", ['q"\\\n\t\x01z'], strict('"q\\"\\\\\\n\\t\\u{1}z"', 0, "Int64")),
    ("int64", ["a" * 100], strict('"' + "a" * 64 + '"', 0, "Int64")),
    ("int64", ["é" * 70], strict('"' + "é" * 64 + '"', 0, "Int64")),
    # Only the first failure counts, however many follow.
    ("int64", ["a", "1", "b"], strict('"a"', 0, "Int64")),
]


@pytest.mark.parametrize("field_type, values, message", STRICT_CASES)
def test_strict_failure_messages(field_type, values, message):
    with pytest.raises(PlanError) as info:
        cast(table(values), field_type)
    assert type(info.value) is PlanError
    assert str(info.value) == message


I128_MAX_TEXT = str(2**127 - 1)  # 39 digits

DECIMAL_WIDTH_CASES = [
    # (scale, text, parses): a decimal column holds at most 38 digits (unscaled).
    (0, "9" * 38, True),
    (0, "-" + "9" * 38, True),
    (0, "1" + "0" * 38, False),          # 39 digits, fits 128 bits
    (0, I128_MAX_TEXT, False),
    (0, "-" + I128_MAX_TEXT, False),
    (0, "9" * 39, False),                # 39 digits, beyond 128 bits
    (0, "-" + "9" * 39, False),
    (0, "1" + "0" * 40, False),
    (0, "0" * 5 + "9" * 38, True),       # leading zeros are not digits of the value
    (2, "9" * 36 + ".99", True),
    (2, "-" + "9" * 36 + ".999", True),  # the third decimal is cut off
    (2, "9" * 37, False),                # the whole part fits, times 10^2 it does not
    (2, "-1" + "0" * 36, False),
    (2, "9" * 36 + ".995", True),
    (2, "1" + "0" * 36 + ".5", False),
    (2, "9" * 40 + ".5", False),
]


@pytest.mark.parametrize("scale, text, parses", DECIMAL_WIDTH_CASES)
def test_decimal_wider_than_38_digits_does_not_parse(scale, text, parses):
    field_type = f"decimal128({scale})"
    if parses:
        result = cast(table(["1", text]), field_type)
        assert result.type == pa.decimal128(38, scale)
        with localcontext() as ctx:
            ctx.prec = 100
            want = Decimal(text).quantize(Decimal(1).scaleb(-scale), rounding=ROUND_DOWN)
            assert result[1].as_py() == want
        return
    with pytest.raises(PlanError) as info:
        cast(table(["1", text, "2"]), field_type)
    assert type(info.value) is PlanError
    assert str(info.value) == strict(f'"{text}"', 1, f"Decimal128({scale})")


@pytest.mark.parametrize(
    "chunks, row",
    [
        ([["0"] * 10, ["x"]], 10),
        ([["0"] * 10, [None, None], ["1", "x"]], 13),
        ([[], ["1"], [], [None, "x", "y"]], 2),
        ([["x"], ["y"]], 0),
    ],
)
def test_rows_are_numbered_across_batches(chunks, row):
    with pytest.raises(PlanError, match=rf" at row {row} does not parse"):
        cast(batches(*chunks), "int64")


def test_invalid_utf8_is_reported_with_replacement_character():
    values = pa.array([b"7", b"\xffx"], pa.binary()).view(pa.string())
    with pytest.raises(PlanError) as info:
        cast(pa.table({"s": values}), "int64")
    assert str(info.value) == strict('"\ufffdx"', 1, "Int64")


@pytest.mark.parametrize("field_type", ["string", "dictionary"])
def test_invalid_utf8_into_text_columns_is_an_arrow_error(field_type):
    values = pa.array([b"ok", b"\xffx"], pa.binary()).view(pa.string())
    with pytest.raises(Exception) as info:
        cast(pa.table({"s": values}), field_type)
    assert type(info.value) is Exception
    assert str(info.value) == "Arrow error: Invalid: Invalid UTF8 sequence at string index 1"


# --------------------------------------------------------------- shape and type checks

@pytest.mark.parametrize(
    "tbl",
    [
        pytest.param(pa.table({"a": ["1"], "b": ["2"]}), id="two-string-columns"),
        pytest.param(pa.table({"a": [1], "b": ["2"]}), id="two-columns-first-int"),
        pytest.param(pa.table({}), id="zero-columns"),
        pytest.param(pa.RecordBatchReader.from_batches(pa.schema([("a", pa.string()), ("b", pa.int8())]), []),
                     id="two-columns-no-batches"),
    ],
)
def test_one_column_check(tbl):
    with pytest.raises(ValueError) as info:
        cast(tbl, "no such type")  # the shape is checked before the field type
    assert type(info.value) is ValueError
    assert str(info.value) == "_cast_strings expects a one-column Arrow table"


INPUT_TYPE_NAMES = [
    (pa.null(), "Null"),
    (pa.bool_(), "Boolean"),
    (pa.int8(), "Int8"), (pa.int64(), "Int64"), (pa.uint16(), "UInt16"), (pa.uint64(), "UInt64"),
    (pa.float16(), "Float16"), (pa.float32(), "Float32"), (pa.float64(), "Float64"),
    (pa.string_view(), "Utf8View"),
    (pa.binary(), "Binary"), (pa.large_binary(), "LargeBinary"), (pa.binary_view(), "BinaryView"),
    (pa.binary(16), "FixedSizeBinary(16)"),
    (pa.date32(), "Date32"), (pa.date64(), "Date64"),
    (pa.time32("s"), "Time32(Second)"), (pa.time32("ms"), "Time32(Millisecond)"),
    (pa.time64("us"), "Time64(Microsecond)"), (pa.time64("ns"), "Time64(Nanosecond)"),
    (pa.timestamp("ms"), "Timestamp(Millisecond, None)"),
    (pa.timestamp("s", "UTC"), 'Timestamp(Second, Some("UTC"))'),
    (pa.duration("s"), "Duration(Second)"), (pa.duration("us"), "Duration(Microsecond)"),
    (pa.month_day_nano_interval(), "Interval(MonthDayNano)"),
    (pa.decimal128(38, 2), "Decimal128(38, 2)"), (pa.decimal256(76, 10), "Decimal256(76, 10)"),
    (pa.list_(pa.int64()),
     'List(Field { name: "item", data_type: Int64, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} })'),
    (pa.large_list(pa.field("v", pa.string(), nullable=False)),
     'LargeList(Field { name: "v", data_type: Utf8, nullable: false, dict_id: 0, dict_is_ordered: false, metadata: {} })'),
    (pa.list_(pa.int8(), 3),
     'FixedSizeList(Field { name: "item", data_type: Int8, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} }, 3)'),
    (pa.list_view(pa.int32()),
     'ListView(Field { name: "item", data_type: Int32, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} })'),
    (pa.map_(pa.string(), pa.int64()),
     'Map(Field { name: "entries", data_type: Struct(['
     'Field { name: "key", data_type: Utf8, nullable: false, dict_id: 0, dict_is_ordered: false, metadata: {} }, '
     'Field { name: "value", data_type: Int64, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} }]), '
     'nullable: false, dict_id: 0, dict_is_ordered: false, metadata: {} }, false)'),
    (pa.struct([pa.field("a", pa.int64()), pa.field('q"', pa.string(), nullable=False, metadata={"k": "v"})]),
     'Struct([Field { name: "a", data_type: Int64, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} }, '
     'Field { name: "q\\"", data_type: Utf8, nullable: false, dict_id: 0, dict_is_ordered: false, metadata: {"k": "v"} }])'),
    (pa.dictionary(pa.int32(), pa.string()), "Dictionary(Int32, Utf8)"),
    (pa.list_(pa.dictionary(pa.int16(), pa.string(), ordered=True)),
     'List(Field { name: "item", data_type: Dictionary(Int16, Utf8), nullable: true, dict_id: 0, dict_is_ordered: true, metadata: {} })'),
    (pa.run_end_encoded(pa.int32(), pa.string()),
     'RunEndEncoded(Field { name: "run_ends", data_type: Int32, nullable: false, dict_id: 0, dict_is_ordered: false, metadata: {} }, '
     'Field { name: "values", data_type: Utf8, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} })'),
    (pa.sparse_union([pa.field("x", pa.int32())]),
     'Union([(0, Field { name: "x", data_type: Int32, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} })], Sparse)'),
    (pa.dense_union([pa.field("x", pa.int32()), pa.field("y", pa.bool_())], type_codes=[3, 7]),
     'Union([(3, Field { name: "x", data_type: Int32, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} }), '
     '(7, Field { name: "y", data_type: Boolean, nullable: true, dict_id: 0, dict_is_ordered: false, metadata: {} })], Dense)'),
    (pa.uuid(), "FixedSizeBinary(16)"),  # an extension type shows its storage type
]


@pytest.mark.parametrize("arrow_type, name", INPUT_TYPE_NAMES, ids=[n for _, n in INPUT_TYPE_NAMES])
def test_non_string_input_is_rejected_with_its_type_name(arrow_type, name):
    reader = pa.RecordBatchReader.from_batches(pa.schema([("c", arrow_type)]), [])
    with pytest.raises(TypeError) as info:
        cast(reader, "no such type")  # the input type is checked before the field type
    assert type(info.value) is TypeError
    assert str(info.value) == f"_cast_strings expects string or large_string input, got {name}"


def test_extension_type_over_strings_is_read_through_its_storage():
    values = pa.array(['{"a": 1}', None], pa.json_())
    assert cast(pa.table({"j": values}), "string").to_pylist() == ['{"a": 1}', None]


@pytest.mark.parametrize(
    "field_type, message",
    [
        ("int", "unknown field type: int"),
        (" int64", "unknown field type:  int64"),
        ("timestamp[sec]", "invalid timestamp spec: timestamp[sec]"),
        ("decimal128(", "invalid decimal128 spec: decimal128("),
        ("decimal128()", "invalid decimal128 scale: cannot parse integer from empty string"),
        ("decimal128(39)", "decimal128 scale exceeds 38: 39"),
    ],
)
def test_bad_field_type_texts(field_type, message):
    with pytest.raises(PlanError) as info:
        cast(table(["1"]), field_type)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "field_type, exc_type, message",
    [
        (b"int64", TypeError, "'bytes' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (5, TypeError, "'int' object is not an instance of 'str'"),
        ("int\udc80", UnicodeEncodeError, None),
    ],
)
def test_field_type_argument_is_checked_before_the_table_is_used(field_type, exc_type, message):
    touched = []

    class Table:
        def __arrow_c_stream__(self, requested_schema=None):
            touched.append(True)
            raise AssertionError("the table must not be used")

    with pytest.raises(exc_type) as info:
        cast(Table(), field_type)
    assert touched == []
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'field_type'"]


def test_result_is_independent_of_the_input():
    # The result owns its buffers: dropping the input (and its stream) must not
    # affect it.
    tbl = table(["x", None, "yz"])
    result = cast(tbl, "string")
    del tbl
    import gc
    gc.collect()
    assert result.to_pylist() == ["x", None, "yz"]
    result.validate(full=True)
