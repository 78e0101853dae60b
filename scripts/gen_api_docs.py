#!/usr/bin/env python3
"""Regenerates the generated sections of docs/api.md from marrowfen itself.

docs/api.md mixes two kinds of text. Between a pair of marker comments

    <!-- BEGIN GENERATED name -->
    <!-- END GENERATED name -->

sits text made by this script: the module's `__all__`, each class's
constructor, members and docstring, each method's typed signature and
docstring. Everything else is written by hand and left untouched.

Docstrings, members and `__text_signature__` come from the imported module;
parameter types and result types come from the type stubs
(python/marrowfen-stubs/__init__.pyi), whose parameters test_stubs.py keeps
equal to the module's text signatures. Where a method's `__text_signature__`
does not show the parameters it really takes, the section says so.

Every class and every public method of the module must have a section, and
no section may name anything the module lacks.

The sections of marrowfen_kit, the pure-Python package beside the module,
are made by kit_api_docs.py (beside this script) from the installed package:
run this script after `make install`.

Usage:
    python scripts/gen_api_docs.py           rewrite docs/api.md in place
    python scripts/gen_api_docs.py --check   exit 1 if it is not up to date
"""

from __future__ import annotations

import argparse
import ast
import inspect
import re
import sys
from pathlib import Path
from types import ModuleType

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kit_api_docs  # noqa: E402  (beside this script)

ROOT = Path(__file__).resolve().parent.parent
DOC = ROOT / "docs" / "api.md"
STUBS = ROOT / "python" / "marrowfen-stubs" / "__init__.pyi"

BLOCK = re.compile(
    r"(?P<begin><!-- BEGIN GENERATED (?P<name>[\w.]+) -->\n)"
    r"(?P<body>.*?)"
    r"(?P<end><!-- END GENERATED (?P=name) -->)",
    re.DOTALL,
)


class DocsError(Exception):
    """docs/api.md and the module disagree in a way a rewrite cannot fix."""


def stub_classes(stub_source: str) -> dict[str, ast.ClassDef]:
    tree = ast.parse(stub_source)
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def stub_function(cls: ast.ClassDef, name: str) -> ast.FunctionDef | None:
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and node.name == name:
            return node
    return None


def public_methods(cls: type) -> list[str]:
    """The public methods of a class, in the class's own order."""
    return [name for name, value in vars(cls).items() if not name.startswith("_") and callable(value)]


def documented_names(module: ModuleType) -> list[str]:
    names = ["module"]
    for class_name in module.__all__:
        names.append(class_name)
        names.extend(f"{class_name}.{method}" for method in public_methods(getattr(module, class_name)))
    return names


def parameters(func: ast.FunctionDef) -> list[tuple[ast.arg, ast.expr | None]]:
    """The parameters after self or cls, each with its default (or None).

    Every written parameter of the module is positional-or-keyword; options
    added later are keyword-only and stay out of the text signatures (see
    keyword_only_parameters).
    """
    args = func.args
    plain = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(plain) - len(args.defaults)) + list(args.defaults)
    return list(zip(plain, defaults, strict=True))[1:]


def keyword_only_parameters(func: ast.FunctionDef) -> list[tuple[ast.arg, ast.expr | None]]:
    return list(zip(func.args.kwonlyargs, func.args.kw_defaults, strict=True))


def rendered_parameter(arg: ast.arg, default: ast.expr | None) -> str:
    text = arg.arg if arg.annotation is None else f"{arg.arg}: {ast.unparse(arg.annotation)}"
    if default is not None:
        text += f" = {ast.unparse(default)}" if arg.annotation is not None else f"={ast.unparse(default)}"
    return text


def typed_signature(name: str, func: ast.FunctionDef, returns: bool = True) -> str:
    rendered = [rendered_parameter(arg, default) for arg, default in parameters(func)]
    options = keyword_only_parameters(func)
    if options:
        rendered += ["*", *(rendered_parameter(arg, default) for arg, default in options)]
    text = f"{name}({', '.join(rendered)})"
    if returns and func.returns is not None:
        text += f" -> {ast.unparse(func.returns)}"
    return text


def implied_text_signature(func: ast.FunctionDef, receiver: str | None) -> str:
    """The `__text_signature__` that the stub's parameters amount to."""
    params = [] if receiver is None else [receiver]
    for arg, default in parameters(func):
        params.append(arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}")
    return f"({', '.join(params)})"


def quoted_docstring(obj: object) -> str:
    return kit_api_docs.quoted(inspect.cleandoc(obj.__doc__ or ""))


def signature_note(live: str | None, implied: str) -> str:
    if live is None or live == implied:
        return ""
    return (
        f"\n\nIts `__text_signature__` reads `{live}`; the signature above is the one"
        " the call accepts."
    )


