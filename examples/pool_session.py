"""A real shell as a disposable host account, driven safely.

Needs root: the pool creates real accounts (test_XXXXXXXX, with useradd; they
are never deleted), gives each a fresh home under /tmp/tmp_user_home and kills
all of an account's processes when it is released.

The session is an interactive bash on a pseudo-terminal, reached through
pipes: what comes back is the prompt, the echo of what was typed, "\\r\\n" line
ends and terminal escapes (bracketed paste: "\\x1b[?2004h"), all mixed with
the output, and read() blocks until something arrives. `Shell` below turns it
into "run a command, get its status and output":

- every command is followed by a sentinel line that prints a random token and
  the command's exit status; reading goes on until that line comes back;
- escapes are removed and line ends normalised before anything is parsed;
- every read runs in a worker thread and is abandoned at a deadline. A read
  cannot be cancelled, but it holds up nothing else: closing the session (from
  any thread) kills the shell, and the pending read then returns b"".

    sudo python examples/pool_session.py
"""

from __future__ import annotations

import os
import queue
import re
import secrets
import subprocess
import sys
import threading
import time

from marrowfen import PyTerminalSession, PyUser, PyUserPool

# CSI sequences (colours, bracketed paste, cursor moves) and two-byte escapes.
ESCAPES = re.compile(rb"\x1b\[[0-?]*[ -/]*[@-~]|\x1b[@-Z\\-_]")


def clean(raw: bytes) -> str:
    """Terminal output as plain text with "\\n" line ends."""
    text = ESCAPES.sub(b"", raw).replace(b"\r\n", b"\n").replace(b"\r", b"")
    return text.decode("utf-8", errors="replace")


class ShellTimeout(Exception):
    """No sentinel came back before the deadline."""


class ShellClosed(Exception):
    """The shell ended (end of stream) before the sentinel came back."""


class Shell:
    """One bash session of a pool account, used one command at a time."""

    def __init__(self, user: PyUser, timeout: float = 10.0) -> None:
        self.user = user
        self.session: PyTerminalSession = user.spawn()
        self.reader: threading.Thread | None = None  # the read in progress, if any
        self.broken = False
        # Quieten the terminal: no echo of what we type, no prompts, no
        # bracketed-paste escapes. Without this the sentinel is still found,
        # but each output would also hold the echoed lines and the prompts.
        self.run("stty -echo; PS1=''; PS2=''; bind 'set enable-bracketed-paste off' 2>/dev/null", timeout)

    def __enter__(self) -> Shell:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _read(self, deadline: float) -> bytes:
        """One session.read(), given up at the deadline."""
        box: queue.Queue[bytes | BaseException] = queue.Queue(maxsize=1)

        def work() -> None:
            try:
                box.put(self.session.read(4096))
            except BaseException as error:  # handed to the waiting thread
                box.put(error)

        self.reader = threading.Thread(target=work, name="shell-read", daemon=True)
        self.reader.start()
        try:
            value = box.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            self.broken = True
            raise ShellTimeout("no answer before the deadline") from None
        self.reader = None
        if isinstance(value, BaseException):
            raise value
        return value

    def run(self, command: str, timeout: float = 10.0) -> tuple[int, str]:
        """Runs one command line; returns (exit status, output with stderr)."""
        if self.broken:
            raise ShellClosed("the session is broken; make a new one")
        token_a, token_b = secrets.token_hex(6), secrets.token_hex(6)
        # The sentinel is printed from two halves, so the echo of this very
        # line (were echo on) never holds it in one piece.
        sentinel = f"printf '\\n__mf_%s_%s__ %d\\n' {token_a} {token_b} $?"
        self.session.write(f"{command}\n{sentinel}\n".encode())
        done = re.compile(rf"\n__mf_{token_a}_{token_b}__ (\d+)\n")
        deadline = time.monotonic() + timeout
        raw = b""
        while True:
            chunk = self._read(deadline)
            if not chunk:
                self.broken = True
                raise ShellClosed("the shell ended")
            raw += chunk
            # Escapes can be split across reads: clean the whole answer so far.
            text = clean(raw)
            match = done.search(text)
            if match:
                # The sentinel line begins with its own "\n": what comes
                # before it is the output exactly, final newline or not.
                return int(match.group(1)), text[: match.start()]

    def close(self) -> None:
        """Kills the shell; a read still pending sees the end of the stream."""
        self.session.close()
        if self.reader is not None:
            self.reader.join(timeout=10)
            self.reader = None
        self.broken = True


def main() -> int:
    if os.geteuid() != 0:
        print("pool_session.py needs root: it creates host accounts with useradd", file=sys.stderr)
        return 2

    pool = PyUserPool(2)
    user = pool.allocate()
    print(user)  # { username: test_..., uid: ..., home: /tmp/tmp_user_home/test_... }

    with Shell(user) as shell:
        status, output = shell.run("id -un")
        print(f"id -un -> {status} {output!r}")
        assert (status, output) == (0, user.username() + "\n")

        status, output = shell.run("pwd; echo \"$HOME\"")
        assert output == f"{user.home()}\n{user.home()}\n", output

        status, output = shell.run("printf 'no newline'")
        assert (status, output) == (0, "no newline"), output

        status, output = shell.run("ls /nowhere")  # stderr arrives on read() too
        print(f"ls /nowhere -> {status} {output!r}")
        assert status == 2 and "/nowhere" in output

        status, output = shell.run("echo hi > note.txt; cat note.txt; false")
        assert (status, output) == (1, "hi\n"), output
        assert os.path.isfile(os.path.join(user.home(), "note.txt"))

        # A command that hangs: the deadline ends the wait, close() the shell.
        started = time.monotonic()
        try:
            shell.run("sleep 600", timeout=1.0)
        except ShellTimeout:
            shell.close()
            print(f"sleep 600 -> timed out, killed after {time.monotonic() - started:.1f} s")
        else:
            raise AssertionError("sleep 600 should not have answered")

    # Released once nothing holds it (the Shell holds the user and the closed
    # session): the account goes back to the pool and comes out again with a
    # wiped home, without useradd.
    name = user.username()
    del shell, user
    again = pool.allocate()
    assert again.username() == name
    assert os.listdir(again.home()) == []
    print("pool_session: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
