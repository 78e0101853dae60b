"""The type stubs (python/marrowfen-stubs/__init__.pyi) tell the truth.

Names, parameters and docstrings of the stubs are compared with the live
module; mypy's stubtest cross-checks them from its side; `mypy --strict` runs
over a file that uses every method, and over the examples, against the
installed stubs; and that file also runs, so the declared result types are
the ones the module returns.
"""

from __future__ import annotations

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import marrowfen
from conftest import host_account_test

ROOT = Path(__file__).resolve().parents[2]
STUB_SOURCE = ROOT / "python" / "marrowfen-stubs" / "__init__.pyi"
TYPED_USAGE = Path(__file__).resolve().parent / "typed_usage.py"
EXAMPLES = ROOT / "examples"

# The one method whose shown text signature is not its parameters (declared so in src/pybinding/py_fs.cpp).
ENFORCED = {
    ("PyFs", "remove"): [("path", False, None), ("recurse", False, None)],
}

# Options added after the written call forms: keyword-only, so they stay out
# of the text signatures (declared with `keyword_only` in the parameter tables).
KEYWORD_ONLY = {
    ("PyFileHandle", "read"): [("quiet", True, False)],
    ("PyUser", "spawn"): [("epoll", True, None)],
    ("PyUserPool", "__new__"): [
        ("isolate", True, False),
        ("network", True, True),
        ("max_processes", True, None),
        ("memory_limit", True, None),
        ("cpu_limit", True, None),
        ("tmp_size", True, None),
    ],
}

Param = tuple[str, bool, object]  # name, has a default, the default


def stub_tree() -> ast.Module:
    return ast.parse(STUB_SOURCE.read_text(encoding="utf-8"))


def stub_classes() -> dict[str, ast.ClassDef]:
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def stub_members(cls: ast.ClassDef) -> dict[str, ast.AST]:
    members: dict[str, ast.AST] = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            members[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            members[node.target.id] = node
    return members


def stub_params(func: ast.FunctionDef) -> list[Param]:
    """The parameters after self/cls, as (name, has default, default)."""
    args = func.args
    assert not args.posonlyargs[1:] and not args.vararg and not args.kwarg, (
        f"{func.name}: every written parameter of the module is positional-or-keyword"
    )
    plain = (args.posonlyargs + args.args)[1:]
    defaults: list[ast.expr | None] = [None] * (len(plain) - len(args.defaults)) + list(args.defaults)
    return [
        (arg.arg, default is not None, None if default is None else ast.literal_eval(default))
        for arg, default in zip(plain, defaults, strict=True)
    ]


def stub_keyword_only(func: ast.FunctionDef) -> list[Param]:
    args = func.args
    return [
        (arg.arg, default is not None, None if default is None else ast.literal_eval(default))
        for arg, default in zip(args.kwonlyargs, args.kw_defaults, strict=True)
    ]


def live_params(obj: object) -> list[Param]:
    """The parameters of a `__text_signature__`, without the receiver."""
    signature = inspect.signature(obj)  # type: ignore[arg-type]
    params = list(signature.parameters.values())
    if params and params[0].kind is inspect.Parameter.POSITIONAL_ONLY:  # "$self"
        params = params[1:]
    for param in params:
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, f"{obj}: {param}"
    return [(p.name, p.default is not p.empty, None if p.default is p.empty else p.default) for p in params]


def live_public(cls: type) -> set[str]:
    return {name for name in vars(cls) if not name.startswith("_")}


def test_module_names_match():
    tree = stub_tree()
    classes = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
    assert classes == marrowfen.__all__

    declared_all = [
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]
    ]
    assert declared_all == [marrowfen.__all__]

    # Nothing else is declared at module level: no functions, no constants,
    # and no PanicException, which is raised but cannot be imported.
    others = [
        ast.unparse(node).splitlines()[0]
        for node in tree.body
        if not isinstance(node, (ast.ClassDef, ast.ImportFrom, ast.Import))
        and not (isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"])
        and not (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant))  # docstring
    ]
    assert others == []
    assert not hasattr(marrowfen, "PanicException")
    live = {name for name in vars(marrowfen) if not name.startswith("_")}
    assert live == set(marrowfen.__all__)


