"""The engine under Shell and AsyncShell: one bash session, its framing and
its recovery.

A ShellEngine takes over a `PyTerminalSession`, sets the shell up, and runs
one framed command (or one expect()) at a time: it writes the line, follows
the output to the command's end frame, and when a deadline passes, the
output grows too long or the caller gives up, interrupts the command and
brings the shell back (or closes it). Every wait is a wait on the reading
thread's buffer (`_output_pump`), with a deadline of its own.

The front ends (`Shell`, `AsyncShell`) add the public signatures and their
checks; the timeouts of the start and of the recovery are read from the
front end (its START_TIMEOUT and RECOVERY_TIMEOUT), so that they can be set
on its class or on one instance.
"""

from __future__ import annotations

import codecs
import enum
import re
import threading
import time
import weakref
from typing import Protocol

from marrowfen import PyTerminalSession

from . import _frames, _terminal_text
from ._command_result import CommandResult
from ._output_pump import OutputPump
from ._shell_errors import CommandFailed, OutputLimitExceeded, ShellEnded, ShellTimeout

DEFAULT_OUTPUT_LIMIT = 64 * 1024 * 1024  # of a new shell

# Seconds between the Ctrl-Cs sent to a command that is being interrupted.
_CTRL_C_REPEAT = 0.5


class Timeouts(Protocol):
    """Where an engine reads its timeouts: the front end that owns it."""

    START_TIMEOUT: float
    RECOVERY_TIMEOUT: float


class Cancelled(Exception):
    """The operation was cancelled through its token; the engine gave up."""


class _Outcome(enum.Enum):
    DONE = enum.auto()
    OVER_LIMIT = enum.auto()
    ENDED = enum.auto()
    CANCELLED = enum.auto()
    TIMED_OUT = enum.auto()


def _never() -> bool:
    return False


def check_timeout(timeout: float | None) -> None:
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


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


class ShellEngine:
    """One bash session, set up for framed commands, used one command at a time.

    `owner` is the front end: the session is closed when it is collected (or
    at exit), and its START_TIMEOUT and RECOVERY_TIMEOUT apply. Commands run
    one at a time (run() and expect() wait for each other); send(),
    interrupt() and close() may be called from any thread at any time.
    """

    def __init__(self, owner: Timeouts, session: PyTerminalSession, encoding: str, errors: str) -> None:
        """Starts reading and sends the set-up, without waiting for its answer."""
        if not isinstance(session, PyTerminalSession):
            raise TypeError(f"session must be a marrowfen.PyTerminalSession, not {type(session).__name__}")
        codecs.lookup(encoding)
        codecs.lookup_error(errors)
        self._owner = weakref.ref(owner)
        self._session: PyTerminalSession | None = session  # None once closed
        self._encoding = encoding
        self._errors = errors
        self._output_limit = DEFAULT_OUTPUT_LIMIT
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
        self._finalizer = weakref.finalize(owner, _close_session, session, self._pump)
        self._setup_nonce: bytes | None = _frames.new_nonce()
        self._write(_frames.setup_line(self._setup_nonce))

    # ------------------------------------------------------------ properties

    @property
    def output_limit(self) -> int:
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
        return self._closed or self._pump.ended

    @property
    def encoding(self) -> str:
        return self._encoding

    def _timeouts(self) -> tuple[float, float]:
        """START_TIMEOUT and RECOVERY_TIMEOUT of the owner."""
        owner = self._owner()
        if owner is None:  # only while the owner is being collected
            return 15.0, 2.0
        return owner.START_TIMEOUT, owner.RECOVERY_TIMEOUT

    # ------------------------------------------------------------ operations

    def send(self, text: str | bytes) -> None:
        data = text if isinstance(text, bytes) else text.encode(self._encoding, "surrogateescape")
        self.ensure_ready(None)
        self._check_open()
        self._write(data)

    def interrupt(self) -> None:
        self._check_open()
        self._interrupt()

    def close(self) -> None:
        session, self._session = self._session, None
        if session is None:
            return
        self._closed = True
        self._finalizer.detach()
        _close_session(session, self._pump)

    def cancel(self, token: threading.Event) -> None:
        """Makes the operation that was given `token` give up (from any thread)."""
        token.set()
        self._pump.wake()

    def run(self, command: str, timeout: float | None, check: bool, cancel: threading.Event | None) -> CommandResult:
        check_timeout(timeout)
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
            raise Cancelled()
        raise ShellTimeout(
            f"Command {command!r} timed out after {timeout:g} seconds"
            + ("; the shell did not come back from Ctrl-C and was closed" if closed else ""),
            command=command, output=self._decode(answer.output[:in_time]), timeout=timeout or 0.0,
            closed=closed)

    def expect(self, pattern: str | re.Pattern[str], timeout: float | None,
               cancel: threading.Event | None) -> re.Match[str]:
        check_timeout(timeout)
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
                    raise Cancelled()
                if deadline is not None and time.monotonic() >= deadline:
                    raise ShellTimeout(f"Pattern {regex.pattern!r} not seen within {timeout:g} seconds",
                                       command=None, output=self._unread, timeout=timeout or 0.0, closed=False)

    def ensure_ready(self, cancel: threading.Event | None) -> None:
        """Waits for the answer to the set-up, unless it came already."""
        if self._setup_nonce is not None:
            with self._busy:
                self._get_ready_locked(cancel)

    # ------------------------------------------------------------ the work

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
        deadline = time.monotonic() + self._timeouts()[1]

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

    def _get_ready_locked(self, cancel: threading.Event | None) -> None:
        """Waits for the answer to the set-up, once; closes the shell if it
        does not come."""
        nonce = self._setup_nonce
        if nonce is None:
            return
        start_timeout = self._timeouts()[0]
        answer = _frames.AnswerScanner(nonce, begins=False)
        outcome = self._follow(answer, time.monotonic() + start_timeout, cancel)
        if outcome is _Outcome.DONE:
            self._setup_nonce = None
            return
        self.close()
        said = self._decode(answer.output[-4096:])
        if outcome is _Outcome.CANCELLED:
            raise Cancelled()
        if outcome is _Outcome.ENDED:
            raise ShellEnded("The shell ended before it was ready", output=said) from self._pump.failure
        raise ShellTimeout(f"The shell did not answer within {start_timeout:g} seconds and was closed",
                           command=None, output=said, timeout=start_timeout, closed=True)

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
