"""The command line front end, run as ``python -m _vorpel`` in a subprocess."""

from __future__ import annotations

import csv
import datetime
import decimal
import importlib.util
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.ipc
import pyarrow.parquet as pq
import pytest

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
SALES = EXAMPLES / "sales.csv"
SALES_BAD = EXAMPLES / "sales_bad.csv"

SALES_TYPES = {
    "id": "int64",
    "order_date": "date32",
    "shipped_at": "timestamp[s,format=%d/%m/%Y %H:%M:%S]",
    "amount": "decimal128(2)",
    "discount": "float64",
    "paid": "boolean",
    "region": "dictionary",
}
SALES_SCHEMA = pa.schema(
    [
        ("id", pa.int64()),
        ("order_date", pa.date32()),
        ("shipped_at", pa.timestamp("s")),
        ("amount", pa.decimal128(38, 2)),
        ("discount", pa.float64()),
        ("paid", pa.bool_()),
        ("region", pa.dictionary(pa.int32(), pa.string())),
        ("note", pa.string()),
    ]
)


def _package_parent() -> str:
    """Directory that holds the _vorpel package this interpreter would import
    (the in-place build, or another build put first on PYTHONPATH)."""
    spec = importlib.util.find_spec("_vorpel")
    if spec is not None and spec.origin is not None:
        return str(Path(spec.origin).resolve().parent.parent)
    return str(REPO / "python")


