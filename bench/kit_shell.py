"""marrowfen_kit.shell (root only): what the Shell adds over the raw session.

- `Shell.run("true")` against the raw echo round trip of sessions.py (write
  `echo M<i>_$((7*6))`, read until `M<i>_42`) on a session of the same account;
- `run` of a command printing 8 MiB against reading the same bytes raw from a
  session (until an end marker printed after them), and against pexpect
  (`su -s /bin/bash <user>`, `expect_exact` of the end marker, `before` kept).
Runs of the contenders alternate, so that noise hits all alike.
"""

from __future__ import annotations

import os
import statistics

from common import Results, fmt_ratio, fmt_time, log, perf_counter
from sessions import MarrowfenSession, allocate, read_until

KEY = "shell"
KIT, RAW, PEXPECT = "Shell", "raw session", "pexpect"
ROW_TRUE = 'run("true") / echo round trip'
ROW_TRUE_MEDIAN = 'run("true") / echo round trip (median)'
ROW_BIG = "8 MiB of output"
BIG = 8 << 20
BIG_COMMAND = f"head -c {BIG} /dev/zero | tr '\\0' x"
TIMEOUT = 60.0


def raw_big(session, i: int) -> None:
    session.write(f"{BIG_COMMAND}; echo END{i}_$((7*6))\n".encode())
    read_until(lambda: session.read(1 << 16), f"END{i}_42".encode())


def pexpect_big(child, i: int) -> None:
    child.sendline(f"{BIG_COMMAND}; echo END{i}_$((7*6))")
    child.expect_exact(f"END{i}_42", timeout=TIMEOUT)
    assert len(child.before) >= BIG


def run_kit_shell(res: Results, repeat: int) -> None:
    if os.geteuid() != 0:
        log("  not root: marrowfen_kit.shell benchmarks skipped")
        return
    import pexpect

    import marrowfen
    from marrowfen_kit.shell import Shell

    res.section(KEY, "marrowfen_kit.shell (root)", [KIT, RAW, PEXPECT], base=KIT, refs=(RAW,),
                intro="Per command. The raw session column is the floor (its ratio is Shell / raw); "
                      "round trips: minimum and median of some 1,000, 8 MiB: minimum of repeats.")
    pool = marrowfen.PyUserPool(8)
    held = [allocate(pool)[0] for _ in range(3)]  # the fourth account, as in sessions.py
    user, _ = allocate(pool)
    raw = MarrowfenSession(user)
    raw.spawn()
    raw.round_trip(0)
    shell = Shell.start(user)
    try:
        run_times, raw_times = [], []
        i = 0
        for _ in range(repeat):
            for _ in range(50):
                t = perf_counter()
                shell.run("true")
                run_times.append(perf_counter() - t)
                i += 1
                t = perf_counter()
                raw.round_trip(i)
                raw_times.append(perf_counter() - t)
        res.add(KEY, ROW_TRUE, KIT, min(run_times))
        res.add(KEY, ROW_TRUE, RAW, min(raw_times))
        res.add(KEY, ROW_TRUE_MEDIAN, KIT, statistics.median(run_times))
        res.add(KEY, ROW_TRUE_MEDIAN, RAW, statistics.median(raw_times))

        child = pexpect.spawn("su", ["-s", "/bin/bash", user.username()], timeout=TIMEOUT, maxread=1 << 16)
        child.delaybeforesend = None
        big = {KIT: [], RAW: [], PEXPECT: []}
        for j in range(max(5, repeat // 2)):
            t = perf_counter()
            assert len(shell.run(BIG_COMMAND, timeout=TIMEOUT).output) == BIG
            big[KIT].append(perf_counter() - t)
            t = perf_counter()
            raw_big(raw.s, j)
            big[RAW].append(perf_counter() - t)
            t = perf_counter()
            pexpect_big(child, j)
            big[PEXPECT].append(perf_counter() - t)
        child.close(force=True)
        for name, times in big.items():
            res.add(KEY, ROW_BIG, name, min(times))
    finally:
        shell.close()
        raw.close()
        del raw, shell, user, held, pool


def check(res: Results) -> None:
    """The targets: run("true") ≤ 2× the raw round trip and ≤ 0.5 ms; 8 MiB
    ≤ 1.5× the raw read and faster than pexpect."""
    if KEY not in res.sections:
        return
    kit, raw = res.get(KEY, ROW_TRUE, KIT), res.get(KEY, ROW_TRUE, RAW)
    if kit is not None and raw is not None:
        res.target("kit shell", 'Shell.run("true") over the raw echo round trip',
                   f"{fmt_ratio(kit / raw)} ({fmt_time(kit)} vs {fmt_time(raw)})", "≤ 2×, ≤ 0.5 ms",
                   kit / raw <= 2 and kit <= 0.5e-3)
    kit, raw, peer = (res.get(KEY, ROW_BIG, name) for name in (KIT, RAW, PEXPECT))
    if kit is not None and raw is not None and peer is not None:
        res.target("kit shell", "run() of 8 MiB of output over the raw read; pexpect over run()",
                   f"{fmt_ratio(kit / raw)} ({fmt_time(kit)} vs {fmt_time(raw)}); pexpect {fmt_ratio(peer / kit)}",
                   "≤ 1.5×; pexpect > 1×", kit / raw <= 1.5 and peer > kit)
