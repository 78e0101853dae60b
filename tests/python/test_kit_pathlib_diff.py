"""MemPath against pathlib: the same operations on a MemPath at the root of a
new PyFs and on a pathlib.Path in a temporary directory, step by step, with
the results and the exception types (and errno) compared.

Paths in results are compared relative to the root of each side, listings
and glob results as sorted lists, `stat()` by size (of files) and type bits.
"""

from __future__ import annotations

import errno
import os
import pathlib
import stat
import sys

import pytest

import marrowfen
from marrowfen_kit.fs import MemPath

pytestmark = pytest.mark.usefixtures("nothing_on_stdout")

PY313 = sys.version_info >= (3, 13)


def tree(r):
    """a.txt, b.py, .hidden.txt, d/c.txt, d/e/f.txt, d/e/g/ (empty), k/ (empty)"""
    for d in ("d", "d/e", "d/e/g", "k"):
        (r / d).mkdir()
    for f in ("a.txt", "b.py", ".hidden.txt", "d/c.txt", "d/e/f.txt"):
        (r / f).write_text(f)
    return "tree"


SCENARIOS = {
    "contents shrink and grow in place": [
        lambda r: (r / "f").write_text("hello world"),
        lambda r: (r / "f").write_text("hi"),
        lambda r: (r / "f").read_text(),
        lambda r: (r / "f").stat(),
        lambda r: (r / "f").write_bytes(b""),
        lambda r: (r / "f").read_bytes(),
        lambda r: (r / "f").write_bytes(b"0123456789"),
        lambda r: r.joinpath("f").open("w").close(),
        lambda r: (r / "f").stat().st_size,
        lambda r: (r / "f").write_bytes(b"0123456789"),
        lambda r: _truncated(r / "f", 4),
        lambda r: (r / "f").read_bytes(),
        lambda r: _truncated(r / "f", 6),
        lambda r: (r / "f").read_bytes(),
        lambda r: (r / "g").write_text("é\r\nx", encoding="latin-1"),
        lambda r: (r / "g").read_text(encoding="latin-1"),
        lambda r: (r / "g").read_text(encoding="ascii", errors="replace"),
        lambda r: (r / "g").read_text(),
        lambda r: (r / "g").open("rb", buffering=0).close(),
        lambda r: (r / "g").open("r", 0),
        lambda r: _with_open(r / "g", "r", 1, lambda f: f.read()),
    ],
    "creation and removal": [
        lambda r: (r / "d").mkdir(),
        lambda r: (r / "d").mkdir(),
        lambda r: (r / "d").mkdir(exist_ok=True),
        lambda r: (r / "x/y/z").mkdir(),
        lambda r: (r / "x/y/z").mkdir(parents=True),
        lambda r: (r / "x/y/z").mkdir(0o700, True, True),
        lambda r: (r / "f").touch(),
        lambda r: (r / "f").touch(),
        lambda r: (r / "f").touch(exist_ok=False),
        lambda r: (r / "f").mkdir(exist_ok=True),
        lambda r: (r / "f" / "g").mkdir(parents=True),
        lambda r: (r / "f" / "g").touch(),
        lambda r: (r / "d").write_text("x"),
        lambda r: (r / "d").read_bytes(),
        lambda r: (r / "d").open("rb"),
        lambda r: (r / "nope").open("r"),
        lambda r: (r / "nope/x").write_bytes(b"x"),
        lambda r: (r / "f").open("x"),
        lambda r: (r / "x").rmdir(),
        lambda r: (r / "f").rmdir(),
        lambda r: (r / "d").unlink(),
        lambda r: (r / "nope").unlink(),
        lambda r: (r / "nope").unlink(missing_ok=True),
        lambda r: (r / "nope").rmdir(),
        lambda r: (r / "f").unlink(),
        lambda r: (r / "d").rmdir(),
        lambda r: sorted(p.name for p in r.iterdir()),
    ],
    "queries": [
        tree,
        lambda r: [(r / p).exists() for p in ("a.txt", "d", "nope", "a.txt/x", "d/e/g")],
        lambda r: [(r / p).is_file() for p in ("a.txt", "d", "nope", "a.txt/x")],
        lambda r: [(r / p).is_dir() for p in ("a.txt", "d", "nope", "a.txt/x")],
        lambda r: [(r / p).is_symlink() for p in ("a.txt", "d", "nope")],
        lambda r: (r / "a.txt").exists(follow_symlinks=False),
        lambda r: (r / "d").stat(),
        lambda r: (r / "d/c.txt").stat(),
        lambda r: (r / "d/c.txt").lstat(),
        lambda r: (r / "nope").stat(),
        lambda r: (r / "a.txt/x").stat(),
        lambda r: (r / "d").samefile(r / "d/e/.."),
        lambda r: (r / "a.txt").samefile(r / "b.py"),
        lambda r: (r / "nope").samefile(r / "a.txt"),
        lambda r: (r / "d/c.txt").resolve(strict=True),
        lambda r: (r / "nope").resolve(strict=True),
        lambda r: (r / "nope").resolve(),
        lambda r: (r / "a.txt").readlink(),
        lambda r: (r / "nope").iterdir(),
        lambda r: (r / "a.txt").iterdir(),
        lambda r: r.iterdir(),
    ],
    "glob and rglob": [
        tree,
        *(
            (lambda p: lambda r: r.glob(p))(pattern)
            for pattern in (
                "*", "*.txt", "**/*.txt", "**", "**/", "*/", "d/*", "d/**/*.txt", "?.txt", "[ab].*", "[!a]*",
                "*/*.txt", "**/e", "d/../*.txt", "nope/*", "a.txt", "d", "d/", "a.txt/", "D", "*.TXT",
                "**/**/*.txt", "d/e/**", ".*", "./a.txt", "d//c.txt", "a.txt/*",
            )
        ),  # fmt: skip
        lambda r: r.glob("*.TXT", case_sensitive=False),
        lambda r: r.glob("D/C.txt", case_sensitive=False),
        lambda r: (r / "d").glob("*"),
        lambda r: (r / "a.txt").glob("*"),
        lambda r: r.glob(""),
        lambda r: r.glob("/d"),
        lambda r: r.rglob("*.txt"),
        lambda r: r.rglob("e"),
        lambda r: (r / "d").rglob("*"),
    ],
    "walk": [
        tree,
        lambda r: _walked(r.walk()),
        lambda r: _walked(r.walk(top_down=False)),
        lambda r: _walked((r / "d").walk()),
        lambda r: _walked((r / "nope").walk()),
        lambda r: _walk_errors(r / "a.txt"),
        lambda r: _pruned(r),
    ],
    "rename and replace": [
        tree,
        lambda r: (r / "a.txt").rename(r / "moved.txt"),
        lambda r: ((r / "moved.txt").read_text(), (r / "a.txt").exists()),
        lambda r: (r / "moved.txt").rename(r / "b.py"),
        lambda r: (r / "b.py").read_text(),
        lambda r: (r / "b.py").replace(r / "b2.py"),
        lambda r: (r / "d").rename(r / "k"),  # onto an empty directory
        lambda r: sorted(str(p.relative_to(r)) for p in r.rglob("*")),
        lambda r: (r / "k").rename(r / "k/e/inside"),
        lambda r: (r / "k").rename(r / "b2.py"),
        lambda r: (r / "b2.py").rename(r / "k"),
        lambda r: (r / ".hidden.txt").rename(r / "k/e"),  # a file onto a non-empty directory
        lambda r: (r / "k").mkdir(),
        lambda r: (r / "n").mkdir(),
        lambda r: (r / "n/f").touch(),
        lambda r: (r / "k").rename(r / "n"),  # onto a directory that is not empty
        lambda r: (r / "nope").rename(r / "x"),
        lambda r: (r / "b2.py").rename(r / "nope/x"),
        lambda r: (r / "b2.py").rename(r / "k/c.txt/x"),
        lambda r: (r / "k").rename(r / "k"),
        lambda r: (r / "k/e").rename(r / "e2"),
        lambda r: sorted(str(p.relative_to(r)) for p in r.rglob("*")),
    ],
    "pure paths": [
        lambda r: [(r / n).suffix for n in ("a.tar.gz", ".bashrc", "a.", "a", "a..b")],
        lambda r: [(r / n).suffixes for n in ("a.tar.gz", ".bashrc", "a.", "a", ".a.b")],
        lambda r: [(r / n).stem for n in ("a.tar.gz", ".bashrc", "a.", "a")],
        lambda r: (r / "d/a.txt").with_suffix(".md"),
        lambda r: (r / "d/a.txt").with_suffix(""),
        lambda r: (r / "d/a").with_suffix(".md"),
        lambda r: (r / "d/a.txt").with_suffix("md"),
        lambda r: (r / "d/a.txt").with_suffix("."),
        lambda r: (r / "d/a.txt").with_suffix("./x"),
        lambda r: (r / "d/a.tar.gz").with_stem("b"),
        lambda r: (r / "d/a.txt").with_name("b.md"),
        lambda r: (r / "d/a.txt").with_name(""),
        lambda r: (r / "d/a.txt").with_name("x/y"),
        lambda r: (r / "d/e/f").relative_to(r / "d"),
        lambda r: (r / "d/e/f").relative_to(r / "d/e/f"),
        lambda r: (r / "d/e/f").relative_to(r / "x"),
        lambda r: (r / "d/e/f").relative_to(r / "d/x", walk_up=True),
        lambda r: [(r / "d/e").is_relative_to(r / p) for p in ("d", "d/e", "d/e/f", "e", "")],
        lambda r: [str(p.relative_to(r)) for p in (r / "a/b/c").parents[:3]],
        lambda r: len((r / "a/b/c").parents) - len(r.parents),
        lambda r: (r / "a/b/c").parents[-len(r.parents) - 1],
        lambda r: (r / "a/b/c").parts[-3:],
        *(
            (lambda p: lambda r: (r / "d/e/f.py").match(p))(pattern)
            for pattern in ("*.py", "f.py", "e/*.py", "d/*.py", "*/*/*.py", "**/*.py", "*.PY", "d/e/f.py", "?.py")
        ),
        lambda r: (r / "d/e/f.py").match("*.PY", case_sensitive=False),
        lambda r: (r / "d/e/f.py").match(""),
    ],
    "names the filesystem cannot keep": [
        lambda r: (r / "a\0b").write_text("x"),
        lambda r: (r / ("x" * 256)).write_text("x"),
        lambda r: (r / ("é" * 128)).write_text("x"),
        lambda r: (r / ("é" * 127)).write_text("x"),
        lambda r: (r / ("x" * 255)).mkdir(),
        lambda r: sorted(len(p.name) for p in r.iterdir()),
    ],
}


