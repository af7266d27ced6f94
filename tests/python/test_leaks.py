"""Every public function, on success and on each class of failure, called many
times: the process must not grow (resident memory, Arrow's memory pool,
memory traced by tracemalloc) and no object may gain or lose a reference.

Results are large (thousands of rows) and inputs are rebuilt per call, so a
leaked result, imported batch or stream shows as megabytes; a leaked Python
object shows in tracemalloc; a reference taken or dropped once per call shows
in sys.getrefcount. VORPEL_LONG=1 runs the full iteration counts (100000 for
the cheap functions)."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import tracemalloc
from dataclasses import dataclass, field
from typing import Callable

import pyarrow as pa
import pytest

import _vorpel
from conftest import ASAN
from _vorpel import MergeError, ParseError, ParserError, PlanError, XmlError

from hostile import ArrayFactory, FakeReader, HostileStream

LONG = os.environ.get("VORPEL_LONG") == "1"
CAST_CALLS = 20_000 if LONG else 1_500
CHEAP_CALLS = 100_000 if LONG else 20_000

ROWS = 3_000
INT_TEXTS = [str(i * 7919) for i in range(ROWS)]
WORD_TEXTS = [f"w{i % 50}" for i in range(ROWS)]
DECIMAL_TEXTS = [f"{i}.{i % 100:02}" for i in range(ROWS)]
SCHEMA = pa.schema([("s", pa.string())])

# Growth allowed over the measured calls (after a warm-up): far below what
# one leaked result, batch or object per call would add up to.
RSS_SLACK = 4 * 1024 * 1024
TRACED_SLACK = 64 * 1024

ERROR_CLASSES = (ParseError, XmlError, PlanError, MergeError, ParserError)


# Under AddressSanitizer (make test-asan) freed memory sits in quarantine and
# resident memory says nothing about leaks; the other measures still hold.


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def strings(texts) -> pa.Table:
    """A fresh table (new buffers from Arrow's memory pool) each call."""
    return pa.table({"s": pa.array(texts, pa.string())})


def raising(exc_type: type, fn: Callable[[], object]) -> Callable[[], None]:
    def call() -> None:
        try:
            fn()
        except BaseException as e:  # noqa: BLE001 - the exact type is checked
            assert type(e) is exc_type, f"{type(e).__name__}: {e}"
        else:
            raise AssertionError(f"expected {exc_type.__name__}")

    return call


def returning(check: Callable[[object], bool], fn: Callable[[], object]) -> Callable[[], None]:
    def call() -> None:
        assert check(fn())

    return call


# --------------------------------------------------------------- inputs kept across calls

SHARED_TABLE = strings(INT_TEXTS)
SHARED_FIELD_TYPE = "".join(["in", "t64"])  # a str object of its own
SHARED_BAD_TYPE = "".join(["int", "128"])


class OnceCapsule:
    """Hands out one capsule of a fresh table; a second use finds it consumed."""

    def __init__(self) -> None:
        self.capsule = strings(INT_TEXTS).__arrow_c_stream__()

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule


def consumed_capsule() -> None:
    holder = OnceCapsule()
    assert len(_vorpel._cast_strings(holder, "int64")) == ROWS
    _vorpel._cast_strings(holder, "int64")


class ReturnsInt:
    def __arrow_c_stream__(self, requested_schema=None):
        return 5


class WrongCapsuleName:
    def __init__(self) -> None:
        self.table = strings(INT_TEXTS)

    def __arrow_c_stream__(self, requested_schema=None):
        # A capsule holding a schema, not a stream.
        return self.table.schema.__arrow_c_schema__()


def failing_producer() -> HostileStream:
    """A stream that fails after handing over one full pyarrow batch, which
    the consumer must then release. (A pyarrow reader over a raising Python
    generator would do too, but pyarrow keeps 150 bytes of every formatted
    Python traceback on that path by itself.)"""
    factory = ArrayFactory()
    batch = pa.record_batch([pa.array(INT_TEXTS, pa.string())], schema=SCHEMA)
    return HostileStream(schema=SCHEMA, batches=[factory.batch(batch)], next_error=(1, 5, b"producer gave up"))


def reader_path() -> object:
    reader = pa.RecordBatchReader.from_batches(SCHEMA, strings(INT_TEXTS).to_batches())
    return FakeReader(export=reader._export_to_c)


def invalid_utf8() -> pa.Table:
    raw = pa.array([b"ok"] * (ROWS - 1) + [b"\xff"], pa.binary())
    return pa.table({"s": raw.view(pa.string())})


cast = _vorpel._cast_strings


@dataclass
class Case:
    name: str
    call: Callable[[], None]
    calls: int = CAST_CALLS
    watched: list = field(default_factory=list)


CASES = [
    # _cast_strings, success
    Case("cast_int64", returning(lambda a: len(a) == ROWS, lambda: cast(strings(INT_TEXTS), "int64"))),
    Case("cast_shared_input", returning(lambda a: len(a) == ROWS, lambda: cast(SHARED_TABLE, SHARED_FIELD_TYPE)),
         watched=[SHARED_TABLE, SHARED_FIELD_TYPE]),
    Case("cast_string", returning(lambda a: len(a) == ROWS, lambda: cast(strings(WORD_TEXTS), "string"))),
    Case("cast_dictionary", returning(lambda a: len(a) == ROWS, lambda: cast(strings(WORD_TEXTS), "dictionary"))),
    Case("cast_decimal", returning(lambda a: len(a) == ROWS, lambda: cast(strings(DECIMAL_TEXTS), "decimal128(2)"))),
    Case("cast_timestamp_pattern",
         returning(lambda a: len(a) == 3, lambda: cast(strings(["05/01/2024"] * 3), "timestamp[ms,format=%d/%m/%Y]"))),
    Case("cast_reader_path", returning(lambda a: len(a) == ROWS, lambda: cast(reader_path(), "int64")),
         watched=[pa.RecordBatchReader]),
    # _cast_strings, each class of failure
    Case("strict_failure", raising(PlanError, lambda: cast(strings(INT_TEXTS + ["x"]), "int64")),
         watched=list(ERROR_CLASSES)),
    Case("bad_field_type", raising(PlanError, lambda: cast(SHARED_TABLE, SHARED_BAD_TYPE)),
         watched=[SHARED_TABLE, SHARED_BAD_TYPE, PlanError]),
    Case("field_type_not_str", raising(TypeError, lambda: cast(SHARED_TABLE, b"int64")), watched=[SHARED_TABLE]),
    Case("field_type_surrogate", raising(UnicodeEncodeError, lambda: cast(SHARED_TABLE, "\ud800")),
         watched=[SHARED_TABLE]),
    Case("missing_argument", raising(TypeError, lambda: cast(SHARED_TABLE)), watched=[SHARED_TABLE]),
    Case("not_a_stream", raising(TypeError, lambda: cast([1, 2], "int64")), watched=[pa.RecordBatchReader]),
    Case("stream_method_returns_int", raising(TypeError, lambda: cast(ReturnsInt(), "int64"))),
    Case("wrong_capsule_name", raising(TypeError, lambda: cast(WrongCapsuleName(), "int64"))),
    Case("consumed_capsule", raising(ValueError, consumed_capsule)),
    Case("producer_failure", raising(ValueError, lambda: cast(failing_producer(), "int64"))),
    Case("two_columns", raising(ValueError, lambda: cast(pa.table({"a": INT_TEXTS, "b": INT_TEXTS}), "int64"))),
    Case("int_column", raising(TypeError, lambda: cast(pa.table({"a": list(range(ROWS))}), "int64"))),
    Case("arrow_error_utf8", raising(Exception, lambda: cast(invalid_utf8(), "string"))),
    Case("strict_error_precision",
         raising(PlanError, lambda: cast(strings(["1" + "0" * 38] * 10), "decimal128(0)"))),
    # resolve_engine
    Case("resolve_engine", returning(lambda m: m == "parallel_streaming",
                                     lambda: _vorpel.resolve_engine(10**9, memory="64MiB", threads=4,
                                                                    schema=["a", "b"])),
         calls=CHEAP_CALLS),
    Case("resolve_engine_int_memory", returning(lambda m: m == "stream",
                                                lambda: _vorpel.resolve_engine(10, memory=2**40)),
         calls=CHEAP_CALLS),
    Case("memory_unknown_unit", raising(ValueError, lambda: _vorpel.resolve_engine(10, memory="5 parsecs")),
         calls=CHEAP_CALLS),
    Case("memory_empty", raising(ValueError, lambda: _vorpel.resolve_engine(10, memory="  ")), calls=CHEAP_CALLS),
    Case("memory_invalid", raising(ValueError, lambda: _vorpel.resolve_engine(10, memory=".MiB")), calls=CHEAP_CALLS),
    Case("memory_zero", raising(ValueError, lambda: _vorpel.resolve_engine(10, memory="0KB")), calls=CHEAP_CALLS),
    Case("memory_wrong_type", raising(ValueError, lambda: _vorpel.resolve_engine(10, memory=[1])),
         calls=CHEAP_CALLS),
    Case("threads_zero", raising(ValueError, lambda: _vorpel.resolve_engine(10, threads=0)), calls=CHEAP_CALLS),
    Case("file_size_negative", raising(OverflowError, lambda: _vorpel.resolve_engine(-1)), calls=CHEAP_CALLS),
    Case("schema_not_sequence", raising(TypeError, lambda: _vorpel.resolve_engine(10, schema=5)),
         calls=CHEAP_CALLS),
    Case("resolve_engine_no_arguments", raising(TypeError, lambda: _vorpel.resolve_engine()), calls=CHEAP_CALLS),
    # the stage profiler
    Case("stage_profile", returning(lambda p: len(p) == 5, _vorpel.stage_profile), calls=CHEAP_CALLS),
    Case("reset_stage_profile", returning(lambda r: r is None, _vorpel.reset_stage_profile), calls=CHEAP_CALLS),
    Case("disable_stage_profile", returning(lambda r: r is None, _vorpel.disable_stage_profile),
         calls=CHEAP_CALLS),
]


def traced_growth(before: tracemalloc.Snapshot, after: tracemalloc.Snapshot) -> tuple[int, list]:
    stats = after.compare_to(before, "lineno")
    grown = [s for s in stats if s.size_diff > 0]
    return sum(s.size_diff for s in grown), grown[:5]


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_repeated_calls_do_not_grow(case: Case):
    watched = [*case.watched, *ERROR_CLASSES]
    for _ in range(max(case.calls // 5, 50)):  # warm-up: caches, allocator pools
        case.call()
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in watched]
    pool_before = pa.total_allocated_bytes()
    rss_before = rss()
    tracemalloc.start()
    traced_before = tracemalloc.take_snapshot()

    for _ in range(case.calls):
        case.call()

    gc.collect()
    traced_after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    rss_after = rss()
    pool_after = pa.total_allocated_bytes()
    refs_after = [sys.getrefcount(o) for o in watched]

    assert refs_after == refs_before, [repr(o)[:60] for o, a, b in zip(watched, refs_after, refs_before) if a != b]
    assert pool_after <= pool_before, f"Arrow memory pool grew by {pool_after - pool_before} bytes"
    growth, top = traced_growth(traced_before, traced_after)
    assert growth <= TRACED_SLACK, top
    if not ASAN:
        assert rss_after - rss_before <= RSS_SLACK, f"resident memory grew by {rss_after - rss_before} bytes"


@pytest.mark.skipif(ASAN, reason="resident memory is not measured under AddressSanitizer")
def test_a_leak_of_one_result_per_call_would_be_seen():
    """The measure itself: keeping every result alive must exceed the slack.

    Runs in a fresh interpreter: in this one, memory freed by earlier tests can
    be reused for the kept results without any growth in resident size."""
    code = f"""
import os, gc, pyarrow as pa, _vorpel
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
texts = [str(i * 7919) for i in range({ROWS})]
gc.collect()
before = rss()
kept = [_vorpel._cast_strings(pa.table({{"s": pa.array(texts, pa.string())}}), "int64")
        for _ in range({CAST_CALLS // 3})]
print(rss() - before)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert int(out.stdout) > RSS_SLACK
