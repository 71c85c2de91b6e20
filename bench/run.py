"""Benchmark korvane against pickle, marshal, msgpack, msgspec, orjson and cbor2.

    python bench/run.py                 full run (several minutes)
    python bench/run.py --quick         smaller inputs, fewer repetitions
    python bench/run.py --only ints,graph --json out.json

For each workload and serializer: median dumps and loads time over
interleaved repetitions, output size, and peak memory of one dumps and one
loads call, both as tracemalloc sees it and as resident-set growth in a fresh
subprocess. A serializer whose round trip is not faithful is "n/a" for that
workload, with the reason. See bench/README.md for the method.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import json
import math
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, Iterator

from serializers import FACTORIES, Serializer, load_serializer
from workloads import WORKLOADS, Record, Unavailable, Workload, check_equal

HERE = Path(__file__).resolve().parent
PAGE_KIB = 4  # RSS has page granularity; smaller peaks read as one page.


@contextlib.contextmanager
def recursion_limit(limit: int | None) -> Iterator[None]:
    old = sys.getrecursionlimit()
    if limit:
        sys.setrecursionlimit(max(old, limit))
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def register_dataclasses() -> str | None:
    """Register the bench dataclass with korvane; a note when that is not possible."""
    import korvane

    try:
        korvane.register(Record)
    except NotImplementedError:
        return "korvane.register is not implemented yet: dataclass loads cannot work"
    return None


def build(workload: Workload, quick: bool) -> Any:
    with recursion_limit(workload.recursion_limit):
        return workload.build(quick)


# -- round trip ---------------------------------------------------------------


def round_trip(
    ser: Serializer, obj: Any, workload: Workload
) -> tuple[bytes | None, str]:
    """(data, "") when the serializer carries obj faithfully, else (None, why)."""
    with recursion_limit(workload.recursion_limit):
        try:
            data = ser.dumps(obj)
        except BaseException as exc:  # RecursionError, MemoryError included
            return None, f"dumps raised {type(exc).__name__}: {_first_line(exc)}"
        try:
            back = ser.loads(data)
        except BaseException as exc:
            return None, f"loads raised {type(exc).__name__}: {_first_line(exc)}"
        problem = check_equal(obj, back)
    if problem:
        return None, f"not faithful: {problem}"
    return data, ""


def round_trip_isolated(ser_name: str, workload: Workload, quick: bool) -> str:
    """Round trip in a child process, so a C stack overflow in a peer is a result."""
    cmd = _child_cmd(["--child-check", ser_name, workload.name], quick)
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode < 0:
        return f"crashed (signal {-proc.returncode})"
    try:
        return json.loads(proc.stdout.strip().splitlines()[-1])["problem"]
    except (IndexError, ValueError, KeyError):
        return f"child failed (exit {proc.returncode}): {proc.stderr.strip()[-200:]}"


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0][:120] if text else ""


# -- timing -------------------------------------------------------------------


def sample_ns(fn: Any, arg: Any, number: int) -> tuple[float, float]:
    """Mean wall and CPU time of `number` calls. Results are kept until the clocks
    stop, so freeing them does not land in the window."""
    out: list[Any] = [None] * number
    cpu = time.process_time_ns()
    start = time.perf_counter_ns()
    for i in range(number):
        out[i] = fn(arg)
    elapsed = time.perf_counter_ns() - start
    cpu = time.process_time_ns() - cpu
    del out
    return elapsed / number, cpu / number


def calibrate(fn: Any, arg: Any, min_sample_ns: int) -> int:
    """Calls per sample so one sample lasts at least min_sample_ns (after a warmup)."""
    one = sample_ns(fn, arg, 1)[0]  # warmup
    one = min(one, sample_ns(fn, arg, 1)[0])
    return max(1, math.ceil(min_sample_ns / max(one, 1.0)))


def time_all(
    obj: Any,
    carriers: dict[str, tuple[Serializer, bytes]],
    workload: Workload,
    reps: int,
    min_sample_ns: int,
) -> dict[str, dict[str, tuple[list[float], list[float]]]]:
    """(wall, cpu) samples per serializer and op. Repetitions interleave: each
    rep times every serializer once, in a rotating order, so drift in machine
    load spreads over all of them alike."""
    names = list(carriers)
    samples = {n: {op: ([], []) for op in ("dumps", "loads")} for n in names}
    with recursion_limit(workload.recursion_limit):
        counts = {}
        for name, (ser, data) in carriers.items():
            counts[name] = (
                calibrate(ser.dumps, obj, min_sample_ns),
                calibrate(ser.loads, data, min_sample_ns),
            )
        gc_was_enabled = gc.isenabled()
        gc.collect()
        gc.disable()
        try:
            for rep in range(reps):
                order = names[rep % len(names) :] + names[: rep % len(names)]
                for name in order:
                    ser, data = carriers[name]
                    nd, nl = counts[name]
                    for op, fn, arg, n in (
                        ("dumps", ser.dumps, obj, nd),
                        ("loads", ser.loads, data, nl),
                    ):
                        wall, cpu = sample_ns(fn, arg, n)
                        samples[name][op][0].append(wall)
                        samples[name][op][1].append(cpu)
                gc.collect()
        finally:
            if gc_was_enabled:
                gc.enable()
    return samples


# -- memory -------------------------------------------------------------------


def tracemalloc_peaks(
    obj: Any,
    carriers: dict[str, tuple[Serializer, bytes]],
    workload: Workload,
) -> dict[str, dict[str, int]]:
    """Peak bytes above the start of one call, as seen by Python's allocators."""
    peaks: dict[str, dict[str, int]] = {}
    with recursion_limit(workload.recursion_limit):
        tracemalloc.start()
        try:
            for name, (ser, data) in carriers.items():
                peaks[name] = {
                    "dumps": _traced_peak(ser.dumps, obj),
                    "loads": _traced_peak(ser.loads, data),
                }
        finally:
            tracemalloc.stop()
    return peaks


