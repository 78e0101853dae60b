"""The in-memory filesystem and its file handles.

Builds a small tree, writes and reads a file through handles, shows the
per-file reader/writer lock and how failures surface. Needs nothing from the
host. Each `read` also prints "Read N bytes from file" straight to file
descriptor 1; that line is part of the module's behaviour, not of this script.

    python examples/fs_and_handles.py
"""

import sys
from typing import Callable

from marrowfen import PyFs, Whence


def show(label: str, value: object) -> None:
    print(f"{label}: {value!r}")
    # The module's read line goes straight to descriptor 1; flushing keeps
    # our own lines in order with it.
    sys.stdout.flush()


fs = PyFs()

# Directories and files by path; "/" and "\" both separate, "." and ".." work.
fs.mkdir("/docs")
fs.mkdir("/docs/drafts")
fs.touch("/docs/readme.txt")
fs.touch("/docs/drafts/../todo.txt")
show("listdir /docs", fs.listdir("/docs"))  # (['readme.txt', 'todo.txt'], ['drafts'])
assert fs.listdir("/docs") == (["readme.txt", "todo.txt"], ["drafts"])
print(fs.tree("/"), end="")

# Every failure is a ValueError carrying the exact message.
attempts: list[tuple[Callable[[], object], str]] = [
    (lambda: fs.mkdir("/docs"), "Resource already exists"),
    (lambda: fs.listdir("/nowhere"), "Inode not found"),
    (lambda: fs.remove("/docs", False), "Directory is not empty"),
    (lambda: fs.open("/docs/notes", "a"), "Unrecognized file mode"),
]
for attempt, expected in attempts:
    try:
        attempt()
    except ValueError as error:
        show("refused", error.args[0])
        assert error.args == (expected,)
    else:
        raise AssertionError(f"expected ValueError({expected!r})")

# A handle: writes do not move the offset, reads do.
handle = fs.open("/docs/notes", "rw")  # a missing file is created
assert handle.write(b"hello") == 5
assert handle.tell() == 0
handle.seek(0, Whence.SEEK_END)  # to append, seek to the end first
handle.write(b", world\n")
handle.seek(0, Whence.SEEK_SET)
data = handle.read(64)
show("read", data)
assert data == b"hello, world\n"
handle.seek(6, Whence.SEEK_END)  # distances count back from the end
show("tell after SEEK_END 6", handle.tell())
assert handle.read(5) == b"world"

# The file's lock: one writer, or any number of readers, never both.
try:
    fs.open("/docs/notes", "r")
except ValueError as error:
    show("second open while writing", error.args[0])
    assert error.args == ("Resource is currently in use",)
handle.close()
readers = [fs.open("/docs/notes", "r") for _ in range(3)]
assert all(reader.id() == readers[0].id() for reader in readers)
for reader in readers:
    reader.close()

# A closed handle refuses everything but str().
try:
    handle.read(1)
except ValueError as error:
    assert error.args == ("Invalid file descriptor",)
assert "id: None" in str(handle)

# A handle dropped without close() gives its lock back; then the file can go.
writer = fs.open("/docs/readme.txt", "w")
del writer
fs.remove("/docs", True)
show("after remove", fs.listdir("/"))
assert fs.listdir("/") == ([], [])
print("fs_and_handles: ok")
