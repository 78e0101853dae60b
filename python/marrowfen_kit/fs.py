"""The in-memory filesystem the way Python code uses files.

`MemPath(fs, "/a/b")` is a path on a `PyFs` with the API of `pathlib.Path`
(CPython 3.12 and 3.13): `/`, `name`, `parents`, `glob()`, `walk()`,
`stat()`, `read_text()`, `open("w")`, `rename()` and the rest, with the
failures Python code expects: `FileNotFoundError`, `FileExistsError`,
`NotADirectoryError`, `IsADirectoryError`, `OSError(ENOTEMPTY)`, each
carrying marrowfen's own message as `strerror` and the path as `filename`.
A file held by another handle (open for writing, or open at all when you
want to write, move or remove it) raises `BlockingIOError` (EAGAIN): the
same call succeeds once that handle is closed, as a non-blocking lock
attempt would.

Paths are always absolute and kept in a canonical form: "/" separates,
"." and empty components vanish, ".." goes up one level (at the root it
stays there), and a relative path counts from the root. A name with NUL
or a backslash raises ValueError, one longer than 255 bytes
OSError(ENAMETOOLONG), when the path is made. A MemPath is never a host
path: it has no `__fspath__`, so `os` and the built-in `open` refuse it
instead of touching the host.

Text is UTF-8 unless an encoding is given. Reading text translates "\\r\\n"
and "\\r" to "\\n" unless `newline` says otherwise, as the built-in `open` does.
Nothing is printed: the kit's reads leave out the module's "Read N bytes
from file" line.

`copy_from_host`, `copy_to_host`, `copy_from_tar` and `copy_to_tar` move
trees between the host (or a tar archive) and a `PyFs`.
"""

from __future__ import annotations

import errno
import functools
import io
import os
import pathlib
from collections.abc import Buffer, Callable, Iterator
from typing import BinaryIO, Literal, overload

from marrowfen import PyFs
from marrowfen_kit import _host, _ops, _paths, _patterns
from marrowfen_kit._errors import ALREADY_EXISTS, os_error
from marrowfen_kit._file import MemFile, parse_mode
from marrowfen_kit._move import move

__all__ = ["MemPath", "MemFile", "copy_from_host", "copy_to_host", "copy_from_tar", "copy_to_tar"]

TextMode = Literal[
    "r", "w", "x", "a", "r+", "w+", "x+", "a+",
    "rt", "wt", "xt", "at", "r+t", "w+t", "x+t", "a+t", "rt+", "wt+", "xt+", "at+",
]  # fmt: skip
BinaryMode = Literal[
    "rb", "wb", "xb", "ab", "r+b", "w+b", "x+b", "a+b", "rb+", "wb+", "xb+", "ab+",
]  # fmt: skip
Segment = str | os.PathLike[str]


def _text(segment: object) -> str:
    if isinstance(segment, str):
        return segment
    if isinstance(segment, MemPath):
        return segment._path
    if isinstance(segment, os.PathLike):
        text = os.fspath(segment)
        if isinstance(text, str):
            return text
    raise TypeError(f"path segments must be str or os.PathLike[str], not {type(segment).__name__}")


