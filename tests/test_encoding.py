"""Encoding: the exact bytes that dumps and dump produce, and their failures."""

import dataclasses
import decimal
import enum
import math
import struct
import sys
from dataclasses import dataclass
from typing import ClassVar

import pytest
from conftest import (
    BYTES,
    DATACLASS,
    DICT,
    FALSE,
    FLOAT,
    FROZENSET,
    INT,
    LIST,
    NONE,
    NONE_DOCUMENT,
    REF,
    SET,
    STR,
    TRUE,
    TUPLE,
    RecordingWriter,
    Untouchable,
    document,
    raises_exactly,
    run_isolated,
    varint,
)

from _korvane import PanicException, dump, dumps, loads


@dataclass
class Point:
    x: int
    y: int


@dataclass
class Pair:
    left: object
    right: object


class Color(enum.IntEnum):
    RED = 1


@pytest.mark.parametrize("with_class", [False, True])
def test_large_documents_are_written_exactly(with_class):
    # Tables and texts past the size kept between calls are copied out in
    # pieces: the whole document must still come out byte for byte, and
    # the type table must name the right texts after the strings.
    n = 400_000
    texts = [f"text-{i:011d}" for i in range(n)]
    value = [*texts, *range(300, 300 + n)]
    entries = [LIST(*range(1, 2 * n + 1))]
    entries += [STR(i) for i in range(n)]
    entries += [INT(300 + i) for i in range(n)]
    strings, types = texts, []
    if with_class:
        value.append(Point(1, 2))
        entries[0] = LIST(*range(1, 2 * n + 2))
        entries += [DATACLASS(0, 2 * n + 2, 2 * n + 3), INT(1), INT(2)]
        strings = [*texts, "Point", "x", "y"]
        types = [(n, 0, [n + 1, n + 2])]
    expected = document(entries, strings=strings, types=types)
    assert dumps(value) == expected
    assert dumps(value) == expected  # again, after the buffers were given back


# ---------------------------------------------------------------------------
# Documents given verbatim.


def test_none_is_the_24_byte_document():
    expected = bytes.fromhex("4B52564E0100000000000000000000000000000100000001")
    assert len(expected) == 24
    assert dumps(None) == expected
    assert NONE_DOCUMENT == expected


def test_dict_of_a_list_of_the_same_int_twice():
    expected = document(
        strings=["a"],
        objects=[DICT((1, 2)), STR(0), LIST(3, 4), INT(1), REF(3)],
    )
    assert dumps({"a": [1, 1]}) == expected
    # The object table named in full.
    tail = bytes.fromhex(
        "05000000"
        "0A01000000"
        "01000000"
        "02000000"
        "0600000000"
        "0802000000"
        "03000000"
        "04000000"
        "0402"
        "0E03000000"
    )
    assert expected.endswith(tail)


def test_point_dataclass_document():
    expected = (
        b"KRVN\x01\x00\x00\x00\x00\x00\x00"
        + bytes.fromhex("0300000005000000")
        + b"Point"
        + bytes.fromhex("01000000")
        + b"x"
        + bytes.fromhex("01000000")
        + b"y"
        + bytes.fromhex("010000000000000000000000000002000100000002000000")
        + bytes.fromhex("030000000D00000200010000000200000004020404")
    )
    assert dumps(Point(1, 2)) == expected


@pytest.mark.parametrize(
    "value, encoded",
    [
        (0, "00"),
        (-1, "01"),
        (1, "02"),
        (63, "7E"),
        (-64, "7F"),
        (64, "8001"),
        (300, "D804"),
        (1_000_000, "80897A"),
        (2**63 - 1, "FEFFFFFFFFFFFFFFFF01"),
        (-(2**63), "FFFFFFFFFFFFFFFFFF01"),
    ],
)
def test_varint_table(value, encoded):
    assert varint(value) == bytes.fromhex(encoded)
    assert dumps(value) == document([b"\x04" + bytes.fromhex(encoded)])
    assert loads(dumps(value)) == value


@pytest.mark.parametrize(
    "value",
    [
        -65,
        127,
        128,
        -129,
        2**14 - 1,
        2**14,
        2**31,
        -(2**31),
        2**32,
        2**56,
        -(2**56) - 1,
        2**62,
        -(2**62),
        2**63 - 2,
        -(2**63) + 1,
    ],
)
def test_varint_boundaries(value):
    assert dumps(value) == document([INT(value)])
    assert loads(dumps(value)) == value


@pytest.mark.parametrize("value", [2**63, 2**64, -(2**63) - 1, 10**30])
def test_int_outside_64_bits_overflows(value):
    with pytest.raises(OverflowError):
        dumps(value)
    with pytest.raises(OverflowError):
        dumps([1, {"k": value}])


def test_float_one_and_a_half():
    assert dumps(1.5) == document([bytes.fromhex("05 00 00 00 00 00 00 F8 3F")])


@pytest.mark.parametrize(
    "value",
    [0.0, -0.0, 1e-310, -2.5, math.inf, -math.inf, 1.7976931348623157e308],
)
def test_float_bits_are_copied(value):
    assert dumps(value) == document([b"\x05" + struct.pack("<d", value)])
    back = loads(dumps(value))
    assert struct.pack("<d", back) == struct.pack("<d", value)


