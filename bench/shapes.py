"""Times _vorpel._cast_strings over a matrix of input shapes.

Each shape is a way the text of one field type can look (digit counts, number
forms, scales, fraction digits, separators, patterns, distinct counts, text
lengths and scripts). Its column is generated from fixed seeds (numpy
Generator), so every run casts the same texts, then given each null share
(--nulls) and, for the int64, float64, dictionary and string shapes (every
shape with --all-batched), also cut into 240 batches of their own (a chunked
input, one Arrow stream of 240 record batches).

Before anything of a shape is timed, _cast_strings's result is checked equal to
every peer's, and a difference stops the run with a message naming the shape
(bench/cast.py's check). Peers:

  pyarrow   pc.cast / pc.strptime / pc.dictionary_encode, on the same (chunked) array
  polars    cast(strict=True) / str.to_date / str.to_datetime(strict=True) /
            cast(pl.Categorical), on a Series already in polars (not timed: the
            conversion from Arrow and the rechunk); "-" where polars is missing
            or has no strict equivalent
  python    values computed in Python from each text (int(), decimal.Decimal
            truncated toward zero), where pyarrow rejects a form the field type
            accepts; checked, never timed

Columns: shape, rows, null share, MB of input text (bytes the offsets span),
vorpel ms (best of --runs, garbage collected before each), MB/s of input
text, pyarrow ms and ratio, polars ms and ratio (ratio = peer ms / vorpel ms:
above 1 means vorpel is faster), notes (the peers the result was checked
against, and what the shape's peers cannot do).

    python bench/shapes.py                        # 1M and 10M rows, 2% and 30% nulls
    python bench/shapes.py --rows 2000000 --nulls 0.02
    python bench/shapes.py --only int64 --only x240
    python bench/shapes.py --quick                # 10k rows, checks and one timed run
"""

from __future__ import annotations

# bench/cast.py first: it sets the environment numpy and Arrow read at import.
import cast  # noqa: I001
from cast import Peer, _decoded, _polars, _pyarrow, _str, best_ms, check_equal, peer_ms, pl

import argparse
import dataclasses
import decimal
import functools
import gc
import sys
from dataclasses import dataclass, field
from typing import Callable

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

import _vorpel

SEED = 20240302
BATCHES = 240
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
UNIT_DIGITS = {"s": 0, "ms": 3, "us": 6, "ns": 9}
EPOCH_RANGE = ("1950-01-01", "2060-01-01")


# ---------------------------------------------------------------- text pieces (numpy bytes arrays)

def _arrow(texts: np.ndarray) -> pa.Array:
    """A string array from a numpy bytes array (each text ends before its trailing NULs)."""
    return pa.array(texts, pa.binary()).cast(pa.string())


def _cat(*pieces: np.ndarray) -> np.ndarray:
    return functools.reduce(np.strings.add, pieces)


def _pick(rng: np.random.Generator, n: int, choices: list, p=None) -> np.ndarray:
    return np.array(choices, dtype="S")[rng.choice(len(choices), n, p=p)]


def _sign(rng, n, minus=0.3):
    return _pick(rng, n, [b"", b"-"], p=[1 - minus, minus])


def _digits(rng: np.random.Generator, lengths: np.ndarray, lead: bool = True) -> np.ndarray:
    """Random digit texts of the given lengths (0: empty); with `lead`, no leading 0 on two or more digits."""
    width = max(int(lengths.max()), 1)
    rows = rng.integers(ord("0"), ord("9") + 1, (len(lengths), width), dtype=np.uint8)
    if lead:
        rows[:, 0] = np.where(lengths > 1, rng.integers(ord("1"), ord("9") + 1, len(lengths), dtype=np.uint8),
                              rows[:, 0])
    rows[np.arange(width) >= lengths[:, None]] = 0
    return rows.view(f"S{width}").ravel()


def _between(rng, n, lo, hi):
    return rng.integers(lo, hi + 1, n)


# ---------------------------------------------------------------- generators: (rng, n) -> string array, no nulls