def _truncated(path, size):
    with path.open("r+b") as f:
        return f.truncate(size), f.tell()


def _with_open(path, mode, buffering, use):
    with path.open(mode, buffering) as f:
        return use(f)


def _walked(walk):
    """The walk's entries with their names sorted (their order is the
    directory's), and whether each directory came before (top-down) or
    after (bottom-up) its subdirectories."""
    entries = [(top, sorted(dirs), sorted(files)) for top, dirs, files in walk]
    tops = [str(top) for top, _, _ in entries]
    parents_first = all(
        tops.index(os.path.dirname(t)) < i for i, t in enumerate(tops) if os.path.dirname(t) in tops[:i] + tops[i + 1 :]
    )
    return sorted(entries, key=lambda entry: str(entry[0])), parents_first


def _walk_errors(path):
    errors = []
    return list(path.walk(on_error=errors.append)), [type(e).__name__ for e in errors]


def _pruned(root):
    seen = []
    for top, dirs, _ in root.walk():
        seen.append(top)
        if "e" in dirs:
            dirs.remove("e")
    return sorted(seen)


def normalised(value, root):
    """A value as both sides can be compared: paths relative to the root."""
    if isinstance(value, MemPath) or (isinstance(value, pathlib.Path) and value.is_absolute()):
        # pathlib keeps "..", a MemPath resolves it when it is made.
        text, base = os.path.normpath(str(value)), str(root)
        return "<root>" if text == base else text[len(base.rstrip("/")) + 1 :]
    if isinstance(value, os.stat_result):
        kind = "dir" if stat.S_ISDIR(value.st_mode) else "file" if stat.S_ISREG(value.st_mode) else "other"
        return (kind, value.st_size if kind == "file" else None)
    if isinstance(value, pathlib.PurePath):
        return str(value)
    if isinstance(value, (list, tuple)):
        return [normalised(item, root) for item in value]
    if hasattr(value, "__next__"):
        return sorted((normalised(item, root) for item in value), key=repr)
    return value