def test_nan_payload_survives():
    raw = bytes.fromhex("01 00 00 00 00 00 F8 7F")
    nan = struct.unpack("<d", raw)[0]
    assert dumps(nan) == document([b"\x05" + raw])
    assert struct.pack("<d", loads(dumps(nan))) == raw


@pytest.mark.parametrize(
    "value, entry",
    [
        (b"", BYTES(b"")),
        (b"\x00\xffab", BYTES(b"\x00\xffab")),
        ([], LIST()),
        ((), TUPLE()),
        ({}, DICT()),
        (set(), SET()),
        (frozenset(), FROZENSET()),
        (True, TRUE),
        (False, FALSE),
    ],
)
def test_single_value_documents(value, entry):
    assert dumps(value) == document([entry])


def test_empty_containers_payloads():
    assert BYTES(b"") == bytes.fromhex("0700000000")
    assert LIST() == bytes.fromhex("0800000000")
    assert DICT() == bytes.fromhex("0A00000000")


def test_self_containing_list():
    lst = []
    lst.append(lst)
    assert dumps(lst) == document([LIST(1), REF(0)])
    assert dumps(lst).endswith(bytes.fromhex("0801000000010000000E00000000"))


def test_nested_containers_are_numbered_in_preorder():
    value = [(1, "a"), {"b": None}, frozenset({2.5})]
    expected = document(
        strings=["a", "b"],
        objects=[
            LIST(1, 4, 7),
            TUPLE(2, 3),
            INT(1),
            STR(0),
            DICT((5, 6)),
            STR(1),
            NONE,
            FROZENSET(8),
            FLOAT(2.5),
        ],
    )
    assert dumps(value) == expected


# ---------------------------------------------------------------------------
# Sharing and the string table.


@pytest.mark.parametrize("value, entry", [(True, TRUE), (False, FALSE), (None, NONE)])
def test_singleton_twice_becomes_a_reference(value, entry):
    assert dumps([value, value]) == document([LIST(1, 2), entry, REF(1)])


@pytest.mark.parametrize(
    "same_object, second_entry",
    [(False, STR(0)), (True, REF(1))],
    ids=["distinct equal strings share an index", "same object is a reference"],
)
def test_a_string_twice(same_object, second_entry):
    a = "".join(["ab", "cd"])
    b = a if same_object else "".join(["a", "bcd"])
    assert a == b and (a is b) == same_object
    assert dumps([a, b]) == document(
        strings=["abcd"], objects=[LIST(1, 2), STR(0), second_entry]
    )


def test_string_table_in_first_capture_order():
    a = "".join(["z", "z"])
    value = [a, "m", "".join(["z", "z"]), "é€😀", ""]
    expected = document(
        strings=["zz", "m", "é€😀", ""],
        objects=[LIST(1, 2, 3, 4, 5), STR(0), STR(1), STR(0), STR(2), STR(3)],
    )
    assert dumps(value) == expected


def test_type_and_field_names_interned_after_captured_texts():
    value = ["y", Point(1, 2), "Point"]
    expected = document(
        strings=["y", "Point", "x"],
        types=[(1, 0, [2, 0])],
        objects=[LIST(1, 2, 5), STR(0), DATACLASS(0, 3, 4), INT(1), INT(2), STR(1)],
    )
    assert dumps(value) == expected


def test_type_names_added_type_by_type():
    value = [Pair(Point(1, 2), "x"), Point(3, 4)]
    # The Pair holds Point at 2, then "x" at 5; the second Point is 6.
    expected = document(
        strings=["x", "Pair", "left", "right", "Point", "y"],
        types=[(1, 0, [2, 3]), (4, 0, [0, 5])],
        objects=[
            LIST(1, 6),
            DATACLASS(0, 2, 5),
            DATACLASS(1, 3, 4),
            INT(1),
            INT(2),
            STR(0),
            DATACLASS(1, 7, 8),
            INT(3),
            INT(4),
        ],
    )
    assert dumps(value) == expected


@pytest.mark.parametrize(
    "first_class",
    [Point, dataclasses.make_dataclass("Point", [("x", int), ("y", int)])],
    ids=["same class", "same bare name and fields"],
)
def test_two_instances_share_one_type_entry(first_class):
    expected = document(
        strings=["Point", "x", "y"],
        types=[(0, 0, [1, 2])],
        objects=[
            LIST(1, 4),
            DATACLASS(0, 2, 3),
            INT(1),
            INT(2),
            DATACLASS(0, 5, 6),
            INT(3),
            INT(4),
        ],
    )
    assert dumps([first_class(1, 2), Point(3, 4)]) == expected


def test_same_instance_twice_is_a_reference():
    p = Point(1, 2)
    expected = document(
        strings=["Point", "x", "y"],
        types=[(0, 0, [1, 2])],
        objects=[LIST(1, 4), DATACLASS(0, 2, 3), INT(1), INT(2), REF(1)],
    )
    assert dumps([p, p]) == expected


