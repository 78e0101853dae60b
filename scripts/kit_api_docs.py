"""The generated sections of docs/api.md for marrowfen_kit, the pure-Python package.

scripts/gen_api_docs.py calls `regenerate`. The kit's part of the page is one
generated section per module, plus an index:

    <!-- BEGIN GENERATED marrowfen_kit -->      the package docstring and the modules
    <!-- BEGIN GENERATED marrowfen_kit.fs -->   one module: every public name in it

The modules are found by walking the installed package, so a new module gets
its section on the next run without any change here: a section missing from
the page is inserted after the one of the module before it. Public names are
a module's `__all__`, or else the classes and functions it defines whose
names do not start with "_"; a class shows its own public methods,
properties, fields and attributes. Signatures, docstrings and overloads come
from the live objects. A module that cannot be imported for want of an
optional dependency keeps the section it has.
"""

from __future__ import annotations

import ast
import dataclasses
import importlib
import importlib.util
import inspect
import pkgutil
import re
import typing
from pathlib import Path
from types import ModuleType
from typing import Any, Callable

PACKAGE = "marrowfen_kit"

# Protocols worth naming on a class, found on it or its bases.
PROTOCOLS = {
    "__truediv__": "`/`",
    "__lt__": "ordering",
    "__iter__": "iteration",
    "__enter__": "`with`",
    "__aenter__": "`async with`",
    "__aiter__": "`async for`",
    "__len__": "`len()`",
}


class DocsError(Exception):
    """docs/api.md and the package disagree in a way a rewrite cannot fix."""


@dataclasses.dataclass
class Package:
    """What the walk found: the modules by name, and the ones that could not
    be imported with the dependency each lacks."""

    modules: dict[str, ModuleType]
    unavailable: dict[str, str]
    docstrings: dict[str, str]  # read from the source, so unimportable modules have one too


def walk(import_module: Callable[[str], ModuleType] = importlib.import_module) -> Package:
    package = import_module(PACKAGE)
    modules: dict[str, ModuleType] = {PACKAGE: package}
    unavailable: dict[str, str] = {}
    docstrings = {PACKAGE: inspect.cleandoc(package.__doc__ or "")}
    for info in sorted(pkgutil.walk_packages(package.__path__, PACKAGE + "."), key=lambda i: i.name):
        if any(part.startswith("_") for part in info.name.split(".")):
            continue
        spec = importlib.util.find_spec(info.name)
        origin = Path(spec.origin) if spec and spec.origin else None
        tree = ast.parse(origin.read_text(encoding="utf-8")) if origin and origin.suffix == ".py" else None
        docstrings[info.name] = (ast.get_docstring(tree) if tree else None) or ""
        try:
            modules[info.name] = import_module(info.name)
        except ModuleNotFoundError as error:
            if error.name is None or error.name.split(".")[0] == PACKAGE:
                raise
            unavailable[info.name] = error.name
    return Package(modules, unavailable, docstrings)


# -- rendering ---------------------------------------------------------------


def annotation(value: Any) -> str:
    return value if isinstance(value, str) else inspect.formatannotation(value)


def signature_text(name: str, obj: Any, drop_first: bool, returns: bool = True) -> str | None:
    try:
        signature = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    params = list(signature.parameters.values())[1 if drop_first else 0 :]
    rendered, star_done = [], False
    for i, param in enumerate(params):
        if param.kind is param.KEYWORD_ONLY and not star_done:
            rendered.append("*")
        if param.kind in (param.KEYWORD_ONLY, param.VAR_POSITIONAL):
            star_done = True
        text = {param.VAR_POSITIONAL: "*", param.VAR_KEYWORD: "**"}.get(param.kind, "") + param.name
        if param.annotation is not param.empty:
            text += f": {annotation(param.annotation)}"
        if param.default is not param.empty:
            joiner = " = " if param.annotation is not param.empty else "="
            text += f"{joiner}{param.default!r}"
        rendered.append(text)
        if param.kind is param.POSITIONAL_ONLY and (i + 1 == len(params) or params[i + 1].kind is not param.POSITIONAL_ONLY):
            rendered.append("/")
    text = f"{name}({', '.join(rendered)})"
    if returns and signature.return_annotation is not signature.empty:
        text += f" -> {annotation(signature.return_annotation)}"
    return text


def quoted(doc: str) -> str:
    return "\n".join(f"> {line}" if line else ">" for line in doc.splitlines())


def code(lines: list[str]) -> str:
    return "```python\n" + "\n".join(lines) + "\n```"


def is_fixture(obj: Any) -> bool:
    return hasattr(obj, "_fixture_function_marker") or hasattr(obj, "_pytestfixturefunction")


