"""The benchmark harness: marrowfen against the peers a user would pick instead.

Usage: run.py [--quick] [--sizes 1000,10000,100000]
              [--skip fs,io,term,kit,pool,shell,transfer,shellpool,shellrate,contain,ray,mem,scale,bigtree,callgrind]
              [--out bench/RESULTS.md]

Every workload runs against marrowfen and against each peer in this one
process (memory in a child process per library), and is reported as absolute
time and as a ratio peer / marrowfen. Figures are minimums of repeats: the
machine is small and shared, and the minimum is the least noisy statistic.
Progress goes to standard error; the tables go to standard output and to
bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import datetime
import fcntl
import importlib.metadata as md
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import kit_ops  # noqa: E402
import kit_pool  # noqa: E402
import kit_ray  # noqa: E402
import kit_shell  # noqa: E402
import shell_throughput  # noqa: E402
from common import Results, fmt_ratio, fmt_time, log, quiet_stdout  # noqa: E402

SIZES = [1_000, 10_000, 100_000]
ACCOUNT_LOCK = "/tmp/marrowfen-host-account-tests.lock"
PEERS = ["MemoryFS", "pyfakefs", "fsspec"]


def machine() -> dict:
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        with open("/proc/meminfo") as f:
            mem = int(f.readline().split()[1]) // 1024 // 1024
    except (OSError, ValueError, IndexError):
        mem = 0

    def git(*args):
        try:
            return subprocess.run(["git", "-C", HERE, *args], capture_output=True, text=True, timeout=10).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            return ""
    head = git("rev-parse", "--short", "HEAD")
    changed = len([x for x in git("status", "--porcelain", "--", "src").splitlines() if x])

    def version(dist):
        try:
            return md.version(dist)
        except md.PackageNotFoundError:
            return "missing"
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "memory_gib": mem,
        "kernel": platform.release(),
        "python": f"{platform.python_implementation()} {platform.python_version()} ({sys.executable})",
        "marrowfen": version("marrowfen"),
        "source": f"{head}" + (f" with {changed} changed file(s) under src/" if changed else ""),
        "peers": {d: version(d) for d in ("pyfakefs", "fs", "fsspec", "pexpect")},
        "load": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }


# ---------------------------------------------------------------- targets

def check(res: Results, sizes) -> None:
    R = res.get
    for n in sizes:
        key = f"fs{n}"
        if key not in res.sections:
            continue
        for row in res.sections[key]["rows"]:
            mf = R(key, row, "marrowfen")
            if mf is None or row == "listdir of a directory of N":  # a measurement only (see the notes)
                continue
            parts, met = [], True
            for peer, need in (("MemoryFS", 10), ("pyfakefs", 50)):
                p = R(key, row, peer)
                if p is None:
                    continue
                ratio = p / mf
                parts.append(f"{peer} {fmt_ratio(ratio)}")
                met &= ratio >= need
            absolute = "listdir of" not in row or "small" in row
            if absolute:
                met &= mf <= 1e-6
            res.target("filesystem", f"{row}, N = {n:,}", f"{fmt_time(mf)}; " + ", ".join(parts),
                       "≥10× MemoryFS, ≥50× pyfakefs" + (", ≤ ~1 µs" if absolute else ""), met)
    if any(f"fs{n}" in res.sections for n in sizes):
        res.note("“listdir of a directory of N” is a measurement, not a target: against the peers' "
                 "plain listings it compares building N new strings with handing back strings a peer "
                 "already keeps (MemoryFS returns a list of its dict's keys). The same work, split by "
                 "kind, is the row below it, and the cost of building the strings is held to the "
                 "string floor (the listing targets).")
    for key, group, limit in (("dirsize", "directory size", "≤ 1.5× the directory of 10"),
                              ("listing", "listing", "≤ 1.5× the string floor")):
        sec = res.sections.get(key)
        if not sec:
            continue
        a_col, b_col = sec["base"], sec["refs"][0]
        for row in sec["rows"]:
            a, b = R(key, row, a_col), R(key, row, b_col)
            if a is None or b is None:
                continue
            res.target(group, row, f"{fmt_ratio(a / b)} ({fmt_time(a)} vs {fmt_time(b)})", limit, a / b <= 1.5)
    if "io" in res.sections:
        for row in res.sections["io"]["rows"]:
            a, b = R("io", row, "marrowfen"), R("io", row, "copy floor")
            if a is None or b is None:
                continue
            res.target("1 MiB", row, f"{fmt_ratio(a / b)} of the floor ({fmt_time(a)} vs {fmt_time(b)})",
                       "≤ 1.5× the copy floor", a / b <= 1.5)
    if "term" in res.sections:
        for row in res.sections["term"]["rows"]:
            a, b = R("term", row, "marrowfen"), R("term", row, "shlex baseline")
            if a is None or b is None:
                continue
            limit, met = "≥10× the shlex baseline", b / a >= 10
            if row.startswith(("pwd", "echo")):
                limit += ", ≤ ~1 µs"
                met &= a <= 1e-6
            res.target("terminal", row, f"{fmt_time(a)}; baseline {fmt_ratio(b / a)}", limit, met)
    if "pool" in res.sections:
        def pool(row, lib="marrowfen"):
            return R("pool", row, lib)
        rt = pool("echo round trip")
        if rt is not None:
            res.target("sessions", "echo round trip", fmt_time(rt), "≤ 0.2 ms", rt <= 0.2e-3)
        c = pool("close")
        if c is not None:
            res.target("sessions", "close", fmt_time(c), "≤ 10 ms", c <= 10e-3)
        s, su = pool("spawn until the shell answers"), pool("spawn until the shell answers", "su (subprocess)")
        if s is not None and su is not None:
            res.target("sessions", "spawn over su itself", f"{fmt_ratio(s / su)} ({fmt_time(s)} vs {fmt_time(su)})",
                       "≤ 1.10×", s / su <= 1.10)
        a = pool("allocate a reused account")
        if a is not None:
            res.target("sessions", "allocate a clean reused account (with its kill loop and sweep)", fmt_time(a),
                       "≤ 2 ms", a <= 2e-3)
    kit_ops.check_kit(res)
    kit_shell.check(res)
    kit_pool.check(res)
    shell_throughput.check(res)
    import containment

    containment.check(res)
    mem = res.sections.get("mem")
    if mem:
        for what, key, cpp_kind, limit in (("empty file", "marrowfen", "file", 128),
                                          ("empty directory", "marrowfen (directories)", "directory", 160)):
            d = mem["data"].get(key)
            if d is not None:
                b = d["per_inode"]
                res.target("memory", f"bytes per {what} (names ≤ 12 bytes), from Python",
                           f"{b:.0f} B resident", f"≤ {limit} B", b <= limit)
            c = mem.get("cpp", {}).get(cpp_kind)
            if c is not None:
                res.target("memory", f"bytes per {what} (names ≤ 12 bytes), in C++",
                           f"{c['per_inode']:.0f} B in use by malloc", f"≤ {limit} B", c["per_inode"] <= limit)
    tree = res.sections.get("bigtree")
    if tree:
        full, tenth = tree["data"]["full"], tree["data"]["tenth"]
        growth = tree["data"]["build_ratio"]
        pairs = ", ".join(f"{x:.1f}×" for x in tree["data"]["build_ratios"])
        res.target("10M files", f"build time, {full['files']:,} against {tenth['files']:,} files",
                   f"{growth:.1f}× (the middle of {pairs}; fastest builds {full['build_cpu']:.2f} s and "
                   f"{tenth['build_cpu']:.2f} s of CPU)", "≤ 11×", growth <= 11)
        gib = full["rss"] / 2**30
        res.target("10M files", "resident set size once built", f"{gib:.2f} GiB", "≤ 1.3 GiB", gib <= 1.3)
        for op in ("listdir", "open+close", "remove"):
            a, b = full["in_directory"][op], full["reference"][op]
            res.target("10M files", f"{op} in a directory of the tree against the small tree",
                       f"{fmt_ratio(a / b)} ({fmt_time(a)} vs {fmt_time(b)})", "≤ 1.5×", a / b <= 1.5)


# ---------------------------------------------------------------- rendering

def render_section(sec: dict) -> list[str]:
    libs, base, refs = sec["libs"], sec["base"], set(sec["refs"])
    out = [f"### {sec['title']}", ""]
    if sec.get("intro"):
        out += [sec["intro"], ""]
    head = ["operation"] + libs
    out.append("| " + " | ".join(head) + " |")
    out.append("|---|" + "---:|" * len(libs))
    for row, r in sec["rows"].items():
        vals = r["values"]
        mf = vals.get(base)
        cells = [row]
        for lib in libs:
            v = vals.get(lib)
            if v is None:
                cells.append("")
                continue
            cell = fmt_time(v)
            if lib != base and mf is not None and v > 0:
                cell += f" · {fmt_ratio(mf / v)}" if lib in refs else f" · **{fmt_ratio(v / mf)}**"
            note = r["notes"].get(lib)
            if note and not note.startswith("M="):
                cell += f" ({note})"
            cells.append(cell)
        out.append("| " + " | ".join(cells) + " |")
    out.append("")
    return out


def check_instructions(res: Results, cg) -> None:
    import callgrind

    by_op = {r["op"]: r for r in cg}
    for op, limit in callgrind.TARGETS.items():
        r = by_op.get(op)
        if r is None:
            continue
        inside, total = r["groups"].get("marrowfen", 0), r["per_op"]
        before = callgrind.BEFORE[op]
        measured = (f"{inside:,.0f} in marrowfen ({before[0]:,} before), {total:,.0f} in all "
                    f"({before[1]:,} before)")
        if isinstance(limit, float):
            res.target("instructions", f"`{op}`", measured, f"≤ {limit:.0%} of before, in marrowfen",
                       inside <= limit * before[0])
        else:
            res.target("instructions", f"`{op}`", measured, f"≤ {limit:,} in marrowfen", inside <= limit)


def render(res: Results, info: dict, cg, elapsed: float) -> str:
    out = [
        "# marrowfen benchmark results",
        "",
        "Written by `make bench` (bench/run.py). Do not edit by hand.",
        "",
        f"- Date: {info['date']}; load average at start: {info['load']}",
        f"- Machine: {info['nproc']} CPUs, {info['cpu']}, {info['memory_gib']} GiB, Linux {info['kernel']}",
        f"- Interpreter: {info['python']}",
        f"- marrowfen {info['marrowfen']} built from {info['source']} (Release, -O3)",
        "- Peers: " + ", ".join(f"{k} {v}" for k, v in info["peers"].items()),
        f"- Whole run: {elapsed / 60:.1f} min",
        "",
        "Every figure is the minimum of several repeats of a timed loop, with the garbage collector "
        "off, on a 2-core machine shared with compilers: other statistics are noisy here. "
        "**Bold** ratios are peer / marrowfen (how many times faster marrowfen is); plain ratios "
        "in reference columns are marrowfen / reference (1.00× means at the floor).",
        "",
        "## Targets",
        "",
        "| group | what | measured | target | verdict |",
        "|---|---|---|---|---|",
    ]
    for t in res.targets:
        verdict = {True: "met", False: "**missed**", None: "n/a"}[t["met"]]
        out.append(f"| {t['group']} | {t['what']} | {t['measured']} | {t['limit']} | {verdict} |")
    met = sum(1 for t in res.targets if t["met"])
    out += ["", f"{met} of {len(res.targets)} targets met.", "", "## Measurements", ""]
    order = ["listing", "dirsize", "io", "term", "kit", "kitfs", "kittree", "kitcopy", "pool", "shell", "ray", "mem", "bigtree"]
    keys = sorted(res.sections, key=lambda k: (order.index(k) + 1 if k in order else 0, len(k), k))
    for key in keys:
        sec = res.sections[key]
        if key == "mem":
            out += render_memory(sec)
        elif key == "bigtree":
            out += render_tree(sec)
        else:
            out += render_section(sec)
    if cg:
        import callgrind

        out += ["### Instructions per operation (callgrind)", "",
                f"`make bench-callgrind` prints these with the top functions of each. A fixed loop of "
                f"{cg[0]['count']} operations (bench/callgrind_loop.py; 40 for the 1,000-entry "
                "listings), counted in its own dump; `floor` is the interpreter's loop with one "
                "`dict.get` call, `split-1k` builds the 1,000 strings of `listdir-1k` with "
                "`str.split`. Deterministic: compare across changes.", "", callgrind.table(cg), ""]
        out += ["Top functions by self cost (instructions per operation):", ""]
        for r in cg:
            top = "; ".join(f"{fn.split('(')[0]} {v:,.0f}" for fn, _, v in r["top"][:5])
            out.append(f"- `{r['op']}`: {top}")
        out.append("")
    if res.notes:
        out += ["## Notes", ""] + [f"- {n}" for n in res.notes] + [""]
    out += ["## Method", "", METHOD]
    return "\n".join(out) + "\n"


METHOD = """\
- Filesystem operations: a tree of N directories `/d<i>`, each holding a 100-byte file `f`, is
  filled untimed; then per repeat a sample of M operations is timed at that size (M = N/5, at
  least 100 and at most 1,000; fsspec, whose operations scan its whole store, uses fewer). Reads
  and small listings use M random existing entries; mkdir, create + write + close and remove use
  M new entries `/s<j>` and `/s<j>/f`, removed again untimed. Peers are driven through their
  public APIs (pyfakefs through `FakeOsModule` and `FakeFileOpen`, MemoryFS through `makedir`
  and `openbin`, fsspec through `mkdir`, `open`, `ls` and `rm_file`); only the untimed fill of
  large trees uses pyfakefs's `create_dir`/`create_file` and fsspec's store directly.
