"""The stubs and inline hints hold up under mypy --strict."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Our own typed modules, checked along with the usage file. Imports of other
# modules are followed for their types but their own bodies are not judged.
CHECKED = [
    "tests/typing_usage.py",
    "korvane/document.py",
    "korvane/_cli.py",
    "korvane/__main__.py",
]


def mypy(*paths: str, cache: pathlib.Path) -> subprocess.CompletedProcess[str]:
    # The checkout's korvane/ and its extension stub in src/ (the file that
    # the build installs next to the extension) come first.
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(ROOT), str(ROOT / "src")]))
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--follow-imports=silent",
            "--no-error-summary",
            "--cache-dir",
            str(cache),
            *paths,
        ],
        cwd=ROOT,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_usage_and_own_modules_pass_mypy_strict(tmp_path):
    proc = mypy(*CHECKED, cache=tmp_path / "cache")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_usage_file_runs():
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    proc = subprocess.run(
        [sys.executable, str(ROOT / "tests" / "typing_usage.py")],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert "malformed at 0: Invalid data: too short for version" in proc.stdout


MISUSE = textwrap.dedent(
    """\
    import io
    import korvane

    korvane.loads("text")
    korvane.loads(b"", allowlist=["A"])
    korvane.loads(b"", allowlist=frozenset({"A"}))
    korvane.dumps(1, protocol="5")
    korvane.dumps(1, hmac_key="key")
    korvane.dumps(1, 5)
    korvane.dump(1, io.StringIO())
    korvane.load(io.StringIO())
    korvane.load(b"")
    n: int = korvane.dumps(1)
    """
)


def test_mypy_rejects_misuse(tmp_path):
    path = tmp_path / "misuse.py"
    path.write_text(MISUSE)
    proc = mypy(str(path), cache=tmp_path / "cache")
    flagged = {
        int(line.split(":")[1])
        for line in proc.stdout.splitlines()
        if line.startswith(str(path)) and ": error:" in line
    }
    assert flagged == set(range(4, 14)), proc.stdout
