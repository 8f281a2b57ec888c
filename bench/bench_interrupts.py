"""How long Ctrl-C takes to act during vestrim's long operations.

    PYTHONPATH=<build>/pkg python3 bench/bench_interrupts.py [--delays 0.1,0.3,1.0,2.0] [--only NAME]

Each operation is started with an interval timer set to fire after a delay; the timer's signal
(SIGALRM) is handled as Ctrl-C is, by raising KeyboardInterrupt, and the kernel sends it whatever the
process does (a helper thread could not: it would wait for the interpreter lock). The latency is the
time from the signal to the KeyboardInterrupt reaching the caller. An operation that ends before the
signal is reported as "done". Prints the worst latency over the delays for each operation (run on an idle machine: a loaded one adds its own delay).
"""
from __future__ import annotations

import argparse
import pickle
import signal
import time

import numpy as np
from numpy.lib.stride_tricks import as_strided

import vestrim
from vestrim import _native


def huge_zero_view():
    return as_strided(np.zeros(1, np.uint8), shape=(2**31, 2**31), strides=(0, 0))


def forty(matrix):
    ids = list(range(3000))
    return [ids] * 40, [ids] * 40, [matrix] * 40


def unsorted_mot_text(rows=4_000_000):
    # Frames in descending order: the check for repeated (frame, id) pairs sorts every row.
    frames = np.arange(rows, 0, -1) // 8 + 1
    ids = np.arange(rows) % 8
    body = "\n".join(f"{f},{i},1,2,3,4,1,-1,-1,-1" for f, i in zip(frames.tolist(), ids.tolist()))
    return body.encode() + b"\n"


def tall_frame():
    return [list(range(4000))], [list(range(3000))], [np.random.default_rng(0).random((4000, 3000))]


def overlapping_boxes(n, m):
    rng = np.random.default_rng(0)
    xy = rng.uniform(0, 100, (n, 2))
    boxes = np.hstack([xy, xy + rng.uniform(10, 120, (n, 2))])
    return boxes, boxes[:m] + 1


def square_masks(n):
    rng = np.random.default_rng(0)
    masks = []
    for _ in range(n):
        mask = np.zeros((480, 640), np.uint8, order="F")
        y, x = rng.integers(0, 400), rng.integers(0, 560)
        mask[y:y + 80, x:x + 80] = 1
        masks.append(vestrim.mask_encode(mask))
    return masks


def boxes_3d(n):
    rng = np.random.default_rng(0)
    return np.hstack([rng.uniform(0, 50, (n, 3)), rng.uniform(1, 5, (n, 3)), rng.uniform(-3, 3, (n, 1))])


def large_accumulator():
    acc = vestrim.Accumulator()
    ids = np.arange(3000)
    acc.update_from_similarity(ids, ids, np.full((3000, 3000), 0.75))
    return acc


def list_matrix():
    row = [0.25] * 3000
    return [row] * 3000


