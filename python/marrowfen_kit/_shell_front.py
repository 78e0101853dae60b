"""What Shell and AsyncShell share: the engine they stand on, its settings
and its state."""

from __future__ import annotations

from ._shell_engine import ShellEngine


class ShellFront:
    """The base of Shell and AsyncShell.

    START_TIMEOUT is how long a new shell has to answer its set-up (15 s);
    RECOVERY_TIMEOUT how long an interrupted command has to come back before
    the shell is given up and closed (2 s). Both may be set on a class or an
    instance.
    """

    #: Seconds the shell has to answer its set-up.
    START_TIMEOUT = 15.0
    #: Seconds a command has to come back after Ctrl-C before the shell is
    #: given up and closed.
    RECOVERY_TIMEOUT = 2.0

    _engine: ShellEngine

    @property
    def output_limit(self) -> int:
        """The most bytes of output one run() keeps (and the most text that
        expect() holds unmatched); beyond it they raise OutputLimitExceeded.
        64 MiB by default. Output waiting to be read is bounded by it too."""
        return self._engine.output_limit

    @output_limit.setter
    def output_limit(self, limit: int) -> None:
        self._engine.output_limit = limit

    @property
    def closed(self) -> bool:
        """True once the shell was closed or has ended by itself."""
        return self._engine.closed

    @property
    def encoding(self) -> str:
        """The encoding of the shell's input and output."""
        return self._engine.encoding

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {'closed' if self.closed else 'open'}>"
