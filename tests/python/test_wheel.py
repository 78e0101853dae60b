"""`make wheel` builds a complete manylinux wheel that installs and works on its own.

The wheel is built with the Makefile's own recipe, from the same build
directory as `make install`, so after an install it only packs; auditwheel
then gives it its manylinux tag. It is installed into a fresh virtual
environment without any index, and used from outside the source tree: the
module, the type stubs, the console command.
"""

from __future__ import annotations

import email
import os
import platform
import re
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

from conftest import PYPROJECT, check_installed_module, run_checked

ROOT = Path(__file__).resolve().parents[2]
PYTHON_TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    try:
        import scikit_build_core  # noqa: F401
    except ImportError:
        pytest.fail("scikit-build-core is missing from this environment; `make install` sets it up")
    out = tmp_path_factory.mktemp("dist")
    # A first build from a clean tree compiles everything (minutes on two cores).
    run_checked(["make", "-C", str(ROOT), "--no-print-directory", "wheel-build", f"VPY={sys.executable}",
         f"WHEEL_DIR={out}"], timeout=1800)
    wheels = list(out.glob("marrowfen-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory) -> Path:
    env_dir = tmp_path_factory.mktemp("venv")
    run_checked([sys.executable, "-m", "venv", str(env_dir)], timeout=300)
    run_checked([str(env_dir / "bin" / "python"), "-m", "pip", "install", "-q", "--no-index", str(wheel)], timeout=300)
    return env_dir


def test_wheel_contents_and_metadata(wheel):
    version = PYPROJECT["version"]
    # Only the interpreter's own tag and a manylinux one: a plain linux tag is
    # refused by package indexes.
    tag = re.fullmatch(rf"marrowfen-{re.escape(version)}-{PYTHON_TAG}-{PYTHON_TAG}-"
                       rf"manylinux_(\d+)_(\d+)_{platform.machine()}\.whl", wheel.name)
    assert tag, wheel.name
    # Nothing newer than glibc 2.34 and the C++ runtime of GCC 11
    # (GLIBCXX_3.4.29) is called for: a newer libstdc++ symbol, such as the
    # one condition_variable::wait has since GCC 12, raises the tag and
    # turns away hosts that run the rest.
    assert (int(tag[1]), int(tag[2])) <= (2, 34), wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = f"marrowfen-{version}.dist-info"
        metadata = email.message_from_string(archive.read(f"{info}/METADATA").decode("utf-8"))
        entry_points = archive.read(f"{info}/entry_points.txt").decode()
        stubs = archive.read("marrowfen-stubs/__init__.pyi")
        licence = archive.read(f"{info}/licenses/LICENSE")

    # The module needs no library beyond what manylinux hosts have, so
    # auditwheel grafted none into the wheel.
    assert [n for n in names if ".so" in n] == ["marrowfen" + sysconfig.get_config_var("EXT_SUFFIX")]
    assert not [n for n in names if n.startswith("marrowfen.libs/")]
    assert "marrowfen_shell.py" in names
    assert stubs == (ROOT / "python" / "marrowfen-stubs" / "__init__.pyi").read_bytes()
    assert "[console_scripts]\nmarrowfen-shell = marrowfen_shell:main" in entry_points

    assert metadata["Name"] == "marrowfen"
    assert metadata["Version"] == version
    assert metadata["Summary"] == PYPROJECT["description"]
    assert metadata["Requires-Python"] == ">=3.12"
    assert metadata.get_all("Classifier") == PYPROJECT["classifiers"]
    assert {"Programming Language :: Python :: 3.12", "Programming Language :: Python :: 3.13",
            "Programming Language :: C++", "Operating System :: POSIX :: Linux"} <= set(metadata.get_all("Classifier"))
    # The licence as an SPDX expression with its file, and no licence classifier beside it.
    assert metadata["License-Expression"] == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]
    assert licence == (ROOT / "LICENSE").read_bytes()
    assert not [c for c in metadata.get_all("Classifier") if c.startswith("License ::")]
    assert metadata["Author"] == "The marrowfen developers"
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().strip() == (ROOT / "README.md").read_text(encoding="utf-8").strip()


def test_installed_wheel_works_outside_the_tree(venv, tmp_path):
    site = check_installed_module(venv, tmp_path)
    assert (site / "marrowfen-stubs" / "__init__.pyi").is_file()


def test_type_checkers_find_the_installed_stubs(venv, tmp_path):
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.fail("mypy is missing from this environment; `make install` sets it up")
    sample = tmp_path / "sample.py"
    sample.write_text("from marrowfen import PyFs\n\nlisting: int = PyFs().tree('/')\n")
    # mypy looks the package up in the fresh environment only; the stubs make
    # it know that tree() returns str.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-executable", str(venv / "bin" / "python"), str(sample)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path,
    )
    assert result.returncode == 1, result.stdout + result.stderr
    assert 'Incompatible types in assignment (expression has type "str", variable has type "int")' in result.stdout


def test_console_command_runs_with_piped_input(venv, tmp_path):
    result = subprocess.run(
        [str(venv / "bin" / "marrowfen-shell")],
        input="mkdir docs\ncd docs\ntouch notes\nls\nnope\npwd\n",
        capture_output=True, text=True, timeout=60, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "notes\n/docs\n"
    assert result.stderr == "nope: command not found\n"


def test_wheel_ships_the_kit(wheel, venv, tmp_path):
    kit = ROOT / "python" / "marrowfen_kit"
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        info = f"marrowfen-{PYPROJECT['version']}.dist-info"
        entry_points = archive.read(f"{info}/entry_points.txt").decode()
        metadata = email.message_from_string(archive.read(f"{info}/METADATA").decode("utf-8"))
    # A repaired wheel also lists the directory itself.
    shipped = {n for n in names if n.startswith("marrowfen_kit/") and not n.endswith("/")}
    assert shipped == {f"marrowfen_kit/{p.relative_to(kit).as_posix()}" for p in kit.rglob("*")
                       if p.is_file() and "__pycache__" not in p.parts}
    assert "marrowfen_kit/py.typed" in shipped and not any("__pycache__" in n for n in names)
    assert "[fsspec.specs]\nmarrowfen = marrowfen_kit.fsspec:MarrowfenFileSystem" in entry_points
    assert "[pytest11]\nmarrowfen = marrowfen_kit.pytest_plugin" in entry_points
    assert metadata.get_all("Provides-Extra") == ["fsspec", "ray"]
    # The kit works from the installed wheel; its fsspec and Ray parts say what they need.
    probe = (
        "import marrowfen\nfrom marrowfen_kit.fs import MemPath\n"
        "p = MemPath(marrowfen.PyFs(), 'a.txt'); p.write_text('kit'); print(p.read_text())\n"
        "try:\n    import marrowfen_kit.fsspec\nexcept ImportError as e:\n    print(e.name)\n"
        "try:\n    import marrowfen_kit.ray\nexcept ImportError as e:\n    print(e.name)\n"
    )
    result = run_checked([venv / "bin" / "python", "-I", "-c", probe], timeout=60, cwd=tmp_path)
    assert result.stdout.splitlines() == ["kit", "fsspec", "ray"]  # the kit prints nothing of its own
