"""resolve_engine: memory budget values, the decision table and the order in
which invalid inputs are reported. (Byte counts of memory texts are checked
in tests/core/test_engine.cc; from Python only acceptance is visible.)"""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _vorpel

RE = _vorpel.resolve_engine
MIB8 = 8388608
MIB100 = 104857600


class _Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---------------------------------------------------------------- memory values


@pytest.mark.parametrize(
    "memory",
    [
        "64MiB", "64 mib", "64MIB", "  64MiB  ", "\t64MiB\n", "64MB", "1KB", "1KiB", "1TiB", "64", "64B", "64b",
        "MiB", "B", "0.5", "0.4KB", "1.5KiB", "20000000TB", "1k\u0131b", "\u300064 gib\u2029", "5.", ".5 tb",
        "9" * 30, type("S", (str,), {})("1MiB"),
        0, 1, True, False, 2**64 - 1, _Index(0), _Index(5),
    ],
)
@pytest.mark.parametrize("threads, expected", [(None, "stream"), (2, "parallel_streaming")])
def test_valid_memory_gives_a_budget(memory, threads, expected):
    assert RE(0, memory=memory, threads=threads) == expected


@pytest.mark.parametrize(
    "memory, message",
    [
        ("", "empty memory string"),
        ("    ", "empty memory string"),
        ("\u3000\t\u2028", "empty memory string"),
        (".", "invalid memory value: ."),
        (".MiB", "invalid memory value: .MiB"),
        ("  .MiB ", "invalid memory value: .MiB"),
        ("0", "memory value must be a positive finite number, got 0"),
        ("0.0MiB", "memory value must be a positive finite number, got 0"),
        ("0XB", "memory value must be a positive finite number, got 0"),
        ("000.000", "memory value must be a positive finite number, got 0"),
        ("9" * 400, "memory value must be a positive finite number, got inf"),
        ("9" * 400 + "zz", "memory value must be a positive finite number, got inf"),
        ("-5MiB", "unknown memory unit: -5MiB"),
        ("+5MiB", "unknown memory unit: +5MiB"),
        ("1.2.3MiB", "unknown memory unit: .3MiB"),
        ("5e3", "unknown memory unit: e3"),
        ("64 M", "unknown memory unit: M"),
        ("64 k", "unknown memory unit: k"),
        ("64 Mib  x ", "unknown memory unit: Mib  x"),
        ("1 MeBiByTe", "unknown memory unit: MeBiByTe"),
        ("1\x00B", "unknown memory unit: \x00B"),
        ("1\u200bB", "unknown memory unit: \u200bB"),
        (-1, "memory must be a string (e.g. '64MiB') or int (bytes)"),
        (2**64, "memory must be a string (e.g. '64MiB') or int (bytes)"),
        (1.5, "memory must be a string (e.g. '64MiB') or int (bytes)"),
        ([], "memory must be a string (e.g. '64MiB') or int (bytes)"),
        (b"64MiB", "memory must be a string (e.g. '64MiB') or int (bytes)"),
        (_Index(-1), "memory must be a string (e.g. '64MiB') or int (bytes)"),
    ],
)
def test_invalid_memory_is_a_value_error_without_note(memory, message):
    with pytest.raises(ValueError) as info:
        RE(0, memory=memory)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None
    assert info.value.__context__ is None


def test_memory_string_that_is_not_utf8_encodable():
    with pytest.raises(UnicodeEncodeError):
        RE(0, memory="1\ud800B")


_MESSAGE_PREFIXES = (
    "empty memory string",
    "invalid memory value: ",
    "memory value must be a positive finite number, got ",
    "unknown memory unit: ",
)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.sampled_from("0123456789. \t\u00a0\u3000bBkKmMgGtTiI\u0131-+e"), max_size=12))
def test_any_memory_text_is_accepted_or_rejected_with_a_known_message(text):
    try:
        assert RE(0, memory=text) == "stream"
    except ValueError as e:
        assert type(e) is ValueError
        assert str(e).startswith(_MESSAGE_PREFIXES), str(e)


