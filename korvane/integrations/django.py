"""Serializers for Django's Redis cache, django-redis and sessions.

* ``django.core.cache.backends.redis.RedisCache``:
  ``OPTIONS={"serializer": "korvane.integrations.django.RedisSerializer"}``.
  Exact ints stay raw, as with Django's default, so ``incr`` stays atomic.
* django-redis: the same path as ``OPTIONS={"SERIALIZER": ...}`` (django-redis
  keeps ints raw itself).
* Sessions: ``SESSION_SERIALIZER = "korvane.integrations.django.SessionSerializer"``.

For an allowlist, subclass and set the class attribute ``allowlist``.
Nothing here imports Django.
"""

from __future__ import annotations

from typing import Any, ClassVar

import korvane
from korvane.integrations import decode

__all__ = ["RedisSerializer", "SessionSerializer"]


class RedisSerializer:
    """Cache values as korvane documents; a pickle found in the cache is
    refused with :class:`korvane.integrations.RefusedPayload`."""

    allowlist: ClassVar[set[str] | None] = None

    def __init__(self, protocol: object = None, options: object = None) -> None:
        # Django passes no argument and stores what dumps returns, so an int
        # is handed back raw; django-redis passes options=OPTIONS, keeps ints
        # raw itself and may compress what dumps returns, which must be bytes.
        self._raw_ints = options is None

    def dumps(self, obj: Any) -> bytes | int:
        # type() and not isinstance(): a bool or an int subclass is encoded.
        if type(obj) is int and self._raw_ints:
            return obj
        return korvane.dumps(obj)

    def loads(self, data: bytes | int) -> Any:
        if isinstance(data, int):
            return data
        try:
            return int(data)
        except ValueError:
            return decode(data, self.allowlist)


class SessionSerializer:
    """Session data as a korvane document, signed by Django as usual."""

    allowlist: ClassVar[set[str] | None] = None

    def dumps(self, obj: Any) -> bytes:
        return korvane.dumps(obj)

    def loads(self, data: bytes) -> Any:
        return decode(data, self.allowlist)
