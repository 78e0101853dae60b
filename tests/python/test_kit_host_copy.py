"""marrowfen_kit.fs: trees between the host (or a tar archive) and a PyFs."""

from __future__ import annotations

import errno
import io
import os
import socket
import stat
import tarfile
import threading

import pytest

from marrowfen_kit.fs import MemPath, copy_from_host, copy_from_tar, copy_to_host, copy_to_tar

pytestmark = pytest.mark.usefixtures("nothing_on_stdout")

TREE = {
    "a.txt": b"alpha",
    "bin/tool": b"\x7fELF" + bytes(range(256)) * 40,  # more than one read
    "empty.dat": b"",
    "deep/er/still/leaf": b"leaf",
    "deep/er/still/empty-dir/": None,
    "sp ace/é.txt": "é".encode(),
}


def make_host_tree(base):
    for name, data in TREE.items():
        path = base / name
        if data is None:
            path.mkdir(parents=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
    return base


def host_snapshot(base):
    found = {}
    for top, dirs, files in os.walk(base):
        for name in dirs:
            if not os.listdir(os.path.join(top, name)):
                found[os.path.relpath(os.path.join(top, name), base) + "/"] = None
        for name in files:
            with open(os.path.join(top, name), "rb") as f:
                found[os.path.relpath(os.path.join(top, name), base)] = f.read()
    return found


def mem_snapshot(root):
    found = {}
    for top, dirs, files in root.walk():
        for name in dirs:
            if not list((top / name).iterdir()):
                found[str((top / name).relative_to(root)) + "/"] = None
        for name in files:
            found[str((top / name).relative_to(root))] = (top / name).read_bytes()
    return found


@pytest.mark.parametrize("via", ["host", "tar", "tar.gz"])
def test_round_trips_keep_the_tree(fs, tmp_path, via):
    source = make_host_tree(tmp_path / "source")
    dest = MemPath(fs, "/in")
    if via == "host":
        copy_from_host(source, dest)
    else:
        archive = tmp_path / f"a.{via}"
        with tarfile.open(archive, "w:gz" if via == "tar.gz" else "w") as tar:
            tar.add(source, arcname=".")
        copy_from_tar(archive, dest)
    assert mem_snapshot(dest) == TREE
    out = tmp_path / "out"
    if via == "host":
        copy_to_host(dest, out)
        assert host_snapshot(out) == TREE
        assert stat.S_IMODE(os.stat(out / "a.txt").st_mode) == 0o666 & ~_umask()
    else:
        buffer = io.BytesIO()
        copy_to_tar(dest, buffer, compression="gz" if via == "tar.gz" else "")
        buffer.seek(0)
        copy_from_tar(buffer, MemPath(fs, "/again"))
        assert mem_snapshot(MemPath(fs, "/again")) == TREE
    copy_from_host(source / "a.txt", MemPath(fs, "/single"))  # a file alone
    assert MemPath(fs, "/single").read_bytes() == b"alpha"


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_links_and_special_files_are_refused(fs, tmp_path):
    source = make_host_tree(tmp_path / "source")
    os.symlink("/etc", source / "deep" / "etc")
    with pytest.raises(OSError) as refused:
        copy_from_host(source, MemPath(fs, "/in"))
    assert refused.value.errno == errno.ELOOP and refused.value.filename.endswith("deep/etc")
    assert not MemPath(fs, "/in/deep/etc").exists()
    with pytest.raises(OSError) as link_itself:
        copy_from_host(source / "deep" / "etc", MemPath(fs, "/x"))
    assert link_itself.value.errno == errno.ELOOP
    os.unlink(source / "deep" / "etc")
    os.mkfifo(source / "fifo")  # never opened: opening it would block
    with pytest.raises(OSError, match="special file"):
        copy_from_host(source, MemPath(fs, "/in2"))
    os.unlink(source / "fifo")
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(str(source / "sock"))
        with pytest.raises(OSError, match="special file"):
            copy_from_host(source, MemPath(fs, "/in3"))


@pytest.mark.parametrize("member, error", [
    ("symlink", tarfile.SpecialFileError),
    ("hardlink", tarfile.SpecialFileError),
    ("fifo", tarfile.SpecialFileError),
    ("/etc/passwd", tarfile.AbsolutePathError),
    ("a/../../x", tarfile.OutsideDestinationError),
    ("a\\b", ValueError),
])  # fmt: skip
def test_hostile_archive_members_are_refused(fs, member, error):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w") as tar:
        info = tarfile.TarInfo(member if "/" in member or "\\" in member else "m")
        info.type = {"symlink": tarfile.SYMTYPE, "hardlink": tarfile.LNKTYPE, "fifo": tarfile.FIFOTYPE}.get(
            member, tarfile.REGTYPE
        )
        info.linkname = "/etc/passwd" if "link" in member else ""
        tar.addfile(info, io.BytesIO(b""))
    buffer.seek(0)
    with pytest.raises(error):
        copy_from_tar(buffer, MemPath(fs, "/in"))
    assert list(MemPath(fs, "/in").iterdir()) == []


def test_copies_out_never_write_through_an_existing_name(fs, tmp_path):
    root = MemPath(fs)
    (root / "d").mkdir()
    (root / "d" / "f").write_bytes(b"secret")
    target = tmp_path / "planted"
    os.symlink(tmp_path / "elsewhere", target)
    with pytest.raises(FileExistsError):
        copy_to_host(root / "d", target)
    with pytest.raises(FileExistsError):
        copy_to_host(root / "d" / "f", target)
    assert not (tmp_path / "elsewhere").exists()
    (tmp_path / "out").mkdir()
    with pytest.raises(FileExistsError):
        copy_to_host(root / "d", tmp_path / "out")


def test_a_directory_swapped_for_a_link_during_the_copy_is_refused(fs, tmp_path):
    """Someone swaps a directory of the source for a link to /etc while the
    copy runs: the copy never reads through it."""
    source = tmp_path / "source"
    (source / "sub").mkdir(parents=True)
    for i in range(300):
        (source / f"f{i:03}").write_bytes(b"x" * 1000)
    (source / "zz").mkdir()
    stop = threading.Event()

    def swap():
        while not stop.is_set():
            try:
                os.rename(source / "zz", source / "zz-real")
                os.symlink("/etc", source / "zz")
                os.unlink(source / "zz")
                os.rename(source / "zz-real", source / "zz")
            except OSError:
                pass

    swapper = threading.Thread(target=swap)
    swapper.start()
    try:
        for attempt in range(20):
            dest = MemPath(fs, f"/try{attempt}")
            try:
                copy_from_host(source, dest)
            except OSError as error:
                assert error.errno in (errno.ELOOP, errno.ENOENT, errno.EINVAL)
            assert not (dest / "zz" / "passwd").exists()
    finally:
        stop.set()
        swapper.join()


def test_a_wide_tree_goes_out_with_a_descriptor_per_level(fs, tmp_path):
    import resource

    root = MemPath(fs, "/wide")
    for i in range(300):
        (root / f"d{i}" / "x").mkdir(parents=True)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (200, hard))  # fewer descriptors than directories
    try:
        copy_to_host(root, tmp_path / "out")
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert len(os.listdir(tmp_path / "out")) == 300 and os.listdir(tmp_path / "out" / "d7") == ["x"]
