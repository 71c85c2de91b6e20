"""Shared helpers for the korvane tests; the document builder lives in
builders.py and is re-exported here."""

import io
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest
from builders import (  # noqa: F401  (re-exported for the test modules)
    BYTES,
    DATACLASS,
    DICT,
    FALSE,
    FLOAT,
    FROZENSET,
    INT,
    LIST,
    NONE,
    NONE_DOCUMENT,
    REF,
    SET,
    STR,
    TRUE,
    TUPLE,
    document,
    header,
    string_table,
    type_entry,
    type_table,
    u8,
    u16,
    u32,
    varint,
)

import _korvane

# ---------------------------------------------------------------------------
# Running crash-prone code in a child interpreter.


def raises_exactly(exc_type, message):
    """pytest.raises for exactly this type and this whole message."""
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


def is_hashable(obj) -> bool:
    try:
        hash(obj)
    except TypeError:
        return False
    return True


def run_isolated(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Run ``code`` in a fresh interpreter that sees the same modules."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=str(pathlib.Path(__file__).resolve().parent.parent),
    )


# ---------------------------------------------------------------------------
# Recording file objects.


class RecordingWriter:
    """A file-like object that records every call of ``write``."""

    def __init__(self):
        self.calls = []

    def write(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return len(args[0]) if args else 0


class ReaderOf:
    """A file-like object whose ``read`` returns a fixed value and counts calls."""

    def __init__(self, value):
        self.value = value
        self.calls = 0

    def read(self, *args):
        self.calls += 1
        assert args == (), "read must be called without arguments"
        return self.value


class Untouchable:
    """Any attribute access is recorded; used to prove a file is never touched."""

    def __init__(self):
        object.__setattr__(self, "touched", [])

    def __getattribute__(self, name):
        if name == "touched":
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "touched").append(name)
        raise AssertionError(f"attribute {name!r} was looked up")


# ---------------------------------------------------------------------------
# Fixtures.


@pytest.fixture(params=["dumps/loads", "dump/load"])
def roundtrip(request):
    """Encode and decode a value through one of the two API pairs.

    The dump/load path also checks that the written bytes equal ``dumps``.
    """

    def via_bytes(value, **kwargs):
        return _korvane.loads(_korvane.dumps(value), **kwargs)

    def via_file(value, **kwargs):
        buf = io.BytesIO()
        assert _korvane.dump(value, buf) is None
        assert buf.getvalue() == _korvane.dumps(value)
        buf.seek(0)
        return _korvane.load(buf, **kwargs)

    return via_bytes if request.param == "dumps/loads" else via_file


@pytest.fixture
def make_class_calls(monkeypatch):
    """Replace ``korvane._reconstruct.make_class`` with a recording factory.

    The factory builds a fresh dataclass with the requested name and fields;
    the list it returns records every (name, field_names) call.
    """
    import dataclasses

    import korvane._reconstruct

    calls = []

    def fake_make_class(name, field_names):
        calls.append((name, list(field_names)))
        return dataclasses.make_dataclass(name or "Anonymous", list(field_names))

    monkeypatch.setattr(korvane._reconstruct, "make_class", fake_make_class)
    return calls
