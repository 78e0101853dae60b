"""A fixed loop of one operation, for instruction counting under callgrind.

Usage: callgrind_loop.py OP COUNT
Sets the operation up, calls os.getppid() (the marker: callgrind is run with
--dump-before=os_getppid, so the loop lands in a dump of its own), runs the
loop COUNT times, and calls os.getppid() again.
"""

from __future__ import annotations

import os
import sys

from term_ops import build_marrowfen

from marrowfen import PyFs

DATA = b"x" * 100


def setup(op: str, count: int):
    """Returns the loop for `op`; its set-up has already run."""
    fs = PyFs()
    paths = [f"/d{i}" for i in range(count)]
    if op == "floor":
        d = {}
        get = d.get

        def loop():
            for p in paths:
                get(p)
    elif op == "mkdir":
        mk = fs.mkdir

        def loop():
            for p in paths:
                mk(p)
    elif op == "touch":
        touch = fs.touch

        def loop():
            for p in paths:
                touch(p)
    elif op == "remove":
        for p in paths:
            fs.touch(p)
        rm = fs.remove

        def loop():
            for p in paths:
                rm(p, False)
    elif op in ("open+write+close", "open+read+close", "open+close"):
        h = fs.open("/f", "w")
        h.write(DATA)
        h.close()
        op_ = fs.open
        if op == "open+write+close":
            def loop():
                for _ in paths:
                    h = op_("/f", "w")
                    h.write(DATA)
                    h.close()
        elif op == "open+read+close":
            def loop():
                for _ in paths:
                    h = op_("/f", "r")
                    h.read(100)
                    h.close()
        else:
            def loop():
                for _ in paths:
                    op_("/f", "r").close()
    elif op in ("write", "read"):
        h = fs.open("/f", "rw")
        h.write(DATA)
        write, read, seek = h.write, h.read, h.seek
        from marrowfen import Whence
        start = Whence.SEEK_SET
        if op == "write":
            def loop():
                for _ in paths:
                    write(DATA)
        else:
            def loop():
                for _ in paths:
                    seek(0, start)
                    read(100)
    elif op == "listdir-small":
        fs.mkdir("/s")
        fs.touch("/s/f")
        ls = fs.listdir

        def loop():
            for _ in paths:
                ls("/s")
    elif op == "listdir-1k":
        fs.mkdir("/big")
        for i in range(1000):
            fs.touch(f"/big/e{i}")
        ls = fs.listdir

        def loop():
            for _ in paths:
                ls("/big")
    elif op == "split-1k":  # the floor of listdir-1k: the same 1,000 strings and a list
        joined = "\n".join(f"e{i}" for i in range(1000))

        def loop():
            for _ in paths:
                joined.split("\n")
    elif op.startswith("exec "):
        line = op[5:]
        ex = build_marrowfen().exec
        if line == "touch x + rm x":
            def loop():
                for _ in paths:
                    ex("touch x")
                    ex("rm x")
        else:
            def loop():
                for _ in paths:
                    ex(line)
    else:
        raise SystemExit(f"unknown op {op!r}")
    return loop, fs


def main() -> None:
    op, count = sys.argv[1], int(sys.argv[2])
    loop, keep = setup(op, count)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)  # the read diagnostic line
    os.getppid()
    loop()
    os.getppid()
    del keep


OPS = [
    "floor", "mkdir", "touch", "remove", "open+close", "open+write+close", "open+read+close",
    "write", "read", "listdir-small", "listdir-1k", "split-1k", "exec pwd", "exec echo 'a  b' c", "exec ls",
    "exec cat note", "exec touch x + rm x",
]
# operations whose loop runs COUNT // SCALE times (they are a thousand times
# heavier than the rest)
SCALE = {"listdir-1k": 50, "split-1k": 50}

if __name__ == "__main__":
    main()
