"""Jobs of the RQ test, imported by the worker."""

import dataclasses

import korvane


@korvane.register
@dataclasses.dataclass
class Order:
    id: int
    lines: list


def ship(order, extra):
    assert order.lines[0] is order.lines[1]
    return Order(order.id + 1, [extra, extra])


def touch(path):
    open(path, "w").close()
