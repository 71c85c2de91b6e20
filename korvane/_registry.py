"""The registrations that loading consults: classes by name and migration steps.

``korvane._reconstruct`` (classes, ``make_class``) and ``korvane.migrations``
(steps, ``apply_migrations``) both keep their state here and import nothing of
each other.  One lock guards both tables; every change bumps ``generation``
and calls the listeners, so a cache built from the registrations (the
constructors of ``make_class``, the migration paths) is dropped the moment
they change.  The checks that registering a class and registering a step
share (names, schema versions) live here too, so both apply the same rules.
"""

from __future__ import annotations

import dataclasses
import inspect
import keyword
import operator
import threading
import unicodedata
from collections.abc import Callable, Collection, Iterable
from typing import Any

Step = Callable[[dict[str, Any]], dict[str, Any]]

MAX_VERSION = 2**32 - 1
VERSION_ATTRS = ("__korvane_version__", "__meridel_version__")
_MISSING: Any = dataclasses.MISSING

lock = threading.RLock()
classes: dict[str, type] = {}
steps: dict[str, dict[int, dict[int, Step]]] = {}
# Bumped on every change under the lock; a cache entry made at one
# generation is stale at any other.
generation = 0
_listeners: list[Callable[[], None]] = []


def on_change(listener: Callable[[], None]) -> None:
    """Call ``listener()`` (under the lock) whenever a registration changes."""
    with lock:
        if listener not in _listeners:
            _listeners.append(listener)


def changed() -> None:
    """Tell every listener that the registrations changed; hold the lock."""
    global generation
    generation += 1
    for listener in _listeners:
        listener()


def has_steps(name: str) -> bool:
    """Whether any migration step is registered for class ``name``."""
    return bool(steps.get(name))


# -- shared checks -------------------------------------------------------------


def check_name(what: str, value: object) -> str:
    """A class or field name: a str that stays the same identifier in source."""
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    # Source code folds identifiers to NFKC, so only folded names stay the
    # same name in a generated __init__.
    if (
        not value.isidentifier()
        or keyword.iskeyword(value)
        or unicodedata.normalize("NFKC", value) != value
    ):
        raise ValueError(f"{what} {value!r} is not a valid Python identifier")
    return value


def check_version(what: str, value: object, *, lowest: int) -> int:
    """A schema version argument: an int (not bool) from ``lowest`` to 2**32-1."""
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an int, not bool")
    try:
        version = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None
    if not lowest <= version <= MAX_VERSION:
        raise ValueError(
            f"{what} must be from {lowest} to {MAX_VERSION}, not {version}"
        )
    return version


def check_version_attribute(cls: type) -> None:
    """Refuse a class whose declared schema version the encoder cannot write.

    The encoder writes a version that is not an int from 0 to 2**32-1 as 0
    (no version), so the class's migrations would never run.  A descriptor
    (a property giving the version per instance) cannot be checked here.
    """
    for attr in VERSION_ATTRS:
        value = inspect.getattr_static(cls, attr, _MISSING)
        if value is _MISSING:
            continue
        if hasattr(type(value), "__get__"):
            return
        where = f"{qualname(cls)}.{attr} is {value!r}"
        rule = (
            f"a schema version is an int from 0 to {MAX_VERSION} (0 for none); "
            "any other value is written as 0, and such documents are never migrated"
        )
        if isinstance(value, bool) or not hasattr(type(value), "__index__"):
            raise TypeError(f"{where}: {rule}")
        if not 0 <= operator.index(value) <= MAX_VERSION:
            raise ValueError(f"{where}: {rule}")
        return


def declared_version(cls: type) -> int:
    """The schema version a class declares, 0 for none (as the decoder reads it)."""
    for attr in VERSION_ATTRS:
        value = getattr(cls, attr, _MISSING)
        if value is not _MISSING:
            try:
                version = operator.index(value)
            except TypeError:
                return 0
            return version if 0 <= version <= MAX_VERSION else 0
    return 0


def required_fields(cls: type) -> frozenset[str]:
    """The init fields of a dataclass that have no default."""
    return frozenset(
        f.name
        for f in dataclasses.fields(cls)  # type: ignore[arg-type]
        if f.init and f.default is _MISSING and f.default_factory is _MISSING
    )


def missing_required(name: str, keys: Collection[str]) -> list[str]:
    """Required init fields of the class registered as ``name`` absent from ``keys``."""
    cls = classes.get(name)
    if cls is None:
        return []
    return sorted(required_fields(cls).difference(keys))


def qualname(obj: Any) -> str:
    """``module.qualified.name`` of a class or function: what re-runs keep."""
    module = getattr(obj, "__module__", None)
    name = getattr(obj, "__qualname__", None) or repr(obj)
    return f"{module}.{name}" if module else name


def names(items: Iterable[str]) -> str:
    return ", ".join(repr(n) for n in sorted(items))
