"""The in-memory filesystem the way Python code uses files.

`MemPath(fs, "/a/b")` is a pathlib-style path on a `PyFs`: `/`, `name`,
`parent`, `exists()`, `read_text()`, `mkdir(parents=True)`, `open("w")` and
the rest, with the failures Python code expects: `FileNotFoundError`,
`FileExistsError`, `NotADirectoryError`, `IsADirectoryError`,
`OSError(ENOTEMPTY)`, each carrying marrowfen's own message as `strerror`
and the path as `filename`. A file held by another handle (open for writing,
or open at all when you want to write or remove it) raises `BlockingIOError`
(EAGAIN): the same call succeeds once that handle is closed, as a
non-blocking lock attempt would.

Paths are always absolute and kept in a canonical form: "/" and "\\" both
separate, "." and empty components vanish, ".." goes up one level (at the
root it stays there), and a relative path counts from the root. A MemPath is
never a host path: it has no `__fspath__`, so `os` and the built-in `open`
refuse it instead of touching the host.

Text is UTF-8 unless an encoding is given. Reading text translates "\\r\\n"
and "\\r" to "\\n" unless `newline` says otherwise, as the built-in `open` does.

Every read through a file handle prints the module's line "Read N bytes
from file" on file descriptor 1; `read_bytes()`, `read_text()` and reads of
the file objects do one such read per call (none for an empty file).
`exists()` looks the path up without opening anything; `is_dir()` and
`is_file()` list the path when it is a directory.
"""

from __future__ import annotations

import errno
import functools
import io
import operator
from collections.abc import Buffer, Iterator
from typing import Final, Literal, overload

from marrowfen import PyFileHandle, PyFs, Whence

from marrowfen_kit._errors import ALREADY_EXISTS, NOT_A_DIRECTORY, NOT_A_FILE, NOT_FOUND, os_error

__all__ = ["MemPath", "MemFile"]

_SET: Final = Whence.SEEK_SET
_CUR: Final = Whence.SEEK_CUR
_END: Final = Whence.SEEK_END

TextMode = Literal[
    "r", "w", "x", "a", "r+", "w+", "x+", "a+",
    "rt", "wt", "xt", "at", "r+t", "w+t", "x+t", "a+t", "rt+", "wt+", "xt+", "at+",
]  # fmt: skip
BinaryMode = Literal[
    "rb", "wb", "xb", "ab", "r+b", "w+b", "x+b", "a+b", "rb+", "wb+", "xb+", "ab+",
]  # fmt: skip


def _normalise(path: str) -> str:
    """The canonical absolute form of `path`."""
    if "\\" in path:
        path = path.replace("\\", "/")
    if path[:1] == "/" and "//" not in path and "/." not in path and (path == "/" or path[-1] != "/"):
        return path
    parts: list[str] = []
    for part in path.split("/"):
        if part == ".." and parts:
            parts.pop()
        elif part not in ("", ".", ".."):
            parts.append(part)
    return "/" + "/".join(parts)


def _joined(base: str, other: str) -> str:
    if other[:1] in ("/", "\\"):
        return _normalise(other)
    if other not in ("", ".", "..") and "/" not in other and "\\" not in other:
        return base + other if base == "/" else f"{base}/{other}"
    return _normalise(f"{base}/{other}")


def _parse_mode(mode: str) -> tuple[str, bool, bool]:
    """The kind ("r", "w", "x" or "a"), whether "+" is in it, whether it is binary."""
    if not isinstance(mode, str):
        raise TypeError(f"mode must be str, not {type(mode).__name__}")
    kinds = [c for c in mode if c in "rwxa"]
    if (
        len(set(mode)) != len(mode)
        or not set(mode) <= set("rwxab+t")
        or len(kinds) != 1
        or ("b" in mode and "t" in mode)
    ):
        raise ValueError(f"invalid mode: {mode!r}")
    return kinds[0], "+" in mode, "b" in mode


