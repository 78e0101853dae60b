"""MemFile: a binary file object over one PyFileHandle.

It is a plain class registered as an `io.BufferedIOBase` rather than a
subclass of it: the io base classes cost microseconds per file opened, more
than everything else an open and a read do together. It implements the
whole binary file protocol itself, and `io.TextIOWrapper` wraps it for text.
"""

from __future__ import annotations

import io
import itertools
import operator
from collections.abc import Buffer, Iterable, Iterator
from types import TracebackType
from typing import Final, NoReturn, Protocol, Self

from marrowfen import PyFileHandle, PyFs
from marrowfen_kit._errors import os_error
from marrowfen_kit._ops import CUR, END, SET


class PathOnFs(Protocol):
    """What MemFile needs of a path: its filesystem, and its text (a
    `MemPath` is one)."""

    @property
    def fs(self) -> PyFs: ...


def _all_modes() -> dict[str, tuple[str, bool, bool]]:
    """Every mode the built-in `open` accepts, in every order of its letters:
    mode -> (kind "r", "w", "x" or "a"; whether "+" is in it; whether "b" is)."""
    modes = {}
    for kind, plus, flag in itertools.product("rwxa", ("", "+"), ("", "b", "t")):
        for letters in itertools.permutations(kind + plus + flag):
            modes["".join(letters)] = (kind, bool(plus), flag == "b")
    return modes


_MODES: Final = _all_modes()


def parse_mode(mode: str) -> tuple[str, bool, bool]:
    """The kind ("r", "w", "x" or "a"), whether "+" is in it, whether it is binary."""
    try:
        return _MODES[mode]
    except (KeyError, TypeError):
        if not isinstance(mode, str):
            raise TypeError(f"mode must be str, not {type(mode).__name__}") from None
        raise ValueError(f"invalid mode: {mode!r}") from None


def open_handle(fs: PyFs, path: str, kind: str, plus: bool) -> tuple[PyFileHandle, int]:
    """A handle on the file for a mode of the built-in `open`, and the file's
    length. The handle's offset is 0, or the length for kind "a"."""
    access = "rw" if plus else ("r" if kind == "r" else "w")
    try:
        if kind == "x":
            fs.touch(path)
        # "/." names the file itself and never creates it.
        handle = fs.open(path + "/." if kind in "rx" else path, access)
        try:
            handle.seek(0, END)
            length = handle.tell()
            if kind != "a" and length:
                handle.seek(0, SET)
        except BaseException:
            handle.close()
            raise
        if kind == "w" and length:
            try:
                handle.truncate(0)
            except BaseException:
                handle.close()
                raise
            length = 0
        return handle, length
    except ValueError as error:
        raise os_error(error, path) from None


