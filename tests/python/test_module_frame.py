import gc
import importlib
import re
import sys

import pytest

import marrowfen
from conftest import raised, redirected_fd

ALL_CLASSES = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyUser", "PyTerminalSession"]
PRESENT = [name for name in ALL_CLASSES if hasattr(marrowfen, name)]


def test_all_lists_the_registered_classes_in_order():
    assert type(marrowfen.__all__) is list
    assert {"PyFs", "PyFileHandle", "Whence"} <= set(PRESENT)
    assert marrowfen.__all__ == PRESENT


def test_nothing_but_the_classes_and_dunders_is_public():
    public = {n for n in dir(marrowfen) if not (n.startswith("__") and n.endswith("__"))}
    assert public == set(marrowfen.__all__)
    assert "__all__" in dir(marrowfen)
    assert marrowfen.__doc__ == ""


def test_a_second_import_returns_the_same_module():
    first = sys.modules.pop("marrowfen")
    try:
        again = importlib.import_module("marrowfen")
        assert again is first
        for name in PRESENT:
            assert getattr(again, name) is getattr(first, name)
    finally:
        sys.modules["marrowfen"] = first


def test_import_in_a_sub_interpreter_fails(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    out = tmp_path / "result"
    code = (
        "try:\n"
        "    import marrowfen\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    assert testcapi.run_in_subinterp(code) == 0
    result = out.read_text()
    assert result.startswith("ImportError: "), result
    assert re.search(r"sub-?interpreters?", result, re.IGNORECASE), result
    assert sys.modules["marrowfen"] is marrowfen


@pytest.mark.parametrize("name", PRESENT)
def test_class_identity_and_restrictions(name):
    cls = getattr(marrowfen, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert str(cls) == f"<class 'builtins.{name}'>"
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", PRESENT)
def test_classes_cannot_be_changed(name):
    cls = getattr(marrowfen, name)
    before = dict(vars(cls))
    member = next(n for n in before if not n.startswith("_"))
    changes = [lambda: setattr(cls, "extra", 1), lambda: setattr(cls, member, 5),
               lambda: delattr(cls, member), lambda: setattr(cls, "__doc__", "changed")]
    for change in changes:
        with pytest.raises(TypeError, match="immutable type"):
            change()
    assert dict(vars(cls)) == before


def test_the_changes_that_used_to_break_the_module_are_refused():
    with pytest.raises(TypeError):
        marrowfen.Whence.SEEK_SET = 5
    with pytest.raises(TypeError):
        del marrowfen.PyFs.mkdir
    fs = marrowfen.PyFs()
    fs.mkdir("/still")
    assert int(marrowfen.Whence.SEEK_SET) == 0 and fs.listdir("/") == ([], ["still"])


def _instances():
    fs = marrowfen.PyFs()
    return {"PyFs": fs, "PyFileHandle": fs.open("/f", "rw"), "Whence": marrowfen.Whence.SEEK_SET}


@pytest.mark.parametrize("name", ["PyFs", "PyFileHandle", "Whence"])
def test_instances_take_no_attributes_and_no_part_in_cycle_collection(name):
    obj = _instances()[name]
    with pytest.raises(AttributeError):
        obj.x = 1
    assert not hasattr(obj, "__dict__")
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("name", ["PyFs", "PyFileHandle"])
def test_repr_is_the_interpreters_default(name):
    assert re.fullmatch(rf"<builtins\.{name} object at 0x[0-9a-f]+>", repr(_instances()[name]))


@pytest.mark.parametrize("cls, args", [("PyFileHandle", ()), ("Whence", ()), ("Whence", (1,))])
def test_classes_without_a_constructor(cls, args):
    with pytest.raises(TypeError) as e:
        getattr(marrowfen, cls)(*args)
    assert e.value.args == ("No constructor defined",)


Fs, Fh = marrowfen.PyFs, marrowfen.PyFileHandle


@pytest.mark.parametrize(
    "obj, signature, first_line",
    [
        (Fs.mkdir, "($self, path)", "Create a new directory in the filesystem."),
        (Fs.touch, "($self, path)", "Create a new file in the filesystem."),
        (Fs.open, "($self, path, mode)", "Open a file in the filesystem."),
        (Fs.listdir, "($self, path)", "List the contents of a directory."),
        (Fs.remove, "(recurse=False)", "Remove a file from the filesystem."),
        (Fs.tree, "($self, path, ident=None)", "Debug the file system"),
        (Fh.id, "($self)", "Returns a string representation of the file handle."),
        (Fh.close, "($self)", "Close the file handle."),
        (Fh.read, "($self, buffer)", "Read data from the file handle."),
        (Fh.write, "($self, buffer)", "Write data to the file handle."),
        (Fh.seek, "($self, offset, whence)", "Seek a certain position in the file."),
        (Fh.tell, "($self)", "Tell the current position in the file."),
    ],
    ids=lambda v: getattr(v, "__qualname__", None),
)
def test_text_signatures_and_docstrings(obj, signature, first_line):
    assert obj.__text_signature__ == signature
    doc = obj.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    assert doc.split("\n")[1] == first_line


def test_class_docstrings():
    assert Fs.__text_signature__ == "()"
    assert Fh.__text_signature__ is None
    assert marrowfen.Whence.__text_signature__ is None
    for cls in (Fs, Fh):
        assert cls.__doc__.startswith("\n") and cls.__doc__.endswith("\n") and len(cls.__doc__) > 2
    assert Fs.remove.__doc__ == "\nRemove a file from the filesystem.\n"
    assert marrowfen.Whence.__doc__ == "\nA small enumeration to determine the whence\nwhen seeking in a file.\n"


@pytest.mark.parametrize(
    "cls, names",
    [
        ("PyFs", ["mkdir", "touch", "open", "listdir", "remove", "tree"]),
        ("PyFileHandle", ["id", "close", "read", "write", "seek", "tell", "truncate"]),
        ("Whence", ["SEEK_SET", "SEEK_CUR", "SEEK_END"]),
    ],
)
def test_members_in_class_order(cls, names):
    assert [n for n in vars(getattr(marrowfen, cls)) if not n.startswith("_")] == names


def test_panic_exception():
    handle = marrowfen.PyFs().open("/f", "r")
    with redirected_fd(2) as stderr:
        first = raised(lambda: handle.read(2**63))
    assert type(first).__name__ == "PanicException"
    assert first.args == ("capacity overflow",)
    assert stderr() != ""
    cls = type(first)
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(first, Exception)
    assert cls.__module__ == "marrowfen"
    assert cls.__doc__
    assert not hasattr(marrowfen, "PanicException")
    assert "PanicException" not in vars(marrowfen)
    with redirected_fd(2):
        assert type(raised(lambda: handle.read(2**64 - 1))) is cls
    # The handle is not harmed.
    assert handle.read(1) == b"" and handle.tell() == 0
