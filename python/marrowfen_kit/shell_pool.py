"""Shells kept ready: a fresh tenant per task without waiting for `su` and bash.

`ShellPool(pool, warm=2)` keeps `warm` shells of fresh accounts of `pool`
started and set up in the background. `acquire()` hands one out at once (a
replacement starts behind it); `release(shell)` gives it back, and it is
closed and its account released off the caller's path, so the next tenant of
that account finds nothing of this one::

    with ShellPool(PyUserPool(8), warm=2) as shells:
        with shells.shell() as shell:
            shell.run("make test")

`size` bounds the tenants the pool holds at once: ready, being started,
handed out, and given back but not yet released. When the account pool
refuses an account, `acquire` waits for a shell of this pool to come back
(until its timeout); if none can come back, the refusal is raised.
`AsyncShellPool` is the same for asyncio, handing out `AsyncShell`s.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import contextlib
import math
import os
import threading
import time
from collections.abc import AsyncIterator, Coroutine, Iterator
from types import TracebackType
from typing import Generic, Self, TypeVar

from marrowfen import PyUserPool

from ._async_shell import AsyncShell
from ._shell import Shell

__all__ = ["ShellPool", "AsyncShellPool"]

_S = TypeVar("_S")

# Threads that start shells side by side: starting is mostly `su` and bash
# setting up, which runs on the other cores.
_START_THREADS = max(2, min(8, os.cpu_count() or 2))

_CLOSED = "The shell pool is closed"


class _Ledger(Generic[_S]):
    """What a pool holds and what it should start next; the callers hold
    their pool's lock (or run on its event loop) around every use."""

    def __init__(self, warm: int, size: int | None) -> None:
        self.warm = warm
        self.size = size
        self.ready: collections.deque[_S] = collections.deque()
        self.out: dict[int, _S] = {}  # handed out, by id
        self.starting = 0
        self.closing = 0  # given back, account not yet released
        self.waiting = 0  # acquire() calls waiting for a shell
        self.blocked = False  # the last start failed: none until something changes
        self.failure: BaseException | None = None  # why, when nothing could come back
        self.closed = False

    def held(self) -> int:
        return len(self.ready) + self.starting + len(self.out) + self.closing

    def claim_starts(self) -> int:
        """How many shells to start now, counted as starting from here."""
        if self.closed or self.blocked:
            return 0
        wanted = self.warm + self.waiting - len(self.ready) - self.starting
        if self.size is not None:
            wanted = min(wanted, self.size - self.held())
        self.starting += max(wanted, 0)
        return max(wanted, 0)

    def started(self, shell: _S) -> bool:
        """Takes a started shell in; False if it is not wanted any more
        (the pool closed, or a waiter gave up), and it is to be closed."""
        self.starting -= 1
        if self.closed or len(self.ready) >= self.warm + self.waiting:
            self.closing += 1
            return False
        self.ready.append(shell)
        return True

    def start_failed(self, error: BaseException) -> None:
        """A refusal while shells of this pool may come back is waited out;
        otherwise it is the failure that waiting acquire() calls raise."""
        self.starting -= 1
        self.blocked = True
        if len(self.out) + self.closing + self.starting == 0:
            self.failure = error

    def retry(self) -> None:
        """A new attempt: forget a failure nobody is waiting for any more."""
        self.failure = None
        if len(self.out) + self.closing + self.starting == 0:
            self.blocked = False

    def poll(self, deadline: float | None, timeout: float | None) -> tuple[_S | None, float | None]:
        """One look of a waiting acquire(): a shell, or None and the seconds
        to wait for a change (None for no limit); raises what ends the wait."""
        if self.closed:
            raise ValueError(_CLOSED)
        shell = self.take()
        if shell is not None:
            return shell, None
        if self.failure is not None:
            failure, self.failure = self.failure, None
            self.retry()
            raise failure
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            raise TimeoutError(f"No shell became ready within {timeout or 0.0:g} seconds")
        return None, left

    def take(self) -> _S | None:
        if not self.ready:
            return None
        shell = self.ready.popleft()
        self.out[id(shell)] = shell
        return shell

    def give_back(self, shell: _S) -> None:
        if self.out.pop(id(shell), None) is not shell:
            raise ValueError("shell is not a shell handed out by this pool (or was given back already)")
        self.closing += 1

    def closed_one(self) -> None:
        self.closing -= 1
        self.blocked = False

    def everything(self) -> list[_S]:
        """Closes the ledger; the shells it held, to be closed."""
        self.closed = True
        shells = [*self.ready, *self.out.values()]
        self.closing += len(shells)
        self.ready.clear()
        self.out.clear()
        return shells

    def settled(self) -> bool:
        return self.starting == 0 and self.closing == 0

    def describe(self, kind: str) -> str:
        state = "closed" if self.closed else f"ready={len(self.ready)} out={len(self.out)}"
        return f"<{kind} warm={self.warm} size={self.size} {state}>"


