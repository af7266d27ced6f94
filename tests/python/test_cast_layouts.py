"""_cast_strings reads a column the same way however its Arrow buffers are laid
out: offsets into a shared value buffer, null rows that span bytes, validity
bits that start mid-byte, 64-bit offsets, many batches of odd sizes."""

from __future__ import annotations

import gc
import json
import random

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pytest

import _vorpel
from _vorpel import PlanError

cast = _vorpel._cast_strings

POOLS = {
    "int64": ["0", "-17", "+5", "123456789012345", "9223372036854775807"],
    "float64": ["1.5", "-0.001", "1e10", "42", "-0.37700000000000006", "-inf"],
    "boolean": ["true", "false"],
    "date32": ["2024-01-05", "1969-12-31", " 2024-1-5 "],
    "timestamp[us]": ["2024-01-05T12:34:56.123456", "2024-01-05 01:02:03", "2024-01-05"],
    "timestamp[s,format=%d/%m/%Y %H:%M:%S]": ["05/01/2024 12:34:56", "5/1/2024 1:2:3", "2024-01-05"],
    "decimal128(2)": ["-1234567.89", ".07", " 42 ", "12.999"],
    "string": ["lorem", "", "élit", "日本"],
    "dictionary": ["Berlin", "Cairo", "", "Dakar"],
}


def values_for(field_type: str, n: int, seed: int) -> list:
    rng = random.Random(seed)
    pool = POOLS[field_type]
    return [None if rng.random() < 0.15 else rng.choice(pool) for _ in range(n)]


def clean(values) -> pa.Table:
    return pa.table({"s": pa.array(values, pa.string())})


def nulls_with_bytes(values) -> pa.Array:
    """Null rows keep the bytes of a text under them, as if_else leaves them."""
    filled = pa.array([v if v is not None else "junk" for v in values], pa.string())
    mask = pa.array([v is None for v in values])
    return pc.if_else(mask, pa.scalar(None, pa.string()), filled)