def test_dataclass_cycle_becomes_reference_to_the_instance():
    p = Pair(None, None)
    p.left = p
    p.right = [p]
    expected = document(
        strings=["Pair", "left", "right"],
        types=[(0, 0, [1, 2])],
        objects=[DATACLASS(0, 1, 2), REF(0), LIST(3), REF(0)],
    )
    assert dumps(p) == expected


def test_shared_objects_keep_identity_through_round_trip(roundtrip):
    inner = [1, 2]
    s = "".join(["sha", "red"])
    value = [inner, inner, (inner, s), {"k": inner}, s]
    back = roundtrip(value)
    assert back == value
    assert back[0] is back[1] is back[2][0] is back[3]["k"]
    assert back[2][1] is back[4]


# ---------------------------------------------------------------------------
# Dispatch by the exact type name.


@pytest.mark.parametrize(
    "value, name",
    [
        (Color.RED, "Color"),
        (decimal.Decimal("1.5"), "Decimal"),
        (object(), "object"),
        (1 + 2j, "complex"),
        (bytearray(b"a"), "bytearray"),
        (range(3), "range"),
        (type("MyList", (list,), {})([1]), "MyList"),
        (type("MyDict", (dict,), {})(), "MyDict"),
        (type("MyStr", (str,), {})("a"), "MyStr"),
    ],
)
def test_unsupported_types_named_by_bare_name(value, name):
    with raises_exactly(TypeError, f"Unsupported type: {name}"):
        dumps(value)
    with raises_exactly(TypeError, f"Unsupported type: {name}"):
        dumps({"nested": [1, value]})


def _named(name, bases=(), ns=None):
    return type(name, bases, dict(ns or {}))


@pytest.mark.parametrize(
    "value, message",
    [
        (_named("list")(), "'list' object cannot be converted to 'PyList'"),
        (_named("tuple")(), "'tuple' object cannot be converted to 'PyTuple'"),
        (_named("dict")(), "'dict' object cannot be converted to 'PyDict'"),
        (_named("set")(), "'set' object cannot be converted to 'PySet'"),
        (
            _named("frozenset")(),
            "'frozenset' object cannot be converted to 'PyFrozenSet'",
        ),
        (_named("bool")(), "'bool' object cannot be converted to 'PyBool'"),
        (_named("bytes")(), "'bytes' object cannot be converted to 'Sequence'"),
        (_named("bytes", (str,))("ab"), "Can't extract `str` to `Vec`"),
        (
            _named("frozenset", (set,))({1}),
            "'frozenset' object cannot be converted to 'PyFrozenSet'",
        ),
    ],
)
def test_lookalike_names_take_the_builtin_branch_and_fail(value, message):
    with raises_exactly(TypeError, message):
        dumps(value)


@pytest.mark.parametrize("name", ["int", "str", "float"])
def test_lookalike_scalar_that_cannot_convert_fails_with_type_error(name):
    # An int without __index__, a str that is not a str, a float without
    # __float__.
    with pytest.raises(TypeError):
        dumps(_named(name)())


@pytest.mark.parametrize(
    "value, entries, strings",
    [
        (_named("int", (), {"__index__": lambda self: 300})(), [INT(300)], []),
        (_named("float", (), {"__float__": lambda self: 2.5})(), [FLOAT(2.5)], []),
        (_named("NoneType")(), [NONE], []),
        (_named("bytes", (list,))([1, 2, 255]), [BYTES(b"\x01\x02\xff")], []),
        (_named("bytes", (tuple,))((0, 65)), [BYTES(b"\x00A")], []),
        (_named("list", (list,))([1]), [LIST(1), INT(1)], []),
        (_named("tuple", (tuple,))(("a",)), [TUPLE(1), STR(0)], ["a"]),
        (_named("dict", (dict,))({1: 2}), [DICT((1, 2)), INT(1), INT(2)], []),
        (_named("set", (set,))({3}), [SET(1), INT(3)], []),
        (_named("frozenset", (frozenset,))({3}), [FROZENSET(1), INT(3)], []),
        (_named("str", (str,))("q"), [STR(0)], ["q"]),
    ],
)
def test_lookalike_names_that_convert_are_encoded_as_the_builtin(
    value, entries, strings
):
    assert dumps(value) == document(entries, strings=strings)


@pytest.mark.parametrize("items", [[256], [-1], ["a"], [1.5]])
def test_bytes_lookalike_with_bad_items_fails(items):
    with pytest.raises((TypeError, OverflowError, ValueError)):
        dumps(_named("bytes", (list,))(items))


def test_lone_surrogate_string_fails_with_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        dumps(["ok", "\ud800"])


# ---------------------------------------------------------------------------
# Dataclass types and schema versions.


def _versioned(ns):
    return dataclasses.make_dataclass("V", [("a", int)], namespace=ns)


def _version_of(cls):
    """The schema version written into the only type entry."""
    data = dumps(cls(a=1))
    # header 11, then the strings "V" and "a"
    pos = 11 + 4 + (4 + 1) + (4 + 1)
    assert data[pos : pos + 4] == b"\x01\x00\x00\x00"  # one type entry
    assert data[pos + 4 : pos + 6] == b"\x00\x00"  # type id 0
    assert data[pos + 6 : pos + 10] == b"\x00\x00\x00\x00"  # name index 0
    return struct.unpack_from("<I", data, pos + 10)[0]


