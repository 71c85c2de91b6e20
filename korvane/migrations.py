"""Schema migrations: steps that turn the stored fields of one version into another.

A step is registered per (class name, from version, to version)::

    @korvane.migration("Point", 1, 2)
    def rename_y(fields):
        fields["z"] = fields.pop("y")
        return fields

When a document stores a version of a class other than the one the class
declares (``__korvane_version__``), the decoder calls :func:`apply_migrations`,
which chains the registered steps along the shortest path between the two
versions, upwards or downwards.  The class name is the one stored in the data:
the bare ``__name__`` of the class that wrote it.
"""

from __future__ import annotations

import sys
from collections import deque
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, TypeVar

from _korvane import _bind_apply_migrations
from korvane import _registry
from korvane._registry import Step

__all__ = ["apply_migrations", "migration"]

S = TypeVar("S", bound=Step)

VERSION_KEYS = _registry.VERSION_ATTRS


def migration(name: str, from_version: int, to_version: int) -> Callable[[S], S]:
    """Decorator registering a step ``f(fields) -> fields`` between two versions.

    Versions are integers from 1 to 2**32-1 (0 means "no version" and is never
    migrated); the name follows the rules of :func:`korvane.register`.  A
    function of the same module and qualified name as the registered step
    replaces it (a re-run cell, a reloaded module); another step for the same
    (name, from, to) is a ValueError.  So is a class registered under the name
    whose schema version the encoder cannot write.
    """
    _registry.check_name("class name", name)
    start = _registry.check_version("from_version", from_version, lowest=1)
    end = _registry.check_version("to_version", to_version, lowest=1)
    if start == end:
        raise ValueError(
            f"a migration of {name!r} must change the version, not keep {start}"
        )
    cls = _registry.classes.get(name)
    if cls is not None:
        _registry.check_version_attribute(cls)

    def decorator(step: S) -> S:
        if not callable(step):
            raise TypeError(
                f"a migration step must be callable, not {type(step).__name__}"
            )
        with _registry.lock:
            edges = _registry.steps.setdefault(name, {}).setdefault(start, {})
            taken = edges.get(end)
            same = _registry.qualname(taken) == _registry.qualname(step)
            if taken is not None and not same:
                raise ValueError(
                    f"a migration of {name!r} from version {start} to {end} is "
                    f"already registered ({_step_name(taken)})"
                )
            edges[end] = step
            _registry.changed()
        return step

    return decorator


def _apply_migrations(
    name: str, mapping: Mapping[str, Any], stored: int, current: int
) -> dict[str, Any]:
    """apply_migrations for every call the compiled front does not run itself.

    The front (``apply_migrations`` below) runs a plan found in ``_plans`` for
    an exact str, dict and two ints, doing what this function does in the same
    order and calling the same helpers; this function does all the rest and
    makes the plans.
    """
    # The decoder asks with the same (name, stored, current) for every
    # instance of a class: the checked arguments, the chain of steps and the
    # class's required fields are worked out once, until a registration
    # changes. Only exact ints hit the cache (True or 1.0 would hash alike).
    plan = None
    if type(stored) is int and type(current) is int:
        plan = _plans.get((name, stored, current))
    if plan is None:
        plan = _plan(name, stored, current)
    path, required, stored, current = plan
    first, second = VERSION_KEYS
    data = dict(mapping)
    data[first] = data[second] = stored
    for start, end, step in path:
        try:
            result = step(data)
        except Exception as exc:
            _note_failure(exc, name, start, end)
            raise
        data = _step_result(name, start, end, step, result, data)
        data[first] = data[second] = end
    if not required <= data.keys():
        _check_complete(name, data, stored, current)
    # The last step may keep the dict it was given: return another.
    return dict(data) if path else data


if TYPE_CHECKING:

    def apply_migrations(
        name: str, mapping: Mapping[str, Any], stored: int, current: int
    ) -> dict[str, Any]:
        """Migrate the field values of ``name`` from ``stored`` to ``current``."""
        ...

else:
    # apply_migrations(name, mapping, stored, current): migrate the field
    # values of ``name`` from version ``stored`` to ``current``.  Steps run
    # along the shortest chain of registered steps; each gets a fresh dict it
    # may change and must return a dict.  The result holds the version keys
    # set to the version reached.  No chain is a ValueError naming the class
    # and both versions.  The decoder calls it once per migrated instance, so
    # a cached plan runs in compiled code; everything else goes to
    # ``_apply_migrations``.
    apply_migrations = _bind_apply_migrations(sys.modules[__name__])


