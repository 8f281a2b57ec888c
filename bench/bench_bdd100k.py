"""Times ``vestrim GT TRACKER --protocol bdd100k`` end to end on a validation-scale set.

Writes (once, seeded) 200 videos of 200 frames with about 20 boxes a frame on each side over the
eight classes, a few crowd and distractor regions among the ground truth, then runs the command
line in a fresh process (start-up included) and reports its wall time and peak memory, and the
time spent reading, preprocessing and scoring in one process. Run by hand:

    python bench/bench_bdd100k.py [--dir DIR] [--jobs 2] [--repeat 3] [--format json]

The peak memory is the resident memory of the command and its workers together, sampled every
20 ms; the CPU time is theirs together (user + system), which on a loaded machine says more than
the wall time.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

CLASSES = ("pedestrian", "rider", "car", "bus", "truck", "train", "motorcycle", "bicycle")


def write_set(root: str, videos: int, frames: int, boxes: int, seed: int = 0) -> None:
    rng = np.random.default_rng(seed)
    for side in ("gt", "trk"):
        os.makedirs(os.path.join(root, side), exist_ok=True)
    for v in range(videos):
        # Objects move slowly; the tracker sees most of them, jittered, and adds some noise.
        n = boxes
        start = rng.uniform(0, 1200, (n, 2))
        velocity = rng.normal(0, 2, (n, 2))
        size = rng.uniform(20, 120, (n, 2))
        cls = rng.integers(0, 8, n)
        seen = rng.random((frames, n)) < 0.9
        keep_id = rng.random((frames, n)) < 0.98
        jitters = rng.normal(0, 3, (frames, n, 4)).tolist()
        gt_frames, trk_frames = [], []
        for f in range(frames):
            pos = start + velocity * f
            gt_labels, trk_labels = [], []
            for k in range(n):
                x1, y1 = pos[k]
                box = {"x1": float(x1), "y1": float(y1), "x2": float(x1 + size[k, 0]),
                       "y2": float(y1 + size[k, 1])}
                gt_labels.append({"id": str(k), "category": CLASSES[cls[k]], "box2d": box,
                                  "attributes": {"Occluded": False, "Truncated": False,
                                                 "Crowd": False}})
                if seen[f, k]:
                    jitter = jitters[f][k]
                    tbox = {c: box[c] + j for c, j in zip(("x1", "y1", "x2", "y2"), jitter)}
                    tid = k if keep_id[f, k] else k + 1000
                    trk_labels.append({"id": tid, "category": CLASSES[cls[k]], "box2d": tbox,
                                       "score": 0.9})
            for j in range(2):  # false positives, short tracks
                x, y = rng.uniform(0, 1200, 2)
                trk_labels.append({"id": 2000 + (f // 5) * 2 + j,
                                   "category": CLASSES[rng.integers(0, 8)],
                                   "box2d": {"x1": float(x), "y1": float(y),
                                             "x2": float(x + 40), "y2": float(y + 40)}})
            if f % 4 == 0:  # a crowd and a distractor region
                gt_labels.append({"id": "c", "category": "car", "attributes": {"Crowd": True},
                                  "box2d": {"x1": 0.0, "y1": 0.0, "x2": 100.0, "y2": 100.0}})
                gt_labels.append({"id": "d", "category": "other vehicle",
                                  "box2d": {"x1": 500.0, "y1": 500.0, "x2": 560.0, "y2": 540.0}})
            gt_frames.append({"name": f"v{v}-{f}.jpg", "index": f, "labels": gt_labels})
            trk_frames.append({"name": f"v{v}-{f}.jpg", "index": f, "labels": trk_labels})
        for side, data in (("gt", gt_frames), ("trk", trk_frames)):
            with open(os.path.join(root, side, f"video{v:04d}.json"), "w") as f:
                json.dump(data, f)


def _tree_rss(pid: int) -> int:
    """Resident kB of a process and all its descendants (Linux /proc), 0 once it is gone."""
    total, stack = 0, [pid]
    while stack:
        p = stack.pop()
        try:
            with open(f"/proc/{p}/status") as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as f:
                    stack += [int(c) for c in f.read().split()]
        except (OSError, StopIteration, ValueError):
            continue
    return total


def run_sampled(cmd: list) -> tuple:
    """(wall seconds, peak summed RSS in MB of the process tree, sampled every 20 ms)."""
    t = time.perf_counter()
    proc = subprocess.Popen(cmd)
    peak = 0
    while proc.poll() is None:
        peak = max(peak, _tree_rss(proc.pid))
        time.sleep(0.02)
    wall = time.perf_counter() - t
    if proc.returncode:
        raise subprocess.CalledProcessError(proc.returncode, cmd)
    return wall, peak / 1024


def profile_stages(root: str) -> dict:
    """Seconds spent reading, preprocessing and scoring every video in this process."""
    import vestrim
    from vestrim import _native
    from vestrim.datasets.bdd100k import CLASSES as NAMES, read_bdd
    from vestrim.datasets.cells import class_cells
    stages = dict.fromkeys(("read", "preprocess", "metrics"), 0.0)
    classes = dict(enumerate(NAMES))
    for name in sorted(os.listdir(os.path.join(root, "gt"))):
        t0 = time.perf_counter()
        gt = read_bdd(os.path.join(root, "gt", name), gt=True)
        pred = read_bdd(os.path.join(root, "trk", name), gt=False)
        t1 = time.perf_counter()
        cells = class_cells(gt.rows, pred.rows, gt.region_frames, gt.regions, classes,
                            gt.num_frames, repeat_error=lambda *a: ValueError(a),
                            skip_empty=True)
        t2 = time.perf_counter()
        for c in cells:
            s = c.sequence
            _native.evaluate(s.gt_ids, s.gt_boxes, s.pred_ids, s.pred_boxes, 0.5, "benchmark",
                             empty_frames=s.empty_frames)
        t3 = time.perf_counter()
        stages["read"] += t1 - t0
        stages["preprocess"] += t2 - t1
        stages["metrics"] += t3 - t2
    del vestrim
    return stages


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default="/tmp/vestrim_bdd_bench")
    parser.add_argument("--videos", type=int, default=200)
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--boxes", type=int, default=20)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--format", default="json", choices=("table", "csv", "json"))
    args = parser.parse_args()
    marker = os.path.join(args.dir, f".v2-{args.videos}x{args.frames}x{args.boxes}")
    if not os.path.exists(marker):
        t = time.perf_counter()
        write_set(args.dir, args.videos, args.frames, args.boxes)
        open(marker, "w").close()
        print(f"wrote {args.videos} videos in {time.perf_counter() - t:.1f} s")
    size = sum(os.path.getsize(os.path.join(args.dir, s, n)) for s in ("gt", "trk")
               for n in os.listdir(os.path.join(args.dir, s)))
    print(f"set: {args.videos} videos x {args.frames} frames, {size / 1e6:.0f} MB of JSON")
    cmd = [sys.executable, "-m", "vestrim", os.path.join(args.dir, "gt"),
           os.path.join(args.dir, "trk"), "--protocol", "bdd100k", "--jobs", str(args.jobs),
           "--format", args.format, "--output", os.devnull]
    best = None
    for _ in range(args.repeat):
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = usage.ru_utime + usage.ru_stime
        wall, peak = run_sampled(cmd)
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = usage.ru_utime + usage.ru_stime - cpu
        best = wall if best is None else min(best, wall)
        print(f"command line, --jobs {args.jobs}, --format {args.format}: {wall:6.2f} s   "
              f"peak memory of all its processes {peak:.0f} MB, their CPU time {cpu:.1f} s")
    print(f"best of {args.repeat}: {best:.2f} s")
    stages = profile_stages(os.path.join(args.dir))
    print("one process, by stage:")
    print(f"{'stage':<12}{'seconds':>9}")
    for name, seconds in stages.items():
        print(f"{name:<12}{seconds:9.2f}")


if __name__ == "__main__":
    main()
