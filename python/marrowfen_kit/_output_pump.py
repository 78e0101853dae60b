"""The thread that reads a shell's output, so that nobody else has to block on it.

`PyTerminalSession.read` blocks until the shell prints something, with no
time limit. One thread per shell does all the reading and appends to a
buffer; callers take from the buffer and wait on a condition with their own
deadlines, so a deadline never depends on a read returning. Closing the
session ends a pending read (it sees the end of the stream), which ends the
thread.

A caller on an event loop does not wait on the condition: it arms a waker,
a callable that the thread calls (once) when there is something to take, and
awaits that.

The thread holds the session and this pump only, never the Shell, so that a
Shell nobody holds any more can be collected and its finalizer can close the
session.
"""

from __future__ import annotations

import signal
import threading

from marrowfen import PyTerminalSession

from ._armed_waker import ArmedWaker, Waker

# One read takes whatever the shell has printed, up to this much.
READ_SIZE = 1 << 16
# Read failures in a row after which the stream is taken as ended.
READ_FAILURES = 5
# Signals are handled by the main thread; a read in this thread is never
# interrupted by one. Faults stay deliverable.
_SYNCHRONOUS_SIGNALS = {signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL, signal.SIGABRT}


class OutputPump(ArmedWaker):
    """The reading thread of one session and the buffer it fills.

    `high_water` bounds the buffer: past it the thread stops reading until
    someone takes from it, and the shell's output waits in the pipe.
    """

    def __init__(self, session: PyTerminalSession, high_water: int) -> None:
        self.condition = threading.Condition()
        self._guard = self.condition
        self.high_water = high_water
        self._chunks: list[bytes] = []  # read, not yet taken
        self._size = 0  # their total length
        self._due: Waker | None = None  # see _append(); the thread's own
        self.ended = False  # the stream ended, or reading failed
        self.stopping = False  # close() was called
        self.failure: BaseException | None = None  # why reading failed, if it did
        self._thread = threading.Thread(target=_pump, args=(session, self), name="marrowfen-shell-output",
                                        daemon=True)
        self._thread.start()

    def take(self, timeout: float | None, wake_on: bytes | None = None) -> bytearray:
        """Everything read so far, waiting up to `timeout` seconds for some
        if there is none, unless the stream has ended or the pump is
        stopping. Called with the condition free.

        With `wake_on`, a wait ends only for output that holds that byte (or
        that fills the buffer): a caller looking for a frame is not woken for
        every piece of a long output, which then costs a read and a copy and
        nothing else.
        """
        with self.condition:
            if not self._chunks and not self.ended and not self.stopping:
                self._wake_on = wake_on
                self.condition.wait(timeout)
                self._wake_on = None
            return self._take_locked()

    def take_nowait(self) -> bytearray:
        """Everything read so far, without waiting."""
        with self.condition:
            return self._take_locked()

    def _take_locked(self) -> bytearray:
        # One copy into one buffer, however many pieces came.
        taken = bytearray().join(self._chunks)
        self._chunks.clear()
        if self._size >= self.high_water:
            self.condition.notify_all()  # the thread may be waiting for room
        self._size = 0
        return taken

    def wake(self) -> None:
        """Wakes whoever waits (after a cancellation request)."""
        with self.condition:
            self.condition.notify_all()
            self._call_waker()

    def stop(self) -> None:
        """Makes waiters return and the thread end once its read returns."""
        with self.condition:
            self.stopping = True
            self.condition.notify_all()
            self._call_waker()

    def _call_waker(self) -> None:
        """Calls the armed waker, once. Called with the condition held."""
        waker = self._take_waker()
        if waker is not None:
            waker()

    def hung_up(self) -> bool:
        """False: the thread sees the end of the stream as soon as it comes
        (`ended`)."""
        return False

    def set_high_water(self, high_water: int) -> None:
        with self.condition:
            self.high_water = high_water
            self.condition.notify_all()  # the thread may be waiting for room

    def join(self, timeout: float) -> None:
        if self._thread is not threading.current_thread():
            self._thread.join(timeout)

    def _append(self, chunk: bytes) -> bool:
        """Adds a chunk; False once the thread should end. A waker it calls
        for is left in `_due`, for the thread to call once it holds nothing
        (a woken event loop would otherwise wait for the thread to let go of
        the interpreter lock)."""
        with self.condition:
            self._chunks.append(chunk)
            self._size += len(chunk)
            if self._wake_on is None or self._wake_on in chunk or self._size >= self.high_water:
                self.condition.notify_all()
                self._due = self._take_waker()
            while self._size >= self.high_water and not self.stopping:
                self._call_due()  # before waiting for room
                self.condition.wait()
            return not self.stopping

    def _call_due(self) -> None:
        waker, self._due = self._due, None
        if waker is not None:
            waker()

    def _end(self, failure: BaseException | None) -> None:
        with self.condition:
            self.ended = True
            if not self.stopping:
                self.failure = failure
            self.condition.notify_all()
            self._call_waker()


def _pump(session: PyTerminalSession, pump: OutputPump) -> None:
    signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals() - _SYNCHRONOUS_SIGNALS)
    failure: BaseException | None = None
    failures = 0
    while True:
        pump._call_due()
        try:
            chunk = session.read(READ_SIZE)
        except ValueError as error:  # "Failed to read stdout", or closed meanwhile
            failures += 1
            if failures < READ_FAILURES and not pump.stopping:
                continue
            failure = error.with_traceback(None)  # its frame would hold the session in a cycle
            break
        except BaseException as error:  # an internal error of the module
            failure = error.with_traceback(None)
            break
        failures = 0
        if not chunk or not pump._append(chunk):
            break
    pump._call_due()
    pump._end(failure)
    # The shell is gone (or being closed): reap `su` now rather than when the
    # Shell is closed. Closing twice is harmless.
    try:
        session.close()
    except BaseException as error:
        with pump.condition:
            pump.failure = pump.failure or error.with_traceback(None)
