"""The class registry and make_class: how stored fields become instances."""

from __future__ import annotations

import dataclasses
import threading
import warnings
from dataclasses import InitVar, dataclass, field
from typing import Any, ClassVar

import pytest

import korvane
from korvane import _reconstruct, migrations
from korvane._reconstruct import ExtraStateWarning, make_class, register, unregister


@pytest.fixture(autouse=True)
def isolated_registries():
    with _reconstruct._isolated(), migrations._isolated():
        yield


def stored(obj: Any) -> tuple[list[str], dict[str, Any]]:
    """What the encoder keeps of an instance: every key of __dataclass_fields__."""
    names = list(type(obj).__dataclass_fields__)
    return names, {n: getattr(obj, n) for n in names}


def rebuild(obj: Any, name: str | None = None) -> Any:
    names, values = stored(obj)
    return make_class(name or type(obj).__name__, names)(**values)


# -- registry ------------------------------------------------------------------


@dataclass
class Point:
    x: int
    y: int = 0


def register_plain(cls):
    return register(cls), cls.__name__


def register_called(cls):
    return register()(cls), cls.__name__


def register_named_decorator(cls):
    return register(name="Other")(cls), "Other"


def register_named_call(cls):
    return register(cls, name="Other"), "Other"


@pytest.mark.parametrize(
    "how",
    [register_plain, register_called, register_named_decorator, register_named_call],
)
def test_register_forms(how):
    returned, name = how(Point)
    assert returned is Point
    assert make_class(name, ["x", "y"]) is Point
    assert korvane.register is register


def test_reregistering_same_class_is_fine_and_other_class_is_rejected():
    register(Point)
    assert register(Point) is Point

    @dataclass
    class Point2:
        x: int

    Point2.__name__ = "Point"
    with pytest.raises(ValueError, match="'Point' is already registered to .*Point"):
        register(Point2)
    assert make_class("Point", ["x", "y"]) is Point
    register(Point2, name="Point2")  # another name is free


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        ((int,), {}, TypeError, "expects a dataclass class"),
        ((Point(1),), {}, TypeError, "not a Point instance"),
        (("Point",), {}, TypeError, "register\\(cls, name=...\\)"),
        ((Point,), {"name": "a.b"}, ValueError, "'a.b' is not a valid"),
        ((Point,), {"name": "class"}, ValueError, "'class' is not a valid"),
        ((Point,), {"name": ""}, ValueError, "not a valid"),
        ((Point,), {"name": 3}, TypeError, "must be a str"),
    ],
)
def test_register_rejects(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        register(*args, **kwargs)


def test_register_replaces_synthesized_class_and_unregister_restores_it():
    synth = make_class("Point", ["x", "y"])
    assert synth is not Point
    register(Point)
    assert make_class("Point", ["x", "y"]) is Point
    assert unregister("Point") is Point
    assert unregister("Point") is None
    again = make_class("Point", ["x", "y"])
    assert again is not Point and dataclasses.is_dataclass(again)


def test_isolated_restores_previous_registry():
    register(Point)
    with _reconstruct._isolated():
        assert make_class("Point", ["x", "y"]) is not Point
    assert make_class("Point", ["x", "y"]) is Point


def test_concurrent_registration_admits_one_class_per_name():
    classes = [dataclasses.make_dataclass("Race", ["a"]) for _ in range(8)]
    for i, cls in enumerate(classes):
        cls.__qualname__ = f"Race{i}"  # distinct classes, not re-runs of one
    errors: list[Exception] = []
    barrier = threading.Barrier(len(classes))

    def worker(cls):
        barrier.wait()
        try:
            register(cls)
        except ValueError as exc:
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(c,)) for c in classes]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(errors) == len(classes) - 1
    assert make_class("Race", ["a"]) in classes


# -- make_class on registered classes -----------------------------------------


@dataclass
class Plain:
    a: int
    b: str


@dataclass(frozen=True)
class Frozen:
    a: int
    b: tuple = ()


@dataclass(slots=True)
class Slotted:
    a: int
    b: list = field(default_factory=list)


@dataclass(frozen=True, slots=True)
class FrozenSlotted:
    a: int
    b: float = 1.5


@dataclass
class Defaults:
    a: int = 1
    b: list = field(default_factory=lambda: [1, 2])
    c: dict = field(default_factory=dict)


@dataclass
class Late:
    a: int
    b: int
    total: int = field(init=False)
    note: str = field(init=False, default="n")

    def __post_init__(self):
        self.total = self.a + self.b


@dataclass(frozen=True, slots=True)
class FrozenLate:
    a: int
    twice: int = field(init=False)

    def __post_init__(self):
        object.__setattr__(self, "twice", 2 * self.a)


