"""Timing helpers, the fd 1 redirection and the result store of the harness.

Every figure is the minimum over several repeats of a timed loop, taken with
the cyclic garbage collector switched off (as timeit does), so that a loop is
charged for its own work only. The machine is small and shared: the minimum is
the most stable statistic there, and it is what every table reports.
"""

from __future__ import annotations

import contextlib
import gc
import os
import sys
import time
import timeit

perf_counter = time.perf_counter


def log(*parts: object) -> None:
    """Progress text: to standard error, which the harness never redirects."""
    print(*parts, file=sys.stderr, flush=True)


@contextlib.contextmanager
def quiet_stdout():
    """Point file descriptor 1 at /dev/null for the duration of the block.

    Every successful PyFileHandle.read writes a diagnostic line to fd 1 itself
    (not through sys.stdout), so the timed loops run with fd 1 redirected and
    the results are printed after it is restored.
    """
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        yield
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


@contextlib.contextmanager
def no_gc():
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def time_once(fn, *args) -> float:
    """Seconds taken by one call of fn(*args), with the collector off."""
    with no_gc():
        t0 = perf_counter()
        fn(*args)
        return perf_counter() - t0


def best_of(fn, ops: int, repeat: int, setup=None, teardown=None, budget: float = 20.0) -> float:
    """Minimum over `repeat` runs of fn() divided by `ops`: seconds per op.

    `setup` runs before and `teardown` after each timed run, untimed. When a
    run is slow, fewer repeats are made so that the workload stays within
    about `budget` seconds (at least one run is always made).
    """
    best = float("inf")
    spent = 0.0
    for i in range(repeat):
        if setup is not None:
            setup()
        dt = time_once(fn)
        if teardown is not None:
            teardown()
        best = min(best, dt)
        spent += dt
        if i + 1 < repeat and spent + dt > budget:
            break
    return best / ops


def calibrated(stmt, env: dict | None = None, repeat: int = 7, target: float = 0.02,
               max_number: int = 1_000_000, budget: float = 10.0) -> float:
    """timeit-style: choose a loop count so that one run lasts about `target`
    seconds, then return the minimum per-execution time over `repeat` runs.

    `stmt` is a statement string run in the namespace `env` (timeit compiles
    it into its loop, so no Python call is added per execution), or a
    callable. It must be repeatable without set-up.
    """
    if callable(stmt):
        env, stmt = {"_fn": stmt}, "_fn()"
    timer = timeit.Timer(stmt, globals=env or {})
    number = 1
    while True:
        dt = timer.timeit(number)
        if dt >= target / 5 or number >= max_number:
            break
        number *= 10 if dt < target / 50 else 2
    if dt > 0:
        number = max(1, min(max_number, int(number * target / dt)))
    best = float("inf")
    spent = 0.0
    for i in range(repeat):
        dt = timer.timeit(number)
        best = min(best, dt)
        spent += dt
        if i + 1 < repeat and spent + dt > budget:
            break
    return best / number


def interleaved(cases: dict, repeat: int = 15, target: float = 0.005) -> dict:
    """Like `calibrated` for several statements that are to be compared with
    each other: their runs alternate, so that a noisy moment of the machine
    falls on all of them alike. `cases` maps a name to (stmt, env) or to a
    callable; returns the minimum seconds per execution of each."""
    timers, numbers, best = {}, {}, {}
    for name, case in cases.items():
        if callable(case):
            timer = timeit.Timer("_fn()", globals={"_fn": case})
        else:
            stmt, env = case
            timer = timeit.Timer(stmt, globals=env)
        number = 1
        while True:
            dt = timer.timeit(number)
            if dt >= target / 5 or number >= 1_000_000:
                break
            number *= 10 if dt < target / 50 else 2
        timers[name] = timer
        numbers[name] = max(1, int(number * target / dt)) if dt > 0 else number
        best[name] = float("inf")
    for _ in range(repeat):
        for name, timer in timers.items():
            best[name] = min(best[name], timer.timeit(numbers[name]) / numbers[name])
    return best


class Results:
    """Rows of measurements and the verdicts on the targets."""

    def __init__(self):
        self.sections: dict[str, dict] = {}
        self.targets: list[dict] = []
        self.notes: list[str] = []

    def section(self, key: str, title: str, libs: list[str], intro: str = "", base: str = "marrowfen",
                refs: tuple[str, ...] = ()):
        """A table whose ratios are column / `base` for competitors and
        `base` / column for the reference columns `refs` (floors)."""
        if key not in self.sections:
            self.sections[key] = {"title": title, "libs": list(libs), "rows": {}, "intro": intro,
                                  "base": base, "refs": list(refs)}
        return self.sections[key]

    def add(self, key: str, row: str, lib: str, seconds: float | None, note: str = "") -> None:
        sec = self.sections[key]
        r = sec["rows"].setdefault(row, {"values": {}, "notes": {}})
        r["values"][lib] = seconds
        if note:
            r["notes"][lib] = note
        if lib not in sec["libs"]:
            sec["libs"].append(lib)

    def get(self, key: str, row: str, lib: str) -> float | None:
        try:
            return self.sections[key]["rows"][row]["values"].get(lib)
        except KeyError:
            return None

    def target(self, group: str, what: str, measured: str, limit: str, met: bool | None) -> None:
        self.targets.append({"group": group, "what": what, "measured": measured, "limit": limit, "met": met})

    def note(self, text: str) -> None:
        self.notes.append(text)


def fmt_time(seconds: float | None) -> str:
    """A duration with three significant digits and a unit fitted to it."""
    if seconds is None:
        return "n/a"
    us = seconds * 1e6
    if us < 1:
        return f"{us * 1000:.0f} ns"
    if us < 1000:
        return f"{us:.3g} µs" if us < 100 else f"{us:.0f} µs"
    ms = us / 1000
    if ms < 1000:
        return f"{ms:.3g} ms" if ms < 100 else f"{ms:.0f} ms"
    return f"{ms / 1000:.3g} s"


def fmt_ratio(r: float | None) -> str:
    if r is None:
        return "n/a"
    if r >= 100:
        return f"{r:,.0f}×"
    if r >= 10:
        return f"{r:.1f}×"
    return f"{r:.2f}×"
