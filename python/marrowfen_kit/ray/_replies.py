"""What a node's actor sends back for one operation, failures included.

A failure of a shell operation on a node (ShellTimeout, CommandFailed, a
ValueError of the pool...) must reach the caller as the same exception it
would have met locally. Exceptions do not survive pickling when their
constructor takes keyword-only arguments (pickle calls `cls(*args)`), so the
actor sends the class, the arguments and the attributes, and the driver
rebuilds the exception from them without calling its constructor.
"""

from __future__ import annotations

import dataclasses
from typing import Any


@dataclasses.dataclass(frozen=True)
class Failure:
    """An exception raised on the node, in a form that pickles."""

    kind: type[Exception]
    args: tuple[Any, ...]
    state: dict[str, Any]

    @classmethod
    def of(cls, error: Exception) -> Failure:
        state = {name: value for name, value in vars(error).items() if not name.startswith("__")}
        notes = getattr(error, "__notes__", None)
        if notes:
            state["__notes__"] = list(notes)
        return cls(type(error), tuple(error.args), state)

    def rebuild(self) -> Exception:
        """The exception as it was raised on the node (without its traceback)."""
        try:
            error = self.kind.__new__(self.kind, *self.args)
            error.args = self.args
            vars(error).update(self.state)
        except Exception:  # a class that cannot be made this way: keep its text
            return RuntimeError(f"{self.kind.__qualname__}: {' '.join(map(str, self.args))}")
        return error


@dataclasses.dataclass(frozen=True)
class Reply:
    """The result of one operation on a remote shell: its value or its
    failure, and whether the shell ended with it (closed, exited, or given up
    after a command that would not stop), so that the driver frees its place."""

    value: Any = None
    failure: Failure | None = None
    ended: bool = False

    def unwrap(self) -> Any:
        if self.failure is not None:
            raise self.failure.rebuild()
        return self.value
