"""Adapters: types beyond the built-ins, written as records or stand-ins."""

import builtins
import dataclasses
import datetime as dt
import enum
import gc
import math
import pathlib
import sys
import uuid
import zoneinfo
from decimal import Decimal
from fractions import Fraction

import oracle
import pytest
from conftest import is_hashable

import korvane
import korvane.types
from korvane import _adapters, _reconstruct, adapt, dumps, loads, unadapt


class Color(enum.Enum):
    RED = 1
    GREEN = (2, "g")
    CRIMSON = 1  # an alias of RED


class Perm(enum.Flag):
    R = 1
    W = 2


UTC5 = dt.timezone(dt.timedelta(hours=5, microseconds=7), "Far")
BERLIN = zoneinfo.ZoneInfo("Europe/Berlin")

# One row per value type: its boundaries and the cases whose sign, fold,
# zone or class a careless adapter would lose (compared by repr).
VALUES = [
    dt.datetime(2024, 10, 27, 2, 30, 0, 999999, tzinfo=BERLIN, fold=1),
    dt.datetime(1, 1, 1),
    dt.datetime.max.replace(tzinfo=UTC5),
    dt.datetime(2000, 2, 29, tzinfo=dt.timezone.utc),
    dt.date(9999, 12, 31),
    dt.time(23, 59, 59, 1, tzinfo=dt.timezone(-dt.timedelta(hours=23)), fold=1),
    dt.timedelta(days=-999999999),
    dt.timedelta(microseconds=-1),
    Decimal("-0"),
    Decimal("-NaN123"),
    Decimal("sNaN"),
    Decimal("-Infinity"),
    Decimal("1.500E-1000000"),
    Decimal("3.14159265358979323846264338327950288419716939937510"),
    uuid.UUID(int=0),
    uuid.UUID("12345678-1234-5678-1234-567812345678"),
    Fraction(-(2**80), 3),
    Fraction(0),
    complex(-0.0, -0.0),
    complex(math.inf, math.nan),
    2**63,
    -(2**63) - 1,
    -(2**1000),
    pathlib.PurePosixPath("//srv/a b"),
    pathlib.PureWindowsPath("C:\\Users\\x"),
    pathlib.Path("rel/p"),
    Color.GREEN,
    Color.CRIMSON,
    Perm.R | Perm.W,
    Perm(0),
]
ENUM_NAMES = {"Color", "Perm"}


@pytest.fixture(autouse=True)
def standard():
    with _adapters._isolated(), _reconstruct._isolated():
        korvane.types.register_standard()
        korvane.types.enum(Color)
        korvane.types.enum(Perm)
        yield


def same(a, b):
    return type(a) is type(b) and repr(a) == repr(b)


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_values_round_trip_exactly_alone_in_containers_and_shared(value, roundtrip):
    allow = set(korvane.types.NAMES) | ENUM_NAMES
    out = roundtrip([value, value, (value,), {"k": value}], allowlist=allow)
    assert same(out[0], value) and same(out[2][0], value) and same(out[3]["k"], value)
    assert out[0] is out[1] is out[2][0]  # one entry, then references
    if is_hashable(value):
        keyed = roundtrip({value: 1, "s": {value}, "f": frozenset([value])})
        key = next(iter(keyed))
        assert same(key, value) and keyed[key] == 1
        assert same(next(iter(keyed["s"])), value) and same(
            next(iter(keyed["f"])), value
        )


def test_a_record_is_written_as_the_dataclass_entry_of_its_fields():
    Twin = dataclasses.make_dataclass("Decimal", ["value"])
    assert dumps(Decimal("1.5")) == dumps(Twin("1.5")) == oracle.encode(Twin("1.5"))
    assert dumps(2**64) == dumps(
        dataclasses.make_dataclass("BigInt", ["hex"])(hex(2**64))
    )


