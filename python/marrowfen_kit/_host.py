"""Trees between the host (or a tar archive) and a PyFs.

The host side is walked through directory descriptors, each entry opened
relative to its directory with O_NOFOLLOW, so that no symbolic link is ever
followed: not one in the source tree, and not one that someone swaps in
while the copy runs (a tenant's home, say). Links are refused, not
recreated (a PyFs has none): a symbolic link in a host tree or a tar
archive stops the copy with an error that names it. So do devices, FIFOs
and sockets, which are never opened. What was copied before the refusal
stays copied; nothing that was there before is changed.

Into the host, every directory and file is made anew (O_EXCL), never
written through an existing name: the target must not exist.

Modes, owners and times do not exist in a PyFs: copies in take the bytes
and the tree, copies out make files 0o666 and directories 0o777 less the
umask (tar members 0o644 and 0o755).
"""

from __future__ import annotations

import errno
import io
import os
import stat
import tarfile
import time
from collections.abc import Iterator
from typing import BinaryIO, Final

from marrowfen import PyFs
from marrowfen_kit import _ops, _paths
from marrowfen_kit._errors import os_error

HostPath = str | os.PathLike[str]

_READ: Final = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK
_DIR: Final = _READ | os.O_DIRECTORY
_NEW_FILE: Final = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC


def _refused(path: str, what: str) -> OSError:
    return OSError(
        errno.ELOOP if what == "a symbolic link" else errno.EINVAL,
        f"{what} is refused: only files and directories are copied",
        path,
    )


def _open_entry(name: str, dir_fd: int | None, shown: str, kind: int) -> int:
    """A descriptor on the entry `name`, which must be a directory or a
    regular file as `kind` says, opened without following a link."""
    try:
        fd = os.open(name, _DIR if stat.S_ISDIR(kind) else _READ, dir_fd=dir_fd)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR):  # swapped for a link meanwhile
            raise _refused(shown, "a symbolic link") from None
        raise
    if stat.S_IFMT(os.fstat(fd).st_mode) != stat.S_IFMT(kind):
        os.close(fd)
        raise _refused(shown, "an entry that changed its type during the copy")
    return fd


def _read_all(fd: int) -> bytes:
    size = os.fstat(fd).st_size
    chunks = [os.read(fd, max(size, 1 << 16))]
    while chunks[-1]:
        chunks.append(os.read(fd, 1 << 20))
    return b"".join(chunks)


def _kind(entry: os.DirEntry[str], shown: str) -> int:
    if entry.is_symlink():
        raise _refused(shown, "a symbolic link")
    if entry.is_dir(follow_symlinks=False):
        return stat.S_IFDIR
    if entry.is_file(follow_symlinks=False):
        return stat.S_IFREG
    raise _refused(shown, "a special file")


def _copy_dir_in(fs: PyFs, fd: int, shown: str, dest: str) -> None:
    with os.scandir(fd) as entries:
        listed = [(entry.name, _kind(entry, f"{shown}/{entry.name}")) for entry in entries]
    for name, kind in listed:
        child_fd = _open_entry(name, fd, f"{shown}/{name}", kind)
        try:
            target = f"{dest}/{name}" if dest != "/" else f"/{name}"
            if kind == stat.S_IFDIR:
                _ops.make_dir(fs, target, False, False)
                _copy_dir_in(fs, child_fd, f"{shown}/{name}", target)
            else:
                _ops.write_bytes(fs, target, _read_all(child_fd))
        finally:
            os.close(child_fd)


def copy_from_host(source: HostPath, fs: PyFs, dest: str, dirs_exist_ok: bool) -> None:
    """Copy the host file or directory `source` to `dest` on a PyFs.

    A directory is copied whole, empty directories included; `dest` must
    not exist unless `dirs_exist_ok`, and its parent must. A symbolic link,
    a device, a FIFO or a socket anywhere in the tree (`source` itself
    included) is refused with OSError naming it (ELOOP for a link)."""
    shown = os.fspath(source)
    try:
        kind = os.lstat(shown).st_mode
    except OSError:
        raise
    if stat.S_ISLNK(kind):
        raise _refused(shown, "a symbolic link")
    if not (stat.S_ISDIR(kind) or stat.S_ISREG(kind)):
        raise _refused(shown, "a special file")
    fd = _open_entry(shown, None, shown, kind)
    try:
        if stat.S_ISREG(kind):
            _ops.write_bytes(fs, dest, _read_all(fd))
            return
        _ops.make_dir(fs, dest, False, dirs_exist_ok)
        _copy_dir_in(fs, fd, shown, dest)
    finally:
        os.close(fd)


def _tree(fs: PyFs, path: str) -> Iterator[tuple[str, bool]]:
    """(path, is a directory) of every entry below the directory `path`,
    parents first."""
    stack = [path]
    while stack:
        top = stack.pop()
        files, dirs, prefix = _listing(fs, top)
        for name in files:
            yield prefix + name, False
        for name in reversed(dirs):
            yield prefix + name, True
            stack.append(prefix + name)


