"""AsyncShell: a pool account's bash, one command at a time, for asyncio.

The engine's steps are carried out on the event loop itself: a command's
line is written from the loop (a long one from a worker thread), and a wait
for output is a future that the loop's own read of the output resolves (for
a shell made by start(); see _loop_output), so a command costs the loop one
wake-up and no thread at all. A shell made from a session of its own has a
reading thread, which wakes the loop through a bell (see _loop_waits).
"""

from __future__ import annotations

import asyncio
import contextvars
import os
import re
import select
from collections.abc import Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Self, TypeVar

from marrowfen import PyTerminalSession, PyUser

from . import _shell_arguments as arguments
from ._command_result import CommandResult
from ._loop_waits import LoopWaits
from ._shell_engine import Cancelled, ShellEngine, Steps, Wait, Write
from ._shell_front import DEFAULT_TERMINAL_SIZE, _ShellFront

if TYPE_CHECKING:
    from .fs import MemPath

_T = TypeVar("_T")

# Lines up to this long are written from the event loop: a pipe with room
# for them never blocks, and one without room means a shell that stopped
# reading a 64 KiB backlog.
_INLINE_WRITE = 4096

# The session start() spawned, and the epoll instance its output is in, for
# the constructor (which takes a session only).
_spawned: contextvars.ContextVar[tuple[PyTerminalSession, select.epoll] | None] = contextvars.ContextVar(
    "marrowfen_kit_spawned", default=None)


class AsyncShell(_ShellFront):
    """A Shell for asyncio: the same operations, as coroutines.

    Nothing blocks the event loop: the loop is woken by the shell's reading
    thread when output comes. send(), interrupt() and close() do not wait
    for a command to end.

    A cancelled run() interrupts its command like a timeout (Ctrl-C, then the
    shell is given RECOVERY_TIMEOUT seconds to come back, or is closed)
    before the CancelledError comes through; a cancelled expect() just stops
    waiting. It has START_TIMEOUT and RECOVERY_TIMEOUT of its own, as Shell
    has.
    """

    def __init__(self, session: PyTerminalSession, *, encoding: str = "utf-8", errors: str = "replace",
                 terminal_size: tuple[int, int] = DEFAULT_TERMINAL_SIZE) -> None:
        """Takes over `session` without blocking; the shell's set-up is
        awaited by the first operation (or by `async with`)."""
        spawned = _spawned.get()
        epoll = spawned[1] if spawned is not None and spawned[0] is session else None
        self._connect(session, encoding, errors, terminal_size, epoll)
        self._busy = asyncio.Lock()  # one run() or expect() at a time
        self._waits: LoopWaits | None = None  # on the loop it was last used on

    @classmethod
    async def start(cls, user: PyUser, *, encoding: str = "utf-8", errors: str = "replace",
                    terminal_size: tuple[int, int] = DEFAULT_TERMINAL_SIZE) -> Self:
        """A shell on a new session of `user`, set up and ready; it knows
        its account (restart(), put(), get())."""
        arguments.codec(encoding, errors)
        arguments.terminal_size(terminal_size)
        session, epoll = await asyncio.to_thread(_spawn_watched, arguments.user(user))
        token = _spawned.set((session, epoll))
        try:
            shell = cls(session, encoding=encoding, errors=errors, terminal_size=terminal_size)
        finally:
            _spawned.reset(token)
        shell._remember(user)
        try:
            await shell._complete(shell._engine.ready_steps())
        except BaseException:
            await shell.close()
            raise
        return shell

    async def run(self, command: str, timeout: float | None = 30.0, check: bool = False, *,
                  input: str | bytes | None = None, env: Mapping[str, str] | None = None,
                  cwd: str | os.PathLike[str] | None = None) -> CommandResult:
        """As Shell.run(); cancelling it interrupts the command."""
        return await self._complete(self._run_steps(command, timeout, check, input, env, cwd))

    async def send(self, text: str | bytes) -> None:
        """As Shell.send()."""
        data = self._send_data(text)
        if not self._engine.ready:
            await self._complete(self._engine.ready_steps())
        await asyncio.to_thread(self._engine.write_input, data)

    async def expect(self, pattern: str | re.Pattern[str], timeout: float | None = 30.0) -> re.Match[str]:
        """As Shell.expect(); cancelling it stops the wait."""
        return await self._complete(self._expect_steps(pattern, timeout))

    async def interrupt(self) -> None:
        """As Shell.interrupt()."""
        await asyncio.to_thread(self._engine.interrupt)

    async def resize(self, columns: int, lines: int) -> None:
        """As Shell.resize()."""
        await self._complete(self._resize_steps(columns, lines))

    async def restart(self) -> None:
        """As Shell.restart()."""
        engine = await asyncio.to_thread(self._respawn)
        await self._complete(engine.ready_steps())

    async def put(self, source: str | os.PathLike[str] | bytes | MemPath, dest: str | os.PathLike[str], *,
                  limit: int | None = None) -> None:
        """As Shell.put(), in a worker thread."""
        await asyncio.to_thread(self._put, source, dest, limit)

    async def get(self, source: str | os.PathLike[str], dest: str | os.PathLike[str] | MemPath | None = None, *,
                  limit: int | None = None) -> bytes | None:
        """As Shell.get(), in a worker thread."""
        return await asyncio.to_thread(self._get, source, dest, limit)

    async def close(self) -> None:
        """As Shell.close(); an operation in progress ends with ShellEnded."""
        self._user = None
        await asyncio.to_thread(self._engine.close)
        waits, self._waits = self._waits, None
        if waits is not None:
            waits.let_go()

    async def __aenter__(self) -> Self:
        try:
            await self._complete(self._engine.ready_steps())
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    def _spawn(self, user: PyUser) -> tuple[PyTerminalSession, select.epoll | None]:
        return _spawn_watched(user)

    async def _complete(self, steps: Steps[_T]) -> _T:
        """Carries out `steps` on the event loop, one operation at a time."""
        async with self._busy:
            loop = asyncio.get_running_loop()
            engine = self._engine
            waits = self._waits
            if waits is None or waits.loop is not loop or waits.output is not engine.pump:
                if waits is not None:
                    waits.let_go()
                waits = self._waits = LoopWaits(loop, engine.pump)
            return await complete(engine, steps, waits)


