import contextlib
import gc
import io
import os
import subprocess
import sys

import pytest

import marrowfen
from conftest import raised, redirected_fd
from marrowfen import PyFs, Whence

IN_USE = "Resource is currently in use"
BAD_FD = "Invalid file descriptor"


def value_error(call):
    with pytest.raises(ValueError) as e:
        call()
    assert type(e.value) is ValueError
    return e.value.args


def test_open_creates_a_missing_file(fs):
    h = fs.open("/f", "w")
    assert type(h) is marrowfen.PyFileHandle
    assert fs.listdir("/") == (["f"], [])
    assert h.id() == 1
    assert fs.open(path="/g", mode="r").id() == 2  # read-only opens create too
    assert fs.listdir("/") == (["f", "g"], [])


@pytest.mark.parametrize("mode", ["x", "rr", "ww", "rwr", "R", "r+", "a", " ", "rw "])
def test_a_bad_mode_creates_nothing(fs, mode):
    assert value_error(lambda: fs.open("/f", mode)) == ("Unrecognized file mode",)
    assert fs.listdir("/") == ([], [])
    assert str(fs).endswith("next_inode_id: 1 }")


@pytest.mark.parametrize(
    "path, message",
    [
        ("/d", "The specified INode is not a file"),
        ("/d/", "The specified INode is not a file"),
        ("/", "The specified INode is not a file"),
        ("/d/..", "The specified INode is not a file"),
        ("/missing/f", "Inode not found"),
        ("/file/x", "The specified INode is not a directory"),
    ],
)
def test_open_failures(fs, path, message):
    fs.mkdir("/d")
    fs.touch("/file")
    assert value_error(lambda: fs.open(path, "rw")) == (message,)
    assert fs.listdir("/") == (["file"], ["d"])
    assert fs.listdir("/d") == ([], [])


def test_the_lock_between_handles(fs):
    r1 = fs.open("/f", "r")
    r2 = fs.open("/f", "r")
    assert value_error(lambda: fs.open("/f", "w")) == (IN_USE,)
    assert value_error(lambda: fs.open("/f", "rw")) == (IN_USE,)
    empty = fs.open("/f", "")
    assert value_error(lambda: fs.remove("/f", False)) == (IN_USE,)
    for h in (r1, r2, empty):
        h.close()
    w = fs.open("/f", "w")
    for mode in ("r", "w", ""):
        assert value_error(lambda: fs.open("/f", mode)) == (IN_USE,)
    assert value_error(lambda: fs.remove("/f", True)) == (IN_USE,)
    assert "lock: FileLock { flag: -1 }" in str(fs)
    w.close()
    assert "lock: FileLock { flag: 0 }" in str(fs)
    fs.open("/f", "w").close()


def test_write_read_and_the_diagnostic_line(fs):
    h = fs.open("/f", "rw")
    assert h.write(b"hello") == 5
    assert h.tell() == 0
    assert h.write(b"XY") == 2
    assert h.tell() == 0
    with redirected_fd(1) as out:
        with contextlib.redirect_stdout(io.StringIO()) as python_stdout:
            assert h.read(10) == b"XYllo"
        assert python_stdout.getvalue() == ""
        assert out() == "Read 5 bytes from file\n"
        assert h.tell() == 5
        assert h.read(10) == b""
        assert h.read(0) == b""
        h.seek(1, Whence.SEEK_SET)
        assert h.read(buffer=True) == b"Y"
    assert out() == "".join(f"Read {n} bytes from file\n" for n in (5, 0, 0, 1))


def test_failed_reads_print_nothing(fs):
    w = fs.open("/f", "w")
    with redirected_fd(1) as out:
        assert value_error(lambda: w.read(1)) == ("File does not support the specified operation: read",)
        w.close()
        r = fs.open("/f", "r")
        assert value_error(lambda: r.write(b"x")) == ("File does not support the specified operation: write",)
        r.close()
        assert value_error(lambda: r.read(1)) == (BAD_FD,)
        assert fs.open("/f", "r").read(1) == b""
    assert out() == "Read 0 bytes from file\n"


