"""marrowfen_kit.fs: MemPath and its file objects, against what pathlib and
the built-in open do on a real filesystem."""

from __future__ import annotations

import errno
import io
import os

import pytest

import marrowfen
from conftest import raised, redirected_fd
from marrowfen_kit.fs import MemFile, MemPath

pytestmark = pytest.mark.usefixtures("nothing_on_stdout")


@pytest.fixture
def root(fs):
    return MemPath(fs)


@pytest.mark.parametrize("segments, expected", [
    ((), "/"),
    (("a/b",), "/a/b"),
    (("/a", "b", "c.txt"), "/a/b/c.txt"),
    (("/a", "/b"), "/b"),  # an absolute segment starts again, as in pathlib
    (("//a/./b//",), "/a/b"),
    (("/a/b/../../..", "c"), "/c"),
    (("/.hidden/x.",), "/.hidden/x."),
])
def test_paths_are_canonical(fs, segments, expected):
    assert str(MemPath(fs, *segments)) == expected
    assert MemPath(fs, *segments) == MemPath(fs, expected)


def test_pure_path_parts(fs, root):
    p = root / "docs" / "report.tar.gz"
    assert (p.name, p.stem, p.suffix) == ("report.tar.gz", "report.tar", ".gz")
    assert p.parent == root / "docs" and root.parent == root and root.name == ""
    assert p.parts == ("/", "docs", "report.tar.gz") and root.parts == ("/",)
    assert p.with_name("x") == MemPath(fs, "/docs/x") and (root / "a" / "..").joinpath("b", "c") == root / "b" / "c"
    assert (root / ".bashrc").suffix == "" and (root / "a.").suffix == ""
    assert repr(p) == "MemPath('/docs/report.tar.gz')"
    assert sorted([root / "b", root / "a"]) == [root / "a", root / "b"]
    assert len({root / "a", MemPath(fs, "a")}) == 1
    assert root / "a" != MemPath(marrowfen.PyFs(), "/a")  # another filesystem
    with pytest.raises(ValueError):
        root.with_name("x")
    with pytest.raises(TypeError):
        MemPath(fs, 1)
    # Never a host path: os and the built-in open refuse it.
    with pytest.raises(TypeError):
        os.fspath(p)
    with pytest.raises(TypeError):
        open(p)  # noqa: SIM115


def test_failures_are_os_errors_with_the_message(fs, root):
    (root / "d").mkdir()
    (root / "d" / "f").write_bytes(b"x")
    cases = [
        (lambda: (root / "nope").read_bytes(), FileNotFoundError, errno.ENOENT, "Inode not found", "/nope"),
        (lambda: (root / "d").mkdir(), FileExistsError, errno.EEXIST, "Resource already exists", "/d"),
        (lambda: (root / "d/f/x").read_bytes(), NotADirectoryError, errno.ENOTDIR,
         "The specified INode is not a directory", "/d/f/x"),
        (lambda: (root / "d").read_bytes(), IsADirectoryError, errno.EISDIR,
         "The specified INode is not a file", "/d"),
        (lambda: (root / "d").unlink(), IsADirectoryError, errno.EISDIR, "The specified INode is not a file", "/d"),
        (lambda: (root / "d").rmdir(), OSError, errno.ENOTEMPTY, "Directory is not empty", "/d"),
        (lambda: (root / "d/f").rmdir(), NotADirectoryError, errno.ENOTDIR,
         "The specified INode is not a directory", "/d/f"),
        (lambda: (root / "d/f").rmtree(), NotADirectoryError, errno.ENOTDIR,
         "The specified INode is not a directory", "/d/f"),
        (lambda: (root / "nope").iterdir(), FileNotFoundError, errno.ENOENT, "Inode not found", "/nope"),
        (lambda: (root / "nope/f").open("w"), FileNotFoundError, errno.ENOENT, "Inode not found", "/nope/f"),
    ]
    for call, kind, number, text, filename in cases:
        error = raised(call)
        assert type(error) is kind and error.errno == number, (text, error)
        assert (error.strerror, error.filename) == (text, filename)
    # A file held by a handle: the call is refused until the handle is closed.
    reader = fs.open("/d/f", "r")
    for call in (lambda: (root / "d/f").write_bytes(b"y"), (root / "d/f").unlink, (root / "d").rmtree):
        error = raised(call)
        assert type(error) is BlockingIOError and error.errno == errno.EAGAIN
        assert error.strerror == "Resource is currently in use"
    reader.close()
    (root / "d").rmtree()
    assert fs.listdir("/") == ([], [])
    # A failure after the file was opened leaves no handle behind, even
    # while the exception is kept.
    (root / "f").touch()
    kept = raised(lambda: (root / "f").open("r", encoding="no-such-codec"))
    (root / "f").unlink()
    assert isinstance(kept, LookupError)


