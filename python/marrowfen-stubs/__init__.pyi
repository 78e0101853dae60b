"""Type information for marrowfen, the native extension module.

Every failure of the filesystem, the terminal, the pool and the sessions is
raised as ValueError with the exact message text as its only argument.
Wrong argument types raise TypeError (OverflowError for a negative or too
large size or offset). A broken invariant raises an exception that derives
from BaseException, not Exception, and is not an attribute of the module.
"""

from typing import ClassVar, SupportsIndex, final

from _typeshed import FileDescriptorLike

__all__ = [
    "PyFs",
    "PyFileHandle",
    "PyTerm",
    "Whence",
    "PyUserPool",
    "PyUser",
    "PyTerminalSession",
]

@final
class PyFs:
    """A highly simplified binding for a simple filesystem.

    It wraps the FileSystem structure and forms the basis for a small
    filesystem usable from Python. It handles files, nested directories
    and symlinks, and it is thread-safe: it can be shared between threads.
    """

    def __new__(cls) -> PyFs: ...
    def mkdir(self, path: str) -> None:
        """Create a new directory in the filesystem.

        Creates a new directory at the given path; an error is raised if the
        directory cannot be created.
        """

    def touch(self, path: str) -> None:
        """Create a new file in the filesystem.

        Creates a new, empty file at the given path; an error is raised if the
        file cannot be created.
        """

    def open(self, path: str, mode: str) -> PyFileHandle:
        """Open a file in the filesystem.

        Opens the file at the given path (creating it when it is missing) and
        returns a handle that can read and write the file; an error is raised
        if the file cannot be opened.
        """

    def listdir(self, path: str) -> tuple[list[str], list[str]]:
        """List the contents of a directory.

        Returns the names of the files and of the directories in the directory
        at the given path; an error is raised if it cannot be listed.
        """

    def remove(self, path: str, recurse: bool) -> None:
        """Remove a file from the filesystem."""

    def tree(self, path: str, ident: str | None = None) -> str:
        """Debug the file system

        Returns a debug representation of the filesystem below the given path
        as a string; an error is raised if it cannot be rendered.
        """

@final
class PyFileHandle:
    """A simple wrapper around the FileHandle structure.

    It forms the basis for a file handle usable from Python. A handle is
    always associated with a filesystem and an inode, and it can read and
    write data to the file.
    """

    def id(self) -> int:
        """Returns a string representation of the file handle.

        Returns the inode id of the file the handle was opened on, as an int;
        raises an error if the handle is closed.
        """

    def close(self) -> None:
        """Close the file handle.

        The Python object still holds a reference to the handle, but later
        reads and writes fail.

        The closed handle still keeps the filesystem and the inode alive until
        it is dropped.
        """

    def read(self, buffer: SupportsIndex, *, quiet: bool | None = False) -> bytes:
        """Read data from the file handle.

        Returns the data read as bytes (at most `buffer` bytes), or raises an
        error.
        """

    def write(self, buffer: bytes) -> int:
        """Write data to the file handle.

        Returns the number of bytes written, or raises an error.
        """

    def seek(self, offset: SupportsIndex, whence: Whence) -> None:
        """Seek a certain position in the file.

        Moves to the new position, which `tell` returns afterwards; raises an
        error if the handle cannot seek.
        """

    def tell(self) -> int:
        """Tell the current position in the file.

        Returns the current position, or raises an error.
        """

    def truncate(self, size: SupportsIndex) -> None:
        """Make the file exactly `size` bytes long.

        Cuts the file short, or lengthens it with zero bytes. Needs a handle
        opened for writing; the position moves back to the new end if it was
        beyond it. The inode id stays the same.
        """

@final
class PyTerm:
    """A structure representing a simple terminal"""

    def __new__(cls, fs: PyFs) -> PyTerm: ...
    def exec(self, command: str) -> str:
        """Execute a command in the terminal."""

@final
class Whence:
    """A small enumeration to determine the whence
    when seeking in a file.
    """

    SEEK_SET: ClassVar[Whence]
    SEEK_CUR: ClassVar[Whence]
    SEEK_END: ClassVar[Whence]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class PyUserPool:
    """A class that represents a pool of UNIX users.

    The pool can be used to create and release user accounts. It is
    thread-safe and can be shared between threads.
    """

    def __new__(
        cls,
        user_count: SupportsIndex | None = None,
        *,
        isolate: bool = False,
        network: bool = True,
        max_processes: SupportsIndex | None = None,
        memory_limit: SupportsIndex | None = None,
        cpu_limit: float | None = None,
        tmp_size: SupportsIndex | None = None,
    ) -> PyUserPool: ...
    def allocate(self) -> PyUser:
        """Allocate a new user account from the pool.

        Returns a user whose fresh, empty home directory it owns; raises an
        error when the pool is exhausted or the account cannot be prepared.
        """

@final
class PyUser:
    """A class that represents a user account in the pool.

    The account can be used to create terminal sessions. It is released
    back to the pool when it is dropped.
    """

    def spawn(self, *, epoll: FileDescriptorLike | None = None) -> PyTerminalSession:
        """Spawn a new terminal session for the user.

        Starts a bash shell as this account, in its home directory.

        With the keyword `epoll` (a select.epoll, or its descriptor), the
        shell's standard output is added to that epoll instance for reading
        until the session is closed, so that an event loop can wait for it.
        """

    def username(self) -> str:
        """Get the username of the user."""

    def uid(self) -> int:
        """Get the UID of the user."""

    def home(self) -> str:
        """Get the home folder of the user."""

@final
class PyTerminalSession:
    """A class that represents a terminal session for a user.

    The session is unique to its user. Dropping it kills the shell and
    releases the user account back to the pool once nothing else holds it.
    """

    def close(self) -> None:
        """Close the terminal session.

        Kills the shell and waits for it; closing twice is harmless.
        """

    def write(self, data: bytes) -> None:
        """Write data to the terminal session.

        Writes all of `data` (bytes) to the shell's standard input.
        """

    def read(self, buffer: SupportsIndex | None = None) -> bytes:
        """Read data from the terminal session.

        One read of at most `buffer` bytes (1024 by default) from the shell's
        standard output; blocks until something is there, b"" at its end.
        """

    def read_err(self, buffer: SupportsIndex | None = None) -> bytes:
        """Read data from the stderr of the terminal session.

        One read of at most `buffer` bytes (1024 by default) from the shell's
        standard error; blocks until something is there, b"" at its end.
        """
