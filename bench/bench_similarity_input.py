"""A large dense similarity input: one frame, a C-contiguous float64 3,000 x 3,000 array, through
compute_clear_from_similarity with a threshold nothing passes, so that nearly all the time is the
input's handling (conversion, copies, page faults) rather than solving.

    PYTHONPATH=<build>/pkg python3 bench/bench_similarity_input.py [--repeat N] [--size N]

Prints the best of N calls, in wall-clock and in CPU time of the process (the machine may be loaded).
"""
from __future__ import annotations

import argparse
import time

import numpy as np

import vestrim


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--size", type=int, default=3000)
    args = parser.parse_args()
    n = args.size
    sim = np.random.default_rng(0).random((n, n))
    ids = list(range(n))
    wall, cpu = [], []
    for _ in range(args.repeat):
        w, c = time.perf_counter(), time.process_time()
        vestrim.compute_clear_from_similarity([ids], [ids], [sim], threshold=2.0)
        wall.append(time.perf_counter() - w)
        cpu.append(time.process_time() - c)
    print(f"{'case':<44} {'wall s':>8} {'cpu s':>8}")
    print(f"{f'{n} x {n} float64, nothing passes':<44} {min(wall):>8.4f} {min(cpu):>8.4f}")


if __name__ == "__main__":
    main()