def _check_arguments(pool: object, warm: object, size: object) -> None:
    if not isinstance(pool, PyUserPool):
        raise TypeError(f"pool must be a marrowfen.PyUserPool, not {type(pool).__name__}")
    if isinstance(warm, bool) or not isinstance(warm, int):
        raise TypeError(f"warm must be an int, not {type(warm).__name__}")
    if warm < 0:
        raise ValueError(f"warm must not be negative, not {warm}")
    if size is not None:
        if isinstance(size, bool) or not isinstance(size, int):
            raise TypeError(f"size must be an int or None, not {type(size).__name__}")
        if size < 1:
            raise ValueError(f"size must be positive, not {size}")
        if warm > size:
            raise ValueError(f"warm ({warm}) must not exceed size ({size})")


def _deadline(timeout: object) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not (timeout >= 0 and math.isfinite(timeout)):
        raise ValueError(f"timeout must be a non-negative finite number of seconds or None, not {timeout!r}")
    return time.monotonic() + timeout




class ShellPool:
    """Shells of fresh accounts of `pool`, `warm` of them kept ready.

    Safe to use from several threads. `close()` (or leaving a `with` block)
    closes every shell the pool holds, handed out ones included, and returns
    once their accounts are released.
    """

    def __init__(self, pool: PyUserPool, *, warm: int = 2, size: int | None = None) -> None:
        _check_arguments(pool, warm, size)
        self._pool = pool
        self._ledger: _Ledger[Shell] = _Ledger(warm, size)
        self._lock = threading.Condition()
        threads = _START_THREADS if size is None else min(_START_THREADS, size)
        self._starters = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="marrowfen-shell-start")
        self._closer = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="marrowfen-shell-close")
        with self._lock:
            self._schedule_locked()

    def acquire(self, timeout: float | None = None) -> Shell:
        """A ready shell of a fresh account: at once if one is warm, else
        when one has started. `timeout` (seconds, None for none; 0 takes only
        a warm one) bounds the wait: past it TimeoutError."""
        deadline = _deadline(timeout)
        ledger = self._ledger
        with self._lock:
            if ledger.closed:
                raise ValueError(_CLOSED)
            shell = ledger.take()
            if shell is not None:
                self._schedule_locked()
                return shell
            ledger.retry()
            ledger.waiting += 1
            try:
                while True:
                    self._schedule_locked()
                    shell, left = ledger.poll(deadline, timeout)
                    if shell is not None:
                        return shell
                    self._lock.wait(left)
            finally:
                ledger.waiting -= 1
                self._schedule_locked()

    def release(self, shell: Shell) -> None:
        """Gives a shell back; it is closed and its account released in the
        background. The shell may have ended or been closed already."""
        if not isinstance(shell, Shell):
            raise TypeError(f"shell must be a Shell, not {type(shell).__name__}")
        with self._lock:
            if self._ledger.closed:
                return  # close() has closed it
            self._ledger.give_back(shell)
        self._closer.submit(self._close_one, shell)

    @contextlib.contextmanager
    def shell(self, timeout: float | None = None) -> Iterator[Shell]:
        """acquire() for a `with` block, released when it ends."""
        shell = self.acquire(timeout)
        try:
            yield shell
        finally:
            self.release(shell)

    def close(self) -> None:
        """Closes every shell of the pool, waits for those being started and
        for every account to be released. Closing twice is harmless."""
        with self._lock:
            shells = self._ledger.everything()
            self._lock.notify_all()
        for shell in shells:
            self._closer.submit(self._close_one, shell)
        with self._lock:
            while not self._ledger.settled():
                self._lock.wait()
        self._starters.shutdown()
        self._closer.shutdown()

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._ledger.closed

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        return self._ledger.describe(type(self).__name__)

    # ------------------------------------------------------------ the work

    def _schedule_locked(self) -> None:
        for _ in range(self._ledger.claim_starts()):
            self._starters.submit(self._start_one)

    def _start_one(self) -> None:
        try:
            user = self._pool.allocate()
            try:
                shell = Shell.start(user)
            finally:
                del user  # the shell's session holds the account from here
        except BaseException as error:  # noqa: B036 - handed to a waiting acquire()
            with self._lock:
                self._ledger.start_failed(error.with_traceback(None))
                self._lock.notify_all()
            return
        with self._lock:
            kept = self._ledger.started(shell)
            self._lock.notify_all()
        if not kept:
            self._close_one(shell)

    def _close_one(self, shell: Shell) -> None:
        try:
            shell.close()  # the account is released as the session goes with it
        finally:
            with self._lock:
                self._ledger.closed_one()
                self._schedule_locked()
                self._lock.notify_all()


