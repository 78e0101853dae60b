"""The six filesystem operations at N = 1k, 10k, 100k, and 1 MiB through a handle.

Tree: N directories /d<i> at the root, each holding one 100-byte file /d<i>/f.
The tree is filled untimed; then, per repeat, a sample of M operations is
timed at that size:

  open + read + close   /d<k>/f for M sampled k, read(100)
  listdir (small)       /d<k> for the same k (one entry each)
  listdir of N          the root, which holds exactly N directories
  mkdir                 M new directories /s<j> at the root (size N .. N+M)
  create+write+close    /s<j>/f, 100 bytes each
  remove                /s<j>/f (the files just created)

and the M directories /s<j> are removed untimed, so every repeat starts from
the same tree. Peers list with their plain listing (names only); marrowfen's
listdir also splits the names into files and directories, so a second row
compares the same work (the peers' listing split by kind).
"""

from __future__ import annotations

import random

from common import Results, best_of, calibrated, interleaved, log, quiet_stdout, time_once
from peers import ALL

DATA = b"x" * 100
OPS = [
    ("mkdir", "mkdir"),
    ("create", "create + write + close (100 B)"),
    ("read", "open + read + close (100 B)"),
    ("ls_small", "listdir of a small directory"),
    ("ls_n", "listdir of a directory of N"),
    ("ls_n_split", "listdir of N, split files/dirs"),
    ("remove", "remove (a file)"),
]


