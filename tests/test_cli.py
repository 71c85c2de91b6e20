"""python -m korvane: dis, check, stats and demo."""

import dataclasses
import io
import os
import pathlib
import struct
import subprocess
import sys

import pytest

import korvane
from korvane._cli import main

ROOT = pathlib.Path(__file__).resolve().parent.parent
SMALL = korvane.dumps({"a": [1, 1]})


def run(*argv: str, data: bytes | None = None, tmp_path=None):
    """Runs main() in-process; gives (status, stdout, stderr)."""
    args = list(argv)
    if data is not None:
        path = tmp_path / "doc.krvn"
        path.write_bytes(data)
        args.insert(1, str(path))
    out, err = io.StringIO(), io.StringIO()
    status = main(args, out, err)
    return status, out.getvalue(), err.getvalue()


def run_module(*argv: str, stdin: bytes = b"") -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    return subprocess.run(
        [sys.executable, "-m", "korvane", *argv],
        input=stdin.decode("latin-1"),
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )


def test_dis_lists_a_small_document(tmp_path):
    status, out, err = run("dis", data=SMALL, tmp_path=tmp_path)
    assert (status, err) == (0, "")
    assert [line.split() for line in out.splitlines()] == [
        "0 header magic KRVN, version 1, schema version 0, flags 0x00".split(),
        "11 strings 1".split(),
        "15 string 0 len 1 'a'".split(),
        "20 types 0".split(),
        "24 objects 5".split(),
        "28 #0 0A Dict 1 pair: (#1, #2)".split(),
        "41 #1 06 Str [0] 'a'".split(),
        "46 #2 08 List 2 items: #3, #4".split(),
        "59 #3 04 Int 1".split(),
        "61 #4 0E Reference -> #3".split(),
        "66 end 66 bytes, 0 trailing".split(),
    ]


@dataclasses.dataclass
class CliPoint:
    x: int
    y: float


def test_dis_annotates_every_kind(tmp_path):
    point = CliPoint(1, 1.5)
    value = [point, point, b"\x00xyz", (None,), {True}, frozenset({False}), "é" * 50]
    data = korvane.dumps(value)
    status, out, _ = run("dis", "--width", "8", data=data, tmp_path=tmp_path)
    assert status == 0
    for expected in [
        "type 0       id 0, name [1] 'CliPoint', schema version 0, 2 fields: [2] 'x', "
        "[3] 'y'",
        "0D Dataclass  type 0 'CliPoint', 2 values: x=#2, y=#3",
        "05 Float      1.5 (bits 0x3FF8000000000000)",
        "0E Reference  -> #1",
        "07 Bytes      len 4 b'\\x00xyz'",
        "09 Tuple      1 item: #7",
        "0B Set        1 item: #9",
        "0C FrozenSet  1 item: #11",
        "06 Str        [0] 'éééééééé'...",
        "  string 0     len 100 'éééééééé'...",
    ]:
        assert expected in out


def test_dis_shows_chains_loops_and_missing_numbers(tmp_path):
    objects = [b"\x08" + struct.pack("<III", 2, 1, 9), b"\x0e\x02\x00\x00\x00"]
    objects += [b"\x0e\x03\x00\x00\x00", b"\x0e\x02\x00\x00\x00"]
    objects += [b"\x08\x00\x00\x00\x00"]
    data = SMALL[:24] + struct.pack("<I", len(objects)) + b"".join(objects)
    status, out, _ = run("dis", "--items", "1", data=data, tmp_path=tmp_path)
    assert status == 0
    assert "08 List       2 items: #1, ... (1 more)" in out
    assert "0E Reference  -> #2 (reference loop)" in out
    status, out, _ = run("dis", data=data, tmp_path=tmp_path)
    assert "2 items: #1, #9 (no such object)" in out


@pytest.mark.parametrize(
    "data, message, offset, last_line",
    [
        (b"", "Invalid data: too short for header", 0, None),
        (b"PKL\x00" + SMALL[4:], "Invalid magic bytes", 0, None),
        (SMALL[:12], "Invalid data: no string count", 11, "header"),
        (SMALL[:17], "Invalid data: string length truncated", 15, "strings"),
        (SMALL[:60], "Invalid data: int truncated", 60, "#2"),
        (SMALL[:28] + b"\x0f", "Unknown tag: 0x0F", 28, "objects"),
        (
            SMALL[:19] + b"\xff" + SMALL[20:],
            "Invalid UTF-8 in string table: "
            "invalid utf-8 sequence of 1 bytes from index 0",
            15,
            "strings",
        ),
    ],
)
def test_dis_of_a_malformed_document(tmp_path, data, message, offset, last_line):
    status, out, err = run("dis", data=data, tmp_path=tmp_path)
    assert status == 1
    assert err == f"error at offset {offset}: {message}\n"
    lines = out.splitlines()
    if last_line is None:
        assert lines == []
    else:
        assert lines[-1].split()[1] == last_line


def test_dis_reads_stdin_through_the_module_entry_point():
    proc = run_module("dis", "-", stdin=SMALL)
    assert proc.returncode == 0, proc.stderr
    assert "0E Reference  -> #3" in proc.stdout
    proc = run_module("dis", "-", stdin=SMALL[:-1])
    assert proc.returncode == 1
    assert proc.stderr == "error at offset 62: Invalid data: reference truncated\n"
    assert "04 Int        1" in proc.stdout


