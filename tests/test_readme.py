"""The README's Python examples run, in order, against the real package."""

import pathlib
import re
import sys
import types

from korvane import _adapters, _reconstruct, migrations

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def python_blocks() -> list[str]:
    return BLOCK.findall(README.read_text(encoding="utf-8"))


def test_the_readme_has_examples():
    blocks = python_blocks()
    assert len(blocks) >= 8
    text = "\n".join(blocks)
    for api in ["dumps(", "loads(", "dump(", "load(", "register", "migration("]:
        assert api in text


def test_readme_examples_run_in_order(monkeypatch):
    # A real module, so that dataclasses can resolve string annotations.
    module = types.ModuleType("korvane_readme_examples")
    monkeypatch.setitem(sys.modules, module.__name__, module)
    # The examples register classes and migrations; keep them out of the
    # process-wide registries the other tests use.
    with _reconstruct._isolated(), migrations._isolated(), _adapters._isolated():
        for number, block in enumerate(python_blocks(), 1):
            code = compile(block, f"README.md python block {number}", "exec")
            exec(code, module.__dict__)