@dataclass
class WithClassVar:
    kind: ClassVar[str] = "k"
    __korvane_version__: ClassVar[int] = 3
    a: int = 0


@dataclass
class WithInitVar:
    a: int
    scale: InitVar[int] = 2

    def __post_init__(self, scale):
        self.a *= scale


@dataclass
class WithRequiredInitVar:
    a: int
    seed: InitVar[int]

    def __post_init__(self, seed):
        self.a += seed


@dataclass(init=False)
class OwnInit:
    a: int
    b: int = 5

    def __init__(self, text):
        self.a, self.b = (int(p) for p in text.split(","))


def late_value(obj):
    obj.total = 99  # stored value differs from what __post_init__ computes
    return obj


def frozen_late_value(obj):
    object.__setattr__(obj, "twice", 7)
    return obj


REGISTERED = [
    pytest.param(lambda: Plain(1, "x"), True, id="plain"),
    pytest.param(lambda: Frozen(1, (2, 3)), True, id="frozen"),
    pytest.param(lambda: Slotted(1, [2]), True, id="slots"),
    pytest.param(lambda: FrozenSlotted(4), True, id="frozen-slots"),
    pytest.param(lambda: Defaults(), True, id="defaults"),
    pytest.param(lambda: Defaults(2, [3], {"k": 4}), True, id="default-factory"),
    pytest.param(lambda: late_value(Late(1, 2)), False, id="init-false"),
    pytest.param(
        lambda: frozen_late_value(FrozenLate(3)), False, id="frozen-init-false"
    ),
    pytest.param(lambda: WithClassVar(5), False, id="classvar"),
    pytest.param(lambda: WithInitVar(3), False, id="initvar"),
    pytest.param(lambda: OwnInit("1,2"), False, id="own-init"),
]


@pytest.mark.parametrize("build, exact", REGISTERED)
def test_registered_class_rebuilds_equal_instance(build, exact):
    obj = build()
    register(type(obj))
    names, _ = stored(obj)
    made = make_class(type(obj).__name__, names)
    assert (made is type(obj)) is exact
    assert make_class(type(obj).__name__, list(names)) is made  # cached
    copy = rebuild(obj)
    assert type(copy) is type(obj)
    assert copy == obj
    for f in dataclasses.fields(obj):
        assert getattr(copy, f.name) == getattr(obj, f.name)
    assert not hasattr(copy, "__korvane_extra__")


def test_initvar_post_init_is_not_run_twice():
    obj = WithInitVar(3, scale=10)
    register(WithInitVar)
    assert rebuild(obj).a == 30


def test_required_initvar_class_is_restored_without_init():
    register(WithRequiredInitVar)
    copy = make_class("WithRequiredInitVar", ["a", "seed"])(a=7, seed=100)
    assert type(copy) is WithRequiredInitVar and copy.a == 7


def test_stored_subset_fills_defaults():
    register(Defaults)
    copy = make_class("Defaults", ["b"])(b=[9])
    assert copy == Defaults(1, [9], {})
    assert copy.c is not make_class("Defaults", ["b"])(b=[9]).c


@pytest.mark.parametrize(
    "cls, names, values",
    [
        (Plain, ["a", "b", "old"], {"a": 1, "b": "x", "old": [1]}),
        (Frozen, ["a", "gone"], {"a": 1, "gone": None}),
        (
            Late,
            ["a", "b", "total", "note", "old"],
            {"a": 1, "b": 2, "total": 3, "note": "n", "old": 4},
        ),
        (WithClassVar, ["a", "kind", "zz"], {"a": 1, "kind": "k", "zz": 2}),
        (WithInitVar, ["a", "scale", "legacy"], {"a": 1, "scale": 2, "legacy": 3}),
    ],
)
def test_unknown_stored_fields_are_kept_as_extra_state(cls, names, values):
    register(cls)
    construct = make_class(cls.__name__, names)
    given = dict(values)
    copy = construct(**given)
    assert given == values  # the plan worked on a dict of its own
    with pytest.raises(TypeError, match=r"0 positional arguments but 1 were given"):
        construct(1, **values)
    known = set(cls.__dataclass_fields__)
    expected = {k: v for k, v in values.items() if k not in known}
    assert copy.__korvane_extra__ == expected
    assert copy.__meridel_extra__ is copy.__korvane_extra__
    for f in dataclasses.fields(cls):
        assert getattr(copy, f.name) == values.get(f.name, f.default)


