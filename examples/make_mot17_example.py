#!/usr/bin/env python3
"""Generate the bundled MOT17-shaped example: a benchmark split with classes, zero-marked lines,
distractors and seqinfo.ini files, a sequence map, and two trackers.

    python examples/make_mot17_example.py [OUT_DIR]      (default: examples/mot17)

writes
    OUT_DIR/gt/<seq>/gt/gt.txt, OUT_DIR/gt/<seq>/seqinfo.ini
    OUT_DIR/seqmap.txt
    OUT_DIR/trackers/alpha/data/<seq>.txt     (a tracker folder with a data/ subfolder)
    OUT_DIR/trackers/beta/<seq>.txt           (a tracker folder holding its files directly)

The output is fully determined by the seeds below (Python's own random generator), so running it
again reproduces the committed files byte for byte.

Frames 1 to 6 of SYN-01 are written by hand, so that their scores can be worked out by hand:

    frame 1  gt 1, 2: pedestrians; gt 3: static person (class 7); gt 4: car (class 3);
             gt 5: pedestrian marked 0; gt 6: reflection (class 12), all but 1 and 2 marked 0.
             alpha: 11 on gt 1, 12 on gt 2, 13 on gt 3, 14 on gt 4, 15 on gt 5, and 16 overlapping
             gt 6 at IoU 0.25.
    frame 2  gt 1, 2; alpha 11 on gt 1, 12 on gt 2.
    frame 3  gt 1, 2; alpha 11 on gt 1 only (gt 2 is occluded for the tracker).
    frame 4  gt 1, 2; alpha 11 on gt 1; 12 (IoU 2/3) and 17 (IoU 1) on gt 2.
    frame 5  gt 1, 2; alpha outputs nothing (a dropped frame).
    frame 6  gt 1, 2; alpha 11 (IoU 2/3) and 18 (IoU 1) on gt 1, 17 (IoU 1) and 12 (IoU 2/3)
             on gt 2.

Under mot17, prediction 13 is removed (matched to a static person, a distractor); 14 (a car), 15
(a zero-marked pedestrian) and 16 (below IoU 0.5 with the reflection) stay and count as false
positives; gt 3 to 6 are not scored. Under the benchmark's CLEAR rule, gt 2 re-acquired in frame 4
after its gap goes to the better box, 17 (a switch from 12), and frame 5 does not interrupt the
matches of frame 4, so frame 6 keeps 11 and 17: 9 matches, 6 false positives, 3 misses, 1 switch.
(The module's rule keeps 12 in frames 4 and 6: no switch.) beta outputs only 11 and 12 in frame 1
of the opening. From frame 7 on, the sequences are generated.
"""

from __future__ import annotations

import os
import random
import sys

WIDTH, HEIGHT = 1920, 1080

# name, number of frames, pedestrians at a time (about), seed
SEQUENCES = [("SYN-01", 120, 5, 1701), ("SYN-02", 90, 4, 1702)]

# tracker name, quality (0 poor .. 1 good), whether its files sit in a data/ subfolder
TRACKERS = [("alpha", 0.9, True), ("beta", 0.6, False)]

# The hand-written opening of SYN-01: (frame, id, x, y, w, h, conf, class).
OPENING_GT = [
    (1, 1, 100, 200, 50, 100, 1, 1), (1, 2, 300, 200, 50, 100, 1, 1),
    (1, 3, 500, 200, 50, 100, 0, 7), (1, 4, 700, 200, 100, 60, 0, 3),
    (1, 5, 900, 200, 50, 100, 0, 1), (1, 6, 1100, 200, 50, 100, 0, 12),
    (2, 1, 104, 200, 50, 100, 1, 1), (2, 2, 304, 200, 50, 100, 1, 1),
    (3, 1, 108, 200, 50, 100, 1, 1), (3, 2, 308, 200, 50, 100, 1, 1),
    (4, 1, 112, 200, 50, 100, 1, 1), (4, 2, 312, 200, 50, 100, 1, 1),
    (5, 1, 116, 200, 50, 100, 1, 1), (5, 2, 316, 200, 50, 100, 1, 1),
    (6, 1, 120, 200, 50, 100, 1, 1), (6, 2, 320, 200, 50, 100, 1, 1),
]
OPENING_ALPHA = [  # (frame, id, x, y, w, h)
    (1, 11, 100, 200, 50, 100), (1, 12, 300, 200, 50, 100), (1, 13, 500, 200, 50, 100),
    (1, 14, 700, 200, 100, 60), (1, 15, 900, 200, 50, 100), (1, 16, 1130, 200, 50, 100),
    (2, 11, 104, 200, 50, 100), (2, 12, 304, 200, 50, 100),
    (3, 11, 108, 200, 50, 100),
    (4, 11, 112, 200, 50, 100), (4, 12, 322, 200, 50, 100), (4, 17, 312, 200, 50, 100),
    (6, 11, 130, 200, 50, 100), (6, 12, 330, 200, 50, 100), (6, 17, 320, 200, 50, 100),
    (6, 18, 120, 200, 50, 100),
]
OPENING_FRAMES = 6

# Classes of the objects that are not scored pedestrians, with how often each appears.
OTHER_CLASSES = [(7, 3), (8, 2), (2, 1), (3, 2), (12, 1), (9, 1)]


