"""Atheris target for the differential tests: fuzz bytes choose a graph
(through the generator of tests/graphs.py), `dumps` of it, held and as a
temporary, must be the reference writer's bytes, and `loads` of those bytes,
in writer order and permuted, the reference reader's objects. A difference
raises, and atheris keeps the input.

Run: python tests/fuzz/fuzz_differential.py [libFuzzer flags] CORPUS_DIR...
"""

from __future__ import annotations

import pathlib
import sys

import atheris

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

PROPERTIES = (
    "test_dumps_of_held_and_temporary_graphs_is_the_plain_walk",
    "test_loads_is_the_plain_build_in_writer_order_and_permuted",
)
checks = []


def test_one_input(data: bytes) -> None:
    for check in checks:
        check(data)


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    # Coverage of korvane's own Python only (the extension is instrumented
    # by its build): instrumenting Hypothesis and the reference too made
    # every run some ten times slower and steered the fuzzer by their
    # branches instead of ours.
    with atheris.instrument_imports(include=["korvane"]):
        import korvane  # noqa: F401
        import korvane._adapters  # noqa: F401
        import korvane._reconstruct  # noqa: F401
        import korvane.document  # noqa: F401
        import korvane.migrations  # noqa: F401
    import test_differential

    for name in PROPERTIES:
        checks.append(getattr(test_differential, name).hypothesis.fuzz_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