@pytest.mark.parametrize(
    "start, offset, whence, expected",
    [
        (1, 2, Whence.SEEK_SET, 2),
        (1, 100, Whence.SEEK_SET, 5),
        (1, 1, Whence.SEEK_CUR, 2),
        (3, 1, Whence.SEEK_CUR, 4),
        (3, 2**64 - 1, Whence.SEEK_CUR, 5),
        (1, 1, Whence.SEEK_END, 4),
        (0, 2, Whence.SEEK_END, 3),
        (0, 0, Whence.SEEK_END, 5),
        (3, 10, Whence.SEEK_END, 0),
    ],
)
def test_seek(fs, start, offset, whence, expected):
    h = fs.open("/f", "rw")
    h.write(b"hello")
    h.seek(start, Whence.SEEK_SET)
    assert h.seek(offset=offset, whence=whence) is None
    assert h.tell() == expected


def test_writes_after_seeking_to_the_end_append(fs):
    h = fs.open("/f", "rw")
    h.write(b"hello")
    h.seek(0, Whence.SEEK_END)
    h.write(b" world" * 10)
    h.seek(0, Whence.SEEK_SET)
    assert h.read(1000) == b"hello" + b" world" * 10


def test_every_operation_after_close(fs):
    h = fs.open("/f", "rw")
    assert h.close() is None
    with redirected_fd(1) as out:
        for call in (h.id, h.tell, h.close, lambda: h.read(1), lambda: h.write(b"x"),
                     lambda: h.seek(0, Whence.SEEK_SET)):
            assert value_error(call) == (BAD_FD,)
    assert out() == ""
    assert str(h).startswith("FileHandle { id: None, type: FileHandleType(READ | WRITE), fs: FileSystem { ")


@pytest.mark.parametrize(
    "mode, shown",
    [("r", "READ"), ("w", "WRITE"), ("rw", "READ | WRITE"), ("wr", "READ | WRITE"), ("", "0x0")],
)
def test_str_of_a_handle(fs, mode, shown):
    fs.mkdir("/d")
    h = fs.open("/d/f", mode)
    assert str(h) == f"FileHandle {{ id: Some(2), type: FileHandleType({shown}), fs: {fs}, offset: 0 }}"


def test_a_handle_keeps_its_filesystem_alive():
    fs = PyFs()
    h = fs.open("/f", "rw")
    h.write(b"abc")
    del fs
    gc.collect()
    assert h.read(3) == b"abc"
    assert h.id() == 1
    assert 'name: "f"' in str(h)
    h.close()
    assert 'name: "f"' in str(h)


def test_removal_succeeds_once_the_handle_object_is_gone(fs):
    h = fs.open("/f", "rw")
    assert value_error(lambda: fs.remove("/f", False)) == (IN_USE,)
    del h
    fs.remove("/f", False)
    assert fs.listdir("/") == ([], [])


def test_a_failed_recursive_removal_keeps_what_it_removed(fs):
    fs.mkdir("/d")
    fs.touch("/d/a")
    h = fs.open("/d/busy", "r")
    fs.mkdir("/d/z")
    assert value_error(lambda: fs.remove("/d", True)) == (IN_USE,)
    assert fs.listdir("/d") == (["busy"], ["z"])
    h.close()
    fs.remove("/d", True)
    assert fs.listdir("/") == ([], [])


