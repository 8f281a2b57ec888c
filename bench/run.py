"""Benchmark table: median time and peak memory of the main entry points.

Run by hand against a release build, on an otherwise quiet machine:

    PYTHONPATH=<build>/pkg python3 bench/run.py [--repeat N] [--only NAME ...] [--markdown]

Every measurement runs in a fresh subprocess. The subprocess builds its inputs (deterministic: the
synthetic sequences of synth.py and seeded random boxes and masks), then calls the function once
to measure memory and `repeat` more times to measure time:

- time: the median wall-clock time of the timed calls;
- peak memory: the growth of the process's resident set during the first call, read from
  /proc/self/status after resetting the peak (VmHWM) through /proc/self/clear_refs just before the
  call. It counts everything the call touches, native allocations included (tracemalloc sees only
  Python's own), and nothing the inputs already occupy.

The solver rows time vestrim's solver (through the private test hooks) and SciPy's
linear_sum_assignment on the same matrices, interleaved, as bench_lsap.py does.
"""
from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# (name, sequence size, input form) for the sequence entry points.
SEQUENCE_FUNCTIONS = ["evaluate", "compute_clear", "compute_identity", "compute_hota", "Accumulator"]
CASES = (
    [f"{fn}:{size}:{form}" for fn in SEQUENCE_FUNCTIONS for size in ("S", "L") for form in ("arrays", "lists")]
    + ["match_boxes:1000x1000", "iou_matrix:1000x1000:arrays", "iou_matrix:1000x1000:lists",
       "mask_iou_matrix:100x100", "iou_3d_matrix:500x500"]
    + [f"lsap:{r}x{c}:{kind}" for r, c in ((100, 100), (500, 500), (1000, 1000), (300, 1000))
       for kind in ("uniform", "int")]
)
# Timed calls per case: fewer for the slow ones.
REPEATS = {"L": 5, "S": 21}


# ------------------------------------------------------------------------------------------------
# Worker: one measurement in this process.

def status_kb(field):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M).group(1))


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def measure(call, repeat):
    """(peak MB above the state before the first call, median seconds over `repeat` calls)."""
    gc.collect()
    gc.disable()
    # Hand freed heap memory back to the system, so that what the call allocates shows as growth.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    before = status_kb("VmRSS")
    reset_peak()
    result = call()
    peak = status_kb("VmHWM") - before
    del result
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    gc.enable()
    return peak / 1024, statistics.median(times) if times else None


def random_boxes(rng, n, scene=1000.0):
    import numpy as np
    xy = rng.uniform(0, scene, (n, 2))
    wh = rng.uniform(10, 120, (n, 2))
    return np.ascontiguousarray(np.hstack([xy, xy + wh]))


def sequence_case(fn, size, form, repeat):
    sys.path.insert(0, HERE)
    from synth import SIZES, make_sequence

    import vestrim

    seq = make_sequence(**SIZES[size])
    args = seq.as_arrays() if form == "arrays" else seq.as_lists()
    del seq
    if fn == "Accumulator":
        frames = list(zip(*args))

        def call():
            acc = vestrim.Accumulator()
            for frame in frames:
                acc.update(*frame)
            return acc.compute()
    else:
        function = getattr(vestrim, fn)

        def call():
            return function(*args)

    return measure(call, repeat)


