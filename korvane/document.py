"""A read-only view of a KRVN document, for tools.

:func:`parse` walks the bytes the way the extension's reader does and gives the
header, the string table, the type table and the object table with the byte
offset of every entry. It never builds the document's values as Python objects
beyond ints, floats, texts and byte strings, never imports anything named by
the data and never calls ``make_class``, so it is safe on untrusted input.

A malformed document fails with :class:`ReaderError`, a ``ValueError`` whose
message is exactly the one ``korvane.loads`` raises for the same bytes; the
error carries the part of the document read before the fault.

:func:`check` goes one step further without building anything: the allowlist
gate, and every object number, string index and type id reachable from the
root, in the order in which ``loads`` would meet them.
"""

from __future__ import annotations

import struct
from collections.abc import Collection, Iterator
from dataclasses import dataclass, field

__all__ = [
    "CheckError",
    "CheckReport",
    "Document",
    "Header",
    "ObjectEntry",
    "ReaderError",
    "StringEntry",
    "TypeEntry",
    "check",
    "describe_utf8_fault",
    "parse",
    "read_document",
]

HEADER_SIZE = 11
MAGICS = (b"KRVN", b"MRDL")
MAX_VARINT_SIZE = 10

TAG_NONE = 0x01
TAG_TRUE = 0x02
TAG_FALSE = 0x03
TAG_INT = 0x04
TAG_FLOAT = 0x05
TAG_STR = 0x06
TAG_BYTES = 0x07
TAG_LIST = 0x08
TAG_TUPLE = 0x09
TAG_DICT = 0x0A
TAG_SET = 0x0B
TAG_FROZENSET = 0x0C
TAG_DATACLASS = 0x0D
TAG_REFERENCE = 0x0E

TAG_NAMES: dict[int, str] = {
    TAG_NONE: "None",
    TAG_TRUE: "True",
    TAG_FALSE: "False",
    TAG_INT: "Int",
    TAG_FLOAT: "Float",
    TAG_STR: "Str",
    TAG_BYTES: "Bytes",
    TAG_LIST: "List",
    TAG_TUPLE: "Tuple",
    TAG_DICT: "Dict",
    TAG_SET: "Set",
    TAG_FROZENSET: "FrozenSet",
    TAG_DATACLASS: "Dataclass",
    TAG_REFERENCE: "Reference",
}

_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_F64 = struct.Struct("<d")
_U64 = struct.Struct("<Q")


# ---- the parsed view ------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Header:
    magic: bytes
    version: int
    schema_version: int
    flags: int


@dataclass(frozen=True, slots=True)
class StringEntry:
    index: int
    offset: int  # of the length field; the text follows 4 bytes later
    data: bytes

    @property
    def text(self) -> str:
        return self.data.decode("utf-8")


@dataclass(frozen=True, slots=True)
class TypeEntry:
    position: int  # in the table as stored
    offset: int
    type_id: int  # as stored; the reader does not rely on it
    name_idx: int
    schema_version: int
    field_indexes: tuple[int, ...]
    name: str  # "" when name_idx is past the string table
    field_names: tuple[str, ...]
    # Position in the registry the loader builds, or None when an earlier
    # entry already has this name and this one is dropped.
    registry_id: int | None


@dataclass(frozen=True, slots=True)
class ObjectEntry:
    number: int
    offset: int  # of the tag byte
    size: int  # tag and payload
    tag: int
    value: int | float | bytes | None = None  # Int, Float (value), Bytes (data)
    float_bits: int | None = None
    index: int | None = None  # Str: string index; Dataclass: type id
    children: tuple[int, ...] = ()  # object numbers; Dict: key, value, key, ...

    @property
    def kind(self) -> str:
        return TAG_NAMES[self.tag]

    @property
    def target(self) -> int:
        """The object number a Reference entry names."""
        return self.children[0]