@functools.total_ordering
class MemPath:
    """A path on a `PyFs`, in the manner of `pathlib.Path`.

    `MemPath(fs)` is the root; `MemPath(fs, "/a", "b")` is "/a/b" (a segment
    that starts with a separator starts again from the root, as in pathlib).
    Paths are compared and hashed by filesystem object and path text.
    """

    __slots__ = ("_fs", "_path")
    _fs: PyFs
    _path: str

    def __init__(self, fs: PyFs, *segments: str) -> None:
        if not isinstance(fs, PyFs):
            raise TypeError(f"fs must be a PyFs, not {type(fs).__name__}")
        path = "/"
        for segment in segments:
            if not isinstance(segment, str):
                raise TypeError(f"path segments must be str, not {type(segment).__name__}")
            path = _joined(path, segment)
        self._fs = fs
        self._path = path

    @classmethod
    def _made(cls, fs: PyFs, path: str) -> MemPath:
        """A MemPath of a path already in canonical form."""
        made = object.__new__(cls)
        made._fs = fs
        made._path = path
        return made

    # -- the pure part: names and joins, no filesystem access ---------------

    @property
    def fs(self) -> PyFs:
        """The filesystem the path is on."""
        return self._fs

    @property
    def name(self) -> str:
        """The last component ("" for the root)."""
        return self._path[self._path.rfind("/") + 1 :]

    @property
    def suffix(self) -> str:
        """The extension of the name, dot included ("" if it has none)."""
        name = self.name
        dot = name.rfind(".")
        return name[dot:] if 0 < dot < len(name) - 1 else ""

    @property
    def stem(self) -> str:
        """The name without its suffix."""
        name, suffix = self.name, self.suffix
        return name[: len(name) - len(suffix)] if suffix else name

    @property
    def parent(self) -> MemPath:
        """The directory part of the path (the root is its own parent)."""
        cut = self._path.rfind("/")
        return MemPath._made(self._fs, self._path[:cut] or "/")

    @property
    def parts(self) -> tuple[str, ...]:
        """("/", then each component), as `pathlib` gives them."""
        return ("/", *self._path.split("/")[1:]) if self._path != "/" else ("/",)

    def joinpath(self, *segments: str) -> MemPath:
        """This path followed by each segment in turn."""
        return MemPath(self._fs, self._path, *segments)

    def __truediv__(self, segment: str) -> MemPath:
        if not isinstance(segment, str):
            return NotImplemented
        return MemPath._made(self._fs, _joined(self._path, segment))

    def with_name(self, name: str) -> MemPath:
        """The same path with its last component replaced by `name`."""
        if self._path == "/":
            raise ValueError("the root has no name to replace")
        if name in ("", ".", "..") or "/" in name or "\\" in name:
            raise ValueError(f"invalid name {name!r}")
        return self.parent / name

    def __str__(self) -> str:
        return self._path

    def __repr__(self) -> str:
        return f"MemPath({self._path!r})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, MemPath):
            return NotImplemented
        return self._fs is other._fs and self._path == other._path

    def __lt__(self, other: MemPath) -> bool:
        if not isinstance(other, MemPath) or self._fs is not other._fs:
            return NotImplemented
        return self._path < other._path

    def __hash__(self) -> int:
        return hash((id(self._fs), self._path))

    # -- queries --------------------------------------------------------------

    def exists(self) -> bool:
        """Whether something (a file or a directory) is at the path."""
        return _exists(self._fs, self._path)

    def is_dir(self) -> bool:
        """Whether the path is a directory."""
        return _is_dir(self._fs, self._path)

    def is_file(self) -> bool:
        """Whether the path is a file."""
        return _is_file(self._fs, self._path)

    def iterdir(self) -> Iterator[MemPath]:
        """The entries of the directory: its files, then its subdirectories,
        each in creation order. The directory is listed at the call."""
        fs, made = self._fs, MemPath._made
        return iter([made(fs, path) for path in _children(fs, self._path)])

    # -- changes --------------------------------------------------------------

    def mkdir(self, *, parents: bool = False, exist_ok: bool = False) -> None:
        """Create the directory. `parents` creates missing parents too;
        `exist_ok` accepts an existing directory (never an existing file)."""
        _make_dir(self._fs, self._path, parents, exist_ok)

    def touch(self, *, exist_ok: bool = True) -> None:
        """Create an empty file. An existing entry is left as it is, or with
        `exist_ok=False` raises FileExistsError."""
        try:
            self._fs.touch(self._path)
        except ValueError as error:
            if error.args[0] == ALREADY_EXISTS and exist_ok and _exists(self._fs, self._path):
                return
            raise os_error(error, self._path) from None

    def read_bytes(self) -> bytes:
        """The whole content of the file."""
        return _read_bytes(self._fs, self._path)

    def write_bytes(self, data: Buffer) -> int:
        """Make `data` the whole content of the file, creating it if it is
        missing; returns the number of bytes written."""
        return _write_bytes(self._fs, self._path, data)

    def read_text(self, encoding: str | None = None, errors: str | None = None, newline: str | None = None) -> str:
        """The content of the file decoded (UTF-8 by default). With `newline`
        None, "\\r\\n" and "\\r" read as "\\n"."""
        _check_newline(newline)
        text = _read_bytes(self._fs, self._path).decode(encoding or "utf-8", errors or "strict")
        if newline is None and "\r" in text:
            text = text.replace("\r\n", "\n").replace("\r", "\n")
        return text

    def write_text(
        self, data: str, encoding: str | None = None, errors: str | None = None, newline: str | None = None
    ) -> int:
        """Make the encoded `data` the whole content of the file; returns the
        number of characters written. `newline` "\\r" or "\\r\\n" replaces each
        "\\n" with it."""
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        _check_newline(newline)
        count = len(data)
        if newline in ("\r", "\r\n"):
            data = data.replace("\n", newline)
        _write_bytes(self._fs, self._path, data.encode(encoding or "utf-8", errors or "strict"))
        return count

    def unlink(self, missing_ok: bool = False) -> None:
        """Remove the file. A directory raises IsADirectoryError; with
        `missing_ok` a missing file is no error."""
        try:
            _unlink(self._fs, self._path)
        except FileNotFoundError:
            if not missing_ok:
                raise

    def rmdir(self) -> None:
        """Remove the directory, which must be empty."""
        _remove_dir(self._fs, self._path, False)

    def rmtree(self) -> None:
        """Remove the directory and everything below it. A file below that is
        open stops the removal with BlockingIOError; what was removed before
        it stays removed."""
        _remove_dir(self._fs, self._path, True)

    @overload
    def open(
        self, mode: TextMode = "r", encoding: str | None = None, errors: str | None = None, newline: str | None = None
    ) -> io.TextIOWrapper: ...
    @overload
    def open(self, mode: BinaryMode, encoding: None = None, errors: None = None, newline: None = None) -> MemFile: ...
    @overload
    def open(
        self, mode: str, encoding: str | None = None, errors: str | None = None, newline: str | None = None
    ) -> io.TextIOWrapper | MemFile: ...

    def open(
        self, mode: str = "r", encoding: str | None = None, errors: str | None = None, newline: str | None = None
    ) -> io.TextIOWrapper | MemFile:
        """Open the file, as the built-in `open` would: "r" (the file must
        exist), "w" (created or emptied), "x" (must not exist), "a" (writes go
        to the end), each with "+" for reading and writing and "b" for a
        binary `MemFile` instead of a text file. Use it in a `with` block:
        the file's handle holds the file's lock until it is closed."""
        kind, plus, binary = _parse_mode(mode)
        if binary:
            if encoding is not None or errors is not None or newline is not None:
                raise ValueError("binary mode takes no encoding, errors or newline argument")
            return MemFile(self, mode)
        _check_newline(newline)
        file = MemFile(self, mode.replace("t", "") + "b")
        try:
            return io.TextIOWrapper(file, encoding or "utf-8", errors, newline)
        except BaseException:
            file.close()
            raise


