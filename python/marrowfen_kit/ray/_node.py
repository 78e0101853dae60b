"""The actor that keeps one node's tenants: its PyUserPool and its shells.

One per node and per RayShellPool, pinned to its node. It runs in a Ray
worker process as root, so the shells and accounts it makes live on that
host; the driver only ever holds numbers that name them. Operations on
different shells run at once (a threaded actor); each reply is a Reply, so
that the kit's exceptions come back whole.
"""

from __future__ import annotations

import itertools
import tempfile
import threading
import time
from collections.abc import Callable, Mapping
from typing import Any, Protocol

import ray  # type: ignore[import-not-found, unused-ignore]

from marrowfen import PyUserPool
from marrowfen_kit.shell import Shell

from . import _temp_dir, _transfer
from ._replies import Failure, Reply


class _ShellSource(Protocol):
    def acquire(self, timeout: float | None = None) -> Shell: ...
    def release(self, shell: Shell) -> None: ...
    def close(self) -> None: ...


class _StartedShells:
    """Starts a shell for each hand-out and closes it at release: what the
    node does where the kit has no warm pool of shells. A hand-out that the
    account pool refuses waits for a release (the driver gives shells back
    without waiting, so one may still be on its way)."""

    def __init__(self, pool: PyUserPool) -> None:
        self._pool = pool
        self._released = threading.Condition()

    def acquire(self, timeout: float | None = None) -> Shell:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                user = self._pool.allocate()
            except ValueError:
                with self._released:
                    remaining = None if deadline is None else deadline - time.monotonic()
                    if remaining is not None and remaining <= 0:
                        raise
                    self._released.wait(remaining)
                continue
            return Shell.start(user)

    def release(self, shell: Shell) -> None:
        shell.close()
        del shell
        with self._released:
            self._released.notify_all()

    def close(self) -> None:
        pass


def _shell_source(pool: PyUserPool, warm: int, size: int) -> _ShellSource:
    try:
        from marrowfen_kit.shell_pool import ShellPool  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        return _StartedShells(pool)
    source: _ShellSource = ShellPool(pool, warm=warm, size=size)
    return source


def _ray_temp_dir() -> str | None:
    """The temporary directory of this node's Ray, where Ray says so."""
    node = getattr(ray._private.worker, "_global_node", None)
    getter = getattr(node, "get_temp_dir_path", None)
    path = getter() if callable(getter) else None
    return path if isinstance(path, str) and path else None


def _check_temp_dir(temp_dir: str | None) -> None:
    """Refuses an uncontained pool on a node whose Ray files its tenants could reach."""
    if temp_dir is None:
        raise ValueError("cannot tell where this node's Ray keeps its temporary directory, so an uncontained "
                         "pool is refused here: pass isolate=True")
    if not _temp_dir.closed_to_tenants(temp_dir):
        raise ValueError(
            f"Ray's temporary directory {temp_dir} is open to the tenants of an uncontained pool: start Ray "
            "with RAY_TMPDIR set to a directory that only root may enter (prepare_temp_dir()), or pass "
            "isolate=True")


def _can_isolate() -> bool:
    """Whether this marrowfen's PyUserPool takes `isolate` (made, not used:
    nothing happens on the host until an account is handed out)."""
    make_pool: Callable[..., PyUserPool] = PyUserPool
    try:
        make_pool(0, isolate=True)
    except TypeError:
        return False
    except ValueError:  # it takes it, and says this host cannot provide it: so will the pool
        return True
    return True


def _ray_authenticates() -> bool:
    """Whether this node's Ray asks every caller for its token."""
    try:
        from ray._private.authentication.authentication_utils import (  # type: ignore[import-not-found, unused-ignore]
            is_token_auth_enabled,
        )
    except ImportError:  # a Ray without token authentication
        return False
    return bool(is_token_auth_enabled())


def check_reach(pool_options: Mapping[str, Any]) -> None:
    """Refuses a pool whose tenants could reach this node's Ray: its files
    (uncontained tenants see the host's temporary directories) or its ports
    (tenants on the host's network), through which anyone Ray lets in runs
    code as root."""
    contained = bool(pool_options.get("isolate", False))
    if not contained:
        _check_temp_dir(_ray_temp_dir())
    own_network = contained and pool_options.get("network", True) is False
    if not own_network and not _ray_authenticates():
        raise ValueError(
            "the tenants of this pool share the host's network, where this node's Ray takes work from anyone "
            "who reaches its ports: enable Ray's token authentication (RAY_AUTH_MODE=token) on every node, or "
            "pass isolate=True, network=False")