def int64_digits(lo: int, hi: int):
    def make(rng, n):
        digits = _between(rng, n, lo, hi)
        low = np.where(digits == 1, 0, 10 ** np.maximum(digits - 1, 0))
        high = np.where(digits == 19, INT64_MAX, 10 ** np.minimum(digits, 18))
        values = rng.integers(low, high)
        values = np.where(rng.random(n) < 0.5, -values, values)
        if hi == 19:
            values[rng.integers(0, n, 2)] = (INT64_MIN, INT64_MAX)
        return _str(values)
    return make


def int64_signs(rng, n):
    """1-18 digits, '+' on 10% and 1-3 leading zeros on 10% of the values."""
    magnitudes = rng.integers(0, 10 ** _between(rng, n, 1, 18))
    return _arrow(_cat(_pick(rng, n, [b"", b"-", b"+"], p=[0.45, 0.45, 0.10]),
                       _pick(rng, n, [b"", b"0", b"00", b"000"], p=[0.90, 0.04, 0.03, 0.03]),
                       magnitudes.astype("S19")))


def float_prices(rng, n):
    # "1234.56"
    return _arrow(_cat(_sign(rng, n, 0.1), _digits(rng, _between(rng, n, 1, 6)), b".",
                       _digits(rng, np.full(n, 2), lead=False)))


def float_integers(rng, n):
    # "-1234567"
    return _arrow(_cat(_sign(rng, n), _digits(rng, _between(rng, n, 1, 15))))


def float_shortest(rng, n):
    # numpy's float -> bytes text is the shortest round trip, the same text as repr(float):
    # 15-17 significant digits for these values, "1.2345e-05" forms below 1e-4.
    return _arrow((rng.normal(0, 1, n) * 10.0 ** _between(rng, n, -6, 12)).astype("S32"))


def float_scientific(rng, n):
    # "6.022141e23", "-3E-7", "1.5e+12"; 2% subnormals and 2% exponents of 290-307 (shortest repr)
    fraction = _between(rng, n, 0, 6)
    scientific = _cat(_sign(rng, n), _digits(rng, np.ones(n, np.int64)), np.where(fraction > 0, b".", b""),
                      _digits(rng, fraction, lead=False), _pick(rng, n, [b"e", b"E"], p=[0.9, 0.1]),
                      _pick(rng, n, [b"", b"-", b"+"]), rng.integers(0, 31, n).astype("S2"))
    subnormal = (rng.random(n) * 2.2250738585072014e-308).astype("S32")
    huge = ((1 + rng.random(n)) * 10.0 ** _between(rng, n, 290, 307)).astype("S32")
    share = rng.random(n)
    return _arrow(np.where(share < 0.02, subnormal, np.where(share < 0.04, huge, scientific)))


def decimal_texts(whole: tuple[int, int], fraction: tuple[int, int]):
    """[-]whole[.fraction], digit counts drawn from the ranges; a whole of 0 digits is "0"."""
    def make(rng, n):
        whole_digits = _between(rng, n, *whole)
        fraction_digits = _between(rng, n, *fraction)
        wholes = np.where(whole_digits == 0, b"0", _digits(rng, whole_digits))
        return _arrow(_cat(_sign(rng, n), wholes, np.where(fraction_digits > 0, b".", b""),
                           _digits(rng, fraction_digits, lead=False)))
    return make


def _instants(rng, n, unit):
    lo, hi = (np.datetime64(day, unit).astype(np.int64) for day in EPOCH_RANGE)
    return pa.array(rng.integers(lo, hi, n), pa.timestamp(unit))


def dates(rng, n):
    # "2024-01-05"
    return pc.cast(pc.cast(_instants(rng, n, "s"), pa.date32()), pa.string())


def iso_timestamps(fraction_digits: int, separator: str):
    # "2024-01-05T12:34:56.123": Arrow writes a timestamp with as many fraction digits as its unit holds
    unit = next(u for u, d in UNIT_DIGITS.items() if d == fraction_digits)

    def make(rng, n):
        text = pc.cast(_instants(rng, n, unit), pa.string())
        return text if separator == " " else pc.replace_substring(text, " ", separator, max_replacements=1)
    return make


