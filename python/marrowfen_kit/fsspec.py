"""marrowfen as an fsspec filesystem, protocol "marrowfen".

Needs fsspec (`pip install marrowfen[fsspec]`). Once the package is
installed, fsspec finds the filesystem by its protocol:

    import fsspec
    with fsspec.open("marrowfen:///notes/today.txt", "w") as f:
        f.write("hello")

`MarrowfenFileSystem()` works on one filesystem shared by the whole process
(as fsspec's memory filesystem does); `MarrowfenFileSystem(fs)` on the
`PyFs` you give it. Instances are not cached: each call makes a new, cheap
adapter, and two adapters over the same `PyFs` compare equal.

Directories are real, and by default (`auto_mkdir=True`) writing a file
creates its missing parent directories, as object stores and fsspec's
memory filesystem let you expect. Failures are the standard OSError
subclasses of `marrowfen_kit.fs`. There are no timestamps and no
transactions: every write goes through at once.

`info()` and `ls(detail=True)` open each file for an instant to learn its
size, as the terminal's `cat` does; a file open for writing at that moment
shows the size None. Reads print the module's "Read N bytes from file" line
on file descriptor 1, one per read call.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar

from fsspec import AbstractFileSystem  # type: ignore[import-untyped, unused-ignore]
from fsspec.utils import stringify_path  # type: ignore[import-untyped, unused-ignore]

from marrowfen import PyFs
from marrowfen_kit import _ops
from marrowfen_kit._errors import IN_USE, NOT_A_FILE, os_error
from marrowfen_kit._file import MemFile, parse_mode

__all__ = ["MarrowfenFileSystem", "MarrowfenFile"]

_T = TypeVar("_T")
_PROTOCOL = "marrowfen"
_SHARED_FS = PyFs()


class MarrowfenFile(MemFile):
    """The file objects of `MarrowfenFileSystem.open`: a `MemFile` that also
    knows its size, as fsspec's own file objects do."""

    @property
    def size(self) -> int:
        """The length of the file in bytes."""
        return self._length


