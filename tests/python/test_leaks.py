"""Every method of every class, called many times on its success and its
error paths, and every order of dropping related objects, leave no memory,
references or accounts behind.

The Python heap is watched with tracemalloc, native memory through the
resident set size, and exact reference counts of the classes, the exception
types and the argument objects (plus the interpreter's total reference count
in a debug build). In-memory calls run CALLS times each (those of the pool
classes a tenth of that); calls that start host processes far fewer."""

import contextlib
import gc
import itertools
import os
import sys
import tracemalloc

import pytest

from conftest import host_account_test, live_processes, raised, round_trip
from marrowfen import PyFileHandle, PyFs, PyTerm, PyTerminalSession, PyUser, PyUserPool, Whence

pytestmark = pytest.mark.leaks

CALLS = 100_000
HOST_CALLS = 200
WARM_UP = 2_000
TRACED_SLACK = 64 << 10  # bytes of Python heap, per operation
RSS_SLACK = 256 << 10  # bytes of resident memory, per operation


def fresh(*parts):
    """A new, non-interned object (str or bytes): its reference count is ours to watch."""
    return parts[0][:0].join(parts)


D, F, X, NOWHERE, BAD = fresh("/", "d"), fresh("/d/", "f"), fresh("/", "x"), fresh("/no", "where"), fresh("\udc80")
R, RW = fresh("r", ""), fresh("r", "w")
DATA = fresh(b"ab", b"c")
LINE = fresh("echo a ", "'b c'")
WATCHED = [PyFs, PyFileHandle, PyTerm, Whence, PyUserPool, PyUser, PyTerminalSession,
           ValueError, TypeError, OverflowError, D, F, X, NOWHERE, R, RW, DATA, LINE]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@contextlib.contextmanager
