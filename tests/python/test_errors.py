"""CoreError -> Python exception, internal faults and PanicException, and the
once-only cells, driven through the test-only extension `_vorpel_testing`
(built from the same boundary and error-conversion sources)."""

from __future__ import annotations

import errno
import json
import os
import re
import signal

import pytest

import _vorpel
import _vorpel.errors as errors
from conftest import ASAN

INVALID_UTF8, IO, PLAN, MEMORY, MERGE, ARROW, PARSER, LIFETIME = range(8)

REPORT = re.compile(r"thread '[^']*' \(\d+\) hit an internal fault at (\S+):(\d+):(\d+):\n(.*)\n", re.S)


# ---------------------------------------------------------------- mapping


@pytest.mark.parametrize(
    "kind, args, cls, message",
    [
        (INVALID_UTF8, (), errors.ParseError, "invalid UTF-8: invalid utf-8 sequence"),
        (IO, ("disk on fire",), OSError, "disk on fire"),
        (PLAN, ("x",), errors.PlanError, "x"),
        (PLAN, ("",), errors.PlanError, ""),
        (MEMORY, ("", 1000, 512), MemoryError, "memory budget exceeded: 1000 bytes used, limit 512 bytes"),
        (
            MEMORY,
            ("", 2**64 - 1, 0),
            MemoryError,
            "memory budget exceeded: 18446744073709551615 bytes used, limit 0 bytes",
        ),
        (MERGE, ("schemas differ",), errors.MergeError, "schemas differ"),
        (ARROW, ("Invalid: bad offsets",), Exception, "Arrow error: Invalid: bad offsets"),
        (PARSER, ("x",), errors.ParserError, "x"),
        (LIFETIME, ("x",), errors.ParserError, "lifetime error: x"),
        (PLAN, ("caf\u00e9 \u2603",), errors.PlanError, "caf\u00e9 \u2603"),
    ],
)
def test_core_error_becomes_its_python_exception(testing_ext, kind, args, cls, message):
    with pytest.raises(BaseException) as info:
        testing_ext.raise_core_error(kind, *args)
    assert type(info.value) is cls
    assert info.value.args == (message,)
    assert getattr(info.value, "__notes__", None) is None


def test_io_error_with_os_error_number(testing_ext):
    with pytest.raises(OSError) as info:
        testing_ext.raise_io_errno(errno.ENOENT)
    assert type(info.value) is OSError
    assert str(info.value) == f"{os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


@pytest.mark.parametrize("index, name", list(enumerate(["ParseError", "XmlError", "PlanError", "MergeError", "ParserError"])))
def test_class_cache_holds_the_errors_module_classes(testing_ext, index, name):
    assert testing_ext.error_class(index) is getattr(errors, name)
    assert testing_ext.error_class(index) is testing_ext.error_class(index)


_LOOKUP_FAILURE = """
import json, sys
import _vorpel_testing as t
sys.modules["_vorpel.errors"] = None
out = []
for attempt in range(2):
    try:
        t.raise_core_error({kind}, "m")
    except BaseException as e:
        out.append([type(e).__qualname__, type(e).__module__, list(e.args)])
    # The failed lookup is not cached: with the module back, the next raise works.
    del sys.modules["_vorpel.errors"]
print(json.dumps(out))
"""


@pytest.mark.parametrize(
    "kind, cls, message",
    [
        (INVALID_UTF8, "ParseError", "invalid UTF-8: invalid utf-8 sequence"),
        (PLAN, "PlanError", "m"),
        (MERGE, "MergeError", "m"),
        (PARSER, "ParserError", "m"),
        (LIFETIME, "ParserError", "lifetime error: m"),
    ],
)
def test_class_lookup_failure_at_raise_time_is_a_panic(testing_ext, run_python, kind, cls, message):
    proc = run_python(_LOOKUP_FAILURE.format(kind=kind))
    assert proc.returncode == 0, proc.stderr
    first, second = json.loads(proc.stdout)
    assert first == [
        "PanicException",
        "pyo3_runtime",
        [f"failed to import exception _vorpel.errors.{cls}: "
         "ModuleNotFoundError: import of _vorpel.errors halted; None in sys.modules"],
    ]
    assert second == [cls, "_vorpel.errors", [message]]


# ---------------------------------------------------------------- internal faults


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.fault("invariant broken"), "invariant broken"),
        (lambda t: t.fault(""), "the _vorpel extension failed internally"),
        (lambda t: t.fault("caf\u00e9"), "caf\u00e9"),
        (lambda t: t.fault_with_error_pending("replaces the pending error"), "replaces the pending error"),
        (lambda t: t.throw_std("std::runtime_error text"), "std::runtime_error text"),
        (lambda t: t.throw_other(), "the _vorpel extension failed internally"),
        (lambda t: t.null_without_error(), "a function failed without setting a Python error"),
        (lambda t: t.result_with_error(), "a function returned a result with a Python error pending"),
    ],
    ids=["fault", "fault-no-message", "fault-utf8", "fault-error-pending", "std-exception", "other-exception",
         "null-without-error", "result-with-error"],
)
def test_internal_faults_become_panic_exception(testing_ext, capfd, call, message):
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        call(testing_ext)
    exc = info.value
    assert type(exc) is testing_ext.panic_type()
    assert not isinstance(exc, Exception)
    assert exc.args == (message,)
    assert exc.__context__ is None
    reports = REPORT.findall(capfd.readouterr().err)
    assert len(reports) == 1
    path, line, column, text = reports[0]
    assert path.endswith("vorpel_testing.cc") and int(line) > 0 and int(column) > 0
    assert text == message


