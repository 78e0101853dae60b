"""Instruction counts of the hot paths under callgrind.

Usage: callgrind.py [--count N] [--top K] [--ops OP,OP,...] [--keep DIR]

Runs bench/callgrind_loop.py once per operation under
`valgrind --tool=callgrind --dump-before=os_getppid`, so that the fixed loop
of N operations lands in a dump of its own, and prints per operation the
instructions executed (Ir) per iteration: in total, inside the marrowfen
module, in the interpreter (libpython) and in libc (malloc, memcpy, ...),
with the top K functions by self cost. Instruction counts do not drift with
machine noise: they show the effect of a change to the code.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from callgrind_loop import OPS, SCALE  # noqa: E402

NAME_RE = re.compile(r"^\((\d+)\)(?: (.*))?$")

# Instructions per operation before the inodes were laid out by kind and the
# call path was shortened (commit adca67b): (inside marrowfen, in all).
BEFORE = {
    "floor": (0, 509),
    "mkdir": (1315, 2077),
    "touch": (1306, 2068),
    "remove": (1672, 2322),
    "open+close": (1420, 2177),
    "open+write+close": (1837, 3039),
    "open+read+close": (2179, 3561),
    "write": (419, 893),
    "read": (1244, 2257),
    "listdir-small": (1162, 2658),
    "listdir-1k": (184461, 462115),
    "split-1k": (0, 367546),
    "exec pwd": (903, 1903),
    "exec echo 'a  b' c": (1193, 2423),
    "exec ls": (5930, 9732),
    "exec cat note": (4177, 5361),
    "exec touch x + rm x": (4139, 6658),
}
# Instructions inside marrowfen: a ceiling, or a share of BEFORE.
TARGETS = {"mkdir": 900, "open+read+close": 0.75, "exec pwd": 0.75}


def parse(path: str):
    """Self cost per (object, function) of one callgrind dump."""
    names: dict[str, dict[str, str]] = {"fn": {}, "ob": {}}
    cost: dict[tuple[str, str], int] = defaultdict(int)
    ob = fn = cfn = "???"
    skip_next = False
    total = 0
    mallocs = 0

    def name(kind, value):
        m = NAME_RE.match(value)
        if not m:
            return value
        ident, text = m.groups()
        if text is not None:
            names[kind][ident] = text
            return text
        return names[kind].get(ident, value)

    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                if skip_next:  # inclusive cost of a call: not self cost
                    skip_next = False
                    continue
                parts = line.split()
                if len(parts) >= 2:
                    cost[(ob, fn)] += int(parts[1])
                continue
            key, _, value = line.partition("=")
            if key == "ob":
                ob = name("ob", value)
            elif key == "cob":
                name("ob", value)
            elif key == "fn":
                fn = name("fn", value)
            elif key == "cfn":
                cfn = name("fn", value)
            elif key == "calls":
                skip_next = True
                if cfn == "malloc":
                    mallocs += int(value.split()[0])
            elif line.startswith("summary:"):
                total = int(line.split()[1])
    return total, cost, mallocs


def short(fn: str, width: int = 90) -> str:
    fn = re.sub(r"std::basic_string_view<char, std::char_traits<char> >", "string_view", fn)
    fn = re.sub(r"std::variant<[^>]*>", "INodeKind", fn)
    fn = fn.replace("marrowfen::", "").replace("(anonymous namespace)::", "")
    return fn if len(fn) <= width else fn[: width - 3] + "..."


def group(ob: str) -> str:
    base = os.path.basename(ob)
    if base.startswith("marrowfen"):
        return "marrowfen"
    if "libpython" in base or base.startswith("python"):
        return "python"
    if base.startswith(("libc.", "libc-", "ld-linux", "libstdc++", "libm.", "libgcc")):
        return "libc"
    return "other"


def run_op(python: str, op: str, count: int, workdir: str):
    count = max(1, count // SCALE.get(op, 1))
    out = os.path.join(workdir, "cg." + re.sub(r"[^A-Za-z0-9]+", "_", op))
    env = dict(os.environ, PYTHONHASHSEED="0")
    cmd = ["valgrind", "--tool=callgrind", "--dump-before=os_getppid", f"--callgrind-out-file={out}.%p",
           python, os.path.join(HERE, "callgrind_loop.py"), op, str(count)]
    p = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if p.returncode != 0:
        raise RuntimeError(f"callgrind failed for {op!r}:\n{p.stderr[-2000:]}")
    dumps = sorted(f for f in os.listdir(workdir) if f.startswith(os.path.basename(out) + ".") and f.endswith(".2"))
    if not dumps:
        raise RuntimeError(f"no loop dump for {op!r}")
    total, cost, mallocs = parse(os.path.join(workdir, dumps[-1]))
    groups: dict[str, int] = defaultdict(int)
    for (ob, _), v in cost.items():
        groups[group(ob)] += v
    top = sorted(cost.items(), key=lambda kv: -kv[1])
    return {
        "op": op, "count": count, "per_op": total / count, "mallocs": mallocs / count,
        "groups": {k: v / count for k, v in groups.items()},
        "top": [(short(fn), os.path.basename(ob), v / count) for (ob, fn), v in top],
    }


def measure(python: str = sys.executable, count: int = 2000, ops=OPS, keep: str | None = None, log=None):
    if shutil.which("valgrind") is None:
        raise RuntimeError("valgrind is not installed (apt-get install valgrind)")
    workdir = keep or tempfile.mkdtemp(prefix="marrowfen-callgrind-")
    os.makedirs(workdir, exist_ok=True)
    try:
        results = []
        for op in ops:
            if log:
                log(f"  callgrind: {op}")
            results.append(run_op(python, op, count, workdir))
        return results
    finally:
        if keep is None:
            shutil.rmtree(workdir, ignore_errors=True)


def table(results, top: int = 0) -> str:
    lines = [
        "| operation | Ir / op | in marrowfen | in the interpreter | in libc/libstdc++ | malloc calls / op "
        "| before: Ir / op, in marrowfen |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        g = r["groups"]
        before = BEFORE.get(r["op"])
        was = f"{before[1]:,}, {before[0]:,}" if before else ""
        lines.append(f"| `{r['op']}` | {r['per_op']:,.0f} | {g.get('marrowfen', 0):,.0f} | "
                     f"{g.get('python', 0):,.0f} | {g.get('libc', 0):,.0f} | {r['mallocs']:.1f} | {was} |")
    if top:
        for r in results:
            lines.append("")
            lines.append(f"`{r['op']}` (loop of {r['count']}): top functions by self cost (Ir per op)")
            lines.append("")
            for fn, ob, v in r["top"][:top]:
                lines.append(f"    {v:8,.0f}  {fn}  [{ob}]")
    return "\n".join(lines)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--count", type=int, default=2000, help="iterations of each loop (default 2000)")
    ap.add_argument("--top", type=int, default=8, help="functions to show per operation (default 8)")
    ap.add_argument("--ops", default=",".join(OPS), help="comma-separated operations")
    ap.add_argument("--keep", help="keep the callgrind dumps in this directory")
    args = ap.parse_args()
    ops = [o for o in args.ops.split(",") if o]
    results = measure(count=args.count, ops=ops, keep=args.keep,
                      log=lambda s: print(s, file=sys.stderr, flush=True))
    print(f"Instructions per operation under callgrind (loop of {args.count}; `floor` is the "
          "interpreter's loop plus one dict.get call; `split-1k` builds the 1,000 strings of "
          "`listdir-1k` with str.split)\n")
    print(table(results, args.top))


if __name__ == "__main__":
    main()
