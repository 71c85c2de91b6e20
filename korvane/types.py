"""Ready adapters for standard-library types, each registered on request.

::

    import datetime, decimal
    import korvane.types

    korvane.types.use(datetime.datetime, decimal.Decimal)  # just these
    korvane.types.register_standard()                       # or all of them
    korvane.types.enum(Color)                               # one Enum class

Every adapter is two-way: a value is written as a record of plain fields and
comes back as an equal value of the same type.  ``NAMES`` holds the record
names they write, for allowlists::

    korvane.loads(data, allowlist={"Order", *korvane.types.NAMES})

The records (name: fields, each a plain value or another record):

* ``datetime``: year, month, day, hour, minute, second, microsecond, tzinfo,
  fold; ``time``: hour, minute, second, microsecond, tzinfo, fold; ``date``:
  year, month, day; ``timedelta``: days, seconds, microseconds.  ``tzinfo`` is
  None, a ``timezone`` (offset, name) or a ``ZoneInfo`` (key); a zone of any
  other class needs an adapter of its own.  Registering datetime or time also
  registers timezone, ZoneInfo and timedelta.
* ``Decimal``: value, its exact text (signs, NaN payloads, sNaN, exponents).
* ``UUID``: hex.  ``Fraction``: numerator, denominator.  ``complex``: real, imag.
* ``PurePosixPath``, ``PureWindowsPath``, ``PosixPath``, ``WindowsPath``: path,
  for those classes and their subclasses.  A concrete path of the other
  system's flavour loads as its pure flavour (it cannot be made here).
* ``BigInt``: hex, for ints outside the signed 64-bit range, which the format
  cannot hold natively (the encoder writes every other int itself).
  Fractions with such parts need it too; ``register_standard`` has both.
* An Enum class given to :func:`enum`: its members by name (``Flag`` classes:
  by value, so that combined flags work), under the class's name.
"""

from __future__ import annotations

import datetime as _dt
import decimal as _decimal
import enum as _enum
import fractions as _fractions
import os as _os
import pathlib as _pathlib
import uuid as _uuid
import zoneinfo as _zoneinfo
from collections.abc import Callable
from typing import Any

from _korvane import _attribute_record, _bind_positional, _text_record
from korvane._adapters import Adapter, adapt

__all__ = ["NAMES", "enum", "register_standard", "use"]


# The encoders read attributes in field order, as compiled functions: each
# gives {field: getattr(value, field) for field in its fields}.
_CLOCK = ("hour", "minute", "second", "microsecond", "tzinfo", "fold")
_datetime = _attribute_record(("year", "month", "day", *_CLOCK))
_time = _attribute_record(_CLOCK)
_date = _attribute_record(("year", "month", "day"))
_timedelta = _attribute_record(("days", "seconds", "microseconds"))

# These classes parse each argument by position or by name alike, so loading
# passes the stored fields by position (fold alone is keyword-only).
for _cls, _by_position, _by_name in [
    (_dt.datetime, ("year", "month", "day", *_CLOCK[:-1]), ("fold",)),
    (_dt.time, _CLOCK[:-1], ("fold",)),
    (_dt.date, ("year", "month", "day"), ()),
    (_dt.timedelta, ("days", "seconds", "microseconds"), ()),
    (_decimal.Decimal, ("value",), ()),
]:
    if _cls.__flags__ & (1 << 8):  # immutable: its constructor cannot be replaced
        _bind_positional(_cls, _by_position, _by_name)


def _timezone_fields(tz: _dt.timezone) -> dict[str, Any]:
    # (offset,) or (offset, name): the explicit name, None for the default one.
    args = tz.__getinitargs__()  # type: ignore[attr-defined]
    return {"offset": args[0], "name": args[1] if len(args) > 1 else None}


def _timezone(offset: _dt.timedelta, name: str | None) -> _dt.timezone:
    return _dt.timezone(offset) if name is None else _dt.timezone(offset, name)


def _zone_fields(zone: _zoneinfo.ZoneInfo) -> dict[str, Any]:
    if zone.key is None:
        raise ValueError("a ZoneInfo made from a file has no key to write")
    return {"key": zone.key}


def _zone(key: str) -> _zoneinfo.ZoneInfo:
    if not isinstance(key, str):
        raise TypeError(f"a ZoneInfo key must be a str, not {type(key).__name__}")
    return _zoneinfo.ZoneInfo(key)


def _complex(real: float, imag: float) -> complex:
    if type(real) is not float or type(imag) is not float:
        raise TypeError("the parts of a complex must be floats")
    return complex(real, imag)


def _big_int(hex: str) -> int:  # noqa: A002 (the field name)
    if not isinstance(hex, str):
        raise TypeError(
            f"a BigInt must be stored as hex text, not {type(hex).__name__}"
        )
    return int(hex, 16)  # power-of-two bases take linear time and have no digit limit


