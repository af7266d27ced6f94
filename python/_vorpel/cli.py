"""Command line front end: ``python -m _vorpel cast INPUT.csv --type COL=TYPE ...``.

Reads a CSV file with every column kept as text, casts the named columns with
``_cast_strings`` (strictly: one bad value fails the whole run) and writes the
typed table to Parquet, an Arrow IPC file or CSV, or prints a preview.

Everything here is plain Python on top of the extension module; user errors
end in one line on stderr and exit status 1, usage errors in exit status 2.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import decimal
import os
import re
import sys
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

__all__ = ["main", "build_parser", "CliError"]

FIELD_TYPE_HELP = """\
field types (FIELD_TYPE in --type COLUMN=FIELD_TYPE; exact, case-sensitive):
  string                      text, kept as it is
  int64                       64-bit integer: optional sign, digits only
  float64                     64-bit float: 1.5, -.5, 2e-3, nan, inf, -infinity
  boolean | bool              exactly "true" or "false"
  date32                      calendar date YYYY-MM-DD (blanks around it allowed)
  timestamp                   microseconds; YYYY-MM-DD[( |T)HH:MM:SS[.fraction]]
  timestamp[UNIT]             UNIT is s, ms, us (or \u00b5s) or ns; empty means us
  timestamp[UNIT,format=PATTERN]
                              values in a custom PATTERN (see below); values
                              that do not match it still may use the built-in
                              forms above
  timestamp[format=PATTERN]   the same in microseconds
  decimal128                  decimal of precision 38, scale 18
  decimal128(SCALE)           decimal of precision 38 and SCALE (0 to 38)
                              fraction digits; extra digits are truncated
  dictionary                  text, dictionary-encoded (int32 keys)

  Columns without a --type stay strings. Empty fields are nulls and are never
  checked; every other value must parse as its column's type.

timestamp pattern directives:
  %Y  year (1 to 4 digits, or signed)     %y  two-digit year
  %m  month 1-12 (1 or 2 digits)          %b %h  abbreviated month name (Jan)
  %B  full month name (January)           %d  day of month (1 or 2 digits)
  %e  day of month, space-padded          %j  day of the year (001-366)
  %H  hour 0-23                           %I  hour 1-12, with %p
  %p  AM or PM                            %M  minute 0-59
  %S  second 0-60 (60: leap second)       %.f optional fraction: .5, .123456789
  %T  same as %H:%M:%S                    %R  same as %H:%M
  %F  same as %Y-%m-%d                    %D  same as %m/%d/%y
  %%  a literal %
  A space in a pattern matches any run of blanks; any other character must
  appear literally. Quote the whole option in the shell when it holds blanks:
    --type 'shipped_at=timestamp[s,format=%d/%m/%Y %H:%M:%S]'

output (--output): .parquet, .arrow/.feather/.ipc (Arrow IPC file) or .csv;
  without --output the schema and the first rows are printed.

exit status: 0 success, 1 a bad value, file or type, 2 bad usage.
"""

OUTPUT_FORMATS = {
    ".parquet": "parquet",
    ".arrow": "ipc",
    ".feather": "ipc",
    ".ipc": "ipc",
    ".csv": "csv",
}

# The module's strict-cast message; the column is always "value" because the
# cast sees a one-column table, the row is 0-based across that table.
_STRICT_MESSAGE = re.compile(
    r'\Astrict_types: value (?P<value>".*") in column "value" at row (?P<row>\d+) '
    r"does not parse as declared type (?P<declared>.*)\Z",
    re.DOTALL,
)


class CliError(Exception):
    """A user error: reported as one line, exit status 1."""


@dataclass(frozen=True)
class TypeRequest:
    spec: str  # the text given to --type, COLUMN=FIELD_TYPE


@dataclass(frozen=True)
class ResolvedType:
    column: str
    field_type: str


def quote(text: str) -> str:
    """Double-quoted rendering with backslash escapes for quotes, backslashes
    and control characters, so that any name or value stays on one line."""
    out = ['"']
    for ch in text:
        code = ord(ch)
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
        elif code < 0x20 or 0x7F <= code < 0xA0:
            out.append(f"\\u{{{code:x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _one_line(text: str) -> str:
    """First line of an error text (pyarrow messages may carry more)."""
    lines = str(text).strip("\r\n").splitlines()
    return lines[0] if lines else "unknown error"


# ---------------------------------------------------------------- arguments


def _delimiter(text: str) -> str:
    named = {"\\t": "\t", "tab": "\t"}
    if text in named:
        return named[text]
    if len(text) != 1 or text in "\r\n\"":
        raise argparse.ArgumentTypeError(
            f"must be a single character other than a quote or line break (or \\t), got {text!r}"
        )
    return text


def _int_at_least(minimum: int, what: str) -> Callable[[str], int]:
    """An argparse type: an integer of at least `minimum`, described as `what`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be a {what} integer, got {text!r}")
        return value

    return parse


