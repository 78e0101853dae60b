import contextlib
import fcntl
import gc
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import tomllib
from pathlib import Path

import pytest

import marrowfen

# Ray reads these when it is imported, which may come before test_kit_ray.py
# starts its cluster (test_api_docs.py imports the kit's Ray bridge at
# collection): that cluster stays on loopback, sends no usage reports and
# lets in only callers with its token.
os.environ.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0", RAY_USAGE_STATS_ENABLED="0", RAY_AUTH_MODE="token")

# The [project] table of pyproject.toml, where the version has its one source.
PYPROJECT = tomllib.loads(
    (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text(encoding="utf-8"))["project"]
VERSION_TEXT = f"marrowfen {PYPROJECT['version']}\n"  # what `rm -V` prints


# ---------------------------------------------------------------------------
# Packaging: the wheel and the sdist are built by the Makefile's recipes and
# installed into fresh virtual environments.

def run_checked(args, timeout, **kwargs):
    """Runs a command to its end, failing the test on a non-zero status or
    when it takes longer than `timeout` seconds."""
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, **kwargs)
    assert result.returncode == 0, f"{args} failed:\n{result.stdout}\n{result.stderr}"
    return result


def check_installed_module(venv, cwd):
    """Uses marrowfen in the venv's Python, isolated from the source tree;
    returns the directory it was imported from, which is in the venv."""
    probe = (
        "import marrowfen\n"
        "fs = marrowfen.PyFs(); fs.mkdir('/d')\n"
        "term = marrowfen.PyTerm(fs)\n"
        "print(marrowfen.__file__)\n"
        "print(term.exec('ls'), end='')\n"
        "try:\n"
        "    term.exec('rm -V')\n"
        "except ValueError as e:\n"
        "    print(e, end='')\n"
    )
    result = run_checked([Path(venv) / "bin" / "python", "-I", "-c", probe], timeout=60, cwd=cwd)
    location, listing, version = result.stdout.splitlines(keepends=True)
    assert Path(location.strip()).is_relative_to(venv), location
    assert (listing, version) == ("d/\n", "rm: " + VERSION_TEXT)
    return Path(location.strip()).parent


@pytest.fixture
def fs():
    return marrowfen.PyFs()


class Captured:
    """What was written to a redirected file descriptor; readable during the
    redirection and after it."""

    def __init__(self, sink):
        self._sink = sink
        self._final = None

    def __call__(self):
        if self._final is not None:
            return self._final
        self._sink.seek(0)
        return self._sink.read().decode("utf-8", "replace")

    def finish(self):
        self._final = self()


@contextlib.contextmanager
def redirected_fd(fd):
    """Points a file descriptor of the process at a temporary file for the
    duration of the block; yields a Captured. Use it inside the test body:
    pytest's own capturing re-points fds 1 and 2 between the phases of a
    test, which would undo a redirection made by a fixture."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(fd)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), fd)
        captured = Captured(sink)
        try:
            yield captured
        finally:
            os.dup2(saved, fd)
            os.close(saved)
            captured.finish()


@pytest.fixture
def nothing_on_stdout(capfd):
    """Fails the test when anything reached file descriptor 1 during it: the
    kit's tests use it, since the kit prints nothing."""
    yield
    out = capfd.readouterr().out
    assert out == "", f"printed on file descriptor 1: {out[:200]!r}"


