"""Which nodes hold tenants for one RayShellPool, and how many each holds.

Every node that offers the custom resource TENANT_RESOURCE may take tenants;
a pool asks Ray for `per_node` units of it on each such node with the node's
actor, so Ray places the actors only where there is room (two pools on one
cluster share a node's declared capacity), and pins each actor to its node.
The driver counts the shells handed out per node and hands out a new one on
the node with the most room left, or waits for one to come back.
"""

from __future__ import annotations

import dataclasses
import threading
import time
from collections.abc import Callable
from typing import Any, Final

import ray  # type: ignore[import-not-found, unused-ignore]
from ray.util.scheduling_strategies import (  # type: ignore[import-not-found, unused-ignore]
    NodeAffinitySchedulingStrategy,
)

from marrowfen_kit.shell import ShellTimeout

from ._node import NodeShells

#: The custom resource by which a Ray node declares how many tenants it takes.
TENANT_RESOURCE: Final = "marrowfen_tenants"

# Threads of a node's actor beyond one per tenant: for hand-outs, releases
# and the close while every shell is busy.
_SPARE_THREADS = 8

# What Ray raises when an actor, its node, or an object kept there is gone.
LOSS_ERRORS: Final = (ray.exceptions.RayActorError, ray.exceptions.ObjectLostError,
                      ray.exceptions.NodeDiedError, ray.exceptions.WorkerCrashedError)


@dataclasses.dataclass(eq=False)
class Node:
    """One node's actor and the shells the driver has from it."""

    node_id: str
    actor: Any  # the handle of a NodeShells actor
    handed_out: int = 0
    lost: bool = False


@dataclasses.dataclass(frozen=True, eq=False)
class Lease:
    """One shell handed out: the node that keeps it and its number there."""

    node: Node
    number: int