def pattern_texts(pattern: str):
    return lambda rng, n: pc.strftime(_instants(rng, n, "s"), pattern)


LOREM = ("Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor incididunt ut labore et "
         "dolore magna aliqua. Ut enim ad minim veniam, quis nostrud exercitation ullamco laboris nisi ut aliquip ex "
         "ea commodo consequat. Duis aute irure dolor in reprehenderit in voluptate velit esse cillum dolore eu "
         "fugiat nulla pariatur. Excepteur sint occaecat cupidatat non proident, sunt in culpa qui officia deserunt "
         "mollit anim id est laborum.")
# Text bodies; a text is a body, a separator and a number unique within its pool.
BODIES = {
    "short": (cast.CITIES, "-"),                                       # "Kyoto-10-4711": 9-20 bytes
    "long": ([LOREM[start:start + length] for start in range(0, 98, 7) for length in range(99, 290, 12)],
             "#"),                                                     # 100-299 bytes
    "non-ASCII": (["Zürich", "São Paulo", "Kraków", "Москва", "Αθήνα", "東京都", "서울특별시", "القاهرة",
                   "naïve café", "🍣 sushi bar", "Ærøskøbing", "İstanbul", "Đà Nẵng", "ქუთაისი"], "·"),
}


def _pool(rng, kind: str, count: int) -> pa.Array:
    """`count` distinct texts of a kind, in random order."""
    bodies, separator = BODIES[kind]
    picked = pc.take(pa.array(bodies), pa.array(rng.integers(0, len(bodies), count)))
    return pc.binary_join_element_wise(picked, _str(rng.permutation(count)), separator)


def texts(kind: str, distinct: int | None):
    """Texts drawn from `distinct` distinct ones (None: every text distinct)."""
    def make(rng, n):
        if distinct is None:
            return _pool(rng, kind, n)
        return pc.take(_pool(rng, kind, distinct), pa.array(rng.integers(0, distinct, n)))
    return make


# ---------------------------------------------------------------- peers

def _python(parse: Callable[[str], object], arrow_type: pa.DataType) -> Peer:
    """The values Python computes from each text (checked only, never timed)."""
    def run(column):
        return pa.array([None if text is None else parse(text) for text in column.to_pylist()], arrow_type)
    return Peer("python", lambda a: a, run, lambda result: result)


def _truncated(scale: int) -> Callable[[str], decimal.Decimal]:
    quantum, context = decimal.Decimal(1).scaleb(-scale), decimal.Context(prec=100)
    return lambda text: decimal.Decimal(text).quantize(quantum, rounding=decimal.ROUND_DOWN, context=context)


def _casts(arrow_type: pa.DataType, polars_type: Callable[[], object]) -> list:
    return [_pyarrow(lambda a: pc.cast(a, arrow_type)), _polars(lambda s: s.cast(polars_type(), strict=True))]


def _in_ms(result: pa.Array) -> pa.Array:
    return pc.cast(result, pa.timestamp("ms"))


def _datetime_peers(unit: str, pyarrow_run: Callable, polars_format: str) -> list:
    # polars has no second unit: then compared in milliseconds
    polars_unit = "ms" if unit == "s" else unit
    return [_pyarrow(pyarrow_run),
            _polars(lambda s: s.str.to_datetime(polars_format, time_unit=polars_unit, strict=True),
                    normalize_ours=_in_ms if unit == "s" else (lambda a: a))]


def _categorical() -> Peer | None:
    peer = _polars(lambda s: s.cast(pl.Categorical), normalize_ours=_decoded)
    if peer is not None:
        to_arrow = peer.to_arrow
        peer.to_arrow = lambda result: _decoded(to_arrow(result))
    return peer


def _utf8_check(large: bool) -> Peer:
    # string -> string is free in pyarrow; through binary it checks the UTF-8 as the cast must
    binary = pa.large_binary() if large else pa.binary()
    return _pyarrow(lambda a: pc.cast(pc.cast(a, binary), pa.string()))


# ---------------------------------------------------------------- the shapes

