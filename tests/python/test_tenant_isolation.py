"""Tenant isolation with real accounts: an account serves one tenant at a time,
in every pool of every process; the next tenant finds nothing of the last;
the shell gets nothing of the host; homes are private; a forked child leaves
the parent's tenants alone."""

import ctypes
import os
import selectors
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import (
    HOME_ROOT,
    live_processes,
    lstat_but_access_time,
    needs_host_accounts,
    read_until,
    round_trip,
    sentinel_command,
    wait_for,
)
from marrowfen import PyUserPool

pytestmark = [needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(120)]

SHARED_PLACES = ["/tmp", "/var/tmp", "/dev/shm", "/run/lock", "/dev/mqueue"]
TENANT_PATH = "/usr/local/bin:/usr/bin:/bin"


class Program:
    """A Python program in a process of its own, driven line by line: another
    owner of pools, in another process."""

    def __init__(self, source):
        self.process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(source)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.process.stdout, selectors.EVENT_READ)

    def line(self, timeout=30.0):
        """The next line it prints; fails the test past `timeout` seconds."""
        if not self._selector.select(timeout):
            self.process.kill()
            pytest.fail(f"no line from the program within {timeout} s")
        text = self.process.stdout.readline()
        if not text:
            pytest.fail(f"the program ended early: {self.process.stderr.read()}")
        return text.rstrip("\n")

    def tell(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def finish(self, timeout=30.0):
        """Closes its input and waits for it; its exit status."""
        self.process.stdin.close()
        status = self.process.wait(timeout)
        self.process.stdout.close()
        self.process.stderr.close()
        return status

    def kill(self):
        self.process.kill()
        self.process.wait(30)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


# Holds one account with a live shell; runs each input line in it and says
# whether the shell still answers.
HOLDER = """
    import os, sys
    from marrowfen import PyUserPool
    pool = PyUserPool(1)
    user = pool.allocate()
    session = user.spawn()
    print(user.username(), os.getpid(), user.uid(), flush=True)
    for n, line in enumerate(sys.stdin):
        expected = f"done{n}:42".encode()
        session.write(f"{line.strip()}\\necho done{n}:$((40+2))\\n".encode())
        seen = b""
        while expected not in seen:
            chunk = session.read()
            if not chunk:
                break
            seen += chunk
        print("alive" if expected in seen else "dead", flush=True)
"""

# The same, with its session spawned from a thread that ends at once: the
# kernel ties su's death signal to the thread that started it, yet the shell
# must live as long as its owner, and no longer.
HOLDER_SPAWNING_ON_A_THREAD = HOLDER.replace("    session = user.spawn()\n", """\
    import threading
    sessions = []
    spawner = threading.Thread(target=lambda: sessions.append(user.spawn()))
    spawner.start()
    spawner.join()
    (session,) = sessions
""")


def test_two_processes_never_hold_one_account_at_once():
    holder = Program(HOLDER)
    try:
        theirs, _, _ = holder.line().split()
        pool = PyUserPool(1)
        mine = pool.allocate()
        assert mine.username() != theirs
        session = mine.spawn()
        round_trip(session)
        # Our release kills our tenant's processes, not theirs.
        del session, mine
        holder.tell("true")
        assert holder.line() == "alive"
        assert pool.allocate().username() != theirs
    finally:
        assert holder.finish() == 0
    # Their release ended their claim: the account is anybody's again.
    assert PyUserPool(1).allocate().username() == theirs


def test_two_pools_of_one_process_keep_their_tenants_apart():
    first, second = PyUserPool(2), PyUserPool(2)
    mine, theirs = first.allocate(), second.allocate()
    assert mine.username() != theirs.username()
    mine_shell, theirs_shell = mine.spawn(), theirs.spawn()
    round_trip(mine_shell)
    del mine_shell, mine
    round_trip(theirs_shell, "spared")
    assert first.allocate().username() != theirs.username()


def owned_entries(uid):
    """What `uid` owns in the shared places, the homes aside."""
    found = []
    for place in SHARED_PLACES:
        for directory, subdirs, files in os.walk(place):
            # The homes, and a root a killed test left aside (HOME_ROOT.aside-<pid>).
            subdirs[:] = [d for d in subdirs if not os.path.join(directory, d).startswith(HOME_ROOT)]
            for name in subdirs + files:
                path = os.path.join(directory, name)
                try:
                    if os.lstat(path).st_uid == uid:
                        found.append(path)
                except FileNotFoundError:
                    pass
    return sorted(found)


def sysv_objects(uid):
    """The System V IPC objects whose owner or creator is `uid`."""
    found = []
    for table in ("shm", "msg", "sem"):
        with open(f"/proc/sysvipc/{table}") as f:
            header, *rows = [line.split() for line in f.read().splitlines()]
        for row in rows:
            fields = dict(zip(header, row, strict=True))
            if uid in (int(fields["uid"]), int(fields["cuid"])):
                found.append((table, fields[header[1]]))
    return found


@pytest.fixture
def mqueue():
    """/dev/mqueue, where the POSIX message queues show as files: mounted for
    the test where the host has not, and put back afterwards."""
    if os.path.ismount("/dev/mqueue"):
        yield "/dev/mqueue"
        return
    made = not os.path.exists("/dev/mqueue")
    if made:
        os.mkdir("/dev/mqueue")
    mounted = subprocess.run(["mount", "-t", "mqueue", "mqueue", "/dev/mqueue"], capture_output=True, timeout=30)
    try:
        if mounted.returncode != 0:
            pytest.skip(f"cannot mount the POSIX message queues: {mounted.stderr.decode().strip()}")
        yield "/dev/mqueue"
    finally:
        if mounted.returncode == 0:
            subprocess.run(["umount", "/dev/mqueue"], check=True, timeout=30)
        if made:
            os.rmdir("/dev/mqueue")


def posix_queue_of(uid, name):
    """Creates the POSIX message queue `name` and gives it to `uid`, as if the
    tenant had made it."""
    libc = ctypes.CDLL(None, use_errno=True)
    queue = libc.mq_open(name.encode(), os.O_CREAT | os.O_RDWR, 0o600, None)
    assert queue >= 0, os.strerror(ctypes.get_errno())
    libc.mq_close(queue)
    os.chown(f"/dev/mqueue{name}", uid, uid)


@pytest.fixture
def shared_dir(tmp_path):
    """A directory in /tmp that every user may write, as /tmp/.X11-unix."""
    path = f"/tmp/mf-shared-{os.getpid()}"
    os.mkdir(path)
    os.chmod(path, 0o1777)
    yield path
    subprocess.run(["rm", "-rf", "--one-file-system", path], check=True, timeout=30)


def tenant_processes(uid):
    def cmdline(pid):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                return f.read().replace(b"\0", b" ").strip()
        except OSError:
            return b""
    return sorted(cmdline(pid) for pid in live_processes(uid))


LEAVE_EVERYTHING = """\
echo x > /tmp/mf-left-file; mkdir -p /tmp/mf-left-tree/a/b; echo y > /tmp/mf-left-tree/a/b/f
echo z > /var/tmp/mf-left-file; echo w > /dev/shm/mf-left-shm; echo v > {shared}/mf-left-inner
[ -d /run/lock ] && echo u > /run/lock/mf-left-lock
ln -s /etc /tmp/mf-left-etc; ln -s /etc/passwd /var/tmp/mf-left-passwd
ipcmk -M 4096 >/dev/null; ipcmk -Q >/dev/null; ipcmk -S 1 >/dev/null
setsid sleep 1000 </dev/null >/dev/null 2>&1 &
(trap '' TERM HUP; exec sleep 1001) </dev/null >/dev/null 2>&1 & disown
"""


@pytest.fixture
def leftovers_removed():
    """Takes the uids of tenants that leave things behind; at teardown kills
    their processes and removes their IPC objects and the files these tests
    make them leave, whatever became of the test. (A failing test keeps its user alive in the traceback, so no
    release sweeps them.)"""
    uids = []
    yield uids.append
    for uid in uids:
        for pid in live_processes(uid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for table, ident in sysv_objects(uid):
            subprocess.run(["ipcrm", {"shm": "-m", "msg": "-q", "sem": "-s"}[table], ident], timeout=30)
        # Only what these tests leave (mf-left...): the account is the host's,
        # and others may have left things of it elsewhere.
        ours = [path for path in owned_entries(uid) if "/mf-left" in path]
        for path in reversed(ours):  # what is inside a directory before it
            try:
                if stat.S_ISDIR(os.lstat(path).st_mode):
                    os.rmdir(path)
                else:
                    os.unlink(path)
            except OSError:
                pass


def leave_everything(session, uid, shared):
    """Has the tenant leave something in every shared place, and processes
    that outlive its shell; returns what it left."""
    session.write(LEAVE_EVERYTHING.format(shared=shared).encode())
    round_trip(session, "left")
    posix_queue_of(uid, "/mf-left-queue")
    assert wait_for(lambda: {b"sleep 1000", b"sleep 1001"} <= set(tenant_processes(uid))), tenant_processes(uid)
    return owned_entries(uid), sysv_objects(uid), tenant_processes(uid)


def etc_as_it_is():
    return lstat_but_access_time("/etc"), sorted(os.listdir("/etc")), lstat_but_access_time("/etc/passwd")


def test_nothing_of_a_tenant_survives_into_the_next(mqueue, shared_dir, leftovers_removed):
    pool = PyUserPool(1)
    user = pool.allocate()
    uid, name = user.uid(), user.username()
    leftovers_removed(uid)
    etc = etc_as_it_is()
    files, ipc, processes = leave_everything(user.spawn(), uid, shared_dir)
    left = ["/tmp/mf-left-file", "/tmp/mf-left-tree", "/tmp/mf-left-tree/a", "/tmp/mf-left-tree/a/b",
            "/tmp/mf-left-tree/a/b/f", "/var/tmp/mf-left-file", "/dev/shm/mf-left-shm", f"{shared_dir}/mf-left-inner",
            "/tmp/mf-left-etc", "/var/tmp/mf-left-passwd", "/dev/mqueue/mf-left-queue"]
    if os.path.isdir("/run/lock"):
        left.append("/run/lock/mf-left-lock")
    assert files == sorted(left)
    assert sorted(kind for kind, _ in ipc) == ["msg", "sem", "shm"]
    assert b"sleep 1000" in processes and b"sleep 1001" in processes

    del user  # and its session: the release
    assert live_processes(uid) == []
    assert owned_entries(uid) == [] and sysv_objects(uid) == []
    assert etc_as_it_is() == etc
    assert os.listdir(shared_dir) == []
    nextone = pool.allocate()
    assert nextone.username() == name
    round_trip(nextone.spawn(), "fresh")


# The owner is killed without a chance to release: its `su` dies with it at
# once, and what its tenant left is gone before the account's next hand-out.
@pytest.mark.parametrize("source", [HOLDER, HOLDER_SPAWNING_ON_A_THREAD], ids=["main thread", "ended thread"])
def test_an_owner_killed_with_sigkill_leaves_nothing_to_the_next_tenant(source, leftovers_removed):
    holder = Program(source)
    try:
        name, holder_pid, uid = holder.line().split()
        uid = int(uid)
        leftovers_removed(uid)
        su = [pid for pid in os.listdir("/proc") if pid.isdigit() and parent_of(pid) == holder_pid]
        assert su, "the holder's su was not found"
        leftover = f"/tmp/mf-left-by-{name}"
        holder.tell(f"echo x > {leftover}; setsid sleep 1002 </dev/null >/dev/null 2>&1 &")
        assert holder.line() == "alive"
        assert wait_for(lambda: b"sleep 1002" in tenant_processes(uid))
    finally:
        holder.kill()
    assert wait_for(lambda: not any(os.path.exists(f"/proc/{pid}") and parent_of(pid) for pid in su)), \
        "the owner's su outlived it"
    assert b"sleep 1002" in tenant_processes(uid)  # until the account is handed out again
    # Names drawn before it may be held, or let go, by other processes meanwhile.
    pool, passed = PyUserPool(8), []
    while (user := pool.allocate()).username() != name:
        passed.append(user)
    assert live_processes(uid) == []
    assert not os.path.lexists(leftover)


def parent_of(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
        return fields["PPid"].strip() if fields["State"][0] not in "ZX" else None
    except (FileNotFoundError, ProcessLookupError):
        return None


def test_the_shell_gets_nothing_of_the_host(tmp_path):
    secret = tmp_path / "secret"
    secret.write_text("host data")
    fd = os.open(secret, os.O_RDONLY)
    os.set_inheritable(fd, True)
    os.environ["MF_HOST_SECRET"] = "hunter2"
    user = PyUserPool(1).allocate()
    sessions = []
    try:
        # Spawned from a thread that ends at once: the shell stays.
        spawner = threading.Thread(target=lambda: sessions.append(user.spawn()))
        spawner.start()
        spawner.join(30)
    finally:
        del os.environ["MF_HOST_SECRET"]
        os.close(fd)
    (session,) = sessions
    time.sleep(0.2)
    command, expected = sentinel_command("env")
    session.write(b"stty -echo; echo \"[${MF_HOST_SECRET-unset}|$PATH|$(umask)|shell $$]\"; " + command)
    data, _ = read_until(session, expected)
    assert f"[unset|{TENANT_PATH}|0077|shell ".encode() in data, data
    shell = int(data.rsplit(b"|shell ", 1)[1].split(b"]")[0])
    # bash keeps a copy of its terminal on 255.
    assert sorted(os.listdir(f"/proc/{shell}/fd"), key=int) == ["0", "1", "2", "255"]
    session.write(b"touch mine; stat -c %a mine; " + sentinel_command("private")[0])
    assert b"600" in read_until(session, b"private:42")[0]


def test_homes_are_private_whatever_the_umask():
    saved = os.umask(0)
    try:
        pool = PyUserPool(2)
        first, second = pool.allocate(), pool.allocate()
    finally:
        os.umask(saved)
    for user in (first, second):
        st = os.lstat(user.home())
        assert stat.S_IMODE(st.st_mode) == 0o700 and st.st_uid == user.uid()
    session = second.spawn()
    command, expected = sentinel_command("probe")
    session.write(f"stty -echo; ls {first.home()}; echo ls=$?; echo evil > {first.home()}/.bashrc; echo plant=$?; "
                  .encode() + command)
    data, _ = read_until(session, expected)
    assert b"ls=2" in data and b"plant=1" in data, data
    assert not os.path.exists(f"{first.home()}/.bashrc")


# A child made by os.fork() that exits normally runs its finalisers over its
# copies of the parent's pool, user and session: they must leave the parent's
# tenant alone, and refuse to be used in the child.
FORKER = """
    import gc, os, sys, warnings
    from marrowfen import PyUserPool
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process with threads

    def round_trip(session, tag):
        session.write(f"echo {tag}:$((40+2))\\n".encode())
        seen = b""
        while f"{tag}:42".encode() not in seen:
            chunk = session.read()
            assert chunk, seen
            seen += chunk

    pool = PyUserPool(1)
    user = pool.allocate()
    session = user.spawn()
    round_trip(session, "before")
    child = os.fork()
    if child == 0:
        refused = []
        for call in (pool.allocate, user.spawn, lambda: session.write(b"exit\\n"), session.read,
                     session.read_err, session.close):
            try:
                call()
                refused.append("no error")
            except ValueError as e:
                refused.append(e.args[0])
        print("\\n".join(refused), flush=True)
        del session, user, pool
        gc.collect()
        sys.exit(0)
    _, status = os.waitpid(child, 0)
    assert status == 0, status
    round_trip(session, "after")
    print("parent ok", flush=True)
"""


def test_a_forked_child_leaves_the_parents_tenants_alone():
    ran = subprocess.run([sys.executable, "-c", textwrap.dedent(FORKER)], capture_output=True, text=True,
                         timeout=60)
    assert ran.returncode == 0, ran.stderr
    refusal = "{} belongs to the process that created it and cannot be used in a forked child"
    assert ran.stdout.splitlines() == [refusal.format("PyUserPool"), refusal.format("PyUser")] + \
        [refusal.format("PyTerminalSession")] * 4 + ["parent ok"]
