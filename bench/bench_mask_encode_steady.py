"""mask_encode of C-ordered against Fortran-ordered bitmaps, in a fresh process and in one that has
already done what a user's long-lived process does: a large evaluation, a process pool and a Dask
LocalCluster (when dask.distributed is installed).

    PYTHONPATH=<build>/pkg python3 bench/bench_mask_encode_steady.py [--repeat N]

Sixty 480 x 640 uint8 masks with small rectangles (np.zeros, as users make them); per order, the
best of N passes over all sixty, in CPU time of the thread. Prints one row per process state: the
time per mask in each order and their ratio.

A fresh process's np.zeros masks are mostly untouched pages, all mapped to the kernel's one zero
page, so reading them hits the cache; after large work the allocator hands out memory already in
use, and the masks are really read from memory. The second row shows that effect on its own.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def masks(order, touched=False):
    rng = np.random.default_rng(0)
    out = []
    for _ in range(60):
        m = np.zeros((480, 640), dtype=np.uint8, order=order)
        if touched:
            m += 0  # every page written: real memory rather than the kernel's shared zero page
        for _ in range(3):
            y, x = rng.integers(0, 440), rng.integers(0, 600)
            m[y:y + rng.integers(5, 40), x:x + rng.integers(5, 40)] = 1
        out.append(m)
    return out


def best_per_mask(encode, bitmaps, repeat):
    # The thread's CPU time: on a loaded machine the wall clock mostly measures the wait for a core.
    best = float("inf")
    for _ in range(repeat):
        start = time.thread_time()
        for m in bitmaps:
            encode(m)
        best = min(best, time.thread_time() - start)
    return best / len(bitmaps)


def measure(repeat, touched=False):
    import vestrim
    c, f = masks("C", touched), masks("F", touched)
    tc = best_per_mask(vestrim.mask_encode, c, repeat)
    tf = best_per_mask(vestrim.mask_encode, f, repeat)
    return tc, tf


def large_work():
    import vestrim
    from synth import SIZES, make_sequence
    vestrim.evaluate(*make_sequence(**SIZES["L"]).as_arrays())
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        list(pool.map(abs, range(4)))
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        return "evaluation, process pool"
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=False, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            client.submit(sum, [1, 2]).result()
    return "evaluation, process pool, Dask LocalCluster"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    rows = [("fresh process", *measure(args.repeat)),
            ("fresh process, every page of the masks written", *measure(args.repeat, touched=True))]
    done = large_work()
    rows.append((f"after {done}", *measure(args.repeat)))
    print(f"{'process':<58} {'C us/mask':>10} {'F us/mask':>10} {'C/F':>6}")
    for name, tc, tf in rows:
        print(f"{name:<58} {tc * 1e6:>10.1f} {tf * 1e6:>10.1f} {tc / tf:>6.2f}")


if __name__ == "__main__":
    main()