def callable_signatures(name: str, func: Any, drop_first: bool) -> list[str]:
    """One line per overload (or the one signature), with "async" where it is."""
    targets = typing.get_overloads(func) or [func]
    prefix = "async " if inspect.iscoroutinefunction(func) else ""
    lines = [signature_text(name, target, drop_first) for target in targets]
    return [prefix + line for line in lines if line is not None]


def own_doc(owner: type, name: str, obj: Any) -> str:
    """The member's own docstring, or a pointer to what it overrides."""
    doc = getattr(obj, "__doc__", None)
    if isinstance(obj, property):
        doc = obj.fget.__doc__ if obj.fget else None
    if doc:
        return quoted(inspect.cleandoc(doc))
    public = owner
    for base in owner.__mro__[1:]:
        if not base.__name__.startswith("_"):
            public = base  # name the public class, not the C base under it
        if name in vars(base):
            return f"Overrides `{public.__name__}.{name}`."
    return ""


def render_member(cls: type, name: str, value: Any) -> str:
    heading = f"#### {cls.__name__}.{name}"
    if isinstance(value, property):
        returns = inspect.signature(value.fget).return_annotation if value.fget else inspect.Signature.empty
        kind = "A read-only property." if value.fset is None else "A property that can be set."
        text = name + ("" if returns is inspect.Signature.empty else f": {annotation(returns)}")
        body = [code([text]), kind]
    else:
        func = value.__func__ if isinstance(value, (classmethod, staticmethod)) else value
        decorator = {classmethod: "@classmethod", staticmethod: "@staticmethod"}.get(type(value))
        lines = callable_signatures(name, func, drop_first=not isinstance(value, staticmethod))
        body = [code(([decorator] if decorator else []) + lines)]
    doc = own_doc(cls, name, value)
    return "\n\n".join([heading, *body, *([doc] if doc else [])]) + "\n"


def class_members(cls: type) -> tuple[list[tuple[str, Any]], list[str]]:
    """Its own public callables and properties, and its own public data
    attributes, with those it inherits from private classes (a base such as
    `_Base` is how two public classes share code, not a class to look up)."""
    fields = {f.name for f in dataclasses.fields(cls)} if dataclasses.is_dataclass(cls) else set()
    members, attributes = [], []
    owners = [cls] + [base for base in cls.__mro__[1:] if base.__name__.startswith("_")]
    seen: set[str] = set()
    for name, value in [item for owner in owners for item in vars(owner).items()]:
        if name.startswith("_") or name in fields or name in seen:
            continue
        seen.add(name)
        if isinstance(value, (property, classmethod, staticmethod)) or inspect.isfunction(value):
            members.append((name, value))
        elif not isinstance(value, type):
            attributes.append(f"`{name} = {value!r}`")
    return members, attributes


def constructor_signature(cls: type) -> str | None:
    """The class called as its `__init__` (or `__new__`) says, if that is
    Python code; a metaclass's `__call__` is not what the reader wants."""
    for klass in cls.__mro__[:-1]:
        for name in ("__init__", "__new__"):
            method = vars(klass).get(name)
            if method is not None:
                method = getattr(method, "__func__", method)
                if not inspect.isfunction(method):
                    return None
                return signature_text(cls.__name__, method, drop_first=True, returns=False)
    return None


def render_class(cls: type) -> str:
    parts = [f"### {cls.__name__}"]
    signature = constructor_signature(cls)
    parts.append(code([f"class {signature or cls.__name__}"]))
    bases = [b for b in cls.__bases__ if b is not object and not b.__name__.startswith("_")]
    if bases:
        parts.append("Bases: " + ", ".join(f"`{b.__module__}.{b.__qualname__}`".replace("builtins.", "") for b in bases) + ".")
    generated = dataclasses.is_dataclass(cls) and (cls.__doc__ or "").startswith(cls.__name__ + "(")
    if cls.__doc__ and not generated:
        parts.append(quoted(inspect.cleandoc(cls.__doc__)))
    if dataclasses.is_dataclass(cls):
        fields = ", ".join(f"`{f.name}: {annotation(f.type)}`" for f in dataclasses.fields(cls))
        frozen = " (frozen)" if cls.__dataclass_params__.frozen else ""  # type: ignore[attr-defined]
        parts.append(f"Fields{frozen}: {fields}.")
    members, attributes = class_members(cls)
    if attributes:
        parts.append("Attributes: " + ", ".join(attributes) + ".")
    protocols = [text for dunder, text in PROTOCOLS.items() if any(dunder in vars(k) for k in cls.__mro__[:-1])]
    if protocols:
        parts.append("Supports: " + ", ".join(protocols) + ".")
    if members:
        links = ", ".join(f"[`{name}`](#{slug(f'{cls.__name__}.{name}')})" for name, _ in members)
        parts.append(f"Members: {links}.")
    text = "\n\n".join(parts) + "\n"
    return text + "".join("\n" + render_member(cls, name, value) for name, value in members)


