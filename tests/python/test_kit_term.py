"""marrowfen_kit.term.StrictTerm: what it refuses, and that everything else
runs exactly as in PyTerm."""

from __future__ import annotations

import random

import pytest

import marrowfen
from marrowfen_kit.term import LineRefused, StrictTerm, _scan

pytestmark = pytest.mark.usefixtures("nothing_on_stdout")

OPERATOR = "unsupported shell operator"


@pytest.mark.parametrize("line, reason", [
    ("mkdir a; mkdir b", f"{OPERATOR} ';'"),
    ("mkdir a && mkdir b", f"{OPERATOR} '&&'"),
    ("ls || mkdir b", f"{OPERATOR} '||'"),
    ("ls | cat", f"{OPERATOR} '|'"),
    ("echo hi > f", f"{OPERATOR} '>'"),
    ("echo hi >>f", f"{OPERATOR} '>>'"),
    ("cat <f", f"{OPERATOR} '<'"),
    ("mkdir a &", f"{OPERATOR} '&'"),
    ("echo $(pwd)", f"{OPERATOR} '$('"),
    ('echo "$(pwd)"', f"{OPERATOR} '$('"),  # substituted inside double quotes too
    ("echo `pwd`", f"{OPERATOR} '`'"),
    ("mkdir a\nmkdir b", "a line break separates commands"),
    ("ls # note\nmkdir b", "a line break separates commands"),
    ("cd a b", "cd: unexpected argument 'b': cd takes one directory"),
    ("ls a b", "ls: unexpected argument 'b'"),
    ("pwd x", "pwd: unexpected argument 'x': pwd takes no arguments"),
    ("help me", "help: unexpected argument 'me'"),
    ("cat a b", "cat: unexpected argument 'b'"),
    ("mkdir a b", "mkdir: unexpected argument 'b'"),
    ("touch a b", "touch: unexpected argument 'b'"),
    ("ls -l", "ls: unknown option '-l': ls takes no options"),
    ("mkdir -p a/b", "mkdir: unknown option '-p'"),
    ("touch a --force", "touch: unknown option '--force'"),
    ("cd -", "cd: unknown option '-'"),
    ("cat -", "cat: unknown option '-'"),
    ("echo -n hi", "echo: unknown option '-n'"),
    ("echo -eE hi", "echo: unknown option '-eE'"),
])
def test_refused_lines_run_nothing(fs, line, reason):
    term = StrictTerm(fs)
    with pytest.raises(LineRefused) as info:
        term.exec(line)
    assert isinstance(info.value, ValueError)
    assert info.value.args[0].startswith(reason)
    assert fs.listdir("/") == ([], [])


ACCEPTED = [
    "", "   ", "# only a comment", "ls # a comment with ; and | in it", "ls\n", "mkdir d\n# more\n",
    "mkdir 'a;b'", 'touch "x > y"', "touch c\\&d", "echo 'a  b' \"$HOME\" '$(pwd)' \\`x\\`", "echo \"\\$(\"",
    "echo - -- -x a", "echo a-n", "ls -", "mkdir -", "cd d", "cd", "cat", "pwd", "help",
    "rm -x d", "rm a b", "rm -V", "rm -r d", "nope --flag", "echo 'unclosed", "LS", "ls /", "cd ..",
]


def test_other_lines_run_exactly_as_in_pyterm():
    strict_fs, plain_fs = marrowfen.PyFs(), marrowfen.PyFs()
    strict, plain = StrictTerm(strict_fs), marrowfen.PyTerm(plain_fs)
    for line in ACCEPTED:
        strict.check(line)
        outcomes = []
        for term in (strict, plain):
            try:
                outcomes.append(("ok", term.exec(line)))
            except ValueError as error:
                assert type(error) is ValueError, line
                outcomes.append(("error", error.args))
        if line != "help":  # its order is per process, but the same names
            assert outcomes[0] == outcomes[1], line
    assert strict_fs.tree("/") == plain_fs.tree("/") != ""
    with pytest.raises(TypeError, match="argument 'command'"):
        strict.exec(b"ls")


def test_words_are_split_as_the_terminal_splits_them():
    """The scanner decides arity on its own split of the line: it must find
    the very words the terminal finds. Random lines go through both; the
    terminal shows its words through echo."""
    rng = random.Random(13)
    alphabet = ["a", "b", "é", " ", " ", "\t", "\n", "'", '"', "\\", "#", "$", "-"]
    term = marrowfen.PyTerm(marrowfen.PyFs())
    compared = 0
    for _ in range(4000):
        line = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 14)))
        words = _scan("echo " + line).words
        try:
            shown = term.exec("echo " + line)
        except ValueError as error:
            assert error.args == ("The command was not correctly formatted",) and words is None, repr(line)
            continue
        assert words is not None and words[0] == "echo", repr(line)
        assert " ".join(words[1:]) == shown, repr(line)
        if words[1:] and not any(c in word for word in words for c in " \t\n"):
            assert shown.split(" ") == words[1:], repr(line)
            compared += 1
    assert compared > 1000
