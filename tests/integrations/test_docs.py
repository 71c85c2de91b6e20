"""docs/integrations.md: its Python blocks run, in order, against real servers."""

import pathlib
import sys
import types

from test_readme import BLOCK

from integrations.conftest import require
from korvane import _adapters, _reconstruct, migrations

for module, extra in [
    ("celery", "celery"),
    ("django", "django"),
    ("django_redis", "django"),
    ("diskcache", "diskcache"),
    ("rq", "rq"),
    ("distributed", "dask"),
]:
    require(module, extra)

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "integrations.md"


def test_the_integration_docs_run(redis_url, monkeypatch):
    from korvane.integrations import kombu as korvane_kombu

    blocks = BLOCK.findall(DOC.read_text(encoding="utf-8"))
    assert len(blocks) >= 9
    monkeypatch.setenv("REDIS_URL", redis_url)
    module = types.ModuleType("korvane_integration_docs")
    monkeypatch.setitem(sys.modules, module.__name__, module)
    try:
        with _reconstruct._isolated(), migrations._isolated(), _adapters._isolated():
            for number, block in enumerate(blocks, 1):
                exec(
                    compile(block, f"integrations.md python block {number}", "exec"),
                    module.__dict__,
                )
    finally:
        korvane_kombu.register()  # the docs restricted it