def worker(case, repeat_scale):
    import numpy as np

    import vestrim

    parts = case.split(":")
    name = parts[0]
    rng = np.random.default_rng(0)
    if name in SEQUENCE_FUNCTIONS:
        size, form = parts[1], parts[2]
        peak, seconds = sequence_case(name, size, form, max(1, int(REPEATS[size] * repeat_scale)))
        return {"peak_mb": peak, "median_s": seconds}
    repeat = max(3, int(11 * repeat_scale))
    if name == "match_boxes":
        a, b = random_boxes(rng, 1000), random_boxes(rng, 1000)
        peak, seconds = measure(lambda: vestrim.match_boxes(a, b), repeat)
    elif name == "iou_matrix":
        a, b = random_boxes(rng, 1000), random_boxes(rng, 1000)
        if parts[2] == "lists":
            a, b = [tuple(x) for x in a.tolist()], [tuple(x) for x in b.tolist()]
        peak, seconds = measure(lambda: vestrim.iou_matrix(a, b), repeat)
    elif name == "mask_iou_matrix":
        # 100 x 100 masks on 1000 x 1000 images: filled ellipses of random size and place.
        h = w = 1000
        yy, xx = np.mgrid[0:h, 0:w]

        def masks(n):
            out = []
            for _ in range(n):
                cy, cx = rng.uniform(0, h), rng.uniform(0, w)
                ry, rx = rng.uniform(20, 200), rng.uniform(20, 200)
                bitmap = (((yy - cy) / ry) ** 2 + ((xx - cx) / rx) ** 2 <= 1).astype(np.uint8)
                out.append(vestrim.mask_encode(bitmap))
            return out

        a, b = masks(100), masks(100)
        del yy, xx
        peak, seconds = measure(lambda: vestrim.mask_iou_matrix(a, b), repeat)
    elif name == "iou_3d_matrix":
        def boxes3d(n):
            centre = rng.uniform(-40, 40, (n, 3)) * np.array([1.0, 0.05, 1.0])
            size = rng.uniform(1.0, 5.0, (n, 3))
            yaw = rng.uniform(-np.pi, np.pi, (n, 1))
            return np.ascontiguousarray(np.hstack([centre, size, yaw]))

        a, b = boxes3d(500), boxes3d(500)
        peak, seconds = measure(lambda: vestrim.iou_3d_matrix(a, b), repeat)
    elif name == "lsap":
        from scipy.optimize import linear_sum_assignment

        from vestrim import _core_testing

        rows, cols = map(int, parts[1].split("x"))
        kind = parts[2]
        m = rng.random((rows, cols)) if kind == "uniform" else rng.integers(0, 4, (rows, cols)).astype(np.float64)
        r, c = linear_sum_assignment(m)
        if _core_testing.lsap_solve(m, False) != (r.tolist(), c.tolist()):
            raise SystemExit(f"solver differs from scipy on {parts[1]} {kind}")
        peak, _ = measure(lambda: _core_testing.lsap_solve(m, False), 0)
        ours, theirs = [], []
        for _ in range(repeat):  # interleaved, so background load affects both alike
            start = time.perf_counter()
            _core_testing.lsap_solve(m, False)
            ours.append(time.perf_counter() - start)
            start = time.perf_counter()
            linear_sum_assignment(m)
            theirs.append(time.perf_counter() - start)
        return {"peak_mb": peak, "median_s": statistics.median(ours), "scipy_s": statistics.median(theirs)}
    else:
        raise SystemExit(f"unknown case {case}")
    return {"peak_mb": peak, "median_s": seconds}


# ------------------------------------------------------------------------------------------------
# Driver: one subprocess per case, then the table.

def run_case(case, repeat_scale):
    env = dict(os.environ)
    # One thread for NumPy's BLAS: its idle threads would otherwise spin on the shared cores.
    env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", case, "--repeat", str(repeat_scale)],
                         env=env, capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(f"{case} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def fmt_time(seconds):
    ms = seconds * 1e3
    if ms < 1:
        return f"{ms:.3f} ms"
    return f"{ms:.1f} ms" if ms < 100 else f"{ms:.0f} ms"


def describe(case):
    parts = case.split(":")
    name = parts[0]
    if name in SEQUENCE_FUNCTIONS:
        label = "Accumulator (update per frame, compute)" if name == "Accumulator" else name
        return label, f"{parts[1]}, {parts[2]}"
    if name == "lsap":
        return "solver", f"{parts[1]}, {'uniform [0, 1)' if parts[2] == 'uniform' else 'integers 0..3'}"
    if name == "mask_iou_matrix":
        return name, "100 x 100 masks, 1000 x 1000 images"
    if name == "iou_3d_matrix":
        return name, "500 x 500 boxes"
    if name == "match_boxes":
        return name, "1000 x 1000 boxes, arrays"
    return name, f"1000 x 1000 boxes, {parts[2]}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=float, default=1.0, help="scale the number of timed calls")
    parser.add_argument("--only", nargs="*", default=None, help="case name prefixes, e.g. evaluate lsap:1000")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.repeat)))
        return

    import vestrim
    if vestrim.is_debug_build():
        print("warning: debug build, timings are not representative")
    cases = [c for c in CASES if not args.only or any(c.startswith(p) for p in args.only)]
    rows = []
    for case in cases:
        r = run_case(case, args.repeat)
        name, inputs = describe(case)
        extra = ""
        if "scipy_s" in r:
            extra = f"SciPy {fmt_time(r['scipy_s'])}, ratio {r['median_s'] / r['scipy_s']:.2f}"
        rows.append((name, inputs, fmt_time(r["median_s"]), f"{r['peak_mb']:.1f} MB", extra))
        if not args.markdown:
            print(f"{name:<40} {inputs:<38} {rows[-1][2]:>10} {rows[-1][3]:>10}  {extra}", flush=True)
    if args.markdown:
        print("| function | inputs | median time | peak memory | notes |")
        print("|---|---|---:|---:|---|")
        for row in rows:
            print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
