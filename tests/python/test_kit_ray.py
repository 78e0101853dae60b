"""marrowfen_kit.ray on a two-node Ray cluster of this machine.

Every node and every address is on 127.0.0.1 (conftest.py sets what Ray
needs for that, and for token authentication, before Ray is imported). The cluster starts once for
the module and is stopped at its end, when no Ray process and no process of
a tenant may be left. Needs root, the host account tools and Ray (which
`make test` installs into the 3.12 venv).
"""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import gc
import glob
import inspect
import io
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

import pytest

import marrowfen
from conftest import ACCOUNT_LOCK, host_accounts_unavailable, live_processes, wait_for
from marrowfen_kit.fs import MemPath
from marrowfen_kit.shell import CommandFailed, Shell, ShellEnded, ShellTimeout

ray = pytest.importorskip("ray", reason="Ray is not installed (make test installs it into the 3.12 venv)")
cluster_utils = pytest.importorskip("ray.cluster_utils")
kit_ray = pytest.importorskip("marrowfen_kit.ray")

pytestmark = [
    pytest.mark.skipif(host_accounts_unavailable() is not None, reason=host_accounts_unavailable() or ""),
    pytest.mark.timeout(240),
]

TENANTS_PER_NODE = 8
LOOPBACK = "127.0.0.1"
TRANSIT = os.path.join(tempfile.gettempdir(), "marrowfen-ray-*")  # where files wait on their way
# A lost node is noticed within about two seconds.
HEALTH_CHECKS = {"health_check_initial_delay_ms": 0, "health_check_period_ms": 500,
                 "health_check_timeout_ms": 500, "health_check_failure_threshold": 3}


def node_args(**extra):
    return dict(node_ip_address=LOOPBACK, num_cpus=1, include_dashboard=False,
                resources={kit_ray.TENANT_RESOURCE: TENANTS_PER_NODE}, **extra)


