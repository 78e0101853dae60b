"""marrowfen_kit.sandbox: the preset of a contained pool, and the pool it makes."""

import dataclasses

import pytest

from conftest import host_account_test
from marrowfen import PyUserPool
from marrowfen_kit.sandbox import Sandbox
from marrowfen_kit.shell import Shell

MiB = 1 << 20


def test_the_preset_and_its_options():
    sandbox = Sandbox()
    assert sandbox.options() == {
        "isolate": True,
        "network": False,
        "max_processes": 256,
        "memory_limit": 1024 * MiB,
        "cpu_limit": 1.0,
        "tmp_size": 256 * MiB,
    }
    # The fields are PyUserPool's keyword-only options, by name.
    assert [f.name for f in dataclasses.fields(Sandbox)] == list(sandbox.options())
    assert Sandbox(network=True, cpu_limit=None).options()["network"] is True
    with pytest.raises(dataclasses.FrozenInstanceError):
        sandbox.network = True  # type: ignore[misc]
    with pytest.raises(TypeError):
        Sandbox(True)  # type: ignore[misc]  # keyword-only, as the pool's options


@host_account_test(timeout=120)
def test_the_pool_it_makes_contains_its_tenants():
    # The pool checks the options as PyUserPool(**options) does.
    with pytest.raises(ValueError, match="^argument 'max_processes': must be at least 1, got 0$"):
        Sandbox(max_processes=0).pool(1)
    pool = Sandbox(memory_limit=512 * MiB, tmp_size=16 * MiB).pool(1)
    assert isinstance(pool, PyUserPool)
    user = pool.allocate()
    with Shell.start(user) as shell:
        assert shell.run("ps -e -o user= | sort -u").output.split() == [user.username()]
        assert shell.run("ls /sys/class/net 2>/dev/null; ip -o link | awk '{print $2}'").output.split()[-1] == "lo:"
        assert shell.run("df -m --output=size /tmp | tail -1").output.strip() == "16"
        assert shell.run("ulimit -u").output.strip() == "256"