LAYOUTS = {
    "nulls_with_bytes": lambda v: pa.table({"s": nulls_with_bytes(v)}),
    "sliced_mid_byte": lambda v: pa.table({"s": pa.array([None, "x", "y"] + v, pa.string()).slice(3)}),
    "sliced_with_bytes": lambda v: pa.table({"s": nulls_with_bytes(["1", None, "2", "3", "4"] + v).slice(5)}),
    "large_string": lambda v: pa.table({"s": nulls_with_bytes(v).cast(pa.large_string())}),
    "odd_batches": lambda v: pa.Table.from_batches(
        [pa.record_batch([nulls_with_bytes(v[i:i + 37])], names=["s"]) for i in range(0, len(v), 37)]),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("field_type", sorted(POOLS))
def test_layout_gives_the_clean_result(field_type, layout):
    values = values_for(field_type, 300, seed=len(field_type) * 31 + len(layout))
    expected = cast(clean(values), field_type)
    got = cast(LAYOUTS[layout](values), field_type)
    assert got.type == expected.type
    assert got.equals(expected)


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("field_type, bad", [("int64", "12a"), ("date32", "2023-02-29"),
                                             ("decimal128(2)", "1e3"), ("boolean", "True")])
def test_first_failure_is_reported_at_the_same_row(field_type, bad, layout):
    values = values_for(field_type, 200, seed=7)
    values[150] = bad
    values[170] = bad + "x"
    with pytest.raises(PlanError) as expected:
        cast(clean(values), field_type)
    with pytest.raises(PlanError) as got:
        cast(LAYOUTS[layout](values), field_type)
    assert str(got.value) == str(expected.value)
    assert " at row 150 " in str(got.value)


def test_string_result_drops_invalid_bytes_under_null_rows():
    # A null row over bytes that are not UTF-8: the result cannot share them.
    offsets = np.array([0, 2, 4, 5], dtype=np.int32).tobytes()
    raw = pa.Array.from_buffers(pa.string(), 3, [pa.py_buffer(bytes([0b101])), pa.py_buffer(offsets),
                                                 pa.py_buffer(b"ab\xff\x80c")], null_count=1)
    got = cast(pa.table({"s": raw}), "string")
    assert got.to_pylist() == ["ab", None, "c"]
    assert got.buffers()[2].to_pybytes() == b"abc"


@pytest.mark.parametrize("make, shared", [
    (lambda: pa.array(["a", None, "élit", ""], pa.string()), True),
    # Rows before the slice hold no bytes: its texts start at byte 0.
    (lambda: pa.array([None, "", None, "ab", None, "c"], pa.string()).slice(3), True),
    (lambda: pa.array(["skip", "ab", None, "c"], pa.string()).slice(1), False),
    # Bytes under null rows stay in the shared buffer.
    (lambda: nulls_with_bytes(["ab", None, "c"]), True),
    (lambda: pa.array(["ab", None, "c"], pa.large_string()), False),
])
def test_string_result_shares_the_input_bytes_when_their_layout_allows(make, shared):
    column = make()
    got = cast(pa.table({"s": column}), "string")
    assert got.type == pa.string()
    assert got.to_pylist() == column.to_pylist()
    assert (got.buffers()[2].address == column.buffers()[2].address) is shared
    # Either way: offsets of exactly its rows, from 0, and only their bytes.
    offsets = got.buffers()[1].to_pybytes()
    assert got.offset == 0 and len(offsets) == 4 * (len(got) + 1) and offsets[:4] == b"\0\0\0\0"
    offsets_in = np.frombuffer(column.buffers()[1], dtype=np.int64 if column.type == pa.large_string() else np.int32)
    last = int(offsets_in[column.offset + len(column)])
    assert got.buffers()[2].size == (last if shared else sum(len(v.encode()) for v in column.to_pylist()
                                                             if v is not None))
    got.validate(full=True)


def test_string_result_keeps_the_input_alive():
    # The result shares the input's buffers; they must outlive the input table.
    column = pa.array(["kept", None, "alive"] * 1000, pa.string())
    got = cast(pa.table({"s": column}), "string")
    del column
    gc.collect()
    assert got.to_pylist()[:3] == ["kept", None, "alive"]


# A large_string column whose valid texts pass the 2 GiB that a string result
# can address: the capacity error comes at once, before any of it is copied.
# A column whose bytes lie mostly under a null row still fits. The value
# buffer is an untouched anonymous mapping (zero bytes), so the input costs no
# memory of its own and the peak RSS shows what the cast copied.
OVER_TWO_GIB = r'''
import json, mmap, resource, sys
import pyarrow as pa
import _vorpel

n = 2**31 + 5
data = pa.py_buffer(mmap.mmap(-1, n))
offsets = pa.array([0, 10, n - 1, n], pa.int64()).buffers()[1]
valid = pa.array([True, sys.argv[1] == "valid", True]).buffers()[1]
column = pa.Array.from_buffers(pa.large_string(), 3, [valid, offsets, data])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    result = _vorpel._cast_strings(pa.table({"s": column}), "string")
    outcome = [None if v is None else len(v) for v in result.to_pylist()]
except Exception as e:
    outcome = f"{type(e).__name__}: {e}"
growth = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(json.dumps([outcome, growth // 1024]))
'''


@pytest.mark.parametrize("middle, outcome", [
    ("valid", "Exception: Arrow error: Capacity error: string column exceeds 2147483647 bytes"),
    ("null", [10, None, 1]),
])
def test_a_string_result_past_two_gib_fails_before_copying(run_python, middle, outcome):
    done = run_python(f"import sys; sys.argv[1:] = [{middle!r}]\n" + OVER_TWO_GIB)
    assert done.returncode == 0, done.stderr
    got, growth_mib = json.loads(done.stdout)
    assert got == outcome
    assert growth_mib < 256
