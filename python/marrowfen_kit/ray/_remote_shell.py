"""A shell on some node of the cluster, driven from the driver.

RemoteShell and AsyncRemoteShell offer the operations of the kit's local
Shell; each call is one call of the node's actor over Ray's own transport,
and each reply comes back as the local call would have ended: the value, or
the same exception. A shell whose node or actor is lost ends with
ShellEnded, at once where Ray already knows, and at the latest when the
call's own time limit and CALL_GRACE have passed.
"""

from __future__ import annotations

import asyncio
import dataclasses
import math
import os
import tempfile
import threading
from collections.abc import Awaitable, Callable, Mapping
from types import TracebackType
from typing import Any, Final, Self

import ray  # type: ignore[import-not-found, unused-ignore]

from marrowfen_kit.fs import MemPath
from marrowfen_kit.shell import CommandResult, ShellEnded

from . import _transfer
from ._placement import LOSS_ERRORS, Lease, Placement, loss_reason
from ._replies import Reply

#: Payloads larger than this many bytes go to the node through Ray's object
#: store, not inside the call's arguments.
INLINE_LIMIT: Final = 256 * 1024

PutSource = str | os.PathLike[str] | bytes | bytearray | memoryview | MemPath
GetDest = str | os.PathLike[str] | MemPath | None


@dataclasses.dataclass(frozen=True)
class _Call:
    """One operation for the node's actor, and what to make of its value."""

    method: str
    args: tuple[Any, ...]
    wait: float | None  # seconds to wait for the reply; None: until Ray says the node is gone
    command: str | None = None
    finish: Callable[[Any], Any] = lambda value: value


def _check_timeout(timeout: float | None, name: str = "timeout") -> None:
    if timeout is None:
        return
    if isinstance(timeout, bool) or not isinstance(timeout, int | float):
        raise TypeError(f"{name} must be a number of seconds or None, not {type(timeout).__name__}")
    if not (math.isfinite(timeout) and timeout >= 0):
        raise ValueError(f"{name} must be a non-negative number of seconds or None, not {timeout!r}")


def _tenant_path(path: object, name: str) -> str:
    if isinstance(path, str):
        return path
    if isinstance(path, os.PathLike):
        text = os.fspath(path)
        if isinstance(text, str):
            return text
    raise TypeError(f"{name} must be a str or os.PathLike[str], not {type(path).__name__}")


def _by_store(data: bytes | str) -> Any:
    """`data` itself, or a reference to a copy in the object store when it is large."""
    return ray.put(data) if len(data) > INLINE_LIMIT else data


def _put_call(source: PutSource, dest: str, wait: float) -> _Call:
    if isinstance(source, bytes | bytearray | memoryview):
        return _Call("put_bytes", (_by_store(bytes(source)), dest), wait)
    if isinstance(source, MemPath):
        return _Call("put_archive", (_by_store(_transfer.pack_mem(source)), dest), wait)
    if isinstance(source, str | os.PathLike):
        return _Call("put_archive", (_by_store(_transfer.pack_host(source)), dest), wait)
    raise TypeError(f"source must be a host path, bytes or a MemPath, not {type(source).__name__}")


def _get_call(source: str, dest: GetDest, wait: float) -> _Call:
    if dest is None:
        return _Call("get_bytes", (source,), wait)
    if not isinstance(dest, MemPath | str | os.PathLike):
        raise TypeError(f"dest must be a host path, a MemPath or None, not {type(dest).__name__}")

    def place(archive: bytes) -> None:
        with tempfile.TemporaryDirectory(prefix="marrowfen-ray-") as transit:
            item = _transfer.unpack(archive, transit)
            if isinstance(dest, MemPath):
                _transfer.place_mem(item, dest)
            else:
                _transfer.place_host(item, dest)

    return _Call("get_archive", (source,), wait, finish=place)


