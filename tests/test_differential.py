"""Every fast path of `_korvane` against the plain reference in oracle.py:
generated graphs, held and as temporaries, byte for byte on writing and
object for object on reading, in writer order and permuted."""

from __future__ import annotations

import gc
import io
import os

import graphs
import oracle
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _korvane

SETTINGS = settings(
    max_examples=int(os.environ.get("KORVANE_EXAMPLES", "1000")),
    deadline=None,
    suppress_health_check=list(HealthCheck),
)


def outcome(load, data: bytes):
    try:
        return load(data), None
    except (ValueError, TypeError, RecursionError) as e:
        return None, (type(e), str(e))


def assert_same_outcome(data: bytes) -> object:
    got, error = outcome(_korvane.loads, data)
    want, want_error = outcome(oracle.decode, data)
    assert error == want_error
    if error is None:
        graphs.assert_same(got, want)
    return got


@SETTINGS
@given(graphs.recipes())
def test_dumps_of_held_and_temporary_graphs_is_the_plain_walk(recipe):
    held = graphs.materialize(recipe)
    want = oracle.encode(held[0])
    assert _korvane.dumps(held[0]) == want
    assert _korvane.dumps(graphs.temporary(recipe)) == want
    buffer = io.BytesIO()
    _korvane.dump(graphs.temporary(recipe), buffer)
    assert buffer.getvalue() == want


@SETTINGS
@given(graphs.recipes(), st.randoms(use_true_random=False))
def test_loads_is_the_plain_build_in_writer_order_and_permuted(recipe, rnd):
    data = oracle.encode(graphs.temporary(recipe))
    got = assert_same_outcome(data)
    if got is not None and not any(k in graphs.UNORDERED for k, _ in recipe):
        assert _korvane.dumps(got) == data  # and writes the same bytes again
    order = list(range(1, len(oracle.Parsed(data).entries)))
    rnd.shuffle(order)
    assert_same_outcome(oracle.renumber(data, [0] + order))


@pytest.mark.parametrize(
    "make",
    [
        lambda: (lambda d: (d.__setitem__("self", d), d)[1])({"a": 1}),
        lambda: (lambda x: (x.append(x), x)[1])([1]),
        lambda: (lambda x: (x.append((x,)), x[0])[1])([]),
        lambda: (lambda x: (x.append(frozenset({1})), (x, x[0]))[1])([]),
    ],
    ids=["dict-self", "list-self", "tuple-through-list", "shared-frozenset"],
)
def test_temporary_roots_keep_their_cycles(make):
    data = _korvane.dumps(make())
    assert data == oracle.encode(make())
    graphs.assert_same(_korvane.loads(data), oracle.decode(data))


def test_a_collection_cannot_move_objects_behind_a_plain_walk():
    # A finalizer run by a collection in the middle of the walk would put an
    # object the walk has passed (and, holding it alone, not remembered) where
    # the walk meets it again.
    inner = []
    graph = [[inner], {1}, []]  # iterating the set allocates a tracked object
    del inner

    class Mover:
        def __del__(self):
            graph[2].append(graph[0][0])

    mover = Mover()
    mover.cycle = mover
    del mover
    threshold = gc.get_threshold()
    gc.set_threshold(1)
    try:
        data = _korvane.dumps(graph)
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    back = _korvane.loads(data)
    assert not back[2] or back[2][0] is back[0][0]
    assert graph[2] and gc.isenabled()  # the finalizer ran, after the walk


def test_user_code_runs_with_the_collector_as_the_caller_left_it():
    seen = []

    class Probe(graphs.Pair):
        @property
        def right(self):
            seen.append(gc.isenabled())
            return 1

        @right.setter
        def right(self, value):
            pass

    _korvane.dumps([{1}, Probe(1, 2)])
    gc.disable()
    try:
        _korvane.dumps([{1}, Probe(1, 2)])
    finally:
        gc.enable()
    assert seen == [True, False]
