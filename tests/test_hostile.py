"""Hostile inputs for ``dumps`` and ``loads``, each run in a fresh interpreter
so that a crash, a hang or runaway memory fails the test instead of the
whole session. A case prints ``OK`` when it ends with the expected clean
outcome; the subprocess is killed after a timeout and capped in memory."""

from __future__ import annotations

import os
import resource
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TIMEOUT = 60
MEMORY_CAP = 4 << 30  # address space of a case; ASan builds get no cap

PRELUDE = """
import dataclasses, gc, math, random, struct, sys, time
sys.path.insert(0, "tests/fuzz")
import korvane, korvane._reconstruct
from make_corpus import NONE, dataclass, dict_entry, document, ref, seq

def expect(exc, fn, *args, match=None, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc as e:
        assert match is None or match in str(e), f"{type(e).__name__}: {e}"
        return e
    raise AssertionError(f"no {exc.__name__}")

def use_dataclasses(**classes):
    def make_class(name, fields):
        return classes.get(name) or dataclasses.make_dataclass(name, fields)
    korvane._reconstruct.make_class = make_class

LIST, TUPLE, SET, FROZENSET = 0x08, 0x09, 0x0B, 0x0C
"""


def _limit_memory():
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_CAP, MEMORY_CAP))


def run_case(body: str, timeout: float = TIMEOUT) -> str:
    code = PRELUDE + textwrap.dedent(body) + "\nprint('OK')\n"
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]),
    )
    try:
        proc = subprocess.run(
            [sys.executable, "-c", code],
            cwd=ROOT,
            env=env,
            capture_output=True,
            text=True,
            timeout=timeout,
            preexec_fn=_limit_memory,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"hang: no answer within {timeout} s")
    detail = (
        f"exit {proc.returncode}\n--- stdout\n{proc.stdout[-3000:]}"
        f"\n--- stderr\n{proc.stderr[-3000:]}"
    )
    assert proc.returncode == 0, "crashed or failed: " + detail
    assert proc.stdout.rstrip().endswith("OK"), detail
    return proc.stdout


# ---- deep nesting -----------------------------------------------------------

DEEP_DUMPS = {
    "list": "x = [x]",
    "tuple": "x = (x,)",
    "dict value": "x = {'k': x}",
    "frozenset": "x = frozenset([x])",
}


@pytest.mark.parametrize("limit", [None, 10**7], ids=["default limit", "raised limit"])
@pytest.mark.parametrize("step", DEEP_DUMPS.values(), ids=DEEP_DUMPS.keys())
def test_dumps_of_deep_nesting_raises_recursion_error(step, limit):
    run_case(f"""
        if {limit!r}: sys.setrecursionlimit({limit!r})
        x = None
        for _ in range(1_000_000):
            {step}
        expect(RecursionError, korvane.dumps, x)
        assert korvane.dumps(1) == korvane.dumps(1)  # the module still works
    """)


DEEP_LOADS = {
    "list": "seq(i + 1)",
    "tuple": "seq(i + 1, tag=TUPLE)",
    "frozenset": "seq(i + 1, tag=FROZENSET)",
    "dict value": "dict_entry((DEPTH + 1, i + 1))",
}


@pytest.mark.parametrize("limit", [None, 10**7], ids=["default limit", "raised limit"])
@pytest.mark.parametrize("entry", DEEP_LOADS.values(), ids=DEEP_LOADS.keys())
def test_loads_of_deep_nesting_raises_recursion_error(entry, limit):
    run_case(f"""
        if {limit!r}: sys.setrecursionlimit({limit!r})
        DEPTH = 1_000_000
        strings = [b"k"]
        objects = [{entry} for i in range(DEPTH)]
        objects += [NONE, b"\\x06" + struct.pack("<I", 0)]
        data = document(strings=strings, objects=objects)
        start = time.monotonic()
        expect(RecursionError, korvane.loads, data)
        assert time.monotonic() - start < 20
    """)


def test_dataclass_nested_deep_raises_recursion_error():
    run_case("""
        use_dataclasses()
        depth = 200_000
        objects = [dataclass(0, i + 1) for i in range(depth)] + [NONE]
        data = document(strings=[b"Node", b"child"], types=[(0, 0, [1])],
                        objects=objects)
        expect(RecursionError, korvane.loads, data)
    """)