- "listdir of a directory of N" lists the root (N directories): peers with their plain listing
  of names, as a user would; marrowfen's `listdir` also splits the names into files and
  directories, so the next row compares the same work (peers' `scandir` / `ls(detail=True)`).
- 1 MiB: `seek(0)` and `read(1 MiB)` or `write(1 MiB)` on an open handle of a 1 MiB file, and
  open + write + close of 1 MiB into 64 new files (removed untimed). Copy floors: `bytes(buf)`
  (a new 1 MiB object), `view[:] = data` through a memoryview (a copy into existing memory), and
  64 new `bytearray(data)` kept alive, then freed (new memory: its page faults are part of it).
- Listing floor: `joined.split("\\n")` over the same names, which builds N strings and a list in
  C; its runs alternate with those of `listdir`.
- Directory size: the runs for the directory of 100,000 and the directory of 10 alternate.
- Terminal: `PyTerm.exec` against bench/shlex_term.py (shlex.split plus a dict of handlers
  over MemoryFS), both standing in a directory of 20 entries; outputs are checked to be equal.
- Sessions use the pool's fourth account (the one test suites on the same host are least likely to
  use at the same moment). Spawn is timed until the first `echo` round trip has completed; "su (subprocess)"
  runs the session's own command line (`su -s /bin/bash -P -c ... <user>`) with
  subprocess.Popen and drives the same pipes, as the floor; pexpect drives
  `su -s /bin/bash <user>` with `delaybeforesend=None`.
