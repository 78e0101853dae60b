"""Copying files into a tenant's home and out of it, from the host process.

`put` copies a host file or directory, bytes, or a MemPath (a file or a
subtree) to a path in the home; `get` copies a file or directory of the home
to a host path or a MemPath, or returns a file's bytes.

Threat model: the tenant owns its home and may change it at any moment while
a copy runs (swap a directory for a link to /etc, a file for a FIFO, plant
hard links). Everything in the home is therefore reached through
descriptors, from the home's own descriptor down: every component is opened
with O_NOFOLLOW (O_DIRECTORY for directories), files are created with
O_EXCL and an existing file is replaced by renaming a fresh one over its
name (never written through), ownership and modes are set with fchown and
fchmod on the descriptor. A link met on the way is an error, never followed;
links, FIFOs, sockets and devices inside a copied tree are left out, and
`get` reads only what the account could read itself (its own files, or
world-readable ones), so a hard link to a host secret yields nothing. A
directory the tenant moves out of its home while it is being filled is
still the tenant's own directory: what lands there is the tenant's, as it
would have been in the home.

Limits: a tree deeper than `MAX_DEPTH` (256) directories is refused with
ENAMETOOLONG before that depth is copied. `limit` bounds the bytes of file content one call copies (1 GiB by
default, `DEFAULT_LIMIT`). A source measured over it is refused before
anything is written; one that grows past it during the copy stops the copy
with the same error, keeping what was complete and removing the partial
file.

Modes: what is written (in the home, and on the host by `get`) is a
directory 0700, a file 0600, or 0700 where the source is executable; in the
home it is owned by the account. Existing directories are merged into and
keep their own mode; an existing file is replaced whole.
"""

from __future__ import annotations

import contextlib
import errno
import os
import posixpath
import secrets
import stat
from collections.abc import Iterator
from typing import Protocol

from .fs import MemPath

__all__ = ["put", "get", "TransferLimitExceeded", "DEFAULT_LIMIT", "MAX_DEPTH"]

#: Bytes of file content one put() or get() copies unless told otherwise.
DEFAULT_LIMIT = 1 << 30

_DIR_MODE = 0o700
_FILE_MODE = 0o600
_EXEC_MODE = 0o700
_DIR_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
# O_NONBLOCK: a FIFO planted where a file was must not hold the copy up.
_READ_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
_CREATE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
_CHUNK = 1 << 30  # the most one copy_file_range or sendfile call is asked for
# Directories below the top of a copied tree: each level holds a descriptor
# and a frame while the copy is in it.
MAX_DEPTH = 256


class TransferLimitExceeded(OSError):
    """A copy holds more bytes of file content than its limit allows.

    `limit` is the limit in bytes; `filename` the path that went over it
    (for a tree measured before the copy, the tree).
    """

    def __init__(self, limit: int, path: str) -> None:
        super().__init__(errno.EFBIG, f"The copy holds more than its limit of {limit} bytes", path)
        self.limit = limit


class _Budget:
    """The bytes still allowed to a call."""

    def __init__(self, limit: int | None) -> None:
        if limit is None:
            limit = DEFAULT_LIMIT
        elif isinstance(limit, bool) or not isinstance(limit, int):
            raise TypeError(f"limit must be an int or None, not {type(limit).__name__}")
        elif limit < 0:
            raise ValueError(f"limit must not be negative, not {limit}")
        self.limit = limit
        self.left = limit

    def spend(self, count: int, path: str) -> None:
        if count > self.left:
            raise TransferLimitExceeded(self.limit, path)
        self.left -= count


# ---------------------------------------------------------------- content


class _Content:
    """A file's content on its way: an open descriptor or bytes in hand."""

    def __init__(self, executable: bool, *, fd: int = -1, data: bytes = b"", path: str) -> None:
        self.executable = executable
        self.fd = fd
        self.data = data
        self.path = path  # for error messages

    def read_all(self, budget: _Budget) -> bytes:
        if self.fd < 0:
            budget.spend(len(self.data), self.path)
            return self.data
        chunks: list[bytes] = []
        while True:
            chunk = os.read(self.fd, min(budget.left + 1, 1 << 20))
            if not chunk:
                return b"".join(chunks)
            budget.spend(len(chunk), self.path)
            chunks.append(chunk)

    def copy_to(self, fd: int, budget: _Budget) -> None:
        if self.fd < 0:
            budget.spend(len(self.data), self.path)
            view = memoryview(self.data)
            while view:
                view = view[os.write(fd, view):]
            return
        _copy_fd(self.fd, fd, budget, self.path)


