"""A tree of ten million empty files: how long it takes to build, how much
memory it holds, and what listdir, open and remove cost in it.

Usage: scale.py [--files 10000000] [--per-dir 10000] [--repeat 7] [--builds 5]

Three trees of the same shape (directories /d<i> of PER_DIR empty files
f<j>, names of 2 to 5 bytes), each built in a fresh process: a small one
(one directory), one of FILES/10 files and one of FILES. Per tree it reports
the build time (wall and CPU), the resident set size once built, and per
operation:

  listdir        of a directory (PER_DIR entries)
  open + close   of existing files, mode "r"
  remove         of existing files (made again, untimed)

twice: in one directory picked at random, whose working set is that of the
small tree, and anywhere in the tree, every file and directory picked at
random and none twice, so that each operation fetches its inode from memory
that is not in the caches. Build times of the two large trees are compared
(linear: at most 11x for 10x the files), the large trees built by turns;
the operations in one directory of a large tree are set against those in a
small tree built beside it, in the same process, their runs alternating.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SAMPLE = 1000  # files per timed run of open + close and of remove
LISTINGS = 10  # listings per timed run of listdir


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds() -> float:
    # getrusage counts in microseconds; os.times only in clock ticks (10 ms),
    # a few per cent of the smaller build.
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def time_ops(fs, listings: list[str], to_open: list[str], to_remove: list[str], into: dict) -> None:
    """One run: listdir of each directory of `listings`, open + close of each
    file of `to_open`, remove (made again, untimed) of each of `to_remove`;
    keeps in `into` the least seconds per operation seen so far."""
    listdir, op, rm, touch = fs.listdir, fs.open, fs.remove, fs.touch

    def timed(key, fn, items):
        t0 = time.perf_counter()
        for item in items:
            fn(item)
        into[key] = min(into.get(key, float("inf")), (time.perf_counter() - t0) / len(items))

    timed("listdir", listdir, listings)
    timed("open+close", lambda p: op(p, "r").close(), to_open)
    timed("remove", lambda p: rm(p, False), to_remove)
    for p in to_remove:
        touch(p)


def build(files: int, per_dir: int):
    """A new PyFs holding the tree, and the seconds (wall, CPU) it took."""
    from marrowfen import PyFs

    fs = PyFs()
    mkdir, touch = fs.mkdir, fs.touch
    names = [f"f{j}" for j in range(per_dir)]
    t0, c0 = time.perf_counter(), cpu_seconds()
    for d in range(max(1, files // per_dir)):
        base = f"/d{d}/"
        mkdir(base[:-1])
        for name in names:
            touch(base + name)
    return fs, time.perf_counter() - t0, cpu_seconds() - c0


def child(files: int, per_dir: int, repeat: int) -> dict:
    """Builds one tree in this process and, unless `repeat` is 0, measures
    it beside a small tree of one directory (the reference) whose runs
    alternate with its own, so that both meet the same load of a shared
    machine."""
    gc.disable()
    dirs = max(1, files // per_dir)
    before = rss()
    fs, wall, cpu = build(files, per_dir)
    after = rss()
    built = {"files": dirs * per_dir, "dirs": dirs, "build": wall, "build_cpu": cpu, "rss": after,
             "rss_growth": after - before}
    if repeat == 0:
        return built
    small, _, _ = build(per_dir, per_dir)
    rng = random.Random(files)

    def files_in(pick_dir) -> list[str]:
        return list(dict.fromkeys(f"/d{pick_dir()}/f{rng.randrange(per_dir)}" for _ in range(SAMPLE)))

    # Where a program works: one directory, its files picked at random. One
    # untimed run first warms it, as building warmed the small tree.
    home = f"/d{rng.randrange(dirs)}"
    in_directory: dict = {}
    reference: dict = {}
    for run in range(repeat + 1):
        picks = int(home[2:])
        time_ops(fs, [home] * LISTINGS, files_in(lambda: picks), files_in(lambda: picks), in_directory if run else {})
        time_ops(small, ["/d0"] * LISTINGS, files_in(lambda: 0), files_in(lambda: 0), reference if run else {})
    # Anywhere in the tree: every pick is a random directory, and no file is
    # picked twice, so every operation finds its inode out of the caches.
    anywhere: dict = {}
    for _ in range(repeat):
        time_ops(fs, [f"/d{rng.randrange(dirs)}" for _ in range(LISTINGS)], files_in(lambda: rng.randrange(dirs)),
                 files_in(lambda: rng.randrange(dirs)), anywhere)
    return built | {"in_directory": in_directory, "reference": reference, "anywhere": anywhere}


def measure(files: int = 10_000_000, per_dir: int = 10_000, repeat: int = 7, builds: int = 5, log=None) -> dict:
    """The three trees, each in a process of its own. The two large ones are
    built `builds` times, by turns, and each build of the large one is set
    against the build of the smaller one just before it: a busy moment of a
    shared machine then falls on both of a pair alike. Their middle ratio,
    in CPU seconds, is the growth of the build time. Operations are timed in
    the last build of each."""
    out: dict = {"build_ratios": []}
    order = [("small", per_dir, repeat)] + [(label, n, repeat if b == builds - 1 else 0) for b in range(builds)
                                            for label, n in (("tenth", files // 10), ("full", files))]
    for label, n, runs in order:
        if log:
            log(f"  scale: a tree of {n:,} files" + ("" if runs else ", built only"))
        p = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", str(n), "--per-dir", str(per_dir),
                            "--repeat", str(runs)], capture_output=True, text=True)
        if p.returncode != 0:
            raise RuntimeError(f"scale probe of {n:,} files failed: {p.stderr[-1000:]}")
        d = json.loads(p.stdout)
        if label == "full":
            out["build_ratios"].append(d["build_cpu"] / out["tenth"]["build_cpu"])
        if label in out:
            for key in ("build", "build_cpu"):
                d[key] = min(d[key], out[label][key])
        out[label] = out.get(label, {}) | d
    out["build_ratio"] = statistics.median(out["build_ratios"])
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, default=10_000_000)
    ap.add_argument("--per-dir", type=int, default=10_000)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--builds", type=int, default=5, help="builds of each large tree")
    ap.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child is not None:
        print(json.dumps(child(args.child, args.per_dir, args.repeat)))
        return
    from common import fmt_time

    r = measure(args.files, args.per_dir, args.repeat, args.builds, log=lambda s: print(s, file=sys.stderr, flush=True))
    print("build time of the large tree against the smaller one, by pairs: " +
          ", ".join(f"{x:.1f}x" for x in r["build_ratios"]) + f"; the middle one {r['build_ratio']:.1f}x")
    for label in ("small", "tenth", "full"):
        d = r[label]
        print(f"{label:>6}: {d['files']:>11,} files, built in {d['build']:.2f} s ({d['build_cpu']:.2f} s of CPU), "
              f"{d['rss'] / 2**30:.2f} GiB resident")
        for where in ("in_directory", "reference", "anywhere"):
            ops = d[where]
            print(f"        {where:>12}: " + ", ".join(f"{k} {fmt_time(v)}" for k, v in ops.items()))


if __name__ == "__main__":
    main()
