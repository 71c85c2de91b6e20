"""A module that cannot be imported (None in sys.modules) fails as the
import itself fails, and loading falls back to the legacy helper modules."""

from __future__ import annotations

import dataclasses
import sys
import types

import pytest
from conftest import DATACLASS, INT, document

import korvane


@dataclasses.dataclass
class Versioned:
    x: int
    __korvane_version__ = 2


def point_document(field=INT(1), version=0):
    """One dataclass entry of a class K with the field x."""
    return document([DATACLASS(0, 1), field], ["K", "x"], [(0, version, [1])])


@pytest.fixture
def legacy(monkeypatch):
    """A stand-in for the legacy helper package that records its calls."""
    calls = []
    package = types.ModuleType("meridel")
    reconstruct = types.ModuleType("meridel._reconstruct")
    migrations = types.ModuleType("meridel.migrations")

    def make_class(name, fields):
        calls.append(("make_class", name, fields))
        return Versioned

    def apply_migrations(name, values, stored, current):
        calls.append(("apply_migrations", name, stored, current))
        return {"x": values["x"] + 1}

    reconstruct.make_class = make_class
    migrations.apply_migrations = apply_migrations
    for module in (package, reconstruct, migrations):
        monkeypatch.setitem(sys.modules, module.__name__, module)
    return calls


def test_dumps_raises_the_import_error_of_a_blocked_dataclasses(monkeypatch):
    monkeypatch.setitem(sys.modules, "dataclasses", None)
    with pytest.raises(ImportError, match="None in sys.modules"):
        korvane.dumps(Versioned(1))
    assert korvane.dumps([1, "a"])  # built-ins never import it


@pytest.mark.parametrize("blocked", ["korvane._reconstruct", "korvane.migrations"])
def test_loads_falls_back_to_the_legacy_module(monkeypatch, legacy, blocked):
    monkeypatch.setitem(sys.modules, blocked, None)
    migrating = blocked == "korvane.migrations"
    if migrating:  # stored version 1, current 2
        monkeypatch.setattr(korvane._reconstruct, "make_class", lambda n, f: Versioned)
    back = korvane.loads(point_document(version=int(migrating)))
    assert back == Versioned(1 + migrating)
    want = "apply_migrations" if migrating else "make_class"
    assert [c[0] for c in legacy] == [want]


@pytest.mark.parametrize(
    "field", [INT(1), b"\x0e\x09\x00\x00\x00"], ids=["ok", "bad-field"]
)
def test_both_imports_failing_raise_the_legacy_error_before_any_field(
    monkeypatch, field
):
    monkeypatch.setitem(sys.modules, "korvane._reconstruct", None)
    monkeypatch.setitem(sys.modules, "meridel", None)
    with pytest.raises(ImportError, match="meridel"):
        korvane.loads(point_document(field))
