"""Copies into a tenant's home and out of it (marrowfen_kit._transfer), with
real accounts (root only): trees with their modes, large files, and a tenant
that plants links or races the copy, which must never get anything outside
its home written or read."""

from __future__ import annotations

import contextlib
import errno
import filecmp
import os
import pwd
import shutil
import stat
import subprocess
import textwrap

import pytest

from conftest import host_account_test
from marrowfen import PyFs, PyUserPool
from marrowfen_kit import _transfer
from marrowfen_kit.fs import MemPath


class Tenant:
    """A handed-out account: its home, uid and gid as put() wants them."""

    def __init__(self, user):
        self.user = user
        self.home = user.home()
        self.uid = user.uid()
        self.gid = pwd.getpwuid(self.uid).pw_gid

    def put(self, source, dest, **kwargs):
        _transfer.put(self.home, self.uid, self.gid, source, dest, **kwargs)

    def get(self, source, dest=None, **kwargs):
        return _transfer.get(self.home, source, dest, **kwargs)

    def path(self, *parts):
        return os.path.join(self.home, *parts)


@pytest.fixture
def tenant():
    return Tenant(PyUserPool(1).allocate())


@pytest.fixture
def host_tree(tmp_path):
    """A host tree: nested and empty directories, an executable, a 5 MiB
    file, a link inside (left out of copies) and a FIFO (left out too)."""
    root = tmp_path / "tree"
    (root / "a" / "b").mkdir(parents=True)
    (root / "empty").mkdir()
    (root / "a" / "note.txt").write_text("note\n")
    (root / "a" / "b" / "run.sh").write_text("#!/bin/sh\necho hi\n")
    (root / "a" / "b" / "run.sh").chmod(0o755)
    (root / "big.bin").write_bytes(os.urandom(5 << 20))
    (root / "link").symlink_to("/etc/passwd")
    os.mkfifo(root / "fifo")
    return root


def modes_in(tenant, relative):
    """{path: (kind, mode, uid, gid)} of everything under a path in the home."""
    found = {}
    top = tenant.path(relative)
    for directory, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(directory, name)
            info = os.lstat(path)
            found[os.path.relpath(path, top)] = (stat.S_IFMT(info.st_mode), stat.S_IMODE(info.st_mode),
                                                 info.st_uid, info.st_gid)
    return found


@host_account_test(timeout=60)
def test_trees_go_in_owned_by_the_account_and_come_back_whole(tenant, host_tree, tmp_path):
    tenant.put(host_tree, "work/proj")
    owner = (tenant.uid, tenant.gid)
    assert modes_in(tenant, "work") == {
        "proj": (stat.S_IFDIR, 0o700, *owner),
        "proj/a": (stat.S_IFDIR, 0o700, *owner),
        "proj/a/b": (stat.S_IFDIR, 0o700, *owner),
        "proj/a/b/run.sh": (stat.S_IFREG, 0o700, *owner),
        "proj/a/note.txt": (stat.S_IFREG, 0o600, *owner),
        "proj/empty": (stat.S_IFDIR, 0o700, *owner),
        "proj/big.bin": (stat.S_IFREG, 0o600, *owner),
    }
    # Back to the host, to a MemPath, and as bytes.
    back = tmp_path / "back" / "proj"
    assert tenant.get("work/proj", back) is None
    assert sorted(os.listdir(back)) == ["a", "big.bin", "empty"]
    assert filecmp.cmpfiles(host_tree, back, ["a/note.txt", "a/b/run.sh", "big.bin"], shallow=False)[0] == \
        ["a/note.txt", "a/b/run.sh", "big.bin"]
    assert os.listdir(back / "empty") == [] and stat.S_IMODE(os.stat(back / "a/b/run.sh").st_mode) == 0o700
    fs = PyFs()
    tenant.get(f"{tenant.home}/work/proj/a", MemPath(fs, "/in/mem"))
    assert MemPath(fs, "/in/mem/b/run.sh").read_text() == "#!/bin/sh\necho hi\n"
    assert tenant.get("work/proj/big.bin") == (host_tree / "big.bin").read_bytes()

    # From a MemPath tree and from bytes; the home itself as the target of a tree.
    MemPath(fs, "/in/mem/c").mkdir()
    tenant.put(MemPath(fs, "/in/mem"), ".")
    assert modes_in(tenant, "c") == {} and os.stat(tenant.path("b/run.sh")).st_uid == tenant.uid
    tenant.put(bytearray(b"data"), "x/y/z.txt")
    assert tenant.get("x/y/z.txt") == b"data"
    assert modes_in(tenant, "x") == {"y": (stat.S_IFDIR, 0o700, *owner), "y/z.txt": (stat.S_IFREG, 0o600, *owner)}

    # An existing file is replaced whole, never written through: a hard link
    # to it keeps the old content.
    os.link(tenant.path("x/y/z.txt"), tenant.path("x/y/same"))
    tenant.put(b"new", "x/y/z.txt")
    assert tenant.get("x/y/same") == b"data" and tenant.get("x/y/z.txt") == b"new"
    assert sorted(os.listdir(tenant.path("x/y"))) == ["same", "z.txt"]  # no temporary left


