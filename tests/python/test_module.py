"""The module surface: attributes, method records, initialisation, the
profiler, and the package's import checks."""

from __future__ import annotations

import ctypes
import importlib.machinery
import importlib.util
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _vorpel
import _vorpel.errors

EXT = _vorpel._vorpel

ALL = [
    "ParseError",
    "XmlError",
    "PlanError",
    "MergeError",
    "ParserError",
    "resolve_engine",
    "reset_stage_profile",
    "disable_stage_profile",
    "stage_profile",
    "_cast_strings",
    "__build_sha__",
]
CLASSES = ["ParseError", "XmlError", "PlanError", "MergeError", "ParserError"]
FUNCTIONS = ["resolve_engine", "reset_stage_profile", "disable_stage_profile", "stage_profile", "_cast_strings"]

RESOLVE_ENGINE_DOC = "\n".join(
    [
        "resolve_engine(file_size, memory=None, threads=None, schema=None, has_parallel=True, has_columnar=True)",
        "--",
        "",
        "Resolve the best engine mode based on file characteristics and user options.",
        "",
        "This is the Python-callable version of `vorpel_core::resolve_engine`.",
        'Adapters can use this to implement `engine="auto"` selection.',
        "",
        "Parameters",
        "----------",
        "file_size : int",
        "    Size of the input file in bytes.",
        "memory : str or int or None",
        '    Memory budget (e.g. "64MiB"). None = no budget (full table).',
        "threads : int or None",
        "    Number of threads for parallel processing. None = 1 (single-threaded).",
        "schema : list[str] or None",
        "    Explicit column names. Some = schema provided, None = discover.",
        "has_parallel : bool",
        "    Whether the adapter has parallel support.",
        "has_columnar : bool",
        "    Whether the adapter has columnar support.",
        "",
        "Returns",
        "-------",
        "str",
        '    One of "columnar", "parallel", "stream", "parallel_streaming".',
    ]
)

# name -> (flags, docstring exactly as stored)
METHOD_RECORDS = {
    "_cast_strings": (0xA2, "_cast_strings(table, field_type)\n--\n\n"),
    "stage_profile": (0x24, "stage_profile()\n--\n\n`[(stage, total_nanos, calls), ...]` for the last timed read."),
    "resolve_engine": (0xA2, RESOLVE_ENGINE_DOC),
    "reset_stage_profile": (
        0x24,
        "reset_stage_profile()\n--\n\nStart stage timing for the next read (clears previous counters).",
    ),
    "disable_stage_profile": (0x24, "disable_stage_profile()\n--\n\nStop stage timing."),
}

PROFILE = [("split", 0, 0), ("validate", 0, 0), ("parse", 0, 0), ("export", 0, 0), ("merge", 0, 0)]


# ---------------------------------------------------------------- attributes


@pytest.mark.parametrize("module", [_vorpel, EXT], ids=["package", "extension"])
def test_all_lists_the_eleven_names_in_order(module):
    assert module.__all__ == ALL
    assert module.__doc__ == ""
    for name in ALL:
        assert getattr(module, name) is getattr(EXT, name)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_those_of_the_errors_module(name):
    cls = getattr(_vorpel, name)
    assert cls is getattr(_vorpel.errors, name)
    assert issubclass(cls, _vorpel.errors.VorpelError) and issubclass(cls, Exception)
    err = cls("the message")
    assert err.args == ("the message",) and str(err) == "the message"
    assert cls.__doc__ and "\n" not in cls.__doc__.strip()


def test_the_five_classes_are_distinct():
    assert len({getattr(_vorpel, n) for n in CLASSES}) == 5


def test_build_sha_is_forty_lowercase_hex_digits():
    assert isinstance(_vorpel.__build_sha__, str)
    assert re.fullmatch(r"[0-9a-f]{40}", _vorpel.__build_sha__)


