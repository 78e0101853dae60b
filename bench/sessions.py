"""Account pool and shell sessions (root only).

marrowfen's PyUserPool / PyUser / PyTerminalSession against:
  - "su (subprocess)": the very command line that a session runs, started with
    subprocess.Popen and driven through the same three pipes, i.e. su itself
    plus the least Python can add;
  - "pexpect": pexpect.spawn("su", ["-s", "/bin/bash", user]) with
    delaybeforesend=None.

A round trip writes `echo M<i>_$((7*6))` and reads until `M<i>_42` comes
back (the terminal's echo of the typed line does not contain it). Spawn is
timed until the first such round trip has completed, so that every contender
is charged for a shell that is ready, not just for fork and exec.
"""

from __future__ import annotations

import os
import pwd
import statistics
import subprocess
import time

from common import Results, log, perf_counter

MARK_CMD = "echo M{i}_$((7*6))\n"
MARK = "M{i}_42"
TIMEOUT = 10.0


def read_until(read, marker: bytes) -> None:
    buf = b""
    deadline = perf_counter() + TIMEOUT
    while marker not in buf:
        chunk = read()
        if not chunk:
            raise RuntimeError(f"end of stream before {marker!r}: {buf[-200:]!r}")
        buf = buf[-64:] + chunk
        if perf_counter() > deadline:
            raise RuntimeError(f"timed out waiting for {marker!r}")


class MarrowfenSession:
    name = "marrowfen"

    def __init__(self, user):
        self.user = user

    def spawn(self):
        self.s = self.user.spawn()

    def round_trip(self, i):
        s = self.s
        s.write(MARK_CMD.format(i=i).encode())
        read_until(lambda: s.read(4096), MARK.format(i=i).encode())

    def close(self):
        self.s.close()

    def drop(self):
        self.s = None


class SuSession:
    name = "su (subprocess)"

    def __init__(self, username, home):
        cmd = f'export HOME="{home}"; cd "{home}"; exec /bin/bash'
        self.argv = ["su", "-s", "/bin/bash", "-P", "-c", cmd, username]

    def spawn(self):
        self.p = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, bufsize=0)
        self.fin, self.fout = self.p.stdin.fileno(), self.p.stdout.fileno()

    def round_trip(self, i):
        os.write(self.fin, MARK_CMD.format(i=i).encode())
        fout = self.fout
        read_until(lambda: os.read(fout, 4096), MARK.format(i=i).encode())

    def close(self):
        self.p.kill()
        self.p.wait()

    def drop(self):
        for f in (self.p.stdin, self.p.stdout, self.p.stderr):
            f.close()
        self.p = None


class PexpectSession:
    def __init__(self, username, delay=None):
        self.username = username
        self.delay = delay
        self.name = "pexpect" if delay is None else "pexpect (default send delay)"

    def spawn(self):
        import pexpect

        self.c = pexpect.spawn("su", ["-s", "/bin/bash", self.username], timeout=TIMEOUT)
        if self.delay is None:
            self.c.delaybeforesend = None

    def round_trip(self, i):
        self.c.send(MARK_CMD.format(i=i))
        self.c.expect_exact(MARK.format(i=i))

    def close(self):
        self.c.close(force=True)

    def drop(self):
        self.c = None


LEFTOVER_FILES = 100


def leave_leftovers(uid: int) -> subprocess.Popen:
    """What a tenant typically leaves: a running process, a directory of files
    in /tmp and System V IPC objects, all made as the account. Returns the
    process."""
    as_tenant = {"user": uid, "group": uid, "extra_groups": []}
    for kind in ("-M", "-Q", "-S"):
        subprocess.run(["ipcmk", kind, "1" if kind == "-S" else "4096"], check=True, capture_output=True,
                       **as_tenant)
    root = f"/tmp/mf-bench-leftovers-{os.getpid()}"
    os.mkdir(root)
    for i in range(LEFTOVER_FILES):
        with open(f"{root}/f{i}", "w") as f:
            f.write("x")
        os.chown(f"{root}/f{i}", uid, uid)
    os.chown(root, uid, uid)
    return subprocess.Popen(["sleep", "1000"], cwd="/", **as_tenant)