- marrowfen_kit.fs on trees (bench/kit_tree.py): 10 × 10 directories of 10 files of 4 KiB
  (1,000 files, half *.txt). `glob("**/*.txt")` and `walk()` listed whole, on a MemPath, under
  pyfakefs's Patcher and with pathlib on /dev/shm. "host tree in" copies the tree from /dev/shm
  with `copy_from_host` and reads every file back, against pyfakefs's `add_real_directory` and a
  read of every file; "tree out" is `copy_to_host` against `shutil.copytree` on /dev/shm.
- marrowfen_kit.shell: on the same account, `Shell.run("true")` alternates with the raw echo
  round trip above; a command printing 8 MiB runs through `Shell.run`, through a raw session
  (reads until an end marker printed after it) and through pexpect (`expect_exact` of that marker).
- marrowfen_kit.shell commands per second (bench/shell_throughput.py): 1 and 8 shells, one
  account each, run `true` for 0.5 s (best of 10 rounds): AsyncShells under one asyncio loop,
  Shells in a thread each, pexpect children in a thread each (no send delay, no echo, a prompt of
  their own).
- marrowfen_kit.ray: a two-node Ray cluster on this machine (127.0.0.1, one CPU each, Ray's
  temporary directory under a root-only parent); `RemoteShell.run("true")` against a local
  `Shell.run("true")`, then 16 shells (8 on each node; 16 local ones) each running `true` in a
  thread of the driver (or, for the asyncio row, all awaited by one event loop). The nodes and
  the driver share the machine's two cores: the rows are the cost of the trip through Ray.
