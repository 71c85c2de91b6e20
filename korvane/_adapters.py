"""Adapters: how values of types the encoder does not know are written and read.

The encoder writes the built-in values and dataclasses itself.  Where it
would otherwise give up with ``TypeError: Unsupported type: X`` (after the
exact built-in names and after ``dataclasses.is_dataclass``), it asks this
registry for an adapter of the object's type:

* A two-way adapter (one with ``decode``) turns the object into a dict of
  fields, written as a dataclass entry under the adapter's name with schema
  version 0.  On loading, ``make_class(name, fields)`` answers with ``decode``
  itself, which is called as ``decode(**fields)``.  The name is a registered
  name like a class's: unique among classes and adapters, and checked by the
  allowlist.  A reader without the adapter gets a plain record of the fields.
* A one-way adapter (no ``decode``) returns a value that is written in the
  object's place; loading gives that value back.

The compiled encoder reads ``_exact`` and ``_inherited`` directly; every
change to them happens under the registry lock and drops the cached
constructors of ``make_class``.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, NamedTuple

from _korvane import _bind_stock
from korvane import _reconstruct

# The encoder answers dataclasses.is_dataclass itself for types that can never
# be dataclasses, while the function is the one recorded here.
_bind_stock(dataclasses)

__all__ = ["Adapter", "adapt", "unadapt"]

# Types the encoder writes by itself, by the name it dispatches on: an
# adapter for them would never run.  int is the exception: its adapter
# writes the ints outside the signed 64-bit range.
_BUILTIN_NAMES = frozenset(
    ["NoneType", "bool", "float", "str", "bytes", "list", "tuple", "dict", "set"]
    + ["frozenset"]
)


class Adapter(NamedTuple):
    """One registered adapter, as :func:`adapt` was given it."""

    cls: type
    encode: Callable[[Any], Any]
    decode: Callable[..., Any] | None
    name: str | None  # the record name; None for a one-way adapter
    subclasses: bool


# cls -> (encode, name or None): what the compiled encoder reads.
_exact: dict[type, tuple[Callable[[Any], Any], str | None]] = {}
# The classes adapted together with their subclasses, same entries.
_inherited: dict[type, tuple[Callable[[Any], Any], str | None]] = {}
_adapters: dict[type, Adapter] = {}
_decoders: dict[str, Callable[..., Any]] = {}  # record name -> decode


def adapt(
    cls: type,
    encode: Callable[[Any], Any],
    decode: Callable[..., Any] | None = None,
    *,
    name: str | None = None,
    subclasses: bool = False,
) -> Adapter:
    """Teach the encoder a type it cannot write by itself.

    With ``decode``, ``encode(obj)`` returns a dict of field name -> value,
    written as a record named ``name`` (default ``cls.__name__``) that loads
    back as ``decode(**fields)``.  Without it, ``encode(obj)`` returns the
    value written in the object's place.  ``subclasses=True`` applies the
    adapter to instances of subclasses too (the nearest adapted base in the
    MRO wins); by default only the exact type is adapted.  Adapting a class
    again replaces its adapter.  Returns the registered :class:`Adapter`.
    """
    if not isinstance(cls, type):
        raise TypeError(f"adapt() expects a class, not {_reconstruct._describe(cls)}")
    for what, fn in (("encode", encode), ("decode", decode)):
        if fn is not None and not callable(fn):
            raise TypeError(f"{what} must be callable, not {type(fn).__name__}")
    _check_adaptable(cls, subclasses)
    if decode is None:
        if name is not None:
            raise TypeError(
                "name is only used with decode: a one-way adapter writes no record"
            )
        key = None
    else:
        key = cls.__name__ if name is None else name
        _reconstruct._check_identifier("adapter name", key)
    adapter = Adapter(cls, encode, decode, key, bool(subclasses))
    with _reconstruct._lock:
        if key is not None:
            _check_free(key, cls)
        _remove(cls)
        _install(adapter)
        _reconstruct._forget()
    return adapter


def unadapt(cls: type) -> Adapter | None:
    """Remove the adapter of ``cls``; return it (None if there was none)."""
    with _reconstruct._lock:
        adapter = _remove(cls)
        _reconstruct._forget()
    return adapter


def adapter_named(name: str) -> Adapter | None:
    """The two-way adapter that writes records named ``name``, if any."""
    decode = _decoders.get(name)
    if decode is None:
        return None
    return next((a for a in _adapters.values() if a.name == name), None)


def _decoder(name: str) -> Callable[..., Any] | None:
    """What ``make_class`` answers for an adapter's record name (None: no adapter)."""
    return _decoders.get(name)