class MarrowfenFileSystem(AbstractFileSystem):  # type: ignore[misc, unused-ignore]
    """An fsspec filesystem over a `PyFs` (the process's shared one by default)."""

    protocol = _PROTOCOL
    root_marker = "/"
    cachable = False

    def __init__(self, fs: PyFs | None = None, auto_mkdir: bool = True, **storage_options: Any) -> None:
        super().__init__(**storage_options)
        self.fs: PyFs = _SHARED_FS if fs is None else fs
        self.auto_mkdir = auto_mkdir

    @classmethod
    def _strip_protocol(cls, path: Any) -> Any:
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        path = stringify_path(path)
        if path.startswith(_PROTOCOL + "://"):
            path = path[len(_PROTOCOL) + 3 :]
        elif path.startswith(_PROTOCOL + "::"):
            path = path[len(_PROTOCOL) + 2 :]
        return _ops.normalise(path)

    @property
    def fsid(self) -> str:
        return f"{_PROTOCOL}-{id(self.fs):x}"

    # -- queries --------------------------------------------------------------

    def info(self, path: str, **kwargs: Any) -> dict[str, Any]:
        path = self._strip_protocol(path)
        try:
            handle = self.fs.open(path + "/.", "")
        except ValueError as error:
            text = error.args[0]
            if text == NOT_A_FILE:
                return {"name": path, "size": 0, "type": "directory"}
            if text == IN_USE:  # open for writing
                return {"name": path, "size": None, "type": "file"}
            raise os_error(error, path) from None
        try:
            handle.seek(0, _ops.END)
            size = handle.tell()
        finally:
            handle.close()
        return {"name": path, "size": size, "type": "file"}

    def ls(self, path: str, detail: bool = True, **kwargs: Any) -> list[Any]:
        path = self._strip_protocol(path)
        try:
            entries = _ops.children(self.fs, path)
        except NotADirectoryError:
            if not _ops.exists(self.fs, path):
                raise
            return [self.info(path)] if detail else [path]  # a file lists as itself
        return [self.info(entry) for entry in entries] if detail else entries

    def exists(self, path: str, **kwargs: Any) -> bool:
        return _ops.exists(self.fs, self._strip_protocol(path))

    def isdir(self, path: str) -> bool:
        return _ops.is_dir(self.fs, self._strip_protocol(path))

    def isfile(self, path: str) -> bool:
        return _ops.is_file(self.fs, self._strip_protocol(path))

    def cat_file(self, path: str, start: int | None = None, end: int | None = None, **kwargs: Any) -> bytes:
        return _ops.read_bytes(self.fs, self._strip_protocol(path), start, end)

    # -- changes --------------------------------------------------------------

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        _ops.make_dir(self.fs, self._strip_protocol(path), create_parents, False)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        _ops.make_dir(self.fs, self._strip_protocol(path), True, exist_ok)

    def rmdir(self, path: str) -> None:
        _ops.remove_dir(self.fs, self._strip_protocol(path), False)

    def rm_file(self, path: str) -> None:
        _ops.unlink(self.fs, self._strip_protocol(path))

    _rm = rm_file

    def rm(self, path: Any, recursive: bool = False, maxdepth: int | None = None) -> None:
        if isinstance(path, str) and recursive and maxdepth is None and not any(c in path for c in "*?["):
            path = self._strip_protocol(path)
            try:
                self.fs.remove(path, True)
            except ValueError as error:
                raise os_error(error, path) from None
            return
        # Sorted, so reversed removes what is inside a directory before it.
        for entry in reversed(self.expand_path(path, recursive=recursive, maxdepth=maxdepth)):
            try:
                self.fs.remove(entry, False)
            except ValueError as error:
                raise os_error(error, entry) from None

    def _refuse_transaction(self, autocommit: bool = True) -> None:
        if self._intrans or not autocommit:
            raise NotImplementedError("MarrowfenFileSystem has no transactions: every write goes through at once")

    def pipe_file(self, path: str, value: bytes, mode: str = "overwrite", **kwargs: Any) -> None:
        self._refuse_transaction()
        path = self._strip_protocol(path)
        if mode == "create":
            with self._open(path, "xb") as file:
                file.write(value)
            return
        self._making_parents(path, lambda: _ops.write_bytes(self.fs, path, value))

    def _making_parents(self, path: str, write: Callable[[], _T]) -> _T:
        """`write()`; if the parent of `path` is missing and `auto_mkdir` is
        on, makes it and writes again."""
        try:
            return write()
        except FileNotFoundError:
            if not self.auto_mkdir or _ops.exists(self.fs, _ops.parent(path)):
                raise
        _ops.make_dir(self.fs, _ops.parent(path), True, True)
        return write()

    def touch(self, path: str, truncate: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        if truncate or not self.exists(path):
            self.pipe_file(path, b"")

    def cp_file(self, path1: str, path2: str, **kwargs: Any) -> None:
        source, target = self._strip_protocol(path1), self._strip_protocol(path2)
        try:
            data = _ops.read_bytes(self.fs, source)
        except IsADirectoryError:
            _ops.make_dir(self.fs, target, True, True)
            return
        self.pipe_file(target, data)

    def _open(
        self,
        path: str,
        mode: str = "rb",
        block_size: int | None = None,
        autocommit: bool = True,
        cache_options: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> MarrowfenFile:
        path = self._strip_protocol(path)
        kind, plus, _ = parse_mode(mode)
        if kind != "r" or plus:
            self._refuse_transaction(autocommit)
        if kind == "r":
            return MarrowfenFile.opened(self.fs, path, kind, plus)
        return self._making_parents(path, lambda: MarrowfenFile.opened(self.fs, path, kind, plus))