def _path_decoder(cls: type[_pathlib.PurePath]) -> Callable[..., Any]:
    def decode(path: str) -> _pathlib.PurePath:
        if not isinstance(path, str):
            raise TypeError(f"a {cls.__name__} must be stored as a str")
        return cls(path)

    decode.__qualname__ = decode.__name__ = f"decode_{cls.__name__}"
    return decode


_path_fields = _text_record("path")


def _register_path(cls: type[_pathlib.PurePath], loads_as: type[Any]) -> Adapter:
    return adapt(cls, _path_fields, _path_decoder(loads_as), subclasses=True)


_WINDOWS = _os.name == "nt"
# A timezone is written as its offset, a timedelta.
_TZ_CLASSES = (_dt.timezone, _zoneinfo.ZoneInfo, _dt.timedelta)

# What use() and register_standard() register, per class.
_STANDARD: dict[type, Callable[[], Adapter]] = {
    _dt.datetime: lambda: adapt(_dt.datetime, _datetime, _dt.datetime),
    _dt.date: lambda: adapt(_dt.date, _date, _dt.date),
    _dt.time: lambda: adapt(_dt.time, _time, _dt.time),
    _dt.timedelta: lambda: adapt(_dt.timedelta, _timedelta, _dt.timedelta),
    _dt.timezone: lambda: adapt(_dt.timezone, _timezone_fields, _timezone),
    _zoneinfo.ZoneInfo: lambda: adapt(_zoneinfo.ZoneInfo, _zone_fields, _zone),
    _decimal.Decimal: lambda: adapt(
        _decimal.Decimal, _text_record("value"), _decimal.Decimal
    ),
    _uuid.UUID: lambda: adapt(_uuid.UUID, _attribute_record(("hex",)), _uuid.UUID),
    _fractions.Fraction: lambda: adapt(
        _fractions.Fraction,
        _attribute_record(("numerator", "denominator")),
        _fractions.Fraction,
    ),
    complex: lambda: adapt(complex, _attribute_record(("real", "imag")), _complex),
    _pathlib.PurePosixPath: lambda: _register_path(
        _pathlib.PurePosixPath, _pathlib.PurePosixPath
    ),
    _pathlib.PureWindowsPath: lambda: _register_path(
        _pathlib.PureWindowsPath, _pathlib.PureWindowsPath
    ),
    _pathlib.PosixPath: lambda: _register_path(
        _pathlib.PosixPath,
        _pathlib.PurePosixPath if _WINDOWS else _pathlib.PosixPath,
    ),
    _pathlib.WindowsPath: lambda: _register_path(
        _pathlib.WindowsPath,
        _pathlib.WindowsPath if _WINDOWS else _pathlib.PureWindowsPath,
    ),
    int: lambda: adapt(int, lambda n: {"hex": hex(n)}, _big_int, name="BigInt"),
}

#: The record names the standard adapters write (for allowlists).
NAMES: frozenset[str] = frozenset(
    ["datetime", "date", "time", "timedelta", "timezone", "ZoneInfo", "Decimal"]
    + ["UUID", "Fraction", "complex", "PurePosixPath", "PureWindowsPath"]
    + ["PosixPath", "WindowsPath", "BigInt"]
)


def use(*classes: type) -> list[Adapter]:
    """Register the ready adapters of these standard classes (datetime.datetime,
    decimal.Decimal, int for ints beyond 64 bits, ...); return them.

    datetime and time bring the adapters of their time zones (and of the
    timedelta offsets of those) along.  A class
    adapted before gets the ready adapter instead.
    """
    wanted = list(classes)
    unknown = [c for c in wanted if c not in _STANDARD]
    if unknown:
        known = ", ".join(_name(c) for c in _STANDARD)
        raise ValueError(
            f"no ready adapter for {', '.join(map(_name, unknown))} "
            f"(there are: {known}; Enum classes take korvane.types.enum)"
        )
    if _dt.datetime in wanted or _dt.time in wanted:
        wanted += [c for c in _TZ_CLASSES if c not in wanted]
    return [_STANDARD[c]() for c in wanted]


def register_standard() -> list[Adapter]:
    """Register every ready adapter of this module (all but :func:`enum`)."""
    return use(*_STANDARD)


def enum(cls: type[_enum.Enum], *, name: str | None = None) -> Adapter:
    """Register the adapter of one Enum class: members written by name (Flag
    classes by value), loaded back as the same members."""
    if not (isinstance(cls, type) and issubclass(cls, _enum.Enum)):
        raise TypeError(f"enum() expects an Enum class, not {cls!r}")
    if issubclass(cls, _enum.Flag):

        def by_value(value: int) -> Any:
            return cls(value)

        return adapt(cls, lambda m: {"value": m.value}, by_value, name=name)

    def by_name(name: str) -> Any:
        member = cls.__members__.get(name) if isinstance(name, str) else None
        if member is None:
            raise ValueError(f"{name!r} is not a member name of {cls.__qualname__}")
        return member

    return adapt(cls, lambda m: {"name": m.name}, by_name, name=name)


def _name(cls: type) -> str:
    return "int" if cls is int else f"{cls.__module__}.{cls.__qualname__}"
