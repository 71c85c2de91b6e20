"""iter_load: each document of a stream of concatenated ones, as it arrives."""

import io
import os
import socket
import threading
import tracemalloc

import pytest
from conftest import (
    BYTES,
    DATACLASS,
    DICT,
    FLOAT,
    INT,
    LIST,
    NONE_DOCUMENT,
    REF,
    SET,
    STR,
    TUPLE,
    document,
    raises_exactly,
)
from graphs import Point, assert_same, materialize, recipes
from hypothesis import given, settings
from hypothesis import strategies as st

import korvane

# One document of every tag and table, then the plain values the writer makes.
EVERY_TAG = document(
    [
        LIST(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12),
        b"\x01",
        b"\x02",
        b"\x03",
        INT(-(2**63)),
        FLOAT(1.5),
        STR(0),
        BYTES(b"\x00" * 3),
        TUPLE(1),
        DICT((6, 4)),
        SET(6),
        b"\x0c" + (0).to_bytes(4, "little"),
        DATACLASS(0, 4, 5),
        REF(0),
    ],
    strings=["Point", "x", "y"],
    types=[(0, 0, [1, 2])],
)
VALUES = [None, [1, [2.5, "é"]], {"k": b"v" * 70_000}, (), Point(1, 2)]


def stream_of(docs) -> bytes:
    return b"".join(docs)


def message_of(data: bytes) -> str:
    with pytest.raises(Exception) as info:
        korvane.loads(data)
    return str(info.value)


class Trickle:
    """A blocking stream that hands out at most ``step`` bytes per read, and
    records how many bytes it had handed out when each document was yielded."""

    def __init__(self, data: bytes, step: int, read1: bool):
        self.data, self.step, self.pos = data, step, 0
        if read1:
            self.read1 = self.read

    def read(self, n: int) -> bytes:
        assert n > 0
        chunk = self.data[self.pos : self.pos + min(n, self.step)]
        self.pos += len(chunk)
        return chunk


@pytest.mark.parametrize("step", [1, 7, 4096, 1 << 20])
@pytest.mark.parametrize("read1", [False, True])
def test_every_document_comes_back_in_order(step, read1):
    docs = [korvane.dumps(v) for v in VALUES] + [EVERY_TAG, NONE_DOCUMENT]
    source = Trickle(stream_of(docs), step, read1)
    seen = []
    for obj in korvane.iter_load(source):
        seen.append((obj, source.pos))
    ends = [sum(map(len, docs[: i + 1])) for i in range(len(docs))]
    for (obj, pos), doc, end in zip(seen, docs, ends, strict=True):
        assert_same(obj, korvane.loads(doc))
        if not read1:  # read(n) never asks past the document it is reading
            assert pos == end


def test_files_written_by_dump(tmp_path):
    path = tmp_path / "many.krvn"
    with open(path, "wb") as f:
        for v in VALUES:
            korvane.dump(v, f)
    for buffering in (0, -1):  # a raw FileIO and a BufferedReader
        with open(path, "rb", buffering=buffering) as f:
            assert list(korvane.iter_load(f)) == VALUES
    assert list(korvane.iter_load(io.BytesIO())) == []


def pipe():
    r, w = os.pipe()
    return open(r, "rb"), open(w, "wb", buffering=0)


def socket_pair():
    a, b = socket.socketpair()
    with a, b:
        return a.makefile("rb"), b.makefile("wb", buffering=0)


@pytest.mark.parametrize("channel", [pipe, socket_pair])
def test_each_document_is_yielded_before_the_next_is_sent(channel):
    reader, out = channel()
    yielded = threading.Event()

    def writer():
        with out:
            for v in VALUES:
                out.write(korvane.dumps(v))
                # The next document is sent only once this one was yielded:
                # a reader that waited for more bytes would stall here.
                assert yielded.wait(10)
                yielded.clear()

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    got = []
    with reader:
        for obj in korvane.iter_load(reader):
            got.append(obj)
            yielded.set()
    thread.join(10)
    assert got == VALUES


