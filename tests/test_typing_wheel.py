"""The installed wheel is typed: mypy --strict as a user runs it.

The wheel is built, installed with mypy into a fresh venv, and mypy runs
there from a directory outside the checkout with no path pointing into it.
"""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

PASSING = """\
import io
from typing import Any

import korvane
from korvane.integrations import decode
from korvane.integrations.django import RedisSerializer
from korvane.integrations.rq import Serializer

data: bytes = korvane.dumps({"a": [1]}, protocol=5, schema_version=1, hmac_key=b"k")
value: Any = korvane.loads(data, allowlist={"Point"})
korvane.dump(value, io.BytesIO())
for item in korvane.iter_load(io.BytesIO(data), allowlist=None):
    print(item)
blob: bytes = Serializer.dumps(decode(data))
cached: bytes | int = RedisSerializer().dumps(1)
"""

FAILING = """\
import korvane

korvane.loads("text")
korvane.loads(b"", allowlist=["x"])
korvane.dumps(1, protocol="5")
count: int = korvane.dumps(1)
korvane.iter_load(b"")
"""


def run(*args, cwd, env=None, timeout=240) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [str(a) for a in args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture(scope="module")
def user_venv(tmp_path_factory):
    if pathlib.Path(sys.prefix) != ROOT / ".venv":
        # The wheel is built incrementally in the checkout's build tree, which
        # belongs to the project venv; the other venvs test their own builds.
        pytest.skip("the installed-wheel check runs from the project venv (make test)")
    tmp = tmp_path_factory.mktemp("wheel")
    built = run(
        sys.executable,
        "-m",
        "pip",
        "wheel",
        "-q",
        "--no-deps",
        "-w",
        tmp / "dist",
        ROOT,
        cwd=ROOT,
    )
    assert built.returncode == 0, built.stdout + built.stderr
    [wheel] = (tmp / "dist").glob("korvane-*.whl")
    venv = tmp / "venv"
    made = run(sys.executable, "-m", "venv", venv, cwd=tmp)
    assert made.returncode == 0, made.stderr
    python = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    installed = run(
        python,
        "-m",
        "pip",
        "install",
        "-q",
        "--disable-pip-version-check",
        wheel,
        "mypy>=1.8",
        cwd=tmp,
        env=env,
    )
    assert installed.returncode == 0, installed.stdout + installed.stderr
    work = tmp / "user"
    work.mkdir()
    return python, work, env


def mypy(user_venv, name: str, text: str) -> subprocess.CompletedProcess[str]:
    python, work, env = user_venv
    (work / name).write_text(text)
    return run(
        python,
        "-m",
        "mypy",
        "--strict",
        "--no-error-summary",
        "--cache-dir",
        work / ".cache",
        name,
        cwd=work,
        env=env,
    )


def test_a_correct_script_passes(user_venv):
    proc = mypy(user_venv, "ok.py", PASSING)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_wrong_calls_fail_each_on_its_line(user_venv):
    proc = mypy(user_venv, "wrong.py", FAILING)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    lines = {
        int(line.split(":")[1])
        for line in proc.stdout.splitlines()
        if ": error:" in line
    }
    assert lines == {3, 4, 5, 6, 7}, proc.stdout
