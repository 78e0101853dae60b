"""An AsyncShell's output, read by its event loop itself, with no thread.

A session spawned with `PyUser.spawn(epoll=...)` has its output in an epoll
instance of the shell's own; the loop watches a duplicate of that
descriptor (see OutputWatch) and, when it is ready, takes one read. The
answer to a command then costs one wake-up, of the loop, where a reading
thread costs two: the thread's, then the loop's.

LoopOutput offers the engine what OutputPump offers (take, arm, wake, stop
and the rest), so that the engine's steps do not care who reads. Reads are
made on the thread of the loop the shell was last used on, or by take() on
the thread that waits; a lock keeps them one at a time, and one read never
blocks: it is made only once the epoll instance says there is output.
"""

from __future__ import annotations

import asyncio
import os
import select
import threading
import time
import weakref
from typing import Protocol

from marrowfen import PyTerminalSession

from ._armed_waker import ArmedWaker, Waker
from ._output_pump import READ_FAILURES, READ_SIZE


class LoopOutput(ArmedWaker):
    """The output of one session, read on demand; `high_water` bounds what
    is read and not yet taken (past it the loop stops watching, and the
    shell's output waits in the pipe)."""

    def __init__(self, session: PyTerminalSession, high_water: int, epoll: select.epoll) -> None:
        # Let go of once closed: a session object keeps its account in use.
        self._session: PyTerminalSession | None = session
        self._epoll = epoll  # the session's output is in it
        self._lock = threading.Lock()
        self._guard = self._lock  # the waker's (called on the loop's thread)
        self.high_water = high_water
        self._chunks: list[bytes] = []  # read, not yet taken
        self._size = 0
        self._loop: asyncio.AbstractEventLoop | None = None  # the one that reads
        self._failures = 0  # reads failed in a row
        self.ended = False  # the stream ended, or reading failed
        self.stopping = False  # stop() was called
        self.failure: BaseException | None = None  # why reading failed, if it did

    # ------------------------------------------------------------ the loop's side

    def watch(self, loop: asyncio.AbstractEventLoop) -> OutputWatch:
        """Makes `loop` the one that reads, and the watch that has it read."""
        with self._lock:
            self._loop = loop
        return OutputWatch(loop, self)

    def read_ready(self, loop: asyncio.AbstractEventLoop) -> tuple[bool, Waker | None]:
        """One read, if there is output; on `loop`'s thread. Whether the loop
        should go on watching, and the waker to call (after the watch has
        acted on the first: the waker may run the waiting task at once)."""
        with self._lock:
            if loop is not self._loop or self.ended or self.stopping or self._size >= self.high_water:
                return False, None
            waker, close = self._read_locked()
            keep = not self.ended and self._size < self.high_water
        if close:
            self._close_session()
        return keep, waker

    def _read_locked(self) -> tuple[Waker | None, bool]:
        """Reads once if the output is ready. The waker due, and whether the
        stream ended (the session is then to be closed, without the lock)."""
        session = self._session  # None only once ended, which callers rule out
        if session is None or not self._epoll.poll(0):
            return None, False  # woken for output that another reader took
        failure: BaseException | None = None
        try:
            chunk = session.read(READ_SIZE)
        except ValueError as error:  # "Failed to read stdout", or closed meanwhile
            self._failures += 1
            if self._failures < READ_FAILURES and not self.stopping:
                return None, False
            failure, chunk = error.with_traceback(None), b""
        except BaseException as error:  # an internal error of the module
            failure, chunk = error.with_traceback(None), b""
        if chunk:
            self._failures = 0
            self._chunks.append(chunk)
            self._size += len(chunk)
            if self._wake_on is None or self._wake_on in chunk or self._size >= self.high_water:
                return self._take_waker(), False
            return None, False
        self.ended = True
        if not self.stopping:
            self.failure = failure
        return self._take_waker(), True

    def _close_session(self) -> None:
        # The shell is gone: reap `su` now rather than when the shell is
        # closed. Closing twice is harmless.
        with self._lock:
            session, self._session = self._session, None
        if session is None:
            return
        try:
            session.close()
        except BaseException as error:
            with self._lock:
                self.failure = self.failure or error.with_traceback(None)

    # ------------------------------------------------------------ the engine's side

    def take(self, timeout: float | None, wake_on: bytes | None = None) -> bytearray:
        """Everything read so far, reading and waiting up to `timeout`
        seconds for some if there is none (`wake_on` is not needed: callers
        take what comes and wait again)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            close = False
            with self._lock:
                if not (self._chunks or self.ended or self.stopping):
                    _, close = self._read_locked()
                if self._chunks or self.ended or self.stopping:
                    taken = self._take_locked()
                    break
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                return bytearray()
            try:
                self._epoll.poll(-1 if remaining is None else remaining)
            except ValueError:  # closed by join()
                return bytearray()
        if close:
            self._close_session()
        return taken

    def take_nowait(self) -> bytearray:
        """Everything read so far, without waiting."""
        with self._lock:
            return self._take_locked()

    def _take_locked(self) -> bytearray:
        taken = bytearray().join(self._chunks)
        self._chunks.clear()
        self._size = 0
        return taken

    def wake(self) -> None:
        """Wakes whoever waits, from any thread."""
        with self._lock:
            self._call_soon(self._take_waker())

    def stop(self) -> None:
        """Makes waiters return; nothing is read any more."""
        with self._lock:
            self.stopping = True
            self._call_soon(self._take_waker())

    def join(self, timeout: float) -> None:
        """After stop() and the session's close: lets go of the epoll
        instance (the loop's watch has a descriptor of its own)."""
        with self._lock:
            self.ended = True
            self._session = None
            self._epoll.close()

    def hung_up(self) -> bool:
        """Whether the shell has gone (its side of the pipe is closed),
        though the loop has not read the end yet: it may not be running."""
        with self._lock:
            if self.ended:  # join() ends it before it closes the epoll instance
                return True
            return any(events & select.EPOLLHUP for _, events in self._epoll.poll(0))

    def set_high_water(self, high_water: int) -> None:
        with self._lock:
            self.high_water = high_water

    def _call_soon(self, waker: Waker | None) -> None:
        loop = self._loop
        if waker is None or loop is None:
            return
        try:
            loop.call_soon_threadsafe(waker)
        except RuntimeError:  # the loop is closed: nobody waits on it
            pass

    def duplicate_fd(self) -> int:
        """A new descriptor of the epoll instance; -1 once join() let go of it."""
        with self._lock:
            return -1 if self._epoll.closed else os.dup(self._epoll.fileno())


class OutputWatch:
    """A loop's watch of a LoopOutput: a duplicate of its epoll descriptor,
    watched by the loop, so that the loop's registration is the loop's own
    to end, whenever the output lets go of its descriptor.

    The loop holds only a weak reference to the watch: a shell dropped
    without close() stops being watched when it is collected.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, output: LoopOutput) -> None:
        self.loop = loop
        self._output = output
        self._fd = _Descriptor(output.duplicate_fd())
        self._watching = False
        self._finalizer = weakref.finalize(self, forget, loop, self._fd)
        self.resume()

    def resume(self) -> None:
        """Watches again, after a pause; on the loop's thread."""
        if not self._watching and self._fd.fd >= 0:
            self.loop.add_reader(self._fd.fd, _ready_weakly, weakref.ref(self))
            self._watching = True

    def close(self) -> None:
        """On the loop's thread: nothing to hand over to it."""
        if self._finalizer.detach() is not None:
            self._watching = False
            unwatch(self.loop, self._fd.close())

    def _ready(self) -> None:
        keep, waker = self._output.read_ready(self.loop)
        if not keep and self._watching:
            self._watching = False
            self.loop.remove_reader(self._fd.fd)
        if waker is not None:
            waker()


class _Descriptor:
    """A descriptor that may be handed over once (then -1)."""

    __slots__ = ("fd",)

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def close(self) -> int:
        fd, self.fd = self.fd, -1
        return fd


def _ready_weakly(watch: weakref.ref[OutputWatch]) -> None:
    target = watch()
    if target is not None:
        target._ready()


class Closable(Protocol):
    def close(self) -> int:
        """The descriptor, handed over; -1 if it was already."""


def forget(loop: asyncio.AbstractEventLoop, descriptor: Closable) -> None:
    """A collected watch of `loop`, from whatever thread the collector ran
    on: `descriptor` is no longer watched, then closed, on the loop's thread
    if the loop runs."""
    fd = descriptor.close()
    if loop.is_running():
        try:
            loop.call_soon_threadsafe(unwatch, loop, fd)
            return
        except RuntimeError:  # closed meanwhile
            pass
    unwatch(loop, fd)  # no thread is in the loop


def unwatch(loop: asyncio.AbstractEventLoop, fd: int) -> None:
    if fd < 0:
        return
    try:
        loop.remove_reader(fd)  # nothing to do on a closed loop
    finally:
        os.close(fd)
