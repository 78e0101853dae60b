"""The driver's side: shells handed out from the nodes of a Ray cluster."""

from __future__ import annotations

import asyncio
from types import TracebackType
from typing import Any, Self

from ._placement import Placement
from ._remote_shell import AsyncRemoteShell, RemoteShell, _check_timeout


def _check_sizes(per_node: int, warm: int) -> None:
    for name, value, least in (("per_node", per_node, 1), ("warm", warm, 0)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value < least:
            raise ValueError(f"{name} must be at least {least}, not {value}")


def _check_node_id(node_id: str | None) -> None:
    if node_id is not None and not isinstance(node_id, str):
        raise TypeError(f"node_id must be a Ray node id (str) or None, not {type(node_id).__name__}")


class _PoolBase:
    def __init__(self, per_node: int, *, warm: int = 2, replace: bool = False, **pool_options: Any) -> None:
        _check_sizes(per_node, warm)
        if not isinstance(replace, bool):
            raise TypeError(f"replace must be a bool, not {type(replace).__name__}")
        self._replace = replace
        self._placement = Placement(per_node, warm, pool_options)

    @property
    def node_ids(self) -> list[str]:
        """The Ray node ids of the nodes that hand out shells (lost ones left out)."""
        return self._placement.node_ids()

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._placement.closed

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{len(self.node_ids)} nodes × {self._placement.per_node}"
        return f"<{type(self).__name__} {state}>"

    def _check_acquire(self, node_id: str | None, timeout: float | None) -> None:
        _check_node_id(node_id)
        _check_timeout(timeout)
        if node_id is not None:
            self._placement.node(node_id)


class RayShellPool(_PoolBase):
    """Shells for many tenants at once, on every node of a Ray cluster that
    offers the resource TENANT_RESOURCE.

    `RayShellPool(per_node, warm=2, **pool_options)` starts on each such node
    an actor that owns a `PyUserPool(per_node, **pool_options)` and keeps
    `warm` shells started there (with the kit's ShellPool; where it is
    missing, each hand-out starts its shell); `per_node` tenants of this pool may run on a
    node at once. The pool is contained (`isolate=True`) unless
    `pool_options` says otherwise, where this marrowfen can contain tenants.
    A pool is refused (ValueError) on a node where its tenants could reach
    Ray: uncontained while Ray's temporary directory is open to them (see
    prepare_temp_dir()), or on the host's network while Ray lets in callers
    without its token (RAY_AUTH_MODE=token; or pass network=False).

    With `replace=True`, a shell whose node is lost is replaced by a new one
    on another node: the call that met the loss still raises ShellEnded (what
    the lost shell held is gone), and the same RemoteShell goes on there.

    Call ray.init() first. close(), or leaving a `with` block, ends every
    shell and releases every tenant on every node.
    """

    def __init__(self, per_node: int, *, warm: int = 2, replace: bool = False, **pool_options: Any) -> None:
        super().__init__(per_node, warm=warm, replace=replace, **pool_options)

    # What the base holds, named here too, where the reader looks.
    node_ids = _PoolBase.node_ids
    closed = _PoolBase.closed

    def acquire(self, node_id: str | None = None, timeout: float | None = None) -> RemoteShell:
        """A shell on the node with the most room, or on `node_id`; waits up
        to `timeout` seconds (None: without limit) for room, then raises
        ShellTimeout."""
        self._check_acquire(node_id, timeout)
        return RemoteShell(self._placement, self._placement.acquire(node_id, timeout), self._replace)

    def release(self, shell: RemoteShell) -> None:
        """Gives `shell` back (as shell.close())."""
        if not isinstance(shell, RemoteShell):
            raise TypeError(f"shell must be a RemoteShell, not {type(shell).__name__}")
        shell.close()

    def close(self) -> None:
        """Ends every shell of the pool and releases every tenant on every
        node, then ends the nodes' actors. Closing twice is harmless."""
        self._placement.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


class AsyncRayShellPool(_PoolBase):
    """RayShellPool for asyncio: acquire(), release() and close() are
    coroutines and the shells are AsyncRemoteShells. Made (and its actors
    started) like a RayShellPool, in the constructor."""

    def __init__(self, per_node: int, *, warm: int = 2, replace: bool = False, **pool_options: Any) -> None:
        super().__init__(per_node, warm=warm, replace=replace, **pool_options)

    node_ids = _PoolBase.node_ids
    closed = _PoolBase.closed

    async def acquire(self, node_id: str | None = None, timeout: float | None = None) -> AsyncRemoteShell:
        """As RayShellPool.acquire()."""
        self._check_acquire(node_id, timeout)
        lease = await asyncio.to_thread(self._placement.acquire, node_id, timeout)
        return AsyncRemoteShell(self._placement, lease, self._replace)

    async def release(self, shell: AsyncRemoteShell) -> None:
        """As RayShellPool.release()."""
        if not isinstance(shell, AsyncRemoteShell):
            raise TypeError(f"shell must be an AsyncRemoteShell, not {type(shell).__name__}")
        await shell.close()

    async def close(self) -> None:
        """As RayShellPool.close()."""
        await asyncio.to_thread(self._placement.close)

    async def __aenter__(self) -> Self:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, error: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()
