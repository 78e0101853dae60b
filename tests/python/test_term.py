"""PyTerm: the nine commands end to end through exec, and the binding itself."""

import gc
import inspect

import pytest

from conftest import VERSION_TEXT
from marrowfen import PyFs, PyTerm


class Fail(str):
    """An expected error text: exec must raise ValueError with exactly it."""


def check(term, steps):
    for line, expected in steps:
        if isinstance(expected, Fail):
            with pytest.raises(ValueError) as caught:
                term.exec(line)
            assert caught.value.args == (expected,), line
        else:
            assert term.exec(line) == expected, line


@pytest.fixture
def populated():
    """/d (id 1) holding x (id 2), a file f (id 3) holding "hello\\n",
    bad (id 4) holding invalid UTF-8, and an empty file e (id 5)."""
    fs = PyFs()
    fs.mkdir("/d")
    fs.touch("/d/x")
    for path, data in (("/f", b"hello\n"), ("/bad", b"f\xffg\xc3\xa9\xc3"), ("/e", b"")):
        handle = fs.open(path, "w")
        assert handle.write(data) == len(data)
        handle.close()
    return fs


MORE = "\nFor more information, try '--help'.\n"
UNEXPECTED = ("rm: error: unexpected argument '{0}' found\n\n  tip: to pass '{0}' as a value, "
              "use '-- {0}'\n\nUsage: marrowfen [OPTIONS] <TARGET>\n" + MORE)
HELP = ("rm: Remove a file or a directory (potentially recursive)\n\n"
        "Usage: marrowfen [OPTIONS] <TARGET>\n\nArguments:\n  <TARGET>  \n\nOptions:\n"
        "  -r, --recursive  \n  -h, --help       Print help\n  -V, --version    Print version\n")

# One command on the fixture's filesystem, from the root.
COMMANDS = [
    ("", ""),
    ("  \t # only a comment", ""),
    ("foo", Fail("foo: command not found")),
    ("'' ls", Fail(": command not found")),
    ("echo 'unclosed", Fail("The command was not correctly formatted")),
    ("echo a\\", Fail("The command was not correctly formatted")),
    ('echo "a  b"\tc\\ d a#b #e', "a  b c d a#b"),
    ("echo été '日本'", "été 日本"),
    ("echo a\0b", "a\0b"),
    ("pwd", "/"),
    ("ls", "f\nbad\ne\nd/\n"),
    ("ls d", "x\n"),
    ("ls nope", Fail("nope: Inode not found")),
    ("ls f", Fail("ls: 3: Not a directory")),
    ("cd", Fail("cd: missing argument")),
    ("cd nope", Fail("cd: cannot access 'nope': nope: Inode not found")),
    ("cd f", Fail("cd: f: Not a directory")),
    ("cat", Fail("cat: missing argument")),
    ("cat nope", Fail("nope: Inode not found")),
    ("cat d", Fail("cat: d: Is a directory")),
    ("cat f", "hello\n"),
    ("cat e", ""),
    ("cat bad", "f\ufffdgé\ufffd"),
    ("mkdir", Fail("mkdir: missing argument")),
    ("mkdir a/b/c", Fail("a/b: Inode not found")),
    ("mkdir f/x", Fail("mkdir: 3: Not a directory")),
    ("mkdir d", Fail("mkdir: cannot create directory 'd': Resource already exists")),
    ("mkdir d/", Fail("mkdir: cannot create directory 'd/': Resource already exists")),
    ("touch", Fail("touch: missing argument")),
    ("touch a/b/c", Fail("a/b: Inode not found")),
    ("touch f/x", Fail("touch: 3: Not a directory")),
    ("touch d/x", Fail("touch: cannot create file 'd/x': Resource already exists")),
    ("rm", Fail("rm: missing argument")),
    ("rm nope", Fail("nope: Inode not found")),
    ("rm d", Fail("rm: cannot remove 'd': Directory is not empty")),
    ("rm ''", Fail("rm: cannot remove '': Resource is currently in use")),
    ("rm -r", Fail("rm: error: the following required arguments were not provided:\n"
                   "  <TARGET>\n\nUsage: marrowfen --recursive <TARGET>\n" + MORE)),
    ("rm -x d", Fail(UNEXPECTED.format("-x"))),
    ("rm --force d", Fail(UNEXPECTED.format("--force"))),
    ("rm --recursiv d", Fail("rm: error: unexpected argument '--recursiv' found\n\n"
                             "  tip: a similar argument exists: '--recursive'\n\n"
                             "Usage: marrowfen --recursive <TARGET>\n" + MORE)),
    ("rm a b", Fail("rm: error: unexpected argument 'b' found\n\nUsage: marrowfen <TARGET>\n" + MORE)),
    ("rm -r -r d", Fail("rm: error: the argument '--recursive' cannot be used multiple times\n\n"
                        "Usage: marrowfen [OPTIONS] <TARGET>\n" + MORE)),
    ("rm -V", Fail("rm: " + VERSION_TEXT)),
    ("rm -h", Fail(HELP)),
    ("rm --help", Fail(HELP)),
]