class VersionIndex:
    def __index__(self):
        return 9


class BrokenVersion:
    def __index__(self):
        raise RuntimeError("boom")


@pytest.mark.parametrize(
    "ns, version",
    [
        ({}, 0),
        ({"__korvane_version__": 3}, 3),
        ({"__meridel_version__": 2}, 2),
        ({"__korvane_version__": 3, "__meridel_version__": 2}, 3),
        ({"__korvane_version__": 2**32 - 1}, 2**32 - 1),
        ({"__korvane_version__": VersionIndex()}, 9),
        ({"__korvane_version__": True}, 1),
        ({"__korvane_version__": -1}, 0),
        ({"__korvane_version__": 2**32}, 0),
        ({"__korvane_version__": "x"}, 0),
        ({"__korvane_version__": 1.0}, 0),
        ({"__korvane_version__": None}, 0),
        ({"__korvane_version__": BrokenVersion()}, 0),
        ({"__meridel_version__": -1}, 0),
        ({"__meridel_version__": 2**32}, 0),
        ({"__meridel_version__": "x"}, 0),
        # A present but unusable current attribute does not fall back.
        ({"__korvane_version__": -1, "__meridel_version__": 2}, 0),
    ],
)
def test_schema_version_of_a_class(ns, version):
    assert _version_of(_versioned(ns)) == version


def _raising(exc):
    def get(self):
        raise exc

    return property(get)


@pytest.mark.parametrize(
    "ns, version",
    [
        # A failed lookup of the current name falls back to the legacy one,
        # whatever the failure.
        (
            {
                "__korvane_version__": _raising(AttributeError("not here")),
                "__meridel_version__": 4,
            },
            4,
        ),
        ({"__korvane_version__": _raising(KeyError("k")), "__meridel_version__": 5}, 5),
        ({"__korvane_version__": _raising(KeyError("k"))}, 0),
        ({"__getattr__": lambda self, name: 8}, 8),
        ({"__getattr__": lambda self, name: 1 / 0}, 0),
        (
            {
                "__getattr__": lambda self, name: (
                    7 if name == "__meridel_version__" else getattr(object(), name)
                )
            },
            7,
        ),
        # An attribute of the instance counts too.
        ({"__post_init__": lambda self: setattr(self, "__korvane_version__", 6)}, 6),
    ],
)
def test_schema_version_through_dynamic_lookup(ns, version):
    assert _version_of(_versioned(ns)) == version


@dataclass
class Tagged:
    kind: ClassVar[str] = "k"
    n: int = 0


@dataclass
class Defaults:
    a: int = 7


@dataclass
class Empty:
    pass


@dataclass(slots=True, frozen=True)
class S:
    a: int


@pytest.mark.parametrize(
    "value, strings, types, objects",
    [
        pytest.param(
            _versioned({"__korvane_version__": 0x01020304})(a=1),
            ["V", "a"],
            [(0, 0x01020304, [1])],
            [DATACLASS(0, 1), INT(1)],
            id="schema version in the type table",
        ),
        pytest.param(
            Tagged(5),
            ["k", "Tagged", "kind", "n"],
            [(1, 0, [2, 3])],
            [DATACLASS(0, 1, 2), STR(0), INT(5)],
            id="class variables count as fields",
        ),
        pytest.param(
            # The class object itself, captured through its metaclass name.
            Defaults,
            ["type", "a"],
            [(0, 0, [1])],
            [DATACLASS(0, 1), INT(7)],
            id="class object",
        ),
        pytest.param(
            Empty(), ["Empty"], [(0, 0, [])], [DATACLASS(0)], id="without fields"
        ),
        pytest.param(
            S(1),
            ["S", "a"],
            [(0, 0, [1])],
            [DATACLASS(0, 1), INT(1)],
            id="slotted and frozen",
        ),
    ],
)
def test_dataclass_shapes(value, strings, types, objects):
    assert dumps(value) == document(objects, strings=strings, types=types)


def test_deleted_field_attribute_raises_attribute_error():
    p = Point(1, 2)
    del p.y
    with pytest.raises(AttributeError):
        dumps(p)
    with pytest.raises(AttributeError):
        dumps([1, p])


def test_fields_mapping_changed_during_the_walk_is_read_again():
    fields = {"a": None}

    class Grows:
        __dataclass_fields__ = fields

        @property
        def a(self):
            fields["b"] = None  # the next instance has two fields
            return 1

        b = 2

    with raises_exactly(
        TypeError,
        "Cannot encode dataclass 'Grows': another class of that name with different "
        "fields or schema version is already in this document",
    ):
        dumps([Grows(), Grows()])


