"""A real shell as a disposable host account, driven with marrowfen_kit.shell.

Needs root: the pool creates real accounts (test_XXXXXXXX, with useradd; they
are never deleted), gives each a fresh home under /tmp/tmp_user_home and kills
all of an account's processes when it is released.

`Shell` runs one command at a time in the account's bash and returns what it
printed (standard output and error, as the terminal merges them) and its exit
status. A command that outlives its timeout is interrupted with Ctrl-C, and
the shell goes on. `AsyncShell` does the same for asyncio.

    sudo python examples/pool_session.py
"""

from __future__ import annotations

import asyncio
import os
import sys
import time

from marrowfen import PyUser, PyUserPool
from marrowfen_kit.shell import AsyncShell, CommandFailed, Shell, ShellTimeout


async def two_at_once(user: PyUser) -> list[str]:
    """Two shells of one account, each running a command, at the same time."""
    async with AsyncShell(user.spawn()) as first, AsyncShell(user.spawn()) as second:
        results = await asyncio.gather(first.run("sleep 0.5; echo first"), second.run("sleep 0.5; echo second"))
    return [result.output for result in results]


def main() -> int:
    if os.geteuid() != 0:
        print("pool_session.py needs root: it creates host accounts with useradd", file=sys.stderr)
        return 2

    pool = PyUserPool(2)
    user = pool.allocate()
    print(user)  # { username: test_..., uid: ..., home: /tmp/tmp_user_home/test_... }

    with Shell.start(user) as shell:
        result = shell.run("id -un")
        print(f"id -un -> {result.exit_status} {result.output!r}")
        assert (result.exit_status, result.output) == (0, user.username() + "\n")

        assert shell.run('pwd; echo "$HOME"').output == f"{user.home()}\n{user.home()}\n"
        assert shell.run("printf 'no newline'").output == "no newline"

        result = shell.run("ls /nowhere")  # standard error comes back too
        print(f"ls /nowhere -> {result.exit_status} {result.output!r}")
        assert result.exit_status == 2 and "/nowhere" in result.output

        try:
            shell.run("echo hi > note.txt; cat note.txt; false", check=True)
        except CommandFailed as failed:
            assert (failed.result.exit_status, failed.result.output) == (1, "hi\n")
        assert os.path.isfile(os.path.join(user.home(), "note.txt"))

        # A command that hangs: interrupted at the deadline, the shell goes on.
        started = time.monotonic()
        try:
            shell.run("sleep 600", timeout=1.0)
        except ShellTimeout as timed_out:
            assert not timed_out.closed
            print(f"sleep 600 -> timed out, interrupted after {time.monotonic() - started:.1f} s")
        assert shell.run("echo still here").output == "still here\n"

    assert asyncio.run(two_at_once(user)) == ["first\n", "second\n"]

    # Released once nothing holds it (a closed Shell lets go of its session):
    # the account goes back to the pool and comes out again with a wiped home,
    # without useradd.
    name = user.username()
    del user
    again = pool.allocate()
    assert again.username() == name
    assert os.listdir(again.home()) == []
    print("pool_session: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
