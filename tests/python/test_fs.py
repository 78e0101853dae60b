import pytest

import marrowfen
from marrowfen import PyFs

NEW_FS_TEXT = (
    'FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: "", data: RwLock { data: '
    "Directory { children: [] }, poisoned: false, .. } }}, next_inode_id: 1 }"
)


class Outer:
    class Inner:
        pass


class Text(str):
    pass


def test_a_new_filesystem(fs):
    assert fs.listdir("/") == ([], [])
    assert fs.tree("/") == ""
    assert str(fs) == NEW_FS_TEXT
    assert str(PyFs()) == NEW_FS_TEXT


def test_listing_and_tree(fs):
    fs.touch("/f")
    fs.mkdir("/d")
    fs.touch("/d/x")
    listing = fs.listdir("/")
    assert type(listing) is tuple and all(type(part) is list for part in listing)
    assert listing == (["f"], ["d"])
    assert fs.listdir(path="/d") == (["x"], [])
    assert fs.tree("/") == "d/\n  x\nf\n"
    assert fs.tree("/d", None) == fs.tree("/d") == "x\n"
    assert fs.tree("/", "> ") == "> d/\n>   x\n> f\n"
    assert fs.tree(ident="-", path="d") == "-x\n"
    fs.mkdir("/d/e")
    fs.touch("/d/e/y")
    assert fs.tree("/") == "d/\n  e/\n    y\n  x\nf\n"


def test_paths_and_names_are_utf8_text(fs):
    fs.mkdir("/caf\u00e9")
    fs.touch(Text("/caf\u00e9/\u20ac"))
    fs.touch('/q"\n')
    assert fs.listdir("/") == (['q"\n'], ["caf\u00e9"])
    assert fs.listdir("\\caf\u00e9") == (["\u20ac"], [])
    assert 'name: "q\\"\\n"' in str(fs)
    assert 'name: "caf\u00e9"' in str(fs)


def nested(levels):
    return "".join("/d" for _ in range(levels))


@pytest.mark.parametrize(
    "op, path, message",
    [
        ("mkdir", "/missing/x", "Inode not found"),
        ("touch", "/missing/x", "Inode not found"),
        ("mkdir", "/f", "Resource already exists"),
        ("touch", "/d", "Resource already exists"),
        ("mkdir", "/d/", "Resource already exists"),
        ("mkdir", "/", "Resource already exists"),
        ("touch", "/d/..", "Resource already exists"),
        ("mkdir", "/f/x", "The specified INode is not a directory"),
        ("listdir", "/f", "The specified INode is not a directory"),
        ("tree", "/f", "The specified INode is not a directory"),
        ("listdir", "/nowhere", "Inode not found"),
        ("tree", "/nowhere", "Inode not found"),
        ("mkdir", nested(65), "Maximum filesystem depth exceeded"),
        ("touch", nested(65), "Maximum filesystem depth exceeded"),
    ],
)
def test_failures_raise_value_error_with_the_text_alone(fs, op, path, message):
    fs.touch("/f")
    for level in range(1, 65):
        fs.mkdir(nested(level))
    with pytest.raises(ValueError) as e:
        getattr(fs, op)(path)
    assert type(e.value) is ValueError
    assert e.value.args == (message,)


def test_failed_creations_use_up_ids(fs):
    fs.mkdir("/a")
    with pytest.raises(ValueError):
        fs.mkdir("/a")
    fs.touch("/b")
    assert str(fs).endswith("}, next_inode_id: 4 }")
    assert "3: INode { id: 3, parent: 0, depth: 1, name: \"b\"" in str(fs)


def test_remove(fs):
    fs.mkdir("/d")
    fs.mkdir("/d/e")
    fs.touch("/d/e/f")
    fs.touch("/g")
    with pytest.raises(ValueError) as e:
        fs.remove("/d", False)
    assert e.value.args == ("Directory is not empty",)
    with pytest.raises(ValueError) as e:
        fs.remove("/nowhere", True)
    assert e.value.args == ("Inode not found",)
    assert fs.remove("/g", recurse=True) is None
    assert fs.remove(path="/d", recurse=True) is None
    assert fs.listdir("/") == ([], [])
    fs.mkdir("/d")
    assert fs.remove("/d", False) is None


@pytest.mark.parametrize("path", ["/", "", "/d/..", "\\"])
@pytest.mark.parametrize("recurse", [False, True])
def test_the_root_is_never_removed(fs, path, recurse):
    fs.mkdir("/d")
    fs.touch("/d/f")
    with pytest.raises(ValueError) as e:
        fs.remove(path, recurse)
    assert e.value.args == ("Resource is currently in use",)
    assert fs.tree("/") == "d/\n  f\n"