def quiet():
    """Descriptors 1 and 2 to /dev/null: successful file reads print a line on
    1, internal errors a report on 2."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)


def repeat(op, expected, n):
    if expected is None:
        for _ in range(n):
            op()
        return
    for _ in range(n):
        try:
            op()
        except expected:
            pass
        else:
            raise AssertionError(f"{op} did not raise {expected}")


def total_refs():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def stays_flat(name, ops, calls, watched=()):
    """Runs each (label, op, expected exception or None) `calls` times after
    a warm-up; no operation may grow the Python heap or the resident set, and
    the watched reference counts must come back. Prints the figures."""
    watched = [*WATCHED, *watched]
    grown = []
    tracemalloc.start()
    try:
        with quiet():
            for _, op, expected in ops:
                repeat(op, expected, max(1, min(WARM_UP, calls // 10)))
            gc.collect()
            refs, total = [sys.getrefcount(o) for o in watched], total_refs()
            start = tracemalloc.get_traced_memory()[0], rss()
            for label, op, expected in ops:
                before = tracemalloc.get_traced_memory()[0], rss()
                repeat(op, expected, calls)
                gc.collect()
                after = tracemalloc.get_traced_memory()[0], rss()
                grown.append((label, after[0] - before[0], after[1] - before[1]))
            end = tracemalloc.get_traced_memory()[0], rss()
            refs_after, total_after = [sys.getrefcount(o) for o in watched], total_refs()
    finally:
        tracemalloc.stop()
    print(f"\n{name}: {len(ops)} operations x {calls} calls; traced {start[0]} -> {end[0]} B, "
          f"RSS {start[1] >> 10} -> {end[1] >> 10} KiB, total refs {total} -> {total_after}")
    assert [(o, a, b) for o, a, b in zip(watched, refs, refs_after, strict=True) if a != b] == [], \
        "reference counts changed"
    grew = [f"{label}: {heap / calls:.1f} B of Python heap, {resident / calls:.1f} B resident per call"
            for label, heap, resident in grown if heap >= TRACED_SLACK or resident >= RSS_SLACK]
    assert grew == [], f"memory grew over {calls} calls each"
    assert total_after - total < 1000


@pytest.fixture
def fs():
    fs = PyFs()
    fs.mkdir(D)
    fs.open(F, RW).write(b"content")
    return fs


def fs_ops(fs):
    return [
        ("PyFs()", PyFs, None),
        ("PyFs(1)", lambda: PyFs(1), TypeError),
        ("str", lambda: str(fs), None),
        ("mkdir existing", lambda: fs.mkdir(D), ValueError),
        ("touch under a file", lambda: fs.touch(F + "/x"), ValueError),
        ("mkdir no argument", lambda: fs.mkdir(), TypeError),
        ("mkdir int", lambda: fs.mkdir(5), TypeError),
        ("mkdir surrogate", lambda: fs.mkdir(BAD), UnicodeEncodeError),
        ("mkdir foreign receiver", lambda: PyFs.mkdir(1, D), TypeError),
        ("listdir", lambda: fs.listdir(D), None),
        ("listdir missing", lambda: fs.listdir(NOWHERE), ValueError),
        ("tree", lambda: fs.tree("/", "> "), None),
        ("tree of a file", lambda: fs.tree(F), ValueError),
        ("remove missing", lambda: fs.remove(NOWHERE, True), ValueError),
        ("remove int flag", lambda: fs.remove(X, 1), TypeError),
        ("open, drop", lambda: fs.open(F, R), None),
        ("open bad mode", lambda: fs.open(F, "x"), ValueError),
        ("open a directory", lambda: fs.open(D, R), ValueError),
    ]


def handle_ops(fs):
    h, closed = fs.open(F, RW), fs.open(fresh("/", "g"), RW)
    closed.close()
    return [
        ("seek", lambda: h.seek(0, Whence.SEEK_SET), None),
        ("write", lambda: h.write(DATA), None),
        ("read", lambda: (h.seek(offset=0, whence=Whence.SEEK_SET), h.read(3)), None),
        ("tell", h.tell, None),
        ("id", h.id, None),
        ("str", lambda: str(h), None),
        ("read str", lambda: h.read("3"), TypeError),
        ("read negative", lambda: h.read(-1), OverflowError),
        ("write str", lambda: h.write("abc"), TypeError),
        ("seek int whence", lambda: h.seek(0, 0), TypeError),
        ("seek too far back", lambda: h.seek(-1, Whence.SEEK_SET), OverflowError),
        ("closed read", lambda: closed.read(1), ValueError),
        ("closed write", lambda: closed.write(DATA), ValueError),
        ("closed tell", closed.tell, ValueError),
        ("closed id", closed.id, ValueError),
        ("close again", closed.close, ValueError),
        ("PyFileHandle()", PyFileHandle, TypeError),
    ]


def whence_ops():
    cur = Whence.SEEK_CUR
    return [
        ("member", lambda: Whence.SEEK_END, None),
        ("int", lambda: int(cur), None),
        ("repr, str", lambda: (repr(cur), str(cur)), None),
        ("==, !=", lambda: (cur == Whence.SEEK_SET, cur != 1, cur == "x"), None),
        ("hash", lambda: hash(cur), TypeError),
        ("Whence()", Whence, TypeError),
    ]


def term_ops(fs):
    t = PyTerm(fs)
    return [
        ("PyTerm(fs)", lambda: PyTerm(fs), None),
        ("PyTerm(int)", lambda: PyTerm(1), TypeError),
        ("ls, pwd, echo", lambda: (t.exec("ls"), t.exec(command="pwd"), t.exec(LINE)), None),
        ("cd, cat, cd", lambda: (t.exec("cd d"), t.exec("cat f"), t.exec("cd /")), None),
        ("help", lambda: t.exec("help"), None),
        ("cd missing", lambda: t.exec("cd /nowhere"), ValueError),
        ("cat a directory", lambda: t.exec("cat d"), ValueError),
        ("rm usage", lambda: t.exec("rm -rf m"), ValueError),
        ("unknown command", lambda: t.exec("bogus"), ValueError),
        ("bad quoting", lambda: t.exec("echo 'a"), ValueError),
        ("exec int", lambda: t.exec(5), TypeError),
    ]


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name, make_ops", [
    ("PyFs", fs_ops),
    ("PyFileHandle", handle_ops),
    ("Whence", lambda fs: whence_ops()),
    ("PyTerm", term_ops),
], ids=["PyFs", "PyFileHandle", "Whence", "PyTerm"])
def test_in_memory_calls_stay_flat(name, make_ops, fs):
    stays_flat(name, make_ops(fs), CALLS)
    if name != "PyFileHandle":
        fs.open(F, "w").close()  # every other handle gave its share of the lock back


# A long-lived filesystem that keeps making and removing entries holds no
# more memory than the entries that exist, although ids are never reused.
@pytest.mark.timeout(120)
def test_making_and_removing_entries_stays_flat(fs):
    t = PyTerm(fs)
    stays_flat("creation and removal", [
        ("mkdir, remove", lambda: (fs.mkdir(X), fs.remove(X, False)), None),
        ("touch, remove", lambda: (fs.touch(X), fs.remove(path=X, recurse=True)), None),
        ("open new, close, remove", lambda: (fs.open(X, RW).close(), fs.remove(X, False)), None),
        ("exec mkdir, touch, rm", lambda: (t.exec("mkdir m"), t.exec("touch m/x"), t.exec("rm -r m")), None),
    ], CALLS)
    assert fs.listdir("/") == ([], ["d"])


# The filesystem lives on while a handle or a terminal holds it, whichever
# of the three goes first.
@pytest.mark.timeout(120)
def test_filesystems_handles_and_terminals_dropped_in_every_order():
    orders = list(itertools.permutations(range(3)))

    def cycle():
        for order in orders:
            objects = [PyFs(), None, None]
            objects[0].mkdir(D)
            objects[1] = objects[0].open(F, RW)
            objects[2] = PyTerm(objects[0])
            for i in order:
                objects[i] = None
                if objects[1] is not None:
                    objects[1].seek(0, Whence.SEEK_SET)
                    assert objects[1].write(DATA) == 3
                if objects[2] is not None:
                    assert objects[2].exec("ls d") == "f\n"

    stays_flat("drop orders of PyFs, PyFileHandle, PyTerm", [("cycle", cycle, None)], CALLS // 60)


@host_account_test(timeout=120)
def test_user_and_session_calls_stay_flat():
    pool = PyUserPool(2)
    user = pool.allocate()
    session, closed = user.spawn(), user.spawn()
    with quiet():
        panic_exception = type(raised(lambda: session.read(2**63)))
    closed.close()
    exhausted = PyUserPool(0)
    cheap = [
        ("PyUserPool()", PyUserPool, None),
        ("PyUserPool(-1)", lambda: PyUserPool(-1), OverflowError),
        ("allocate exhausted", exhausted.allocate, ValueError),
        ("username, uid, home, str", lambda: (user.username(), user.uid(), user.home(), str(user)), None),
        ("uid argument", lambda: user.uid(1), TypeError),
        ("read(0), read_err(0)", lambda: (session.read(0), session.read_err(buffer=0)), None),
        ("write empty", lambda: session.write(b""), None),
        ("write str", lambda: session.write("x"), TypeError),
        ("read negative", lambda: session.read(-1), OverflowError),
        ("read too large", lambda: session.read_err(2**63), panic_exception),
        ("closed write", lambda: closed.write(DATA), ValueError),
        ("closed read", closed.read, ValueError),
        ("closed close", closed.close, None),
        ("PyUser()", PyUser, TypeError),
        ("PyTerminalSession()", PyTerminalSession, TypeError),
    ]
    stays_flat("PyUserPool, PyUser, PyTerminalSession without the host", cheap, CALLS // 10,
               [panic_exception])

    n = [0]

    def echo():
        n[0] += 1
        round_trip(session, f"n{n[0]}")

    host = [
        ("allocate, release", lambda: pool.allocate(), None),
        ("spawn, drop", user.spawn, None),
        ("spawn, close", lambda: user.spawn().close(), None),
        ("write, read", echo, None),
    ]
    stays_flat("PyUserPool, PyUser, PyTerminalSession on the host", host, HOST_CALLS, [panic_exception])


# A user keeps its pool, and a session its user, whichever goes first; the
# account is released when the last of the user and its session goes.
@host_account_test(timeout=120)
def test_pools_users_and_sessions_dropped_in_every_order():
    orders = list(itertools.permutations(range(3)))
    uids = set()

    def cycle():
        for order in orders:
            pool = PyUserPool(1)
            objects = [pool, pool.allocate(), None]
            objects[2] = objects[1].spawn()
            uid = objects[1].uid()
            uids.add(uid)
            del pool
            for i in order:
                objects[i] = None
                pool, user, session = objects
                if session is not None:
                    round_trip(session)
                if user is not None:
                    assert user.home().endswith(user.username())
                if pool is not None and (user or session):
                    with pytest.raises(ValueError):
                        pool.allocate()  # still in use
                if pool is not None and not (user or session):
                    assert pool.allocate().uid() == uid
                if not (user or session):
                    assert live_processes(uid) == []
                del pool, user, session

    stays_flat("drop orders of PyUserPool, PyUser, PyTerminalSession", [("cycle", cycle, None)], 5)
    assert len(uids) == 1
