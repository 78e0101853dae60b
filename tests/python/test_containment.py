"""Contained pools with real accounts: each tenant gets its own process tree,
mounts, IPC and (when asked) network, a budget of processes, memory and CPU,
and no user namespaces; the release takes all of it away at once.

Every resource test is bounded by the tenant's own limits (64 processes,
256 MiB, a 64 MiB tmpfs), so a failure cannot starve the host."""

import gc
import os
import pwd
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import live_processes, needs_host_accounts, wait_for
from marrowfen import PyUserPool
from marrowfen_kit.shell import Shell

pytestmark = [needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(180)]

MiB = 1 << 20


def our_children():
    """The pids whose parent is this process (sessions' su, namespace holders)."""
    me = str(os.getpid())
    found = set()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        if fields[1] == me and fields[0] not in "ZX":
            found.add(int(entry))
    return found


def control_group_dirs(name):
    """Every control group directory named after the account `name`."""
    found = []
    for root, dirs, _ in os.walk("/sys/fs/cgroup"):
        if name in dirs:
            found.append(os.path.join(root, name))
        # Only our own directories are searched below their first level.
        dirs[:] = [d for d in dirs if d in ("marrowfen", "process_api") or root.count("/") < 5]
    return found


def mount_table():
    with open("/proc/self/mountinfo") as f:
        return f.read()


class Tenant:
    """A handed-out account of a contained pool with one shell. Every one
    made by a test is released after it, passed or failed (a failure's
    traceback keeps the test's locals alive)."""

    made: list["Tenant"] = []

    def __init__(self, pool):
        Tenant.made.append(self)
        self.shell = None
        self.user = pool.allocate()
        self.uid = self.user.uid()
        self.name = self.user.username()
        self.shell = Shell.start(self.user)

    def run(self, command, timeout=30.0):
        return self.shell.run(command, timeout=timeout)

    def another_shell(self):
        return Shell.start(self.user)

    def release(self):
        if self.shell is not None:
            self.shell.close()
        self.user = None
        self.shell = None


