"""One adapter per filesystem: marrowfen and the three peers.

Every batch of one operation runs in a loop that calls the library's bound
methods directly (looked up once, before the loop), so that no library pays
a Python call per operation that another does not.

The operations, all on absolute paths:
  fill(n, data)                /d<i> and /d<i>/f holding data, for i < n (untimed)
  mkdir_many(paths)            create each directory
  create_many(paths, data)     open for writing (creating), write data, close
  read_many(paths, n)          open for reading, read n bytes, close
  listdir_many(paths)          list each directory (the library's plain listing)
  listdir(path)                one plain listing
  listdir_split(path)          one listing split into (files, dirs), which
                               is what marrowfen's listdir returns
  remove_many(paths)           remove each file
  rmdir_many(paths)            remove each empty directory (untimed clean-up)
  open_file(path, mode)        a handle, mode "r", "w" or "rw"
  reader(h, size) / writer(h, data)
                               a function that seeks to 0 and reads / writes
"""

from __future__ import annotations

import gc

from marrowfen import PyFs, Whence


def each(fn, paths) -> None:
    for p in paths:
        fn(p)


class Adapter:
    """The loops, over the bound methods that each library sets up:
    _mkdir, _open (with the modes _wmode and _rmode), _listdir, _remove,
    _rmdir."""

    name = ""
    _wmode, _rmode = "wb", "rb"
    _modes = {"r": "rb", "w": "wb", "rw": "r+b"}
    _origin = ()  # the extra seek argument: seek(0, *_origin)

    def fill(self, n, data):
        mk = self._mkdir
        for i in range(n):
            mk(f"/d{i}")
        self.create_many([f"/d{i}/f" for i in range(n)], data)

    def mkdir_many(self, paths):
        each(self._mkdir, paths)

    def create_many(self, paths, data):
        op, mode = self._open, self._wmode
        for p in paths:
            f = op(p, mode)
            f.write(data)
            f.close()

    def read_many(self, paths, n):
        op, mode = self._open, self._rmode
        for p in paths:
            f = op(p, mode)
            f.read(n)
            f.close()

    def listdir_many(self, paths):
        each(self._listdir, paths)

    def listdir(self, path):
        return self._listdir(path)

    def remove_many(self, paths):
        each(self._remove, paths)

    def rmdir_many(self, paths):
        each(self._rmdir, paths)

    def open_file(self, path, mode):
        return self._open(path, self._modes[mode])

    def reader(self, h, size):
        return self._from_start(h.seek, h.read, size)

    def writer(self, h, data):
        return self._from_start(h.seek, h.write, data)

    def _from_start(self, seek, op, arg):
        origin = self._origin

        def run():
            seek(0, *origin)
            op(arg)
        return run

    def close(self):
        self.__dict__.clear()
        gc.collect()


class Marrowfen(Adapter):
    name = "marrowfen"
    _wmode, _rmode = "w", "r"
    _modes = {"r": "r", "w": "w", "rw": "rw"}
    _origin = (Whence.SEEK_SET,)

    def __init__(self):
        self.fs = fs = PyFs()
        self._mkdir, self._open, self._listdir = fs.mkdir, fs.open, fs.listdir

    listdir_split = Adapter.listdir

    def remove_many(self, paths):
        rm = self.fs.remove
        for p in paths:
            rm(p, False)

    rmdir_many = remove_many


class MemoryFS(Adapter):
    """PyFilesystem2's MemoryFS."""

    name = "MemoryFS"
    _wmode, _rmode = "w", "r"
    _modes = {"r": "r", "w": "w", "rw": "r+"}

    def __init__(self):
        from fs.memoryfs import MemoryFS as _MemoryFS

        self.fs = fs = _MemoryFS()
        self._mkdir, self._open, self._listdir = fs.makedir, fs.openbin, fs.listdir
        self._remove, self._rmdir = fs.remove, fs.removedir

    def listdir_split(self, path):
        files, dirs = [], []
        for info in self.fs.scandir(path):
            (dirs if info.is_dir else files).append(info.name)
        return files, dirs

    def close(self):
        self.fs.close()
        super().close()


class Pyfakefs(Adapter):
    """pyfakefs, through its fake os module and fake open (no patching)."""

    name = "pyfakefs"

    def __init__(self):
        from pyfakefs.fake_filesystem import FakeFilesystem
        from pyfakefs.fake_open import FakeFileOpen
        from pyfakefs.fake_os import FakeOsModule

        self.fs = FakeFilesystem()
        self.os = os_ = FakeOsModule(self.fs)
        self._open = FakeFileOpen(self.fs)
        self._mkdir, self._listdir, self._remove, self._rmdir = os_.mkdir, os_.listdir, os_.remove, os_.rmdir

    def fill(self, n, data):
        # pyfakefs's own set-up helpers: the same tree, built faster than
        # through os.mkdir and open (the fill is not timed).
        cd, cf = self.fs.create_dir, self.fs.create_file
        for i in range(n):
            cd(f"/d{i}")
            cf(f"/d{i}/f", contents=data)

    def listdir_split(self, path):
        files, dirs = [], []
        with self.os.scandir(path) as it:
            for e in it:
                (dirs if e.is_dir() else files).append(e.name)
        return files, dirs


class Fsspec(Adapter):
    """fsspec's in-memory filesystem. Its store is global to the class, so
    only one instance is alive at a time and it is emptied on entry and exit."""

    name = "fsspec"

    def __init__(self):
        from fsspec.implementations.memory import MemoryFileSystem

        self.cls = MemoryFileSystem
        self._reset()
        self.fs = fs = MemoryFileSystem(skip_instance_cache=True)
        self._mkdir, self._open, self._remove, self._rmdir = fs.mkdir, fs.open, fs.rm_file, fs.rmdir

    def _reset(self):
        self.cls.store.clear()
        self.cls.pseudo_dirs[:] = [""]

    def fill(self, n, data):
        if n <= 10_000:
            super().fill(n, data)
            return
        # Filling through the API is quadratic here (every mkdir and open
        # scans the list of directories), so a large tree is laid out
        # directly in the store; the timed operations still use the API.
        from fsspec.implementations.memory import MemoryFile

        self.cls.pseudo_dirs.extend(f"/d{i}" for i in range(n))
        fs = self.fs
        for i in range(n):
            MemoryFile(fs, f"/d{i}/f", data).commit()

    def listdir_many(self, paths):
        ls = self.fs.ls
        for p in paths:
            ls(p, detail=False)

    def listdir(self, path):
        return self.fs.ls(path, detail=False)

    def listdir_split(self, path):
        files, dirs = [], []
        for e in self.fs.ls(path, detail=True):
            (dirs if e["type"] == "directory" else files).append(e["name"].rsplit("/", 1)[-1])
        return files, dirs

    def open_file(self, path, mode):
        if mode != "w" and not self.fs.exists(path):
            self.fs.pipe_file(path, b"")
        return super().open_file(path, mode)

    def close(self):
        self._reset()
        super().close()


PEERS = [MemoryFS, Pyfakefs, Fsspec]
ALL = [Marrowfen, *PEERS]
NAMES = [c.name for c in ALL]