def test_one_fields_mapping_under_two_names_and_versions():
    class Child(Point):  # not a dataclass itself: it shares Point's fields mapping
        pass

    a, b, c = Point(1, 2), Child(3, 4), Point(5, 6)
    expected = document(
        strings=["Point", "x", "y", "Child"],
        types=[(0, 0, [1, 2]), (3, 0, [1, 2])],
        objects=[
            LIST(1, 4, 7),
            DATACLASS(0, 2, 3),
            INT(1),
            INT(2),
            DATACLASS(1, 5, 6),
            INT(3),
            INT(4),
            DATACLASS(0, 8, 9),
            INT(5),
            INT(6),
        ],
    )
    assert dumps([a, b, c]) == expected
    c.__korvane_version__ = 2  # an instance that claims another version
    with raises_exactly(
        TypeError,
        "Cannot encode dataclass 'Point': another class of that name with different "
        "fields or schema version is already in this document",
    ):
        dumps([a, b, c])


def test_many_dataclass_types_in_one_document():
    classes = [dataclasses.make_dataclass(f"C{i}", [(f"f{i}", int)]) for i in range(40)]
    values = [cls(1000 + i) for i, cls in enumerate(classes)]
    values += [cls(2000 + i) for i, cls in enumerate(classes)]
    objects = [LIST(*range(1, 161, 2))]
    for i in range(80):
        objects += [
            DATACLASS(i % 40, len(objects) + 1),
            INT(1000 * (1 + i // 40) + i % 40),
        ]
    expected = document(
        strings=[text for i in range(40) for text in (f"C{i}", f"f{i}")],
        types=[(2 * i, 0, [2 * i + 1]) for i in range(40)],
        objects=objects,
    )
    assert dumps(values) == expected


@pytest.mark.parametrize(
    "fields",
    [
        [("y", int), ("x", int)],
        [("x", int)],
        [("x", int), ("y", int), ("z", int)],
        [("a", int), ("b", int)],
    ],
)
def test_same_bare_name_with_different_fields_is_refused(fields):
    other = dataclasses.make_dataclass("Point", fields)
    instance = other(*range(len(fields)))
    for value in ([Point(1, 2), instance], [instance, Point(1, 2)]):
        with pytest.raises(TypeError) as excinfo:
            dumps(value)
        assert "'Point'" in str(excinfo.value)
        with pytest.raises(TypeError):
            dump(value, Untouchable())


# ---------------------------------------------------------------------------
# Keyword arguments change nothing; dump writes the same bytes once.


GRAPH = {"a": [1, 1.5, "x", b"y", None, True], "b": (Point(1, 2), frozenset({3}))}


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"protocol": 0},
        {"protocol": 255, "schema_version": 7, "hmac_key": b"key"},
        {"schema_version": 2**32 - 1, "hmac_key": b""},
    ],
)
def test_output_independent_of_keyword_arguments(kwargs):
    assert dumps(GRAPH, **kwargs) == dumps(GRAPH)


def test_output_is_deterministic_within_a_process():
    outputs = {dumps(GRAPH) for _ in range(20)}
    assert len(outputs) == 1


def test_output_is_identical_across_processes():
    code = """
        from dataclasses import dataclass
        import _korvane
        @dataclass
        class Point:
            x: int
            y: int
        shared = [1, 2]
        value = [{"a": shared, "b": (Point(1, 2), "t")}, shared, -3.25]
        print(_korvane.dumps(value).hex())
    """
    outs = {run_isolated(code).stdout.strip() for _ in range(2)}
    assert len(outs) == 1
    shared = [1, 2]

    @dataclass
    class Point:  # noqa: F811 - the same bare name as the child's class
        x: int
        y: int

    assert outs == {
        dumps([{"a": shared, "b": (Point(1, 2), "t")}, shared, -3.25]).hex()
    }


def test_dump_writes_the_dumps_bytes_in_one_call():
    f = RecordingWriter()
    assert dump(GRAPH, f, anything=1) is None
    assert f.calls == [((dumps(GRAPH),), {})]


@pytest.mark.parametrize(
    "value, error",
    [
        (object(), TypeError),
        ([1, decimal.Decimal(1)], TypeError),
        ({"k": 2**64}, OverflowError),
        (["\udc00"], UnicodeEncodeError),
    ],
)
def test_dump_never_writes_when_encoding_fails(value, error):
    f = RecordingWriter()
    with pytest.raises(error):
        dump(value, f)
    assert f.calls == []


# ---------------------------------------------------------------------------
# Graphs that change while they are walked.


class FieldHook:
    """Passes is_dataclass; reading its field runs ``hook``."""

    __dataclass_fields__ = {"x": None}

    def __init__(self, hook):
        self.hook = hook

    @property
    def x(self):
        self.hook()
        return 0


def _grows_through_a_value():
    d = {}
    d["a"] = FieldHook(lambda: d.setdefault("new", 1))
    d["b"] = 2
    return d


def _grows_through_a_key():
    d = {}
    d[FieldHook(lambda: d.setdefault("new", 1))] = 1
    d["b"] = 2
    return d


def _grows_at_the_last_item():
    d = {}
    d["a"] = FieldHook(lambda: d.setdefault("new", 1))
    return [d]


