"""Instruction counts per object-table entry of dumps and loads, counted by
callgrind inside the serializer's own entry function only (input building
and the interpreter's loop are not counted), for korvane, pickle and marshal.

    python bench/instructions.py [--quick] [--only NAME[,NAME]] [--calls N]

Wall time on a shared machine is noisy; these counts are not: the same
binary and input give the same count whatever else the machine is doing.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
# The C function that each call enters: what callgrind counts.
ENTRY = {
    "korvane": {"dumps": "*op_dumps*", "loads": "*op_loads*"},
    "pickle": {"dumps": "_pickle_dumps*", "loads": "_pickle_loads*"},
    "marshal": {"dumps": "marshal_dumps*", "loads": "marshal_loads*"},
}
CHILD = """
import gc, sys
sys.path.insert(0, {here!r})
from serializers import load_serializer
from workloads import WORKLOADS, Record
if {serializer!r} == "korvane":
    import korvane
    korvane.register(Record)  # as run.py does: loads builds Record itself
w = WORKLOADS[{workload!r}]
sys.setrecursionlimit(max(sys.getrecursionlimit(), w.recursion_limit or 0))
value = w.build({quick!r})
s = load_serializer({serializer!r})
data = s.dumps(value)
gc.disable()
for _ in range({calls}):
    s.{op}(value if {op!r} == "dumps" else data)
"""


def count(
    workload: str, serializer: str, op: str, quick: bool, calls: int
) -> int | None:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        code = CHILD.format(
            here=str(HERE),
            workload=workload,
            quick=quick,
            serializer=serializer,
            op=op,
            calls=calls,
        )
        proc = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                f"--toggle-collect={ENTRY[serializer][op]}",
                sys.executable,
                "-c",
                code,
            ],
            capture_output=True,
            text=True,
        )
        if proc.returncode != 0 or not os.path.exists(out):
            return None
        for line in open(out):
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1]) // calls
    return None


def entries(workload: str, quick: bool) -> int:
    sys.path.insert(0, str(HERE))
    from workloads import WORKLOADS

    import korvane

    w = WORKLOADS[workload]
    sys.setrecursionlimit(max(sys.getrecursionlimit(), w.recursion_limit or 0))
    data = korvane.dumps(w.build(quick))
    strings = int.from_bytes(data[11:15], "little")
    pos = 15
    for _ in range(strings):
        pos += 4 + int.from_bytes(data[pos : pos + 4], "little")
    types = int.from_bytes(data[pos : pos + 4], "little")
    pos += 4
    for _ in range(types):
        pos += 12 + 4 * int.from_bytes(data[pos + 10 : pos + 12], "little")
    return int.from_bytes(data[pos : pos + 4], "little")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="the --quick input sizes")
    p.add_argument("--only", help="comma-separated workloads")
    p.add_argument("--calls", type=int, default=3, help="calls counted per run")
    p.add_argument("--serializers", default=",".join(ENTRY), help="comma-separated")
    args = p.parse_args(argv)
    sys.path.insert(0, str(HERE))
    from workloads import WORKLOADS

    names = args.only.split(",") if args.only else list(WORKLOADS)
    chosen = args.serializers.split(",")
    print(
        f"{'workload':12} {'entries':>9}"
        + "".join(
            f" {s[:7] + ' ' + op[0]:>11}" for op in ("dumps", "loads") for s in chosen
        )
    )
    for name in names:
        try:
            n = entries(name, args.quick)
        except Exception as e:  # a workload this checkout cannot build
            print(f"{name:12} skipped: {e}")
            continue
        row = f"{name:12} {n:>9}"
        for op in ("dumps", "loads"):
            for serializer in chosen:
                c = count(name, serializer, op, args.quick, args.calls)
                row += f" {c / n:>11.1f}" if c else f" {'n/a':>11}"
        print(row, flush=True)
    print("instructions per entry of korvane's object table; 'n/a': not carried")
    return 0


if __name__ == "__main__":
    sys.exit(main())
