"""Generated object graphs shaped like real ones, for the differential tests
and the differential fuzz target.

A recipe is a list of nodes, node 0 the root; a container names its
children by node number, so one node reached from two places is a shared
object and a node that names an ancestor closes a cycle. ``materialize``
builds fresh objects from a recipe every time: distinct-but-equal values
stay distinct, and a graph built inside a function is a temporary that
nothing else refers to.
"""

from __future__ import annotations

import dataclasses
import math
import struct

from hypothesis import strategies as st

import korvane


@dataclasses.dataclass
class Point:  # registered: comes back as itself
    x: object
    y: object


@dataclasses.dataclass
class Pair:  # never registered: comes back as a record
    left: object
    right: object


@dataclasses.dataclass
class Fresh:  # `b` is served fresh by a property at every read
    a: object
    b: object = None


Fresh.b = property(lambda self: [self.a, 1.5])  # type: ignore[assignment]
korvane.register(Point)

CLASSES = {"Point": Point, "Pair": Pair, "Fresh": Fresh}
MUTABLE = ("list", "dict", "set", "Point", "Pair", "Fresh")
# Kinds whose loaded graph need not write the very same bytes again: sets
# iterate in the order of their own history, and a dataclass reached back
# through its fields is built a second time.
UNORDERED = ("set", "frozenset", "Point", "Pair", "Fresh")

NAN_BITS = struct.unpack("<d", b"\x01\0\0\0\0\0\xf8\xff")[0]
INTS = st.integers(-(2**63), 2**63 - 1) | st.integers(-6, 300)
FLOATS = st.floats(allow_nan=False) | st.sampled_from([0.0, -0.0, math.inf])
TEXTS = st.text(
    st.characters(blacklist_categories=("Cs",)), max_size=6
) | st.sampled_from(["a", "key", "é\u0301", "\U0001f600"])
HASHABLE_SCALARS = st.one_of(
    st.just(("none", None)),
    st.booleans().map(lambda b: ("bool", b)),
    INTS.map(lambda v: ("int", v)),
    FLOATS.map(lambda v: ("float", v)),
    TEXTS.map(lambda v: ("str", v)),
    st.binary(max_size=6).map(lambda v: ("bytes", v)),
)
SCALARS = HASHABLE_SCALARS | st.sampled_from(
    [("float", math.nan), ("float", NAN_BITS), ("float", -math.inf)]
)

# What a child slot may hold: "any" (list items, dict values), "final" (a
# tuple item or dataclass field: no cycle closes here) or "hashable" (dict
# keys, set and frozenset elements).
ANY, FINAL, HASHABLE = "any", "final", "hashable"


@st.composite
def recipes(draw, max_nodes: int = 24, max_depth: int = 5):
    nodes: list[list] = []
    hashable: list[bool] = []
    open_: set[int] = set()  # nodes whose children are still being drawn

    def reuse(slot: str):
        pool = [
            i
            for i in range(len(nodes))
            if (slot == ANY or i not in open_) and (slot != HASHABLE or hashable[i])
        ]
        return draw(st.sampled_from(pool)) if pool else None

    def child(slot: str, depth: int) -> int:
        if nodes and draw(st.integers(0, 3)) == 0:
            found = reuse(slot)
            if found is not None:
                return found
        kinds = ["scalar"]
        if depth < max_depth and len(nodes) < max_nodes:
            kinds += ["tuple", "frozenset"]
            if slot != HASHABLE:
                kinds += ["list", "dict", "set", "Point", "Pair", "Fresh"]
        kind = draw(st.sampled_from(kinds))
        n = len(nodes)
        if kind == "scalar":
            nodes.append(list(draw(HASHABLE_SCALARS if slot == HASHABLE else SCALARS)))
            hashable.append(not (nodes[n][0] == "float" and math.isnan(nodes[n][1])))
            return n
        nodes.append([kind, []])
        hashable.append(kind in ("tuple", "frozenset"))
        open_.add(n)
        count = draw(st.integers(0, 4))
        inner = {"list": ANY, "tuple": FINAL, "Point": FINAL, "Pair": FINAL}
        inner.update({"set": HASHABLE, "frozenset": HASHABLE, "Fresh": FINAL})
        if kind == "tuple" and slot == HASHABLE:
            inner["tuple"] = HASHABLE
        if kind in CLASSES:
            count = 1 if kind == "Fresh" else 2
        for _ in range(count):
            if kind == "dict":
                key = child(HASHABLE, depth + 1)
                nodes[n][1].append((key, child(ANY, depth + 1)))
            else:
                c = child(inner[kind], depth + 1)
                nodes[n][1].append(c)
                if kind == "tuple":
                    hashable[n] = hashable[n] and hashable[c]
        open_.discard(n)
        return n

    child(ANY, 0)
    return nodes