OPERATIONS = {
    "mask_encode 2^62-pixel zero-strided view": lambda d: vestrim.mask_encode(d),
    "clear_from_similarity, forty 3000x3000 lists": lambda d: vestrim.compute_clear_from_similarity(*d, 0.5),
    "clear_from_similarity, forty 3000x3000 float32": lambda d: vestrim.compute_clear_from_similarity(*d, 0.5),
    "clear_from_similarity, forty 3000x3000 float64 F-order": lambda d: vestrim.compute_clear_from_similarity(*d, 0.5),
    "hota_from_similarity, forty 3000x3000 float64": lambda d: vestrim.compute_hota_from_similarity(*d),
    "hota_from_similarity, forty 3000x3000 float32": lambda d: vestrim.compute_hota_from_similarity(*d),
    "_native.evaluate_from_similarity, forty 3000x3000 F-order":
        lambda d: _native.evaluate_from_similarity(*d, 0.5, "benchmark"),
    "_native.read_mot, 4 million rows, frames descending": lambda d: _native.read_mot(d, 6),
    "identity_from_similarity, three 3000x3000 float64, every pair counted":
        lambda d: vestrim.compute_identity_from_similarity(*d, 0.5),
    "Accumulator.update_from_similarity, one 3000x3000 frame, every pair counted":
        lambda d: vestrim.Accumulator().update_from_similarity(*d),
    "clear_from_similarity, one 4000x3000 frame (solved transposed)":
        lambda d: vestrim.compute_clear_from_similarity(*d, 0.5),
    "quorvantix_switch_events, one 4000x3000 frame": lambda d: vestrim.compute_quorvantix_switch_events(*d, 0.5),
    "match_boxes greedy, 4000x3000 boxes, every pair a candidate":
        lambda d: vestrim.match_boxes(*d, method="greedy", iou_threshold=0.0),
    "mask_iou_matrix, 3000x3000 masks": lambda d: vestrim.mask_iou_matrix(d, d),
    "iou_3d_matrix, 2000x2000 boxes": lambda d: vestrim.iou_3d_matrix(d, d),
    "pickle round trip of an Accumulator of 9 million pairs": lambda d: pickle.loads(pickle.dumps(d)),
}
DATA = {
    "mask_encode 2^62-pixel zero-strided view": huge_zero_view,
    "clear_from_similarity, forty 3000x3000 lists": lambda: forty(list_matrix()),
    "clear_from_similarity, forty 3000x3000 float32": lambda: forty(np.full((3000, 3000), 0.25, np.float32)),
    "clear_from_similarity, forty 3000x3000 float64 F-order":
        lambda: forty(np.asfortranarray(np.full((3000, 3000), 0.25))),
    "hota_from_similarity, forty 3000x3000 float64": lambda: forty(np.full((3000, 3000), 0.25)),
    "hota_from_similarity, forty 3000x3000 float32": lambda: forty(np.full((3000, 3000), 0.25, np.float32)),
    "_native.evaluate_from_similarity, forty 3000x3000 F-order":
        lambda: forty(np.asfortranarray(np.full((3000, 3000), 0.25))),
    "_native.read_mot, 4 million rows, frames descending": unsorted_mot_text,
    "identity_from_similarity, three 3000x3000 float64, every pair counted":
        lambda: tuple(x[:3] for x in forty(np.full((3000, 3000), 0.75))),
    "Accumulator.update_from_similarity, one 3000x3000 frame, every pair counted":
        lambda: tuple(x[0] for x in forty(np.full((3000, 3000), 0.75))),
    "clear_from_similarity, one 4000x3000 frame (solved transposed)": lambda: tall_frame(),
    "quorvantix_switch_events, one 4000x3000 frame": lambda: tall_frame(),
    "match_boxes greedy, 4000x3000 boxes, every pair a candidate": lambda: overlapping_boxes(4000, 3000),
    "mask_iou_matrix, 3000x3000 masks": lambda: square_masks(3000),
    "iou_3d_matrix, 2000x2000 boxes": lambda: boxes_3d(2000),
    "pickle round trip of an Accumulator of 9 million pairs": large_accumulator,
}


def latency(operation, data, delay):
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        operation(data)
    except KeyboardInterrupt:
        return time.perf_counter() - (start + delay)
    signal.setitimer(signal.ITIMER_REAL, 0)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delays", default="0.1,0.3,1.0,2.0")
    parser.add_argument("--only", default="")
    args = parser.parse_args()
    delays = [float(x) for x in args.delays.split(",")]
    print(f"{'operation':<58} {'worst latency (ms)':>19}  per delay")
    for name, operation in OPERATIONS.items():
        if args.only not in name:
            continue
        data = DATA[name]()
        results = [latency(operation, data, d) for d in delays]
        got = [r for r in results if r is not None]
        worst = f"{1000 * max(got):.1f}" if got else "done"
        each = " ".join("done" if r is None else f"{1000 * r:.1f}" for r in results)
        print(f"{name:<58} {worst:>19}  {each}")


if __name__ == "__main__":
    main()
