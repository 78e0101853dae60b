"""A sandbox for untrusted command lines: PyTerm over an in-memory PyFs.

The terminal runs nine built-in commands against the in-memory filesystem and
nothing else; it starts no program and touches no host file. The host program
prepares the files with PyFs, takes command lines from an untrusted source,
and answers each with its output or its error text. Needs nothing from the
host.

    python examples/terminal.py
"""

from marrowfen import PyFs, PyTerm

MAX_LINE = 4096  # characters per command line
MAX_COMMANDS = 1000  # per session: bounds the inodes one user can create


class Sandbox:
    """One user's shell-like view of a filesystem of its own."""

    def __init__(self) -> None:
        self.fs = PyFs()
        self.fs.mkdir("/home")
        self.fs.mkdir("/home/guest")
        welcome = self.fs.open("/home/guest/welcome.txt", "w")
        welcome.write(b"Type 'help' for the commands.\n")
        welcome.close()
        self.term = PyTerm(self.fs)
        self.term.exec("cd /home")  # an argument reaches one level at a time
        self.term.exec("cd guest")
        self.commands = 0

    def run(self, line: object) -> tuple[bool, str]:
        """(True, output) or (False, error text); never raises for bad input."""
        if not isinstance(line, str):
            return False, "input must be text"
        if len(line) > MAX_LINE:
            return False, "line too long"
        if self.commands >= MAX_COMMANDS:
            return False, "command budget used up"
        self.commands += 1
        try:
            return True, self.term.exec(line)
        except ValueError as error:  # every failing command: its message
            return False, error.args[0]


sandbox = Sandbox()
session = [
    "pwd",
    "ls",
    "cat welcome.txt",
    "mkdir projects",
    "cd projects",
    "touch 'a file with spaces'",
    "ls",
    "echo one   two 'three  four'  # a comment",
    "cat /etc/passwd",  # only the in-memory filesystem exists
    "rm -r /",  # the root cannot be removed
    "python -c 'import os'",  # no programs
    "echo 'unterminated",
    "cd ..",
    "rm projects",
    "rm -r projects",
    "ls",
]
for line in session:
    ok, text = sandbox.run(line)
    marker = "ok " if ok else "err"
    print(f"[{marker}] $ {line}")
    if text:
        print("      " + text.rstrip("\n").replace("\n", "\n      "))

assert sandbox.run("pwd") == (True, "/home/guest")
assert sandbox.run("cat /etc/passwd") == (False, "etc/passwd: Inode not found")
assert sandbox.run("python") == (False, "python: command not found")
assert sandbox.run("echo 'x") == (False, "The command was not correctly formatted")
assert sandbox.run(b"ls") == (False, "input must be text")
assert sandbox.run("ls") == (True, "welcome.txt\n")

# The host sees the same files at once, through PyFs.
assert sandbox.fs.listdir("/home/guest") == (["welcome.txt"], [])
print("terminal: ok")
