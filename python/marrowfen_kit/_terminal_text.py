"""Terminal output as plain text.

A pseudo-terminal's output holds escape sequences (colours, cursor moves,
bracketed-paste switches, window titles) and may end lines with "\\r\\n".
Text is the output with the escape sequences removed and "\\r\\n" turned into
"\\n", then decoded; every other byte stays. `clean` does it to a whole
answer at once; `IncrementalText` to output that arrives in pieces, with the
same result however the pieces are cut.
"""

from __future__ import annotations

import codecs
import re

from ._frames import ANY_FRAME, ANY_FRAME_PARTIAL

# An operating-system command (a window title) longer than this is not one.
_OSC_MAX = 4096

# CSI (ESC [ parameters, intermediates, final byte), OSC (ESC ] text ended by
# BEL or ESC \), and the short ones (ESC, intermediates, final byte: charset
# selection, keypad modes, cursor save and restore).
_ESCAPE = rb"\x1b(?:\[[0-?]*[ -/]*[@-~]|\][^\x07\x1b]{0,%d}(?:\x07|\x1b\\)|[ -/]*[0-~])" % _OSC_MAX
# What may still become one of those at the end of a piece.
_ESCAPE_PARTIAL = rb"\x1b(?:\[[0-?]*[ -/]*|\][^\x07\x1b]{0,%d}\x1b?|[ -/]*)\Z" % _OSC_MAX

_ESCAPES = re.compile(_ESCAPE)
_ESCAPES_AND_FRAMES = re.compile(_ESCAPE + b"|" + ANY_FRAME)
_PARTIAL = re.compile(_ESCAPE_PARTIAL + b"|" + ANY_FRAME_PARTIAL)
# The longest partial sequence, and so the last bytes worth looking at.
_PARTIAL_REACH = _OSC_MAX + 3


def clean(raw: bytes | bytearray) -> bytes | bytearray:
    """Escape sequences removed, "\\r\\n" turned into "\\n"."""
    # A search costs little next to a pass that copies, and most output
    # needs neither pass.
    if b"\x1b" in raw:
        raw = _ESCAPES.sub(b"", raw)
    if b"\r" in raw:  # a search for one byte is many times faster than for two
        raw = raw.replace(b"\r\n", b"\n")
    return raw


def decode(raw: bytes | bytearray, encoding: str, errors: str) -> str:
    """clean(raw) decoded."""
    return clean(raw).decode(encoding, errors)


class IncrementalText:
    """Decodes output piece by piece into text, removing escape sequences
    and the shell's frames (of any nonce) as well.

    Bytes that may be the start of a sequence, a "\\r\\n" or a character are
    held back until the next piece (or `final`) decides.
    """

    def __init__(self, encoding: str, errors: str) -> None:
        self._decoder = codecs.getincrementaldecoder(encoding)(errors)
        self._held = b""

    def feed(self, data: bytes | bytearray, final: bool = False) -> str:
        """The text of `data` and of what was held back, as far as it is decided."""
        raw = self._held + data
        cut = len(raw)
        if not final:
            partial = _PARTIAL.search(raw, max(0, len(raw) - _PARTIAL_REACH))
            if partial is not None:
                cut = partial.start()
        decided = _ESCAPES_AND_FRAMES.sub(b"", raw[:cut])
        self._held = raw[cut:]
        if decided.endswith(b"\r") and not final:
            decided = decided[:-1]
            self._held = b"\r" + self._held
        return self._decoder.decode(decided.replace(b"\r\n", b"\n"), final)

    def reset(self) -> None:
        """Forgets what was held back."""
        self._decoder.reset()
        self._held = b""
