"""Exception classes raised by the _vorpel extension."""

from __future__ import annotations

__all__ = ["VorpelError", "ParseError", "XmlError", "PlanError", "MergeError", "ParserError"]


class VorpelError(Exception):
    """Base class of the errors raised by _vorpel."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class ParseError(VorpelError):
    """Input bytes could not be decoded (for example invalid UTF-8)."""


class XmlError(VorpelError):
    """An XML document could not be read."""


class PlanError(VorpelError):
    """A request is invalid: a bad field type, or a value that breaks a declared type."""


class MergeError(VorpelError):
    """Partial results could not be merged into one table."""


class ParserError(VorpelError):
    """A reader failed while parsing its input."""