def test_panic_exception_class(testing_ext):
    panic = testing_ext.panic_type()
    assert panic is testing_ext.panic_type()
    assert panic.__qualname__ == "PanicException" and panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,)
    assert "BaseException" in panic.__doc__ and "SystemExit" in panic.__doc__
    assert not any(v is panic for v in vars(_vorpel).values())


def test_fault_while_handling_a_fault_aborts(run_python):
    proc = run_python("import _vorpel_testing as t; t.abort_at_boundary()")
    assert proc.returncode == -signal.SIGABRT
    assert proc.stderr.strip().endswith("uncaught panic at ffi boundary")


# ---------------------------------------------------------------- once-only cells

_RACE = """
import json, threading, time
import _vorpel_testing as t

calls = []
started = threading.Event()

def slow_fill():
    calls.append("slow")
    started.set()
    time.sleep(0.3)          # releases the interpreter lock
    return ["filled by the first thread"]

def other_fill():
    calls.append("other")
    return ["filled by the second thread"]

results = {}
def first():
    results["first"] = t.cell_get(0, slow_fill)
def second():
    started.wait()
    results["second"] = t.cell_get(0, other_fill)

threads = [threading.Thread(target=first), threading.Thread(target=second)]
for th in threads: th.start()
for th in threads: th.join()
print(json.dumps({"calls": calls, "same": results["first"] is results["second"], "value": results["second"]}))
"""


def test_a_second_thread_waits_for_the_fill_without_the_interpreter_lock(run_python):
    # A waiter that kept the interpreter lock would deadlock with the filler,
    # which needs the lock back after its sleep; the subprocess times out then.
    proc = run_python(_RACE, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == {"calls": ["slow"], "same": True, "value": ["filled by the first thread"]}


def test_a_failed_fill_leaves_the_cell_empty(testing_ext, capfd):
    def failing():
        raise KeyError("not yet")

    with pytest.raises(BaseException) as info:
        testing_ext.cell_get(1, failing)
    assert type(info.value) is testing_ext.panic_type()
    assert info.value.args == ("fill failed: KeyError: 'not yet'",)
    value = object()
    assert testing_ext.cell_get(1, lambda: value) is value
    assert testing_ext.cell_get(1, failing) is value


def test_a_fill_that_reenters_its_own_cell_is_a_fault(testing_ext, capfd):
    def reentrant():
        return testing_ext.cell_get(2, lambda: "inner")

    with pytest.raises(BaseException) as info:
        testing_ext.cell_get(2, reentrant)
    assert type(info.value) is testing_ext.panic_type()
    assert info.value.args == (
        "fill failed: PanicException: a once-only initialisation was re-entered by the thread running it",
    )
    assert testing_ext.cell_get(2, lambda: "later") == "later"


# ---------------------------------------------------------------- out of memory

# Casts under an address-space limit swept upwards from the process's own size
# in steps, so that the first allocation to fail lands in turn in the import,
# the build of the column and the export of the result. At every limit a cast
# either succeeds with the right result or raises MemoryError, and nothing is
# printed.
OUT_OF_MEMORY = r'''
import json, os, resource, sys
import pyarrow as pa
import _vorpel

field_type, text, distinct = sys.argv[1], sys.argv[2], sys.argv[3] == "distinct"
rows = 300_000
values = pa.array([f"{text}{i}" for i in range(rows)] if distinct else [text] * rows)
table = pa.table({"s": pa.chunked_array([values.slice(0, rows // 3), values.slice(rows // 3)])})
expected = _vorpel._cast_strings(table, field_type)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
outcomes = []
for extra in [*range(0, 24 << 20, 1 << 20), 512 << 20]:
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, hard))
    try:
        got = _vorpel._cast_strings(table, field_type)
        outcome = "ok" if got.equals(expected) else "wrong"
    except MemoryError as e:
        outcome = "MemoryError"
    except BaseException as e:
        outcome = f"{type(e).__module__}.{type(e).__name__}: {e}"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    outcomes.append(outcome)
    got = None
print(json.dumps(outcomes))
'''


@pytest.mark.skipif(ASAN, reason="AddressSanitizer reserves more address space than any limit here allows")
@pytest.mark.parametrize("field_type, text, distinct", [
    ("int64", "12345", False),
    ("float64", "1.5e", True),
    ("decimal128(2)", "12.", True),
    ("dictionary", "city ", True),
    ("string", "some text ", True),
    ("timestamp[ms]", "2024-01-02 03:04:05", False),
])
def test_allocation_failures_are_memory_errors(run_python, field_type, text, distinct):
    done = run_python(f"import sys; sys.argv[1:] = {[field_type, text, 'distinct' if distinct else 'same']!r}\n"
                      + OUT_OF_MEMORY)
    assert (done.returncode, done.stderr) == (0, "")
    outcomes = json.loads(done.stdout)
    assert set(outcomes) <= {"ok", "MemoryError"}, outcomes
    assert "MemoryError" in outcomes and outcomes[-1] == "ok", outcomes
