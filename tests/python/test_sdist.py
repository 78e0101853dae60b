"""`make sdist` builds a source distribution from which the module builds alone.

The sdist is built with the Makefile's own recipe. pip then unpacks it and
builds it in a fresh virtual environment, with the build requirements that
the sdist names taken from the wheels that `make install` keeps in the venv
(no index, no file of the source tree), and the module is used from outside
the tree. That build compiles everything: minutes on two cores.
"""

from __future__ import annotations

import email
import os
import sys
import tarfile
from pathlib import Path

import pytest

from conftest import PYPROJECT, check_installed_module, run_checked

ROOT = Path(__file__).resolve().parents[2]
# What a build from source needs; all of it must be in the sdist.
BUILD_INPUTS = ("src", "python", "cmake")

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def sdist(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("sdist")
    run_checked(["make", "-C", ROOT, "--no-print-directory", "sdist-build", f"VPY={sys.executable}",
                 f"WHEEL_DIR={out}"], timeout=600)
    archives = list(out.iterdir())
    assert [a.name for a in archives] == [f"marrowfen-{PYPROJECT['version']}.tar.gz"]
    return archives[0]


def test_sdist_holds_the_sources_and_nothing_local(sdist):
    top = f"marrowfen-{PYPROJECT['version']}"
    with tarfile.open(sdist) as archive:
        names = {name.removeprefix(top + "/") for name in archive.getnames() if name != top}
        metadata = email.message_from_bytes(archive.extractfile(f"{top}/PKG-INFO").read())

    tree = {str(path.relative_to(ROOT)) for part in BUILD_INPUTS for path in (ROOT / part).rglob("*")
            if path.is_file() and "__pycache__" not in path.parts}
    tree |= {"pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md"}
    assert not tree - names, "missing from the sdist"
    assert "PKG-INFO" in names
    local = [n for n in names if n.split("/")[0] in {".venv", "build", "dist", ".git", ".ci", "bench"}
             or n.startswith(".venv-") or "__pycache__" in n]
    assert not local

    assert (metadata["Name"], metadata["Version"]) == ("marrowfen", PYPROJECT["version"])
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Requires-Python"] == PYPROJECT["requires-python"]


def test_module_builds_from_the_sdist_alone(sdist, tmp_path):
    wheelhouse = Path(sys.prefix) / "wheelhouse"
    if not wheelhouse.is_dir():
        pytest.fail(f"{wheelhouse} is missing; `make install` sets it up")
    venv = tmp_path / "venv"
    run_checked([sys.executable, "-m", "venv", venv], timeout=300)
    # pip builds in an isolated environment that it fills from the wheelhouse
    # alone: a build requirement missing there fails the install.
    env = {"CMAKE_BUILD_PARALLEL_LEVEL": "2", **os.environ}
    run_checked([venv / "bin" / "python", "-m", "pip", "install", "-q", "--no-index", "--find-links", wheelhouse,
                 sdist], timeout=1800, cwd=tmp_path, env=env)
    check_installed_module(venv, tmp_path)
