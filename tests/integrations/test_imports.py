"""Importing an integration imports only korvane; kombu finds its entry point."""

import pickle

import pytest
from conftest import run_isolated

from integrations.conftest import require

FRAMEWORKS = [
    "celery",
    "kombu",
    "django",
    "django_redis",
    "diskcache",
    "rq",
    "distributed",
    "dask",
    "redis",
]


def test_each_module_imports_only_korvane():
    proc = run_isolated(f"""
        import sys
        import korvane.integrations.kombu, korvane.integrations.django
        import korvane.integrations.diskcache, korvane.integrations.rq
        import korvane.integrations.dask
        loaded = sorted(m for m in {FRAMEWORKS!r} if m in sys.modules)
        assert not loaded, loaded
    """)
    assert proc.returncode == 0, proc.stderr


def test_kombu_registers_korvane_by_itself():
    require("kombu", "kombu")
    proc = run_isolated("""
        import pickle
        from kombu import serialization
        value = {"a": (1,)}
        content_type, encoding, body = serialization.dumps(value, serializer="korvane")
        assert (content_type, encoding) == ("application/x-korvane", "binary")
        accept = ["application/x-korvane"]
        assert serialization.loads(body, content_type, encoding, accept=accept) == value
        try:
            serialization.loads(pickle.dumps(1), content_type, encoding, accept=accept)
        except Exception as exc:
            assert "refusing a pickle payload" in str(exc), exc
        else:
            raise AssertionError("a pickle was loaded")
    """)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("payload", [pickle.dumps([1], protocol=p) for p in range(6)])
def test_pickles_of_every_protocol_are_refused(payload):
    from korvane.integrations import RefusedPayload, decode

    with pytest.raises(RefusedPayload, match="refusing a pickle payload"):
        decode(payload)
