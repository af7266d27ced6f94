"""read_csv while it runs: stage timing, Ctrl-C, progress callbacks that fail, the memory
budget, and vorpel.cast on the columns users hold."""

from __future__ import annotations

import datetime as dt
import signal
import threading
import time

import pyarrow as pa
import pytest

import _vorpel
import vorpel

# About 60 MB of records: long enough that a read spans many blocks.
BIG = b"a,b,c\n" + b"12345,some text here,2024-01-05\n" * 2_000_000


def test_stage_profile_times_reads_only_while_enabled():
    _vorpel.reset_stage_profile()
    vorpel.read_csv(BIG[:2_000_000], types={"a": "int64"}, engine="parallel", threads=2)
    timed = dict((stage, (nanos, calls)) for stage, nanos, calls in _vorpel.stage_profile())
    for stage in ("validate", "parse", "export"):
        assert timed[stage][0] > 0 and timed[stage][1] > 0, stage
    _vorpel.disable_stage_profile()
    vorpel.read_csv(BIG[:2_000_000])
    assert dict((s, (n, c)) for s, n, c in _vorpel.stage_profile()) == timed
    # Leave the counters as a process that never timed anything has them.
    _vorpel.reset_stage_profile()
    _vorpel.disable_stage_profile()
    assert all(nanos == calls == 0 for _, nanos, calls in _vorpel.stage_profile())