# -- the operations, on a filesystem and a canonical path ------------------
# MemPath and the fsspec adapter share them.


def _exists(fs: PyFs, path: str) -> bool:
    try:
        # The parent of an existing entry is a directory, which no handle can
        # be opened on: looking the path up this way opens nothing.
        fs.open(path + "/../.", "").close()
    except ValueError as error:
        text = error.args[0]
        if text == NOT_A_FILE:
            return True
        if text in (NOT_FOUND, NOT_A_DIRECTORY):
            return False
        raise os_error(error, path) from None
    return True


def _is_dir(fs: PyFs, path: str) -> bool:
    try:
        fs.listdir(path)
    except ValueError as error:
        if error.args[0] in (NOT_FOUND, NOT_A_DIRECTORY):
            return False
        raise os_error(error, path) from None
    return True


def _is_file(fs: PyFs, path: str) -> bool:
    try:
        fs.listdir(path)
    except ValueError as error:
        text = error.args[0]
        if text == NOT_A_DIRECTORY:
            # The path is a file, or a component before its end is.
            return _exists(fs, path)
        if text == NOT_FOUND:
            return False
        raise os_error(error, path) from None
    return False


def _children(fs: PyFs, path: str) -> list[str]:
    """The paths of the entries of a directory: files, then directories."""
    try:
        files, dirs = fs.listdir(path)
    except ValueError as error:
        raise os_error(error, path) from None
    prefix = "/" if path == "/" else path + "/"
    return [prefix + name for name in (*files, *dirs)]


