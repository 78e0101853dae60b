"""marrowfen_kit.fsspec: fsspec's own conformance suite, and what it leaves out."""

from __future__ import annotations

import datetime
import errno

import fsspec
import pytest
from fsspec.implementations.memory import MemoryFileSystem
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

pytestmark = pytest.mark.usefixtures("nothing_on_stdout")


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


def test_the_argument_is_checked():
    for wrong in ("x", 0, object(), MemoryFileSystem()):
        with pytest.raises(TypeError, match="fs must be a PyFs or None"):
            MarrowfenFileSystem(wrong)


def build_deep_tree(m):
    for path in ("/t/a/b/c/f", "/t/x", "/t/a/y", "/t/a/b/z"):
        m.pipe_file(path, b"1")
    m.makedirs("/t/e", exist_ok=True)


@pytest.mark.parametrize("maxdepth", [1, 2, 3, 4, None])
def test_rm_with_maxdepth_removes_no_deeper_than_asked(maxdepth):
    """What a depth-limited removal leaves, against fsspec's memory filesystem:
    nothing below `maxdepth` goes, and a directory it cannot empty is an error."""
    outcomes = []
    for m in (MemoryFileSystem(skip_instance_cache=True, global_store=False), MarrowfenFileSystem(marrowfen.PyFs())):
        build_deep_tree(m)
        try:
            m.rm("/t", recursive=True, maxdepth=maxdepth)
            failed = False
        except OSError as error:
            failed = True
            if isinstance(m, MarrowfenFileSystem):
                assert error.errno == errno.ENOTEMPTY
        outcomes.append((failed, sorted(p for p in m.find("/", withdirs=True) if p != "/")))
    assert outcomes[0] == outcomes[1]
    assert outcomes[1][0] == (maxdepth is not None and maxdepth < 4)
    if maxdepth == 1:
        assert "/t/a/b/c/f" in outcomes[1][1] and "/t/x" not in outcomes[1][1]


def test_created_and_modified_times(fs):
    m, twin = MarrowfenFileSystem(fs), MarrowfenFileSystem(fs)
    before = datetime.datetime.now(datetime.timezone.utc)
    m.pipe_file("/d/f", b"one")
    created = m.created("/d/f")
    assert before <= created <= m.modified("/d/f") and twin.created("/d/f") == created  # shared per PyFs
    with twin.open("/d/f", "wb") as f:
        f.write(b"two")
    assert m.created("/d/f") == created and m.modified("/d/f") >= created
    assert m.created("/d") >= before
    with pytest.raises(FileNotFoundError):
        m.modified("/nope")
    m.rm("/d", recursive=True)
    m.pipe_file("/d/f", b"again")
    assert m.created("/d/f") >= created  # a new file, a new creation time
    other = MarrowfenFileSystem(marrowfen.PyFs())
    other.pipe_file("/d/f", b"x")
    assert other.created("/d/f") >= m.created("/d/f")
