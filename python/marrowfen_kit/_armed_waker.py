"""The waker that a wait of an event loop arms on a shell's output reader."""

from __future__ import annotations

import threading
from collections.abc import Callable

Waker = Callable[[], None]


class ArmedWaker:
    """The one waker armed at a time, and the byte its wait looks for.

    A reader keeps its output in `_chunks` and its state in `ended` and
    `stopping`, all guarded by `_guard`.
    """

    _guard: threading.Lock | threading.Condition
    _chunks: list[bytes]
    ended: bool
    stopping: bool
    _waker: Waker | None = None
    _wake_on: bytes | None = None

    def arm(self, waker: Waker, wake_on: bytes | None = None) -> bool:
        """Has `waker` called once when there is something to take (with
        `wake_on`: output that holds that byte, or a full buffer), or the
        stream ends, or the reader stops or is woken. False, and nothing
        armed, when there is something to take now. The call may come
        after disarm(): a waker must bear being called late."""
        with self._guard:
            if self._chunks or self.ended or self.stopping:
                return False
            self._waker, self._wake_on = waker, wake_on
            return True

    def disarm(self) -> None:
        """Forgets the waker, called or not."""
        with self._guard:
            self._waker = self._wake_on = None

    def _take_waker(self) -> Waker | None:
        """The armed waker, disarmed. Called with the guard held."""
        waker, self._waker = self._waker, None
        if waker is not None:
            self._wake_on = None
        return waker