@dataclass
class Document:
    header: Header | None = None
    strings: list[StringEntry] = field(default_factory=list)
    string_count: int | None = None  # as announced
    types: list[TypeEntry] = field(default_factory=list)
    type_count: int | None = None
    registry: list[TypeEntry] = field(default_factory=list)  # without dropped rows
    objects: list[ObjectEntry] = field(default_factory=list)
    object_count: int | None = None
    types_offset: int | None = None  # of the type count
    objects_offset: int | None = None  # of the object count
    end: int = 0  # offset after the last entry read
    size: int = 0  # of the input

    @property
    def trailing(self) -> int:
        """Bytes after the last object entry, which the reader ignores."""
        return self.size - self.end

    def text(self, index: int) -> str:
        return self.strings[index].text

    def resolve(self, number: int) -> int | str:
        """The end of the reference chain starting at ``number``.

        Gives the first object number that is not a Reference entry, or the
        text ``"missing N"`` for a number past the table, or ``"loop"``.
        """
        seen: set[int] = set()
        n = number
        while True:
            if n >= len(self.objects):
                return f"missing {n}"
            entry = self.objects[n]
            if entry.tag != TAG_REFERENCE:
                return n
            if n in seen:
                return "loop"
            seen.add(n)
            n = entry.target


class ReaderError(ValueError):
    """A malformed document; ``str(error)`` is the extension's message."""

    def __init__(self, message: str, offset: int, document: Document) -> None:
        super().__init__(message)
        self.message = message
        self.offset = offset
        self.document = document  # what was read before the fault


# ---- UTF-8 ------------------------------------------------------------------


def _width(lead: int) -> int:
    if lead < 0x80:
        return 1
    if 0xC2 <= lead <= 0xDF:
        return 2
    if 0xE0 <= lead <= 0xEF:
        return 3
    if 0xF0 <= lead <= 0xF4:
        return 4
    return 0


def _second_ok(lead: int, b: int) -> bool:
    if lead == 0xE0:
        return 0xA0 <= b <= 0xBF
    if lead == 0xED:
        return 0x80 <= b <= 0x9F
    if lead == 0xF0:
        return 0x90 <= b <= 0xBF
    if lead == 0xF4:
        return 0x80 <= b <= 0x8F
    return b & 0xC0 == 0x80


def describe_utf8_fault(data: bytes) -> str | None:
    """None for well-formed UTF-8, else the extension's description.

    The length of an invalid sequence is one more than the longest prefix of
    a well-formed sequence at that point; input that ends inside such a
    prefix is "incomplete".
    """
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as exc:
        i = exc.start  # Python's strict decoder agrees on where the fault is
    else:
        return None
    lead = data[i]
    w = _width(lead)
    if w == 0:
        return f"invalid utf-8 sequence of 1 bytes from index {i}"
    for k in range(1, w):
        if i + k >= len(data):
            return f"incomplete utf-8 byte sequence from index {i}"
        b = data[i + k]
        if not (_second_ok(lead, b) if k == 1 else b & 0xC0 == 0x80):
            return f"invalid utf-8 sequence of {k} bytes from index {i}"
    raise AssertionError("the decoder and the validator disagree")  # pragma: no cover


# ---- the reader -------------------------------------------------------------


class _Cursor:
    def __init__(self, data: bytes, doc: Document) -> None:
        self.data = data
        self.pos = HEADER_SIZE
        self.doc = doc

    def fail(self, message: str, offset: int | None = None) -> ReaderError:
        self.doc.end = self.pos
        at = self.pos if offset is None else offset
        return ReaderError(message, at, self.doc)

    def invalid(self, what: str, offset: int | None = None) -> ReaderError:
        return self.fail("Invalid data: " + what, offset)

    def has(self, n: int) -> bool:
        return n <= len(self.data) - self.pos

    def u8(self, what: str) -> int:
        if not self.has(1):
            raise self.invalid(what)
        self.pos += 1
        return self.data[self.pos - 1]

    def u16(self, what: str) -> int:
        if not self.has(2):
            raise self.invalid(what)
        (v,) = _U16.unpack_from(self.data, self.pos)
        self.pos += 2
        return int(v)

    def u32(self, what: str) -> int:
        if not self.has(4):
            raise self.invalid(what)
        (v,) = _U32.unpack_from(self.data, self.pos)
        self.pos += 4
        return int(v)

    def u32s(self, n: int) -> tuple[int, ...]:
        values = struct.unpack_from(f"<{n}I", self.data, self.pos)
        self.pos += 4 * n
        return tuple(values)


def _read_header(data: bytes, doc: Document) -> None:
    size = len(data)

    def fail(message: str) -> ReaderError:
        return ReaderError(message, 0, doc)

    if size < 4:
        raise fail("Invalid data: too short for header")
    if data[:4] not in MAGICS:
        raise fail("Invalid magic bytes")
    if size < 6:
        raise fail("Invalid data: too short for version")
    if size < 10:
        raise fail("Invalid data: too short for schema version")
    if size == 10:
        raise fail("Invalid data: too short for flags")
    doc.header = Header(
        magic=data[:4],
        version=_U16.unpack_from(data, 4)[0],
        schema_version=_U32.unpack_from(data, 6)[0],
        flags=data[10],
    )
    doc.end = HEADER_SIZE
    if size < 15:
        raise ReaderError("Invalid data: no string count", HEADER_SIZE, doc)