@pytest.mark.parametrize(
    "plain",
    [[2**63 - 1, -(2**63), 1.5, "x", b"y", None, (), {1: {2}}], {"a": [[]] * 2}],
)
def test_documents_without_adapted_values_keep_their_bytes(plain):
    assert dumps(plain) == oracle.encode(plain)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (Decimal("1.5"), TypeError, "Unsupported type: Decimal"),
        ([dt.date.today()], TypeError, "Unsupported type: date"),
        (2**64, OverflowError, "int too big to convert"),
    ],
)
def test_without_adapters_the_old_errors_stand(value, error, message):
    with _adapters._isolated():
        with pytest.raises(error, match=f"^{message}$"):
            dumps(value)


def test_a_reader_without_the_adapter_gets_the_stored_fields():
    data = dumps([dt.date(2020, 1, 2), Decimal("-0")])
    with _adapters._isolated():
        day, number = loads(data)
    assert (day.year, day.month, day.day, number.value) == (2020, 1, 2, "-0")


def test_the_allowlist_gates_adapter_names():
    data = dumps({"at": dt.date(2020, 1, 2)})
    assert loads(data, allowlist={"date"}) == {"at": dt.date(2020, 1, 2)}
    with pytest.raises(TypeError, match="^Type 'date' is not in the allowlist$"):
        loads(data, allowlist={"datetime"})


@dataclasses.dataclass
class Point:
    x: int


class Thing:
    def __init__(self, v=0):
        self.v = v


def test_names_are_unique_among_classes_and_adapters():
    korvane.register(Point)
    with pytest.raises(ValueError, match="'Point' is already registered to the class"):
        adapt(Thing, vars, Thing, name="Point")
    with pytest.raises(ValueError, match="'Decimal' is already used by the adapter of"):
        adapt(Thing, vars, Thing, name="Decimal")
    Decimal2 = dataclasses.make_dataclass("Decimal", ["value"])
    with pytest.raises(ValueError, match="'Decimal' is already used by the adapter"):
        korvane.register(Decimal2)
    first = adapt(Thing, vars, Thing)
    assert adapt(Thing, vars, Thing, name="Thing2").name == "Thing2"  # replaces
    assert unadapt(Thing).name == "Thing2" and unadapt(Thing) is None
    assert (
        first.name == "Thing" and korvane.register(Decimal2, name="Thing") is Decimal2
    )


