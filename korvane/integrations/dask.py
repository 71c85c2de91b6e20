"""A Dask serialization family named ``korvane``.

On the client: ``korvane.integrations.dask.register()``, then
``Client(..., serializers=["korvane", "error"], deserializers=["korvane", "error"])``.
On each worker: ``dask worker --preload korvane.integrations.dask`` (or
``preload=["korvane.integrations.dask"]``), which registers the family.
Values that korvane cannot write fall through to the next serializer of the
list (``error`` reports them).  Nothing here imports distributed before
:func:`register` runs.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import korvane
from korvane.integrations import decode

__all__ = ["NAME", "dask_setup", "register"]

NAME = "korvane"


def _dumps(obj: object) -> tuple[dict[str, Any], list[bytes]]:
    try:
        data = korvane.dumps(obj)
    except TypeError as exc:
        # Not korvane's kind of value: let the next serializer of the list try.
        raise NotImplementedError(str(exc)) from exc
    return {}, [data]


def register(*, allowlist: set[str] | frozenset[str] | None = None) -> None:
    """Register the ``korvane`` family in this process; with ``allowlist``,
    data naming any other class is refused."""
    from distributed.protocol.serialize import register_serialization_family

    names = None if allowlist is None else set(allowlist)

    def loads(header: dict[str, Any], frames: Sequence[bytes | memoryview]) -> Any:
        return decode(b"".join(frames), names)

    register_serialization_family(NAME, _dumps, loads)  # type: ignore[no-untyped-call]


def dask_setup(service: object) -> None:
    """Called by distributed for ``--preload korvane.integrations.dask``."""
    register()
