"""marrowfen_kit.shell is typed: mypy --strict accepts the package and code
that uses it, and that code runs."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest
from test_stubs import _mypy

from conftest import host_account_test

ROOT = Path(__file__).resolve().parents[2]
TYPED_USAGE = Path(__file__).resolve().parent / "typed_kit_shell.py"


@pytest.mark.slow
def test_mypy_strict_accepts_the_package_and_its_use(tmp_path):
    result = _mypy("mypy", "--strict", "--strict-bytes", "--warn-unreachable", "--cache-dir", str(tmp_path / "cache"),
                   "--no-error-summary", str(ROOT / "python" / "marrowfen_kit"), str(TYPED_USAGE), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@host_account_test(timeout=120)
def test_typed_usage_runs():
    result = subprocess.run([sys.executable, str(TYPED_USAGE)], capture_output=True, text=True, timeout=100)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.endswith("typed usage ok\n")
