"""A serializer for RQ: jobs, their arguments and results as korvane documents.

``Queue(connection=r, serializer=korvane.integrations.rq.Serializer)`` and the
same for ``Worker``; on the command line
``rq worker --serializer korvane.integrations.rq.Serializer``.  For an
allowlist, subclass and set the class attribute ``allowlist``.  A job pickled
by RQ's default serializer is refused (the job fails; nothing of it runs).
Nothing here imports RQ.
"""

from __future__ import annotations

from typing import Any, ClassVar

import korvane
from korvane.integrations import decode

__all__ = ["Serializer"]


class Serializer:
    """RQ calls ``dumps`` and ``loads`` on the class itself."""

    allowlist: ClassVar[set[str] | None] = None

    @classmethod
    def dumps(cls, obj: Any) -> bytes:
        return korvane.dumps(obj)

    @classmethod
    def loads(cls, data: bytes) -> Any:
        return decode(data, cls.allowlist)
