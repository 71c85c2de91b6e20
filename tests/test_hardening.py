"""Regressions from fuzzing and hostile-input work, as inline bytes: each
document is one the fuzzers reached or one that sits on an edge of the
reader or the engine, with the clean outcome it must keep giving."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import korvane

HEADER = b"KRVN\x01\x00\x00\x00\x00\x00\x00"
EMPTY_TABLES = b"\x00\x00\x00\x00" * 2  # no strings, no types


def objects(count, *entries):
    return HEADER + EMPTY_TABLES + count.to_bytes(4, "little") + b"".join(entries)


REFUSED = {
    # the tenth varint byte may not continue
    "varint continues past ten bytes": (
        objects(1, b"\x04" + b"\xff" * 10),
        "Invalid data: int truncated",
    ),
    "dict pair cut after the key": (
        objects(1, b"\x0a\x01\0\0\0\x01\0\0\0"),
        "Invalid data: dict value truncated",
    ),
    "dict pair missing": (
        objects(1, b"\x0a\x01\0\0\0"),
        "Invalid data: dict key truncated",
    ),
    "dict count past the input": (
        objects(1, b"\x0a\xff\xff\xff\x7f" + b"\0" * 16),
        "Invalid data: dict key truncated",
    ),
    "list count past the input": (
        objects(1, b"\x08\xff\xff\xff\xff\0\0\0\0"),
        "Invalid data: list ref truncated",
    ),
    "object count past the input": (
        objects(0xFFFFFFFF, b"\x01"),
        "Invalid data: tag truncated",
    ),
    "string count past the input": (
        HEADER + b"\xff\xff\xff\xff\x01\0\0\0a",
        "Invalid data: string length truncated",
    ),
    "type table cut in a field list": (
        HEADER
        + b"\0\0\0\0"
        + b"\x01\0\0\0"
        + b"\0\0"
        + b"\0" * 8
        + b"\x05\0"
        + b"\0" * 4,
        "Invalid data: field index truncated",
    ),
    "string index equal to the table size": (
        HEADER + b"\x01\0\0\0\x01\0\0\0a" + b"\0\0\0\0" + b"\x01\0\0\0\x06\x01\0\0\0",
        "Invalid string index: 1",
    ),
    "reference chain to a missing entry": (
        objects(3, b"\x08\x01\0\0\0\x01\0\0\0", b"\x0e\x02\0\0\0", b"\x0e\x09\0\0\0"),
        "Invalid reference: 9",
    ),
    "reference loop": (
        objects(3, b"\x08\x01\0\0\0\x01\0\0\0", b"\x0e\x02\0\0\0", b"\x0e\x01\0\0\0"),
        "reference loop",
    ),
    "empty object table": (objects(0), "Invalid reference: 0"),
    "encoded surrogate in a string": (
        HEADER + b"\x01\0\0\0\x03\0\0\0\xed\xa0\x80",
        "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 0",
    ),
    "overlong encoding in a string": (
        HEADER + b"\x01\0\0\0\x02\0\0\0\xc0\x80",
        "Invalid UTF-8 in string table: invalid utf-8 sequence of 1 bytes from index 0",
    ),
    "string cut inside a character": (
        HEADER + b"\x01\0\0\0\x03\0\0\0a\xe2\x82",
        "Invalid UTF-8 in string table: incomplete utf-8 byte sequence from index 1",
    ),
    "tuple holding itself": (
        objects(1, b"\x09\x01\0\0\0\0\0\0\0"),
        "reached from inside itself",
    ),
}


@pytest.mark.parametrize("data, message", REFUSED.values(), ids=REFUSED.keys())
@pytest.mark.parametrize(
    "allowlist", [None, set()], ids=["no allowlist", "empty allowlist"]
)
def test_refused_cleanly(data, message, allowlist):
    with pytest.raises(ValueError, match=message):
        korvane.loads(data, allowlist=allowlist)


ACCEPTED = {
    "widest varint": (objects(1, b"\x04" + b"\xff" * 9 + b"\x7f"), -(2**63)),
    "tenth varint byte keeps only bit 0": (
        objects(1, b"\x04" + b"\xfe" + b"\xff" * 8 + b"\x01"),
        2**63 - 1,
    ),
    "trailing bytes ignored": (objects(1, b"\x01") + b"\xde\xad", None),
    "legacy magic": (b"MRDL" + (HEADER + EMPTY_TABLES)[4:] + b"\x01\0\0\0\x02", True),
    "unreachable broken entry": (objects(2, b"\x03", b"\x06\xff\xff\xff\xff"), False),
    "shared empty tuple": (
        objects(
            3, b"\x08\x02\0\0\0\x01\0\0\0\x02\0\0\0", b"\x09\0\0\0\0", b"\x0e\x01\0\0\0"
        ),
        [(), ()],
    ),
}


@pytest.mark.parametrize("data, expected", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted(data, expected):
    assert korvane.loads(data) == expected


def test_every_prefix_of_a_document_is_refused_cleanly():
    value = {"k": [1, 2.5, "x", b"y", (None, True), {3}, frozenset({4})], "n": -(2**63)}
    data = korvane.dumps(value)
    for end in range(len(data)):
        with pytest.raises(ValueError):
            korvane.loads(data[:end])
    assert korvane.loads(data) == value


# Found by fuzz_loads (ASan: heap-buffer-overflow, an 8-byte read just past
# the object table): a container's child numbered exactly one past the last
# entry was read by the decoder's fast path for scalars before its range was
# checked. A plain build then took the stray word for an entry: "after a
# scalar" loaded as [1, True], and other heaps crashed. Each case runs in its
# own interpreter so that a crash fails only that case.
PAST_THE_END = {
    "tuple": objects(1, b"\x09\x01\0\0\0\x01\0\0\0"),
    "list": objects(1, b"\x08\x01\0\0\0\x01\0\0\0"),
    "set": objects(1, b"\x0b\x01\0\0\0\x01\0\0\0"),
    "frozenset": objects(1, b"\x0c\x01\0\0\0\x01\0\0\0"),
    "dict key": objects(1, b"\x0a\x01\0\0\0\x01\0\0\0\x01\0\0\0"),
    "after a scalar": objects(2, b"\x08\x02\0\0\0\x01\0\0\0\x02\0\0\0", b"\x04\x02"),
    "after two scalars": objects(
        3, b"\x08\x03\0\0\0\x01\0\0\0\x02\0\0\0\x03\0\0\0", b"\x04\x02", b"\x01"
    ),
}


@pytest.mark.parametrize("data", PAST_THE_END.values(), ids=PAST_THE_END.keys())
def test_child_one_past_the_table_is_an_invalid_reference(data):
    count = int.from_bytes(data[19:23], "little")
    code = f"""
import korvane
for allowlist in (None, set()):
    try:
        value = korvane.loads({data!r}, allowlist=allowlist)
    except ValueError as e:
        assert str(e) == "Invalid reference: {count}", e
    else:
        raise AssertionError(f"loaded {{value!r}}")
"""
    proc = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parent.parent)),
    )
    assert proc.returncode == 0, f"exit {proc.returncode}: {proc.stderr[-2000:]}"
