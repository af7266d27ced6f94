"""Argument binding and conversion at the call boundary, with their exact
messages and notes."""

from __future__ import annotations

import pytest

import _vorpel

np = pytest.importorskip("numpy")

RE = _vorpel.resolve_engine
CAST = _vorpel._cast_strings


def _notes(exc: BaseException):
    return getattr(exc, "__notes__", None)


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (RE, (), {}, "resolve_engine() missing 1 required positional argument: 'file_size'"),
        (RE, (), {"memory": "1B"}, "resolve_engine() missing 1 required positional argument: 'file_size'"),
        (CAST, (), {}, "_cast_strings() missing 2 required positional arguments: 'table' and 'field_type'"),
        (CAST, (None,), {}, "_cast_strings() missing 1 required positional argument: 'field_type'"),
        (CAST, (), {"field_type": "int64"}, "_cast_strings() missing 1 required positional argument: 'table'"),
        (RE, tuple(range(7)), {}, "resolve_engine() takes from 1 to 6 positional arguments but 7 were given"),
        (CAST, (1, 2, 3), {}, "_cast_strings() takes 2 positional arguments but 3 were given"),
        (RE, (1,), {"file_size": 2}, "resolve_engine() got multiple values for argument 'file_size'"),
        (RE, (1, None, 2), {"threads": 2}, "resolve_engine() got multiple values for argument 'threads'"),
        (CAST, (1, "x"), {"field_type": "y"}, "_cast_strings() got multiple values for argument 'field_type'"),
        (RE, (1,), {"threads": 2, "thread": 3}, "resolve_engine() got an unexpected keyword argument 'thread'"),
        (RE, (1,), {"FILE_SIZE": 2}, "resolve_engine() got an unexpected keyword argument 'FILE_SIZE'"),
        (CAST, (), {"tables": 1}, "_cast_strings() got an unexpected keyword argument 'tables'"),
        # Exact comparison of the UTF-8 text: a decomposed accent is another name.
        (RE, (1,), {"memory\u0301": 1}, "resolve_engine() got an unexpected keyword argument 'memory\u0301'"),
        (RE, (1,), {"\ud800": 1}, "resolve_engine() got an unexpected keyword argument '\ud800'"),
        # Order: positional overflow, then keywords in the order given, then missing.
        (RE, tuple(range(7)), {"bogus": 1}, "resolve_engine() takes from 1 to 6 positional arguments but 7 were given"),
        (RE, (), {"bogus": 1}, "resolve_engine() got an unexpected keyword argument 'bogus'"),
        (RE, (1,), {"bogus": 1, "file_size": 2}, "resolve_engine() got an unexpected keyword argument 'bogus'"),
        (RE, (1,), {"file_size": 2, "bogus": 1}, "resolve_engine() got multiple values for argument 'file_size'"),
        # Binding fails before any argument is converted.
        (RE, (-1,), {"nope": 1}, "resolve_engine() got an unexpected keyword argument 'nope'"),
    ],
)
def test_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert _notes(info.value) is None


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((0,), {}, "columnar"),
        ((), {"file_size": 0}, "columnar"),
        ((0, None, None, None, True, False), {}, "stream"),
        ((), {"has_columnar": False, "file_size": 0, "memory": None}, "stream"),
        ((0,), {"has_columnar": False}, "stream"),
        ((8388608, None, None, None), {"has_parallel": False}, "stream"),
    ],
)
def test_arguments_by_position_and_keyword(args, kwargs, expected):
    assert RE(*args, **kwargs) == expected


# ---------------------------------------------------------------- converters


class _Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class _BadName(type):
    @property
    def __name__(cls):
        raise RuntimeError("no name")


class _Nameless(metaclass=_BadName):
    pass


_FakeNumpyBoolNoTruth = type("bool_", (), {"__module__": "numpy"})
_FakeNumpyBoolTrue = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: True})
_FakeNumpyBoolRaises = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: 1 // 0})
_NotNumpyBool = type("bool_", (), {"__module__": "numpyx", "__bool__": lambda self: True})