@pytest.mark.parametrize(
    "allow, status, output",
    [
        (
            None,
            0,
            "ok: 5 objects (5 reachable from the root), 3 strings, 1 type, "
            "1 dataclass entry, 1 reference, nesting depth 2\n",
        ),
        (["CliPoint"], 0, "ok: 5 objects"),
        (["A", "CliPoint", "B"], 0, "ok: 5 objects"),
        (["Other"], 1, "TypeError: Type 'CliPoint' is not in the allowlist\n"),
        ([], 1, "TypeError: Type 'CliPoint' is not in the allowlist\n"),
    ],
)
def test_check_with_allowlist(tmp_path, allow, status, output):
    point = CliPoint(2, 0.5)
    path = tmp_path / "doc.krvn"
    path.write_bytes(korvane.dumps([point, point]))
    names = [arg for n in allow or () for arg in ("-a" if n == "B" else "--allow", n)]
    argvs = [["check", str(path), *(names if allow != [] else ["--allow"])]]
    if allow:
        argvs.append(["check", *names, str(path)])  # the file after the names
    for argv in argvs:
        out, err = io.StringIO(), io.StringIO()
        assert main(argv, out, err) == status, argv
        assert (out if status == 0 else err).getvalue().startswith(output)


@pytest.mark.parametrize(
    "data, message",
    [
        (SMALL[:3], "ValueError: Invalid data: too short for header"),
        (SMALL[:40], "ValueError: Invalid data: dict value truncated"),
        (SMALL[:24] + b"\x00\x00\x00\x00", "ValueError: Invalid reference: 0"),
        (
            SMALL[:24] + b"\x02\x00\x00\x00" + b"\x0e\x01\x00\x00\x00" * 2,
            "ValueError: Invalid data: reference loop at object 0",
        ),
        (
            SMALL[:41] + b"\x06\x05\x00\x00\x00" + SMALL[46:],
            "ValueError: Invalid string index: 5",
        ),
    ],
)
def test_check_rejects(tmp_path, data, message):
    assert run("check", data=data, tmp_path=tmp_path) == (1, "", message + "\n")
    proc = run_module("check", "-", stdin=data)
    assert (proc.returncode, proc.stderr) == (1, message + "\n")


def test_check_notes_trailing_bytes(tmp_path):
    status, out, _ = run("check", data=SMALL + b"\x00\x00", tmp_path=tmp_path)
    assert status == 0
    assert "note: 2 bytes after the object table are ignored" in out


def test_stats(tmp_path):
    value = {"text": "x" * 30, "blob": b"\x01" * 20, "n": [7, 7, 7]}
    data = korvane.dumps(value)
    status, out, _ = run("stats", "--top", "2", data=data, tmp_path=tmp_path)
    assert status == 0
    lines = out.splitlines()
    assert "objects: 10" in lines
    assert "  Reference           2   20.0%" in lines
    assert "  Str                 4   40.0%" in lines
    assert "references: 2 of 10 objects (20.0%)" in lines
    assert "string table: 4 strings, 39 bytes of text, 59 bytes in the table" in lines
    at = lines.index("largest strings:")
    assert lines[at + 1 : at + 4] == [
        "  [1] 30 bytes 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'",
        "  [0] 4 bytes 'text'",
        "largest bytes:",
    ]
    # --width counts the characters shown, escapes included (40 = 10 escapes).
    assert lines[at + 4] == "  #4 20 bytes b'" + "\\x01" * 10 + "'..."


@pytest.mark.parametrize(
    "argv",
    [
        ["demo", "--repeat", "0"],
        ["stats", "-", "--width", "-1"],
        ["dis", "-", "--items", "x"],
    ],
)
def test_bad_counts_are_usage_errors(argv, capsys):
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == 2
    assert "error: argument" in capsys.readouterr().err


def test_stats_of_a_malformed_document(tmp_path):
    status, out, err = run("stats", data=SMALL[:-1], tmp_path=tmp_path)
    assert (status, out) == (1, "")
    assert err == "ValueError: Invalid data: reference truncated\n"


def test_missing_file_is_a_usage_error(tmp_path):
    status, _, err = run("check", str(tmp_path / "absent.krvn"))
    assert status == 2
    assert "cannot read" in err


@pytest.mark.parametrize("command", ["dis", "check", "stats", "demo"])
def test_help(command):
    with pytest.raises(SystemExit) as info:
        main([command, "--help"])
    assert info.value.code == 0


def test_demo_runs_end_to_end():
    proc = run_module("demo", "--repeat", "2")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    for expected in [
        f"korvane {korvane.__version__}",
        "back['left'] is back['right']: True",
        "back['self'] is back:          True",
        "registered dataclass: DemoPoint(x=3, y=4)",
        "refuses it: TypeError: Type 'DemoPoint' is not in the allowlist",
        "DemoRecipe(title='pancakes', minutes=20, difficulty='easy')",
        "DemoRecipe(title='ragu', minutes=180, difficulty='hard')",
        "korvane vs pickle (protocol 5)",
    ]:
        assert expected in out
    rows = [line.split() for line in out.splitlines() if line.endswith("ms")]
    assert [row[-4] for row in rows] == ["korvane", "pickle"] * 2