def descendants():
    """The pids of every live process below this one."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[0] not in "ZX":
                children.setdefault(int(fields[1]), []).append(int(entry))
    found, todo = set(), [os.getpid()]
    while todo:
        for child in children.get(todo.pop(), []):
            found.add(child)
            todo.append(child)
    return found


def mentioning(text):
    """The pids of live processes whose command line contains `text`."""
    found = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != os.getpid():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if text.encode() in f.read():
                        found.add(int(entry))
            except OSError:
                continue
    return found


def listeners(pids):
    """The local hosts on which any of `pids` listens (TCP and UDP)."""
    table = subprocess.run(["ss", "-H", "-tulnp"], capture_output=True, text=True, timeout=30).stdout
    addresses = []
    for line in table.splitlines():
        owners = {int(pid) for pid in re.findall(r"pid=(\d+)", line)}
        if owners & pids:
            host = line.split()[4].rsplit(":", 1)[0].strip("[]")
            addresses.append(host.removeprefix("::ffff:"))  # an IPv4 address as IPv6 writes it
    return addresses


@pytest.fixture(scope="module")
def cluster():
    """A head and a worker node, each offering TENANTS_PER_NODE tenants, and
    the driver connected; Ray's temporary directory under a parent only root
    may enter. The host-account lock is held throughout."""
    before = descendants()
    transit_before = set(glob.glob(TRANSIT))
    parent = tempfile.mkdtemp(prefix="marrowfen-ray-test-")
    with open(ACCOUNT_LOCK, "a") as lock, pytest.MonkeyPatch.context() as patch:
        fcntl.flock(lock, fcntl.LOCK_EX)
        patch.setenv("RAY_TMPDIR", kit_ray.prepare_temp_dir(parent))
        token = os.path.join(parent, "auth_token")
        with open(os.open(token, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
            f.write(secrets.token_hex(32))
        patch.setenv("RAY_AUTH_TOKEN_PATH", token)
        made = cluster_utils.Cluster(shutdown_at_exit=True)
        try:
            made.add_node(**node_args(_system_config=HEALTH_CHECKS))
            made.add_node(**node_args())
            made.wait_for_nodes(timeout=60)
            ray.init(address=made.address, _node_ip_address=LOOPBACK, log_to_driver=False,
                     logging_level="ERROR", configure_logging=False)
            yield made
        finally:
            ray.shutdown()
            made.shutdown()
            gc.collect()

            def leftovers():  # Ray's processes name the session directory; orphans are no descendants
                return (descendants() - before) | mentioning(parent)

            failing = sys.exc_info()[1] is not None  # kept, not hidden by what follows
            left = wait_for(lambda: not leftovers(), timeout=30)
            stray = leftovers()
            for pid in stray:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            shutil.rmtree(parent, ignore_errors=True)
            fcntl.flock(lock, fcntl.LOCK_UN)
            if not failing:
                assert left, f"processes left after the cluster was shut down: {sorted(stray)}"
                assert set(glob.glob(TRANSIT)) <= transit_before, "directories of files in transit were left"


@pytest.fixture
def pool(cluster):
    with kit_ray.RayShellPool(3, warm=1) as made:
        yield made


def uid_of(shell):
    return int(shell.run("id -u").output)


def test_the_cluster_listens_on_loopback_only(cluster):
    ray_processes = mentioning(os.environ["RAY_TMPDIR"])
    assert ray_processes & descendants(), "Ray's processes do not name its temporary directory"
    found = listeners(descendants() | ray_processes)
    assert found, "no listener of Ray was found"
    assert set(found) == {LOOPBACK}, found


def test_shells_on_both_nodes_run_commands_and_closing_releases_every_tenant(cluster, pool):
    assert len(pool.node_ids) == 2
    shells = [pool.acquire(timeout=60) for _ in range(6)]  # room for three on each node
    assert sorted(pool.node_ids) == sorted({shell.node_id for shell in shells})
    names = {shell.run("id -un").output for shell in shells}
    assert len(names) == 6 and all(name.startswith("test_") for name in names), names
    uids = [uid_of(shell) for shell in shells]

    # The local Shell's results and failures come back as they are.
    shell = shells[0]
    result = shell.run("printf 'a\\nb'; exit_with() { return $1; }; exit_with 3")
    assert (result.output, result.exit_status) == ("a\nb", 3)
    with pytest.raises(CommandFailed) as failed:
        shell.run("false", check=True)
    assert failed.value.result.exit_status == 1
    with pytest.raises(ShellTimeout) as timed_out:
        shell.run("echo started; sleep 30", timeout=0.5)
    assert (timed_out.value.timeout, timed_out.value.closed) == (0.5, False)
    assert "started" in timed_out.value.output
    assert shell.run("echo still here").output == "still here\n"

    # Every node is full: a hand-out waits, then gives up; one given back makes room.
    with pytest.raises(ShellTimeout):
        pool.acquire(timeout=0.3)
    node = shells[1].node_id
    pool.release(shells[1])
    with pytest.raises(ShellEnded, match="closed"):
        shells[1].run("true")
    shells[1] = pool.acquire(node_id=node, timeout=60)
    assert shells[1].node_id == node
    uids.append(uid_of(shells[1]))
    # A shell that ends by itself gives its place back too.
    node = shells[4].node_id
    with pytest.raises(ShellEnded):
        shells[4].run("exit 3")
    assert shells[4].closed
    shells[4] = pool.acquire(node_id=node, timeout=60)
    uids.append(uid_of(shells[4]))

    shells[2].run("sleep 600 &")  # a job that outlives its command
    pool.close()
    assert all(shell.closed for shell in shells)
    with pytest.raises(ShellEnded, match="closed"):
        shells[3].run("true")
    assert wait_for(lambda: not any(live_processes(uid) for uid in uids), timeout=30), \
        {uid: live_processes(uid) for uid in uids}


def test_arguments_are_checked_at_the_door(cluster, pool):
    for call, kind, name in [
        (lambda: kit_ray.RayShellPool("3"), TypeError, "per_node"),
        (lambda: kit_ray.RayShellPool(0), ValueError, "per_node"),
        (lambda: kit_ray.RayShellPool(1, warm=-1), ValueError, "warm"),
        (lambda: kit_ray.RayShellPool(TENANTS_PER_NODE + 1), ValueError, "per_node"),
        (lambda: pool.acquire(node_id=7), TypeError, "node_id"),
        (lambda: pool.acquire(node_id="f" * 56), ValueError, "node_id"),
        (lambda: pool.acquire(timeout=-1), ValueError, "timeout"),
        (lambda: pool.release(object()), TypeError, "shell"),
    ]:
        with pytest.raises(kind, match=name):
            call()
    with pool.acquire(timeout=60) as shell:
        for call, kind, name in [
            (lambda: shell.run(None), TypeError, "command"),
            (lambda: shell.run("true", timeout="5"), TypeError, "timeout"),
            (lambda: shell.run("true", timeout=float("nan")), ValueError, "timeout"),
            (lambda: shell.put(3, "x"), TypeError, "source"),
            (lambda: shell.get("x", dest=3), TypeError, "dest"),
        ]:
            with pytest.raises(kind, match=name):
                call()
        assert shell.run("true").exit_status == 0  # nothing of the above cost the shell
    # The pool's own options are checked by the nodes' PyUserPool and come back as they are.
    with pytest.raises(TypeError):
        kit_ray.RayShellPool(1, no_such_option=True)


def test_many_async_shells_at_once(cluster):
    async def work():
        async with kit_ray.AsyncRayShellPool(TENANTS_PER_NODE, warm=2) as pool:
            shells = await asyncio.gather(*(pool.acquire(timeout=60) for _ in range(16)))
            assert len({shell.node_id for shell in shells}) == 2
            results = await asyncio.gather(*(shell.run(f"sleep 0.2; echo {n}") for n, shell in enumerate(shells)))
            assert [result.output for result in results] == [f"{n}\n" for n in range(16)]
            with pytest.raises(ShellTimeout):
                await shells[0].run("sleep 30", timeout=0.3)
            # Cancelling a run interrupts its command on the node: the next one comes at once.
            running = asyncio.create_task(shells[1].run("sleep 60", timeout=None))
            await asyncio.sleep(1)
            running.cancel()
            with pytest.raises(asyncio.CancelledError):
                await running
            assert (await asyncio.wait_for(shells[1].run("echo next"), 20)).output == "next\n"
            await pool.release(shells[0])
            with pytest.raises(ShellEnded):
                await shells[0].run("true")
        assert all(shell.closed for shell in shells)

    asyncio.run(asyncio.wait_for(work(), 180))


def shell_has(name, parameter=None):
    method = getattr(Shell, name, None)
    return method is not None and (parameter is None or parameter in inspect.signature(method).parameters)


@pytest.mark.skipif(not (shell_has("put") and shell_has("get")),
                    reason="the local Shell has no put()/get() in this build")
def test_files_round_trip_through_the_driver(cluster, pool, tmp_path):
    tree = tmp_path / "tree"
    (tree / "sub" / "empty").mkdir(parents=True)
    (tree / "sub" / "data.bin").write_bytes(bytes(range(256)) * 4)
    (tree / "run.sh").write_text("#!/bin/sh\necho ran\n")
    (tree / "run.sh").chmod(0o755)
    big = os.urandom(kit_ray.INLINE_LIMIT * 8)  # through the object store, both ways
    fs = marrowfen.PyFs()
    memory = MemPath(fs, "/in")
    (memory / "deep").mkdir(parents=True)
    (memory / "deep" / "note.txt").write_text("from memory\n")

    with pool.acquire(timeout=60) as shell:
        shell.put(tree, "tree")
        shell.put(big, "big.bin")
        shell.put(memory, "mem")
        assert shell.run("./tree/run.sh; cat mem/deep/note.txt; stat -c %a tree/sub; ls -1 tree/sub").output == \
            "ran\nfrom memory\n700\ndata.bin\nempty\n"
        assert shell.get("big.bin") == big
        shell.get("tree", tmp_path / "back")
        assert (tmp_path / "back" / "sub" / "data.bin").read_bytes() == bytes(range(256)) * 4
        assert (tmp_path / "back" / "sub" / "empty").is_dir()
        shell.get("tree/sub", MemPath(fs, "/out"))
        assert MemPath(fs, "/out/data.bin").read_bytes() == bytes(range(256)) * 4
        with pytest.raises(ValueError):
            shell.put(b"x", "/etc/outside")


def test_the_node_hands_files_to_the_shell_and_takes_them_back(cluster, tmp_path, monkeypatch):
    """The node's side of put() and get(), with stand-ins for the local
    Shell's put() and get() that copy as root (the real ones are tested with
    the shell)."""
    handed = []

    def put(shell, source, dest):
        handed.append(source)
        if isinstance(source, bytes):
            source_path = tmp_path / "bytes"
            source_path.write_bytes(source)
            source = str(source_path)
        subprocess.run(["cp", "-r", source, shell.run("pwd").output.strip() + "/" + dest], check=True, timeout=30)

    def get(shell, source, dest=None):
        path = shell.run("pwd").output.strip() + "/" + source
        if dest is None:
            with open(path, "rb") as f:
                return f.read()
        subprocess.run(["cp", "-r", path, dest], check=True, timeout=30)
        return None

    monkeypatch.setattr(Shell, "put", put, raising=False)
    monkeypatch.setattr(Shell, "get", get, raising=False)
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "sub" / "file").write_bytes(b"content")
    node = kit_ray._node.NodeShells(1, 0, {})
    assert node.open().failure is None
    try:
        number = node.acquire(60).unwrap()
        assert node.put_archive(number, kit_ray._transfer.pack_host(tree), "tree").unwrap() is None
        assert handed[0].endswith("/item") and not os.path.exists(os.path.dirname(handed[0]))  # unpacked, then removed
        assert node.put_bytes(number, b"raw", "raw").unwrap() is None and handed[1] == b"raw"
        assert node.get_bytes(number, "tree/sub/file").unwrap() == b"content"
        kit_ray._transfer.unpack(node.get_archive(number, "tree").unwrap(), str(tmp_path / "back"))
        assert (tmp_path / "back" / "item" / "sub" / "file").read_bytes() == b"content"
        failed = node.get_bytes(number, "missing")
        assert failed.failure is not None and not failed.ended  # a failed get costs nothing
        assert node.run(number, "echo ok", 10, False, {}).unwrap().output == "ok\n"
    finally:
        node.close()
    assert node.run(number, "true", 10, False, {}).ended


@pytest.mark.skipif(not shell_has("run", "input"), reason="the local Shell's run() has no input/env/cwd in this build")
def test_run_with_input_env_and_cwd(cluster, pool):
    large = bytes(range(256)) * (kit_ray.INLINE_LIMIT // 128)
    with pool.acquire(timeout=60) as shell:
        assert shell.run("wc -c", input=large).output.strip() == str(len(large))
        # Ctrl-C, Ctrl-D and NUL reach the command as bytes, not as the terminal's signals.
        assert shell.run("wc -c", input=b"a\x03\x04\0b").output.strip() == "5"
        shell.run("mkdir -p work")
        result = shell.run('echo "$GREETING"; pwd', env={"GREETING": "hello"}, cwd="work")
        assert result.output.splitlines()[0] == "hello" and result.output.rstrip().endswith("/work")
        assert not shell.run("pwd").output.rstrip().endswith("/work")


def test_a_lost_node_ends_its_shells_and_the_rest_go_on(cluster):
    doomed = cluster.add_node(**node_args())
    cluster.wait_for_nodes(timeout=60)
    contained = {"isolate": True} if marrowfen_can_isolate() else {}
    uids = []
    try:
        with kit_ray.RayShellPool(2, warm=0, **contained) as keeping, \
                kit_ray.RayShellPool(2, warm=0, replace=True, **contained) as replacing:
            assert doomed.node_id in keeping.node_ids and len(keeping.node_ids) == 3
            lost = keeping.acquire(node_id=doomed.node_id, timeout=60)
            moved = replacing.acquire(node_id=doomed.node_id, timeout=60)
            survivor = keeping.acquire(node_id=cluster.head_node.node_id, timeout=60)
            uids += [uid_of(lost), uid_of(moved)]

            ended = []

            def long_command():
                try:
                    lost.run("sleep 120", timeout=None)  # only the loss can end it
                except ShellEnded as error:
                    ended.append(error)

            runner = threading.Thread(target=long_command, daemon=True)
            runner.start()
            time.sleep(1)  # the command is running on the node
            cluster.remove_node(doomed)
            runner.join(60)
            assert not runner.is_alive(), "the call of a lost node's shell did not end"
            assert re.search(f"node {doomed.node_id} was lost", str(ended[0])), ended
            assert ended[0].command == "sleep 120" and lost.closed

            with pytest.raises(ShellEnded, match="took its place"):
                moved.run("true")
            assert moved.node_id != doomed.node_id and moved.run("echo moved").output == "moved\n"

            assert survivor.run("echo alive").output == "alive\n"
            assert doomed.node_id not in keeping.node_ids
            with pytest.raises(ValueError, match="node_id"):
                keeping.acquire(node_id=doomed.node_id, timeout=1)
            assert keeping.acquire(timeout=60).node_id != doomed.node_id
    finally:
        if doomed in cluster.worker_nodes:
            cluster.remove_node(doomed)
        # A lost actor never releases its accounts: a contained tenant dies
        # with its holder; an uncontained one may leave processes behind.
        if not contained:
            for uid in uids:
                subprocess.run(["pkill", "-KILL", "-U", str(uid)], timeout=30)
    if contained:
        assert wait_for(lambda: not any(live_processes(uid) for uid in uids), timeout=30)


def marrowfen_can_isolate():
    try:
        marrowfen.PyUserPool(0, isolate=True)
    except TypeError:
        return False
    except ValueError:
        return True
    return True


def tree_of(root):
    """{relative path: (mode bits, bytes or None for a directory)} of a host tree."""
    found = {}
    for path in sorted(root.rglob("*")):
        mode = path.stat().st_mode & 0o777
        found[path.relative_to(root).as_posix()] = (mode, None if path.is_dir() else path.read_bytes())
    return found


def test_trees_travel_whole_and_hostile_archives_are_refused(tmp_path):
    transfer = kit_ray._transfer
    source = tmp_path / "source"
    (source / "a" / "empty").mkdir(parents=True)
    (source / "a" / "tool").write_bytes(b"#!/bin/sh\n")
    (source / "a" / "tool").chmod(0o755)
    (source / "data").write_bytes(os.urandom(3000))
    (source / "data").chmod(0o640)
    item = transfer.unpack(transfer.pack_host(source), str(tmp_path / "one"))
    assert tree_of(tmp_path / "one" / "item") == tree_of(source)
    transfer.place_host(item, tmp_path / "placed")
    transfer.place_host(item, tmp_path / "placed")  # again, onto what is there
    assert tree_of(tmp_path / "placed") == tree_of(source)

    fs = marrowfen.PyFs()
    transfer.place_mem(item, MemPath(fs, "/copy"))
    assert MemPath(fs, "/copy/data").read_bytes() == (source / "data").read_bytes()
    assert MemPath(fs, "/copy/a/empty").is_dir()
    transfer.unpack(transfer.pack_mem(MemPath(fs, "/copy")), str(tmp_path / "two"))
    back = tree_of(tmp_path / "two" / "item")
    assert back["data"] == (0o600, (source / "data").read_bytes()) and back["a/empty"][1] is None
    with pytest.raises(FileNotFoundError):
        transfer.pack_mem(MemPath(fs, "/missing"))
    with pytest.raises(FileNotFoundError):
        transfer.pack_host(tmp_path / "missing")

    def archive(*entries):
        buffer = io.BytesIO()
        with tarfile.open(fileobj=buffer, mode="w") as made:
            for name, kind, target in entries:
                entry = tarfile.TarInfo(name)
                entry.type, entry.linkname = kind, target
                made.addfile(entry)
        return buffer.getvalue()

    for n, hostile in enumerate([
        archive(("item", tarfile.DIRTYPE, ""), ("item/../../escaped", tarfile.REGTYPE, "")),
        archive(("item", tarfile.DIRTYPE, ""), ("item/link", tarfile.SYMTYPE, "/etc")),
        archive(("item", tarfile.DIRTYPE, ""), ("item/dev", tarfile.CHRTYPE, "")),
        archive(("/tmp/item", tarfile.REGTYPE, "")),
        archive(("other", tarfile.REGTYPE, "")),
    ]):
        with pytest.raises((ValueError, tarfile.TarError)):
            transfer.unpack(hostile, str(tmp_path / f"hostile{n}"))
    assert not (tmp_path / "escaped").exists()


@pytest.fixture
def open_directory():
    """A directory in /tmp that everyone may enter (pytest's own is root's alone)."""
    path = tempfile.mkdtemp(prefix="marrowfen-ray-open-")
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path)


def test_ray_temporary_directory_closed_to_tenants(open_directory):
    closed_to_tenants = kit_ray._temp_dir.closed_to_tenants
    shared = os.path.join(open_directory, "shared")
    os.mkdir(shared)
    os.chmod(shared, 0o1777)  # as Ray makes /tmp/ray
    assert not closed_to_tenants(os.path.join(shared, "ray"))
    closed = kit_ray.prepare_temp_dir(os.path.join(open_directory, "closed"))
    assert (os.stat(closed).st_mode & 0o777, os.stat(closed).st_uid) == (0o700, 0)
    assert closed_to_tenants(os.path.join(closed, "ray", "session_latest"))
    os.symlink(closed, os.path.join(open_directory, "link"))
    assert closed_to_tenants(os.path.join(open_directory, "link", "ray"))
    os.chmod(closed, 0o755)
    assert kit_ray.prepare_temp_dir(closed) == closed and os.stat(closed).st_mode & 0o777 == 0o700
    with open(os.path.join(open_directory, "file"), "w"):
        pass
    for parent, kind, text in [(os.path.join(open_directory, "file"), ValueError, "not a directory"),
                               (os.path.join(open_directory, "link"), ValueError, "not a directory"),
                               ("relative", ValueError, "absolute"), (3, TypeError, "parent")]:
        with pytest.raises(kind, match=text):
            kit_ray.prepare_temp_dir(parent)


def test_a_pool_whose_tenants_could_reach_ray_is_refused(cluster, open_directory, monkeypatch):
    node = kit_ray._node
    # What Ray reports is what this module's cluster does.
    assert node._ray_temp_dir().startswith(os.environ["RAY_TMPDIR"] + "/") and node._ray_authenticates()
    refusals = [
        ({}, os.path.join(open_directory, "ray"), True, "is open to the tenants"),
        ({}, None, True, "cannot tell"),
        ({}, os.environ["RAY_TMPDIR"], False, "token authentication"),
        ({"isolate": True}, os.path.join(open_directory, "ray"), False, "token authentication"),
    ]
    for options, temp_dir, authenticates, text in refusals:
        monkeypatch.setattr(node, "_ray_temp_dir", lambda temp_dir=temp_dir: temp_dir)
        monkeypatch.setattr(node, "_ray_authenticates", lambda authenticates=authenticates: authenticates)
        with pytest.raises(ValueError, match=text):
            node.check_reach(options)
    # Tenants with a network of their own reach neither Ray's ports nor, contained, its files.
    node.check_reach({"isolate": True, "network": False})


def test_the_kit_imports_without_ray():
    probe = ("import sys; sys.modules['ray'] = None\n"
             "import marrowfen_kit, marrowfen_kit.shell\n"
             "try:\n    import marrowfen_kit.ray\n"
             "except ImportError as error:\n    print(error)\n")
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert result.stdout == "marrowfen_kit.ray needs Ray: pip install 'marrowfen[ray]'\n", result.stderr
