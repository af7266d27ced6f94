from collections.abc import Sequence
from typing import Literal, TypeAlias

import pyarrow

from . import errors as errors
from .errors import MergeError as MergeError
from .errors import ParseError as ParseError
from .errors import ParserError as ParserError
from .errors import PlanError as PlanError
from .errors import XmlError as XmlError

_EngineMode: TypeAlias = Literal["columnar", "parallel", "stream", "parallel_streaming"]
_StageProfileEntry: TypeAlias = tuple[str, int, int]

__all__ = [
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

__build_sha__: str

def _cast_strings(table: object, field_type: str) -> pyarrow.Array:
    """Parses every value of a one-column string table as ``field_type``.

    ``table`` is any object with ``__arrow_c_stream__`` or a
    ``pyarrow.RecordBatchReader`` whose only column is string or large_string.
    Raises PlanError for a bad field type or the first value that does not parse.
    """

def resolve_engine(
    file_size: int,
    memory: str | int | None = None,
    threads: int | None = None,
    schema: Sequence[str] | None = None,
    has_parallel: bool = True,
    has_columnar: bool = True,
) -> _EngineMode:
    """Chooses the reading engine for an input of ``file_size`` bytes."""

def stage_profile() -> list[_StageProfileEntry]:
    """``[(stage, total_nanos, calls), ...]`` for the last timed read."""

def reset_stage_profile() -> None:
    """Start stage timing for the next read (clears previous counters)."""

def disable_stage_profile() -> None:
    """Stop stage timing."""
