"""marrowfen_kit on whole trees: glob and walk, and copies between the host and a PyFs.

  MemPath        marrowfen_kit.fs on a PyFs
  pyfakefs       pyfakefs's pathlib (under its Patcher) on a FakeFilesystem
  pathlib        the standard pathlib on a tmpfs (/dev/shm)

The tree: 10 directories of 10 directories of 10 files each (1,000 files,
half of them *.txt, 110 directories), 4 KiB per file.

  glob("**/*.txt") and walk(): each listed whole, per call.
  host tree in, every file read: copy_from_host of the tree on tmpfs into a
  PyFs, then read_bytes of every file; against pyfakefs's add_real_directory
  of the same tree, then read_bytes of every file (pyfakefs reads lazily, so
  the reads are where it copies).
  tree out to the host: copy_to_host, against shutil.copytree from the
  tmpfs to the tmpfs (the floor of a copy on the host).
"""

from __future__ import annotations

import shutil
import tempfile

from common import Results, best_of, log

DATA = b"y" * 4096
COPY_RATIO = 5  # at least this many times faster than pyfakefs


def names() -> list[str]:
    files = []
    for i in range(10):
        for j in range(10):
            for k in range(10):
                files.append(f"t{i}/s{j}/f{k}.{'txt' if k % 2 else 'dat'}")
    return files


def build(path) -> None:
    """The tree below `path` (a MemPath or a pathlib.Path, made by the caller)."""
    for i in range(10):
        for j in range(10):
            (path / f"t{i}" / f"s{j}").mkdir(parents=True)
    for name in names():
        (path / name).write_bytes(DATA)


def tree_ops(root) -> dict:
    def glob():
        found = list(root.glob("**/*.txt"))
        assert len(found) == 500, len(found)

    def walk():
        assert sum(len(files) for _, _, files in root.walk()) == 1000

    return {'glob("**/*.txt")': glob, "walk()": walk}


def run_tree_ops(res: Results, repeat: int) -> None:
    import pathlib

    from marrowfen import PyFs
    from marrowfen_kit.fs import MemPath

    key = "kittree"
    res.section(key, "marrowfen_kit.fs: glob and walk over a tree of 1,000 files",
                ["MemPath", "pyfakefs", "pathlib (tmpfs)"], base="MemPath",
                intro="A tree of 10 × 10 directories of 10 files (1,000 files, 500 of them *.txt); "
                      "per call, the whole result listed; minimum of repeats.")
    root = MemPath(PyFs())
    build(root)
    columns = [("MemPath", tree_ops(root))]
    with tempfile.TemporaryDirectory(dir="/dev/shm") as tmp:
        build(pathlib.Path(tmp))
        columns.append(("pathlib (tmpfs)", tree_ops(pathlib.Path(tmp))))
        for lib, ops in columns:
            for row, op in ops.items():
                res.add(key, row, lib, best_of(op, 1, repeat))
    try:
        from pyfakefs.fake_filesystem_unittest import Patcher
    except ImportError as error:
        res.note(f"pyfakefs was unavailable: {error!r}")
        return
    with Patcher():
        import pathlib as fake_pathlib

        fake_root = fake_pathlib.Path("/marrowfen-kit-tree")
        fake_root.mkdir()
        build(fake_root)
        for row, op in tree_ops(fake_root).items():
            res.add(key, row, "pyfakefs", best_of(op, 1, repeat))


def run_copies(res: Results, repeat: int) -> None:
    import pathlib

    from marrowfen import PyFs
    from marrowfen_kit.fs import MemPath, copy_from_host, copy_to_host

    key = "kitcopy"
    res.section(key, "marrowfen_kit.fs: a host tree into a PyFs and back",
                ["MemPath", "pyfakefs", "shutil (tmpfs)"], base="MemPath",
                intro="The tree of the glob rows (1,000 files of 4 KiB, 110 directories) on tmpfs; "
                      "per tree, minimum of repeats.")
    listed = names()
    with tempfile.TemporaryDirectory(dir="/dev/shm") as tmp:
        source = pathlib.Path(tmp) / "source"
        source.mkdir()
        build(source)

        def ours_in():
            root = MemPath(PyFs())
            copy_from_host(source, root / "in")
            for name in listed:
                (root / "in" / name).read_bytes()

        res.add(key, "host tree in, every file read", "MemPath", best_of(ours_in, 1, repeat))
        filled = MemPath(PyFs(), "/in")
        copy_from_host(source, filled)
        out = pathlib.Path(tmp) / "out"
        res.add(key, "tree out to the host", "MemPath",
                best_of(lambda: copy_to_host(filled, out), 1, repeat, teardown=lambda: shutil.rmtree(out)))
        res.add(key, "tree out to the host", "shutil (tmpfs)",
                best_of(lambda: shutil.copytree(source, out), 1, repeat, teardown=lambda: shutil.rmtree(out)))
        try:
            from pyfakefs.fake_filesystem_unittest import Patcher
        except ImportError as error:
            res.note(f"pyfakefs was unavailable: {error!r}")
            return

        def theirs_in():
            with Patcher() as patcher:
                import pathlib as fake_pathlib

                patcher.fs.add_real_directory(str(source), read_only=False)
                for name in listed:
                    (fake_pathlib.Path(source) / name).read_bytes()

        res.add(key, "host tree in, every file read", "pyfakefs", best_of(theirs_in, 1, repeat))


def run(res: Results, repeat: int) -> None:
    log("  MemPath glob and walk")
    run_tree_ops(res, repeat)
    log("  host trees in and out")
    run_copies(res, repeat)


def check(res: Results) -> None:
    from common import fmt_ratio

    for row in ('glob("**/*.txt")', "walk()"):
        ours = res.get("kittree", row, "MemPath")
        for peer in ("pyfakefs", "pathlib (tmpfs)"):
            theirs = res.get("kittree", row, peer)
            if ours is not None and theirs is not None:
                res.target("kit", f"MemPath {row} against {peer}", f"**{fmt_ratio(theirs / ours)}**", "faster",
                           theirs > ours)
    ours, theirs = (res.get("kitcopy", "host tree in, every file read", lib) for lib in ("MemPath", "pyfakefs"))
    if ours is not None and theirs is not None:
        res.target("kit", "host tree into a PyFs, every file read, against pyfakefs's add_real_directory",
                   f"**{fmt_ratio(theirs / ours)}**", f"≥ {COPY_RATIO}×", theirs / ours >= COPY_RATIO)