def test_queries_and_listing(fs, root):
    (root / "a/b").mkdir(parents=True)
    (root / "a/f").touch()
    for path, exists, is_dir, is_file in [
        ("/", True, True, False), ("/a", True, True, False), ("/a/f", True, False, True),
        ("/a/f/x", False, False, False), ("/nope", False, False, False), ("/nope/x", False, False, False),
    ]:
        p = MemPath(fs, path)
        assert (p.exists(), p.is_dir(), p.is_file()) == (exists, is_dir, is_file), path
    assert list((root / "a").iterdir()) == [root / "a/f", root / "a/b"]  # files, then directories
    # exists() opens nothing, so a writer is not disturbed.
    writer = fs.open("/a/f", "w")
    assert (root / "a/f").exists() and (root / "a/f").is_file()
    writer.close()


def test_mkdir_and_touch(fs, root):
    with pytest.raises(FileNotFoundError):
        (root / "x/y").mkdir()
    (root / "x/y/z").mkdir(parents=True)
    (root / "x/y").mkdir(exist_ok=True)
    root.mkdir(exist_ok=True)
    (root / "x/f").touch()
    (root / "x/f").touch()
    with pytest.raises(FileExistsError):
        (root / "x/f").touch(exist_ok=False)
    with pytest.raises(FileExistsError):  # exist_ok never accepts a file
        (root / "x/f").mkdir(exist_ok=True)
    with pytest.raises(NotADirectoryError):
        (root / "x/f/g").mkdir(parents=True)
    assert fs.tree("/") == "x/\n  y/\n    z/\n  f\n"


def test_contents_are_replaced_whole(fs, root):
    p = root / "notes.txt"
    assert p.write_bytes(b"a long first version") == 20
    assert p.write_bytes(bytearray(b"short")) == 5  # files never shrink: it is made anew
    assert p.read_bytes() == b"short"
    p.write_bytes(memoryview(b"longer than short"))
    assert p.read_bytes() == b"longer than short"
    assert p.write_text("é\nline\r\nx\r", encoding="utf-8") == 10
    assert p.read_text() == "é\nline\nx\n"  # universal newlines by default
    assert p.read_text(newline="") == "é\nline\r\nx\r"
    p.write_text("a\nb", newline="\r\n")
    assert p.read_bytes() == b"a\r\nb"
    p.write_text("ü", encoding="latin-1")
    assert p.read_bytes() == b"\xfc" and p.read_text(encoding="latin-1") == "ü"
    with pytest.raises(UnicodeDecodeError):
        p.read_text()
    with pytest.raises(TypeError):
        p.write_text(b"bytes")
    p.write_bytes(b"")
    assert p.read_bytes() == b""
    # Reading a missing file creates nothing.
    with pytest.raises(FileNotFoundError):
        (root / "missing").read_text()
    with pytest.raises(FileNotFoundError):
        (root / "missing").open("r")
    assert fs.listdir("/") == (["notes.txt"], [])


def test_the_kit_reads_quietly_and_the_module_does_not(fs, root):
    (root / "f").write_bytes(b"12345\n")
    with redirected_fd(1) as out:
        assert (root / "f").read_bytes() == b"12345\n" and (root / "f").read_text() == "12345\n"
        with (root / "f").open() as text:
            assert text.readline() == "12345\n"
        with (root / "f").open("rb") as binary:
            assert binary.read(2) == b"12" and binary.readline() == b"345\n"
        assert [p.stat().st_size for p in root.glob("*")] == [6]
        handle = fs.open("/f", "r")
        assert handle.read(6) == b"12345\n"  # the module's own read keeps its line
    assert out() == "Read 6 bytes from file\n"


def test_open_modes_as_the_builtin_open(root):
    p = root / "f"
    with p.open("x") as f:
        assert isinstance(f, io.TextIOWrapper) and f.name == "/f"
        f.write("one\ntwo\n")
    with pytest.raises(FileExistsError):
        p.open("xb")
    with p.open("a") as f:
        f.write("three\n")
    with p.open("rb") as f:
        assert isinstance(f, MemFile) and isinstance(f, io.BufferedIOBase)
        assert f.mode == "rb" and f.readable() and not f.writable()
        assert f.readline() == b"one\n" and f.tell() == 4
        assert list(f) == [b"two\n", b"three\n"] and f.read() == b""
        with pytest.raises(io.UnsupportedOperation):
            f.write(b"x")
    with p.open("r+b") as f:
        f.seek(4)
        f.write(b"TWO")
        assert f.read(1) == b"\n"
        f.seek(-2, io.SEEK_END)
        assert f.read() == b"e\n"
        with pytest.raises(ValueError):
            f.seek(-100, io.SEEK_CUR)
    assert p.read_text() == "one\nTWO\nthree\n"
    with p.open("w+b") as f:  # emptied at once
        assert f.read() == b""
        f.seek(3)
        f.write(b"x")  # past the end: the gap reads as zeros
        f.seek(0)
        assert f.read() == b"\0\0\0x"
        assert f.truncate(6) == 6 and f.tell() == 4
        assert f.truncate(2) == 2 and f.tell() == 4  # the position stays, past the end
        f.write(b"y")
        f.seek(0)
        assert f.read() == b"\0\0\0\0y"
        assert f.truncate(2) == 2
    assert p.read_bytes() == b"\0\0"
    with p.open("ab") as f:  # appends, wherever the position is
        f.seek(0)
        f.write(b"!")
    assert p.read_bytes() == b"\0\0!"
    for bad in ("rw", "rr", "q", "rbt", ""):
        with pytest.raises(ValueError):
            p.open(bad)
    with pytest.raises(ValueError):
        p.open("rb", encoding="utf-8")
    with MemFile(p, "w") as f:  # the constructor opens as open() does; "b" may be left out
        f.write(b"raw")
    assert p.read_bytes() == b"raw"
    with pytest.raises(ValueError):
        MemFile(p, "rt")


