"""Loading classes: versions, migrations, registration and records."""

from __future__ import annotations

import dataclasses
import re

import pytest
from conftest import DATACLASS, STR, document

import korvane
from korvane import _reconstruct, migrations
from korvane import document as kdoc


@pytest.fixture(autouse=True)
def isolated_registries():
    with _reconstruct._isolated(), migrations._isolated():
        yield


@dataclasses.dataclass
class User:
    name: str
    mail: str
    __korvane_version__ = 2


def user_document(stored: int, field: str) -> bytes:
    """One User entry as an older (or newer) writer stored it."""
    strings = ["User", "bob", "b@x", "name", field]
    objects = [DATACLASS(0, 1, 2), STR(1), STR(2)]
    return document(objects, strings, [(0, stored, [3, 4])])


@pytest.mark.parametrize("stored", [0, 2, 1, 3])
@pytest.mark.parametrize("steps", [False, True])
@pytest.mark.parametrize("field", ["mail", "email"])
def test_every_version_and_shape_loads_whole_or_fails_clearly(stored, steps, field):
    korvane.register(User)
    if steps:
        for start in (1, 3):

            @korvane.migration("User", start, 2)
            def rename(fields):
                if "email" in fields:
                    fields["mail"] = fields.pop("email")
                return fields

    blob = user_document(stored, field)
    if stored in (1, 3) and not steps:
        with pytest.raises(ValueError, match=f"'User' from version {stored} to "):
            korvane.loads(blob)
    elif stored in (0, 2) and field == "email":
        message = (
            f"cannot rebuild 'User': the stored data (schema version {stored}) "
            "has no value for required field(s) 'mail' of the class (schema version 2)"
        )
        with pytest.raises(TypeError, match=re.escape(message)):
            korvane.loads(blob)
    else:
        user = korvane.loads(blob)
        assert type(user) is User and repr(user) == "User(name='bob', mail='b@x')"


@dataclasses.dataclass
class Node:
    value: int
    prev: object = None
    next: object = None


def test_a_doubly_linked_list_is_refused_before_any_class_is_called(
    make_class_calls,
):
    a, b = Node(1), Node(2)
    a.next, b.prev = b, a
    blob = korvane.dumps({"head": [a]})
    message = "Invalid data: a cycle made only of dataclasses passes through object "
    with pytest.raises(ValueError, match=message + "3$"):
        korvane.loads(blob)
    assert make_class_calls == []
    with pytest.raises(kdoc.CheckError, match=message + "3$"):
        kdoc.check(blob)
