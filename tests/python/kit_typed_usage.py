"""marrowfen_kit used with the types it declares.

test_kit_package.py checks this file twice: `mypy --strict` over it and the
kit's own source, where `assert_type` pins every result and each line in
`misuse` must keep needing its `type: ignore`; and a plain run, in which
every result must also have the declared type.
"""

from __future__ import annotations

import datetime
import io
import os
import pathlib
from typing import assert_type

from marrowfen import PyFs
from marrowfen_kit.fs import MemFile, MemPath, copy_to_tar
from marrowfen_kit.fsspec import MarrowfenFile, MarrowfenFileSystem
from marrowfen_kit.term import LineRefused, StrictTerm


def use_paths() -> None:
    fs = PyFs()
    root = MemPath(fs)
    path = root / "docs" / "notes.txt"
    assert_type(path, MemPath)
    assert_type(path.parent, MemPath)
    assert_type(path.joinpath("a", "b"), MemPath)
    assert_type(path.parts, tuple[str, ...])
    assert_type(path.fs, PyFs)
    assert (path.name, path.stem, path.suffix) == ("notes.txt", "notes", ".txt")

    path.parent.mkdir(parents=True, exist_ok=True)
    written = path.write_text("hello\n")
    assert_type(written, int)
    text = path.read_text(encoding="utf-8")
    assert_type(text, str)
    data = path.read_bytes()
    assert_type(data, bytes)
    assert type(written) is int and type(text) is str and type(data) is bytes
    exists = path.exists()
    assert_type(exists, bool)
    assert exists and path.is_file() and not path.is_dir()
    entries = list(root.iterdir())
    assert_type(entries, list[MemPath])
    assert entries == [root / "docs"]

    with path.open("a") as appended:
        assert_type(appended, io.TextIOWrapper)
        appended.write("more\n")
    with path.open("rb") as binary:
        assert_type(binary, MemFile)
        assert isinstance(binary, MemFile)
        assert_type(binary.read(), bytes)
    mode: str = "r"
    with path.open(mode) as either:
        assert_type(either, io.TextIOWrapper | MemFile)
    found = list(root.glob("**/*.txt"))
    assert_type(found, list[MemPath])
    assert found == [path] and list(root.rglob("*.txt")) == found
    for top, dirs, files in root.walk():
        assert_type(top, MemPath)
        assert_type(dirs, list[str])
        assert_type(files, list[str])
    info = path.stat()
    assert_type(info, os.stat_result)
    assert info.st_size == len("hello\nmore\n")
    assert_type(path.relative_to(root), pathlib.PurePosixPath)
    assert_type(path.parents, tuple[MemPath, ...])
    assert_type(path.with_suffix(".md").full_match("/docs/*.md"), bool)
    moved = path.rename(path.with_stem("moved"))
    assert_type(moved, MemPath)
    archive = io.BytesIO()
    copy_to_tar(root, archive)
    moved.unlink()
    root.joinpath("docs").rmtree()


def use_fsspec() -> None:
    filesystem = MarrowfenFileSystem(PyFs())
    filesystem.pipe_file("/a/b", b"data")
    assert filesystem.cat_file("/a/b") == b"data"
    with filesystem.open("/a/b", "rb") as file:
        assert isinstance(file, MarrowfenFile) and file.size == 4
    assert_type(filesystem.modified("/a/b"), datetime.datetime)


def use_term() -> None:
    term = StrictTerm(PyFs())
    listing = term.exec("mkdir d")
    assert_type(listing, str)
    assert_type(term.check("ls"), None)
    try:
        term.exec("ls; pwd")
    except LineRefused as refused:
        assert_type(refused, LineRefused)
        assert isinstance(refused, ValueError)


def misuse() -> None:
    """Never run; each line must stay a type error."""
    fs = PyFs()
    MemPath(fs, 1)  # type: ignore[arg-type]
    MemPath(fs) / 1  # type: ignore[operator]
    MemPath(fs).mkdir("0o777")  # type: ignore[arg-type]
    MemPath(fs).write_text(b"bytes")  # type: ignore[arg-type]
    MemPath(fs).write_bytes("text")  # type: ignore[arg-type]
    StrictTerm(fs).exec(b"ls")  # type: ignore[arg-type]
    text: str = MemPath(fs).read_bytes()  # type: ignore[assignment]
    del text


if __name__ == "__main__":
    use_paths()
    use_fsspec()
    use_term()
    print("kit typed usage ok")
