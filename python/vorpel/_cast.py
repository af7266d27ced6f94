"""vorpel.cast: the strict cast of a column of texts, for what users hold."""

from __future__ import annotations

import re
from typing import Any, Union

import pyarrow as pa

import _vorpel
from _vorpel import PlanError

from ._csv import TypeSpec, field_type_text

ArrayLike = Union[pa.Array, pa.ChunkedArray, Any]

_STRICT = re.compile(r"^strict_types: value .* in column \"value\" at row (\d+) does not parse as declared type ",
                     re.DOTALL)


def _column(values: ArrayLike) -> pa.Array | pa.ChunkedArray:
    if isinstance(values, (pa.Array, pa.ChunkedArray)):
        column = values
    elif hasattr(values, "__arrow_c_stream__"):
        column = pa.chunked_array(values)
    elif hasattr(values, "__arrow_c_array__"):
        column = pa.array(values)
    else:
        raise TypeError(f"cast takes a pyarrow Array or ChunkedArray, or an object exporting Arrow data "
                        f"(__arrow_c_array__ or __arrow_c_stream__), not {type(values).__name__}")
    if pa.types.is_string_view(column.type):
        column = column.cast(pa.string())
    if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)):
        raise TypeError(f"cast reads texts: string, large_string or string_view values, not {column.type}")
    return column


def cast(values: ArrayLike, field_type: TypeSpec) -> pa.Array:
    """The texts of `values` parsed as `field_type` ("int64", "decimal128(2)",
    "timestamp[ms,format=%d/%m/%Y]", ... or an equivalent pyarrow type): an
    array of the same length, nulls where the input is null. A text that does
    not parse raises PlanError naming its row (0-based) and value."""
    text = field_type_text("field_type", field_type) if not isinstance(field_type, str) else field_type
    column = _column(values)
    try:
        return _vorpel._cast_strings(pa.table({"value": column}), text)
    except PlanError as e:
        found = _STRICT.match(str(e))
        if found is None:
            raise
        row = int(found.group(1))
        value = column[row].as_py()
        shown = value if len(value) <= 64 else value[:64] + "…"
        error: Any = PlanError(f"value {shown!r} at row {row} (0-based) does not parse as {text}; "
                               "check the values or cast to another type")
        error.row, error.value, error.type = row, value, text
        raise error from None
