"""Every example in examples/ runs to its end.

The examples check their own results with assertions, so a run that exits 0
means the example still shows what it says. Examples whose docstring says
"Needs root" run only as root, with the host account tools present.
"""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import host_accounts_unavailable

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SCRIPTS = sorted(EXAMPLES.glob("*.py"))


def needs_root(script: Path) -> bool:
    doc = ast.get_docstring(ast.parse(script.read_text(encoding="utf-8"))) or ""
    return "Needs root" in doc


def test_the_examples_are_there():
    names = {script.name for script in SCRIPTS}
    assert {"demo.py", "fs_and_handles.py", "terminal.py", "pool_session.py"} <= names
    assert needs_root(EXAMPLES / "pool_session.py")
    assert not needs_root(EXAMPLES / "terminal.py")


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda path: path.name)
def test_example_runs(script, tmp_path, request):
    if needs_root(script):
        reason = host_accounts_unavailable()
        if reason:
            pytest.skip(reason)
        # The fixed-seed accounts are shared by every process: take them for
        # the time of the run, as the pool tests do.
        request.getfixturevalue("account_lock")
    result = subprocess.run(
        [sys.executable, str(script)],
        cwd=tmp_path,  # the examples must not depend on the working directory
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, f"{script.name} failed:\n{result.stdout}\n{result.stderr}"
    assert result.stderr == "", f"{script.name} wrote to standard error:\n{result.stderr}"
