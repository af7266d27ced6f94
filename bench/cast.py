"""Times _vorpel._cast_strings against pyarrow's and polars' own conversions.

For each field type a one-column string table of realistic values (about 1%
nulls) is generated from a fixed seed. Before anything is timed, the result of
_cast_strings is checked to be equal to the result of every peer. Then each
side is timed (best of several runs) and per case the script prints:

  ms, MB/s (of input value bytes), Mrows/s    for _cast_strings
  ms and speed-up for each peer               ("2.10x": vorpel is 2.1 times faster)
  mem                                         peak memory growth during one call / output buffer bytes
  2thr                                        throughput of two threads casting two tables, over the same casts in sequence

Peers:
  pyarrow   pyarrow.compute.cast / strptime / dictionary_encode (Arrow C++ kernels), on the
            same pyarrow array.
  polars    the strict polars equivalent (cast(..., strict=True), str.to_date, str.to_datetime,
            replace_strict for booleans, cast(pl.Categorical)), timed on a Series that already
            lives in polars (the Arrow -> polars conversion is not timed). Polars uses its own
            thread pool. "-" where polars has no strict equivalent.
  copy      for "string" only: a plain single-thread copy of the input's value bytes (numpy),
            timed in the same run; the column shows vorpel's bandwidth relative to it.

Memory: measured for every case in a fresh interpreter of its own, which
generates that column and nothing else (so neither a peer's allocator nor the
heap left behind by other cases' data can move pages during the measured
call). Before the call it collects garbage, returns free heap pages to the kernel (glibc
malloc_trim) and resets the process's peak RSS (writing "5" to
/proc/self/clear_refs). Growth is VmHWM after the call minus VmRSS before it,
so every page the call touched counts, whichever allocator handed it out. The
smallest of three calls' growth is reported: a call's own growth is the same
every time, but pages the kernel took from the process in the background
(proactive reclaim of cold pages, such as the input's) count again when the
call touches them, and huge-page collapse can add pages at any moment. The
allowance is 1.2x the output buffers (plus one byte per row for boolean, whose
values are packed from bytes into bits at the end).

Two threads: each thread makes `calls` casts in a row (calls = enough for
about 20 ms per thread, at least 1), against the same 2 x calls casts on one
thread, best of several runs. A single pair of sub-millisecond calls would
time this machine's thread wake-up instead: a parked thread here starts
running 0.02-0.45 ms after it is woken, even for a cast of one row.

    python bench/cast.py                 # 1M and 10M rows
    python bench/cast.py --rows 2000000  # one size of your choice
    python bench/cast.py --only int64    # one case
    python bench/cast.py --quick         # 10k rows, equality checks only (CI)

Dictionary texts (--dictionary-texts): casts to "dictionary" of distinct texts
shaped against the dictionary's hash table, each family next to random texts
of the same count and lengths, vorpel and pyarrow.compute.dictionary_encode
side by side (results checked equal first):

  crafted   24-byte printable texts whose last 8 bytes zero the inner multiply
            of an unseeded multiply-fold hash (so that hash gives 0 for all)
  prefix    64-byte texts sharing a 56-byte prefix
  one-byte  640-byte texts that each differ from one base text in one byte
  random    the random twin alone, for a plain distinct-count measurement

    python bench/cast.py --dictionary-texts                 # 60000 texts per family
    python bench/cast.py --dictionary-texts --rows 1000000 --only random
"""

from __future__ import annotations

import os

# numpy's BLAS threads spin on the second core after import; on a two-core
# machine they would steal time from whatever is measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
# Arrow's allocator would otherwise hand pages back to the kernel at moments
# of its own choosing, which can fall inside a memory measurement and hide
# growth. Keeping them only makes pyarrow's own runs cheaper, never dearer.
os.environ.setdefault("MIMALLOC_PURGE_DELAY", "-1")

import argparse  # noqa: E402
import ctypes  # noqa: E402
import ctypes.util  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from typing import Callable, Optional  # noqa: E402

import numpy as np  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.compute as pc  # noqa: E402

