"""Kernel keyrings with real accounts: a tenant shares no keyring with the
owner of its pool or with another tenant."""

import base64
import subprocess
import sys
import textwrap

from conftest import host_account_test

# What a tenant runs (the system's python3, through ctypes: no keyctl tool is
# needed): `add KEYRING DESCRIPTION PAYLOAD` adds a user key, `find KEYRING
# DESCRIPTION` prints its payload or "none". KEYRING is session, user,
# user-session or persistent (linked into the tool's process keyring, so the
# tool possesses it).
KEYRING_TOOL = textwrap.dedent("""
    import ctypes, errno, platform, sys
    KEYCTL, ADD_KEY = {"x86_64": (250, 248), "aarch64": (219, 217)}[platform.machine()]
    RINGS = {"session": -3, "user": -4, "user-session": -5}
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    op, ring, description = sys.argv[1:4]
    if ring == "persistent":
        RINGS[ring] = libc.syscall(KEYCTL, 22, -1, -2)  # KEYCTL_GET_PERSISTENT into the process keyring
        if RINGS[ring] < 0:
            sys.exit(f"get_persistent: {errno.errorcode[ctypes.get_errno()]}")
    if op == "add":
        payload = sys.argv[4].encode()
        if libc.syscall(ADD_KEY, b"user", description.encode(), payload, len(payload), RINGS[ring]) < 0:
            sys.exit(f"add_key: {errno.errorcode[ctypes.get_errno()]}")
        print("added")
    else:
        key = libc.syscall(KEYCTL, 10, RINGS[ring], b"user", description.encode(), 0)  # KEYCTL_SEARCH
        if key < 0:
            print("none")
        else:
            buffer = ctypes.create_string_buffer(256)
            size = libc.syscall(KEYCTL, 11, ctypes.c_long(key), buffer, 256)  # KEYCTL_READ
            print(buffer.raw[:size].decode())
""")


def keyring_command(*args):
    """A shell command line that runs KEYRING_TOOL with `args`."""
    encoded = base64.b64encode(KEYRING_TOOL.encode()).decode()
    quoted = " ".join(f"'{arg}'" for arg in args)
    return (f"/usr/bin/python3 -c \"import base64; exec(base64.b64decode('{encoded}'))\" {quoted}")


# An owner that runs under a session keyring of its own, as a login does, with
# a secret in it; two tenants on different accounts then try to reach it and
# each other through their session keyrings.
OWNER = f"""
import ctypes, platform, subprocess, sys
sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})
from conftest import round_trip, read_until
from marrowfen import PyUserPool
from test_tenant_keyrings import keyring_command
KEYCTL, ADD_KEY = {{"x86_64": (250, 248), "aarch64": (219, 217)}}[platform.machine()]
libc = ctypes.CDLL(None, use_errno=True)
libc.syscall.restype = ctypes.c_long
assert libc.syscall(KEYCTL, 1, b"marrowfen-test-owner") > 0  # KEYCTL_JOIN_SESSION_KEYRING
assert libc.syscall(ADD_KEY, b"user", b"marrowfen-probe", b"ROOTTOKEN123", 12, -3) > 0

def run(session, line, tag):
    session.write((line + f"; echo {{tag}}:$((40+2))\\n").encode())
    data, _ = read_until(session, f"{{tag}}:42".encode())
    lines = [line.strip() for line in data.decode().splitlines()]
    return lines[lines.index(f"{{tag}}:42") - 1]

pool = PyUserPool(2)
first, second = pool.allocate(), pool.allocate()
one, two = first.spawn(), second.spawn()
print("owner", run(one, {keyring_command('find', 'session', 'marrowfen-probe')!r}, "a"))
run(one, {keyring_command('add', 'session', 'marrowfen-passed', 'FROM-ONE')!r}, "b")
print("other", run(two, {keyring_command('find', 'session', 'marrowfen-passed')!r}, "c"))
"""


@host_account_test(timeout=60)
def test_no_tenant_reaches_the_owners_or_another_tenants_session_keyring():
    done = subprocess.run([sys.executable, "-c", OWNER], capture_output=True, text=True, timeout=45)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["owner none", "other none"], done.stdout


# A login-like owner (with a session keyring of its own) hands one account
# out twice: the first tenant fills the three keyrings that outlive it, the
# second looks for what it left.
NEXT_TENANT = f"""
import ctypes, platform, sys
sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})
from conftest import read_until
from marrowfen import PyUserPool
from test_tenant_keyrings import keyring_command
KEYCTL = {{"x86_64": 250, "aarch64": 219}}[platform.machine()]
libc = ctypes.CDLL(None, use_errno=True)
libc.syscall.restype = ctypes.c_long
assert libc.syscall(KEYCTL, 1, b"marrowfen-test-owner") > 0  # KEYCTL_JOIN_SESSION_KEYRING

def run(session, line, tag):
    session.write((line + f"; echo {{tag}}:$((40+2))\\n").encode())
    data, _ = read_until(session, f"{{tag}}:42".encode())
    lines = [line.strip() for line in data.decode().splitlines()]
    return lines[lines.index(f"{{tag}}:42") - 1]

pool = PyUserPool(1)
first = pool.allocate()
name, shell = first.username(), first.spawn()
for ring in ("user", "user-session", "persistent"):
    print(ring, run(shell, keyring_command("add", ring, "marrowfen-left", "LEFT-IN-" + ring), "a" + ring[:4]))
del first, shell
second = pool.allocate()
assert second.username() == name, (second.username(), name)
shell = second.spawn()
for ring in ("user", "user-session", "persistent"):
    print(ring, run(shell, keyring_command("find", ring, "marrowfen-left"), "f" + ring[:4]))
"""


@host_account_test(timeout=60)
def test_the_next_tenant_finds_nothing_in_the_keyrings_that_outlive_a_tenant():
    done = subprocess.run([sys.executable, "-c", NEXT_TENANT], capture_output=True, text=True, timeout=45)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "user added", "user-session added", "persistent added",
        "user none", "user-session none", "persistent none"], done.stdout