def _check_adaptable(cls: type, subclasses: bool) -> None:
    if cls is int:
        if subclasses:
            raise ValueError(
                "an adapter for int writes only ints outside the signed 64-bit "
                "range; it cannot apply to subclasses of int"
            )
        return
    if cls.__name__ in _BUILTIN_NAMES or cls.__name__ == "int":
        raise ValueError(
            f"the encoder writes {cls.__name__!r} values by itself (it dispatches on "
            f"the type name), so an adapter for {_reconstruct._qualname(cls)} "
            "would never run"
        )
    if dataclasses.is_dataclass(cls):
        raise TypeError(
            f"{_reconstruct._qualname(cls)} is a dataclass, which the encoder writes "
            "by itself: register it with korvane.register instead"
        )


def _check_free(name: str, cls: type) -> None:
    """Refuse a record name that another class or adapter holds."""
    taken = _reconstruct._classes.get(name)
    if taken is not None:
        raise ValueError(
            f"the name {name!r} is already registered to the class "
            f"{_reconstruct._qualname(taken)}; cannot adapt "
            f"{_reconstruct._qualname(cls)} under it"
        )
    owner = adapter_named(name)
    if owner is not None and owner.cls is not cls:
        raise ValueError(
            f"the name {name!r} is already used by the adapter of "
            f"{_reconstruct._qualname(owner.cls)}; cannot adapt "
            f"{_reconstruct._qualname(cls)} under it"
        )


def _name_taken(name: str) -> str | None:
    """Who holds ``name`` among the adapters, for the class registry's check."""
    owner = adapter_named(name)
    return (
        None if owner is None else f"the adapter of {_reconstruct._qualname(owner.cls)}"
    )


def _install(adapter: Adapter) -> None:
    _adapters[adapter.cls] = adapter
    _exact[adapter.cls] = (adapter.encode, adapter.name)
    if adapter.subclasses:
        _inherited[adapter.cls] = (adapter.encode, adapter.name)
    if adapter.name is not None and adapter.decode is not None:
        _decoders[adapter.name] = adapter.decode


def _remove(cls: type) -> Adapter | None:
    adapter = _adapters.pop(cls, None)
    _exact.pop(cls, None)
    _inherited.pop(cls, None)
    if adapter is not None and adapter.name is not None:
        _decoders.pop(adapter.name, None)
    return adapter


def _check_fields(type_name: str, keys: tuple[str, ...]) -> None:
    """Called by the encoder for the first record of a name in a document."""
    for key in keys:
        try:
            _reconstruct._check_identifier("field name", key)
        except (TypeError, ValueError) as exc:
            raise TypeError(
                f"cannot encode {type_name}: its adapter returned the field name "
                f"{key!r}, which is not a valid Python identifier"
            ) from exc


@contextmanager
def _isolated() -> Iterator[None]:
    """Run a block with no adapters, restoring the old ones after (for tests)."""
    with _reconstruct._lock:
        saved = list(_adapters.values())
        for adapter in saved:
            _remove(adapter.cls)
        _reconstruct._forget()
    try:
        yield
    finally:
        with _reconstruct._lock:
            for cls in list(_adapters):
                _remove(cls)
            for adapter in saved:
                _install(adapter)
            _reconstruct._forget()
