"""marrowfen_kit.shell against real pool accounts and their bash (root only).

Every wait has a time limit: the Shell's own for commands, pytest-timeout for
the rest."""

from __future__ import annotations

import asyncio
import gc
import os
import signal
import subprocess
import sys
import threading

import pytest
from test_session import sleeper_pids

from conftest import live_processes, needs_host_accounts, su_children, wait_for
from marrowfen import PyUserPool
from marrowfen_kit.shell import (
    AsyncShell,
    CommandFailed,
    CommandResult,
    OutputLimitExceeded,
    Shell,
    ShellEnded,
    ShellTimeout,
)

pytestmark = [needs_host_accounts, pytest.mark.usefixtures("account_lock"), pytest.mark.timeout(90)]


@pytest.fixture
def user():
    return PyUserPool(1).allocate()


@pytest.fixture
def shell(user):
    with Shell.start(user) as shell:
        yield shell


def test_run_returns_output_and_status(shell, user):
    assert shell.run("id -un; pwd") == CommandResult("id -un; pwd", f"{user.username()}\n{user.home()}\n", 0)
    # stderr merged, no final newline, the status of the last command.
    assert shell.run("echo out; echo err >&2; printf tail; (exit 3)") == \
        CommandResult("echo out; echo err >&2; printf tail; (exit 3)", "out\nerr\ntail", 3)
    # Several lines, a here-document, state kept between commands.
    assert shell.run("mkdir d && cd d\nv='a b'\ncat <<EOF\n$v\nEOF").output == "a b\n"
    assert shell.run('echo "$v $(basename "$PWD")"').output == "a b d\n"
    # A syntax error stays inside its command; the shell goes on.
    assert shell.run("echo 'unterminated").exit_status == 2
    assert shell.run("echo é€ 'it''s' \\\\ \t!x").output == "é€ its \\ !x\n"
    # Terminal escapes and \r\n are gone; other bytes stay.
    assert shell.run(r"printf '\e[1;31mred\e[0m\r\n\x07\r'").output == "red\n\x07\r"
    with pytest.raises(ValueError, match="NUL"):
        shell.run("echo \0")

    with pytest.raises(CommandFailed) as failed:
        shell.run("echo no; false", check=True)
    assert failed.value.result == CommandResult("echo no; false", "no\n", 1)
    assert str(failed.value) == "Command 'echo no; false' returned non-zero exit status 1"


def test_output_that_imitates_frames_or_is_binary_comes_back_whole(user):
    with Shell.start(user, errors="surrogateescape") as shell:
        # The frame bytes, frames of another nonce, the shell's own variables.
        fake = r"printf '\036%s<\037\036%s>0\037' 0123456789abcdef0123456789abcdef ffffffffffffffffffffffffffffffff"
        result = shell.run(fake + "; set | grep -c __mf_nonce; echo end")
        assert result.output.endswith("2\nend\n") and result.output.count("\x1e") == 2
        # Every byte value but ESC, and a large output.
        data = bytes(b for b in range(256) if b != 0x1B) * 64
        octal = "".join(f"\\{b:03o}" for b in data[:255])
        result = shell.run(f"for i in $(seq 64); do printf '{octal}'; done")
        assert result.output.encode("utf-8", "surrogateescape") == data
        big = shell.run("head -c 3000000 /dev/zero | tr '\\0' x; printf end", timeout=60)
        assert big.output == "x" * 3_000_000 + "end"


def test_a_timeout_interrupts_the_command_and_the_shell_goes_on(shell, user):
    with pytest.raises(ShellTimeout) as timed_out:
        shell.run("echo before; sleep 1000", timeout=1)
    error = timed_out.value
    assert isinstance(error, TimeoutError)
    assert (error.command, error.output, error.timeout, error.closed) == ("echo before; sleep 1000", "before\n", 1, False)
    assert str(error) == "Command 'echo before; sleep 1000' timed out after 1 seconds"
    assert not sleeper_pids(user.uid())
    assert shell.run("echo after").output == "after\n"

    # A deadline that passes while bash is still reading the line, or is
    # starting the program: the Ctrl-C waits for the command to begin (bash
    # interrupted in the middle of a line would run the rest of it as a
    # command of its own), and comes again until the shell is back.
    for attempt in range(30):
        with pytest.raises(ShellTimeout) as timed_out:
            shell.run(f"echo {attempt} >> began; sleep 1000", timeout=0)
        assert not timed_out.value.closed
    assert not sleeper_pids(user.uid())
    assert set(shell.run("cat began").output.split()) <= {str(attempt) for attempt in range(30)}

    # Ctrl-C from another thread ends a command too: it just fails.
    threading.Timer(0.5, shell.interrupt).start()
    assert shell.run("sleep 1000; echo skipped", timeout=30).exit_status == 130


