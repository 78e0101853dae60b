"""Shells for tenants on many hosts, over a Ray cluster.

Needs Ray (`pip install marrowfen[ray]`) and root on every node that keeps
tenants. Each node that offers the custom resource TENANT_RESOURCE
("marrowfen_tenants") gets an actor of the pool that owns the node's
`PyUserPool` and its warm shells; the driver hands out RemoteShells with the
operations of a local Shell::

    import ray
    from marrowfen_kit.ray import RayShellPool

    ray.init(address="auto")
    with RayShellPool(16) as pool:            # 16 tenants on each node at most
        with pool.acquire() as shell:         # on the node with the most room
            shell.put(b"print(6 * 7)\\n", "job.py")
            print(shell.run("python3 job.py").output)

Commands and files travel over Ray's own transport, large payloads through
its object store. A shell whose node or actor is lost raises ShellEnded
(`replace=True` puts a new shell on another node in its place); close()
releases every tenant on every node.

Run the nodes with Ray's temporary directory under a parent that only root
may enter (prepare_temp_dir()), with Ray's token authentication
(RAY_AUTH_MODE=token), and with contained pools (the default where this
marrowfen can contain tenants): Ray leaves its session directories writable
by everyone, and runs as root whatever work reaches its ports.
"""

from __future__ import annotations

try:
    import ray as _ray  # type: ignore[import-not-found, unused-ignore]  # noqa: F401 - Ray itself (imports are absolute)
except ImportError as missing:
    raise ModuleNotFoundError("marrowfen_kit.ray needs Ray: pip install 'marrowfen[ray]'", name="ray") from missing

from ._placement import TENANT_RESOURCE
from ._pool import AsyncRayShellPool, RayShellPool
from ._remote_shell import INLINE_LIMIT, AsyncRemoteShell, RemoteShell
from ._temp_dir import prepare_temp_dir

__all__ = [
    "RayShellPool",
    "AsyncRayShellPool",
    "RemoteShell",
    "AsyncRemoteShell",
    "TENANT_RESOURCE",
    "INLINE_LIMIT",
    "prepare_temp_dir",
]
