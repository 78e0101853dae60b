"""A short tour of marrowfen's in-memory filesystem, through marrowfen_kit's paths."""
from marrowfen import PyFs
from marrowfen_kit.fs import MemPath

fs = PyFs()
root = MemPath(fs)
(root / "docs/sub").mkdir(parents=True)
(root / "docs/sub/b").touch()
(root / "top.txt").touch()
(root / "docs/a.txt").write_text("hello, marrowfen\n")

print((root / "docs/a.txt").read_text(), end="")
print(fs.tree("/"), end="")
print(sorted(p.name for p in (root / "docs").iterdir()))
