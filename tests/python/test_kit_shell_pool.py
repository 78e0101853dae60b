"""ShellPool and AsyncShellPool (marrowfen_kit.shell_pool) over real accounts
(root only): hand-out and replacement, a tenant's leftovers never reaching
the next, the bound, waiting out a refusal, threads, and nothing left
running after close."""

from __future__ import annotations

import asyncio
import threading
import time

import pytest

from conftest import ALLOCATION_FAILED, host_account_test, live_processes, su_children, wait_for
from marrowfen import PyUserPool
from marrowfen_kit.shell import AsyncShell, Shell
from marrowfen_kit.shell_pool import AsyncShellPool, ShellPool

LEAVE_THINGS = "echo x > ~/left; echo y > /tmp/mf-pool-left-$(id -u); (setsid sleep 1000 </dev/null >/dev/null 2>&1 &); sleep 0.2"
# Live sleepers only: a killed one may linger as a zombie until init reaps it.
LOOK_FOR_THEM = ("ls -A ~; ls /tmp/mf-pool-left-$(id -u) 2>/dev/null; "
                 "ps -u $(id -u) -o stat=,comm= | awk '$1 !~ /^Z/ && $2 == \"sleep\"'; echo end")


def test_arguments_are_checked_and_a_refusal_with_nothing_to_wait_for_is_raised():
    pool = PyUserPool(0)
    with pytest.raises(TypeError, match="pool must be a marrowfen.PyUserPool, not NoneType"):
        ShellPool(None)
    with pytest.raises(TypeError, match="warm must be an int, not float"):
        ShellPool(pool, warm=1.0)
    with pytest.raises(ValueError, match="warm must not be negative"):
        ShellPool(pool, warm=-1)
    with pytest.raises(ValueError, match="size must be positive"):
        AsyncShellPool(pool, size=0)
    with pytest.raises(ValueError, match=r"warm \(3\) must not exceed size \(2\)"):
        ShellPool(pool, warm=3, size=2)
    # The capacity-0 pool refuses every account, and no shell could come
    # back: acquire raises the refusal instead of waiting for ever.
    with ShellPool(pool, warm=1) as shells:
        for timeout in ("1", -1.0, float("nan")):
            with pytest.raises((TypeError, ValueError), match="timeout must be"):
                shells.acquire(timeout)
        with pytest.raises(ValueError, match=ALLOCATION_FAILED):
            shells.acquire(timeout=10)
        with pytest.raises(ValueError, match=ALLOCATION_FAILED):
            shells.acquire()  # a fresh attempt, refused again
        with pytest.raises(TypeError, match="shell must be a Shell"):
            shells.release("shell")
    with pytest.raises(ValueError, match="The shell pool is closed"):
        shells.acquire()


@host_account_test(timeout=120)
def test_a_given_back_account_comes_back_clean_and_a_refusal_waits_for_it():
    with ShellPool(PyUserPool(1), warm=1) as shells:
        first = shells.acquire(timeout=30)
        name, uid = first.run("id -un").output, int(first.run("id -u").output)
        first.run(LEAVE_THINGS, check=True)
        assert first.run(LOOK_FOR_THEM).output.count("\n") == 4  # left, the /tmp file, the sleeper, end
        # The only account is out: the replacement is refused and acquire waits.
        with pytest.raises(TimeoutError, match="No shell became ready within 0.2 seconds"):
            shells.acquire(timeout=0.2)
        got = []
        waiter = threading.Thread(target=lambda: got.append(shells.acquire(timeout=60)))
        waiter.start()
        time.sleep(0.2)
        shells.release(first)
        with pytest.raises(ValueError, match="given back already"):
            shells.release(first)
        waiter.join(60)
        (second,) = got
        # The same account, for a new tenant: nothing of the last one.
        assert second.run("id -un").output == name
        assert second.run(LOOK_FOR_THEM).output == "end\n"
        assert first.closed and not second.closed
        with pytest.raises(ValueError, match="not a shell handed out by this pool"):
            shells.release(Shell.__new__(Shell))
    assert second.closed and su_children() == set()
    assert wait_for(lambda: live_processes(uid) == [])


@host_account_test(timeout=180)
def test_threads_share_a_bounded_pool_and_close_leaves_nothing_running():
    size, users, rounds = 3, 6, 4
    shells = ShellPool(PyUserPool(5), warm=2, size=size)
    most, stop, errors, seen = [0], threading.Event(), [], set()

    def watch():
        while not stop.is_set():
            most[0] = max(most[0], len(su_children()))
            time.sleep(0.002)

    def tenant(i):
        try:
            for j in range(rounds):
                with shells.shell(timeout=60) as shell:
                    result = shell.run(f"echo {i}-{j} > ~/mine; cat ~/*; id -u")
                    assert result.output.splitlines()[0] == f"{i}-{j}", result  # only its own file
                    seen.add(int(result.output.splitlines()[1]))
        except BaseException as error:  # noqa: B036 - reported by the test
            errors.append(error)

    watcher = threading.Thread(target=watch)
    watcher.start()
    workers = [threading.Thread(target=tenant, args=(i,)) for i in range(users)]
    try:
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(120)
        assert errors == []
        held = shells.acquire(timeout=30)
    finally:
        shells.close()
        stop.set()
        watcher.join()
    assert 1 <= most[0] <= size
    assert held.closed and su_children() == set()
    assert wait_for(lambda: all(live_processes(uid) == [] for uid in seen))
    shells.release(held)  # after close: nothing to do
    shells.close()


@host_account_test(timeout=120)
def test_the_async_pool_hands_out_async_shells_and_closes_them():
    seen = []

    async def main():
        async with AsyncShellPool(PyUserPool(3), warm=1, size=2) as shells:
            async def tenant(i):
                async with shells.shell(timeout=60) as shell:
                    assert isinstance(shell, AsyncShell)
                    result = await shell.run(f"ls -A ~; echo {i} > ~/mine; id -u")
                    seen.append(int(result.output))  # the home was empty
                    await asyncio.sleep(0.01)

            await asyncio.gather(*(tenant(i) for i in range(6)))
            held = [await shells.acquire(timeout=30), await shells.acquire(timeout=30)]
            with pytest.raises(TimeoutError):  # size=2: both are out
                await shells.acquire(timeout=0.1)
        assert all(shell.closed for shell in held) and shells.closed
        with pytest.raises(ValueError, match="closed"):
            await shells.acquire()

    asyncio.run(main())
    assert len(seen) == 6 and su_children() == set()
    assert wait_for(lambda: all(live_processes(uid) == [] for uid in set(seen)))
