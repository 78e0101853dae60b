"""What a Shell types into bash, and how it finds each command's answer.

The shell is set up once (setup_line): no line editing, no prompts, no echo,
no history, no output processing by the terminal, and a PROMPT_COMMAND that
prints an end frame with the exit status before every prompt. Each command
then goes in as one line (command_line): it stores a fresh random nonce,
prints a begin frame and `eval`s the command, quoted so that the line is
printable ASCII whatever the command holds. The output is what comes between
the begin frame and the end frame of that nonce.

Frames start with \\x1e and end with \\x1f, bytes that no line we type holds,
so not even an echo of our own input (were echo turned back on) can look like
one. Output that imitates a frame needs the nonce, which a command only sees
by reading the shell's variables on purpose: the framing guards against any
output, not against code that impersonates its own shell.
"""

from __future__ import annotations

import re
import secrets

FRAME_START = b"\x1e"
FRAME_STOP = b"\x1f"
NONCE_HEX_DIGITS = 32

# The end frame: \x1e, the nonce, ">", the exit status, \x1f.
_PROMPT_COMMAND = """PROMPT_COMMAND='builtin printf "\\036%s>%d\\037" "$__mf_nonce" $?'"""

# Line editing off (so there is no bracketed paste, no redrawing and no line
# length limit), then the terminal: no echo, bytes passed as they come (no
# 4095-byte line limit), Ctrl-S and Ctrl-Q as plain bytes, output as the
# command wrote it, and Ctrl-C that flushes nothing (the output so far stays).
# Ctrl-C still interrupts: ISIG stays on.
_SETUP = (
    "set +o emacs +o vi +o history +H; unset HISTFILE PS0;"
    " stty -echo -icanon min 1 time 0 -ixon -opost noflsh 2>/dev/null;"
    " PS1=; PS2=; " + _PROMPT_COMMAND + "; __mf_nonce="
)


def new_nonce() -> bytes:
    """A fresh random nonce: 32 lower-case hexadecimal digits."""
    return secrets.token_hex(NONCE_HEX_DIGITS // 2).encode("ascii")


def setup_line(nonce: bytes) -> bytes:
    """The line that prepares a fresh shell; it answers with an end frame of `nonce`."""
    return _SETUP.encode("ascii") + nonce + b"\n"


# Inside $'...' only the backslash and the single quote are special; every
# other byte outside printable ASCII is written as a three-digit octal escape.
_QUOTED = {code: f"\\{code:03o}" for code in [*range(0x20), *range(0x7F, 0x100)]}
_QUOTED[ord("\\")] = "\\\\"
_QUOTED[ord("'")] = "\\'"


def command_line(nonce: bytes, command: bytes) -> bytes:
    """The line that runs `command` framed by `nonce`.

    Raises ValueError for a NUL byte, which no shell word can hold.
    """
    if b"\0" in command:
        raise ValueError("the command contains a NUL character")
    # The command ends with a newline, so that a here-document on its last
    # line is closed as bash expects.
    quoted = (command + b"\n").decode("latin-1").translate(_QUOTED)
    return (b"__mf_nonce=" + nonce + b"; builtin printf '\\036%s<\\037' " + nonce
            + b"; builtin eval $'" + quoted.encode("ascii") + b"'\n")


def ping_line(nonce: bytes) -> bytes:
    """A line that runs nothing and answers with an end frame of `nonce`.

    It holds no quote and no command: should a Ctrl-C make bash drop part of
    it, the rest is as harmless (a variable assignment or a name that is not
    found) and leaves no quote open to swallow the next line.
    """
    return b"__mf_nonce=" + nonce + b"\n"


_END_REST = re.compile(rb">([0-9]{1,3})\x1f")
_END_REST_PARTIAL = re.compile(rb"(?:>[0-9]{0,3})?\Z")
_BEGIN_REST = b"<" + FRAME_STOP

# Any frame, of any nonce, and what may be the start of one at the end of a
# piece of output. Text that expect() searches has them removed.
ANY_FRAME = rb"\x1e[0-9a-f]{%d}(?:<|>[0-9]{1,3})\x1f" % NONCE_HEX_DIGITS
ANY_FRAME_PARTIAL = rb"\x1e[0-9a-f]{0,%d}(?:<|>[0-9]{0,3})?\Z" % NONCE_HEX_DIGITS


class AnswerScanner:
    """Follows the answer to one command line through the raw output.

    Fed the output as it arrives, in pieces of any size; every byte is
    searched once or a few times (a piece that ends inside a frame is looked
    at again), so the total cost is linear in the size of the answer.
    Bytes before the begin frame (leftovers of earlier commands) are dropped;
    `output` is what came after it, up to the end frame once that is found.
    """

    def __init__(self, nonce: bytes, *, begins: bool = True) -> None:
        """`begins=False` for a line that prints no begin frame: the answer
        starts with the first byte."""
        self._marker = FRAME_START + nonce
        self._buffer = bytearray()
        self._search_from = 0
        self._kept: bytes | None = None
        self.started = not begins
        self.exit_status: int | None = None

    @property
    def output(self) -> bytes | bytearray:
        """The answer so far (all of it once exit_status is known), raw; only
        its first bytes after stop_keeping()."""
        if not self.started:
            return b""
        return self._buffer if self._kept is None else self._kept

    def stop_keeping(self, limit: int) -> None:
        """Keeps the first `limit` bytes of the answer and drops the rest, now
        and from now on: only the end frame is looked for."""
        if self._kept is None:
            self._kept = bytes(self._buffer[: min(limit, self._search_from)])
            self._drop_searched()

    @property
    def wake_on(self) -> bytes | None:
        """The byte whose arrival may complete the answer (the start of a
        frame), or None when any byte may (the start of a frame is here)."""
        return None if FRAME_START in self._buffer[self._search_from:] else FRAME_START

    def feed(self, data: bytearray) -> None:
        """Takes the next piece of output (and may keep `data` itself)."""
        if self.exit_status is not None:
            return
        if self._buffer:
            self._buffer += data
        else:
            self._buffer = data
        buffer = self._buffer
        marker = self._marker
        while True:
            at = buffer.find(marker, self._search_from)
            if at < 0:
                # A marker may begin in the last bytes: search them again.
                self._search_from = max(self._search_from, len(buffer) - len(marker) + 1)
                break
            rest = at + len(marker)
            if not self.started:
                if buffer.startswith(_BEGIN_REST, rest):
                    del buffer[: rest + len(_BEGIN_REST)]
                    self.started = True
                    self._search_from = 0
                    continue
                if len(buffer) - rest < len(_BEGIN_REST) and _BEGIN_REST.startswith(buffer[rest:]):
                    self._search_from = at
                    break
            else:
                end = _END_REST.match(buffer, rest)
                if end is not None:
                    self.exit_status = int(end[1])
                    del buffer[at:]
                    return
                if _END_REST_PARTIAL.match(buffer, rest):
                    self._search_from = at
                    break
            self._search_from = at + 1
        if not self.started or self._kept is not None:
            self._drop_searched()

    def _drop_searched(self) -> None:
        del self._buffer[: self._search_from]
        self._search_from = 0
