"""A small pure-Python terminal: shlex.split and a dict of handlers over
PyFilesystem2's MemoryFS. It is the baseline of the terminal benchmarks, not
a product: it implements just enough of cd, ls, pwd, cat, mkdir, touch, rm and
echo to produce the same output as marrowfen's terminal for the benchmarked
lines.
"""

from __future__ import annotations

import shlex


class ShlexTerminal:
    def __init__(self, memfs):
        self.fs = memfs
        self.cwd = "/"
        self.handlers = {
            "cd": self.cd, "ls": self.ls, "pwd": self.pwd, "cat": self.cat, "mkdir": self.mkdir,
            "touch": self.touch, "rm": self.rm, "echo": self.echo,
        }

    def exec(self, line: str) -> str:
        try:
            words = shlex.split(line, comments=True)
        except ValueError:
            raise ValueError("The command was not correctly formatted") from None
        if not words:
            return ""
        handler = self.handlers.get(words[0])
        if handler is None:
            raise ValueError(f"{words[0]}: command not found")
        return handler(words[1:])

    # one level below the current directory or the root, like the terminal
    def target(self, word: str) -> str:
        base, name = ("/", word[1:]) if word.startswith("/") else (self.cwd, word)
        if name in ("", "."):
            return base
        if name == "..":
            return base.rsplit("/", 1)[0] or "/"
        path = base.rstrip("/") + "/" + name
        if "/" in name or not self.fs.exists(path):
            raise ValueError(f"{name}: Inode not found")
        return path

    def cd(self, args):
        if not args:
            raise ValueError("cd: missing argument")
        path = self.target(args[0])
        if not self.fs.isdir(path):
            raise ValueError(f"cd: {args[0]}: Not a directory")
        self.cwd = path
        return ""

    def ls(self, args):
        path = self.target(args[0]) if args else self.cwd
        files, dirs = [], []
        for info in self.fs.scandir(path):
            (dirs if info.is_dir else files).append(info.name)
        return "".join(f"{n}\n" for n in files) + "".join(f"{n}/\n" for n in dirs)

    def pwd(self, args):
        return self.cwd

    def cat(self, args):
        if not args:
            raise ValueError("cat: missing argument")
        path = self.target(args[0])
        if self.fs.isdir(path):
            raise ValueError(f"cat: {args[0]}: Is a directory")
        return self.fs.readbytes(path).decode("utf-8", "replace")

    def _create(self, args, cmd, make):
        if not args:
            raise ValueError(f"{cmd}: missing argument")
        word = args[0]
        parent, _, name = word.rpartition("/")
        parent = self.target(parent) if parent else self.cwd
        path = parent.rstrip("/") + "/" + name
        if name in ("", ".", "..") or self.fs.exists(path):
            kind = "directory" if cmd == "mkdir" else "file"
            raise ValueError(f"{cmd}: cannot create {kind} '{word}': Resource already exists")
        make(path)
        return ""

    def mkdir(self, args):
        return self._create(args, "mkdir", self.fs.makedir)

    def touch(self, args):
        return self._create(args, "touch", self.fs.create)

    def rm(self, args):
        if not args:
            raise ValueError("rm: missing argument")
        recursive = "-r" in args or "--recursive" in args
        targets = [a for a in args if a not in ("-r", "--recursive")]
        path = self.target(targets[0])
        if self.fs.isdir(path):
            if recursive:
                self.fs.removetree(path)
            elif self.fs.isempty(path):
                self.fs.removedir(path)
            else:
                raise ValueError(f"rm: cannot remove '{targets[0]}': Directory is not empty")
        else:
            self.fs.remove(path)
        return ""

    def echo(self, args):
        return " ".join(args)
