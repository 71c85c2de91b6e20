"""Benchmark workloads and the round-trip checker shared by run.py and profile.py.

Every builder is deterministic (fixed seeds), so the parent process and the
memory-measuring subprocesses build the same object graph.
"""

from __future__ import annotations

import dataclasses
import json
import os
import random
import string
from pathlib import Path
from typing import Any, Callable

# The JSON corpora live beside the project root, never inside the repository.
DATA_ENV = "KORVANE_BENCH_DATA"


def data_dir() -> Path:
    override = os.environ.get(DATA_ENV)
    if override:
        return Path(override)
    return Path(__file__).resolve().parents[2] / "shared" / "bench-data"


@dataclasses.dataclass
class Record:
    """Five mixed fields: the shape of a typical application row."""

    id: int
    name: str
    score: float
    active: bool
    tags: list


class Unavailable(Exception):
    """A workload that cannot be built here (for example a missing corpus file)."""


@dataclasses.dataclass
class Workload:
    name: str
    description: str
    build: Callable[[bool], Any]
    # Inputs whose mutable containers are reached more than once: the checker
    # then insists that the copy shares them the same way.
    shared: bool = False
    # Deep inputs need a higher recursion limit for every serializer.
    recursion_limit: int | None = None


# -- builders -----------------------------------------------------------------


def _corpus(file_name: str) -> Callable[[bool], Any]:
    def build(quick: bool) -> Any:
        path = data_dir() / file_name
        if not path.is_file():
            raise Unavailable(f"{path} not found (set {DATA_ENV} to its folder)")
        with open(path, "rb") as f:
            return json.load(f)

    return build


_CITIES = ["Lisbon", "Oslo", "Kyoto", "Lagos", "Quito", "Perth", "Tartu", "Ulm"]
_TAGS = ["admin", "beta", "staff", "trial", "vip", "legacy", "eu", "us"]


def build_records(quick: bool) -> list:
    """JSON-like rows: nested dicts of str/int/float/bool/None, keys repeated."""
    rng = random.Random(1)
    n = 5_000 if quick else 100_000
    rows = []
    for i in range(n):
        rows.append(
            {
                "id": i,
                "uuid": f"{rng.getrandbits(64):016x}-{i:08d}",
                "name": f"user {i}",
                "email": f"user{i}@example.org",
                "active": rng.random() < 0.7,
                "score": round(rng.uniform(0, 100), 3),
                "balance": rng.randint(-(10**6), 10**9),
                "manager": None if i % 5 else rng.randrange(max(i, 1)),
                "tags": rng.sample(_TAGS, rng.randrange(4)),
                "address": {
                    "street": f"{rng.randrange(1, 999)} Main St",
                    "city": rng.choice(_CITIES),
                    "zip": f"{rng.randrange(10**5):05d}",
                    "geo": {
                        "lat": rng.uniform(-90, 90),
                        "lon": rng.uniform(-180, 180),
                    },
                },
            }
        )
    return rows


def build_ints(quick: bool) -> list:
    """Small and large ints across the signed 64-bit range."""
    rng = random.Random(2)
    n = 50_000 if quick else 1_000_000
    out = []
    for i in range(n):
        kind = i % 4
        if kind == 0:
            out.append(rng.randrange(-5, 257))  # cached small ints
        elif kind == 1:
            out.append(rng.randrange(-(2**15), 2**15))
        elif kind == 2:
            out.append(rng.randrange(-(2**31), 2**31))
        else:
            out.append(rng.randrange(-(2**63), 2**63))
    return out


def build_floats(quick: bool) -> list:
    rng = random.Random(3)
    n = 20_000 if quick else 200_000
    return [rng.uniform(-1e6, 1e6) if i % 2 else rng.random() for i in range(n)]


def build_strings(quick: bool) -> list:
    """Distinct short strings, mostly ASCII, a few with non-ASCII text."""
    rng = random.Random(4)
    n = 10_000 if quick else 100_000
    alphabet = string.ascii_letters + string.digits
    extra = "éßøñ日本語Ωж"
    out = []
    for i in range(n):
        s = "".join(rng.choices(alphabet, k=rng.randrange(4, 16)))
        if i % 10 == 0:
            s += rng.choice(extra)
        out.append(f"{s}{i}")
    return out