def sample_size(lib: str, n: int) -> int:
    m = max(100, min(1000, n // 5))
    if lib == "fsspec":
        # most of its operations scan the whole store: keep a run short
        m = min(m, max(20, 2_000_000 // n))
    return m


def listing_calls(seconds_per_call: float) -> int:
    return max(1, min(1000, int(0.05 / max(seconds_per_call, 1e-9))))


def call_n(fn, arg, calls: int) -> None:
    for _ in range(calls):
        fn(arg)


def run_size(res: Results, n: int, repeat: int, libs=ALL) -> None:
    key = f"fs{n}"
    res.section(key, f"Filesystem operations, N = {n:,}", [c.name for c in libs],
                intro=f"Per operation; N directories each holding one 100-byte file; "
                      f"minimum of up to {repeat} repeats.")
    rng = random.Random(n)
    for cls in libs:
        name = cls.name
        try:
            lib = cls()
        except Exception as e:  # a peer that cannot be imported
            log(f"  {name}: unavailable ({e!r})")
            res.note(f"{name} was unavailable: {e!r}")
            continue
        log(f"  {name}: filling N={n:,} ...")
        fill = time_once(lib.fill, n, DATA)
        log(f"  {name}: filled in {fill:.2f} s")
        m = sample_size(name, n)
        ks = rng.sample(range(n), m)
        files = [f"/d{k}/f" for k in ks]
        dirs = [f"/d{k}" for k in ks]
        new_dirs = [f"/s{j}" for j in range(m)]
        new_files = [f"/s{j}/f" for j in range(m)]
        with quiet_stdout():
            t_read = best_of(lambda: lib.read_many(files, 100), m, repeat)
        t_ls_small = best_of(lambda: lib.listdir_many(dirs), m, repeat)
        one = time_once(lib.listdir, "/")
        calls = listing_calls(one)
        t_ls_n = best_of(lambda: call_n(lib.listdir, "/", calls), calls, repeat, budget=15)
        one = time_once(lib.listdir_split, "/")
        calls = listing_calls(one)
        t_ls_split = best_of(lambda: call_n(lib.listdir_split, "/", calls), calls, repeat, budget=15)
        best = {"mkdir": float("inf"), "create": float("inf"), "remove": float("inf")}
        for _ in range(repeat):
            best["mkdir"] = min(best["mkdir"], time_once(lib.mkdir_many, new_dirs))
            best["create"] = min(best["create"], time_once(lib.create_many, new_files, DATA))
            best["remove"] = min(best["remove"], time_once(lib.remove_many, new_files))
            lib.rmdir_many(new_dirs)
        values = {
            "mkdir": best["mkdir"] / m, "create": best["create"] / m, "read": t_read,
            "ls_small": t_ls_small, "ls_n": t_ls_n, "ls_n_split": t_ls_split, "remove": best["remove"] / m,
        }
        for op, label in OPS:
            res.add(key, label, name, values[op], note=f"M={m}" if op in ("mkdir", "create", "read", "ls_small", "remove") else "")
        if name == "marrowfen":
            # the floor of a listing: building its N result strings and a list
            names = lib.listdir("/")[1]
            joined = "\n".join(names)
            t = interleaved({"ls": ("ls(p)", {"ls": lib.fs.listdir, "p": "/"}),
                             "floor": ("j.split(sep)", {"j": joined, "sep": "\n"})},
                            repeat=max(repeat, 9), target=0.02)
            t_ls_n, floor = min(t_ls_n, t["ls"]), t["floor"]
            res.section("listing", "Listing against the floor of building its strings", ["marrowfen", "string floor"],
                        intro="`listdir` of a directory of N against `joined.split(\"\\n\")`, which builds the "
                              "same N strings and a list in C; per call.", refs=("string floor",))
            res.add("listing", f"listdir of {n:,} entries", "marrowfen", t_ls_n)
            res.add("listing", f"listdir of {n:,} entries", "string floor", floor)
        lib.close()
        lib = None  # dropped before the next library fills its tree


MIB = 1 << 20


def run_io(res: Results, repeat: int, libs=ALL) -> None:
    key = "io"
    res.section(key, "1 MiB through a handle", [c.name for c in libs] + ["copy floor"],
                intro="Per operation; minimum of repeats. Copy floors: a new bytes object from a "
                      "1 MiB buffer (read), a copy into existing memory through a memoryview "
                      "(overwrite), 64 new 1 MiB bytearrays kept alive and then freed, like the 64 "
                      "new files (write to a new file).", refs=("copy floor",))
    data = bytes(range(256)) * (MIB // 256)
    buf = bytearray(data)
    env = {"buf": buf, "view": memoryview(buf), "data": data}
    res.add(key, "read 1 MiB (seek 0 + read)", "copy floor", calibrated("bytes(buf)", env, repeat=repeat))
    res.add(key, "overwrite 1 MiB (seek 0 + write)", "copy floor",
            calibrated("view[:] = data", env, repeat=repeat))
    k = 64
    kept = []
    res.add(key, "write 1 MiB to a new file (open + write + close)", "copy floor",
            best_of(lambda: kept.extend(bytearray(data) for _ in range(k)), k, repeat, teardown=kept.clear))
    for cls in libs:
        try:
            lib = cls()
        except Exception as e:
            log(f"  {cls.name}: unavailable ({e!r})")
            continue
        h = lib.open_file("/big", "w")
        h.write(data)
        h.close()
        with quiet_stdout():
            h = lib.open_file("/big", "r")
            t = calibrated(lib.reader(h, MIB), repeat=repeat)
            h.close()
        res.add(key, "read 1 MiB (seek 0 + read)", cls.name, t)
        h = lib.open_file("/big", "rw")
        res.add(key, "overwrite 1 MiB (seek 0 + write)", cls.name, calibrated(lib.writer(h, data), repeat=repeat))
        h.close()
        k = 64
        paths = [f"/n{i}" for i in range(k)]
        t = best_of(lambda: lib.create_many(paths, data), k, repeat,
                    teardown=lambda: lib.remove_many(paths))
        res.add(key, "write 1 MiB to a new file (open + write + close)", cls.name, t)
        lib.close()


def run_scaling(res: Results, repeat: int) -> None:
    """Creating, opening and removing one entry in a directory of 100k
    entries against a directory of 10 entries."""
    from marrowfen import PyFs

    cols = ["directory of 100,000", "directory of 10"]
    res.section("dirsize", "One entry in a large directory against a small one (marrowfen)", cols,
                intro="Per operation; the same name created and removed again, or 100 random "
                      "existing files opened and closed; the runs of both sizes alternate; "
                      "minimum of 15 repeats.", base=cols[0], refs=(cols[1],))
    fs = PyFs()
    big, small = 100_000, 10
    for d, count in (("/big", big), ("/small", small)):
        fs.mkdir(d)
        touch = fs.touch
        for i in range(count):
            touch(f"{d}/e{i}")
    rng = random.Random(7)
    cases = {}
    for d, count in (("/big", big), ("/small", small)):
        env = {"p": f"{d}/new", "touch": fs.touch, "mkdir": fs.mkdir, "rm": fs.remove, "op": fs.open,
               "opens": [f"{d}/e{rng.randrange(count)}" for _ in range(100)]}
        cases[("create + remove one file", d)] = ("touch(p); rm(p, False)", env)
        cases[("mkdir + remove one directory", d)] = ("mkdir(p); rm(p, False)", env)
        cases[("open + close an existing file (per 100 random files)", d)] = (
            "for q in opens: op(q, 'r').close()", env)
    t = interleaved(cases, repeat=max(15, repeat))
    timings = {"/big": {}, "/small": {}}
    for (row, d), v in t.items():
        timings[d][row] = v / 100 if "100 random" in row else v
    for row in timings["/big"]:
        label = row.replace(" (per 100 random files)", "")
        res.add("dirsize", label, cols[0], timings["/big"][row])
        res.add("dirsize", label, cols[1], timings["/small"][row])
