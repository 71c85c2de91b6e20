"""Nesting is bounded by sys.getrecursionlimit() on every Python version,
both ways, whatever the interpreter counts against its limit itself."""

import pytest
from conftest import run_isolated

NESTS = {
    "list": "[x]",
    "tuple": "(x,)",
    "dict value": "{'k': x}",
    "frozenset": "frozenset([x])",
    "dataclass": "Box(x)",
}

# (recursion limit, nesting depth, outcome of dumps and of loads). The depths
# stay where the native stack guard allows every kind even in the sanitizer
# build, so that the limit alone decides.
BOUNDARIES = [
    (200, 150, "ok"),
    (200, 250, "RecursionError"),
    (700, 650, "ok"),
    (700, 750, "RecursionError"),
]


@pytest.fixture(scope="module")
def outcomes():
    code = f"""
        import sys
        from dataclasses import dataclass
        import korvane

        @dataclass
        class Box:
            inner: object

        def outcome(call, *args):
            try:
                call(*args)
            except RecursionError as exc:
                assert str(exc).startswith("maximum recursion depth exceeded"), exc
                return "RecursionError"
            return "ok"

        for kind, step in {NESTS!r}.items():
            for limit, depth, _ in {BOUNDARIES!r}:
                x = None
                for _ in range(depth):
                    x = eval(step)
                sys.setrecursionlimit(100_000)
                data = korvane.dumps(x)
                # The document read back under a high limit writes the same bytes.
                assert korvane.dumps(korvane.loads(data)) == data
                sys.setrecursionlimit(limit)
                dumped, loaded = outcome(korvane.dumps, x), outcome(korvane.loads, data)
                print(kind, limit, depth, dumped, loaded, sep="|", flush=True)
                assert korvane.loads(korvane.dumps([1])) == [1]
    """
    result = run_isolated(code, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    table = {}
    for line in result.stdout.splitlines():
        kind, limit, depth, dumped, loaded = line.split("|")
        table[kind, int(limit), int(depth)] = [dumped, loaded]
    return table


@pytest.mark.parametrize("limit, depth, want", BOUNDARIES)
@pytest.mark.parametrize("kind", NESTS)
def test_nesting_against_the_recursion_limit(outcomes, kind, limit, depth, want):
    assert outcomes[kind, limit, depth] == [want, want]
