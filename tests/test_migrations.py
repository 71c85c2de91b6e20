"""Schema migration steps: registration, path finding and the mapping they pass on."""

from __future__ import annotations

import threading
from dataclasses import dataclass

import pytest

import korvane
from korvane import _reconstruct, migrations
from korvane.migrations import apply_migrations, migration

V = ("__korvane_version__", "__meridel_version__")


@pytest.fixture(autouse=True)
def isolated_registries():
    with _reconstruct._isolated(), migrations._isolated():
        yield


def tagging(start, end, log):
    """Register a step start->end that records itself and the version it saw."""

    @migration("Doc", start, end)
    def step(fields):
        log.append((start, end, fields["__korvane_version__"]))
        fields["trail"] = fields.get("trail", ()) + (end,)
        return fields

    return step


@pytest.mark.parametrize(
    "edges, stored, current, path",
    [
        ([(1, 2), (2, 3)], 1, 3, [(1, 2), (2, 3)]),
        ([(3, 2), (2, 1)], 3, 1, [(3, 2), (2, 1)]),
        ([(1, 2), (2, 3), (3, 2), (2, 1)], 3, 1, [(3, 2), (2, 1)]),
        ([(1, 2), (2, 3), (1, 3)], 1, 3, [(1, 3)]),
        ([(1, 5), (5, 4), (4, 9), (1, 2)], 1, 9, [(1, 5), (5, 4), (4, 9)]),
        ([(7, 2)], 7, 2, [(7, 2)]),
        ([(1, 2)], 4, 4, []),
    ],
)
def test_chain_follows_shortest_path(edges, stored, current, path):
    log: list = []
    for a, b in edges:
        tagging(a, b, log)
    result = apply_migrations("Doc", {"x": 1}, stored, current)
    assert log == [(a, b, a) for a, b in path]
    assert result["x"] == 1
    assert result.get("trail", ()) == tuple(b for _, b in path)
    assert (result[V[0]], result[V[1]]) == (current, current)
    assert type(result) is dict


def test_migration_is_the_public_decorator():
    assert korvane.migration is migration

    @korvane.migration("Doc", 1, 2)
    def step(fields):
        return fields

    assert step.__name__ == "step"  # the decorator gives the function back


@pytest.mark.parametrize(
    "edges, stored, current, known",
    [
        ([], 1, 2, "none"),
        ([(1, 2)], 2, 1, "1->2"),
        ([(1, 2), (3, 4)], 1, 4, "1->2, 3->4"),
    ],
)
def test_missing_path_names_class_and_versions(edges, stored, current, known):
    for a, b in edges:
        migration("Doc", a, b)(lambda f: f)
    message = (
        f"no migration path for 'Doc' from version {stored} to version {current}"
        f" (registered steps: {known})"
    )
    with pytest.raises(ValueError) as info:
        apply_migrations("Doc", {}, stored, current)
    assert str(info.value) == message


def test_steps_of_other_classes_do_not_count():
    migration("Other", 1, 2)(lambda f: f)
    with pytest.raises(ValueError, match="'Doc' from version 1 to version 2"):
        apply_migrations("Doc", {}, 1, 2)


def test_duplicate_step_is_rejected():
    def first(f):
        return f

    migration("Doc", 1, 2)(first)
    with pytest.raises(ValueError, match="from version 1 to 2 is already.*first"):
        migration("Doc", 1, 2)(lambda f: f)
    migration("Doc", 2, 1)(first)  # the other direction is another step


@pytest.mark.parametrize(
    "name, start, end, error, match",
    [
        ("Doc", 0, 1, ValueError, "from_version must be from 1"),
        ("Doc", 1, 2**32, ValueError, "to_version must be from 1 to 4294967295"),
        ("Doc", -1, 1, ValueError, "from_version"),
        ("Doc", 2, 2, ValueError, "must change the version, not keep 2"),
        ("Doc", True, 2, TypeError, "from_version must be an int, not bool"),
        ("Doc", "1", 2, TypeError, "from_version must be an int, not str"),
        ("Doc", 1, 2.0, TypeError, "to_version must be an int, not float"),
        ("my.Doc", 1, 2, ValueError, "'my.Doc' is not a valid"),
        (None, 1, 2, TypeError, "class name must be a str"),
    ],
)
def test_migration_rejects_bad_arguments(name, start, end, error, match):
    with pytest.raises(error, match=match):
        migration(name, start, end)


def test_non_callable_step_is_rejected():
    with pytest.raises(TypeError, match="must be callable"):
        migration("Doc", 1, 2)(42)


@pytest.mark.parametrize(
    "step, error, match",
    [
        (lambda f: None, TypeError, "returned NoneType, not a dict"),
        (lambda f: list(f.items()), TypeError, "returned list, not a dict"),
        (lambda f: {**f, 3: "x"}, TypeError, "non-str key 3"),
    ],
)
def test_step_result_must_be_a_dict_with_str_keys(step, error, match):
    migration("Doc", 1, 2)(step)
    with pytest.raises(error, match=match):
        apply_migrations("Doc", {"a": 1}, 1, 2)


