"""The engine under Shell and AsyncShell: one bash session, its framing and
its recovery.

A ShellEngine takes over a `PyTerminalSession`, sets the shell up, and runs
one framed command (or one expect()) at a time: it writes the line, follows
the output to the command's end frame, and when a deadline passes, the
output grows too long or the caller gives up, interrupts the command and
brings the shell back (or closes it).

Operations are generators of steps (`Wait` for output, `Write` a line), so
that one engine serves two ways of waiting: `complete()` carries the steps
out blocking, on the caller's thread (Shell); `_async_shell.complete()` on an
event loop, woken by the reading thread (AsyncShell). The front end holds
its own lock around an operation: one at a time per engine. send(),
interrupt() and close() may be called from any thread at any time.

The timeouts of the start and of the recovery are read from the front end
(its START_TIMEOUT and RECOVERY_TIMEOUT), so that they can be set on its
class or on one instance.
"""

from __future__ import annotations

import enum
import os
import re
import select
import threading
import time
import weakref
from collections.abc import Generator, Sequence
from typing import Protocol, TypeVar

from marrowfen import PyTerminalSession

from . import _frames, _terminal_text
from ._command_result import CommandResult
from ._frames import FRAME_START
from ._loop_output import LoopOutput
from ._output_pump import OutputPump
from ._shell_errors import CommandFailed, OutputLimitExceeded, ShellEnded, ShellTimeout

DEFAULT_OUTPUT_LIMIT = 64 * 1024 * 1024  # of a new shell

# Seconds between the Ctrl-Cs sent to a command that is being interrupted.
_CTRL_C_REPEAT = 0.5
# Seconds to let a Ctrl-C that may have reached an idle bash take effect
# before a line is written: bash drops what it has read of a line when the
# signal comes.
_CTRL_C_SETTLE = 0.1
# The longest end frame, and so the bytes worth keeping between pieces.
_END_FRAME_LENGTH = 1 + _frames.NONCE_HEX_DIGITS + 1 + 3 + 1
# Exit status of a command that SIGINT ended.
_INTERRUPTED = 128 + 2

_T = TypeVar("_T")


class Timeouts(Protocol):
    """Where an engine reads its timeouts: the front end that owns it."""

    START_TIMEOUT: float
    RECOVERY_TIMEOUT: float


class Wait:
    """A step: wait for output until `deadline` (time.monotonic(); None for
    no limit); with `wake_on`, output without that byte need not end the
    wait. The answer is the output taken (possibly empty)."""

    __slots__ = ("deadline", "wake_on")

    def __init__(self, deadline: float | None, wake_on: bytes | None) -> None:
        self.deadline = deadline
        self.wake_on = wake_on


class Write:
    """A step: write `data`, a command line, to the shell (it may block)."""

    __slots__ = ("data", "command")

    def __init__(self, data: bytes, command: str) -> None:
        self.data = data
        self.command = command


Step = Wait | Write
Steps = Generator[Step, bytearray | None, _T]


class Cancelled(Exception):
    """The operation gave up at a cancellation request (request_cancel())."""


class _Outcome(enum.Enum):
    DONE = enum.auto()
    OVER_LIMIT = enum.auto()
    ENDED = enum.auto()
    CANCELLED = enum.auto()
    TIMED_OUT = enum.auto()


# The sessions that an engine drives: a second engine on one would read half
# of its output and write into its lines.
_sessions_in_use: set[int] = set()
_sessions_lock = threading.Lock()


def _claim(session: PyTerminalSession) -> None:
    with _sessions_lock:
        if id(session) in _sessions_in_use:
            raise ValueError("the session is driven by another Shell already")
        _sessions_in_use.add(id(session))


