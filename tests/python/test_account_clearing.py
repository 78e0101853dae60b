"""Clearing an account between tenants, with real accounts: one whose
clearing does not finish is put aside and never handed out until it is
clear; POSIX queues go where /dev/mqueue is not mounted; a tenant's entries
in another tenant's opened home go with its release; no account keeps a
subordinate id range."""

import ctypes
import os
import re
import shutil
import subprocess

import pytest

from conftest import ALLOCATION_FAILED, read_until, redirected_fd
from marrowfen import PyUserPool

pytestmark = [pytest.mark.timeout(120)]


def answer(session, command, tag="A"):
    """Runs `command` in the session and returns what it printed (stripped).
    The terminal echoes the typed line, so the answer is framed by markers
    that the echo does not contain."""
    session.write(f"printf '%s{tag}:%s:end\\n' MF \"$({command} 2>&1)\"\n".encode())
    data, _ = read_until(session, b":end\r\n")
    return re.search(rf"MF{tag}:(.*?):end\r\n".encode(), data, re.S).group(1).decode().strip()


@pytest.fixture
def immutable_leftovers():
    """Paths made immutable (chattr +i) for a test: mutable again and gone
    afterwards, whatever happens."""
    if shutil.which("chattr") is None:
        pytest.skip("needs chattr to make a leftover that cannot be removed")
    paths = []
    yield paths
    for path in paths:
        subprocess.run(["chattr", "-i", path], capture_output=True, timeout=30)
        if os.path.lexists(path):
            os.unlink(path)


def leave_unremovable(uid, path):
    """A leftover of `uid` that no sweep can remove (until chattr -i)."""
    with open(path, "w") as f:
        f.write("SECRET-STUCK")
    os.chown(path, uid, uid)
    os.chmod(path, 0o600)
    made = subprocess.run(["chattr", "+i", path], capture_output=True, text=True, timeout=30)
    if made.returncode != 0:
        os.unlink(path)
        pytest.skip(f"cannot make a file immutable here: {made.stderr.strip()}")


# Until the account is clear, no tenant gets it: the pool hands out another,
# then refuses with the written message after naming the account; once the
# leftover can go, the next hand-out clears it and the account comes back.
@pytest.mark.usefixtures("account_lock")
def test_an_account_whose_clearing_did_not_finish_is_put_aside(immutable_leftovers):
    pool = PyUserPool(2)
    first = pool.allocate()
    name, uid = first.username(), first.uid()
    stuck = f"/tmp/mf-stuck-{os.getpid()}"
    immutable_leftovers.append(stuck)
    leave_unremovable(uid, stuck)
    with redirected_fd(2) as err:
        del first
    assert f"⚠️ Put the user account aside until it is clear: {name}\n" in err()

    other = pool.allocate()
    assert other.username() != name
    with redirected_fd(2) as err:
        with pytest.raises(ValueError) as refused:
            pool.allocate()
    assert refused.value.args == (ALLOCATION_FAILED,)
    assert err().endswith(f"⚠️ Every user account left is put aside until it is clear: {name}\n"), err()

    subprocess.run(["chattr", "-i", stuck], check=True, timeout=30)
    del other
    again = pool.allocate()
    assert again.username() == name
    assert not os.path.lexists(stuck)


@pytest.fixture
def queue_names():
    """POSIX queue names for a test, unlinked afterwards."""
    names = []
    yield names
    libc = ctypes.CDLL(None, use_errno=True)
    for name in names:
        libc.mq_unlink(name.encode())


QUEUE_TOOL = ("/usr/bin/python3 -c \"import ctypes,os,sys; l=ctypes.CDLL(None,use_errno=True); "
              "l.mq_open.argtypes=[ctypes.c_char_p,ctypes.c_int,ctypes.c_int,ctypes.c_void_p]; "
              "q=l.mq_open(sys.argv[1].encode(),{flags},0o600,None); b=ctypes.create_string_buffer(8192); "
              "print('none' if q<0 else ({action}))\" {name}")


