"""marrowfen-shell: an interactive prompt over an in-memory marrowfen filesystem.

Each line is run by a PyTerm; its output goes to standard output and its
error text to standard error. The shell ends on end of input (Ctrl-D) or
`exit`; Ctrl-C at the prompt only abandons the line being typed. With input
from a pipe no prompt is shown, so the shell can be scripted:

    printf 'mkdir d\\nls\\n' | marrowfen-shell
"""

import sys
from typing import TextIO

from marrowfen import PyFs, PyTerm


def _emit(stream: TextIO, text: str) -> None:
    if text:
        stream.write(text if text.endswith("\n") else text + "\n")
        stream.flush()


def _prompt(term: PyTerm) -> str:
    try:
        cwd = term.exec("pwd")
    except ValueError:
        cwd = "?"  # the current directory was removed; "cd /" recovers
    return f"marrowfen:{cwd}$ "


def run(term: PyTerm, interactive: bool) -> int:
    if interactive:
        try:
            import readline  # noqa: F401  (line editing and history for input())
        except ImportError:
            pass
    while True:
        try:
            line = input(_prompt(term)) if interactive else sys.stdin.readline()
        except EOFError:
            break
        except KeyboardInterrupt:
            sys.stdout.write("\n")
            continue
        if not interactive:
            if not line:
                break
            line = line.rstrip("\n")
        if line.strip() == "exit":
            break
        try:
            _emit(sys.stdout, term.exec(line))
        except ValueError as error:
            _emit(sys.stderr, str(error))
    if interactive:
        sys.stdout.write("\n")
    return 0


def main() -> int:
    term = PyTerm(PyFs())
    try:
        return run(term, sys.stdin.isatty())
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