def test_a_command_that_ignores_ctrl_c_costs_the_shell(user):
    shell = Shell.start(user)
    shell.RECOVERY_TIMEOUT = 0.5
    su = su_children()
    with pytest.raises(ShellTimeout) as timed_out:
        shell.run("trap '' INT; sleep 1000", timeout=0.5)
    assert timed_out.value.closed and shell.closed
    assert str(timed_out.value).endswith("; the shell did not come back from Ctrl-C and was closed")
    # The shell's processes are gone: su was reaped, bash and the command hung up.
    assert not su & su_children()
    assert wait_for(lambda: not live_processes(user.uid()))
    for call in (lambda: shell.run("true"), lambda: shell.send("x"), shell.interrupt, lambda: shell.expect("x")):
        with pytest.raises(ShellEnded, match="^The shell is closed$"):
            call()
    shell.close()


def test_output_beyond_the_limit_is_refused(shell):
    shell.output_limit = 10_000
    with pytest.raises(OutputLimitExceeded) as exceeded:
        shell.run("yes", timeout=30)
    error = exceeded.value
    assert (error.command, error.output, error.limit, error.closed) == ("yes", "y\n" * 5000, 10_000, False)
    # Finished but too long: refused as well, nothing to interrupt.
    with pytest.raises(OutputLimitExceeded):
        shell.run("head -c 20000 /dev/zero; echo done")
    assert shell.run("head -c 9000 /dev/zero | wc -c").output == "9000\n"
    with pytest.raises(ValueError):
        shell.output_limit = 0


def test_a_shell_that_exits_is_closed(user):
    shell = Shell.start(user)
    su = su_children()
    with pytest.raises(ShellEnded) as ended:
        shell.run("echo bye; exit 3")
    assert (ended.value.command, ended.value.output) == ("echo bye; exit 3", "bye\nexit\n")
    assert isinstance(ended.value, EOFError) and shell.closed
    assert wait_for(lambda: not su & su_children()), "su was not reaped"
    with pytest.raises(ShellEnded):
        shell.run("true")
    shell.close()
    shell.close()

    # A session that is already closed cannot become a shell.
    session = user.spawn()
    session.close()
    with pytest.raises(ShellEnded):
        Shell(session)
    with pytest.raises(TypeError, match="PyTerminalSession"):
        Shell(user)  # type: ignore[arg-type]


def test_send_and_expect(shell, user):
    def answer():
        assert wait_for(lambda: os.path.exists(os.path.join(user.home(), "reading")))
        shell.send("typed input\n")

    threading.Thread(target=answer).start()
    assert shell.run("touch reading; read -r line; echo \"got $line\"", timeout=30).output == "got typed input\n"

    shell.send("printf 'one\\ntwo \\e[1mthree\\e[0m\\n'\n")
    match = shell.expect(r"two (\w+)", timeout=30)
    assert match.group(1) == "three"
    with pytest.raises(ShellTimeout) as timed_out:
        shell.expect("never", timeout=0.3)
    assert timed_out.value.output == "\n" and not timed_out.value.closed  # nothing consumed
    assert shell.expect(r"^\n$", timeout=1).group() == "\n"
    # run() starts afresh whatever expect() left.
    shell.send("echo leftover\n")
    assert shell.run("echo fresh").output == "fresh\n"


def test_keyboard_interrupt_during_run_interrupts_the_command(shell, user):
    # A real signal: the main thread's wait must be woken by it. (A suite run
    # in the background of a script starts with SIGINT ignored.)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        threading.Timer(0.5, os.kill, [os.getpid(), signal.SIGINT]).start()
        with pytest.raises(KeyboardInterrupt):
            shell.run("sleep 1000", timeout=30)
    finally:
        signal.signal(signal.SIGINT, previous)
    assert wait_for(lambda: not sleeper_pids(user.uid()))
    assert shell.run("echo next").output == "next\n"


@pytest.mark.parametrize("started", [True, False], ids=["start", "session"])
def test_an_async_shell_lets_go_of_the_loops_it_ran_on(user, started):
    """Used on two loops in turn and closed on a third, or dropped while its
    loop runs: nothing it watched stays open, whether the loop reads its
    output (start()) or a thread does and rings a bell (a session)."""
    watched = {"anon_inode:[eventfd]", "anon_inode:[eventpoll]"}

    def descriptors():  # not the pipes: those of a shell closed before may still be closing
        found = set()
        for fd in os.listdir("/proc/self/fd"):
            try:
                if os.readlink(f"/proc/self/fd/{fd}") in watched:
                    found.add(fd)
            except FileNotFoundError:  # the listing's own
                pass
        return found

    async def new_shell():
        return await AsyncShell.start(user) if started else AsyncShell(user.spawn())

    async def echo(shell, text):
        return (await shell.run(f"echo {text}")).output

    before = descriptors()
    shell = asyncio.run(new_shell())
    assert [asyncio.run(echo(shell, text)) for text in ("one", "two")] == ["one\n", "two\n"]
    asyncio.run(shell.close())
    assert wait_for(lambda: descriptors() == before)

    async def drop():
        before = descriptors()  # with the loop's own
        shell = await new_shell()
        assert await echo(shell, "three") == "three\n"
        del shell
        gc.collect()
        await asyncio.sleep(0.01)  # the loop stops watching the dropped shell
        assert wait_for(lambda: descriptors() == before)

    asyncio.run(drop())


