# The compiled core of vorpel: strict string-to-typed-column casting for
# pyarrow. `import _vorpel` gives the extension module's surface: its five
# functions, the five exception classes of `_vorpel.errors`, `__build_sha__`,
# `__all__` and its (empty) docstring.

from __future__ import annotations

# pyarrow first: the extension links the libarrow that ships with it, and
# only the major version it was built against has the same ABI.
import pyarrow as _pyarrow

from . import _build_config


def _check_pyarrow_major() -> None:
    installed = _pyarrow.__version__
    try:
        major = int(str(installed).split(".", 1)[0])
    except ValueError:
        major = None
    if major != _build_config.PYARROW_MAJOR:
        raise ImportError(
            f"_vorpel was built against pyarrow {_build_config.PYARROW_VERSION} "
            f"(major version {_build_config.PYARROW_MAJOR}), but pyarrow {installed} is installed; "
            f"install pyarrow {_build_config.PYARROW_MAJOR}.x or rebuild _vorpel"
        )


_check_pyarrow_major()
del _check_pyarrow_major

from . import _vorpel as _extension  # noqa: E402
from ._vorpel import (  # noqa: E402
    MergeError,
    ParseError,
    ParserError,
    PlanError,
    XmlError,
    __build_sha__,
    _cast_strings,
    disable_stage_profile,
    reset_stage_profile,
    resolve_engine,
    stage_profile,
)

__all__ = _extension.__all__
__doc__ = _extension.__doc__
