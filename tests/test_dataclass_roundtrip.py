"""Dataclasses through dumps/loads and dump/load: registry, migrations, allowlist.

The ``roundtrip`` fixture (conftest) runs each case through both API pairs.
"""

from __future__ import annotations

import dataclasses
import warnings
from dataclasses import InitVar, dataclass, field
from typing import Any, ClassVar

import pytest

import korvane
from korvane import _reconstruct, migrations


@pytest.fixture(autouse=True)
def isolated_registries():
    with _reconstruct._isolated(), migrations._isolated():
        yield


@pytest.fixture
def calls(monkeypatch):
    """Record every make_class and apply_migrations call the decoder makes."""
    log: list[tuple[str, tuple]] = []
    for module, attr in (
        (_reconstruct, "make_class"),
        (migrations, "apply_migrations"),
    ):
        real = getattr(module, attr)

        def spy(*args, _real=real, _attr=attr):
            log.append((_attr, args))
            return _real(*args)

        monkeypatch.setattr(module, attr, spy)
    return log


@dataclass
class Plain:
    a: int
    b: str
    c: list


@dataclass(frozen=True)
class Frozen:
    a: int
    b: tuple = (1, 2)


@dataclass(slots=True)
class Slotted:
    a: int
    b: dict = field(default_factory=dict)


@dataclass(frozen=True, slots=True)
class FrozenSlotted:
    a: float
    b: bytes = b""


@dataclass
class Defaults:
    a: int = 1
    b: list = field(default_factory=lambda: ["x"])


@dataclass
class Late:
    a: int
    total: int = field(init=False)
    seen: list = field(init=False, default_factory=list)

    def __post_init__(self):
        self.total = self.a * 10


@dataclass
class Kinds:
    label: ClassVar[str] = "kinds"
    a: int = 0
    factor: InitVar[int] = 3

    def __post_init__(self, factor):
        self.a *= factor


def late():
    obj = Late(1)
    obj.total = 5  # differs from what __post_init__ would compute
    obj.seen.append("loaded")
    return obj


CASES = [
    pytest.param(lambda: Plain(1, "two", [3.0, None]), id="plain"),
    pytest.param(lambda: Frozen(1, ("a", frozenset({2}))), id="frozen"),
    pytest.param(lambda: Slotted(1, {"k": {1, 2}}), id="slots"),
    pytest.param(lambda: FrozenSlotted(0.5, b"\x00"), id="frozen-slots"),
    pytest.param(lambda: Defaults(), id="defaults"),
    pytest.param(lambda: Defaults(2, []), id="default-factory"),
    pytest.param(late, id="init-false"),
    pytest.param(lambda: Kinds(2), id="classvar-initvar"),
]


@pytest.mark.parametrize("build", CASES)
def test_registered_dataclass_roundtrips_to_equal_instance(roundtrip, build):
    obj = build()
    korvane.register(type(obj))
    copy = roundtrip(obj)
    assert type(copy) is type(obj)
    assert copy == obj
    for f in dataclasses.fields(obj):
        assert getattr(copy, f.name) == getattr(obj, f.name)


def test_nested_and_shared_instances(roundtrip):
    korvane.register(Frozen)
    korvane.register(Plain)
    inner = Frozen(7)
    obj = Plain(1, "s", [inner, inner, {"k": inner}])
    copy = roundtrip([obj, obj])
    assert copy == [obj, obj]
    assert copy[0] is copy[1]
    items = copy[0].c
    assert items[0] is items[1] is items[2]["k"]


def _write_point_v1(x: int, y: int) -> bytes:
    # The class that wrote old documents: same bare name, older fields.
    @dataclass
    class Point:
        x: int
        y: int
        __korvane_version__ = 1

    return korvane.dumps([Point(x, y)])


@dataclass
class Point:
    x: int
    z: int
    __korvane_version__ = 2


def test_renamed_field_is_migrated(roundtrip, calls):
    korvane.register(Point)

    @korvane.migration("Point", 1, 2)
    def rename(fields):
        fields["z"] = fields.pop("y")
        return fields

    [copy] = korvane.loads(_write_point_v1(3, 4))
    assert copy == Point(3, 4)
    assert not hasattr(copy, "__korvane_extra__")
    migrated = [args for what, args in calls if what == "apply_migrations"]
    assert migrated == [
        (
            "Point",
            {"x": 3, "y": 4, "__korvane_version__": 1, "__meridel_version__": 1},
            1,
            2,
        )
    ]
    # A current document loads without any migration.
    calls.clear()
    assert roundtrip(Point(5, 6)) == Point(5, 6)
    assert [what for what, _ in calls] == ["make_class"]