def zombies_of_test_accounts():
    """Dead processes of the pool's accounts that nobody has reaped yet."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/status") as f:
                status = dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
            name = pwd.getpwuid(int(status["Uid"].split()[0])).pw_name
        except (FileNotFoundError, ProcessLookupError, KeyError):
            continue
        if status["State"][0] == "Z" and name.startswith("test_"):
            found.append(int(entry))
    return found


@pytest.fixture(autouse=True)
def release_tenants():
    # The shells of earlier, uncontained tenants end as orphans of the host's
    # init; until it reaps them they count against the process limit of
    # their account, which these tests set. Some inits take seconds.
    wait_for(lambda: not zombies_of_test_accounts(), timeout=30)
    yield
    while Tenant.made:
        Tenant.made.pop().release()


def test_construction_checks_every_option_and_touches_nothing():
    before = our_children(), mount_table()
    refused = [
        (dict(isolate=1), TypeError, "argument 'isolate': 'int' object cannot be converted to 'PyBool'"),
        (dict(network="no"), TypeError, "argument 'network': 'str' object cannot be converted to 'PyBool'"),
        (dict(max_processes=1.5), TypeError, "argument 'max_processes': 'float' object cannot be interpreted"),
        (dict(cpu_limit="1"), TypeError, "argument 'cpu_limit': must be real number, not str"),
        (dict(max_processes=0), ValueError, "argument 'max_processes': must be at least 1, got 0"),
        (dict(memory_limit=-1), ValueError, "argument 'memory_limit': must be at least 1048576 bytes"),
        (dict(cpu_limit=float("nan")), ValueError, "argument 'cpu_limit': must be a number of CPUs"),
        (dict(cpu_limit=0.001), ValueError, "argument 'cpu_limit': must be a number of CPUs"),
        (dict(isolate=True, tmp_size=4096), ValueError, "argument 'tmp_size': must be at least 1048576 bytes"),
        (dict(tmp_size=64 * MiB), ValueError, "argument 'tmp_size': sizes the private /tmp of isolate=True"),
    ]
    for kwargs, kind, text in refused:
        with pytest.raises(kind) as raised:
            PyUserPool(1, **kwargs)
        assert str(raised.value).startswith(text), (kwargs, str(raised.value))
    # The written call forms stay as they were.
    with pytest.raises(TypeError, match=r"^PyUserPool.__new__\(\) takes from 0 to 1 positional arguments but 2"):
        PyUserPool(1, True)
    assert PyUserPool.__text_signature__ == "(user_count=None)"
    # Accepted options do nothing on the host until a hand-out.
    PyUserPool(1, isolate=True, network=False, max_processes=8, memory_limit=64 * MiB, cpu_limit=0.5,
               tmp_size=8 * MiB)
    PyUserPool(1, isolate=None, network=None, cpu_limit=1)
    assert (our_children(), mount_table()) == before


def test_a_host_that_cannot_contain_is_refused_at_construction():
    # Not root (the module imported first, then root given up): the check
    # says so and names the option.
    code = ("import os\nfrom marrowfen import PyUserPool\nos.setgroups([])\nos.setgid(65534)\nos.setuid(65534)\n"
            "try:\n    PyUserPool(1, isolate=True)\nexcept ValueError as e:\n    print(e)\n"
            "try:\n    PyUserPool(1, memory_limit=1 << 30)\nexcept ValueError as e:\n    print(e)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert result.stdout.splitlines() == [
        "argument 'isolate': needs root, and this process runs as uid 65534",
        "argument 'memory_limit': needs root, and this process runs as uid 65534",
    ], result.stderr


def test_a_fork_storm_stops_at_the_cap_and_the_neighbour_stays_responsive():
    pool = PyUserPool(2, isolate=True, max_processes=64)
    storm, neighbour = Tenant(pool), Tenant(pool)
    storm_script = ("import os, time\nn = 0\ntry:\n    while n < 400:\n        if os.fork() == 0:\n"
                    "            time.sleep(120)\n            os._exit(0)\n        n += 1\n"
                    "except OSError as e:\n    print('stopped', n, e.errno)\n")
    result = storm.run(f"python3 -c \"{storm_script}\"", timeout=60)
    assert result.output.startswith("stopped") and result.output.split()[2] == "11", result.output
    # Its processes (su and bash included) stop at the cap, the host's count
    # of them agrees, and the other tenant runs commands meanwhile.
    assert 50 <= len(live_processes(storm.uid)) <= 64
    for _ in range(5):
        assert neighbour.run("true").exit_status == 0
    started = time.monotonic()
    storm.release()
    assert time.monotonic() - started < 10
    assert live_processes(storm.uid) == []
    assert control_group_dirs(storm.name) == []
    assert neighbour.run("echo alive").output == "alive\n"


def test_memory_past_the_limit_kills_inside_the_group_only():
    pool = PyUserPool(2, isolate=True, memory_limit=256 * MiB)
    hog, neighbour = Tenant(pool), Tenant(pool)
    result = hog.run("python3 -c 'b = b\"x\" * (1 << 30)'; echo status=$?", timeout=60)
    assert "status=137" in result.output, result.output
    # The shell that ran it lives on, and so do the neighbour and this process.
    assert hog.run("echo still-here").output == "still-here\n"
    assert neighbour.run("echo alive").output == "alive\n"


def test_tmp_is_private_and_sized():
    pool = PyUserPool(1, isolate=True, tmp_size=64 * MiB)
    tenant = Tenant(pool)
    marker = f"containment-fill-{os.getpid()}"
    result = tenant.run(f"dd if=/dev/zero of=/tmp/{marker} bs=1M count=100; du -m /tmp/{marker}", timeout=60)
    assert "No space left on device" in result.output
    assert result.output.split()[-2] == "64", result.output
    # The host's /tmp gained nothing; the home is the host's, at its path.
    assert not os.path.exists(f"/tmp/{marker}")
    tenant.run("echo result > ~/out.txt")
    with open(os.path.join(tenant.user.home(), "out.txt")) as f:
        assert f.read() == "result\n"
    for place in ("/var/tmp", "/dev/shm"):
        tenant.run(f"touch {place}/{marker}")
        assert not os.path.exists(f"{place}/{marker}")


def test_a_tenant_sees_nothing_of_the_host_or_of_other_tenants():
    token = f"--api-token=FAKE-{os.getpid()}"
    host = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)", token])
    try:
        pool = PyUserPool(2, isolate=True)
        tenant, other = Tenant(pool), Tenant(pool)
        other.shell.send("sleep 777 &\n")
        # A second session of a tenant sees the first one's processes (one
        # PID namespace), and only the tenant's own.
        with other.another_shell() as second:
            assert wait_for(lambda: second.run("pgrep -c -x sleep").output.strip() == "1")
            assert second.run("ps -eo user= | sort -u").output.split() == [other.name]
        seen = tenant.run("ps -eo pid=,user=,args=").output
        assert token not in seen and "sleep 777" not in seen and other.name not in seen
        everything = tenant.run("cat /proc/[0-9]*/cmdline /proc/1/environ 2>/dev/null | tr '\\0' ' '").output
        assert "FAKE-" not in everything and "sleep" not in everything
        assert tenant.run(f"cat /proc/{host.pid}/cmdline").exit_status != 0
        # System V objects are the tenant's own, and gone with it.
        assert tenant.run("ipcmk -Q -p 0600").exit_status == 0
        made = tenant.run("ipcs -q | tail -n +4 | awk 'NF {print $1}'").output.split()
        host_queues = subprocess.run(["ipcs", "-q"], capture_output=True, text=True, timeout=10).stdout
        assert made and not any(k in host_queues for k in made)
        # No user namespace: no root anywhere.
        assert tenant.run("unshare -U -r true").exit_status != 0
        assert tenant.run("python3 -c 'import os; os.unshare(os.CLONE_NEWUSER)'").exit_status != 0
    finally:
        host.kill()
        host.wait(10)


def test_network_off_reaches_loopback_of_its_own_only():
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    server.settimeout(0.5)
    port = server.getsockname()[1]
    accepted = []

    def accept():
        try:
            accepted.append(server.accept())
        except OSError:
            pass

    listener = threading.Thread(target=accept)
    listener.start()
    try:
        pool = PyUserPool(1, isolate=True, network=False)
        tenant = Tenant(pool)
        reach = tenant.run(f"timeout 5 bash -c 'echo hi > /dev/tcp/127.0.0.1/{port}'; echo rc=$?", timeout=30)
        assert "rc=0" not in reach.output
        # Its own server, in one session, is reachable from its second.
        tenant.shell.send("python3 -c \"import socket; s = socket.create_server(('127.0.0.1', 47022)); "
                          "c, _ = s.accept(); c.sendall(b'from-the-first')\" &\n")
        with tenant.another_shell() as second:
            assert wait_for(lambda: second.run("ss -ltn | grep -c 47022").exit_status == 0)
            got = second.run("timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/47022; cat <&3'", timeout=30)
        assert "from-the-first" in got.output
    finally:
        listener.join(10)
        server.close()
    assert accepted == []


def test_release_leaves_no_holder_group_mount_or_process():
    before_children, before_mounts = our_children(), mount_table()
    pool = PyUserPool(1, isolate=True, network=False, max_processes=32, memory_limit=128 * MiB, cpu_limit=0.5)
    tenant = Tenant(pool)
    tenant.shell.send("(setsid sleep 300 &) ; nohup sleep 301 >/dev/null 2>&1 &\n")
    assert tenant.run("true").exit_status == 0
    assert len(our_children()) > len(before_children)  # the holder and su
    assert control_group_dirs(tenant.name)
    uid, name = tenant.uid, tenant.name
    tenant.release()
    assert live_processes(uid) == []
    assert our_children() == before_children
    assert control_group_dirs(name) == []
    assert mount_table() == before_mounts
    # The account is handed out again, contained as before.
    again = Tenant(pool)
    assert again.uid == uid
    assert again.run("ps -e --no-headers | wc -l").output.strip() in ("2", "3")


def test_each_option_contains_only_what_it_names():
    # The network off alone: its own loopback, the rest of the host as before.
    before = our_children()
    tenant = Tenant(PyUserPool(1, network=False))
    assert tenant.run("ip -o link | awk '{print $2}'").output == "lo:\n"
    assert int(tenant.run("ps -e --no-headers | wc -l").output) > 5
    tenant.release()
    assert our_children() == before
    # Limits alone: no namespace, the budget in a group and in RLIMIT_NPROC.
    tenant = Tenant(PyUserPool(1, max_processes=40))
    assert tenant.run("ulimit -u").output == "40\n"
    assert f"marrowfen/{tenant.name}" in tenant.run("cat /proc/self/cgroup").output
    assert int(tenant.run("ps -e --no-headers | wc -l").output) > 5
    name = tenant.name
    tenant.release()
    assert control_group_dirs(name) == []


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_leaves_the_parents_tenant_alone():
    tenant = Tenant(PyUserPool(1, isolate=True, max_processes=32))
    pid = os.fork()
    if pid == 0:  # drops its copies of the user and the shell, then ends
        tenant.user = tenant.shell = None
        gc.collect()
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert status == 0
    assert tenant.run("echo still-contained; ps -e --no-headers | wc -l").output.split()[0] == "still-contained"
    assert control_group_dirs(tenant.name)
