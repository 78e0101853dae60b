"""pytest fixtures for code that uses marrowfen.

Installed with the package and registered with pytest (entry point
`pytest11`), so any test can ask for them by name:

    def test_report(marrowfen_fs, marrowfen_term):
        marrowfen_term.exec("mkdir out")
        assert marrowfen_fs.listdir("/") == ([], ["out"])

Each test gets its own empty filesystem; nothing is shared between tests.
"""

from __future__ import annotations

import pytest

from marrowfen import PyFs, PyTerm

__all__ = ["marrowfen_fs", "marrowfen_term"]


@pytest.fixture
def marrowfen_fs() -> PyFs:
    """A new, empty in-memory filesystem."""
    return PyFs()


@pytest.fixture
def marrowfen_term(marrowfen_fs: PyFs) -> PyTerm:
    """A terminal over `marrowfen_fs`, in its root directory."""
    return PyTerm(marrowfen_fs)
