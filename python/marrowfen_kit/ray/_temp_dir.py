"""Where Ray keeps its sockets and logs, and whether tenants can reach them.

Ray makes its session directories under its temporary directory (`/tmp/ray`
unless `RAY_TMPDIR` or `--temp-dir` says otherwise) writable by everyone. A
tenant of an uncontained pool could then write into Ray's socket and log
directories, and the pool's sweep would walk them at every hand-out. Under a
parent that only root may enter, none of that is reachable. (A contained
tenant has a `/tmp` of its own and sees none of the host's.)
"""

from __future__ import annotations

import os
import stat
from typing import Final

#: The parent that `prepare_temp_dir()` makes by default: Ray's temporary
#: directory is then `/tmp/marrowfen-ray/ray`.
DEFAULT_PARENT: Final = "/tmp/marrowfen-ray"


def prepare_temp_dir(parent: str | os.PathLike[str] = DEFAULT_PARENT) -> str:
    """Makes `parent` a directory that only root may enter and returns it.

    Give it to Ray as `RAY_TMPDIR` (for `ray start`, `ray.init()` and
    everything else that starts Ray processes), so that Ray's session
    directories land in `<parent>/ray`, out of every tenant's reach::

        RAY_TMPDIR=$(python -c 'from marrowfen_kit.ray import prepare_temp_dir; print(prepare_temp_dir())') \\
            ray start --head --node-ip-address=127.0.0.1 --resources='{"marrowfen_tenants": 64}'

    An existing `parent` must be a real directory (not a link) owned by
    root; its mode is set to 0700. Needs root.
    """
    path = os.fspath(parent) if isinstance(parent, str | os.PathLike) else None
    if not isinstance(path, str):
        raise TypeError(f"parent must be a str or os.PathLike[str], not {type(parent).__name__}")
    if not os.path.isabs(path):
        raise ValueError(f"parent must be an absolute path, not {path!r}")
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    info = os.lstat(path)
    if not stat.S_ISDIR(info.st_mode):
        raise ValueError(f"parent {path!r} exists and is not a directory")
    if info.st_uid != 0:
        raise ValueError(f"parent {path!r} is owned by uid {info.st_uid}, not by root")
    os.chmod(path, 0o700, follow_symlinks=False)
    return path


def closed_to_tenants(path: str) -> bool:
    """True when some directory on the way to `path` (itself included) is
    root's and open to nobody else: an unprivileged user can then reach
    nothing under it."""
    current = os.path.realpath(path)
    while True:
        try:
            info = os.stat(current)
        except OSError:
            info = None
        if info is not None and info.st_uid == 0 and stat.S_ISDIR(info.st_mode) and info.st_mode & 0o077 == 0:
            return True
        parent = os.path.dirname(current)
        if parent == current:
            return False
        current = parent
