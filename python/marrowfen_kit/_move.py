"""Renaming on a PyFs, by replacement.

The filesystem has no rename: an entry's name, parent and depth are fixed
when it is made, and path lookups read them without a lock. So a move makes
the entries anew at the target and removes the old ones. That is why a move
gives every file it moves a new inode id, takes time in proportion to what
it moves, and is not atomic: another thread may see both copies, or part of
a tree at each end.

What can be checked is checked before anything changes: the same failures
as `os.rename` on Linux, and every file of the source is opened for
writing (so a file that some handle holds stops the move with
BlockingIOError before it starts, and no other handle can be opened on
them while it runs).
"""

from __future__ import annotations

import errno
from typing import Final

from marrowfen import PyFileHandle, PyFs
from marrowfen_kit import _ops
from marrowfen_kit._errors import TOO_DEEP, os_error
from marrowfen_kit._paths import is_within, parent

_MAX_DEPTH: Final = 64


def _depth(path: str) -> int:
    return 0 if path == "/" else path.count("/")


def _claim_tree(fs: PyFs, source: str) -> tuple[list[str], list[tuple[str, PyFileHandle]], int]:
    """The directories below `source` (parents first), every file below it
    with a write handle on it, and the depth of its deepest entry below it."""
    dirs: list[str] = []
    files: list[tuple[str, PyFileHandle]] = []
    height, stack = 0, [source]
    try:
        while stack:
            top = stack.pop()
            try:
                names, subdirs = fs.listdir(top)
                for name in names:
                    path = f"{top}/{name}"
                    files.append((path, fs.open(path + "/.", "rw")))
            except ValueError as error:
                raise os_error(error, top) from None
            if names or subdirs:
                height = max(height, _depth(top) - _depth(source) + 1)
            for name in reversed(subdirs):
                dirs.append(f"{top}/{name}")
                stack.append(f"{top}/{name}")
    except BaseException:
        for _, handle in files:
            handle.close()
        raise
    return dirs, files, height


def _content(handle: PyFileHandle) -> bytes:
    handle.seek(0, _ops.END)
    size = handle.tell()
    handle.seek(0, _ops.SET)
    return handle.read(size, quiet=True)


def _write_new(fs: PyFs, path: str, data: bytes) -> None:
    """A new file at `path` holding `data`; one that appeared there meanwhile
    stops the move (ResourceAlreadyExists) rather than being written over."""
    fs.touch(path)
    handle = fs.open(path + "/.", "w")
    try:
        handle.write(data)
    finally:
        handle.close()


def move(fs: PyFs, source: str, target: str) -> None:
    """Moves the file or tree at `source` to `target`, as `os.rename` does on
    Linux: an existing file, or an empty directory, at `target` is replaced."""
    source_is_dir = _ops.is_dir(fs, source)
    if not source_is_dir and not _ops.exists(fs, source):
        raise FileNotFoundError(errno.ENOENT, "No such file or directory", source)
    if source == target:
        return
    if source_is_dir and is_within(target, source):
        raise OSError(errno.EINVAL, "Invalid argument: a directory cannot move into itself", source)
    if not _ops.is_dir(fs, parent(target)):
        _ops.stat(fs, parent(target))  # raises what a lookup of the parent raises
        raise NotADirectoryError(errno.ENOTDIR, "Not a directory", target)
    target_is_dir = _ops.is_dir(fs, target)
    target_exists = target_is_dir or _ops.exists(fs, target)
    if target_exists:
        if source_is_dir and not target_is_dir:
            raise NotADirectoryError(errno.ENOTDIR, "Not a directory", target)
        if not source_is_dir and target_is_dir:
            raise IsADirectoryError(errno.EISDIR, "Is a directory", target)
        if target_is_dir and any(fs.listdir(target)):
            raise OSError(errno.ENOTEMPTY, "Directory not empty", target)
    if source_is_dir:
        dirs, files, height = _claim_tree(fs, source)
        if _depth(target) + height > _MAX_DEPTH:
            for _, handle in files:
                handle.close()
            raise os_error(ValueError(TOO_DEEP), target)
    else:
        try:
            files, dirs = [(source, fs.open(source + "/.", "rw"))], []
        except ValueError as error:
            raise os_error(error, source) from None
    try:
        if target_is_dir:
            _ops.remove_dir(fs, target, False)
        elif target_exists:
            _ops.unlink(fs, target)
        offset = len(source)
        if source_is_dir:
            _ops.make_dir(fs, target, False, False)
            for path in dirs:
                _ops.make_dir(fs, target + path[offset:], False, False)
        while files:
            path, handle = files[-1]
            try:
                _write_new(fs, target + path[offset:], _content(handle))
                handle.close()
                files.pop()
                fs.remove(path, False)
            except ValueError as error:
                raise os_error(error, path) from None
        for path in (*reversed(dirs), source) if source_is_dir else ():
            _ops.remove_dir(fs, path, False)
    finally:
        for _, handle in files:
            handle.close()