def _read_strings(c: _Cursor) -> None:
    doc = c.doc
    count = c.u32("no string count")
    doc.string_count = count
    for i in range(count):
        start = c.pos
        length = c.u32("string length truncated")
        if not c.has(length):
            raise c.invalid("string data truncated", start)
        text = c.data[c.pos : c.pos + length]
        fault = describe_utf8_fault(text)
        if fault is not None:
            raise c.fail("Invalid UTF-8 in string table: " + fault, start)
        c.pos += length
        doc.strings.append(StringEntry(i, start, text))
        doc.end = c.pos


def _read_types(c: _Cursor) -> None:
    doc = c.doc
    doc.types_offset = c.pos
    count = c.u32("no type count")
    doc.type_count = count
    names: set[str] = set()

    def text_at(index: int) -> str:
        return doc.text(index) if index < len(doc.strings) else ""

    for i in range(count):
        start = c.pos
        type_id = c.u16("type_id truncated")
        name_idx = c.u32("type name_idx truncated")
        version = c.u32("schema_version truncated")
        field_count = c.u16("field_count truncated")
        if not c.has(4 * field_count):
            c.pos += (len(c.data) - c.pos) // 4 * 4
            raise c.invalid("field index truncated")
        indexes = c.u32s(field_count)
        name = text_at(name_idx)
        keep = name not in names
        names.add(name)
        entry = TypeEntry(
            position=i,
            offset=start,
            type_id=type_id,
            name_idx=name_idx,
            schema_version=version,
            field_indexes=indexes,
            name=name,
            field_names=tuple(text_at(f) for f in indexes),
            registry_id=len(doc.registry) if keep else None,
        )
        doc.types.append(entry)
        if keep:
            doc.registry.append(entry)
        doc.end = c.pos


def _read_object(c: _Cursor, number: int) -> ObjectEntry:
    start = c.pos
    tag = c.u8("tag truncated")
    if tag not in TAG_NAMES:
        raise c.fail(f"Unknown tag: 0x{tag:02X}", start)
    value: int | float | bytes | None = None
    bits: int | None = None
    index: int | None = None
    children: tuple[int, ...] = ()
    if tag == TAG_INT:
        z = 0
        for i in range(MAX_VARINT_SIZE):
            b = c.u8("int truncated")
            z |= (b & (1 if i == MAX_VARINT_SIZE - 1 else 0x7F)) << (7 * i)
            if not b & 0x80:
                break
        else:
            raise c.invalid("int truncated")
        value = (z >> 1) ^ -(z & 1)
    elif tag == TAG_FLOAT:
        if not c.has(8):
            raise c.invalid("float truncated")
        bits = _U64.unpack_from(c.data, c.pos)[0]
        value = _F64.unpack_from(c.data, c.pos)[0]
        c.pos += 8
    elif tag == TAG_STR:
        index = c.u32("string index truncated")
    elif tag == TAG_BYTES:
        n = c.u32("bytes length truncated")
        if not c.has(n):
            raise c.invalid("bytes data truncated")
        value = c.data[c.pos : c.pos + n]
        c.pos += n
    elif tag in (TAG_LIST, TAG_TUPLE, TAG_SET, TAG_FROZENSET):
        word = "list" if tag in (TAG_LIST, TAG_TUPLE) else "set"
        n = c.u32(f"{word} count truncated")
        if not c.has(4 * n):
            raise c.invalid(f"{word} ref truncated")
        children = c.u32s(n)
    elif tag == TAG_DICT:
        n = c.u32("dict count truncated")
        if not c.has(8 * n):
            # The first missing piece is a key when an even number of u32s fit.
            whole = (len(c.data) - c.pos) // 4
            piece = "key" if whole % 2 == 0 else "value"
            raise c.invalid(f"dict {piece} truncated")
        children = c.u32s(2 * n)
    elif tag == TAG_DATACLASS:
        index = c.u16("dataclass type_id truncated")
        n = c.u16("dataclass field_count truncated")
        if not c.has(4 * n):
            raise c.invalid("dataclass field truncated")
        children = c.u32s(n)
    elif tag == TAG_REFERENCE:
        if not c.has(4):
            raise c.invalid("reference truncated")
        children = c.u32s(1)
    return ObjectEntry(number, start, c.pos - start, tag, value, bits, index, children)


