"""Mask tracking end to end from text files, beside the same objects as boxes.

    PYTHONPATH=<build>/pkg python3 bench/bench_mots.py [--frames 1000] [--objects 15] [--repeat 3]

Writes a synthetic KITTI-MOTS sequence (ground truth and predictions, `--objects` masks a side per
frame on 375 x 1242 images, a class-10 ignore region in every frame) and the same objects as
KITTI tracking boxes (each mask's bounding box, a don't-care box for the region), each in its
benchmark's folder layout. Then times, per pipeline, `vestrim.evaluate_benchmark` on the folders
(the total) and its stages one by one: reading the two files, the benchmark's rules (sizes,
overlaps, ids, matching and removals; mask IoU on the runs) and scoring (CLEAR, Identity and HOTA,
benchmark conventions). Prints the best of `--repeat` runs, in the process's CPU time (every
stage runs on one thread, so this equals the wall time on a quiet machine, and other processes
on a busy one inflate it less), or wall time with `--wall`. Checks that both pipelines score the
expected number of objects.

The objects are ellipses, one per vertical lane so that no two masks of a file overlap (as the
format requires): each column of a mask is one run, as in real segmentation masks. Predictions
are the ground truth moved by a few pixels, with misses, false positives (some inside the ignore
region, which the rules remove) and identity switches. Seeded: equal arguments give equal files.
"""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import vestrim
from vestrim import _native
from vestrim.kitti import kitti_sequence, read_kitti
from vestrim.mots import mots_sequence, read_mots

H, W = 375, 1242
LANE = 76  # each object keeps to its own band of columns
CLOCK = time.process_time


def ellipse(cx, cy, rx, ry):
    """COCO counts of an ellipse (centre, radii in pixels), clipped to the image."""
    c0, c1 = max(0, int(np.ceil(cx - rx))), min(W, int(np.floor(cx + rx)) + 1)
    cols = np.arange(c0, c1)
    half = ry * np.sqrt(np.clip(1.0 - ((cols - cx) / rx) ** 2, 0.0, None))
    top = np.clip(np.round(cy - half), 0, H).astype(np.int64)
    bottom = np.clip(np.round(cy + half), 0, H).astype(np.int64)
    keep = bottom > top
    cols, top, bottom = cols[keep], top[keep], bottom[keep]
    starts = cols * H + top
    ends = cols * H + bottom
    runs = np.empty(2 * len(cols) + 1, dtype=np.int64)
    runs[0:-1:2] = starts - np.concatenate(([0], ends[:-1]))
    runs[1:-1:2] = ends - starts
    runs[-1] = H * W - (ends[-1] if len(ends) else 0)
    mask = vestrim.Mask((H, W), runs.tolist())
    box = (float(cols[0]), float(top.min()), float(cols[-1] + 1), float(bottom.max()))
    return mask, box


def make_files(folder, frames, objects, seed=7):
    rng = np.random.default_rng(seed)
    lanes = objects
    assert (lanes + 1) * LANE <= W, "too many objects for the image width"
    ignore_col = lanes * LANE  # the last band is the ignore region
    ignore = vestrim.Mask((H, W), [ignore_col * H, (W - ignore_col) * H])
    gt_ids = np.arange(lanes) + 1000
    next_gt = 1000 + lanes
    pred_of = {i: 1 + i for i in range(lanes)}
    next_pred = 1 + lanes
    state = [(rng.uniform(36, LANE - 36), rng.uniform(80, H - 80), rng.uniform(15, 34),
              rng.uniform(30, 75)) for _ in range(lanes)]
    mots_gt, mots_pred, kitti_gt, kitti_pred = [], [], [], []
    for t in range(frames):
        mots_gt.append(f"{t} 10000 10 {H} {W} {ignore.to_coco()}")
        kitti_gt.append(f"{t} -1 DontCare 0 0 0 {ignore_col} 0 {W} {H} 0 0 0 0 0 0 0")
        fp_in_ignore = False
        for lane in range(lanes):
            if rng.random() < 0.004:  # the object leaves; a new one enters
                gt_ids[lane] = next_gt
                next_gt += 1
                pred_of[lane] = next_pred
                next_pred += 1
            x, y, rx, ry = state[lane]
            x = float(np.clip(x + rng.normal(0, 1.5), rx + 2, LANE - rx - 2))
            y = float(np.clip(y + rng.normal(0, 2.0), ry, H - ry))
            state[lane] = (x, y, rx, ry)
            cx = lane * LANE + x
            mask, box = ellipse(cx, y, rx, ry)
            gid = int(gt_ids[lane])
            mots_gt.append(f"{t} {gid} 2 {H} {W} {mask.to_coco()}")
            kitti_gt.append(f"{t} {gid} Pedestrian 0 0 0 {box[0]} {box[1]} {box[2]} {box[3]} "
                            "0 0 0 0 0 0 0")
            roll = rng.random()
            if roll < 0.01:
                pred_of[lane] = next_pred  # an identity switch
                next_pred += 1
            if roll > 0.96 and not fp_in_ignore:  # a miss, and a false positive in the region
                fp_in_ignore = True
                pmask, pbox = ellipse(ignore_col + 13, y, 10, 40)
                pid = next_pred
                next_pred += 1
            elif roll > 0.93:  # a miss, and a false positive away from the object
                far = (y + H / 2) % (H - ry) + ry / 2
                pmask, pbox = ellipse(cx, far, rx * 0.5, max(ry * 0.3, 14))
                pid = next_pred
                next_pred += 1
            else:
                px = float(np.clip(x + rng.normal(0, 1.0), rx + 1, LANE - rx - 1))
                pmask, pbox = ellipse(lane * LANE + px, y + rng.normal(0, 2.0), rx, ry)
                pid = pred_of[lane]
            mots_pred.append(f"{t} {pid} 2 {H} {W} {pmask.to_coco()}")
            kitti_pred.append(f"{t} {pid} Pedestrian 0 0 0 {pbox[0]} {pbox[1]} {pbox[2]} "
                              f"{pbox[3]} 0 0 0 0 0 0 0 0.9")
    paths = {
        "mots_gt": os.path.join(folder, "mots", "gt", "instances_txt", "0000.txt"),
        "mots_pred": os.path.join(folder, "mots", "tracker", "0000.txt"),
        "mots_seqmap": os.path.join(folder, "mots", "gt", "evaluate_mots.seqmap.val"),
        "kitti_gt": os.path.join(folder, "kitti", "gt", "label_02", "0000.txt"),
        "kitti_pred": os.path.join(folder, "kitti", "tracker", "0000.txt"),
        "kitti_seqmap": os.path.join(folder, "kitti", "gt", "evaluate_tracking.seqmap.training"),
    }
    for name, lines in (("mots_gt", mots_gt), ("mots_pred", mots_pred),
                        ("kitti_gt", kitti_gt), ("kitti_pred", kitti_pred),
                        ("mots_seqmap", [f"0000 empty 000000 {frames - 1:06d}"]),
                        ("kitti_seqmap", [f"0000 empty 000000 {frames:06d}"])):
        os.makedirs(os.path.dirname(paths[name]), exist_ok=True)
        with open(paths[name], "w") as f:
            f.write("\n".join(lines) + "\n")
    return paths


