"""Writes the bundled multi-class examples: ``examples/multiclass`` (MOTChallenge-format files
with a class column, for ``--protocol mot-multiclass``) and ``examples/bdd100k`` (the same boxes
as BDD100K JSON, for ``--protocol bdd100k``).

One sequence ``crossing`` of three frames; classes 1 pedestrian, 3 car, 4 bus; class 13 marks an
ignore region (in BDD100K, a car label with ``Crowd: true``). Boxes below are x, y, w, h.

Ground truth: pedestrian 1 at (0,0,10,20), (1,0,10,20), (2,0,10,20) in frames 1-3; car 2 at
(50,0,20,10), (52,0,20,10) in frames 1-2; an ignore region (100,0,40,40) in every frame.

Tracker ``alpha``:

* frame 1: pedestrian 5 on pedestrian 1; car 6 on car 2; car 7 at (110,10,10,10), unmatched and
  wholly inside the ignore region: removed;
* frame 2: pedestrian 5 on pedestrian 1; car 8 on car 2 (an identity switch); pedestrian 9 at
  (100,0,40,40), unmatched, inside the ignore region: removed (regions ignore every class);
  bus 11 at (300,0,20,20), no bus in the ground truth;
* frame 3: pedestrian 5 at (30,0,10,20), off its object: a miss and a false positive; car 8 at
  (200,0,10,10), no car there: a false positive.

Worked out:

* pedestrian: TP 2, FN 1, FP 1, IDSW 0; MOTA (2 - 1 - 0) / 3 = 1/3; IDTP 2, IDFN 1, IDFP 1,
  IDF1 2 / (2 + 0.5 + 0.5) = 2/3; one object tracked 2 of 3 frames: PT; 3 frames;
* car: TP 2, FN 0, FP 1, IDSW 1; MOTA (2 - 1 - 1) / 2 = 0; IDTP 1, IDFN 1, IDFP 2, IDF1 0.4;
  MT 1; 3 frames;
* bus: no ground truth: MOTA 0 in the sequence, 0 frames; COMBINED MOTA -1 / max(1, 0) = -1;
* class-averaged: MOTA (1/3 + 0 - 1) / 3 = -2/9, IDF1 (2/3 + 0.4 + 0) / 3 = 16/45;
* detection-averaged: TP 4, FN 1, FP 3, IDSW 1: MOTA (4 - 3 - 1) / 5 = 0; IDTP 3, IDFN 2,
  IDFP 4: IDF1 3 / (3 + 1 + 2) = 0.5; frames 3 + 3 + 0 = 6.

Run ``python examples/make_multiclass_examples.py`` to rewrite both (byte for byte the same).
"""

import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))
CLASSES = {1: "pedestrian", 3: "car", 4: "bus"}
IGNORE = 13

# (frame, id, x, y, w, h, class)
GT = [
    (1, 1, 0, 0, 10, 20, 1), (1, 2, 50, 0, 20, 10, 3), (1, 90, 100, 0, 40, 40, IGNORE),
    (2, 1, 1, 0, 10, 20, 1), (2, 2, 52, 0, 20, 10, 3), (2, 90, 100, 0, 40, 40, IGNORE),
    (3, 1, 2, 0, 10, 20, 1), (3, 90, 100, 0, 40, 40, IGNORE),
]
ALPHA = [
    (1, 5, 0, 0, 10, 20, 1), (1, 6, 50, 0, 20, 10, 3), (1, 7, 110, 10, 10, 10, 3),
    (2, 5, 1, 0, 10, 20, 1), (2, 8, 52, 0, 20, 10, 3), (2, 9, 100, 0, 40, 40, 1),
    (2, 11, 300, 0, 20, 20, 4),
    (3, 5, 30, 0, 10, 20, 1), (3, 8, 200, 0, 10, 10, 3),
]
FRAMES = 3


def _write(path: str, text: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def _mot_lines(rows, gt: bool) -> str:
    # The 7th value marks ground truth as scored (1); predictions carry a confidence.
    return "".join(f"{f},{i},{x},{y},{w},{h},{1 if gt else 0.9},{c},1\n"
                   for f, i, x, y, w, h, c in rows)


def _bdd_frames(rows, gt: bool) -> str:
    frames = [{"name": f"crossing-{k:07d}.jpg", "index": k - 1, "labels": []}
              for k in range(1, FRAMES + 1)]
    for f, i, x, y, w, h, c in rows:
        label = {"id": str(i), "category": CLASSES.get(c, "car"),
                 "box2d": {"x1": x, "y1": y, "x2": x + w, "y2": y + h}}
        if gt:
            label["attributes"] = {"Occluded": False, "Truncated": False,
                                   "Crowd": c == IGNORE}
        frames[f - 1]["labels"].append(label)
    return json.dumps(frames, indent=1) + "\n"


def main() -> None:
    root = os.path.join(HERE, "multiclass")
    _write(os.path.join(root, "gt", "crossing", "gt", "gt.txt"), _mot_lines(GT, True))
    _write(os.path.join(root, "gt", "crossing", "seqinfo.ini"),
           f"[Sequence]\nname=crossing\nseqLength={FRAMES}\n")
    _write(os.path.join(root, "trackers", "alpha", "crossing.txt"), _mot_lines(ALPHA, False))
    root = os.path.join(HERE, "bdd100k")
    _write(os.path.join(root, "gt", "crossing.json"), _bdd_frames(GT, True))
    _write(os.path.join(root, "trackers", "alpha", "crossing.json"), _bdd_frames(ALPHA, False))


if __name__ == "__main__":
    main()
