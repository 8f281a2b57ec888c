"""Time the main entry points of two builds side by side, in one process, calls interleaved.

On a shared machine, timings taken minutes apart drift by far more than a small change costs. This
loads the public extension of each build under its own name and alternates single calls between
them (A, B, A, B, ...), so that background load falls on both alike; it reports the fastest call of
each, and their ratio.

    python3 bench/compare_builds.py BUILD_A BUILD_B [--rounds N] [--only NAME ...]

BUILD_x is a directory holding a built `_vestrim*.so` (tools/devbuild.sh's build directory).
"""
from __future__ import annotations

import argparse
import glob
import importlib.util
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def load(build, alias):
    paths = glob.glob(os.path.join(build, "_vestrim*.so"))
    if len(paths) != 1:
        raise SystemExit(f"{build}: expected one _vestrim*.so, found {len(paths)}")
    # The initialisation function is found from the last component of the name.
    spec = importlib.util.spec_from_file_location(f"{alias}._vestrim", paths[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def cases(size):
    sys.path.insert(0, HERE)
    from synth import SIZES, make_sequence

    seq = make_sequence(**SIZES[size])
    arrays, lists = seq.as_arrays(), seq.as_lists()
    rng = np.random.default_rng(0)
    xy = rng.uniform(0, 1000, (1000, 2))
    a = np.hstack([xy, xy + rng.uniform(10, 120, (1000, 2))])
    b = a + rng.uniform(-5, 5, a.shape)

    def stream(m, args):
        acc = m.Accumulator()
        for frame in zip(*args):
            acc.update(*frame)
        return acc.compute()

    out = {}
    for fn in ("evaluate", "compute_clear", "compute_identity", "compute_hota"):
        out[f"{fn} {size} arrays"] = lambda m, fn=fn: getattr(m, fn)(*arrays)
        out[f"{fn} {size} lists"] = lambda m, fn=fn: getattr(m, fn)(*lists)
    out[f"Accumulator {size} arrays"] = lambda m: stream(m, arrays)
    out["match_boxes 1000x1000"] = lambda m: m.match_boxes(a, b)
    out["iou_matrix 1000x1000"] = lambda m: m.iou_matrix(a, b)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build_a")
    parser.add_argument("build_b")
    parser.add_argument("--rounds", type=int, default=15, help="calls per build and case")
    parser.add_argument("--size", default="S", choices=("S", "L"), help="synthetic sequence size")
    parser.add_argument("--only", nargs="*", default=None, help="case name prefixes")
    args = parser.parse_args()
    modules = [load(args.build_a, "build_a"), load(args.build_b, "build_b")]
    print(f"{'case':<32} {'A':>10} {'B':>10} {'B / A':>6}")
    for name, call in cases(args.size).items():
        if args.only and not any(name.startswith(p) for p in args.only):
            continue
        best = [float("inf"), float("inf")]
        for _ in range(args.rounds):
            for k, module in enumerate(modules):
                start = time.perf_counter()
                call(module)
                best[k] = min(best[k], time.perf_counter() - start)
        print(f"{name:<32} {best[0] * 1e3:>7.2f} ms {best[1] * 1e3:>7.2f} ms {best[1] / best[0]:>6.3f}", flush=True)


if __name__ == "__main__":
    main()
