"""Driving a real shell: run a command, get its output and exit status.

`Shell` wraps a `marrowfen.PyTerminalSession` (a bash running as a pool
account on a pseudo-terminal) and turns its raw byte streams into commands
with results::

    with Shell.start(pool.allocate()) as shell:
        result = shell.run("id -un")       # CommandResult(command='id -un', output='test_...\\n', exit_status=0)
        shell.run("false", check=True)     # raises CommandFailed
        shell.run("sleep 600", timeout=1)  # raises ShellTimeout; the shell stays usable

`AsyncShell` offers the same operations as coroutines. Both read the shell's
output in a thread of their own, so that every wait has a deadline and
neither the interpreter nor the event loop is held while the shell is silent.
"""

from __future__ import annotations

import asyncio
import codecs
import concurrent.futures
import dataclasses
import enum
import functools
import re
import threading
import time
import weakref
from collections.abc import Callable
from types import TracebackType
from typing import Self, TypeVar

from marrowfen import PyTerminalSession, PyUser

from . import _frames, _terminal_text
from ._output_pump import OutputPump

__all__ = [
    "Shell",
    "AsyncShell",
    "CommandResult",
    "CommandFailed",
    "ShellTimeout",
    "OutputLimitExceeded",
    "ShellEnded",
]

_DEFAULT_OUTPUT_LIMIT = 64 * 1024 * 1024  # of a new shell

_T = TypeVar("_T")

# Seconds between the Ctrl-Cs sent to a command that is being interrupted.
_CTRL_C_REPEAT = 0.5


@dataclasses.dataclass(frozen=True)
class CommandResult:
    """What one command printed and how it ended.

    `output` is what the command printed, its standard output and standard
    error merged as the pseudo-terminal merges them, without terminal escape
    sequences and with "\\r\\n" turned into "\\n"; `exit_status` is the
    shell's `$?` after it (128 + N for a command killed by signal N).
    """

    command: str
    output: str
    exit_status: int


class CommandFailed(Exception):
    """A command run with `check=True` ended with a non-zero exit status.

    `result` is its CommandResult.
    """

    def __init__(self, result: CommandResult) -> None:
        super().__init__(f"Command {result.command!r} returned non-zero exit status {result.exit_status}")
        self.result = result


class ShellTimeout(TimeoutError):
    """A command, a pattern or the shell's start took longer than allowed.

    `command` is the command that timed out (None for expect() and for the
    start), `output` what had arrived within the time,
    `timeout` the limit in seconds. A timed-out command was interrupted with
    Ctrl-C; `closed` tells whether the shell failed to come back from that
    (or never started) and was closed.
    """

    def __init__(self, message: str, *, command: str | None, output: str, timeout: float, closed: bool) -> None:
        super().__init__(message)
        self.command = command
        self.output = output
        self.timeout = timeout
        self.closed = closed


class OutputLimitExceeded(Exception):
    """More output than the shell's `output_limit` allows came back.

    From run(): the command printed more than `limit` bytes; it was
    interrupted with Ctrl-C (unless it had just ended) and the rest of its
    output was dropped. From expect(): that much output arrived without a
    match, and it was dropped. `output` is the text of the first `limit`
    bytes; `closed` tells whether the shell failed to come back from the
    interruption and was closed.
    """

    def __init__(self, message: str, *, command: str | None, output: str, limit: int, closed: bool) -> None:
        super().__init__(message)
        self.command = command
        self.output = output
        self.limit = limit
        self.closed = closed


class ShellEnded(EOFError):
    """The shell is gone: it was closed, it exited (`exit`, a fatal error), or
    it was killed.

    `command` is the command that was running when it ended (None if none
    was), `output` what that command printed before.
    """

    def __init__(self, message: str, *, command: str | None = None, output: str = "") -> None:
        super().__init__(message)
        self.command = command
        self.output = output


class _Cancelled(Exception):
    """An AsyncShell coroutine was cancelled; the worker thread gives up."""


class _Outcome(enum.Enum):
    DONE = enum.auto()
    OVER_LIMIT = enum.auto()
    ENDED = enum.auto()
    CANCELLED = enum.auto()
    TIMED_OUT = enum.auto()


def _never() -> bool:
    return False


def _check_timeout(timeout: float | None) -> None:
    if timeout is not None and not timeout >= 0:
        raise ValueError(f"timeout must be a non-negative number of seconds or None, not {timeout!r}")


