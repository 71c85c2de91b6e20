"""Writes the seed corpus for both fuzz targets: documents made by ``dumps``
over varied values, plus a few hand-made ones that exercise the reader's
and the engine's corner cases (reference chains and loops, bad indexes).

Usage: python tests/fuzz/make_corpus.py [OUTPUT_DIR]   (default fuzz-out/corpus)
"""

from __future__ import annotations

import dataclasses
import hashlib
import math
import struct
import sys
from pathlib import Path

import korvane

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
# NONE is imported from here by the hostile and leak tests.
from builders import DATACLASS, DICT, NONE, REF, _seq, document  # noqa: E402, F401


@dataclasses.dataclass
class Point:
    x: int
    y: int


@dataclasses.dataclass
class Node:
    label: str
    children: list


def _values():
    yield None
    yield True
    yield False
    for v in (0, 1, -1, 63, -64, 64, 300, 2**31, -(2**31), 2**63 - 1, -(2**63)):
        yield v
    for f in (
        0.0,
        -0.0,
        1.5,
        math.inf,
        -math.inf,
        math.nan,
        5e-324,
        1.7976931348623157e308,
    ):
        yield f
    for s in ("", "a", "héllo", "日本語", "\U0001f600 astral", "x" * 300):
        yield s
    yield b""
    yield bytes(range(256))
    yield [1, 1]
    yield {"a": [1, 1]}
    yield (1, "two", 3.0, None)
    yield {1, 2, 3}
    yield frozenset({"a", "b", (1, 2)})
    yield {(1, 2): frozenset({3}), "k": {"nested": [[], {}, (), set()]}}
    shared = [1, 2]
    yield [shared, shared, (shared,)]
    cycle: list = []
    cycle.append(cycle)
    yield cycle
    d: dict = {}
    d["self"] = d
    yield d
    tuple_cycle: list = []
    t = (tuple_cycle,)
    tuple_cycle.append(t)
    yield t
    yield [list(range(20)), {str(i): i for i in range(20)}]
    yield Point(1, 2)
    p = Point(3, 4)
    yield [p, p, Node("root", [Node("leaf", [])])]
    deep: list = []
    cur = deep
    for _ in range(50):
        nxt: list = []
        cur.append(nxt)
        cur = nxt
    yield deep


# The shared builder's entries under the names the hostile-input tests use.
ref = REF
dataclass = DATACLASS
dict_entry = DICT


def seq(*children, tag=0x08):
    """A list entry (or, with another tag, a tuple, set or frozenset)."""
    return _seq(tag, children)


def _crafted():
    yield document(objects=[seq(1), ref(2), ref(1)])  # reference loop
    yield document(objects=[seq(1), ref(7)])  # missing target
    yield document(objects=[b"\x06" + struct.pack("<I", 3)])  # string index past table
    yield document(objects=[seq(0, tag=0x09)])  # tuple holding itself
    yield document(objects=[seq(1, tag=0x0C), seq(0, tag=0x0C)])  # frozenset loop
    yield document(
        strings=[b"P", b"x"],
        types=[(0, 0, [1])],
        objects=[b"\x0d\x00\x00\x01\x00" + struct.pack("<I", 0)],
    )  # a dataclass whose field is itself
    yield document(objects=[b"\x08\xff\xff\xff\xff"])  # huge count, tiny input
    yield document(objects=[b"\x04" + b"\xff" * 9 + b"\x01"])  # widest varint


def main(argv: list[str]) -> int:
    out = Path(argv[1] if len(argv) > 1 else "fuzz-out/corpus")
    out.mkdir(parents=True, exist_ok=True)
    docs = [korvane.dumps(v) for v in _values()] + list(_crafted())
    for doc in docs:
        (out / hashlib.sha1(doc).hexdigest()).write_bytes(doc)
    print(f"wrote {len(docs)} seed documents to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