def loss_reason(error: BaseException) -> str:
    """What Ray said about a lost actor, in one line: why it died where Ray
    says so, else the first line."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    for line in lines:
        if "died because" in line:
            return line
    return lines[0] if lines else type(error).__name__


def _end(nodes: list[Node], timeout: float) -> None:
    """Has the nodes' actors release their tenants (`timeout` seconds at
    most), then ends them."""
    closing = [node.actor.close.remote() for node in nodes if not node.lost]
    if closing:
        ray.wait(closing, num_returns=len(closing), timeout=timeout)
    for node in nodes:
        ray.kill(node.actor, no_restart=True)


class Placement:
    """The nodes of one pool, their actors and their counts."""

    #: Seconds the nodes' actors have to start.
    START_TIMEOUT = 60.0
    #: Seconds beyond an acquire()'s timeout that a node has to start a shell.
    START_GRACE = 30.0
    #: Seconds the nodes have to release their tenants at close.
    CLOSE_TIMEOUT = 60.0

    def __init__(self, per_node: int, warm: int, pool_options: dict[str, Any]) -> None:
        if not ray.is_initialized():
            raise RuntimeError("Ray is not initialized: connect to the cluster with ray.init(address=...) first")
        self.per_node = per_node
        self._changed = threading.Condition()
        self._closed = False
        nodes: Callable[[], list[dict[str, Any]]] = ray.nodes  # untyped in Ray
        offering = [entry["NodeID"] for entry in nodes()
                    if entry.get("Alive") and entry.get("Resources", {}).get(TENANT_RESOURCE, 0) >= per_node]
        if not offering:
            raise ValueError(f"no live Ray node offers {per_node} of the resource {TENANT_RESOURCE!r} (per_node): "
                             f"start the nodes with resources={{{TENANT_RESOURCE!r}: N}}")
        actor_class: Any = ray.remote(NodeShells)
        starting = {}
        for node_id in offering:
            actor = actor_class.options(
                num_cpus=0, resources={TENANT_RESOURCE: per_node}, max_restarts=0, max_task_retries=0,
                max_concurrency=per_node + _SPARE_THREADS,
                scheduling_strategy=NodeAffinitySchedulingStrategy(node_id, soft=False),
            ).remote(per_node, warm, pool_options)
            starting[actor.open.remote()] = Node(node_id, actor)
        ready, _ = ray.wait(list(starting), num_returns=len(starting), timeout=self.START_TIMEOUT)
        self._nodes: dict[str, Node] = {}
        failure: BaseException | None = None
        for ref in ready:
            node = starting[ref]
            try:
                ray.get(ref).unwrap()
            except LOSS_ERRORS:
                continue
            except Exception as error:
                failure = failure or error
                continue
            self._nodes[node.node_id] = node
        if failure is not None or not self._nodes:
            _end(list(starting.values()), self.CLOSE_TIMEOUT)
            if failure is not None:
                raise failure
            raise TimeoutError(f"no node had room for {per_node} tenants within {self.START_TIMEOUT:g} seconds "
                               f"(other pools hold the resource {TENANT_RESOURCE!r})")
        for node in starting.values():  # the nodes without room
            if node.node_id not in self._nodes:
                ray.kill(node.actor, no_restart=True)

    @property
    def closed(self) -> bool:
        return self._closed

    def node_ids(self) -> list[str]:
        with self._changed:
            return [node.node_id for node in self._nodes.values() if not node.lost]

    def node(self, node_id: str) -> Node:
        with self._changed:
            node = self._nodes.get(node_id)
        if node is None:
            raise ValueError(f"node_id {node_id!r} is not a node of this pool")
        return node

    def reserve(self, node_id: str | None, deadline: float | None) -> Node | None:
        """A place on `node_id` (any node when None): the node, or None when
        none came free before `deadline`."""
        with self._changed:
            while True:
                self._check_open()
                if node_id is not None:
                    node = self._nodes[node_id]
                    if node.lost:
                        raise ValueError(f"node_id {node_id!r} was lost")
                    candidates = [node]
                else:
                    candidates = [node for node in self._nodes.values() if not node.lost]
                    if not candidates:
                        raise RuntimeError("every node of this pool was lost")
                roomiest = max(candidates, key=lambda node: self.per_node - node.handed_out)
                if roomiest.handed_out < self.per_node:
                    roomiest.handed_out += 1
                    return roomiest
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return None
                self._changed.wait(remaining)

    def acquire(self, node_id: str | None, timeout: float | None) -> Lease:
        """A shell of a node with room (of `node_id` if given), within `timeout` seconds."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            node = self.reserve(node_id, deadline)
            if node is None:
                raise ShellTimeout(f"No node had room for a shell within {timeout:g} seconds", command=None,
                                   output="", timeout=timeout or 0.0, closed=False)
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            try:
                reply = ray.get(node.actor.acquire.remote(remaining),
                                timeout=None if remaining is None else remaining + self.START_GRACE)
                number = reply.unwrap()
            except LOSS_ERRORS:
                self.mark_lost(node)
                self.give_back(node)
                if node_id is not None:
                    raise ValueError(f"node_id {node_id!r} was lost") from None
                continue
            except ray.exceptions.GetTimeoutError:
                self.give_back(node)
                raise ShellTimeout(f"Node {node.node_id} did not hand out a shell within {timeout:g} seconds",
                                   command=None, output="", timeout=timeout or 0.0, closed=False) from None
            except BaseException:
                self.give_back(node)
                raise
            lease = Lease(node, number)
            if self._closed:  # closed meanwhile: the node has let go of everything
                self.give_back(node)
                self._check_open()
            return lease

    def release(self, lease: Lease) -> None:
        """Gives a shell back; its node closes it and releases its account
        (the driver does not wait for that)."""
        self.give_back(lease.node)
        if not lease.node.lost and not self._closed:
            lease.node.actor.release.remote(lease.number)

    def give_back(self, node: Node) -> None:
        with self._changed:
            node.handed_out -= 1
            self._changed.notify_all()

    def mark_lost(self, node: Node) -> None:
        with self._changed:
            node.lost = True
            self._changed.notify_all()

    def close(self) -> None:
        """Releases every tenant on every node and ends the actors."""
        with self._changed:
            if self._closed:
                return
            self._closed = True
            nodes = list(self._nodes.values())
            self._changed.notify_all()
        _end(nodes, self.CLOSE_TIMEOUT)

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the pool is closed")
