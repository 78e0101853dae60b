"""What one command of a shell printed and how it ended."""

from __future__ import annotations

import dataclasses


@dataclasses.dataclass(frozen=True)
class CommandResult:
    """What one command printed and how it ended.

    `output` is what the command printed, its standard output and standard
    error merged as the pseudo-terminal merges them, without terminal escape
    sequences and with "\\r\\n" turned into "\\n"; `exit_status` is the
    shell's `$?` after it (128 + N for a command killed by signal N).
    """

    command: str
    output: str
    exit_status: int
