"""The source tree keeps its layers: core <- format <- graph <- the C-API edge,
and the interpreter-free layers never see Python."""

import pathlib
import re

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# What each directory may include; the edge (src/ itself) may include all.
ALLOWED = {"core": {"core"}, "format": {"core", "format"}, "graph": {"core", "format", "graph"}}
# Files of those directories that belong to the C-API edge.
EDGE_FILES = {"graph/traversal.h", "graph/traversal.cpp", "format/decoder.h", "format/decoder.cpp"}
INCLUDE = re.compile(r'^#include ([<"])([^>"]+)[>"]', re.M)


def test_directories_include_one_way_and_the_core_has_no_python():
    wrong = []
    for path in SRC.rglob("*.[ch]*"):
        rel = path.relative_to(SRC).as_posix()
        layer = rel.split("/")[0] if "/" in rel else None
        if layer is None or rel in EDGE_FILES:
            continue
        for quote, target in INCLUDE.findall(path.read_text()):
            top = target.split("/")[0] if "/" in target else "the edge"
            if target == "Python.h" or (quote == '"' and top not in ALLOWED[layer]):
                wrong.append(f"{rel} includes {target}")
    assert wrong == []