@dataclass
class Shape:
    name: str
    field_type: str
    make: Callable[[np.random.Generator, int], pa.Array]
    peers: list = field(default_factory=list)
    notes: str = ""
    batched: bool = False  # also timed as 240 batches
    large: bool = False    # the column is large_string


def shapes() -> list[Shape]:
    out = [Shape(f"int64 {lo}-{hi} digits", "int64", int64_digits(lo, hi), _casts(pa.int64(), lambda: pl.Int64),
                 batched=True) for lo, hi in ((1, 4), (5, 8), (9, 12), (13, 19))]
    out.append(Shape("int64 '+'/leading 0", "int64", int64_signs,
                     [_python(int, pa.int64()), _polars(lambda s: s.cast(pl.Int64, strict=True))],
                     "pyarrow rejects '+5': checked against Python int()", batched=True))
    float_peers = _casts(pa.float64(), lambda: pl.Float64)
    out += [Shape(f"float64 {name}", "float64", make, float_peers, batched=True) for name, make in (
        ("prices", float_prices), ("integers", float_integers), ("shortest repr", float_shortest),
        ("scientific", float_scientific))]
    for scale, whole, fraction in ((0, (1, 38), (0, 0)), (2, (1, 12), (0, 2)), (4, (1, 10), (0, 4)),
                                   (9, (1, 9), (0, 9)), (18, (1, 20), (0, 18)), (38, (0, 0), (1, 38))):
        out.append(Shape(f"decimal128({scale})", f"decimal128({scale})", decimal_texts(whole, fraction),
                         _casts(pa.decimal128(38, scale), lambda scale=scale: pl.Decimal(38, scale))))
    out.append(Shape("decimal128(2) 3-8 fraction digits", "decimal128(2)", decimal_texts((1, 10), (3, 8)),
                     [_python(_truncated(2), pa.decimal128(38, 2))],
                     "extra digits truncated; pyarrow rejects, polars rounds: checked against Python decimal"))
    out.append(Shape("date32", "date32", dates, [_pyarrow(lambda a: pc.cast(a, pa.date32())),
                                                _polars(lambda s: s.str.to_date("%Y-%m-%d", strict=True))]))
    for unit, unit_digits in UNIT_DIGITS.items():
        for digits in (d for d in (0, 3, 6, 9) if d <= unit_digits):
            for separator, label in (("T", "T"), (" ", "space")):
                out.append(Shape(
                    f"timestamp[{unit}] .{digits} {label}", f"timestamp[{unit}]", iso_timestamps(digits, separator),
                    _datetime_peers(unit, lambda a, unit=unit: pc.cast(a, pa.timestamp(unit)),
                                    f"%Y-%m-%d{separator}%H:%M:%S%.f")))
    for pattern, unit in (("%Y%m%d%H%M%S", "s"), ("%d.%m.%Y", "ms"), ("%b %d %Y %I:%M %p", "us")):
        out.append(Shape(f"pattern {pattern} [{unit}]", f"timestamp[{unit},format={pattern}]", pattern_texts(pattern),
                         _datetime_peers(unit, lambda a, p=pattern, u=unit: pc.strptime(a, p, u), pattern)))
    for kind in BODIES:
        for distinct, label in ((2, "2"), (30, "30"), (1000, "1k"), (100_000, "100k"), (None, "all")):
            out.append(Shape(f"dictionary {kind} {label} distinct", "dictionary", texts(kind, distinct),
                             [_pyarrow(pc.dictionary_encode), _categorical()], batched=True))
    for kind in BODIES:
        out.append(Shape(f"string {kind}", "string", texts(kind, 1000), [_utf8_check(False)], batched=True))
        out.append(Shape(f"string {kind} large_string", "string", texts(kind, 1000), [_utf8_check(True)],
                         large=True))
    for shape in out:
        shape.peers = [p for p in shape.peers if p is not None]
    return out


# ---------------------------------------------------------------- running

