"""docs/api.md is current with the module and the kit, and the documentation's links hold."""

from __future__ import annotations

import importlib
import importlib.util
import re
import sys
import types
from pathlib import Path

import pytest

import marrowfen

ROOT = Path(__file__).resolve().parents[2]
DOC = ROOT / "docs" / "api.md"
README = ROOT / "README.md"


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_api_docs", ROOT / "scripts" / "gen_api_docs.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


gen = load_generator()
kit_docs = gen.kit_api_docs
KIT = kit_docs.walk()


def regenerate(text: str, kit=KIT) -> str:
    return gen.regenerate_all(text, marrowfen, gen.STUBS.read_text(encoding="utf-8"), kit)


def test_api_reference_is_up_to_date():
    current = DOC.read_text(encoding="utf-8")
    assert regenerate(current) == current, "docs/api.md is stale: run `python scripts/gen_api_docs.py`"


def test_every_class_and_method_has_a_section():
    current = DOC.read_text(encoding="utf-8")
    for name in ("PyTerminalSession.read_err", "Whence", "module"):
        without = re.sub(
            rf"<!-- BEGIN GENERATED {re.escape(name)} -->.*?<!-- END GENERATED {re.escape(name)} -->",
            "",
            current,
            flags=re.DOTALL,
        )
        assert without != current
        with pytest.raises(gen.DocsError, match=re.escape(name)):
            regenerate(without)
    with pytest.raises(gen.DocsError, match="PyFs.rename"):
        regenerate(current + "\n<!-- BEGIN GENERATED PyFs.rename -->\n<!-- END GENERATED PyFs.rename -->\n")


def test_generated_sections_carry_the_module_text():
    text = DOC.read_text(encoding="utf-8")
    for class_name in marrowfen.__all__:
        cls = getattr(marrowfen, class_name)
        for name in [None, *gen.public_methods(cls)]:
            obj = cls if name is None else getattr(cls, name)
            first_line = obj.__doc__.strip().splitlines()[0]
            assert f"> {first_line}" in text, f"{class_name}.{name}"
    # The real parameters of remove, with a note on its text signature.
    assert "remove(path: str, recurse: bool) -> None" in text
    assert "`__text_signature__` reads `(recurse=False)`" in text


