"""Ready glue for the frameworks that default to pickle.

Each module here imports only korvane when it is imported; the framework is
imported when it is first needed (``register()``, a class built on first use),
so importing any of them never fails and costs nothing.

Every integration reads only korvane documents: a payload written by the
framework's default serializer (a pickle) is refused with
:class:`RefusedPayload` before any byte of it is interpreted, so whoever can
write to the broker, the cache or the queue cannot run code in the reader.
"""

from __future__ import annotations

from typing import Any

import korvane

__all__ = ["RefusedPayload", "decode"]

_MAGICS = (b"KRVN", b"MRDL")


class RefusedPayload(ValueError):
    """A payload that korvane did not write, such as a pickle."""


def _looks_like_pickle(data: bytes) -> bool:
    # Protocols 2 to 5 begin with PROTO and its number; every pickle ends
    # with STOP.
    return (len(data) >= 2 and data[0] == 0x80 and 2 <= data[1] <= 5) or data.endswith(
        b"."
    )


def decode(
    data: bytes | bytearray | memoryview, allowlist: set[str] | None = None
) -> Any:
    """``korvane.loads`` for bytes that arrive from outside, refusing pickles."""
    raw = data if type(data) is bytes else bytes(data)
    if not raw.startswith(_MAGICS) and _looks_like_pickle(raw):
        raise RefusedPayload(
            "refusing a pickle payload: korvane reads only its own documents, and "
            "loading a pickle could run any code (was this value written by the "
            "framework's default serializer?)"
        )
    return korvane.loads(raw, allowlist=allowlist)