- Memory: resident set size before and after creating 1,000,000 empty files (names of 2 to 4
  bytes, 1,000 per directory) in a fresh process, divided by the inodes created; peers at 50,000.
  The same for 1,000,000 empty directories, and both again in C++ on the core alone, counting the
  bytes malloc has handed out (bench/inode_memory.cpp).
- Ten million files: bench/scale.py (`make bench-scale` runs it alone). The build is timed in CPU
  seconds, since the machine is shared; operations "in one directory" have the working set of the
  small tree, operations "anywhere" fetch their inodes from memory that is not in the caches.
- The read diagnostic line on file descriptor 1 goes to /dev/null during the timed loops.
"""


def render_memory(sec: dict) -> list[str]:
    out = [f"### {sec['title']}", "", sec["intro"], "",
           "| library | inodes | RSS growth | bytes per inode | in use by malloc, per inode | peer / marrowfen |",
           "|---|---:|---:|---:|---:|---:|"]
    base = sec["data"].get("marrowfen", {}).get("per_inode")
    for lib, d in sec["data"].items():
        ratio = "" if lib.startswith("marrowfen") or not base else f"**{fmt_ratio(d['per_inode'] / base)}**"
        heap = (d["heap_after"] - d["heap_before"]) / d["inodes"]
        out.append(f"| {lib} | {d['inodes']:,} | {(d['rss_after'] - d['rss_before']) / 2**20:.1f} MiB | "
                   f"{d['per_inode']:.0f} B | {heap:.0f} B | {ratio} |")
    out.append("")
    cpp = sec.get("cpp")
    if cpp:
        out += ["In C++ (bench/inode_memory.cpp, no interpreter): bytes in use by malloc per inode, "
                "1,000 to a directory.", "",
                "| kind | inodes | in use by malloc | bytes per inode | the inode itself |", "|---|---:|---:|---:|---:|"]
        for kind, c in cpp.items():
            out.append(f"| empty {kind} | {c['inodes']:,} | {c['bytes'] / 2**20:.1f} MiB | {c['per_inode']:.0f} B | "
                       f"{c['node_size']} B |")
        out.append("")
    return out


def render_tree(sec: dict) -> list[str]:
    out = [f"### {sec['title']}", "", sec["intro"], "",
           "| tree | build (CPU) | resident | listdir (10,000 entries) | open + close | remove |",
           "|---|---:|---:|---:|---:|---:|"]
    for label in ("small", "tenth", "full"):
        d = sec["data"][label]
        for where, title in (("in_directory", "in one directory"), ("reference", "the small tree beside it"),
                             ("anywhere", "anywhere")):
            ops = d[where]
            build = f"{d['build']:.2f} s ({d['build_cpu']:.2f} s)" if where == "in_directory" else ""
            rss = f"{d['rss'] / 2**30:.2f} GiB" if where == "in_directory" else ""
            out.append(f"| {d['files']:,} files, {title} | {build} | {rss} | {fmt_time(ops['listdir'])} | "
                       f"{fmt_time(ops['open+close'])} | {fmt_time(ops['remove'])} |")
    out.append("")
    return out


def run_memory(res: Results, quick: bool) -> None:
    sec = res.section("mem", "Memory per inode", [], intro="Resident set growth per inode, "
                      "each library in a fresh process (empty files, names of 2 to 4 bytes; marrowfen "
                      "also with empty directories).")
    sec["data"] = {}
    count = 100_000 if quick else 1_000_000
    for label, lib, n, kind in (("marrowfen", "marrowfen", count, "files"),
                                ("marrowfen (directories)", "marrowfen", count, "dirs"),
                                ("MemoryFS", "MemoryFS", 50_000, "files"), ("pyfakefs", "pyfakefs", 50_000, "files"),
                                ("fsspec", "fsspec", 50_000, "files")):
        if quick and lib != "marrowfen":
            continue
        log(f"  memory: {label} ({n:,} {kind})")
        p = subprocess.run([sys.executable, os.path.join(HERE, "memprobe.py"), lib, str(n), kind],
                           capture_output=True, text=True)
        if p.returncode != 0:
            log(f"  memory probe for {label} failed: {p.stderr[-500:]}")
            res.note(f"memory probe for {label} failed")
            continue
        d = json.loads(p.stdout)
        d["per_inode"] = (d["rss_after"] - d["rss_before"]) / d["inodes"]
        sec["data"][label] = d
    probe = os.path.join(HERE, "..", "build", "bench-cpp", "inode_memory")
    if not os.path.exists(probe):
        res.note("the C++ memory probe is not built (`make bench` builds it into build/bench-cpp)")
        return
    log("  memory: C++ probe")
    p = subprocess.run([probe, str(count)], capture_output=True, text=True)
    if p.returncode != 0:
        res.note(f"the C++ memory probe failed: {p.stderr[-500:]}")
        return
    sec["cpp"] = {c["kind"]: c for c in map(json.loads, p.stdout.splitlines())}


def run_tree(res: Results, repeat: int) -> None:
    import scale

    sec = res.section("bigtree", "A tree of ten million files", [], intro=(
        "Directories of 10,000 empty files each: one, 100, and 1,000, each built in a fresh process, "
        "the large ones five times by turns; a build of the largest is set against the build of the "
        "one of 100 just before it, and the middle of those ratios (in CPU seconds) is the target's. "
        "The table shows the fastest builds. Per operation, the "
        "minimum of repeats: in one directory picked at random (1,000 random files of it per run), in "
        "a small tree of one such directory built beside it (its runs alternate with those in the "
        "directory), and anywhere (every file, and every listed directory, picked at random in the "
        "whole tree, none twice)."))
    sec["data"] = scale.measure(repeat=repeat, log=log)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="N = 1k only, fewer repeats, no peers for memory")
    ap.add_argument("--sizes", help="comma-separated N for the filesystem table")
    ap.add_argument("--skip", default="", help="comma-separated: fs,io,term,kit,pool,shell,transfer,shellpool,shellrate,"
                                               "contain,ray,mem,scale,bigtree,callgrind")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    ap.add_argument("--json", help="also write the raw figures to this file")
    args = ap.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    sizes = [int(x) for x in args.sizes.split(",")] if args.sizes else ([1_000] if args.quick else SIZES)
    repeat = 3 if args.quick else 7

    info = machine()
    res = Results()
    start = time.perf_counter()
    import containment
    import fs_ops
    import sessions
    import term_ops

    with quiet_stdout():
        if "fs" not in skip:
            for n in sizes:
                log(f"filesystem operations, N = {n:,}")
                fs_ops.run_size(res, n, repeat if n < 100_000 else max(3, repeat - 2))
        if "scale" not in skip:
            log("scaling: a directory of 100k against a directory of 10")
            fs_ops.run_scaling(res, repeat)
        if "io" not in skip:
            log("1 MiB through a handle")
            fs_ops.run_io(res, repeat)
        if "term" not in skip:
            log("terminal lines")
            term_ops.run_terminal(res, repeat)
        if "kit" not in skip:
            log("marrowfen_kit")
            kit_ops.run_kit(res, repeat)
        for key, what, run in (("pool", "pool and session benchmarks", sessions.run_sessions),
                               ("shell", "marrowfen_kit.shell benchmarks", kit_shell.run_kit_shell),
                               ("transfer", "files into a home and out", kit_pool.run_transfer),
                               ("shellpool", "the warm shell pool", kit_pool.run_shell_pool),
                               ("shellrate", "marrowfen_kit.shell commands per second",
                                shell_throughput.run_shell_throughput),
                               ("contain", "contained tenants", containment.run_containment),
                               ("ray", "marrowfen_kit.ray benchmarks", kit_ray.run_kit_ray)):
            if key in skip:
                continue
            log(what)
            try:
                # The fixed-seed accounts are shared with every test run on the
                # host: a release kills the shells of another user of the account.
                with open(ACCOUNT_LOCK, "a") as lock:
                    fcntl.flock(lock, fcntl.LOCK_EX)
                    run(res, 5 if args.quick else 20)
            except Exception as e:  # the host may lack su, useradd, ...
                log(f"  {what} failed: {e!r}")
                res.note(f"{what} failed: {e!r}")
        if "mem" not in skip:
            log("memory per inode")
            run_memory(res, args.quick)
        if "bigtree" not in skip and not args.quick:
            log("a tree of ten million files")
            try:
                run_tree(res, repeat)
            except Exception as e:
                log(f"  the tree of ten million files failed: {e!r}")
                res.note(f"the tree of ten million files failed: {e!r}")
    cg = None
    if "callgrind" not in skip:
        log("instruction counts under callgrind")
        try:
            import callgrind

            cg = callgrind.measure(count=2000, log=log)
        except Exception as e:
            log(f"  callgrind skipped: {e}")
            res.note(f"callgrind skipped: {e}")
    check(res, sizes)
    if cg:
        check_instructions(res, cg)
    text = render(res, info, cg, time.perf_counter() - start)
    print(text)
    with open(args.out, "w") as f:
        f.write(text)
    log(f"wrote {args.out}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "sections": res.sections, "targets": res.targets,
                       "callgrind": cg}, f, indent=1, default=str)


if __name__ == "__main__":
    main()
