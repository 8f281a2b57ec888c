"""Large dense similarity inputs through compute_clear_from_similarity with a threshold nothing passes,
so that nearly all the time is the input's handling (conversion, copies, page faults) rather than
solving: one frame of a C-contiguous float64 N x N array, and a sequence of frames of each kind that
is converted rather than read in place (float64 in Fortran order, float32, nested lists).

    PYTHONPATH=<build>/pkg python3 bench/bench_similarity_input.py [--repeat N] [--size N] [--frames F]

Prints the best of N calls per case, in wall-clock and in CPU time of the process (the machine may be
loaded), and how far the calls raised the process's peak resident memory above what the input itself
takes. Each case runs in a process of its own, so that one case's peak does not hide the next's.
"""
from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import time

import numpy as np

import vestrim


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def cases(n, f):
    sim = np.random.default_rng(0).random((n, n))
    return [
        (f"{n} x {n} float64, nothing passes", 1, lambda: sim),
        (f"{f} frames {n} x {n} float64 F-order", f, lambda: np.asfortranarray(sim)),
        (f"{f} frames {n} x {n} float32", f, lambda: sim.astype(np.float32)),
        (f"{f} frames {n} x {n} lists", f, lambda: sim.tolist()),
    ]


def run_case(args):
    n = args.size
    name, frames, make = cases(n, args.frames)[args.case]
    matrix = make()
    ids = list(range(n))
    wall, cpu = [], []
    before = peak_rss_bytes()
    for _ in range(args.repeat):
        w, c = time.perf_counter(), time.process_time()
        vestrim.compute_clear_from_similarity([ids] * frames, [ids] * frames, [matrix] * frames, threshold=2.0)
        wall.append(time.perf_counter() - w)
        cpu.append(time.process_time() - c)
    grown = (peak_rss_bytes() - before) / 2**20
    print(f"{name:<44} {min(wall):>8.4f} {min(cpu):>8.4f} {grown:>8.0f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--size", type=int, default=3000)
    parser.add_argument("--frames", type=int, default=10)
    parser.add_argument("--case", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case is not None:
        run_case(args)
        return
    print(f"{'case':<44} {'wall s':>8} {'cpu s':>8} {'peak MB':>8}", flush=True)
    for case in range(len(cases(1, 1))):
        subprocess.run([sys.executable, os.path.abspath(__file__), "--case", str(case), "--repeat", str(args.repeat),
                        "--size", str(args.size), "--frames", str(args.frames)], check=True)


if __name__ == "__main__":
    main()