def _copy_fd(source: int, dest: int, budget: _Budget, path: str) -> None:
    """Copies to the end of `source` in the kernel where it can, asking for
    one byte more than the budget allows so that an excess shows."""
    copy = _kernel_copy
    while True:
        want = min(budget.left + 1, _CHUNK)
        try:
            count = copy(source, dest, want)
        except OSError as error:
            if copy is _kernel_copy and error.errno in (errno.EXDEV, errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
                copy = _sendfile
                continue
            if copy is _sendfile and error.errno in (errno.EINVAL, errno.ENOSYS):
                copy = _plain_copy
                continue
            raise
        if count == 0:
            return
        budget.spend(count, path)


def _kernel_copy(source: int, dest: int, count: int) -> int:
    return os.copy_file_range(source, dest, count)


def _sendfile(source: int, dest: int, count: int) -> int:
    return os.sendfile(dest, source, None, count)


def _plain_copy(source: int, dest: int, count: int) -> int:
    data = os.read(source, min(count, 1 << 20))
    view = memoryview(data)
    while view:
        view = view[os.write(dest, view):]
    return len(data)


# ---------------------------------------------------------------- sources


class _SourceDir(Protocol):
    path: str

    def entries(self) -> list[tuple[str, bool]]:
        """(name, is a directory) of the directories and regular files."""

    def sizes(self) -> int | None:
        """The bytes of the files directly in it, or None if unknown before reading."""

    def subdir(self, name: str) -> contextlib.AbstractContextManager[_SourceDir]: ...

    def file(self, name: str) -> contextlib.AbstractContextManager[_Content]: ...


class _FdDir:
    """A directory read through its descriptor, never following a link.

    With `account` (a uid), only what that account could read itself is
    read: its own entries and world-readable ones.
    """

    def __init__(self, fd: int, path: str, account: int | None) -> None:
        self.fd = fd
        self.path = path
        self.account = account

    def entries(self) -> list[tuple[str, bool]]:
        with os.scandir(self.fd) as listing:
            return [(entry.name, entry.is_dir(follow_symlinks=False)) for entry in listing
                    if entry.is_dir(follow_symlinks=False) or entry.is_file(follow_symlinks=False)]

    def sizes(self) -> int:
        total = 0
        with os.scandir(self.fd) as listing:
            for entry in listing:
                if entry.is_file(follow_symlinks=False):
                    total += entry.stat(follow_symlinks=False).st_size
        return total

    @contextlib.contextmanager
    def subdir(self, name: str) -> Iterator[_FdDir]:
        path = posixpath.join(self.path, name)
        fd = _open_at(self.fd, name, _DIR_FLAGS, path)
        try:
            self._check_readable(os.fstat(fd), path, directory=True)
            yield _FdDir(fd, path, self.account)
        finally:
            os.close(fd)

    @contextlib.contextmanager
    def file(self, name: str) -> Iterator[_Content]:
        path = posixpath.join(self.path, name)
        fd = _open_at(self.fd, name, _READ_FLAGS, path)
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                raise OSError(errno.EINVAL, "Not a regular file", path)
            self._check_readable(info, path, directory=False)
            yield _Content(bool(info.st_mode & stat.S_IXUSR), fd=fd, path=path)
        finally:
            os.close(fd)

    def _check_readable(self, info: os.stat_result, path: str, *, directory: bool) -> None:
        if self.account is None or info.st_uid == self.account:
            return
        needed = stat.S_IROTH | (stat.S_IXOTH if directory else 0)
        if info.st_mode & needed != needed:
            raise PermissionError(errno.EACCES, "Not readable by the account", path)


class _MemDir:
    """A directory of a MemPath tree."""

    def __init__(self, path: MemPath) -> None:
        self.mem = path
        self.path = str(path)

    def entries(self) -> list[tuple[str, bool]]:
        return [(entry.name, entry.is_dir()) for entry in self.mem.iterdir()]

    def sizes(self) -> None:
        return None

    @contextlib.contextmanager
    def subdir(self, name: str) -> Iterator[_MemDir]:
        yield _MemDir(self.mem / name)

    @contextlib.contextmanager
    def file(self, name: str) -> Iterator[_Content]:
        path = self.mem / name
        yield _Content(False, data=path.read_bytes(), path=str(path))


def _check_depth(depth: int, path: str) -> None:
    if depth > MAX_DEPTH:
        raise OSError(errno.ENAMETOOLONG, f"Directory tree deeper than {MAX_DEPTH} levels", path)


def _measure(source: _SourceDir, budget: _Budget) -> None:
    """Refuses a tree over the limit before anything is written."""
    planned = _Budget(budget.left)

    def walk(directory: _SourceDir, depth: int) -> None:
        _check_depth(depth, directory.path)
        size = directory.sizes()
        if size is None:
            return
        planned.spend(size, source.path)
        for name, is_dir in directory.entries():
            if is_dir:
                with directory.subdir(name) as child:
                    walk(child, depth + 1)

    try:
        walk(source, 0)
    except TransferLimitExceeded:
        raise TransferLimitExceeded(budget.limit, source.path) from None


# ---------------------------------------------------------------- sinks


class _SinkDir(Protocol):
    def subdir(self, name: str) -> contextlib.AbstractContextManager[_SinkDir]: ...

    def write(self, name: str, content: _Content, budget: _Budget) -> None: ...


class _FdSink:
    """A directory written through its descriptor.

    With `owner` (uid, gid), what is made is given to it, and only
    directories that the uid owns are entered.
    """

    def __init__(self, fd: int, path: str, owner: tuple[int, int] | None) -> None:
        self.fd = fd
        self.path = path
        self.owner = owner

    @contextlib.contextmanager
    def subdir(self, name: str) -> Iterator[_FdSink]:
        path = posixpath.join(self.path, name)
        try:
            os.mkdir(name, _DIR_MODE, dir_fd=self.fd)
            made = True
        except FileExistsError:
            made = False
        fd = _open_at(self.fd, name, _DIR_FLAGS, path)
        try:
            if made:
                self._settle(fd, _DIR_MODE)
            else:
                self._check_owned(fd, path)
            yield _FdSink(fd, path, self.owner)
        finally:
            os.close(fd)

    def write(self, name: str, content: _Content, budget: _Budget) -> None:
        """A new file under `name`: made in place if the name is free, else
        beside it and renamed over it once complete."""
        path = posixpath.join(self.path, name)
        mode = _EXEC_MODE if content.executable else _FILE_MODE
        made, replaces = name, None
        try:
            fd = os.open(name, _CREATE_FLAGS, _FILE_MODE, dir_fd=self.fd)
        except FileExistsError:
            if stat.S_ISDIR(os.stat(name, dir_fd=self.fd, follow_symlinks=False).st_mode):
                raise IsADirectoryError(errno.EISDIR, "Is a directory", path) from None
            made, replaces = f".marrowfen-{secrets.token_hex(8)}", name
            fd = os.open(made, _CREATE_FLAGS, _FILE_MODE, dir_fd=self.fd)
        except OSError as error:
            raise OSError(error.errno, error.strerror, path) from None
        try:
            content.copy_to(fd, budget)
            self._settle(fd, mode)
            if replaces is not None:
                os.rename(made, replaces, src_dir_fd=self.fd, dst_dir_fd=self.fd)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(made, dir_fd=self.fd)
            raise
        finally:
            os.close(fd)

    def _settle(self, fd: int, mode: int) -> None:
        if self.owner is not None:
            os.fchown(fd, *self.owner)
        os.fchmod(fd, mode)

    def _check_owned(self, fd: int, path: str) -> None:
        if self.owner is not None and os.fstat(fd).st_uid != self.owner[0]:
            raise PermissionError(errno.EACCES, "Not a directory of the account", path)


class _MemSink:
    def __init__(self, path: MemPath) -> None:
        self.mem = path

    @contextlib.contextmanager
    def subdir(self, name: str) -> Iterator[_MemSink]:
        path = self.mem / name
        path.mkdir(exist_ok=True)
        yield _MemSink(path)

    def write(self, name: str, content: _Content, budget: _Budget) -> None:
        (self.mem / name).write_bytes(content.read_all(budget))


def _copy_tree(source: _SourceDir, sink: _SinkDir, budget: _Budget, depth: int = 0) -> None:
    _check_depth(depth, source.path)
    for name, is_dir in source.entries():
        if is_dir:
            with source.subdir(name) as child, sink.subdir(name) as target:
                _copy_tree(child, target, budget, depth + 1)
        else:
            with source.file(name) as content:
                sink.write(name, content, budget)


# ---------------------------------------------------------------- paths


def _open_at(dir_fd: int | None, name: str, flags: int, path: str) -> int:
    """os.open relative to `dir_fd`, its errors naming `path`; a link is ELOOP or ENOTDIR."""
    try:
        return os.open(name, flags, dir_fd=dir_fd)
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None


def _home_parts(home: str, path: object, argument: str) -> list[str]:
    """The components of `path` below `home` ([] for the home itself)."""
    text = _path_text(path, argument)
    home = posixpath.normpath(home)
    joined = posixpath.normpath(posixpath.join(home, text))
    if joined == home:
        return []
    if not joined.startswith(home + "/"):
        raise ValueError(f"{argument} must be a path inside the home {home!r}, not {text!r}")
    return joined[len(home) + 1:].split("/")


def _path_text(path: object, argument: str) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{argument} must be a str or os.PathLike, not {type(path).__name__}")
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"{argument} must be a str path, not {type(text).__name__}")
    if "\0" in text:
        raise ValueError(f"{argument} must not contain NUL")
    return text