MANY_DIRS = 50_000


def leave_many_dirs(uid: int) -> str:
    """What a tenant makes in 20 s to outlast the sweep: MANY_DIRS empty
    directories in /tmp, world-writable, owned by the account. Returns their
    parent's prefix."""
    prefix = f"/tmp/mf-bench-dirs-{os.getpid()}-"
    for i in range(MANY_DIRS):
        path = f"{prefix}{i}"
        os.mkdir(path)
        os.chmod(path, 0o777)
        os.chown(path, uid, uid)
    return prefix


def remove_many_dirs(prefix: str) -> None:
    for i in range(MANY_DIRS):
        try:
            os.rmdir(f"{prefix}{i}")
        except FileNotFoundError:
            pass


def run_many_dirs(res, key: str, pool, repeat: int) -> None:
    """A tenant that left MANY_DIRS world-writable directories: its own
    release, and another account's hand-out and release while they are there
    (each of them must look inside every one: the account may write there)."""
    releases, others, other_releases, finishing = [], [], [], []
    for _ in range(max(2, repeat // 8)):
        u, _ = allocate(pool)
        prefix = leave_many_dirs(u.uid())
        time.sleep(2.5)  # there for a while, not just made (see clear_record.h: the clock's margin)
        bystander, dt = allocate(pool)
        others.append(dt)
        t0 = perf_counter()
        del bystander
        other_releases.append(perf_counter() - t0)
        t0 = perf_counter()
        del u
        releases.append(perf_counter() - t0)
        # Out of time, the account was put aside: this hand-out finishes it first.
        nextone, dt = allocate(pool)
        finishing.append(dt)
        del nextone
        remove_many_dirs(prefix)
    res.add(key, f"release an account that left {MANY_DIRS:,} directories", "marrowfen", min(releases),
            note="its own, removed until the 5 s budget ends; then put aside")
    res.add(key, "the next hand-out, which finishes that sweep first", "marrowfen", min(finishing))
    res.add(key, f"allocate another account while {MANY_DIRS:,} such directories are there", "marrowfen",
            min(others), note="world-writable: listed, none of its entries in them")
    res.add(key, f"release another account while {MANY_DIRS:,} such directories are there", "marrowfen",
            min(other_releases))


def allocate(pool, tries: int = 3):
    """pool.allocate(), tried again when it fails: other processes on this host
    may hand out and wipe the same fixed-seed accounts at the same moment."""
    for attempt in range(tries):
        try:
            t0 = perf_counter()
            u = pool.allocate()
            return u, perf_counter() - t0
        except ValueError as e:
            if attempt + 1 == tries:
                raise
            log(f"  allocate failed ({e}); trying again")
    raise AssertionError("unreachable")


def run_sessions(res: Results, repeat: int) -> None:
    if os.geteuid() != 0:
        log("  not root: pool and session benchmarks skipped")
        res.note("Pool and session benchmarks need root and were skipped.")
        return
    import marrowfen

    key = "pool"
    res.section(key, "Account pool and shell sessions (root)", ["marrowfen", "su (subprocess)", "pexpect"],
                intro="Minimum of repeats (round trips: of some 1,000, with their median as well). "
                      "Spawn is timed up to the first completed round trip. The su (subprocess) "
                      "column is the floor: its ratio is marrowfen / su.",
                refs=("su (subprocess)",))
    first = "test_UKUKKUUK"
    try:
        pwd.getpwnam(first)
        existed = True
    except KeyError:
        existed = False

    # a fresh pool's first account: `id` (or `useradd` on a new host) + home
    fresh = []
    for _ in range(5):
        pool = marrowfen.PyUserPool(4)
        u, dt = allocate(pool)
        fresh.append(dt)
        del u, pool
    res.add(key, "allocate a fresh account (new pool)", "marrowfen", min(fresh),
            note="adopted through `id`" if existed else "first run: includes `useradd`")

    # The rest uses the pool's fourth account, which the test suites running
    # on the same host are least likely to be using (and killing) meanwhile.
    pool = marrowfen.PyUserPool(8)
    held = [allocate(pool)[0] for _ in range(4)]
    user = held.pop()
    username, home = user.username(), user.home()
    del user
    reused, release = [], []
    for _ in range(repeat):
        u, dt = allocate(pool)
        t1 = perf_counter()
        del u
        release.append(perf_counter() - t1)
        reused.append(dt)
    res.add(key, "allocate a reused account", "marrowfen", min(reused),
            note="clean: the kill loop and the sweep find nothing")
    res.add(key, "release an account, nothing left behind", "marrowfen", min(release),
            note="pkill, kill loop, sweep")
    with_leftovers = []
    for _ in range(max(3, repeat // 4)):
        u, _ = allocate(pool)
        tenant = leave_leftovers(u.uid())
        t1 = perf_counter()
        del u
        with_leftovers.append(perf_counter() - t1)
        tenant.wait(10)
    res.add(key, "release an account with leftovers", "marrowfen", min(with_leftovers),
            note=f"a process, {LEFTOVER_FILES} files in /tmp, 3 System V IPC objects")
    run_many_dirs(res, key, pool, repeat)

    user, _ = allocate(pool)
    if user.username() != username:
        username, home = user.username(), user.home()
    contenders = [MarrowfenSession(user), SuSession(username, home), PexpectSession(username)]
    spawn_call = []
    spawn = {c.name: [] for c in contenders}
    rt = {c.name: [] for c in contenders}
    close = {c.name: [] for c in contenders}
    failures = 0
    batch = 50
    i = 0
    for _ in range(repeat):
        for c in contenders:  # interleaved, so that noise hits all alike
            try:
                i += 1
                t0 = perf_counter()
                c.spawn()
                t1 = perf_counter()
                c.round_trip(i)
                t2 = perf_counter()
                rt_batch = []
                for _ in range(batch):
                    i += 1
                    t = perf_counter()
                    c.round_trip(i)
                    rt_batch.append(perf_counter() - t)
                t = perf_counter()
                c.close()
                t_close = perf_counter() - t
            except Exception as e:  # a shell killed from outside, a time-out
                failures += 1
                log(f"  {c.name}: {e!r}")
                try:
                    c.close()
                except Exception:
                    pass
                c.drop()
                continue
            c.drop()
            spawn[c.name].append(t2 - t0)
            if c.name == "marrowfen":
                spawn_call.append(t1 - t0)
            rt[c.name].extend(rt_batch)
            close[c.name].append(t_close)
    if failures:
        res.note(f"{failures} session run(s) failed and were left out (another process on the host "
                 "may have killed the account's shells)")
    for c in contenders:
        if spawn[c.name]:
            res.add(key, "spawn until the shell answers", c.name, min(spawn[c.name]))
            res.add(key, "echo round trip", c.name, min(rt[c.name]))
            res.add(key, "echo round trip (median)", c.name, statistics.median(rt[c.name]))
            res.add(key, "close", c.name, min(close[c.name]))
    if spawn_call:
        res.add(key, "spawn() call alone", "marrowfen", min(spawn_call))

    slow = PexpectSession(username, delay=0.05)
    slow.spawn()
    slow.round_trip(0)
    t0 = perf_counter()
    for j in range(5):
        slow.round_trip(j + 1)
    res.add(key, "echo round trip", "pexpect (default send delay)", (perf_counter() - t0) / 5)
    slow.close()
    del user, pool, contenders, held
