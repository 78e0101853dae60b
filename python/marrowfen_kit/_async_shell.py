"""AsyncShell: a pool account's bash, one command at a time, for asyncio."""

from __future__ import annotations

import asyncio
import concurrent.futures
import functools
import re
import threading
from collections.abc import Callable
from types import TracebackType
from typing import Self, TypeVar

from marrowfen import PyTerminalSession, PyUser

from ._command_result import CommandResult
from ._shell_engine import ShellEngine
from ._shell_errors import ShellEnded
from ._shell_front import ShellFront

_T = TypeVar("_T")


class AsyncShell(ShellFront):
    """A Shell for asyncio: the same operations, as coroutines.

    The waiting is done in worker threads (the session's calls release the
    interpreter lock), so the event loop keeps running. Each AsyncShell has
    one worker for its commands; send(), interrupt() and close() do not wait
    for a command to end.

    A cancelled run() interrupts its command like a timeout (Ctrl-C, then the
    shell is given RECOVERY_TIMEOUT seconds to come back, or is closed)
    before the CancelledError comes through; a cancelled expect() just stops
    waiting. It has START_TIMEOUT and RECOVERY_TIMEOUT of its own, as Shell
    has.
    """

    def __init__(self, session: PyTerminalSession, *, encoding: str = "utf-8", errors: str = "replace") -> None:
        """Takes over `session` without blocking; the shell's set-up is
        awaited by the first operation (or by `async with`)."""
        self._engine = ShellEngine(self, session, encoding, errors)
        self._worker = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="marrowfen-async-shell")

    @classmethod
    async def start(cls, user: PyUser, *, encoding: str = "utf-8", errors: str = "replace") -> Self:
        """A shell on a new session of `user`, set up and ready."""
        session = await asyncio.to_thread(user.spawn)
        shell = cls(session, encoding=encoding, errors=errors)
        try:
            await shell._call(shell._engine.ensure_ready)
        except BaseException:
            await shell.close()
            raise
        return shell


    async def run(self, command: str, timeout: float | None = 30.0, check: bool = False) -> CommandResult:
        """As Shell.run(); cancelling it interrupts the command."""
        return await self._call(functools.partial(self._engine.run, command, timeout, check))

    async def send(self, text: str | bytes) -> None:
        """As Shell.send()."""
        await asyncio.to_thread(self._engine.send, text)

    async def expect(self, pattern: str | re.Pattern[str], timeout: float | None = 30.0) -> re.Match[str]:
        """As Shell.expect(); cancelling it stops the wait."""
        return await self._call(functools.partial(self._engine.expect, pattern, timeout))

    async def interrupt(self) -> None:
        """As Shell.interrupt()."""
        await asyncio.to_thread(self._engine.interrupt)

    async def close(self) -> None:
        """As Shell.close(); an operation in progress ends with ShellEnded."""
        await asyncio.to_thread(self._engine.close)
        self._worker.shutdown(wait=False)

    async def __aenter__(self) -> Self:
        try:
            await self._call(self._engine.ensure_ready)
        except BaseException:
            await self.close()
            raise
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()


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
            self._engine.cancel(token)
            try:
                await pending
            except BaseException:  # its Cancelled, or what it met while giving up
                pass
            raise