_positive_int = _int_at_least(1, "positive")
_non_negative_int = _int_at_least(0, "non-negative")


def _type_request(text: str) -> TypeRequest:
    eq = text.find("=")
    if eq <= 0:
        raise argparse.ArgumentTypeError(f"expected COLUMN=FIELD_TYPE, got {text!r}")
    return TypeRequest(text)


def _output_path(text: str) -> str:
    ext = os.path.splitext(text)[1].lower()
    if ext not in OUTPUT_FORMATS:
        known = ", ".join(OUTPUT_FORMATS)
        raise argparse.ArgumentTypeError(f"unsupported output extension {ext or '(none)'!r} (use {known})")
    return text


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m _vorpel",
        description="Strict string-to-typed-column casting of CSV files with vorpel.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    cast = commands.add_parser(
        "cast",
        help="cast CSV columns to typed Arrow columns",
        description=(
            "Read INPUT (a CSV file with a header line) with every column as text, "
            "cast each column named by --type strictly to its field type and write "
            "the typed table. A value that does not parse fails the run with the "
            "column, the CSV line the value starts on, and the value."
        ),
        epilog=FIELD_TYPE_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    cast.add_argument("input", metavar="INPUT.csv", help="CSV file; its first record is the header")
    cast.add_argument(
        "--type",
        "-t",
        dest="types",
        metavar="COLUMN=FIELD_TYPE",
        action="append",
        type=_type_request,
        default=[],
        help="cast COLUMN to FIELD_TYPE (repeatable; field types below)",
    )
    cast.add_argument(
        "--output",
        "-o",
        metavar="OUT",
        type=_output_path,
        help="write the typed table to OUT.parquet, OUT.arrow or OUT.csv",
    )
    cast.add_argument(
        "--delimiter",
        "-d",
        metavar="C",
        type=_delimiter,
        default=",",
        help="field delimiter, one character (default ','; '\\t' for tab)",
    )
    cast.add_argument(
        "--batch-rows",
        metavar="N",
        type=_positive_int,
        help="hand each column to the cast in batches of at most N rows",
    )
    cast.add_argument(
        "--head",
        metavar="N",
        type=_non_negative_int,
        default=10,
        help="rows to show when no --output is given (default 10)",
    )
    return parser


# ---------------------------------------------------------------- CSV input


def _parse_options(delimiter: str) -> Any:
    import pyarrow.csv as pacsv

    # Quoted fields may hold line breaks; the chunker must know, or it could
    # split a block inside such a field.
    return pacsv.ParseOptions(delimiter=delimiter, newlines_in_values=True)


def read_header(path: str, delimiter: str) -> list[str]:
    """Column names exactly as pyarrow's CSV reader sees them."""
    import pyarrow as pa
    import pyarrow.csv as pacsv

    try:
        with pacsv.open_csv(path, parse_options=_parse_options(delimiter)) as reader:
            return list(reader.schema.names)
    except (pa.ArrowInvalid, OSError) as exc:
        raise CliError(f"cannot read {path}: {_one_line(str(exc))}") from None


