"""PyTerminalSession: a real bash as a pool account, driven through pipes.

The shell runs on a pseudo-terminal that echoes what is written, so every
command prints a computed sentinel (see sentinel_command) that its echo does
not contain."""

import gc
import os
import subprocess
import sys
import threading
import time

import pytest

from conftest import (
    ALLOCATION_FAILED,
    bounded,
    live_processes,
    needs_host_accounts,
    read_until,
    round_trip,
    sentinel_command,
    spawn_with_pid,
    wait_for,
)
from marrowfen import PyUserPool

pytestmark = [needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(60)]

NO_PROCESS = ("The process is None",)


@pytest.fixture
def pool():
    return PyUserPool(1)


@pytest.fixture
def user(pool):
    """Held by pytest to the end of the test: tests that drop their user
    allocate it themselves."""
    return pool.allocate()


def test_round_trip_and_read_sizes(user):
    session = user.spawn()
    command, expected = sentinel_command("who")
    session.write(b"echo \"[$HOME|$PWD|$(id -u)]\"; " + command)
    data, sizes = read_until(session, expected)
    assert f"[{user.home()}|{user.home()}|{user.uid()}]".encode() in data
    assert max(sizes) <= 1024

    # Small reads leave the rest in the pipe for the next read.
    session.write(b"printf '%3000s' | tr ' ' x; " + sentinel_command("big")[0])
    data, sizes = read_until(session, b"big:42", size=16)
    assert b"x" * 3000 in data and max(sizes) <= 16 and len(sizes) >= 3000 // 16

    session.write(b"printf '%5000s' | tr ' ' y; " + sentinel_command("default")[0])
    data, sizes = read_until(session, b"default:42")
    assert b"y" * 5000 in data and max(sizes) <= 1024

    # A zero-length read returns at once, even from stderr where nothing comes.
    assert bounded(lambda: (session.read(0), session.read_err(0), session.read(buffer=0)), 5) == (b"",) * 3
    round_trip(session)


def test_a_closed_session_refuses_everything_but_keeps_its_account(pool):
    user = pool.allocate()
    session, su = spawn_with_pid(user)
    assert session.close() is None
    assert not os.path.exists(f"/proc/{su}"), "su was not reaped"
    # Closures, not bound methods: `call` must not keep the session after its del below.
    for call in (lambda: session.write(b"x"), session.read, session.read_err,  # noqa: F821
                 lambda: session.read(0)):  # noqa: F821
        with pytest.raises(ValueError) as e:
            call()
        assert type(e.value) is ValueError and e.value.args == NO_PROCESS
    assert session.close() is None
    # Closed is not gone: the session still holds the account.
    del user
    with pytest.raises(ValueError, match=ALLOCATION_FAILED):
        pool.allocate()
    del session
    pool.allocate()


def test_write_takes_bytes_only_and_writes_nothing_else(user):
    session = user.spawn()
    for data, name in [("echo LEAKED\n", "str"), (bytearray(b"echo LEAKED\n"), "bytearray"),
                       (memoryview(b"echo LEAKED\n"), "memoryview"), (None, "NoneType")]:
        with pytest.raises(TypeError) as e:
            session.write(data)
        assert e.value.args == (f"argument 'data': '{name}' object cannot be converted to 'PyBytes'",)
    with pytest.raises(TypeError) as e:
        session.write()
    assert e.value.args == ("PyTerminalSession.write() missing 1 required positional argument: 'data'",)

    class Bytes(bytes):
        pass

    command, expected = sentinel_command("kw")
    assert session.write(data=b"") is None
    assert session.write(data=Bytes(command)) is None
    data, _ = read_until(session, expected)
    assert expected in data and b"LEAKED" not in data


def sleeper_pids(uid):
    def cmdline(pid):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                return f.read()
        except OSError:
            return b""
    return [pid for pid in live_processes(uid) if cmdline(pid) == b"sleep\x001000\x00"]


# A session keeps its account in use after the PyUser is gone; dropping the
# session then releases the account, and the release leaves nothing of the
# account running, not even a process that ignores SIGTERM.
def test_dropping_the_user_keeps_the_account_until_its_session_goes(pool):
    user = pool.allocate()
    uid, name = user.uid(), user.username()
    session = user.spawn()
    session.write(b"(trap '' TERM HUP; exec sleep 1000) </dev/null >/dev/null 2>&1 & disown\n")
    assert wait_for(lambda: sleeper_pids(uid)), "the background process never started"

    del user
    gc.collect()
    round_trip(session)
    assert sleeper_pids(uid)
    with pytest.raises(ValueError, match=ALLOCATION_FAILED):
        pool.allocate()

    del session
    assert live_processes(uid) == []
    assert pool.allocate().username() == name


