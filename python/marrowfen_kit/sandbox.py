"""Contained pools with sound defaults: each tenant walled off from the host and the others.

`Sandbox()` is the preset: an isolated tenant (its own processes, `/tmp`,
IPC and host name, no user namespaces) with the network off, at most 256
processes, 1 GiB of memory, one CPU and 256 MiB per private tmpfs. Change
what you need, then make the pool::

    from marrowfen_kit.sandbox import Sandbox
    from marrowfen_kit.shell import Shell

    pool = Sandbox(network=True, memory_limit=2 << 30).pool(4)
    with Shell.start(pool.allocate()) as shell:
        print(shell.run("ps -e").output)

The fields are the keyword-only options of `PyUserPool`, by the same names,
so `PyUserPool(4, **sandbox.options())` makes the same pool. `None` means no
limit of that kind. The pool checks them when it is made: a wrong type is a
`TypeError`, a bad value or a host that cannot contain (not root, no
namespaces, no control groups) a `ValueError` naming the option.
"""

from __future__ import annotations

import dataclasses
from typing import TypedDict

from marrowfen import PyUserPool

__all__ = ["Sandbox", "PoolOptions"]

MiB = 1 << 20


class PoolOptions(TypedDict):
    """The keyword arguments of `PyUserPool` that a `Sandbox` stands for."""

    isolate: bool
    network: bool
    max_processes: int | None
    memory_limit: int | None
    cpu_limit: float | None
    tmp_size: int | None


@dataclasses.dataclass(frozen=True, kw_only=True)
class Sandbox:
    """What a contained pool gives each tenant; the defaults are the preset.

    `isolate`: own PID, mount, IPC and UTS namespaces and no user namespaces;
    `network`: False for a network namespace with loopback alone;
    `max_processes`: tasks at once; `memory_limit`: bytes, swap included;
    `cpu_limit`: CPUs; `tmp_size`: bytes of each private tmpfs (needs
    `isolate`).
    """

    isolate: bool = True
    network: bool = False
    max_processes: int | None = 256
    memory_limit: int | None = 1024 * MiB
    cpu_limit: float | None = 1.0
    tmp_size: int | None = 256 * MiB

    def options(self) -> PoolOptions:
        """The keyword arguments of `PyUserPool` for this sandbox."""
        return PoolOptions(
            isolate=self.isolate,
            network=self.network,
            max_processes=self.max_processes,
            memory_limit=self.memory_limit,
            cpu_limit=self.cpu_limit,
            tmp_size=self.tmp_size,
        )

    def pool(self, user_count: int | None = None) -> PyUserPool:
        """A pool of at most `user_count` accounts at once (default 256),
        each tenant contained as this sandbox says."""
        return PyUserPool(user_count, **self.options())
