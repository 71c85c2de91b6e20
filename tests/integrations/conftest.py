"""A real Redis server for the integration tests, on a free 127.0.0.1 port.

It is started once for the session and stopped by its PID; every wait is
bounded. Without ``redis-server`` (``make test`` installs it) or without a
framework (the test extra installs them all) the tests that need it skip,
saying why; under ``make test`` (KORVANE_INTEGRATIONS=required), which
installs everything, they fail instead.
"""

import importlib
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


REQUIRED = os.environ.get("KORVANE_INTEGRATIONS") == "required"


def require(module: str, extra: str):
    """Import a framework, or skip the calling test module without it."""
    if REQUIRED:
        return importlib.import_module(module)
    return pytest.importorskip(
        module, reason=f"{module} is not installed (pip install 'korvane[{extra}]')"
    )


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(ready, timeout: float, what: str, poll: float = 0.05):
    """Poll ``ready()`` until it gives a true value, at most ``timeout`` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = ready()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"gave up after {timeout} s waiting for {what}")
        time.sleep(poll)


def stop(proc: subprocess.Popen, timeout: float = 10) -> None:
    """Terminate ``proc`` by its PID, then kill it if it does not go."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)


def child_env() -> dict[str, str]:
    """The environment of a worker subprocess: it imports from the checkout."""
    path = os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])
    return dict(os.environ, PYTHONPATH=path.rstrip(os.pathsep))


def _pings(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5) as s:
            s.sendall(b"PING\r\n")
            return s.recv(16).startswith(b"+PONG")
    except OSError:
        return False


@pytest.fixture(scope="session")
def redis_url(tmp_path_factory):
    server = shutil.which("redis-server")
    if server is None:
        if REQUIRED:
            pytest.fail("redis-server is not installed (make test installs it)")
        pytest.skip("redis-server is not installed (make test installs it)")
    port = free_port()
    workdir = tmp_path_factory.mktemp("redis")
    proc = subprocess.Popen(
        [
            server,
            "--bind",
            "127.0.0.1",
            "--port",
            str(port),
            "--save",
            "",
            "--appendonly",
            "no",
            "--dir",
            str(workdir),
            "--databases",
            "16",
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        # Under the sanitizer run the interpreter's preloaded runtime is not
        # the server's business.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    try:
        wait_until(lambda: proc.poll() is not None or _pings(port), 10, "redis-server")
        assert proc.poll() is None, "redis-server exited at start"
        yield f"redis://127.0.0.1:{port}"
    finally:
        stop(proc)


@pytest.fixture(scope="session")
def python() -> str:
    return sys.executable