class MemFile:
    """A binary file of a `PyFs`: what `MemPath.open` gives in a binary mode.

    It reads and writes straight through its `PyFileHandle`, which holds the
    file's lock until `close()` (or until the file object is dropped):
    readers share the file, a writer has it alone. It is an
    `io.BufferedIOBase` for `isinstance`. Seeking past the end is allowed; a
    write there fills the gap with zero bytes. `truncate()` cuts the file
    short or lengthens it, in place (the file keeps its inode id).
    """

    __slots__ = ("_name", "_mode", "_closed", "_handle", "_length", "_position", "_readable", "_writable", "_append")

    def __init__(self, path: PathOnFs, mode: str = "rb") -> None:
        """Open the file at `path` as the built-in `open` would in the binary
        `mode` ("b" may be left out)."""
        kind, plus, _ = parse_mode(mode)
        if "t" in mode:
            raise ValueError("MemFile is binary; MemPath.open gives text files")
        self._open(path.fs, str(path), kind, plus)

    @classmethod
    def opened(cls, fs: PyFs, path: str, kind: str, plus: bool) -> Self:
        """The file at the canonical `path`, opened for a parsed mode."""
        file = object.__new__(cls)
        file._open(fs, path, kind, plus)
        return file

    def _open(self, fs: PyFs, path: str, kind: str, plus: bool) -> None:
        self._name = path
        self._handle, self._length = open_handle(fs, path, kind, plus)
        self._closed = False
        self._mode = kind + "b" + ("+" if plus else "")
        self._readable = kind == "r" or plus
        self._writable = kind != "r" or plus
        self._append = kind == "a"
        # The length changes only through this file: a reader and a writer
        # never have the same file open at once. The position is Python's;
        # the handle's offset is min(position, length).
        self._position = self._length if self._append else 0

    def __repr__(self) -> str:
        return f"<MemFile name={self._name!r} mode={self._mode!r}>"

    @property
    def name(self) -> str:
        """The path of the file."""
        return self._name

    @property
    def mode(self) -> str:
        """The mode, as the built-in `open` shows it for a binary file ("rb", "wb+", ...)."""
        return self._mode

    @property
    def closed(self) -> bool:
        """Whether the file was closed."""
        return self._closed

    def _check(self, allowed: bool = True, what: str = "") -> None:
        if self._closed:
            raise ValueError("I/O operation on closed file.")
        if not allowed:
            raise io.UnsupportedOperation(f"File not open for {what}")

    def _failed(self, error: ValueError) -> NoReturn:
        raise os_error(error, self._name) from None

    # -- state ------------------------------------------------------------------

    def readable(self) -> bool:
        self._check()
        return self._readable

    def writable(self) -> bool:
        self._check()
        return self._writable

    def seekable(self) -> bool:
        self._check()
        return True

    def isatty(self) -> bool:
        self._check()
        return False

    def fileno(self) -> int:
        raise io.UnsupportedOperation("a file of marrowfen's in-memory filesystem has no file descriptor")

    def flush(self) -> None:
        self._check()  # nothing is buffered

    def close(self) -> None:
        """Close the file's handle, giving back its share of the file's lock."""
        if not self._closed:
            self._closed = True
            self._handle.close()

    def detach(self) -> NoReturn:
        raise io.UnsupportedOperation("detach")

    def __enter__(self) -> MemFile:
        if self._closed:
            self._check()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    # -- reading ------------------------------------------------------------------

    def read(self, size: int | None = -1, /) -> bytes:
        """At most `size` bytes from the position (all up to the end if
        `size` is None or negative) in one read of the handle."""
        if self._closed or not self._readable:
            self._check(self._readable, "reading")
        available = self._length - self._position
        if size is None or size < 0 or size > available:
            size = available
        if size <= 0:
            return b""
        try:
            data = self._handle.read(size, quiet=True)
        except ValueError as error:
            self._failed(error)
        self._position += len(data)
        return data

    read1 = read

    def readinto(self, buffer: Buffer, /) -> int:
        view = memoryview(buffer).cast("B")
        data = self.read(len(view))
        view[: len(data)] = data
        return len(data)

    readinto1 = readinto

    def readline(self, size: int | None = -1, /) -> bytes:
        self._check(self._readable, "reading")
        limit = self._length - self._position
        if size is not None and 0 <= size < limit:
            limit = size
        line, chunk = bytearray(), 1024
        try:
            while len(line) < limit:
                data = self._handle.read(min(chunk, limit - len(line)), quiet=True)
                end = data.find(b"\n")
                if end >= 0:
                    line += data[: end + 1]
                    break
                line += data
                chunk *= 2
            self._position += len(line)
            # Give back what was read past the end of the line.
            self._handle.seek(self._position, SET)
        except ValueError as error:
            self._failed(error)
        return bytes(line)

    def readlines(self, hint: int = -1, /) -> list[bytes]:
        lines: list[bytes] = []
        total = 0
        for line in self:
            lines.append(line)
            total += len(line)
            if 0 < hint <= total:
                break
        return lines

    def __iter__(self) -> Iterator[bytes]:
        self._check()
        return self

    def __next__(self) -> bytes:
        line = self.readline()
        if not line:
            raise StopIteration
        return line

    # -- writing ------------------------------------------------------------------

    def write(self, data: Buffer, /) -> int:
        if self._closed or not self._writable:
            self._check(self._writable, "writing")
        if type(data) is not bytes:
            data = bytes(memoryview(data))
        count = len(data)
        if not count:
            return 0
        handle = self._handle
        try:
            if self._append and self._position != self._length:
                handle.seek(0, END)
                self._position = self._length
            if self._position > self._length:
                data = bytes(self._position - self._length) + data  # the gap reads as zeros
            handle.write(data)
            handle.seek(len(data), CUR)  # a handle's write leaves its offset where it was
        except ValueError as error:
            self._failed(error)
        self._position += count
        if self._position > self._length:
            self._length = self._position
        return count

    def writelines(self, lines: Iterable[Buffer], /) -> None:
        for line in lines:
            self.write(line)

    def truncate(self, size: int | None = None, /) -> int:
        self._check(self._writable, "writing")
        size = self._position if size is None else operator.index(size)
        if size < 0:
            raise ValueError(f"negative size value {size}")
        if size != self._length:
            try:
                self._handle.truncate(size)
                self._handle.seek(min(self._position, size), SET)  # the offset is min(position, length)
            except ValueError as error:
                self._failed(error)
            self._length = size
        return size

    # -- position -----------------------------------------------------------------

    def seek(self, offset: int, whence: int = io.SEEK_SET, /) -> int:
        self._check()
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
            self._handle.seek(min(position, self._length), SET)
        except ValueError as error:
            self._failed(error)
        self._position = position
        return position

    def tell(self) -> int:
        self._check()
        return self._position


io.BufferedIOBase.register(MemFile)
