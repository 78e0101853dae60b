"""Contained pools against the same work uncontained, and against bubblewrap (root only).

Columns: "uncontained" (PyUserPool()), "contained" (isolate=True, the
network on), "contained, network off" (isolate=True, network=False), and
"bwrap" (Debian's bubblewrap, `make bench-env` installs it). Every figure is
the minimum of repeats, the contenders interleaved so that noise hits all
alike.

- hand-out: allocate() of a clean reused account (each pool reuses an
  account of its own), namespaces and group included;
- spawn: spawn() until the shell has answered its first command, as in
  sessions.py. su is most of it, so the comparison with bubblewrap is of the
  overheads: (contained - uncontained spawn) against (`bwrap --unshare-all
  ... bash` - plain `bash`), each answering a first command;
- release with 500 processes: the release (the session closed first) of a
  tenant whose 500 sleeping processes are running (they ignore the hang-up
  of the closed session, which would otherwise have killed them before the
  clock starts);
- Shell.run("true"): one command through marrowfen_kit.shell.
"""

from __future__ import annotations

import functools
import os
import shutil
import subprocess
import time

from common import Results, log, perf_counter
from sessions import MARK, MARK_CMD, allocate, read_until

KEY = "contain"
UNCONTAINED = "uncontained"
CONTAINED = "contained"
NETWORK_OFF = "contained, network off"
BWRAP = "bwrap"
PLAIN_BASH = "plain bash"
LIMITS = {"max_processes": 1024, "memory_limit": 1 << 30}
STORM = 500


def pools(marrowfen):
    return {
        UNCONTAINED: marrowfen.PyUserPool(8),
        CONTAINED: marrowfen.PyUserPool(8, isolate=True, **LIMITS),
        NETWORK_OFF: marrowfen.PyUserPool(8, isolate=True, network=False, **LIMITS),
    }


class PipedShell:
    """A shell started from a command line, driven through its pipes."""

    def __init__(self, argv):
        self.argv = argv

    def spawn_and_answer(self, i):
        t0 = perf_counter()
        p = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             bufsize=0)
        os.write(p.stdin.fileno(), MARK_CMD.format(i=i).encode())
        read_until(lambda: os.read(p.stdout.fileno(), 4096), MARK.format(i=i).encode())
        dt = perf_counter() - t0
        p.kill()
        p.wait()
        for f in (p.stdin, p.stdout):
            f.close()
        return dt


def bwrap_argv():
    return ["bwrap", "--unshare-all", "--die-with-parent", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc",
            "--tmpfs", "/tmp", "--tmpfs", "/var/tmp", "--tmpfs", "/dev/shm", "/bin/bash", "--norc", "-i"]


def spawn_and_answer(user, i):
    t0 = perf_counter()
    s = user.spawn()
    s.write(MARK_CMD.format(i=i).encode())
    read_until(lambda: s.read(4096), MARK.format(i=i).encode())
    dt = perf_counter() - t0
    s.close()
    return dt


def release_with_storm(pool):
    """Allocates, starts STORM sleeping processes as the tenant, and times the
    release (the session closed before the clock starts)."""
    user, _ = allocate(pool)
    uid = user.uid()
    s = user.spawn()
    s.write(f"(trap '' HUP; for i in $(seq {STORM}); do sleep 600 & done); echo STORM_$((6*7))\n".encode())
    read_until(functools.partial(s.read, 4096), b"STORM_42")
    s.close()
    t0 = perf_counter()
    del user, s
    dt = perf_counter() - t0
    wait_for_zombies_of(uid)
    return dt


def wait_for_zombies_of(uid, timeout=10.0):
    """Waits until no process of `uid` is left, zombies included: an
    uncontained tenant's killed orphans are the host init's to reap, and
    until it has, they count against the next tenant's process limit."""
    deadline = perf_counter() + timeout
    while perf_counter() < deadline:
        if not any(owner == uid for owner in process_owners()):
            return
        time.sleep(0.01)
    log(f"  processes of uid {uid} still there after {timeout} s")


def process_owners():
    for entry in os.scandir("/proc"):
        if entry.name.isdigit():
            try:
                yield entry.stat().st_uid
            except OSError:
                pass


