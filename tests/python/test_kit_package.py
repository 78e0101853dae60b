"""marrowfen_kit as a package: typed, light to import, and plugged into
pytest and fsspec by the installed distribution."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys
from pathlib import Path

import pytest
from test_stubs import _mypy

ROOT = Path(__file__).resolve().parents[2]
KIT = ROOT / "python" / "marrowfen_kit"
TYPED_USAGE = Path(__file__).resolve().parent / "kit_typed_usage.py"


@pytest.mark.slow
def test_mypy_strict_accepts_the_kit_and_code_using_it(tmp_path):
    result = _mypy("mypy", "--strict", "--strict-bytes", "--cache-dir", str(tmp_path / "cache"),
                   "--no-error-summary", str(KIT), str(TYPED_USAGE), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_runs():
    result = subprocess.run([sys.executable, str(TYPED_USAGE)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.endswith("kit typed usage ok\n")


def test_importing_the_package_imports_nothing_else():
    probe = "import sys, marrowfen_kit; print(sorted(m for m in sys.modules if m.startswith(('marrowfen', 'fsspec'))))"
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert result.stdout == "['marrowfen_kit']\n", result.stderr


def test_entry_points_are_registered():
    groups = {
        "fsspec.specs": ("marrowfen", "marrowfen_kit.fsspec:MarrowfenFileSystem"),
        "pytest11": ("marrowfen", "marrowfen_kit.pytest_plugin"),
    }
    for group, (name, value) in groups.items():
        found = [(e.name, e.value) for e in importlib.metadata.entry_points(group=group) if e.name == name]
        assert found == [(name, value)], group


@pytest.mark.parametrize("run", [1, 2])
def test_fixtures_give_each_test_its_own_filesystem(marrowfen_fs, marrowfen_term, marrowfen_path, run, request):
    assert request.config.pluginmanager.has_plugin("marrowfen")
    assert marrowfen_fs.listdir("/") == ([], []) and marrowfen_path.fs is marrowfen_fs and str(marrowfen_path) == "/"
    marrowfen_term.exec("mkdir shared")
    assert marrowfen_fs.listdir("/") == ([], ["shared"]) and (marrowfen_path / "shared").is_dir()


def test_installed_kit_is_the_source():
    import marrowfen_kit

    installed = Path(marrowfen_kit.__file__).parent
    for source in KIT.rglob("*"):
        if source.is_file() and "__pycache__" not in source.parts:
            name = source.relative_to(KIT)
            assert (installed / name).read_bytes() == source.read_bytes(), f"{name}: run make install"