import _vorpel  # noqa: E402

try:
    import polars as pl
except ImportError:  # polars is optional: its column then shows "-"
    pl = None

SEED = 20240105
NULL_SHARE = 0.01
CUSTOM_PATTERN = "%d/%m/%Y %H:%M:%S"
CITIES = [f"{name}-{i}" for i, name in enumerate(
    ["Amsterdam", "Berlin", "Cairo", "Dakar", "Edinburgh", "Florence", "Geneva", "Hanoi",
     "Istanbul", "Jakarta", "Kyoto", "Lisbon", "Madrid", "Nairobi", "Oslo", "Porto"] * 8)]


# ---------------------------------------------------------------- data

def _with_nulls(rng: np.random.Generator, strings) -> pa.Array:
    if isinstance(strings, pa.ChunkedArray):
        strings = strings.combine_chunks()
    mask = rng.random(len(strings)) < NULL_SHARE
    return pc.if_else(pa.array(mask), pa.scalar(None, strings.type), strings)


def _str(values) -> pa.Array:
    return pc.cast(pa.array(values), pa.string())


def _ints(rng, n):
    # Mixed widths (1 to 13 digits) and signs.
    values = rng.integers(-10**12, 10**12, n) // rng.integers(1, 10**9, n)
    return _with_nulls(rng, _str(values))


def _floats(rng, n):
    # Fixed decimals ("123.45", "-0.001"), integers ("42"), exponents ("1e10", "-2.5e-3").
    places = 10.0 ** rng.integers(0, 7, n)
    fixed = _str(np.round(rng.normal(0, 1e4, n) * places) / places)
    integers = _str(rng.integers(-10**6, 10**6, n))
    mantissa = _str(np.round(rng.normal(0, 10, n), 1))
    exponents = pc.binary_join_element_wise(mantissa, _str(rng.integers(-20, 21, n)), "e")
    small = _str(np.round(rng.random(n), 3) - 0.5)
    choice = pa.array(rng.integers(0, 4, n).astype(np.int8))
    return _with_nulls(rng, pc.choose(choice, fixed, integers, exponents, small))


def _bools(rng, n):
    return _with_nulls(rng, _str(rng.random(n) < 0.5))


def _instants(rng, n, unit="us"):
    start = np.datetime64("1990-01-01T00:00:00", unit).astype(np.int64)
    end = np.datetime64("2035-01-01T00:00:00", unit).astype(np.int64)
    return pa.array(rng.integers(start, end, n), pa.timestamp(unit))


def _dates(rng, n):
    # "2024-01-05"
    return _with_nulls(rng, _str(pc.cast(_instants(rng, n), pa.date32())))


def _timestamps(rng, n):
    # "2024-01-05T12:34:56.123456"
    text = _str(_instants(rng, n))
    return _with_nulls(rng, pc.replace_substring(text, " ", "T", max_replacements=1))


def _custom(rng, n):
    # "05/01/2024 12:34:56"
    return _with_nulls(rng, pc.strftime(_instants(rng, n, "s"), CUSTOM_PATTERN))


def _decimals(rng, n):
    # "-1234567.89": whole part and two-digit cents
    whole = _str(rng.integers(-10**7, 10**7, n))
    cents = pc.utf8_lpad(_str(rng.integers(0, 100, n)), 2, "0")
    return _with_nulls(rng, pc.binary_join_element_wise(whole, cents, "."))


def _text(rng, n):
    words = np.array(["lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing", "élit", "",
                      "sed do eiusmod", "tempor"])
    return _with_nulls(rng, pa.array(words[rng.integers(0, len(words), n)]))


def _categories(rng, n):
    return _with_nulls(rng, pa.array(np.array(CITIES)[rng.integers(0, len(CITIES), n)]))


# ---------------------------------------------------------------- dictionary texts