class NodeShells:
    """The tenants of one node for one RayShellPool."""

    def __init__(self, per_node: int, warm: int, pool_options: dict[str, Any]) -> None:
        # The work is done by open(), whose failure comes back as the
        # exception it is (a failing constructor reaches the driver only as
        # the actor's death).
        self._settings = (per_node, warm, pool_options)
        self._shells: dict[int, Shell] = {}
        self._numbers = itertools.count(1)
        self._lock = threading.Lock()
        self._source: _ShellSource | None = None

    def open(self) -> Reply:
        """Makes the node's pool and its warm shells."""
        per_node, warm, pool_options = self._settings
        try:
            # Contained tenants unless asked otherwise, where this node's marrowfen can contain them.
            if "isolate" not in pool_options and _can_isolate():
                pool_options = dict(pool_options, isolate=True)
            check_reach(pool_options)
            make_pool: Callable[..., PyUserPool] = PyUserPool
            pool = make_pool(per_node, **pool_options)
            self._source = _shell_source(pool, warm, per_node)
        except Exception as error:
            return Reply(failure=Failure.of(error))
        return Reply()

    def node_id(self) -> str:
        return str(ray.get_runtime_context().get_node_id())

    def acquire(self, timeout: float | None) -> Reply:
        try:
            if self._source is None:
                raise ValueError("the pool is closed")
            shell = self._source.acquire(timeout=timeout)
        except Exception as error:
            return Reply(failure=Failure.of(error))
        with self._lock:
            number = next(self._numbers)
            self._shells[number] = shell
        return Reply(number)

    def run(self, number: int, command: str, timeout: float | None, check: bool,
            options: dict[str, Any]) -> Reply:
        # Large input comes through the object store.
        given = {name: ray.get(value) if isinstance(value, ray.ObjectRef) else value for name, value in options.items()}
        return self._on(number, lambda shell: shell.run(command, timeout, check, **given))

    def put_bytes(self, number: int, data: bytes, dest: str) -> Reply:
        put: Callable[..., None] = getattr(Shell, "put", _lacks("put"))
        return self._on(number, lambda shell: put(shell, data, dest))

    def put_archive(self, number: int, archive: bytes, dest: str) -> Reply:
        put: Callable[..., None] = getattr(Shell, "put", _lacks("put"))

        def work(shell: Shell) -> None:
            with _transit() as transit:
                put(shell, _transfer.unpack(archive, transit), dest)

        return self._on(number, work)

    def get_bytes(self, number: int, source: str) -> Reply:
        get: Callable[..., bytes] = getattr(Shell, "get", _lacks("get"))
        return self._on(number, lambda shell: get(shell, source))

    def get_archive(self, number: int, source: str) -> Reply:
        get: Callable[..., None] = getattr(Shell, "get", _lacks("get"))

        def work(shell: Shell) -> bytes:
            with _transit() as transit:
                item = f"{transit}/{_transfer.ITEM}"
                get(shell, source, item)
                return _transfer.pack_host(item)

        return self._on(number, work)

    def interrupt(self, number: int) -> None:
        """Ctrl-C for the shell's command: the driver's caller gave up on it."""
        with self._lock:
            shell = self._shells.get(number)
        if shell is not None:
            try:
                shell.interrupt()
            except Exception:  # the shell is gone: nothing to interrupt
                pass

    def release(self, number: int) -> None:
        with self._lock:
            shell = self._shells.pop(number, None)
        if shell is not None and self._source is not None:
            self._source.release(shell)

    def close(self) -> None:
        """Releases every tenant of this node; the actor is killed next."""
        with self._lock:
            shells, self._shells = list(self._shells.values()), {}
        source, self._source = self._source, None
        for shell in shells:
            try:
                if source is not None:
                    source.release(shell)
            except Exception:  # closing the others matters more
                pass
            shell.close()
        if source is not None:
            source.close()

    def _on(self, number: int, operation: Callable[[Shell], Any]) -> Reply:
        with self._lock:
            shell = self._shells.get(number)
        if shell is None:
            return Reply(failure=Failure.of(_ended()), ended=True)
        try:
            reply = Reply(operation(shell))
        except Exception as error:
            reply = Reply(failure=Failure.of(error))
        if shell.closed:
            self.release(number)
            return Reply(reply.value, reply.failure, ended=True)
        return reply


def _transit() -> tempfile.TemporaryDirectory[str]:
    """A directory for files on their way, only root may enter it, gone
    with the operation (an actor may be killed at any time after)."""
    return tempfile.TemporaryDirectory(prefix="marrowfen-ray-")


def _ended() -> Exception:
    from marrowfen_kit.shell import ShellEnded

    return ShellEnded("The shell is closed")


def _lacks(name: str) -> Callable[..., Any]:
    def missing(*args: object) -> Any:
        raise NotImplementedError(f"Shell.{name}() is not available in the marrowfen installed on this node")

    return missing
