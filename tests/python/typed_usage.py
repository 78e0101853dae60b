"""Every class and method of marrowfen, used with the types its stubs declare.

test_stubs.py checks this file twice:
- `mypy --strict` against the installed stubs: `assert_type` pins the type of
  every result, and each line in `misuse` must keep needing its
  `type: ignore` (strict mode reports an ignore that is no longer needed), so
  the stubs must keep refusing what the module refuses;
- a plain run: `use_fs` and `use_term` always, `use_pool` only as root. At run
  time every result must also have the declared type.
"""

from __future__ import annotations

import sys
from typing import assert_type

from marrowfen import PyFileHandle, PyFs, PyTerm, PyTerminalSession, PyUser, PyUserPool, Whence


def _is_str_list(value: object) -> bool:
    return isinstance(value, list) and all(isinstance(item, str) for item in value)


def use_fs() -> None:
    fs = PyFs()
    assert_type(fs.mkdir("/docs"), None)
    assert_type(fs.mkdir(path="/docs/sub"), None)
    assert_type(fs.touch("/docs/notes"), None)

    listing = fs.listdir("/docs")
    assert_type(listing, tuple[list[str], list[str]])
    files, dirs = listing
    assert type(listing) is tuple and _is_str_list(files) and _is_str_list(dirs)
    assert listing == (["notes"], ["sub"])

    tree = fs.tree("/")
    assert_type(tree, str)
    assert tree == fs.tree("/", None) and fs.tree(path="/", ident="> ").startswith("> docs/")
    assert isinstance(str(fs), str)

    handle = fs.open("/docs/notes", "rw")
    assert_type(handle, PyFileHandle)
    assert isinstance(handle, PyFileHandle)

    written = handle.write(b"hello")
    assert_type(written, int)
    assert type(written) is int and written == 5

    data = handle.read(10)
    assert_type(data, bytes)
    assert type(data) is bytes and data == b"hello"

    assert_type(handle.seek(2, Whence.SEEK_END), None)
    position = handle.tell()
    assert_type(position, int)
    assert type(position) is int and position == 3
    handle.seek(offset=0, whence=Whence.SEEK_SET)
    handle.seek(1, Whence.SEEK_CUR)
    assert handle.tell() == 1

    inode = handle.id()
    assert_type(inode, int)
    assert type(inode) is int

    assert_type(handle.close(), None)
    assert "id: None" in str(handle)

    whence = Whence.SEEK_CUR
    assert_type(whence, Whence)
    assert isinstance(whence, Whence) and int(whence) == 1
    assert whence == 1 and whence != Whence.SEEK_END

    assert_type(fs.remove("/docs", True), None)
    fs.touch("/f")
    fs.remove(path="/f", recurse=False)
    assert fs.listdir("/") == ([], [])


def use_term() -> None:
    fs = PyFs()
    term = PyTerm(fs)
    assert isinstance(PyTerm(fs=fs), PyTerm)
    output = term.exec("mkdir d")
    assert_type(output, str)
    assert type(output) is str and output == ""
    assert term.exec(command="ls") == "d/\n"
    try:
        term.exec("nope")
    except ValueError as error:
        assert error.args == ("nope: command not found",)
    else:
        raise AssertionError("an unknown command must raise ValueError")


def use_pool() -> None:
    pool = PyUserPool()
    assert isinstance(PyUserPool(user_count=1), PyUserPool)
    assert isinstance(PyUserPool(None), PyUserPool)

    user = pool.allocate()
    assert_type(user, PyUser)
    assert isinstance(user, PyUser)

    name, uid, home = user.username(), user.uid(), user.home()
    assert_type(name, str)
    assert_type(uid, int)
    assert_type(home, str)
    assert type(name) is str and type(uid) is int and type(home) is str
    assert str(user) == f"{{ username: {name}, uid: {uid}, home: {home} }}"

    session = user.spawn()
    assert_type(session, PyTerminalSession)
    assert isinstance(session, PyTerminalSession)

    assert_type(session.write(b"exit 0\n"), None)
    # The shell exits, so every read below ends (b"" at end of stream).
    out = session.read()
    assert_type(out, bytes)
    assert type(out) is bytes
    while session.read(buffer=64):
        pass
    err = session.read_err(None)
    assert_type(err, bytes)
    assert type(err) is bytes
    while session.read_err(16):
        pass
    assert_type(session.close(), None)
    session.close()


def misuse(fs: PyFs, handle: PyFileHandle, session: PyTerminalSession) -> None:
    """Never run: what the module refuses at run time, the stubs refuse too."""
    fs.remove("/a")  # type: ignore[call-arg]
    fs.remove("/a", 1)  # type: ignore[arg-type]
    fs.mkdir(b"/a")  # type: ignore[arg-type]
    fs.tree("/", None, 1)  # type: ignore[call-arg]
    handle.write("text")  # type: ignore[arg-type]
    handle.write(bytearray(b"data"))  # type: ignore[arg-type]
    handle.seek(0, 0)  # type: ignore[arg-type]
    handle.read(1.5)  # type: ignore[arg-type]
    session.write("text")  # type: ignore[arg-type]
    PyTerm("not a filesystem")  # type: ignore[arg-type]
    PyUserPool("many")  # type: ignore[arg-type]


if __name__ == "__main__":
    use_fs()
    use_term()
    if "--pool" in sys.argv[1:]:
        use_pool()
    print("typed usage ok")
