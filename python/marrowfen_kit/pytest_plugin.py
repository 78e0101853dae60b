"""pytest fixtures for code that uses marrowfen.

Installed with the package and registered with pytest (entry point
`pytest11`), so any test can ask for them by name:

    def test_report(marrowfen_path, marrowfen_term):
        marrowfen_term.exec("mkdir out")
        assert [p.name for p in marrowfen_path.iterdir()] == ["out"]

Each test gets its own empty filesystem; nothing is shared between tests.
The three fixtures of one test share it: `marrowfen_path` and
`marrowfen_term` are over `marrowfen_fs`.
"""

from __future__ import annotations

import pytest

from marrowfen import PyFs, PyTerm
from marrowfen_kit.fs import MemPath

__all__ = ["marrowfen_fs", "marrowfen_term", "marrowfen_path"]


@pytest.fixture
def marrowfen_fs() -> PyFs:
    """A new, empty in-memory filesystem."""
    return PyFs()


@pytest.fixture
def marrowfen_term(marrowfen_fs: PyFs) -> PyTerm:
    """A terminal over `marrowfen_fs`, in its root directory."""
    return PyTerm(marrowfen_fs)


@pytest.fixture
def marrowfen_path(marrowfen_fs: PyFs) -> MemPath:
    """A `MemPath` at the root of `marrowfen_fs`."""
    return MemPath(marrowfen_fs)