@functools.total_ordering
class MemPath:
    """A path on a `PyFs`, in the manner of `pathlib.Path`.

    `MemPath(fs)` is the root; `MemPath(fs, "/a", "b")` is "/a/b" (a segment
    that starts with a separator starts again from the root, as in pathlib).
    Paths are compared and hashed by filesystem object and path text.

    What differs from pathlib, and why:

    - `chmod`, `lchmod`, `owner`, `group`: the filesystem has no permissions
      and no owners (`stat()` shows rw for everyone and owner 0).
    - `expanduser`, `home`, `cwd`, `as_uri`, `from_uri`, `__fspath__`,
      `__bytes__`: they speak of the host; a MemPath never names a host path.
    - `symlink_to`, `hardlink_to`: the filesystem makes no links;
      `is_symlink()` is always False and `readlink()` raises as for a file
      that is no link.
    - Times: there are none; `stat()` shows them as 0.
    - `rename` and `replace` move by making the entries anew and removing
      the old ones: moved files get new inode ids, and a move is not
      atomic. They take the target relative to the root, not to a working
      directory.
    - ".." is resolved in the text of the path when it is made (there are
      no links, so this is where it leads), also below a missing directory.
    - `stat()` of a file open for writing raises BlockingIOError; a
      directory's `st_ino` is 0 and its `st_size` 0.
    - `relative_to` returns a `pathlib.PurePosixPath`: a relative path is
      on no filesystem. `/` joins one back on.
    """

    __slots__ = ("_fs", "_path")
    _fs: PyFs
    _path: str

    def __init__(self, fs: PyFs, *segments: Segment) -> None:
        if not isinstance(fs, PyFs):
            raise TypeError(f"fs must be a PyFs, not {type(fs).__name__}")
        path = "/"
        for segment in segments:
            path = _paths.joined(path, _text(segment))
        self._fs = fs
        self._path = path

    @classmethod
    def _made(cls, fs: PyFs, path: str) -> MemPath:
        """A MemPath of a path already in canonical form."""
        made = object.__new__(cls)
        made._fs = fs
        made._path = path
        return made

    def _other(self, other: MemPath | Segment) -> MemPath:
        """`other` as a path on this filesystem (text counts from the root)."""
        if isinstance(other, MemPath):
            if other._fs is not self._fs:
                raise ValueError(f"{other!r} is on another filesystem than {self!r}")
            return other
        return MemPath._made(self._fs, _paths.joined("/", _text(other)))

    # -- the pure part: names and joins, no filesystem access ---------------

    @property
    def fs(self) -> PyFs:
        """The filesystem the path is on."""
        return self._fs

    @property
    def name(self) -> str:
        """The last component ("" for the root)."""
        return _paths.name_of(self._path)

    @property
    def suffix(self) -> str:
        """The extension of the name, dot included ("" if it has none)."""
        name = self.name
        dot = name.rfind(".")
        return name[dot:] if 0 < dot < len(name) - 1 else ""

    @property
    def suffixes(self) -> list[str]:
        """Every extension of the name, as pathlib splits them."""
        name = self.name
        if name.endswith("."):
            return []
        return ["." + suffix for suffix in name.lstrip(".").split(".")[1:]]

    @property
    def stem(self) -> str:
        """The name without its suffix."""
        name, suffix = self.name, self.suffix
        return name[: len(name) - len(suffix)] if suffix else name

    @property
    def parent(self) -> MemPath:
        """The directory part of the path (the root is its own parent)."""
        return MemPath._made(self._fs, _paths.parent(self._path))

    @property
    def parents(self) -> tuple[MemPath, ...]:
        """The ancestors of the path, nearest first (none for the root)."""
        found, path = [], self._path
        while path != "/":
            path = _paths.parent(path)
            found.append(MemPath._made(self._fs, path))
        return tuple(found)

    @property
    def parts(self) -> tuple[str, ...]:
        """("/", then each component), as `pathlib` gives them."""
        return ("/", *self._path.split("/")[1:]) if self._path != "/" else ("/",)

    drive = ""
    root = "/"
    anchor = "/"

    def is_absolute(self) -> bool:
        """Always True: every MemPath counts from the root."""
        return True

    def as_posix(self) -> str:
        return self._path

    def joinpath(self, *segments: Segment) -> MemPath:
        """This path followed by each segment in turn."""
        return MemPath(self._fs, self._path, *segments)

    def with_segments(self, *segments: Segment) -> MemPath:
        """A path on the same filesystem made from `segments`."""
        return MemPath(self._fs, *segments)

    def __truediv__(self, segment: Segment) -> MemPath:
        try:
            return MemPath._made(self._fs, _paths.joined(self._path, _text(segment)))
        except TypeError:
            return NotImplemented

    def __rtruediv__(self, segment: Segment) -> MemPath:
        # What comes after is absolute, so it replaces what comes before.
        return self

    def with_name(self, name: str) -> MemPath:
        """The same path with its last component replaced by `name`."""
        if self._path == "/":
            raise ValueError(f"{self!r} has an empty name")
        if name in ("", ".", "..") or "/" in name:
            raise ValueError(f"Invalid name {name!r}")
        return MemPath._made(self._fs, _paths.joined(_paths.parent(self._path), name))

    def with_stem(self, stem: str) -> MemPath:
        """The same path with the stem of its name replaced by `stem`."""
        return self.with_name(stem + self.suffix)

    def with_suffix(self, suffix: str) -> MemPath:
        """The same path with the suffix of its name replaced by `suffix`
        ("" removes it)."""
        if "/" in suffix or (suffix and not suffix.startswith(".")) or suffix == ".":
            raise ValueError(f"Invalid suffix {suffix!r}")
        if self._path == "/":
            raise ValueError(f"{self!r} has an empty name")
        old = self.suffix
        return self.with_name((self.name[: -len(old)] if old else self.name) + suffix)

    def relative_to(self, other: MemPath | Segment, /, *, walk_up: bool = False) -> pathlib.PurePosixPath:
        """The path from `other` to this one, as a relative pure path; with
        `walk_up`, going up with ".." where needed."""
        base = self._other(other)._path
        if _paths.is_within(self._path, base):
            rest = self._path[len(base) :].lstrip("/") if base != "/" else self._path[1:]
            return pathlib.PurePosixPath(rest)
        if not walk_up:
            raise ValueError(f"{self._path!r} is not in the subpath of {base!r}")
        common = base
        ups = 0
        while not _paths.is_within(self._path, common):
            common = _paths.parent(common)
            ups += 1
        rest = self._path[len(common) :].lstrip("/") if common != "/" else self._path[1:]
        return pathlib.PurePosixPath(*([".."] * ups), rest)

    def is_relative_to(self, other: MemPath | Segment, /) -> bool:
        """Whether this path is `other` or below it."""
        return _paths.is_within(self._path, self._other(other)._path)

    def match(self, path_pattern: str, *, case_sensitive: bool | None = None) -> bool:
        """Whether the path matches `path_pattern`, a relative pattern from
        the right; "**" acts as "*"."""
        return _patterns.match(self._path, _text(path_pattern), case_sensitive)

    def full_match(self, pattern: str, *, case_sensitive: bool | None = None) -> bool:
        """Whether the whole path matches `pattern`, where "**" stands for
        any number of components."""
        return _patterns.full_match(self._path, _text(pattern), case_sensitive)

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

    def exists(self, *, follow_symlinks: bool = True) -> bool:
        """Whether something (a file or a directory) is at the path."""
        return _ops.exists(self._fs, self._path)

    def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the path is a directory."""
        return _ops.is_dir(self._fs, self._path)

    def is_file(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the path is a file."""
        return _ops.is_file(self._fs, self._path)

    def is_symlink(self) -> bool:
        """Always False: the filesystem makes no links."""
        return False

    def is_mount(self) -> bool:
        """True for the root alone."""
        return self._path == "/"

    def is_junction(self) -> bool:
        return False

    is_block_device = is_char_device = is_fifo = is_socket = is_junction

    def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        """`st_size`, `st_mode` (file or directory bits, rw for all) and
        `st_ino` (a file's inode id; 0 for a directory). A file open for
        writing raises BlockingIOError: its size cannot be read meanwhile."""
        return _ops.stat(self._fs, self._path)

    def lstat(self) -> os.stat_result:
        """As `stat()`: there are no links."""
        return _ops.stat(self._fs, self._path)

    def samefile(self, other_path: MemPath | Segment) -> bool:
        """Whether both paths name the same existing entry."""
        other = self._other(other_path)
        self.stat()
        other.stat()
        return other._path == self._path

    def absolute(self) -> MemPath:
        return self

    def resolve(self, strict: bool = False) -> MemPath:
        """The path itself, already absolute and free of links; with
        `strict`, FileNotFoundError if nothing is there."""
        if strict:
            self.stat()
        return self

    def readlink(self) -> MemPath:
        """Raises as for an entry that is no link (there are none)."""
        self.stat()
        raise OSError(errno.EINVAL, "Invalid argument", self._path)

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

    def glob(
        self, pattern: str, *, case_sensitive: bool | None = None, recurse_symlinks: bool = False
    ) -> Iterator[MemPath]:
        """The entries below this directory that `pattern` selects ("*",
        "?", "[...]" within a name, "**" for any number of directories; a
        trailing "/" selects directories only)."""
        made, fs = MemPath._made, self._fs
        for path in _patterns.glob(fs, self._path, _text(pattern), case_sensitive):
            yield made(fs, path)

    def rglob(
        self, pattern: str, *, case_sensitive: bool | None = None, recurse_symlinks: bool = False
    ) -> Iterator[MemPath]:
        """`glob("**/" + pattern)`: matches at any depth below this directory."""
        return self.glob("**/" + _text(pattern), case_sensitive=case_sensitive)

    def walk(
        self,
        top_down: bool = True,
        on_error: Callable[[OSError], object] | None = None,
        follow_symlinks: bool = False,
    ) -> Iterator[tuple[MemPath, list[str], list[str]]]:
        """(directory, its subdirectory names, its file names) for this
        directory and every one below it, as `pathlib.Path.walk`. Top-down,
        changing the list of names in place prunes the walk."""
        fs, made = self._fs, MemPath._made
        stack: list[str | tuple[MemPath, list[str], list[str]]] = [self._path]
        while stack:
            top = stack.pop()
            if isinstance(top, tuple):
                yield top
                continue
            try:
                files, dirs = fs.listdir(top)
            except ValueError as error:
                if on_error is not None:
                    on_error(os_error(error, top))  # type: ignore[arg-type]
                continue
            entry = (made(fs, top), dirs, files)
            if top_down:
                yield entry
            else:
                stack.append(entry)
            prefix = "/" if top == "/" else top + "/"
            stack.extend(prefix + name for name in reversed(dirs))

    # -- changes --------------------------------------------------------------

    def mkdir(self, mode: int = 0o777, parents: bool = False, exist_ok: bool = False) -> None:
        """Create the directory (`mode` is ignored: no permissions).
        `parents` creates missing parents too; `exist_ok` accepts an
        existing directory (never an existing file)."""
        _ops.make_dir(self._fs, self._path, parents, exist_ok)

    def touch(self, mode: int = 0o666, exist_ok: bool = True) -> None:
        """Create an empty file (`mode` is ignored). An existing entry is
        left as it is, or with `exist_ok=False` raises FileExistsError."""
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
        """Make `data` the whole content of the file, in place (it keeps its
        inode id), creating it if it is missing; returns the number of bytes
        written."""
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

    def rename(self, target: MemPath | Segment) -> MemPath:
        """Move the file or directory to `target` (relative to the root) and
        return the new path. An existing file, or empty directory, at
        `target` is replaced, as `os.rename` does. By replacement: the moved
        files get new inode ids, and the move is not atomic."""
        other = self._other(target)
        move(self._fs, self._path, other._path)
        return other

    def replace(self, target: MemPath | Segment) -> MemPath:
        """As `rename` (which replaces an existing target too, as on POSIX)."""
        return self.rename(target)

    @overload
    def open(
        self,
        mode: TextMode = "r",
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> io.TextIOWrapper: ...
    @overload
    def open(
        self, mode: BinaryMode, buffering: int = -1, encoding: None = None, errors: None = None, newline: None = None
    ) -> MemFile: ...
    @overload
    def open(
        self,
        mode: str,
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> io.TextIOWrapper | MemFile: ...

    def open(
        self,
        mode: str = "r",
        buffering: int = -1,
        encoding: str | None = None,
        errors: str | None = None,
        newline: str | None = None,
    ) -> io.TextIOWrapper | MemFile:
        """Open the file, as the built-in `open` would: "r" (the file must
        exist), "w" (created or emptied), "x" (must not exist), "a" (writes go
        to the end), each with "+" for reading and writing and "b" for a
        binary `MemFile` instead of a text file. Nothing is buffered (a
        `buffering` of 1 makes a text file line-buffered). Use it in a
        `with` block: the file's handle holds the file's lock until it is
        closed."""
        kind, plus, binary = parse_mode(mode)
        if not isinstance(buffering, int):
            raise TypeError(f"buffering must be int, not {type(buffering).__name__}")
        if binary:
            if encoding is not None or errors is not None or newline is not None:
                raise ValueError("binary mode takes no encoding, errors or newline argument")
            return MemFile.opened(self._fs, self._path, kind, plus)
        if buffering == 0:
            raise ValueError("can't have unbuffered text I/O")
        _check_newline(newline)
        file = MemFile.opened(self._fs, self._path, kind, plus)
        try:
            return io.TextIOWrapper(file, encoding or "utf-8", errors, newline, line_buffering=buffering == 1)
        except BaseException:
            file.close()
            raise


def _check_newline(newline: str | None) -> None:
    if newline not in (None, "", "\n", "\r", "\r\n"):
        raise ValueError(f"illegal newline value: {newline!r}")


def copy_from_host(source: str | os.PathLike[str], dest: MemPath, *, dirs_exist_ok: bool = False) -> None:
    """Copy the host file or directory `source` to `dest`.

    A directory is copied whole, empty directories included; `dest` must
    not exist unless `dirs_exist_ok`, and its parent must. No link is
    followed, not even one swapped in during the copy: a symbolic link, a
    device, a FIFO or a socket anywhere in the tree (`source` itself
    included) is refused with OSError naming it (ELOOP for a link); what
    was copied before stays."""
    _host.copy_from_host(source, dest.fs, dest._path, dirs_exist_ok)


def copy_to_host(source: MemPath, dest: str | os.PathLike[str]) -> None:
    """Copy the file or directory `source` to the host path `dest`, which
    must not exist (its parent must). Every entry is made anew (files 0o666,
    directories 0o777, less the umask): nothing is written through an
    existing name or a link."""
    _host.copy_to_host(source.fs, source._path, dest)


def copy_from_tar(archive: str | os.PathLike[str] | BinaryIO, dest: MemPath) -> None:
    """Unpack a tar archive (a host path or a binary file object; any
    compression tarfile reads) into the directory `dest`, made if missing.
    Only files and directories are taken: a link or another special member
    raises `tarfile.SpecialFileError`; an absolute member name
    `tarfile.AbsolutePathError`; one that climbs out with ".."
    `tarfile.OutsideDestinationError`."""
    _host.copy_from_tar(archive, dest.fs, dest._path)


def copy_to_tar(source: MemPath, archive: str | os.PathLike[str] | BinaryIO, *, compression: str = "") -> None:
    """Pack the directory (or file) `source` into a new tar archive (a host
    path or a binary file object), with names relative to `source`;
    `compression` "gz", "bz2" or "xz" compresses it."""
    _host.copy_to_tar(source.fs, source._path, archive, compression)
