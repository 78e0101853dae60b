"""Shell: a pool account's bash, one command at a time, from threads."""

from __future__ import annotations

import re
from types import TracebackType
from typing import Self

from marrowfen import PyTerminalSession, PyUser

from ._command_result import CommandResult
from ._shell_engine import ShellEngine
from ._shell_front import ShellFront


class Shell(ShellFront):
    """A bash session of a pool account, used one command at a time.

    `Shell(session)` takes over a `PyTerminalSession` fresh from
    `PyUser.spawn()`, and `Shell.start(user)` spawns one. The shell is set up
    once: no prompt, no echo of input, no line editing, no history; then
    every command runs as one framed line and comes back as a CommandResult.
    Leaving a `with` block, close(), or dropping the Shell closes the session.

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

    def __init__(self, session: PyTerminalSession, *, encoding: str = "utf-8", errors: str = "replace") -> None:
        """Sets up `session` and waits for it to answer.

        Raises ShellTimeout or ShellEnded, with the session closed, when the
        shell does not answer within START_TIMEOUT seconds or ends first.
        """
        self._engine = ShellEngine(self, session, encoding, errors)
        self._engine.ensure_ready(None)

    @classmethod
    def start(cls, user: PyUser, *, encoding: str = "utf-8", errors: str = "replace") -> Self:
        """A shell on a new session of `user` (`user.spawn()`)."""
        return cls(user.spawn(), encoding=encoding, errors=errors)


    # ------------------------------------------------------------ operations

    def run(self, command: str, timeout: float | None = 30.0, check: bool = False) -> CommandResult:
        """Runs `command` and returns what it printed and its exit status.

        The command may span several lines and use anything bash accepts; it
        runs in this shell, so `cd`, variables and functions persist. Output
        not yet consumed by expect() is dropped first. Input the command
        reads comes from send().

        `timeout` (seconds, None for none): past it the command is
        interrupted with Ctrl-C and ShellTimeout is raised with the output so
        far; the shell stays usable, unless the command does not come back
        within RECOVERY_TIMEOUT, in which case the shell is closed and the
        error says so. `check=True` raises CommandFailed for a non-zero exit
        status. OutputLimitExceeded beyond `output_limit` bytes of output;
        ShellEnded if the shell is closed or ends (`exit`) meanwhile.
        """
        return self._engine.run(command, timeout, check, None)

    def send(self, text: str | bytes) -> None:
        """Writes `text` to the shell's input as it is (a str is encoded).

        For a command that reads its input, started with run() from another
        thread (or task), or for typing by hand with expect(); interrupt()
        is the safe Ctrl-C. Text that bash itself reads is a command line:
        without a final newline it becomes the start of the next line, a
        run()'s included. Blocks while the shell's input is full.
        """
        self._engine.send(text)

    def expect(self, pattern: str | re.Pattern[str], timeout: float | None = 30.0) -> re.Match[str]:
        """Waits until the output (as text) matches `pattern`, a regular
        expression, and returns the match.

        The output searched is what no run() or expect() has consumed yet;
        the match consumes it up to the match's end. Raises ShellTimeout
        (nothing is interrupted, nothing consumed) when it has not matched
        within `timeout` seconds, OutputLimitExceeded when more than
        `output_limit` characters arrive unmatched, and ShellEnded when the
        shell ends first.
        """
        return self._engine.expect(pattern, timeout, None)

    def interrupt(self) -> None:
        """Sends Ctrl-C: the command running in the shell gets SIGINT.

        While bash is still reading the line of a run() (a moment before the
        command begins), the Ctrl-C waits for the command to begin: bash
        interrupted in the middle of a line drops the part it read and takes
        the rest for a command of its own.
        """
        self._engine.interrupt()

    def close(self) -> None:
        """Kills the shell and stops reading it. Closing twice is harmless.

        The Shell lets go of the session, so that it no longer keeps the
        account in use. Bash and its jobs get the hang-up; processes that
        ignore it live until the account is released.
        """
        self._engine.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