def lstat_but_access_time(path):
    """What a change to `path` itself shows in its status, without following a
    link: type and mode, owner, size, links, modification and change times.
    Not its access time, which a mere read moves once the entry has changed
    since it was last read (a listing of /etc after an account was made)."""
    st = os.lstat(path)
    return (st.st_ino, st.st_mode, st.st_uid, st.st_gid, st.st_nlink, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def remove_planted(path, owner):
    """Removes what a test planted at `path` (a file, a link, a tree of
    another owner), so that a failing test leaves it to no later hand-out;
    an account's own home (a directory `owner` owns) stays."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISDIR(st.st_mode):
        os.unlink(path)
    elif st.st_uid != owner:
        shutil.rmtree(path)  # removes links inside, never follows them


def raised(call):
    """The exception (of any class, PanicException included) that `call` raises."""
    try:
        call()
    except BaseException as e:  # noqa: B036 - PanicException is a BaseException
        return e
    pytest.fail("no exception was raised")


# ---------------------------------------------------------------------------
# Host accounts: the pool, user and session tests make real accounts and run
# real shells as them.

HOME_ROOT = "/tmp/tmp_user_home"
ACCOUNT_LOCK = "/tmp/marrowfen-host-account-tests.lock"
ALLOCATION_FAILED = "Failed to allocate a new user account"


def host_accounts_unavailable():
    """Why real accounts and shells cannot be used here, or None."""
    if os.geteuid() != 0:
        return "needs root: it creates host accounts and changes file ownership"
    for tool in ("id", "useradd", "su", "pkill"):
        if shutil.which(tool) is None:
            return f"needs the host command `{tool}` in PATH"
    return None


needs_host_accounts = pytest.mark.skipif(
    host_accounts_unavailable() is not None, reason=host_accounts_unavailable() or "")


@pytest.fixture
def account_lock():
    """Holds the lock that every test process handing out the fixed-seed
    accounts takes (the C++ pool tests too): a release kills every process of
    its account, including the shells of another test run. Whatever the test
    left behind is dropped before the lock is let go."""
    with open(ACCOUNT_LOCK, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            gc.collect()
            fcntl.flock(lock, fcntl.LOCK_UN)


def _pid_is_dead(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        pass
    return False


def _asides_of_dead_runs(root):
    """The `<root>.aside-<pid>` paths whose test process is gone."""
    parent, prefix = os.path.dirname(root), os.path.basename(root) + ".aside-"
    try:
        names = os.listdir(parent)
    except OSError:
        return []
    return [os.path.join(parent, name) for name in names
            if name.startswith(prefix) and name[len(prefix):].isdigit() and _pid_is_dead(int(name[len(prefix):]))]


def restore_home_roots_put_aside(root=HOME_ROOT):
    """Puts back a home root that a test process set aside (as
    `<root>.aside-<pid>`, test_host_faults.py) and was killed before it could
    restore it: only when that process is dead and the root is missing or is
    what such a test plants in its place (a link or a file). A root that is a
    directory again is left alone, and so is its aside copy. Returns the aside
    paths put back."""
    restored = []
    for aside in _asides_of_dead_runs(root):
        try:
            if not stat.S_ISDIR(os.lstat(aside).st_mode):
                continue
            if os.path.lexists(root):
                if stat.S_ISDIR(os.lstat(root).st_mode):
                    continue
                os.unlink(root)
            os.rename(aside, root)
            restored.append(aside)
        except OSError:
            continue
    return restored


def pytest_sessionstart(session):
    # Only when a dead run left one, and then under the account lock, so that
    # no live test is setting the root aside meanwhile; without the lock in
    # time, nothing is touched.
    if os.geteuid() != 0 or not _asides_of_dead_runs(HOME_ROOT):
        return
    deadline = time.monotonic() + 30
    with open(ACCOUNT_LOCK, "a") as lock:
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    return
                time.sleep(0.1)
        try:
            restore_home_roots_put_aside()
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def host_account_test(timeout=60):
    """Marks a test that makes real accounts and shells: skipped where they
    cannot be made, run under account_lock, failed if it outlives `timeout`
    seconds."""
    marks = (needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(timeout))

    def apply(test):
        for mark in marks:
            test = mark(test)
        return test

    return apply


class Shims:
    """A directory of stand-in host programs: small sh scripts, each of which
    appends its arguments as one line to <dir>/<name>.log before its body."""

    def __init__(self, directory):
        self.dir = str(directory)
        os.makedirs(self.dir, exist_ok=True)

    def add(self, name, body):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(f'#!/bin/sh\necho "$*" >> "{path}.log"\n{body}\n')
        os.chmod(path, 0o755)

    def add_recording(self, name):
        """A shim that logs, then runs the real program found in PATH now."""
        self.add(name, f'exec "{shutil.which(name)}" "$@"')

    def calls(self, name):
        try:
            with open(os.path.join(self.dir, name + ".log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []


@pytest.fixture
def shims(tmp_path):
    return Shims(tmp_path / "shims")


@contextlib.contextmanager
def path_set(path):
    """Sets PATH (for the process and its children) for the block."""
    saved = os.environ.get("PATH")
    os.environ["PATH"] = path
    try:
        yield
    finally:
        if saved is None:
            del os.environ["PATH"]
        else:
            os.environ["PATH"] = saved


def shims_first(shims):
    return path_set(shims.dir + os.pathsep + os.environ.get("PATH", ""))


def _proc_status(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return dict(line.split(":\t", 1) for line in f.read().splitlines() if ":\t" in line)
    except (FileNotFoundError, ProcessLookupError):
        return None


def live_processes(uid):
    """The pids of live (not zombie, not dead) processes whose real,
    effective or saved uid is `uid`."""
    pids = []
    for entry in os.listdir("/proc"):
        status = entry.isdigit() and _proc_status(entry)
        if not status or status["State"][0] in "ZX":
            continue
        if uid in [int(u) for u in status["Uid"].split()[:3]]:
            pids.append(int(entry))
    return pids


def su_children():
    """The pids of the live `su` processes that this process started: the
    shells of its sessions."""
    me = str(os.getpid())
    found = set()
    for entry in os.listdir("/proc"):
        status = entry.isdigit() and _proc_status(entry)
        if status and status["PPid"].strip() == me and status["Name"].strip() == "su" \
                and status["State"][0] not in "ZX":
            found.add(int(entry))
    return found


def spawn_with_pid(user):
    """A new session of `user` and the pid of its `su` process."""
    before = su_children()
    session = user.spawn()
    # The spawn returns once su is being executed: its name may show a moment later.
    (pid,) = wait_for(lambda: su_children() - before)
    return session, pid


def wait_for(check, timeout=10.0):
    """Polls `check` until it holds or `timeout` seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while not (value := check()) and time.monotonic() < deadline:
        time.sleep(0.02)
    return value


class ReadTimeout(AssertionError):
    pass


def bounded(call, timeout=15.0):
    """Runs `call` (typically reads, which block) in a worker thread and
    returns its result. Past the deadline the `su` processes of this process
    are killed by pid, which ends any read of a session, and ReadTimeout is
    raised."""
    result, failure = [], []

    def worker():
        try:
            result.append(call())
        except BaseException as e:  # noqa: B036 - handed to the caller
            failure.append(e)

    thread = threading.Thread(target=worker, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        for pid in su_children():
            os.kill(pid, signal.SIGKILL)
        thread.join(10)
        raise ReadTimeout(f"{call!r} still blocked after {timeout} s")
    if failure:
        raise failure[0]
    return result[0]


def read_until(session, needle, timeout=15.0, size=None, err=False):
    """Reads the session's stdout (stderr with `err`) until `needle` has come
    or the stream has ended, within `timeout` seconds (see bounded); returns
    everything read and the length of every read."""
    read = session.read_err if err else session.read
    data, sizes = bytearray(), []

    def reads():
        while needle not in data:
            chunk = read() if size is None else read(size)
            sizes.append(len(chunk))
            if not chunk:
                break
            data.extend(chunk)
        return bytes(data), sizes

    try:
        return bounded(reads, timeout)
    except ReadTimeout:
        raise ReadTimeout(f"{needle!r} not read within {timeout} s; got {bytes(data)!r}") from None


def sentinel_command(tag):
    """A command line whose output, b"<tag>:42", differs from its echo on
    the terminal (the shell runs on a pseudo-terminal that echoes input)."""
    return f"echo {tag}:$((40+2))\n".encode(), f"{tag}:42".encode()


def round_trip(session, tag="ping", timeout=15.0):
    """Writes a command and reads until its output came back."""
    command, expected = sentinel_command(tag)
    session.write(command)
    data, _ = read_until(session, expected, timeout)
    assert expected in data, data
    return data
