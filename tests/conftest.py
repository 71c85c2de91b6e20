"""Shared helpers for the korvane tests.

The document builder assembles KRVN documents by hand, byte for byte, so the
tests can state exactly what the writer must produce and feed the reader
exactly the malformed input they mean to.
"""

import io
import pathlib
import struct
import subprocess
import sys
import textwrap

import pytest

import _korvane

# ---------------------------------------------------------------------------
# Fixed-width little-endian integers and the zigzag varint.


def u8(n: int) -> bytes:
    return struct.pack("<B", n)


def u16(n: int) -> bytes:
    return struct.pack("<H", n)


def u32(n: int) -> bytes:
    return struct.pack("<I", n)


def varint(v: int) -> bytes:
    """Reference zigzag varint of a signed 64-bit value."""
    assert -(2**63) <= v < 2**63
    z = ((v << 1) ^ (v >> 63)) & 0xFFFFFFFFFFFFFFFF
    out = bytearray()
    while z >= 0x80:
        out.append((z & 0x7F) | 0x80)
        z >>= 7
    out.append(z)
    return bytes(out)


# ---------------------------------------------------------------------------
# Object-table entries: each helper returns the tag byte and its payload.

NONE = b"\x01"
TRUE = b"\x02"
FALSE = b"\x03"


def INT(v: int) -> bytes:
    return b"\x04" + varint(v)


def FLOAT(f: float) -> bytes:
    return b"\x05" + struct.pack("<d", f)


def STR(index: int) -> bytes:
    return b"\x06" + u32(index)


def BYTES(data: bytes) -> bytes:
    return b"\x07" + u32(len(data)) + data


def _seq(tag: int, refs) -> bytes:
    refs = list(refs)
    return bytes([tag]) + u32(len(refs)) + b"".join(u32(r) for r in refs)


def LIST(*refs: int) -> bytes:
    return _seq(0x08, refs)


def TUPLE(*refs: int) -> bytes:
    return _seq(0x09, refs)


def DICT(*pairs: tuple[int, int]) -> bytes:
    return b"\x0a" + u32(len(pairs)) + b"".join(u32(k) + u32(v) for k, v in pairs)


def SET(*refs: int) -> bytes:
    return _seq(0x0B, refs)


def FROZENSET(*refs: int) -> bytes:
    return _seq(0x0C, refs)


def DATACLASS(type_id: int, *refs: int) -> bytes:
    return b"\x0d" + u16(type_id) + u16(len(refs)) + b"".join(u32(r) for r in refs)


def REF(n: int) -> bytes:
    return b"\x0e" + u32(n)


# ---------------------------------------------------------------------------
# Whole documents.


def header(magic: bytes = b"KRVN", version: int = 1, schema: int = 0, flags: int = 0):
    return magic + u16(version) + u32(schema) + u8(flags)


def string_table(strings) -> bytes:
    out = [u32(len(strings))]
    for s in strings:
        raw = s.encode() if isinstance(s, str) else s
        out.append(u32(len(raw)) + raw)
    return b"".join(out)


def type_entry(type_id: int, name_idx: int, version: int, field_idxs) -> bytes:
    field_idxs = list(field_idxs)
    return (
        u16(type_id)
        + u32(name_idx)
        + u32(version)
        + u16(len(field_idxs))
        + b"".join(u32(i) for i in field_idxs)
    )


def type_table(types) -> bytes:
    """``types`` holds (name_idx, schema_version, [field_idx, ...]) rows."""
    return u32(len(types)) + b"".join(
        type_entry(pos, name, version, fields)
        for pos, (name, version, fields) in enumerate(types)
    )


def document(objects=(), strings=(), types=(), magic: bytes = b"KRVN") -> bytes:
    """A complete document: header, strings, types, then the object entries."""
    return (
        header(magic)
        + string_table(strings)
        + type_table(types)
        + u32(len(objects))
        + b"".join(objects)
    )


NONE_DOCUMENT = document([NONE])


# ---------------------------------------------------------------------------
# Running crash-prone code in a child interpreter.


def is_hashable(obj) -> bool:
    try:
        hash(obj)
    except TypeError:
        return False
    return True


def run_isolated(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Run ``code`` in a fresh interpreter that sees the same modules."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=str(pathlib.Path(__file__).resolve().parent.parent),
    )


# ---------------------------------------------------------------------------
# Recording file objects.


class RecordingWriter:
    """A file-like object that records every call of ``write``."""

    def __init__(self):
        self.calls = []

    def write(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return len(args[0]) if args else 0  # all taken, as a blocking file does


class ReaderOf:
    """A file-like object whose ``read`` returns a fixed value and counts calls."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def read(self, *args):
        self.calls += 1
        assert args == (), "read must be called without arguments"
        return self.value


class Untouchable:
    """Any attribute access is recorded; used to prove a file is never touched."""

    def __init__(self):
        object.__setattr__(self, "touched", [])

    def __getattribute__(self, name):
        if name == "touched":
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "touched").append(name)
        raise AssertionError(f"attribute {name!r} was looked up")


# ---------------------------------------------------------------------------
# Fixtures.


@pytest.fixture(params=["dumps/loads", "dump/load"])
def roundtrip(request):
    """Encode and decode a value through one of the two API pairs.

    The dump/load path also checks that the written bytes equal ``dumps``.
    """

    def via_bytes(value, **kwargs):
        return _korvane.loads(_korvane.dumps(value), **kwargs)

    def via_file(value, **kwargs):
        buf = io.BytesIO()
        assert _korvane.dump(value, buf) is None
        assert buf.getvalue() == _korvane.dumps(value)
        buf.seek(0)
        return _korvane.load(buf, **kwargs)

    return via_bytes if request.param == "dumps/loads" else via_file


@pytest.fixture
def make_class_calls(monkeypatch):
    """Replace ``korvane._reconstruct.make_class`` with a recording factory.

    The factory builds a fresh dataclass with the requested name and fields;
    the list it returns records every (name, field_names) call.
    """
    import dataclasses

    import korvane._reconstruct

    calls = []

    def fake_make_class(name, field_names):
        calls.append((name, list(field_names)))
        return dataclasses.make_dataclass(name or "Anonymous", list(field_names))

    monkeypatch.setattr(korvane._reconstruct, "make_class", fake_make_class)
    return calls