CUT = korvane.dumps({"a": [1, 2.5, "x", b"yz"], "p": Point(1, (2,))})


@pytest.mark.parametrize(
    "doc, cut", [(d, c) for d in (CUT, EVERY_TAG) for c in range(1, len(d))]
)
def test_a_stream_ending_inside_a_document_raises_the_readers_error(doc, cut):
    it = korvane.iter_load(io.BytesIO(NONE_DOCUMENT + doc[:cut]))
    assert next(it) is None
    with raises_exactly(ValueError, message_of(doc[:cut])):
        next(it)


@pytest.mark.parametrize(
    "bad",
    [
        b"KRVX" + NONE_DOCUMENT[4:],  # bad magic
        NONE_DOCUMENT[:-1] + b"\x0f",  # unknown tag
        NONE_DOCUMENT[:-1] + b"\x04" + b"\xff" * 10,  # varint's tenth byte goes on
    ],
)
def test_a_fault_that_hides_the_length_raises_the_readers_error(bad):
    it = korvane.iter_load(io.BytesIO(NONE_DOCUMENT + bad + NONE_DOCUMENT))
    assert next(it) is None
    with raises_exactly(ValueError, message_of(bad)):
        next(it)


def test_allowlist_applies_to_every_document():
    data = korvane.dumps(1) + korvane.dumps(Point(1, 2))
    assert list(korvane.iter_load(io.BytesIO(data), allowlist={"Point"}))[1] == Point(
        1, 2
    )
    it = korvane.iter_load(io.BytesIO(data), allowlist=set())
    assert next(it) == 1
    with pytest.raises(TypeError):
        next(it)
    with raises_exactly(
        TypeError, "argument 'allowlist': 'list' object cannot be converted to 'PySet'"
    ):
        korvane.iter_load(io.BytesIO(data), allowlist=["Point"])


@pytest.mark.parametrize(
    "result, error",
    [("text", TypeError), (None, BlockingIOError), (bytearray(1), TypeError)],
)
def test_a_read_that_gives_no_bytes_is_refused(result, error):
    class Odd:
        def read(self, n):
            return result

    with pytest.raises(error):
        next(korvane.iter_load(Odd()))


class Generated:
    """A stream of ``count`` documents made only as they are read."""

    def __init__(self, count: int, size: int):
        self.left, self.size, self.pending = count, size, b""

    def read1(self, n: int) -> bytes:
        if not self.pending and self.left:
            self.left -= 1
            self.pending = korvane.dumps([b"x" * self.size, self.left])
        chunk, self.pending = self.pending[:n], self.pending[n:]
        return chunk


def test_memory_is_bounded_by_one_document():
    size = 1 << 20
    tracemalloc.start()
    try:
        count = 0
        for obj in korvane.iter_load(Generated(40, size)):
            count += 1
            del obj
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert count == 40
    assert peak < 8 * size  # 40 documents stream through a few documents' memory


def loads_ok(doc: bytes) -> bool:
    # Some graphs write but cannot be rebuilt (the engine says why); the
    # stream then raises just as loads does, which the cases above check.
    try:
        korvane.loads(doc)
    except ValueError:
        return False
    return True


@settings(max_examples=60, deadline=None)
@given(st.lists(recipes(max_nodes=12), min_size=1, max_size=4), st.integers(1, 64))
def test_generated_graphs_split_anywhere(recipe_list, step):
    docs = [
        d
        for d in (korvane.dumps(materialize(r)[0]) for r in recipe_list)
        if loads_ok(d)
    ]
    got = list(korvane.iter_load(Trickle(stream_of(docs), step, read1=True)))
    assert len(got) == len(docs)
    for obj, doc in zip(got, docs):
        assert_same(obj, korvane.loads(doc))
