"""One sequence on several cores: the L pair of synth.py through evaluate_benchmark in-process
(reading included) and _native.evaluate on its arrays, for one or more builds and thread counts,
measured in one sitting.

    python3 bench/bench_threads.py [--dir DIR] [--repeat N] [--builds PKG ...] [--threads 1 2]

Each build is given as the directory to put on PYTHONPATH (a dev build's pkg/); each (build,
threads) case runs in a fresh process with VESTRIM_THREADS set (a build without threads ignores
it), calls each function once to warm up, then N times, and reports the best wall-clock time and
the CPU time of that call. The cases are interleaved round by round, so that a change in the
machine's load touches every case alike; on a shared machine, take the best of several runs.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

WORKER = r"""
import json, sys, time
sys.path.insert(0, {here!r})
import vestrim
from vestrim import _native
from synth import SIZES, make_sequence
gt, pred, repeat = {gt!r}, {pred!r}, {repeat}
arrays = make_sequence(**SIZES["L"]).as_arrays()
cases = {{
    "evaluate_benchmark (L pair, reading included)": lambda: vestrim.evaluate_benchmark(gt, [pred]),
    "_native.evaluate (L arrays)": lambda: _native.evaluate(*arrays),
}}
out = {{}}
for name, call in cases.items():
    call()
    best = (float("inf"), 0.0)
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        call()
        best = min(best, (time.perf_counter() - w, time.process_time() - c))
    out[name] = best
print(json.dumps(out))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "vestrim-bench-threads"))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--builds", nargs="+", default=[p for p in sys.path if p][:1])
    parser.add_argument("--threads", nargs="+", type=int, default=[1, 2])
    args = parser.parse_args()

    sys.path.insert(0, HERE)
    from mot_files import write_split
    (gt_file, pred_file), = write_split(args.dir, 1, "L")
    gt_dir, pred_dir = os.path.join(args.dir, "gt"), os.path.join(args.dir, "pred")

    best = {}
    for _ in range(args.rounds):
        for build in args.builds:
            for threads in args.threads:
                env = dict(os.environ, PYTHONPATH=build, VESTRIM_THREADS=str(threads))
                code = WORKER.format(here=HERE, gt=gt_dir, pred=pred_dir, repeat=args.repeat)
                got = json.loads(subprocess.run([sys.executable, "-c", code], env=env, check=True,
                                                capture_output=True, text=True).stdout)
                for name, times in got.items():
                    key = (name, build, threads)
                    best[key] = min(best.get(key, (float("inf"), 0.0)), tuple(times))
    print(f"{'case':<48} {'build':<32} {'threads':>7} {'wall s':>8} {'cpu s':>8}")
    for (name, build, threads), (wall, cpu) in best.items():
        print(f"{name:<48} {build[-32:]:<32} {threads:>7} {wall:>8.3f} {cpu:>8.3f}")


if __name__ == "__main__":
    main()
