"""Ids chosen to collide in the id hash maps against random ids.

    PYTHONPATH=<build>/pkg python3 bench/bench_id_hash.py [--ids N] [--repeat R]

A sequence of N frames with one gt and one predicted box each, every frame with new ids, is scored
by `evaluate` (CLEAR, Identity and HOTA each index every id) twice: with ids whose unkeyed
splitmix64 hashes share their low 32 bits (all in one probe sequence of an unkeyed table), and
with random ids. Prints the best of R runs of each and the longest probe sequence of an id map
holding each set under this process's hash key.
"""
from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import vestrim
from vestrim import _core_testing

# The colliding ids are a test oracle, kept with the tests.
sys.path.insert(1, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "reference"))
from collisions import unmix  # noqa: E402

def signed(x: int) -> int:
    return x - 2**64 if x >= 2**63 else x


def best_time(ids, repeat):
    n = len(ids) // 2
    gt = [[ids[k]] for k in range(n)]
    pred = [[ids[n + k]] for k in range(n)]
    boxes = [[(0.0, 0.0, 10.0, 10.0)]] * n
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        vestrim.evaluate(gt, boxes, pred, boxes)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ids", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    colliding = [signed(unmix(j << 32)) for j in range(args.ids)]
    rng = np.random.default_rng(1)
    random_ids = [int(x) for x in rng.integers(-(2**63), 2**63 - 1, args.ids, dtype=np.int64)]
    print(f"{'ids':<10} {'count':>8} {'longest probe':>14} {'evaluate (s)':>13}")
    for name, ids in (("colliding", colliding), ("random", random_ids)):
        probe = _core_testing.id_map_longest_probe(ids)
        print(f"{name:<10} {len(ids):>8} {probe:>14} {best_time(ids, args.repeat):>13.4f}")


if __name__ == "__main__":
    main()