@dataclass(frozen=True)
class FrozenPoint:
    x: int
    z: int
    __meridel_version__ = 2  # the legacy attribute alone also declares a version


@dataclass(slots=True)
class SlottedPoint:
    x: int
    z: int
    __korvane_version__ = 2


@pytest.mark.parametrize("cls", [Point, FrozenPoint])
def test_migration_keeps_unknown_keys_as_extra_state(cls):
    korvane.register(cls, name="Point")

    @korvane.migration("Point", 1, 2)
    def rename(fields):
        fields["z"] = fields["y"]  # keeps the old key as well
        return fields

    [copy] = korvane.loads(_write_point_v1(3, 4))
    assert copy == cls(3, 4)
    assert copy.__korvane_extra__ == {"y": 4}
    assert copy.__meridel_extra__ is copy.__korvane_extra__


@pytest.mark.parametrize("keep_old", [False, True])
def test_migrating_slots_class_warns_only_about_leftovers(keep_old):
    korvane.register(SlottedPoint, name="Point")

    @korvane.migration("Point", 1, 2)
    def rename(fields):
        fields["z"] = fields["y"] if keep_old else fields.pop("y")
        return fields

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        [copy] = korvane.loads(_write_point_v1(3, 4))
    assert copy == SlottedPoint(3, 4)
    messages = [str(w.message) for w in caught]
    assert messages == (
        [
            "'Point' instances have no __dict__ for extra state; dropped the stored "
            "value(s) of 'y'"
        ]
        if keep_old
        else []
    )
    assert all(w.filename == __file__ for w in caught)


def test_newer_document_is_migrated_down():
    blob = korvane.dumps(Point(1, 2))

    @korvane.register(name="Point")
    @dataclass
    class OldPoint:
        x: int
        y: int
        __korvane_version__ = 1

    @korvane.migration("Point", 2, 1)
    def back(fields):
        fields["y"] = fields.pop("z")
        return fields

    copy = korvane.loads(blob)
    assert type(copy) is OldPoint and (copy.x, copy.y) == (1, 2)


@pytest.mark.parametrize(
    "steps, error, match",
    [
        ([], ValueError, "from version 1 to version 2 \\(registered steps: none\\)"),
        (
            [(2, 3)],
            ValueError,
            "no migration path for 'Point' from version 1 to "
            "version 2 \\(registered steps: 2->3\\)",
        ),
        ([(1, 2)], ValueError, "left no value for required field\\(s\\) 'z'"),
    ],
)
def test_failed_migration_fails_the_load(steps, error, match):
    korvane.register(Point)
    for start, end in steps:
        korvane.migration("Point", start, end)(lambda fields: fields)
    with pytest.raises(error, match=match):
        korvane.loads(_write_point_v1(3, 4))


def test_unregistered_class_loads_as_synthesized_record(roundtrip):
    @dataclass
    class Ghost:
        kind: ClassVar[str] = "ghost"
        a: int
        b: Any = None

    obj = Ghost(1, [Ghost(2)])
    copy = roundtrip(obj)
    assert type(copy) is not Ghost
    assert dataclasses.is_dataclass(copy) and type(copy).__name__ == "Ghost"
    fields = [f.name for f in dataclasses.fields(copy)]
    assert fields == ["kind", "a", "b"]
    assert (copy.kind, copy.a, copy.b[0].a, copy.b[0].b) == ("ghost", 1, 2, None)
    assert type(copy.b[0]) is type(copy)
    # Written back, the record gives the same bytes as the original.
    assert korvane.dumps(copy) == korvane.dumps(obj)


def test_empty_allowlist_refuses_before_make_class(roundtrip, calls):
    korvane.register(Plain)
    with pytest.raises(TypeError) as info:
        roundtrip([1, Plain(1, "b", [])], allowlist=set())
    assert str(info.value) == "Type 'Plain' is not in the allowlist"
    assert calls == []


@pytest.mark.parametrize("allowlist", [{"Plain"}, {"Plain", "Other"}])
def test_allowlist_with_the_name_loads(roundtrip, calls, allowlist):
    korvane.register(Plain)
    obj = Plain(1, "b", [])
    assert roundtrip(obj, allowlist=allowlist) == obj
    assert calls == [("make_class", ("Plain", ["a", "b", "c"]))]


def test_allowlist_is_checked_for_every_class_in_the_document(roundtrip):
    korvane.register(Plain)
    korvane.register(Frozen)
    obj = Plain(1, "b", [Frozen(2)])
    with pytest.raises(TypeError, match="^Type 'Frozen' is not in the allowlist$"):
        roundtrip(obj, allowlist={"Plain"})
