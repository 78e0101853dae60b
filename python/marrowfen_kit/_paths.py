"""The text of MemPath's paths: checked names, joins and canonical form.

A MemPath's path is always absolute and canonical: "/" alone separates,
"." and empty components vanish, ".." goes up one level (at the root it
stays there). Names are checked when a path is made, so that a name the
filesystem would store differently from what was written never reaches it:

- NUL: ValueError, as `os` raises for it;
- a backslash: ValueError (marrowfen's filesystem splits names at it,
  pathlib does not);
- a name longer than 255 bytes in UTF-8: OSError(ENAMETOOLONG).
"""

from __future__ import annotations

import errno
from typing import Final

NAME_MAX: Final = 255
# A name of at most this many characters is at most NAME_MAX bytes long.
_SHORT: Final = NAME_MAX // 4


def check(text: str) -> None:
    """Refuses a path (or a path segment) holding a name MemPath cannot store."""
    if "\0" in text:
        raise ValueError("embedded null byte")
    if "\\" in text:
        raise ValueError(f"backslash in a path: {text!r} (marrowfen's filesystem would split the name there)")
    if len(text) > _SHORT:
        for name in text.split("/"):
            if len(name) > _SHORT and len(name.encode("utf-8", "surrogatepass")) > NAME_MAX:
                raise OSError(errno.ENAMETOOLONG, "File name too long", text)


def canonical(path: str) -> str:
    """The canonical absolute form of a checked `path`."""
    if path[:1] == "/" and "//" not in path and "/." not in path and (path == "/" or path[-1] != "/"):
        return path
    parts: list[str] = []
    for part in path.split("/"):
        if part == "..":
            if parts:
                parts.pop()
        elif part not in ("", "."):
            parts.append(part)
    return "/" + "/".join(parts)


def joined(base: str, segment: str) -> str:
    """`segment` (checked here) joined to the canonical `base`, as pathlib
    joins: a segment that starts with "/" starts again from the root."""
    if "/" not in segment and segment not in ("", ".", "..") and "\0" not in segment and "\\" not in segment:
        if len(segment) > _SHORT:
            check(segment)
        return base + segment if base == "/" else f"{base}/{segment}"
    check(segment)
    if segment[:1] == "/":
        return canonical(segment)
    return canonical(f"{base}/{segment}")


def parent(path: str) -> str:
    """The directory part of a canonical path (the root is its own parent)."""
    return path[: path.rfind("/")] or "/"


def name_of(path: str) -> str:
    return path[path.rfind("/") + 1 :]


def is_within(path: str, base: str) -> bool:
    """Whether the canonical `path` is `base` or below it."""
    return path == base or base == "/" or path.startswith(base + "/")
