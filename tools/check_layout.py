"""Checks the shape of the C++ sources: no file over 400 lines, no function
over 60 lines (bar the reader's marked hot loop), the layers including one
way (core <- format <- graph <- the C-API edge) with no Python in the
interpreter-free ones, and no include cycle between layers, directories or
files.

    python tools/check_layout.py [SRC]

Prints one line per fault and exits 1 when there is any. Functions are found
by counting braces in the text without its comments, strings and
preprocessor lines: a brace opened at namespace or class level whose header
has a parameter list is a function body.
"""

from __future__ import annotations

import pathlib
import re
import sys

MAX_FILE_LINES = 400
MAX_FUNCTION_LINES = 60
# The reader's entry loop reads every entry of every document; it is kept
# whole on purpose and marked as a hot loop in its comment.
LONG_FUNCTIONS = {("format/reader.cpp", "read_objects")}

# What each layer may include. The edge (src/ itself, src/py/, src/decoder/
# and the capture walk in src/graph/) may include every layer; its
# directories still include one way (checked as a graph of directories).
LAYERS = ("core", "format", "graph", "edge")
ALLOWED = {
    "core": {"core"},
    "format": {"core", "format"},
    "graph": {"core", "format", "graph"},
    "edge": set(LAYERS),
}
# Files of the interpreter-free directories that belong to the edge.
EDGE_FILES = {
    "graph/traversal.h",
    "graph/traversal.cpp",
    "graph/capture.h",
    "graph/capture_classes.cpp",
    "graph/identity_memo.h",
}
EDGE_DIRS = {"decoder", "py"}

INCLUDE = re.compile(r'^\s*#\s*include\s+([<"])([^>"]+)[>"]', re.M)
SOURCE_SUFFIXES = {".h", ".cpp"}


def directory_of(rel: str) -> str:
    return rel.rsplit("/", 1)[0] if "/" in rel else "src"


def layer_of(rel: str) -> str:
    top = rel.split("/")[0] if "/" in rel else None
    if top is None or top in EDGE_DIRS or rel in EDGE_FILES:
        return "edge"
    return top


def strip_code(text: str) -> str:
    """The text with comments, string and character literals and
    preprocessor lines blanked, line breaks kept."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#":
            # A preprocessor line, with its continuations.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append("\n")
                    i += 2
                    continue
                i += 1
            continue
        if c == "/" and text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if c == "/" and text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
            continue
        if c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(" " + "\n" * text.count("\n", i, j))
            i = j + 1
            continue
        if c == "\n":
            line_start = True
        elif not c.isspace():
            line_start = False
        out.append(c)
        i += 1
    return "".join(out)


def is_function_header(header: str) -> bool:
    head = header.strip()
    if not head or "(" not in head:
        return False
    first = head.split()[0]
    if first in {"namespace", "class", "struct", "enum", "union", "extern"}:
        return False
    if "operator" in head:
        return True
    depth = 0
    for ch in head:
        depth += ch == "("
        depth -= ch == ")"
        if ch == "=" and depth == 0:
            return False  # an initializer
    return head.endswith((")", "const", "noexcept", "override", "&", "&&")) or bool(
        re.search(r"\)\s*(const\s*)?(noexcept\s*)?(->\s*[\w:<>,\s*&]+)?$", head)
    )


def function_name(header: str) -> str:
    before = header[: header.index("(")]
    names = re.findall(r"[A-Za-z_~][\w:]*", before)
    return names[-1].split("::")[-1] if names else "?"


def long_functions(code: str) -> list[tuple[str, int, int]]:
    """(name, first line, lines) of each function longer than the limit."""
    found = []
    stack: list[tuple[str, str, int]] = []  # (kind, name, opening line)
    header: list[str] = []
    line = 1
    for ch in code:
        if ch == "\n":
            line += 1
        if ch == "{":
            text = "".join(header)
            outer = all(kind == "scope" for kind, _, _ in stack)
            if outer and is_function_header(text):
                stack.append(("function", function_name(text), line))
            elif outer and not ("(" in text or "=" in text or text.strip() == ""):
                stack.append(("scope", "", line))  # namespace, class, struct, enum
            else:
                stack.append(("block", "", line))
            header = []
        elif ch == "}":
            if stack:
                kind, name, start = stack.pop()
                length = line - start + 1
                if kind == "function" and length > MAX_FUNCTION_LINES:
                    found.append((name, start, length))
            header = []
        elif ch == ";":
            header = []
        else:
            header.append(ch)
    return found


def sources(src: pathlib.Path) -> list[pathlib.Path]:
    return sorted(p for p in src.rglob("*") if p.suffix in SOURCE_SUFFIXES)


def includes(src: pathlib.Path, path: pathlib.Path) -> list[tuple[str, str]]:
    return INCLUDE.findall(path.read_text())


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, int] = {}
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt) :] + [nxt]
            if nxt not in state and (cycle := visit(nxt)):
                return cycle
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state and (cycle := visit(node)):
            return cycle
    return None


def check(src: pathlib.Path) -> list[str]:
    faults = []
    files = {p.relative_to(src).as_posix(): p for p in sources(src)}
    layer_graph: dict[str, set[str]] = {}
    file_graph: dict[str, set[str]] = {}
    directory_graph: dict[str, set[str]] = {}
    for rel, path in files.items():
        text = path.read_text()
        lines = text.count("\n") + (not text.endswith("\n"))
        if lines > MAX_FILE_LINES:
            faults.append(f"{rel}: {lines} lines (at most {MAX_FILE_LINES})")
        for name, start, length in long_functions(strip_code(text)):
            if (rel, name) not in LONG_FUNCTIONS:
                faults.append(
                    f"{rel}:{start}: {name} is {length} lines "
                    f"(at most {MAX_FUNCTION_LINES})"
                )
        layer = layer_of(rel)
        for quote, target in includes(src, path):
            if target == "Python.h" and layer != "edge":
                faults.append(f"{rel} includes Python.h")
            if quote != '"':
                continue
            if target not in files:
                faults.append(f"{rel} includes {target}, which is not in src/")
                continue
            to = layer_of(target)
            if to not in ALLOWED[layer]:
                faults.append(f"{rel} ({layer}) includes {target} ({to})")
            if to != layer:
                layer_graph.setdefault(layer, set()).add(to)
            if directory_of(target) != directory_of(rel):
                directory_graph.setdefault(directory_of(rel), set()).add(
                    directory_of(target)
                )
            file_graph.setdefault(rel, set()).add(target)
    graphs = (
        (layer_graph, "layers"),
        (directory_graph, "directories"),
        (file_graph, "files"),
    )
    for graph, what in graphs:
        if cycle := find_cycle(graph):
            faults.append(f"include cycle between {what}: " + " -> ".join(cycle))
    return faults


def main(argv: list[str]) -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    src = pathlib.Path(argv[1]) if len(argv) > 1 else root / "src"
    faults = check(src)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