def _check_home(home: object) -> None:
    if not isinstance(home, str):
        raise TypeError(f"home must be a str, not {type(home).__name__}")
    if not posixpath.isabs(home) or "\0" in home:
        raise ValueError(f"home must be an absolute path, not {home!r}")


@contextlib.contextmanager
def _home_fd(home: str) -> Iterator[tuple[int, int]]:
    """The home's descriptor and its owner, the account; never root's."""
    fd = _open_at(None, home, _DIR_FLAGS, home)
    try:
        owner = os.fstat(fd).st_uid
        if owner == 0:
            raise ValueError(f"home {home!r} belongs to root, not to an account")
        yield fd, owner
    finally:
        os.close(fd)


@contextlib.contextmanager
def _descend(top: _FdSink, parts: list[str]) -> Iterator[_FdSink]:
    """The directory at `parts` below `top`, made where missing."""
    with contextlib.ExitStack() as stack:
        current = top
        for part in parts:
            current = stack.enter_context(current.subdir(part))
        yield current


# ---------------------------------------------------------------- put and get


def put(home: str, uid: int, gid: int, source: object, dest: object, *, limit: int | None = None) -> None:
    """Copies `source` to `dest` in the account's home, owned by uid:gid.

    `source` is a host path (str or os.PathLike; a file, or a directory
    copied with its subtree; a link inside it is left out), bytes, or a
    MemPath (a file or a subtree). `dest` is the path the copy gets:
    relative to `home`, or absolute inside it ("." or the home for a
    directory's content); missing directories on the way are made.
    """
    _check_home(home)
    budget = _Budget(limit)
    parts = _home_parts(home, dest, "dest")
    with contextlib.ExitStack() as stack:
        tree, content = _open_source(stack, source)
        if tree is not None:
            _measure(tree, budget)
        home_fd, owner = stack.enter_context(_home_fd(home))
        if owner != uid:
            raise ValueError(f"home {home!r} does not belong to uid {uid}")
        top = _FdSink(home_fd, home, (uid, gid))
        if content is not None:
            if not parts:
                raise IsADirectoryError(errno.EISDIR, "Is a directory", home)
            with _descend(top, parts[:-1]) as parent:
                parent.write(parts[-1], content, budget)
        else:
            assert tree is not None
            with _descend(top, parts) as target:
                _copy_tree(tree, target, budget)