def read_strings(path: str, delimiter: str, names: Sequence[str]) -> Any:
    """The whole file as a table of string columns; empty fields are null."""
    import pyarrow as pa
    import pyarrow.csv as pacsv

    convert = pacsv.ConvertOptions(
        column_types={name: pa.string() for name in names},
        # Only an empty field is a null: "NA", "null" or "nan" stay text.
        null_values=[""],
        strings_can_be_null=True,
        quoted_strings_can_be_null=True,
    )
    try:
        return pacsv.read_csv(path, parse_options=_parse_options(delimiter), convert_options=convert)
    except (pa.ArrowInvalid, OSError) as exc:
        raise CliError(f"cannot read {path}: {_one_line(str(exc))}") from None


_LINE_BREAK = re.compile(r"\r\n|\r|\n")


def field_line(path: str, delimiter: str, row: int, column: int) -> int | None:
    """1-based line on which field ``column`` of data row ``row`` starts (both
    0-based, the header is not a data row).

    Quoted fields may span lines and empty lines are skipped, as the CSV reader
    does, so the line is found by scanning records rather than by arithmetic;
    within the record, the line breaks held by the fields before ``column``
    are counted. Only used on the error path.
    """
    csv.field_size_limit(sys.maxsize)
    with open(path, newline="", encoding="utf-8-sig", errors="replace") as handle:
        reader = csv.reader(handle, delimiter=delimiter, quotechar='"', doublequote=True, strict=False)
        index = -1  # -1: the header is next
        previous = 0
        for record in reader:
            start = previous + 1
            previous = reader.line_num
            if not record:
                continue
            if index == row:
                return start + sum(len(_LINE_BREAK.findall(text)) for text in record[:column])
            index += 1
    return None


# ---------------------------------------------------------------- casting


def resolve_types(requests: Sequence[TypeRequest], names: Sequence[str], path: str) -> list[ResolvedType]:
    """Splits each COLUMN=FIELD_TYPE at the '=' whose left side names a column,
    so that both column names and patterns may contain '='."""
    known = set(names)
    resolved: list[ResolvedType] = []
    seen: set[str] = set()
    for request in requests:
        spec = request.spec
        positions = [i for i, ch in enumerate(spec) if ch == "="]
        split = next((i for i in positions if spec[:i] in known), positions[0])
        column, field_type = spec[:split], spec[split + 1 :]
        if column not in known:
            listed = ", ".join(quote(n) for n in names)
            raise CliError(f"column {quote(column)} is not in {path} (columns: {listed})")
        if names.count(column) > 1:
            raise CliError(f"column {quote(column)} appears more than once in the header of {path}")
        if column in seen:
            raise CliError(f"column {quote(column)} is given more than one --type")
        seen.add(column)
        resolved.append(ResolvedType(column, field_type))
    return resolved


def check_field_types(types: Sequence[ResolvedType]) -> None:
    """Rejects bad field type texts before the file is read."""
    import pyarrow as pa

    import _vorpel

    empty = pa.table({"value": pa.array([], pa.string())})
    for item in types:
        try:
            _vorpel._cast_strings(empty, item.field_type)
        except _vorpel.PlanError as exc:
            raise CliError(f"column {quote(item.column)}: {_one_line(str(exc))}") from None


def cast_column(column: Any, field_type: str, batch_rows: int | None) -> Any:
    import pyarrow as pa

    import _vorpel

    table = pa.table({"value": column})
    if batch_rows is not None:
        batches = table.to_batches(max_chunksize=batch_rows)
        return _vorpel._cast_strings(pa.RecordBatchReader.from_batches(table.schema, batches), field_type)
    return _vorpel._cast_strings(table, field_type)


