"""korvane.document against the extension: same verdicts, same messages."""

import dataclasses
import itertools
import random
import struct
import subprocess
import sys

import pytest
from conftest import DATACLASS, REF, document, u32

import _korvane
import korvane
from korvane import document as ki

READER_PREFIXES = (
    "Invalid data:",
    "Invalid magic bytes",
    "Unknown tag: 0x",
    "Invalid UTF-8 in string table:",
)
# Messages of the reconstruction that share the reader's prefix.
ENGINE_MESSAGES = (
    "Invalid data: reference loop at object ",
    "Invalid data: a tuple or frozenset is reached from inside itself",
    "Invalid data: a cycle made only of dataclasses",
    "Invalid data: a dataclass would be built while",
)


dataclass_entry = DATACLASS
ref = REF


def native_reader_error(data: bytes) -> str | None:
    """The reader's message from loads, or None when loads got past reading."""
    try:
        _korvane.loads(data, allowlist=set())
    except ValueError as exc:
        message = str(exc)
        if message.startswith(READER_PREFIXES) and not message.startswith(
            ENGINE_MESSAGES
        ):
            return message
    except (TypeError, RecursionError):
        pass
    return None


def inspect_reader_error(data: bytes) -> str | None:
    try:
        ki.parse(data)
    except ki.ReaderError as exc:
        assert str(exc) == exc.message
        return exc.message
    return None


@dataclasses.dataclass
class InspectSample:
    x: int
    label: str


def corpus() -> list[bytes]:
    shared = [1, "two"]
    cyclic: list[object] = ["loop"]
    cyclic.append(cyclic)
    values = [
        None,
        {"a": [1, 1]},
        [1.5, -0.0, b"ab", (1, 2), {3}, frozenset({4}), True, False],
        [0, -1, 63, -64, 64, 300, 10**6, 2**63 - 1, -(2**63)],
        ["", "é", "€uro", "😀", "x" * 40],
        {"shared": shared, "again": shared, "cyclic": cyclic},
        InspectSample(1, "one"),
        [InspectSample(2, "two"), InspectSample(3, "three")],
    ]
    docs = [korvane.dumps(v) for v in values]
    docs.append(document([b"\x01"], magic=b"MRDL"))
    docs.append(document([b"\x01"]) + b"trailing bytes")
    # A repeated type name and indexes past the string table.
    docs.append(
        document(
            [dataclass_entry(1, 1), b"\x04\x02"],
            [b"A", b"f"],
            [(0, 0, [1]), (0, 3, [1, 1]), (9, 0, [7])],
        )
    )
    return docs


def candidates(seed: int) -> list[bytes]:
    rng = random.Random(seed)
    out = []
    for doc in corpus():
        out.extend(doc[:i] for i in range(len(doc) + 1))
        for _ in range(250):
            b = bytearray(doc)
            for _ in range(rng.randint(1, 3)):
                # Small values hit tags and counts more often than random bytes.
                b[rng.randrange(len(b))] = rng.choice(
                    (rng.randrange(256), rng.randrange(16))
                )
            out.append(bytes(b))
    return out


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_reader_agrees_with_the_extension(seed):
    checked = 0
    rejected = 0
    for data in candidates(seed):
        expected = native_reader_error(data)
        assert inspect_reader_error(data) == expected, data.hex()
        checked += 1
        rejected += expected is not None
    # Both outcomes are well represented.
    assert 0.2 * checked < rejected < 0.98 * checked


def native_check(data: bytes, allowlist):
    try:
        _korvane.loads(data, allowlist=allowlist)
    except (ValueError, TypeError, RecursionError) as exc:
        return type(exc).__name__, str(exc)
    return None


def inspect_check(data: bytes, allowlist):
    try:
        ki.check(data, allowlist)
    except ki.ReaderError as exc:
        return "ValueError", exc.message
    except ki.CheckError as exc:
        return exc.kind, exc.message
    return None


def is_value_error_of_building(verdict) -> bool:
    # A value that cannot be built (an unhashable key) needs the real objects.
    kind, message = verdict
    return kind == "TypeError" and "allowlist" not in message