def _open_source(stack: contextlib.ExitStack, source: object) -> tuple[_SourceDir | None, _Content | None]:
    """The source of put() as a tree or as one file's content."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return None, _Content(False, data=bytes(source), path="<bytes>")
    if isinstance(source, MemPath):
        if source.is_dir():
            return _MemDir(source), None
        return None, _Content(False, data=source.read_bytes(), path=str(source))
    path = _path_text(source, "source")
    # The source itself is the caller's to name: a link to it is followed.
    fd = stack.enter_context(_opened(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC))
    info = os.fstat(fd)
    if stat.S_ISDIR(info.st_mode):
        return _FdDir(fd, path, None), None
    if not stat.S_ISREG(info.st_mode):
        raise OSError(errno.EINVAL, "Not a regular file or directory", path)
    return None, _Content(bool(info.st_mode & stat.S_IXUSR), fd=fd, path=path)


@contextlib.contextmanager
def _opened(path: str, flags: int, dir_fd: int | None = None) -> Iterator[int]:
    fd = _open_at(dir_fd, path, flags, path)
    try:
        yield fd
    finally:
        os.close(fd)


def get(home: str, source: object, dest: object = None, *, limit: int | None = None) -> bytes | None:
    """Copies `source`, a file or directory in the home, to `dest`: a host
    path (the path the copy gets; missing parents are made), a MemPath, or
    None for the bytes of a file.

    Only what the home's owner could read is read (see the module's notes).
    """
    _check_home(home)
    budget = _Budget(limit)
    parts = _home_parts(home, source, "source")
    if dest is not None and not isinstance(dest, MemPath):
        dest = _path_text(dest, "dest")
    with _home_fd(home) as (home_fd, account), contextlib.ExitStack() as stack:
        tree, content = _open_in_home(stack, _FdDir(home_fd, home, account), parts)
        if content is not None:
            if dest is None:
                return content.read_all(budget)
            _write_out(dest, content, budget)
            return None
        assert tree is not None
        if dest is None:
            raise IsADirectoryError(errno.EISDIR, "Is a directory", tree.path)
        _measure(tree, budget)
        with _sink_for(dest) as sink:
            _copy_tree(tree, sink, budget)
    return None


def _open_in_home(stack: contextlib.ExitStack, home: _FdDir, parts: list[str]) -> tuple[_FdDir | None, _Content | None]:
    """What `parts` names in the home, as a tree or as one file's content."""
    directory = home
    for part in parts[:-1]:
        directory = stack.enter_context(directory.subdir(part))
    if not parts:
        return directory, None
    name = parts[-1]
    if stat.S_ISDIR(_stat_at(directory.fd, name, posixpath.join(directory.path, name)).st_mode):
        return stack.enter_context(directory.subdir(name)), None
    return None, stack.enter_context(directory.file(name))


