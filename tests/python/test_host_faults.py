"""Host faults and bad input for the pool and its sessions: each gives its
documented error or warning, leaves the pool usable (but for a poisoned lock
where one is due) and hangs nothing."""

import contextlib
import gc
import os
import re
import shutil
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import (
    ALLOCATION_FAILED,
    HOME_ROOT,
    live_processes,
    lstat_but_access_time,
    needs_host_accounts,
    path_set,
    raised,
    read_until,
    redirected_fd,
    remove_planted,
    restore_home_roots_put_aside,
    round_trip,
    sentinel_command,
    spawn_with_pid,
    wait_for,
)
from marrowfen import PyUserPool

pytestmark = [needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(90)]

POISONED = "☢️ Poisoned lock: "
ENOENT = "No such file or directory (os error 2)"


def panic_text(call):
    e = raised(call)
    assert type(e).__name__ == "PanicException" and not isinstance(e, Exception), repr(e)
    return e.args[0]


def test_spawn_without_su(tmp_path):
    pool = PyUserPool(1)
    user = pool.allocate()
    with path_set(str(tmp_path)):
        with pytest.raises(ValueError) as e:
            user.spawn()
    assert e.value.args == (f"Failed to create the terminal session: {ENOENT}",)
    round_trip(user.spawn())
    # The failed spawn kept no hold on the account.
    del user
    pool.allocate()


# A new account is made only when the pool draws a name that `id` does not
# know. Every name the generator draws exists on a machine that ran the tests
# before, so a stand-in `id` that knows nobody (exits 1) sends the pool on to
# `useradd`, which is then missing from PATH. No account is made either way.
@pytest.mark.parametrize("tool, shim_bodies", [("id", {}), ("useradd", {"id": "exit 1"})])
def test_an_account_tool_that_cannot_run_poisons_the_pool(tool, shim_bodies, shims, monkeypatch):
    pool = PyUserPool(4)
    held = pool.allocate()
    uid = held.uid()
    session = held.spawn()
    for name, body in shim_bodies.items():
        shims.add(name, body)
    with path_set(shims.dir):
        assert panic_text(pool.allocate) == f"Failed to execute the command `{tool}`: {ENOENT}"
    # One question, of the next name the pool drew (the fixed seed's second,
    # unless another process on the host holds one of the first names).
    asked = shims.calls("id")
    if tool == "id":
        assert asked == []
    else:
        assert len(asked) == 1 and re.fullmatch(r"-u test_[A-Za-z0-9]{8}", asked[0]), asked
        assert asked != [f"-u {held.username()}"]
    assert panic_text(pool.allocate).startswith(POISONED)
    assert panic_text(pool.allocate).startswith(POISONED)

    # Its users still work; their release still kills the account's processes,
    # then meets the poisoned lock, which no caller is left to hear.
    round_trip(session)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    del held, session
    gc.collect()
    assert live_processes(uid) == []
    assert [(type(u.exc_value).__name__, u.exc_value.args[0][:len(POISONED)]) for u in unraisable] \
        == [("PanicException", POISONED)]
    # Other pools are not affected.
    round_trip(PyUserPool(1).allocate().spawn())


def test_release_without_pkill(tmp_path):
    pool = PyUserPool(1)
    user = pool.allocate()
    name, uid = user.username(), user.uid()
    session = user.spawn()
    session.write(b"(trap '' TERM HUP; exec sleep 1000) </dev/null >/dev/null 2>&1 & disown\n")
    assert wait_for(lambda: len(live_processes(uid)) >= 2)
    with path_set(str(tmp_path)), redirected_fd(2) as err:
        del user, session
    assert err() == ("⚠️ Failed to kill all processes of the user: "
                     f"Failed to execute the command `pkill`: {ENOENT}\n")
    assert live_processes(uid) == []
    assert pool.allocate().username() == name


def test_a_shell_that_exits_by_itself(tmp_path):
    pool = PyUserPool(1)
    user = pool.allocate()
    session = user.spawn()
    session.write(b"exit\n")
    data, sizes = read_until(session, b"\0")  # to the end of the stream
    assert sizes[-1] == 0
    assert read_until(session, b"\0", err=True)[1][-1] == 0
    assert (session.read(), session.read(), session.read_err()) == (b"", b"", b"")

    # The output can end a moment before su lets go of its input.
    def write_fails():
        try:
            session.write(b"\n")  # noqa: F821 -- runs before the del below
        except ValueError as e:
            return e.args
    assert wait_for(write_fails) == ("Failed to write to the stdin of the process: Broken pipe (os error 32)",)
    assert session.close() is None
    del session
    round_trip(user.spawn())


