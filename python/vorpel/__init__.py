"""vorpel: strict, fast reading of text data into typed Arrow tables.

    import vorpel
    table = vorpel.read_csv("orders.csv", types={"amount": "decimal128(2)", "day": "date32"})

Every value is parsed as its column's type or the read fails, naming the
file, line, column and value (or, with on_error="null", the value becomes a
null and is reported in `rejects`).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any

import pyarrow as pa

from _vorpel import MergeError, ParseError, ParserError, PlanError

from ._cast import cast
from ._csv import Source, TypeSpec, batches_of, open_stream

__all__ = ["read_csv", "open_csv", "cast", "ParseError", "PlanError", "MergeError", "ParserError"]


def read_csv(source: Source, *, types: Mapping[str, TypeSpec] | None = None, delimiter: str = ",",
             quote: str | None = '"', header: bool = True, column_names: Sequence[str] | None = None, skip_rows: int = 0,
             encoding: str = "utf-8", null_values: Iterable[str] = ("",), true_values: Iterable[str] = ("true",),
             false_values: Iterable[str] = ("false",), infer: bool = False, rename: Mapping[str, str] | None = None,
             exclude: Iterable[str] | None = None, dictionary: Iterable[str] | None = None,
             auto_dictionary: bool = False, schema: Sequence[str] | None = None, on_error: str = "raise", rejects: list[dict[str, Any]] | None = None,
             engine: str = "auto", memory: str | int | None = None, threads: int | None = None,
             batch_rows: int | None = None, where: Any = None, progress: Callable[[int, int], object] | None = None,
             ragged: str = "raise") -> pa.Table:
    """Reads a CSV file (a path, a .gz/.zst path, or bytes) into a pyarrow.Table.

    types: column name -> field type ("int64", "float64", "bool", "date32",
        "timestamp[ms]", "timestamp[s,format=%d/%m/%Y %H:%M]", "decimal128(2)",
        "dictionary", "string") or an equivalent pyarrow type. Other columns
        are strings, or with infer=True the narrowest of bool, int64,
        float64, date32 and timestamp[us] that the first rows parse as.
    quote: the quote character, or None for a file whose fields are never
        quoted (a quote is then text like any other).
    null_values: fields read as null (default: only the empty field).
    true_values / false_values: the words of boolean columns.
    on_error: "raise" (the first bad value raises PlanError naming its file,
        line, column and value) or "null" (bad values become nulls; pass a
        list as rejects= to receive one dict per rejected cell).
    schema: the output's columns, in order: a column the file lacks is all
        null, a column the file has and the schema lacks raises MergeError.
    ragged: "raise" (a record with another field count than the header is a
        ParseError) or "null" (missing trailing fields are nulls).
    engine: "auto", "columnar", "stream", "parallel" or "parallel_streaming";
        every engine gives the same table. threads: worker threads of the
        parallel engines (default: the CPUs this process may use).
    memory: a budget ("512MiB" or bytes); a table larger than it raises
        MemoryError (use open_csv to stream instead).
    progress: progress(rows, bytes) is called a few times a second and once at the end.
    """
    stream = open_stream(**locals())  # every parameter, by name
    batches = list(batches_of(stream, rejects))
    return pa.Table.from_batches(batches, batches[0].schema)


def open_csv(source: Source, *, types: Mapping[str, TypeSpec] | None = None, delimiter: str = ",",
             quote: str | None = '"', header: bool = True, column_names: Sequence[str] | None = None, skip_rows: int = 0,
             encoding: str = "utf-8", null_values: Iterable[str] = ("",), true_values: Iterable[str] = ("true",),
             false_values: Iterable[str] = ("false",), infer: bool = False, rename: Mapping[str, str] | None = None,
             exclude: Iterable[str] | None = None, dictionary: Iterable[str] | None = None,
             auto_dictionary: bool = False, schema: Sequence[str] | None = None, on_error: str = "raise", rejects: list[dict[str, Any]] | None = None,
             engine: str = "stream", memory: str | int | None = None, threads: int | None = None,
             batch_rows: int | None = None, where: Any = None, progress: Callable[[int, int], object] | None = None,
             ragged: str = "raise") -> pa.RecordBatchReader:
    """Reads a CSV file batch by batch: a pyarrow.RecordBatchReader (usable in
    a `with` block and through `__arrow_c_stream__`). The options are those of
    read_csv; the engine defaults to "stream", which holds one batch at a time."""
    stream = open_stream(**locals())  # every parameter, by name
    batches = batches_of(stream, rejects)
    first = next(batches)  # the first batch always comes, and carries the schema

    def all_batches() -> Iterator[pa.RecordBatch]:
        yield first
        yield from batches

    return pa.RecordBatchReader.from_batches(first.schema, all_batches())
