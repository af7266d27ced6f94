"""The cast benchmark runs end to end on a small size: every case's result is
checked against every peer (pyarrow, and polars where it is installed). No
timing is asserted."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench" / "cast.py"
CASES = ["int64", "float64", "boolean", "date32", "timestamp[us]", "custom pattern", "decimal128(2)", "string",
         "dictionary"]


def bench_env() -> dict:
    import _vorpel

    env = dict(os.environ)
    package_root = str(Path(_vorpel.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = package_root + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    return env


@pytest.fixture(scope="module")
def quick_run():
    return subprocess.run([sys.executable, str(BENCH), "--quick"], capture_output=True, text=True, env=bench_env(),
                          timeout=600)


def test_quick_run_succeeds(quick_run):
    assert quick_run.returncode == 0, quick_run.stdout + quick_run.stderr


@pytest.mark.parametrize("case", CASES)
def test_every_case_equals_its_peers(quick_run, case):
    lines = [line for line in quick_run.stdout.splitlines() if line.startswith(case + " ")]
    assert len(lines) == 1, quick_run.stdout
    assert "equal: pyarrow" in lines[0]
    try:
        import polars  # noqa: F401
    except ImportError:
        return
    if case != "string":  # polars has no strict string-to-string cast
        assert "polars" in lines[0]


def test_a_mismatch_fails_the_run(tmp_path):
    """The equality check is live: a peer that disagrees stops the run."""
    script = tmp_path / "broken_bench.py"
    script.write_text(
        "import runpy, sys\n"
        f"sys.argv = [{str(BENCH)!r}, '--quick', '--only', 'int64']\n"
        f"sys.path.insert(0, {str(BENCH.parent)!r})\n"
        "import cast\n"
        "real = cast._pyarrow\n"
        "cast._pyarrow = lambda run: real(lambda a: run(a).fill_null(0))\n"
        "sys.exit(cast.main(sys.argv[1:]))\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=bench_env(),
                          timeout=300)
    assert done.returncode != 0
    assert "results differ from pyarrow" in done.stdout + done.stderr


@pytest.mark.parametrize("case, out_bytes", [("int64", 8 * 20_000 + 20_000 // 8), ("boolean", 2 * (20_000 // 8))])
def test_memory_of_one_case(case, out_bytes):
    """The per-case memory probe reports the output's exact buffer bytes and a growth."""
    done = subprocess.run([sys.executable, str(BENCH), "--memory-of", case, "--rows", "20000"], capture_output=True,
                          text=True, env=bench_env(), timeout=300, check=True)
    growth, reported = json.loads(done.stdout)
    assert reported == out_bytes
    assert growth is None or growth >= 0


def test_dictionary_text_families_run():
    """Every family of hash-shaped texts is cast and checked against pyarrow."""
    done = subprocess.run([sys.executable, str(BENCH), "--dictionary-texts", "--quick"], capture_output=True,
                          text=True, env=bench_env(), timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    families = [line.split()[0] for line in done.stdout.splitlines()[2:]]
    assert families == ["crafted", "prefix", "one-byte", "random"], done.stdout


SHAPES = BENCH.parent / "shapes.py"
# The first words of the shape names of each family, and whether its shapes also run in 240 batches.
SHAPE_FAMILIES = {"int64": True, "float64": True, "decimal128": False, "date32": False, "timestamp[": False,
                  "pattern": False, "dictionary": True, "string": True}


def test_shape_matrix_quick_run():
    """bench/shapes.py --quick checks every shape against its peers and prints a timed row for each
    shape family, null share (2%, 30%) and, where the family runs them, 240 batches."""
    done = subprocess.run([sys.executable, str(SHAPES), "--quick"], capture_output=True, text=True, env=bench_env(),
                          timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    rows = [line for line in done.stdout.splitlines() if " 10000 " in line]
    for family, batched in SHAPE_FAMILIES.items():
        mine = [line for line in rows if line.startswith(family)]
        assert {line.split(" 10000 ")[1].split()[0] for line in mine} == {"2%", "30%"}, (family, done.stdout)
        assert any(" x240 " in line for line in mine) == batched, (family, done.stdout)
        for line in mine:
            vorpel_ms = float(line.split(" 10000 ")[1].split()[2])
            assert vorpel_ms > 0 and "equal to " in line, line


def test_shape_matrix_mismatch_names_the_shape(tmp_path):
    """A peer that disagrees stops bench/shapes.py with the shape's name."""
    script = tmp_path / "broken_shapes.py"
    script.write_text(
        "import sys\n"
        f"sys.path.insert(0, {str(SHAPES.parent)!r})\n"
        "import shapes\n"
        "real = shapes._pyarrow\n"
        "shapes._pyarrow = lambda run: real(lambda a: run(a).fill_null(0))\n"
        "sys.exit(shapes.main(['--quick', '--only', 'int64 5-8 digits x240', '--nulls', '0.3']))\n"
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=bench_env(), timeout=300)
    assert done.returncode != 0
    assert "int64 5-8 digits x240 (10000 rows, 30% nulls): results differ from pyarrow" in done.stdout + done.stderr