@pytest.mark.parametrize("victim", ["su", "shell"])
def test_a_session_killed_from_outside(victim):
    pool = PyUserPool(1)
    user = pool.allocate()
    session, su = spawn_with_pid(user)
    round_trip(session)
    if victim == "su":
        os.kill(su, 9)
    else:
        for pid in live_processes(user.uid()):
            os.kill(pid, 9)
    # Both streams end (su may first report the death on stderr).
    assert read_until(session, b"\0")[1][-1] == 0
    assert read_until(session, b"\0", err=True)[1][-1] == 0
    assert (session.read(), session.read(16), session.read_err()) == (b"", b"", b"")
    assert session.close() is None and session.close() is None
    round_trip(user.spawn())


def plant(kind, home, outside):
    """Puts something of `kind` at the home path; returns a check that it is
    kept, for what must survive the allocation."""
    if kind == "file":
        with open(home, "w") as f:
            f.write("mine")
        return lambda: open(home).read() == "mine"
    if kind == "fifo":
        os.mkfifo(home)
        return lambda: stat.S_ISFIFO(os.lstat(home).st_mode)
    if kind == "tree":
        os.makedirs(f"{home}/a/b")
        os.symlink(outside, f"{home}/a/b/link")
        os.symlink("/etc/passwd", f"{home}/passwd")
    if kind == "link to a dir":
        os.symlink(outside, home)
    if kind == "dangling link":
        os.symlink(f"{outside}/nowhere", home)
    return None


@pytest.mark.parametrize("kind, error", [
    ("tree", None),
    ("link to a dir", None),
    ("dangling link", None),
    ("file", "Failed to remove the existing temporary home directory"),
    ("fifo", "Failed to remove the existing temporary home directory"),
])
def test_whatever_is_at_the_home_path(kind, error, tmp_path):
    first = PyUserPool(1).allocate()  # the first account of every fresh pool
    home, uid = first.home(), first.uid()
    del first
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep").write_text("keep")
    before = lstat_but_access_time(outside)
    passwd = lstat_but_access_time("/etc/passwd")
    shutil.rmtree(home)
    kept = plant(kind, home, outside)

    pool = PyUserPool(1)
    try:
        if error:
            with pytest.raises(ValueError) as e:
                pool.allocate()
            assert e.value.args == (error,)
            assert kept()
            os.unlink(home)
        user = pool.allocate()  # the failure gave the account back
        st = os.lstat(user.home())
        assert user.home() == home and stat.S_ISDIR(st.st_mode) and st.st_uid == user.uid()
        assert os.listdir(home) == []
    finally:
        remove_planted(home, uid)
    # Links were removed, never followed.
    assert (outside / "keep").read_text() == "keep" and lstat_but_access_time(outside) == before
    assert lstat_but_access_time("/etc/passwd") == passwd


@contextlib.contextmanager
def home_root_as(kind, tmp_path):
    """Makes the home root something that others could have planted or could
    change, and puts the real one back whatever happens."""
    original = os.lstat(HOME_ROOT)
    aside = f"{HOME_ROOT}.aside-{os.getpid()}"
    moved = kind in ("link", "file")
    try:
        if moved:
            os.rename(HOME_ROOT, aside)
            if kind == "link":
                (tmp_path / "root").mkdir(mode=0o755)
                os.symlink(tmp_path / "root", HOME_ROOT)
            else:
                open(HOME_ROOT, "w").close()
        elif kind == "another owner":
            os.chown(HOME_ROOT, 1, 1)
        else:
            os.chmod(HOME_ROOT, {"group-writable": 0o775, "world-writable": 0o777}[kind])
        yield
    finally:
        if moved:
            if os.path.lexists(HOME_ROOT) and not stat.S_ISDIR(os.lstat(HOME_ROOT).st_mode):
                os.unlink(HOME_ROOT)
            os.rename(aside, HOME_ROOT)
        os.chown(HOME_ROOT, original.st_uid, original.st_gid)
        os.chmod(HOME_ROOT, stat.S_IMODE(original.st_mode))