def test_each_step_gets_its_own_copy():
    seen = []

    @migration("Doc", 1, 2)
    def mutate(fields):
        seen.append(fields)
        fields["a"].append("step")  # values are shared, the mapping is not
        fields["b"] = 2
        del fields["a"]
        return {"c": 3}

    @migration("Doc", 2, 3)
    def fresh(fields):
        seen.append(fields)
        return fields

    original = {"a": [], V[0]: 1, V[1]: 1}
    result = apply_migrations("Doc", original, 1, 3)
    assert original == {"a": ["step"], V[0]: 1, V[1]: 1}
    assert result == {"c": 3, V[0]: 3, V[1]: 3}
    assert seen[0] is not original and seen[1] is not result


def test_step_error_passes_through_with_a_note():
    @migration("Doc", 1, 2)
    def broken(fields):
        raise KeyError("y")

    with pytest.raises(KeyError) as info:
        apply_migrations("Doc", {}, 1, 2)
    assert "while migrating 'Doc' from version 1 to 2" in info.value.__notes__


def test_result_must_fill_required_fields_of_registered_class():
    @korvane.register
    @dataclass
    class Doc:
        x: int
        z: int
        w: int = 0

    migration("Doc", 1, 2)(lambda f: f)  # forgets to rename y to z
    with pytest.raises(ValueError, match="left no value for required field\\(s\\) 'z'"):
        apply_migrations("Doc", {"x": 1, "y": 2}, 1, 2)


class Stop(BaseException):
    pass


def _raise(exc):
    raise exc


def _non_str_key(fields):
    fields[3] = "x"
    return fields


@pytest.mark.parametrize(
    "steps, mapping, stored, current",
    [
        ([(1, 2, lambda f: {**f, "b": f.pop("a")})], {"a": 1}, 1, 2),
        ([(1, 2, lambda f: f.update(b=2) or f), (2, 3, lambda f: f)], {"a": 1}, 1, 3),
        ([(3, 2, lambda f: {"only": 1})], {"a": 1}, 3, 2),
        ([(1, 2, lambda f: None)], {"a": 1}, 1, 2),
        ([(1, 2, lambda f: {**f, 3: "x"})], {"a": 1}, 1, 2),
        ([(1, 2, _non_str_key)], {"a": 1}, 1, 2),
        ([(1, 2, lambda f: _raise(KeyError("y")))], {}, 1, 2),
        ([(1, 2, lambda f: _raise(Stop("now")))], {}, 1, 2),
        ([(1, 2, lambda f: {"x": 1})], {"a": 1}, 1, 2),  # lacks the required z
        ([(1, 2, lambda f: {"x": 1, "z": 2})], {"a": 1}, 1, 2),
        ([], {"a": 1}, 4, 4),
    ],
)
def test_cached_plans_run_as_the_python_implementation(
    steps, mapping, stored, current, monkeypatch
):
    @korvane.register
    @dataclass
    class Doc:
        x: int
        z: int

    for start, end, step in steps:
        migration("Doc", start, end)(step)

    def outcome(apply):
        try:
            result = apply("Doc", dict(mapping), stored, current)
            return type(result), result
        except BaseException as exc:
            return type(exc), exc.args, getattr(exc, "__notes__", None)

    python = outcome(migrations._apply_migrations)
    fallbacks = []
    impl = migrations._apply_migrations
    monkeypatch.setattr(
        migrations, "_apply_migrations", lambda *a: fallbacks.append(a) or impl(*a)
    )
    assert outcome(apply_migrations) == python
    assert fallbacks == []  # the compiled front ran the plan itself


@pytest.mark.parametrize(
    "stored, current, error",
    [(-1, 2, ValueError), (1, 2**32, ValueError), ("1", 2, TypeError)],
)
def test_apply_migrations_checks_versions(stored, current, error):
    with pytest.raises(error):
        apply_migrations("Doc", {}, stored, current)


def test_isolated_and_clear():
    migration("Doc", 1, 2)(lambda f: {**f, "v": "outer"})
    with migrations._isolated():
        with pytest.raises(ValueError, match="registered steps: none"):
            apply_migrations("Doc", {}, 1, 2)
        migration("Doc", 1, 2)(lambda f: {**f, "v": "inner"})
        assert apply_migrations("Doc", {}, 1, 2)["v"] == "inner"
    assert apply_migrations("Doc", {}, 1, 2)["v"] == "outer"
    migrations._clear()
    with pytest.raises(ValueError):
        apply_migrations("Doc", {}, 1, 2)


def test_concurrent_registration():
    barrier = threading.Barrier(8)
    errors: list[Exception] = []

    def worker(i):
        barrier.wait()

        def step(f):
            return f

        step.__qualname__ = f"step{i}"  # distinct steps, not re-runs of one
        for version in range(1, 50):
            try:
                migration("Doc", version, version + 1)(step)
            except ValueError as exc:
                errors.append(exc)
        migration("Doc", 1000 + i, 1)(lambda f: f)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(errors) == 7 * 49
    assert apply_migrations("Doc", {}, 1003, 50)[V[0]] == 50
