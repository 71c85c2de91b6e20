"""Celery over Redis with the korvane serializer, a real worker in a subprocess."""

import dataclasses
import importlib
import os
import subprocess
import sys

import pytest

from integrations.conftest import require

require("celery", "celery")

import korvane  # noqa: E402
from integrations.conftest import ROOT, child_env, stop, wait_until  # noqa: E402

TIMEOUT = 20


@korvane.register
@dataclasses.dataclass
class Stranger:  # the worker never registered it
    label: str
    payload: object


@korvane.register
@dataclasses.dataclass
class Secret:  # registered here, outside the worker's allowlist
    command: str


@pytest.fixture(scope="module", params=["solo", "prefork"])
def worker(request, redis_url, tmp_path_factory):
    os.environ["KORVANE_REDIS_URL"] = redis_url
    module = importlib.import_module("tests.integrations.celery_app")
    module.app.conf.broker_url = redis_url + "/1"
    log = tmp_path_factory.mktemp("celery") / f"{request.param}.log"
    with open(log, "wb") as out:
        proc = subprocess.Popen(
            [sys.executable, "-m", "celery", "-A", "tests.integrations.celery_app"]
            + f"worker --pool {request.param} --concurrency 2 --without-gossip"
            " --without-mingle --without-heartbeat -l INFO".split()
            + ["-n", f"{request.param}@korvane"],
            cwd=ROOT,
            env=child_env(),
            stdout=out,
            stderr=subprocess.STDOUT,
        )
    try:
        wait_until(
            lambda: proc.poll() is not None or b" ready." in log.read_bytes(),
            TIMEOUT,
            "the celery worker",
        )
        assert proc.poll() is None, log.read_text()
        module.app.control.purge()
        yield module, proc, log
    finally:
        stop(proc)


def test_dataclass_graph_with_sharing_cycles_and_a_record(worker):
    module, _, _ = worker
    leaf = module.Node("leaf", [])
    tree = module.Node("root", [leaf, leaf])
    leaf.parent = tree.children  # a cycle: the list holds leaf, leaf the list
    stranger = Stranger("x", [1, b"2"])
    got = module.inspect.delay(tree, stranger).get(timeout=TIMEOUT)
    assert got["shared"] and got["cycle"]
    assert got["stranger_type"] == "Stranger" and not got["stranger_is_node"]
    assert got["stranger_fields"] == ("x", [1, b"2"])
    assert got["stranger"] == stranger  # the record comes back as our class
    back = got["tree"]
    assert (
        back.children[0] is back.children[1]
        and back.children[0].parent is back.children
    )


def test_a_task_error_comes_back_as_the_exception(worker):
    with pytest.raises(ValueError, match="^no stock$"):
        worker[0].fail.delay("no stock").get(timeout=TIMEOUT)


def test_chain_and_chord(worker):
    from celery import chain, chord

    module = worker[0]
    assert chain(module.add.s(1, 2), module.add.s(3))().get(timeout=TIMEOUT) == 6
    header = [module.add.s(i, i) for i in range(3)]
    assert chord(header)(module.total.s()).get(timeout=TIMEOUT) == 6


@pytest.mark.parametrize(
    "send, logged",
    [
        (lambda m: m.add.apply_async((1, 2), serializer="pickle"), "ContentDisallowed"),
        (lambda m: m.add.apply_async((Secret("rm -rf /"), 2)), "not in the allowlist"),
    ],
    ids=["pickle", "outside-allowlist"],
)
def test_the_worker_refuses_and_stays_up(worker, send, logged):
    module, proc, log = worker
    refused = send(module)
    # The worker takes messages in order: once the next task has run, the
    # refused one was taken and dropped.
    assert module.add.delay(20, 22).get(timeout=TIMEOUT) == 42
    assert refused.state == "PENDING"
    assert proc.poll() is None
    wait_until(lambda: logged in log.read_text(errors="replace"), 5, logged)
