"""marrowfen_kit.ray (root only): shells through a Ray cluster against local ones.

A two-node Ray cluster on this machine (127.0.0.1 only, as the tests make it):
- `run("true")` through a RemoteShell against a local Shell: what a command
  pays for the trip through Ray (the driver, the node's actor, back);
- commands per second for 16 shells spread over the two nodes, each driven
  by a thread of the driver, against 16 local shells driven the same way.
Both nodes share this machine's cores with the driver, so the second row
shows the cost of the trip, not what more hosts would add.
"""

from __future__ import annotations

import asyncio
import os
import secrets
import shutil
import statistics
import tempfile
import threading

from common import Results, fmt_time, log, perf_counter

KEY = "ray"
REMOTE, LOCAL = "RemoteShell", "local Shell"
ROW_TRUE = 'run("true")'
ROW_TRUE_MEDIAN = 'run("true") (median)'
ROW_MANY = "16 shells at once (threads), per command"
ROW_MANY_ASYNC = "16 shells at once (asyncio), per command"
SHELLS = 16
LOOPBACK = "127.0.0.1"


def per_command(shells: list, commands: int) -> float:
    """Seconds per command while every shell runs `commands` `true`s in a thread of its own."""
    start = threading.Barrier(len(shells) + 1)

    def work(shell) -> None:
        start.wait()
        for _ in range(commands):
            shell.run("true")

    threads = [threading.Thread(target=work, args=(shell,)) for shell in shells]
    for thread in threads:
        thread.start()
    start.wait()
    t = perf_counter()
    for thread in threads:
        thread.join()
    return (perf_counter() - t) / (len(shells) * commands)


def per_command_async(pool, commands: int) -> float:
    """per_command() with AsyncRemoteShells, all driven by one event loop."""
    async def work() -> float:
        shells = await asyncio.gather(*(pool.acquire(timeout=60) for _ in range(SHELLS)))

        async def loop(shell) -> None:
            for _ in range(commands):
                await shell.run("true")

        try:
            t = perf_counter()
            await asyncio.gather(*(loop(shell) for shell in shells))
            return (perf_counter() - t) / (len(shells) * commands)
        finally:
            for shell in shells:
                await shell.close()

    return asyncio.run(work())


def latency(shell, repeat: int) -> list[float]:
    times = []
    for _ in range(repeat * 50):
        t = perf_counter()
        shell.run("true")
        times.append(perf_counter() - t)
    return times


def run_kit_ray(res: Results, repeat: int) -> None:
    if os.geteuid() != 0:
        log("  not root: marrowfen_kit.ray benchmarks skipped")
        return
    # Read by Ray at import: loopback only, no usage reports, and token
    # authentication, without which a node refuses an uncontained pool.
    os.environ.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0", RAY_USAGE_STATS_ENABLED="0", RAY_AUTH_MODE="token")
    try:
        import ray
        from ray.cluster_utils import Cluster
    except ImportError:
        log("  Ray is not installed: marrowfen_kit.ray benchmarks skipped")
        return
    import marrowfen
    from marrowfen_kit.ray import TENANT_RESOURCE, AsyncRayShellPool, RayShellPool, prepare_temp_dir
    from marrowfen_kit.shell import Shell

    res.section(KEY, "marrowfen_kit.ray (root; two Ray nodes on this machine)", [REMOTE, LOCAL], base=REMOTE,
                refs=(LOCAL,), intro="Per command. The local Shell column is the floor (its ratio is "
                "RemoteShell / local). run(\"true\"): minimum and median of some 1,000; 16 shells: "
                f"{SHELLS} threads, each running `true` {repeat * 10} times.")
    parent = tempfile.mkdtemp(prefix="marrowfen-ray-bench-")
    saved = os.environ.get("RAY_TMPDIR")
    os.environ["RAY_TMPDIR"] = prepare_temp_dir(parent)
    token = os.path.join(parent, "auth_token")
    with open(os.open(token, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
        f.write(secrets.token_hex(32))
    os.environ["RAY_AUTH_TOKEN_PATH"] = token
    node = dict(node_ip_address=LOOPBACK, num_cpus=1, include_dashboard=False,
                resources={TENANT_RESOURCE: SHELLS // 2})
    cluster = Cluster()
    try:
        cluster.add_node(**node)
        cluster.add_node(**node)
        cluster.wait_for_nodes(timeout=60)
        ray.init(address=cluster.address, _node_ip_address=LOOPBACK, log_to_driver=False, logging_level="ERROR")
        with RayShellPool(SHELLS // 2, warm=0) as pool:
            shells = [pool.acquire(timeout=60) for _ in range(SHELLS)]
            remote = latency(shells[0], repeat)
            remote_many = min(per_command(shells, repeat * 10) for _ in range(3))
            for shell in shells:
                shell.close()
        async_pool = AsyncRayShellPool(SHELLS // 2, warm=0)
        try:
            remote_async = min(per_command_async(async_pool, repeat * 10) for _ in range(3))
        finally:
            asyncio.run(async_pool.close())
    finally:
        ray.shutdown()
        cluster.shutdown()
        shutil.rmtree(parent, ignore_errors=True)
        if saved is None:
            os.environ.pop("RAY_TMPDIR", None)
        else:
            os.environ["RAY_TMPDIR"] = saved

    pool = marrowfen.PyUserPool(SHELLS)
    shells = [Shell.start(pool.allocate()) for _ in range(SHELLS)]
    try:
        local = latency(shells[0], repeat)
        local_many = min(per_command(shells, repeat * 10) for _ in range(3))
    finally:
        for shell in shells:
            shell.close()
    res.add(KEY, ROW_TRUE, REMOTE, min(remote))
    res.add(KEY, ROW_TRUE, LOCAL, min(local))
    res.add(KEY, ROW_TRUE_MEDIAN, REMOTE, statistics.median(remote))
    res.add(KEY, ROW_TRUE_MEDIAN, LOCAL, statistics.median(local))
    res.add(KEY, ROW_MANY, REMOTE, remote_many, note=f"{1 / remote_many:,.0f} commands/s")
    res.add(KEY, ROW_MANY, LOCAL, local_many, note=f"{1 / local_many:,.0f} commands/s")
    res.add(KEY, ROW_MANY_ASYNC, REMOTE, remote_async, note=f"{1 / remote_async:,.0f} commands/s")
    res.note(f"marrowfen_kit.ray: run(\"true\") costs {fmt_time(statistics.median(remote) - statistics.median(local))} "
             f"more through Ray (median); 16 shells: {1 / remote_many:,.0f} commands/s over two nodes against "
             f"{1 / local_many:,.0f} locally")


if __name__ == "__main__":
    import sys

    results = Results()
    run_kit_ray(results, int(sys.argv[1]) if len(sys.argv) > 1 else 20)
    for row, values in results.sections.get(KEY, {}).get("rows", {}).items():
        print(row, {lib: fmt_time(seconds) for lib, seconds in values["values"].items()}, values["notes"])
    for note in results.notes:
        print(note)