def parse(data: bytes) -> Document:
    """Reads the whole document, or raises :class:`ReaderError`."""
    data = bytes(data)
    doc = Document(size=len(data))
    _read_header(data, doc)
    c = _Cursor(data, doc)
    _read_strings(c)
    _read_types(c)
    doc.objects_offset = c.pos
    doc.object_count = c.u32("no object count")
    doc.end = c.pos
    for number in range(doc.object_count):
        doc.objects.append(_read_object(c, number))
        doc.end = c.pos
    return doc


read_document = parse


# ---- checking without building ----------------------------------------------


class CheckError(Exception):
    """A document that ``loads`` would refuse; ``kind`` names the exception."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind
        self.message = message


@dataclass
class CheckReport:
    document: Document
    reachable: int  # distinct entries visited from the root
    max_depth: int  # deepest nesting of containers and dataclasses


# What the walk knows of an entry: started containers are in the memo, a
# tuple or frozenset under construction holds a marker, a dataclass enters
# the memo only when finished.
_DONE = 1
_MARKER = 2
_LOOP = -(2**40)  # a chain end that no object number can give


def check(data: bytes, allowlist: Collection[str] | None = None) -> CheckReport:
    """Validates ``data`` as ``loads`` would, without building any object.

    Raises :class:`ReaderError` for a malformed document and
    :class:`CheckError` for what the allowlist gate or the reconstruction
    would refuse: an object number, string index or type id out of range, a
    loop of Reference entries, a tuple or frozenset reached from inside itself
    through a key, set element, tuple, frozenset or dataclass field, a cycle
    made only of dataclasses that the root reaches (refused before anything
    else is walked), or a dataclass met while a list or dict still waits for
    an unfinished tuple or frozenset.
    Errors that need the values themselves (an unhashable key, a class that
    refuses its fields) and the hashing budget for keys made of deeply shared
    tuples are not checked here.
    """
    doc = parse(data)
    if allowlist is not None:
        _gate(doc, allowlist)
    _check_dataclass_cycles(doc)
    walker = _Walker(doc)
    walker.run()
    return CheckReport(doc, len(walker.visited), walker.max_depth)


def _chain_ends(doc: Document) -> list[int | None]:
    """For every object number, the entry its reference chain ends at.

    None for a chain that loops or leaves the table; linear time however
    the chains share their links.
    """
    objects = doc.objects
    ends: list[int | None] = [None] * len(objects)
    done = [False] * len(objects)
    for n in range(len(objects)):
        chain: list[int] = []
        on_chain: set[int] = set()
        m = n
        end: int | None
        while True:
            if m >= len(objects) or m in on_chain:
                end = None
                break
            if done[m]:
                end = ends[m]
                break
            if objects[m].tag != TAG_REFERENCE:
                end = m
                break
            chain.append(m)
            on_chain.add(m)
            m = objects[m].target
        for link in chain + [n]:
            if link < len(objects) and not done[link]:
                ends[link], done[link] = end, True
    return ends


def _check_dataclass_cycles(doc: Document) -> None:
    """Refuse a cycle of Dataclass entries that the root reaches.

    A dataclass is memoized only when finished, so ``loads`` would build such
    a cycle without end; it refuses the document before calling any class.
    The search (from every reachable entry in number order, depth first over
    the fields) names the same object as the extension's.
    """
    if not any(e.tag == TAG_DATACLASS for e in doc.objects):
        return
    ends = _chain_ends(doc)
    count = len(doc.registry)

    def dataclass_child(n: int) -> int | None:
        # A dataclass of an unknown type fails before its fields are built.
        m = ends[n] if n < len(ends) else None
        if m is None:
            return None
        entry = doc.objects[m]
        ok = entry.tag == TAG_DATACLASS and entry.index is not None
        return m if ok and entry.index < count else None  # type: ignore[operator]

    root = ends[0] if ends else None
    stack = [] if root is None else [root]
    reachable = set(stack)
    while stack:
        for number in doc.objects[stack.pop()].children:
            c = ends[number] if number < len(ends) else None
            if c is not None and c not in reachable:
                reachable.add(c)
                stack.append(c)
    state: dict[int, bool] = {}  # True while on the search path
    for start in sorted(reachable):
        if start in state or dataclass_child(start) != start:
            continue
        state[start] = True
        path = [iter(doc.objects[start].children)]
        numbers = [start]
        while path:
            step = next(path[-1], None)
            if step is None:
                state[numbers.pop()] = False
                path.pop()
                continue
            d = dataclass_child(step)
            if d is None or state.get(d) is False:
                continue
            if state.get(d):
                raise CheckError(
                    "ValueError",
                    "Invalid data: a cycle made only of dataclasses passes "
                    f"through object {d}",
                )
            state[d] = True
            numbers.append(d)
            path.append(iter(doc.objects[d].children))


def _gate(doc: Document, allowlist: Collection[str]) -> None:
    for entry in doc.objects:
        if entry.tag != TAG_DATACLASS:
            continue
        assert entry.index is not None
        if entry.index >= len(doc.registry):
            raise CheckError("ValueError", f"Unknown type_id: {entry.index}")
        name = doc.registry[entry.index].name
        if name not in allowlist:
            raise CheckError("TypeError", f"Type '{name}' is not in the allowlist")


@dataclass
class _Frame:
    number: int
    entry: ObjectEntry
    children: Iterator[tuple[int, int]]  # (object number, one of the kinds below)
    # A key or element of this dict or set so far runs user code when hashed.
    user_keys: bool = False


# What a frame's step asks: enter a child that may be an unfinished tuple
# (a list item, a dict value), enter one that must be finished, or look at
# a dict key or set element once its pair or itself is complete.
_MAY_WAIT, _FINAL, _KEY_DONE = 0, 1, 2


class _Walker:
    """Visits entries in the order of the reconstruction, iteratively."""

    def __init__(self, doc: Document) -> None:
        self.doc = doc
        self.state: dict[int, int] = {}
        self.visited: set[int] = set()
        self.stack: list[_Frame] = []
        self.max_depth = 0
        self.ends: dict[int, int] = {}  # Reference entry -> end of its chain
        # Unfinished tuples and frozensets -> list items and dict values that
        # received their stand-in.
        self.waiting: dict[int, int] = {}
        self.any_dataclass = any(e.tag == TAG_DATACLASS for e in doc.objects)
        self.reaches: dict[int, bool | None] = {}  # None while being searched

    def target(self, n: int) -> int:
        objects = self.doc.objects
        if n >= len(objects):
            raise CheckError("ValueError", f"Invalid reference: {n}")
        if objects[n].tag != TAG_REFERENCE:
            return n
        self.visited.add(n)
        end = self.ends.get(n)
        if end is None:
            # Follow the chain once and remember its end for every link.
            chain: list[int] = []
            on_chain: set[int] = set()
            m = n
            while True:
                if m >= len(objects):
                    end = -1 - m
                    break
                if objects[m].tag != TAG_REFERENCE:
                    end = m
                    break
                known = self.ends.get(m)
                if known is not None:
                    end = known
                    break
                if m in on_chain:
                    end = _LOOP
                    break
                chain.append(m)
                on_chain.add(m)
                m = objects[m].target
            for link in chain:
                self.ends[link] = end
            self.visited.update(chain)
        if end == _LOOP:
            message = f"Invalid data: reference loop at object {n}"
            raise CheckError("ValueError", message)
        if end < 0:
            raise CheckError("ValueError", f"Invalid reference: {-1 - end}")
        return end

    def run(self) -> None:
        self.enter(0, final=False)
        while self.stack:
            frame = self.stack[-1]
            step = next(frame.children, None)
            if step is not None and step[1] == _KEY_DONE:
                self.key_done(frame, step[0])
                continue
            if step is None:
                self.stack.pop()
                tag = frame.entry.tag
                if tag == TAG_DATACLASS:
                    self.check_no_waiting()  # before the class is called
                elif tag in (TAG_TUPLE, TAG_FROZENSET):
                    self.waiting.pop(frame.number, None)
                self.state[frame.number] = _DONE
                continue
            self.enter(step[0], final=step[1] == _FINAL)

    def check_no_waiting(self) -> None:
        # Classes never see the stand-in that a list item or dict value holds
        # until the tuple or frozenset it refers back to is finished.
        if self.waiting:
            raise CheckError(
                "ValueError",
                "Invalid data: a dataclass would be built while a list or dict it "
                "can reach still waits for an unfinished tuple or frozenset",
            )

    def key_done(self, frame: _Frame, key: int) -> None:
        # Hashing or comparing a dataclass instance runs the class's code,
        # which must not see a stand-in in a list or dict it reaches.
        if self.any_dataclass and not frame.user_keys:
            frame.user_keys = self.runs_user_code(self.target(key))
        if frame.user_keys and self.waiting:
            raise CheckError(
                "ValueError",
                "Invalid data: a dataclass instance would be hashed or compared as "
                "a key or set element while a list or dict still waits for an "
                "unfinished tuple or frozenset",
            )

    def runs_user_code(self, n: int) -> bool:
        tag = self.doc.objects[n].tag
        if tag in (TAG_TUPLE, TAG_FROZENSET):
            return self.reaches_dataclass(n)
        return tag not in _PLAIN_KEYS

    def reaches_dataclass(self, root: int) -> bool:
        """Does hashing entry root reach a dataclass entry? An entry met again
        while its own search is open counts as reaching one."""
        if root in self.reaches:
            return self.reaches[root] is not False
        objects = self.doc.objects
        self.reaches[root] = None
        stack = [
            (root, iter(objects[root].children), objects[root].tag == TAG_DATACLASS)
        ]
        while stack:
            n, children, yes = stack[-1]
            child = None if yes else next(children, None)
            if child is not None:
                c = self.target(child)
                if objects[c].tag not in _HASHES_CHILDREN:
                    continue
                if c not in self.reaches:
                    self.reaches[c] = None
                    stack.append(
                        (c, iter(objects[c].children), objects[c].tag == TAG_DATACLASS)
                    )
                elif self.reaches[c] is not False:
                    stack[-1] = (n, children, True)
                continue
            self.reaches[n] = yes
            stack.pop()
            if yes and stack:
                stack[-1] = (stack[-1][0], stack[-1][1], True)
        return bool(self.reaches[root])

    def enter(self, n: int, final: bool) -> None:
        n = self.target(n)
        self.visited.add(n)
        state = self.state.get(n)
        if state == _DONE:
            return
        if state == _MARKER:
            if final:
                raise CheckError(
                    "ValueError",
                    "Invalid data: a tuple or frozenset is reached from inside "
                    "itself through a key, a set element, a tuple, a frozenset "
                    "or a dataclass field",
                )
            self.waiting[n] = self.waiting.get(n, 0) + 1  # a list item or dict value
            return
        entry = self.doc.objects[n]
        tag = entry.tag
        if tag == TAG_STR:
            assert entry.index is not None
            if entry.index >= len(self.doc.strings):
                raise CheckError("ValueError", f"Invalid string index: {entry.index}")
            self.state[n] = _DONE
            return
        if tag < TAG_LIST:
            self.state[n] = _DONE
            return
        if tag == TAG_DATACLASS:
            assert entry.index is not None
            if entry.index >= len(self.doc.registry):
                raise CheckError("ValueError", f"Invalid type_id: {entry.index}")
            self.check_no_waiting()
        elif tag in (TAG_TUPLE, TAG_FROZENSET):
            self.state[n] = _MARKER
        else:
            self.state[n] = _DONE  # lists, dicts and sets are memoized at once
        self.stack.append(_Frame(n, entry, _children(entry)))
        self.max_depth = max(self.max_depth, len(self.stack))


def _children(entry: ObjectEntry) -> Iterator[tuple[int, int]]:
    tag = entry.tag
    if tag == TAG_DICT:
        kids = entry.children
        for i in range(0, len(kids), 2):
            yield kids[i], _FINAL
            yield kids[i + 1], _MAY_WAIT
            yield kids[i], _KEY_DONE
    elif tag in (TAG_SET, TAG_FROZENSET):
        for child in entry.children:
            yield child, _FINAL
            yield child, _KEY_DONE
    else:
        kind = _MAY_WAIT if tag == TAG_LIST else _FINAL
        for child in entry.children:
            yield child, kind


# Keys whose hashing and comparing run no user code (an unhashable list,
# dict or set key counts as user code, as a dataclass instance does).
_PLAIN_KEYS = frozenset(
    [TAG_NONE, TAG_TRUE, TAG_FALSE, TAG_INT, TAG_FLOAT, TAG_STR, TAG_BYTES]
)
_HASHES_CHILDREN = frozenset([TAG_TUPLE, TAG_FROZENSET, TAG_DATACLASS])