def _close_session(session: PyTerminalSession, pump: OutputPump | LoopOutput, pid: int) -> None:
    """Closes the session and waits for its reader: for close(), and for a
    shell that was dropped, or left open at exit, without close().

    The reading thread is waited for: at exit it must be done before the
    interpreter finalizes, which ends threads that still want it abruptly.
    In a child made by fork() nothing is done: the session and its reading
    thread are the parent's.
    """
    if os.getpid() != pid:
        return
    pump.stop()
    try:
        session.close()
    finally:
        pump.join(10.0)
        with _sessions_lock:
            _sessions_in_use.discard(id(session))


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


class ShellEngine:
    """One bash session, set up for framed commands.

    `owner` is the front end: the session is closed when it is collected (or
    at exit), and its START_TIMEOUT and RECOVERY_TIMEOUT apply. Raises
    ValueError when another engine drives `session` already.
    """

    def __init__(self, owner: Timeouts, session: PyTerminalSession, encoding: str, errors: str,
                 terminal_size: tuple[int, int], epoll: select.epoll | None = None) -> None:
        """Starts reading and sends the set-up, without waiting for its answer.

        With `epoll`, the one the session was spawned with, the output is
        read by the event loop the shell is used on (LoopOutput); without,
        by a thread of its own (OutputPump).
        """
        if not isinstance(session, PyTerminalSession):
            raise TypeError(f"session must be a marrowfen.PyTerminalSession, not {type(session).__name__}")
        _claim(session)
        self._owner = weakref.ref(owner)
        self._session: PyTerminalSession | None = session  # None once closed
        self._encoding = encoding
        self._errors = errors
        self._terminal_size = terminal_size
        self._output_limit = DEFAULT_OUTPUT_LIMIT
        self._closed = False
        # Ctrl-C while a run's line is being read waits for it to begin.
        self._line_state = threading.Lock()
        self._line_pending = False
        self._interrupt_pending = False
        self._ctrl_c_written = 0  # Ctrl-Cs written so far
        self._ctrl_c_settled = 0  # of those, the ones known to have taken effect
        self._writing = threading.Lock()  # whole writes, never interleaved
        self._unread = ""  # text that expect() has not consumed
        self._text = _terminal_text.IncrementalText(encoding, errors)
        self._pump: OutputPump | LoopOutput = (
            OutputPump(session, self._output_limit) if epoll is None
            else LoopOutput(session, self._output_limit, epoll))
        self._pid = os.getpid()
        self._finalizer = weakref.finalize(owner, _close_session, session, self._pump, self._pid)
        #: Set (from any thread) to make the operation in progress give up.
        self.cancel_requested = False
        self._setup_nonce: bytes | None = _frames.new_nonce()
        try:
            self._write(_frames.setup_line(self._setup_nonce, *terminal_size))
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------ state

    @property
    def output_limit(self) -> int:
        return self._output_limit

    @output_limit.setter
    def output_limit(self, limit: int) -> None:
        self._output_limit = limit
        self._pump.set_high_water(max(limit, 1 << 16))

    @property
    def closed(self) -> bool:
        return self._closed or self._pump.ended or self._pump.hung_up()

    @property
    def ready(self) -> bool:
        """True once the shell has answered its set-up."""
        return self._setup_nonce is None

    @property
    def encoding(self) -> str:
        return self._encoding

    @property
    def errors(self) -> str:
        return self._errors

    @property
    def terminal_size(self) -> tuple[int, int]:
        return self._terminal_size

    @property
    def pump(self) -> OutputPump | LoopOutput:
        return self._pump

    def _timeouts(self) -> tuple[float, float]:
        """START_TIMEOUT and RECOVERY_TIMEOUT of the owner."""
        owner = self._owner()
        if owner is None:  # only while the owner is being collected
            return 15.0, 2.0
        return owner.START_TIMEOUT, owner.RECOVERY_TIMEOUT

    # ------------------------------------------------------------ at any time

    def write_input(self, data: bytes) -> None:
        """send(): `data` to the shell's input, once it is ready."""
        self._check_open()
        self._write(data)

    def write_line(self, data: bytes, command: str) -> None:
        """A Write step's work (it may block)."""
        self._write(data, command)

    def interrupt(self) -> None:
        self._check_open()
        self._interrupt()

    def close(self) -> None:
        session, self._session = self._session, None
        if session is None:
            return
        self._closed = True
        self._finalizer.detach()
        _close_session(session, self._pump, self._pid)

    def request_cancel(self) -> None:
        """Makes the operation in progress give up (from any thread)."""
        self.cancel_requested = True
        self._pump.wake()

    # ------------------------------------------------------------ blocking

    def complete(self, steps: Steps[_T]) -> _T:
        """Carries out `steps` on this thread, blocking, and returns their
        result. An exception met while waiting or writing (a signal
        handler's KeyboardInterrupt) goes into the steps, which clean up."""
        pump = self._pump
        answer: bytearray | None = None
        error: BaseException | None = None
        while True:
            try:
                step = steps.send(answer) if error is None else steps.throw(error)
            except StopIteration as done:
                result: _T = done.value
                return result
            answer = error = None
            try:
                if type(step) is Wait:
                    answer = pump.take(_remaining(step.deadline), step.wake_on)
                else:
                    assert type(step) is Write
                    self._write(step.data, step.command)
            except BaseException as raised:
                error = raised

    # ------------------------------------------------------------ operations

    def ready_steps(self) -> Steps[None]:
        """Waits for the answer to the set-up, once; closes the shell if it
        does not come."""
        nonce = self._setup_nonce
        if nonce is None:
            return
        start_timeout = self._timeouts()[0]
        answer = _frames.AnswerScanner(nonce, begins=False)
        outcome = yield from self._follow(answer, time.monotonic() + start_timeout)
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

    def run_steps(self, command: str, timeout: float | None, check: bool, *, stdin: bytes | None = None,
                  env: Sequence[tuple[bytes, bytes]] = (), cwd: bytes | None = None) -> Steps[CommandResult]:
        nonce = _frames.new_nonce()
        line = _frames.command_line(nonce, command.encode(self._encoding, "surrogateescape"), stdin=stdin,
                                    env=env, cwd=cwd)
        self._check_open(command)
        yield from self.ready_steps()
        if self._ctrl_c_written != self._ctrl_c_settled:
            # interrupt() between commands reached bash idle: let it act
            # before bash reads the line, of which it would drop a part.
            yield from self._settle(time.monotonic() + _CTRL_C_SETTLE)
            self._ctrl_c_settled = self._ctrl_c_written
        self._unread = ""
        self._text.reset()
        answer = _frames.AnswerScanner(nonce)
        with self._line_state:
            self._line_pending, self._interrupt_pending = True, False
        try:
            return (yield from self._run_line(command, line, answer, timeout, check))
        finally:
            with self._line_state:
                self._line_pending = self._interrupt_pending = False

    def _run_line(self, command: str, line: bytes, answer: _frames.AnswerScanner, timeout: float | None,
                  check: bool) -> Steps[CommandResult]:
        """run() once the shell is ready and the line is framed."""
        ctrl_c_before = self._ctrl_c_written
        try:
            yield Write(line, command)
        except ShellEnded:
            raise
        except BaseException:
            # A signal handler raised during a write that blocked: part of the
            # line may be in, and would join the next line into one command.
            self.close()
            raise
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            outcome = yield from self._follow(answer, deadline)
        except BaseException:  # KeyboardInterrupt: the command should not run on
            self._abandon(answer)
            raise
        if outcome is _Outcome.DONE:
            assert answer.exit_status is not None
            if answer.exit_status == _INTERRUPTED:  # a Ctrl-C ended it, and no other is on its way
                self._ctrl_c_settled = self._ctrl_c_written
            result = CommandResult(command, self._decode(answer.output), answer.exit_status)
            if check and result.exit_status != 0:
                raise CommandFailed(result)
            return result
        if outcome is _Outcome.ENDED:
            self.close()
            raise ShellEnded(f"The shell ended while running {command!r}", command=command,
                             output=self._decode(answer.output),
                             exit_status=answer.shell_exit_status) from self._pump.failure
        if outcome is _Outcome.OVER_LIMIT:
            limit = self._output_limit
            answer.stop_keeping(limit)
            closed = answer.exit_status is None and not (yield from self._recover(answer, ctrl_c_before))
            raise OutputLimitExceeded(
                f"Command {command!r} printed more than {limit} bytes"
                + ("; the shell did not come back from Ctrl-C and was closed" if closed else ""),
                command=command, output=self._decode(answer.output), limit=limit, closed=closed)
        # The output is what came in time: not what the command or bash
        # print in answer to Ctrl-C.
        in_time = len(answer.output)
        closed = not (yield from self._recover(answer, ctrl_c_before))
        if outcome is _Outcome.CANCELLED:
            raise Cancelled()
        raise ShellTimeout(
            f"Command {command!r} timed out after {timeout:g} seconds"
            + ("; the shell did not come back from Ctrl-C and was closed" if closed else ""),
            command=command, output=self._decode(answer.output[:in_time]), timeout=timeout or 0.0,
            closed=closed)

    def expect_steps(self, regex: re.Pattern[str], timeout: float | None) -> Steps[re.Match[str]]:
        self._check_open()
        yield from self.ready_steps()
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
            data = yield Wait(deadline, None)
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
            if self.cancel_requested:
                raise Cancelled()
            if deadline is not None and time.monotonic() >= deadline:
                raise ShellTimeout(f"Pattern {regex.pattern!r} not seen within {timeout:g} seconds",
                                   command=None, output=self._unread, timeout=timeout or 0.0, closed=False)

    def resize_steps(self, columns: int, lines: int) -> Steps[None]:
        """Gives the terminal a new size (between commands)."""
        yield from self.run_steps(_frames.resize_command(columns, lines), self._timeouts()[0], True)
        self._terminal_size = (columns, lines)

    # ------------------------------------------------------------ the work

    def _follow(self, answer: _frames.AnswerScanner, deadline: float | None,
                cancellable: bool = True) -> Steps[_Outcome]:
        """Feeds the output to `answer` until the end frame, the output
        limit, the end of the shell, a cancellation or the deadline."""
        pump = self._pump
        while True:
            data = yield Wait(deadline, FRAME_START if self._interrupt_pending else answer.wake_on)
            if data:
                answer.feed(data)
                if answer.started and self._line_pending:
                    # A Ctrl-C that waited for the command to begin is of no
                    # use once it has ended, and would land on bash.
                    self._line_begun(answer.exit_status is None and answer.shell_exit_status is None)
                if len(answer.output) > self._output_limit:
                    return _Outcome.OVER_LIMIT
                if answer.exit_status is not None:
                    return _Outcome.DONE
                if answer.shell_exit_status is not None:
                    return _Outcome.ENDED
            elif pump.ended or pump.stopping:
                return _Outcome.ENDED
            if cancellable and self.cancel_requested:
                return _Outcome.CANCELLED
            if deadline is not None and time.monotonic() >= deadline:
                return _Outcome.TIMED_OUT

    def _settle(self, deadline: float) -> Steps[None]:
        """Waits, until `deadline` at most, for the end frame that bash
        prints once it has dealt with a Ctrl-C (any nonce, status 130). The
        output is dropped."""
        seen = bytearray()
        while True:
            data = yield Wait(deadline, None)
            if data:
                seen += data
                if _frames.CTRL_C_END_FRAME.search(seen):
                    return
                del seen[:-_END_FRAME_LENGTH]
            elif self._pump.ended or self._pump.stopping:
                return
            if time.monotonic() >= deadline:
                return

    def _line_begun(self, send_ctrl_c: bool) -> None:
        """The command of the current run() has begun: a Ctrl-C that waited
        for that goes now (if `send_ctrl_c`)."""
        with self._line_state:
            self._line_pending = False
            interrupt, self._interrupt_pending = self._interrupt_pending, False
        if interrupt and send_ctrl_c:
            self._write_ctrl_c()

    def _interrupt(self) -> None:
        """Ctrl-C now, or once the line of the current run() has begun."""
        with self._line_state:
            deferred = self._line_pending
            if deferred:
                self._interrupt_pending = True
        if deferred:
            # The run() waits for its command's end, not its beginning,
            # unless it is woken to see that a Ctrl-C waits.
            self._pump.wake()
        else:
            self._write_ctrl_c()

    def _write_ctrl_c(self) -> None:
        self._ctrl_c_written += 1
        self._write(b"\x03")

    def _recover(self, answer: _frames.AnswerScanner, ctrl_c_before: int) -> Steps[bool]:
        """Interrupts the command and waits, RECOVERY_TIMEOUT seconds at
        most, for the shell to be back; closes it if it is not. True if it
        is back. `ctrl_c_before` is the count of Ctrl-Cs written before the
        command's line.

        Ctrl-C goes out once the command has begun (a line that does not
        begin in that time is stuck behind something else, and the shell is
        closed rather than interrupted while it may be reading the line), and
        again every half second: one that comes as bash starts a program
        lands on bash alone. Bash may then answer as if the command had
        ended while the program runs on in the foreground, so the shell is
        back only once it answers a line of its own too. That line goes out
        only once a Ctrl-C that may have reached bash idle has taken effect:
        bash drops the part of a line it has read when one comes.
        """
        deadline = time.monotonic() + self._timeouts()[1]

        def next_wait() -> float:
            return min(deadline, time.monotonic() + _CTRL_C_REPEAT)

        try:
            while True:
                self._interrupt()
                outcome = yield from self._follow(answer, next_wait(), cancellable=False)
                if outcome is _Outcome.DONE:
                    break
                if outcome is _Outcome.OVER_LIMIT:
                    answer.stop_keeping(self._output_limit)
                elif outcome is _Outcome.ENDED or time.monotonic() >= deadline:
                    self.close()
                    return False
            if self._ctrl_c_written != ctrl_c_before and answer.exit_status != _INTERRUPTED:
                # The command ended by itself: a Ctrl-C may be on its way to bash.
                yield from self._settle(min(deadline, time.monotonic() + _CTRL_C_SETTLE))
            while time.monotonic() < deadline:
                nonce = _frames.new_nonce()
                ping = _frames.AnswerScanner(nonce, begins=False)
                ping.stop_keeping(0)
                self._write(_frames.ping_line(nonce))
                outcome = yield from self._follow(ping, next_wait(), cancellable=False)
                if outcome is _Outcome.DONE:
                    self._ctrl_c_settled = self._ctrl_c_written
                    return True
                if outcome is _Outcome.ENDED:
                    break
                self._write_ctrl_c()
                yield from self._settle(min(deadline, time.monotonic() + _CTRL_C_SETTLE))
        except ShellEnded:
            pass
        self.close()
        return False

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

    def _abandon(self, answer: _frames.AnswerScanner) -> None:
        """Ctrl-C for a command given up by an exception (KeyboardInterrupt):
        once its begin frame is seen, which is waited for a moment at most
        (the wait for its end did not look at it)."""
        deadline = time.monotonic() + _CTRL_C_REPEAT
        while self._line_pending and not (self._pump.ended or self._pump.stopping):
            data = self._pump.take(_remaining(deadline), FRAME_START)
            answer.feed(data)
            if answer.started:
                self._line_begun(False)
                if answer.exit_status is not None or answer.shell_exit_status is not None:
                    return  # it has ended: a Ctrl-C would land on bash
                break
            if time.monotonic() >= deadline:
                break
        self._interrupt_quietly()

    def _interrupt_quietly(self) -> None:
        try:
            self._interrupt()
        except ShellEnded:
            pass

    def _decode(self, raw: bytes | bytearray) -> str:
        return _terminal_text.decode(raw, self._encoding, self._errors)
