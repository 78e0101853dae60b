"""A terminal for sandboxes that refuses the lines it would misread.

`PyTerm` runs one built-in command per line and quietly ignores what its
commands do not use: `cd a b` goes to a, `pwd x` prints the directory,
`ls -l` looks for a file named "-l", and `echo hi > f` prints "hi > f".
A person typing into a sandbox meant something else by each of them.
`StrictTerm` runs lines exactly as `PyTerm` does, with the same texts, but
first refuses, with `LineRefused` (a `ValueError`), a line that has:

- a shell operator outside quotes: `;`, `&`, `&&`, `|`, `||`, `>`, `>>`,
  `<`, `<<`, or a line break followed by more words; or a command
  substitution, `$(` or a backquote, outside single quotes;
- more arguments than its command uses (`cd`, `ls`, `cat`, `mkdir` and
  `touch` take one path, `ls` may take none, `pwd` and `help` none);
- an option: a word starting with "-" given to a command that has none
  (`cd -` and `cat -` as well, which a shell reads as the previous
  directory and standard input), or `echo -n`, `-e` or `-E`.

`rm` checks its own arguments and options and reports them itself; unknown
commands and quoting mistakes get `PyTerm`'s own messages. Words are never
expanded, in either terminal: `$HOME`, `~` and `*.txt` stay as typed.
"""

from __future__ import annotations

from typing import Final, NamedTuple

from marrowfen import PyFs, PyTerm

__all__ = ["StrictTerm", "LineRefused"]


class LineRefused(ValueError):
    """A line that `StrictTerm` would misread; nothing of it ran."""


# The arguments each command uses: at most this many, and no options.
_ARITY: Final[dict[str, tuple[int, str]]] = {
    "cd": (1, "cd takes one directory"),
    "ls": (1, "ls takes at most one directory"),
    "cat": (1, "cat takes one file"),
    "mkdir": (1, "mkdir takes one path"),
    "touch": (1, "touch takes one path"),
    "pwd": (0, "pwd takes no arguments"),
    "help": (0, "help takes no arguments"),
}
# A lone "-" is a name to these commands, but not to a shell.
_DASH_IS_OPTION: Final = frozenset({"cd", "cat"})
_ECHO_OPTION: Final = frozenset("neE")
_TWO_CHARACTER_OPERATORS: Final = frozenset({"&&", "||", ">>", "<<"})
_OPERATOR_CHARACTERS: Final = frozenset(";|&<>")


class _Scan(NamedTuple):
    words: list[str] | None  # None: a quoting mistake
    operator: str | None  # the first operator outside quotes
    break_at: int | None  # where the first line break outside quotes is
    starts: list[int]  # where each word starts


def _scan(line: str) -> _Scan:
    """Splits a line into words exactly as the terminal does, and notes the
    first shell operator and the first line break found outside quotes."""
    words: list[str] = []
    starts: list[int] = []
    operator: str | None = None
    break_at: int | None = None
    word: list[str] | None = None
    i, n = 0, len(line)

    def note(found: str) -> None:
        nonlocal operator
        if operator is None:
            operator = found

    while i < n:
        c = line[i]
        if word is None:
            if c in " \t\n":
                if c == "\n" and break_at is None:
                    break_at = i
                i += 1
                continue
            if line.startswith("\\\n", i):  # a continued line starts no word
                i += 2
                continue
            if c == "#":  # a comment, up to and including the line break
                end = line.find("\n", i)
                if end < 0:
                    break
                if break_at is None:
                    break_at = end
                i = end + 1
                continue
            word = []
            starts.append(i)
        if c in " \t\n":
            words.append("".join(word))
            word = None
        elif c == "\\":
            if i + 1 >= n:
                return _Scan(None, operator, break_at, starts)
            if line[i + 1] != "\n":
                word.append(line[i + 1])
            i += 2
        elif c == "'":
            end = line.find("'", i + 1)
            if end < 0:
                return _Scan(None, operator, break_at, starts)
            word.append(line[i + 1 : end])
            i = end + 1
        elif c == '"':
            i += 1
            while True:
                if i >= n:
                    return _Scan(None, operator, break_at, starts)
                c = line[i]
                if c == '"':
                    i += 1
                    break
                if c == "\\":
                    if i + 1 >= n:
                        return _Scan(None, operator, break_at, starts)
                    escaped = line[i + 1]
                    if escaped in '$`"\\':
                        word.append(escaped)
                    elif escaped != "\n":
                        word.append(c + escaped)
                    i += 2
                    continue
                if c == "`" or line.startswith("$(", i):
                    note(line[i : i + 2] if c == "$" else c)
                word.append(c)
                i += 1
        else:
            if c in _OPERATOR_CHARACTERS:
                note(line[i : i + 2] if line[i : i + 2] in _TWO_CHARACTER_OPERATORS else c)
            elif c == "`" or line.startswith("$(", i):
                note(line[i : i + 2] if c == "$" else c)
            word.append(c)
            i += 1
    if word is not None:
        words.append("".join(word))
    return _Scan(words, operator, break_at, starts)


def _refusal(line: str) -> str | None:
    """Why `line` would be misread, or None."""
    scan = _scan(line)
    if scan.operator is not None:
        return (
            f"unsupported shell operator '{scan.operator}': the terminal runs one command per line,"
            " without pipes, lists, redirections or substitutions"
        )
    if scan.words is None:
        return None  # the terminal reports the quoting mistake itself
    if scan.break_at is not None and scan.starts and scan.starts[-1] > scan.break_at:
        return "a line break separates commands: the terminal runs one command per line"
    if not scan.words:
        return None
    name, arguments = scan.words[0], scan.words[1:]
    if name == "echo":
        if arguments and len(arguments[0]) > 1 and arguments[0][0] == "-" and set(arguments[0][1:]) <= _ECHO_OPTION:
            return f"echo: unknown option '{arguments[0]}': echo prints its arguments as they are"
        return None
    if name not in _ARITY:
        return None
    limit, usage = _ARITY[name]
    for word in arguments:
        if word.startswith("-") and (len(word) > 1 or name in _DASH_IS_OPTION):
            return f"{name}: unknown option '{word}': {name} takes no options"
    if len(arguments) > limit:
        return f"{name}: unexpected argument '{arguments[limit]}': {usage}"
    return None


class StrictTerm:
    """A `PyTerm` over `fs` that refuses what its commands would misread.

    `exec` runs a line as `PyTerm.exec` does, with the same output and the
    same error texts, after `check` has found nothing to refuse.
    """

    __slots__ = ("_term",)

    def __init__(self, fs: PyFs) -> None:
        self._term = PyTerm(fs)

    def check(self, command: str) -> None:
        """Raise `LineRefused` if the line would be misread; run nothing."""
        if isinstance(command, str):
            reason = _refusal(command)
            if reason is not None:
                raise LineRefused(reason)

    def exec(self, command: str) -> str:
        """Run one command line: its output, or ValueError with its error
        text, as from `PyTerm.exec`; `LineRefused` for a line it would misread."""
        self.check(command)
        return self._term.exec(command)