def outcome(step, root):
    try:
        return ("ok", normalised(step(root), root))
    except Exception as error:  # noqa: BLE001 - the type is the result
        return ("raised", type(error).__name__, getattr(error, "errno", None))


@pytest.mark.parametrize("name", SCENARIOS)
def test_mempath_does_what_pathlib_does(name, tmp_path):
    real, ours = tmp_path / "root", MemPath(marrowfen.PyFs())
    real.mkdir()
    for i, step in enumerate(SCENARIOS[name]):
        expected = outcome(step, real)
        assert outcome(step, ours) == expected, f"{name}, step {i}"


@pytest.mark.skipif(not PY313, reason="pathlib has full_match from 3.13")
@pytest.mark.parametrize("pattern", [
    "*.py", "/d/e/f.py", "**/*.py", "/**/f.py", "/d/**", "/d/*/f.py", "/d/**/e/f.py", "**/e/**", "/*", "**",
    "d/e/f.py", "/D/E/F.PY", "/d/e/?.py", "/d/[a-e]/f.py",
])  # fmt: skip
def test_full_match_as_pathlib(pattern):
    ours = MemPath(marrowfen.PyFs(), "/d/e/f.py")
    theirs = pathlib.PurePosixPath("/d/e/f.py")
    assert ours.full_match(pattern) == theirs.full_match(pattern)
    assert ours.full_match(pattern, case_sensitive=False) == theirs.full_match(pattern, case_sensitive=False)


def test_names_mempath_refuses_where_pathlib_would_not(fs):
    root = MemPath(fs)
    for bad in ("a\\b", "a\0", "d/x\\y"):
        with pytest.raises(ValueError):
            root / bad
        with pytest.raises(ValueError):
            MemPath(fs, "/ok", bad)
    with pytest.raises(OSError) as raised:
        root.joinpath("d", "n" * 256)
    assert raised.value.errno == errno.ENAMETOOLONG
    with pytest.raises(ValueError):
        (root / "f").with_name("a\\b")
    assert fs.listdir("/") == ([], [])