# Reads, writes and spawns run without the interpreter lock: while one thread
# waits in read() for a shell that prints nothing yet, the others go on, and
# can drive a second session of the same account.
def test_a_blocked_read_lets_other_threads_run(user):
    waiting, other = user.spawn(), user.spawn()
    round_trip(waiting, "ready")
    gate = os.path.join(user.home(), "go")
    # The shell answers once the gate file exists, or after 10 s: a read that
    # kept the interpreter lock would freeze this test until then.
    command, expected = sentinel_command("gated")
    waiting.write(b"for i in $(seq 200); do [ -e go ] && break; sleep 0.05; done; " + command)
    answered = threading.Event()
    reader = threading.Thread(target=lambda: (read_until(waiting, expected, timeout=30), answered.set()),
                              daemon=True)
    reader.start()

    counter, deadline = 0, time.monotonic() + 1.0
    while time.monotonic() < deadline:  # a second of this thread's own work
        counter += 1
        time.sleep(0.001)
    round_trip(other, "meanwhile")
    # Had read() kept the interpreter lock, this thread would have been frozen
    # until the shell gave up waiting for the gate and answered.
    assert not answered.is_set() and counter > 100, "other threads stood still during read()"

    open(gate, "w").close()
    reader.join(30)
    assert answered.is_set()


# A read blocked on a silent shell holds nothing the same session needs
# elsewhere: another thread writes to it and drains its output meanwhile,
# and closing it ends the blocked read of its stderr.
def test_a_blocked_read_stalls_no_other_call_on_its_session(user):
    session = user.spawn()
    round_trip(session, "ready")
    stderr_reader = threading.Thread(target=lambda: bounded(lambda: session.read_err(), 30), daemon=True)
    stderr_reader.start()
    time.sleep(0.2)  # the reader is blocked in read_err() by now
    round_trip(session, "while-reading")  # a write and stdout reads, not held up
    assert stderr_reader.is_alive()
    bounded(session.close, 10)
    stderr_reader.join(10)
    assert not stderr_reader.is_alive(), "close() did not end the blocked read"


# Daemon threads blocked in reads of a shell that never stops printing; the
# program ends after `delay` seconds, so reads return while the interpreter
# shuts down.
_READERS_AT_EXIT = """
import sys, threading, time
from marrowfen import PyUserPool
pool = PyUserPool(1)
session = pool.allocate().spawn()
def reader():
    while session.read(65536):
        pass
for _ in range(4):
    threading.Thread(target=reader, daemon=True).start()
session.write(b"yes\\n")
time.sleep(float(sys.argv[1]))
"""


@pytest.mark.timeout(180)
def test_reads_that_return_while_the_interpreter_exits_end_the_program_normally():
    # Such a thread is ended by the interpreter when it asks for its lock
    # back; that used to abort the process (or crash it) in most runs.
    for delay in (0.0, 0.01, 0.02, 0.03, 0.05) * 2:
        result = subprocess.run([sys.executable, "-c", _READERS_AT_EXIT, str(delay)],
                                capture_output=True, timeout=60)
        assert (result.returncode, result.stderr) == (0, b""), delay


def test_spawn_can_put_the_output_in_an_epoll_of_the_callers(pool):
    """spawn(epoll=...): the output is watched there until the session is
    closed, and taken out then, even while another process holds a copy of
    the pipe (its end of stream would wake the watcher for ever); a watch
    that cannot be made leaves no shell behind and the account usable."""
    import select

    user = pool.allocate()
    with pytest.raises(TypeError, match=r"^PyUser\.spawn\(\) takes no arguments \(1 given\)$"):
        user.spawn(1)
    with pytest.raises(TypeError, match=r"^argument 'epoll': argument must be an int, or have a fileno\(\) method\.$"):
        user.spawn(epoll="3")
    with pytest.raises(ValueError, match=r"^argument 'epoll': file descriptor cannot be a negative integer \(-1\)$"):
        user.spawn(epoll=-1)
    reading, writing = os.pipe()
    try:
        for not_epoll, reason in ((reading, "Invalid argument"), (writing + 1000, "Bad file descriptor")):
            with pytest.raises(ValueError, match=rf"^Failed to create the terminal session: Failed to watch the "
                                                 rf"output: {reason} \(os error \d+\)$"):
                user.spawn(epoll=not_epoll)
    finally:
        os.close(reading)
        os.close(writing)
    assert wait_for(lambda: live_processes(user.uid()) == [])

    with select.epoll() as epoll:
        session = user.spawn(epoll=epoll.fileno())
        command, expected = sentinel_command("watched")
        session.write(command)
        data = b""
        while expected not in data:
            events = epoll.poll(10)
            assert events and events[0][1] & select.EPOLLIN
            data += session.read(4096)
        output_fd = events[0][0]
        with subprocess.Popen(["sleep", "30"], pass_fds=(output_fd,)) as holder:
            try:
                session.close()
                assert epoll.poll(0.3) == []
            finally:
                holder.kill()
    assert round_trip(user.spawn())
