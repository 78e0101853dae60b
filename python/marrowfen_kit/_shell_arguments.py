"""The checks at the door of Shell and AsyncShell.

Each takes an argument as the caller gave it and returns it in the form the
engine works with, or raises TypeError (a wrong type) or ValueError (a wrong
value) with a message that names the argument.
"""

from __future__ import annotations

import codecs
import math
import os
import re
from collections.abc import Mapping
from typing import NoReturn

from marrowfen import PyUser

# What bash accepts as the name of a variable.
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
# The largest terminal size `stty` accepts, in each direction.
_MAX_TERMINAL_SIDE = 0xFFFF


def _wrong_type(name: str, expected: str, value: object) -> NoReturn:
    raise TypeError(f"{name} must be {expected}, not {type(value).__name__}")


def text(name: str, value: object) -> str:
    if not isinstance(value, str):
        _wrong_type(name, "str", value)
    return value


def flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        _wrong_type(name, "bool", value)
    return value


def timeout(value: object) -> float | None:
    """A number of seconds, at least 0 and finite, or None (no limit)."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        _wrong_type("timeout", "a number of seconds or None", value)
    if not (value >= 0 and math.isfinite(value)):
        raise ValueError(f"timeout must be a non-negative finite number of seconds or None, not {value!r}")
    return float(value)


def without_nul(name: str, data: bytes) -> bytes:
    if b"\0" in data:
        raise ValueError(f"{name} contains a NUL character")
    return data


def encoded(name: str, value: object, encoding: str) -> bytes:
    """A str (encoded, undecodable bytes kept) or bytes, without NUL."""
    if isinstance(value, str):
        data = value.encode(encoding, "surrogateescape")
    elif isinstance(value, bytes):
        data = value
    else:
        _wrong_type(name, "str or bytes", value)
    return without_nul(name, data)


def stdin_data(value: object, encoding: str) -> bytes | None:
    """`input`: any bytes at all, or a str to encode, or None."""
    if value is None:
        return None
    if isinstance(value, str):
        return value.encode(encoding, "surrogateescape")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    _wrong_type("input", "str, bytes or None", value)


def environment(value: object, encoding: str) -> list[tuple[bytes, bytes]]:
    """`env`: a mapping of variable names to str values, or None."""
    if value is None:
        return []
    if not isinstance(value, Mapping):
        _wrong_type("env", "a mapping or None", value)
    pairs = []
    for name, setting in value.items():
        if not isinstance(name, str):
            _wrong_type("env's names", "str", name)
        if not _NAME.match(name):
            raise ValueError(f"env's name {name!r} is not a shell variable name")
        pairs.append((name.encode("ascii"), encoded(f"env[{name!r}]", text(f"env[{name!r}]", setting), encoding)))
    return pairs


def directory(value: object, encoding: str) -> bytes | None:
    """`cwd`: a path (str or os.PathLike of str), or None."""
    if value is None:
        return None
    path = os.fspath(value) if isinstance(value, os.PathLike) else value
    if not isinstance(path, str):
        _wrong_type("cwd", "str, os.PathLike or None", value)
    return encoded("cwd", path, encoding)


def codec(encoding: object, errors: object) -> tuple[str, str]:
    """`encoding` and `errors`, both known to the codecs registry."""
    checked = text("encoding", encoding), text("errors", errors)
    codecs.lookup(checked[0])
    codecs.lookup_error(checked[1])
    return checked


def terminal_size(value: object) -> tuple[int, int]:
    """`terminal_size`: (columns, lines), each from 1 to 65535."""
    if not isinstance(value, tuple) or len(value) != 2:
        _wrong_type("terminal_size", "a (columns, lines) tuple", value)
    for side in value:
        if isinstance(side, bool) or not isinstance(side, int):
            _wrong_type("terminal_size's columns and lines", "int", side)
        if not 1 <= side <= _MAX_TERMINAL_SIDE:
            raise ValueError(f"terminal_size's columns and lines must be from 1 to {_MAX_TERMINAL_SIDE}, not {side}")
    return value[0], value[1]


def user(value: object) -> PyUser:
    if not isinstance(value, PyUser):
        _wrong_type("user", "a marrowfen.PyUser", value)
    return value


def output_limit(value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        _wrong_type("output_limit", "int", value)
    if value < 1:
        raise ValueError(f"output_limit must be a positive int, not {value!r}")
    return value
