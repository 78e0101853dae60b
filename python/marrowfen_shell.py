"""Placeholder; the interactive shell arrives with the terminal."""


def main() -> int:
    return 0
