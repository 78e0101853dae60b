"""marrowfen_kit.shell: a command's input, variables and directory, the
shell's set-up, its end and restart, and the checks at the door (root only,
real accounts).

Every wait has a time limit: the Shell's own for commands, pytest-timeout for
the rest."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import needs_host_accounts
from marrowfen import PyUserPool
from marrowfen_kit.shell import AsyncShell, Shell, ShellEnded, ShellError, ShellTimeout

pytestmark = [needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(120)]

# Every byte, the terminal's special ones (Ctrl-C, Ctrl-D, NUL) included.
EVERY_BYTE = bytes(range(256)) * 4


@pytest.fixture
def user():
    return PyUserPool(1).allocate()


@pytest.fixture
def shell(user):
    with Shell.start(user) as shell:
        yield shell


def test_input_env_and_cwd_are_for_one_command(shell, user):
    # Any bytes go to standard input, which then ends (cat returns).
    assert shell.run("od -An -v -tx1 | tr -d ' \\n'", input=EVERY_BYTE).output == EVERY_BYTE.hex()
    assert shell.run("cat; echo", input="é\x03\x04\n").output == "é\x03\x04\n\n"
    assert shell.run("head -c 3", input=b"x" * 3_000_000, timeout=60).output == "xxx"
    assert shell.run("wc -c", input=b"y" * 1_000_000, timeout=60).output == "1000000\n"

    # Variables reach the command and its children, and only them.
    env = {"A": "x 'y' \"z\"\n$HOME", "B_2": ""}
    assert shell.run('echo "$A|${B_2-unset}"; bash -c \'echo "$A"\'', env=env).output == \
        f"{env['A']}|\n{env['A']}\n"
    assert shell.run('echo "${A-unset}"').output == "unset\n"

    # The directory is the command's; the shell's own is the same after it,
    # also when the command moves or is interrupted, or the cd fails.
    shell.run("mkdir -p 'sub dir/deeper' && cd 'sub dir'")
    assert shell.run("pwd; cd /; pwd", cwd="deeper").output == f"{user.home()}/sub dir/deeper\n/\n"
    assert shell.run("pwd").output == f"{user.home()}/sub dir\n"
    with pytest.raises(ShellTimeout) as timed_out:
        shell.run("sleep 100", cwd="/tmp", timeout=0.5)
    assert not timed_out.value.closed
    missing = shell.run("echo ran", cwd="missing")
    assert (missing.exit_status, "ran" in missing.output, "missing" in missing.output) == (1, False, True)
    assert shell.run('pwd; echo "$OLDPWD"').output == f"{user.home()}/sub dir\n{user.home()}\n"

    # All three at once, and from asyncio.
    async def from_asyncio():
        async with await AsyncShell.start(user) as other:
            result = await other.run('cat; echo "$V $PWD"', input="in\n", env={"V": "v"}, cwd="/")
            # A deadline sooner than the one before it is kept, and the shell goes on.
            started = time.monotonic()
            with pytest.raises(ShellTimeout):
                await other.run("sleep 100", timeout=0.3)
            assert time.monotonic() - started < 5
            assert (await other.run("pwd")).output == f"{user.home()}\n"
            return result

    assert asyncio.run(from_asyncio()).output == "in\nv /\n"


def test_the_shell_is_set_up_for_programs(user):
    with Shell.start(user) as shell:
        assert shell.run("stty size; echo $PAGER $GIT_PAGER $NO_COLOR").output == "24 80\ncat cat 1\n"
        assert shell.terminal_size == os.terminal_size((80, 24))
        shell.resize(132, 50)
        assert shell.run("stty size; tput cols").output == "50 132\n132\n"
        assert shell.terminal_size.columns == 132
        # A background job's notice never lands in a later command's output.
        shell.run("sleep 0.2 &")
        assert shell.run("sleep 0.6; echo next").output == "next\n"
        assert shell.run("sleep 0.1; wait; jobs").output == ""
    with Shell.start(user, terminal_size=(100, 30)) as shell:
        assert shell.run("stty size").output == "30 100\n"


def test_a_shell_that_exits_says_how_and_restarts_on_the_same_account(user):
    shell = Shell.start(user)
    shell.run("echo kept > file; v=lost")
    with pytest.raises(ShellEnded) as ended:
        shell.run("echo bye; exit 3")
    assert (ended.value.output, ended.value.exit_status, shell.closed) == ("bye\nexit\n", 3, True)
    assert isinstance(ended.value, ShellError) and ended.value.command == "echo bye; exit 3"
    shell.restart()
    assert shell.run('id -un; cat file; echo "[$v]"').output == f"{user.username()}\nkept\n[]\n"

    with pytest.raises(ShellEnded) as ended:
        shell.run("set -e; echo before; false; echo after")
    assert (ended.value.output, ended.value.exit_status) == ("before\n", 1)
    shell.restart()
    # A shell replaced by another program reports no status.
    with pytest.raises(ShellEnded) as ended:
        shell.run("exec true")
    assert ended.value.exit_status is None
    shell.restart()
    assert shell.run("echo back").output == "back\n"
    shell.close()
    with pytest.raises(ShellEnded, match="^The shell is closed$"):
        shell.restart()

    with Shell(user.spawn()) as from_session, pytest.raises(ValueError, match="made from a session"):
        from_session.restart()


def test_arguments_are_checked_at_the_door(shell, user):
    checks = [
        (lambda: shell.run(None), TypeError, "^command must be str, not NoneType$"),
        (lambda: Shell.start(None), TypeError, "^user must be a marrowfen.PyUser, not NoneType$"),
        (lambda: shell.run("true", timeout="5"), TypeError, "^timeout must be a number of seconds or None"),
        (lambda: shell.run("true", timeout=-1), ValueError, "^timeout must be a non-negative finite"),
        (lambda: shell.run("true", timeout=float("nan")), ValueError, "^timeout must be"),
        (lambda: shell.expect("x", timeout=float("inf")), ValueError, "^timeout must be"),
        (lambda: shell.run("true", check="yes"), TypeError, "^check must be bool"),
        (lambda: shell.run("echo \0"), ValueError, "^command contains a NUL character$"),
        (lambda: shell.send("a\0"), ValueError, "^text contains a NUL character$"),
        (lambda: shell.send(1), TypeError, "^text must be str or bytes, not int$"),
        (lambda: shell.run("true", input=1), TypeError, "^input must be"),
        (lambda: shell.run("true", env=["A"]), TypeError, "^env must be a mapping"),
        (lambda: shell.run("true", env={"1A": "x"}), ValueError, "not a shell variable name"),
        (lambda: shell.run("true", env={"A": 1}), TypeError, r"^env\['A'\] must be str"),
        (lambda: shell.run("true", env={"A": "\0"}), ValueError, "NUL"),
        (lambda: shell.run("true", cwd=1), TypeError, "^cwd must be"),
        (lambda: shell.expect(b"x"), TypeError, "^pattern must be"),
        (lambda: setattr(shell, "output_limit", "1"), TypeError, "^output_limit must be int"),
        (lambda: shell.resize(0, 24), ValueError, "must be from 1 to 65535"),
        (lambda: Shell.start(user, terminal_size=80), TypeError, "^terminal_size must be"),
        (lambda: Shell.start(user, encoding=None), TypeError, "^encoding must be str"),
        (lambda: shell.put(1, "x"), TypeError, "^source must be"),
        (lambda: shell.get(None), TypeError, "^source must be"),
        (lambda: shell.get("x", dest=1), TypeError, "^dest must be"),
        (lambda: shell.put(b"x", "x", limit=-1), ValueError, "^limit must not be negative"),
    ]
    for call, kind, message in checks:
        with pytest.raises(kind, match=message):
            call()
    assert shell.run("echo still fine", input="\0").output == "still fine\n"

    # timeout=0 looks once, and never costs the shell.
    for _ in range(20):
        try:
            assert shell.run("true", timeout=0).exit_status == 0
        except ShellTimeout as timed_out:
            assert not timed_out.closed
    assert shell.run("echo alive").output == "alive\n"
    # Nor does a Ctrl-C sent between commands, which reaches bash idle, also
    # after a line typed by hand whose end frame nobody read.
    for attempt in range(20):
        if attempt % 2:
            shell.send("echo typed\n")
            shell.expect("typed")
        shell.interrupt()
        assert shell.run("echo after", timeout=5).output == "after\n"

    # One Shell per session: a second is refused at once; the first goes on.
    session = user.spawn()
    first = Shell(session)
    started = time.monotonic()
    with pytest.raises(ValueError, match="driven by another Shell"):
        Shell(session)
    assert time.monotonic() - started < 1
    assert first.run("echo first").output == "first\n"
    first.close()
    with pytest.raises(ValueError, match="made from a session"):
        first.put(b"x", "x")


def test_put_and_get_copy_through_the_host(shell, user):
    pytest.importorskip("marrowfen_kit._transfer")
    shell.put(b"#!/bin/sh\necho hi\n", "bin/tool")
    assert shell.run("stat -c '%U %a' bin/tool; cat bin/tool").output == \
        f"{user.username()} 600\n#!/bin/sh\necho hi\n"
    shell.run("echo result > out.txt")
    assert shell.get("out.txt") == b"result\n"
    with pytest.raises(ValueError):
        shell.get("/etc/passwd")

    async def from_asyncio():
        async with await AsyncShell.start(user) as other:
            await other.put(b"async", "a.txt")
            return await other.get(os.path.join(user.home(), "a.txt"))

    assert asyncio.run(from_asyncio()) == b"async"


def test_a_forked_child_that_ends_normally_prints_nothing():
    script = textwrap.dedent("""
        import os, sys, warnings
        from marrowfen import PyUserPool
        # The interpreter's own word on fork() with threads running (the
        # shell's reader) is not what this is about.
        warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)
        from marrowfen_kit.shell import Shell
        shell = Shell.start(PyUserPool(1).allocate())
        pid = os.fork()
        if pid == 0:
            sys.exit(0)  # the copy of the Shell is finalised here, at exit
        assert os.waitpid(pid, 0)[1] == 0
        print(shell.run("echo parent").output, end="")
    """)
    ended = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (ended.returncode, ended.stdout, ended.stderr) == (0, "parent\n", "")