fs0 = PyFs()
fs0.touch("/f")
fh0 = fs0.open("/f", "r")

ARITY = [
    (lambda: PyFs(1), "PyFs.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: PyFs(1, 2), "PyFs.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: PyFs(a=1), "PyFs.__new__() got an unexpected keyword argument 'a'"),
    (lambda: fs0.mkdir(), "PyFs.mkdir() missing 1 required positional argument: 'path'"),
    (lambda: fs0.mkdir("/a", "/b"), "PyFs.mkdir() takes 1 positional arguments but 2 were given"),
    (lambda: fs0.mkdir("/a", path="/b"), "PyFs.mkdir() got multiple values for argument 'path'"),
    (lambda: fs0.touch(pth="/a"), "PyFs.touch() got an unexpected keyword argument 'pth'"),
    (lambda: fs0.listdir(), "PyFs.listdir() missing 1 required positional argument: 'path'"),
    (lambda: fs0.open(), "PyFs.open() missing 2 required positional arguments: 'path' and 'mode'"),
    (lambda: fs0.open("/f"), "PyFs.open() missing 1 required positional argument: 'mode'"),
    (lambda: fs0.open(mode="r"), "PyFs.open() missing 1 required positional argument: 'path'"),
    (lambda: fs0.open("/f", "r", "x"), "PyFs.open() takes 2 positional arguments but 3 were given"),
    (lambda: fs0.tree("/", None, 1), "PyFs.tree() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: fs0.tree(ident="x"), "PyFs.tree() missing 1 required positional argument: 'path'"),
    (lambda: fs0.tree("/", ident="a", path="/"), "PyFs.tree() got multiple values for argument 'path'"),
    (lambda: fs0.remove("/a"), "PyFs.remove() missing 1 required positional argument: 'recurse'"),
    (lambda: fs0.remove(), "PyFs.remove() missing 2 required positional arguments: 'path' and 'recurse'"),
    (lambda: fs0.remove("/a", True, 1), "PyFs.remove() takes 2 positional arguments but 3 were given"),
    (lambda: fh0.read(), "PyFileHandle.read() missing 1 required positional argument: 'buffer'"),
    (lambda: fh0.read(1, 2), "PyFileHandle.read() takes 1 positional arguments but 2 were given"),
    (lambda: fh0.write(size=1), "PyFileHandle.write() got an unexpected keyword argument 'size'"),
    (lambda: fh0.seek(), "PyFileHandle.seek() missing 2 required positional arguments: 'offset' and 'whence'"),
    (lambda: fh0.seek(0, marrowfen.Whence.SEEK_SET, offset=0),
     "PyFileHandle.seek() got multiple values for argument 'offset'"),
    # Methods without parameters are refused by the interpreter itself.
    (lambda: fh0.tell(1), "PyFileHandle.tell() takes no arguments (1 given)"),
    (lambda: fh0.close(x=1), "PyFileHandle.close() takes no keyword arguments"),
]


@pytest.mark.parametrize("call, message", ARITY, ids=[m for _, m in ARITY])
def test_arity_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert e.value.args == (message,)


CONVERSION = [
    (lambda: fs0.mkdir(5), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda: fs0.touch(path=None), "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: fs0.listdir(b"/"), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: fs0.mkdir(Outer.Inner()), "argument 'path': 'Outer.Inner' object cannot be converted to 'PyString'"),
    (lambda: fs0.open(1, 1), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda: fs0.open("/f", ["r"]), "argument 'mode': 'list' object cannot be converted to 'PyString'"),
    (lambda: fs0.tree(1.5), "argument 'path': 'float' object cannot be converted to 'PyString'"),
    (lambda: fs0.tree("/", 5), "argument 'ident': 'int' object cannot be converted to 'PyString'"),
    (lambda: fs0.remove(1, "x"), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda: fs0.remove("/a", 1), "argument 'recurse': 'int' object cannot be converted to 'PyBool'"),
    (lambda: fs0.remove("/a", 0), "argument 'recurse': 'int' object cannot be converted to 'PyBool'"),
    (lambda: fs0.remove("/a", None), "argument 'recurse': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: fs0.remove("/a", "yes"), "argument 'recurse': 'str' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("call, message", CONVERSION, ids=[m for _, m in CONVERSION])
def test_conversion_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert e.value.args == (message,)


@pytest.mark.parametrize("method", ["mkdir", "touch", "listdir", "tree"])
def test_unencodable_text_passes_the_interpreters_error_through(fs, method):
    with pytest.raises(UnicodeEncodeError):
        getattr(fs, method)("/\ud800")
    assert fs.listdir("/") == ([], [])