# ---- reference loops and cycles ---------------------------------------------


@pytest.mark.parametrize(
    "objects",
    [
        "[seq(1), ref(1)]",
        "[seq(1), ref(2), ref(1)]",
        "[ref(0)]",
        "[seq(1, 1), ref(2), ref(3), ref(1)]",
    ],
    ids=["self", "pair", "root", "long"],
)
def test_reference_loop_is_refused(objects):
    run_case(f"""
        expect(ValueError, korvane.loads, document(objects={objects}))
        expect(ValueError, korvane.loads, document(objects={objects}), allowlist=set())
    """)


@pytest.mark.parametrize(
    "objects",
    [
        "[dataclass(0, 0)]",
        "[dataclass(0, 1), ref(0)]",
        "[dataclass(0, 1), dataclass(0, 0)]",
    ],
    ids=["field is itself", "through a reference", "two instances"],
)
def test_dataclass_only_cycle_is_refused(objects):
    run_case(f"""
        use_dataclasses()
        data = document(strings=[b"Node", b"child"], types=[(0, 0, [1])],
                        objects={objects})
        cycle = "a cycle made only of dataclasses passes through object 0"
        expect(ValueError, korvane.loads, data, match=cycle)
        expect(ValueError, korvane.loads, data, allowlist={{"Node"}}, match=cycle)
    """)


# Entries whose element refers back to a tuple or frozenset that is still
# being built, through a place that needs the finished object.
BACK_REFERENCES = {
    "frozenset element -> tuple": "[seq(1, tag=TUPLE), seq(0, tag=FROZENSET)]",
    "set element -> tuple": "[seq(1, tag=TUPLE), seq(0, tag=SET)]",
    "dict key -> tuple": "[seq(1, tag=TUPLE), dict_entry((0, 2)), NONE]",
    "set element -> frozenset": "[seq(1, tag=FROZENSET), seq(0, tag=SET)]",
    "dict key -> frozenset": "[seq(1, tag=FROZENSET), dict_entry((0, 2)), NONE]",
    "tuple holds itself": "[seq(0, tag=TUPLE)]",
    "frozenset holds itself": "[seq(0, tag=FROZENSET)]",
}


@pytest.mark.parametrize(
    "objects", BACK_REFERENCES.values(), ids=BACK_REFERENCES.keys()
)
def test_back_reference_to_unfinished_hashable_is_value_error(objects):
    run_case(f"""
        expect(ValueError, korvane.loads, document(objects={objects}))
    """)


def test_back_reference_through_a_list_gets_the_finished_tuple():
    run_case("""
        box = []
        t = (box,)
        box.append(t)
        back = korvane.loads(korvane.dumps(t))
        assert type(back) is tuple and back[0][0] is back
    """)


# ---- huge counts, tiny input ------------------------------------------------

TINY_HUGE = {
    "string count": "b'KRVN' + bytes(7) + b'\\xff\\xff\\xff\\xff'",
    "string length": "b'KRVN' + bytes(7) + struct.pack('<II', 1, 0xFFFFFFFF)",
    "type count": "document()[:15] + b'\\xff\\xff\\xff\\xff'",
    "field count": "document()[:15] + struct.pack('<IHIIH', 1, 0, 0, 0, 0xFFFF)",
    "object count": "document()[:19] + b'\\xff\\xff\\xff\\xff'",
    "list count": "document(objects=[b'\\x08\\xff\\xff\\xff\\xff'])",
    "dict count": "document(objects=[b'\\x0a\\xff\\xff\\xff\\xff'])",
    "set count": "document(objects=[b'\\x0b\\xff\\xff\\xff\\xff'])",
    "bytes length": "document(objects=[b'\\x07\\xff\\xff\\xff\\xff'])",
    "dataclass fields": "document(objects=[b'\\x0d\\x00\\x00\\xff\\xff'])",
}


