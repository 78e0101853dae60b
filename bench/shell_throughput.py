"""marrowfen_kit.shell (root only): commands per second, one shell and eight at once.

Each shell runs `true` over and over for half a second: AsyncShells under one
asyncio loop, Shells each in a thread of its own, and pexpect children each
in a thread of its own (tuned: no send delay, no echo, a prompt of its own
found with `expect_exact`). One account per shell. Rounds of the three
alternate, so that noise hits all alike; the best round counts. Reported as
time per command (wall time / commands, all shells together), with the rate.
"""

from __future__ import annotations

import asyncio
import os
import threading
import time

from common import Results, fmt_ratio, log

KEY = "shell_rate"
ASYNC, THREADS, PEXPECT = "AsyncShell (asyncio)", "Shell (threads)", "pexpect (threads)"
ROWS = {1: '"true", 1 shell', 8: '"true", 8 shells at once'}
DURATION = 0.5  # seconds of one round
PROMPT = "mf-bench> "
TIMEOUT = 30.0


def _with_threads(count: int, make, run_one, duration: float) -> tuple[float, list]:
    """Commands per second of `count` workers in threads, each with its own
    `make()`, and the workers."""
    workers = [make(i) for i in range(count)]
    done = [0] * count
    begin = threading.Barrier(count + 1)
    end = 0.0

    def work(i: int) -> None:
        begin.wait()
        n = 0
        while time.perf_counter() < end:
            run_one(workers[i])
            n += 1
        done[i] = n

    threads = [threading.Thread(target=work, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    start = time.perf_counter()
    end = start + duration
    begin.wait()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    return sum(done) / elapsed, workers


def shells_in_threads(users, duration: float) -> float:
    from marrowfen_kit.shell import Shell

    rate, shells = _with_threads(len(users), lambda i: Shell.start(users[i]), lambda s: s.run("true"), duration)
    for shell in shells:
        shell.close()
    return rate


def async_shells(users, duration: float) -> float:
    from marrowfen_kit.shell import AsyncShell

    async def main() -> float:
        shells = await asyncio.gather(*(AsyncShell.start(user) for user in users))
        end = time.perf_counter() + duration

        async def work(shell) -> int:
            n = 0
            while time.perf_counter() < end:
                await shell.run("true")
                n += 1
            return n

        start = time.perf_counter()
        counts = await asyncio.gather(*(work(shell) for shell in shells))
        elapsed = time.perf_counter() - start
        await asyncio.gather(*(shell.close() for shell in shells))
        return sum(counts) / elapsed

    return asyncio.run(main())


def _pexpect_child(username: str):
    import pexpect

    child = pexpect.spawn("su", ["-s", "/bin/bash", username], timeout=TIMEOUT, maxread=1 << 16)
    child.delaybeforesend = None
    child.sendline(f"stty -echo; bind 'set enable-bracketed-paste off' 2>/dev/null; PROMPT_COMMAND=; "
                   f"PS1='{PROMPT}'; echo READY")
    child.expect_exact("READY")
    child.expect_exact(PROMPT)
    return child


def _pexpect_true(child) -> None:
    child.send("true\n")
    child.expect_exact(PROMPT)


def pexpect_in_threads(users, duration: float) -> float:
    rate, children = _with_threads(len(users), lambda i: _pexpect_child(users[i].username()), _pexpect_true,
                                   duration)
    for child in children:
        child.close(force=True)
    return rate


def run_shell_throughput(res: Results, repeat: int) -> None:
    if os.geteuid() != 0:
        log("  not root: shell throughput skipped")
        return
    import marrowfen

    res.section(KEY, "marrowfen_kit.shell: commands per second (root)", [ASYNC, THREADS, PEXPECT], base=ASYNC,
                intro="Time per command, all shells together (wall time / commands), best of "
                      "alternating rounds of 0.5 s; the rate beside it.")
    pool = marrowfen.PyUserPool(16)
    users = [pool.allocate() for _ in range(max(ROWS))]
    contenders = {ASYNC: async_shells, THREADS: shells_in_threads, PEXPECT: pexpect_in_threads}
    for count, row in ROWS.items():
        best = dict.fromkeys(contenders, 0.0)
        for _ in range(max(4, repeat // 2)):
            for name, contender in contenders.items():
                best[name] = max(best[name], contender(users[:count], DURATION))
        for name, rate in best.items():
            res.add(KEY, row, name, 1 / rate, note=f"{rate:,.0f}/s")
    del users, pool


def check(res: Results) -> None:
    """The target: AsyncShell at least as many commands per second as Shell in threads, for 1 and 8 shells."""
    if KEY not in res.sections:
        return
    for row in ROWS.values():
        kit, threads = res.get(KEY, row, ASYNC), res.get(KEY, row, THREADS)
        if kit is not None and threads is not None:
            res.target("kit shell", f"AsyncShell over Shell in threads, {row}",
                       f"{fmt_ratio(threads / kit)} ({1 / kit:,.0f}/s vs {1 / threads:,.0f}/s)", "≥ 1×",
                       kit <= threads)