class AsyncShellPool:
    """A ShellPool for asyncio: the same operations as coroutines, handing
    out AsyncShells. Use it from one event loop."""

    def __init__(self, pool: PyUserPool, *, warm: int = 2, size: int | None = None) -> None:
        """Starts nothing yet: the warm shells start on the first use (or
        `async with`), on the running loop."""
        _check_arguments(pool, warm, size)
        self._pool = pool
        self._ledger: _Ledger[AsyncShell] = _Ledger(warm, size)
        self._changed: asyncio.Condition | None = None
        self._tasks: set[asyncio.Task[None]] = set()

    async def acquire(self, timeout: float | None = None) -> AsyncShell:
        """As ShellPool.acquire()."""
        deadline = _deadline(timeout)
        ledger = self._ledger
        changed = self._condition()
        if ledger.closed:
            raise ValueError(_CLOSED)
        shell = ledger.take()
        if shell is not None:
            self._schedule()
            return shell
        ledger.retry()
        ledger.waiting += 1
        try:
            async with changed:
                while True:
                    self._schedule()
                    shell, left = ledger.poll(deadline, timeout)
                    if shell is not None:
                        return shell
                    with contextlib.suppress(TimeoutError):
                        await asyncio.wait_for(changed.wait(), left)
        finally:
            ledger.waiting -= 1
            self._schedule()

    async def release(self, shell: AsyncShell) -> None:
        """As ShellPool.release(): returns at once, closing in the background."""
        if not isinstance(shell, AsyncShell):
            raise TypeError(f"shell must be an AsyncShell, not {type(shell).__name__}")
        if self._ledger.closed:
            return
        self._ledger.give_back(shell)
        self._spawn(self._close_one(shell))

    @contextlib.asynccontextmanager
    async def shell(self, timeout: float | None = None) -> AsyncIterator[AsyncShell]:
        """acquire() for an `async with` block, released when it ends."""
        shell = await self.acquire(timeout)
        try:
            yield shell
        finally:
            await self.release(shell)

    async def close(self) -> None:
        """As ShellPool.close()."""
        changed = self._condition()
        for shell in self._ledger.everything():
            self._spawn(self._close_one(shell))
        async with changed:
            changed.notify_all()
            await changed.wait_for(self._ledger.settled)

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._ledger.closed

    async def __aenter__(self) -> Self:
        self._condition()
        self._schedule()
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    def __repr__(self) -> str:
        return self._ledger.describe(type(self).__name__)

    # ------------------------------------------------------------ the work

    def _condition(self) -> asyncio.Condition:
        if self._changed is None:
            self._changed = asyncio.Condition()
        return self._changed

    def _spawn(self, work: Coroutine[object, object, None]) -> None:
        task = asyncio.get_running_loop().create_task(work)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    def _schedule(self) -> None:
        for _ in range(self._ledger.claim_starts()):
            self._spawn(self._start_one())

    async def _notify(self) -> None:
        changed = self._condition()
        async with changed:
            changed.notify_all()

    async def _start_one(self) -> None:
        try:
            user = await asyncio.to_thread(self._pool.allocate)
            try:
                shell = await AsyncShell.start(user)
            finally:
                del user
        except BaseException as error:  # noqa: B036 - handed to a waiting acquire()
            self._ledger.start_failed(error.with_traceback(None))
            await self._notify()
            if isinstance(error, asyncio.CancelledError):
                raise
            return
        kept = self._ledger.started(shell)
        if kept:
            await self._notify()
        else:
            await self._close_one(shell)

    async def _close_one(self, shell: AsyncShell) -> None:
        try:
            await shell.close()
        finally:
            self._ledger.closed_one()
            self._schedule()
            await self._notify()