@pytest.mark.parametrize("expr", TINY_HUGE.values(), ids=TINY_HUGE.keys())
def test_huge_count_in_tiny_input_fails_fast(expr):
    run_case(f"""
        data = {expr}
        assert len(data) < 64
        start = time.monotonic()
        for _ in range(1000):
            expect(ValueError, korvane.loads, data, match="truncated")
        assert time.monotonic() - start < 5, time.monotonic() - start
        # The peak of this process alone: ru_maxrss would also count what a
        # large parent had resident when it forked this child.
        with open("/proc/self/status") as status:
            hwm = next(line for line in status if line.startswith("VmHWM:"))
        peak_mb = int(hwm.split()[1]) / 1024
        assert peak_mb < 1024, peak_mb
    """)


# ---- random mutations of valid documents --------------------------------------


def test_random_mutations_of_valid_documents():
    out = run_case(
        """
        from make_corpus import _values, _crafted
        class Anything:
            def __init__(self, **kw):
                self.__dict__.update(kw)
        korvane._reconstruct.make_class = lambda name, fields: Anything
        seeds = [korvane.dumps(v) for v in _values()] + list(_crafted())
        rng = random.Random(20240611)
        outcomes = {}
        for i in range(6000):
            data = bytearray(rng.choice(seeds))
            for _ in range(rng.randint(1, 4)):
                kind = rng.randrange(6)
                pos = rng.randrange(len(data) + 1)
                if kind == 0 and data:
                    data[pos % len(data)] ^= 1 << rng.randrange(8)
                elif kind == 1:
                    data[pos:pos] = bytes([rng.randrange(256)])
                elif kind == 2:
                    del data[pos:pos + rng.randint(1, 4)]
                elif kind == 3:
                    word = rng.choice([0, 1, 2**31, 2**32 - 1, rng.randrange(64)])
                    data[pos:pos + 4] = struct.pack("<I", word)
                elif kind == 4:
                    data = data[:pos]
                else:
                    data[pos:pos] = rng.choice(seeds)[11:]
            for allowlist in (None, set(), {"Point", "Node", "P"}):
                try:
                    value = korvane.loads(bytes(data), allowlist=allowlist)
                except (korvane.PanicException, SystemError):
                    raise
                except Exception as e:
                    outcomes[type(e).__name__] = outcomes.get(type(e).__name__, 0) + 1
                else:
                    outcomes["loaded"] = outcomes.get("loaded", 0) + 1
                    try:
                        korvane.dumps(value)
                    except (korvane.PanicException, SystemError):
                        raise
                    except Exception:
                        pass
        print(sorted(outcomes.items()))
        assert outcomes.get("loaded", 0) > 100 and outcomes.get("ValueError", 0) > 1000
    """,
        timeout=120,
    )
    print(out)


# ---- large values -------------------------------------------------------------


def test_bytes_values_of_many_megabytes():
    run_case("""
        big = bytes(range(256)) * (64 * 4096)  # 64 MiB
        other = b"\\xab" * (9 << 20)
        value = [big, other, big, {"k": other}]
        start = time.monotonic()
        data = korvane.dumps(value)
        assert len(data) < len(big) + len(other) + 1000  # shared values written once
        back = korvane.loads(data)
        assert back[0] == big and back[1] == other
        assert back[0] is back[2] and back[3]["k"] is back[1]
        assert time.monotonic() - start < 20
        expect(ValueError, korvane.loads, data[:-1], match="truncated")
    """)


# ---- mutation during dumps ------------------------------------------------------

MUTATOR = """
class Mutator:
    # Looks like a dataclass; reading its field runs `action` once.
    __dataclass_fields__ = {"x": None}
    def __init__(self, action):
        self.action = action
    @property
    def x(self):
        action, self.action = self.action, None
        if action:
            action()
        return 1
"""

MUTATIONS = {
    "dict grows": (
        "d = {'a': 0}; d['m'] = Mutator(lambda: d.update(z=1)); d['b'] = 2",
        "d",
    ),
    "dict key swapped": (
        "d = {'a': 0}; d['m'] = Mutator(lambda: (d.pop('a'), d.update(z=1)));"
        " d['b'] = 2",
        "d",
    ),
    "dict cleared": ("d = {'a': 0}; d['m'] = Mutator(d.clear); d['b'] = 2", "d"),
    "set grows": (
        "s = set(range(5)); s.add(Mutator(lambda: s.update(range(100, 200))))",
        "s",
    ),
    "set shrinks": (
        "s = set(range(50)); s.add(Mutator(lambda: s.difference_update(range(50))))",
        "s",
    ),
}


