"""Reading a stream of concatenated documents, one document at a time.

``dump`` writes one whole document per call and ``load`` reads one whole
document with a single ``read()``; a file or socket that carries several
documents back to back is read with :func:`iter_load`.  The compiled reader
walks the layout of the document being received (its lengths and counts,
nothing more), so it knows how many bytes are still missing and never asks
the stream for bytes of the next document before it has yielded this one.
Each complete document is then decoded by ``loads``.
"""

from __future__ import annotations

import io
from collections.abc import Callable, Iterator
from typing import Any, Protocol

from _korvane import PanicException, _document_end, _extent, loads

__all__ = ["iter_load"]

# The least a read asks for from a stream that returns what it has at hand.
_CHUNK = 1 << 16


class SupportsReadSize(Protocol):
    def read(self, size: int, /) -> bytes: ...


def iter_load(
    file: SupportsReadSize, *, allowlist: set[str] | None = None
) -> Iterator[Any]:
    """Yield each document of ``file``, a stream of concatenated documents.

    Reads incrementally: each object is yielded as soon as the last byte of
    its document has arrived, and at most one document (plus one read) is
    held in memory.  A stream that ends between documents ends the
    iteration; one that ends inside a document raises the reader's
    truncation error (``ValueError``).  ``allowlist`` applies to every
    document, as in ``loads``.

    ``file.read1(n)`` is used when the file has it (buffered files, sockets
    made with ``makefile("rb")``, ``BytesIO``); otherwise ``file.read(n)``,
    asking for no more bytes than the current document still needs unless
    the file is a raw stream.
    """
    if allowlist is not None and not isinstance(allowlist, set):
        raise TypeError(
            f"argument 'allowlist': '{type(allowlist).__qualname__}' object "
            "cannot be converted to 'PySet'"
        )
    read1 = getattr(file, "read1", None)
    if callable(read1):
        return _documents(read1, True, allowlist)
    return _documents(file.read, isinstance(file, io.RawIOBase), allowlist)


def _documents(
    read: Callable[[int], object], at_hand: bool, allowlist: set[str] | None
) -> Iterator[Any]:
    buffer = bytearray()
    extent = _extent()
    while True:
        end = _document_end(extent, buffer)
        if end > 0:
            with memoryview(buffer) as view:
                data = bytes(view[:end])
            del buffer[:end]
            yield loads(data, allowlist=allowlist)
            continue
        if end == 0:  # a fault that hides the length: the reader names it
            _refuse(buffer, allowlist)
        # A read that returns what it has may ask for more than this document
        # needs; its size grows with the buffer, so a large document takes a
        # logarithmic number of reads and the buffer at most twice its size.
        size = max(_CHUNK, min(-end, len(buffer))) if at_hand else -end
        chunk = read(size)
        if chunk is None:
            raise BlockingIOError("iter_load needs a blocking stream: read() gave None")
        if not isinstance(chunk, bytes):
            raise TypeError("file.read() did not return bytes")
        if not chunk:
            if buffer:
                _refuse(buffer, allowlist)
            return
        buffer += chunk


def _refuse(buffer: bytearray, allowlist: set[str] | None) -> None:
    """Raise the reader's error for a document that cannot be complete."""
    loads(bytes(buffer), allowlist=allowlist)
    raise PanicException("the stream reader passed a document the reader refuses")
