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
subclasses of `marrowfen_kit.fs`. There are no transactions: every write
goes through at once.

`created()` and `modified()` give the times the adapters over a `PyFs`
keep for it (a `PyFs` has none of its own): the adapters over one `PyFs`
share them, as long as one of them lives. They see what the adapters do: a
change made another way (`MemPath`, `PyTerm`, a raw handle) leaves them as
they were, and a path no adapter made shows the time an adapter first
looked at it.

`info()` and `ls(detail=True)` open each file for an instant to learn its
size, as the terminal's `cat` does; a file open for writing at that moment
shows the size None. Nothing is printed.
"""

from __future__ import annotations

import datetime
import time
import weakref
from collections.abc import Callable
from typing import Any, TypeVar

from fsspec import AbstractFileSystem  # type: ignore[import-untyped, unused-ignore]
from fsspec.utils import stringify_path  # type: ignore[import-untyped, unused-ignore]

from marrowfen import PyFs
from marrowfen_kit import _ops, _paths
from marrowfen_kit._errors import IN_USE, NOT_A_FILE, os_error
from marrowfen_kit._file import MemFile, parse_mode

__all__ = ["MarrowfenFileSystem", "MarrowfenFile"]

_T = TypeVar("_T")
_PROTOCOL = "marrowfen"
_SHARED_FS = PyFs()


class _Times:
    """(created, modified) per path of one PyFs, shared by its adapters.

    Kept by the id of the PyFs: every adapter holds its PyFs, so the id
    stays that PyFs's while an adapter over it lives, and the entry goes
    with the last of them. The stamps sit in a tree of the path's names,
    so that a removed directory takes the stamps below it in one step."""

    _by_fs: dict[int, _Times] = {}  # noqa: RUF012 - the registry itself

    def __init__(self) -> None:
        self.users = 0
        # name -> node; the key None holds the node's own (created, modified).
        self.root: dict[str | None, Any] = {}

    @classmethod
    def of(cls, owner: object, fs: PyFs) -> _Times:
        times = cls._by_fs.setdefault(id(fs), cls())
        times.users += 1
        weakref.finalize(owner, cls._let_go, id(fs))
        return times

    @classmethod
    def _let_go(cls, key: int) -> None:
        times = cls._by_fs[key]
        times.users -= 1
        if not times.users:
            del cls._by_fs[key]

    def _node(self, path: str) -> dict[str | None, Any]:
        node = self.root
        for name in path.split("/"):
            if name:
                node = node.setdefault(name, {})
        return node

    def changed(self, path: str) -> None:
        node, now = self._node(path), time.time()
        node[None] = (node.get(None, (now, now))[0], now)

    def removed(self, path: str) -> None:
        parent, _, name = path.rpartition("/")
        self._node(parent).pop(name, None)

    def get(self, path: str) -> tuple[float, float]:
        node = self._node(path)
        if None not in node:
            now = time.time()
            node[None] = (now, now)
        stamps: tuple[float, float] = node[None]
        return stamps


class MarrowfenFile(MemFile):
    """The file objects of `MarrowfenFileSystem.open`: a `MemFile` that also
    knows its size, as fsspec's own file objects do."""

    __slots__ = ("_on_close",)
    _on_close: Callable[[], None]

    @property
    def size(self) -> int:
        """The length of the file in bytes."""
        return self._length

    def close(self) -> None:
        """Close the file; a file open for writing counts as modified now."""
        if not self._closed:
            super().close()
            on_close = getattr(self, "_on_close", None)
            if on_close is not None:
                on_close()


class MarrowfenFileSystem(AbstractFileSystem):  # type: ignore[misc, unused-ignore]
    """An fsspec filesystem over a `PyFs` (the process's shared one by default)."""

    protocol = _PROTOCOL
    root_marker = "/"
    cachable = False

    def __init__(self, fs: PyFs | None = None, auto_mkdir: bool = True, **storage_options: Any) -> None:
        if fs is not None and not isinstance(fs, PyFs):
            raise TypeError(f"fs must be a PyFs or None, not {type(fs).__name__}")
        super().__init__(**storage_options)
        self.fs: PyFs = _SHARED_FS if fs is None else fs
        self.auto_mkdir = auto_mkdir
        self._times = _Times.of(self, self.fs)

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

    def _stamps(self, path: str) -> tuple[float, float]:
        path = self._strip_protocol(path)
        if not _ops.exists(self.fs, path):
            raise FileNotFoundError(2, "No such file or directory", path)
        return self._times.get(path)

    def created(self, path: str) -> datetime.datetime:
        """When an adapter over this PyFs made the path (see the module's notes)."""
        return datetime.datetime.fromtimestamp(self._stamps(path)[0], tz=datetime.timezone.utc)

    def modified(self, path: str) -> datetime.datetime:
        """When an adapter over this PyFs last wrote the path (see the module's notes)."""
        return datetime.datetime.fromtimestamp(self._stamps(path)[1], tz=datetime.timezone.utc)

    # -- changes --------------------------------------------------------------

    def mkdir(self, path: str, create_parents: bool = True, **kwargs: Any) -> None:
        path = self._strip_protocol(path)
        _ops.make_dir(self.fs, path, create_parents, False)
        self._times.changed(path)

    def makedirs(self, path: str, exist_ok: bool = False) -> None:
        path = self._strip_protocol(path)
        _ops.make_dir(self.fs, path, True, exist_ok)
        self._times.changed(path)

    def rmdir(self, path: str) -> None:
        path = self._strip_protocol(path)
        _ops.remove_dir(self.fs, path, False)
        self._times.removed(path)

    def rm_file(self, path: str) -> None:
        path = self._strip_protocol(path)
        _ops.unlink(self.fs, path)
        self._times.removed(path)

    _rm = rm_file

    def rm(self, path: Any, recursive: bool = False, maxdepth: int | None = None) -> None:
        if isinstance(path, str) and recursive and maxdepth is None and not any(c in path for c in "*?["):
            path = self._strip_protocol(path)
            try:
                self.fs.remove(path, True)
            except ValueError as error:
                raise os_error(error, path) from None
            finally:
                self._times.removed(path)
            return
        # Sorted, so reversed removes what is inside a directory before it.
        for entry in reversed(self.expand_path(path, recursive=recursive, maxdepth=maxdepth)):
            try:
                self.fs.remove(entry, False)
            except ValueError as error:
                raise os_error(error, entry) from None
            self._times.removed(entry)

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
        self._times.changed(path)

    def _making_parents(self, path: str, write: Callable[[], _T]) -> _T:
        """`write()`; if the parent of `path` is missing and `auto_mkdir` is
        on, makes it and writes again."""
        try:
            return write()
        except FileNotFoundError:
            if not self.auto_mkdir or _ops.exists(self.fs, _paths.parent(path)):
                raise
        _ops.make_dir(self.fs, _paths.parent(path), True, True)
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
        file = self._making_parents(path, lambda: MarrowfenFile.opened(self.fs, path, kind, plus))
        self._times.changed(path)
        file._on_close = lambda: self._times.changed(path)
        return file
