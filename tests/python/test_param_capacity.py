"""The argument matcher's capacity is checked when the module builds.

The matcher keeps a call's arguments in an array of kMaxParams entries
(src/pybinding/args.h), so a method whose parameter table is longer must not
build at all. Compiled here against the module's own headers.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
ARGS_HEADER = ROOT / "src" / "pybinding" / "args.h"
CAPACITY = int(re.search(r"kMaxParams = (\d+);", ARGS_HEADER.read_text(encoding="utf-8"))[1])


def compile_table(length: int, tmp_path: Path) -> subprocess.CompletedProcess[str]:
    compiler = shutil.which("g++") or shutil.which("c++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler on PATH")
    params = ", ".join(f'{{"p{i}"}}' for i in range(length))
    source = tmp_path / "table.cpp"
    source.write_text(
        '#include "pybinding/args.h"\n'
        f"constexpr marrowfen::py::Param kTable[] = {{{params}}};\n"
        "constexpr marrowfen::py::ParamTable kParams = kTable;\n"
        "static_assert(kParams.size() == std::size(kTable));\n",
        encoding="utf-8",
    )
    include = sysconfig.get_paths()["include"]
    return subprocess.run(
        [compiler, "-std=c++20", "-fsyntax-only", f"-I{ROOT / 'src'}", f"-I{include}", str(source)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_a_table_as_long_as_the_capacity_builds(tmp_path):
    result = compile_table(CAPACITY, tmp_path)
    assert result.returncode == 0, result.stderr


def test_a_longer_table_does_not_build(tmp_path):
    result = compile_table(CAPACITY + 1, tmp_path)
    assert result.returncode != 0
    assert "parameter table longer than kMaxParams" in result.stderr