def _close_session(session: PyTerminalSession, pump: OutputPump) -> None:
    """Closes the session and waits for its reader: for close(), and for a
    shell that was dropped, or left open at exit, without close().

    The reading thread is waited for: at exit it must be done before the
    interpreter finalizes, which ends threads that still want it abruptly.
    """
    pump.stop()
    try:
        session.close()
    finally:
        pump.join(10.0)


class Shell:
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

    #: Seconds the shell has to answer its set-up.
    START_TIMEOUT = 15.0
    #: Seconds a command has to come back after Ctrl-C before the shell is
    #: given up and closed.
    RECOVERY_TIMEOUT = 2.0

    def __init__(self, session: PyTerminalSession, *, encoding: str = "utf-8", errors: str = "replace") -> None:
        """Sets up `session` and waits for it to answer.

        Raises ShellTimeout or ShellEnded, with the session closed, when the
        shell does not answer within START_TIMEOUT seconds or ends first.
        """
        self._connect(session, encoding, errors)
        self._ensure_ready(None)

    @classmethod
    def start(cls, user: PyUser, *, encoding: str = "utf-8", errors: str = "replace") -> Self:
        """A shell on a new session of `user` (`user.spawn()`)."""
        return cls(user.spawn(), encoding=encoding, errors=errors)

    def _connect(self, session: PyTerminalSession, encoding: str, errors: str) -> None:
        """Starts reading and sends the set-up, without waiting for its answer."""
        if not isinstance(session, PyTerminalSession):
            raise TypeError(f"session must be a marrowfen.PyTerminalSession, not {type(session).__name__}")
        codecs.lookup(encoding)
        codecs.lookup_error(errors)
        self._session: PyTerminalSession | None = session  # None once closed
        self._encoding = encoding
        self._errors = errors
        self._output_limit = _DEFAULT_OUTPUT_LIMIT
        self._closed = False
        self._busy = threading.Lock()  # one run() or expect() at a time
        # Ctrl-C while a run's line is being read waits for it to begin.
        self._line_state = threading.Lock()
        self._line_pending = False
        self._interrupt_pending = False
        self._writing = threading.Lock()  # whole writes, never interleaved
        self._unread = ""  # text that expect() has not consumed
        self._text = _terminal_text.IncrementalText(encoding, errors)
        self._pump = OutputPump(session, self._output_limit)
        self._finalizer = weakref.finalize(self, _close_session, session, self._pump)
        self._setup_nonce: bytes | None = _frames.new_nonce()
        self._write(_frames.setup_line(self._setup_nonce))

    # ------------------------------------------------------------ properties

    @property
    def output_limit(self) -> int:
        """The most bytes of output one run() keeps (and the most text that
        expect() holds unmatched); beyond it they raise OutputLimitExceeded.
        64 MiB by default. Output waiting to be read is bounded by it too."""
        return self._output_limit

    @output_limit.setter
    def output_limit(self, limit: int) -> None:
        if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
            raise ValueError(f"output_limit must be a positive int, not {limit!r}")
        self._output_limit = limit
        with self._pump.condition:
            self._pump.high_water = max(limit, 1 << 16)
            self._pump.condition.notify_all()

    @property
    def closed(self) -> bool:
        """True once the shell was closed or has ended by itself."""
        return self._closed or self._pump.ended

    @property
    def encoding(self) -> str:
        """The encoding of the shell's input and output."""
        return self._encoding

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
        return self._run(command, timeout, check, None)

    def send(self, text: str | bytes) -> None:
        """Writes `text` to the shell's input as it is (a str is encoded).

        For a command that reads its input, started with run() from another
        thread (or task), or for typing by hand with expect(); interrupt()
        is the safe Ctrl-C. Text that bash itself reads is a command line:
        without a final newline it becomes the start of the next line, a
        run()'s included. Blocks while the shell's input is full.
        """
        data = text if isinstance(text, bytes) else text.encode(self._encoding, "surrogateescape")
        self._ensure_ready(None)
        self._check_open()
        self._write(data)

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
        return self._expect(pattern, timeout, None)

    def interrupt(self) -> None:
        """Sends Ctrl-C: the command running in the shell gets SIGINT.

        While bash is still reading the line of a run() (a moment before the
        command begins), the Ctrl-C waits for the command to begin: bash
        interrupted in the middle of a line drops the part it read and takes
        the rest for a command of its own.
        """
        self._check_open()
        self._interrupt()

    def close(self) -> None:
        """Kills the shell and stops reading it. Closing twice is harmless.

        The Shell lets go of the session, so that it no longer keeps the
        account in use. Bash and its jobs get the hang-up; processes that
        ignore it live until the account is released.
        """
        session, self._session = self._session, None
        if session is None:
            return
        self._closed = True
        self._finalizer.detach()
        _close_session(session, self._pump)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {'closed' if self.closed else 'open'}>"

    # ------------------------------------------------------------ the work

    def _run(self, command: str, timeout: float | None, check: bool, cancel: threading.Event | None) -> CommandResult:
        _check_timeout(timeout)
        nonce = _frames.new_nonce()
        line = _frames.command_line(nonce, command.encode(self._encoding, "surrogateescape"))
        with self._busy:
            self._check_open(command)
            self._get_ready_locked(cancel)
            self._unread = ""
            self._text.reset()
            answer = _frames.AnswerScanner(nonce)
            with self._line_state:
                self._line_pending, self._interrupt_pending = True, False
            try:
                return self._run_line(command, line, answer, timeout, check, cancel)
            finally:
                with self._line_state:
                    self._line_pending = self._interrupt_pending = False

    def _run_line(self, command: str, line: bytes, answer: _frames.AnswerScanner, timeout: float | None,
                  check: bool, cancel: threading.Event | None) -> CommandResult:
        """run() once the shell is ready and the line is framed."""
        try:
            self._write(line, command)
        except ShellEnded:
            raise
        except BaseException:
            # A signal handler raised during a write that blocked: part of the
            # line may be in, and would join the next line into one command.
            self.close()
            raise
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            outcome = self._follow(answer, deadline, cancel)
        except BaseException:  # KeyboardInterrupt: the command should not run on
            self._interrupt_quietly()
            raise
        if outcome is _Outcome.DONE:
            assert answer.exit_status is not None
            result = CommandResult(command, self._decode(answer.output), answer.exit_status)
            if check and result.exit_status != 0:
                raise CommandFailed(result)
            return result
        if outcome is _Outcome.ENDED:
            self.close()
            raise ShellEnded(f"The shell ended while running {command!r}", command=command,
                              output=self._decode(answer.output)) from self._pump.failure
        if outcome is _Outcome.OVER_LIMIT:
            limit = self._output_limit
            answer.stop_keeping(limit)
            closed = answer.exit_status is None and not self._recover(answer)
            raise OutputLimitExceeded(
                f"Command {command!r} printed more than {limit} bytes"
                + ("; the shell did not come back from Ctrl-C and was closed" if closed else ""),
                command=command, output=self._decode(answer.output), limit=limit, closed=closed)
        # The output is what came in time: not what the command or bash
        # print in answer to Ctrl-C.
        in_time = len(answer.output)
        closed = not self._recover(answer)
        if outcome is _Outcome.CANCELLED:
            raise _Cancelled()
        raise ShellTimeout(
            f"Command {command!r} timed out after {timeout:g} seconds"
            + ("; the shell did not come back from Ctrl-C and was closed" if closed else ""),
            command=command, output=self._decode(answer.output[:in_time]), timeout=timeout or 0.0,
            closed=closed)

    def _expect(self, pattern: str | re.Pattern[str], timeout: float | None,
                cancel: threading.Event | None) -> re.Match[str]:
        _check_timeout(timeout)
        regex = re.compile(pattern) if isinstance(pattern, str) else pattern
        stop = _never if cancel is None else cancel.is_set
        with self._busy:
            self._check_open()
            self._get_ready_locked(cancel)
            deadline = None if timeout is None else time.monotonic() + timeout
            fresh = True
            while True:
                if fresh:
                    match = regex.search(self._unread)
                    if match is not None:
                        self._unread = self._unread[match.end():]
                        return match
                if len(self._unread) > self._output_limit:
                    dropped, self._unread = self._unread, ""
                    raise OutputLimitExceeded(
                        f"More than {self._output_limit} characters of output arrived without a match for "
                        f"{regex.pattern!r}", command=None, output=dropped[: self._output_limit],
                        limit=self._output_limit, closed=False)
                data = self._pump.take(_remaining(deadline), stop)
                fresh = bool(data)
                if data:
                    self._unread += self._text.feed(data)
                    continue
                if self._pump.ended or self._pump.stopping:
                    self._unread += self._text.feed(b"", final=True)
                    match = regex.search(self._unread)
                    if match is not None:
                        self._unread = self._unread[match.end():]
                        return match
                    raise ShellEnded(f"The shell ended before {regex.pattern!r} was seen", output=self._unread)
                if stop():
                    raise _Cancelled()
                if deadline is not None and time.monotonic() >= deadline:
                    raise ShellTimeout(f"Pattern {regex.pattern!r} not seen within {timeout:g} seconds",
                                       command=None, output=self._unread, timeout=timeout or 0.0, closed=False)

    def _follow(self, answer: _frames.AnswerScanner, deadline: float | None,
                cancel: threading.Event | None) -> _Outcome:
        """Feeds the output to `answer` until the end frame, the output
        limit, the end of the stream, a cancellation or the deadline."""
        stop = _never if cancel is None else cancel.is_set
        pump = self._pump
        while True:
            data = pump.take(_remaining(deadline), stop, answer.wake_on)
            if data:
                answer.feed(data)
                if answer.started and self._line_pending:
                    self._line_begun()
                if len(answer.output) > self._output_limit:
                    return _Outcome.OVER_LIMIT
                if answer.exit_status is not None:
                    return _Outcome.DONE
            elif pump.ended or pump.stopping:
                return _Outcome.ENDED
            if stop():
                return _Outcome.CANCELLED
            if deadline is not None and time.monotonic() >= deadline:
                return _Outcome.TIMED_OUT

    def _line_begun(self) -> None:
        """The command of the current run() has begun: a Ctrl-C that waited for that goes now."""
        with self._line_state:
            self._line_pending = False
            interrupt, self._interrupt_pending = self._interrupt_pending, False
        if interrupt:
            self._write(b"\x03")

    def _interrupt(self) -> None:
        """Ctrl-C now, or once the line of the current run() has begun."""
        with self._line_state:
            if self._line_pending:
                self._interrupt_pending = True
                return
        self._write(b"\x03")

    def _recover(self, answer: _frames.AnswerScanner) -> bool:
        """Interrupts the command and waits, RECOVERY_TIMEOUT seconds at
        most, for the shell to be back; closes it if it is not. True if it
        is back.

        Ctrl-C goes out once the command has begun (a line that does not
        begin in that time is stuck behind something else, and the shell is
        closed rather than interrupted while it may be reading the line), and
        again every half second: one that comes as bash starts a program
        lands on bash alone. Bash may then answer as if the command had
        ended while the program runs on in the foreground, so the shell is
        back only once it answers a line of its own too.
        """
        deadline = time.monotonic() + self.RECOVERY_TIMEOUT

        def next_wait() -> float:
            return min(deadline, time.monotonic() + _CTRL_C_REPEAT)

        try:
            while True:
                self._interrupt()
                outcome = self._follow(answer, next_wait(), None)
                if outcome is _Outcome.DONE:
                    break
                if outcome is _Outcome.OVER_LIMIT:
                    answer.stop_keeping(self._output_limit)
                elif outcome is _Outcome.ENDED or time.monotonic() >= deadline:
                    self.close()
                    return False
            while time.monotonic() < deadline:
                nonce = _frames.new_nonce()
                ping = _frames.AnswerScanner(nonce, begins=False)
                ping.stop_keeping(0)
                self._write(_frames.ping_line(nonce))
                outcome = self._follow(ping, next_wait(), None)
                if outcome is _Outcome.DONE:
                    return True
                if outcome is _Outcome.ENDED:
                    break
                self._write(b"\x03")
        except ShellEnded:
            pass
        self.close()
        return False

    def _ensure_ready(self, cancel: threading.Event | None) -> None:
        if self._setup_nonce is not None:
            with self._busy:
                self._get_ready_locked(cancel)

    def _get_ready_locked(self, cancel: threading.Event | None) -> None:
        """Waits for the answer to the set-up, once; closes the shell if it
        does not come."""
        nonce = self._setup_nonce
        if nonce is None:
            return
        answer = _frames.AnswerScanner(nonce, begins=False)
        outcome = self._follow(answer, time.monotonic() + self.START_TIMEOUT, cancel)
        if outcome is _Outcome.DONE:
            self._setup_nonce = None
            return
        self.close()
        said = self._decode(answer.output[-4096:])
        if outcome is _Outcome.CANCELLED:
            raise _Cancelled()
        if outcome is _Outcome.ENDED:
            raise ShellEnded("The shell ended before it was ready", output=said) from self._pump.failure
        raise ShellTimeout(f"The shell did not answer within {self.START_TIMEOUT:g} seconds and was closed",
                           command=None, output=said, timeout=self.START_TIMEOUT, closed=True)

    def _check_open(self, command: str | None = None) -> None:
        if self._closed:
            raise ShellEnded("The shell is closed", command=command)
        if self._pump.ended:
            self.close()
            raise ShellEnded("The shell has ended", command=command)

    def _write(self, data: bytes, command: str | None = None) -> None:
        with self._writing:
            session = self._session
            if session is None:
                raise ShellEnded("The shell is closed", command=command)
            try:
                session.write(data)
            except ValueError as error:  # closed meanwhile, or the shell is gone (a broken pipe)
                raise ShellEnded("The shell is closed" if self._closed else "The shell has ended",
                                  command=command) from error

    def _interrupt_quietly(self) -> None:
        try:
            self._interrupt()
        except ShellEnded:
            pass

    def _decode(self, raw: bytes | bytearray) -> str:
        return _terminal_text.decode(raw, self._encoding, self._errors)

    def _cancel(self, token: threading.Event) -> None:
        """Makes the operation that was given `token` give up (from any thread)."""
        token.set()
        self._pump.wake()


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


