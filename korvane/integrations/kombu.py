"""A kombu (and so Celery) serializer named ``korvane``.

kombu registers it by itself, through the ``kombu.serializers`` entry point,
whenever ``kombu.serialization`` is imported: select it with
``task_serializer="korvane"``, ``result_serializer="korvane"`` and
``accept_content=["korvane"]``.  :func:`register` registers it again with an
allowlist.  This module must never fail to import, since kombu imports it in
every process where korvane is installed.

Celery's canvas (chains, chords, callbacks) travels as ``Signature`` objects,
which are dicts of a subclass; the encoder adapts them to plain dicts, which
Celery turns back into signatures on the worker, as it does for JSON.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

import korvane
from korvane import _adapters
from korvane.integrations import decode as _decode

__all__ = ["CONTENT_ENCODING", "CONTENT_TYPE", "NAME", "decode", "encode", "register"]

NAME = "korvane"
CONTENT_TYPE = "application/x-korvane"
CONTENT_ENCODING = "binary"


def _adapt_canvas() -> None:
    # Looked up at every message (one dict lookup): the adapter registry may
    # have been reset since the last one.
    canvas = sys.modules.get("celery.canvas")
    if canvas is None:
        return
    signature = canvas.Signature
    if signature not in _adapters._adapters:  # an adapter of the user's own stays
        korvane.adapt(signature, dict, subclasses=True)


def encode(obj: object) -> bytes:
    """The message body as one korvane document."""
    _adapt_canvas()
    return korvane.dumps(obj)


def decode(data: bytes | bytearray | memoryview) -> Any:
    """Any registered class may come back; others come back as records."""
    return _decode(data)


def _decoder(allowlist: set[str] | None) -> Callable[[bytes], Any]:
    if allowlist is None:
        return decode
    names = set(allowlist)

    def decode_allowed(data: bytes) -> Any:
        return _decode(data, names)

    return decode_allowed


def register(*, allowlist: set[str] | frozenset[str] | None = None) -> None:
    """Register (again) the ``korvane`` serializer with kombu; with
    ``allowlist``, a message naming any other class is refused."""
    from kombu import serialization

    serialization.register(  # type: ignore[no-untyped-call]
        NAME,
        encode,
        _decoder(None if allowlist is None else set(allowlist)),
        content_type=CONTENT_TYPE,
        content_encoding=CONTENT_ENCODING,
    )


# What the entry point names: kombu calls register(name, *serializer).
serializer: tuple[Callable[[Any], bytes], Callable[[bytes], Any], str, str] = (
    encode,
    decode,
    CONTENT_TYPE,
    CONTENT_ENCODING,
)
