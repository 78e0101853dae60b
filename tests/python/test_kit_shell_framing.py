"""The framing and text layers of marrowfen_kit.shell, fed synthetic output.

No account is needed: the lines the Shell types are checked against a local
bash, and the scanners against streams cut at every possible place."""

from __future__ import annotations

import random
import subprocess

import pytest

from marrowfen_kit._frames import AnswerScanner, command_line, new_nonce, setup_line
from marrowfen_kit._terminal_text import IncrementalText, clean

NONCE = b"0123456789abcdef0123456789abcdef"
OTHER = b"fedcba9876543210fedcba9876543210"


def begin(nonce=NONCE):
    return b"\x1e" + nonce + b"<\x1f"


def end(status, nonce=NONCE):
    return b"\x1e" + nonce + b">%d\x1f" % status


def bash(line: bytes) -> bytes:
    return subprocess.run(["bash", "--norc", "--noprofile"], input=line, capture_output=True,
                          timeout=30, check=True).stdout


def test_typed_lines_are_printable_ascii_and_reach_bash_unchanged():
    every_byte = bytes(range(1, 256))
    assert all(0x20 <= b < 0x7F for b in command_line(NONCE, every_byte)[:-1])
    assert all(0x20 <= b < 0x7F for b in setup_line(NONCE, 80, 24)[:-1])
    assert new_nonce() != new_nonce() and len(new_nonce()) == 32

    # Quotes, backslashes, escapes and bytes that are not UTF-8 arrive as written.
    payload = every_byte.replace(b"'", b"'\\''")
    out = bash(command_line(NONCE, b"printf %s '" + payload + b"'; (exit 7)") + b'echo "[$?]"\n')
    assert out == begin() + every_byte + b"[7]\n"

    # Several lines, a here-document on the last one, a syntax error that
    # stays inside the command.
    out = bash(command_line(NONCE, b"x=1\nprintf '%s\\n' $x\ncat <<EOF\n$x\nEOF") + b"echo done\n")
    assert out == begin() + b"1\n1\ndone\n"
    out = bash(command_line(NONCE, b"echo 'unterminated") + b'echo "[$?]"\n')
    assert out == begin() + b"[2]\n"

    with pytest.raises(ValueError, match="NUL"):
        command_line(NONCE, b"echo \0")

    # Standard input of any bytes (NUL too) through a pipe that then ends,
    # and variables for the command and its children alone.
    stdin = bytes(range(256)) * 3 + b"\\c%s%%'"
    line = command_line(NONCE, b'od -An -v -tx1 | tr -d " \\n"; echo; bash -c \'echo "$A|$B"\'',
                        stdin=stdin, env=[(b"A", b"x 'y'\n"), (b"B", "é".encode())])
    assert all(0x20 <= b < 0x7F for b in line[:-1])
    out = bash(line + b'echo "[$A][$B]"\n')
    assert out == begin() + stdin.hex().encode() + b"\nx 'y'\n|" + "é".encode() + b"\n[][]\n"


STREAM = (
    b"prompt junk" + end(0, OTHER) + b"\x1e" + NONCE[:10] + begin(OTHER)  # leftovers of earlier lines
    + begin()
    + b"out\r\n" + b"\x1e" + NONCE + b"<" + b"\x1e" + NONCE + b">x\x1f" + end(1, OTHER) + b"\x1e\x1f"
    + b"no newline" + end(42) + b"after"
)
ANSWER = (b"out\r\n" + b"\x1e" + NONCE + b"<" + b"\x1e" + NONCE + b">x\x1f" + end(1, OTHER) + b"\x1e\x1f"
          + b"no newline")


def test_a_shell_that_exits_is_told_from_a_command_that_ends():
    exit_frame = b"\x1e" + NONCE + b"!3\x1f"
    stream = begin() + b"bye\nexit\n" + exit_frame
    for cut in range(len(stream)):
        scanner = AnswerScanner(NONCE)
        feed_in_pieces(scanner, stream, [cut])
        assert (scanner.exit_status, scanner.shell_exit_status, bytes(scanner.output)) == (None, 3, b"bye\nexit\n")
    # The exit frame of another nonce is output like any other.
    scanner = AnswerScanner(NONCE)
    scanner.feed(bytearray(begin() + b"\x1e" + OTHER + b"!1\x1f" + end(0)))
    assert (scanner.exit_status, scanner.shell_exit_status) == (0, None)