@pytest.mark.parametrize("class_name", marrowfen.__all__)
def test_class_members_and_parameters_match(class_name):
    live = getattr(marrowfen, class_name)
    stub = stub_classes()[class_name]
    members = stub_members(stub)

    # Every public attribute, both ways.
    assert {name for name in members if not name.startswith("_")} == live_public(live)

    # Constructor: the class's text signature, or none at all.
    if live.__text_signature__ is None:
        assert "__new__" not in members and "__init__" not in members, (
            f"{class_name} cannot be constructed from Python; the stubs must not offer a constructor"
        )
    else:
        assert "__init__" not in members, "the constructors are __new__ (tp_new), so declare __new__"
        assert stub_params(members["__new__"]) == live_params(live)
        options = KEYWORD_ONLY.get((class_name, "__new__"), [])
        assert stub_keyword_only(members["__new__"]) == options
        # Each option's default keeps the class as it is without it (for the
        # pool: nothing happens on the host).
        if options:
            live(**{name: default for name, _, default in options})

    # Methods: names, order of parameters, defaults.
    for name in live_public(live):
        value = getattr(live, name)
        if isinstance(value, live):  # an enumeration member
            annotation = ast.unparse(members[name].annotation)
            assert annotation == f"ClassVar[{class_name}]", name
            continue
        expected = ENFORCED.get((class_name, name)) or live_params(value)
        assert stub_params(members[name]) == expected, f"{class_name}.{name}"
        assert stub_keyword_only(members[name]) == KEYWORD_ONLY.get((class_name, name), []), f"{class_name}.{name}"

    # The special methods the stubs declare exist on the class itself.
    for name in members:
        if name.startswith("__") and name != "__new__":
            if name == "__hash__":
                assert live.__hash__ is None, "__hash__ is declared None, so the class must be unhashable"
            else:
                assert name in vars(live), f"{class_name} has no {name} of its own"
    for name in ("__int__", "__index__", "__len__", "__iter__", "__getitem__", "__call__", "__enter__"):
        assert (name in vars(live)) == (name in members), f"{class_name}.{name}"
    if live.__hash__ is None:
        assert "__hash__" in members


@pytest.mark.parametrize("class_name", marrowfen.__all__)
def test_docstrings_match(class_name):
    """Editors show the stubs' docstrings, so they must be the module's."""
    live = getattr(marrowfen, class_name)
    stub = stub_classes()[class_name]
    assert ast.get_docstring(stub) == inspect.cleandoc(live.__doc__)
    for name, node in stub_members(stub).items():
        if isinstance(node, ast.FunctionDef) and not name.startswith("_"):
            assert ast.get_docstring(node) == inspect.cleandoc(getattr(live, name).__doc__), f"{class_name}.{name}"


def test_keyword_only_options_are_taken_by_keyword_alone(fs):
    """Each option of KEYWORD_ONLY is accepted by keyword, refused by
    position with the written arity text, and absent from the text signature."""
    fs.open("/f", "w").write(b"abc")
    handle = fs.open("/f", "r")
    assert handle.read(1, quiet=True) == b"a" and handle.read(1, quiet=None) == b"b"
    with pytest.raises(TypeError, match=r"^PyFileHandle.read\(\) takes 1 positional arguments but 2 were given$"):
        handle.read(1, True)
    with pytest.raises(TypeError, match=r"^argument 'quiet': 'int' object cannot be converted to 'PyBool'$"):
        handle.read(1, quiet=1)
    with pytest.raises(TypeError, match=r"^PyFileHandle.read\(\) missing 1 required positional argument: 'buffer'$"):
        handle.read(quiet=True)
    for class_name, method in KEYWORD_ONLY:
        owner = getattr(marrowfen, class_name)
        signature = (owner if method == "__new__" else getattr(owner, method)).__text_signature__
        assert all(name not in signature for name, _, _ in KEYWORD_ONLY[class_name, method])


def test_remove_really_takes_path_and_recurse():
    fs = marrowfen.PyFs()
    fs.touch("/a")
    assert marrowfen.PyFs.remove.__text_signature__ == "(recurse=False)", (
        "the text signature was fixed: drop PyFs.remove from ENFORCED and from the stubtest allowlist"
    )
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'recurse'"):
        fs.remove("/a")
    fs.remove(path="/a", recurse=False)
    assert fs.listdir("/") == ([], [])


def test_installed_stubs_are_the_source():
    installed = Path(marrowfen.__file__).parent / "marrowfen-stubs" / "__init__.pyi"
    assert installed.is_file(), f"{installed} is missing: the stubs are not installed beside the module"
    assert installed.read_bytes() == STUB_SOURCE.read_bytes(), "the installed stubs are stale: run make install"


def _mypy(*args: str, cwd: Path, timeout: int = 600) -> subprocess.CompletedProcess[str]:
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.fail("mypy is missing from this environment; `make install` sets it up")
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, "MYPY_FORCE_COLOR": "0"},
    )


@pytest.mark.slow
def test_stubtest_agrees(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    # Its text signature is "(recurse=False)", but it takes path and recurse.
    # The keyword-only options are not in the text signatures (KEYWORD_ONLY).
    allowlist.write_text("marrowfen.PyFs.remove\n" + "".join(f"marrowfen.{c}.{m}\n" for c, m in KEYWORD_ONLY))
    result = _mypy(
        "mypy.stubtest", "marrowfen", "--allowlist", str(allowlist),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_mypy_strict_accepts_typed_usage_and_examples(tmp_path):
    targets = [TYPED_USAGE, *sorted(EXAMPLES.glob("*.py"))]
    result = _mypy(
        "mypy", "--strict", "--strict-bytes", "--cache-dir", str(tmp_path / "cache"), "--no-error-summary",
        *map(str, targets),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_runs():
    result = subprocess.run(
        [sys.executable, str(TYPED_USAGE)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.endswith("typed usage ok\n")


@host_account_test(timeout=180)
def test_typed_usage_runs_with_pool():
    result = subprocess.run(
        [sys.executable, str(TYPED_USAGE), "--pool"], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.endswith("typed usage ok\n")