class _RemoteShellBase:
    """What RemoteShell and AsyncRemoteShell share: the lease, the calls,
    and what a lost node does to the shell."""

    #: Seconds beyond a command's timeout that its node has to answer before
    #: the shell is given up (a node that is gone is usually known at once).
    CALL_GRACE = 30.0
    #: Seconds that a put() or get() may take.
    TRANSFER_TIMEOUT = 600.0
    #: Seconds that finding a replacement for a lost shell may take.
    REPLACE_TIMEOUT = 60.0

    def __init__(self, placement: Placement, lease: Lease, replace: bool) -> None:
        self._placement = placement
        self._lease: Lease | None = lease  # None once closed
        self._replace = replace
        self._lock = threading.Lock()
        self._closed_node_id = ""

    @property
    def node_id(self) -> str:
        """The Ray node id of the node where the shell runs (the last one, once closed)."""
        return self._last_node_id()

    @property
    def closed(self) -> bool:
        """True once the shell was closed or has ended."""
        return self._lease is None or self._placement.closed

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<{type(self).__name__} {state} on node {self._last_node_id()[:12]}>"

    def _last_node_id(self) -> str:
        lease = self._lease
        return lease.node.node_id if lease is not None else self._closed_node_id

    # ------------------------------------------------------------ calls

    def _run_call(self, command: str, timeout: float | None, check: bool, input: str | bytes | None,
                  env: Mapping[str, str] | None, cwd: str | os.PathLike[str] | None) -> _Call:
        if not isinstance(command, str):
            raise TypeError(f"command must be a str, not {type(command).__name__}")
        _check_timeout(timeout)
        options: dict[str, Any] = {}
        if input is not None:
            options["input"] = _by_store(input) if isinstance(input, bytes | str) else input
        if env is not None:
            options["env"] = dict(env) if isinstance(env, Mapping) else env
        if cwd is not None:
            options["cwd"] = os.fspath(cwd) if isinstance(cwd, os.PathLike) else cwd
        wait = None if timeout is None else timeout + self.CALL_GRACE
        return _Call("run", (command, timeout, check, options), wait, command)

    def _issue(self, call: _Call) -> tuple[Lease, Any]:
        with self._lock:
            lease = self._lease
        if lease is None or self._placement.closed:
            raise ShellEnded("The shell is closed", command=call.command)
        return lease, getattr(lease.node.actor, call.method).remote(lease.number, *call.args)

    def _settle(self, lease: Lease, call: _Call, reply: Reply) -> Any:
        if reply.ended and self._drop(lease):  # the node has let go of it already
            self._placement.give_back(lease.node)
        return call.finish(reply.unwrap())

    def _drop(self, lease: Lease) -> bool:
        """Lets go of `lease` if it is still the shell's; whether it was."""
        with self._lock:
            if self._lease is not lease:
                return False
            self._lease = None
            self._closed_node_id = lease.node.node_id
        return True

    def _end_lost(self, lease: Lease, error: BaseException) -> str:
        """The shell's node or actor is gone: the node takes no more shells
        (unless the pool's close ended the actor)."""
        if self._placement.closed:
            self._drop(lease)
            return "The shell is closed"
        self._placement.mark_lost(lease.node)
        if self._drop(lease):
            self._placement.give_back(lease.node)
        return f"The shell's node {lease.node.node_id} was lost: {loss_reason(error)}"

    def _end_unanswered(self, lease: Lease, call: _Call) -> str:
        if self._drop(lease):
            self._placement.release(lease)
        return (f"Node {lease.node.node_id} did not answer within {call.wait:g} seconds; "
                "the shell was given up and closed")

    def _ended(self, message: str, call: _Call, replacement: Lease | BaseException | None) -> ShellEnded:
        if isinstance(replacement, Lease):
            with self._lock:
                spare = self._lease  # another call met the loss too, and was quicker
                if spare is None:
                    self._lease = replacement
            if spare is not None:
                self._placement.release(replacement)
                replacement = spare
            message += f"; a new shell on node {replacement.node.node_id} took its place"
        elif replacement is not None:
            message += f"; no new shell could take its place ({replacement})"
        return ShellEnded(message, command=call.command)

    def _interrupt(self, lease: Lease, call: _Call) -> None:
        """The caller gave up on `call` (cancelled, or KeyboardInterrupt): a
        command it started is interrupted, as a local Shell would do."""
        if call.method == "run" and not lease.node.lost and not self._placement.closed:
            lease.node.actor.interrupt.remote(lease.number)

    def _close_lease(self) -> None:
        with self._lock:
            lease = self._lease
        if lease is not None and self._drop(lease):
            self._placement.release(lease)


