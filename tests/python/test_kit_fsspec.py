"""marrowfen_kit.fsspec: fsspec's own conformance suite, and what it leaves out."""

from __future__ import annotations

import fsspec
import pytest
from fsspec.tests.abstract import (
    AbstractCopyTests,
    AbstractFixtures,
    AbstractGetTests,
    AbstractOpenTests,
    AbstractPipeTests,
    AbstractPutTests,
)

import marrowfen
from marrowfen_kit.fsspec import MarrowfenFileSystem


class MarrowfenFixtures(AbstractFixtures):
    @pytest.fixture
    def fs(self):
        return MarrowfenFileSystem(marrowfen.PyFs())

    @pytest.fixture
    def fs_join(self):
        return lambda *parts: "/".join(parts)

    @pytest.fixture
    def fs_path(self):
        return ""


class TestCopy(AbstractCopyTests, MarrowfenFixtures):
    pass


class TestGet(AbstractGetTests, MarrowfenFixtures):
    pass


class TestPut(AbstractPutTests, MarrowfenFixtures):
    pass


class TestOpen(AbstractOpenTests, MarrowfenFixtures):
    pass


class TestPipe(AbstractPipeTests, MarrowfenFixtures):
    pass