def test_unadapt_drops_cached_constructors():
    adapt(Thing, vars, Thing)
    data = dumps([Thing(1)] * 2 + [Thing(2)])
    assert [t.v for t in loads(data)] == [1, 1, 2]  # the compiled front now knows it
    unadapt(Thing)
    assert [type(t).__name__ for t in loads(data)] == ["Thing"] * 3
    assert not isinstance(loads(data)[0], Thing)


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        ((Thing(), vars), {}, TypeError, "expects a class"),
        ((Thing, 3), {}, TypeError, "encode must be callable"),
        ((Thing, vars, 3), {}, TypeError, "decode must be callable"),
        ((Thing, vars), {"name": "T"}, TypeError, "only used with decode"),
        ((Thing, vars, Thing), {"name": "a-b"}, ValueError, "not a valid Python"),
        ((str, str), {}, ValueError, "writes 'str' values by itself"),
        ((type("list", (), {}), vars), {}, ValueError, "writes 'list' values"),
        ((int, hex), {"subclasses": True}, ValueError, "cannot apply to subclasses"),
        ((Point, vars, Point), {}, TypeError, "is a dataclass"),
    ],
)
def test_adapt_rejects(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        adapt(*args, **kwargs)


def raise_(exc):
    raise exc


@pytest.mark.parametrize(
    "encode, decode, match",
    [
        (
            lambda t: raise_(ValueError("boom")),
            Thing,
            "its adapter raised ValueError: boom",
        ),
        (lambda t: [t.v], Thing, "must return a dict of field values, not list"),
        (lambda t: {1: 2}, Thing, "returned a field name that is not a str"),
        (lambda t: {"a b": 1}, Thing, "field name 'a b', which is not a valid"),
        (lambda t: {"class": 1}, Thing, "field name 'class'"),
        (lambda t: {f"f{t.v}": 1}, Thing, "other fields than an earlier 'Thing'"),
        (
            lambda t: {"v": object()},
            Thing,
            r"returned cannot be encoded \(Unsupported ",
        ),
        (lambda t: t, None, "returned the object itself"),
        (lambda t: Thing(), None, "returned another Thing"),
        (lambda t: [object()], None, r"cannot be encoded \(Unsupported type: object\)"),
    ],
)
def test_a_failing_adapter_gives_a_type_error_naming_the_type(encode, decode, match):
    adapt(Thing, encode, decode)
    thing = Thing()
    before = sys.getrefcount(thing)
    with pytest.raises(TypeError, match="^cannot encode Thing: .*" + match):
        dumps([Thing(1), thing])
    assert sys.getrefcount(thing) == before


def test_a_record_does_not_share_the_entry_of_a_versioned_dataclass_of_its_name():
    Versioned = dataclasses.make_dataclass("Thing", ["v"])
    Versioned.__korvane_version__ = 2
    adapt(Thing, vars, Thing)
    for values in ([Versioned(1), Thing(1)], [Thing(1), Versioned(1)]):
        with pytest.raises(TypeError, match="another class of that name"):
            dumps(values)


def test_the_cause_of_an_adapter_error_is_kept_and_interrupts_pass_unchanged():
    adapt(Thing, lambda t: raise_(KeyError("k")), Thing)
    with pytest.raises(TypeError) as info:
        dumps(Thing())
    assert isinstance(info.value.__cause__, KeyError)
    adapt(Thing, lambda t: raise_(KeyboardInterrupt()), Thing)
    with pytest.raises(KeyboardInterrupt):
        dumps(Thing())


class Tagged(dict):
    pass


class Level(enum.IntEnum):
    LOW = 1


def test_one_way_adapters_write_a_stand_in_with_the_objects_identity():
    adapt(Tagged, dict)
    adapt(Level, lambda m: m.value)
    inner = Tagged(level=Level.LOW)
    outer = Tagged(a=inner, b=inner)
    outer["self"] = outer
    out = loads(dumps([outer, outer]))
    assert type(out[0]) is dict and out[0] is out[1] and out[0]["self"] is out[0]
    assert out[0]["a"] is out[0]["b"] == {"level": 1}
    # Fresh stand-ins of distinct objects stay distinct (each is held until the end).
    adapt(Thing, lambda t: [t.v])
    out = loads(dumps([Thing(1), Thing(1), Thing(2)]))
    assert out == [[1], [1], [2]] and out[0] is not out[1]


class Base:
    def __init__(self, v=0):
        self.v = v


class Mid(Base):
    pass


class Leaf(Mid):
    pass


def test_subclasses_take_the_nearest_adapted_base():
    adapt(Base, lambda b: {"v": b.v}, Base, subclasses=True)
    assert type(loads(dumps(Leaf(3)))) is Base
    adapt(Mid, lambda b: {"v": b.v}, Mid)  # exact only: Leaf still takes Base's
    assert [type(x) for x in loads(dumps([Mid(), Leaf()]))] == [Mid, Base]
    adapt(Mid, lambda b: {"v": b.v}, Mid, subclasses=True)
    assert type(loads(dumps(Leaf()))) is Mid
    unadapt(Base)
    unadapt(Mid)
    adapt(Base, lambda b: {"v": b.v}, Base)
    with pytest.raises(TypeError, match="^Unsupported type: Leaf$"):
        dumps(Leaf())


def test_paths_keep_their_class_or_the_nearest_standard_one():
    class Mine(pathlib.PurePosixPath):
        pass

    out = loads(dumps([Mine("a/b"), pathlib.PureWindowsPath("c:/d")]))
    assert same(out[0], pathlib.PurePosixPath("a/b"))
    assert same(out[1], pathlib.PureWindowsPath("c:/d"))


def forged(record, **fields):
    return dumps(dataclasses.make_dataclass(record, list(fields))(**fields))


@pytest.mark.parametrize(
    "data, error",
    [
        (forged("BigInt", hex=5), TypeError),
        (forged("BigInt", hex="zz"), ValueError),
        (forged("complex", real="1", imag=0.0), TypeError),
        (forged("ZoneInfo", key="../../etc/passwd"), ValueError),
        (forged("ZoneInfo", key="No/Such_Zone"), zoneinfo.ZoneInfoNotFoundError),
        (forged("Color", name="BLUE"), ValueError),
        (forged("Color", name=["RED"]), ValueError),
        (forged("Decimal", value="1.2.3"), ArithmeticError),
        (forged("datetime", year=2020, month=13, day=1), ValueError),
        (forged("Decimal", value="1", extra=2), TypeError),
        (forged("PosixPath", path=b"/"), TypeError),
    ],
)
def test_forged_records_fail_cleanly(data, error):
    with pytest.raises(error):
        loads(data)


def test_use_registers_only_what_it_is_asked_for():
    with _adapters._isolated():
        names = {a.name for a in korvane.types.use(dt.datetime, Decimal)}
        assert names == {"datetime", "timezone", "ZoneInfo", "timedelta", "Decimal"}
        assert loads(dumps(VALUES[2])) == VALUES[2]
        with pytest.raises(TypeError, match="^Unsupported type: date$"):
            dumps(dt.date.today())
        with pytest.raises(ValueError, match="no ready adapter for .*Color"):
            korvane.types.use(Color)
    with pytest.raises(TypeError, match="expects an Enum class"):
        korvane.types.enum(Thing)


def test_an_adapter_that_removes_itself_mid_walk_is_safe():
    def encode(t):
        unadapt(Thing)
        gc.collect()
        return {"v": t.v}

    adapt(Thing, encode, Thing)
    with pytest.raises(TypeError, match="^Unsupported type: Thing$"):
        dumps([Thing(1), Thing(2)])


# -- is_dataclass answered without its call ------------------------------------


def _is_dataclass_calls(value):
    """The objects the stock is_dataclass was called with during dumps(value)."""
    code, seen = dataclasses.is_dataclass.__code__, []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is code:
            seen.append(frame.f_locals["obj"])

    sys.setprofile(profile)
    try:
        data = dumps(value)
    finally:
        sys.setprofile(None)
    return data, seen


def _spy(monkeypatch, how, calls):
    """Change what is_dataclass would do, one way per row; each spy records."""
    stock = dataclasses.is_dataclass

    def spy(obj):
        calls.append(obj)
        return stock(obj)

    if how == "function":
        monkeypatch.setattr(dataclasses, "is_dataclass", spy)
    elif how == "code":  # same function object, other code, run in its globals
        text = "lambda obj: _korvane_seen.append(obj) or hasattr(type(obj), _FIELDS)"
        monkeypatch.setitem(stock.__globals__, "_korvane_seen", calls)
        monkeypatch.setattr(stock, "__code__", eval(text).__code__)
    elif how in ("hasattr", "isinstance"):
        real = getattr(builtins, how)

        def shadow(*args):
            calls.append(args[0])
            return real(*args)

        monkeypatch.setitem(stock.__globals__, how, shadow)
    elif how == "_FIELDS":  # every class has a __dict__: now all say yes
        monkeypatch.setitem(stock.__globals__, "_FIELDS", "__dict__")


@pytest.fixture
def stamped_adapters():
    adapters = korvane.types.use(dt.datetime, Decimal)
    yield adapters
    for a in adapters:
        unadapt(a.cls)


def test_types_that_cannot_be_dataclasses_skip_the_call(stamped_adapters):
    class Heap:  # a class of the program: its dict may change, so it is asked
        pass

    adapt(Heap, lambda h: {"n": 1}, lambda n: Heap())
    try:
        value = [
            dt.datetime(2024, 1, 2, tzinfo=dt.timezone.utc),
            Decimal("-0.5"),
            Heap(),
        ]
        data, seen = _is_dataclass_calls(value)
        assert [type(o) for o in seen] == [Heap]
        assert repr(loads(data)[:2]) == repr(value[:2])
    finally:
        unadapt(Heap)


@pytest.mark.parametrize(
    "how", ["function", "code", "hasattr", "isinstance", "_FIELDS"]
)
def test_a_changed_is_dataclass_is_called_again(monkeypatch, stamped_adapters, how):
    calls = []
    value = [Decimal("2.5"), dt.datetime(2000, 1, 1)]
    expected = dumps(value)
    _spy(monkeypatch, how, calls)
    if how == "_FIELDS":  # taken for a dataclass, which has no fields mapping
        with pytest.raises(AttributeError, match="__dataclass_fields__"):
            dumps(value)
        return
    assert dumps(value) == expected
    assert calls, f"is_dataclass changed by {how} was not called"


@pytest.mark.parametrize(
    "encode, value, expected",
    [
        (
            korvane.types._date,
            dt.date(2024, 2, 29),
            {"year": 2024, "month": 2, "day": 29},
        ),
        (
            korvane.types._timedelta,
            dt.timedelta(-1, 5, 7),
            {"days": -1, "seconds": 5, "microseconds": 7},
        ),
        (korvane.types._text_record("v"), Decimal("-sNaN12"), {"v": "-sNaN12"}),
    ],
)
def test_compiled_encoders_give_the_dict_of_their_fields(encode, value, expected):
    result = encode(value)
    assert result == expected and list(result) == list(expected)
    with pytest.raises(AttributeError, match="'int' object has no attribute"):
        korvane.types._date(5)
    for bad in ((1,), "year", ("a", 1)):
        with pytest.raises(TypeError):
            korvane.types._attribute_record(bad)


_FOLD = {"fold": 1}
_CLOCK = {"hour": 1, "minute": 2, "second": 3, "microsecond": 4, "tzinfo": UTC5}


@pytest.mark.parametrize(
    "cls, fields",
    [
        (dt.datetime, {"year": 2024, "month": 2, "day": 29, **_CLOCK, **_FOLD}),
        (
            dt.datetime,
            {
                "year": b"\x07\xe8\x01\x01\x00\x00\x00\x00\x00\x00",
                "month": 1,
                "day": 1,
                **_CLOCK,
                **_FOLD,
            },
        ),  # bytes: no pickle state here
        (dt.datetime, {"year": 2024, "month": 13, "day": 1, **_CLOCK, **_FOLD}),
        (
            dt.datetime,
            {"year": 2024, "month": 1, "day": 1, **_CLOCK, "tzinfo": 5, **_FOLD},
        ),
        (dt.datetime, {"year": 2024, "month": 1, "day": 1, **_CLOCK, "fold": 2}),
        (dt.datetime, {"year": 2024, "month": 1, "day": 1}),  # other fields: by name
        (dt.time, {**_CLOCK, **_FOLD}),
        (dt.time, {**_CLOCK, "hour": b"\x01\x02\x03\x04\x05\x06", **_FOLD}),
        (dt.date, {"year": b"\x07\xe8\x01\x01", "month": 1, "day": 1}),
        (dt.date, {"year": 1, "month": 1, "day": "1"}),
        (dt.timedelta, {"days": 1.5, "seconds": -7, "microseconds": 10**12}),
        (Decimal, {"value": "-sNaN7"}),
        (Decimal, {"value": 1.25}),
        (Decimal, {"value": "one"}),
    ],
)
def test_ready_classes_load_as_called_with_their_fields(cls, fields):
    korvane.types.use(cls)
    try:
        twin = dataclasses.make_dataclass(cls.__name__, list(fields))
        data = dumps(twin(**fields))
        try:
            expected = cls(**fields)
        except Exception as exc:
            with pytest.raises(type(exc)) as caught:
                loads(data)
            assert str(caught.value) == str(exc)
        else:
            back = loads(data)
            assert type(back) is cls and repr(back) == repr(expected)
    finally:
        for c in (cls, dt.timezone, dt.timedelta, zoneinfo.ZoneInfo):
            unadapt(c)
