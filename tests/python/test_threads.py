"""Eight Python threads casting different tables at once: every result equals
the serial one, whatever the interleaving. In a fresh interpreter the first
use of every process-wide cache a cast reaches (the exception classes, the
pyarrow reader class, the interned attribute names) happens under that race.
VORPEL_LONG=1 runs longer and in more fresh interpreters."""

from __future__ import annotations

import json
import os

import pytest

LONG = os.environ.get("VORPEL_LONG") == "1"
SECONDS = 10.0 if LONG else 1.5
FRESH_PROCESSES = 12 if LONG else 3

# Shared by the in-process test and the fresh interpreters: eight jobs, each a
# zero-argument function giving a result or raising, and a summary of its
# outcome that compares results exactly (values, types, null positions).
JOBS = r'''
import threading, time
import pyarrow as pa
import _vorpel

cast = _vorpel._cast_strings
N = 20_000
SCHEMA = pa.schema([("s", pa.string())])


class ReaderOnly:
    """An object without __arrow_c_stream__ that passes as a RecordBatchReader:
    the cast must take the reader path (and look the reader class up)."""

    def __init__(self, table):
        self._reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=3000))

    @property
    def __class__(self):
        return pa.RecordBatchReader

    def _export_to_c(self, address):
        self._reader._export_to_c(address)


def table(texts, type_=pa.string()):
    return pa.table({"s": pa.array(texts, type_)})


INTS = table([None if i % 11 == 0 else str(i * 3 - N) for i in range(N)])
FLOATS = table([f"{i}.{i % 7}e{i % 5 - 2}" for i in range(N)], pa.large_string())
WORDS = table([f"word{i % 97}" for i in range(N)])
STAMPS = table([f"{1 + i % 28:02}/{1 + i % 12:02}/{1900 + i % 300} {i % 24:02}:{i % 60:02}:{i % 60:02}"
                for i in range(N)])
DECIMALS = table([f"-{i}.{i % 1000:03}9" for i in range(N)])
BAD_INT = table([str(i) for i in range(N)] + ["12x"])
DATES = table([f"{1970 + i % 200}-{1 + i % 12}-{1 + i % 28}" for i in range(N)])

JOBS = [
    lambda: cast(INTS, "int64"),
    lambda: cast(FLOATS, "float64"),
    lambda: cast(WORDS, "dictionary"),
    lambda: cast(STAMPS, "timestamp[ms,format=%d/%m/%Y %H:%M:%S]"),
    lambda: cast(DECIMALS, "decimal128(3)"),
    lambda: cast(BAD_INT, "int64"),
    lambda: cast(ReaderOnly(INTS), "int64"),
    lambda: cast(DATES, "date32") if time.perf_counter_ns() % 2 else cast(DATES, "date33"),
]


def attempt(job):
    try:
        return job()
    except BaseException as e:
        return ("error", type(e).__module__ + "." + type(e).__qualname__, str(e))


def same(a, b):
    if isinstance(a, pa.Array) and isinstance(b, pa.Array):
        return a.type == b.type and a.equals(b)
    return type(a) is type(b) and a == b


def summary(o):
    """A comparable, printable form of an outcome."""
    if isinstance(o, pa.Array):
        return ["value", str(o.type), o.null_count, [None if v is None else repr(v) for v in o.to_pylist()]]
    return list(o)


def outcome(job):
    return summary(attempt(job))


def race(seconds):
    """Runs the jobs on eight threads released together; returns per job the
    distinct outcomes seen (each at most once) and the number of calls."""
    barrier = threading.Barrier(len(JOBS))
    seen = [[] for _ in JOBS]
    calls = [0] * len(JOBS)

    def run(i):
        barrier.wait()
        end = time.monotonic() + seconds
        while True:
            o = attempt(JOBS[i])
            if not any(same(o, p) for p in seen[i]):
                seen[i].append(o)
            calls[i] += 1
            if time.monotonic() >= end:
                break

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(JOBS))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return [[summary(o) for o in outcomes] for outcomes in seen], calls
'''

