"""docs/api.md is current with the module, and the documentation's links hold."""

from __future__ import annotations

import importlib.util
import re
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


def regenerate(text: str) -> str:
    return gen.regenerate(text, marrowfen, gen.STUBS.read_text(encoding="utf-8"))


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

