import operator

import pytest

from marrowfen import Whence

MEMBERS = [("SEEK_SET", 0), ("SEEK_CUR", 1), ("SEEK_END", 2)]


@pytest.mark.parametrize("name, value", MEMBERS)
def test_members(name, value):
    member = getattr(Whence, name)
    assert type(member) is Whence
    assert member is getattr(Whence, name)
    assert repr(member) == str(member) == f"Whence.{name}"
    assert int(member) == value
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [10, 11, 12][member]


@pytest.mark.parametrize(
    "member, other, equal",
    [
        (Whence.SEEK_CUR, 1, True),
        (Whence.SEEK_CUR, True, True),
        (Whence.SEEK_SET, False, True),
        (Whence.SEEK_CUR, Whence.SEEK_CUR, True),
        (Whence.SEEK_CUR, 2, False),
        (Whence.SEEK_CUR, -1, False),
        (Whence.SEEK_CUR, Whence.SEEK_END, False),
        (Whence.SEEK_CUR, 1.0, False),
        (Whence.SEEK_SET, None, False),
        (Whence.SEEK_SET, "0", False),
        (Whence.SEEK_SET, 2**64, False),
    ],
)
def test_equality(member, other, equal):
    assert (member == other) is equal
    assert (member != other) is (not equal)
    assert (other == member) is equal


@pytest.mark.parametrize("other", [1.0, "1", None, 2**64, object()])
def test_comparison_with_anything_else_is_not_implemented(other):
    assert Whence.SEEK_CUR.__eq__(other) is NotImplemented
    assert Whence.SEEK_CUR.__ne__(other) is NotImplemented


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [Whence.SEEK_END, 2])
def test_ordering_is_refused(op, other):
    assert Whence.SEEK_SET.__lt__(other) is NotImplemented
    with pytest.raises(TypeError):
        op(Whence.SEEK_SET, other)


def test_members_are_unhashable():
    assert Whence.__hash__ is None
    with pytest.raises(TypeError):
        hash(Whence.SEEK_SET)
    with pytest.raises(TypeError):
        _ = {Whence.SEEK_SET}