@pytest.mark.parametrize("line, expected", COMMANDS)
def test_command(populated, line, expected):
    before = populated.tree("/")
    check(PyTerm(populated), [(line, expected), ("pwd", "/")])
    assert populated.tree("/") == before  # none of these lines changes the namespace
    for path in ("/f", "/bad", "/e"):
        populated.open(path, "w").close()  # nor leaves a handle open


def test_changes_are_seen_by_the_filesystem_api(populated):
    term = PyTerm(populated)
    check(term, [("mkdir n", ""), ("touch n/t", ""), ("cd n", ""), ("mkdir /m", ""),
                 ("touch ../u", ""), ("pwd", "/n"), ("cd ..", ""), ("rm f", ""), ("rm -r d", "")])
    assert populated.listdir("/") == (["bad", "e", "u"], ["n"])
    assert populated.listdir("/n") == (["t"], ["m"])
    populated.touch("/n/v")
    check(term, [("ls n", "t\nv\nm/\n")])


def test_two_terminals_over_one_filesystem(populated):
    first, second = PyTerm(populated), PyTerm(populated)
    check(first, [("mkdir g", ""), ("cd g", ""), ("touch y", "")])
    check(second, [("ls g", "y\n"), ("pwd", "/"), ("cd d", ""), ("pwd", "/d")])
    check(first, [("pwd", "/g")])
    check(second, [("rm -r /g", "")])
    check(first, [("pwd", Fail("pwd: cannot access '6': Inode not found")),
                  ("ls", Fail("ls: cannot access '6': Inode not found")),
                  ("mkdir z", Fail("mkdir: cannot access '6': Inode not found")),
                  ("touch z", Fail("touch: cannot access '6': Inode not found")),
                  ("cat y", Fail("y: Inode not found")),
                  ("cd /", ""), ("pwd", "/")])


def test_removed_current_directory():
    fs = PyFs()
    term = PyTerm(fs)
    check(term, [("mkdir e", ""), ("cd e", ""), ("cd nowhere",
                  Fail("cd: cannot access 'nowhere': nowhere: Inode not found")),
                 ("pwd", "/e"), ("rm ''", ""),
                 ("pwd", Fail("pwd: cannot access '1': Inode not found")),
                 ("cd ..", Fail("cd: cannot access '..': ..: Inode not found")),
                 ("cd /", ""), ("pwd", "/"), ("ls", ""),
                 ("rm ''", Fail("rm: cannot remove '': Resource is currently in use"))])
    assert fs.listdir("/") == ([], [])


def test_mkdir_at_depth_65():
    term = PyTerm(PyFs())
    for _ in range(64):
        check(term, [("mkdir l", ""), ("cd l", "")])
    check(term, [("pwd", "/l" * 64),
                 ("mkdir x", Fail("mkdir: cannot create directory 'x': Maximum filesystem depth exceeded")),
                 ("touch x", Fail("touch: cannot create file 'x': Maximum filesystem depth exceeded")),
                 ("ls", "")])


def test_cat_and_rm_respect_open_handles(populated):
    term = PyTerm(populated)
    writer = populated.open("/f", "w")
    check(term, [("cat f", Fail("cat: cannot access 'f': Resource is currently in use")),
                 ("rm f", Fail("rm: cannot remove 'f': Resource is currently in use"))])
    writer.close()
    reader = populated.open("/f", "r")  # readers share the file with cat, but keep rm out
    check(term, [("cat f", "hello\n"),
                 ("rm f", Fail("rm: cannot remove 'f': Resource is currently in use"))])
    reader.close()
    check(term, [("cat f", "hello\n")])
    populated.open("/f", "w").close()  # cat gave its read lock back
    check(term, [("rm f", ""), ("ls", "bad\ne\nd/\n")])