def render_object(name: str, obj: Any) -> str:
    if isinstance(obj, type):
        return render_class(obj)
    if is_fixture(obj) or callable(obj):
        lines = callable_signatures(name, obj, drop_first=False)
        label = ["A pytest fixture; ask for it by naming it as a parameter of a test."] if is_fixture(obj) else []
        doc = [quoted(inspect.cleandoc(obj.__doc__))] if obj.__doc__ else []
        return "\n\n".join([f"### {name}", code(lines), *label, *doc]) + "\n"
    return f"### {name}\n\n{code([f'{name} = {obj!r}'])}\n"


def public_names(module: ModuleType) -> list[str]:
    declared = getattr(module, "__all__", None)
    if declared is not None:
        return list(declared)
    return [
        name
        for name, value in vars(module).items()
        if not name.startswith("_") and getattr(value, "__module__", None) == module.__name__
        and (isinstance(value, type) or callable(value))
    ]


def render_module(name: str, package: Package) -> str:
    module = package.modules[name]
    names = public_names(module)
    parts = [f"## {name}", quoted(package.docstrings[name])]
    if names:
        parts.append("Names: " + ", ".join(f"[`{n}`](#{slug(n)})" for n in names) + ".")
    text = "\n\n".join(parts) + "\n"
    # A name that a module re-exports from another public module of the kit is
    # described where it is defined; the list above links there.
    own = [n for n in names if not documented_elsewhere(getattr(module, n), name, package)]
    return text + "".join("\n" + render_object(n, getattr(module, n)) for n in own)


def documented_elsewhere(obj: object, module_name: str, package: Package) -> bool:
    home = getattr(obj, "__module__", None)
    return home != module_name and home in package.modules


def render_index(package: Package) -> str:
    lines = [quoted(package.docstrings[PACKAGE]), "", "Modules:", ""]
    for name in sorted(package.docstrings):
        if name != PACKAGE:
            first = package.docstrings[name].splitlines()[0] if package.docstrings[name] else ""
            lines.append(f"- [`{name}`](#{slug(name)}): {first}")
    return "\n".join(lines) + "\n"


def slug(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


# -- the page ----------------------------------------------------------------


def section(name: str, body: str) -> str:
    return f"<!-- BEGIN GENERATED {name} -->\n{body}<!-- END GENERATED {name} -->"


def regenerate(doc: str, package: Package, block: re.Pattern[str]) -> str:
    """The text of docs/api.md with every generated section of the kit made anew."""
    expected = sorted(package.docstrings)
    seen: list[str] = []

    def replace(match: re.Match[str]) -> str:
        name = match["name"]
        if name != PACKAGE and not name.startswith(PACKAGE + "."):
            return match[0]
        if name not in expected:
            raise DocsError(f"docs/api.md has a generated section for {name}, which the package lacks")
        seen.append(name)
        if name in package.unavailable:
            return match[0]
        body = render_index(package) if name == PACKAGE else render_module(name, package)
        return section(name, body)

    text = block.sub(replace, doc)
    duplicates = sorted({name for name in seen if seen.count(name) > 1})
    if duplicates:
        raise DocsError(f"docs/api.md has more than one generated section for: {', '.join(duplicates)}")
    if PACKAGE not in seen:
        raise DocsError(f"docs/api.md has no generated section {PACKAGE}; add an empty BEGIN/END GENERATED pair for it")
    for i, name in enumerate(expected):
        if name in seen:
            continue
        if name in package.unavailable:
            raise DocsError(f"{name} needs {package.unavailable[name]}, which is missing: its section cannot be written")
        before = expected[i - 1]  # the index comes first, so there is always one
        end = f"<!-- END GENERATED {before} -->"
        at = text.index(end) + len(end)
        text = text[:at] + "\n\n" + section(name, render_module(name, package)) + text[at:]
        seen.append(name)
    kit = "".join(m[0] for m in block.finditer(text) if m["name"].startswith(PACKAGE))
    everywhere = [slug(h) for h in headings(text)]
    clashes = sorted({s for s in map(slug, headings(kit)) if everywhere.count(s) > 1})
    if clashes:
        raise DocsError(f"docs/api.md has more than one heading for the kit's anchors: {', '.join(clashes)}")
    return text


def headings(markdown: str) -> list[str]:
    return re.findall(r"^#{1,6} (.+)$", re.sub(r"```.*?```", "", markdown, flags=re.DOTALL), flags=re.M)