CONVERSION = [
    (lambda h: h.write("x"), TypeError, "argument 'buffer': 'str' object cannot be converted to 'PyBytes'"),
    (lambda h: h.write(bytearray(b"x")), TypeError,
     "argument 'buffer': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda h: h.write(memoryview(b"x")), TypeError,
     "argument 'buffer': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda h: h.write(None), TypeError, "argument 'buffer': 'NoneType' object cannot be converted to 'PyBytes'"),
    (lambda h: h.read(1.0), TypeError, "argument 'buffer': 'float' object cannot be interpreted as an integer"),
    (lambda h: h.read("1"), TypeError, "argument 'buffer': 'str' object cannot be interpreted as an integer"),
    (lambda h: h.read(None), TypeError, "argument 'buffer': 'NoneType' object cannot be interpreted as an integer"),
    (lambda h: h.seek(1, 2), TypeError, "argument 'whence': 'int' object cannot be converted to 'Whence'"),
    (lambda h: h.seek(1, None), TypeError, "argument 'whence': 'NoneType' object cannot be converted to 'Whence'"),
    (lambda h: h.seek("1", 2), TypeError, "argument 'offset': 'str' object cannot be interpreted as an integer"),
    (lambda h: h.seek(0.5, Whence.SEEK_SET), TypeError,
     "argument 'offset': 'float' object cannot be interpreted as an integer"),
    (lambda h: h.read(-1), OverflowError, None),
    (lambda h: h.read(2**64), OverflowError, None),
    (lambda h: h.seek(-1, Whence.SEEK_CUR), OverflowError, None),
    (lambda h: h.seek(2**64, Whence.SEEK_SET), OverflowError, None),
]


@pytest.mark.parametrize("call, exc, message", CONVERSION)
def test_conversion_errors(fs, call, exc, message):
    h = fs.open("/f", "rw")
    h.write(b"abc")
    h.seek(1, Whence.SEEK_SET)
    with redirected_fd(1) as out:
        e = raised(lambda: call(h))
    assert type(e) is exc
    if message is not None:
        assert e.args == (message,)
    else:
        assert not str(e).startswith("argument")  # the interpreter's own error, unchanged
    assert h.tell() == 1
    assert out() == ""


class Index:
    def __index__(self):
        return 2


def test_sizes_and_offsets_accept_any_index(fs):
    h = fs.open("/f", "rw")
    h.write(b"abcdef")
    h.seek(Index(), Whence.SEEK_SET)
    assert h.read(Index()) == b"cd"
    assert h.write(type("B", (bytes,), {})(b"XY")) == 2
    h.seek(0, Whence.SEEK_SET)
    assert h.read(6) == b"abcdXY"


@pytest.mark.parametrize("size", [2**63, 2**63 + 1, 2**64 - 1])
def test_read_sizes_beyond_the_signed_word_are_an_internal_error(fs, size):
    h = fs.open("/f", "rw")
    h.write(b"abc")
    with redirected_fd(2):
        e = raised(lambda: h.read(size))
    assert type(e).__name__ == "PanicException"
    assert e.args == ("capacity overflow",)
    assert h.read(2) == b"ab"


@pytest.mark.parametrize("size", [2**40, 2**62, 2**63 - 1])
def test_a_huge_read_of_a_small_file_returns_what_is_there(fs, size):
    h = fs.open("/f", "rw")
    h.write(b"abc")
    with redirected_fd(1) as out:
        assert h.read(size) == b"abc"
        assert h.read(size) == b""
        h.seek(1, Whence.SEEK_SET)
        assert h.read(size) == b"bc"
    assert out() == "Read 3 bytes from file\nRead 0 bytes from file\nRead 2 bytes from file\n"


@pytest.mark.parametrize("target, error", [
    (os.devnull, "Bad file descriptor (os error 9)"),  # opened read-only: writes fail
    ("/dev/full", "No space left on device (os error 28)"),
])
def test_a_diagnostic_line_that_cannot_be_written_reads_nothing_and_poisons_nothing(fs, target, error):
    h = fs.open("/f", "rw")
    h.write(b"abc")
    sink = os.open(target, os.O_RDONLY if target == os.devnull else os.O_WRONLY)
    try:
        with redirected_fd(1), redirected_fd(2) as err:
            os.dup2(sink, 1)
            failures = [raised(lambda: h.read(2)) for _ in range(2)]
    finally:
        os.close(sink)
    for failed in failures:
        assert type(failed).__name__ == "PanicException"
        assert failed.args == ("failed printing to stdout: " + error,)
    assert "failed printing to stdout" in err()
    # Nothing was read and nothing is poisoned: the handle goes on where it was.
    with redirected_fd(1) as out:
        assert h.tell() == 0
        assert h.read(2) == b"ab"
        assert h.write(b"XY") == 2
        h.seek(0, Whence.SEEK_SET)
        assert h.read(10) == b"abXY"
        assert "poisoned: false" in str(h) and "poisoned: true" not in str(h)
    assert out() == "Read 2 bytes from file\nRead 4 bytes from file\n"
    h.close()
    fs.remove("/f", False)


READ_ONCE = """
import os, sys
{before}
import marrowfen
{after}
h = marrowfen.PyFs().open("/f", "rw")
h.write(b"abc")
sys.stdout.write("data:" + h.read(2).decode() + "\\n")
"""


@pytest.mark.parametrize("setting, before, after, line", [
    (None, "", "", True),
    ("1", "", "", True),
    ("", "", "", True),
    ("0", "", "", False),
    # Read once, when the module is imported.
    (None, "", "os.environ['MARROWFEN_READ_DIAGNOSTICS'] = '0'", True),
    ("0", "", "os.environ['MARROWFEN_READ_DIAGNOSTICS'] = '1'", False),
    (None, "os.environ['MARROWFEN_READ_DIAGNOSTICS'] = '0'", "", False),
])
def test_the_read_line_can_be_turned_off_at_import(setting, before, after, line):
    env = {k: v for k, v in os.environ.items() if k != "MARROWFEN_READ_DIAGNOSTICS"}
    if setting is not None:
        env["MARROWFEN_READ_DIAGNOSTICS"] = setting
    child = subprocess.run([sys.executable, "-c", READ_ONCE.format(before=before, after=after)],
                           capture_output=True, text=True, env=env, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout == ("Read 2 bytes from file\n" if line else "") + "data:ab\n"
    assert not hasattr(__import__("marrowfen"), "MARROWFEN_READ_DIAGNOSTICS")


def test_truncate_cuts_short_and_lengthens_in_place(fs):
    h = fs.open("/f", "rw")
    h.write(b"0123456789")
    h.seek(8, Whence.SEEK_SET)
    ino = h.id()
    assert h.truncate(4) is None and h.tell() == 4  # the offset follows the end back
    h.seek(0, Whence.SEEK_SET)
    assert h.read(100, quiet=True) == b"0123"
    h.truncate(6)  # lengthened with zeros; the offset stays
    assert h.tell() == 4 and h.read(100, quiet=True) == b"\0\0"
    h.truncate(0)
    assert h.tell() == 0 and h.id() == ino
    h.write(b"x" * 100)
    h.truncate(size=1)  # a file that left its inline bytes comes back to them
    h.close()
    assert fs.open("/f", "r").read(10, quiet=True) == b"x" and fs.listdir("/") == (["f"], [])


def test_truncate_failures_leave_the_file_as_it_was(fs):
    fs.open("/f", "w").write(b"abc")
    reader = fs.open("/f", "r")
    assert value_error(lambda: reader.truncate(0)) == ("File does not support the specified operation: write",)
    reader.close()
    writer = fs.open("/f", "w")
    with pytest.raises(MemoryError):
        writer.truncate(2**40)
    with pytest.raises(OverflowError):
        writer.truncate(-1)
    with pytest.raises(TypeError, match="^argument 'size'"):
        writer.truncate("1")
    with pytest.raises(TypeError, match=r"^PyFileHandle.truncate\(\) missing 1 required positional argument: 'size'$"):
        writer.truncate()
    writer.close()
    assert value_error(lambda: writer.truncate(0)) == (BAD_FD,)
    assert fs.open("/f", "r").read(10, quiet=True) == b"abc"


def test_a_quiet_read_prints_nothing_and_reads_the_same(fs):
    fs.open("/f", "w").write(b"hello")
    h = fs.open("/f", "r")
    with redirected_fd(1) as out:
        assert h.read(2, quiet=True) == b"he" and h.read(2, quiet=False) == b"ll" and h.read(9, quiet=None) == b"o"
    assert out() == "Read 2 bytes from file\nRead 1 bytes from file\n"