def _scalar(kind: str, value):
    """A new object of the value where the interpreter makes one."""
    if kind == "int":
        return int(str(value))
    if kind == "float":
        return struct.unpack("<d", struct.pack("<d", value))[0]
    if kind == "str":
        return "".join(list(value))
    if kind == "bytes":
        return bytes(bytearray(value))
    return value


def materialize(recipe) -> list:
    """Every node's object, node 0 the root."""
    objs: list = [None] * len(recipe)
    done = [False] * len(recipe)
    for i, (kind, _) in enumerate(recipe):
        if kind in MUTABLE:
            shell = {"list": list, "dict": dict, "set": set}.get(kind)
            objs[i] = shell() if shell else object.__new__(CLASSES[kind])
            done[i] = True

    def make(i: int):
        if not done[i]:
            kind, payload = recipe[i]
            if kind in ("tuple", "frozenset"):
                items = [make(c) for c in payload]
                objs[i] = tuple(items) if kind == "tuple" else frozenset(items)
            else:
                objs[i] = _scalar(kind, payload)
            done[i] = True
        return objs[i]

    for i in range(len(recipe)):
        make(i)
    for i, (kind, payload) in enumerate(recipe):
        obj = objs[i]
        if kind == "list":
            obj.extend(objs[c] for c in payload)
        elif kind == "dict":
            for k, v in payload:
                obj[objs[k]] = objs[v]
        elif kind == "set":
            obj.update(objs[c] for c in payload)
        elif kind in CLASSES:
            names = (
                ["a"] if kind == "Fresh" else [f.name for f in dataclasses.fields(obj)]
            )
            for name, c in zip(names, payload):
                object.__setattr__(obj, name, objs[c])
    return objs


def temporary(recipe):
    """The root alone: nothing outside the graph refers to any of it."""
    return materialize(recipe)[0]


def assert_same(a, b) -> None:
    """`a` and `b` are one graph: the same types, values (floats to the bit)
    and sharing, object for object."""
    pairs: dict[int, object] = {}
    back: dict[int, object] = {}
    alive = []
    stack = [(a, b, "root")]
    while stack:
        x, y, path = stack.pop()
        assert type(x) is type(y), f"{path}: {type(x).__name__} != {type(y).__name__}"
        if id(x) in pairs or id(y) in back:
            assert pairs.get(id(x)) is y and back.get(id(y)) is x, (
                f"{path}: sharing differs"
            )
            continue
        pairs[id(x)], back[id(y)] = y, x
        alive += [x, y]
        if isinstance(x, float):
            assert struct.pack("<d", x) == struct.pack("<d", y), path
        elif isinstance(x, (list, tuple)):
            assert len(x) == len(y), path
            stack += [(p, q, f"{path}[{i}]") for i, (p, q) in enumerate(zip(x, y))]
        elif isinstance(x, dict):
            assert len(x) == len(y), path
            for i, ((k, v), (k2, v2)) in enumerate(zip(x.items(), y.items())):
                stack += [(k, k2, f"{path}.key{i}"), (v, v2, f"{path}[{k!r}]")]
        elif isinstance(x, (set, frozenset)):
            assert len(x) == len(y), path
            equal = {e: e for e in y}
            stack += [(e, equal[e], f"{path}{{{e!r}}}") for e in x]
        elif hasattr(x, "__dict__"):
            assert list(vars(x)) == list(vars(y)), path
            stack += [(v, vars(y)[k], f"{path}.{k}") for k, v in vars(x).items()]
        else:
            assert x == y, f"{path}: {x!r} != {y!r}"