@pytest.mark.parametrize("cls", [Slotted, FrozenSlotted])
def test_slots_class_drops_extra_state_with_warning(cls):
    register(cls)
    with pytest.warns(korvane.ExtraStateWarning, match="'old'"):
        copy = make_class(cls.__name__, ["a", "old"])(a=1, old=2)
    assert type(copy) is cls and copy.a == 1


def test_slots_extra_state_warning_can_refuse_the_load():
    register(Slotted)
    with warnings.catch_warnings(), pytest.raises(ExtraStateWarning):
        warnings.simplefilter("error", ExtraStateWarning)
        make_class("Slotted", ["a", "old"])(a=1, old=2)


def test_constructor_accepts_keywords_other_than_the_stored_ones():
    # After a migration the same constructor gets the migrated keys.
    register(Late)
    construct = make_class("Late", ["a", "b", "total", "note"])
    copy = construct(a=1, b=2, total=8, renamed=5)
    assert (copy.a, copy.b, copy.total, copy.note) == (1, 2, 8, "n")
    assert copy.__korvane_extra__ == {"renamed": 5}


@dataclass
class InternalNames:
    _kv_cls: int
    _kv_absent: int = 0
    __kv_rest: int = field(init=False, default=1)
    tag: ClassVar[str] = "t"


@pytest.mark.parametrize(
    "values",
    [
        {"_kv_cls": 1, "_kv_absent": 2, "_InternalNames__kv_rest": 3, "tag": "t"},
        {"_kv_cls": 1, "_InternalNames__kv_rest": 3},
        {"_kv_absent": 2, "_kv_cls": 1, "tag": "x", "other": 4},
    ],
)
def test_constructor_with_field_names_like_its_own_locals(values):
    register(InternalNames)
    construct = make_class("InternalNames", list(InternalNames.__dataclass_fields__))
    obj = construct(**values)
    assert type(obj) is InternalNames
    assert (obj._kv_cls, obj._kv_absent) == (1, values.get("_kv_absent", 0))
    assert obj._InternalNames__kv_rest == values.get("_InternalNames__kv_rest", 1)
    assert getattr(obj, "__korvane_extra__", {}) == (
        {"other": 4} if "other" in values else {}
    )


@dataclass
class Versioned:
    x: int
    z: int
    __korvane_version__ = 2


@pytest.mark.parametrize("steps", [False, True])
def test_missing_required_field_gives_an_unfinished_stand_in(steps):
    register(Versioned)
    if steps:
        migrations.migration("Versioned", 1, 2)(lambda f: f)
    first = make_class("Versioned", ["x", "y"])(x=1, y=2)
    assert type(first) is _reconstruct.Unfinished
    assert first.__korvane_version__ == 2
    assert first.__dataclass_fields__ is Versioned.__dataclass_fields__
    with pytest.raises(AttributeError, match="'Versioned' was not rebuilt.*'z'"):
        first.x
    with pytest.raises(TypeError, match="'Versioned'.*version 0.*'z'.*version 2"):
        first.refuse(0, 2)


def test_exact_match_returns_a_constructor_once_migrations_exist():
    register(Versioned)
    assert make_class("Versioned", ["x", "z"]) is Versioned
    migrations.migration("Versioned", 1, 2)(lambda f: f)
    construct = make_class("Versioned", ["x", "z"])
    assert construct is not Versioned
    copy = construct(x=1, z=2, y=3)
    assert copy == Versioned(1, 2) and copy.__korvane_extra__ == {"y": 3}


# -- unknown names -------------------------------------------------------------


def test_unknown_name_gives_cached_synthesized_dataclass():
    cls = make_class("Ghost", ["a", "b"])
    assert dataclasses.is_dataclass(cls) and isinstance(cls, type)
    assert cls.__name__ == "Ghost"
    assert [f.name for f in dataclasses.fields(cls)] == ["a", "b"]
    assert make_class("Ghost", ("a", "b")) is cls
    other = make_class("Ghost", ["b", "a"])
    assert other is not cls
    assert [f.name for f in dataclasses.fields(other)] == ["b", "a"]
    obj = cls(a=1, b=[2])
    assert (obj.a, obj.b) == (1, [2])
    assert obj == make_class("Ghost", ["a", "b"])(b=[2], a=1)


def test_cached_constructor_is_not_tied_to_the_callers_list():
    names = ["a", "b"]
    cls = make_class("Ghost2", names)
    names.append("c")  # the caller's list changes after the call
    assert make_class("Ghost2", ["a", "b"]) is cls
    wider = make_class("Ghost2", names)
    assert [f.name for f in dataclasses.fields(wider)] == ["a", "b", "c"]
    assert make_class("Ghost2", ["a", "b"]) is cls