def slug(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(path: Path) -> set[str]:
    text = path.read_text(encoding="utf-8")
    text = re.sub(r"```.*?```", "", text, flags=re.DOTALL)
    return {slug(m.group(1)) for m in re.finditer(r"^#{1,6} (.+)$", text, flags=re.MULTILINE)}


@pytest.mark.parametrize("document", [README, DOC], ids=lambda p: p.name)
def test_links_resolve(document):
    text = re.sub(r"```.*?```", "", document.read_text(encoding="utf-8"), flags=re.DOTALL)
    links = re.findall(r"\]\(([^)\s]+)\)", text)
    if document is README:
        assert "docs/api.md" in links, "the README links the API reference"
    for link in links:
        if re.match(r"[a-z]+:", link):
            continue
        target, _, anchor = link.partition("#")
        path = (document.parent / target).resolve() if target else document
        assert path.exists(), f"{document.name}: broken link {link}"
        if anchor:
            assert anchor in anchors(path), f"{document.name}: no heading for #{anchor} in {path.name}"



# marrowfen_kit: its sections come from walking the installed package.


def test_every_public_name_of_the_kit_is_documented():
    text = DOC.read_text(encoding="utf-8")
    assert set(KIT.modules) >= {"marrowfen_kit", "marrowfen_kit.fs", "marrowfen_kit.fsspec", "marrowfen_kit.term"}
    # `make install` installs every optional dependency of the kit; Ray only into the 3.12 venv.
    missing_here = {} if sys.version_info[:2] == (3, 12) else {"marrowfen_kit.ray": "ray"}
    assert KIT.unavailable in ({}, missing_here), KIT.unavailable
    for name, module in KIT.modules.items():
        assert f"<!-- BEGIN GENERATED {name} -->" in text
        for public in kit_docs.public_names(module):
            obj = getattr(module, public)
            assert f"### {public}\n" in text, f"{name}.{public}"
            if obj.__doc__ and callable(obj):  # a constant's __doc__ is its type's
                assert f"> {obj.__doc__.strip().splitlines()[0]}" in text, f"{name}.{public}"
            if isinstance(obj, type):
                for member, _ in kit_docs.class_members(obj)[0]:
                    assert f"#### {public}.{member}\n" in text, f"{public}.{member}"
    # Overloads and properties show as such.
    assert (
        "open(mode: BinaryMode, buffering: int = -1, encoding: None = None, errors: None = None, newline: None = None)"
        " -> MemFile"
    ) in text
    assert "#### MemPath.parent\n\n```python\nparent: MemPath\n```\n\nA read-only property." in text


def without(text: str, name: str) -> str:
    pattern = rf"\n\n<!-- BEGIN GENERATED {re.escape(name)} -->.*?<!-- END GENERATED {re.escape(name)} -->"
    shorter = re.sub(pattern, "", text, flags=re.DOTALL)
    assert shorter != text
    return shorter


def test_a_new_module_gets_its_section_by_itself():
    current = DOC.read_text(encoding="utf-8")
    for name in ("marrowfen_kit.fs", "marrowfen_kit.term"):
        assert regenerate(without(current, name)) == current
    with pytest.raises(kit_docs.DocsError, match="marrowfen_kit.gone"):
        regenerate(current + "\n<!-- BEGIN GENERATED marrowfen_kit.gone -->\n<!-- END GENERATED marrowfen_kit.gone -->\n")


def test_a_module_missing_its_optional_dependency_keeps_its_section():
    def import_module(name):
        if name == "marrowfen_kit.fsspec":
            raise ModuleNotFoundError("No module named 'fsspec'", name="fsspec")
        return importlib.import_module(name)

    # Ray, the other optional dependency, is installed for one interpreter only.
    already_missing = kit_docs.walk(importlib.import_module).unavailable
    kit = kit_docs.walk(import_module)
    assert kit.unavailable == {**already_missing, "marrowfen_kit.fsspec": "fsspec"}
    current = DOC.read_text(encoding="utf-8")
    assert regenerate(current, kit) == current
    with pytest.raises(kit_docs.DocsError, match="needs fsspec"):
        regenerate(without(current, "marrowfen_kit.fsspec"), kit)


def test_renders_the_kinds_of_names_a_module_may_have(monkeypatch):
    """What a future module may hold (dataclasses, exceptions, coroutines,
    context managers, functions, constants) renders without changes here."""
    source = '''
"""A module of every kind of name."""
from __future__ import annotations
import dataclasses

__all__ = ["Result", "Timeout", "Session", "start", "LIMIT"]
LIMIT = 64

@dataclasses.dataclass(frozen=True)
class Result:
    """What ran."""
    command: str
    status: int = 0

class Timeout(TimeoutError):
    """Too slow."""
    def __init__(self, message: str, *, output: str = "") -> None:
        super().__init__(message)
        self.output = output

class Session:
    """A session."""
    limit: int = 10
    def __init__(self, name: str) -> None:
        self.name = name
    async def __aenter__(self) -> Session:
        return self
    async def __aexit__(self, *exc: object) -> None:
        return None
    async def run(self, command: str, timeout: float = 30.0) -> Result:
        """Run it."""
        return Result(command)
    @classmethod
    def start(cls, name: str) -> Session:
        return cls(name)
    @property
    def alive(self) -> bool:
        """Whether it runs."""
        return True

def start(name: str, /, *args: str, check: bool = False, **options: int) -> Session:
    """Start one."""
    return Session(name)
'''
    module = types.ModuleType("marrowfen_kit.example")
    monkeypatch.setitem(sys.modules, module.__name__, module)  # dataclasses look their module up
    exec(compile(source, "example.py", "exec"), module.__dict__)  # noqa: S102
    kit = kit_docs.Package({"marrowfen_kit.example": module}, {}, {"marrowfen_kit.example": "A module."})
    text = kit_docs.render_module("marrowfen_kit.example", kit)
    for expected in [
        "Names: [`Result`](#result), [`Timeout`](#timeout), [`Session`](#session), [`start`](#start), [`LIMIT`](#limit).",
        "class Result(command: str, status: int = 0)", "Fields (frozen): `command: str`, `status: int`.",
        "class Timeout(message: str, *, output: str = '')", "Bases: `TimeoutError`.", "> Too slow.",
        "class Session(name: str)", "Attributes: `limit = 10`.", "Supports: `async with`.",
        "#### Session.run\n\n```python\nasync run(command: str, timeout: float = 30.0) -> Result\n```\n\n> Run it.",
        "```python\n@classmethod\nstart(name: str) -> Session\n```",
        "alive: bool\n```\n\nA read-only property.\n\n> Whether it runs.",
        "start(name: str, /, *args: str, check: bool = False, **options: int) -> Session",
        "### LIMIT\n\n```python\nLIMIT = 64\n```",
    ]:
        assert expected in text, expected
    assert "What ran." in text and "Result(command: str, status: int = 0)\n\n>" not in text