def test_lines_longer_than_a_read(root):
    lines = [b"a" * 3000 + b"\n", b"\n", b"b" * 5 + b"\n", b"tail"]
    (root / "f").write_bytes(b"".join(lines))
    with (root / "f").open("rb") as f:
        assert f.readline(10) == b"a" * 10
        assert f.readline() == lines[0][10:]
        assert f.readlines() == lines[1:]
    with (root / "f").open() as f:
        assert f.read().splitlines(keepends=True) == [line.decode() for line in lines]


def test_the_rest_of_the_binary_file_protocol(root):
    p = root / "f"
    with p.open("w+b") as f:
        f.writelines([b"a\n", bytearray(b"b\n"), memoryview(b"c\n")])
        f.seek(0)
        buffer = bytearray(4)
        assert f.readinto(buffer) == 4 and buffer == b"a\nb\n"
        f.seek(0)
        assert f.readlines(3) == [b"a\n", b"b\n"]  # stops once the hint is reached
        assert not f.isatty() and f.seekable() and f.flush() is None
        for refused in (f.fileno, f.detach):
            with pytest.raises(io.UnsupportedOperation):
                refused()
    with pytest.raises(ValueError, match="closed file"):
        f.readable()
    with p.open("r", newline="") as text:  # io.TextIOWrapper over a MemFile
        assert text.readline() == "a\n" and text.tell() == 2 and text.read() == "b\nc\n"


def test_file_holds_the_lock_until_closed(fs, root):
    p = root / "f"
    with p.open("wb") as f:
        with pytest.raises(BlockingIOError):
            p.read_bytes()
        assert f.write(b"data") == 4
    assert f.closed
    with pytest.raises(ValueError, match="closed file"):
        f.tell()
    with pytest.raises(ValueError, match="closed file"):
        f.write(b"x")
    reader = p.open("rb")
    with pytest.raises(BlockingIOError):
        p.open("a")
    del reader  # dropped without close: the finaliser closes it
    p.unlink()
    p.unlink(missing_ok=True)
    with pytest.raises(FileNotFoundError):
        p.unlink()


def test_shorter_contents_keep_the_inode_and_moves_make_new_ones(fs, root):
    f = root / "f"
    f.write_bytes(b"a long first content")
    ino = f.stat().st_ino
    f.write_text("short")
    with f.open("w") as text:
        text.write("s")
    assert f.read_text() == "s" and f.stat().st_ino == ino  # in place
    moved = f.rename("/g")
    assert moved == root / "g" and moved.read_text() == "s" and moved.stat().st_ino != ino
    (root / "d").mkdir()
    assert (root / "d").stat().st_ino == 0  # the module shows no id for a directory


def snapshot(root):
    return [(str(p), p.read_bytes() if p.is_file() else None) for p in sorted(root.rglob("*"))]


def test_a_move_that_cannot_finish_changes_nothing(fs, root):
    (root / "src/sub").mkdir(parents=True)
    (root / "src/sub/a").write_bytes(b"a")
    (root / "src/b").write_bytes(b"b")
    (root / "dst").mkdir()
    before = snapshot(root)
    reader = fs.open("/src/sub/a", "r")  # an open handle: the file cannot go
    with pytest.raises(BlockingIOError):
        (root / "src").rename(root / "dst")
    reader.close()
    assert snapshot(root) == before
    deep = root.joinpath(*"0123456789" * 6, "a", "b")  # 62 levels: the tree's 3 more would pass 64
    deep.mkdir(parents=True)
    with pytest.raises(OSError) as too_deep:
        (root / "src").rename(deep / "x")
    assert too_deep.value.errno == errno.ENAMETOOLONG
    (root / "0").rmtree()
    assert snapshot(root) == before
    (root / "src").replace(root / "dst")
    assert [path for path, _ in snapshot(root)] == ["/dst", "/dst/b", "/dst/sub", "/dst/sub/a"]
    assert (root / "dst/sub/a").read_bytes() == b"a"
