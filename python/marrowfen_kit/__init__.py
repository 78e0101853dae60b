"""marrowfen_kit: the Python layer people expect around marrowfen's seven classes.

Pure Python, fully typed (PEP 561), shipped in the same wheel as the
`marrowfen` module. It adds nothing to the module and changes none of its
classes. Importing the package imports none of its modules; import the one
you need:

- `marrowfen_kit.fs`: `MemPath`, pathlib-style paths over a `PyFs`, whose
  `open()` gives ordinary file objects and whose failures are the standard
  `OSError` subclasses.
- `marrowfen_kit.fsspec`: `MarrowfenFileSystem`, the fsspec filesystem of the
  protocol "marrowfen" (needs the optional extra: `pip install marrowfen[fsspec]`).
- `marrowfen_kit.term`: `StrictTerm`, a `PyTerm` that refuses the lines its
  commands would silently ignore or misread.
- `marrowfen_kit.pytest_plugin`: the pytest fixtures `marrowfen_fs` and
  `marrowfen_term`, registered with pytest when the package is installed.
"""