def column_of(index: int, shape: Shape, rows: int, nulls: float, texts_: pa.Array, batches: int):
    """The shape's texts with nulls (the same in every process), as large_string or in batches."""
    mask = np.random.default_rng([SEED, index, rows, round(nulls * 1000)]).random(rows) < nulls
    column = pc.if_else(pa.array(mask), pa.scalar(None, pa.string()), texts_)
    if isinstance(column, pa.ChunkedArray):  # a shape made in pieces
        column = column.combine_chunks()
    if shape.large:
        column = column.cast(pa.large_string())
    if batches == 1:
        return column
    bounds = np.linspace(0, rows, batches + 1).astype(np.int64)
    # each batch in buffers of its own, as a reader hands them over
    return pa.chunked_array([pa.concat_arrays([column.slice(a, b - a)]) for a, b in zip(bounds, bounds[1:])])


def text_mb(column) -> float:
    return (pc.sum(pc.binary_length(column)).as_py() or 0) / 1e6


def _ms(value: float) -> str:
    return f"{value:.2f}" if value < 100 else f"{value:.1f}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, action="append", help="rows (repeatable; default 1000000 and 10000000)")
    parser.add_argument("--nulls", type=float, action="append", help="null share (repeatable; default 0.02 and 0.3)")
    parser.add_argument("--quick", action="store_true", help="10k rows, equality checks and one timed run")
    parser.add_argument("--runs", type=int, default=0, help="timed runs per side (default 7, 3 above 5M rows)")
    parser.add_argument("--only", action="append", help="rows whose shape name holds SUBSTRING (repeatable)")
    parser.add_argument("--all-batched", action="store_true", help="every shape also in 240 batches")
    args = parser.parse_args(argv)

    sizes = [10_000] if args.quick else (args.rows or [1_000_000, 10_000_000])
    null_shares = args.nulls or [0.02, 0.30]
    all_shapes = shapes()
    # The modules' own objects never become garbage: leave them out of the
    # collections best_ms makes before every run (about 50k objects here).
    gc.freeze()
    plan = [(i, s, b, f"{s.name}{' x240' if b > 1 else ''}") for i, s in enumerate(all_shapes)
            for b in ((1, BATCHES) if s.batched or args.all_batched else (1,))]
    plan = [p for p in plan if not args.only or any(o in p[3] for o in args.only)]
    if not plan:
        raise SystemExit(f"--only matches no shape; shapes: {', '.join(s.name for s in all_shapes)}")

    print(f"# pyarrow {pa.__version__}, polars {pl.__version__ if pl else 'not installed'}; ratio = peer ms / "
          "vorpel ms; x240 = 240 batches")
    print(f"{'shape':<40} {'rows':>9} {'nulls':>5} {'in MB':>7} {'vorpel ms':>9} {'MB/s':>6}  {'pyarrow ms':>10} "
          f"{'ratio':>5}  {'polars ms':>9} {'ratio':>5}  notes")
    for rows in sizes:
        runs = 1 if args.quick else (args.runs or (3 if rows > 5_000_000 else 7))
        made: dict[int, pa.Array] = {}
        for index, shape, batches, label in plan:
            if index not in made:
                made.clear()
                made[index] = shape.make(np.random.default_rng([SEED, index, rows]), rows)
            for nulls in null_shares:
                column = column_of(index, shape, rows, nulls, made[index], batches)
                checked = check_equal(dataclasses.replace(shape, name=f"{label} ({rows} rows, {nulls:.0%} nulls)"),
                                      column)
                table = pa.table({"v": column})
                ours = best_ms(lambda: _vorpel._cast_strings(table, shape.field_type), runs)
                size = text_mb(column)
                cells = [f"{label:<40} {rows:>9} {nulls:>5.0%} {size:>7.2f} {_ms(ours):>9} {size / ours * 1e3:>6.0f}"]
                for theirs, width in zip(peer_ms(shape.peers, column, runs).values(), (10, 9)):
                    if theirs is None:
                        cells.append(f"  {'-':>{width}} {'-':>5}")
                        continue
                    cells.append(f"  {_ms(theirs):>{width}} {theirs / ours:>5.2f}")
                notes = [f"equal to {', '.join(checked)}"] + ([shape.notes] if shape.notes else [])
                print("".join(cells) + "  " + "; ".join(notes), flush=True)
                del table, column
    return 0


if __name__ == "__main__":
    sys.exit(main())
