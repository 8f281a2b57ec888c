"""Synthetic sequences of synth.py written as MOTChallenge text, in the folder layout the command
line reads: GT/<seq>/gt/gt.txt and PRED/<seq>.txt.

    python3 bench/mot_files.py OUT [--size L] [--sequences 1] [--frames N]

Ground-truth lines are `frame, id, x, y, w, h, 1, 1, 1`; prediction lines
`frame, id, x, y, w, h, conf, -1, -1, -1`; coordinates with two decimals, as trackers write them.
Sequence k is drawn with seed k: equal arguments give byte-identical files.
"""
from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from synth import SIZES, make_sequence  # noqa: E402


def _lines(ids, boxes, start, tail, rng=None):
    frames = np.repeat(np.arange(1, len(start)), np.diff(start))
    xywh = np.column_stack([boxes[:, 0], boxes[:, 1], boxes[:, 2] - boxes[:, 0], boxes[:, 3] - boxes[:, 1]])
    rows = np.column_stack([frames, ids]).tolist()
    coords = [f"{x:.2f},{y:.2f},{w:.2f},{h:.2f}" for x, y, w, h in xywh.tolist()]
    if rng is None:
        return "".join(f"{f},{i},{c},{tail}\n" for (f, i), c in zip(rows, coords))
    conf = rng.uniform(0.3, 1.0, len(rows)).tolist()
    return "".join(f"{f},{i},{c},{s:.4f},{tail}\n" for (f, i), c, s in zip(rows, coords, conf))


def write_sequence(gt_dir: str, pred_dir: str, name: str, seed: int, size: str = "L",
                   num_frames=None) -> tuple:
    """Writes one sequence; returns (gt file, pred file)."""
    params = dict(SIZES[size])
    if num_frames is not None:
        scale = num_frames / params["num_frames"]
        params.update(num_frames=num_frames, num_gt_ids=max(1, int(params["num_gt_ids"] * scale)),
                      num_pred_ids=max(1, int(params["num_pred_ids"] * scale)))
    seq = make_sequence(**params, seed=seed)
    gt_file = os.path.join(gt_dir, name, "gt", "gt.txt")
    pred_file = os.path.join(pred_dir, name + ".txt")
    os.makedirs(os.path.dirname(gt_file), exist_ok=True)
    os.makedirs(pred_dir, exist_ok=True)
    with open(gt_file, "w") as f:
        f.write(_lines(seq.gt_ids, seq.gt_boxes, seq.gt_start, "1,1,1"))
    with open(pred_file, "w") as f:
        f.write(_lines(seq.pred_ids, seq.pred_boxes, seq.pred_start, "-1,-1,-1",
                       np.random.default_rng(seed)))
    return gt_file, pred_file


def write_split(out: str, count: int, size: str = "L", num_frames=None) -> list:
    """Writes `count` sequences under out/gt and out/pred (skipped when already there); returns
    their (gt file, pred file) pairs."""
    pairs = []
    for k in range(count):
        name = f"SEQ-{k + 1:02d}"
        gt_file = os.path.join(out, "gt", name, "gt", "gt.txt")
        pred_file = os.path.join(out, "pred", name + ".txt")
        if not (os.path.exists(gt_file) and os.path.exists(pred_file)):
            write_sequence(os.path.join(out, "gt"), os.path.join(out, "pred"), name, k, size,
                           num_frames)
        pairs.append((gt_file, pred_file))
    return pairs


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--size", default="L", choices=sorted(SIZES))
    parser.add_argument("--sequences", type=int, default=1)
    parser.add_argument("--frames", type=int, default=None)
    args = parser.parse_args()
    for gt_file, pred_file in write_split(args.out, args.sequences, args.size, args.frames):
        print(gt_file, os.path.getsize(gt_file), pred_file, os.path.getsize(pred_file))
