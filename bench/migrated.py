"""What a schema migration costs on loading: the same rows loaded as they
stand, through a registered migration, and as records converted by hand.

    python bench/migrated.py [--quick] [--reps N]

run.py prints the same table after its workloads. The rows are dataclass
instances of one class, `Row`; the migrated document was written when the
class was at version 1 with a field `email`, which version 2 renamed to
`mail`. The target: migrated loads cost at most twice the plain loads.
"""

from __future__ import annotations

import argparse
import dataclasses
import gc
import statistics
import sys
import timeit
from collections.abc import Callable
from typing import Any

TARGET = 2.0


def _row_class(version: int, address: str) -> type:
    fields = [("id", int), ("name", str), (address, str), ("score", float)]
    cls = dataclasses.make_dataclass("Row", fields)
    cls.__korvane_version__ = version
    return cls


def _documents(n: int) -> tuple[bytes, bytes, type]:
    """(written at version 1, written at version 2, the registered class)."""
    import korvane

    def rows(cls: type) -> list[Any]:
        return [cls(i, f"user{i}", f"user{i}@example.org", i * 0.5) for i in range(n)]

    old = korvane.dumps(rows(_row_class(1, "email")))
    current = _row_class(2, "mail")
    new = korvane.dumps(rows(current))
    korvane.register(current)

    @korvane.migration("Row", 1, 2)
    def email_becomes_mail(fields: dict[str, Any]) -> dict[str, Any]:
        fields["mail"] = fields.pop("email")
        return fields

    return old, new, current


def _by_hand(old: bytes, cls: type) -> Callable[[], Any]:
    """Load the version-1 rows as records of another name and convert them."""
    import korvane

    renamed = old.replace(b"\x03\x00\x00\x00Row", b"\x03\x00\x00\x00Rec", 1)

    def load() -> Any:
        return [cls(r.id, r.name, r.email, r.score) for r in korvane.loads(renamed)]

    return load


def _ms(fn: Callable[[], Any]) -> float:
    return timeit.timeit(fn, number=1) * 1e3


def measure(quick: bool, reps: int) -> dict[str, Any]:
    import korvane

    n = 10_000 if quick else 100_000
    old, new, cls = _documents(n)
    plain = korvane.loads(new)
    if korvane.loads(old) != plain or _by_hand(old, cls)() != plain:
        raise AssertionError("the migrated rows differ from the plain ones")
    cases = {
        "plain": lambda: korvane.loads(new),
        "migrated": lambda: korvane.loads(old),
        "by hand": _by_hand(old, cls),
    }
    gc.disable()
    try:
        # Interleaved, so drift in machine load spreads over all three alike.
        samples: dict[str, list[float]] = {name: [] for name in cases}
        for _ in range(reps):
            for name, fn in cases.items():
                samples[name].append(_ms(fn))
    finally:
        gc.enable()
    ms = {name: statistics.median(s) for name, s in samples.items()}
    return {"rows": n, "ms": ms, "ratio": ms["migrated"] / ms["plain"]}


def print_table(result: dict[str, Any]) -> None:
    ms, ratio = result["ms"], result["ratio"]
    print(f"\nmigrated loads: {result['rows']:,} Row instances, version 1 -> 2")
    for name, value in ms.items():
        print(f"  {name:<10}{value:>10.1f} ms{value / ms['plain']:>8.2f}x plain")
    verdict = "meets" if ratio <= TARGET else "misses"
    print(f"  migrated/plain {ratio:.2f}x: {verdict} the target of {TARGET:.0f}x")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true")
    p.add_argument("--reps", type=int, default=7)
    args = p.parse_args(argv)
    print_table(measure(args.quick, args.reps))
    return 0


if __name__ == "__main__":
    sys.exit(main())