@host_account_test(timeout=60)
def test_wrong_paths_arguments_and_limits_are_refused_before_anything_is_written(tenant, host_tree, tmp_path):
    before = sorted(os.listdir(tenant.home))
    for outside in ("../escape", "/etc/passwd", f"{tenant.home}/../other", f"{tenant.home}x/y"):
        with pytest.raises(ValueError, match="inside the home"):
            tenant.put(b"x", outside)
        with pytest.raises(ValueError, match="inside the home"):
            tenant.get(outside)
    with pytest.raises(TypeError, match="dest must be a str or os.PathLike, not int"):
        tenant.put(b"x", 3)
    with pytest.raises(TypeError, match="source must be a str or os.PathLike, not NoneType"):
        tenant.put(None, "x")
    with pytest.raises(TypeError, match="limit must be an int or None, not float"):
        tenant.put(b"x", "x", limit=1.5)
    with pytest.raises(ValueError, match="NUL"):
        tenant.get("a\0b")
    with pytest.raises(IsADirectoryError):
        tenant.put(b"x", ".")
    with pytest.raises(IsADirectoryError):
        tenant.get(".")
    with pytest.raises(FileNotFoundError):
        tenant.get("missing")
    with pytest.raises(ValueError, match="does not belong to uid"):
        _transfer.put(tenant.home, tenant.uid + 1, tenant.gid, b"x", "x")
    with pytest.raises(ValueError, match="belongs to root"):
        _transfer.get("/etc", "shadow")

    # Over the limit: a tree is measured first and nothing is written.
    with pytest.raises(_transfer.TransferLimitExceeded) as over:
        tenant.put(host_tree, "proj", limit=1 << 20)
    assert over.value.errno == errno.EFBIG and over.value.limit == 1 << 20
    assert str(over.value) == f"[Errno 27] The copy holds more than its limit of 1048576 bytes: '{host_tree}'"
    assert sorted(os.listdir(tenant.home)) == before
    tenant.put(host_tree, "proj")
    with pytest.raises(_transfer.TransferLimitExceeded):
        tenant.get("proj", tmp_path / "out", limit=100)
    assert not (tmp_path / "out").exists()
    with pytest.raises(_transfer.TransferLimitExceeded):
        tenant.get("proj/big.bin", limit=(5 << 20) - 1)
    # A file over the limit leaves nothing, not even a partial copy.
    with pytest.raises(_transfer.TransferLimitExceeded):
        tenant.put(host_tree / "big.bin", "partial", limit=100)
    assert not os.path.exists(tenant.path("partial"))
    # A tree too deep to walk with a descriptor per level.
    os.makedirs(tenant.path(*["d"] * (_transfer.MAX_DEPTH + 2)))
    with pytest.raises(OSError) as deep:
        tenant.get("d", tmp_path / "deep")
    assert deep.value.errno == errno.ENAMETOOLONG
    # A file where a directory is wanted, and the other way round.
    with pytest.raises(IsADirectoryError):
        tenant.put(b"x", "proj/a")
    with pytest.raises(OSError) as not_dir:
        tenant.put(host_tree, "proj/big.bin/inner")
    assert not_dir.value.errno == errno.ENOTDIR


@pytest.fixture
def outside(tmp_path):
    """A host directory beside the homes, with a secret only root may read."""
    path = tmp_path / "outside"
    path.mkdir()
    (path / "secret").write_text("SECRET\n")
    (path / "secret").chmod(0o600)
    yield path
    # The race gives it to the account: nothing of an account may outlive its tenant.
    shutil.rmtree(path)


def listing(path):
    return sorted((directory, tuple(sorted(dirs)), tuple(sorted(files))) for directory, dirs, files in os.walk(path))