def test_a_home_root_left_aside_by_a_killed_run_is_put_back(tmp_path):
    finished = subprocess.Popen(["true"])
    finished.wait(timeout=10)
    dead, alive = finished.pid, os.getpid()

    def root_with(name, planted):
        root = tmp_path / name / "home"
        root.parent.mkdir()
        aside = Path(f"{root}.aside-{dead}")
        aside.mkdir()
        (aside / "kept").write_text("kept")
        if planted == "link":
            root.symlink_to(tmp_path)
        elif planted == "file":
            root.write_text("")
        elif planted == "directory":
            root.mkdir()
        return root, aside

    for planted in ("nothing", "link", "file"):
        root, aside = root_with(planted, planted)
        assert restore_home_roots_put_aside(str(root)) == [str(aside)]
        assert not root.is_symlink() and (root / "kept").read_text() == "kept" and not aside.exists()
    # A root that is a directory again, or an aside of a live run, stays.
    root, aside = root_with("directory", "directory")
    assert restore_home_roots_put_aside(str(root)) == []
    assert (aside / "kept").exists() and os.listdir(root) == []
    root, aside = root_with("live", "nothing")
    aside.rename(f"{root}.aside-{alive}")
    assert restore_home_roots_put_aside(str(root)) == [] and not root.exists()


@pytest.mark.parametrize("kind", ["link", "file", "another owner", "group-writable", "world-writable"])
def test_a_home_root_that_is_not_ours(kind, tmp_path):
    pool = PyUserPool(1)
    pool.allocate()  # the root exists, and the account is free again
    with home_root_as(kind, tmp_path):
        with pytest.raises(ValueError) as e:
            pool.allocate()
        assert e.value.args == ("Failed to create the parent folder of the temporary home directory",)
        if kind == "link":
            assert os.listdir(tmp_path / "root") == []
    round_trip(pool.allocate().spawn())


# 4 threads, 10 rounds each, 3 accounts: allocations meet exhaustion and
# releases of other threads; no account is ever held by two at once.
def test_concurrent_allocations_and_releases():
    pool = PyUserPool(3)
    guard = threading.Lock()
    held, most, handed, failures = set(), [0], [0], []

    def rounds(tag):
        try:
            for i in range(10):
                while True:
                    try:
                        user = pool.allocate()
                        break
                    except ValueError as e:
                        assert e.args == (ALLOCATION_FAILED,)
                        time.sleep(0.01)
                name = user.username()
                with guard:
                    assert name not in held, f"{name} handed out twice at once"
                    held.add(name)
                    most[0] = max(most[0], len(held))
                    handed[0] += 1
                command, expected = sentinel_command(f"t{tag}r{i}")
                session = user.spawn()
                session.write(command)
                assert expected in read_until(session, expected, timeout=30)[0]
                with guard:
                    held.discard(name)
                del session, user
        except BaseException as e:  # noqa: B036 - reported below
            failures.append(e)

    threads = [threading.Thread(target=rounds, args=(t,), daemon=True) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(75)
    assert not any(t.is_alive() for t in threads), "deadlock"
    assert failures == []
    assert handed[0] == 40 and most[0] <= 3
    users = [pool.allocate() for _ in range(3)]  # every account came back
    assert len({u.username() for u in users}) == 3


# 2**63 and more do not fit a bytes object at all, sys.maxsize is refused by
# the interpreter's allocator; negative sizes are refused by the conversion.
@pytest.mark.parametrize("size, error, message", [
    (sys.maxsize, (OverflowError, MemoryError), None),
    (2**63, "PanicException", "capacity overflow"),
    (2**64 - 1, "PanicException", "capacity overflow"),
    (2**64, OverflowError, None),
    (-1, OverflowError, None),
    (-(2**64), OverflowError, None),
    ("1", TypeError, "argument 'buffer': 'str' object cannot be interpreted as an integer"),
    (1.0, TypeError, "argument 'buffer': 'float' object cannot be interpreted as an integer"),
])
def test_read_sizes_that_are_refused(size, error, message):
    session = PyUserPool(1).allocate().spawn()
    command, expected = sentinel_command("after")
    for read in (session.read, session.read_err):
        e = raised(lambda: read(size))  # noqa: B023 -- called at once
        if error == "PanicException":
            assert type(e).__name__ == error
        else:
            assert type(e) in (error if isinstance(error, tuple) else (error,)), repr(e)
        if message:
            assert e.args == (message,)
    # Nothing was read or lost.
    session.write(command)
    assert expected in read_until(session, expected)[0]


def test_read_sizes_that_are_served():
    session = PyUserPool(1).allocate().spawn()
    round_trip(session)
    session.write(b"printf '%70000s' | tr ' ' z; " + sentinel_command("big")[0])
    first, sizes = read_until(session, b"z", size=1)
    assert sizes == [1] * len(first)
    big = session.read(1 << 20)
    assert 0 < len(big) <= 1 << 20
    rest, sizes = read_until(session, b"big:42", size=1 << 20)
    assert max(sizes) <= 1 << 20 and b"z" * 70000 in first + big + rest
