"""marrowfen's failure texts as the standard OSError subclasses.

The module raises every filesystem failure as ValueError carrying a fixed
text. Code that works with files expects OSError with an errno instead, so
the kit turns each known text into the exception the operating system would
raise in the same situation, with the text kept as `strerror` and the path
as `filename`.

A file that another handle holds ("Resource is currently in use") becomes
BlockingIOError (EAGAIN): the file is not refused for good, the way a
permission would be; the same call succeeds once the other handle is
closed, exactly like a non-blocking lock attempt that found the lock taken.
"""

from __future__ import annotations

import errno
import io
from typing import Final

NOT_FOUND: Final = "Inode not found"
NOT_A_DIRECTORY: Final = "The specified INode is not a directory"
NOT_A_FILE: Final = "The specified INode is not a file"
ALREADY_EXISTS: Final = "Resource already exists"
NOT_EMPTY: Final = "Directory is not empty"
IN_USE: Final = "Resource is currently in use"
TOO_DEEP: Final = "Maximum filesystem depth exceeded"
CLOSED: Final = "Invalid file descriptor"
UNSUPPORTED: Final = "File does not support the specified operation: "

# OSError(number, ...) makes the subclass that belongs to the number:
# FileNotFoundError for ENOENT, BlockingIOError for EAGAIN, and so on.
_ERRNO: Final[dict[str, int]] = {
    NOT_FOUND: errno.ENOENT,
    NOT_A_DIRECTORY: errno.ENOTDIR,
    NOT_A_FILE: errno.EISDIR,  # nothing but files and directories is ever created
    ALREADY_EXISTS: errno.EEXIST,
    NOT_EMPTY: errno.ENOTEMPTY,
    IN_USE: errno.EAGAIN,
    TOO_DEEP: errno.ENAMETOOLONG,
    CLOSED: errno.EBADF,
}


def os_error(error: ValueError, path: str | None = None) -> Exception:
    """The exception to raise in place of `error`, a failure of marrowfen.

    Texts this module does not know come back unchanged, as the ValueError
    they are.
    """
    text = error.args[0] if error.args and isinstance(error.args[0], str) else ""
    number = _ERRNO.get(text)
    if number is not None:
        return OSError(number, text, path)
    if text.startswith(UNSUPPORTED):
        # What a built-in file opened without read (or write) access raises.
        return io.UnsupportedOperation(errno.EBADF, text, path)
    return error
