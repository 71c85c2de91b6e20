"""Atheris target for ``korvane.loads``.

Each input is loaded three times: without an allowlist, with an empty one
and with one that names the classes of the seed corpus. Any ordinary
exception is a clean refusal; a crash, a hang (libFuzzer's -timeout), a
``PanicException`` (a broken internal invariant) or a ``SystemError`` (an
error raised without an exception set) is a finding. When a load succeeds
the value is dumped again, which must also end cleanly.

For coverage of the extension itself, build it with clang and
``-fsanitize=fuzzer-no-link`` and preload libFuzzer's runtime ahead of
ASan's (tests/fuzz/run.sh does both): atheris then drives the preloaded
libFuzzer, and the coverage hooks of the extension bind to it. With ASan's
runtime first, its stub hooks win, atheris warns that "Coverage symbols are
being provided by a library other than libFuzzer", and the target is blind;
run.sh fails such a run. korvane is imported only after ``atheris.Setup``.

The class hooks are stand-ins so that dataclass entries get built:
``make_class`` makes a dataclass from the stored field names, and
``apply_migrations`` hands the mapping back.

Run: python tests/fuzz/fuzz_loads.py [libFuzzer flags] CORPUS_DIR...
"""

from __future__ import annotations

import dataclasses
import keyword
import sys

import atheris

korvane = None
ALLOWLISTS = (None, set(), {"Point", "Node", "P"})


def make_class(name, field_names):
    if not name.isidentifier() or keyword.iskeyword(name):
        raise TypeError(f"no class for {name!r}")
    fields = []
    for field in field_names:
        if not field.isidentifier() or keyword.iskeyword(field) or field in fields:
            raise TypeError(f"bad field {field!r}")
        fields.append(field)
    return dataclasses.make_dataclass(name, fields)


def apply_migrations(name, mapping, stored, current):
    return dict(mapping)


def test_one_input(data: bytes) -> None:
    for allowlist in ALLOWLISTS:
        try:
            value = korvane.loads(data, allowlist=allowlist)
        except (korvane.PanicException, SystemError):
            raise
        except Exception:
            continue
        try:
            korvane.dumps(value)
        except (korvane.PanicException, SystemError):
            raise
        except Exception:
            pass


def main() -> None:
    global korvane
    atheris.Setup(sys.argv, test_one_input)
    with atheris.instrument_imports():
        import korvane
        import korvane._reconstruct
        import korvane.migrations
    korvane._reconstruct.make_class = make_class
    korvane.migrations.apply_migrations = apply_migrations
    atheris.Fuzz()


if __name__ == "__main__":
    main()