@pytest.mark.parametrize(
    "build", [_grows_through_a_value, _grows_through_a_key, _grows_at_the_last_item]
)
def test_dict_growing_during_walk_raises_panic(build):
    with raises_exactly(
        PanicException, "dictionary changed size during iteration"
    ) as excinfo:
        dumps(build())
    assert excinfo.value.args == ("dictionary changed size during iteration",)
    assert not isinstance(excinfo.value, Exception)


def test_dict_keys_replaced_during_walk_raise_panic():
    # Runs in a child: the walked value is dropped from the dict mid-walk.
    code = """
        import _korvane
        class FieldHook:
            __dataclass_fields__ = {"x": None}
            def __init__(self, hook):
                self.hook = hook
            @property
            def x(self):
                self.hook()
                return 0
        d = {}
        def swap():
            del d["a"]
            d["c"] = 3
        d["a"] = FieldHook(swap)
        d["b"] = 2
        try:
            _korvane.dumps(d)
        except _korvane.PanicException as exc:
            print(repr(exc.args))
    """
    result = run_isolated(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('dictionary keys changed during iteration',)"


@pytest.mark.parametrize(
    "value", ["[1, 2, 3]", "{'k': [1]}", "'a fresh ' + str(7)", "2.5 * 3"]
)
def test_dict_emptied_by_its_key_keeps_the_value_alive(value):
    # Runs in a child: the key's capture empties the dict, dropping the
    # dict's only reference to the value still to be walked.
    code = f"""
        import _korvane
        class Key:
            __dataclass_fields__ = {{"x": None}}
            def __init__(self):
                self.hook = None
            @property
            def x(self):
                self.hook()
                return 0
            def __hash__(self):
                return 1
        key = Key()
        d = {{key: {value}}}
        key.hook = d.clear
        try:
            _korvane.dumps(d)
        except _korvane.PanicException as exc:
            print(repr(exc.args))
        else:
            print("no error")
    """
    result = run_isolated(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('dictionary changed size during iteration',)"


def test_set_growing_during_walk_raises_panic():
    s = set()
    s.add(FieldHook(lambda: s.add("new")))
    with pytest.raises(PanicException) as excinfo:
        dumps(s)
    assert type(excinfo.value) is PanicException
    assert len(excinfo.value.args) == 1 and isinstance(excinfo.value.args[0], str)


def test_panic_is_not_caught_by_except_exception():
    d = {}
    d["a"] = FieldHook(lambda: d.setdefault("new", 1))
    d["b"] = 2
    with pytest.raises(PanicException):
        try:
            dumps(d)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    # The module keeps working afterwards.
    assert loads(dumps({"a": 1})) == {"a": 1}


def test_list_growing_during_walk_visits_only_the_original_items():
    lst = []
    lst.append(FieldHook(lambda: lst.append(99)))
    lst.extend([1, 2])
    expected = document(
        strings=["FieldHook", "x"],
        types=[(0, 0, [1])],
        objects=[LIST(1, 3, 4), DATACLASS(0, 2), INT(0), INT(1), INT(2)],
    )
    assert dumps(lst) == expected
    assert len(lst) == 4


def test_list_shrinking_during_walk_stops_at_the_new_length():
    code = """
        import _korvane
        class FieldHook:
            __dataclass_fields__ = {"x": None}
            def __init__(self, hook):
                self.hook = hook
            @property
            def x(self):
                self.hook()
                return 0
        lst = []
        lst.append(FieldHook(lst.clear))
        lst.extend([1, 2])
        print(_korvane.dumps(lst).hex())
    """
    result = run_isolated(code)
    assert result.returncode == 0, result.stderr
    expected = document(
        strings=["FieldHook", "x"],
        types=[(0, 0, [1])],
        objects=[LIST(1), DATACLASS(0, 2), INT(0)],
    )
    assert result.stdout.strip() == expected.hex()


class FreshFields:
    """Each field is a new list made on access and dropped after capture."""

    __dataclass_fields__ = {"a": None, "b": None, "c": None}

    @property
    def a(self):
        return [1]

    @property
    def b(self):
        return [2]

    @property
    def c(self):
        return [3]


def test_fresh_objects_are_not_confused_with_reused_addresses():
    expected = document(
        strings=["FreshFields", "a", "b", "c"],
        types=[(0, 0, [1, 2, 3])],
        objects=[
            DATACLASS(0, 1, 3, 5),
            LIST(2),
            INT(1),
            LIST(4),
            INT(2),
            LIST(6),
            INT(3),
        ],
    )
    for _ in range(5):
        assert dumps(FreshFields()) == expected
    # The small ints inside are shared objects; the fresh lists are not.
    twice = document(
        strings=["FreshFields", "a", "b", "c"],
        types=[(0, 0, [1, 2, 3])],
        objects=[
            LIST(1, 8),
            DATACLASS(0, 2, 4, 6),
            LIST(3),
            INT(1),
            LIST(5),
            INT(2),
            LIST(7),
            INT(3),
            DATACLASS(0, 9, 11, 13),
            LIST(10),
            REF(3),
            LIST(12),
            REF(5),
            LIST(14),
            REF(7),
        ],
    )
    for _ in range(5):
        assert dumps([FreshFields(), FreshFields()]) == twice


# ---------------------------------------------------------------------------
# Depth.


def test_moderate_nesting_round_trips(roundtrip):
    value = None
    for _ in range(200):
        value = [value]
    back = roundtrip(value)
    for _ in range(200):
        assert type(back) is list and len(back) == 1
        back = back[0]
    assert back is None


DEEP_BUILDS = {
    "list": "[x]",
    "tuple": "(x,)",
    "dict": "{'k': x}",
    "dataclass": "Box(x)",
}


@pytest.fixture(scope="module")
def deep_nesting_outcomes():
    """Encode a value nested 1,000,000 deep of each kind, in one child.

    The child prints one line per kind; a crash leaves the later kinds out.
    """
    code = f"""
        import os, sys
        from dataclasses import dataclass
        import _korvane
        @dataclass
        class Box:
            inner: object
        for kind, build in {DEEP_BUILDS!r}.items():
            x = None
            exec(f"for _ in range(1_000_000): x = {{build}}")
            try:
                _korvane.dumps(x)
            except RecursionError:
                outcome = "RecursionError"
            except BaseException as exc:
                outcome = type(exc).__name__
            else:
                outcome = "no error"
            # the module still works after the failure
            assert _korvane.loads(_korvane.dumps([1])) == [1]
            print(kind, outcome, flush=True)
        os._exit(0)  # skip freeing the deep structures
    """
    result = run_isolated(code, timeout=120)
    outcomes = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    return result, outcomes


@pytest.mark.parametrize("kind", list(DEEP_BUILDS))
def test_deep_nesting_raises_recursion_error(deep_nesting_outcomes, kind):
    result, outcomes = deep_nesting_outcomes
    assert kind in outcomes, (
        f"child died (rc {result.returncode}): {result.stderr[-2000:]}"
    )
    assert outcomes[kind] == "RecursionError"


# ---------------------------------------------------------------------------
# Order, nesting of calls, and references held.


def test_dict_pairs_follow_insertion_order():
    d = {"b": 1}
    d["a"] = 2
    expected = document(
        strings=["b", "a"],
        objects=[DICT((1, 2), (3, 4)), STR(0), INT(1), STR(1), INT(2)],
    )
    assert dumps(d) == expected


def test_set_elements_follow_iteration_order():
    s = {1000 + 37 * i for i in range(20)}
    order = list(s)
    expected = document(objects=[SET(*range(1, 21))] + [INT(v) for v in order])
    assert dumps(s) == expected


def test_true_and_one_are_not_confused():
    assert dumps([1, True, 1.0, 0, False]) == document(
        [LIST(1, 2, 3, 4, 5), INT(1), TRUE, FLOAT(1.0), INT(0), FALSE]
    )


def test_nested_call_during_capture_has_its_own_state():
    class Hook:
        __dataclass_fields__ = {"x": None}

        @property
        def x(self):
            assert loads(dumps({"inner": [1, 2]})) == {"inner": [1, 2]}
            return "".join(["v", "w"])

    expected = document(
        strings=["vw", "Hook", "x"],
        types=[(1, 0, [2])],
        objects=[LIST(1, 3), DATACLASS(0, 2), STR(0), INT(5)],
    )
    assert dumps([Hook(), 5]) == expected


def test_encoding_holds_no_references_afterwards():
    shared = [1, 2]
    text = "".join(["a", "b"])
    key = b"k"
    proto = 3
    before = sys.getrefcount(shared), sys.getrefcount(text), sys.getrefcount(key)
    for _ in range(50):
        dumps([shared, shared, text, (shared, text)], protocol=proto, hmac_key=key)
        with pytest.raises(TypeError):
            dumps([shared, text, object()])
        dump({"k": shared}, RecordingWriter(), extra=key)
        with pytest.raises(AttributeError):
            dump([shared, text], object())
    after = sys.getrefcount(shared), sys.getrefcount(text), sys.getrefcount(key)
    assert after == before


def test_fresh_objects_are_released_after_the_call():
    import weakref

    made = []

    @dataclass
    class Tracked:
        pass

    class Fresh:
        __dataclass_fields__ = {"a": None, "b": None}

        @property
        def a(self):
            obj = [Tracked()]
            made.append(weakref.ref(obj[0]))
            return obj

        @property
        def b(self):
            raise AttributeError("b")

    class FreshOk(Fresh):
        __dataclass_fields__ = {"a": None}

    for _ in range(3):
        dumps([FreshOk(), FreshOk()])
        with pytest.raises(AttributeError):
            dumps(Fresh())
    assert len(made) == 9
    assert all(ref() is None for ref in made)


# ---------------------------------------------------------------------------
# The type name is read by attribute lookup; is_dataclass is asked anew.


def _with_type_name(name_getter):
    meta = type("Meta", (type,), {"__name__": property(name_getter)})
    return meta("Anything", (), {})()


def test_type_name_comes_from_attribute_lookup():
    assert dumps(_with_type_name(lambda cls: "NoneType")) == NONE_DOCUMENT


def _no_name(cls):
    raise LookupError("no name")


@pytest.mark.parametrize(
    "name_getter, exc_type, message",
    [
        (lambda cls: "Fancy", TypeError, "Unsupported type: Fancy"),
        # A failed lookup passes up unchanged.
        (_no_name, LookupError, "no name"),
        # The name must be a str.
        (lambda cls: 5, TypeError, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_type_name_that_is_unusable(name_getter, exc_type, message):
    value = _with_type_name(name_getter)
    with raises_exactly(exc_type, message):
        dumps(value)
    with raises_exactly(exc_type, message):
        dumps([1, value])


def test_is_dataclass_is_asked_at_every_visit(monkeypatch):
    class Plain:
        x = 4

    with raises_exactly(TypeError, "Unsupported type: Plain"):
        dumps(Plain())
    seen = []

    def is_dataclass(obj):
        seen.append(obj)
        return 1  # any truthy value

    monkeypatch.setattr(dataclasses, "is_dataclass", is_dataclass)
    obj = Plain()
    obj.__dataclass_fields__ = {"x": None}
    assert dumps([obj, 7]) == document(
        strings=["Plain", "x"],
        types=[(0, 0, [1])],
        objects=[LIST(1, 3), DATACLASS(0, 2), INT(4), INT(7)],
    )
    assert seen == [obj]
    with pytest.raises(AttributeError):
        dumps(Plain())  # reported a dataclass, but has no fields mapping


def _dataclasses_stand_in(how):
    """A module standing in for dataclasses whose is_dataclass says yes,
    found in a different way each time, or not at all."""
    import types

    yes = lambda obj: True  # noqa: E731
    module = types.ModuleType("dataclasses")
    if how == "module __getattr__":
        module.__getattr__ = lambda name: yes if name == "is_dataclass" else 1 / 0
    elif how == "module subclass property":
        # The property of the module's class wins over the decoy in its dict.
        module.__class__ = type(
            "Lazy", (types.ModuleType,), {"is_dataclass": property(lambda m: yes)}
        )
        module.__dict__["is_dataclass"] = lambda obj: False
    elif how == "plain":
        module.is_dataclass = yes
    return module


@pytest.mark.parametrize(
    "how", ["plain", "module __getattr__", "module subclass property", "missing"]
)
def test_is_dataclass_is_found_as_getattr_finds_it(monkeypatch, how):
    class Plain:
        __dataclass_fields__ = {"x": None}
        x = 4

    monkeypatch.setitem(sys.modules, "dataclasses", _dataclasses_stand_in(how))
    if how == "missing":
        with raises_exactly(
            AttributeError, "module 'dataclasses' has no attribute 'is_dataclass'"
        ):
            dumps(Plain())
    else:
        assert dumps(Plain()) == document(
            strings=["Plain", "x"],
            types=[(0, 0, [1])],
            objects=[DATACLASS(0, 1), INT(4)],
        )


@pytest.mark.parametrize(
    "result, error",
    [
        (ZeroDivisionError("asked"), ZeroDivisionError),
        ("bad bool", KeyError),
    ],
)
def test_is_dataclass_failures_pass_up(monkeypatch, result, error):
    class BadBool:
        def __bool__(self):
            raise KeyError("bool")

    def is_dataclass(obj):
        if isinstance(result, BaseException):
            raise result
        return BadBool()

    monkeypatch.setattr(dataclasses, "is_dataclass", is_dataclass)
    with pytest.raises(error):
        dumps(object())


@pytest.mark.parametrize(
    "fields, message",
    [
        (["x"], "'list' object cannot be converted to 'PyDict'"),
        (None, "'NoneType' object cannot be converted to 'PyDict'"),
        ({1: None}, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_dataclass_fields_mapping_must_be_a_dict_of_str(fields, message):
    cls = type("Odd", (), {"__dataclass_fields__": fields, "x": 1})
    with raises_exactly(TypeError, message):
        dumps(cls())


def Wide(count):
    """An instance that passes is_dataclass with ``count`` fields, all 0."""
    fields = dict.fromkeys([f"f{i}" for i in range(count)])
    cls = type(
        "Wide", (), {"__dataclass_fields__": fields, "__getattr__": lambda s, n: 0}
    )
    return cls()


def test_widest_dataclass_fits():
    data = dumps(Wide(65535))
    # the type entry's field count is the largest u16
    assert struct.pack("<H", 65535) + struct.pack("<I", 1) in data


def test_dataclass_wider_than_the_format_is_refused():
    with pytest.raises((OverflowError, ValueError, TypeError)):
        dumps(Wide(65536))
    f = RecordingWriter()
    with pytest.raises((OverflowError, ValueError, TypeError)):
        dump([Wide(65536)], f)
    assert f.calls == []


@pytest.mark.parametrize("size", [(32 << 20) - 1, (32 << 20) + 4097])
def test_bytes_value_around_the_huge_page_threshold_is_exact(size):
    # Documents and bytes values from 32 MiB on are written into pages that
    # may be huge; every byte must still land where it belongs.
    payload = bytes(range(251)) * (size // 251) + b"\x07" * (size % 251)
    head = dumps(b"")[:-5]
    data = dumps(payload)
    assert data == head + b"\x07" + size.to_bytes(4, "little") + payload
    back = loads(data)
    assert type(back) is bytes and back == payload