@host_account_test(timeout=60)
def test_links_and_foreign_files_planted_in_the_home_yield_nothing(tenant, outside, tmp_path):
    before = listing(outside)
    os.symlink(outside, tenant.path("d"))
    os.symlink(outside / "secret", tenant.path("s"))
    for dest in ("d/new", "d/secret", "d/sub/deep"):
        with pytest.raises(OSError):
            tenant.put(b"x", dest)
    with pytest.raises(OSError):
        tenant.put(tmp_path / "outside", "d/x")
    for source in ("d", "d/secret", "s"):
        with pytest.raises(OSError) as refused:
            tenant.get(source)
        assert refused.value.errno in (errno.ELOOP, errno.ENOTDIR, errno.EINVAL)
    with pytest.raises(OSError):
        tenant.get("d", tmp_path / "through")
    # A link at the final name is replaced, never written through.
    tenant.put(b"x", "s")
    assert tenant.get("s") == b"x" and os.path.islink(tenant.path("d"))
    assert listing(outside) == before and (outside / "secret").read_text() == "SECRET\n"
    # A hard link to a file the account may not read (as if the host allowed
    # such links), a FIFO and a link inside a tree.
    os.mkdir(tenant.path("t"))
    os.link(outside / "secret", tenant.path("t/hard"))
    with pytest.raises(PermissionError):
        tenant.get("t/hard")
    with pytest.raises(PermissionError):
        tenant.get("t", tmp_path / "copy")
    os.unlink(tenant.path("t/hard"))
    os.mkfifo(tenant.path("t/fifo"))
    os.symlink(outside / "secret", tenant.path("t/link"))
    with pytest.raises(OSError):
        tenant.get("t/fifo")  # refused at once, never waiting for a writer
    tenant.get("t", tmp_path / "copy")
    assert os.listdir(tmp_path / "copy") == []


# The venv's interpreter may sit where the account cannot reach it.
TENANT_PYTHON = shutil.which("python3", path="/usr/bin:/bin") or "/usr/bin/python3"
RACER = textwrap.dedent("""\
    import os, shutil, sys
    home, target = sys.argv[1], sys.argv[2]
    os.chdir(home)
    os.makedirs("race/sub", exist_ok=True)
    print("ready", flush=True)

    def step(call, *args):
        try:
            call(*args)
        except OSError:
            pass

    while True:  # the directory and a link to the target, in turn, under one name
        step(shutil.rmtree, "race.away")  # what a copy made while the name was free
        step(os.rename, "race", "race.away")
        step(os.symlink, target, "race")
        for _ in range(300):
            pass
        step(os.unlink, "race")
        step(os.rename, "race.away", "race")
        for _ in range(300):
            pass
""")


@host_account_test(timeout=120)
def test_a_tenant_racing_the_copy_gets_nothing_outside_its_home(tenant, outside, tmp_path):
    (tmp_path / "src" / "sub").mkdir(parents=True)
    for i in range(20):
        (tmp_path / "src" / "sub" / f"f{i}").write_bytes(b"payload")
    # The target is even the tenant's own, so that only the refusal to
    # follow links keeps the copies in the home.
    (outside / "sub").mkdir()
    (outside / "sub" / "f0").write_bytes(b"OUTSIDE")
    for path in (outside, outside / "sub", outside / "sub" / "f0"):
        os.chown(path, tenant.uid, tenant.gid)
    before = listing(outside)
    racer = subprocess.Popen([TENANT_PYTHON, "-c", RACER, tenant.home, str(outside)], user=tenant.uid,
                             group=tenant.gid, extra_groups=[], stdout=subprocess.PIPE, text=True)
    try:
        assert racer.stdout.readline() == "ready\n"
        done = {"put": 0, "get": 0}
        for i in range(200):
            with contextlib.suppress(OSError):
                tenant.put(tmp_path / "src", "race")
                done["put"] += 1
            with contextlib.suppress(OSError):
                tenant.put(b"payload", f"race/sub/g{i}")
                done["put"] += 1
            with contextlib.suppress(OSError):
                data = tenant.get("race/sub/f0")
                assert data == b"payload"
                done["get"] += 1
            with contextlib.suppress(OSError):
                tenant.get("race", tmp_path / f"back{i}")
                done["get"] += 1
        assert racer.poll() is None, "the racer stopped"
    finally:
        racer.kill()
        racer.wait(10)
    assert listing(outside) == before and (outside / "secret").read_text() == "SECRET\n"
    for copy in tmp_path.glob("back*"):
        assert "secret" not in {name for _, _, files in os.walk(copy) for name in files}
    assert done["put"] > 0 and done["get"] > 0  # the copies did run between the swaps
