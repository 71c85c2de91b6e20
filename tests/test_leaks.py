"""Leak and stability checks: repeated successful and failing calls keep the
process's resident memory and the reference counts of the objects involved
flat. Each check warms up first, then measures a bounded loop."""

from __future__ import annotations

import dataclasses
import gc
import os
import struct
import sys
from pathlib import Path

import pytest

import korvane
import korvane._reconstruct
import korvane.migrations

sys.path.insert(0, str(Path(__file__).parent / "fuzz"))
from make_corpus import NONE, dataclass, document, seq  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed memory sits in quarantine, so resident size
# says nothing there; the reference counts are still checked.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
RSS_SLACK = 8 << 20  # generous: the interpreter's own caches move a little
ROUNDS = 3000


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def growth(action, rounds=ROUNDS):
    """Bytes of resident memory gained by ``rounds`` more calls of
    ``action`` after as many warm-up calls."""
    for _ in range(rounds):
        action()
    gc.collect()
    before = rss()
    for _ in range(rounds):
        action()
    gc.collect()
    return rss() - before


def check_flat(action, *watched, rounds=ROUNDS):
    action()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    grown = growth(action, rounds)
    assert [sys.getrefcount(o) for o in watched] == counts, "reference counts moved"
    if not UNDER_ASAN:
        assert grown < RSS_SLACK, f"resident memory grew by {grown / 1024:.0f} KiB"
    print(f"rss growth over {rounds} calls: {grown / 1024:.0f} KiB")


def raises(exc, fn, *args, **kwargs):
    def action():
        with pytest.raises(exc):
            fn(*args, **kwargs)

    return action


@dataclasses.dataclass
class Point:
    x: object
    y: object


@dataclasses.dataclass
class Versioned:
    a: object
    __korvane_version__ = 0x5A5A5A5A  # distinctive, so the stored copy can be found


@dataclasses.dataclass(init=False)
class Loose:
    """Takes the extra keys a migration leaves, as a renamed field would."""

    a: object
    __korvane_version__ = 0x5A5A5A5A

    def __init__(self, a, **extra):
        self.a = a


class Unsupported:
    pass


LEAF = "a fairly long text value, so that a leaked copy shows"
BLOB = bytes(range(256)) * 64
SHARED = [LEAF, BLOB, 2**40, 1.5]


def _value():
    cyclic: list = [
        SHARED,
        (SHARED, LEAF),
        {"k": SHARED, LEAF: BLOB},
        {1, 2},
        frozenset({LEAF}),
    ]
    cyclic.append(cyclic)
    return cyclic


def test_round_trips_stay_flat():
    value = _value()
    data = korvane.dumps(value)
    check_flat(
        lambda: korvane.loads(korvane.dumps(value)), value, SHARED, LEAF, BLOB, data
    )


def test_round_trips_of_dataclasses_stay_flat(monkeypatch):
    monkeypatch.setattr(korvane._reconstruct, "make_class", lambda name, fields: Point)
    value = [Point(SHARED, LEAF), Point(1, Point(2, BLOB))]
    data = korvane.dumps(value)
    check_flat(
        lambda: korvane.loads(data, allowlist={"Point"}),
        value,
        SHARED,
        LEAF,
        BLOB,
        Point,
    )


def test_failing_dumps_stays_flat():
    bad = Unsupported()
    deep = [SHARED, {"k": (LEAF, [BLOB, {"x": [bad]}])}]
    mutated = {"a": 1}
    check_flat(raises(TypeError, korvane.dumps, deep), deep, bad, SHARED, LEAF, BLOB)
    too_big = [SHARED, 2**64]
    check_flat(raises(OverflowError, korvane.dumps, too_big), too_big, SHARED)
    nested = [SHARED]
    for _ in range(5000):
        nested = [nested]
    check_flat(
        raises(RecursionError, korvane.dumps, nested), nested, SHARED, rounds=300
    )
    assert mutated == {"a": 1}


