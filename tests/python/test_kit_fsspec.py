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


# What the conformance suite leaves out.


def test_found_by_protocol_and_shared_by_default():
    assert type(fsspec.filesystem("marrowfen")) is MarrowfenFileSystem
    with fsspec.open("marrowfen:///kit-test/url.txt", "w") as f:
        f.write("through a URL")
    shared = MarrowfenFileSystem()
    try:
        assert shared.cat_file("marrowfen:///kit-test/url.txt") == b"through a URL"
        assert shared == fsspec.filesystem("marrowfen") and shared.fs is MarrowfenFileSystem().fs
    finally:
        shared.rm("/kit-test", recursive=True)


def test_adapter_over_a_pyfs(fs):
    m = MarrowfenFileSystem(fs)
    assert m == MarrowfenFileSystem(fs) and m != MarrowfenFileSystem(marrowfen.PyFs())
    m.pipe_file("/a/b/f", b"0123456789")  # the parents are made
    assert fs.listdir("/a/b") == (["f"], [])
    assert (m.cat_file("/a/b/f", 2, 5), m.cat_file("/a/b/f", -3), m.cat_file("/a/b/f", 5, 2)) == (b"234", b"789", b"")
    assert m.info("/a") == {"name": "/a", "size": 0, "type": "directory"}
    assert m.ls("/a/b/f") == [{"name": "/a/b/f", "size": 10, "type": "file"}]
    assert m.ls("/a", detail=False) == ["/a/b"]
    assert (m.exists("/a/b/f"), m.isfile("/a/b/f"), m.isdir("/a/b/f"), m.isdir("/a")) == (True, True, False, True)
    assert not m.exists("/a/b/f/g") and not m.isfile("/nope")
    with m.open("/a/b/f", "rb") as f:
        assert f.size == 10 and f.read(3) == b"012"
    with pytest.raises(FileNotFoundError):
        m.info("/nope")
    with pytest.raises(NotADirectoryError):
        m.ls("/a/b/f/g")
    writer = fs.open("/a/b/f", "w")
    assert m.info("/a/b/f") == {"name": "/a/b/f", "size": None, "type": "file"}  # busy: size unknown
    with pytest.raises(BlockingIOError):
        m.rm("/a", recursive=True)
    writer.close()
    m.rm("/a", recursive=True)
    assert fs.listdir("/") == ([], [])


def test_without_auto_mkdir_and_without_transactions(fs):
    m = MarrowfenFileSystem(fs, auto_mkdir=False)
    for write in (lambda: m.pipe_file("/new/f", b"x"), lambda: m.open("/new/f", "wb")):
        with pytest.raises(FileNotFoundError):
            write()
    assert fs.listdir("/") == ([], [])
    with pytest.raises(NotImplementedError, match="no transactions"), m.transaction:
        m.pipe_file("/f", b"x")
    with pytest.raises(NotImplementedError, match="no transactions"), m.transaction:
        m.open("/f", "wb")
    assert fs.listdir("/") == ([], [])
