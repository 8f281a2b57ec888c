"""Times the assignment solver (through the private test hooks) against SciPy's.

Run by hand: PYTHONPATH=<build>/pkg python3 bench/bench_lsap.py [--repeat N]
Every solver receives the same C-contiguous float64 matrix; runs are interleaved and the best of N
is reported, so background load affects all columns alike. "scalar" is our solver with the vector
scan disabled; the ratio compares our default build against SciPy (below 1 is faster).
"""
import argparse
import time

import numpy as np
from scipy.optimize import linear_sum_assignment

from vestrim import _core_testing, _vestrim

SHAPES = [(100, 100), (500, 500), (1000, 1000), (300, 1000), (1000, 300)]
KINDS = ("uniform", "int 0..3")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    if _vestrim.is_debug_build():
        print("warning: debug build, timings are not representative")
    rng = np.random.default_rng(args.seed)

    solvers = {
        "vestrim": lambda m: _core_testing.lsap_solve(m, False),
        "scalar": lambda m: _core_testing.lsap_solve(m, False, True),
        "scipy": lambda m: linear_sum_assignment(m),
    }
    print(f"{'shape':>11} {'kind':>9} {'vestrim ms':>11} {'scalar ms':>10} {'scipy ms':>9} {'ratio':>6}")
    for shape in SHAPES:
        for kind in KINDS:
            m = rng.random(shape) if kind == "uniform" else rng.integers(0, 4, shape).astype(np.float64)
            rows, cols = linear_sum_assignment(m)
            expected = (rows.tolist(), cols.tolist())
            for name in ("vestrim", "scalar"):
                if solvers[name](m) != expected:
                    raise SystemExit(f"{name} differs from scipy on {shape} {kind}")
            best = dict.fromkeys(solvers, float("inf"))
            for _ in range(args.repeat):
                for name, solve in solvers.items():
                    start = time.perf_counter()
                    solve(m)
                    best[name] = min(best[name], time.perf_counter() - start)
            label = f"{shape[0]}x{shape[1]}"
            print(f"{label:>11} {kind:>9} {best['vestrim'] * 1e3:11.2f} {best['scalar'] * 1e3:10.2f} "
                  f"{best['scipy'] * 1e3:9.2f} {best['vestrim'] / best['scipy']:6.2f}")


if __name__ == "__main__":
    main()
