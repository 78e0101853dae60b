"""PyUserPool and PyUser: real host accounts with fresh homes."""

import fcntl
import os
import pwd
import re
import stat

import pytest

from conftest import ALLOCATION_FAILED, HOME_ROOT, host_account_test, shims_first
from marrowfen import PyTerminalSession, PyUser, PyUserPool


@pytest.mark.parametrize(
    "obj, signature, first_line",
    [
        (PyUserPool, "(user_count=None)", "A class that represents a pool of UNIX users."),
        (PyUser, None, "A class that represents a user account in the pool."),
        (PyTerminalSession, None, "A class that represents a terminal session for a user."),
        (PyUserPool.allocate, "($self)", "Allocate a new user account from the pool."),
        (PyUser.spawn, "($self)", "Spawn a new terminal session for the user."),
        (PyUser.username, "($self)", "Get the username of the user."),
        (PyUser.uid, "($self)", "Get the UID of the user."),
        (PyUser.home, "($self)", "Get the home folder of the user."),
        (PyTerminalSession.close, "($self)", "Close the terminal session."),
        (PyTerminalSession.write, "($self, data)", "Write data to the terminal session."),
        (PyTerminalSession.read, "($self, buffer=None)", "Read data from the terminal session."),
        (PyTerminalSession.read_err, "($self, buffer=None)",
         "Read data from the stderr of the terminal session."),
    ],
    ids=lambda v: getattr(v, "__qualname__", None),
)
def test_text_signatures_and_docstrings(obj, signature, first_line):
    assert obj.__text_signature__ == signature
    assert obj.__doc__.startswith("\n") and obj.__doc__.endswith("\n")
    assert obj.__doc__.split("\n")[1] == first_line


@pytest.mark.parametrize("cls", [PyUser, PyTerminalSession])
def test_users_and_sessions_come_only_from_their_makers(cls):
    with pytest.raises(TypeError) as e:
        cls()
    assert e.value.args == ("No constructor defined",)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((-1,), {}, OverflowError, None),
        ((2**64,), {}, OverflowError, None),
        (("x",), {}, TypeError, "argument 'user_count': 'str' object cannot be interpreted as an integer"),
        ((1.0,), {}, TypeError, "argument 'user_count': 'float' object cannot be interpreted as an integer"),
        ((1, 2), {}, TypeError, "PyUserPool.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"size": 1}, TypeError, "PyUserPool.__new__() got an unexpected keyword argument 'size'"),
        ((1,), {"user_count": 1}, TypeError, "PyUserPool.__new__() got multiple values for argument 'user_count'"),
    ],
)
def test_constructor_refusals(args, kwargs, error, message):
    with pytest.raises(error) as e:
        PyUserPool(*args, **kwargs)
    assert type(e.value) is error
    if message is not None:
        assert e.value.args == (message,)


@pytest.mark.parametrize("make", [lambda: PyUserPool(0), lambda: PyUserPool(user_count=0),
                                  lambda: PyUserPool(False)])
def test_capacity_zero_refuses_without_touching_the_host(make, shims):
    shims.add_recording("id")
    shims.add_recording("useradd")
    pool = make()
    with shims_first(shims):
        for _ in range(2):
            with pytest.raises(ValueError) as e:
                pool.allocate()
            assert type(e.value) is ValueError and e.value.args == (ALLOCATION_FAILED,)
    assert shims.calls("id") == shims.calls("useradd") == []


@pytest.mark.parametrize("make", [PyUserPool, lambda: PyUserPool(None), lambda: PyUserPool(user_count=None)])
@host_account_test()
def test_default_capacity_hands_out_several_accounts(make):
    pool = make()
    a, b = pool.allocate(), pool.allocate()
    assert a.username() != b.username() and a.uid() != b.uid()


