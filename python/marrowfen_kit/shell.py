"""Driving a real shell: run a command, get its output and exit status.

`Shell` wraps a `marrowfen.PyTerminalSession` (a bash running as a pool
account on a pseudo-terminal) and turns its raw byte streams into commands
with results::

    with Shell.start(pool.allocate()) as shell:
        result = shell.run("id -un")       # CommandResult(command='id -un', output='test_...\\n', exit_status=0)
        shell.run("false", check=True)     # raises CommandFailed
        shell.run("sleep 600", timeout=1)  # raises ShellTimeout; the shell stays usable

`AsyncShell` offers the same operations as coroutines. Both read the shell's
output in a thread of their own, so that every wait has a deadline and
neither the interpreter nor the event loop is held while the shell is silent.

This module is the public entry point; the work is done in `_shell_engine`
(framing and recovery), `_shell` and `_async_shell` (the two front ends) and
`_shell_errors`.
"""

from __future__ import annotations

from ._async_shell import AsyncShell
from ._command_result import CommandResult
from ._shell import Shell
from ._shell_errors import CommandFailed, OutputLimitExceeded, ShellEnded, ShellError, ShellTimeout
from ._transfer import TransferLimitExceeded
from .sandbox import Sandbox
from .shell_pool import AsyncShellPool, ShellPool

__all__ = [
    "Shell",
    "AsyncShell",
    "CommandResult",
    "ShellError",
    "CommandFailed",
    "ShellTimeout",
    "OutputLimitExceeded",
    "ShellEnded",
    "TransferLimitExceeded",
    "ShellPool",
    "AsyncShellPool",
    "Sandbox",
]
