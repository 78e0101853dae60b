"""What Shell and AsyncShell share: the engine they stand on, its settings,
its state, and the checks of their arguments."""

from __future__ import annotations

import importlib
import os
import pwd
import re
import select
from typing import Protocol

from marrowfen import PyTerminalSession, PyUser

from . import _shell_arguments as arguments
from ._command_result import CommandResult
from ._shell_engine import ShellEngine, Steps
from ._shell_errors import ShellEnded

#: What a new shell's terminal measures: 80 columns, 24 lines.
DEFAULT_TERMINAL_SIZE = (80, 24)


class _ShellFront:
    """The base of Shell and AsyncShell.

    START_TIMEOUT is how long a new shell has to answer its set-up (15 s);
    RECOVERY_TIMEOUT how long an interrupted command has to come back before
    the shell is given up and closed (2 s). Both may be set on a class or an
    instance.
    """

    #: Seconds the shell has to answer its set-up.
    START_TIMEOUT = 15.0
    #: Seconds a command has to come back after Ctrl-C before the shell is
    #: given up and closed.
    RECOVERY_TIMEOUT = 2.0

    _engine: ShellEngine
    # The account, for restart(), put() and get(): known to a shell made by
    # start() (`_started`), let go of by close().
    _user: PyUser | None = None
    _started = False

    def _connect(self, session: PyTerminalSession, encoding: object, errors: object,
                 terminal_size: object, epoll: select.epoll | None = None) -> ShellEngine:
        encoding, errors = arguments.codec(encoding, errors)
        self._engine = ShellEngine(self, session, encoding, errors, arguments.terminal_size(terminal_size), epoll)
        return self._engine

    def _spawn(self, user: PyUser) -> tuple[PyTerminalSession, select.epoll | None]:
        """A new session of `user`, and the epoll instance that watches its
        output if the shell's event loop is to read it (AsyncShell)."""
        return user.spawn(), None

    def _respawn(self) -> ShellEngine:
        """A new engine on a new session of the same account, set as the
        old one was (not yet ready); the old one is closed."""
        user = self._account("restart()")
        old = self._engine
        old.close()
        session, epoll = self._spawn(user)
        engine = ShellEngine(self, session, old.encoding, old.errors, old.terminal_size, epoll)
        engine.output_limit = old.output_limit
        self._engine = engine
        return engine

    # ------------------------------------------------------------ state

    @property
    def output_limit(self) -> int:
        """The most bytes of output one run() keeps (and the most text that
        expect() holds unmatched); beyond it they raise OutputLimitExceeded.
        64 MiB by default. Output waiting to be read is bounded by it too."""
        return self._engine.output_limit

    @output_limit.setter
    def output_limit(self, limit: int) -> None:
        self._engine.output_limit = arguments.output_limit(limit)

    @property
    def closed(self) -> bool:
        """True once the shell was closed or has ended by itself."""
        return self._engine.closed

    @property
    def encoding(self) -> str:
        """The encoding of the shell's input and output."""
        return self._engine.encoding

    @property
    def terminal_size(self) -> os.terminal_size:
        """The size of the shell's terminal (80 columns, 24 lines unless
        asked otherwise), as os.get_terminal_size() gives it."""
        return os.terminal_size(self._engine.terminal_size)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {'closed' if self.closed else 'open'}>"

    # ------------------------------------------------------------ checks

    def _run_steps(self, command: object, timeout: object, check: object, input: object, env: object,
                   cwd: object) -> Steps[CommandResult]:
        engine = self._engine
        encoding = engine.encoding
        text = arguments.text("command", command)
        arguments.without_nul("command", text.encode(encoding, "surrogateescape"))
        return engine.run_steps(text, arguments.timeout(timeout), arguments.flag("check", check),
                                stdin=arguments.stdin_data(input, encoding),
                                env=arguments.environment(env, encoding), cwd=arguments.directory(cwd, encoding))

    def _expect_steps(self, pattern: object, timeout: object) -> Steps[re.Match[str]]:
        if isinstance(pattern, str):
            regex = re.compile(pattern)
        elif isinstance(pattern, re.Pattern) and isinstance(pattern.pattern, str):
            regex = pattern
        else:
            raise TypeError(f"pattern must be str or re.Pattern[str], not {type(pattern).__name__}")
        return self._engine.expect_steps(regex, arguments.timeout(timeout))

    def _send_data(self, text: object) -> bytes:
        return arguments.encoded("text", text, self._engine.encoding)

    def _resize_steps(self, columns: object, lines: object) -> Steps[None]:
        size = arguments.terminal_size((columns, lines))
        return self._engine.resize_steps(*size)

    def _put(self, source: object, dest: object, limit: object) -> None:
        """put(), checked, carried out on this thread."""
        from .fs import MemPath

        if not isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview, MemPath)):
            raise TypeError(f"source must be a str, os.PathLike, bytes or MemPath, not {type(source).__name__}")
        _check_home_path("dest", dest)
        checked_limit = _check_limit(limit)
        user = self._account("put()")
        uid = user.uid()
        _transfer().put(user.home(), uid, pwd.getpwuid(uid).pw_gid, source, dest, limit=checked_limit)

    def _get(self, source: object, dest: object, limit: object) -> bytes | None:
        """get(), checked, carried out on this thread."""
        from .fs import MemPath

        _check_home_path("source", source)
        if dest is not None and not isinstance(dest, (str, os.PathLike, MemPath)):
            raise TypeError(f"dest must be a str, os.PathLike, MemPath or None, not {type(dest).__name__}")
        checked_limit = _check_limit(limit)
        return _transfer().get(self._account("get()").home(), source, dest, limit=checked_limit)

    def _account(self, needed_by: str) -> PyUser:
        user = self._user
        if user is not None:
            return user
        if self._started:
            raise ShellEnded("The shell is closed")
        raise ValueError(f"{needed_by} needs the shell's account: this shell was made from a session, not by start()")

    def _remember(self, user: PyUser) -> None:
        """start(): the account the shell runs as."""
        self._user, self._started = user, True


class _Transfer(Protocol):
    """The copying of files into a home and out of it (`_transfer`)."""

    def put(self, home: str, uid: int, gid: int, source: object, dest: object, *,
            limit: int | None = None) -> None: ...

    def get(self, home: str, source: object, dest: object = None, *, limit: int | None = None) -> bytes | None: ...


def _transfer() -> _Transfer:
    """The module that copies files, imported on first use."""
    module: _Transfer = importlib.import_module("._transfer", __package__)
    return module


def _check_home_path(name: str, value: object) -> None:
    if not isinstance(value, (str, os.PathLike)):
        raise TypeError(f"{name} must be a str or os.PathLike, not {type(value).__name__}")


def _check_limit(limit: object) -> int | None:
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be an int or None, not {type(limit).__name__}")
    if limit < 0:
        raise ValueError(f"limit must not be negative, not {limit}")
    return limit

