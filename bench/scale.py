"""A tree of ten million empty files: how long it takes to build, how much
memory it holds, and what listdir, open and remove cost in it.

Usage: scale.py [--files 10000000] [--per-dir 10000] [--repeat 7]

Three trees of the same shape (directories /d<i> of PER_DIR empty files
f<j>, names of 2 to 5 bytes), each built in a fresh process: a small one
(one directory), one of FILES/10 files and one of FILES. Per tree it reports
the build time, the resident set size once built, and per operation:

  listdir        of random directories (each of PER_DIR entries)
  open + close   of random existing files, mode "r"
  remove         of random existing files (made again, untimed)

Build times of the two large trees are compared (linear: at most 11× for
10× the files), and the operations in the largest tree against the same
operations in the small one. Random picks are spread over the whole tree, so
the large trees pay for memory that is not in the caches, as a user's
program would.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SAMPLE = 1000  # files per timed run of open + close and of remove
LISTINGS = 10  # directories per timed run of listdir


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def best(fn, repeat: int, setup=None) -> float:
    """Minimum seconds of fn() over `repeat` runs, `setup` untimed before each."""
    out = float("inf")
    for _ in range(repeat):
        if setup is not None:
            setup()
        t0 = time.perf_counter()
        fn()
        out = min(out, time.perf_counter() - t0)
    return out


def child(files: int, per_dir: int, repeat: int) -> dict:
    """Builds one tree in this process and measures it."""
    from marrowfen import PyFs

    gc.disable()
    fs = PyFs()
    mkdir, touch = fs.mkdir, fs.touch
    dirs = max(1, files // per_dir)
    names = [f"f{j}" for j in range(per_dir)]
    before = rss()
    t0 = time.perf_counter()
    for d in range(dirs):
        base = f"/d{d}/"
        mkdir(base[:-1])
        for name in names:
            touch(base + name)
    build = time.perf_counter() - t0
    after = rss()

    rng = random.Random(files)
    listdir, op, rm = fs.listdir, fs.open, fs.remove
    dir_sample = [f"/d{rng.randrange(dirs)}" for _ in range(LISTINGS)]
    samples = [[f"/d{rng.randrange(dirs)}/f{rng.randrange(per_dir)}" for _ in range(SAMPLE)]
               for _ in range(repeat)]
    # Distinct files per removal run, so that each run removes SAMPLE files.
    for s in samples:
        s[:] = list(dict.fromkeys(s))

    def list_all():
        for p in dir_sample:
            listdir(p)

    def open_all():
        for p in samples[0]:
            op(p, "r").close()

    t_list = best(list_all, repeat) / LISTINGS
    t_open = best(open_all, repeat) / len(samples[0])
    t_remove = float("inf")
    for sample in samples:
        t0 = time.perf_counter()
        for p in sample:
            rm(p, False)
        t_remove = min(t_remove, (time.perf_counter() - t0) / len(sample))
        for p in sample:
            touch(p)
    return {"files": dirs * per_dir, "dirs": dirs, "build": build, "rss": after, "rss_growth": after - before,
            "listdir": t_list, "open+close": t_open, "remove": t_remove}


def measure(files: int = 10_000_000, per_dir: int = 10_000, repeat: int = 7, log=None) -> dict:
    """The three trees, each in a process of its own."""
    out = {}
    for label, n in (("small", per_dir), ("tenth", files // 10), ("full", files)):
        if log:
            log(f"  scale: a tree of {n:,} files")
        p = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", str(n), "--per-dir", str(per_dir),
                            "--repeat", str(repeat)], capture_output=True, text=True)
        if p.returncode != 0:
            raise RuntimeError(f"scale probe of {n:,} files failed: {p.stderr[-1000:]}")
        out[label] = json.loads(p.stdout)
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, default=10_000_000)
    ap.add_argument("--per-dir", type=int, default=10_000)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child is not None:
        print(json.dumps(child(args.child, args.per_dir, args.repeat)))
        return
    from common import fmt_time

    r = measure(args.files, args.per_dir, args.repeat, log=lambda s: print(s, file=sys.stderr, flush=True))
    for label, d in r.items():
        print(f"{label:>6}: {d['files']:>11,} files, built in {d['build']:.2f} s, {d['rss'] / 2**30:.2f} GiB "
              f"resident; listdir {fmt_time(d['listdir'])}, open + close {fmt_time(d['open+close'])}, "
              f"remove {fmt_time(d['remove'])}")


if __name__ == "__main__":
    main()