class _Seq:
    """A sequence by protocol only (not registered with collections.abc)."""

    def __init__(self, items, fail_at=None):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise LookupError("broken item")
        return self.items[i]


class _LenFails(_Seq):
    def __len__(self):
        raise RuntimeError("no length")


class _HugeLen(_Seq):
    def __len__(self):
        return 2**62


@pytest.mark.parametrize(
    "kwargs, exc_type, message, param",
    [
        # unsigned 64-bit integers
        ({"file_size": -1}, OverflowError, "can't convert negative int to unsigned", "file_size"),
        ({"file_size": 2**64}, OverflowError, "int too big to convert", "file_size"),
        ({"file_size": _Index(-5)}, OverflowError, "can't convert negative int to unsigned", "file_size"),
        ({"file_size": 1.5}, TypeError, "'float' object cannot be interpreted as an integer", "file_size"),
        ({"file_size": "10"}, TypeError, "'str' object cannot be interpreted as an integer", "file_size"),
        ({"file_size": None}, TypeError, "'NoneType' object cannot be interpreted as an integer", "file_size"),
        ({"file_size": 0, "threads": -1}, OverflowError, "can't convert negative int to unsigned", "threads"),
        ({"file_size": 0, "threads": 2.0}, TypeError, "'float' object cannot be interpreted as an integer", "threads"),
        # list of str
        ({"file_size": 0, "schema": "a"}, TypeError, "Can't extract `str` to `Vec`", "schema"),
        ({"file_size": 0, "schema": type("S", (str,), {})("a")}, TypeError, "Can't extract `str` to `Vec`", "schema"),
        ({"file_size": 0, "schema": {"a"}}, TypeError, "'set' object is not an instance of 'Sequence'", "schema"),
        ({"file_size": 0, "schema": {"a": 1}}, TypeError, "'dict' object is not an instance of 'Sequence'", "schema"),
        ({"file_size": 0, "schema": 5}, TypeError, "'int' object is not an instance of 'Sequence'", "schema"),
        ({"file_size": 0, "schema": iter(["a"])}, TypeError, "'list_iterator' object is not an instance of 'Sequence'", "schema"),
        ({"file_size": 0, "schema": ["a", 1]}, TypeError, "'int' object is not an instance of 'str'", "schema"),
        ({"file_size": 0, "schema": ("a", None)}, TypeError, "'None' is not an instance of 'str'", "schema"),
        ({"file_size": 0, "schema": b"ab"}, TypeError, "'int' object is not an instance of 'str'", "schema"),
        ({"file_size": 0, "schema": ["\ud800"]}, UnicodeEncodeError, None, "schema"),
        ({"file_size": 0, "schema": _Seq(["a", "b"], fail_at=1)}, LookupError, "broken item", "schema"),
        # bool
        ({"file_size": 0, "has_parallel": None}, TypeError, "'None' is not an instance of 'bool'", "has_parallel"),
        ({"file_size": 0, "has_parallel": 0}, TypeError, "'int' object is not an instance of 'bool'", "has_parallel"),
        ({"file_size": 0, "has_parallel": np.int64(1)}, TypeError, "'int64' object is not an instance of 'bool'", "has_parallel"),
        ({"file_size": 0, "has_columnar": "yes"}, TypeError, "'str' object is not an instance of 'bool'", "has_columnar"),
        ({"file_size": 0, "has_columnar": _NotNumpyBool()}, TypeError, "'bool_' object is not an instance of 'bool'", "has_columnar"),
        (
            {"file_size": 0, "has_columnar": _FakeNumpyBoolNoTruth()},
            TypeError,
            "object of type 'bool_' does not define a '__bool__' conversion",
            "has_columnar",
        ),
        ({"file_size": 0, "has_columnar": _FakeNumpyBoolRaises()}, ZeroDivisionError, None, "has_columnar"),
        (
            {"file_size": 0, "has_parallel": _Nameless()},
            TypeError,
            "'<failed to extract type name>' object is not an instance of 'bool'",
            "has_parallel",
        ),
    ],
)
def test_conversion_errors_carry_the_parameter_note(kwargs, exc_type, message, param):
    with pytest.raises(exc_type) as info:
        RE(**kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "field_type, exc_type, message",
    [
        (b"int64", TypeError, "'bytes' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (64, TypeError, "'int' object is not an instance of 'str'"),
        ("int\ud80064", UnicodeEncodeError, None),
    ],
)
def test_field_type_is_converted_before_the_table_is_touched(field_type, exc_type, message):
    touched = []

    class Table:
        def __getattribute__(self, name):
            touched.append(name)
            return object.__getattribute__(self, name)

        def __arrow_c_stream__(self, requested_schema=None):
            touched.append("stream")
            raise AssertionError("table read")

    with pytest.raises(exc_type) as info:
        CAST(Table(), field_type)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'field_type'"]
    assert touched == []


@pytest.mark.parametrize(
    "kwargs, param",
    [
        # Converted in parameter order; the first failure wins and only it gets a note.
        ({"file_size": -1, "threads": -1, "has_parallel": None}, "file_size"),
        ({"file_size": 0, "threads": -1, "schema": "a"}, "threads"),
        ({"file_size": 0, "schema": "a", "has_parallel": None}, "schema"),
        ({"file_size": 0, "has_parallel": None, "has_columnar": None}, "has_parallel"),
        # memory is read after every other argument
        ({"file_size": 0, "memory": "bad unit", "has_columnar": 1}, "has_columnar"),
        ({"file_size": 0, "memory": [], "threads": "x"}, "threads"),
    ],
)
def test_first_failing_argument_wins(kwargs, param):
    with pytest.raises((TypeError, OverflowError)) as info:
        RE(**kwargs)
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "value",
    [True, False, np.True_, np.False_, _FakeNumpyBoolTrue()],
    ids=["True", "False", "np.True_", "np.False_", "numpy-named"],
)
def test_bool_converter_accepts_bools_and_numpy_bools(value):
    truth = bool(value)
    # Small file, single thread: has_columnar decides; medium file: has_parallel decides.
    assert RE(0, has_columnar=value) == ("columnar" if truth else "stream")
    assert RE(8388608, has_parallel=value) == ("parallel" if truth else "stream")