def test_build_sha_is_the_commit_of_an_in_tree_build():
    # An in-place build in a git checkout is configured right before the tests
    # run, so it must carry the checkout's HEAD.
    package_dir = Path(_vorpel.__file__).resolve().parent
    repo = Path(__file__).resolve().parents[2]
    if package_dir != repo / "python" / "_vorpel" or not (repo / ".git").exists():
        pytest.skip("not an in-tree build of a git checkout")
    head = subprocess.run(["git", "rev-parse", "HEAD"], cwd=repo, capture_output=True, text=True)
    if head.returncode != 0:
        pytest.skip("git is not available")
    assert _vorpel.__build_sha__ == head.stdout.strip()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_bound_to_the_module(name):
    fn = getattr(EXT, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__module__ == EXT.__name__
    # Bound to the module; with the static bit set CPython shows no __self__.
    assert _function_object(fn).m_self is EXT
    assert fn.__self__ is None


@pytest.mark.parametrize(
    "name, text_signature, doc",
    [
        ("_cast_strings", "(table, field_type)", None),
        ("stage_profile", "()", "`[(stage, total_nanos, calls), ...]` for the last timed read."),
        ("reset_stage_profile", "()", "Start stage timing for the next read (clears previous counters)."),
        ("disable_stage_profile", "()", "Stop stage timing."),
        (
            "resolve_engine",
            "(file_size, memory=None, threads=None, schema=None, has_parallel=True, has_columnar=True)",
            RESOLVE_ENGINE_DOC.split("\n", 3)[3],
        ),
    ],
)
def test_text_signature_and_description(name, text_signature, doc):
    fn = getattr(_vorpel, name)
    assert fn.__text_signature__ == text_signature
    assert fn.__doc__ == doc


def test_reset_and_disable_are_distinct_objects():
    reset, disable = _vorpel.reset_stage_profile, _vorpel.disable_stage_profile
    assert reset is not disable
    assert reset.__name__ != disable.__name__ and reset.__doc__ != disable.__doc__
    assert reset() is None and disable() is None


# The method records as CPython keeps them (PyCFunctionObject.m_ml); the
# layout below is that of a release build.
class _PyMethodDef(ctypes.Structure):
    _fields_ = [
        ("ml_name", ctypes.c_char_p),
        ("ml_meth", ctypes.c_void_p),
        ("ml_flags", ctypes.c_int),
        ("ml_doc", ctypes.c_char_p),
    ]


class _PyCFunctionObject(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t),
        ("ob_type", ctypes.c_void_p),
        ("m_ml", ctypes.POINTER(_PyMethodDef)),
        ("m_self", ctypes.py_object),
        ("m_module", ctypes.py_object),
    ]


def _function_object(fn) -> _PyCFunctionObject:
    if hasattr(sys, "gettotalrefcount") or sys.implementation.name != "cpython":
        pytest.skip("object layout of a release CPython build assumed")
    return _PyCFunctionObject.from_address(id(fn))


def _method_record(fn) -> _PyMethodDef:
    return _function_object(fn).m_ml.contents


@pytest.mark.parametrize("name", sorted(METHOD_RECORDS))
def test_method_record_flags_and_stored_docstring(name):
    flags, doc = METHOD_RECORDS[name]
    record = _method_record(getattr(_vorpel, name))
    assert record.ml_name.decode() == name
    assert record.ml_flags == flags
    assert record.ml_doc.decode() == doc


def test_reset_disable_and_profile_have_entry_points_of_their_own():
    reset = _method_record(_vorpel.reset_stage_profile)
    disable = _method_record(_vorpel.disable_stage_profile)
    profile = _method_record(_vorpel.stage_profile)
    assert len({reset.ml_meth, disable.ml_meth, profile.ml_meth}) == 3


# ---------------------------------------------------------------- profiler


def test_stage_profile_reports_five_idle_stages():
    first = _vorpel.stage_profile()
    assert first == PROFILE
    assert type(first) is list and all(type(e) is tuple for e in first)
    assert all(type(x) is int for e in first for x in e[1:])
    second = _vorpel.stage_profile()
    assert second == first and second is not first
    assert all(a is not b for a, b in zip(first, second))


@pytest.mark.parametrize(
    "calls",
    [
        ["reset_stage_profile"],
        ["disable_stage_profile"],
        ["reset_stage_profile", "disable_stage_profile", "reset_stage_profile"],
        ["resolve_engine"],
    ],
)
def test_stage_profile_is_unchanged_by_other_calls(calls):
    for name in calls:
        if name == "resolve_engine":
            _vorpel.resolve_engine(10**9, threads=4)
        else:
            assert getattr(_vorpel, name)() is None
    assert _vorpel.stage_profile() == PROFILE


