"""The operations of marrowfen_kit on a filesystem and a canonical path.

MemPath and the fsspec adapter share them. Each turns the module's failures
into the OSError subclasses of _errors. Their reads pass `quiet=True`: the
kit never prints the module's "Read N bytes from file" line.
"""

from __future__ import annotations

import os
import stat as stat_bits
from collections.abc import Buffer
from typing import Final

from marrowfen import PyFs, Whence
from marrowfen_kit._errors import ALREADY_EXISTS, NOT_A_DIRECTORY, NOT_A_FILE, NOT_FOUND, os_error
from marrowfen_kit._paths import parent

SET: Final = Whence.SEEK_SET
CUR: Final = Whence.SEEK_CUR
END: Final = Whence.SEEK_END


def normalise(path: str) -> str:
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




def exists(fs: PyFs, path: str) -> bool:
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


def is_dir(fs: PyFs, path: str) -> bool:
    try:
        fs.listdir(path)
    except ValueError as error:
        if error.args[0] in (NOT_FOUND, NOT_A_DIRECTORY):
            return False
        raise os_error(error, path) from None
    return True


def is_file(fs: PyFs, path: str) -> bool:
    try:
        fs.listdir(path)
    except ValueError as error:
        text = error.args[0]
        if text == NOT_A_DIRECTORY:
            # The path is a file, or a component before its end is.
            return exists(fs, path)
        if text == NOT_FOUND:
            return False
        raise os_error(error, path) from None
    return False


def children(fs: PyFs, path: str) -> list[str]:
    """The paths of the entries of a directory: files, then directories."""
    try:
        files, dirs = fs.listdir(path)
    except ValueError as error:
        raise os_error(error, path) from None
    prefix = "/" if path == "/" else path + "/"
    return [prefix + name for name in (*files, *dirs)]




def make_dir(fs: PyFs, path: str, parents: bool, exist_ok: bool) -> None:
    try:
        fs.mkdir(path)
    except ValueError as error:
        text = error.args[0]
        if text == NOT_FOUND and parents:
            make_dir(fs, parent(path), True, True)
            make_dir(fs, path, False, exist_ok)
            return
        if text == ALREADY_EXISTS and exist_ok and is_dir(fs, path):
            return
        raise os_error(error, path) from None


def read_bytes(fs: PyFs, path: str, start: int | None = None, end: int | None = None) -> bytes:
    """The file's content, or the slice [start:end] of it."""
    try:
        # "/." names the file itself, so a missing file is not created.
        handle = fs.open(path + "/.", "r")
        try:
            handle.seek(0, END)
            size = handle.tell()
            if start is not None or end is not None:
                start, end, _ = slice(start, end).indices(size)
            else:
                start, end = 0, size
            if end <= start:
                return b""
            handle.seek(start, SET)
            return handle.read(end - start, quiet=True)
        finally:
            handle.close()
    except ValueError as error:
        raise os_error(error, path) from None


def write_bytes(fs: PyFs, path: str, data: Buffer) -> int:
    """Makes `data` the whole content of the file; creates a missing file."""
    if type(data) is not bytes:
        data = bytes(memoryview(data))
    try:
        # The handle has the file alone: no reader sees the old content
        # beside the new, and the file keeps its inode id.
        handle = fs.open(path, "w")
        try:
            handle.write(data)
            handle.truncate(len(data))
        finally:
            handle.close()
    except ValueError as error:
        raise os_error(error, path) from None
    return len(data)


# No permissions: every entry may be read and written by everyone.
_FILE_MODE: Final = stat_bits.S_IFREG | 0o666
_DIR_MODE: Final = stat_bits.S_IFDIR | 0o777


def stat(fs: PyFs, path: str) -> os.stat_result:
    """The entry's size, type bits and inode id (a file's; 0 for a
    directory, whose id the module does not expose). Owners, permissions
    and times do not exist: they read as 0 (the mode as rw for all)."""
    try:
        # "/." names the entry itself; a handle with no access rights only
        # counts as a reader for as long as it is open.
        handle = fs.open(path + "/.", "")
    except ValueError as error:
        if error.args[0] == NOT_A_FILE:
            return os.stat_result((_DIR_MODE, 0, id(fs), 1, 0, 0, 0, 0, 0, 0))
        raise os_error(error, path) from None
    try:
        handle.seek(0, END)
        size, ino = handle.tell(), handle.id()
    finally:
        handle.close()
    return os.stat_result((_FILE_MODE, ino, id(fs), 1, 0, 0, size, 0, 0, 0))


def unlink(fs: PyFs, path: str) -> None:
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


def remove_dir(fs: PyFs, path: str, recursive: bool) -> None:
    """Removes a directory (never a file), with its content if `recursive`."""
    try:
        fs.listdir(path)  # refuses a file
        fs.remove(path, recursive)
    except ValueError as error:
        raise os_error(error, path) from None
