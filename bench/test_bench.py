"""Checks of the benchmark's own logic (run: pytest bench/test_bench.py).

The round-trip checker decides which serializer is "n/a"; a checker that lets
a wrong copy through would put a broken serializer in the tables.
"""

import json
import math
import pickle
import subprocess
import sys
from pathlib import Path

import pytest
from run import memory_kib, parse_args, round_trip, summarize
from serializers import load_serializer
from workloads import WORKLOADS, Record, build_deep, build_graph, check_equal

HERE = Path(__file__).resolve().parent


def _cycle():
    a = [1]
    a.append(a)
    return a


def _shared():
    inner = [1, 2]
    return [inner, inner]


@pytest.mark.parametrize(
    "original, copy_, expected",
    [
        ({"a": [1, 2.5, "x", b"y", None, True]}, None, None),
        ([1], [1.0], "type int became float"),
        ([True], [1], "type bool became int"),
        ([(1, 2)], [[1, 2]], "type tuple became list"),
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}, "key 'a' became 'b'"),
        ([0.0], [-0.0], "0.0 became -0.0"),
        ([math.nan], [math.nan], None),
        ({1, 2}, {1, 2.0}, "element types differ"),
        (Record(1, "n", 0.5, True, []), Record(1, "n", 0.5, True, ["x"]), "length"),
        (_shared(), [[1, 2], [1, 2]], "a shared list was split"),
        ([[1], [1]], None, None),
        (_cycle(), None, None),
        (_shared(), None, None),
    ],
)
def test_check_equal(original, copy_, expected):
    if copy_ is None:
        copy_ = pickle.loads(pickle.dumps(original))
    problem = check_equal(original, copy_)
    if expected is None:
        assert problem is None
    else:
        assert expected in problem


def test_check_equal_rejects_merged_containers():
    original = [[1], [1]]
    merged = [[1]] * 2
    assert "were merged" in check_equal(original, merged)


def test_check_equal_walks_deep_nesting_without_recursion():
    deep, other = build_deep(quick=False), build_deep(quick=False)
    assert check_equal(deep, other) is None
    # Change the innermost leaf: the difference is found 5000 levels down.
    leaf = other
    while not isinstance(leaf, str):
        holder, key = (leaf, 1) if isinstance(leaf, list) else (leaf, "k")
        leaf = leaf[key]
    holder[key] = "changed"
    assert "'leaf' became 'changed'" in check_equal(deep, other)


def test_graph_workload_round_trips_through_pickle_only_with_sharing():
    graph = build_graph(quick=True)
    assert check_equal(graph, pickle.loads(pickle.dumps(graph))) is None
    assert graph["root"] is graph
    # A copy that loses sharing (each node copied per reference) is refused.
    flattened = dict(graph, tags=[list(t) for t in graph["tags"]])
    flattened["root"] = flattened
    assert "a shared list was split" in check_equal(graph, flattened)


@pytest.mark.parametrize(
    "name, value, reason",
    [
        ("orjson", [b"x"], "dumps raised TypeError"),
        ("msgpack", [(1, 2)], "type tuple became list"),
        ("pickle", [(1, 2), {3}], ""),
    ],
)
def test_round_trip_marks_unfaithful_serializers(name, value, reason):
    pytest.importorskip(name)
    data, problem = round_trip(load_serializer(name), value, WORKLOADS["ints"])
    assert (data is None) == bool(reason)
    assert reason in problem


def _result(dumps, loads, size, mem):
    return {
        "status": "ok",
        "dumps_ns": dumps,
        "loads_ns": loads,
        "size": size,
        "rss_peak_kib": {"dumps": mem, "loads": mem},
    }


def test_summarize_ratios_and_geometric_mean():
    workloads = {
        "a": {
            "results": {
                "korvane": _result(2, 4, 10, 8),
                "pickle": _result(4, 2, 10, 8),
                "msgspec": _result(1, 8, 5, 0),
            }
        },
        "b": {
            "results": {
                "korvane": _result(8, 4, 10, 8),
                "pickle": _result(4, 4, 20, 16),
                "orjson": {"status": "n/a", "reason": "bytes"},
            }
        },
    }
    summary = summarize(workloads)
    row = summary["rows"]["a"]
    assert row["dumps"]["vs_pickle"] == 0.5
    assert row["dumps"]["best_peer"] == "msgspec"
    assert row["dumps"]["vs_best_peer"] == 2.0
    assert row["loads"]["best_peer"] == "pickle"
    # A zero RSS peak reads as one page, so the ratio stays finite.
    assert row["dumps_memory"]["vs_best_peer"] == 2.0
    assert row["loads_memory"]["vs_best_peer"] == 2.0
    assert summary["geomean"]["dumps"]["vs_pickle"] == pytest.approx(1.0)
    assert summary["geomean"]["size"]["vs_pickle"] == pytest.approx(math.sqrt(0.5))


def test_memory_falls_back_to_tracemalloc_when_rss_failed():
    r = {
        "rss_peak_kib": {"dumps": None, "loads": 40},
        "tracemalloc_peak": {"dumps": 2048 * 1024, "loads": 1024},
    }
    assert (memory_kib(r, "dumps"), memory_kib(r, "loads")) == (2048, 40)


@pytest.mark.parametrize(
    "name", [n for n, w in WORKLOADS.items() if w.build.__name__ != "build"]
)
def test_builders_are_deterministic(name):
    # The memory children rebuild the input and must get the same one.
    build = WORKLOADS[name].build
    assert check_equal(build(True), build(True)) is None


def test_rss_child_sees_allocations_outside_tracemalloc():
    # A 5 MiB bytes copy made by pickle.loads must show in the RSS peak.
    if not _clear_refs_writable():
        pytest.skip("/proc/self/clear_refs is not writable here")
    out = subprocess.run(
        [
            sys.executable,
            str(HERE / "run.py"),
            "--child-rss",
            "pickle",
            "bytes",
            "loads,dumps",
            "--quick",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    result = json.loads(out.stdout)
    for op in ("loads", "dumps"):
        assert result[op]["method"] == "VmHWM"
        assert 5 * 1024 <= result[op]["peak_kib"] < 3 * 5 * 1024


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--only", "twitter,nope"], "unknown workload nope"),
        (["--serializers", "korvane,yaml"], "unknown serializer yaml"),
        (["--reps", "0"], "--reps must be at least 1"),
    ],
)
def test_command_line_rejects_bad_arguments(argv, message, capsys):
    with pytest.raises(SystemExit):
        parse_args(argv)
    assert message in capsys.readouterr().err


def _clear_refs_writable():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def test_migrated_rows_equal_the_plain_ones():
    import migrated

    result = migrated.measure(quick=True, reps=1)  # raises when they differ
    assert result["rows"] == 10_000 and set(result["ms"]) == {
        "plain",
        "migrated",
        "by hand",
    }
