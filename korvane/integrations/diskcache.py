"""A diskcache ``Disk`` that stores values and keys as korvane documents.

``Cache(directory, disk=korvane.integrations.diskcache.KorvaneDisk)`` (also
``FanoutCache`` and ``Deque``/``Index`` through their ``disk=``).  It keeps
diskcache's raw storage for the values diskcache stores raw (ints, floats,
str, bytes, so ``incr`` and ``read=True`` work as before) and writes korvane
where the default ``Disk`` writes a pickle; a pickle found there is refused
with :class:`korvane.integrations.RefusedPayload`.  diskcache keeps the
``disk_*`` settings in its database, so an allowlist is a class attribute::

    class PointDisk(KorvaneDisk):
        allowlist = {"Point"}

The class is built on first access, so importing this module does not
import diskcache.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, ClassVar

from korvane.integrations import decode

__all__ = ["KorvaneDisk"]

if TYPE_CHECKING:
    from diskcache import Disk  # type: ignore[import-untyped, import-not-found, unused-ignore]

    class KorvaneDisk(Disk):  # type: ignore[misc]
        allowlist: ClassVar[set[str] | None]

        def put(self, key: Any) -> tuple[Any, bool]: ...
        def get(self, key: Any, raw: bool) -> Any: ...
        def store(
            self, value: Any, read: bool, key: Any = ...
        ) -> tuple[int, int, str | None, Any]: ...
        def fetch(
            self, mode: int, filename: str | None, value: Any, read: bool
        ) -> Any: ...


_built: dict[str, type] = {}


def _build() -> type:
    import sqlite3

    from diskcache.core import (  # type: ignore[import-untyped, import-not-found, unused-ignore]
        MODE_BINARY,
        MODE_PICKLE,
        UNKNOWN,
        Disk,
    )

    import korvane

    # The types the default Disk stores raw, as keys or values.
    def stored_raw(obj: Any) -> bool:
        kind = type(obj)
        return kind in (str, float, bytes) or (kind is int and -(2**63) <= obj < 2**63)

    class KorvaneDisk(Disk):  # type: ignore[misc]
        """Where ``Disk`` pickles, this writes a korvane document."""

        allowlist: ClassVar[set[str] | None] = None

        def put(self, key: Any) -> tuple[Any, bool]:
            if stored_raw(key):
                kept: tuple[Any, bool] = super().put(key)
                return kept
            return sqlite3.Binary(korvane.dumps(key)), False

        def get(self, key: Any, raw: bool) -> Any:
            if raw:
                return super().get(key, raw)
            return decode(bytes(key), self.allowlist)

        def store(self, value: Any, read: bool, key: Any = UNKNOWN) -> Any:
            if read or stored_raw(value):
                return super().store(value, read, key=key)
            # Laid out as bytes (inline when small, else in a file) under the
            # mode of an encoded value, which fetch decodes.
            size, _, filename, db_value = super().store(
                korvane.dumps(value), False, key=key
            )
            return size, MODE_PICKLE, filename, db_value

        def fetch(self, mode: int, filename: str | None, value: Any, read: bool) -> Any:
            if mode != MODE_PICKLE:
                return super().fetch(mode, filename, value, read)
            if value is None:
                data = super().fetch(MODE_BINARY, filename, None, False)
            else:
                data = bytes(value)
            return decode(data, self.allowlist)

    KorvaneDisk.__module__ = __name__
    return KorvaneDisk


def __getattr__(name: str) -> Any:
    if name != "KorvaneDisk":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    if name not in _built:
        _built[name] = _build()
    return _built[name]
