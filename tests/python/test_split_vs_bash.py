"""The word splitter against bash, on random lines with a fixed seed.

The alphabet holds letters (one of them non-ASCII), blanks, a carriage
return, both quotes, the backslash and the hash sign; nothing that bash
would expand or treat as an operator, and no newline, so each line is one
simple command for bash.

Bash reads every line with `read -r` and runs it through
`eval "printf '%s\\0' X <line>"`: the words of the line come out
NUL-terminated after the sentinel X, followed by \\1, or \\2 when bash
refuses the line (an unclosed quote). We run "echo X <line>". Our echo
joins words with one space, so the words themselves are compared exactly
only on lines whose blanks are all tabs; on the other lines the joined
text is compared.

Where we differ from bash on purpose:
- A backslash as the last character of the line is an error for us; bash
  keeps it as a literal backslash. Such a line must fail with us, and the
  same line with that backslash doubled must give bash's words.
"""

import random
import shutil
import subprocess

import pytest

from marrowfen import PyFs, PyTerm

BASH = shutil.which("bash")
MALFORMED = "The command was not correctly formatted"
DRIVER = r"""
while IFS= read -r line; do
  if eval "printf '%s\\0' X $line" 2>/dev/null; then printf '\1'; else printf '\2'; fi
done < "$1"
"""


def random_lines(count, seed=4):
    rng = random.Random(seed)
    lines = []
    for i in range(count):
        blanks = " \t" if i % 2 else "\t\t"
        alphabet = "aabbé" + blanks * 3 + "\"\"''\\\\#\r"
        lines.append("".join(rng.choice(alphabet) for _ in range(rng.randint(0, 14))))
    return lines


def bash_words(lines, tmp_path):
    """For each line, bash's list of words, or None if bash refused it."""
    (tmp_path / "lines").write_bytes("".join(line + "\n" for line in lines).encode())
    (tmp_path / "driver.sh").write_text(DRIVER)
    done = subprocess.run([BASH, "--norc", "--noprofile", str(tmp_path / "driver.sh"),
                           str(tmp_path / "lines")], capture_output=True, timeout=120,
                          env={"LC_ALL": "C", "PATH": "/usr/bin:/bin"})
    assert done.returncode == 0, done.stderr
    records, start = [], 0
    for end, byte in enumerate(done.stdout):
        if byte in (1, 2):
            words = done.stdout[start:end].split(b"\0")
            assert words[0] == b"X" and words[-1] == b"" if byte == 1 else words == [b""]
            records.append([w.decode() for w in words[1:-1]] if byte == 1 else None)
            start = end + 1
    assert len(records) == len(lines)
    return records


def our_words(term, line):
    """Our words, split from echo's output; exact only when the line has no space."""
    try:
        out = term.exec("echo X " + line)
    except ValueError as error:
        assert error.args == (MALFORMED,)
        return None
    assert out == "X" or out.startswith("X ")
    return out.split(" ")[1:]


@pytest.mark.skipif(BASH is None, reason="bash is not installed")
@pytest.mark.timeout(300)
def test_words_match_bash(tmp_path):
    lines = random_lines(2000)
    term = PyTerm(PyFs())
    mismatches, accepted, refused, trailing = [], 0, 0, 0
    for line, expected in zip(lines, bash_words(lines, tmp_path), strict=True):
        ours = our_words(term, line)
        if expected is None:
            refused += 1
        else:
            accepted += 1
            if ours is None and line.endswith("\\"):  # see the module docstring
                trailing += 1
                ours = our_words(term, line + "\\")
        if " " in line and ours is not None and expected is not None:
            ours, expected = " ".join(ours), " ".join(expected)
        if ours != expected:
            mismatches.append((line, expected, ours))
    assert mismatches == []
    assert accepted > 500 and refused > 200 and trailing > 20  # the lines cover every case
