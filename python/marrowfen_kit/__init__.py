"""marrowfen_kit: the Python layer people expect around marrowfen's seven classes.

Pure Python, fully typed (PEP 561), shipped in the same wheel as the
`marrowfen` module. It adds nothing to the module and changes none of its
classes. Importing the package imports none of its modules: import the one
you need, such as `marrowfen_kit.fs` for pathlib-style paths on a `PyFs`.
Modules that need an optional dependency say so; `pip install
marrowfen[fsspec]` brings fsspec for `marrowfen_kit.fsspec`, and `pip install
marrowfen[ray]` Ray for `marrowfen_kit.ray`.
"""