def _note_failure(exc: BaseException, name: str, start: int, end: int) -> None:
    exc.add_note(f"while migrating {name!r} from version {start} to {end}")


def _step_result(
    name: str, start: int, end: int, step: Step, result: object, data: dict[str, Any]
) -> dict[str, Any]:
    """The dict the next step gets: the step's own, or a checked copy."""
    if result is not data or not all(map(_is_str, data)):
        # A dict the step made may be held elsewhere: keep a copy.
        return _checked_result(name, start, end, step, result)
    return data


# Past this many (name, stored, current) plans the cache starts afresh, so
# crafted documents with ever new versions cannot grow it without end.
_PLAN_LIMIT = 4096
# (name, stored, current) -> (chain of steps, required fields, stored, current)
_Plan = tuple[list[tuple[int, int, "Step"]], frozenset[str], int, int]
_plans: dict[tuple[str, int, int], _Plan] = {}
_registry.on_change(_plans.clear)
_is_str = str.__instancecheck__


def _plan(name: str, stored: int, current: int) -> _Plan:
    _registry.check_name("class name", name)
    stored = _registry.check_version("stored", stored, lowest=0)
    current = _registry.check_version("current", current, lowest=0)
    with _registry.lock:
        generation = _registry.generation
        path = _path(name, stored, current)
        cls = _registry.classes.get(name)
        required = frozenset() if cls is None else _registry.required_fields(cls)
    plan = (path, required, stored, current)
    with _registry.lock:
        if _registry.generation == generation:
            if len(_plans) >= _PLAN_LIMIT:
                _plans.clear()
            _plans[name, stored, current] = plan
    return plan


def _path(name: str, stored: int, current: int) -> list[tuple[int, int, Step]]:
    """The shortest chain of steps, by breadth-first search over the registered ones."""
    if stored == current:
        return []
    with _registry.lock:  # the caller may hold it too (it is reentrant)
        graph = {
            start: dict(ends) for start, ends in _registry.steps.get(name, {}).items()
        }
    came_from: dict[int, int] = {stored: stored}
    queue = deque([stored])
    while queue and current not in came_from:
        version = queue.popleft()
        for nxt in sorted(graph.get(version, ())):
            if nxt not in came_from:
                came_from[nxt] = version
                queue.append(nxt)
    if current not in came_from:
        known = ", ".join(f"{a}->{b}" for a in sorted(graph) for b in sorted(graph[a]))
        raise ValueError(
            f"no migration path for {name!r} from version {stored} to version "
            f"{current} (registered steps: {known or 'none'})"
        )
    path: list[tuple[int, int, Step]] = []
    version = current
    while version != stored:
        prev = came_from[version]
        path.append((prev, version, graph[prev][version]))
        version = prev
    path.reverse()
    return path


def _checked_result(
    name: str, start: int, end: int, step: Step, result: object
) -> dict[str, Any]:
    where = f"migration {_step_name(step)} of {name!r} from {start} to {end}"
    if not isinstance(result, dict):
        raise TypeError(
            f"{where} returned {type(result).__name__}, not a dict "
            "(did it forget to return the fields?)"
        )
    for key in result:
        if not isinstance(key, str):
            raise TypeError(f"{where} returned a non-str key {key!r}")
    return dict(result)


def _check_complete(name: str, data: dict[str, Any], stored: int, current: int) -> None:
    missing = _registry.missing_required(name, data.keys())
    if missing:
        raise ValueError(
            f"migrating {name!r} from version {stored} to version {current} left "
            f"no value for required field(s) {_registry.names(missing)}"
        )


def _stamp(data: dict[str, Any], version: int) -> None:
    for key in VERSION_KEYS:
        data[key] = version


def _clear() -> None:
    """Forget every registered migration step (for tests)."""
    with _registry.lock:
        _registry.steps.clear()
        _registry.changed()


@contextmanager
def _isolated() -> Iterator[None]:
    """Run a block with no migration steps, restoring the old ones after."""
    with _registry.lock:
        saved = {
            n: {a: dict(e) for a, e in s.items()} for n, s in _registry.steps.items()
        }
        _clear()
    try:
        yield
    finally:
        with _registry.lock:
            _registry.steps.clear()
            _registry.steps.update(saved)
            _registry.changed()


def _step_name(step: object) -> str:
    return getattr(step, "__qualname__", None) or repr(step)
