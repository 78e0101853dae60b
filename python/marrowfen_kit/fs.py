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

import functools
import io
from collections.abc import Buffer, Iterator
from typing import Literal, overload

from marrowfen import PyFs
from marrowfen_kit import _ops
from marrowfen_kit._errors import ALREADY_EXISTS, os_error
from marrowfen_kit._file import MemFile, parse_mode

__all__ = ["MemPath", "MemFile"]

TextMode = Literal[
    "r", "w", "x", "a", "r+", "w+", "x+", "a+",
    "rt", "wt", "xt", "at", "r+t", "w+t", "x+t", "a+t", "rt+", "wt+", "xt+", "at+",
]  # fmt: skip
BinaryMode = Literal[
    "rb", "wb", "xb", "ab", "r+b", "w+b", "x+b", "a+b", "rb+", "wb+", "xb+", "ab+",
]  # fmt: skip


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
            path = _ops.joined(path, segment)
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
        return MemPath._made(self._fs, _ops.parent(self._path))

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
        return MemPath._made(self._fs, _ops.joined(self._path, segment))

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
        return _ops.exists(self._fs, self._path)

    def is_dir(self) -> bool:
        """Whether the path is a directory."""
        return _ops.is_dir(self._fs, self._path)

    def is_file(self) -> bool:
        """Whether the path is a file."""
        return _ops.is_file(self._fs, self._path)

    def iterdir(self) -> Iterator[MemPath]:
        """The entries of the directory: its files, then its subdirectories,
        each in creation order. The directory is listed at the call."""
        fs, path = self._fs, self._path
        try:
            files, dirs = fs.listdir(path)
        except ValueError as error:
            raise os_error(error, path) from None
        prefix = "/" if path == "/" else path + "/"
        new, entries = object.__new__, []
        for name in (*files, *dirs):
            entry = new(MemPath)
            entry._fs = fs
            entry._path = prefix + name
            entries.append(entry)
        return iter(entries)

    # -- changes --------------------------------------------------------------

    def mkdir(self, *, parents: bool = False, exist_ok: bool = False) -> None:
        """Create the directory. `parents` creates missing parents too;
        `exist_ok` accepts an existing directory (never an existing file)."""
        _ops.make_dir(self._fs, self._path, parents, exist_ok)

    def touch(self, *, exist_ok: bool = True) -> None:
        """Create an empty file. An existing entry is left as it is, or with
        `exist_ok=False` raises FileExistsError."""
        try:
            self._fs.touch(self._path)
        except ValueError as error:
            if error.args[0] == ALREADY_EXISTS and exist_ok and _ops.exists(self._fs, self._path):
                return
            raise os_error(error, self._path) from None

    def read_bytes(self) -> bytes:
        """The whole content of the file."""
        return _ops.read_bytes(self._fs, self._path)

    def write_bytes(self, data: Buffer) -> int:
        """Make `data` the whole content of the file, creating it if it is
        missing; returns the number of bytes written."""
        return _ops.write_bytes(self._fs, self._path, data)

    def read_text(self, encoding: str | None = None, errors: str | None = None, newline: str | None = None) -> str:
        """The content of the file decoded (UTF-8 by default). With `newline`
        None, "\\r\\n" and "\\r" read as "\\n"."""
        _check_newline(newline)
        text = _ops.read_bytes(self._fs, self._path).decode(encoding or "utf-8", errors or "strict")
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
        _ops.write_bytes(self._fs, self._path, data.encode(encoding or "utf-8", errors or "strict"))
        return count

    def unlink(self, missing_ok: bool = False) -> None:
        """Remove the file. A directory raises IsADirectoryError; with
        `missing_ok` a missing file is no error."""
        try:
            _ops.unlink(self._fs, self._path)
        except FileNotFoundError:
            if not missing_ok:
                raise

    def rmdir(self) -> None:
        """Remove the directory, which must be empty."""
        _ops.remove_dir(self._fs, self._path, False)

    def rmtree(self) -> None:
        """Remove the directory and everything below it. A file below that is
        open stops the removal with BlockingIOError; what was removed before
        it stays removed."""
        _ops.remove_dir(self._fs, self._path, True)

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
        kind, plus, binary = parse_mode(mode)
        if binary:
            if encoding is not None or errors is not None or newline is not None:
                raise ValueError("binary mode takes no encoding, errors or newline argument")
            return MemFile.opened(self._fs, self._path, kind, plus)
        _check_newline(newline)
        file = MemFile.opened(self._fs, self._path, kind, plus)
        try:
            return io.TextIOWrapper(file, encoding or "utf-8", errors, newline)
        except BaseException:
            file.close()
            raise


def _check_newline(newline: str | None) -> None:
    if newline not in (None, "", "\n", "\r", "\r\n"):
        raise ValueError(f"illegal newline value: {newline!r}")
