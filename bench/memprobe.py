"""Memory per inode, measured in a process of its own.

Usage: memprobe.py LIB FILES [files|dirs]
Creates FILES empty files with short names ("f0" .. "f999", at most 4 bytes)
spread over FILES/1000 directories ("d0", ...), or as many empty directories
with the same names (marrowfen only), and prints, as JSON, the
resident set size before and after, the bytes in use by malloc before and
after, and the number of inodes created. The resident figure charges
everything the process keeps for the tree: inodes, names, child lists, the
inode table and the allocator's overhead; the malloc figure leaves out the
allocator's free space (Python's small objects are not in it: pymalloc takes
its arenas with mmap, outside malloc's count).
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_in_use() -> int:
    """Bytes that malloc has handed out and not taken back (glibc's mallinfo2):
    the tree's own allocations, without the allocator's free space."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return 0
    fn.restype = _MallInfo2
    m = fn()
    return m.uordblks + m.hblkhd


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main() -> None:
    lib, files = sys.argv[1], int(sys.argv[2])
    kind = sys.argv[3] if len(sys.argv) > 3 else "files"
    per_dir = 1000
    dirs = files // per_dir
    if lib == "marrowfen":
        from marrowfen import PyFs

        obj = PyFs()
        mkdir, touch = obj.mkdir, obj.touch
        make_file = mkdir if kind == "dirs" else touch
    elif lib == "MemoryFS":
        from fs.memoryfs import MemoryFS

        obj = MemoryFS()
        mkdir, make_file = obj.makedir, obj.create
    elif lib == "pyfakefs":
        from pyfakefs.fake_filesystem import FakeFilesystem

        obj = FakeFilesystem()
        mkdir, make_file = obj.create_dir, obj.create_file
    elif lib == "fsspec":
        from fsspec.implementations.memory import MemoryFileSystem

        obj = MemoryFileSystem(skip_instance_cache=True)
        mkdir = obj.mkdir

        def make_file(p, _pipe=obj.pipe_file):
            _pipe(p, b"")
    else:
        raise SystemExit(f"unknown library {lib}")
    names = [f"f{i}" for i in range(per_dir)]
    gc.collect()
    before, heap_before = rss(), heap_in_use()
    for d in range(dirs):
        base = f"/d{d}"
        mkdir(base)
        for n in names:
            make_file(f"{base}/{n}")
    gc.collect()
    after, heap_after = rss(), heap_in_use()
    print(json.dumps({"lib": lib, "kind": kind, "rss_before": before, "rss_after": after, "heap_before": heap_before,
                      "heap_after": heap_after, "inodes": dirs + dirs * per_dir}))


if __name__ == "__main__":
    main()