def run_cli(*args: str | Path, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (_package_parent(), env.get("PYTHONPATH")) if p)
    return subprocess.run(
        [sys.executable, "-m", "_vorpel", *map(str, args)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        cwd=cwd or REPO,
        env=env,
        timeout=120,
    )


def type_args(types: dict[str, str]) -> list[str]:
    return [arg for column, field_type in types.items() for arg in ("--type", f"{column}={field_type}")]


def engine_line(path: Path) -> str:
    return f"engine: columnar (file size {path.stat().st_size} bytes)"


def write_csv(path: Path, text: str) -> Path:
    path.write_bytes(text.encode("utf-8"))
    return path


def read_arrow(path: Path) -> pa.Table:
    with pa.OSFile(str(path), "rb") as source:
        return pa.ipc.open_file(source).read_all()


# --------------------------------------------------------------- the good sample


@pytest.fixture(scope="module")
def sales_typed(tmp_path_factory: pytest.TempPathFactory) -> pa.Table:
    out = tmp_path_factory.mktemp("sales") / "sales.arrow"
    result = run_cli("cast", SALES, *type_args(SALES_TYPES), "--output", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    assert result.stderr.splitlines() == [engine_line(SALES), f"wrote 5000 rows, 8 columns to {out}"]
    return read_arrow(out)


@pytest.fixture(scope="module")
def sales_records() -> list[dict[str, str]]:
    with SALES.open(newline="", encoding="utf-8") as handle:
        return list(csv.DictReader(handle))


def test_good_sample_schema(sales_typed: pa.Table) -> None:
    assert sales_typed.schema.equals(SALES_SCHEMA, check_metadata=False)
    assert sales_typed.num_rows == 5000


D = decimal.Decimal
DT = datetime.datetime


@pytest.mark.parametrize(
    "row, column, expected",
    [
        (0, "id", 100001),
        (0, "shipped_at", DT(2024, 3, 16, 18, 16, 17)),
        (0, "amount", D("1161.94")),
        (0, "region", "South"),
        (2, "discount", None),
        (3, "amount", D("-94.40")),
        (3, "note", "Invoice to head office\nAttn: accounts payable"),
        (8, "shipped_at", None),
        (4999, "id", 125028),
    ],
)
def test_good_sample_values(sales_typed: pa.Table, row: int, column: str, expected: Any) -> None:
    assert sales_typed.column(column)[row].as_py() == expected


def _timestamp(text: str) -> DT:
    return DT.strptime(text, "%d/%m/%Y %H:%M:%S")


# Every cell of every typed column against an independent reading of the CSV.
@pytest.mark.parametrize(
    "column, convert",
    [
        ("id", int),
        ("order_date", datetime.date.fromisoformat),
        ("shipped_at", _timestamp),
        ("amount", D),
        ("discount", float),
        ("paid", lambda text: {"true": True, "false": False}[text]),
        ("region", str),
        ("note", str),
    ],
)
def test_good_sample_every_cell(
    sales_typed: pa.Table, sales_records: list[dict[str, str]], column: str, convert: Callable[[str], Any]
) -> None:
    expected = [convert(r[column]) if r[column] != "" else None for r in sales_records]
    assert sales_typed.column(column).to_pylist() == expected


def test_samples_are_current() -> None:
    """The committed samples are what the generator makes, and the bad one
    differs from the good one in exactly one cell."""
    result = subprocess.run([sys.executable, str(EXAMPLES / "make_samples.py"), "--check"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    with SALES.open(newline="", encoding="utf-8") as good, SALES_BAD.open(newline="", encoding="utf-8") as bad:
        pairs = list(zip(csv.reader(good), csv.reader(bad), strict=True))
    diffs = [(r, c, b[c]) for r, (g, b) in enumerate(pairs) for c in range(len(g)) if g[c] != b[c]]
    assert diffs == [(3211, 3, "12,5")]


@pytest.mark.parametrize(
    "command, expected",
    [
        pytest.param(["bash", str(EXAMPLES / "demo.sh")],
                     'error: column "amount", line 3674: value "12,5" does not parse as decimal128(2)', id="demo.sh"),
        pytest.param([sys.executable, str(EXAMPLES / "demo.py")],
                     'sales_bad.csv: PlanError: strict_types: value "12,5" in column "value" at row 3210 '
                     "does not parse as declared type Decimal128(2)", id="demo.py"),
    ],
)
def test_demo_scripts(command: list[str], expected: str) -> None:
    env = dict(os.environ, PY=sys.executable, PYTHONPATH=_package_parent())
    result = subprocess.run(command, capture_output=True, text=True, env=env, cwd=REPO, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert expected in (result.stdout + result.stderr).splitlines()


# --------------------------------------------------------------- output formats


def _read_back(path: Path, tmp_path: Path) -> pa.Table:
    suffix = path.suffix.lower()
    if suffix == ".parquet":
        return pq.read_table(path)
    if suffix in (".arrow", ".feather", ".ipc"):
        return read_arrow(path)
    # CSV loses the types: cast the written file again
    again = tmp_path / "again.arrow"
    result = run_cli("cast", path, *type_args(SALES_TYPES), "--output", again)
    assert result.returncode == 0, result.stderr
    return read_arrow(again)


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".feather", ".ipc", ".csv", ".PARQUET"])
def test_output_round_trips(sales_typed: pa.Table, tmp_path: Path, suffix: str) -> None:
    out = tmp_path / f"out{suffix}"
    result = run_cli("cast", SALES, *type_args(SALES_TYPES), "--output", out, "--batch-rows", "1000")
    assert result.returncode == 0, result.stderr
    assert [p.name for p in tmp_path.iterdir()] == [out.name]  # no temporary left behind
    assert out.stat().st_mode & 0o777 == 0o666 & ~_umask()
    back = _read_back(out, tmp_path)
    expected = SALES_SCHEMA
    if suffix.lower() == ".parquet":
        # Parquet has no second unit: seconds come back as milliseconds
        expected = expected.set(2, pa.field("shipped_at", pa.timestamp("ms")))
    assert back.schema.equals(expected, check_metadata=False)
    assert back.to_pylist() == sales_typed.to_pylist()


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_preview_into_closed_pipe() -> None:
    env = dict(os.environ, PYTHONPATH=_package_parent())
    proc = subprocess.Popen(
        [sys.executable, "-m", "_vorpel", "cast", str(SALES), "--head", "5000"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, cwd=REPO,
    )
    assert proc.stdout is not None and proc.stderr is not None
    proc.stdout.close()
    stderr = proc.stderr.read().decode()
    assert proc.wait(timeout=120) == 1
    assert stderr == engine_line(SALES) + "\n"


def test_preview_without_output() -> None:
    result = run_cli("cast", SALES, *type_args(SALES_TYPES), "--head", "2")
    assert result.returncode == 0, result.stderr
    assert result.stderr == engine_line(SALES) + "\n"
    lines = result.stdout.splitlines()
    assert lines[: len(SALES_SCHEMA)] == [f"{f.name}: {f.type}" for f in SALES_SCHEMA]
    assert lines[len(SALES_SCHEMA)] == "-- 5000 rows --"
    header, first, second = lines[len(SALES_SCHEMA) + 1 :]
    assert header.split() == SALES_SCHEMA.names
    assert first.split("  ")[0] == "100001"
    assert "2024-03-16 18:16:17" in first and "1161.94" in first and "Leave at the back door" in first
    assert second.startswith("100004")


# --------------------------------------------------------------- the bad sample


@pytest.mark.parametrize("batch_rows", [None, "1", "999"])
def test_bad_sample_fails_with_one_line(batch_rows: str | None) -> None:
    extra = ["--batch-rows", batch_rows] if batch_rows else []
    result = run_cli("cast", SALES_BAD, *type_args(SALES_TYPES), *extra)
    assert result.returncode == 1
    assert result.stdout == ""
    # data row 3210; notes with line breaks before it push it to line 3674
    assert result.stderr == (
        engine_line(SALES_BAD) + "\n"
        'error: column "amount", line 3674: value "12,5" does not parse as decimal128(2)\n'
    )


# The line a bad value starts on: quoted line breaks, empty lines, CRLF.
@pytest.mark.parametrize(
    "text, expected",
    [
        pytest.param("n,v\na,1\nb,x\n", 'column "v", line 3: value "x" does not parse as int64', id="plain"),
        pytest.param("n,v\na,x\n", 'column "v", line 2: value "x" does not parse as int64', id="first-row"),
        pytest.param('n,v\n"a\nb",1\n"c\r\nd\ne",2\nf,x\n', 'column "v", line 7: value "x" does not parse as int64', id="quoted-line-breaks"),
        pytest.param("n,v\n\na,1\n\n\nb,x\n", 'column "v", line 6: value "x" does not parse as int64', id="empty-lines"),
        pytest.param("n,v\r\na,1\r\nb,2\r\nc,x\r\n", 'column "v", line 4: value "x" does not parse as int64', id="crlf"),
        pytest.param('"n\nn",v\na,1\nb,x', 'column "v", line 4: value "x" does not parse as int64', id="header-on-two-lines"),
        pytest.param('n,v\na,1\nb,"4\n2"\n', 'column "v", line 3: value "4\\n2" does not parse as int64', id="bad-value-spans-lines"),
        pytest.param('n,v\na,1\n"b\r\nc\nd",x\n', 'column "v", line 5: value "x" does not parse as int64', id="field-after-multiline-field"),
        pytest.param('v,n\n1,a\nx,"b\nc"\n', 'column "v", line 3: value "x" does not parse as int64', id="field-before-multiline-field"),
        pytest.param("n,v\na,1\nb,\nc, 7\n", 'column "v", line 4: value " 7" does not parse as int64', id="null-then-blank-padded"),
        pytest.param("n,v\na,NA\n", 'column "v", line 2: value "NA" does not parse as int64', id="NA-is-not-null"),
    ],
)
def test_bad_value_line(tmp_path: Path, text: str, expected: str) -> None:
    path = write_csv(tmp_path / "in.csv", text)
    result = run_cli("cast", path, "--type", "v=int64")
    assert result.returncode == 1
    assert result.stderr.splitlines() == [engine_line(path), "error: " + expected]


# --------------------------------------------------------------- input handling


@pytest.mark.parametrize(
    "text, args, column, expected",
    [
        pytest.param("a;b\n1;x\n;y\n", ["--delimiter", ";", "--type", "a=int64"], "a", [1, None], id="semicolon"),
        pytest.param("a\tb\n1\tx\n2\t\n", ["--delimiter", "\\t", "--type", "a=int64"], "b", ["x", None], id="tab"),
        pytest.param("a,b\n1,NA\n2,null\n3,\n", ["--type", "a=int64"], "b", ["NA", "null", None], id="only-empty-is-null"),
        pytest.param('a,b\n1,""\n2," "\n', ["--type", "a=int64"], "b", [None, " "], id="quoted-empty-is-null"),
        pytest.param("a=b,c\n1,2\n", ["--type", "a=b=int64"], "a=b", [1], id="equals-in-column-name"),
        pytest.param(
            "t\n2024=01=05\n", ["--type", "t=timestamp[s,format=%Y=%m=%d]"], "t", [DT(2024, 1, 5)], id="equals-in-pattern"
        ),
        pytest.param("\ufeffa,b\n1,2\n", ["--type", "a=int64"], "a", [1], id="utf8-bom"),
        pytest.param("a,b\n", ["--type", "a=int64", "--type", "b=float64"], "b", [], id="header-only"),
        pytest.param("a\n" + "".join(f"{i}\n" for i in range(1000)), ["--type", "a=int64", "--batch-rows", "7"], "a", list(range(1000)), id="batches-of-7"),
    ],
)
def test_cast_inputs(tmp_path: Path, text: str, args: list[str], column: str, expected: list[Any]) -> None:
    path = write_csv(tmp_path / "in.csv", text)
    out = tmp_path / "out.arrow"
    result = run_cli("cast", path, *args, "--output", out)
    assert result.returncode == 0, result.stderr
    assert read_arrow(out).column(column).to_pylist() == expected


# --------------------------------------------------------------- user errors


@pytest.mark.parametrize(
    "text, args, expected",
    [
        pytest.param("a,b\n1,2\n", ["--type", "a=decimal"], 'error: column "a": unknown field type: decimal', id="unknown-type"),
        pytest.param("a,b\n1,2\n", ["--type", "a=Int64"], 'error: column "a": unknown field type: Int64', id="case-sensitive"),
        pytest.param("a,b\n1,2\n", ["--type", "a="], 'error: column "a": unknown field type: ', id="empty-type"),
        pytest.param(
            "a,b\n1,2\n", ["--type", "a=decimal128(39)"], 'error: column "a": decimal128 scale exceeds 38: 39', id="scale-too-big"
        ),
        pytest.param(
            "a,b\n1,2\n", ["--type", "b=timestamp[sec]"], 'error: column "b": invalid timestamp spec: timestamp[sec]', id="bad-unit"
        ),
        pytest.param(
            "a,b\n1,2\n", ["--type", "amt=int64"], 'error: column "amt" is not in {path} (columns: "a", "b")', id="missing-column"
        ),
        pytest.param(
            'a,"q""t"\n1,2\n', ["--type", 'q"x=int64'], 'error: column "q\\"x" is not in {path} (columns: "a", "q\\"t")', id="missing-quoted"
        ),
        pytest.param(
            "a,b\n1,2\n", ["--type", "a=int64", "--type", "a=float64"], 'error: column "a" is given more than one --type', id="twice"
        ),
        pytest.param("a,a\n1,2\n", ["--type", "a=int64"], 'error: column "a" appears more than once in the header of {path}', id="dup-header"),
        pytest.param("", ["--type", "a=int64"], "error: cannot read {path}: Empty CSV file", id="empty-file"),
        pytest.param("a,b\n1,2\n3\n", ["--type", "a=int64"], "error: cannot read {path}: CSV parse error: Expected 2 columns, got 1: 3", id="ragged"),
    ],
)
def test_user_errors(tmp_path: Path, text: str, args: list[str], expected: str) -> None:
    path = write_csv(tmp_path / "in.csv", text)
    result = run_cli("cast", path, *args)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.splitlines() == [engine_line(path), expected.format(path=path)]


@pytest.mark.parametrize(
    "make_path, expected",
    [
        pytest.param(lambda tmp: tmp / "nope.csv", "error: cannot read {path}: No such file or directory", id="missing"),
        pytest.param(lambda tmp: tmp, "error: cannot read {path}: not a regular file", id="directory"),
    ],
)
def test_unreadable_input(tmp_path: Path, make_path: Callable[[Path], Path], expected: str) -> None:
    path = make_path(tmp_path)
    result = run_cli("cast", path, "--type", "a=int64")
    assert result.returncode == 1
    assert result.stderr == expected.format(path=path) + "\n"


def test_unwritable_output(tmp_path: Path) -> None:
    path = write_csv(tmp_path / "in.csv", "a\n1\n")
    out = tmp_path / "no-such-dir" / "out.parquet"
    result = run_cli("cast", path, "--type", "a=int64", "--output", out)
    assert result.returncode == 1
    last = result.stderr.splitlines()[-1]
    assert last.startswith(f"error: cannot write {out}: ")
    assert "Traceback" not in result.stderr


# --------------------------------------------------------------- usage errors


@pytest.mark.parametrize(
    "args, fragment",
    [
        pytest.param([], "the following arguments are required: COMMAND", id="no-command"),
        pytest.param(["cast"], "the following arguments are required: INPUT.csv", id="no-input"),
        pytest.param(["cast", "x.csv", "--type", "amount"], "expected COLUMN=FIELD_TYPE, got 'amount'", id="type-without-equals"),
        pytest.param(["cast", "x.csv", "--type", "=int64"], "expected COLUMN=FIELD_TYPE, got '=int64'", id="type-without-column"),
        pytest.param(["cast", "x.csv", "--delimiter", ";;"], "must be a single character", id="long-delimiter"),
        pytest.param(["cast", "x.csv", "--delimiter", '"'], "must be a single character", id="quote-delimiter"),
        pytest.param(["cast", "x.csv", "--batch-rows", "0"], "must be a positive integer, got '0'", id="zero-batch"),
        pytest.param(["cast", "x.csv", "--batch-rows", "ten"], "must be a positive integer, got 'ten'", id="word-batch"),
        pytest.param(["cast", "x.csv", "--head", "-1"], "must be a non-negative integer, got '-1'", id="negative-head"),
        pytest.param(["cast", "x.csv", "--output", "out.xlsx"], "unsupported output extension '.xlsx'", id="bad-extension"),
        pytest.param(["cast", "x.csv", "--output", "out"], "unsupported output extension '(none)'", id="no-extension"),
        pytest.param(["cast", "x.csv", "--frobnicate"], "unrecognized arguments: --frobnicate", id="unknown-option"),
        pytest.param(["convert", "x.csv"], "invalid choice: 'convert'", id="unknown-command"),
    ],
)
def test_usage_errors(args: list[str], fragment: str) -> None:
    result = run_cli(*args)
    assert result.returncode == 2
    assert fragment in result.stderr
    assert "Traceback" not in result.stderr
    assert result.stderr.splitlines()[-1].startswith("python -m _vorpel")


# --------------------------------------------------------------- help


@pytest.fixture(scope="module")
def cast_help() -> str:
    result = run_cli("cast", "--help")
    assert result.returncode == 0
    return result.stdout


GRAMMAR = [
    "string", "int64", "float64", "boolean | bool", "date32", "timestamp ", "timestamp[UNIT]",
    "timestamp[UNIT,format=PATTERN]", "timestamp[format=PATTERN]", "decimal128 ", "decimal128(SCALE)", "dictionary",
]
DIRECTIVES = ["%Y", "%m", "%d", "%H", "%M", "%S", "%.f", "%y", "%b", "%h", "%B", "%e", "%j", "%I", "%p", "%T", "%R", "%F", "%D", "%%"]


@pytest.mark.parametrize("text", GRAMMAR + DIRECTIVES + ["--batch-rows N", "--delimiter C", "COLUMN=FIELD_TYPE", ".parquet", ".arrow", ".csv"])
def test_help_documents(cast_help: str, text: str) -> None:
    assert text in cast_help


def test_top_level_help_lists_cast() -> None:
    result = run_cli("--help")
    assert result.returncode == 0
    assert "cast" in result.stdout and "usage: python -m _vorpel" in result.stdout
