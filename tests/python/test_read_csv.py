"""vorpel.read_csv / vorpel.open_csv: the RFC 4180 dialect against Python's csv
module, typed columns, every error with its attributes and message, the same
table from every engine mode and thread count, and the reading options."""

from __future__ import annotations

import csv
import datetime as dt
import gzip
import io
import random
import re

import pyarrow as pa
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import _vorpel.errors as errors
import vorpel
from vorpel import MergeError, ParseError, PlanError

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
BOM = b"\xef\xbb\xbf"
DICT = pa.dictionary(pa.int32(), pa.string())

MODES = [
    {"engine": "columnar"},
    {"engine": "stream", "batch_rows": 7},
    {"engine": "stream", "batch_rows": 1000, "threads": 1},
    {"engine": "parallel", "threads": 1},
    {"engine": "parallel", "threads": 4},
    {"engine": "parallel_streaming", "threads": 2, "batch_rows": 999},
    {"engine": "parallel_streaming", "threads": 4, "memory": "64MiB"},
    {"engine": "auto", "threads": 3},
]
MODE_IDS = ["-".join(str(v) for v in m.values()) for m in MODES]


def read(source, **options) -> pa.Table:
    return vorpel.read_csv(source, **options)


def stream(source, **options) -> pa.Table:
    """open_csv used as a context manager, its batches gathered into a table."""
    with vorpel.open_csv(source, **options) as reader:
        assert isinstance(reader, pa.RecordBatchReader)
        schema = reader.schema
        batches = list(reader)
    return pa.Table.from_batches(batches, schema=schema)


READERS = {"read_csv": read, "open_csv": stream}


def same(a: pa.Table, b: pa.Table) -> None:
    assert a.schema == b.schema
    assert a.to_pydict() == b.to_pydict()


def source_for(tmp_path, via: str, data: bytes, name: str = "in.csv"):
    """(what to pass as source, the path the errors show)."""
    if via == "bytes":
        return data, "<bytes>"
    path = tmp_path / name
    path.write_bytes(data)
    return path, str(path)


def line_breaks(text: str) -> int:
    return len(re.findall(r"\r\n|\r|\n", text))


def test_error_classes_are_the_extension_classes():
    assert (vorpel.PlanError, vorpel.ParseError, vorpel.MergeError) == (PlanError, ParseError, MergeError)
    assert (PlanError, ParseError, MergeError) == (errors.PlanError, errors.ParseError, errors.MergeError)


# ------------------------------------------------- against Python's csv module

CHARS = st.one_of(
    st.sampled_from([",", ";", "\t", "|", '"', '""', "\n", "\r\n", "\r", " ", "é", "€", "😀", "\u2028"]),
    st.characters(codec="utf-8", exclude_categories=("Cs", "Cc"), exclude_characters="\ufeff"),
)
FIELDS = st.lists(CHARS, max_size=8).map("".join)


@st.composite
def csv_texts(draw):
    ncols = draw(st.integers(1, 5))
    # A lone empty field would be written as `""`; keep one-column rows non-empty.
    cell = FIELDS if ncols > 1 else FIELDS.filter(bool)
    header = draw(st.booleans())
    names = (draw(st.lists(FIELDS.filter(bool), min_size=ncols, max_size=ncols, unique=True))
             if header else [f"f{i}" for i in range(ncols)])
    rows = draw(st.lists(st.lists(cell, min_size=ncols, max_size=ncols), min_size=0 if header else 1, max_size=12))
    delimiter = draw(st.sampled_from(",;\t|"))
    terminator = draw(st.sampled_from(["\n", "\r\n"]))
    out = io.StringIO()
    writer = csv.writer(out, delimiter=delimiter, lineterminator=terminator,
                        quoting=draw(st.sampled_from([csv.QUOTE_MINIMAL, csv.QUOTE_ALL])))
    writer.writerows(([names] if header else []) + rows)
    text = out.getvalue()
    if draw(st.booleans()):
        text = text[: -len(terminator)]  # the last line without a line end
    # csv.writer leaves a lone \r unquoted when the line end is \n: keep only
    # texts the csv module itself reads back as written.
    assume(list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)) == ([names] if header else []) + rows)
    return text.encode(), delimiter, header, names, rows


