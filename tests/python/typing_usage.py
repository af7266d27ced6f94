"""Typed use of the _vorpel module.

test_typing.py checks this file with ``mypy --strict`` (so the stubs must
accept every correct call below and reject each call in ``_misuse``: a stub
that lets one through leaves an unused ``type: ignore``, which --strict
reports) and also runs ``main()`` against the real module.
"""

from __future__ import annotations

from typing import Literal, assert_type

import pyarrow as pa

import _vorpel
from _vorpel import errors

Engine = Literal["columnar", "parallel", "stream", "parallel_streaming"]


def cast_amounts(values: list[str | None]) -> list[object]:
    array = _vorpel._cast_strings(pa.table({"value": pa.array(values, pa.string())}), field_type="decimal128(2)")
    result: list[object] = array.to_pylist()
    return result


def choose_engine(size: int, budget: str | int | None) -> Engine:
    mode = _vorpel.resolve_engine(size, memory=budget, threads=2, schema=("id", "amount"), has_parallel=False)
    assert_type(mode, Engine)
    return mode


def profile_by_stage() -> dict[str, tuple[int, int]]:
    _vorpel.reset_stage_profile()
    entries = _vorpel.stage_profile()
    assert_type(entries, list[tuple[str, int, int]])
    assert_type(_vorpel.disable_stage_profile(), None)
    return {stage: (nanos, calls) for stage, nanos, calls in entries}


def first_failure(values: list[str | None], field_type: str) -> str | None:
    try:
        _vorpel._cast_strings(pa.table({"value": pa.array(values, pa.string())}), field_type)
    except _vorpel.PlanError as exc:
        return str(exc)
    return None


def exception_classes() -> tuple[type[Exception], ...]:
    return (_vorpel.ParseError, _vorpel.XmlError, errors.PlanError, _vorpel.MergeError, _vorpel.ParserError)


def build_info() -> tuple[str, list[str]]:
    assert_type(_vorpel.__build_sha__, str)
    return _vorpel.__build_sha__, list(_vorpel.__all__)


def _misuse() -> None:
    """Never called: each line is a mistake the stubs must reject."""
    _vorpel._cast_strings(pa.table({}), 5)  # type: ignore[arg-type]
    _vorpel._cast_strings(pa.table({}))  # type: ignore[call-arg]
    _vorpel.resolve_engine("10")  # type: ignore[arg-type]
    _vorpel.resolve_engine(10, memory=1.5)  # type: ignore[arg-type]
    _vorpel.resolve_engine(10, schema=[1, 2])  # type: ignore[list-item]
    _vorpel.resolve_engine(10, has_parallel=None)  # type: ignore[arg-type]
    _vorpel.resolve_engine(10, thread=2)  # type: ignore[call-arg]
    narrow: Literal["columnar"] = _vorpel.resolve_engine(10)  # type: ignore[assignment]
    count: str = _vorpel.stage_profile()[0][1]  # type: ignore[assignment]
    _vorpel.stage_profile(True)  # type: ignore[call-arg]
    _vorpel.reset_stage_profile(1)  # type: ignore[call-arg]
    _vorpel.cast_strings  # type: ignore[attr-defined]
    sha: bytes = _vorpel.__build_sha__  # type: ignore[assignment]
    del narrow, count, sha


def main() -> None:
    assert cast_amounts(["1.5", None]) is not None
    assert choose_engine(10, None) == "parallel"
    assert choose_engine(10, "64MiB") == "parallel_streaming"
    assert profile_by_stage() == {name: (0, 0) for name in ("split", "validate", "parse", "export", "merge")}
    assert first_failure(["1", "x"], "int64") is not None
    assert first_failure(["1"], "int64") is None
    assert all(issubclass(cls, Exception) for cls in exception_classes())
    sha, names = build_info()
    assert len(sha) == 40 and "_cast_strings" in names


if __name__ == "__main__":
    main()