@pytest.mark.parametrize("name", ["stage_profile", "reset_stage_profile", "disable_stage_profile"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [((1,), {}, "takes no arguments (1 given)"), ((), {"x": 1}, "takes no keyword arguments")],
)
def test_profiler_functions_take_no_arguments(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(_vorpel, name)(*args, **kwargs)
    # The interpreter's own message; it may qualify the name with the module.
    assert re.fullmatch(rf"([\w.]+\.)?{name}\(\) {re.escape(message)}", str(info.value))


# ---------------------------------------------------------------- initialisation


def _fresh_module(prepare=None):
    """A new module object from the extension, run through its exec step."""
    path = EXT.__file__
    loader = importlib.machinery.ExtensionFileLoader("fresh._vorpel", path)
    spec = importlib.util.spec_from_file_location("fresh._vorpel", path, loader=loader)
    module = loader.create_module(spec)
    if prepare is not None:
        prepare(module)
    loader.exec_module(module)
    return module


def test_exec_builds_a_new_module_bound_functions():
    module = _fresh_module()
    assert module is not EXT
    assert module.__all__ == ALL
    assert module.resolve_engine is not EXT.resolve_engine
    assert _function_object(module.resolve_engine).m_self is module
    assert module.resolve_engine.__module__ == "fresh._vorpel"
    assert module.PlanError is EXT.PlanError
    assert module.resolve_engine(0) == "columnar"


def test_exec_appends_to_an_existing_all_list():
    existing = ["first"]
    module = _fresh_module(lambda m: setattr(m, "__all__", existing))
    assert module.__all__ is existing
    assert existing == ["first", *ALL]


@pytest.mark.parametrize(
    "value, message",
    [
        (("a",), "'tuple' object is not an instance of 'list'"),
        ("abc", "'str' object is not an instance of 'list'"),
        (None, "'None' is not an instance of 'list'"),
    ],
)
def test_exec_rejects_an_all_that_is_not_a_list(value, message):
    with pytest.raises(TypeError) as info:
        _fresh_module(lambda m: setattr(m, "__all__", value))
    assert str(info.value) == message


def test_exec_passes_on_a_lookup_error_other_than_attribute_error():
    def module_getattr(name):
        raise KeyError(name)

    with pytest.raises(KeyError):
        _fresh_module(lambda m: setattr(m, "__getattr__", module_getattr))


# ---------------------------------------------------------------- missing companion module

_MISSING_ERRORS = """
import json, sys, types
setup = {setup!r}
if setup == "none":
    sys.modules["_vorpel.errors"] = None
else:
    fake = types.ModuleType("_vorpel.errors")
    for name in ["ParseError", "XmlError", "PlanError", "MergeError", "ParserError"]:
        setattr(fake, name, type(name, (Exception,), {{}}))
    if setup == "no_plan":
        del fake.PlanError
    elif setup == "int_parse":
        fake.ParseError = 5
    sys.modules["_vorpel.errors"] = fake
out = {{}}
try:
    import _vorpel
except BaseException as e:
    t = type(e)
    out.update(
        qualname=t.__qualname__, module=t.__module__, bases=[b.__name__ for b in t.__bases__],
        is_exception=isinstance(e, Exception), args=list(e.args), doc=t.__doc__,
        loaded=sorted(k for k in sys.modules if k.startswith("_vorpel")),
    )
    panic = t
# The failed lookup leaves nothing behind: with the real module back,
# the import succeeds, and PanicException is no attribute of the module.
for k in [k for k in sys.modules if k.startswith("_vorpel")]:
    del sys.modules[k]
import _vorpel
out["retry_all"] = _vorpel.__all__
out["panic_exposed"] = any(v is panic for v in vars(_vorpel._vorpel).values())
print(json.dumps(out))
"""


@pytest.mark.parametrize(
    "setup, cls, error",
    [
        ("none", "ParseError", "ModuleNotFoundError: import of _vorpel.errors halted; None in sys.modules"),
        ("no_plan", "PlanError", "AttributeError: module '_vorpel.errors' has no attribute 'PlanError'"),
        ("int_parse", "ParseError", "TypeError: 'int' object is not an instance of 'type'"),
    ],
)
def test_import_fails_with_panic_when_a_class_cannot_be_found(run_python, setup, cls, error):
    proc = run_python(_MISSING_ERRORS.format(setup=setup))
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    message = f"failed to import exception _vorpel.errors.{cls}: {error}"
    assert out["args"] == [message]
    assert out["qualname"] == "PanicException" and out["module"] == "pyo3_runtime"
    assert out["bases"] == ["BaseException"] and out["is_exception"] is False
    assert "BaseException" in out["doc"]
    assert "_vorpel._vorpel" not in out["loaded"]
    assert out["retry_all"] == ALL and out["panic_exposed"] is False
    # The fault was reported on stderr where it happened.
    assert re.search(
        r"thread '[^']*' \(\d+\) hit an internal fault at src/python/error_conversion\.cc:\d+:\d+:\n"
        + re.escape(message)
        + "\n",
        proc.stderr,
    ), proc.stderr


# ---------------------------------------------------------------- package import check


@pytest.mark.parametrize("version", ["1.0.0", "999.0.1", "dev"])
def test_package_refuses_another_pyarrow_major(run_python, version):
    proc = run_python(
        f"""
        import sys, types
        fake = types.ModuleType("pyarrow")
        fake.__version__ = {version!r}
        sys.modules["pyarrow"] = fake
        try:
            import _vorpel
        except ImportError as e:
            print(e)
            print("_vorpel._vorpel" in sys.modules)
        """
    )
    assert proc.returncode == 0, proc.stderr
    message, loaded = proc.stdout.strip().split("\n")
    from _vorpel import _build_config

    assert message.startswith(
        f"_vorpel was built against pyarrow {_build_config.PYARROW_VERSION} "
        f"(major version {_build_config.PYARROW_MAJOR}), but pyarrow {version} is installed"
    )
    assert loaded == "False"


def test_package_imports_pyarrow_before_the_extension(run_python):
    proc = run_python(
        """
        import sys
        import _vorpel
        order = [k for k in sys.modules if k in ("pyarrow", "_vorpel._vorpel")]
        print(order)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['pyarrow', '_vorpel._vorpel']"
