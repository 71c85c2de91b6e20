"""The serializers compared by the benchmark, each as a dumps/loads pair.

Every peer runs with its default settings: the point is what a user gets
without tuning. Whether a peer can carry a workload is decided by a round trip
and the checker in workloads.py, never assumed from this file.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable


@dataclasses.dataclass
class Serializer:
    name: str
    dumps: Callable[[Any], bytes]
    loads: Callable[[bytes], Any]
    version: str
    # What the format cannot express, for the report's footnotes.
    limits: str = ""


def _korvane() -> Serializer:
    import korvane

    return Serializer("korvane", korvane.dumps, korvane.loads, korvane.__version__)


def _pickle() -> Serializer:
    import pickle

    def dumps(obj: Any) -> bytes:
        return pickle.dumps(obj, protocol=5)

    return Serializer("pickle", dumps, pickle.loads, "protocol 5")


def _marshal() -> Serializer:
    import marshal

    return Serializer(
        "marshal",
        marshal.dumps,
        marshal.loads,
        f"version {marshal.version}",
        "no dataclasses; nesting depth limited (about 2000)",
    )


def _msgpack() -> Serializer:
    import msgpack

    def loads(data: bytes) -> Any:
        return msgpack.unpackb(data, strict_map_key=False)

    return Serializer(
        "msgpack",
        msgpack.packb,
        loads,
        ".".join(map(str, msgpack.version)),
        "tuples come back as lists; no sets, dataclasses, sharing or cycles;"
        " nesting limit 512",
    )


def _msgspec() -> Serializer:
    import msgspec

    encoder = msgspec.msgpack.Encoder()
    decoder = msgspec.msgpack.Decoder()
    return Serializer(
        "msgspec",
        encoder.encode,
        decoder.decode,
        msgspec.__version__,
        "msgpack encoder/decoder untyped: tuples and sets come back as lists;"
        " dataclasses encode as maps; no sharing or cycles (its Structs are"
        " other objects, not compared)",
    )


def _orjson() -> Serializer:
    import orjson

    return Serializer(
        "orjson",
        orjson.dumps,
        orjson.loads,
        orjson.__version__,
        "JSON: no bytes, sets, tuples, non-str keys, dataclass loading,"
        " sharing or cycles; nesting limit 255",
    )


def _cbor2() -> Serializer:
    import cbor2

    version = getattr(cbor2, "__version__", None)
    if version is None:
        from importlib.metadata import version as dist_version

        version = dist_version("cbor2")
    return Serializer(
        "cbor2",
        cbor2.dumps,
        cbor2.loads,
        version,
        "tuples come back as lists; no dataclasses; sharing and cycles only"
        " with value_sharing=True, which is not the default and is not used",
    )


FACTORIES: dict[str, Callable[[], Serializer]] = {
    "korvane": _korvane,
    "pickle": _pickle,
    "marshal": _marshal,
    "msgpack": _msgpack,
    "msgspec": _msgspec,
    "orjson": _orjson,
    "cbor2": _cbor2,
}


def load_serializer(name: str) -> Serializer:
    """Import one serializer; ImportError when its package is missing."""
    return FACTORIES[name]()
