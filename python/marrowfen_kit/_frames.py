"""What a Shell types into bash, and how it finds each command's answer.

The shell is set up once (setup_line): no line editing, no job control (so
no notice of a background job lands in a later command's output), no
prompts, no echo, no history, no output processing by the terminal, a
terminal size, pagers that do not wait for a key, no colour, a
PROMPT_COMMAND that prints an end frame with the exit status before every
prompt, and an EXIT trap that prints an exit frame with the shell's exit
status. Each command then goes in as one line (command_line): it stores a
fresh random nonce, prints a begin frame and `eval`s the command, quoted so
that the line is printable ASCII whatever the command holds. The output is
what comes between the begin frame and the end frame of that nonce.

Frames start with \\x1e and end with \\x1f, bytes that no line we type holds,
so not even an echo of our own input (were echo turned back on) can look like
one. Output that imitates a frame needs the nonce, which a command only sees
by reading the shell's variables on purpose: the framing guards against any
output, not against code that impersonates its own shell.
"""

from __future__ import annotations

import re
import secrets
from collections.abc import Sequence

FRAME_START = b"\x1e"
FRAME_STOP = b"\x1f"
NONCE_HEX_DIGITS = 32

# Before every prompt: back to the shell's own directory after a command run
# in another (cwd=; here, so that a Ctrl-C that cuts the command's line short
# does not skip it), then the end frame: \x1e, the nonce, ">", the exit
# status, \x1f.
_PROMPT_COMMAND = (
    "PROMPT_COMMAND='__mf_status=$?;"
    " if [[ -n ${__mf_back+set} ]]; then builtin cd -- \"$__mf_back\" >/dev/null 2>&1;"
    " OLDPWD=$__mf_oldpwd; builtin unset __mf_back __mf_oldpwd; fi;"
    " builtin printf \"\\036%s>%d\\037\" \"$__mf_nonce\" \"$__mf_status\"'"
)
# When the shell exits: the exit frame, "!" in place of ">".
_EXIT_TRAP = "trap 'builtin printf \"\\036%s!%d\\037\" \"$__mf_nonce\" $?' EXIT"

# Line editing and job control off (so there is no bracketed paste, no
# redrawing, no line length limit and no job notices), then the terminal: no
# echo, bytes passed as they come (no 4095-byte line limit), Ctrl-S and
# Ctrl-Q as plain bytes, output as the command wrote it, Ctrl-C that flushes
# nothing (the output so far stays), and a size. Ctrl-C still interrupts:
# ISIG stays on.
_SETUP = (
    "set +o emacs +o vi +o history +H +m; unset HISTFILE PS0;"
    " stty -echo -icanon min 1 time 0 -ixon -opost noflsh cols @COLUMNS@ rows @LINES@ 2>/dev/null;"
    " export PAGER=cat GIT_PAGER=cat MANPAGER=cat SYSTEMD_PAGER=cat NO_COLOR=1;"
    " PS1=; PS2=; " + _PROMPT_COMMAND + "; " + _EXIT_TRAP + "; __mf_nonce="
)


