"""CSV reading: argument checks, then the compiled reader."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, Union

import pyarrow as pa

import _vorpel

from ._native import reader as _reader

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview]
TypeSpec = Union[str, pa.DataType]

ENGINES = ("auto", "columnar", "stream", "parallel", "parallel_streaming")


def field_type_text(name: str, spec: TypeSpec) -> str:
    """The field type text for a column's type: a text as it is, or the text of a pyarrow type."""
    if isinstance(spec, str):
        return spec
    if not isinstance(spec, pa.DataType):
        raise TypeError(f'types["{name}"] must be a field type text or a pyarrow.DataType, not {type(spec).__name__}')
    simple = {pa.int64(): "int64", pa.float64(): "float64", pa.bool_(): "bool", pa.string(): "string",
              pa.date32(): "date32", pa.dictionary(pa.int32(), pa.string()): "dictionary"}
    if spec in simple:
        return simple[spec]
    if pa.types.is_timestamp(spec) and spec.tz is None:
        return f"timestamp[{spec.unit}]"
    if pa.types.is_decimal128(spec) and spec.precision == 38:
        return f"decimal128({spec.scale})"
    raise TypeError(
        f'types["{name}"]: pyarrow type {spec} has no equivalent here; use int64, float64, bool, string, date32, '
        "timestamp(unit) without a time zone, decimal128(38, scale) or dictionary(int32, string)")


def _texts(name: str, values: Iterable[str] | None) -> list[str]:
    if values is None:
        return []
    if isinstance(values, str):
        raise TypeError(f"{name} must be a list of strings, not a single string")
    out = list(values)
    for v in out:
        if not isinstance(v, str):
            raise TypeError(f"{name} must hold strings, not {type(v).__name__}")
    return out


def _one_byte(name: str, value: str) -> str:
    if not isinstance(value, str) or len(value) != 1 or ord(value) > 127 or value in "\r\n":
        raise ValueError(f"{name} must be one ASCII character other than a line end, not {value!r}")
    return value


def _threads(threads: int | None) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not on Linux
            return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be an int >= 1, not {threads!r}")
    return threads


def open_stream(source: Source, *, types: Mapping[str, TypeSpec] | None, delimiter: str, quote: str | None,
                header: bool,
                column_names: Sequence[str] | None, skip_rows: int, encoding: str, null_values: Iterable[str],
                true_values: Iterable[str], false_values: Iterable[str], infer: bool,
                rename: Mapping[str, str] | None, exclude: Iterable[str] | None, dictionary: Iterable[str] | None,
                auto_dictionary: bool, schema: Sequence[str] | None, on_error: str,
                rejects: list[dict[str, Any]] | None, engine: str, memory: str | int | None,
                threads: int | None, batch_rows: int | None, where: Any, progress: Callable[[int, int], object] | None,
                ragged: str, block_bytes: int | None = None) -> Any:
    """The compiled reader's stream of batches for these (checked) options."""
    if where is not None:
        raise NotImplementedError("where= filters are not available in read_csv yet; filter the table afterwards")
    if on_error not in ("raise", "null"):
        raise ValueError(f'on_error must be "raise" or "null", not {on_error!r}')
    if ragged not in ("raise", "null"):
        raise ValueError(f'ragged must be "raise" or "null", not {ragged!r}')
    if rejects is not None and not isinstance(rejects, list):
        raise TypeError(f"rejects must be a list, not {type(rejects).__name__}")
    if engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(map(repr, ENGINES))}, not {engine!r}")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable as progress(rows, bytes)")
    if isinstance(skip_rows, bool) or not isinstance(skip_rows, int) or skip_rows < 0:
        raise ValueError(f"skip_rows must be an int >= 0, not {skip_rows!r}")
    if batch_rows is not None and (isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1):
        raise ValueError(f"batch_rows must be an int >= 1, not {batch_rows!r}")
    options: dict[str, Any] = {
        "delimiter": _one_byte("delimiter", delimiter),
        "quote": "" if quote is None else _one_byte("quote", quote),
        "header": bool(header),
        "column_names": _texts("column_names", column_names),
        "skip_rows": skip_rows,
        "encoding": encoding,
        "null_values": _texts("null_values", null_values),
        "true_values": _texts("true_values", true_values),
        "false_values": _texts("false_values", false_values),
        "infer": bool(infer),
        "types": {str(k): field_type_text(k, v) for k, v in (types or {}).items()},
        "rename": dict(rename or {}),
        "exclude": _texts("exclude", exclude),
        "dictionary": _texts("dictionary", dictionary),
        "auto_dictionary": bool(auto_dictionary),
        "schema": None if schema is None else _texts("schema", schema),
        "bad_values_null": on_error == "null",
        "keep_rejects": on_error == "null" and rejects is not None,
        "fill_missing_fields": ragged == "null",
        "threads": _threads(threads),
        "memory": memory,
        "batch_rows": batch_rows,
        "block_bytes": block_bytes,
        "progress": progress,
    }
    if options["delimiter"] == options["quote"]:
        raise ValueError("delimiter and quote must differ")
    if isinstance(source, (bytes, bytearray, memoryview)):
        options["data"] = bytes(source)
        size = len(options["data"])
    elif isinstance(source, (str, os.PathLike)):
        options["path"] = os.fspath(source)
        try:
            size = os.stat(options["path"]).st_size
        except OSError:
            size = 0  # the reader reports the error with the path
    else:
        raise TypeError(f"source must be a path or bytes, not {type(source).__name__}")
    if engine == "auto":
        engine = _vorpel.resolve_engine(size, memory=memory, threads=options["threads"])
    options["engine"] = engine
    return _reader.open_csv(options)


def batches_of(stream: Any, rejects: list[dict[str, Any]] | None) -> Iterator[pa.RecordBatch]:
    """The stream's batches; `rejects` gets the cells rejected so far after each."""
    try:
        while True:
            batch = stream.read_next_batch()
            if rejects is not None:
                rejects.extend(stream.take_rejects())
            if batch is None:
                return
            yield batch
    finally:
        stream.close()
