"""Type information for the compiled korvane extension."""

from collections.abc import Callable, Mapping, Sequence
from types import ModuleType
from typing import Any, Protocol, SupportsIndex, TypeVar

__all__ = ["__version", "dumps", "loads", "dump", "load", "__version__"]

_T_co = TypeVar("_T_co", covariant=True)
_T_contra = TypeVar("_T_contra", contravariant=True)

# The file protocols exist for type checkers only; there are no such runtime names.
class SupportsWrite(Protocol[_T_contra]):
    def write(self, data: _T_contra, /) -> object: ...

class SupportsRead(Protocol[_T_co]):
    def read(self) -> _T_co: ...

__version__: str

def __version() -> str: ...
def dumps(
    obj: object,
    *,
    protocol: SupportsIndex = 5,
    schema_version: SupportsIndex | None = None,
    hmac_key: bytes | None = None,
) -> bytes: ...
def loads(data: bytes, *, allowlist: set[str] | None = None) -> Any: ...
def dump(obj: object, file: SupportsWrite[bytes], **kwargs: object) -> None: ...
def load(file: SupportsRead[bytes], *, allowlist: set[str] | None = None) -> Any: ...
def _bind_make_class(
    module: ModuleType, /
) -> Callable[[str, Sequence[str]], Callable[..., Any]]: ...
def _bind_apply_migrations(
    module: ModuleType, /
) -> Callable[[str, Mapping[str, Any], int, int], dict[str, Any]]: ...
def _bind_constructor(
    name: str,
    plans: dict[tuple[str, ...], Any],
    make_plan: Callable[[tuple[str, ...]], Any],
    cls: Callable[..., Any],
    direct: object,
    unfinished_type: type,
    /,
) -> Callable[..., Any]: ...
def _attribute_record(
    names: tuple[str, ...], /
) -> Callable[[object], dict[str, Any]]: ...
def _text_record(name: str, /) -> Callable[[object], dict[str, str]]: ...
def _bind_positional(
    cls: type, positional: tuple[str, ...], keywords: tuple[str, ...], /
) -> None: ...
def _bind_stock(dataclasses: ModuleType, /) -> None: ...
def _extent() -> object: ...
def _document_end(extent: object, buffer: bytes | bytearray, /) -> int: ...

class PanicException(BaseException):
    """A broken internal invariant; `except Exception` does not catch it."""