def feed_in_pieces(scanner, data, cuts):
    last = 0
    for cut in sorted(cuts) + [len(data)]:
        scanner.feed(bytearray(data[last:cut]))
        last = cut


def test_the_answer_is_found_however_the_output_is_cut():
    for cut in range(len(STREAM)):
        scanner = AnswerScanner(NONCE)
        feed_in_pieces(scanner, STREAM, [cut])
        assert (scanner.exit_status, bytes(scanner.output)) == (42, ANSWER), cut
    rng = random.Random(7)
    for _ in range(200):
        scanner = AnswerScanner(NONCE)
        feed_in_pieces(scanner, STREAM, rng.sample(range(len(STREAM)), rng.randrange(1, 30)))
        assert (scanner.exit_status, bytes(scanner.output)) == (42, ANSWER)

    # No begin frame expected (the set-up line): the answer starts at once.
    scanner = AnswerScanner(NONCE, begins=False)
    scanner.feed(bytearray(b"echo of the set-up\r\n" + end(0)))
    assert (scanner.exit_status, bytes(scanner.output)) == (0, b"echo of the set-up\r\n")


def test_the_scanner_waits_for_frames_and_drops_what_it_need_not_keep():
    scanner = AnswerScanner(NONCE)
    scanner.feed(bytearray(b"x" * 1000))
    # Nothing kept before the begin; the begin frame alone need not wake anyone.
    assert scanner.output == b"" and scanner.wake_on == b">"
    scanner.feed(bytearray(begin()))
    assert scanner.wake_on == b"\x1e"
    scanner.feed(bytearray(b"y" * 100 + b"\x1e" + NONCE[:5]))
    assert scanner.wake_on is None  # a frame may be completing: any byte matters
    scanner.feed(bytearray(NONCE[5:] + b">1"))
    assert scanner.exit_status is None and scanner.wake_on is None

    # Past the limit only the first bytes stay, and the end frame is still found.
    scanner.stop_keeping(10)
    scanner.feed(bytearray(b"3" + b"z" * 10_000))  # ">13" was not followed by \x1f: output
    assert scanner.output == b"y" * 10 and scanner.exit_status is None
    scanner.feed(bytearray(end(130)))
    assert scanner.exit_status == 130 and scanner.output == b"y" * 10


TERMINAL = (
    b"\x1b[?2004hplain \x1b[1;31mred\x1b[0m\r\n"  # bracketed paste, colours
    b"\x1b]0;title\x07\x1b]2;other\x1b\\\x1b(B\x1b=tabs\there\r\n"  # titles, charset, keypad
    b"lone\rcarriage \x07bell \xff\xfe bytes \x1b"  # a lone ESC stays
)
CLEAN = b"plain red\ntabs\there\nlone\rcarriage \x07bell \xff\xfe bytes \x1b"


def test_terminal_output_becomes_text():
    assert clean(TERMINAL) == CLEAN
    assert clean(b"a\r\x1b[K\nb") == b"a\nb"  # an escape between \r and \n
    assert clean(b"\x1b]" + b"t" * 5000 + b"\x07") == b"t" * 5000 + b"\x07"  # not a title: too long


def test_incremental_text_equals_the_whole_however_it_is_cut():
    stream = TERMINAL + end(0, OTHER) + "é€\r\n".encode() + b"\x1b[3" + begin(OTHER) + b"1mend"
    # A frame cut into an escape sequence breaks it, as any other byte would.
    whole = (CLEAN + "é€\n".encode() + b"31mend").decode("utf-8", "surrogateescape")
    for cut in range(len(stream) + 1):
        text = IncrementalText("utf-8", "surrogateescape")
        got = text.feed(stream[:cut]) + text.feed(stream[cut:]) + text.feed(b"", final=True)
        assert got == whole, cut
    text = IncrementalText("utf-8", "replace")
    got = "".join(text.feed(stream[i:i + 1]) for i in range(len(stream))) + text.feed(b"", final=True)
    assert got == whole.encode("utf-8", "surrogateescape").decode("utf-8", "replace")

    # What is held back is decided by the next piece, or given up at the end.
    text = IncrementalText("utf-8", "strict")
    assert text.feed(b"a\r") == "a" and text.feed(b"b") == "\rb"
    assert text.feed(b"\x1b[1") == "" and text.feed(b"m\x1b") == "" and text.feed(b"", final=True) == "\x1b"
