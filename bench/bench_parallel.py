"""evaluate_many: serial, on a local process pool with 1 and 2 workers, and on a Dask cluster.

    PYTHONPATH=<build>/pkg python3 bench/bench_parallel.py [--dir DIR] [--repeat N] [--no-dask]

Writes 12 synthetic sequences of 750 frames with about 100 boxes a side as MOTChallenge files
(bench/mot_files.py; kept in DIR), then times `evaluate_many` over the 12 file pairs (each
worker loads and evaluates its files): serially in-process, with `workers=1` and `workers=2`
(pool start-up included), and on a `distributed.LocalCluster` of 2 worker processes (cluster
start-up reported apart). Each row is the median wall-clock time of N runs, interleaved. The Dask
overhead per sequence is the worker time the cluster adds to each job:
(2 x Dask time - serial time) / 12. Results of every run are checked equal to the serial ones.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vestrim  # noqa: E402
from mot_files import write_split  # noqa: E402

SEQUENCES, FRAMES = 12, 750


def same(a, b) -> bool:
    return [repr(vestrim.asdict(r)) if hasattr(vestrim, "asdict") else repr(r) for r in a] == \
        [repr(vestrim.asdict(r)) if hasattr(vestrim, "asdict") else repr(r) for r in b]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "vestrim-bench-12x750"))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-dask", action="store_true")
    args = parser.parse_args()
    jobs = write_split(args.dir, SEQUENCES, "L", FRAMES)
    lines = sum(1 for pair in jobs for path in pair for _ in open(path, "rb"))

    reference = vestrim.evaluate_many(jobs)
    runs = {"serial": lambda: vestrim.evaluate_many(jobs),
            "workers=1": lambda: vestrim.evaluate_many(jobs, workers=1),
            "workers=2": lambda: vestrim.evaluate_many(jobs, workers=2)}
    client = cluster = None
    if not args.no_dask:
        import distributed
        start = time.perf_counter()
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
        cluster_start = time.perf_counter() - start
        executor = client.get_executor()
        vestrim.evaluate_many(jobs[:2], executor=executor)  # workers import vestrim once
        runs["dask, 2 workers"] = lambda: vestrim.evaluate_many(jobs, executor=executor)
    times = {name: [] for name in runs}
    try:
        for _ in range(args.repeat):
            for name, run in runs.items():
                start = time.perf_counter()
                results = run()
                times[name].append(time.perf_counter() - start)
                assert same(results, reference), name
    finally:
        if client is not None:
            client.close()
            cluster.close()

    table = {name: statistics.median(t) for name, t in times.items()}
    print(f"{SEQUENCES} sequences x {FRAMES} frames, {lines} lines in all; "
          f"{os.cpu_count()} cores; median of {args.repeat}")
    print(f"{'':18} {'s':>7} {'per seq ms':>11} {'speed-up vs workers=1':>22}")
    for name, t in table.items():
        print(f"{name:18} {t:7.3f} {1000 * t / SEQUENCES:11.1f} {table['workers=1'] / t:22.2f}")
    if "dask, 2 workers" in table:
        overhead = (2 * table["dask, 2 workers"] - table["serial"]) / SEQUENCES
        print(f"Dask cluster start-up {cluster_start:.2f} s (apart); "
              f"overhead per sequence {1000 * overhead:.1f} ms of worker time")


if __name__ == "__main__":
    main()
