"""Run one workload's dumps or loads in a loop for a while, for a profiler.

    python bench/profile.py records loads --seconds 20
    perf record -g -- python bench/profile.py ints dumps --seconds 10
    perf stat -e page-faults -- python bench/profile.py bytes loads --calls 50

The input is built and, for loads, serialized before the loop starts; the
loop only calls the one function, so a profile shows that call and little
else. Prints calls, seconds and time per call when done.
"""

from __future__ import annotations

import argparse
import gc
import sys
import time

from serializers import FACTORIES, load_serializer
from workloads import WORKLOADS, Record, Unavailable, check_equal


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("workload", choices=list(WORKLOADS))
    p.add_argument("op", choices=["dumps", "loads"])
    p.add_argument("--seconds", type=float, default=10.0, help="loop this long")
    p.add_argument("--calls", type=int, help="or stop after this many calls")
    p.add_argument("--quick", action="store_true", help="the --quick input size")
    p.add_argument("--serializer", default="korvane", choices=list(FACTORIES))
    p.add_argument("--gc", action="store_true", help="leave the cycle collector on")
    args = p.parse_args(argv)
    if args.seconds <= 0 or (args.calls is not None and args.calls < 1):
        p.error("--seconds and --calls must be positive")

    workload = WORKLOADS[args.workload]
    ser = load_serializer(args.serializer)
    if args.serializer == "korvane":
        import korvane

        try:
            korvane.register(Record)
        except NotImplementedError:
            print("note: korvane.register is not implemented yet", file=sys.stderr)
    if workload.recursion_limit:
        sys.setrecursionlimit(max(sys.getrecursionlimit(), workload.recursion_limit))
    try:
        obj = workload.build(args.quick)
    except Unavailable as exc:
        p.error(str(exc))
    data = ser.dumps(obj)
    problem = check_equal(obj, ser.loads(data))
    if problem:
        print(
            f"warning: {args.serializer} round trip is not faithful: {problem}",
            file=sys.stderr,
        )
    fn, arg = (ser.dumps, obj) if args.op == "dumps" else (ser.loads, data)

    if not args.gc:
        gc.collect()
        gc.disable()
    calls = 0
    start = time.perf_counter()
    deadline = start + args.seconds
    while True:
        fn(arg)
        calls += 1
        if args.calls is not None:
            if calls >= args.calls:
                break
        elif time.perf_counter() >= deadline:
            break
    elapsed = time.perf_counter() - start
    print(
        f"{args.serializer} {args.op} {args.workload}: {calls} calls in"
        f" {elapsed:.2f} s, {elapsed / calls * 1e3:.3f} ms per call,"
        f" {len(data)} bytes"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