@pytest.mark.parametrize("setup, name", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_container_mutated_during_dumps_raises_panic(setup, name):
    run_case(
        MUTATOR
        + f"""
{setup}
expect(korvane.PanicException, korvane.dumps, [{name}])
assert korvane.dumps([1]) == korvane.dumps([1])
"""
    )


def test_list_mutated_during_dumps_is_walked_safely():
    run_case(
        MUTATOR
        + """
# Appended items are not visited; removed ones end the walk.
for action, length in (("items.clear", 4), ("items.pop", 10),
                       ("lambda: items.extend(range(1000))", 11),
                       ("lambda: items.__setitem__(slice(None), [None])", 4)):
    items = list(range(10))
    items.insert(3, Mutator(eval(action)))
    data = korvane.dumps(items)
    use_dataclasses()
    back = korvane.loads(data)
    assert isinstance(back, list) and back[:3] == list(range(3)), action
    assert len(back) == length, (action, back)
    assert back[4:] == list(range(3, length - 1)), (action, back)
"""
    )


# ---- objects that vanish during the walk ------------------------------------------


def test_fresh_objects_from_properties_are_not_confused():
    run_case("""
        use_dataclasses()
        class Fresh:
            __dataclass_fields__ = {"items": None, "label": None}
            def __init__(self, n):
                self.n = n
            @property
            def items(self):
                return [self.n, [self.n] * 2]   # a new list at every access
            @property
            def label(self):
                return ("t", self.n)            # a new tuple at every access
        value = [Fresh(i) for i in range(3000)]
        back = korvane.loads(korvane.dumps(value))
        for i, obj in enumerate(back):
            assert obj.items == [i, [i, i]] and obj.label == ("t", i), (i, obj)
            assert obj.items is not back[i - 1].items
    """)


def test_del_that_mutates_the_container_being_walked():
    run_case(
        MUTATOR
        + """
class Bomb:
    # Captured as an empty dataclass; its __del__ mutates a container.
    __dataclass_fields__ = {}
    def __init__(self, action):
        self.action = action
    def __del__(self):
        self.action()

class Holder:
    __dataclass_fields__ = {"x": None}
    def __init__(self, action, keep):
        self.action, self.keep = action, keep
    @property
    def x(self):
        bomb = [Bomb(self.action)]
        # Dropped at once (its __del__ runs mid-walk) or returned (it runs
        # when the capture lets go of what it walked).
        return bomb if self.keep else None

ACTIONS = {
    "list": ["c.clear", "lambda: c.extend(range(50))",
             "lambda: c.__setitem__(slice(0, 3), [])"],
    "dict": ["c.clear", "lambda: c.update(z=1)", "lambda: c.pop(0)"],
}
use_dataclasses()
for keep in (False, True):
    for action in ACTIONS["list"]:
        c = list(range(10))
        c.insert(2, Holder(eval(action), keep))
        back = korvane.loads(korvane.dumps(c))
        assert isinstance(back, list) and back[:2] == [0, 1]
    for action in ACTIONS["dict"]:
        c = {i: i for i in range(10)}
        c["h"] = Holder(eval(action), keep)
        try:
            back = korvane.loads(korvane.dumps(c))
        except korvane.PanicException:
            assert not keep   # only a mutation during the walk is refused
        else:
            assert isinstance(back, dict)
    gc.collect()
"""
    )


# ---- user methods that raise or mutate ------------------------------------------


def test_index_that_raises_or_mutates():
    run_case("""
        class Idx:
            def __init__(self, action): self.action = action
            def __index__(self): return self.action()
        class bytes(list):   # a look-alike named "bytes" is read item by item
            pass
        def boom(): raise ZeroDivisionError("index")
        expect(ZeroDivisionError, korvane.dumps, bytes([1, Idx(boom)]))
        seq_ = bytes([1, 2])
        seq_.append(Idx(lambda: (seq_.clear(), 7)[1]))
        seq_.append(3)
        korvane.dumps(seq_)   # shrinks while read: must end cleanly
        @dataclasses.dataclass
        class Versioned:
            x: int
        Versioned.__korvane_version__ = Idx(boom)
        assert korvane.dumps(Versioned(1))   # a bad version counts as none
    """)


def test_hash_and_eq_that_raise_while_loading():
    run_case("""
        class BadHash:
            def __init__(self, **kw): pass
            def __hash__(self): raise RuntimeError("hash")
        class BadEq:
            def __init__(self, **kw): pass
            def __hash__(self): return 1
            def __eq__(self, other): raise RuntimeError("eq")
        use_dataclasses(H=BadHash, E=BadEq)
        for name in (b"H", b"E"):
            data = document(strings=[name], types=[(0, 0, [])],
                            objects=[seq(1, 2, tag=SET), dataclass(0), dataclass(0)])
            expect(RuntimeError, korvane.loads, data)
            data = document(strings=[name], types=[(0, 0, [])],
                            objects=[dict_entry((1, 3), (2, 3)), dataclass(0),
                                     dataclass(0), NONE])
            expect(RuntimeError, korvane.loads, data)
    """)


def test_hash_that_reenters_the_module():
    run_case("""
        class Reenter:
            def __init__(self, **kw): pass
            def __hash__(self):
                korvane.loads(korvane.dumps([1, [2, {3: 4}]]))
                return 7
        use_dataclasses(R=Reenter)
        data = document(strings=[b"R"], types=[(0, 0, [])],
                        objects=[seq(1, 2, tag=FROZENSET), dataclass(0), dataclass(0)])
        assert len(korvane.loads(data)) == 2
    """)


# ---- hash bomb -----------------------------------------------------------------

BOMB = """
def bomb_entries(first, levels=100):
    # entry first+k is the tuple (t[k-1], t[k-1]); entry `first` is None
    chain = [seq(first + k - 1, first + k - 1, tag=TUPLE) for k in range(1, levels + 1)]
    return [NONE] + chain
top = 100  # offset of the top tuple within the chain
"""

BOMB_PLACES = {
    "dict key": "[dict_entry((1 + top, 0))] + bomb_entries(1)",
    "set element": "[seq(1 + top, tag=SET)] + bomb_entries(1)",
    "frozenset element": "[seq(1 + top, tag=FROZENSET)] + bomb_entries(1)",
    "key inside a tuple": (
        "[dict_entry((1, 0)), seq(2 + top, tag=TUPLE)] + bomb_entries(2)"
    ),
}


@pytest.mark.parametrize("objects", BOMB_PLACES.values(), ids=BOMB_PLACES.keys())
def test_hash_bomb_key_is_refused_quickly(objects):
    run_case(
        BOMB
        + f"""
data = document(objects={objects})
assert len(data) < 2000
start = time.monotonic()
expect(ValueError, korvane.loads, data)
assert time.monotonic() - start < 5
""",
        timeout=60,
    )


def test_hash_bomb_returned_to_the_caller_still_loads():
    run_case(
        BOMB
        + """
data = document(objects=[ref(top + 1)] + bomb_entries(1))
start = time.monotonic()
value = korvane.loads(data)
assert time.monotonic() - start < 5
t = value
for _ in range(100):
    assert t[0] is t[1]
    t = t[0]
assert t is None
"""
    )


def test_small_keys_with_sharing_still_load():
    run_case("""
        t = ("leaf",)
        for _ in range(8):
            t = (t, t)
        value = {t: 1, frozenset([t]): 2}
        back = korvane.loads(korvane.dumps(value))
        assert back == value
    """)


# ---- user code during make_class, hashing and version reads ----------------------

SNEAKY = """
import korvane._reconstruct as R
class Sneaky(str):
    # Comparing it empties the constructor cache.
    def __eq__(self, other):
        R._forget()
        return str.__eq__(self, other)
    __hash__ = str.__hash__
"""


def test_make_class_survives_comparisons_that_empty_its_cache():
    run_case(
        SNEAKY
        + """
# The cached constructor is held only by the cache entry being compared.
R._recent["K"] = (["a", Sneaky("zz")], [2**70])
got = R.make_class("K", ["a", "zz"])
junk = [[object()] for _ in range(1000)]
assert got == [2**70], got
R._recent["K"] = (["a", "zz"], [2**70])
got = R.make_class("K", ["a", Sneaky("zz")])   # not answered from the cache
junk = [[object()] for _ in range(1000)]
assert [f.name for f in dataclasses.fields(got)] == ["a", "zz"], got
"""
    )


# loads asks the cache as the front does, without a list for every instance.
@pytest.mark.parametrize(
    "stored, cached",
    [
        ('["a", Sneaky("zz")]', 1),  # equal, and comparing it empties the cache
        ('["a", "zz"]', 2),
        ('("a", "zz")', 0),
        ('["a"]', 0),
        ('["zz", "a"]', 0),
    ],
)
def test_loads_asks_the_constructor_cache_as_make_class_does(stored, cached):
    run_case(
        SNEAKY
        + f"""
@dataclasses.dataclass
class K:
    a: int
    zz: int
korvane.register(K)
blob = korvane.dumps([K(1, 2), K(3, 4)])
R.make_class("K", ["a", "zz"])
R._recent["K"] = ({stored}, lambda **kw: kw)
got = korvane.loads(blob)
kws, made = [{{"a": 1, "zz": 2}}, {{"a": 3, "zz": 4}}], [K(1, 2), K(3, 4)]
want = kws[:{cached}] + made[{cached}:]
assert got == want and [type(x) for x in got] == [type(x) for x in want], got
"""
    )


# Entry 0 is the outer tuple (1,), entry 1 the inner tuple (2,), entry 2 a
# dict whose two pairs have the same key and refer back to them.
@pytest.mark.parametrize("first, later", [(1, 0), (0, 1)], ids=["outer", "inner"])
def test_later_dict_pair_wins_over_unfinished_tuples(first, later):
    run_case(f"""
        objects = [seq(1, tag=TUPLE), seq(2, tag=TUPLE),
                   dict_entry((3, {first}), (3, {later})), NONE]
        outer = korvane.loads(document(objects=objects))
        inner = outer[0]
        d = inner[0]
        winner = (outer, inner)[{later}]
        assert d == {{None: winner}} and d[None] is winner
    """)


# A list holds the instance X, then a reference back to the unfinished tuple
# around it; X is then hashed as a key or set element inside that tuple.
@pytest.mark.parametrize(
    "place", ["dict_entry((2, 4))", "seq(2, tag=SET)"], ids=["dict key", "set element"]
)
def test_hash_of_user_class_never_sees_a_stand_in(place):
    run_case(f"""
        seen = []
        class H:
            def __init__(self, **kw): self.__dict__.update(kw)
            def __hash__(self):
                seen.append([type(x).__name__ for x in self.f])
                return 1
        use_dataclasses(H=H)
        objects = [seq(1, 3, tag=TUPLE), seq(2, 0), dataclass(0, 1), {place}, NONE]
        data = document(strings=[b"H", b"f"], types=[(0, 0, [1])], objects=objects)
        expect(ValueError, korvane.loads, data, match="unfinished tuple or frozenset")
        assert seen == [], seen
    """)


@pytest.mark.parametrize("exc", ["KeyboardInterrupt", "SystemExit", "GeneratorExit"])
@pytest.mark.parametrize("where", ["property", "index"])
def test_interrupt_while_reading_the_version_propagates(exc, where):
    run_case(f"""
        class Boom:
            def __index__(self): raise {exc}("boom")
        @dataclasses.dataclass
        class V:
            x: int = 0
            if {where!r} == "property":
                @property
                def __korvane_version__(self): raise {exc}("boom")
            else:
                __korvane_version__ = Boom()
        data = korvane.dumps(1)  # any document will do below
        expect({exc}, korvane.dumps, V())
        use_dataclasses(V=V)
        doc = document(strings=[b"V", b"x"], types=[(0, 3, [1])],
                       objects=[dataclass(0, 1), NONE])
        expect({exc}, korvane.loads, doc)
        # An ordinary error of that step still means "no version".
        class Plain:
            def __index__(self): raise ValueError("no")
        V.__korvane_version__ = Plain()
        assert korvane.loads(korvane.dumps(V())) == V()
    """)


# ---- small documents that used to take superlinear time or memory -------------

# Each builds a document under 4 MB; the load must end (either way) within
# the bounds below (a 64 MiB budget beyond the result, and a margin for a
# busy machine), which are far above the figures it prints.
SMALL_SLOW = {
    "65,535 fields of an unregistered record": """
        names = [b"f%d" % i for i in range(65535)]
        types = [(0, 0, list(range(1, 65536)))]
        data = document(strings=[b"Wide"] + names, types=types,
                        objects=[dataclass(0, *[1] * 65535), NONE])
        outcome = ValueError""",
    "one field name 65,535 times": """
        data = document(strings=[b"Dup", b"a"], types=[(0, 0, [1] * 65535)],
                        objects=[dataclass(0), NONE])
        outcome = ValueError""",
    "1,000,000 references under 1,000 tuples": """
        sys.setrecursionlimit(100_000)
        depth = 1000  # 3.12 bounds C recursion near 1,500 levels whatever the limit
        objects = [seq(i + 1, tag=TUPLE) for i in range(depth)]
        objects.append(seq(*[0] * 1_000_000))
        data = document(objects=objects)
        outcome = tuple""",
    "two 65,535-field entries naming each other": """
        names = [b"f%d" % i for i in range(65535)]
        objects = [dataclass(0, *[2] * 65534, 1), dataclass(0, *[2] * 65534, 0), NONE]
        types = [(0, 0, list(range(1, 65536)))]
        data = document(strings=[b"A"] + names, types=types, objects=objects)
        outcome = ValueError""",  # a cycle made only of dataclasses
}


@pytest.mark.parametrize("limit", [None, 10**6], ids=["default limit", "raised limit"])
@pytest.mark.parametrize("build", SMALL_SLOW.values(), ids=SMALL_SLOW.keys())
def test_small_documents_load_in_linear_time_and_memory(build, limit):
    out = run_case(
        textwrap.dedent(build)
        + f"""
if {limit!r}: sys.setrecursionlimit({limit!r})
use_dataclasses()
korvane._reconstruct.make_class = korvane._reconstruct._make_class
def status(key):
    with open("/proc/self/status") as f:
        return int(next(l for l in f if l.startswith(key)).split()[1]) // 1024
assert len(data) < 4 << 20
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")   # the peak counts from here
before = status("VmRSS:")
start = time.monotonic()
try:
    result = type(korvane.loads(data))
except Exception as e:
    result = type(e)
seconds = time.monotonic() - start
peak = status("VmHWM:") - before
size = len(data) >> 10
print(f"figures: {{size}} KiB, {{seconds:.2f}} s, {{peak}} MiB peak,", result.__name__)
assert result is outcome, result
assert seconds < 3 and peak < 80, (seconds, peak)
"""
    )
    print(out)


# ---- dump ------------------------------------------------------------------------


def test_dump_refuses_a_short_write():
    run_case("""
        import fcntl, os
        class Writer:
            def __init__(self, answer): self.answer, self.calls = answer, 0
            def write(self, b):
                self.calls += 1
                return self.answer(b)
        for answer, error in ((lambda b: 10, OSError), (lambda b: len(b), None),
                              (lambda b: None, None), (lambda b: 2**80, None)):
            w = Writer(answer)
            if error: expect(error, korvane.dump, [1, 2, 3], w, match="took 10 of the")
            else: assert korvane.dump([1, 2, 3], w) is None
            assert w.calls == 1
        r, w = os.pipe()
        fcntl.fcntl(w, fcntl.F_SETFL, fcntl.fcntl(w, fcntl.F_GETFL) | os.O_NONBLOCK)
        with os.fdopen(w, "wb", buffering=0) as f:
            rest = "the rest was not written"
            expect(OSError, korvane.dump, bytes(1 << 20), f, match=rest)
        with os.fdopen(r, "rb") as f:
            expect(ValueError, korvane.load, f, match="truncated")
    """)
