"""The command line: python -m korvane {dis,check,stats,demo}."""

from __future__ import annotations

import argparse
import dataclasses
import os
import pickle
import statistics
import sys
import time
from collections import Counter
from collections.abc import Callable, Sequence
from functools import cache, partial
from typing import Any, TextIO

import korvane
from korvane import document as kinspect
from korvane.document import (
    TAG_DATACLASS,
    TAG_DICT,
    TAG_NAMES,
    TAG_REFERENCE,
    CheckError,
    Document,
    ObjectEntry,
    ReaderError,
)

EXIT_OK = 0
EXIT_INVALID = 1  # the document is malformed or would be refused
EXIT_USAGE = 2  # bad arguments, unreadable file


class _UsageError(Exception):
    pass


def _read_input(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as exc:
        raise _UsageError(f"cannot read {path}: {exc.strerror or exc}") from exc


def _clipped(value: str | bytes, width: int) -> str:
    """The repr of value, cut so that at most width characters stand between
    its quotes (escapes count as the characters they print), then "..."."""
    text = repr(value)
    frame = 3 if isinstance(value, bytes) else 2  # b'' or ''
    if not width or len(text) - frame <= width:
        return text
    # The repr of a prefix grows with the prefix: find the longest that fits.
    low, high = 0, min(len(value), width)
    while low < high:
        mid = (low + high + 1) // 2
        if len(repr(value[:mid])) - frame <= width:
            low = mid
        else:
            high = mid - 1
    return repr(value[:low]) + "..."


def _plural(n: int, word: str, words: str | None = None) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {words or word + 's'}"


# ---- dis --------------------------------------------------------------------


class _Lister:
    def __init__(self, doc: Document, out: TextIO, width: int, items: int) -> None:
        self.doc = doc
        self.out = out
        self.width = width
        self.items = items

    def line(self, offset: int | None, label: str, text: str = "") -> None:
        where = f"{offset:8d}" if offset is not None else " " * 8
        self.out.write(f"{where}  {label:<14} {text}".rstrip() + "\n")

    def string_ref(self, index: int) -> str:
        if index < len(self.doc.strings):
            return f"[{index}] {_clipped(self.doc.text(index), self.width)}"
        return f"[{index}] (no such string)"

    def object_ref(self, n: int) -> str:
        count = self.doc.object_count
        if count is not None and n >= count:
            return f"#{n} (no such object)"
        return f"#{n}"

    def refs(self, numbers: Sequence[int]) -> str:
        shown = numbers if not self.items else numbers[: self.items]
        text = ", ".join(self.object_ref(n) for n in shown)
        if len(shown) < len(numbers):
            text += f", ... ({len(numbers) - len(shown)} more)"
        return text

    def run(self) -> None:
        doc = self.doc
        if doc.header is not None:
            h = doc.header
            self.line(
                0,
                "header",
                f"magic {h.magic.decode('ascii')}, version {h.version}, "
                f"schema version {h.schema_version}, flags 0x{h.flags:02X}",
            )
        if doc.string_count is not None:
            self.line(kinspect.HEADER_SIZE, "strings", str(doc.string_count))
        for s in doc.strings:
            self.line(
                s.offset,
                f"  string {s.index}",
                f"len {len(s.data)} {_clipped(s.text, self.width)}",
            )
        if doc.type_count is not None:
            self.line(doc.types_offset, "types", str(doc.type_count))
        for t in doc.types:
            fields = ", ".join(self.string_ref(i) for i in t.field_indexes)
            name = self.string_ref(t.name_idx)
            if t.name_idx >= len(doc.strings):
                name += " = ''"
            text = (
                f"id {t.type_id}, name {name}, schema version {t.schema_version}, "
                f"{_plural(len(t.field_indexes), 'field')}"
                + (f": {fields}" if fields else "")
            )
            if t.registry_id is None:
                text += " (repeated name: dropped)"
            elif t.registry_id != t.position:
                text += f" (type id {t.registry_id})"
            self.line(t.offset, f"  type {t.position}", text)
        if doc.object_count is not None:
            self.line(doc.objects_offset, "objects", str(doc.object_count))
        for entry in doc.objects:
            self.line(
                entry.offset,
                f"  #{entry.number}",
                f"{entry.tag:02X} {entry.kind:<10} {self.payload(entry)}".rstrip(),
            )

    def payload(self, e: ObjectEntry) -> str:
        tag = e.tag
        if e.kind in ("None", "True", "False"):
            return ""
        if e.kind == "Int":
            return str(e.value)
        if e.kind == "Float":
            return f"{e.value!r} (bits 0x{e.float_bits:016X})"
        if e.kind == "Str":
            assert e.index is not None
            return self.string_ref(e.index)
        if e.kind == "Bytes":
            assert isinstance(e.value, bytes)
            return f"len {len(e.value)} {_clipped(e.value, self.width)}"
        if tag == TAG_REFERENCE:
            text = f"-> {self.object_ref(e.target)}"
            end = self.doc.resolve(e.number)
            if end == "loop":
                text += " (reference loop)"
            elif isinstance(end, int) and end != e.target:
                text += f" (ends at #{end})"
            return text
        if tag == TAG_DICT:
            kids = e.children
            pairs = [
                f"({self.object_ref(kids[i])}, {self.object_ref(kids[i + 1])})"
                for i in range(0, len(kids), 2)
            ]
            count = len(pairs)
            if self.items and count > self.items:
                pairs = pairs[: self.items] + [f"... ({count - self.items} more)"]
            listed = ": " + ", ".join(pairs) if pairs else ""
            return _plural(count, "pair") + listed
        if tag == TAG_DATACLASS:
            assert e.index is not None
            registry = self.doc.registry
            if e.index < len(registry):
                t = registry[e.index]
                head = f"type {e.index} {_clipped(t.name, self.width)}"
                names = t.field_names
            else:
                head = f"type {e.index} (no such type)"
                names = ()
            values = [
                (f"{names[i]}=" if i < len(names) else "") + self.object_ref(n)
                for i, n in enumerate(e.children)
            ]
            count = len(values)
            if self.items and count > self.items:
                values = values[: self.items] + [f"... ({count - self.items} more)"]
            return f"{head}, {_plural(count, 'value')}" + (
                ": " + ", ".join(values) if values else ""
            )
        # List, Tuple, Set, FrozenSet
        count = len(e.children)
        return f"{_plural(count, 'item')}" + (
            ": " + self.refs(e.children) if count else ""
        )


def _cmd_dis(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    data = _read_input(args.file)
    error: ReaderError | None = None
    try:
        doc = kinspect.parse(data)
    except ReaderError as exc:
        error = exc
        doc = exc.document
    _Lister(doc, out, args.width, args.items).run()
    if error is not None:
        out.flush()
        err.write(f"error at offset {error.offset}: {error.message}\n")
        return EXIT_INVALID
    _Lister(doc, out, args.width, args.items).line(
        doc.end, "end", f"{doc.size} bytes, {doc.trailing} trailing"
    )
    return EXIT_OK


# ---- check ------------------------------------------------------------------


def _cmd_check(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    data = _read_input(args.file)
    # A bare --allow adds None: it asks for an allowlist without adding a name.
    allowlist = None if args.allow is None else {n for n in args.allow if n is not None}
    try:
        report = kinspect.check(data, allowlist)
    except ReaderError as exc:
        err.write(f"ValueError: {exc.message}\n")
        return EXIT_INVALID
    except CheckError as exc:
        err.write(f"{exc.kind}: {exc.message}\n")
        return EXIT_INVALID
    doc = report.document
    kinds = Counter(e.tag for e in doc.objects)
    out.write(
        f"ok: {_plural(len(doc.objects), 'object')} "
        f"({report.reachable} reachable from the root), "
        f"{_plural(len(doc.strings), 'string')}, "
        f"{_plural(len(doc.registry), 'type')}, "
        f"{_plural(kinds[TAG_DATACLASS], 'dataclass entry', 'dataclass entries')}, "
        f"{_plural(kinds[TAG_REFERENCE], 'reference')}, "
        f"nesting depth {report.max_depth}\n"
    )
    if doc.trailing:
        out.write(f"note: {doc.trailing} bytes after the object table are ignored\n")
    limit = sys.getrecursionlimit()
    if report.max_depth > limit - 50:
        out.write(
            f"note: the nesting depth is close to or above the recursion limit "
            f"({limit}); loads may raise RecursionError\n"
        )
    return EXIT_OK


# ---- stats ------------------------------------------------------------------


def _cmd_stats(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    data = _read_input(args.file)
    try:
        doc = kinspect.parse(data)
    except ReaderError as exc:
        err.write(f"ValueError: {exc.message}\n")
        return EXIT_INVALID
    total = len(doc.objects)

    def share(n: int) -> str:
        return f"{100 * n / total:5.1f}%" if total else "  -"

    out.write(f"size: {doc.size} bytes ({doc.trailing} trailing)\n")
    kinds = Counter(e.tag for e in doc.objects)
    out.write(f"objects: {total}\n")
    for tag, name in TAG_NAMES.items():
        if kinds[tag]:
            out.write(f"  {name:<10} {kinds[tag]:>10}  {share(kinds[tag])}\n")
    text_bytes = sum(len(s.data) for s in doc.strings)
    assert doc.types_offset is not None and doc.objects_offset is not None
    out.write(
        f"string table: {_plural(len(doc.strings), 'string')}, "
        f"{text_bytes} bytes of text, {doc.types_offset - kinspect.HEADER_SIZE} "
        f"bytes in the table\n"
    )
    out.write(
        f"type table: {_plural(len(doc.types), 'entry', 'entries')}, "
        f"{doc.objects_offset - doc.types_offset} bytes\n"
    )
    out.write(f"object table: {doc.end - doc.objects_offset} bytes\n")
    refs = kinds[TAG_REFERENCE]
    out.write(f"references: {refs} of {total} objects ({share(refs).strip()})\n")
    top = args.top
    strings = sorted(doc.strings, key=lambda s: (-len(s.data), s.index))[:top]
    out.write("largest strings:\n" if strings else "largest strings: none\n")
    for s in strings:
        out.write(f"  [{s.index}] {len(s.data)} bytes {_clipped(s.text, args.width)}\n")
    blobs = [e for e in doc.objects if isinstance(e.value, bytes)]
    blobs = sorted(blobs, key=lambda e: (-e.size, e.number))[:top]
    out.write("largest bytes:\n" if blobs else "largest bytes: none\n")
    for e in blobs:
        assert isinstance(e.value, bytes)
        value = _clipped(e.value, args.width)
        out.write(f"  #{e.number} {len(e.value)} bytes {value}\n")
    return EXIT_OK


# ---- demo -------------------------------------------------------------------


@dataclasses.dataclass
class DemoPoint:
    x: int
    y: int


@dataclasses.dataclass
class DemoRecipe:
    title: str
    minutes: int
    difficulty: str = "unknown"
    __korvane_version__ = 2


def _add_difficulty(fields: dict[str, Any]) -> dict[str, Any]:
    fields["difficulty"] = "easy" if fields["minutes"] <= 30 else "hard"
    return fields


@cache
def _register_demo_classes() -> None:
    """Registers the demo's classes and migration once per process."""
    korvane.register(DemoPoint)
    korvane.register(DemoRecipe)
    korvane.migration("DemoRecipe", 1, 2)(_add_difficulty)


def _recipe_v1() -> bytes:
    """A document written by the previous release, where the class had no
    difficulty field and schema version 1."""

    @dataclasses.dataclass
    class DemoRecipe:
        title: str
        minutes: int
        __korvane_version__ = 1

    return korvane.dumps([DemoRecipe("pancakes", 20), DemoRecipe("ragu", 180)])


def _median_time(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def _records(n: int) -> list[dict[str, Any]]:
    return [
        {
            "id": i,
            "name": f"user{i}",
            "email": f"user{i}@example.org",
            "active": i % 3 != 0,
            "score": i * 0.25,
            "tags": ["a", "b"] if i % 2 else [],
            "manager": None,
        }
        for i in range(n)
    ]


def _demo_compare(out: TextIO, repeat: int) -> None:
    workloads: list[tuple[str, object]] = [
        ("10,000 JSON-like records", _records(10_000)),
        ("200,000 ints", list(range(-100_000, 100_000))),
    ]
    out.write(
        f"\nkorvane vs pickle (protocol 5), median of {repeat} runs\n"
        f"{'workload':<26}{'':>10}{'size':>12}{'dumps':>12}{'loads':>12}\n"
    )
    rows: list[tuple[str, Callable[[object], bytes], Callable[[bytes], object]]] = [
        ("korvane", korvane.dumps, korvane.loads),
        ("pickle", partial(pickle.dumps, protocol=5), pickle.loads),
    ]
    for name, value in workloads:
        for i, (lib, dumps, loads) in enumerate(rows):
            blob = dumps(value)
            if loads(blob) != value:
                raise AssertionError(f"{lib} did not round-trip {name}")
            t_dump = _median_time(partial(dumps, value), repeat)
            t_load = _median_time(partial(loads, blob), repeat)
            label = name if i == 0 else ""
            out.write(
                f"{label:<26}{lib:>10}{len(blob):>12,}"
                f"{t_dump * 1e3:>10.2f}ms{t_load * 1e3:>10.2f}ms\n"
            )


def _cmd_demo(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    out.write(f"korvane {korvane.__version__}\n\n")

    shared = ["shared", "list"]
    graph: dict[str, Any] = {"left": shared, "right": shared, "n": 2**40}
    graph["self"] = graph
    blob = korvane.dumps(graph)
    back = korvane.loads(blob)
    out.write(f"graph with sharing and a cycle: {len(blob)} bytes\n")
    out.write(f"  {blob[:24].hex(' ')} ...\n")
    out.write(f"  back['left'] is back['right']: {back['left'] is back['right']}\n")
    out.write(f"  back['self'] is back:          {back['self'] is back}\n")

    _register_demo_classes()
    point = DemoPoint(3, 4)
    blob = korvane.dumps({"origin": point, "again": point})
    back = korvane.loads(blob, allowlist={"DemoPoint"})
    out.write(f"\nregistered dataclass: {back['origin']!r}, {len(blob)} bytes\n")
    out.write(
        "  allowlist {'DemoPoint'} lets it in; the same object twice: "
        f"{back['origin'] is back['again']}\n"
    )
    try:
        korvane.loads(blob, allowlist={"Invoice"})
    except TypeError as exc:
        out.write(f"  allowlist {{'Invoice'}} refuses it: TypeError: {exc}\n")
    else:
        raise AssertionError("the allowlist did not refuse DemoPoint")

    recipes = korvane.loads(_recipe_v1())
    out.write("\na document of DemoRecipe schema version 1, migrated to version 2:\n")
    for recipe in recipes:
        out.write(f"  {recipe!r}\n")

    _demo_compare(out, args.repeat)
    return EXIT_OK


# ---- entry ------------------------------------------------------------------


def _count(least: int) -> Callable[[str], int]:
    """An argparse type: an integer of at least ``least``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, not {value}")
        return value

    parse.__name__ = "count"
    return parse


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvane",
        description="Inspect korvane (KRVN) documents without loading them.",
    )
    parser.add_argument("--version", action="version", version=korvane.__version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def file_arg(p: argparse.ArgumentParser) -> None:
        p.add_argument("file", metavar="FILE", help="a document, or - for stdin")

    def width_arg(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "--width",
            type=_count(0),
            default=40,
            metavar="N",
            help="show at most N characters of a string or bytes value (0: all)",
        )

    p = sub.add_parser(
        "dis",
        help="list the header and tables of a document",
        description="Print an annotated listing of a document: the header, the "
        "string table, the type table and the object table, with byte offsets. "
        "Nothing in the document is built or imported, so it is safe on "
        "untrusted files. A malformed document is listed as far as it can be "
        "read, followed by the reader's error; the exit status is then 1.",
    )
    file_arg(p)
    width_arg(p)
    p.add_argument(
        "--items",
        type=_count(0),
        default=16,
        metavar="N",
        help="show at most N children of a container (0: all)",
    )
    p.set_defaults(run=_cmd_dis)

    p = sub.add_parser(
        "check",
        help="validate a document without loading it",
        description="Validate a document as loads would, without building "
        "anything: the reader, the allowlist (with --allow) and every object "
        "number, string index and type id reachable from the root, including "
        "loops of references. Exit status 0 when valid, 1 with the error.",
    )
    file_arg(p)
    p.add_argument(
        "-a",
        "--allow",
        action="append",
        nargs="?",
        metavar="NAME",
        help="allow the class NAME; give it once per name (-a A -a B). "
        "--allow with no name, last, allows no class at all",
    )
    p.set_defaults(run=_cmd_check)

    p = sub.add_parser(
        "stats",
        help="summarise a document",
        description="Objects per kind, table sizes, the largest strings and "
        "bytes values, and the share of references.",
    )
    file_arg(p)
    width_arg(p)
    p.add_argument(
        "--top", type=_count(0), default=5, metavar="N", help="list N largest values"
    )
    p.set_defaults(run=_cmd_stats)

    p = sub.add_parser(
        "demo",
        help="show what korvane does, and compare it with pickle",
        description="Round-trip a graph with sharing and a cycle, a registered "
        "dataclass, an allowlist refusal and a migration, then compare sizes "
        "and speed with pickle.",
    )
    p.add_argument(
        "--repeat", type=_count(1), default=5, metavar="N", help="timing runs (median)"
    )
    p.set_defaults(run=_cmd_demo)
    return parser


def main(
    argv: Sequence[str] | None = None,
    out: TextIO | None = None,
    err: TextIO | None = None,
) -> int:
    """Runs one command; gives the exit status."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    parser = _parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace, TextIO, TextIO], int] = args.run
    try:
        return run(args, out, err)
    except _UsageError as exc:
        err.write(f"{parser.prog} {args.command}: error: {exc}\n")
        return EXIT_USAGE
    except BrokenPipeError:  # python -m korvane dis big.krvn | head
        if out is sys.stdout:
            # Keep the interpreter's final flush from failing again.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