class AsyncShell:
    """A Shell for asyncio: the same operations, as coroutines.

    The waiting is done in worker threads (the session's calls release the
    interpreter lock), so the event loop keeps running. Each AsyncShell has
    one worker for its commands; send(), interrupt() and close() do not wait
    for a command to end.

    A cancelled run() interrupts its command like a timeout (Ctrl-C, then the
    shell is given RECOVERY_TIMEOUT seconds to come back, or is closed)
    before the CancelledError comes through; a cancelled expect() just stops
    waiting.
    """

    def __init__(self, session: PyTerminalSession, *, encoding: str = "utf-8", errors: str = "replace") -> None:
        """Takes over `session` without blocking; the shell's set-up is
        awaited by the first operation (or by `async with`)."""
        shell = Shell.__new__(Shell)
        shell._connect(session, encoding, errors)
        self._shell = shell
        self._worker = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="marrowfen-async-shell")

    @classmethod
    async def start(cls, user: PyUser, *, encoding: str = "utf-8", errors: str = "replace") -> Self:
        """A shell on a new session of `user`, set up and ready."""
        session = await asyncio.to_thread(user.spawn)
        shell = cls(session, encoding=encoding, errors=errors)
        try:
            await shell._call(shell._shell._ensure_ready)
        except BaseException:
            await shell.close()
            raise
        return shell

    @property
    def output_limit(self) -> int:
        """As Shell.output_limit."""
        return self._shell.output_limit

    @output_limit.setter
    def output_limit(self, limit: int) -> None:
        self._shell.output_limit = limit

    @property
    def closed(self) -> bool:
        """True once the shell was closed or has ended by itself."""
        return self._shell.closed

    @property
    def encoding(self) -> str:
        """The encoding of the shell's input and output."""
        return self._shell.encoding

    async def run(self, command: str, timeout: float | None = 30.0, check: bool = False) -> CommandResult:
        """As Shell.run(); cancelling it interrupts the command."""
        return await self._call(functools.partial(self._shell._run, command, timeout, check))

    async def send(self, text: str | bytes) -> None:
        """As Shell.send()."""
        await asyncio.to_thread(self._shell.send, text)

    async def expect(self, pattern: str | re.Pattern[str], timeout: float | None = 30.0) -> re.Match[str]:
        """As Shell.expect(); cancelling it stops the wait."""
        return await self._call(functools.partial(self._shell._expect, pattern, timeout))

    async def interrupt(self) -> None:
        """As Shell.interrupt()."""
        await asyncio.to_thread(self._shell.interrupt)

    async def close(self) -> None:
        """As Shell.close(); an operation in progress ends with ShellEnded."""
        await asyncio.to_thread(self._shell.close)
        self._worker.shutdown(wait=False)

    async def __aenter__(self) -> Self:
        try:
            await self._call(self._shell._ensure_ready)
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {'closed' if self.closed else 'open'}>"

    async def _call(self, operation: Callable[[threading.Event], _T]) -> _T:
        """Runs `operation(token)` on the worker; on cancellation, cancels the
        token, waits for the worker to give up, and lets CancelledError through."""
        token = threading.Event()
        loop = asyncio.get_running_loop()
        try:
            pending = loop.run_in_executor(self._worker, operation, token)
        except RuntimeError:  # the worker was shut down by close()
            raise ShellEnded("The shell is closed") from None
        try:
            return await asyncio.shield(pending)
        except asyncio.CancelledError:
            self._shell._cancel(token)
            try:
                await pending
            except BaseException:  # its _Cancelled, or what it met while giving up
                pass
            raise