class Track:
    def __init__(self, rng, ident, first, last, cls, scored):
        self.id, self.first, self.last, self.cls, self.scored = ident, first, last, cls, scored
        self.h = rng.uniform(80, 220) if cls != 3 else rng.uniform(60, 120)
        self.w = self.h * (rng.uniform(0.35, 0.45) if cls != 3 else rng.uniform(1.4, 2.0))
        self.x = rng.uniform(0, WIDTH - self.w)
        self.y = rng.uniform(HEIGHT * 0.2, HEIGHT - self.h)
        moving = cls in (1, 2, 3)
        self.vx = rng.uniform(1.0, 5.0) * rng.choice((-1, 1)) if moving else 0.0

    def rows(self):
        for frame in range(self.first, self.last + 1):
            x = self.x + self.vx * (frame - self.first)
            if x + self.w < 0 or x > WIDTH:
                return
            yield frame, round(x), round(self.y), round(self.w), round(self.h)


def make_tracks(rng, frames, crowd, first_frame, first_id):
    tracks, ident = [], first_id
    weights = [w for _, w in OTHER_CLASSES]
    for k in range(crowd + 3):
        pedestrian = k < crowd
        cls = 1 if pedestrian else rng.choices([c for c, _ in OTHER_CLASSES], weights)[0]
        scored = pedestrian and rng.random() > 0.1  # a few pedestrians are marked 0 too
        tracks.append(Track(rng, ident, first_frame, rng.randint(frames // 2, frames), cls,
                            scored))
        ident += 1
    for frame in range(first_frame + 1, frames + 1):
        if rng.random() < crowd / 60:
            tracks.append(Track(rng, ident, frame, min(frames, frame + rng.randint(20, 90)), 1,
                                rng.random() > 0.1))
            ident += 1
    return tracks


def predict(rng, tracks, frames, quality, first_id):
    out, next_id = [], first_id
    for track in tracks:
        # Trackers follow pedestrians, and sometimes also static persons, distractors and cars.
        if track.cls != 1 and rng.random() > 0.5:
            continue
        ident, missing = next_id, 0
        next_id += 1
        for frame, x, y, w, h in track.rows():
            if missing == 0 and rng.random() < 0.04 * (1.4 - quality):
                missing = rng.randint(2, 12)  # an occlusion gap
            if missing:
                missing -= 1
                if missing == 0 and rng.random() < 0.5 * (1.2 - quality):
                    ident, next_id = next_id, next_id + 1  # re-acquired under a new id
                continue
            noise = 0.1 * (1.3 - quality)
            out.append((frame, ident, x + rng.gauss(0, noise * w * 0.5),
                        y + rng.gauss(0, noise * h * 0.3), w * (1 + rng.gauss(0, noise * 0.4)),
                        h * (1 + rng.gauss(0, noise * 0.2)), rng.uniform(0.4, 1.0)))
    for _ in range(int(frames * 0.04 * (1.5 - quality))):  # short false tracks
        first = rng.randint(OPENING_FRAMES + 1, frames)
        h = rng.uniform(80, 200)
        x, y = rng.uniform(0, WIDTH - 0.4 * h), rng.uniform(200, HEIGHT - h)
        for frame in range(first, min(frames, first + rng.randint(1, 8)) + 1):
            out.append((frame, next_id, x, y, 0.4 * h, h, rng.uniform(0.3, 0.6)))
        next_id += 1
    return out


def write(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="\n") as f:
        f.writelines(line + "\n" for line in lines)


def main(argv) -> int:
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "mot17")
    write(os.path.join(root, "seqmap.txt"), ["name"] + [name for name, *_ in SEQUENCES])
    for name, frames, crowd, seed in SEQUENCES:
        rng = random.Random(seed)
        opening = name == "SYN-01"
        first = OPENING_FRAMES + 1 if opening else 1
        tracks = make_tracks(rng, frames, crowd, first, 101)
        gt = [r for r in OPENING_GT] if opening else []
        for track in tracks:
            gt += [(f, track.id, x, y, w, h, int(track.scored), track.cls)
                   for f, x, y, w, h in track.rows()]
        gt.sort(key=lambda r: (r[1], r[0]))  # track by track, as benchmark files are
        write(os.path.join(root, "gt", name, "gt", "gt.txt"),
              [",".join(map(str, r)) + ",1" for r in gt])
        write(os.path.join(root, "gt", name, "seqinfo.ini"),
              ["[Sequence]", f"name={name}", "imDir=img1", "frameRate=30",
               f"seqLength={frames}", f"imWidth={WIDTH}", f"imHeight={HEIGHT}", "imExt=.jpg"])
        for tracker, quality, in_data in TRACKERS:
            rows = predict(random.Random(f"{seed}-{tracker}"), tracks, frames, quality, 1001)
            lines = [f"{f},{i},{x:.2f},{y:.2f},{w:.2f},{h:.2f},{c:.2f},-1,-1,-1"
                     for f, i, x, y, w, h, c in sorted(rows, key=lambda r: (r[0], r[1]))]
            if opening:
                alpha = OPENING_ALPHA if tracker == "alpha" else OPENING_ALPHA[:2]
                lines = [f"{f},{i},{x},{y},{w},{h},1,-1,-1,-1" for f, i, x, y, w, h in alpha] \
                    + lines
            folder = os.path.join(root, "trackers", tracker, "data" if in_data else "")
            write(os.path.join(folder, name + ".txt"), lines)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
