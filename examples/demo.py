"""A short tour of marrowfen's in-memory filesystem."""
from marrowfen import PyFs, Whence

fs = PyFs()
fs.mkdir("/docs")
fs.mkdir("/docs/sub")
fs.touch("/docs/sub/b")
fs.touch("/docs/a.txt")
fs.touch("/top.txt")

handle = fs.open("/docs/a.txt", "rw")
handle.write(b"hello, marrowfen\n")
handle.seek(0, Whence.SEEK_SET)
print(handle.read(64).decode(), end="")
handle.close()

print(fs.tree("/"), end="")
print(fs.listdir("/docs"))
