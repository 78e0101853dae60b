"""The errors of a shell's commands.

Every one of them is a ShellError, which says which command it concerns and
what that command printed; each also derives from the standard exception a
caller would catch for the same situation (TimeoutError, EOFError).
"""

from __future__ import annotations

from ._command_result import CommandResult


class ShellError(Exception):
    """A command of a shell, or the shell itself, did not end as asked.

    `command` is the command concerned (None when there is none: the start
    of the shell, expect()), `output` what it printed, as far as it came.
    """

    def __init__(self, message: str, *, command: str | None, output: str) -> None:
        super().__init__(message)
        self.command = command
        self.output = output


class CommandFailed(ShellError):
    """A command run with `check=True` ended with a non-zero exit status.

    `result` is its CommandResult (`command` and `output` are the result's).
    """

    def __init__(self, result: CommandResult) -> None:
        super().__init__(f"Command {result.command!r} returned non-zero exit status {result.exit_status}",
                         command=result.command, output=result.output)
        self.result = result


class ShellTimeout(ShellError, TimeoutError):
    """A command, a pattern or the shell's start took longer than allowed.

    `command` is the command that timed out (None for expect() and for the
    start), `output` what had arrived within the time,
    `timeout` the limit in seconds. A timed-out command was interrupted with
    Ctrl-C; `closed` tells whether the shell failed to come back from that
    (or never started) and was closed.
    """

    def __init__(self, message: str, *, command: str | None, output: str, timeout: float, closed: bool) -> None:
        super().__init__(message, command=command, output=output)
        self.timeout = timeout
        self.closed = closed


class OutputLimitExceeded(ShellError):
    """More output than the shell's `output_limit` allows came back.

    From run(): the command printed more than `limit` bytes; it was
    interrupted with Ctrl-C (unless it had just ended) and the rest of its
    output was dropped. From expect(): that much output arrived without a
    match, and it was dropped. `output` is the text of the first `limit`
    bytes; `closed` tells whether the shell failed to come back from the
    interruption and was closed.
    """

    def __init__(self, message: str, *, command: str | None, output: str, limit: int, closed: bool) -> None:
        super().__init__(message, command=command, output=output)
        self.limit = limit
        self.closed = closed


class ShellEnded(ShellError, EOFError):
    """The shell is gone: it was closed, it exited (`exit`, a fatal error), or
    it was killed.

    `command` is the command that was running when it ended (None if none
    was), `output` what that command printed before, and `exit_status` the
    shell's exit status where the shell reported it as it exited (None
    otherwise: it was killed, or closed, or replaced by `exec`).
    """

    def __init__(self, message: str, *, command: str | None = None, output: str = "",
                 exit_status: int | None = None) -> None:
        super().__init__(message, command=command, output=output)
        self.exit_status = exit_status
