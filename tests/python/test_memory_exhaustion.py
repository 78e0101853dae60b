"""Running out of memory is an ordinary failure: the call raises MemoryError,
leaves everything as it was, and the object stays usable once memory is
there again.

Each case runs in a child process whose address space is limited
(RLIMIT_AS) to a little more than it uses, so that the limit never touches
pytest itself. The child grows a filesystem through one operation until
that operation raises MemoryError, lifts the limit, checks that nothing of
the failed call is left and nothing else was lost, and prints a summary."""

import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ,
    reason="AddressSanitizer reserves terabytes of address space: an RLIMIT_AS cannot bite")

CHILD = r'''
import json, resource, sys
import marrowfen
from marrowfen import PyFs, PyTerm, Whence

operation = sys.argv[1]
HEADROOM = 8 << 20
CAP = 400_000

def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

fs = PyFs()
fs.mkdir("/d")
term = PyTerm(fs)
term.exec("cd d")
handle = fs.open("/d/data", "rw")
chunk = b"x" * (1 << 20)

# Every argument is made before the limit, so that the allocations that can
# fail are those of the operation itself.
if operation == "mkdir":
    arguments = [f"/d/n{i}" for i in range(CAP)]
    call = fs.mkdir
elif operation == "touch":
    arguments = [f"/d/n{i}" for i in range(CAP)]
    call = fs.touch
elif operation == "exec":
    arguments = [f"mkdir n{i}" for i in range(CAP)]
    call = term.exec
else:
    arguments = [chunk] * 100_000
    def call(data):
        handle.seek(0, Whence.SEEK_END)
        return handle.write(data)

done = 0
failed = None
resource.setrlimit(resource.RLIMIT_AS, (vm_size() + HEADROOM, resource.RLIM_INFINITY))
try:
    for argument in arguments:
        try:
            call(argument)
        except MemoryError:
            failed = argument
            break
        done += 1
finally:
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert failed is not None, f"no MemoryError after {done} calls"

text = str(fs)
assert "poisoned: true" not in text
files, dirs = fs.listdir("/d")
if operation == "write":
    assert handle.tell() == done * len(chunk)
    handle.seek(0, Whence.SEEK_END)
    assert handle.tell() == done * len(chunk), "the failed write left bytes behind"
    # The failed write goes through now.
    call(failed)
    handle.seek(0, Whence.SEEK_END)
    assert handle.tell() == (done + 1) * len(chunk)
    handle.seek(done * len(chunk) - 3, Whence.SEEK_SET)
    assert handle.read(6) == b"xxxxxx"
else:
    made = {f"n{i}" for i in range(done)}
    expected_files = made if operation == "touch" else set()
    expected_dirs = made if operation != "touch" else set()
    assert set(files) == expected_files | {"data"} and len(files) == len(expected_files) + 1
    assert set(dirs) == expected_dirs and len(dirs) == len(expected_dirs)
    assert text.count(": INode { id: ") == done + 3  # the root, /d, /d/data
    if operation == "exec":
        assert term.exec("pwd") == "/d"
        assert term.exec("ls").count("/\n") == done
    # The failed creation goes through now, and so does everything else.
    call(failed)
    files, dirs = fs.listdir("/d")
    assert len(files) + len(dirs) == done + 2
handle.close()
fs.remove("/d", True)
assert fs.listdir("/") == ([], [])
print(json.dumps({"operation": operation, "calls_before_the_failure": done}))
'''


@pytest.mark.timeout(300)
@pytest.mark.parametrize("operation", ["mkdir", "touch", "write", "exec"])
def test_running_out_of_memory_loses_nothing(operation):
    child = subprocess.run([sys.executable, "-c", CHILD, operation], capture_output=True, text=True,
                           timeout=240, env={**os.environ, "MARROWFEN_READ_DIAGNOSTICS": "0"})
    assert child.returncode == 0, child.stderr
    summary = json.loads(child.stdout.splitlines()[-1])
    assert summary["calls_before_the_failure"] > 0
    # No internal error was reported on the way.
    assert "internal error" not in child.stderr
