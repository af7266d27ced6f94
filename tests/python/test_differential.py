"""_cast_strings against oracles written elsewhere: Python's correctly rounded
float(), int(), the datetime module's calendar and the decimal module.

Each example casts a short column of generated texts and compares every row
with the oracle; a text the strict grammar rejects must fail the cast with the
exact strict_types message at its row, also when Python itself accepts it.
Example counts come from the hypothesis profile in conftest.py (VORPEL_LONG=1
for ten times more)."""

from __future__ import annotations

import datetime as dt
import math
import struct
from decimal import ROUND_DOWN, Decimal, localcontext

import pyarrow as pa
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import _vorpel
from _vorpel import PlanError

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
I128_MAX = 2**127 - 1


def cast(texts, field_type):
    return _vorpel._cast_strings(pa.table({"s": pa.array(texts, pa.string())}), field_type)


def quoted(text: str) -> str:
    """A value as the strict_types message shows it (first 64 characters)."""
    out = []
    for ch in text[:64]:
        cp = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\0":
            out.append("\\0")
        elif cp < 0x20 or 0x7F <= cp <= 0x9F:
            out.append(f"\\u{{{cp:x}}}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def strict_message(text: str, row: int, declared: str) -> str:
    return (f'strict_types: value {quoted(text)} in column "value" at row {row} '
            f"does not parse as declared type {declared}")


def assert_rejected_at(texts, field_type, row, declared):
    with pytest.raises(PlanError) as info:
        cast(texts, field_type)
    assert str(info.value) == strict_message(texts[row], row, declared)


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


# --------------------------------------------------------------- text pieces

digits = st.text("0123456789", min_size=0, max_size=25)
# Unicode decimal digits that Python's int() and float() accept: Arabic-Indic,
# Devanagari, fullwidth.
FOREIGN_ZERO = ["\u0660", "\u0966", "\uff10"]
# Whitespace Python's float()/int() strip, in the system's White_Space set.
BLANKS = [" ", "\t", "\n", "\u00a0", "\u3000", "\u2003", "\x85", "\u2028"]


@st.composite
def float_texts(draw):
    """Texts of the strict float64 grammar."""
    sign = draw(st.sampled_from(["", "+", "-"]))
    if draw(st.integers(0, 9)) == 0:
        word = draw(st.sampled_from(["nan", "inf", "infinity"]))
        return sign + "".join(c.upper() if draw(st.booleans()) else c for c in word)
    whole = draw(digits)
    point = draw(st.booleans())
    frac = draw(digits) if point else ""
    if not whole and not frac:
        whole = draw(st.text("0123456789", min_size=1, max_size=3))
    text = sign + whole + ("." + frac if point else "")
    if draw(st.booleans()):
        exp_digits = draw(st.one_of(st.integers(0, 400).map(str), st.text("0123456789", min_size=1, max_size=22)))
        text += draw(st.sampled_from("eE")) + draw(st.sampled_from(["", "+", "-"])) + exp_digits
    return text


@st.composite
def int_texts(draw, lo=I64_MIN, hi=I64_MAX):
    value = draw(st.integers(lo, hi))
    zeros = "0" * draw(st.integers(0, 3))
    sign = "-" if value < 0 else draw(st.sampled_from(["", "+"]))
    return sign + zeros + str(abs(value)), value


def python_rejects_too(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return True
    return False


@st.composite
def python_only_float_texts(draw):
    """Texts Python's float() reads that the strict grammar rejects."""
    base = draw(float_texts())
    kind = draw(st.sampled_from(["blank_before", "blank_after", "underscore", "foreign_digit"]))
    if kind == "blank_before":
        return draw(st.sampled_from(BLANKS)) + base
    if kind == "blank_after":
        return base + draw(st.sampled_from(BLANKS))
    positions = [i for i, c in enumerate(base) if c.isdigit()]
    if kind == "underscore":
        pairs = [i for i in positions if i + 1 in positions]
        assume(pairs)
        i = draw(st.sampled_from(pairs))
        return base[: i + 1] + "_" + base[i + 1 :]
    assume(positions)
    i = draw(st.sampled_from(positions))
    zero = draw(st.sampled_from(FOREIGN_ZERO))
    return base[:i] + chr(ord(zero) + int(base[i])) + base[i + 1 :]


# --------------------------------------------------------------- float64

@given(st.lists(float_texts(), min_size=1, max_size=8))
def test_float64_is_bit_exact_with_python_float(texts):
    got = cast(texts, "float64").to_pylist()
    for text, value in zip(texts, got):
        expected = float(text)
        if math.isnan(expected):
            assert math.isnan(value) and math.copysign(1, value) == math.copysign(1, expected), text
        else:
            assert bits(value) == bits(expected), (text, value, expected)


@given(st.lists(float_texts(), max_size=4), python_only_float_texts(), st.lists(float_texts(), max_size=2))
def test_float64_rejects_what_only_python_accepts(before, text, after):
    float(text)  # Python reads it
    assert_rejected_at([*before, text, *after], "float64", len(before), "Float64")


@pytest.mark.parametrize(
    "text",
    ["1_000", " 1", "1 ", "infinity ", " nan", "1.5\n", "\u00a01", "\uff11", "1_0.5", "1e1_0", "-\u0661"],
)
def test_float64_rejects_known_python_spellings(text):
    float(text)
    assert_rejected_at([text], "float64", 0, "Float64")


@pytest.mark.parametrize("text", ["infinit", "info", "1e", "1e+", ".", "-", "+-1", "0x1p3", "1.2.3", "nan(1)", ""])
def test_float64_rejects_what_both_reject(text):
    assert python_rejects_too(text)
    assert_rejected_at([text], "float64", 0, "Float64")


# --------------------------------------------------------------- int64

@given(st.lists(int_texts(), min_size=1, max_size=8))
def test_int64_matches_python_int_within_range(pairs):
    texts = [t for t, _ in pairs]
    assert cast(texts, "int64").to_pylist() == [int(t) for t in texts]


@given(
    st.lists(int_texts(), max_size=4).map(lambda ps: [t for t, _ in ps]),
    st.one_of(st.integers(I64_MAX + 1, 2**200), st.integers(-(2**200), I64_MIN - 1)),
)
def test_int64_rejects_out_of_range(before, value):
    text = str(value)
    assert_rejected_at([*before, text], "int64", len(before), "Int64")


@given(int_texts(), st.sampled_from(["blank_before", "blank_after", "underscore", "foreign_digit", "point"]), st.data())
def test_int64_rejects_what_only_python_accepts(pair, kind, data):
    text, value = pair
    if kind == "blank_before":
        text = data.draw(st.sampled_from(BLANKS)) + text
    elif kind == "blank_after":
        text = text + data.draw(st.sampled_from(BLANKS))
    elif kind == "underscore":
        assume(len(str(abs(value))) >= 2)
        text = text[:-1] + "_" + text[-1]
    elif kind == "foreign_digit":
        zero = data.draw(st.sampled_from(FOREIGN_ZERO))
        text = text[:-1] + chr(ord(zero) + int(text[-1]))
    else:  # Python's float() reads "5.0"; int() does not, nor the grammar
        text = text + ".0"
        assert float(text) == value or abs(value) > 2**53
        assert_rejected_at([text], "int64", 0, "Int64")
        return
    assert int(text) == value
    assert_rejected_at([text], "int64", 0, "Int64")


# --------------------------------------------------------------- date32

EPOCH_DATE = dt.date(1970, 1, 1)


@st.composite
def date_texts(draw):
    d = draw(st.dates())
    month = f"{d.month:02}" if draw(st.booleans()) else str(d.month)
    day = f"{d.day:02}" if draw(st.booleans()) else str(d.day)
    text = f"{d.year:04}-{month}-{day}"
    # Surrounding white space is trimmed before matching.
    pad = draw(st.sampled_from(["", " ", "\t", "\u3000"]))
    return pad + text + draw(st.sampled_from(["", " ", "\u00a0"])), d


@given(st.lists(date_texts(), min_size=1, max_size=8))
def test_date32_matches_date_arithmetic(pairs):
    texts = [t for t, _ in pairs]
    days = cast(texts, "date32").view(pa.int32()).to_pylist()
    assert days == [(d - EPOCH_DATE).days for _, d in pairs]


@given(st.integers(1, 9999), st.integers(1, 12), st.integers(1, 31))
def test_date32_accepts_exactly_the_calendar_dates(year, month, day):
    text = f"{year:04}-{month:02}-{day:02}"
    try:
        expected = (dt.date(year, month, day) - EPOCH_DATE).days
    except ValueError:
        assert_rejected_at([text], "date32", 0, "Date32")
    else:
        assert cast([text], "date32").view(pa.int32()).to_pylist() == [expected]


# --------------------------------------------------------------- timestamps

EPOCH = dt.datetime(1970, 1, 1)
UNITS = {"s": ("Second", 10**9), "ms": ("Millisecond", 10**6), "us": ("Microsecond", 10**3), "ns": ("Nanosecond", 1)}


def in_unit(ns: int, per: int) -> int:
    """A count of nanoseconds since the epoch in a unit of `per` nanoseconds:
    floored (an instant before the epoch keeps a non-negative fraction);
    nanoseconds that do not fit 64 bits go through microseconds and saturate."""
    v = ns // per
    if per == 1 and not I64_MIN <= v <= I64_MAX:
        v = max(I64_MIN, min(I64_MAX, (ns // 1000) * 1000))
    return v


@st.composite
def timestamp_texts(draw):
    """A date-time text and its exact count of nanoseconds since the epoch
    (no leap seconds)."""
    moment = draw(st.datetimes(min_value=dt.datetime(1, 1, 1), max_value=dt.datetime(9999, 12, 31, 23, 59, 59)))
    nanos = draw(st.integers(0, 999))  # the digits past the microseconds
    fraction_digits = draw(st.integers(0, 12))
    all_nine = f"{moment.microsecond:06}{nanos:03}"
    fraction = (all_nine + "123")[:fraction_digits]
    text = f"{moment.year:04}-{moment.month:02}-{moment.day:02}"
    text += draw(st.sampled_from(["T", " ", "  "])) + f"{moment.hour:02}:{moment.minute:02}:{moment.second:02}"
    if fraction_digits:
        text += "." + fraction
    kept = int((fraction + "000000000")[:9]) if fraction_digits else 0
    delta = moment.replace(microsecond=0) - EPOCH
    total_ns = (delta.days * 86400 + delta.seconds) * 10**9 + kept
    return text, total_ns


@given(st.lists(timestamp_texts(), min_size=1, max_size=8))
def test_timestamps_match_datetime_arithmetic(pairs):
    texts = [t for t, _ in pairs]
    for unit, (_, per) in UNITS.items():
        got = cast(texts, f"timestamp[{unit}]").view(pa.int64()).to_pylist()
        assert got == [in_unit(ns, per) for _, ns in pairs], unit


@given(st.lists(st.datetimes(min_value=dt.datetime(1000, 1, 1), max_value=dt.datetime(9999, 12, 31)),
                min_size=1, max_size=8),
       st.sampled_from(["%d/%m/%Y %H:%M:%S", "%Y%m%d%H%M%S", "%d %b %Y %I:%M:%S %p", "%Y-%j %T"]))
def test_custom_patterns_read_strftime_texts(moments, pattern):
    """Texts written by the C library's strftime, read with the same pattern."""
    texts = [m.strftime(pattern) for m in moments]
    for unit, (_, per) in UNITS.items():
        got = cast(texts, f"timestamp[{unit},format={pattern}]").view(pa.int64()).to_pylist()
        expected = []
        for m in moments:
            delta = m.replace(microsecond=0) - EPOCH
            expected.append(in_unit((delta.days * 86400 + delta.seconds) * 10**9, per))
        assert got == expected, (unit, texts)


# --------------------------------------------------------------- decimal128

@st.composite
def decimal_texts(draw):
    sign = draw(st.sampled_from(["", "+", "-"]))
    whole = draw(st.text("0123456789", max_size=41))
    point = draw(st.booleans())
    frac = draw(st.text("0123456789", max_size=45)) if point else ""
    if not whole and not frac:
        whole = "0"
    pad = draw(st.sampled_from(["", " ", "\t"]))
    return pad + sign + whole + ("." + frac if point else "") + draw(st.sampled_from(["", " ", "\u3000"]))


def unscaled(text: str, scale: int) -> int:
    """The text's value times 10^scale, truncated toward zero."""
    with localcontext() as ctx:
        ctx.prec = 200
        return int(Decimal(text.strip()).scaleb(scale).to_integral_value(rounding=ROUND_DOWN))


@given(st.lists(decimal_texts(), min_size=1, max_size=8), st.integers(0, 38))
def test_decimal128_matches_the_decimal_module(texts, scale):
    field_type = f"decimal128({scale})"
    values = [unscaled(t, scale) for t in texts]
    # Beyond 38 digits (precision 38), whether or not the value fits 128
    # bits, the text does not parse as the declared type.
    beyond_precision = [i for i, u in enumerate(values) if abs(u) >= 10**38]
    if beyond_precision:
        assert_rejected_at(texts, field_type, beyond_precision[0], f"Decimal128({scale})")
    else:
        got = cast(texts, field_type)
        assert got.type == pa.decimal128(38, scale)
        with localcontext() as ctx:
            ctx.prec = 200
            assert [int(v.scaleb(scale)) for v in got.to_pylist()] == values


@pytest.mark.parametrize(
    "text, scale",
    [("1e5", 2), ("1,5", 2), ("1.2.3", 0), ("- 5", 0), ("+-1", 0), (".", 3), ("", 0), ("\uff11", 0), ("1_0", 0),
     ("170141183460469231731687303715884105728", 0), ("-170141183460469231731687303715884105728", 0),
     ("1.7014118346046923173168730371588410573", 38)],
)
def test_decimal128_rejections(text, scale):
    assert_rejected_at([text], f"decimal128({scale})", 0, f"Decimal128({scale})")