def _make_dir(fs: PyFs, path: str, parents: bool, exist_ok: bool) -> None:
    try:
        fs.mkdir(path)
    except ValueError as error:
        text = error.args[0]
        if text == NOT_FOUND and parents:
            _make_dir(fs, path[: path.rfind("/")] or "/", True, True)
            _make_dir(fs, path, False, exist_ok)
            return
        if text == ALREADY_EXISTS and exist_ok and _is_dir(fs, path):
            return
        raise os_error(error, path) from None


def _read_bytes(fs: PyFs, path: str, start: int | None = None, end: int | None = None) -> bytes:
    """The file's content, or the slice [start:end] of it."""
    try:
        # "/." names the file itself, so a missing file is not created.
        handle = fs.open(path + "/.", "r")
        try:
            handle.seek(0, _END)
            size = handle.tell()
            if start is not None or end is not None:
                start, end, _ = slice(start, end).indices(size)
            else:
                start, end = 0, size
            if end <= start:
                return b""
            handle.seek(start, _SET)
            return handle.read(end - start)
        finally:
            handle.close()
    except ValueError as error:
        raise os_error(error, path) from None


def _write_bytes(fs: PyFs, path: str, data: Buffer) -> int:
    """Makes `data` the whole content of the file; creates a missing file."""
    if type(data) is not bytes:
        data = bytes(memoryview(data))
    try:
        handle = fs.open(path, "w")
        try:
            handle.seek(0, _END)
            shrinks = handle.tell() > len(data)
            if not shrinks:
                handle.seek(0, _SET)
                handle.write(data)
        finally:
            handle.close()
        if shrinks:
            # Files never shrink: a shorter content takes a new file.
            fs.remove(path, False)
            handle = fs.open(path, "w")
            try:
                handle.write(data)
            finally:
                handle.close()
    except ValueError as error:
        raise os_error(error, path) from None
    return len(data)


def _unlink(fs: PyFs, path: str) -> None:
    """Removes a file, never a directory."""
    try:
        fs.listdir(path)
    except ValueError as error:
        if error.args[0] != NOT_A_DIRECTORY:
            raise os_error(error, path) from None
    else:
        raise os_error(ValueError(NOT_A_FILE), path)
    try:
        fs.remove(path, False)
    except ValueError as error:
        raise os_error(error, path) from None


def _remove_dir(fs: PyFs, path: str, recursive: bool) -> None:
    """Removes a directory (never a file), with its content if `recursive`."""
    try:
        fs.listdir(path)  # refuses a file
        fs.remove(path, recursive)
    except ValueError as error:
        raise os_error(error, path) from None


def _open_handle(fs: PyFs, path: str, kind: str, plus: bool) -> tuple[PyFileHandle, int]:
    """A handle on the file for a mode of the built-in `open`, and the file's
    length. The handle's offset is 0, or the length for kind "a"."""
    access = "rw" if plus else ("r" if kind == "r" else "w")
    try:
        if kind == "x":
            fs.touch(path)
        # "/." names the file itself and never creates it.
        handle = fs.open(path + "/." if kind in "rx" else path, access)
        try:
            handle.seek(0, _END)
            length = handle.tell()
            if kind != "a":
                handle.seek(0, _SET)
        except BaseException:
            handle.close()
            raise
        if kind == "w" and length:
            # Emptying a file means making it anew: files never shrink.
            handle.close()
            fs.remove(path, False)
            handle = fs.open(path, access)
            length = 0
        return handle, length
    except ValueError as error:
        raise os_error(error, path) from None


def _check_newline(newline: str | None) -> None:
    if newline not in (None, "", "\n", "\r", "\r\n"):
        raise ValueError(f"illegal newline value: {newline!r}")


