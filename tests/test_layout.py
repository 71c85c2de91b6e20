"""The source tree keeps its shape: core <- format <- graph <- the C-API edge,
the interpreter-free layers never see Python, no include cycles, and files
and functions stay short (tools/check_layout.py)."""

import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import check_layout  # noqa: E402


def test_the_source_tree_passes_the_layout_check():
    assert check_layout.check(ROOT / "src") == []


def _tree(tmp_path, files):
    for rel, text in files.items():
        path = tmp_path / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return check_layout.check(tmp_path)


LONG_BODY = "int f(int x) {\n" + "  x += 1;\n" * 60 + "  return x;\n}\n"


@pytest.mark.parametrize(
    "files, fault",
    [
        ({"core/a.h": "#include <Python.h>\n"}, "core/a.h includes Python.h"),
        (
            {"format/a.h": '#include "graph/b.h"\n', "graph/b.h": ""},
            "(format) includes graph/b.h",
        ),
        (
            {"graph/a.h": '#include "decoder/b.h"\n', "decoder/b.h": ""},
            "(graph) includes",
        ),
        ({"format/a.cpp": LONG_BODY}, "f is 63 lines"),
        ({"a.cpp": "//\n" * 401}, "401 lines"),
        (
            {"a.h": '#include "b.h"\n', "b.h": '#include "a.h"\n'},
            "include cycle between files",
        ),
        (
            {"a.cpp": '#include "decoder/b.h"\n', "decoder/b.h": '#include "c.h"\n'}
            | {"c.h": ""},
            "include cycle between directories: decoder -> src -> decoder",
        ),
    ],
)
def test_the_check_finds_each_fault(tmp_path, files, fault):
    faults = _tree(tmp_path, files)
    assert any(fault in f for f in faults), faults


def test_comments_strings_and_initializers_are_not_functions(tmp_path):
    text = (
        '/* { */ const char* s = "{";\n'
        "int table[] = {\n" + "  1,\n" * 70 + "};\n"
        "struct S {\n  int g() const { return 1; }\n};\n"
    )
    assert _tree(tmp_path, {"format/a.cpp": text}) == []
