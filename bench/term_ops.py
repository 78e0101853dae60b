"""Terminal lines: marrowfen's PyTerm against the shlex baseline over MemoryFS.

Both terminals stand in /t, a directory of 20 entries (14 files, the 64-byte
file note, 5 directories); the outputs of both are checked to be equal before
anything is timed.
"""

from __future__ import annotations

from common import Results, calibrated, log
from shlex_term import ShlexTerminal

NOTE = b"a small file of sixty-four bytes, read back whole by cat ......\n"
assert len(NOTE) == 64

LINES = [
    ("pwd", ["pwd"]),
    ("echo 'a  b' c", ["echo 'a  b' c"]),
    ("ls (20 entries)", ["ls"]),
    ("cat (64-byte file)", ["cat note"]),
    ("touch x + rm x", ["touch x", "rm x"]),
]


def build_marrowfen():
    from marrowfen import PyFs, PyTerm

    fs = PyFs()
    fs.mkdir("/t")
    for i in range(14):
        fs.touch(f"/t/f{i:02}")
    h = fs.open("/t/note", "w")
    h.write(NOTE)
    h.close()
    for i in range(5):
        fs.mkdir(f"/t/d{i}")
    term = PyTerm(fs)
    term.exec("cd t")
    return term


def build_baseline():
    from fs.memoryfs import MemoryFS

    mfs = MemoryFS()
    mfs.makedir("/t")
    for i in range(14):
        mfs.create(f"/t/f{i:02}")
    mfs.writebytes("/t/note", NOTE)
    for i in range(5):
        mfs.makedir(f"/t/d{i}")
    term = ShlexTerminal(mfs)
    term.exec("cd t")
    return term


def run_terminal(res: Results, repeat: int) -> None:
    key = "term"
    res.section(key, "Terminal lines", ["marrowfen", "shlex baseline"],
                intro="Per line (touch + rm: per pair); `exec` in a directory of 20 entries; "
                      "minimum of repeats.")
    mf = build_marrowfen()
    base = build_baseline()
    for label, lines in LINES:
        for line in lines:
            a, b = mf.exec(line), base.exec(line)
            if a != b:
                log(f"  terminal outputs differ for {line!r}: {a!r} vs {b!r}")
                res.note(f"terminal outputs differ for `{line}`")
        for name, term in (("marrowfen", mf), ("shlex baseline", base)):
            env = {"ex": term.exec, **{f"l{i}": line for i, line in enumerate(lines)}}
            stmt = "; ".join(f"ex(l{i})" for i in range(len(lines)))
            res.add(key, label, name, calibrated(stmt, env, repeat=repeat))
