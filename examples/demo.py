"""The Python API on the sample order export: read the CSV as text with
pyarrow, ask vorpel which engine suits the file, cast the columns strictly,
and show what a bad value looks like.

    PYTHONPATH=python .venv/bin/python examples/demo.py
"""

from __future__ import annotations

import os
from pathlib import Path

import pyarrow as pa
import pyarrow.csv as pacsv

import _vorpel

HERE = Path(__file__).resolve().parent
TYPES = {
    "id": "int64",
    "order_date": "date32",
    "shipped_at": "timestamp[s,format=%d/%m/%Y %H:%M:%S]",
    "amount": "decimal128(2)",
    "discount": "float64",
    "paid": "boolean",
    "region": "dictionary",
}


def read_text_columns(path: Path) -> pa.Table:
    with pacsv.open_csv(path, parse_options=pacsv.ParseOptions(newlines_in_values=True)) as reader:
        names = reader.schema.names
    convert = pacsv.ConvertOptions(
        column_types={name: pa.string() for name in names}, null_values=[""], strings_can_be_null=True
    )
    return pacsv.read_csv(
        path, parse_options=pacsv.ParseOptions(newlines_in_values=True), convert_options=convert
    )


def cast(table: pa.Table) -> pa.Table:
    for name, field_type in TYPES.items():
        index = table.schema.get_field_index(name)
        typed = _vorpel._cast_strings(table.select([index]), field_type)
        table = table.set_column(index, pa.field(name, typed.type), typed)
    return table


def main() -> None:
    good = HERE / "sales.csv"
    print(f"engine for {good.name}: {_vorpel.resolve_engine(os.path.getsize(good))}")
    typed = cast(read_text_columns(good))
    print(typed.schema)
    print(typed.slice(0, 3).to_pylist())

    bad = HERE / "sales_bad.csv"
    try:
        cast(read_text_columns(bad))
    except _vorpel.PlanError as exc:
        print(f"{bad.name}: PlanError: {exc}")
    else:
        raise SystemExit(f"{bad.name} was expected to fail")


if __name__ == "__main__":
    main()
