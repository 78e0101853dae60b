"""How an AsyncShell waits on its event loop: a bell and a deadline timer.

A shell that AsyncShell.start() spawned has its output read by the loop
itself (_loop_output): the watch of that output is the bell, and the waiting
task is woken by the read that brought its answer.

A shell made from a session of its own has a reading thread, which wakes the
loop through an eventfd of the shell's own, watched by the loop for as long
as the shell is used on it. A wake
through `call_soon_threadsafe` costs a new handle, the loop's self-pipe and a
second read to find it empty; the bell costs one write and one read, and the
reading thread rings it only once it has let go of everything, right before
its next read, so that the loop, once woken, does not wait for the thread to
hand back the interpreter lock.

The task that waits is woken within the loop's turn that heard the bell,
not at the next turn (see _Wakeup): an answer costs the loop one turn.

A ring may come late, after its wait ended another way: it then ends the next
wait early, which takes what there is (possibly nothing) and waits again.
"""

from __future__ import annotations

import asyncio
import contextvars
import os
import threading
import time
import weakref
from collections.abc import Callable
from typing import Any, Self

from ._loop_output import LoopOutput, OutputWatch, forget, unwatch
from ._output_pump import OutputPump


class LoopWaits:
    """The waits of one shell (of its `output`) on one event loop, one at a
    time."""

    def __init__(self, loop: asyncio.AbstractEventLoop, output: OutputPump | LoopOutput) -> None:
        self.loop = loop
        self.output = output
        self._woken: _Wakeup | None = None  # of the wait in progress
        self._deadline: float | None = None  # of the wait in progress (time.monotonic())
        self._timer: asyncio.TimerHandle | None = None
        self._bell: _Bell | OutputWatch
        self._bell = output.watch(loop) if isinstance(output, LoopOutput) else _Bell(loop, self._rung)

    @property
    def ring(self) -> Callable[[], None]:
        """Wakes the wait in progress: the output's waker. Called on the
        loop's thread by the loop's own read, or from the reading thread
        through the bell."""
        return self._rung if isinstance(self._bell, OutputWatch) else self._bell.ring

    def begin(self, deadline: float | None) -> asyncio.Future[None]:
        """A future that the bell or the deadline resolves."""
        self._bell.resume()
        woken = _Wakeup(loop=self.loop)
        self._woken, self._deadline = woken, deadline
        if deadline is not None:
            self._watch(deadline)
        return woken

    def end(self) -> None:
        """The wait is over; the timer stays for the next (a wait's deadline
        is mostly later than the one before it, so no timer is made and
        cancelled for every command)."""
        self._woken = self._deadline = None

    def let_go(self) -> None:
        """Stops watching the bell now when that is safe (on the loop's own
        thread, or once the loop is closed), else once collected."""
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is self.loop or self.loop.is_closed():
            self.close()

    def close(self) -> None:
        """Stops watching the bell; called on the loop's thread."""
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        self._bell.close()

    def _rung(self) -> None:
        woken = self._woken
        if woken is not None:
            woken.wake()

    def _watch(self, deadline: float) -> None:
        timer = self._timer
        if timer is not None and timer.when() <= self._loop_time(deadline):
            return
        if timer is not None:
            timer.cancel()
        self._set_timer(deadline)

    def _set_timer(self, deadline: float) -> None:
        # The loop holds the timer, and the timer only a weak reference to
        # the waits: see _Bell.
        self._timer = self.loop.call_at(self._loop_time(deadline), _call_weakly, weakref.WeakMethod(self._ring_timer))

    def _loop_time(self, deadline: float) -> float:
        return self.loop.time() + (deadline - time.monotonic())

    def _ring_timer(self) -> None:
        self._timer = None
        deadline = self._deadline
        if deadline is None:
            return
        if time.monotonic() >= deadline:
            self._rung()
        else:
            self._set_timer(deadline)


class _Wakeup(asyncio.Future[None]):
    """A future that wakes the task awaiting it at once when the bell or
    the deadline resolves it, from the loop's own callback, rather than
    through a callback for the loop's next turn. Anything else about it
    (cancellation, other callbacks) is a plain future's."""

    _task_wakeup: Callable[[Any], object] | None = None  # the awaiting task's
    _task_context: contextvars.Context | None = None

    def add_done_callback(self, fn: Callable[[Self], object], *,
                          context: contextvars.Context | None = None) -> None:
        if self._task_wakeup is None and not self.done():
            self._task_wakeup, self._task_context = fn, context
        else:
            super().add_done_callback(fn, context=context)

    def remove_done_callback(self, fn: Callable[[Self], object]) -> int:
        removed = 0
        if self._task_wakeup is not None and self._task_wakeup == fn:
            self._task_wakeup = self._task_context = None
            removed = 1
        return removed + super().remove_done_callback(fn)

    def cancel(self, msg: object = None) -> bool:
        if not super().cancel(msg):
            return False
        self._wake_later()
        return True

    def set_result(self, result: None) -> None:
        super().set_result(result)
        self._wake_later()

    def wake(self) -> None:
        """Resolves the future and runs its waker now; called from a
        callback of the loop, never from a task."""
        if self.done():
            return
        super().set_result(None)
        wakeup, context = self._take_task_wakeup()
        if wakeup is None:
            return
        if context is None:
            wakeup(self)
        else:
            context.run(wakeup, self)

    def _wake_later(self) -> None:
        wakeup, context = self._take_task_wakeup()
        if wakeup is not None:
            self.get_loop().call_soon(wakeup, self, context=context)

    def _take_task_wakeup(self) -> tuple[Callable[[Any], object] | None, contextvars.Context | None]:
        wakeup, context = self._task_wakeup, self._task_context
        self._task_wakeup = self._task_context = None
        return wakeup, context


class _Ring:
    """Writes to the bell's eventfd unless it is closed (the descriptor's
    number could belong to another file by then)."""

    __slots__ = ("fd", "lock")

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self.lock = threading.Lock()

    def __call__(self) -> None:
        with self.lock:
            if self.fd >= 0:
                os.eventfd_write(self.fd, 1)

    def close(self) -> int:
        """The descriptor, which nobody rings any more."""
        with self.lock:
            fd, self.fd = self.fd, -1
            return fd


class _Bell:
    def __init__(self, loop: asyncio.AbstractEventLoop, rung: Callable[[], None]) -> None:
        fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
        self.loop = loop
        self.ring = _Ring(fd)
        # The loop holds the bell's callback, and the callback only a weak
        # reference to the waits: a shell dropped without close() stops
        # being watched when it is collected.
        loop.add_reader(fd, _drain, fd, weakref.WeakMethod(rung))
        self._finalizer = weakref.finalize(self, forget, loop, self.ring)

    def resume(self) -> None:
        """Nothing to do: the bell is always watched."""

    def close(self) -> None:
        """On the loop's thread: nothing to hand over to it."""
        if self._finalizer.detach() is not None:
            unwatch(self.loop, self.ring.close())


def _drain(fd: int, rung: weakref.WeakMethod[Callable[[], None]]) -> None:
    try:
        os.eventfd_read(fd)
    except BlockingIOError:
        return
    _call_weakly(rung)


def _call_weakly(method: weakref.WeakMethod[Callable[[], None]]) -> None:
    callback = method()
    if callback is not None:
        callback()
