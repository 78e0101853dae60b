"""A sandbox for untrusted command lines: StrictTerm over an in-memory PyFs.

The terminal runs nine built-in commands against the in-memory filesystem and
nothing else; it starts no program and touches no host file. StrictTerm also
refuses what those commands would silently ignore or misread (shell
operators, extra arguments, options), so a user never gets a surprising
answer. The host program prepares the files, takes command lines from an
untrusted source, and answers each with its output or its error text.
Needs nothing from the host.

    python examples/terminal.py
"""

from marrowfen import PyFs
from marrowfen_kit.fs import MemPath
from marrowfen_kit.term import StrictTerm

MAX_LINE = 4096  # characters per command line
MAX_COMMANDS = 1000  # per session: bounds the inodes one user can create


class Sandbox:
    """One user's shell-like view of a filesystem of its own."""

    def __init__(self) -> None:
        self.fs = PyFs()
        home = MemPath(self.fs, "/home/guest")
        home.mkdir(parents=True)
        (home / "welcome.txt").write_text("Type 'help' for the commands.\n")
        self.term = StrictTerm(self.fs)
        self.term.exec("cd home")  # an argument reaches one level at a time
        self.term.exec("cd guest")
        self.commands = 0

    def run(self, line: object) -> tuple[bool, str]:
        """(True, output) or (False, error text); never raises for bad input."""
        if not isinstance(line, str) or len(line) > MAX_LINE or self.commands >= MAX_COMMANDS:
            return False, "refused: text of at most 4096 characters, 1000 commands"
        self.commands += 1
        try:
            return True, self.term.exec(line)
        except ValueError as error:  # a failing or a refused command: its message
            return False, error.args[0]


sandbox = Sandbox()
session = [
    "pwd",
    "cat welcome.txt",
    "mkdir projects",
    "cd projects",
    "touch 'a file with spaces'",
    "ls",
    "echo one   two 'three  four'  # a comment",
    "cat /etc/passwd",  # only the in-memory filesystem exists
    "rm -r /",  # the root cannot be removed
    "python -c 'import os'",  # no programs
    "echo hi > notes.txt",  # refused: no redirections
    "cd ..; rm -r projects",  # refused: one command per line
    "ls -l",  # refused: no options
    "cd ..",
    "rm -r projects",
    "ls",
]
for line in session:
    ok, text = sandbox.run(line)
    print(f"[{'ok ' if ok else 'err'}] $ {line}")
    if text:
        print("      " + text.rstrip("\n").replace("\n", "\n      "))

assert sandbox.run("pwd") == (True, "/home/guest")
assert sandbox.run("cat /etc/passwd") == (False, "etc/passwd: Inode not found")
assert sandbox.run("python") == (False, "python: command not found")
assert sandbox.run("echo 'x") == (False, "The command was not correctly formatted")
assert sandbox.run("mkdir a b")[1].startswith("mkdir: unexpected argument 'b'")
assert sandbox.run(b"ls")[0] is False
assert sandbox.run("ls") == (True, "welcome.txt\n")

# The host sees the same files at once.
assert sandbox.fs.listdir("/home/guest") == (["welcome.txt"], [])
print("terminal: ok")
