"""A signal that lands while a session read is blocked follows Python's rule
for interrupted system calls (PEP 475): its handler runs at once; if the
handler returns, the read goes on; if it raises, that exception comes out
of the read, plain, and nothing was read."""

import contextlib
import os
import signal
import threading

import pytest

from conftest import needs_host_accounts, read_until, round_trip, su_children
from marrowfen import PyUserPool

pytestmark = [needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(60)]

QUIET = 3.0  # seconds the shell prints nothing
SIGNAL_AFTER = 0.6


class Interrupted(Exception):
    pass


@pytest.fixture
def session(account_lock):  # the lock first: a release elsewhere would kill this shell
    session = PyUserPool(1).allocate().spawn()
    round_trip(session)
    yield session
    session.close()


@contextlib.contextmanager
def handler(signum, action):
    previous = signal.signal(signum, action)
    try:
        yield
    finally:
        signal.signal(signum, previous)


@contextlib.contextmanager
def signal_main_thread(signum, after):
    """Sends `signum` to the main thread `after` seconds into the block. A
    watchdog kills the shells of this process if the block outlives 20 s,
    which ends any read of theirs."""
    main = threading.main_thread().ident
    sender = threading.Timer(after, signal.pthread_kill, (main, signum))
    watchdog = threading.Timer(20, lambda: [os.kill(pid, signal.SIGKILL) for pid in su_children()])
    sender.start()
    watchdog.start()
    try:
        yield
    finally:
        sender.cancel()
        watchdog.cancel()
        sender.join()


class Reads:
    """Reads the session's stdout until the sentinel, noting whether a read
    was under way whenever a handler ran."""

    def __init__(self, session):
        self.session = session
        self.in_read = False
        self.data = bytearray()
        self.handler_saw = []

    def note(self):
        self.handler_saw.append(self.in_read)

    def until(self, needle):
        while needle not in self.data:
            self.in_read = True
            chunk = self.session.read()
            self.in_read = False
            assert chunk, bytes(self.data)
            self.data += chunk


def quiet_then_sentinel(session):
    session.write(f"sleep {QUIET}; echo late:$((40+2))\n".encode())


def test_a_handler_that_returns_lets_the_read_go_on(session):
    reads = Reads(session)
    with handler(signal.SIGUSR1, lambda *_: reads.note()):
        quiet_then_sentinel(session)
        with signal_main_thread(signal.SIGUSR1, SIGNAL_AFTER):
            reads.until(b"late:42")
    # It ran while the read was blocked, not after the read returned.
    assert reads.handler_saw == [True]


def raising(*_):
    raise Interrupted("from the handler")


@pytest.mark.parametrize("signum, action, expected", [
    (signal.SIGUSR1, raising, Interrupted),
    (signal.SIGINT, signal.default_int_handler, KeyboardInterrupt),
], ids=["raising-handler", "ctrl-c"])
def test_a_handler_that_raises_ends_the_read_with_its_exception(session, signum, action, expected):
    reads = Reads(session)
    with handler(signum, action):
        quiet_then_sentinel(session)
        try:
            with signal_main_thread(signum, SIGNAL_AFTER):
                reads.until(b"late:42")
        except BaseException as e:  # noqa: B036 - KeyboardInterrupt is what is looked for
            caught = e
        else:
            pytest.fail("the read was not interrupted")
    assert type(caught) is expected
    assert caught.__context__ is None and caught.__cause__ is None
    assert reads.in_read, "the exception did not come out of the read"
    assert b"late:42" not in reads.data, "the read ended only when the output came"
    # Nothing was lost: the output comes with the next reads.
    data, _ = read_until(session, b"late:42")
    assert b"late:42" in bytes(reads.data) + data


def test_read_err_and_writes_after_an_interruption(session):
    # su writes nothing on stderr: read_err blocks until the session ends.
    with handler(signal.SIGUSR1, raising):
        with pytest.raises(Interrupted):
            with signal_main_thread(signal.SIGUSR1, SIGNAL_AFTER):
                session.read_err()
    round_trip(session, "after")