_M64 = np.uint64(0xFFFFFFFFFFFFFFFF)
_M32 = np.uint64(0xFFFFFFFF)
_S32 = np.uint64(32)
# The constants of the unseeded multiply-fold text hash the crafted texts
# are built against.
_OLD_K0 = np.uint64(0xa0761d6478bd642f)
_OLD_K1 = np.uint64(0xe7037ed1a0b428db)
_OLD_K2 = np.uint64(0x8ebc6af09c88c6e3)


def _fold(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Low half xor high half of the 128-bit products a * b (uint64 arrays)."""
    a_lo, a_hi, b_lo, b_hi = a & _M32, a >> _S32, b & _M32, b >> _S32
    p0, p1, p2, p3 = a_lo * b_lo, a_lo * b_hi, a_hi * b_lo, a_hi * b_hi
    mid = (p0 >> _S32) + (p1 & _M32) + (p2 & _M32)
    lo = (p0 & _M32) | ((mid & _M32) << _S32)
    hi = p3 + (p1 >> _S32) + (p2 >> _S32) + (mid >> _S32)
    return lo ^ hi


def _printable(rng: np.random.Generator, n: int, width: int) -> np.ndarray:
    return rng.integers(0x20, 0x7F, (n, width), dtype=np.uint8)


def _texts(rows: np.ndarray) -> pa.Array:
    """One string per row of a uint8 matrix."""
    n, width = rows.shape
    offsets = pa.py_buffer(np.arange(0, (n + 1) * width, width, dtype=np.int32).tobytes())
    return pa.Array.from_buffers(pa.string(), n, [None, offsets, pa.py_buffer(np.ascontiguousarray(rows).tobytes())])


def crafted_texts(rng: np.random.Generator, n: int) -> pa.Array:
    """n distinct printable 24-byte texts whose last 8 bytes equal seed ^ k2,
    where seed folds the first 16 bytes: the hash's inner multiply is then by
    zero and the hash is 0 for every one of them."""
    found = []
    count = 0
    while count < n:
        head = _printable(rng, 1 << 20, 16)
        words = head.view("<u8")
        with np.errstate(over="ignore"):
            seed = _fold(words[:, 0] ^ _OLD_K1, words[:, 1] ^ (_OLD_K0 ^ np.uint64(24)))
        tail = (seed ^ _OLD_K2).astype("<u8").view(np.uint8).reshape(-1, 8)
        ok = np.all((tail >= 0x20) & (tail < 0x7F), axis=1)
        found.append(np.concatenate([head[ok], tail[ok]], axis=1))
        count += int(ok.sum())
    rows = np.unique(np.concatenate(found), axis=0)
    return _texts(rows[rng.permutation(len(rows))[:n]])


def shared_prefix_texts(rng: np.random.Generator, n: int) -> pa.Array:
    prefix = np.repeat(_printable(rng, 1, 56), n, axis=0)
    tails = np.unique(_printable(rng, 2 * n, 8), axis=0)
    return _texts(np.concatenate([prefix, tails[rng.permutation(len(tails))[:n]]], axis=1))


def one_byte_texts(rng: np.random.Generator, n: int) -> pa.Array:
    """Each text is the base text with one byte replaced by another printable byte."""
    width = 640
    base = _printable(rng, 1, width)[0]
    pos = np.repeat(np.arange(width), 94)
    delta = np.tile(np.arange(1, 95), width)
    pick = rng.permutation(len(pos))[:n]
    rows = np.repeat(base[None, :], n, axis=0)
    at = pos[pick]
    rows[np.arange(n), at] = ((base[at].astype(np.int64) - 0x20 + delta[pick]) % 95 + 0x20).astype(np.uint8)
    return _texts(rows)


def random_texts(rng: np.random.Generator, n: int, width: int) -> pa.Array:
    rows = np.unique(_printable(rng, n + n // 8 + 16, width), axis=0)
    return _texts(rows[rng.permutation(len(rows))[:n]])


DICTIONARY_FAMILIES = {
    "crafted": (crafted_texts, 24),
    "prefix": (shared_prefix_texts, 64),
    "one-byte": (one_byte_texts, 640),
    "random": (None, 24),
}


def dictionary_texts(rows: int, runs: int, only: Optional[list[str]]) -> None:
    print(f"# pyarrow {pa.__version__}; distinct texts cast to dictionary, best of {runs}; "
          "'twin' = random texts of the same count and length")
    print(f"{'family':<9} {'rows':>8} {'MB':>6}  {'vorpel ms':>9} {'pyarrow ms':>10}  "
          f"{'twin vorpel':>11} {'twin pyarrow':>12}")
    for index, (name, (make, width)) in enumerate(DICTIONARY_FAMILIES.items()):
        if only and name not in only:
            continue
        rng = np.random.default_rng([SEED, 100 + index, rows])
        twin = random_texts(rng, rows, width)
        column = twin if make is None else make(rng, rows)
        timings = []
        for texts in (column, twin):
            if pc.count_distinct(texts).as_py() != rows:
                raise SystemExit(f"{name}: the texts are not distinct")
            table = pa.table({"v": texts})
            ours = _vorpel._cast_strings(table, "dictionary")
            theirs = pc.dictionary_encode(texts)
            if not ours.equals(theirs):
                raise SystemExit(f"{name}: results differ from pyarrow")
            timings.append(best_ms(lambda: _vorpel._cast_strings(table, "dictionary"), runs))
            timings.append(best_ms(lambda: pc.dictionary_encode(texts), runs))
        print(f"{name:<9} {rows:>8} {value_bytes(column) / 1e6:>6.1f}  {timings[0]:>9.1f} {timings[1]:>10.1f}  "
              f"{timings[2]:>11.1f} {timings[3]:>12.1f}", flush=True)


# ---------------------------------------------------------------- peers

@dataclass
class Peer:
    name: str
    # Turns the input pyarrow array into the peer's own input (not timed).
    prepare: Callable[[pa.Array], object]
    run: Callable[[object], object]
    # Turns the peer's result into a pyarrow array comparable with ours.
    to_arrow: Callable[[object], pa.Array]
    # Turns our result into the peer's representation for the comparison.
    normalize_ours: Callable[[pa.Array], pa.Array] = lambda a: a


def _pyarrow(run: Callable[[pa.Array], object]) -> Peer:
    def to_arrow(result):
        return result.combine_chunks() if isinstance(result, pa.ChunkedArray) else result
    return Peer("pyarrow", lambda a: a, run, to_arrow)


def _polars(run: Callable[[object], object], normalize_ours=lambda a: a) -> Optional[Peer]:
    if pl is None:
        return None

    def prepare(array):
        series = pl.from_arrow(array)
        return series.rechunk()

    def to_arrow(result):
        out = result.to_arrow()
        return out.combine_chunks() if isinstance(out, pa.ChunkedArray) else out
    return Peer("polars", prepare, run, to_arrow, normalize_ours)


def _decoded(array: pa.Array) -> pa.Array:
    """A dictionary array as plain strings (polars' categorical keys differ in type)."""
    return pc.cast(array, pa.string())


@dataclass
class Case:
    name: str
    field_type: str
    make: Callable[[np.random.Generator, int], pa.Array]  # the string column
    peers: list = field(default_factory=list)
    compare_copy: bool = False  # also time a plain copy of the value bytes


def _cases() -> list[Case]:
    pol = pl  # short alias for the lambdas below
    cases = [
        Case("int64", "int64", _ints, [
            _pyarrow(lambda a: pc.cast(a, pa.int64())),
            _polars(lambda s: s.cast(pol.Int64, strict=True)),
        ]),
        Case("float64", "float64", _floats, [
            _pyarrow(lambda a: pc.cast(a, pa.float64())),
            _polars(lambda s: s.cast(pol.Float64, strict=True)),
        ]),
        Case("boolean", "boolean", _bools, [
            _pyarrow(lambda a: pc.cast(a, pa.bool_())),
            _polars(lambda s: s.replace_strict({"true": True, "false": False}, return_dtype=pol.Boolean)),
        ]),
        Case("date32", "date32", _dates, [
            _pyarrow(lambda a: pc.cast(a, pa.date32())),
            _polars(lambda s: s.str.to_date("%Y-%m-%d", strict=True)),
        ]),
        Case("timestamp[us]", "timestamp[us]", _timestamps, [
            _pyarrow(lambda a: pc.cast(a, pa.timestamp("us"))),
            _polars(lambda s: s.str.to_datetime("%Y-%m-%dT%H:%M:%S%.f", time_unit="us", strict=True)),
        ]),
        Case("custom pattern", f"timestamp[s,format={CUSTOM_PATTERN}]", _custom, [
            _pyarrow(lambda a: pc.strptime(a, CUSTOM_PATTERN, "s")),
            # polars has no second unit: compared in milliseconds.
            _polars(lambda s: s.str.to_datetime(CUSTOM_PATTERN, time_unit="ms", strict=True),
                    normalize_ours=lambda a: pc.cast(a, pa.timestamp("ms"))),
        ]),
        Case("decimal128(2)", "decimal128(2)", _decimals, [
            _pyarrow(lambda a: pc.cast(a, pa.decimal128(38, 2))),
            _polars(lambda s: s.cast(pol.Decimal(38, 2), strict=True)),
        ]),
        # string -> string is free in pyarrow; casting through binary makes it
        # check the UTF-8 of every value, as a string result must.
        Case("string", "string", _text, [
            _pyarrow(lambda a: pc.cast(pc.cast(a, pa.binary()), pa.string())),
        ], compare_copy=True),
        Case("dictionary", "dictionary", _categories, [
            _pyarrow(lambda a: pc.dictionary_encode(a)),
            _polars(lambda s: s.cast(pol.Categorical), normalize_ours=_decoded),
        ]),
    ]
    for case in cases:
        case.peers = [p for p in case.peers if p is not None]
        if case.name == "dictionary":
            for p in case.peers:
                if p.name == "polars":
                    inner = p.to_arrow
                    p.to_arrow = lambda r, inner=inner: _decoded(inner(r))
    return cases


# ---------------------------------------------------------------- measuring

def peer_ms(peers: list, column, runs: int) -> dict:
    """Best ms of the pyarrow and the polars peer on `column`, in that order
    (None for a peer that is missing); each peer's input is prepared untimed."""
    times = {}
    for name in ("pyarrow", "polars"):
        peer = next((p for p in peers if p.name == name), None)
        if peer is None:
            times[name] = None
            continue
        prepared = peer.prepare(column)
        times[name] = best_ms(lambda: peer.run(prepared), runs)
        del prepared
    return times


def best_ms(fn: Callable[[], object], runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best * 1000.0


def value_bytes(column: pa.Array) -> int:
    """Bytes of text the column's offsets span."""
    if len(column) == 0:
        return 0
    offsets = np.frombuffer(column.buffers()[1], dtype=np.int32, count=len(column) + 1, offset=4 * column.offset)
    return int(offsets[-1]) - int(offsets[0])


def value_bytes_copy(column: pa.Array) -> Callable[[], object]:
    offsets = np.frombuffer(column.buffers()[1], dtype=np.int32, count=len(column) + 1, offset=4 * column.offset)
    data = np.frombuffer(column.buffers()[2], dtype=np.uint8)[int(offsets[0]):int(offsets[-1])]
    return lambda: data.copy()


_libc = ctypes.CDLL(ctypes.util.find_library("c"))


def _status_kib(key: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{key} missing from /proc/self/status")


def peak_growth_bytes(fn: Callable[[], object]) -> Optional[int]:
    """Peak RSS growth during one call of `fn` (see the module docstring)."""
    gc.collect()
    _libc.malloc_trim(0)
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        return None
    before = _status_kib("VmRSS")
    result = fn()
    peak = _status_kib("VmHWM")
    del result
    return max(0, peak - before) * 1024


def column_of(case: Case, rows: int) -> pa.Array:
    """The case's string column of `rows` rows, the same in every process."""
    index = [c.name for c in _cases()].index(case.name)
    return case.make(np.random.default_rng([SEED, index, rows]), rows)


def memory_of(case: Case, column: pa.Array) -> tuple[Optional[int], int]:
    """(peak growth of one cast, its output's buffer bytes); see the module docstring."""
    table = pa.table({"v": column})
    # The first call of a type also pays one-time set-up (pyarrow's wrappers
    # of the result type); the measured calls are later ones.
    result = _vorpel._cast_strings(table, case.field_type)
    out_bytes = result.get_total_buffer_size()
    del result
    growths = [peak_growth_bytes(lambda: _vorpel._cast_strings(table, case.field_type)) for _ in range(3)]
    return (None if None in growths else min(growths)), out_bytes


def memory_in_fresh_interpreter(name: str, rows: int) -> tuple[Optional[int], int]:
    done = subprocess.run([sys.executable, __file__, "--memory-of", name, "--rows", str(rows)],
                          check=True, capture_output=True, text=True)
    growth, out_bytes = json.loads(done.stdout)
    return growth, out_bytes


def two_threads_speedup(first: Callable[[], object], second: Callable[[], object], runs: int,
                        calls: int = 1) -> float:
    """Throughput of two threads, one making `calls` calls of `first` and the
    other as many of `second`, over the same calls made in sequence.

    The second thread is started once and waits between runs, so a run times
    only the calls (from a common start to the later end), not the creation
    of a thread."""
    def in_sequence():
        # Each result is dropped as soon as it is made, as on the threads.
        for _ in range(calls):
            first()
            second()
    sequential = best_ms(in_sequence, runs)
    start = threading.Barrier(2)
    done = threading.Barrier(2)
    stop = False

    def worker():
        while True:
            start.wait()
            if stop:
                return
            for _ in range(calls):
                second()
            done.wait()
    thread = threading.Thread(target=worker)
    thread.start()
    best = float("inf")
    try:
        for _ in range(runs):
            gc.collect()
            start.wait()
            began = time.perf_counter()
            for _ in range(calls):
                first()
            done.wait()
            best = min(best, time.perf_counter() - began)
    finally:
        stop = True
        start.wait()
        thread.join()
    return sequential / (best * 1000.0)


def check_equal(case: Case, column: pa.Array) -> list[str]:
    """Fails the run unless every peer gives our result; returns the peers checked."""
    ours = _vorpel._cast_strings(pa.table({"v": column}), case.field_type)
    checked = []
    for peer in case.peers:
        theirs = peer.to_arrow(peer.run(peer.prepare(column)))
        mine = peer.normalize_ours(ours)
        if mine.type != theirs.type or not mine.equals(theirs):
            if mine.type != theirs.type or len(mine) != len(theirs):
                raise SystemExit(f"{case.name}: {peer.name} gives {theirs.type}[{len(theirs)}], "
                                 f"vorpel {mine.type}[{len(mine)}]")
            diff = pc.invert(pc.fill_null(pc.equal(mine, theirs), False))
            diff = pc.or_(diff, pc.not_equal(pc.is_null(mine), pc.is_null(theirs)))
            first = pc.index(diff, True).as_py()
            raise SystemExit(
                f"{case.name}: results differ from {peer.name} (first at row {first}: input {column[first]!r}, "
                f"vorpel {mine[first]!r}, {peer.name} {theirs[first]!r})"
            )
        checked.append(peer.name)
    return checked


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, action="append",
                        help="row count to time (repeatable; default 1000000 and 10000000)")
    parser.add_argument("--quick", action="store_true", help="10k rows, equality checks only")
    parser.add_argument("--runs", type=int, default=0, help="timed runs per side (default 7, 3 above 5M rows)")
    parser.add_argument("--only", action="append", help="run only the named case(s)")
    parser.add_argument("--memory-of", help=argparse.SUPPRESS)  # one case's memory, as JSON (internal)
    parser.add_argument("--dictionary-texts", action="store_true",
                        help="time hash-shaped distinct texts cast to dictionary (default 60000 rows)")
    args = parser.parse_args(argv)

    if args.dictionary_texts:
        rows = 1_000 if args.quick else (args.rows[0] if args.rows else 60_000)
        dictionary_texts(rows, args.runs or (1 if args.quick else 5), args.only)
        return 0

    sizes = [10_000] if args.quick else (args.rows or [1_000_000, 10_000_000])
    all_cases = _cases()
    if args.memory_of:
        case = next(c for c in all_cases if c.name == args.memory_of)
        print(json.dumps(memory_of(case, column_of(case, sizes[0]))))
        return 0
    cases = [c for c in all_cases if not args.only or c.name in args.only]
    if args.only and len(cases) != len(set(args.only)):
        raise SystemExit(f"unknown case in --only; known: {', '.join(c.name for c in all_cases)}")

    versions = f"pyarrow {pa.__version__}, polars {pl.__version__ if pl else 'not installed'}"
    print(f"# {versions}; speed-ups are peer ms / vorpel ms; mem = peak RSS growth / output bytes")
    if not args.quick:
        print(f"{'case':<15} {'rows':>9} {'ms':>8} {'MB/s':>7} {'Mrow/s':>7}  "
              f"{'pyarrow ms':>10} {'':>6}  {'polars ms':>9} {'':>6}  {'mem':>5} {'2thr':>5}  notes")
    for rows in sizes:
        runs = args.runs or (3 if rows > 5_000_000 else 7)
        # Phase 1: memory of every case, each in an interpreter of its own.
        memory = {}
        if not args.quick:
            for case in cases:
                memory[case.name] = memory_in_fresh_interpreter(case.name, rows)

        # Phase 2: equality with every peer, then the timings.
        for case in cases:
            column = column_of(case, rows)
            checked = check_equal(case, column)
            if args.quick:
                print(f"{case.name:<15} {rows:>9}  equal: {', '.join(checked) or 'no peer'}", flush=True)
                continue
            table = pa.table({"v": column})
            ours = best_ms(lambda: _vorpel._cast_strings(table, case.field_type), runs)
            text_mb = value_bytes(column) / 1e6
            cells = [f"{case.name:<15} {rows:>9} {ours:>8.1f} {text_mb / ours * 1000:>7.0f} "
                     f"{rows / ours / 1000:>7.1f} "]
            for (peer_name, theirs), width in zip(peer_ms(case.peers, column, runs).items(), (10, 9)):
                if theirs is None:
                    cells.append(f" {'-':>{width}} {'':>6}")
                    continue
                cells.append(f" {theirs:>{width}.1f} {theirs / ours:>5.2f}x")
            other = pa.table({"v": column.slice(0)})  # a second table over the same buffers
            # At least nine runs: a two-thread run needs both cores for its
            # whole length, and now and then one thread of it is held up for
            # tens of milliseconds (one call of 35 ms took 58 ms on the worker
            # at 10M rows, the other 35), and the best of five runs still
            # read 1.34x once (date32, 10M rows; 1.8-2.0x otherwise).
            two = two_threads_speedup(lambda: _vorpel._cast_strings(table, case.field_type),
                                      lambda: _vorpel._cast_strings(other, case.field_type), max(runs, 9),
                                      calls=max(1, round(20.0 / ours)))
            growth, out_bytes = memory[case.name]
            mem = "  n/a" if growth is None else f"{growth / max(out_bytes, 1):>5.2f}"
            cells.append(f"  {mem} {two:>4.2f}x")
            notes = []
            allowance = 1.2 * out_bytes + (rows if case.field_type == "boolean" else 0)
            if growth is not None and growth > allowance:
                notes.append(f"mem over its allowance of {allowance / max(out_bytes, 1):.2f}")
            if case.compare_copy:
                copy = best_ms(value_bytes_copy(column), runs)
                notes.append(f"copy {copy:.1f} ms, vorpel at {copy / ours:.2f}x copy bandwidth")
            cells.append("  " + "; ".join(notes))
            print("".join(cells).rstrip(), flush=True)
            del table, other, column
    return 0


if __name__ == "__main__":
    sys.exit(main())
