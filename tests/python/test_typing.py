"""The type stubs: mypy --strict accepts correct use and rejects misuse, and
the stubs describe what the built module really has."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import _vorpel

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]


def _package_dir() -> Path:
    spec = importlib.util.find_spec("_vorpel")
    assert spec is not None and spec.origin is not None
    return Path(spec.origin).resolve().parent


STUB = _package_dir() / "__init__.pyi"


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.mark.parametrize(
    "target",
    [
        pytest.param([str(HERE / "typing_usage.py")], id="typing_usage"),
        pytest.param(["-m", "_vorpel.cli"], id="cli"),
        pytest.param([str(REPO / "examples" / "make_samples.py")], id="make_samples"),
        pytest.param([str(REPO / "examples" / "demo.py")], id="demo"),
        pytest.param(["-p", "vorpel"], id="vorpel"),
    ],
)
def test_mypy_strict(mypy_cache: Path, target: list[str]) -> None:
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(_package_dir().parent))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(REPO / "pyproject.toml"),
         "--cache-dir", str(mypy_cache), "--no-error-summary", *target],
        capture_output=True, text=True, cwd=REPO, env=env, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_usage_file_runs() -> None:
    import typing_usage

    typing_usage.main()


# --------------------------------------------------------------- stub vs runtime


def _stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def _stub_functions() -> dict[str, ast.FunctionDef]:
    return {node.name: node for node in _stub_tree().body if isinstance(node, ast.FunctionDef)}


def _stub_all() -> list[str]:
    for node in _stub_tree().body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            value = ast.literal_eval(node.value)
            assert isinstance(value, list)
            return value
    raise AssertionError("stub has no __all__")


def test_stub_all_matches_module() -> None:
    assert _stub_all() == list(_vorpel.__all__)


_NO_DEFAULT = "<required>"


@pytest.mark.parametrize("name", ["_cast_strings", "resolve_engine", "stage_profile", "reset_stage_profile", "disable_stage_profile"])
def test_stub_signature_matches_module(name: str) -> None:
    stub = _stub_functions()[name]
    padding: list[Any] = [_NO_DEFAULT] * (len(stub.args.args) - len(stub.args.defaults))
    stub_params = list(zip([a.arg for a in stub.args.args], padding + [ast.literal_eval(d) for d in stub.args.defaults]))
    runtime = inspect.signature(getattr(_vorpel, name)).parameters.values()
    runtime_params = [(p.name, _NO_DEFAULT if p.default is inspect.Parameter.empty else p.default) for p in runtime]
    assert stub_params == runtime_params


@pytest.mark.parametrize("name", ["ParseError", "XmlError", "PlanError", "MergeError", "ParserError"])
def test_stub_exceptions_are_the_module_classes(name: str) -> None:
    text = STUB.read_text(encoding="utf-8")
    assert f"from .errors import {name} as {name}" in text
    cls = getattr(_vorpel, name)
    assert cls is getattr(_vorpel.errors, name)
    assert issubclass(cls, Exception)


def test_package_is_marked_typed() -> None:
    assert (_package_dir() / "py.typed").is_file()