@host_account_test()
def test_a_user_describes_its_account():
    user = PyUserPool(1).allocate()
    name, uid, home = user.username(), user.uid(), user.home()
    assert re.fullmatch(r"test_[A-Za-z0-9]{8}", name)
    assert type(uid) is int and uid == pwd.getpwnam(name).pw_uid != 0
    assert home == os.path.join(HOME_ROOT, name) == os.path.realpath(home)
    assert str(user) == f"{{ username: {name}, uid: {uid}, home: {home} }}"
    # The fixed seed: a fresh pool's first account, unless another process
    # on the host holds that one.
    if name != "test_UKUKKUUK":
        assert claimed_elsewhere("test_UKUKKUUK"), name
    else:
        assert str(user) == f"{{ username: test_UKUKKUUK, uid: {uid}, home: {HOME_ROOT}/test_UKUKKUUK }}"


def claimed_elsewhere(name):
    """Whether a pool other than the caller's holds `name`'s claim."""
    try:
        claim = os.open(f"/run/marrowfen-accounts/{name}", os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(claim, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(claim)


@host_account_test()
def test_capacity_one_hands_the_same_account_out_again(shims):
    pool = PyUserPool(1)
    first = pool.allocate()
    seen = (first.username(), first.uid(), first.home())
    with pytest.raises(ValueError) as e:
        pool.allocate()
    assert e.value.args == (ALLOCATION_FAILED,)

    shims.add_recording("id")
    shims.add_recording("useradd")
    with shims_first(shims):
        del first  # the release puts the account back on the free list
        again = pool.allocate()
    assert (again.username(), again.uid(), again.home()) == seen
    assert shims.calls("id") == shims.calls("useradd") == []


@host_account_test()
def test_a_second_pool_adopts_an_account_the_first_is_done_with(shims):
    first = PyUserPool(4)
    mine = first.allocate()  # made by useradd on a machine that never had it
    seen = (mine.username(), mine.uid())
    del mine
    shims.add_recording("id")
    shims.add_recording("useradd")
    with shims_first(shims):
        theirs = PyUserPool(4).allocate()
    assert (theirs.username(), theirs.uid()) == seen
    assert shims.calls("id") == [f"-u {seen[0]}"]
    assert shims.calls("useradd") == []
    # While the second pool holds it, the first passes it by.
    assert first.allocate().username() != seen[0]


@host_account_test()
def test_the_home_is_fresh_empty_and_owned_by_the_account(tmp_path):
    pool = PyUserPool(1)
    saved = os.umask(0o027)
    try:
        user = pool.allocate()
    finally:
        os.umask(saved)
    uid, home = user.uid(), user.home()
    st = os.lstat(home)
    assert stat.S_ISDIR(st.st_mode) and (st.st_uid, st.st_gid) == (uid, uid)
    assert stat.S_IMODE(st.st_mode) == 0o700  # private, whatever the umask
    assert os.listdir(home) == []
    root = os.lstat(HOME_ROOT)
    assert stat.S_ISDIR(root.st_mode) and root.st_uid == os.geteuid() and stat.S_IMODE(root.st_mode) == 0o755

    # A stale tree the last tenant left, links to our files included, is wiped
    # without touching what the links point at.
    outside = tmp_path / "outside"
    (outside / "sub").mkdir(parents=True)
    (outside / "sub" / "keep").write_text("keep")
    os.makedirs(f"{home}/a/b/c")
    for path in (f"{home}/f", f"{home}/a/b/c/g"):
        with open(path, "w") as f:
            f.write("stale")
        os.chown(path, uid, uid)
    os.symlink(outside, f"{home}/a/to_dir")
    os.symlink(outside / "sub" / "keep", f"{home}/to_file")
    os.chmod(f"{home}/a/b", 0)  # unreadable to its owner, not to us
    del user
    again = pool.allocate()
    assert again.home() == home and os.listdir(home) == []
    assert stat.S_IMODE(os.lstat(home).st_mode) == 0o700
    assert (outside / "sub" / "keep").read_text() == "keep"