@pytest.mark.parametrize(
    "file_size, expected",
    [
        (True, "columnar"),
        (_Index(8388608), "parallel"),
        (np.uint64(2**64 - 1), "parallel"),
        (type("Big", (int,), {})(104857600), "parallel"),
        (2**64 - 1, "parallel"),
    ],
)
def test_u64_converter_accepts_ints_and_index_objects(file_size, expected):
    assert RE(file_size) == expected


@pytest.mark.parametrize(
    "schema",
    [[], (), ["a", "b"], ("a",), _Seq(["a"]), _LenFails(["a", "b"]), _HugeLen(["a"]), [type("S", (str,), {})("x")]],
    ids=["empty-list", "empty-tuple", "list", "tuple", "protocol-sequence", "len-fails", "huge-len", "str-subclass"],
)
def test_schema_sequences_are_accepted(schema):
    assert RE(104857600, schema=schema) == "stream"


def test_note_failure_leaves_the_error_unchanged():
    class Stubborn(Exception):
        def add_note(self, note):
            raise RuntimeError("notes refused")

    raised = Stubborn("from __index__")

    class Idx:
        def __index__(self):
            raise raised

    with pytest.raises(Stubborn) as info:
        RE(Idx())
    assert info.value is raised
    assert _notes(info.value) is None
    assert info.value.__context__ is None and info.value.__cause__ is None


def test_existing_notes_are_kept():
    class Idx:
        def __index__(self):
            err = TypeError("bad index")
            err.add_note("first")
            raise err

    with pytest.raises(TypeError) as info:
        RE(0, threads=Idx())
    assert info.value.__notes__ == ["first", "while processing 'threads'"]
    assert info.value.__traceback__ is not None