# ---------------------------------------------------------------- decision table


@pytest.mark.parametrize(
    "file_size, kwargs, expected",
    [
        # Rule 1-2: a budget decides alone.
        (0, {"memory": "1B", "threads": 2}, "parallel_streaming"),
        (2**64 - 1, {"memory": 0, "threads": 64, "has_parallel": False, "has_columnar": False}, "parallel_streaming"),
        (0, {"memory": 0}, "stream"),
        (MIB100, {"memory": "64MiB", "schema": ["a"], "threads": 1}, "stream"),
        (10, {"memory": 1, "has_columnar": True}, "stream"),
        # Rule 3-4: several threads, no budget.
        (MIB100, {"threads": 2}, "parallel_streaming"),
        (MIB100 - 1, {"threads": 2}, "parallel"),
        (10, {"threads": 2}, "parallel"),
        (10, {"threads": 4, "has_parallel": False, "has_columnar": False}, "parallel"),
        (MIB100 - 1, {"threads": 2, "has_parallel": False}, "parallel"),
        (MIB100, {"threads": 2, "schema": []}, "parallel_streaming"),
        # Rule 5: single thread, large file, schema given.
        (MIB100, {"schema": []}, "stream"),
        (MIB100, {"schema": ["a", "b"], "has_parallel": True}, "stream"),
        (MIB100 - 1, {"schema": ["a"]}, "parallel"),
        # Rule 6-7: small files.
        (0, {}, "columnar"),
        (MIB8 - 1, {}, "columnar"),
        (0, {"has_columnar": False}, "stream"),
        (MIB8 - 1, {"has_columnar": False, "has_parallel": True}, "stream"),
        (10, {"threads": 1}, "columnar"),
        (10, {"threads": None, "memory": None, "schema": None}, "columnar"),
        # Rule 8-9: medium and large files without schema.
        (MIB8, {}, "parallel"),
        (MIB8, {"has_parallel": False}, "stream"),
        (MIB100, {}, "parallel"),
        (2**64 - 1, {"has_columnar": False}, "parallel"),
        (MIB100, {"has_parallel": False}, "stream"),
        (MIB8, {"threads": 1, "has_columnar": False}, "parallel"),
    ],
)
def test_decision(file_size, kwargs, expected):
    result = RE(file_size, **kwargs)
    assert result == expected
    assert type(result) is str


@pytest.mark.parametrize("file_size", [0, MIB8 - 1, MIB8, MIB100 - 1, MIB100, 2**64 - 1])
@pytest.mark.parametrize("has_parallel", [True, False])
@pytest.mark.parametrize("has_columnar", [True, False])
@pytest.mark.parametrize("schema", [None, [], ["a"]])
def test_threads_one_is_single_threaded(file_size, has_parallel, has_columnar, schema):
    kwargs = {"has_parallel": has_parallel, "has_columnar": has_columnar, "schema": schema}
    assert RE(file_size, threads=1, **kwargs) == RE(file_size, **kwargs)


# ---------------------------------------------------------------- threads and order of checks


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        ({"threads": 0}, ValueError, "threads must be >= 1"),
        ({"threads": False}, ValueError, "threads must be >= 1"),
        ({"threads": _Index(0)}, ValueError, "threads must be >= 1"),
        # Reported even where it would not change the outcome.
        ({"threads": 0, "memory": "1B"}, ValueError, "threads must be >= 1"),
        # A memory error comes before the zero thread count.
        ({"threads": 0, "memory": "1 parsec"}, ValueError, "unknown memory unit: parsec"),
        ({"threads": 0, "memory": 1.5}, ValueError, "memory must be a string (e.g. '64MiB') or int (bytes)"),
        # Argument conversion comes before both.
        ({"threads": 0, "memory": "", "has_columnar": None}, TypeError, "'None' is not an instance of 'bool'"),
        ({"memory": "", "schema": "abc"}, TypeError, "Can't extract `str` to `Vec`"),
    ],
)
def test_order_of_checks(kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        RE(10, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    if exc_type is ValueError:
        assert getattr(info.value, "__notes__", None) is None