def build_dataclasses(quick: bool) -> list:
    rng = random.Random(5)
    n = 5_000 if quick else 50_000
    return [
        Record(
            id=i,
            name=f"item-{i}",
            score=rng.random() * 1000,
            active=bool(i & 1),
            tags=rng.sample(_TAGS, rng.randrange(3)),
        )
        for i in range(n)
    ]


def build_graph(quick: bool) -> dict:
    """Nodes with edges to earlier nodes, clusters that list their members
    (node -> cluster -> members -> node cycles), shared leaf values and a root
    that contains itself.

    Edges point only to earlier nodes and members are listed in order, so a
    depth-first walk stays shallow: the workload measures sharing, not depth.
    """
    rng = random.Random(6)
    n = 5_000 if quick else 50_000
    shared_tags = [[f"tag{j}", j] for j in range(64)]
    shared_points = [(float(j), float(-j)) for j in range(64)]
    shared_sets = [frozenset(range(j, j + 4)) for j in range(16)]
    nodes: list = []
    clusters: list = []
    for i in range(n):
        if i % 100 == 0:
            cluster = {"name": f"cluster{i // 100}", "members": []}
            clusters.append(cluster)
        node = {
            "id": i,
            "name": f"node{i}",
            "cluster": cluster,
            "tags": shared_tags[rng.randrange(64)],
            "point": shared_points[rng.randrange(64)],
            "ports": shared_sets[rng.randrange(16)],
            "edges": [nodes[rng.randrange(i)] for _ in range(min(i, 4))],
        }
        cluster["members"].append(node)
        nodes.append(node)
    root: dict = {"clusters": clusters, "nodes": nodes, "tags": shared_tags}
    root["index"] = {node["name"]: node for node in nodes[::10]}
    root["root"] = root
    return root


def build_blob(quick: bool) -> bytes:
    size = (5 if quick else 50) * 2**20
    return random.Random(7).randbytes(size)


def build_deep(quick: bool) -> Any:
    """Alternating list and dict nesting, 5000 levels, a few scalars inside."""
    depth = 1_000 if quick else 5_000
    value: Any = "leaf"
    for level in range(depth):
        value = [level, value] if level % 2 else {"k": value, "n": level}
    return value


DEEP_RECURSION_LIMIT = 20_000

WORKLOADS: dict[str, Workload] = {
    w.name: w
    for w in [
        Workload("twitter", "twitter.json", _corpus("twitter.json")),
        Workload("citm", "citm_catalog.json", _corpus("citm_catalog.json")),
        Workload("canada", "canada.json", _corpus("canada.json")),
        Workload("github", "github_events.json", _corpus("github_events.json")),
        Workload("records", "JSON-like rows: 100k (quick 5k)", build_records),
        Workload("ints", "ints in int64: 1M (quick 50k)", build_ints),
        Workload("floats", "floats: 200k (quick 20k)", build_floats),
        Workload("strings", "distinct short str: 100k (quick 10k)", build_strings),
        Workload("dataclasses", "dataclass rows: 50k (quick 5k)", build_dataclasses),
        Workload("graph", "shared + cyclic: 50k nodes (quick 5k)", build_graph, True),
        Workload("bytes", "one bytes: 50 MB (quick 5 MB)", build_blob),
        Workload(
            "deep",
            "list/dict nesting: 5000 (quick 1000)",
            build_deep,
            recursion_limit=DEEP_RECURSION_LIMIT,
        ),
    ]
}


def build_stamped(quick: bool) -> list:
    """Rows holding an aware datetime and a Decimal each. korvane writes those
    through its ready adapters, which this builder registers (so that every
    process measuring the workload has them)."""
    import datetime
    import decimal

    import korvane.types

    korvane.types.use(datetime.datetime, decimal.Decimal)
    rng = random.Random(8)
    start = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    return [
        {
            "id": i,
            "at": start
            + datetime.timedelta(seconds=rng.randrange(10**8), microseconds=i),
            "amount": decimal.Decimal(rng.randrange(-(10**9), 10**9)).scaleb(-2),
        }
        for i in range(5_000 if quick else 50_000)
    ]


WORKLOADS["stamped"] = Workload(
    "stamped", "rows with a datetime and a Decimal: 50k (quick 5k)", build_stamped
)

# -- round-trip checker -------------------------------------------------------

# Containers whose identity a caller can observe through mutation; these must
# map one-to-one between the input and the copy.
_MUTABLE = (list, dict, set)


