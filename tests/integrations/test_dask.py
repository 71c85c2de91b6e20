"""Dask: a LocalCluster on 127.0.0.1 whose data moves as korvane documents."""

import pickle

import pytest

from integrations.conftest import require

require("distributed", "dask")

from korvane.integrations import RefusedPayload  # noqa: E402
from korvane.integrations import dask as korvane_dask  # noqa: E402
from tests.integrations.dask_tasks import Sample, grow  # noqa: E402

ONLY = ["korvane", "error"]


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    korvane_dask.register()
    # A worker process of its own, which must import the module registering
    # Sample before data arrives: it is preloaded beside the family.
    with (
        LocalCluster(
            n_workers=1,
            processes=True,
            threads_per_worker=1,
            protocol="tcp",
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
            preload=["korvane.integrations.dask", "tests.integrations.dask_tasks"],
        ) as cluster,
        Client(cluster, serializers=ONLY, deserializers=ONLY, timeout=20) as c,
    ):
        yield c


def test_data_goes_both_ways_as_korvane(client):
    sample = Sample("s", [1, 2.5])
    [remote] = client.scatter([sample])
    back = client.submit(grow, remote).result(timeout=20)
    assert back["a"] == Sample("s!", [1, 2.5, 2])
    assert back["same"][0] is back["same"][1]
    assert client.gather(remote) == sample


def test_the_family_refuses_pickles_and_passes_on_what_it_cannot_write():
    from distributed.protocol.serialize import deserialize, serialize

    header, frames = serialize(Sample("x", []), serializers=["korvane"])
    assert header["serializer"] == "korvane" and frames[0][:4] == b"KRVN"
    assert deserialize(header, frames) == Sample("x", [])
    with pytest.raises(RefusedPayload):
        deserialize({"serializer": "korvane"}, [pickle.dumps(Sample("x", []))])
    header, frames = serialize(
        object(), serializers=["korvane", "error"], on_error="message"
    )
    assert header["serializer"] == "error"


def test_a_result_korvane_cannot_write_is_not_pickled_instead(client):
    with pytest.raises(Exception, match="Could not serialize object of type object"):
        client.submit(object, pure=False).result(timeout=20)
