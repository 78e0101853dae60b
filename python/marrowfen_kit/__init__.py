"""Pure-Python helpers around the marrowfen extension module."""