def test_an_async_shell_read_by_its_loop_keeps_its_output_whole(user):
    """The loop reads a started shell's output itself: output nobody waits
    for stops being read at the shell's bound and is caught up with later,
    in order; moved to another loop while the first still runs, the shell
    gets every answer on the new one."""
    async def flood(shell):
        shell.output_limit = 1000  # the bound of what is read ahead: 64 KiB
        await shell.send("head -c 300000 /dev/zero | tr '\\0' a; echo; echo THE-END\n")
        await asyncio.sleep(0.3)
        shell.output_limit = 1 << 20
        assert (await shell.expect("THE-END", timeout=10)).start() == 300_001
        return await shell.run("echo caught-up")

    shell = asyncio.run(AsyncShell.start(user))
    assert asyncio.run(flood(shell)).output == "caught-up\n"

    first = asyncio.new_event_loop()
    runner = threading.Thread(target=first.run_forever)
    runner.start()
    try:
        assert asyncio.run_coroutine_threadsafe(shell.run("echo first"), first).result(30).output == "first\n"

        async def on_this_loop():
            outputs = [(await shell.run(f"echo {i}")).output for i in range(100)]
            await shell.send("(sleep 0.1; echo late) &\n")  # read while nobody waits
            await asyncio.sleep(0.5)
            outputs.append((await shell.run("echo last")).output)
            return outputs

        assert asyncio.run(on_this_loop()) == [f"{i}\n" for i in range(100)] + ["last\n"]
        first.call_soon_threadsafe(first.stop)
        runner.join(10)

        # Ended while no loop runs: it says so at once, and is done with.
        asyncio.run(shell.send("exit\n"))
        assert wait_for(lambda: shell.closed)
        with pytest.raises(ShellEnded):
            asyncio.run(shell.run("true"))
    finally:
        asyncio.run(shell.close())
        first.call_soon_threadsafe(first.stop)
        runner.join(10)
        first.close()


def test_a_dropped_shell_closes_its_session_and_a_closed_one_lets_go_of_it():
    pool = PyUserPool(1)
    user = pool.allocate()
    before = su_children()
    shell = Shell.start(user)
    assert su_children() - before
    del shell
    gc.collect()
    assert wait_for(lambda: not su_children() - before), "the session outlived its Shell"

    shell = Shell.start(user)
    shell.close()
    del user
    assert pool.allocate(), "the closed Shell still holds the account"


# At exit the open shell is closed and its reading thread waited for: a
# thread that wakes while the interpreter finalizes aborts the process.
def test_a_shell_left_open_at_exit_ends_cleanly():
    script = ("from marrowfen import PyUserPool\nfrom marrowfen_kit.shell import Shell\n"
              "shell = Shell.start(PyUserPool(1).allocate())\nshell.run('true')\n")
    for _ in range(10):
        ended = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert (ended.returncode, ended.stderr) == (0, "")


def test_async_shell(user):
    async def main():
        async with await AsyncShell.start(user) as first, AsyncShell(user.spawn()) as second:
            # Two shells at once, and input sent while a command waits for it.
            async def answer():
                assert await asyncio.to_thread(wait_for, lambda: os.path.exists(os.path.join(user.home(), "reading")))
                await second.send("two\n")

            got = await asyncio.gather(first.run("sleep 0.3; echo one"), second.run("touch reading; read x; echo $x"),
                                       answer())
            assert [r.output for r in got[:2]] == ["one\n", "two\n"]

            # Cancelling run() interrupts the command; the shell goes on.
            task = asyncio.create_task(first.run("sleep 1000", timeout=60))
            assert await asyncio.to_thread(wait_for, lambda: sleeper_pids(user.uid()))
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert not sleeper_pids(user.uid())
            assert (await first.run("echo back")).output == "back\n"

            with pytest.raises(ShellTimeout):
                await first.expect("never", timeout=0.2)
            await first.send("echo hi\n")
            assert (await first.expect("hi")).group() == "hi"
            await first.interrupt()
        assert first.closed and second.closed
        with pytest.raises(ShellEnded):
            await first.run("true")

    asyncio.run(main())
