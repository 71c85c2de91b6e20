"""Typed use of the public API; checked with mypy --strict by test_typing.py.

It also runs: test_typing.py executes it, so every call here is real.
"""

from __future__ import annotations

import io
from dataclasses import dataclass
from typing import Any

import _korvane
import korvane
from korvane import document as kinspect


@korvane.register
@dataclass
class TypingUsageItem:
    name: str
    count: int = 0
    __korvane_version__ = 2


@korvane.migration("TypingUsageItem", 1, 2)
def add_count(fields: dict[str, Any]) -> dict[str, Any]:
    fields.setdefault("count", 0)
    return fields


def round_trip(value: object, allowed: set[str] | None = None) -> object:
    blob: bytes = korvane.dumps(value, protocol=5, schema_version=None, hmac_key=None)
    return korvane.loads(blob, allowlist=allowed)


def through_files(value: object) -> Any:
    buffer = io.BytesIO()
    korvane.dump(value, buffer, protocol=5)
    buffer.seek(0)
    return korvane.load(buffer, allowlist={"TypingUsageItem"})


def describe(data: bytes) -> str:
    try:
        report = kinspect.check(data, {"TypingUsageItem"})
    except kinspect.ReaderError as exc:
        return f"malformed at {exc.offset}: {exc.message}"
    except kinspect.CheckError as exc:
        return f"{exc.kind}: {exc.message}"
    doc = report.document
    kinds = [entry.kind for entry in doc.objects]
    return f"{len(doc.strings)} strings, objects {kinds}, depth {report.max_depth}"


def main() -> None:
    item = TypingUsageItem("a", 1)
    assert round_trip([item, item], {"TypingUsageItem"}) == [item, item]
    assert through_files({"k": (1, 2.5, b"x")}) == {"k": (1, 2.5, b"x")}
    version: str = korvane.__version__
    assert version == _korvane.__version__
    panic: type[BaseException] = korvane.PanicException
    assert not issubclass(panic, Exception)
    print(describe(korvane.dumps(item)))
    print(describe(b"KRVN"))


if __name__ == "__main__":
    main()