@given(csv_texts(), st.sampled_from(MODES))
def test_matches_python_csv_module(case, mode):
    data, delimiter, header, names, rows = case
    options = {"delimiter": delimiter, "header": header, "null_values": ()}
    table = read(data, **options)
    assert table.column_names == names
    assert all(t == pa.string() for t in table.schema.types)
    assert [list(r) for r in zip(*table.to_pydict().values())] == rows
    same(read(data, **options, **mode), table)
    same(stream(data, **options, **mode), table)


TYPED = {  # column: (type text, pyarrow type, values, value -> field text)
    "i": ("int64", pa.int64(), st.integers(I64_MIN, I64_MAX), str),
    "f": ("float64", pa.float64(), st.floats(allow_nan=False), repr),
    "d": ("date32", pa.date32(), st.dates(), dt.date.isoformat),
    "t": ("timestamp[ms]", pa.timestamp("ms"),
          st.datetimes().map(lambda v: v.replace(microsecond=v.microsecond // 1000 * 1000)),
          lambda v: v.isoformat()[:19] + f".{v.microsecond // 1000:03}"),
    "m": ("decimal128(2)", pa.decimal128(38, 2),
          st.decimals(-(10**20), 10**20, places=2, allow_nan=False, allow_infinity=False),
          lambda v: format(v, "f")),
    "b": ("boolean", pa.bool_(), st.booleans(), lambda v: "true" if v else "false"),
}


@given(st.lists(st.tuples(*(st.none() | s for _, _, s, _ in TYPED.values())), max_size=20), st.booleans())
def test_typed_columns_read_python_values_exactly(rows, pyarrow_spelling):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(TYPED)
    for row in rows:
        writer.writerow(["" if v is None else fmt(v) for v, (_, _, _, fmt) in zip(row, TYPED.values())])
    types = {name: (arrow if pyarrow_spelling else text) for name, (text, arrow, _, _) in TYPED.items()}
    table = read(out.getvalue().encode(), types=types)
    assert table.schema == pa.schema([(name, arrow) for name, (_, arrow, _, _) in TYPED.items()])
    assert table.to_pydict() == {name: [r[i] for r in rows] for i, name in enumerate(TYPED)}


SPELLINGS = [
    # (declared type, options, the column's lines under its header, Arrow type, values)
    ("bool", {}, b"true\nfalse\n\n", pa.bool_(), [True, False]),
    ("boolean", {"true_values": ("Yes", "1"), "false_values": ("No", "0")}, b"Yes\nNo\n1\n0\n",
     pa.bool_(), [True, False, True, False]),
    ("int64", {"null_values": ("NA",)}, b'1\nNA\n"NA"\n', pa.int64(), [1, None, None]),
    ("dictionary", {}, b"b\na\nb\n\n", DICT, ["b", "a", "b"]),
    ("string", {}, b'007\n""\n', pa.string(), ["007", None]),
    (pa.string(), {}, b"x\n", pa.string(), ["x"]),
    ("timestamp[s,format=%d/%m/%Y %H:%M:%S]", {}, b"05/01/2024 12:00:00\n", pa.timestamp("s"),
     [dt.datetime(2024, 1, 5, 12)]),
]


@pytest.mark.parametrize("declared, options, body, arrow, expected", SPELLINGS,
                         ids=[f"{s[0]}-{'-'.join(s[1])}" for s in SPELLINGS])
def test_declared_types(declared, options, body, arrow, expected):
    table = read(b"c\n" + body, types={"c": declared}, **options)
    assert table.schema.field("c").type == arrow
    assert table.column("c").to_pylist() == expected


# ----------------------------------------------------------------- dialect

DIALECT = [
    # (data, options, expected columns)
    (b"a;b\n1;x,y\n", {"delimiter": ";"}, {"a": ["1"], "b": ["x,y"]}),
    (b'a\tb\n"1\t2"\t3\n', {"delimiter": "\t"}, {"a": ["1\t2"], "b": ["3"]}),
    (b"a|b\n|2\n", {"delimiter": "|"}, {"a": [None], "b": ["2"]}),
    (b'a\n"he said ""hi"""\n""""\n', {}, {"a": ['he said "hi"', '"']}),
    (b'a,b\n"x,y","1\r\n2\n3\r4"\n', {}, {"a": ["x,y"], "b": ["1\r\n2\n3\r4"]}),
    (b"a,b\r1,2\r3,4", {}, {"a": ["1", "3"], "b": ["2", "4"]}),
    (b"a\n1\r\n2\r3\n4", {}, {"a": ["1", "2", "3", "4"]}),
    (b"a,b\n\n1,2\n\r\n\r\r\n3,4\n\n", {}, {"a": ["1", "3"], "b": ["2", "4"]}),
    (b"a,b,c\n,,\n", {"null_values": ()}, {"a": [""], "b": [""], "c": [""]}),
    (b"a,b,c\n,,\n", {}, {"a": [None], "b": [None], "c": [None]}),
    (b'a\n""\n\nx\n', {"null_values": ()}, {"a": ["", "x"]}),
    (b'a\n"x"', {}, {"a": ["x"]}),
    (b"a,b\n x , y \n", {}, {"a": [" x "], "b": [" y "]}),
    (b"a,b\n'x,y','it''s'\n", {"quote": "'"}, {"a": ["x,y"], "b": ["it's"]}),
    (b'a\nab"c\n', {"quote": "'"}, {"a": ['ab"c']}),
    (BOM + b"a,b\n1,2\n", {}, {"a": ["1"], "b": ["2"]}),
    (BOM + b'"a",b\n1,2\n', {}, {"a": ["1"], "b": ["2"]}),
    (BOM + b"x\n", {"header": False}, {"f0": ["x"]}),
    (b"a,b\n1,2\n", {"header": False}, {"f0": ["a", "1"], "f1": ["b", "2"]}),
    (b"a,b\n1,2\n", {"column_names": ["x", "y"]}, {"x": ["1"], "y": ["2"]}),
    (b"a,b\n1,2\n", {"column_names": ["x", "y"], "header": False}, {"x": ["a", "1"], "y": ["b", "2"]}),
    (b"# note\n# more, text\na,b\n1,2\n", {"skip_rows": 2}, {"a": ["1"], "b": ["2"]}),
    (b'"pre\namble"\na\n1\n', {"skip_rows": 1}, {"a": ["1"]}),
    (b"junk\n1,2\n", {"skip_rows": 1, "header": False}, {"f0": ["1"], "f1": ["2"]}),
    (b'a,b\n,x\n"",y\n', {}, {"a": [None, None], "b": ["x", "y"]}),
    (b'a,b\nNA,\n"NA",x\nna,y\n', {"null_values": ("NA",)}, {"a": [None, None, "na"], "b": ["", "x", "y"]}),
    (b"a,b,c\n1\n2,3\n4,5,6", {"ragged": "null"}, {"a": ["1", "2", "4"], "b": [None, "3", "5"], "c": [None, None, "6"]}),
]


@pytest.mark.parametrize("data, options, expected", DIALECT)
def test_dialect(data, options, expected):
    table = read(data, **options)
    assert table.to_pydict() == expected
    assert all(t == pa.string() for t in table.schema.types)
    same(stream(data, engine="stream", batch_rows=1, **options), table)


@pytest.mark.parametrize("data, options, schema", [
    (b"", {}, pa.schema([])),
    (b"\n\r\n\n", {}, pa.schema([])),
    (b"a,b\n", {"types": {"a": "int64", "b": pa.date32()}}, pa.schema([("a", pa.int64()), ("b", pa.date32())])),
    (b"a,b", {"types": {"b": "decimal128(2)"}}, pa.schema([("a", pa.string()), ("b", pa.decimal128(38, 2))])),
    (b"a,b\r\n\r\n", {"dictionary": ["a"]}, pa.schema([("a", DICT), ("b", pa.string())])),
])
@pytest.mark.parametrize("reader", READERS)
def test_files_without_records(tmp_path, reader, data, options, schema):
    for source in (data, source_for(tmp_path, "path", data)[0]):
        table = READERS[reader](source, **options)
        assert table.num_rows == 0
        assert table.schema == schema


# ------------------------------------------------------------------- errors

def plan(column, line, value, type_text):
    return (f'{{path}}: column "{column}", line {line}: value "{value}" does not parse as {type_text}; '
            'declare another type for the column or pass on_error="null"'), {"column": column, "line": line, "value": value}


def utf8(line, offset):
    return (f"{{path}}: line {line}, byte {offset}: invalid UTF-8; pass encoding= for text in another encoding",
            {"line": line, "offset": offset})


def count(line, found, expected):
    hint = '; pass ragged="null" to read missing fields as nulls' if found < expected else ""
    return (f"{{path}}: line {line}: {found} fields, expected {expected}{hint}",
            {"line": line, "found": found, "expected": expected})


UNCLOSED = "{path}: line %d: quoted field never closed; the file ends inside it"
STRAY = "{path}: line %d: quote character inside an unquoted field; quote the whole field and double the quotes inside it, or pass quote=None for a file whose fields are never quoted"
AFTER = "{path}: line %d: text after the closing quote of a field; double the quotes inside a quoted field"
I64 = {"a": "int64", "b": "int64"}

ERRORS = [
    # (id, data, options, exception, (message, attributes))
    ("int", b"a,b\n1,2\nx,3\n", {"types": {"a": "int64"}}, PlanError, plan("a", 3, "x", "int64")),
    ("file-order", b"a,b\n1,zz\nyy,2\n", {"types": I64}, PlanError, plan("b", 2, "zz", "int64")),
    ("left-first", b"a,b\nq,r\n", {"types": I64}, PlanError, plan("a", 2, "q", "int64")),
    ("after-quoted-lines", b'a,b\n"1\n2\r\n3",5\n"x",oops\n', {"types": {"b": "int64"}}, PlanError, plan("b", 5, "oops", "int64")),
    ("field-starts-after-break", b'a,b\n"x\ny",bad\n', {"types": {"b": "int64"}}, PlanError, plan("b", 3, "bad", "int64")),
    ("crlf", b"a\r\n1\r\n2\r\nno\r\n", {"types": {"a": "int64"}}, PlanError, plan("a", 4, "no", "int64")),
    ("cr-and-mixed", b"a\r1\n2\r\n3\rno", {"types": {"a": "int64"}}, PlanError, plan("a", 5, "no", "int64")),
    ("quoted-value", b'a\n"12"\n"7x"\n', {"types": {"a": "int64"}}, PlanError, plan("a", 3, "7x", "int64")),
    ("decimal", b"p\n1.25\n1.2.3\n", {"types": {"p": "decimal128(2)"}}, PlanError, plan("p", 3, "1.2.3", "decimal128(2)")),
    ("format", b"t\n05/01/2024 12:00:00\nnoon\n", {"types": {"t": "timestamp[s,format=%d/%m/%Y %H:%M:%S]"}},
     PlanError, plan("t", 3, "noon", "timestamp[s,format=%d/%m/%Y %H:%M:%S]")),
    ("boolean", b"f\ntrue\nmaybe\n", {"types": {"f": "boolean"}}, PlanError, plan("f", 3, "maybe", "boolean")),
    ("skip-and-blank", b"junk\n\na\n\n1\nx\n", {"skip_rows": 1, "types": {"a": "int64"}}, PlanError, plan("a", 6, "x", "int64")),
    ("bom", BOM + b"a\nx\n", {"types": {"a": "int64"}}, PlanError, plan("a", 2, "x", "int64")),
    ("utf8-ff", b"a,b\nok,\xff\n", {}, ParseError, utf8(2, 7)),
    ("utf8-header", b"\xfea\n", {}, ParseError, utf8(1, 0)),
    ("utf8-truncated-bom", BOM + b"a\nx\xc3\n", {}, ParseError, utf8(2, 6)),
    ("utf8-surrogate", b'a,b\n"x\xed\xa0\x80\ny",1\n', {}, ParseError, utf8(2, 6)),
    ("utf8-overlong", b"a\r\n\xc0\xaf\r\n", {}, ParseError, utf8(2, 3)),
    ("utf8-after-quoted-lines", b'a\n"1\n2"\n\xff\n', {}, ParseError, utf8(4, 8)),
    ("short", b"a,b\n1,2\n3\n", {}, ParseError, count(3, 1, 2)),
    ("long", b"a,b\n1,2,3\n", {}, ParseError, count(2, 3, 2)),
    ("long-ragged-null", b"a,b\n1\n1,2,3\n", {"ragged": "null"}, ParseError, count(3, 3, 2)),
    ("short-after-quoted-lines", b'a,b\n"x\ny",1\n2\n', {}, ParseError, count(4, 1, 2)),
    ("delimiters-only-crlf", b"a,b\r\n1,2\r\n,,\r\n", {}, ParseError, count(3, 3, 2)),
    ("unclosed", b'a,b\n1,"abc\ndef\n', {}, ParseError, (UNCLOSED % 2, {"line": 2})),
    ("unclosed-crlf", b'a\r\n1\r\n"x\r\n', {}, ParseError, (UNCLOSED % 3, {"line": 3})),
    ("unclosed-at-end", b'a\n"', {}, ParseError, (UNCLOSED % 2, {"line": 2})),
    ("unclosed-header", b'"a\n1\n', {}, ParseError, (UNCLOSED % 1, {"line": 1})),
    ("stray-quote", b'a\nab"c\n', {}, ParseError, (STRAY % 2, {"line": 2})),
    ("stray-quote-after-break", b'a,b\n"x\ny",q"\n', {}, ParseError, (STRAY % 3, {"line": 3})),
    ("after-closing-quote", b'a\n"ab"c\n', {}, ParseError, (AFTER % 2, {"line": 2})),
    ("space-after-closing-quote", b'a,b\n"x" ,1\n', {}, ParseError, (AFTER % 2, {"line": 2})),
]


@pytest.mark.parametrize("via", ["bytes", "path"])
@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("data, options, exception, expected", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_errors(tmp_path, reader, via, data, options, exception, expected):
    source, shown = source_for(tmp_path, via, data)
    message, attributes = expected
    with pytest.raises(exception) as info:
        READERS[reader](source, **options)
    assert type(info.value) is exception
    assert str(info.value) == message.replace("{path}", shown)
    assert info.value.path == shown
    for name, value in attributes.items():
        assert getattr(info.value, name) == value, name


@pytest.mark.parametrize("reader", READERS)
def test_missing_file(tmp_path, reader):
    path = str(tmp_path / "absent.csv")
    with pytest.raises(FileNotFoundError) as info:
        READERS[reader](path)
    assert info.value.filename == path


@pytest.mark.parametrize("types, exception", [
    ({"payload": pa.list_(pa.int64())}, TypeError),
    ({"payload": "int64", "missing_col": "int64"}, ValueError),
])
@pytest.mark.parametrize("reader", READERS)
def test_bad_types_argument_names_the_column(reader, types, exception):
    with pytest.raises(exception, match="payload" if exception is TypeError else "missing_col"):
        READERS[reader](b"payload,b\n1,2\n", types=types)


@pytest.mark.parametrize("via", ["bytes", "path"])
def test_on_error_null_collects_rejects_in_file_order(tmp_path, via):
    source, shown = source_for(tmp_path, via, b'a,b,c\n1,x,2024-01-05\n"y\nz",2,2024-02-30\n3,4,\n')
    types = {"a": "int64", "b": "int64", "c": "date32"}
    rejects: list = []
    table = read(source, types=types, on_error="null", rejects=rejects)
    assert table.to_pydict() == {"a": [1, None, 3], "b": [None, 2, 4], "c": [dt.date(2024, 1, 5), None, None]}
    assert rejects == [
        {"path": shown, "line": 2, "column": "b", "value": "x", "type": "int64"},
        {"path": shown, "line": 3, "column": "a", "value": "y\nz", "type": "int64"},
        {"path": shown, "line": 4, "column": "c", "value": "2024-02-30", "type": "date32"},
    ]
    same(read(source, types=types, on_error="null"), table)


# ------------------------------------------------------------------ options

PEOPLE = b"id,region,x\n1,north,a\n2,south,b\n3,north,c\n"


@pytest.mark.parametrize("options, schema, columns", [
    ({"rename": {"x": "label"}}, [("id", pa.string()), ("region", pa.string()), ("label", pa.string())],
     {"id": ["1", "2", "3"], "region": ["north", "south", "north"], "label": ["a", "b", "c"]}),
    ({"exclude": ["id"], "dictionary": ["region"]}, [("region", DICT), ("x", pa.string())],
     {"region": ["north", "south", "north"], "x": ["a", "b", "c"]}),
    ({"types": {"id": "int64"}, "exclude": ["region"], "rename": {"x": "y"}}, [("id", pa.int64()), ("y", pa.string())],
     {"id": [1, 2, 3], "y": ["a", "b", "c"]}),
])
def test_rename_exclude_dictionary(options, schema, columns):
    table = read(PEOPLE, **options)
    assert table.schema == pa.schema(schema)
    assert table.to_pydict() == columns


def test_infer_picks_the_narrowest_type():
    data = (b"b,i,z,f,big,d,t,s\n"
            b"true,1,1,1.5,9223372036854775808,2024-01-05,2024-01-05,x\n"
            b"false,-7,0,2,1,2023-12-31,2024-01-06 00:00:01.5,2024-01-05\n"
            b",,,,,,,\n")
    table = read(data, infer=True, types={"s": "string"})
    assert table.schema == pa.schema([
        ("b", pa.bool_()), ("i", pa.int64()), ("z", pa.int64()), ("f", pa.float64()), ("big", pa.float64()),
        ("d", pa.date32()), ("t", pa.timestamp("us")), ("s", pa.string())])
    assert table.column("i").to_pylist() == [1, -7, None]
    assert table.column("t").to_pylist() == [dt.datetime(2024, 1, 5), dt.datetime(2024, 1, 6, 0, 0, 1, 500000), None]
    assert read(b"m\n1\n2024-01-05\n", infer=True).schema.field("m").type == pa.string()


@pytest.mark.parametrize("encoding, text", [
    ("latin-1", 'name,v\né,"ÿ\nx"\n'),
    ("cp1252", "name,v\n€,é\n"),
    ("utf-16", "name,v\r\né€,ÿ😀\r\n"),
])
def test_encodings(tmp_path, encoding, text):
    expected = list(csv.reader(io.StringIO(text, newline="")))
    for source in (text.encode(encoding), source_for(tmp_path, "path", text.encode(encoding))[0]):
        table = read(source, encoding=encoding)
        assert table.column_names == expected[0]
        assert [list(r) for r in zip(*table.to_pydict().values())] == expected[1:]


def test_unknown_encoding():
    with pytest.raises((ValueError, LookupError), match='^unknown encoding "no-such-codec"'):
        read(b"a\n1\n", encoding="no-such-codec")


def compress(kind: str, data: bytes) -> bytes:
    if kind == "gz":
        return gzip.compress(data)
    return pytest.importorskip("zstandard").ZstdCompressor().compress(data)


@pytest.mark.parametrize("kind", ["gz", "zst"])
def test_compressed_files(tmp_path, kind):
    data = b"a,b\n" + b'"x\r\ny",1\nz,2\n' * 1000
    path = tmp_path / f"in.csv.{kind}"
    path.write_bytes(compress(kind, data))
    same(read(path), read(data))
    path.write_bytes(compress(kind, b"a\n1\nx\n"))
    with pytest.raises(PlanError) as info:
        read(str(path), types={"a": "int64"})
    assert (info.value.path, info.value.line) == (str(path), 3)


def test_arrow_c_stream():
    data = b"a,b\n1,x\n2,y\n"
    with vorpel.open_csv(data, types={"a": "int64"}, engine="stream", batch_rows=1) as reader:
        table = pa.RecordBatchReader.from_stream(reader).read_all()
    same(table, read(data, types={"a": "int64"}))


def test_ten_thousand_columns():
    n = 10_000
    lines = [",".join(f"c{i}" for i in range(n))] + [",".join(str(r * n + i) for i in range(n)) for r in range(3)]
    table = read("\n".join(lines).encode(), types={"c0": "int64", "c9999": "int64"})
    assert table.column_names == [f"c{i}" for i in range(n)]
    assert table.column("c9999").to_pylist() == [9999, 19999, 29999]
    assert table.column("c5000").to_pylist() == ["5000", "15000", "25000"]
    assert table.schema.field("c0").type == pa.int64()


@pytest.mark.parametrize("mode", [{"engine": "columnar"}, {"engine": "stream"}, {"engine": "parallel", "threads": 4}])
def test_single_twenty_megabyte_field(mode):
    value = ("x" * 997 + '"\r\n') * 20_000
    data = b'h\n"' + value.replace('"', '""').encode() + b'"\nend\n'
    assert read(data, **mode).column("h").to_pylist() == [value, "end"]


# --------------------------------------- a larger file, in every engine mode

PIECES = ["lorem ", "ipsum,", "\n", "\r\n", '"', "é€😀", ",,", "\n7,x,1.5,9\n", '\n"', '",\n', '"\n"a,b\n']
BIG_TYPES = {"id": "int64", "x": "float64", "n": "int64"}
BAD_ROWS = {21_017, 27_500, 33_333, 39_999}


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A 40k-row file with long multi-line quoted fields that look like records,
    blank lines, mixed line ends and a few values n cannot hold; returns the
    path, the expected columns and the (line, value) of each bad value."""
    rng = random.Random(20240105)
    out, line, bad = ["id,text,x,n\n"], 2, []
    cols: dict = {"id": [], "text": [], "x": [], "n": []}
    for i in range(40_000):
        if i % 16 == 0:
            text = "".join(rng.choice(PIECES) for _ in range(rng.randrange(100, 800)))
        else:
            text = None if i % 13 == 0 else rng.choice([f"w{i}", f"w{i}, {i}"])
        field = "" if text is None else text if text.isalnum() else '"' + text.replace('"', '""') + '"'
        x = rng.uniform(-1e9, 1e9)
        n_line = line + line_breaks(text or "")
        if i in BAD_ROWS:
            n_text, n = f"bad{i}", None
            bad.append((n_line, n_text))
        elif i % 11 == 0:
            n_text, n = "", None
        else:
            n = rng.randrange(I64_MIN, I64_MAX)
            n_text = str(n)
        end = "" if i == 39_999 else rng.choice(["\n", "\n", "\r\n"])
        out.append(f"{i},{field},{x!r},{n_text}{end}")
        line = n_line + 1
        if end and rng.random() < 0.01:
            out.append(end)
            line += 1
        for k, v in zip(cols, (i, text, x, n)):
            cols[k].append(v)
    data = "".join(out).encode()
    path = tmp_path_factory.mktemp("big") / "big.csv"
    path.write_bytes(data)
    gz = path.with_name("big.csv.gz")
    gz.write_bytes(gzip.compress(data, compresslevel=1))
    return path, gz, cols, bad


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
def test_modes_read_the_same_table(big, reader, mode):
    path, _, cols, bad = big
    rejects: list = []
    table = READERS[reader](path, types=BIG_TYPES, on_error="null", rejects=rejects, **mode)
    assert table.schema == pa.schema([("id", pa.int64()), ("text", pa.string()), ("x", pa.float64()), ("n", pa.int64())])
    assert table.to_pydict() == cols
    assert rejects == [{"path": str(path), "line": ln, "column": "n", "value": v, "type": "int64"} for ln, v in bad]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("mode", MODES, ids=MODE_IDS)
def test_modes_raise_the_first_bad_value(big, reader, mode):
    path, _, _, bad = big
    with pytest.raises(PlanError) as info:
        READERS[reader](path, types=BIG_TYPES, **mode)
    assert (info.value.path, info.value.column, info.value.line, info.value.value) == (str(path), "n", *bad[0])


@pytest.mark.parametrize("mode", [{"engine": "parallel", "threads": 4}, {"engine": "parallel_streaming", "threads": 3}])
def test_gzip_in_parallel_modes(big, mode):
    _, gz, cols, _ = big
    assert read(gz, types=BIG_TYPES, on_error="null", **mode).to_pydict() == cols


@pytest.mark.parametrize("engine", ["stream", "parallel_streaming"])
def test_batch_rows_bounds_the_batches(big, engine):
    with vorpel.open_csv(big[0], engine=engine, batch_rows=1000) as reader:
        sizes = [b.num_rows for b in reader]
    assert len(sizes) > 1 and max(sizes) <= 1000 and sum(sizes) == 40_000


@pytest.mark.parametrize("mode", [{"engine": "columnar"}, {"engine": "stream", "batch_rows": 500},
                                  {"engine": "parallel", "threads": 4}])
def test_progress(big, mode):
    calls: list = []
    table = read(big[0], progress=lambda rows, nbytes: calls.append((rows, nbytes)), **mode)
    assert calls
    assert all(a[0] <= b[0] and a[1] <= b[1] for a, b in zip(calls, calls[1:]))
    assert calls[-1][0] == table.num_rows == 40_000