def makers_of(class_name: str, stubs: dict[str, ast.ClassDef]) -> list[str]:
    """The methods whose declared result is an instance of `class_name`."""
    found = []
    for owner, cls in stubs.items():
        for node in cls.body:
            if (
                isinstance(node, ast.FunctionDef)
                and not node.name.startswith("_")
                and node.returns is not None
                and ast.unparse(node.returns) == class_name
            ):
                found.append(f"`{owner}.{node.name}()`")
    return found


def render_module(module: ModuleType) -> str:
    names = ", ".join(f"`{name}`" for name in module.__all__)
    return f"`marrowfen.__all__` lists the module's attributes, in this order: {names}.\n"


def render_class(name: str, module: ModuleType, stubs: dict[str, ast.ClassDef]) -> str:
    live = getattr(module, name)
    stub = stubs.get(name)
    if stub is None:
        raise DocsError(f"the stubs declare no class {name}")
    parts = [f"## {name}\n"]
    constructor = stub_function(stub, "__new__")
    if constructor is not None:
        signature = typed_signature(name, constructor, returns=False)
        note = signature_note(live.__text_signature__, implied_text_signature(constructor, None))
        parts.append(f"```python\n{signature}\n```{note}\n")
    else:
        makers = makers_of(name, stubs)
        origin = f" Instances come from {' and '.join(makers)}." if makers else ""
        parts.append(f"No constructor: calling the class raises `TypeError`.{origin}\n")
    parts.append(quoted_docstring(live) + "\n")
    members = [key for key, value in vars(live).items() if isinstance(value, live)]
    if members:
        listed = ", ".join(f"`{name}.{key}` (`int()` {int(getattr(live, key))})" for key in members)
        parts.append(f"Members: {listed}.\n")
    methods = public_methods(live)
    if methods:
        parts.append("Methods: " + ", ".join(f"[`{m}`](#{name.lower()}{m.lower()})" for m in methods) + ".\n")
    return "\n".join(parts)


def render_method(qualified: str, module: ModuleType, stubs: dict[str, ast.ClassDef]) -> str:
    class_name, method_name = qualified.split(".")
    live = getattr(getattr(module, class_name), method_name)
    stub_cls = stubs.get(class_name)
    func = stub_function(stub_cls, method_name) if stub_cls is not None else None
    if func is None:
        raise DocsError(f"the stubs declare no method {qualified}")
    signature = typed_signature(method_name, func)
    note = signature_note(live.__text_signature__, implied_text_signature(func, "$self"))
    return f"### {qualified}\n\n```python\n{signature}\n```{note}\n\n{quoted_docstring(live)}\n"


def render(name: str, module: ModuleType, stubs: dict[str, ast.ClassDef]) -> str:
    if name == "module":
        return render_module(module)
    if "." in name:
        return render_method(name, module, stubs)
    return render_class(name, module, stubs)


def regenerate(doc: str, module: ModuleType, stub_source: str) -> str:
    """The text of docs/api.md with every generated section made anew."""
    stubs = stub_classes(stub_source)
    expected = documented_names(module)
    seen: list[str] = []

    def replace(match: re.Match[str]) -> str:
        name = match["name"]
        if name == kit_api_docs.PACKAGE or name.startswith(kit_api_docs.PACKAGE + "."):
            return match[0]  # the kit's sections: kit_api_docs.regenerate
        if name not in expected:
            raise DocsError(f"docs/api.md has a generated section for {name}, which the module lacks")
        seen.append(name)
        return match["begin"] + render(name, module, stubs) + match["end"]

    text = BLOCK.sub(replace, doc)
    duplicates = sorted({name for name in seen if seen.count(name) > 1})
    if duplicates:
        raise DocsError(f"docs/api.md has more than one generated section for: {', '.join(duplicates)}")
    missing = [name for name in expected if name not in seen]
    if missing:
        raise DocsError(
            "docs/api.md has no generated section for: "
            + ", ".join(missing)
            + " (add an empty BEGIN/END GENERATED pair for each and rerun this script)"
        )
    return text


def regenerate_all(doc: str, module: ModuleType, stub_source: str, kit: kit_api_docs.Package) -> str:
    """Every generated section made anew: the module's and the kit's."""
    return kit_api_docs.regenerate(regenerate(doc, module, stub_source), kit, BLOCK)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only check; exit 1 if docs/api.md is stale")
    args = parser.parse_args(argv)
    import marrowfen

    current = DOC.read_text(encoding="utf-8")
    try:
        fresh = regenerate_all(current, marrowfen, STUBS.read_text(encoding="utf-8"), kit_api_docs.walk())
    except (DocsError, kit_api_docs.DocsError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    if fresh == current:
        print("docs/api.md is up to date")
        return 0
    if args.check:
        print("docs/api.md is out of date; run: python scripts/gen_api_docs.py", file=sys.stderr)
        return 1
    DOC.write_text(fresh, encoding="utf-8")
    print("docs/api.md regenerated")
    return 0


if __name__ == "__main__":
    sys.exit(main())
