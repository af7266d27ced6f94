"""Times _vorpel._cast_strings against pyarrow's own conversions.

For each field type a one-column string table of realistic values (about 1%
nulls) is cast by both; the results are first checked to be equal, then each
side is timed (best of several runs) and the ratio vorpel / pyarrow printed.

    python bench/cast.py                 # 1M and 10M rows
    python bench/cast.py --rows 2000000  # one size of your choice
    python bench/cast.py --quick         # 10k rows, equality checks only (CI)
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import _vorpel

NULL_SHARE = 0.01
CUSTOM_PATTERN = "%d/%m/%Y %H:%M:%S"
CITIES = [f"{name}-{i}" for i, name in enumerate(
    ["Amsterdam", "Berlin", "Cairo", "Dakar", "Edinburgh", "Florence", "Geneva", "Hanoi",
     "Istanbul", "Jakarta", "Kyoto", "Lisbon", "Madrid", "Nairobi", "Oslo", "Porto"] * 8)]


@dataclass
class Case:
    name: str
    field_type: str
    make: Callable[[np.random.Generator, int], pa.Array]  # the string column
    reference: Callable[[pa.Array], pa.Array]               # pyarrow's conversion
    reference_name: str


def _with_nulls(rng: np.random.Generator, strings: pa.Array) -> pa.Array:
    mask = rng.random(len(strings)) < NULL_SHARE
    return pc.if_else(pa.array(mask), pa.scalar(None, strings.type), strings)


def _ints(rng, n):
    values = rng.integers(-10**12, 10**12, n) // rng.integers(1, 10**9, n)
    return _with_nulls(rng, pc.cast(pa.array(values), pa.string()))


def _floats(rng, n):
    scale = 10.0 ** rng.integers(0, 7, n)  # 0 to 6 decimals
    values = np.round(rng.normal(0, 1e4, n) * scale) / scale
    return _with_nulls(rng, pc.cast(pa.array(values), pa.string()))


def _bools(rng, n):
    return _with_nulls(rng, pc.cast(pa.array(rng.random(n) < 0.5), pa.string()))


def _instants(rng, n, unit="us"):
    start = np.datetime64("1990-01-01T00:00:00", unit).astype(np.int64)
    end = np.datetime64("2035-01-01T00:00:00", unit).astype(np.int64)
    return pa.array(rng.integers(start, end, n), pa.timestamp(unit))


def _dates(rng, n):
    return _with_nulls(rng, pc.cast(pc.cast(_instants(rng, n), pa.date32()), pa.string()))


def _timestamps(rng, n):
    # "2024-01-05 12:34:56.123456"
    return _with_nulls(rng, pc.cast(_instants(rng, n), pa.string()))


def _custom(rng, n):
    # "05/01/2024 12:34:56"
    return _with_nulls(rng, pc.strftime(_instants(rng, n, "s"), CUSTOM_PATTERN))


def _decimals(rng, n):
    # "-1234567.89": whole part and two-digit cents
    whole = pc.cast(pa.array(rng.integers(-10**7, 10**7, n)), pa.string())
    cents = pc.utf8_lpad(pc.cast(pa.array(rng.integers(0, 100, n)), pa.string()), 2, "0")
    return _with_nulls(rng, pc.binary_join_element_wise(whole, cents, "."))


def _text(rng, n):
    words = np.array(["lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing", "élit", "",
                      "sed do eiusmod", "tempor"])
    return _with_nulls(rng, pa.array(words[rng.integers(0, len(words), n)]))


def _categories(rng, n):
    return _with_nulls(rng, pa.array(np.array(CITIES)[rng.integers(0, len(CITIES), n)]))


CASES = [
    Case("int64", "int64", _ints, lambda a: pc.cast(a, pa.int64()), "cast"),
    Case("float64", "float64", _floats, lambda a: pc.cast(a, pa.float64()), "cast"),
    Case("boolean", "boolean", _bools, lambda a: pc.cast(a, pa.bool_()), "cast"),
    Case("date32", "date32", _dates, lambda a: pc.cast(a, pa.date32()), "cast"),
    Case("timestamp[us]", "timestamp[us]", _timestamps, lambda a: pc.cast(a, pa.timestamp("us")), "cast"),
    Case("custom pattern", f"timestamp[s,format={CUSTOM_PATTERN}]", _custom,
         lambda a: pc.strptime(a, CUSTOM_PATTERN, "s"), "strptime"),
    Case("decimal128(2)", "decimal128(2)", _decimals, lambda a: pc.cast(a, pa.decimal128(38, 2)), "cast"),
    # string -> string is free in pyarrow; casting through binary makes it
    # check the UTF-8 of every value, as a string result must.
    Case("string", "string", _text, lambda a: pc.cast(pc.cast(a, pa.binary()), pa.string()),
         "cast binary->string"),
    Case("dictionary", "dictionary", _categories, lambda a: pc.dictionary_encode(a), "dictionary_encode"),
]


def best_ms(fn: Callable[[], object], runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best * 1000.0


def check_equal(case: Case, column: pa.Array) -> None:
    ours = _vorpel._cast_strings(pa.table({"v": column}), case.field_type)
    theirs = case.reference(column)
    if isinstance(theirs, pa.ChunkedArray):
        theirs = theirs.combine_chunks()
    if not ours.equals(theirs):
        diff = pc.invert(pc.fill_null(pc.equal(ours, theirs), False))
        first = pc.index(diff, True).as_py()
        raise SystemExit(
            f"{case.name}: results differ (first at row {first}: input {column[first]!r}, "
            f"vorpel {ours[first]!r}, pyarrow {theirs[first]!r})"
        )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, action="append",
                        help="row count to time (repeatable; default 1000000 and 10000000)")
    parser.add_argument("--quick", action="store_true", help="10k rows, equality checks only")
    parser.add_argument("--runs", type=int, default=0, help="timed runs per side (default 5, 3 above 5M rows)")
    parser.add_argument("--only", action="append", help="run only the named case(s)")
    args = parser.parse_args(argv)

    sizes = [10_000] if args.quick else (args.rows or [1_000_000, 10_000_000])
    cases = [c for c in CASES if not args.only or c.name in args.only]
    rng = np.random.default_rng(20240105)

    if not args.quick:
        print(f"{'field type':<16} {'rows':>10} {'vorpel ms':>10} {'pyarrow ms':>11}  {'ratio':>6}  pyarrow call")
    for rows in sizes:
        runs = args.runs or (3 if rows > 5_000_000 else 5)
        for case in cases:
            column = case.make(rng, rows)
            check_equal(case, column)
            if args.quick:
                print(f"{case.name:<16} {rows:>10}  equal")
                continue
            tbl = pa.table({"v": column})
            ours = best_ms(lambda: _vorpel._cast_strings(tbl, case.field_type), runs)
            theirs = best_ms(lambda: case.reference(column), runs)
            print(f"{case.name:<16} {rows:>10} {ours:>10.1f} {theirs:>11.1f}  {ours / theirs:>6.2f}  "
                  f"{case.reference_name}", flush=True)
            del tbl, column
    return 0


if __name__ == "__main__":
    sys.exit(main())