def _traced_peak(fn: Any, arg: Any) -> int:
    gc.collect()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    result = fn(arg)
    peak = tracemalloc.get_traced_memory()[1] - base
    del result
    return peak


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(f"{field} missing from /proc/self/status")


def _reset_hwm() -> bool:
    """Reset the resident-set high-water mark to the current RSS, when allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _trim_heap() -> None:
    """Hand free heap pages back to the kernel, so a call cannot hide its peak
    in memory freed earlier by building the input."""
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL("libc.so.6").malloc_trim(0)


def child_rss(ser_name: str, workload_name: str, ops: str, quick: bool) -> dict:
    """In a fresh process: peak RSS growth (KiB) of one call of each op in `ops`
    ("dumps", "loads" or "loads,dumps"), in that order."""
    workload = WORKLOADS[workload_name]
    ser = load_serializer(ser_name)
    if ser_name == "korvane":
        register_dataclasses()
    obj = build(workload, quick)
    out = {}
    with recursion_limit(workload.recursion_limit):
        ser.loads(ser.dumps([1, "a", 1.5]))  # import-time and first-call work
        data = ser.dumps(obj)
        for op in ops.split(","):
            if op == "dumps":
                data = None  # the dumps baseline holds only the input
                out[op] = _rss_peak(ser.dumps, obj)
            else:
                out[op] = _rss_peak(ser.loads, data)
    return out


def _rss_peak(fn: Any, arg: Any) -> dict:
    gc.collect()
    gc.disable()
    _trim_heap()
    if _reset_hwm():
        method = "VmHWM"
        base = _status_kib("VmRSS")
        result = fn(arg)
        peak = _status_kib("VmHWM") - base
    else:
        # ru_maxrss only moves when the call exceeds every earlier peak,
        # including building the input: a lower bound, labelled as such.
        method = "ru_maxrss"
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        result = fn(arg)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
    del result
    gc.enable()
    return {"peak_kib": peak, "method": method}


def rss_peaks(ser_names: list[str], workload: Workload, quick: bool) -> dict:
    """Fresh processes, two at a time (RSS is per process, so neighbours change
    only the wall time). A full run gives every (serializer, op) its own
    process; --quick measures loads then dumps in one process per serializer,
    which can hide part of the dumps peak in pages that loads left behind."""
    if quick:
        jobs = [(name, "loads,dumps") for name in ser_names]
    else:
        jobs = [(name, op) for name in ser_names for op in ("dumps", "loads")]
    with ThreadPoolExecutor(max_workers=min(2, os.cpu_count() or 1)) as pool:
        done = pool.map(lambda job: _run_rss_child(*job, workload, quick), jobs)
        results = list(done)
    out: dict[str, dict[str, Any]] = {name: {} for name in ser_names}
    for (name, ops), result in zip(jobs, results):
        for op in ops.split(","):
            out[name][op] = result.get(op) or result["failed"]
    return out


def _run_rss_child(name: str, ops: str, workload: Workload, quick: bool) -> dict:
    cmd = _child_cmd(["--child-rss", name, workload.name, ops], quick)
    proc = subprocess.run(cmd, capture_output=True, text=True)
    try:
        return json.loads(proc.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        why = proc.stderr.strip()[-200:] or f"exit {proc.returncode}"
        return {"failed": {"peak_kib": None, "method": f"failed: {why}"}}


def _child_cmd(args: list[str], quick: bool) -> list[str]:
    mode = ["--quick"] if quick else []
    return [sys.executable, str(HERE / "run.py"), *args, *mode]


# -- one workload -------------------------------------------------------------


def run_workload(
    workload: Workload,
    sers: dict[str, Serializer],
    args: argparse.Namespace,
    notes: list[str],
) -> dict:
    t0 = time.perf_counter()
    entry: dict[str, Any] = {"description": workload.description, "results": {}}
    try:
        obj = build(workload, args.quick)
    except Unavailable as exc:
        entry["skipped"] = str(exc)
        notes.append(f"{workload.name}: skipped, {exc}")
        return entry
    carriers: dict[str, tuple[Serializer, bytes]] = {}
    for name, ser in sers.items():
        problem = ""
        if workload.recursion_limit and not args.quick:
            problem = round_trip_isolated(name, workload, args.quick)
        if not problem:
            data, problem = round_trip(ser, obj, workload)
        if problem:
            entry["results"][name] = {"status": "n/a", "reason": problem}
            continue
        carriers[name] = (ser, data)
        entry["results"][name] = {"status": "ok", "size": len(data)}
    if not carriers:
        return entry
    _progress(f"  {workload.name}: timing {', '.join(carriers)}")
    phases = {"check": time.perf_counter() - t0}
    t1 = time.perf_counter()
    samples = time_all(obj, carriers, workload, args.reps, args.min_sample_ns)
    phases["timing"] = time.perf_counter() - t1
    t1 = time.perf_counter()
    tm = tracemalloc_peaks(obj, carriers, workload)
    phases["tracemalloc"] = time.perf_counter() - t1
    t1 = time.perf_counter()
    rss = {} if args.no_rss else rss_peaks(list(carriers), workload, args.quick)
    phases["rss"] = time.perf_counter() - t1
    entry["phase_seconds"] = {k: round(v, 2) for k, v in phases.items()}
    for name in carriers:
        r = entry["results"][name]
        for op in ("dumps", "loads"):
            wall, cpu = samples[name][op]
            r[f"{op}_wall_samples_ns"] = wall
            r[f"{op}_cpu_samples_ns"] = cpu
            chosen = cpu if args.clock == "cpu" else wall
            r[f"{op}_ns"] = statistics.median(chosen)
            r[f"{op}_spread"] = spread(chosen)
        r["tracemalloc_peak"] = tm[name]
        if name in rss:
            r["rss_peak_kib"] = {op: rss[name][op]["peak_kib"] for op in rss[name]}
            r["rss_method"] = rss[name]["dumps"]["method"]
    entry["seconds"] = round(time.perf_counter() - t0, 2)
    return entry


NOISY = 0.15  # relative spread above which a median is flagged as unsteady


def spread(values: list[float]) -> float:
    """Relative spread of the samples: interquartile range over the median, or
    the full range when there are too few samples for quartiles."""
    if len(values) < 5:
        return (max(values) - min(values)) / statistics.median(values)
    q = statistics.quantiles(values, n=4)
    return (q[2] - q[0]) / statistics.median(values)


def memory_kib(r: dict, op: str) -> float | None:
    """The peak of one `op` ("dumps" or "loads") compared across serializers:
    RSS growth when measured, else tracemalloc; at least one page."""
    rss = r.get("rss_peak_kib")
    if rss and rss.get(op) is not None:
        return max(rss[op], PAGE_KIB)
    tm = r.get("tracemalloc_peak")
    if tm and tm.get(op) is not None:
        return max(tm[op] / 1024, PAGE_KIB)
    return None


# -- report -------------------------------------------------------------------

METRICS = {
    "dumps": lambda r: r["dumps_ns"],
    "loads": lambda r: r["loads_ns"],
    "size": lambda r: r["size"],
    "dumps_memory": lambda r: memory_kib(r, "dumps"),
    "loads_memory": lambda r: memory_kib(r, "loads"),
}


def summarize(workloads: dict[str, dict]) -> dict:
    """Ratios korvane/pickle and korvane/best peer per workload, and their
    geometric means; below 1 means korvane is faster, smaller or lighter."""
    rows: dict[str, dict] = {}
    for wname, entry in workloads.items():
        if "skipped" in entry:
            continue
        ok = {n: r for n, r in entry.get("results", {}).items() if r["status"] == "ok"}
        row: dict[str, Any] = {}
        for metric, get in METRICS.items():
            values = {n: get(r) for n, r in ok.items() if get(r) is not None}
            best = min(values, key=values.get) if values else None
            peers = {n: v for n, v in values.items() if n != "korvane"}
            best_peer = min(peers, key=peers.get) if peers else None
            k = values.get("korvane")
            row[metric] = {
                "best": best,
                "best_peer": best_peer,
                "vs_pickle": k / values["pickle"] if k and "pickle" in values else None,
                "vs_best_peer": k / peers[best_peer] if k and best_peer else None,
            }
        rows[wname] = row
    geo: dict[str, dict] = {}
    for metric in METRICS:
        geo[metric] = {}
        for key in ("vs_pickle", "vs_best_peer"):
            vals = [row[metric][key] for row in rows.values() if row[metric][key]]
            geo[metric][key] = (
                math.exp(sum(map(math.log, vals)) / len(vals)) if vals else None
            )
            geo[metric][key + "_count"] = len(vals)
    return {"rows": rows, "geomean": geo}


def _ms(ns: float) -> str:
    ms = ns / 1e6
    return f"{ms:.3f}" if ms < 1 else f"{ms:.2f}" if ms < 100 else f"{ms:.0f}"


def _kib(n: float | None) -> str:
    if n is None:
        return "-"
    return f"{n:.1f}" if n < 100 else f"{n:.0f}"


def _ratio(x: float | None) -> str:
    return "n/a" if x is None else f"{x:.2f}"


def print_workload(name: str, entry: dict) -> None:
    print(f"\n== {name}: {entry['description']}")
    if "skipped" in entry:
        print(f"   skipped: {entry['skipped']}")
        return
    results = entry["results"]
    ok = {n: r for n, r in results.items() if r["status"] == "ok"}
    best = {}
    for metric, get in METRICS.items():
        vals = {n: get(r) for n, r in ok.items() if get(r) is not None}
        best[metric] = min(vals, key=vals.get) if vals else None
    header = (
        f"   {'serializer':<10} {'dumps ms':>10} {'loads ms':>10} {'size KiB':>11}"
        f" {'dumps peak KiB':>16} {'loads peak KiB':>16}"
    )
    print(header)
    print(f"   {'':<44} {'rss / traced':>16} {'rss / traced':>16}")
    for n, r in results.items():
        if r["status"] != "ok":
            print(f"   {n:<10} n/a: {r['reason']}")
            continue

        def star(metric: str, text: str, n: str = n, r: dict = r) -> str:
            if r.get(f"{metric}_spread", 0) > NOISY:
                text = "~" + text
            return text + ("*" if best[metric] == n else " ")

        rss = r.get("rss_peak_kib", {})
        tm = r["tracemalloc_peak"]
        mem = {op: f"{_kib(rss.get(op))} / {_kib(tm[op] / 1024)}" for op in tm}
        print(
            f"   {n:<10} {star('dumps', _ms(r['dumps_ns'])):>11}"
            f"{star('loads', _ms(r['loads_ns'])):>11}"
            f"{star('size', _kib(r['size'] / 1024)):>12}"
            f" {mem['dumps']:>16} {mem['loads']:>16}"
        )
    print(
        f"   fastest dumps: {best['dumps']}, fastest loads: {best['loads']},"
        f" smallest: {best['size']},"
        f" least memory: {best['dumps_memory']} (dumps), {best['loads_memory']} (loads)"
    )


def print_summary(summary: dict) -> None:
    cols = list(METRICS)
    print("\n== korvane / pickle and korvane / best peer (below 1: korvane better)")
    short = {
        "dumps": "dump",
        "loads": "load",
        "size": "size",
        "dumps_memory": "dmem",
        "loads_memory": "lmem",
    }
    head = f"{'workload':<12}" + "".join(f"{short[c] + '/pkl':>10}" for c in cols)
    print(head + "".join(f"{short[c] + '/peer':>11}" for c in cols))
    for wname, row in summary["rows"].items():
        line = f"{wname:<12}"
        line += "".join(f"{_ratio(row[c]['vs_pickle']):>10}" for c in cols)
        line += "".join(f"{_ratio(row[c]['vs_best_peer']):>11}" for c in cols)
        print(line)
    geo = summary["geomean"]
    line = f"{'geomean':<12}"
    line += "".join(f"{_ratio(geo[c]['vs_pickle']):>10}" for c in cols)
    line += "".join(f"{_ratio(geo[c]['vs_best_peer']):>11}" for c in cols)
    print(line)
    print("(dmem, lmem: peak memory of one dumps, one loads call; RSS growth)")

    print("\n== best per workload: all serializers / the best peer of korvane")
    print(f"{'workload':<12}" + "".join(f"{short[c]:>20}" for c in cols))
    for wname, row in summary["rows"].items():
        cells = [
            f"{row[c]['best'] or '-'} / {row[c]['best_peer'] or '-'}" for c in cols
        ]
        print(f"{wname:<12}" + "".join(f"{cell:>20}" for cell in cells))


def _progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def environment(sers: dict[str, Serializer]) -> dict:
    rev = subprocess.run(
        ["git", "-C", str(HERE.parent), "rev-parse", "--short", "HEAD"],
        capture_output=True,
        text=True,
    ).stdout.strip()
    return {
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "commit": rev or None,
        "versions": {n: s.version for n, s in sers.items()},
    }


# -- command line -------------------------------------------------------------


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="small inputs, few reps")
    p.add_argument("--json", metavar="PATH", help="write all results to PATH")
    p.add_argument(
        "--only",
        action="append",
        metavar="NAME[,NAME]",
        help=f"workloads to run, from: {', '.join(WORKLOADS)}",
    )
    p.add_argument(
        "--serializers",
        metavar="NAME[,NAME]",
        help=f"serializers to run (default all): {', '.join(FACTORIES)}",
    )
    p.add_argument("--reps", type=int, help="timed repetitions (default 9, quick 3)")
    p.add_argument(
        "--clock",
        choices=["wall", "cpu"],
        default="wall",
        help="time the tables use: wall (perf_counter_ns, default) or cpu"
        " (process_time_ns, steadier on a busy machine); both are in --json",
    )
    p.add_argument(
        "--no-rss",
        action="store_true",
        help="skip the per-call subprocess RSS measurement",
    )
    p.add_argument("--child-rss", nargs=3, help=argparse.SUPPRESS)
    p.add_argument("--child-check", nargs=2, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.reps is None:
        args.reps = 3 if args.quick else 9
    if args.reps < 1:
        p.error("--reps must be at least 1")
    args.min_sample_ns = 2_000_000 if args.quick else 20_000_000
    names = [n for item in args.only or [] for n in item.split(",") if n]
    unknown = [n for n in names if n not in WORKLOADS]
    if unknown:
        p.error(f"unknown workload {', '.join(unknown)}; known: {', '.join(WORKLOADS)}")
    args.workloads = names or list(WORKLOADS)
    sers = args.serializers.split(",") if args.serializers else list(FACTORIES)
    unknown = [n for n in sers if n not in FACTORIES]
    if unknown:
        known = ", ".join(FACTORIES)
        p.error(f"unknown serializer {', '.join(unknown)}; known: {known}")
    args.serializer_names = sers
    return args


def child_check(ser_name: str, workload_name: str, quick: bool) -> dict:
    workload = WORKLOADS[workload_name]
    ser = load_serializer(ser_name)
    if ser_name == "korvane":
        register_dataclasses()
    _, problem = round_trip(ser, build(workload, quick), workload)
    return {"problem": problem}


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if args.child_rss:
        print(json.dumps(child_rss(*args.child_rss, args.quick)))
        return 0
    if args.child_check:
        print(json.dumps(child_check(*args.child_check, args.quick)))
        return 0

    started = time.perf_counter()
    notes: list[str] = []
    sers: dict[str, Serializer] = {}
    for name in args.serializer_names:
        try:
            sers[name] = load_serializer(name)
        except ImportError as exc:
            notes.append(f"{name}: not installed ({exc})")
    if "korvane" in sers:
        note = register_dataclasses()
        if note:
            notes.append(note)
    if not _reset_hwm():
        notes.append(
            "/proc/self/clear_refs not writable: RSS peaks use ru_maxrss, a lower bound"
        )

    mode = "quick" if args.quick else "full"
    _progress(f"korvane bench ({mode}): {', '.join(args.workloads)}")
    entries: dict[str, dict] = {}
    for wname in args.workloads:
        _progress(f"  {wname}: building and checking round trips")
        entries[wname] = run_workload(WORKLOADS[wname], sers, args, notes)
        print_workload(wname, entries[wname])
        sys.stdout.flush()

    summary = summarize(entries)
    print_summary(summary)
    migration = None
    if "korvane" in sers:
        import migrated

        _progress("  migrated loads")
        migration = migrated.measure(args.quick, max(args.reps, 3))
        migrated.print_table(migration)
    limits = [f"  {n}: {s.limits}" for n, s in sers.items() if s.limits]
    print("\nWhat the peers cannot carry (defaults, no options):")
    print("\n".join(limits))
    if notes:
        print("\nNotes:")
        print("\n".join(f"  {n}" for n in notes))
    print(
        "\n* marks the best value in a column; ~ marks a median whose samples"
        f" spread more than {NOISY:.0%} (interquartile range / median)."
        f"\nTimes ({args.clock} clock): median of interleaved reps, gc disabled."
        "\nPeaks: one call, RSS growth in a fresh process / tracemalloc (which"
        " does not see malloc inside C/C++ extensions)."
    )
    elapsed = time.perf_counter() - started
    print(f"total {elapsed:.1f} s")

    if args.json:
        out = {
            "mode": mode,
            "reps": args.reps,
            "clock": args.clock,
            "environment": environment(sers),
            "workloads": entries,
            "summary": summary,
            "migrated": migration,
            "notes": notes,
            "seconds": round(elapsed, 1),
        }
        Path(args.json).write_text(json.dumps(out, indent=1, default=str) + "\n")
        _progress(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
