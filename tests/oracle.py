"""The plain reference: an encoder and a decoder written from the contract
alone, for the differential tests only.

The encoder remembers every object at its first visit and writes every
repeat as a Reference; the decoder memoises every entry. Neither has a fast
path, so any difference from ``_korvane`` is a shortcut that shows.
"""

from __future__ import annotations

import importlib
import operator
import struct

from conftest import REF, header, string_table, type_entry, u16, u32, varint

_TAGS = {
    "list": 0x08,
    "tuple": 0x09,
    "set": 0x0B,
    "frozenset": 0x0C,
}


# ---------------------------------------------------------------------------
# Encoding.


def _version(obj) -> int:
    for attr in ("__korvane_version__", "__meridel_version__"):
        try:
            value = getattr(obj, attr)
        except Exception:
            continue
        try:
            v = operator.index(value)
        except Exception:
            return 0
        return v if 0 <= v < 2**32 else 0
    return 0


class Encoder:
    def __init__(self) -> None:
        self.memo: dict[int, int] = {}
        self.alive: list[object] = []  # every remembered object, until the end
        self.objects: list[bytes | None] = []
        self.strings: dict[str, int] = {}
        self.types: dict[str, tuple[int, list[str], int]] = {}

    def intern(self, text: str) -> int:
        return self.strings.setdefault(text, len(self.strings))

    def push(self, entry: bytes | None) -> int:
        self.objects.append(entry)
        return len(self.objects) - 1

    def remember(self, obj, n: int) -> int:
        self.memo[id(obj)] = n
        self.alive.append(obj)
        return n

    def capture(self, obj) -> int:
        if id(obj) in self.memo:
            return self.push(REF(self.memo[id(obj)]))
        name = type(obj).__name__
        if name in ("NoneType", "bool", "int", "float", "str", "bytes"):
            return self.remember(obj, self.push(self.scalar(name, obj)))
        if name in _TAGS or name == "dict":
            n = self.remember(obj, self.push(None))
            if name == "dict":
                pairs = [(self.capture(k), self.capture(v)) for k, v in obj.items()]
                body = b"".join(u32(k) + u32(v) for k, v in pairs)
                self.objects[n] = b"\x0a" + u32(len(pairs)) + body
            else:
                items = [self.capture(item) for item in obj]
                body = b"".join(u32(i) for i in items)
                self.objects[n] = bytes([_TAGS[name]]) + u32(len(items)) + body
            return n
        import dataclasses

        if not dataclasses.is_dataclass(obj):
            raise TypeError("Unsupported type: " + name)
        fields = list(obj.__dataclass_fields__)
        version = _version(obj)
        entry = self.types.setdefault(name, (len(self.types), fields, version))
        if entry[1:] != (fields, version):
            raise TypeError(f"Cannot encode dataclass '{name}': another class ...")
        n = self.remember(obj, self.push(None))
        values = [self.capture(getattr(obj, f)) for f in fields]
        body = b"".join(u32(v) for v in values)
        self.objects[n] = b"\x0d" + u16(entry[0]) + u16(len(values)) + body
        return n

    def scalar(self, name: str, obj) -> bytes:
        if name == "NoneType":
            return b"\x01"
        if name == "bool":
            return b"\x02" if obj else b"\x03"
        if name == "int":
            if not -(2**63) <= obj < 2**63:
                raise OverflowError(obj)
            return b"\x04" + varint(obj)
        if name == "float":
            return b"\x05" + struct.pack("<d", obj)
        if name == "str":
            obj.encode("utf-8")  # a lone surrogate fails here, as in the module
            return b"\x06" + u32(self.intern(str(obj)))
        return b"\x07" + u32(len(obj)) + bytes(obj)

    def document(self) -> bytes:
        types = []
        for name, (type_id, fields, version) in self.types.items():
            names = [self.intern(name)] + [self.intern(f) for f in fields]
            types.append(type_entry(type_id, names[0], version, names[1:]))
        table = u32(len(types)) + b"".join(types)
        head = header() + string_table(list(self.strings))
        return head + table + u32(len(self.objects)) + b"".join(self.objects)


def encode(obj) -> bytes:
    encoder = Encoder()
    encoder.capture(obj)
    return encoder.document()


# ---------------------------------------------------------------------------
# Decoding: a parser for well-formed documents, then the memoising build.


class Parsed:
    def __init__(self, data: bytes) -> None:
        self.data, self.pos = data, 11
        self.strings = [self.take(self.u32()) for _ in range(self.u32())]
        self.types = []
        for _ in range(self.u32()):
            _, name, version, count = struct.unpack_from("<HIIH", data, self.pos)
            self.pos += 12
            fields = [self.u32() for _ in range(count)]
            self.types.append((name, version, fields))
        self.objects_at = self.pos
        self.entries = [self.entry() for _ in range(self.u32())]

    def take(self, n: int) -> bytes:
        self.pos += n
        return self.data[self.pos - n : self.pos]

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def entry(self):
        tag = self.take(1)[0]
        if tag <= 3:
            return (tag, None)
        if tag == 0x04:
            z = shift = 0
            while True:
                b = self.take(1)[0]
                z |= (b & 0x7F) << shift
                shift += 7
                if b < 0x80:
                    break
            return (tag, (z >> 1) ^ -(z & 1))
        if tag == 0x05:
            return (tag, struct.unpack("<d", self.take(8))[0])
        if tag in (0x06, 0x0E):
            return (tag, self.u32())
        if tag == 0x07:
            return (tag, self.take(self.u32()))
        if tag == 0x0D:
            type_id, count = struct.unpack("<HH", self.take(4))
            return (tag, (type_id, [self.u32() for _ in range(count)]))
        count = self.u32() * (2 if tag == 0x0A else 1)
        return (tag, [self.u32() for _ in range(count)])


