#!/usr/bin/env python3
"""Generate the bundled example: synthetic ground truth and tracker output in the MOTChallenge
text format.

    python examples/make_example.py [OUT_DIR]      (default: the folder of this script)

writes OUT_DIR/gt/<seq>/gt/gt.txt and OUT_DIR/pred/<seq>.txt for a few short sequences. The output
is fully determined by the seeds below (Python's own random generator, whose sequence is stable
across versions), so running it again reproduces the committed files byte for byte.

Ground truth: pedestrians (class 1) walking across a 1920x1080 view, a few static persons
(class 7), and some objects marked "not scored" (7th value 0). Boxes are whole pixels.
Tracker output: the ground-truth boxes with noise, missed in occlusion-like runs, with identity
switches, re-identifications after long gaps, swaps between neighbours, and short false tracks.
"""

from __future__ import annotations

import os
import random
import sys

WIDTH, HEIGHT = 1920, 1080

# name, number of frames, objects alive at a time (about), seed, tracker quality (0 = poor, 1 = good)
SEQUENCES = [
    ("synth-01", 300, 5, 101, 0.9),
    ("synth-02", 360, 6, 202, 0.7),
    ("synth-03", 250, 4, 303, 0.5),
]


class Walker:
    def __init__(self, rng: random.Random, ident: int, first: int, last: int, static: bool):
        self.id = ident
        self.first, self.last = first, last
        self.h = rng.uniform(90, 260)
        self.w = self.h * rng.uniform(0.35, 0.45)
        self.x = rng.uniform(0, WIDTH - self.w)
        self.y = rng.uniform(HEIGHT * 0.2, HEIGHT - self.h)
        speed = 0.0 if static else rng.uniform(1.0, 6.0)
        self.vx = speed * rng.choice((-1, 1))
        self.vy = rng.uniform(-0.5, 0.5) if not static else 0.0
        self.growth = rng.uniform(-0.002, 0.002)  # walking towards or away from the camera
        self.cls = 7 if static else 1
        self.scored = rng.random() > 0.08

    def box(self, frame: int):
        t = frame - self.first
        scale = 1.0 + self.growth * t
        w, h = self.w * scale, self.h * scale
        return self.x + self.vx * t, self.y + self.vy * t, w, h


def make_ground_truth(rng: random.Random, frames: int, crowd: int) -> list:
    walkers = []
    ident = 1
    # Start with a crowd already in view, then keep it up with arrivals.
    for _ in range(crowd):
        walkers.append(Walker(rng, ident, 1, min(frames, rng.randint(60, frames)), rng.random() < 0.15))
        ident += 1
    for frame in range(2, frames + 1):
        if rng.random() < crowd / 120:
            last = min(frames, frame + rng.randint(30, 220))
            walkers.append(Walker(rng, ident, frame, last, rng.random() < 0.1))
            ident += 1
    tracks = []
    for walker in walkers:
        rows = []
        for frame in range(walker.first, walker.last + 1):
            x, y, w, h = walker.box(frame)
            if x + w < 0 or x > WIDTH:  # walked out of view
                break
            rows.append((frame, round(x), round(y), round(w), round(h)))
        if len(rows) >= 10:
            tracks.append((walker, rows))
    return tracks


def make_predictions(rng: random.Random, tracks: list, frames: int, quality: float) -> list:
    next_id = 1
    out = []  # (frame, id, x, y, w, h, conf)
    assigned = {}  # gt id -> current tracker id
    for walker, rows in tracks:
        if walker.cls != 1 and rng.random() < 0.5:
            continue  # the tracker ignores some static persons entirely
        assigned[walker.id] = next_id
        next_id += 1
        missing = 0
        for frame, x, y, w, h in rows:
            if missing == 0 and rng.random() < 0.03 * (1.5 - quality):
                missing = rng.randint(1, 25)  # an occlusion
            if missing:
                missing -= 1
                if missing == 0 and rng.random() < 0.4 * (1.2 - quality):
                    assigned[walker.id] = next_id  # lost during the gap, comes back as new
                    next_id += 1
                continue
            if rng.random() < 0.004 * (1.5 - quality):
                assigned[walker.id] = next_id  # a plain identity switch
                next_id += 1
            noise = 0.12 * (1.3 - quality)
            px = x + rng.gauss(0, noise * w * 0.5)
            py = y + rng.gauss(0, noise * h * 0.3)
            pw = w * (1 + rng.gauss(0, noise * 0.5))
            ph = h * (1 + rng.gauss(0, noise * 0.3))
            conf = min(1.0, max(0.3, rng.gauss(0.8, 0.1)))
            out.append([frame, assigned[walker.id], px, py, pw, ph, conf])
    # Swaps: two tracks exchange identities from some frame on.
    by_frame = {}
    for row in out:
        by_frame.setdefault(row[0], []).append(row)
    for _ in range(int(4 * (1.2 - quality))):
        frame = rng.randint(20, frames - 20)
        rows = by_frame.get(frame, [])
        if len(rows) < 2:
            continue
        a, b = rng.sample([r[1] for r in rows], 2)
        for row in out:
            if row[0] >= frame and row[1] in (a, b):
                row[1] = b if row[1] == a else a
    # False tracks: short-lived boxes where nobody is.
    for _ in range(int(frames * 0.05 * (1.5 - quality))):
        first = rng.randint(1, frames)
        h = rng.uniform(80, 220)
        w = h * 0.4
        x, y = rng.uniform(0, WIDTH - w), rng.uniform(200, HEIGHT - h)
        for frame in range(first, min(frames, first + rng.randint(1, 15)) + 1):
            out.append([frame, next_id, x + rng.gauss(0, 2), y + rng.gauss(0, 2), w, h,
                        rng.uniform(0.3, 0.6)])
        next_id += 1
    out.sort(key=lambda r: (r[0], r[1]))
    return out


def write_sequence(root: str, name: str, frames: int, crowd: int, seed: int, quality: float):
    rng = random.Random(seed)
    tracks = make_ground_truth(rng, frames, crowd)
    gt_dir = os.path.join(root, "gt", name, "gt")
    os.makedirs(gt_dir, exist_ok=True)
    with open(os.path.join(gt_dir, "gt.txt"), "w", newline="\n") as f:
        # Ground truth is listed track by track, as benchmark files usually are.
        for walker, rows in tracks:
            for frame, x, y, w, h in rows:
                visibility = min(1.0, max(0.0, rng.gauss(0.8, 0.2)))
                f.write(f"{frame},{walker.id},{x},{y},{w},{h},{int(walker.scored)},"
                        f"{walker.cls},{visibility:.2f}\n")
    pred = make_predictions(rng, tracks, frames, quality)
    os.makedirs(os.path.join(root, "pred"), exist_ok=True)
    with open(os.path.join(root, "pred", name + ".txt"), "w", newline="\n") as f:
        for frame, ident, x, y, w, h, conf in pred:
            f.write(f"{frame},{ident},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{conf:.2f},-1,-1,-1\n")


def main(argv) -> int:
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, frames, crowd, seed, quality in SEQUENCES:
        write_sequence(root, name, frames, crowd, seed, quality)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