class MemFile(io.BufferedIOBase):
    """A binary file of a `PyFs`: what `MemPath.open` gives in a binary mode.

    It reads and writes straight through its `PyFileHandle`, which holds the
    file's lock until `close()`: readers share the file, a writer has it
    alone. Seeking past the end is allowed; a write there fills the gap with
    zero bytes. Files never shrink, so `truncate()` can only lengthen one.
    """

    name: str
    mode: str
    _handle: PyFileHandle

    def __init__(self, path: MemPath, mode: str = "rb") -> None:
        """Open the file at `path` as the built-in `open` would in the binary
        `mode` ("b" may be left out)."""
        kind, plus, _ = _parse_mode(mode)
        if "t" in mode:
            raise ValueError("MemFile is binary; MemPath.open gives text files")
        self.name = str(path)
        self._handle, self._length = _open_handle(path.fs, self.name, kind, plus)
        self.mode = kind + "b" + ("+" if plus else "")
        self._readable = kind == "r" or plus
        self._writable = kind != "r" or plus
        self._append = kind == "a"
        # Python's position; the handle's offset is min(position, length).
        self._position = self._length if self._append else 0

    def __repr__(self) -> str:
        return f"<MemFile name={self.name!r} mode={self.mode!r}>"

    def _check(self, allowed: bool, what: str) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        if not allowed:
            raise io.UnsupportedOperation(f"File not open for {what}")

    def readable(self) -> bool:
        self._check(True, "")
        return self._readable

    def writable(self) -> bool:
        self._check(True, "")
        return self._writable

    def seekable(self) -> bool:
        self._check(True, "")
        return True

    def read(self, size: int | None = -1, /) -> bytes:
        self._check(self._readable, "reading")
        available = self._length - self._position
        if size is None or size < 0 or size > available:
            size = available
        if size <= 0:
            return b""
        try:
            data = self._handle.read(size)
        except ValueError as error:
            raise os_error(error, self.name) from None
        self._position += len(data)
        return data

    def read1(self, size: int = -1, /) -> bytes:
        return self.read(size)

    def readline(self, size: int | None = -1, /) -> bytes:
        self._check(self._readable, "reading")
        limit = self._length - self._position
        if size is not None and 0 <= size < limit:
            limit = size
        line, chunk = bytearray(), 1024
        try:
            while len(line) < limit:
                data = self._handle.read(min(chunk, limit - len(line)))
                end = data.find(b"\n")
                if end >= 0:
                    line += data[: end + 1]
                    break
                line += data
                chunk *= 2
            self._position += len(line)
            # Give back what was read past the end of the line.
            self._handle.seek(self._position, _SET)
        except ValueError as error:
            raise os_error(error, self.name) from None
        return bytes(line)

    def write(self, data: Buffer, /) -> int:
        self._check(self._writable, "writing")
        if type(data) is not bytes:
            data = bytes(memoryview(data))
        count = len(data)
        if not count:
            return 0
        handle = self._handle
        try:
            if self._append and self._position != self._length:
                handle.seek(0, _END)
                self._position = self._length
            if self._position > self._length:
                data = bytes(self._position - self._length) + data  # the gap reads as zeros
            handle.write(data)
            handle.seek(len(data), _CUR)  # a handle's write leaves its offset where it was
        except ValueError as error:
            raise os_error(error, self.name) from None
        self._position += count
        if self._position > self._length:
            self._length = self._position
        return count

    def seek(self, offset: int, whence: int = 0, /) -> int:
        self._check(True, "")
        offset = operator.index(offset)
        if whence == io.SEEK_SET:
            position = offset
        elif whence == io.SEEK_CUR:
            position = self._position + offset
        elif whence == io.SEEK_END:
            position = self._length + offset
        else:
            raise ValueError(f"invalid whence ({whence!r}, should be 0, 1 or 2)")
        if position < 0:
            raise ValueError(f"negative seek position {position}")
        try:
            self._handle.seek(min(position, self._length), _SET)
        except ValueError as error:
            raise os_error(error, self.name) from None
        self._position = position
        return position

    def tell(self) -> int:
        self._check(True, "")
        return self._position

    def truncate(self, size: int | None = None, /) -> int:
        self._check(self._writable, "writing")
        size = self._position if size is None else operator.index(size)
        if size < 0:
            raise ValueError(f"negative size value {size}")
        if size < self._length:
            raise io.UnsupportedOperation(
                errno.EOPNOTSUPP, "marrowfen files never shrink; open the file with 'w' to empty it", self.name
            )
        if size > self._length:
            handle = self._handle
            try:
                handle.seek(0, _END)
                handle.write(bytes(size - self._length))
                handle.seek(min(self._position, size), _SET)
            except ValueError as error:
                raise os_error(error, self.name) from None
            self._length = size
        return size

    def close(self) -> None:
        if not self.closed:
            # Absent when opening failed; the finaliser still closes.
            handle = getattr(self, "_handle", None)
            try:
                if handle is not None:
                    handle.close()
            finally:
                super().close()
