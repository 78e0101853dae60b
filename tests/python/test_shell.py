"""marrowfen-shell, driven through a pipe and through a pseudo-terminal."""

import os
import pty
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import marrowfen
from conftest import VERSION_TEXT


def shell_command():
    """The installed console script beside this interpreter, else the script
    of the source tree with the module that the tests import."""
    installed = Path(sys.executable).with_name("marrowfen-shell")
    if installed.exists():
        return [str(installed)], dict(os.environ)
    script = Path(__file__).resolve().parents[2] / "python" / "marrowfen_shell.py"
    path = [str(Path(marrowfen.__file__).parent), os.environ.get("PYTHONPATH", "")]
    return [sys.executable, str(script)], dict(os.environ, PYTHONPATH=os.pathsep.join(path))


@pytest.mark.parametrize("stdin, stdout, stderr", [
    ("mkdir d\nls\n", "d/\n", ""),
    ("", "", ""),
    ("mkdir d\ncd d\ntouch é\nls\npwd", "é\n/d\n", ""),  # no newline before the end of input
    ("cd nope\nfoo\necho 'open\necho ok\n", "ok\n",
     "cd: cannot access 'nope': nope: Inode not found\nfoo: command not found\n"
     "The command was not correctly formatted\n"),
    ("rm -V\nls\n", "", "rm: " + VERSION_TEXT),  # a text ending in a newline gets no second one
    ("echo a\n  exit  \necho b\n", "a\n", ""),
])
def test_piped_input(stdin, stdout, stderr):
    command, env = shell_command()
    done = subprocess.run(command, input=stdin.encode(), capture_output=True, env=env, timeout=30)
    assert (done.stdout.decode(), done.stderr.decode(), done.returncode) == (stdout, stderr, 0)


class Pty:
    def __init__(self, fd):
        self.fd, self.seen = fd, b""

    def read_until(self, predicate, timeout=10.0):
        deadline = time.monotonic() + timeout
        while not predicate(self.seen):
            left = deadline - time.monotonic()
            assert left > 0, f"timed out; output so far: {self.seen!r}"
            if select.select([self.fd], [], [], left)[0]:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:  # the child has gone and closed its side
                    chunk = b""
                if not chunk:
                    return False
                self.seen += chunk
        return True

    def prompts_in(self, cwd):
        return self.seen.count(cwd.encode())


# pty.spawn forks this process, which has the pool's spawn thread once an
# earlier test spawned a session from a thread of its own.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.timeout(60)
def test_interactive_prompt_ctrl_c_and_ctrl_d():
    command, env = shell_command()
    env["TERM"] = "dumb"
    pid, fd = pty.fork()
    if pid == 0:  # child: the pseudo-terminal is its controlling terminal
        try:
            # Ctrl-C must reach it even when this suite started with SIGINT
            # ignored (run in the background of a script).
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            os.execve(command[0], command, env)
        finally:
            os._exit(127)
    term = Pty(fd)
    try:
        os.write(fd, b"mkdir sub\ncd sub\n")
        assert term.read_until(lambda seen: b"/sub" in seen)  # the prompt shows the directory
        shown = term.prompts_in("/sub")
        # The interpreter's line reader misses a SIGINT that lands between
        # drawing the prompt and starting to wait for input; a person is
        # never that fast, so give it a moment before the Ctrl-C.
        time.sleep(0.3)
        os.write(fd, b"\x03")  # Ctrl-C at the prompt
        assert term.read_until(lambda seen: term.prompts_in("/sub") > shown)
        shown = term.prompts_in("/sub")
        os.write(fd, b"echo al''ive\n")
        assert term.read_until(lambda seen: b"alive" in seen and term.prompts_in("/sub") > shown)
        os.write(fd, b"\x04")  # Ctrl-D on an empty line
        assert not term.read_until(lambda seen: False)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        os.close(fd)
        try:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