def _listing(fs: PyFs, top: str) -> tuple[list[str], list[str], str]:
    """The files and directories in `top`, and the prefix of their paths."""
    try:
        files, dirs = fs.listdir(top)
    except ValueError as error:
        raise os_error(error, top) from None
    return files, dirs, "/" if top == "/" else top + "/"


def _copy_dir_out(fs: PyFs, top: str, dir_fd: int) -> None:
    """The entries of the directory `top` into the new host directory
    `dir_fd`; one descriptor per level (the depth of a PyFs is bounded)."""
    files, dirs, prefix = _listing(fs, top)
    for name in files:
        _write_new_host_file(name, dir_fd, _ops.read_bytes(fs, prefix + name))
    for name in dirs:
        os.mkdir(name, 0o777, dir_fd=dir_fd)
        child_fd = os.open(name, _DIR, dir_fd=dir_fd)
        try:
            _copy_dir_out(fs, prefix + name, child_fd)
        finally:
            os.close(child_fd)


def copy_to_host(fs: PyFs, top: str, dest: HostPath) -> None:
    """Copy the file or directory `top` of `fs` to the host path `dest`,
    which must not exist (its parent must). Every entry is made anew:
    nothing is written through an existing name or a link."""
    target = os.path.abspath(os.fspath(dest))
    parent_fd = os.open(os.path.dirname(target), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    name = os.path.basename(target)
    try:
        if not _ops.is_dir(fs, top):
            _write_new_host_file(name, parent_fd, _ops.read_bytes(fs, top))
            return
        os.mkdir(name, 0o777, dir_fd=parent_fd)
        dir_fd = os.open(name, _DIR, dir_fd=parent_fd)
        try:
            _copy_dir_out(fs, top, dir_fd)
        finally:
            os.close(dir_fd)
    finally:
        os.close(parent_fd)


def _write_new_host_file(name: str, dir_fd: int, data: bytes) -> None:
    fd = os.open(name, _NEW_FILE, 0o666, dir_fd=dir_fd)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view) :]
    finally:
        os.close(fd)


def copy_from_tar(archive: HostPath | BinaryIO, fs: PyFs, base: str) -> None:
    """Unpack the tar archive (any compression tarfile reads) into the
    directory `dest`, made if missing. Only files and directories are
    taken: a link or a special member raises `tarfile.SpecialFileError`, a
    member with an absolute name or one that climbs out with ".."
    `tarfile.AbsolutePathError` or `tarfile.OutsideDestinationError`."""
    _ops.make_dir(fs, base, True, True)
    opened = _open_tar(archive, "r:*")
    with opened as tar:
        for member in tar:
            name = member.name
            if name.startswith("/"):
                raise tarfile.AbsolutePathError(member)
            parts = [part for part in name.split("/") if part not in ("", ".")]
            if ".." in parts:
                raise tarfile.OutsideDestinationError(member, name)
            if not (member.isfile() or member.isdir()):
                raise tarfile.SpecialFileError(member)
            if not parts:
                continue
            path = _paths.joined(base, "/".join(parts))
            if member.isdir():
                _ops.make_dir(fs, path, True, True)
                continue
            _ops.make_dir(fs, _paths.parent(path), True, True)
            extracted = tar.extractfile(member)
            if extracted is None:
                raise tarfile.SpecialFileError(member)
            _ops.write_bytes(fs, path, extracted.read())


def copy_to_tar(fs: PyFs, top: str, archive: HostPath | BinaryIO, compression: str) -> None:
    """Pack the directory (or file) `source` into a new tar archive, names
    relative to `source`; `compression` "gz", "bz2" or "xz" compresses."""
    mode = "w:" + compression if compression else "w"
    opened = _open_tar(archive, mode)
    now = int(time.time())
    with opened as tar:
        if not _ops.is_dir(fs, top):
            _add(tar, _paths.name_of(top), _ops.read_bytes(fs, top), now)
            return
        skip = len(top) + (0 if top == "/" else 1)
        for path, is_dir in _tree(fs, top):
            if is_dir:
                info = tarfile.TarInfo(path[skip:])
                info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, now
                tar.addfile(info)
            else:
                _add(tar, path[skip:], _ops.read_bytes(fs, path), now)


def _open_tar(archive: HostPath | BinaryIO, mode: str) -> tarfile.TarFile:
    if isinstance(archive, (str, os.PathLike)):
        return tarfile.TarFile.open(archive, mode)  # type: ignore[call-overload, no-any-return]
    return tarfile.TarFile.open(fileobj=archive, mode=mode)  # type: ignore[call-overload, no-any-return]


def _add(tar: tarfile.TarFile, name: str, data: bytes, mtime: int) -> None:
    info = tarfile.TarInfo(name)
    info.size, info.mode, info.mtime = len(data), 0o644, mtime
    tar.addfile(info, io.BytesIO(data))
