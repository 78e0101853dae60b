"""marrowfen_kit: what the Python layer costs, and what it wins against the peers.

  MemPath        marrowfen_kit.fs.MemPath on a PyFs
  raw PyFs       the same work written directly against PyFs and its handles
  pyfakefs       pyfakefs's own pathlib (FakePathlibModule) on a FakeFilesystem

Each operation runs over M = 1,000 prebuilt paths (new ones for the
operations that create, existing ones for the rest), in a directory of M
entries; the time is per operation, the minimum of repeats. Paths are built
before the timed loop for every library alike.

  MarrowfenFileSystem against fsspec's MemoryFileSystem (an independent store)
  on one script: for each of 100 directories makedirs, pipe_file (100 B),
  cat_file, info, exists, ls; then rm(recursive) of each; per directory.
"""

from __future__ import annotations

import contextlib
import os

from common import Results, best_of, log, quiet_stdout

M = 1_000
# Every tree lives below this directory, which must not exist on the host:
# pyfakefs's pathlib works only while it patches the real one (it falls back
# to the host's os module otherwise), so a mistake there would show here.
ROOT = "/marrowfen-kit-bench"
SCRIPT_DIRS = 100
DATA = b"x" * 100
ADDED_LIMIT = 2e-6  # seconds a MemPath operation may add to the raw calls
PYFAKEFS_RATIO, FSSPEC_RATIO = 20, 5


def build_tree(path) -> dict:
    """Under ROOT: e<j> (existing 100-byte files), d<j> (empty directories),
    listed (a directory of ten files) and the names n<j>, which the timed
    runs make and remove; `path` makes a path object of a library from a str."""
    path(ROOT).mkdir()
    for j in range(M):
        path(f"{ROOT}/d{j}").mkdir()
        path(f"{ROOT}/e{j}").write_bytes(DATA)
    path(f"{ROOT}/listed").mkdir()
    for k in range(10):
        path(f"{ROOT}/listed/f{k}").write_bytes(DATA)
    return {"existing": [path(f"{ROOT}/e{j}") for j in range(M)], "dirs": [path(f"{ROOT}/d{j}") for j in range(M)],
            "new": [path(f"{ROOT}/n{j}") for j in range(M)], "listed": path(f"{ROOT}/listed")}


def pathlib_ops(paths: dict) -> dict:
    """Each row: (the timed run, untimed set-up, untimed clean-up), in the
    pathlib API, which MemPath and pyfakefs's Path share."""
    e, d, n, listed = paths["existing"], paths["dirs"], paths["new"], paths["listed"]

    def read_with_open():
        for p in e:
            with p.open("rb") as f:
                f.read()

    return {
        "mkdir": (lambda: [p.mkdir() for p in n], None, lambda: [p.rmdir() for p in n]),
        "write_bytes, new file": (lambda: [p.write_bytes(DATA) for p in n], None, lambda: [p.unlink() for p in n]),
        "write_bytes, same length": (lambda: [p.write_bytes(DATA) for p in e], None, None),
        "read_bytes": (lambda: [p.read_bytes() for p in e], None, None),
        "open('rb') + read() + close": (read_with_open, None, None),
        "exists (a file)": (lambda: [p.exists() for p in e], None, None),
        "is_dir (an empty directory)": (lambda: [p.is_dir() for p in d], None, None),
        "iterdir (a directory of 10)": (lambda: [list(listed.iterdir()) for _ in e], None, None),
        "unlink": (lambda: [p.unlink() for p in n], lambda: [p.touch() for p in n], None),
    }


def raw_ops(fs, paths: dict) -> dict:
    """The rows of pathlib_ops written against PyFs and its handles."""
    from marrowfen import Whence

    e, d, n = ([str(p) for p in paths[name]] for name in ("existing", "dirs", "new"))
    op, mk, ls, rm, touch = fs.open, fs.mkdir, fs.listdir, fs.remove, fs.touch

    def write(names):
        for s in names:
            h = op(s, "w")
            h.write(DATA)
            h.close()

    def read():
        for s in e:
            h = op(s, "r")
            h.read(100)
            h.close()

    def whole():  # reading a file whose length is not known
        for s in e:
            h = op(s, "r")
            h.seek(0, Whence.SEEK_END)
            size = h.tell()
            h.seek(0, Whence.SEEK_SET)
            h.read(size)
            h.close()

    def probe(names):
        for s in names:
            try:
                ls(s)
            except ValueError:
                pass

    def remove():
        for s in n:
            rm(s, False)

    return {
        "mkdir": (lambda: [mk(s) for s in n], None, remove),
        "write_bytes, new file": (lambda: write(n), None, remove),
        "write_bytes, same length": (lambda: write(e), None, None),
        "read_bytes": (whole, None, None),
        "open('rb') + read() + close": (read, None, None),
        "exists (a file)": (lambda: probe(e), None, None),
        "is_dir (an empty directory)": (lambda: probe(d), None, None),
        "iterdir (a directory of 10)": (lambda: [ls(f"{ROOT}/listed") for _ in e], None, None),
        "unlink": (remove, lambda: [touch(s) for s in n], None),
    }