def _cast_failure(exc: BaseException, item: ResolvedType, column: int, path: str, delimiter: str) -> CliError:
    message = _one_line(str(exc))
    match = _STRICT_MESSAGE.match(str(exc))
    if match is None:
        return CliError(f"column {quote(item.column)}: {message}")
    row = int(match["row"])
    line = field_line(path, delimiter, row, column)
    where = f"line {line}" if line is not None else f"data row {row + 1}"
    return CliError(
        f"column {quote(item.column)}, {where}: value {match['value']} does not parse as {item.field_type}"
    )


def cast_table(table: Any, types: Sequence[ResolvedType], path: str, delimiter: str, batch_rows: int | None) -> Any:
    import pyarrow as pa

    import _vorpel

    for item in types:
        index = table.schema.get_field_index(item.column)
        try:
            typed = cast_column(table.column(index), item.field_type, batch_rows)
        except _vorpel.PlanError as exc:
            raise _cast_failure(exc, item, index, path, delimiter) from None
        except Exception as exc:  # MemoryError, "Arrow error: ...": still one line
            raise CliError(f"column {quote(item.column)}: {_one_line(str(exc))}") from None
        table = table.set_column(index, pa.field(item.column, typed.type), typed)
    return table


# ---------------------------------------------------------------- output


def write_table(table: Any, path: str) -> None:
    """Writes to a temporary file beside ``path`` and renames it into place, so
    a failed write never leaves a truncated file or clobbers an earlier one."""
    import pyarrow as pa

    kind = OUTPUT_FORMATS[os.path.splitext(path)[1].lower()]
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".vorpel-", suffix=".part", dir=directory)
        os.close(fd)
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc.strerror or exc}") from None
    try:
        if kind == "parquet":
            import pyarrow.parquet as pq

            pq.write_table(table, temporary)
        elif kind == "ipc":
            with pa.OSFile(temporary, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
                writer.write_table(table)
        else:
            import pyarrow.csv as pacsv

            pacsv.write_csv(table, temporary)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)  # mkstemp made it private
        os.replace(temporary, path)
    except (pa.ArrowException, OSError) as exc:
        raise CliError(f"cannot write {path}: {_one_line(str(exc))}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def render_value(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, datetime.datetime):
        return value.isoformat(sep=" ")
    if isinstance(value, (datetime.date, decimal.Decimal)):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        return quote(value) if any(ord(c) < 0x20 for c in value) else value
    return str(value)


def preview(table: Any, rows: int, width: int = 40) -> str:
    """Schema, row count and the first ``rows`` rows as an aligned text table."""
    lines = [str(table.schema), f"-- {table.num_rows} rows --"]
    head = table.slice(0, rows)
    names = head.schema.names
    cells = [[render_value(v) for v in column.to_pylist()] for column in head.columns]

    def clip(text: str) -> str:
        return text if len(text) <= width else text[: width - 3] + "..."

    columns = [[clip(n)] + [clip(c) for c in col] for n, col in zip(names, cells)]
    widths = [max(len(c) for c in col) for col in columns]
    for r in range(head.num_rows + 1):
        lines.append("  ".join(col[r].ljust(w) for col, w in zip(columns, widths)).rstrip())
    return "\n".join(lines)


# ---------------------------------------------------------------- main


def run_cast(args: argparse.Namespace) -> int:
    import _vorpel

    path: str = args.input
    try:
        size = os.stat(path).st_size
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    if not os.path.isfile(path):
        raise CliError(f"cannot read {path}: not a regular file")
    engine = _vorpel.resolve_engine(size)
    print(f"engine: {engine} (file size {size} bytes)", file=sys.stderr)

    names = read_header(path, args.delimiter)
    types = resolve_types(args.types, names, path)
    check_field_types(types)
    table = read_strings(path, args.delimiter, names)
    table = cast_table(table, types, path, args.delimiter, args.batch_rows)

    if args.output:
        write_table(table, args.output)
        print(f"wrote {table.num_rows} rows, {table.num_columns} columns to {args.output}", file=sys.stderr)
    else:
        print(preview(table, args.head))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)  # usage errors exit with status 2
    try:
        return run_cast(args)
    except CliError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # the reader of a preview went away (``| head``): stop quietly
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