VALID = korvane.dumps([LEAF, BLOB, {"k": [1, 2, (3, 4)]}, {5, 6}])
PARAMS = {
    "truncated": VALID[: len(VALID) // 2],
    "truncated string table": VALID[:20],
    "bad reference": document(objects=[seq(1, 7)] + [NONE]),
    "bad string index": document(objects=[b"\x06" + struct.pack("<I", 9)]),
    "reference loop": document(objects=[seq(1), b"\x0e\x02\0\0\0", b"\x0e\x01\0\0\0"]),
    "unhashable key": document(
        objects=[b"\x0a\x01\0\0\0\x01\0\0\0\x02\0\0\0", seq(), NONE]
    ),
    "tuple holds itself": document(objects=[seq(0, tag=0x09)]),
    "bad type id": document(objects=[seq(1), dataclass(3)]),
}


@pytest.mark.parametrize("data", PARAMS.values(), ids=PARAMS.keys())
def test_failing_loads_stays_flat(data):
    with pytest.raises(Exception) as info:
        korvane.loads(data)
    assert not isinstance(info.value, (SystemError,))
    check_flat(raises(type(info.value), korvane.loads, data), data)


POINT_DOC = korvane.dumps([[LEAF, BLOB], Point(SHARED, LEAF)])


def test_allowlist_refusal_stays_flat():
    allow = {"Other"}
    check_flat(
        raises(TypeError, korvane.loads, POINT_DOC, allowlist=allow), allow, POINT_DOC
    )


def test_class_constructor_raising_stays_flat(monkeypatch):
    class Exploding:
        def __init__(self, **fields):
            raise RuntimeError("constructor refuses")

    monkeypatch.setattr(
        korvane._reconstruct, "make_class", lambda name, fields: Exploding
    )
    check_flat(raises(RuntimeError, korvane.loads, POINT_DOC), Exploding, POINT_DOC)


def test_make_class_raising_stays_flat(monkeypatch):
    def make_class(name, fields):
        raise LookupError(name)

    monkeypatch.setattr(korvane._reconstruct, "make_class", make_class)
    check_flat(raises(LookupError, korvane.loads, POINT_DOC), make_class, POINT_DOC)


def stored_under_version_1(value):
    data = korvane.dumps(value)
    assert data.count(b"\x5a" * 4) == 1
    return data.replace(b"\x5a" * 4, struct.pack("<I", 1))


@pytest.mark.parametrize(
    "migrate, exc",
    [
        (lambda name, mapping, stored, current: 1 / 0, ZeroDivisionError),
        (lambda name, mapping, stored, current: ["not", "a", "dict"], TypeError),
        (lambda name, mapping, stored, current: {1: "key not a str"}, TypeError),
    ],
    ids=["raises", "returns a list", "bad key"],
)
def test_migration_error_stays_flat(monkeypatch, migrate, exc):
    monkeypatch.setattr(
        korvane._reconstruct, "make_class", lambda name, fields: Versioned
    )
    monkeypatch.setattr(korvane.migrations, "apply_migrations", migrate)
    # Stored under version 1; the class is at version 2, so it migrates.
    data = stored_under_version_1([LEAF, Versioned([BLOB])])
    check_flat(raises(exc, korvane.loads, data), data, Versioned, migrate)


def test_successful_migration_stays_flat(monkeypatch):
    monkeypatch.setattr(korvane._reconstruct, "make_class", lambda name, fields: Loose)
    monkeypatch.setattr(
        korvane.migrations,
        "apply_migrations",
        lambda name, mapping, stored, current: {**mapping, "old_name": LEAF},
    )
    data = stored_under_version_1([Versioned([BLOB])])
    back = korvane.loads(data)
    assert back[0].a == [BLOB] and back[0].__korvane_extra__ == {"old_name": LEAF}
    check_flat(lambda: korvane.loads(data), data, Loose, LEAF, BLOB)


def test_dump_and_load_through_files_stay_flat(tmp_path):
    import io

    value = _value()

    def action():
        buf = io.BytesIO()
        korvane.dump(value, buf)
        buf.seek(0)
        korvane.load(buf)

    check_flat(action, value, SHARED, LEAF)
