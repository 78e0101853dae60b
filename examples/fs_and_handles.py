"""The in-memory filesystem and its files, through marrowfen_kit's paths.

Builds a small tree, writes and reads files through file objects, shows the
per-file reader/writer lock and how failures surface: as the OSError
subclasses Python code expects, with marrowfen's message as the text. Needs
nothing from the host. Each read also prints "Read N bytes from file"
straight to file descriptor 1; that line is part of the module's behaviour,
not of this script.

    python examples/fs_and_handles.py
"""

import io
import sys
from typing import Callable

from marrowfen import PyFs
from marrowfen_kit.fs import MemPath


def show(label: str, value: object) -> None:
    print(f"{label}: {value!r}")
    sys.stdout.flush()  # keeps our lines in order with the module's read lines on descriptor 1


fs = PyFs()
docs = MemPath(fs, "/docs")

# Paths as in pathlib; "/" and "\" both separate, "." and ".." work.
(docs / "drafts").mkdir(parents=True)
(docs / "readme.txt").touch()
(docs / "drafts/../todo.txt").touch()
show("entries of /docs", [p.name for p in docs.iterdir()])  # files, then directories
assert fs.listdir("/docs") == (["readme.txt", "todo.txt"], ["drafts"])
print(fs.tree("/"), end="")

# Every failure is an OSError subclass carrying the exact message.
attempts: list[tuple[Callable[[], object], type[OSError]]] = [
    (docs.mkdir, FileExistsError),  # "Resource already exists"
    (MemPath(fs, "/nowhere").iterdir, FileNotFoundError),  # "Inode not found"
    (docs.rmdir, OSError),  # "Directory is not empty", errno ENOTEMPTY
    (docs.read_bytes, IsADirectoryError),  # "The specified INode is not a file"
]
for attempt, kind in attempts:
    try:
        attempt()
        raise AssertionError(f"expected {kind.__name__}")
    except OSError as error:
        show("refused", error)
        assert type(error) is kind

# File objects work as the built-in open's do. A writer has the file to
# itself until its with block ends; readers share it.
notes = docs / "notes"
with notes.open("w") as f:
    f.write("hello")
    try:
        notes.read_text()
    except BlockingIOError as error:
        show("read while writing", error.strerror)  # "Resource is currently in use"
with notes.open("a") as f:
    f.write(", world\n")
with notes.open("rb") as binary:
    binary.seek(-6, io.SEEK_END)
    show("the last word", binary.read(5))
readers = [notes.open("rb") for _ in range(3)]
try:
    notes.write_text("replaced")
except BlockingIOError:
    show("write while 3 readers", "refused")
for reader in readers:
    reader.close()
notes.write_text("short")  # a shorter content replaces the old one whole
assert notes.read_text() == "short"

# A closed file refuses everything; one dropped without close() gives its
# lock back, so the tree can go.
try:
    readers[0].read()
except ValueError as error:
    show("closed file", str(error))
writer = (docs / "readme.txt").open("wb")
del writer
docs.rmtree()
assert fs.listdir("/") == ([], [])
print("fs_and_handles: ok")
