"""Files and directories on their way between the driver and a node.

A file or a tree travels as one tar archive in memory whose single top entry
is named `ITEM`: from a host path (modes kept, so that an executable stays
executable), or from a `MemPath` (which has no modes: files 0600,
directories 0700). The receiving side unpacks it with tarfile's "data"
filter, which refuses absolute names, names that climb out, links that point
outside and device files, whatever the archive holds (and leaves directories
with the default mode: the tenant's side sets its own).
"""

from __future__ import annotations

import io
import os
import shutil
import stat
import tarfile
from pathlib import Path
from typing import Final

from marrowfen_kit.fs import MemPath

#: The name of the one top entry of every archive.
ITEM: Final = "item"


def pack_host(source: str | os.PathLike[str]) -> bytes:
    """A host file or directory (links are stored as links, not followed)."""
    path = os.fspath(source)
    if not os.path.lexists(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    kind = os.lstat(path).st_mode
    if not (stat.S_ISDIR(kind) or stat.S_ISREG(kind)):
        raise ValueError(f"source {path!r} is neither a regular file nor a directory")
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w") as archive:
        archive.add(path, arcname=ITEM, recursive=True)
    return buffer.getvalue()


def pack_mem(source: MemPath) -> bytes:
    """A file or a subtree of a PyFs."""
    if not source.exists():
        raise FileNotFoundError(2, "No such file or directory", str(source))
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w") as archive:
        _add_mem(archive, source, ITEM)
    return buffer.getvalue()


def _add_mem(archive: tarfile.TarFile, source: MemPath, name: str) -> None:
    entry = tarfile.TarInfo(name)
    if source.is_dir():
        entry.type, entry.mode = tarfile.DIRTYPE, 0o700
        archive.addfile(entry)
        for child in sorted(source.iterdir()):
            _add_mem(archive, child, f"{name}/{child.name}")
        return
    data = source.read_bytes()
    entry.mode, entry.size = 0o600, len(data)
    archive.addfile(entry, io.BytesIO(data))


def unpack(archive: bytes, directory: str) -> str:
    """Unpacks `archive` into `directory`; the path of its top entry."""
    with tarfile.open(fileobj=io.BytesIO(archive), mode="r") as opened:
        names = opened.getnames()
        if not names or any(name != ITEM and not name.startswith(ITEM + "/") for name in names):
            raise ValueError("the archive does not hold one file or directory")
        opened.extractall(directory, filter="data")
    return os.path.join(directory, ITEM)


def place_host(item: str, dest: str | os.PathLike[str]) -> None:
    """Copies an unpacked `item` to the host path `dest`: a file replaces a
    file there, a directory's contents join a directory there."""
    if os.path.isdir(item) and not os.path.islink(item):
        shutil.copytree(item, dest, symlinks=True, dirs_exist_ok=True)
    else:
        shutil.copy2(item, dest, follow_symlinks=False)


def place_mem(item: str, dest: MemPath) -> None:
    """Copies an unpacked `item` to `dest` in a PyFs (links are skipped: a
    PyFs has none)."""
    path = Path(item)
    if path.is_symlink():
        return
    if path.is_dir():
        dest.mkdir(parents=True, exist_ok=True)
        for child in sorted(path.iterdir()):
            place_mem(str(child), dest / child.name)
        return
    dest.write_bytes(path.read_bytes())