def test_ctrl_c_stops_a_long_read_within_a_second():
    sent = []

    def interrupt():
        time.sleep(0.05)
        sent.append(time.perf_counter())
        signal.raise_signal(signal.SIGINT)

    threading.Thread(target=interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        for _ in range(100):  # each read takes long enough; the signal lands inside one
            vorpel.read_csv(BIG, types={"a": "int64", "c": "date32"}, engine="columnar")
    assert time.perf_counter() - sent[0] < 1.0


@pytest.mark.parametrize("raised, expected", [(ValueError("full disk"), vorpel.ParserError),
                                              (KeyboardInterrupt(), KeyboardInterrupt)])
def test_a_failing_progress_callback_stops_the_read(raised, expected):
    def progress(rows, nbytes):
        raise raised

    with pytest.raises(expected) as info:
        vorpel.read_csv(BIG[:1_000_000], progress=progress)
    if expected is vorpel.ParserError:
        assert str(info.value) == "<bytes>: the progress callback raised ValueError: full disk"
        assert info.value.__cause__ is raised


@pytest.mark.parametrize("engine", ["columnar", "parallel"])
def test_a_table_larger_than_the_budget_is_a_memory_error(engine):
    with pytest.raises(MemoryError, match=r'memory budget of 1048576 bytes; read it with engine="stream"'):
        vorpel.read_csv(BIG[:20_000_000], engine=engine, memory="1MiB", threads=2)


def test_stream_batches_stay_within_the_budget_and_equal_the_whole_table():
    whole = vorpel.read_csv(BIG[:20_000_000], types={"a": "int64"}, engine="columnar")
    with vorpel.open_csv(BIG[:20_000_000], types={"a": "int64"}, engine="stream", memory="8MiB") as reader:
        batches = list(reader)
    assert len(batches) > 1
    assert max(b.get_total_buffer_size() for b in batches) <= 8 * 2**20
    assert pa.Table.from_batches(batches).equals(whole)


@pytest.mark.parametrize("values", [
    pa.array(["1", None, "3"]),
    pa.chunked_array([["1"], [None, "3"]]),
    pa.array(["1", None, "3"], pa.large_string()),
    pa.array(["1", None, "3"], pa.string_view()),
])
def test_cast_takes_every_arrow_text_column(values):
    assert vorpel.cast(values, "int64").to_pylist() == [1, None, 3]


def test_cast_errors_name_the_row_and_the_type_as_written():
    with pytest.raises(vorpel.PlanError) as info:
        vorpel.cast(pa.chunked_array([["1.00"], ["2", "x"]]), pa.decimal128(38, 2))
    assert str(info.value) == "value 'x' at row 2 (0-based) does not parse as decimal128(2); " \
                              "check the values or cast to another type"
    assert (info.value.row, info.value.value, info.value.type) == (2, "x", "decimal128(2)")


def _quoted_records(rows: int) -> bytes:
    """Records whose quoted fields hold delimiters, doubled quotes and line breaks."""
    import random
    rng = random.Random(7)
    out = ["a,b,c\r\n"]
    for i in range(rows):
        text = "".join(rng.choice('ab,"\n\r xé€') for _ in range(rng.randint(0, 40)))
        out.append(f'{i},"{text.replace(chr(34), chr(34) * 2)}",{rng.randint(-9, 9)}\r\n')
    return "".join(out).encode()


@pytest.mark.parametrize("engine, threads", [("stream", 1), ("parallel", 2), ("parallel", 3),
                                             ("parallel_streaming", 2)])
@pytest.mark.parametrize("block_bytes", [5000, 9000, 70000])
def test_block_and_chunk_ends_anywhere_give_the_same_table(engine, threads, block_bytes):
    # Small blocks put block ends, chunk ends and read-ahead inside quoted fields.
    from vorpel._csv import batches_of, open_stream
    data = _quoted_records(3000)
    whole = vorpel.read_csv(data, types={"a": "int64", "c": "int64"}, engine="columnar")
    options = dict(types={"a": "int64", "c": "int64"}, delimiter=",", quote='"', header=True, column_names=None,
                   skip_rows=0, encoding="utf-8", null_values=("",), true_values=("true",),
                   false_values=("false",), infer=False, rename=None, exclude=None, dictionary=None,
                   auto_dictionary=False, schema=None, on_error="raise", rejects=None, memory=None, batch_rows=None,
                   where=None, progress=None, ragged="raise")
    stream = open_stream(data, engine=engine, threads=threads, block_bytes=block_bytes, **options)
    batches = list(batches_of(stream, None))
    assert len(batches) > 1
    assert pa.Table.from_batches(batches).equals(whole)


@pytest.mark.parametrize("later", [b'"open\n', b"\xff\n", b"1,2,3\n"], ids=["quote", "utf8", "fields"])
@pytest.mark.parametrize("engine", ["columnar", "parallel"])
def test_a_bad_value_before_a_broken_record_is_the_error(later, engine):
    # Whatever the chunking, the error is the first in file order.
    data = b"a,b\n" + b"1,2\n" * 5000 + b"x,2\n" + b"3,4\n" * 5000 + later
    with pytest.raises(vorpel.PlanError) as info:
        vorpel.read_csv(data, types={"a": "int64"}, engine=engine, threads=2)
    assert (info.value.line, info.value.value) == (5002, "x")


@pytest.mark.parametrize("engine", ["columnar", "parallel"])
def test_quote_none_reads_quotes_as_text(engine):
    # Tab-separated exports often hold quotes in unquoted text.
    data = b'name\tsummary\nfire\tthe "fire" tool\n"x\t5" long\n' * 3000
    table = vorpel.read_csv(data, delimiter="\t", quote=None, header=False, engine=engine, threads=2)
    assert table.slice(0, 3).to_pylist() == [
        {"f0": "name", "f1": "summary"}, {"f0": "fire", "f1": 'the "fire" tool'}, {"f0": '"x', "f1": '5" long'}]
    with pytest.raises(vorpel.ParseError, match="or pass quote=None for a file whose fields are never quoted"):
        vorpel.read_csv(data, delimiter="\t", header=False, engine=engine, threads=2)


@pytest.mark.parametrize("engine", ["columnar", "parallel"])
def test_schema_fixes_the_columns_and_refuses_others(engine):
    data = b"b,a\n" + b"1,2\n" * 5000
    table = vorpel.read_csv(data, schema=["a", "c", "b"], types={"a": "int64"}, engine=engine, threads=2)
    assert table.schema.names == ["a", "c", "b"]
    assert table.slice(0, 1).to_pylist() == [{"a": 2, "c": None, "b": "1"}]
    with pytest.raises(vorpel.MergeError) as info:
        vorpel.read_csv(data, schema=["b"], engine=engine, threads=2)
    assert str(info.value) == '<bytes>: column "a" is not in the schema; add it to schema= or pass exclude=["a"]'
    assert vorpel.read_csv(data, schema=["b"], exclude=["a"], engine=engine).num_columns == 1


MESSAGES = [
    # (input, options, exception, exact message)
    (b"a,b,a\n1,2,3\n", {}, ValueError,
     '<bytes>: two columns are named "a" (columns 1 and 3); pass column_names= to name the columns'),
    (b"a\n1\n", {"types": {"q": "int64"}}, ValueError,
     'types names the column "q", which <bytes> does not have; its columns are "a"'),
    (b"a\n1\n", {"types": {"a": "int65"}}, vorpel.PlanError, 'types["a"]: unknown field type: int65'),
    (b"a\n1\n", {"types": {"a": pa.list_(pa.int64())}}, TypeError,
     'types["a"]: pyarrow type list<item: int64> has no equivalent here; use int64, float64, bool, string, '
     "date32, timestamp(unit) without a time zone, decimal128(38, scale) or dictionary(int32, string)"),
    (b"a\n1\n", {"delimiter": ";;"}, ValueError,
     "delimiter must be one ASCII character other than a line end, not ';;'"),
    (b"a\n1\n", {"on_error": "skip"}, ValueError, "on_error must be \"raise\" or \"null\", not 'skip'"),
    (b"a\n1\n", {"engine": "fast"}, ValueError,
     "engine must be one of 'auto', 'columnar', 'stream', 'parallel', 'parallel_streaming', not 'fast'"),
    (b"a\n1\n", {"where": "a > 1"}, NotImplementedError,
     "where= filters are not available in read_csv yet; filter the table afterwards"),
    (b"a\n" + b"1\n" * 10001 + b"x\n", {"infer": True}, vorpel.PlanError,
     '<bytes>: column "a", line 10003: value "x" does not parse as int64, the type inferred from the first rows; '
     "declare the column's type in types="),
]


@pytest.mark.parametrize("data, options, exception, message", MESSAGES)
def test_option_and_header_errors_say_what_to_do(data, options, exception, message):
    with pytest.raises(exception) as info:
        vorpel.read_csv(data, **options)
    assert str(info.value) == message


@pytest.mark.parametrize("values, message", [
    ([1, 2], "cast takes a pyarrow Array or ChunkedArray, or an object exporting Arrow data "
             "(__arrow_c_array__ or __arrow_c_stream__), not list"),
    (pa.array([1, 2]), "cast reads texts: string, large_string or string_view values, not int64"),
])
def test_cast_refuses_what_is_not_text(values, message):
    with pytest.raises(TypeError) as info:
        vorpel.cast(values, "int64")
    assert str(info.value) == message


def test_dates_through_a_pattern_round_down_before_1970():
    table = vorpel.read_csv(b"d\nJan 05 2024\nDec 31 1969\n\n", types={"d": "date32[format=%b %d %Y]"})
    assert table.schema.field("d").type == pa.date32()
    assert table.column("d").to_pylist() == [dt.date(2024, 1, 5), dt.date(1969, 12, 31)]
