"""diskcache with the korvane Disk: keys, values, raw storage, pickles refused."""

import dataclasses

import pytest

from integrations.conftest import require

diskcache = require("diskcache", "diskcache")

import korvane  # noqa: E402
from korvane.integrations import RefusedPayload  # noqa: E402
from korvane.integrations.diskcache import KorvaneDisk  # noqa: E402


@korvane.register
@dataclasses.dataclass
class Doc:
    title: str
    body: object


class DocDisk(KorvaneDisk):
    allowlist = {"Doc"}


def test_round_trip_with_raw_values_kept(tmp_path):
    cache = diskcache.Cache(str(tmp_path), disk=KorvaneDisk)
    doc = Doc("t", None)
    doc.body = [doc.title, b"x" * 100_000]  # large: stored in a file
    cache[("doc", 1)] = {"a": doc, "b": doc}
    back = cache[("doc", 1)]
    assert back["a"] == doc and back["a"] is back["b"]
    cache["n"] = 1
    assert cache.incr("n", 41) == 42
    for raw in ("text", b"bytes", 2.5):
        cache[raw] = raw
        assert cache[raw] == raw
    assert sorted(map(repr, cache)) == sorted(
        map(repr, [("doc", 1), "n", "text", b"bytes", 2.5])
    )
    cache.close()


def test_pickles_are_refused_and_the_allowlist_holds(tmp_path):
    with diskcache.Cache(str(tmp_path)) as default:  # the pickling Disk
        default["value"] = Doc("x", 1)
        default[("key",)] = 1
    with diskcache.Cache(str(tmp_path), disk=KorvaneDisk) as cache:
        with pytest.raises(RefusedPayload):
            cache["value"]
        with pytest.raises(RefusedPayload):
            list(cache)  # the pickled key
    with diskcache.Cache(str(tmp_path / "strict"), disk=DocDisk) as strict:
        strict["ok"] = Doc("a", 1)
        assert strict["ok"] == Doc("a", 1)
        strict["other"] = dataclasses.make_dataclass("Other", ["x"])(1)
        with pytest.raises(TypeError, match="not in the allowlist"):
            strict["other"]