def new_nonce() -> bytes:
    """A fresh random nonce: 32 lower-case hexadecimal digits."""
    return secrets.token_hex(NONCE_HEX_DIGITS // 2).encode("ascii")


def setup_line(nonce: bytes, columns: int, lines: int) -> bytes:
    """The line that prepares a fresh shell; it answers with an end frame of `nonce`."""
    setup = _SETUP.replace("@COLUMNS@", str(int(columns))).replace("@LINES@", str(int(lines)))
    return setup.encode("ascii") + nonce + b"\n"


def resize_command(columns: int, lines: int) -> str:
    """The command that gives the terminal a new size."""
    return f"command stty cols {int(columns)} rows {int(lines)}"


# Inside $'...' only the backslash and the single quote are special; every
# other byte outside printable ASCII is written as a three-digit octal escape.
_QUOTED = {code: f"\\{code:03o}" for code in [*range(0x20), *range(0x7F, 0x100)]}
_QUOTED[ord("\\")] = "\\\\"
_QUOTED[ord("'")] = "\\'"

# Standard input for a command, as the argument of `printf %b` in single
# quotes: every byte, NUL included, as itself or as \0 and three octal digits.
_STDIN_QUOTED = {code: f"\\0{code:03o}" for code in [*range(0x20), *range(0x7F, 0x100)]}
_STDIN_QUOTED[ord("\\")] = "\\\\"
_STDIN_QUOTED[ord("'")] = "\\0047"


def _ansi_c_quoted(data: bytes) -> bytes:
    """`data` as a $'...' word of printable ASCII."""
    return b"$'" + data.decode("latin-1").translate(_QUOTED).encode("ascii") + b"'"


def command_line(nonce: bytes, command: bytes, *, stdin: bytes | None = None,
                 env: Sequence[tuple[bytes, bytes]] = (), cwd: bytes | None = None) -> bytes:
    """The line that runs `command` framed by `nonce`.

    `stdin`: bytes the command reads on its standard input, which then ends
    (through a pipe, never through the terminal). `env`: variables set for
    the command and its children only. `cwd`: the directory it runs in; the
    shell's own directory is back before the next prompt. A `cd` into `cwd`
    that fails is the command's failure: its message is the output, and the
    command does not run.

    Raises ValueError for a NUL byte in the command, an env value or cwd,
    which no shell word can hold.
    """
    if b"\0" in command:
        raise ValueError("the command contains a NUL character")
    parts = [b"__mf_nonce=" + nonce + b"; "]
    if cwd is not None:
        parts.append(b"__mf_back=$PWD __mf_oldpwd=$OLDPWD; ")
    parts.append(b"builtin printf '\\036%s<\\037' " + nonce + b"; ")
    if cwd is not None:
        parts.append(b"CDPATH= builtin cd -- " + _ansi_c_quoted(cwd) + b" >/dev/null && ")
    # The command ends with a newline, so that a here-document on its last
    # line is closed as bash expects. Variables set before `builtin eval`
    # would not reach the command's children; before plain `eval` they do.
    parts.extend(name + b"=" + _ansi_c_quoted(value) + b" " for name, value in env)
    parts.append((b"eval " if env else b"builtin eval ") + _ansi_c_quoted(command + b"\n"))
    if stdin is not None:
        quoted = stdin.decode("latin-1").translate(_STDIN_QUOTED).encode("ascii")
        parts.append(b" < <(builtin printf %b '" + quoted + b"' 2>/dev/null)")
    parts.append(b"\n")
    return b"".join(parts)


def ping_line(nonce: bytes) -> bytes:
    """A line that runs nothing and answers with an end frame of `nonce`.

    It holds no quote and no command: should a Ctrl-C make bash drop part of
    it, the rest is as harmless (a variable assignment or a name that is not
    found) and leaves no quote open to swallow the next line.
    """
    return b"__mf_nonce=" + nonce + b"\n"


# ">" and the exit status of a command, or "!" and the shell's own.
_END_REST = re.compile(rb"([>!])([0-9]{1,3})\x1f")
_END_REST_PARTIAL = re.compile(rb"(?:[>!][0-9]{0,3})?\Z")
_BEGIN_REST = b"<" + FRAME_STOP
_END_MARK = b">"

# Any frame, of any nonce, and what may be the start of one at the end of a
# piece of output. Text that expect() searches has them removed.
ANY_FRAME = rb"\x1e[0-9a-f]{%d}(?:<|[>!][0-9]{1,3})\x1f" % NONCE_HEX_DIGITS
ANY_FRAME_PARTIAL = rb"\x1e[0-9a-f]{0,%d}(?:<|[>!][0-9]{0,3})?\Z" % NONCE_HEX_DIGITS
# What bash prints once it has dealt with a Ctrl-C: an end frame of any nonce
# with the status of SIGINT (it comes after a program the Ctrl-C ended, and
# after a Ctrl-C that reached bash idle alike).
CTRL_C_END_FRAME = re.compile(rb"\x1e[0-9a-f]{%d}>130\x1f" % NONCE_HEX_DIGITS)


class AnswerScanner:
    """Follows the answer to one command line through the raw output.

    Fed the output as it arrives, in pieces of any size; every byte is
    searched once or a few times (a piece that ends inside a frame is looked
    at again), so the total cost is linear in the size of the answer.
    Bytes before the begin frame (leftovers of earlier commands) are dropped;
    `output` is what came after it, up to the end frame once that is found,
    or up to the exit frame when the command made the shell exit.
    """

    def __init__(self, nonce: bytes, *, begins: bool = True) -> None:
        """`begins=False` for a line that prints no begin frame: the answer
        starts with the first byte."""
        self._marker = FRAME_START + nonce
        self._buffer = bytearray()
        self._search_from = 0
        self._kept: bytes | None = None
        self.started = not begins
        self.exit_status: int | None = None  # the command's, from its end frame
        self.shell_exit_status: int | None = None  # the shell's, from its exit frame

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
        """The byte whose arrival may complete the answer, or None when any
        byte may (the start of a frame is here).

        Before the begin frame that is the ">" of an end frame: the begin
        frame alone completes nothing, and a short command's begin frame
        and end frame come in two pieces, which then cost one wake-up, not
        two. After it, the start of a frame."""
        if FRAME_START in self._buffer[self._search_from:]:
            return None
        return FRAME_START if self.started else _END_MARK

    def feed(self, data: bytearray) -> None:
        """Takes the next piece of output (and may keep `data` itself)."""
        if self.exit_status is not None or self.shell_exit_status is not None:
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
                    if end[1] == b">":
                        self.exit_status = int(end[2])
                    else:
                        self.shell_exit_status = int(end[2])
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