def run_mempath(res: Results, repeat: int) -> None:
    from marrowfen import PyFs
    from marrowfen_kit.fs import MemPath

    key = "kit"
    res.section(key, "marrowfen_kit.fs: MemPath against the raw PyFs calls and pyfakefs's pathlib",
                ["MemPath", "raw PyFs", "pyfakefs"], base="MemPath", refs=("raw PyFs",),
                intro=f"Per operation over {M:,} prebuilt paths in a directory of {M:,} entries, 100-byte "
                      "files; minimum of repeats. The raw column does the same work with PyFs and "
                      "PyFileHandle calls (read_bytes: open, seek to the end, tell, seek back, read, close).")
    fs = PyFs()
    paths = build_tree(lambda s: MemPath(fs, s))
    columns = [("MemPath", pathlib_ops(paths)), ("raw PyFs", raw_ops(fs, paths))]
    for row in columns[0][1]:
        for name, ops in columns:
            measure(res, key, row, name, ops[row], repeat)
    try:
        from pyfakefs.fake_filesystem_unittest import Patcher
    except ImportError as error:
        log(f"  pyfakefs: unavailable ({error!r})")
        res.note(f"pyfakefs was unavailable: {error!r}")
        return
    if os.path.exists(ROOT):
        raise RuntimeError(f"{ROOT} exists on the host; remove it")
    with Patcher():
        import pathlib

        ops = pathlib_ops(build_tree(pathlib.Path))
        for row in ops:
            measure(res, key, row, "pyfakefs", ops[row], repeat, quiet=False)
    if os.path.exists(ROOT):
        raise RuntimeError(f"pyfakefs wrote {ROOT} on the host")


def measure(res: Results, key: str, row: str, name: str, op, repeat: int, quiet: bool = True) -> None:
    run, setup, teardown = op
    with quiet_stdout() if quiet else contextlib.nullcontext():
        res.add(key, row, name, best_of(run, M, repeat, setup=setup, teardown=teardown))


def fsspec_script(filesystem) -> None:
    for i in range(SCRIPT_DIRS):
        d = f"/d{i}"
        filesystem.makedirs(d, exist_ok=True)
        filesystem.pipe_file(d + "/f", DATA)
        filesystem.cat_file(d + "/f")
        filesystem.info(d + "/f")
        filesystem.exists(d + "/f")
        filesystem.ls(d, detail=False)
    for i in range(SCRIPT_DIRS):
        filesystem.rm(f"/d{i}", recursive=True)


def run_fsspec(res: Results, repeat: int) -> None:
    from marrowfen import PyFs
    from marrowfen_kit.fsspec import MarrowfenFileSystem

    key = "kitfs"
    res.section(key, "marrowfen_kit.fsspec: MarrowfenFileSystem against fsspec's MemoryFileSystem",
                ["MarrowfenFileSystem", "MemoryFileSystem"], base="MarrowfenFileSystem",
                intro=f"One script on both: for each of {SCRIPT_DIRS} directories makedirs, pipe_file "
                      "(100 B), cat_file, info, exists and ls, then rm(recursive) of each; per "
                      "directory, minimum of repeats.")
    filesystems = [("MarrowfenFileSystem", lambda: MarrowfenFileSystem(PyFs()))]
    try:
        from fsspec.implementations.memory import MemoryFileSystem

        filesystems.append(("MemoryFileSystem",
                            lambda: MemoryFileSystem(global_store=False, skip_instance_cache=True)))
    except ImportError as error:
        res.note(f"fsspec was unavailable: {error!r}")
    for name, make in filesystems:
        filesystem = make()
        with quiet_stdout():
            res.add(key, "the script, per directory", name,
                    best_of(lambda f=filesystem: fsspec_script(f), SCRIPT_DIRS, repeat))


def run_kit(res: Results, repeat: int) -> None:
    import kit_tree

    log("  MemPath")
    run_mempath(res, repeat)
    log("  MarrowfenFileSystem")
    run_fsspec(res, repeat)
    kit_tree.run(res, repeat)


def check_kit(res: Results) -> None:
    """The targets of the kit's rows."""
    import kit_tree
    from common import fmt_ratio, fmt_time

    kit_tree.check(res)
    sec = res.sections.get("kit")
    for row in sec["rows"] if sec else ():
        mem, raw, fake = (res.get("kit", row, lib) for lib in ("MemPath", "raw PyFs", "pyfakefs"))
        if mem is not None and raw is not None:
            res.target("kit", f"MemPath {row}: added to the raw calls", f"{fmt_time(mem - raw)} "
                       f"({fmt_time(mem)} vs {fmt_time(raw)})", "≤ 2 µs", mem - raw <= ADDED_LIMIT)
        if mem is not None and fake is not None:
            res.target("kit", f"MemPath {row} against pyfakefs", f"**{fmt_ratio(fake / mem)}**",
                       f"≥ {PYFAKEFS_RATIO}×", fake / mem >= PYFAKEFS_RATIO)
    ours, theirs = (res.get("kitfs", "the script, per directory", lib)
                    for lib in ("MarrowfenFileSystem", "MemoryFileSystem"))
    if ours is not None and theirs is not None:
        res.target("kit", "MarrowfenFileSystem against MemoryFileSystem, one script",
                   f"**{fmt_ratio(theirs / ours)}** ({fmt_time(ours)} vs {fmt_time(theirs)})",
                   f"≥ {FSSPEC_RATIO}×", theirs / ours >= FSSPEC_RATIO)
