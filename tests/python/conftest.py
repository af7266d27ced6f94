"""Shared fixtures: the test-only extension and fresh interpreters."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Callable

import pytest

HERE = Path(__file__).resolve().parent

# `_vorpel_testing` (tests/python/ext) is written next to its source by
# in-tree builds; other builds name its directory in VORPEL_TESTING_EXT_DIR.
_EXT_DIRS = [d for d in (os.environ.get("VORPEL_TESTING_EXT_DIR"), str(HERE / "ext")) if d]
for _d in reversed(_EXT_DIRS):
    if _d not in sys.path:
        sys.path.insert(0, _d)


def _package_root() -> str:
    """The directory that holds the `_vorpel` package under test."""
    import _vorpel

    return str(Path(_vorpel.__file__).resolve().parent.parent)


@pytest.fixture(scope="session")
def testing_ext():
    return pytest.importorskip("_vorpel_testing", reason="the test-only extension _vorpel_testing is not built")


# Whether the interpreter runs with AddressSanitizer preloaded (make test-asan).
with open("/proc/self/maps") as _maps:
    ASAN = "libasan" in _maps.read()

RunPython = Callable[[str], subprocess.CompletedProcess]


@pytest.fixture(scope="session")
def run_python() -> RunPython:
    """Runs code in a fresh interpreter that finds the same `_vorpel` (and
    `_vorpel_testing`); returns the completed process with text output."""
    path = os.pathsep.join([_package_root(), *_EXT_DIRS])

    def run(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
        env = dict(os.environ)
        env["PYTHONPATH"] = path + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )

    return run


# ---------------------------------------------------------------- long mode
# VORPEL_LONG=1 selects the "long" hypothesis profile (ten times the examples
# of every property test) and makes the leak and thread tests run their full
# iteration counts and durations.
from hypothesis import HealthCheck, settings  # noqa: E402

LONG_MODE = os.environ.get("VORPEL_LONG") == "1"
EXAMPLES_CI = 2000
EXAMPLES_LONG = 10 * EXAMPLES_CI

settings.register_profile(
    "ci",
    max_examples=EXAMPLES_CI,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    print_blob=True,
)
settings.register_profile("long", parent=settings.get_profile("ci"), max_examples=EXAMPLES_LONG)
settings.load_profile("long" if LONG_MODE else "ci")