class RemoteShell(_RemoteShellBase):
    """A shell on a node of the cluster: the operations of a local Shell,
    each carried out on the node. From RayShellPool.acquire()."""

    # What the base holds, named here too, where the reader looks.
    node_id = _RemoteShellBase.node_id
    closed = _RemoteShellBase.closed
    CALL_GRACE = _RemoteShellBase.CALL_GRACE
    TRANSFER_TIMEOUT = _RemoteShellBase.TRANSFER_TIMEOUT
    REPLACE_TIMEOUT = _RemoteShellBase.REPLACE_TIMEOUT

    def run(self, command: str, timeout: float | None = 30.0, check: bool = False, *,
            input: str | bytes | None = None, env: Mapping[str, str] | None = None,
            cwd: str | os.PathLike[str] | None = None) -> CommandResult:
        """As Shell.run(), on the node. Raises ShellEnded if the node or its
        actor is lost meanwhile, or does not answer within `timeout` plus
        CALL_GRACE seconds. A KeyboardInterrupt while it waits interrupts
        the command (Ctrl-C on the node)."""
        result: CommandResult = self._call(self._run_call(command, timeout, check, input, env, cwd))
        return result

    def put(self, source: PutSource, dest: str | os.PathLike[str]) -> None:
        """As Shell.put(): `source` is a path on this (the driver's) host,
        bytes, or a MemPath; `dest` a path in the tenant's home on the node."""
        self._call(_put_call(source, _tenant_path(dest, "dest"), self.TRANSFER_TIMEOUT))

    def get(self, source: str | os.PathLike[str], dest: GetDest = None) -> bytes | None:
        """As Shell.get(): the bytes of the file `source` when `dest` is None;
        otherwise the file or directory is copied to `dest`, a path on this
        host (a file there is replaced, a directory's contents join one
        there) or a MemPath."""
        value: bytes | None = self._call(_get_call(_tenant_path(source, "source"), dest, self.TRANSFER_TIMEOUT))
        return value

    def close(self) -> None:
        """Gives the shell back: its node closes it and releases its account.
        Closing twice is harmless."""
        self._close_lease()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _call(self, call: _Call) -> Any:
        lease, ref = self._issue(call)
        try:
            reply = ray.get(ref, timeout=call.wait)
        except KeyboardInterrupt:
            self._interrupt(lease, call)
            raise
        except LOSS_ERRORS as error:
            message = self._end_lost(lease, error)
            raise self._ended(message, call, self._replacement()) from None
        except ray.exceptions.GetTimeoutError:
            raise self._ended(self._end_unanswered(lease, call), call, None) from None
        return self._settle(lease, call, reply)

    def _replacement(self) -> Lease | BaseException | None:
        if not self._replace or self._placement.closed:
            return None
        try:
            return self._placement.acquire(None, self.REPLACE_TIMEOUT)
        except Exception as error:
            return error


class AsyncRemoteShell(_RemoteShellBase):
    """RemoteShell for asyncio: the same operations as coroutines, which
    await the replies of the node. From AsyncRayShellPool.acquire()."""

    node_id = _RemoteShellBase.node_id
    closed = _RemoteShellBase.closed
    CALL_GRACE = _RemoteShellBase.CALL_GRACE
    TRANSFER_TIMEOUT = _RemoteShellBase.TRANSFER_TIMEOUT
    REPLACE_TIMEOUT = _RemoteShellBase.REPLACE_TIMEOUT

    async def run(self, command: str, timeout: float | None = 30.0, check: bool = False, *,
                  input: str | bytes | None = None, env: Mapping[str, str] | None = None,
                  cwd: str | os.PathLike[str] | None = None) -> CommandResult:
        """As RemoteShell.run(); cancelling it interrupts the command (Ctrl-C on the node)."""
        result: CommandResult = await self._call(self._run_call(command, timeout, check, input, env, cwd))
        return result

    async def put(self, source: PutSource, dest: str | os.PathLike[str]) -> None:
        """As RemoteShell.put()."""
        target = _tenant_path(dest, "dest")
        await self._call(await asyncio.to_thread(_put_call, source, target, self.TRANSFER_TIMEOUT))

    async def get(self, source: str | os.PathLike[str], dest: GetDest = None) -> bytes | None:
        """As RemoteShell.get()."""
        value: bytes | None = await self._call(_get_call(_tenant_path(source, "source"), dest,
                                                         self.TRANSFER_TIMEOUT), finish_in_thread=True)
        return value

    async def close(self) -> None:
        """As RemoteShell.close()."""
        self._close_lease()

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    async def _call(self, call: _Call, finish_in_thread: bool = False) -> Any:
        lease, ref = self._issue(call)
        waiting: Awaitable[Reply] = ref
        try:
            reply = await asyncio.wait_for(waiting, call.wait)
        except asyncio.CancelledError:
            self._interrupt(lease, call)
            raise
        except LOSS_ERRORS as error:
            message = self._end_lost(lease, error)
            raise self._ended(message, call, await self._replacement()) from None
        except TimeoutError:
            raise self._ended(self._end_unanswered(lease, call), call, None) from None
        if finish_in_thread:
            return await asyncio.to_thread(self._settle, lease, call, reply)
        return self._settle(lease, call, reply)

    async def _replacement(self) -> Lease | BaseException | None:
        if not self._replace or self._placement.closed:
            return None
        try:
            return await asyncio.to_thread(self._placement.acquire, None, self.REPLACE_TIMEOUT)
        except Exception as error:
            return error
