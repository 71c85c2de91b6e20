"""korvane: a safe, compact serializer for plain Python values and dataclasses.

Shared objects and cycles survive the round trip, and loading never imports or
calls a class named by the data: dataclasses come back only through the
classes registered with :func:`register`, behind an optional allowlist.
"""

from _korvane import PanicException, __version__, dump, dumps, load, loads
from korvane._adapters import Adapter, adapt, unadapt
from korvane._reconstruct import ExtraStateWarning, register
from korvane._stream import iter_load
from korvane.migrations import migration

__all__ = [
    "Adapter",
    "ExtraStateWarning",
    "PanicException",
    "__version__",
    "adapt",
    "dump",
    "dumps",
    "iter_load",
    "load",
    "loads",
    "migration",
    "register",
    "unadapt",
]