def _spawn_watched(user: PyUser) -> tuple[PyTerminalSession, select.epoll]:
    """A new session of `user` whose output an event loop can watch."""
    epoll = select.epoll()
    try:
        return user.spawn(epoll=epoll), epoll
    except BaseException:
        epoll.close()
        raise


async def complete(engine: ShellEngine, steps: Steps[_T], waits: LoopWaits) -> _T:
    """Carries out `steps` of `engine` on the running event loop.

    A cancellation does not stop the steps: it asks them to give up
    (request_cancel()) and they are carried on until they do (a run()
    interrupts its command and waits for the shell to come back), then the
    CancelledError comes through.
    """
    pump = engine.pump
    engine.cancel_requested = False
    cancelled = False
    answer: bytearray | None = None
    error: BaseException | None = None
    while True:
        try:
            step = steps.send(answer) if error is None else steps.throw(error)
        except StopIteration as done:
            if cancelled:
                raise asyncio.CancelledError() from None
            result: _T = done.value
            return result
        except Cancelled:
            raise asyncio.CancelledError() from None
        except BaseException:
            if cancelled:
                raise asyncio.CancelledError() from None
            raise
        answer = error = None
        if type(step) is Wait:
            if pump.arm(waits.ring, step.wake_on):
                try:
                    await waits.begin(step.deadline)
                except asyncio.CancelledError:
                    cancelled = True
                    engine.request_cancel()
                finally:
                    pump.disarm()
                    waits.end()
            answer = pump.take_nowait()
        else:
            assert type(step) is Write
            try:
                if len(step.data) <= _INLINE_WRITE:
                    engine.write_line(step.data, step.command)
                else:
                    cancelled = await _write_in_thread(engine, step) or cancelled
            except BaseException as raised:
                error = raised


async def _write_in_thread(engine: ShellEngine, step: Write) -> bool:
    """Writes a long line from a worker thread, to the end even if the
    caller is cancelled meanwhile (half a line would join the next one).
    True if it was."""
    writing = asyncio.ensure_future(asyncio.to_thread(engine.write_line, step.data, step.command))
    cancelled = False
    while not writing.done():
        try:
            await asyncio.shield(writing)
        except asyncio.CancelledError:
            cancelled = True
            engine.request_cancel()
    writing.result()  # what the write raised
    return cancelled