FRESH = JOBS + r'''
import json, sys
seen, calls = race(SECONDS)
# Only now, after the race, the serial outcomes.
serial = [outcome(job) for job in JOBS]
serial[7] = [outcome(lambda: cast(DATES, "date32")), outcome(lambda: cast(DATES, "date33"))]
json.dump({"seen": seen, "calls": calls, "serial": serial}, sys.stdout)
'''


def check(seen, calls, serial):
    for i, outcomes in enumerate(seen[:7]):
        assert outcomes == [serial[i]], f"job {i}"
        assert calls[i] >= 1
    # Job 7 alternates between a success and a bad field type.
    assert all(o in serial[7] for o in seen[7])
    assert serial[5][0] == "error" and serial[5][1] == "_vorpel.errors.PlanError"
    assert serial[5][2] == ('strict_types: value "12x" in column "value" at row 20000 '
                            "does not parse as declared type Int64")
    assert serial[7][1] == ["error", "_vorpel.errors.PlanError", "unknown field type: date33"]
    assert serial[6] == serial[0]  # the reader path gives what the capsule path gives


def normalise(obj):
    """JSON turns tuples into lists; compare in that form."""
    return json.loads(json.dumps(obj))


@pytest.mark.parametrize("process", range(FRESH_PROCESSES))
def test_first_use_of_caches_under_a_race(run_python, process):
    code = f"SECONDS = {SECONDS}\n" + FRESH
    done = run_python(code, timeout=120 + 4 * SECONDS)
    assert done.returncode == 0, done.stderr[-3000:]
    out = json.loads(done.stdout)
    check(out["seen"], out["calls"], out["serial"])


def test_concurrent_casts_equal_serial_results():
    scope: dict = {}
    exec(JOBS, scope)
    serial = [scope["outcome"](job) for job in scope["JOBS"][:7]]
    serial.append([scope["outcome"](lambda: scope["cast"](scope["DATES"], t)) for t in ("date32", "date33")])
    seen, calls = scope["race"](SECONDS)
    check(normalise(seen), calls, normalise(serial))
    assert sum(calls) >= len(calls)


# Daemon threads still casting (their interpreter lock released) when the main
# module returns: the interpreter shuts down under them, and the process must
# exit cleanly, as it does when the threads run pyarrow's own casts.
SHUTDOWN = r'''
import sys, threading, time
import pyarrow as pa
import _vorpel

threads, rows, field_type, reader = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4] == "reader"
table = pa.table({"s": [str(i) for i in range(rows)]})
started = threading.Barrier(threads + 1)

def work():
    started.wait()
    while True:
        source = pa.RecordBatchReader.from_batches(table.schema, iter(table.to_batches(50_000))) if reader else table
        _vorpel._cast_strings(source, field_type)

for _ in range(threads):
    threading.Thread(target=work, daemon=True).start()
started.wait()
time.sleep(0.02)
'''


@pytest.mark.parametrize("threads, rows, field_type, reader", [
    (1, 2_000_000, "int64", "table"),
    (4, 200_000, "int64", "table"),
    (4, 500_000, "string", "table"),
    (1, 1_000_000, "dictionary", "reader"),
    (4, 300_000, "float64", "reader"),
])
def test_daemon_threads_casting_at_shutdown(run_python, threads, rows, field_type, reader):
    for _ in range(4 if not LONG else 20):
        done = run_python(f"import sys; sys.argv[1:] = {[str(threads), str(rows), field_type, reader]!r}\n"
                          + SHUTDOWN)
        assert (done.returncode, done.stderr) == (0, "")


def test_a_forked_child_does_not_wait_for_its_parents_casts(run_python):
    # The child has none of the parent's threads: its exit must not wait for
    # casts that were in flight on them at the fork.
    done = run_python(r'''
import os, sys, threading, time
import pyarrow as pa
import _vorpel

table = pa.table({"s": [str(i) for i in range(1_000_000)]})
def work():
    while True:
        _vorpel._cast_strings(table, "int64")
for _ in range(2):
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.2)
start = time.monotonic()
pid = os.fork()
if pid == 0:
    sys.exit(0)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status), round(time.monotonic() - start))
''')
    assert done.returncode == 0, done.stderr
    code, seconds = map(int, done.stdout.split())
    assert code == 0 and seconds < 5