_SCALARS = frozenset([int, float, str, bytes, bool, type(None)])


def _scalar_equal(a: Any, b: Any) -> bool:
    """Equality for values of one exact scalar type; floats compare bit-faithfully
    enough to tell -0.0 from 0.0 and to let NaN equal NaN."""
    if a == b:
        return type(a) is not float or a != 0.0 or str(a) == str(b)
    return type(a) is float and a != a and b != b


def check_equal(original: Any, copy: Any) -> str | None:
    """Return None when ``copy`` is a faithful copy of ``original``, else why not.

    Exact types are compared (1, 1.0 and True differ; a tuple is not a list),
    dict order is compared, and sharing is compared: every mutable container
    (list, dict, set, dataclass instance) of the input must correspond to
    exactly one container of the copy and the reverse, so shared objects stay
    shared, cycles stay cycles and no two distinct containers are merged.
    The walk uses an explicit stack, so deep inputs do not recurse.
    """
    forward: dict[int, int] = {}
    backward: dict[int, int] = {}
    seen_pairs: set[tuple[int, int]] = set()
    stack: list[tuple[Any, Any, Any]] = [(original, copy, None)]
    while stack:
        a, b, path = stack.pop()
        ta = type(a)
        if ta is not type(b):
            return _type_changed(path, a, b)
        if ta in _SCALARS:
            if not _scalar_equal(a, b):
                return _value_changed(path, a, b)
            continue
        ia, ib = id(a), id(b)
        if isinstance(a, _MUTABLE) or dataclasses.is_dataclass(a):
            known = forward.get(ia)
            if known is not None:
                if known != ib:
                    return f"{_path(path)}: a shared {ta.__name__} was split"
                continue
            if ib in backward:
                return f"{_path(path)}: distinct {ta.__name__}s were merged"
            forward[ia] = ib
            backward[ib] = ia
        else:
            if (ia, ib) in seen_pairs:
                continue
            seen_pairs.add((ia, ib))
        problem = _push_children(a, b, path, stack)
        if problem:
            return problem
    return None


def _push_children(a: Any, b: Any, path: Any, stack: list) -> str | None:
    ta = type(a)
    if ta is list or ta is tuple:
        if len(a) != len(b):
            return f"{_path(path)}: length {len(a)} became {len(b)}"
        # Scalars are settled here rather than pushed: most elements are scalars.
        for i in range(len(a) - 1, -1, -1):
            x, y = a[i], b[i]
            tx = type(x)
            if tx in _SCALARS and tx is type(y):
                if not _scalar_equal(x, y):
                    return _value_changed((path, i), x, y)
            else:
                stack.append((x, y, (path, i)))
    elif ta is dict:
        if len(a) != len(b):
            return f"{_path(path)}: {len(a)} keys became {len(b)}"
        for (ka, va), (kb, vb) in zip(a.items(), b.items()):
            if type(ka) is not type(kb) or not _scalar_equal(ka, kb):
                return f"{_path(path)}: key {_short(ka)} became {_short(kb)}"
            tv = type(va)
            if tv in _SCALARS and tv is type(vb):
                if not _scalar_equal(va, vb):
                    return _value_changed((path, ka), va, vb)
            else:
                stack.append((va, vb, (path, ka)))
    elif ta is set or ta is frozenset:
        if a != b:
            return f"{_path(path)}: {ta.__name__} contents differ"
        if sorted(type(x).__name__ for x in a) != sorted(type(x).__name__ for x in b):
            return f"{_path(path)}: {ta.__name__} element types differ"
    elif dataclasses.is_dataclass(a):
        for field in dataclasses.fields(a):
            name = field.name
            stack.append((getattr(a, name), getattr(b, name), (path, name)))
    else:
        if a != b:
            return f"{_path(path)}: {ta.__name__} differs"
    return None


def _type_changed(path: Any, a: Any, b: Any) -> str:
    return f"{_path(path)}: type {type(a).__name__} became {type(b).__name__}"


def _value_changed(path: Any, a: Any, b: Any) -> str:
    return f"{_path(path)}: {_short(a)} became {_short(b)}"


def _path(path: Any) -> str:
    parts = []
    while path is not None:
        path, key = path
        parts.append(f"[{key!r}]")
    return "root" + "".join(reversed(parts))


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."