def test_terminal_keeps_its_filesystem_alive():
    fs = PyFs()
    fs.mkdir("/d")
    term = PyTerm(fs)
    del fs  # the only reference to the PyFs
    gc.collect()
    check(term, [("touch d/y", ""), ("ls d", "y\n"), ("ls", "d/\n")])


def test_help_lists_the_nine_commands(populated):
    term = PyTerm(populated)
    listing = term.exec("help ignored")
    assert listing.endswith("\n")
    names = listing.splitlines()
    assert sorted(names) == sorted(["cd", "ls", "pwd", "cat", "mkdir", "touch", "help", "rm", "echo"])
    for name in names:  # every listed name runs
        try:
            term.exec(name)
        except ValueError as error:
            assert "command not found" not in str(error)


@pytest.mark.parametrize("call, exc, text", [
    (lambda fs: PyTerm(), TypeError, "PyTerm.__new__() missing 1 required positional argument: 'fs'"),
    (lambda fs: PyTerm(fs, fs), TypeError, "PyTerm.__new__() takes 1 positional arguments but 2 were given"),
    (lambda fs: PyTerm(fs, fs=fs), TypeError, "PyTerm.__new__() got multiple values for argument 'fs'"),
    (lambda fs: PyTerm(fs=fs, x=1), TypeError, "PyTerm.__new__() got an unexpected keyword argument 'x'"),
    (lambda fs: PyTerm(1), TypeError, "argument 'fs': 'int' object cannot be converted to 'PyFs'"),
    (lambda fs: PyTerm(fs="/"), TypeError, "argument 'fs': 'str' object cannot be converted to 'PyFs'"),
    (lambda fs: PyTerm(fs).exec(), TypeError, "PyTerm.exec() missing 1 required positional argument: 'command'"),
    (lambda fs: PyTerm(fs).exec("ls", "ls"), TypeError,
     "PyTerm.exec() takes 1 positional arguments but 2 were given"),
    (lambda fs: PyTerm(fs).exec("ls", command="ls"), TypeError,
     "PyTerm.exec() got multiple values for argument 'command'"),
    (lambda fs: PyTerm(fs).exec(line="ls"), TypeError, "PyTerm.exec() got an unexpected keyword argument 'line'"),
    (lambda fs: PyTerm(fs).exec(b"ls"), TypeError, "argument 'command': 'bytes' object cannot be converted to 'PyString'"),
    (lambda fs: PyTerm(fs).exec(None), TypeError, "argument 'command': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda fs: PyTerm(fs).exec("mkdir \ud800"), UnicodeEncodeError, None),
])
def test_argument_errors(call, exc, text):
    fs = PyFs()
    with pytest.raises(exc) as caught:
        call(fs)
    if text is not None:
        assert caught.value.args == (text,)
    assert fs.listdir("/") == ([], [])  # no command ran


def test_keyword_arguments_and_str_subclasses():
    class Line(str):
        pass

    fs = PyFs()
    term = PyTerm(fs=fs)
    assert term.exec(command=Line("mkdir k")) == ""
    assert term.exec(Line("ls")) == "k/\n"


def test_class_surface():
    assert PyTerm.__text_signature__ == "(fs)"
    assert PyTerm.__doc__ == "\nA structure representing a simple terminal\n"
    assert PyTerm.exec.__text_signature__ == "($self, command)"
    assert PyTerm.exec.__doc__ == "\nExecute a command in the terminal.\n"
    assert str(inspect.signature(PyTerm)) == "(fs)"
    assert [name for name in vars(PyTerm) if not name.startswith("__")] == ["exec"]
    assert PyTerm.__str__ is object.__str__ and PyTerm.__repr__ is object.__repr__
    term = PyTerm(PyFs())
    with pytest.raises(AttributeError):
        term.cwd = 0
    with pytest.raises(TypeError):
        type("Sub", (PyTerm,), {})