def _stat_at(dir_fd: int, name: str, path: str) -> os.stat_result:
    try:
        return os.stat(name, dir_fd=dir_fd, follow_symlinks=False)
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None


@contextlib.contextmanager
def _sink_for(dest: str | MemPath) -> Iterator[_SinkDir]:
    """The directory `dest` of get(), made where missing."""
    if isinstance(dest, MemPath):
        dest.mkdir(parents=True, exist_ok=True)
        yield _MemSink(dest)
        return
    os.makedirs(dest, _DIR_MODE, exist_ok=True)
    with _opened(dest, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC) as fd:
        yield _FdSink(fd, dest, None)


def _write_out(dest: str | MemPath, content: _Content, budget: _Budget) -> None:
    """A file of get() written to `dest`."""
    if isinstance(dest, MemPath):
        dest.parent.mkdir(parents=True, exist_ok=True)
        _MemSink(dest.parent).write(dest.name, content, budget)
        return
    directory, name = posixpath.split(posixpath.normpath(dest))
    if name in ("", ".", ".."):
        raise IsADirectoryError(errno.EISDIR, "Is a directory", dest)
    directory = directory or "."
    os.makedirs(directory, _DIR_MODE, exist_ok=True)
    with _opened(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC) as fd:
        _FdSink(fd, directory, None).write(name, content, budget)