STAND_IN_MESSAGE = (
    "Invalid data: a tuple or frozenset is reached from inside itself through a key, "
    "a set element, a tuple, a frozenset or a dataclass field"
)
WAITING_MESSAGE = (
    "Invalid data: a dataclass would be built while a list or dict it can reach still "
    "waits for an unfinished tuple or frozenset"
)


class _Pending:
    """What a reference to an unfinished tuple or frozenset receives."""

    def __init__(self, target: int) -> None:
        self.target = target


def _helper(name: str):
    try:
        return importlib.import_module("korvane." + name)
    except ImportError:
        return importlib.import_module("meridel." + name)


class Decoder:
    def __init__(self, data: bytes) -> None:
        self.doc = Parsed(data)
        self.memo: dict[int, object] = {}
        self.patches: list[tuple[int, object, object, _Pending]] = []

    def resolve(self, n: int):
        while self.doc.entries[n][0] == 0x0E:
            n = self.doc.entries[n][1]
        if n not in self.memo:
            self.build(n)
        return self.memo[n]

    def final(self, n: int):
        obj = self.resolve(n)
        if isinstance(obj, _Pending):
            raise ValueError(STAND_IN_MESSAGE)
        return obj

    def build(self, n: int) -> None:
        tag, payload = self.doc.entries[n]
        if tag <= 0x07:
            self.memo[n] = self.scalar(tag, payload)
        elif tag == 0x08:
            self.memo[n] = obj = []
            for i, child in enumerate(payload):
                obj.append(self.resolve(child))
                self.wait(obj, i, obj[i])
        elif tag == 0x0A:
            self.memo[n] = obj = {}
            for k, v in zip(payload[::2], payload[1::2]):
                key = self.final(k)
                obj[key] = value = self.resolve(v)
                self.wait(obj, key, value)
        elif tag == 0x0B:
            self.memo[n] = obj = set()
            for child in payload:
                obj.add(self.final(child))
        elif tag in (0x09, 0x0C):
            self.memo[n] = _Pending(n)
            items = [self.final(child) for child in payload]
            self.memo[n] = obj = tuple(items) if tag == 0x09 else frozenset(items)
            self.finish(n, obj)
        else:
            self.memo[n] = self.dataclass(*payload)

    def scalar(self, tag: int, payload):
        if tag == 0x06:
            return self.doc.strings[payload].decode("utf-8")
        if tag == 0x07:
            return bytes(bytearray(payload))  # a new object, even of one byte
        return {1: None, 2: True, 3: False}.get(tag, payload)

    def wait(self, container, slot, value) -> None:
        if isinstance(value, _Pending):
            self.patches.append((value.target, container, slot, value))

    def finish(self, n: int, obj) -> None:
        for target, container, slot, pending in self.patches:
            if target == n and container[slot] is pending:
                container[slot] = obj
        self.patches = [p for p in self.patches if p[0] != n]

    def dataclass(self, type_id: int, children: list[int]):
        name_idx, version, field_idxs = self.doc.types[type_id]
        if self.patches:
            raise ValueError(WAITING_MESSAGE)
        module = _helper("_reconstruct")
        name = self.doc.strings[name_idx].decode()
        names = [self.doc.strings[i].decode() for i in field_idxs]
        values = [self.final(child) for child in children]
        if self.patches:
            raise ValueError(WAITING_MESSAGE)
        cls = module.make_class(name, list(names))
        instance = cls(**dict(zip(names, values)))
        current = _version(instance)
        if version and current and version != current:
            raise NotImplementedError("the reference does not migrate")
        return instance


def decode(data: bytes):
    return Decoder(data).resolve(0)


def _entry_bytes(tag: int, payload) -> bytes:
    if tag <= 0x03:
        return bytes([tag])
    if tag == 0x04:
        return b"\x04" + varint(payload)
    if tag == 0x05:
        return b"\x05" + struct.pack("<d", payload)
    if tag in (0x06, 0x0E):
        return bytes([tag]) + u32(payload)
    if tag == 0x07:
        return b"\x07" + u32(len(payload)) + payload
    if tag == 0x0D:
        type_id, children = payload
        return (
            b"\x0d" + u16(type_id) + u16(len(children)) + b"".join(map(u32, children))
        )
    count = len(payload) // 2 if tag == 0x0A else len(payload)
    return bytes([tag]) + u32(count) + b"".join(map(u32, payload))


def renumber(data: bytes, order: list[int]) -> bytes:
    """The same document with entry `order[i]` moved to number i (the root
    stays at 0): a document out of writer order."""
    doc = Parsed(data)
    new = {old: i for i, old in enumerate(order)}
    entries = []
    for old in order:
        tag, payload = doc.entries[old]
        if tag == 0x0E:
            payload = new[payload]
        elif tag == 0x0D:
            payload = (payload[0], [new[c] for c in payload[1]])
        elif tag >= 0x08:
            payload = [new[c] for c in payload]
        entries.append(_entry_bytes(tag, payload))
    return data[: doc.objects_at] + u32(len(entries)) + b"".join(entries)