def own_accounts(made):
    """Gives each pool an account of its own: all of them draw the same
    names, and one that another pool used last is not a clean reused account
    to this one (its hand-out clears it whole)."""
    held = [allocate(pool)[0] for pool in made.values()]
    del held


def run_containment(res: Results, repeat: int) -> None:
    if os.geteuid() != 0:
        log("  not root: containment benchmarks skipped")
        return
    import marrowfen
    from marrowfen_kit.shell import Shell

    columns = [UNCONTAINED, CONTAINED, NETWORK_OFF, BWRAP, PLAIN_BASH]
    res.section(KEY, "Contained tenants (root)", columns, base=CONTAINED, refs=(UNCONTAINED,),
                intro=f"Contained: isolate=True with {LIMITS}. Minimum of repeats. The bwrap and plain bash "
                      "columns are a shell started with `subprocess` answering its first command.")
    made = pools(marrowfen)
    own_accounts(made)
    handout = {name: [] for name in made}
    spawn = {name: [] for name in made}
    i = 0
    for _ in range(repeat):
        for name, pool in made.items():
            user, dt = allocate(pool)
            handout[name].append(dt)
            i += 1
            spawn[name].append(spawn_and_answer(user, i))
            del user
    for name in made:
        res.add(KEY, "hand-out of a clean reused account", name, min(handout[name]))
        res.add(KEY, "spawn until the shell answers", name, min(spawn[name]))

    peers = {PLAIN_BASH: PipedShell(["/bin/bash", "--norc", "-i"])}
    if shutil.which("bwrap"):
        peers[BWRAP] = PipedShell(bwrap_argv())
    else:
        res.note("bwrap is not installed (`make bench-env` installs Debian's bubblewrap): its column is empty")
    started = {name: [] for name in peers}
    for _ in range(repeat):
        for name, peer in peers.items():
            i += 1
            started[name].append(peer.spawn_and_answer(i))
    for name in peers:
        res.add(KEY, "spawn until the shell answers", name, min(started[name]))

    for name in (UNCONTAINED, CONTAINED):
        times = [release_with_storm(made[name]) for _ in range(max(3, repeat // 4))]
        res.add(KEY, f"release of a tenant running {STORM} processes", name, min(times))

    for name in (UNCONTAINED, CONTAINED):
        user, _ = allocate(made[name])
        with Shell.start(user) as shell:
            times = []
            for _ in range(repeat * 50):
                t = perf_counter()
                shell.run("true")
                times.append(perf_counter() - t)
        res.add(KEY, 'Shell.run("true")', name, min(times))
        del user


def check(res: Results) -> None:
    if KEY not in res.sections:
        return

    def get(row, col):
        return res.get(KEY, row, col)

    def ms(seconds):
        return f"{seconds * 1e3:.2f} ms"

    h = get("hand-out of a clean reused account", CONTAINED)
    if h is not None:
        off = get("hand-out of a clean reused account", NETWORK_OFF)
        res.target("containment", "hand-out of a clean reused contained account (network on)",
                   ms(h) + (f"; network off {ms(off)}" if off is not None else ""), "≤ 5 ms", h <= 5e-3)
    row = "spawn until the shell answers"
    s, u = get(row, CONTAINED), get(row, UNCONTAINED)
    if s is not None and u is not None:
        res.target("containment", "spawn, contained over uncontained", f"{s / u:.2f}× ({ms(s)} vs {ms(u)})",
                   "≤ 1.2×", s / u <= 1.2)
        b, plain = get(row, BWRAP), get(row, PLAIN_BASH)
        if b is not None and plain is not None:
            res.target("containment", "spawn overhead against bubblewrap's",
                       f"{ms(s - u)} vs {ms(b - plain)}", "smaller than bwrap's", s - u < b - plain)
    r = get(f"release of a tenant running {STORM} processes", CONTAINED)
    if r is not None:
        res.target("containment", f"release of a contained tenant running {STORM} processes", ms(r), "≤ 20 ms",
                   r <= 20e-3)
    t, tu = get('Shell.run("true")', CONTAINED), get('Shell.run("true")', UNCONTAINED)
    if t is not None and tu is not None:
        res.target("containment", 'Shell.run("true"), contained over uncontained',
                   f"{t / tu:.2f}× ({ms(t)} vs {ms(tu)})", "≤ 1.1×", t / tu <= 1.1)