def score_boxes(seq):
    return _native.evaluate(seq.gt_ids, seq.gt_boxes, seq.pred_ids, seq.pred_boxes, 0.5,
                            "benchmark")


def score_masks(seq):
    return _native.evaluate_from_similarity(seq.gt_ids, seq.pred_ids, seq.similarity, 0.5,
                                            "benchmark")


def run_benchmark(paths, kind, protocol):
    t0 = CLOCK()
    result = vestrim.evaluate_benchmark(os.path.dirname(os.path.dirname(paths[kind + "_gt"])),
                                        [os.path.dirname(paths[kind + "_pred"])],
                                        protocol=protocol, classes=["pedestrian"])
    t1 = CLOCK()
    return t1 - t0, result.trackers[0].combined.clear


def run_masks(paths, frames):
    t0 = CLOCK()
    gt, pred = read_mots(paths["mots_gt"]), read_mots(paths["mots_pred"])
    t1 = CLOCK()
    seq = mots_sequence(gt, pred, 0, frames, ["pedestrian"], gt_path=paths["mots_gt"],
                        pred_path=paths["mots_pred"])["pedestrian"]
    t2 = CLOCK()
    clear, _, _ = score_masks(seq)
    t3 = CLOCK()
    return (t1 - t0, t2 - t1, t3 - t2, t3 - t0), clear


def run_boxes(paths, frames):
    t0 = CLOCK()
    gt, pred = read_kitti(paths["kitti_gt"]), read_kitti(paths["kitti_pred"])
    t1 = CLOCK()
    seq = kitti_sequence(gt, pred, frames, ["pedestrian"], gt_path=paths["kitti_gt"],
                         pred_path=paths["kitti_pred"])["pedestrian"]
    t2 = CLOCK()
    clear, _, _ = score_boxes(seq)
    t3 = CLOCK()
    return (t1 - t0, t2 - t1, t3 - t2, t3 - t0), clear


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--objects", type=int, default=15)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--wall", action="store_true", help="wall-clock time, not CPU time")
    args = parser.parse_args()
    global CLOCK
    CLOCK = time.perf_counter if args.wall else time.process_time
    with tempfile.TemporaryDirectory() as folder:
        paths = make_files(folder, args.frames, args.objects)
        sizes = {k: os.path.getsize(p) / 1e6 for k, p in paths.items()}
        rows = []
        for label, run, files, protocol in (
                ("masks (kitti-mots)", run_masks, "mots", "kitti-mots"),
                ("boxes (kitti)", run_boxes, "kitti", "kitti")):
            times, clear = zip(*(run(paths, args.frames) for _ in range(args.repeat)))
            totals, combined = zip(*(run_benchmark(paths, files, protocol)
                                     for _ in range(args.repeat)))
            expected = args.frames * args.objects
            for c in clear + combined:
                if c.num_gt != expected or c.num_matches != clear[0].num_matches:
                    sys.exit(f"{label}: scored {c.num_gt} ground-truth objects, "
                             f"expected {expected}")
            best = [min(t[k] for t in times) for k in range(3)]
            mb = sizes[files + "_gt"] + sizes[files + "_pred"]
            rows.append((label, mb, *best, min(totals), clear[0]))
    print(f"{args.frames} frames, {args.objects} objects a side, {H} x {W} images; "
          f"best of {args.repeat} runs, {'wall' if args.wall else 'CPU'} time")
    print()
    print("| pipeline | files | read | rules | score | evaluate_benchmark | TP / FP / FN / IDSW |")
    print("|---|---:|---:|---:|---:|---:|---|")
    for label, mb, read, rules, score, total, clear in rows:
        print(f"| {label} | {mb:.1f} MB | {read * 1e3:.0f} ms | {rules * 1e3:.0f} ms | "
              f"{score * 1e3:.0f} ms | {total * 1e3:.0f} ms | {clear.num_matches} / "
              f"{clear.num_false_positives} / {clear.num_misses} / {clear.num_switches} |")


if __name__ == "__main__":
    main()