@pytest.mark.usefixtures("account_lock")
def test_a_queue_goes_where_dev_mqueue_is_not_mounted(queue_names):
    if os.path.ismount("/dev/mqueue"):
        pytest.skip("/dev/mqueue is mounted here (test_tenant_isolation covers that case)")
    name = f"/mf-left-queue-{os.getpid()}"
    queue_names.append(name)
    pool = PyUserPool(1)
    user = pool.allocate()
    account = user.username()
    create = QUEUE_TOOL.format(name=name, flags=os.O_CREAT | os.O_RDWR,
                               action="'sent' if l.mq_send(q,b'SECRET1',7,0)==0 else 'unsent'")
    assert answer(user.spawn(), create) == "sent"
    del user
    nextone = pool.allocate()
    assert nextone.username() == account
    read = QUEUE_TOOL.format(name=name, flags=os.O_RDONLY | os.O_NONBLOCK,
                             action="b.raw[:max(0,l.mq_receive(q,b,8192,None))].decode() or 'empty'")
    assert answer(nextone.spawn(), read) == "none"


@pytest.mark.usefixtures("account_lock")
def test_entries_in_another_tenants_opened_home_go_with_the_writer():
    pool = PyUserPool(2)
    host, writer = pool.allocate(), pool.allocate()
    host_shell = host.spawn()
    assert answer(host_shell, "chmod 777 ~ && echo opened") == "opened"
    planted = os.path.join(host.home(), "from-the-writer")
    assert answer(writer.spawn(), f"echo SECRET > {planted} && echo written") == "written"
    assert os.stat(planted).st_uid == writer.uid()
    del writer
    assert not os.path.lexists(planted)
    assert answer(host_shell, "ls -A ~ | wc -l") == "0"


def subordinate_ranges(name, uid):
    """The lines of /etc/subuid and /etc/subgid that give the account a range."""
    found = []
    for path in ("/etc/subuid", "/etc/subgid"):
        if os.path.exists(path):
            with open(path) as f:
                found += [f"{path}:{line}" for line in f.read().splitlines()
                          if line.split(":")[0] in (name, str(uid))]
    return found


@pytest.fixture(scope="module")
def uidmap_tools():
    """newuidmap and newgidmap, installed for the test where they can be."""
    if os.geteuid() != 0:
        pytest.skip("needs root to install the uidmap tools and give out ranges")
    if shutil.which("newuidmap") is None:
        try:
            subprocess.run(["apt-get", "install", "-y", "-q", "uidmap"], capture_output=True, timeout=300)
        except (OSError, subprocess.TimeoutExpired) as e:
            pytest.skip(f"cannot install the uidmap tools: {e}")
    if shutil.which("newuidmap") is None or shutil.which("usermod") is None:
        pytest.skip("the uidmap tools (newuidmap) or usermod are not available on this host")


# An adopted account loses the range that useradd (or anyone) gave it, so no
# tenant can own files or run processes under ids that are not the account's.
@pytest.mark.usefixtures("account_lock", "uidmap_tools")
def test_an_adopted_account_keeps_no_subordinate_ids():
    first = PyUserPool(1).allocate()
    name, uid = first.username(), first.uid()
    del first
    given = "400000-465535"
    subprocess.run(["usermod", "--add-subuids", given, "--add-subgids", given, name], check=True, timeout=30)
    try:
        adopted = PyUserPool(1).allocate()
        if adopted.username() != name:
            pytest.skip("another process took the account in the meantime")
        assert subordinate_ranges(name, uid) == []
        mapped = answer(adopted.spawn(), "unshare --map-auto --map-root-user id -u || echo refused")
        assert mapped.endswith("refused"), mapped
    finally:
        subprocess.run(["usermod", "--del-subuids", given, "--del-subgids", given, name], capture_output=True,
                       timeout=30)