@pytest.mark.parametrize("seed", [4, 5])
def test_check_agrees_with_loads(seed):
    compared = 0
    for data in candidates(seed):
        expected = native_check(data, set())
        if expected is not None and is_value_error_of_building(expected):
            continue
        assert inspect_check(data, set()) == expected, data.hex()
        compared += 1
    assert compared > 1000


LOOP_ERROR = (
    "ValueError",
    "Invalid data: a tuple or frozenset is reached from inside itself through a "
    "key, a set element, a tuple, a frozenset or a dataclass field",
)
TYPES = [(0, 0, [1])]
NAMES = [b"InspectCycle", b"f"]
LIST_OF_0 = b"\x08" + u32(1, 0)
TUPLE_OF_0 = b"\x09" + u32(1, 0)


def LIST_OF(*items):
    return b"\x08" + u32(len(items), *items)


def TUPLE_OF(*items):
    return b"\x09" + u32(len(items), *items)


def SET_OF(*items):
    return b"\x0b" + u32(len(items), *items)


def DICT_OF(*kids):
    return b"\x0a" + u32(len(kids) // 2, *kids)


HASHED = (
    "ValueError",
    "Invalid data: a dataclass instance would be hashed or compared as a key or set "
    "element while a list or dict still waits for an unfinished tuple or frozenset",
)


def DC_OF(*fields, type_id=0):
    return dataclass_entry(type_id, *fields)


def CYCLE_AT(n):
    message = f"a cycle made only of dataclasses passes through object {n}"
    return ("ValueError", "Invalid data: " + message)


STR_9 = b"\x06" + u32(9)
WAITING = (
    "ValueError",
    "Invalid data: a dataclass would be built while a list or dict it can reach "
    "still waits for an unfinished tuple or frozenset",
)


@pytest.mark.parametrize(
    "data, allowlist, expected",
    [
        (document([]), None, ("ValueError", "Invalid reference: 0")),
        (document([b"\x08" + u32(1, 5)]), None, ("ValueError", "Invalid reference: 5")),
        (
            document([b"\x08" + u32(1, 1), ref(2), ref(1)]),
            None,
            ("ValueError", "Invalid data: reference loop at object 1"),
        ),
        (
            document([b"\x08" + u32(1, 1), ref(2), ref(9)]),
            None,
            ("ValueError", "Invalid reference: 9"),
        ),
        (
            document([b"\x06" + u32(1)], [b"a"]),
            None,
            ("ValueError", "Invalid string index: 1"),
        ),
        (document([b"\x09" + u32(1, 1), ref(0)]), None, LOOP_ERROR),
        (document([b"\x0c" + u32(1, 1), b"\x09" + u32(1, 0)]), None, LOOP_ERROR),
        (
            document([b"\x09" + u32(1, 1), b"\x0a" + u32(1, 0, 2), b"\x01"]),
            None,
            LOOP_ERROR,
        ),
        # Reached through a list item or a dict value, the tuple is patched in.
        (document([b"\x09" + u32(1, 1), b"\x08" + u32(1, 0)]), None, None),
        (document([b"\x0a" + u32(1, 1, 2), b"\x01", b"\x09" + u32(1, 0)]), None, None),
        # Entries that the root does not reach are never built.
        (document([b"\x01", b"\x06" + u32(7), ref(9)]), None, None),
        (
            document([dataclass_entry(4, 1), b"\x01"], NAMES, TYPES),
            None,
            ("ValueError", "Invalid type_id: 4"),
        ),
        (
            document([b"\x01", dataclass_entry(4, 1)], NAMES, TYPES),
            set(),
            ("ValueError", "Unknown type_id: 4"),
        ),
        (
            document([b"\x01", dataclass_entry(0, 0)], NAMES, TYPES),
            {"Other"},
            ("TypeError", "Type 'InspectCycle' is not in the allowlist"),
        ),
        # A dataclass met again through a list is built a second time.
        (document([dataclass_entry(0, 1), LIST_OF_0], NAMES, TYPES), None, None),
        (document([dataclass_entry(0, 1), TUPLE_OF_0], NAMES, TYPES), None, LOOP_ERROR),
        # ... but through dataclasses alone it would be built without end.
        (document([dataclass_entry(0, 0)], NAMES, TYPES), None, CYCLE_AT(0)),
        (document([dataclass_entry(0, 1), ref(0)], NAMES, TYPES), None, CYCLE_AT(0)),
        (
            document([LIST_OF(3, 1), DC_OF(2), DC_OF(1), STR_9], NAMES, TYPES),
            None,
            CYCLE_AT(1),  # refused first, though an earlier item is invalid
        ),
        (document([b"\x01", DC_OF(1)], NAMES, TYPES), None, None),  # unreachable
        (
            document([DC_OF(1), DC_OF(0, type_id=5)], NAMES, TYPES),
            None,
            ("ValueError", "Invalid type_id: 5"),
        ),
        # A tuple reaching itself through a dataclass, then a list.
        (document([TUPLE_OF(1), DC_OF(2), LIST_OF_0], NAMES, TYPES), None, WAITING),
        *(
            (document(objects + [b"\x01"], NAMES, TYPES), None, verdict)
            for objects, verdict in [
                ([TUPLE_OF(1), LIST_OF(0, 2), DC_OF(3)], WAITING),
                ([TUPLE_OF(1, 2), LIST_OF_0, DC_OF(3)], WAITING),
                # Finished first, the tuple is patched in before the class runs.
                ([LIST_OF(1, 3), TUPLE_OF(2), LIST_OF(1), DC_OF(4)], None),
                # An instance hashed as a key or element while a list it
                # reaches waits: directly, or inside a tuple key.
                ([TUPLE_OF(1, 3), LIST_OF(2, 0), DC_OF(1), DICT_OF(2, 4)], HASHED),
                ([TUPLE_OF(1, 3), LIST_OF(2, 0), DC_OF(4), SET_OF(2)], HASHED),
                (
                    [TUPLE_OF(1, 3), LIST_OF(2, 0), DC_OF(5), SET_OF(4), TUPLE_OF(2)],
                    HASHED,
                ),
                (
                    [TUPLE_OF(1, 3), LIST_OF(2, 0), DC_OF(5), SET_OF(4), TUPLE_OF(5)],
                    None,
                ),
            ]
        ),
    ],
)
def test_check_matches_loads_on_crafted_documents(data, allowlist, expected):
    assert native_check(data, allowlist) == expected
    assert inspect_check(data, allowlist) == expected


def test_a_number_one_past_the_table_is_refused_every_time():
    # Run apart: reading past the object table can take the process down.
    data = document([b"\x08" + u32(1, 1)])
    code = (
        "import collections, _korvane\n"
        f"data = {data!r}\n"
        "seen = collections.Counter()\n"
        "for i in range(2000):\n"
        "    try:\n"
        "        seen[repr(_korvane.loads(data))] += 1\n"
        "    except ValueError as exc:\n"
        "        seen[str(exc)] += 1\n"
        "assert seen == {'Invalid reference: 1': 2000}, seen\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert inspect_check(data, None) == ("ValueError", "Invalid reference: 1")


def test_a_long_reference_chain_is_followed_without_recursion():
    n = 50_000
    objects = [b"\x08" + u32(1, 1)] + [ref(i + 1) for i in range(1, n)] + [b"\x01"]
    data = document(objects)
    assert _korvane.loads(data) == [None]
    report = ki.check(data)
    assert report.reachable == n + 1


# ---- UTF-8 ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, fault",
    [
        (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe1\x80A", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"\xf0\x90\x80A", "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"ok\xe1\x80", "incomplete utf-8 byte sequence from index 2"),
        (b"\xf4\x8f\xbf", "incomplete utf-8 byte sequence from index 0"),
        (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        (b"\xe0\x9f\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"a\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 1"),
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"12345678\x80", "invalid utf-8 sequence of 1 bytes from index 8"),
        ("é€😀".encode(), None),
    ],
)
def test_utf8_faults_are_described_like_the_extension(text, fault):
    assert ki.describe_utf8_fault(text) == fault
    expected = None if fault is None else "Invalid UTF-8 in string table: " + fault
    assert native_reader_error(document([b"\x01"], [text])) == expected


BOUNDARY_BYTES = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1]
BOUNDARY_BYTES += [0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1]
BOUNDARY_BYTES += [0xF3, 0xF4, 0xF5, 0xFF]


def utf8_samples():
    yield from (bytes([a, b]) for a in range(256) for b in range(0, 256, 3))
    yield from (bytes(t) for t in itertools.product(BOUNDARY_BYTES, repeat=3))
    rng = random.Random(7)
    for _ in range(5000):
        yield bytes(rng.choice(BOUNDARY_BYTES) for _ in range(4))


def test_utf8_validation_matches_the_extension_on_many_sequences():
    for text in utf8_samples():
        fault = ki.describe_utf8_fault(text)
        expected = None if fault is None else "Invalid UTF-8 in string table: " + fault
        assert native_reader_error(document([b"\x01"], [text])) == expected, text


# ---- the parsed view --------------------------------------------------------


def test_the_view_of_a_small_document():
    doc = ki.parse(korvane.dumps({"a": [1, 1]}))
    assert doc.header == ki.Header(b"KRVN", 1, 0, 0)
    assert [(s.offset, s.text) for s in doc.strings] == [(15, "a")]
    assert (doc.types_offset, doc.objects_offset, doc.end, doc.trailing) == (
        20,
        24,
        66,
        0,
    )
    assert [(e.number, e.offset, e.kind, e.children) for e in doc.objects] == [
        (0, 28, "Dict", (1, 2)),
        (1, 41, "Str", ()),
        (2, 46, "List", (3, 4)),
        (3, 59, "Int", ()),
        (4, 61, "Reference", (3,)),
    ]
    assert doc.objects[1].index == 0
    assert doc.objects[3].value == 1
    assert doc.resolve(4) == 3


@pytest.mark.parametrize(
    "value", [0, -1, 1, 63, -64, 64, 300, 10**6, 2**62, 2**63 - 1, -(2**63)]
)
def test_int_values(value):
    assert ki.parse(korvane.dumps(value)).objects[0].value == value


@pytest.mark.parametrize(
    "varint",
    [
        b"\xff" * 9 + b"\x01",
        b"\xff" * 9 + b"\x7f",  # bits 1 to 6 of the tenth byte are ignored
        b"\xfe" * 9 + b"\x7e",
        b"\x80\x00",  # a longer form than needed still reads
    ],
)
def test_int_varint_edge_cases_read_like_the_extension(varint):
    data = document([b"\x04" + varint])
    assert ki.parse(data).objects[0].value == _korvane.loads(data)


@pytest.mark.parametrize(
    "bits", [0x3FF8000000000000, 0x8000000000000000, 0x7FF8000000000001]
)
def test_float_bits_are_kept(bits):
    doc = ki.parse(document([b"\x05" + struct.pack("<Q", bits)]))
    assert doc.objects[0].float_bits == bits


def test_type_table_follows_the_registry_rules():
    data = document([b"\x01"], [b"A", b"f"], [(0, 0, [1]), (0, 3, [1, 1]), (9, 5, [7])])
    doc = ki.parse(data)
    assert [(t.name, t.field_names, t.registry_id) for t in doc.types] == [
        ("A", ("f",), 0),
        ("A", ("f", "f"), None),  # a repeated name is dropped
        ("", ("",), 1),  # indexes past the string table stand for ""
    ]
    assert [t.position for t in doc.registry] == [0, 2]


def test_a_reader_error_carries_what_was_read():
    data = korvane.dumps({"a": [1, 1]})[:-3]
    with pytest.raises(ki.ReaderError) as info:
        ki.parse(data)
    err = info.value
    assert err.message == "Invalid data: reference truncated"
    assert isinstance(err, ValueError)
    assert err.offset == 62
    assert [e.kind for e in err.document.objects] == ["Dict", "Str", "List", "Int"]
    assert err.document.object_count == 5
