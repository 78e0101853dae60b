"""Wildcard patterns of MemPath: `glob`, `rglob`, `match` and `full_match`.

The rules are pathlib's on POSIX: "*" any run of characters within a name
(a leading dot included), "?" one character, "[...]" one of a set, "**" a
whole component standing for any number of directories; matching is
case-sensitive unless `case_sensitive=False`.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Callable, Iterator
from typing import Final

from marrowfen import PyFs
from marrowfen_kit._errors import os_error

Matcher = Callable[[str], "re.Match[str] | None"]
# From 3.13 a pattern that ends in "**" selects files too, not only directories.
_TRAILING_STARSTAR_SELECTS_FILES: Final = sys.version_info >= (3, 13)


def _has_wildcard(part: str) -> bool:
    return "*" in part or "?" in part or "[" in part


def _regex(pattern: str) -> str:
    """The regular expression of one component's pattern; no match crosses "/"."""
    out, i, n = [], 0, len(pattern)
    while i < n:
        c = pattern[i]
        i += 1
        if c == "*":
            out.append("[^/]*")
        elif c == "?":
            out.append("[^/]")
        elif c == "[":
            j = i
            if j < n and pattern[j] in "!^":
                j += 1
            if j < n and pattern[j] == "]":
                j += 1
            while j < n and pattern[j] != "]":
                j += 1
            if j >= n:
                out.append("\\[")
                continue
            body = pattern[i:j].replace("\\", "\\\\")
            i = j + 1
            if body[:1] == "!":
                body = "^" + body[1:]
            elif body[:1] == "^":
                body = "\\" + body
            out.append(f"[{body}]")
        else:
            out.append(re.escape(c))
    return "".join(out)


def _compile(regex: str, case_sensitive: bool | None) -> Matcher:
    flags = re.DOTALL if case_sensitive is None or case_sensitive else re.DOTALL | re.IGNORECASE
    return re.compile(regex, flags).fullmatch


def _parts(pattern: str) -> list[str]:
    """The components of a pattern as pathlib keeps them: no empty or "."
    components (a leading "" marks an absolute pattern)."""
    parts = pattern.split("/")
    kept = [part for part in parts if part not in ("", ".")]
    return [""] + kept if pattern.startswith("/") else kept


def match(path: str, pattern: str, case_sensitive: bool | None) -> bool:
    """pathlib's `match`: a relative pattern matches from the right, an
    absolute one the whole path; "**" acts as "*"."""
    parts = _parts(pattern)
    if not parts:
        raise ValueError("empty pattern")
    names = path.split("/")[1:] if path != "/" else []
    if parts[0] == "":
        parts = parts[1:]
        if len(parts) != len(names):
            return False
    elif len(parts) > len(names):
        return False
    tail = names[len(names) - len(parts) :]
    return all(_compile(_regex(p), case_sensitive)(name) for p, name in zip(parts, tail, strict=True))


def full_match(path: str, pattern: str, case_sensitive: bool | None) -> bool:
    """pathlib's `full_match`: the pattern matches the whole path, "**"
    standing for any number of components."""
    parts = _parts(pattern)
    pieces = []
    for i, part in enumerate(parts):
        last = i == len(parts) - 1
        if part == "**":
            pieces.append(".*" if last else "(?:.+/)?")
        else:
            pieces.append(_regex(part) + ("" if last else "/"))
    return _compile("".join(pieces), case_sensitive)(path) is not None


def glob(fs: PyFs, base: str, pattern: str, case_sensitive: bool | None) -> Iterator[str]:
    """The paths below the directory `base` that `pattern` selects, each once."""
    if not isinstance(pattern, str):
        raise TypeError(f"pattern must be str, not {type(pattern).__name__}")
    if not pattern:
        raise ValueError(f"Unacceptable pattern: {pattern!r}")
    if pattern.startswith("/"):
        raise NotImplementedError("Non-relative patterns are unsupported")
    parts = _parts(pattern)
    dirs_only = pattern.endswith("/")
    if parts and parts[-1] == "**" and not _TRAILING_STARSTAR_SELECTS_FILES:
        dirs_only = True
    exact = case_sensitive is None or case_sensitive
    listings: dict[str, tuple[list[str], list[str]]] = {}

    def listing(path: str) -> tuple[list[str], list[str]] | None:
        found = listings.get(path)
        if found is None:
            try:
                files, dirs = fs.listdir(path)
            except ValueError as error:
                if error.args[0] in ("Inode not found", "The specified INode is not a directory"):
                    return None
                raise os_error(error, path) from None
            found = listings[path] = (files, dirs)
        return found

    def child(path: str, name: str) -> str:
        return path + name if path == "/" else f"{path}/{name}"

    def below(path: str) -> Iterator[str]:
        """`path` and every directory under it, parents first."""
        stack = [path]
        while stack:
            top = stack.pop()
            yield top
            found = listing(top)
            if found:
                stack.extend(child(top, d) for d in reversed(found[1]))

    def select(path: str, i: int) -> Iterator[str]:
        if i == len(parts):
            yield path
            return
        part, last = parts[i], i == len(parts) - 1
        if part == "..":
            parent = path[: path.rfind("/")] or "/"
            yield from select(parent, i + 1)
        elif part == "**":
            for directory in below(path):
                if last:
                    yield directory
                    if not dirs_only:
                        found = listing(directory)
                        if found:
                            for name in found[0]:
                                yield child(directory, name)
                else:
                    yield from select(directory, i + 1)
        elif exact and not _has_wildcard(part):
            found = listing(path)
            if found and (part in found[1] or (last and not dirs_only and part in found[0])):
                yield from select(child(path, part), i + 1)
        else:
            found = listing(path)
            if not found:
                return
            matches = _compile(_regex(part), case_sensitive)
            if last and not dirs_only:
                for name in found[0]:
                    if matches(name):
                        yield child(path, name)
            for name in found[1]:
                if matches(name):
                    yield from select(child(path, name), i + 1)

    if parts.count("**") > 1 or ".." in parts:
        seen: set[str] = set()
        for path in select(base, 0):
            if path not in seen:
                seen.add(path)
                yield path
    else:
        yield from select(base, 0)
