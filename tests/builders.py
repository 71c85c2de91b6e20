"""The one document builder of the tests: KRVN documents assembled by hand,
byte for byte, so that a test can state exactly what the writer must produce
and feed the reader exactly the malformed input it means to. Plain Python,
so the fuzz corpus script uses it too.
"""

import struct

# ---------------------------------------------------------------------------
# Fixed-width little-endian integers and the zigzag varint.


def u8(n: int) -> bytes:
    return struct.pack("<B", n)


def u16(n: int) -> bytes:
    return struct.pack("<H", n)


def u32(*values: int) -> bytes:
    return b"".join(struct.pack("<I", v) for v in values)


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
