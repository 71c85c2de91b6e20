"""The Celery app of the integration tests, imported by the worker and the test.

The worker imports only this module: the class ``Stranger`` of the test
module is unknown to it and reaches its tasks as a record.
"""

import dataclasses
import os

from celery import Celery

import korvane
from korvane.integrations import kombu as korvane_kombu


@korvane.register
@dataclasses.dataclass
class Node:
    name: str
    children: list
    parent: object = None


# Secret is registered by the test but allowed by nobody.
korvane_kombu.register(allowlist={"Node", "Stranger"})

URL = os.environ.get("KORVANE_REDIS_URL", "redis://127.0.0.1:1")
app = Celery("korvane_it", broker=URL + "/1", backend=URL + "/2")
app.conf.update(
    task_serializer="korvane",
    result_serializer="korvane",
    accept_content=["korvane"],
    result_accept_content=["korvane"],
    broker_connection_retry_on_startup=True,
    worker_prefetch_multiplier=1,
)


@app.task
def inspect(tree, stranger):
    """What the worker saw, and the whole graph back."""
    first, second = tree.children
    return {
        "shared": first is second,
        "cycle": first.parent is tree.children,
        "stranger_type": type(stranger).__name__,
        "stranger_is_node": isinstance(stranger, Node),
        "stranger_fields": (stranger.label, stranger.payload),
        "tree": tree,
        "stranger": stranger,
    }


@app.task
def add(x, y):
    return x + y


@app.task
def total(values):
    return sum(values)


@app.task
def fail(text):
    raise ValueError(text)