class Names(list):
    """A list subclass: never answered from the cache of recent classes."""


@pytest.mark.parametrize(
    "call",
    [
        lambda: make_class("Ghost3", ["a", "b"]),
        lambda: make_class("Ghost3", ("a", "b")),
        lambda: make_class("Ghost3", Names(["a", "b"])),
        lambda: make_class(name="Ghost3", field_names=["a", "b"]),
        lambda: make_class("Ghost3", field_names=["a", "b"]),
    ],
    ids=["list", "tuple", "list-subclass", "keywords", "mixed"],
)
def test_every_call_shape_gives_the_same_cached_class(call):
    cls = make_class("Ghost3", ["a", "b"])
    assert call() is cls
    assert call() is cls


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((), {}, TypeError),
        (("Ghost4",), {}, TypeError),
        (("Ghost4", ["a"], ["b"]), {}, TypeError),
        (("Ghost4", ["a"]), {"extra": 1}, TypeError),
        ((1, ["a"]), {}, TypeError),
        (("Ghost4", "ab"), {}, TypeError),
        (("Ghost4", ["a", "a"]), {}, ValueError),
        (("not a name", ["a"]), {}, ValueError),
    ],
)
def test_bad_make_class_calls_fail_cleanly(args, kwargs, error):
    make_class("Ghost4", ["a"])  # a cached entry must not answer bad calls
    with pytest.raises(error):
        make_class(*args, **kwargs)


def test_a_failing_field_comparison_passes_its_error_up():
    class Odd(str):
        def __eq__(self, other):
            raise RuntimeError("no comparing")

        __hash__ = str.__hash__

    make_class("Ghost5", ["a"])
    with pytest.raises(RuntimeError, match="no comparing"):
        make_class("Ghost5", [Odd("a")])


def test_registering_replaces_the_cached_answer():
    synthesized = make_class("Point", ["x", "y"])
    assert make_class("Point", ["x", "y"]) is synthesized

    @dataclass
    class Point:
        x: int
        y: int

    register(Point)
    assert make_class("Point", ["x", "y"]) is Point
    unregister("Point")
    again = make_class("Point", ["x", "y"])
    assert again is not Point and dataclasses.is_dataclass(again)


@pytest.mark.parametrize(
    "names", [[], ["self"], ["MISSING", "object"], ["_type_a", "a"], ["__private", "_"]]
)
def test_synthesized_dataclass_takes_awkward_identifiers(names):
    values = {n: i for i, n in enumerate(names)}
    obj = make_class("Rec", names)(**values)
    assert {n: getattr(obj, n) for n in names} == values


def test_synthesized_dataclass_keeps_dunder_names_as_extra_state():
    names = ["a", "__korvane_version__", "__class__", "__init__"]
    construct = make_class("Rec", names)
    obj = construct(a=1, __korvane_version__=3, __class__=4, __init__=5)
    assert [f.name for f in dataclasses.fields(obj)] == ["a"]
    assert obj.__korvane_extra__ == {
        "__korvane_version__": 3,
        "__class__": 4,
        "__init__": 5,
    }
    assert callable(type(obj).__init__)


@pytest.mark.parametrize(
    "name, names, error, match",
    [
        ("1abc", ["a"], ValueError, "class name '1abc' is not a valid"),
        ("a.b", ["a"], ValueError, "class name 'a.b'"),
        ("def", ["a"], ValueError, "class name 'def'"),
        ("", ["a"], ValueError, "class name ''"),
        (b"Rec", ["a"], TypeError, "class name must be a str"),
        ("Rec", ["a b"], ValueError, "field name of 'Rec' 'a b'"),
        ("Rec", ["import"], ValueError, "'import' is not a valid"),
        ("Rec", ["x", "-y"], ValueError, "'-y'"),
        ("Rec", [1], TypeError, "must be a str, not int"),
        ("Rec", "ab", TypeError, "must be a list of str"),
        ("Rec", None, TypeError, "must be a list of str"),
        ("Rec", ["a", "b", "a"], ValueError, "'a' of 'Rec' stored twice"),
        ("Rec", ["\ufb01eld"], ValueError, "not a valid"),  # NFKC folds it to "field"
        ("\u212bngstrom", [], ValueError, "not a valid"),
    ],
)
def test_make_class_rejects_bad_names(name, names, error, match):
    with pytest.raises(error, match=match):
        make_class(name, names)


def test_invalid_field_names_are_rejected_for_registered_classes_too():
    register(Plain)
    with pytest.raises(ValueError, match="'a-b'"):
        make_class("Plain", ["a", "a-b"])
