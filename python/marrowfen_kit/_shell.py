"""Shell: a pool account's bash, one command at a time, from threads."""

from __future__ import annotations

import os
import re
import threading
from collections.abc import Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Self

from marrowfen import PyTerminalSession, PyUser

from . import _shell_arguments as arguments
from ._command_result import CommandResult
from ._shell_front import DEFAULT_TERMINAL_SIZE, _ShellFront

if TYPE_CHECKING:
    from .fs import MemPath


class Shell(_ShellFront):
    """A bash session of a pool account, used one command at a time.

    `Shell(session)` takes over a `PyTerminalSession` fresh from
    `PyUser.spawn()` (one Shell per session: a second is refused), and
    `Shell.start(user)` spawns one. The shell is set up once: no prompt, no
    echo of input, no line editing, no history, no job control (no notices
    of background jobs), a terminal of `terminal_size` (80 columns, 24
    lines), PAGER=cat, GIT_PAGER=cat and NO_COLOR=1; then every command runs
    as one framed line and comes back as a CommandResult. Leaving a `with`
    block, close(), or dropping the Shell closes the session.

    Commands run one at a time (concurrent calls of run() and expect() wait
    for each other); send(), interrupt() and close() may be called from any
    thread at any time, also while a command runs.

    `encoding` and `errors` decode the output (and `encoding` encodes
    commands and text sent); errors="surrogateescape" keeps undecodable bytes
    recoverable. Output that is not a valid sequence is never an error with
    the default "replace".

    START_TIMEOUT is how long a new shell has to answer its set-up (15 s);
    RECOVERY_TIMEOUT how long an interrupted command has to come back before
    the shell is given up and closed (2 s). Both may be set on a class or an
    instance.
    """

    def __init__(self, session: PyTerminalSession, *, encoding: str = "utf-8", errors: str = "replace",
                 terminal_size: tuple[int, int] = DEFAULT_TERMINAL_SIZE) -> None:
        """Sets up `session` and waits for it to answer.

        Raises ShellTimeout or ShellEnded, with the session closed, when the
        shell does not answer within START_TIMEOUT seconds or ends first.
        """
        self._busy = threading.Lock()  # one run() or expect() at a time
        engine = self._connect(session, encoding, errors, terminal_size)
        with self._busy:
            engine.complete(engine.ready_steps())

    @classmethod
    def start(cls, user: PyUser, *, encoding: str = "utf-8", errors: str = "replace",
              terminal_size: tuple[int, int] = DEFAULT_TERMINAL_SIZE) -> Self:
        """A shell on a new session of `user` (`user.spawn()`).

        Such a shell knows its account: it can restart(), put() and get().
        """
        arguments.codec(encoding, errors)
        arguments.terminal_size(terminal_size)
        shell = cls(arguments.user(user).spawn(), encoding=encoding, errors=errors, terminal_size=terminal_size)
        shell._remember(user)
        return shell

    # ------------------------------------------------------------ operations

    def run(self, command: str, timeout: float | None = 30.0, check: bool = False, *,
            input: str | bytes | None = None, env: Mapping[str, str] | None = None,
            cwd: str | os.PathLike[str] | None = None) -> CommandResult:
        """Runs `command` and returns what it printed and its exit status.

        The command may span several lines and use anything bash accepts; it
        runs in this shell, so `cd`, variables and functions persist. Output
        not yet consumed by expect() is dropped first. Without `input`, input
        the command reads comes from send().

        `timeout` (seconds, None for none; 0 looks once): past it the
        command is interrupted with Ctrl-C and ShellTimeout is raised with
        the output so far; the shell stays usable, unless the command does
        not come back within RECOVERY_TIMEOUT, in which case the shell is
        closed and the error says so. `check=True` raises CommandFailed for
        a non-zero exit status. OutputLimitExceeded beyond `output_limit`
        bytes of output; ShellEnded if the shell is closed or ends
        meanwhile (`exit`, or a failure under `set -e`), with the shell's
        exit status where it reported it: restart() brings a new one.

        `input` (str or bytes, any bytes at all) is the command's standard
        input, through a pipe (not the terminal, where Ctrl-C, Ctrl-D and
        NUL would act), which ends after it. `env` sets variables for this
        command and what it starts, only. `cwd` is the directory it runs
        in; the shell's own directory is the same after it (a `cd` into
        `cwd` that fails is the command's failure, with bash's message as
        its output).
        """
        steps = self._run_steps(command, timeout, check, input, env, cwd)
        with self._busy:
            return self._engine.complete(steps)

    def send(self, text: str | bytes) -> None:
        """Writes `text` to the shell's input as it is (a str is encoded).

        For a command that reads its input, started with run() from another
        thread (or task), or for typing by hand with expect(); interrupt()
        is the safe Ctrl-C. Text that bash itself reads is a command line:
        without a final newline it becomes the start of the next line, a
        run()'s included. Blocks while the shell's input is full. A NUL
        character is a ValueError (run()'s `input` may hold any bytes).
        """
        data = self._send_data(text)
        engine = self._engine
        if not engine.ready:
            with self._busy:
                engine.complete(engine.ready_steps())
        engine.write_input(data)

    def expect(self, pattern: str | re.Pattern[str], timeout: float | None = 30.0) -> re.Match[str]:
        """Waits until the output (as text) matches `pattern`, a regular
        expression, and returns the match.

        The output searched is what no run() or expect() has consumed yet;
        the match consumes it up to the match's end. Raises ShellTimeout
        (nothing is interrupted, nothing consumed) when it has not matched
        within `timeout` seconds (0 looks once), OutputLimitExceeded when
        more than `output_limit` characters arrive unmatched, and ShellEnded
        when the shell ends first.
        """
        steps = self._expect_steps(pattern, timeout)
        with self._busy:
            return self._engine.complete(steps)

    def interrupt(self) -> None:
        """Sends Ctrl-C: the command running in the shell gets SIGINT.

        While bash is still reading the line of a run() (a moment before the
        command begins), the Ctrl-C waits for the command to begin: bash
        interrupted in the middle of a line drops the part it read and takes
        the rest for a command of its own.
        """
        self._engine.interrupt()

    def resize(self, columns: int, lines: int) -> None:
        """Gives the terminal a new size; waits for a command in progress."""
        steps = self._resize_steps(columns, lines)
        with self._busy:
            self._engine.complete(steps)

    def restart(self) -> None:
        """Replaces the shell with a new one on the same account, set up as
        the first was (size, output limit): after `exit`, say.

        The old shell is closed first (a command in progress ends with
        ShellEnded). Its variables, functions, directory and jobs are gone;
        the account, its home and what it holds stay. Only for a shell made
        by start(); after close(), ShellEnded.
        """
        engine = self._respawn()
        with self._busy:
            engine.complete(engine.ready_steps())

    def put(self, source: str | os.PathLike[str] | bytes | MemPath, dest: str | os.PathLike[str], *,
            limit: int | None = None) -> None:
        """Copies `source` into the account's home as `dest`, from this
        process (never through the shell).

        `source` is a host path (a file, or a directory with its subtree),
        bytes, or a MemPath (a file or a subtree); `dest` a path relative to
        the home, or absolute inside it (anything outside is a ValueError).
        What is written belongs to the account: directories 0700, files 0600
        (0700 where the source is executable). A link the tenant planted is
        never followed. `limit` bounds the bytes copied (a clear error
        beyond it). Only for a shell made by start().
        """
        self._put(source, dest, limit)

    def get(self, source: str | os.PathLike[str], dest: str | os.PathLike[str] | MemPath | None = None, *,
            limit: int | None = None) -> bytes | None:
        """Copies `source`, a file or directory of the account's home
        (relative to it, or absolute inside it), to `dest`: a host path or a
        MemPath; with `dest` None, returns the bytes of a file.

        Done by this process, never through the shell, reading only what the
        account could read and never following a link the tenant planted.
        `limit` bounds the bytes copied. Only for a shell made by start().
        """
        return self._get(source, dest, limit)

    def close(self) -> None:
        """Kills the shell and stops reading it. Closing twice is harmless.

        The Shell lets go of the session and of the account, so that it no
        longer keeps the account in use. Bash and its jobs get the hang-up;
        processes that ignore it live until the account is released.
        """
        self._user = None
        self._engine.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
