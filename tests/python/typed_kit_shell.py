"""marrowfen_kit.shell used with the types it declares.

test_kit_shell_typing.py runs `mypy --strict` over this file and the package
(`assert_type` pins every result; each line of `misuse` must keep needing its
`type: ignore`), and, as root, runs it.
"""

from __future__ import annotations

import asyncio
import os
import re
import sys
from pathlib import Path
from typing import assert_type

from marrowfen import PyUser, PyUserPool
from marrowfen_kit.shell import (
    AsyncShell,
    CommandFailed,
    CommandResult,
    OutputLimitExceeded,
    Shell,
    ShellEnded,
    ShellError,
    ShellTimeout,
)


def use_shell(user: PyUser) -> None:
    with Shell.start(user, encoding="utf-8", errors="replace") as shell:
        assert_type(shell, Shell)
        result = shell.run("echo hi", timeout=5.0, check=True)
        assert_type(result, CommandResult)
        assert_type(result.command, str)
        assert_type(result.output, str)
        assert_type(result.exit_status, int)
        assert result == CommandResult("echo hi", "hi\n", 0)

        try:
            shell.run("(exit 4)", None, True)
            raise AssertionError("no CommandFailed")
        except CommandFailed as failed:
            assert_type(failed.result, CommandResult)
        try:
            shell.run("sleep 5", timeout=0.1)
        except ShellTimeout as timed_out:
            assert_type(timed_out.command, str | None)
            assert_type(timed_out.output, str)
            assert_type(timed_out.timeout, float)
            assert_type(timed_out.closed, bool)

        assert_type(shell.output_limit, int)
        shell.output_limit = 1 << 16
        try:
            shell.run("yes")
        except OutputLimitExceeded as exceeded:
            assert_type(exceeded.limit, int)
            assert_type(exceeded.output, str)

        assert_type(shell.send("echo typed\n"), None)
        assert_type(shell.send(b"echo bytes\n"), None)
        match = shell.expect(re.compile(r"bytes"), timeout=5)
        assert_type(match, re.Match[str])
        assert_type(shell.expect("\n"), re.Match[str])
        assert_type(shell.interrupt(), None)
        assert_type(shell.encoding, str)
        assert_type(shell.closed, bool)
        assert_type(shell.terminal_size, os.terminal_size)
        assert_type(shell.resize(100, 30), None)
        fed = shell.run("cat", input=b"\0", env={"A": "1"}, cwd=Path("/tmp"))
        assert fed.output == "\0"
        try:
            shell.run("exit 2")
        except ShellEnded as ended:
            assert_type(ended.exit_status, int | None)
            error: ShellError = ended
            assert error.command == "exit 2"
        assert_type(shell.restart(), None)
    assert_type(shell.close(), None)
    try:
        shell.run("true")
    except ShellEnded as closed:
        assert_type(closed.command, str | None)
        assert_type(closed.output, str)


async def use_async_shell(user: PyUser) -> None:
    async with AsyncShell(user.spawn()) as shell:
        assert_type(shell, AsyncShell)
        assert_type(await shell.run("true", 5.0, False), CommandResult)
        assert_type(await shell.send("echo a\n"), None)
        assert_type(await shell.expect("a"), re.Match[str])
        assert_type(await shell.interrupt(), None)
        assert_type(shell.output_limit, int)
        assert_type(await shell.run("true", input="x", env={}, cwd="/"), CommandResult)
    started = await AsyncShell.start(user)
    assert_type(started, AsyncShell)
    assert_type(await started.close(), None)


def misuse(shell: Shell, result: CommandResult) -> None:
    shell.run(b"true")  # type: ignore[arg-type]
    shell.run("true", check="yes")  # type: ignore[arg-type]
    shell.expect(re.compile(b"x"))  # type: ignore[arg-type]
    shell.send(1)  # type: ignore[arg-type]
    result.output = ""  # type: ignore[misc]
    shell.output_limit = "1"  # type: ignore[assignment]
    shell.run("true", 5.0, False, None)  # type: ignore[call-arg]
    shell.run("true", env={"A": 1})  # type: ignore[dict-item]
    Shell("session")  # type: ignore[arg-type]


if __name__ == "__main__":
    user = PyUserPool(1).allocate()
    use_shell(user)
    asyncio.run(use_async_shell(user))
    print("typed usage ok")
    sys.exit(0)
