"""The type information: the typed example passes `mypy --strict` and runs, and stubtest finds the
stubs and the package in agreement (no allowlist)."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "tests", "typed_example.py")


def run(*args):
    # From the project root, so that mypy reads the project's configuration (pyproject.toml).
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    return subprocess.run([sys.executable, *args], cwd=ROOT, env=env, capture_output=True, text=True)


def test_typed_example_passes_mypy_strict_and_runs():
    checked = run("-m", "mypy", "--strict", EXAMPLE)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    ran = run(EXAMPLE)
    assert ran.returncode == 0, ran.stderr
    # 38 columns, CLEAR's 7 extra columns and HOTA's 57 per-alpha counts
    assert ran.stdout.splitlines() == ["['clear', 'hota', 'identity']", "(3, 102) 3"]


def test_stubtest_finds_no_difference():
    checked = run("-m", "mypy.stubtest", "vestrim", "--mypy-config-file", "pyproject.toml")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "Success: no issues found" in checked.stdout
