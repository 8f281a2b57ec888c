#!/usr/bin/env python3
"""Generate the bundled KITTI tracking, KITTI-MOTS and MOTS20 examples.

    python examples/make_kitti_mots.py [OUT_DIR]      (default: the folder of this script)

writes, in each benchmark's own layout, a few hand-placed frames that exercise every rule of
those benchmarks (distractors, occluded and truncated objects, small boxes, don't-care boxes,
ignore regions, negative ids, an id repeated in a frame where one of the two is removed), with
one tracker each (``tracker_a``):

    OUT_DIR/kitti/gt/label_02/<seq>.txt, OUT_DIR/kitti/gt/evaluate_tracking.seqmap.training,
    OUT_DIR/kitti/tracker_a/data/<seq>.txt
    OUT_DIR/kitti_mots/gt/instances_txt/<seq>.txt, OUT_DIR/kitti_mots/gt/evaluate_mots.seqmap.val,
    OUT_DIR/kitti_mots/tracker_a/data/<seq>.txt
    OUT_DIR/mots20/gt/<seq>/gt/gt.txt, OUT_DIR/mots20/gt/<seq>/seqinfo.ini,
    OUT_DIR/mots20/tracker_a/data/<seq>.txt

Nothing is random: the files are the objects listed below, so running the script again reproduces
them byte for byte. Masks are rectangles, encoded with ``vestrim.Mask``.
"""

from __future__ import annotations

import os
import sys

import vestrim


def kitti_line(frame, ident, kind, box, truncated=0, occluded=0, score=None):
    x1, y1, x2, y2 = box
    line = (f"{frame} {ident} {kind} {truncated} {occluded} -10 {x1:.2f} {y1:.2f} {x2:.2f} "
            f"{y2:.2f} -1 -1 -1 -1000 -1000 -1000 -10")
    return line if score is None else f"{line} {score}"


# KITTI tracking, sequence 0000 (5 frames). Car 0 drives through; a van (a car's distractor), a
# heavily occluded car, a truncated car, a seated person (a pedestrian's distractor), a
# don't-care region, a ground-truth car with a negative id (dropped) and a "car_2".
CAR0 = (100, 100, 200, 200)
KITTI_GT_0000 = (
    [kitti_line(t, 0, "Car", CAR0) for t in range(5)]
    + [kitti_line(t, 1, "Van", (300, 100, 400, 200)) for t in (0, 1)]
    + [kitti_line(2, 2, "Car", (500, 100, 600, 200), occluded=3),
       kitti_line(3, 3, "Car", (500, 100, 600, 200), truncated=1),
       kitti_line(4, -1, "Car", (500, 100, 600, 200)),
       kitti_line(4, 7, "car_2", (900, 100, 1000, 200))]
    + [kitti_line(t, -1, "DontCare", (700, 0, 800, 100)) for t in range(5)]
    + [kitti_line(t, 4, "Pedestrian", (50, 300, 80, 380)) for t in range(4)]
    + [kitti_line(1, 5, "Person", (150, 300, 180, 380), truncated=0.4)]
)
KITTI_PRED_0000 = (
    [kitti_line(t, 10, "Car", CAR0, score=0.9) for t in (0, 1, 2)]
    + [kitti_line(t, 11, "Car", CAR0, score=0.9) for t in (3, 4)]                # a switch
    + [kitti_line(t, 12, "Car", (300, 100, 400, 200), score=0.8) for t in (0, 1)]  # on the van
    + [kitti_line(2, 13, "Car", (500, 100, 600, 200), score=0.7),  # on the occluded car
       kitti_line(3, 14, "Car", (500, 100, 600, 200), score=0.7),  # on the truncated car
       kitti_line(4, 14, "Car", (500, 100, 600, 200), score=0.7),  # on the negative id: an FP
       kitti_line(1, 15, "Car", (710, 10, 790, 90), score=0.6),    # in the don't-care region
       kitti_line(2, 16, "Car", (1100, 100, 1150, 120), score=0.5),  # 20 pixels tall
       kitti_line(4, 18, "Car", (900, 100, 1000, 162), score=0.9),   # IoU 0.62 with car 7
       kitti_line(2, 19, "Cyclist", (40, 40, 60, 90), score=0.9),    # never scored
       kitti_line(2, -1, "Car", (0, 0, 100, 100), score=0.9)]        # dropped
    + [kitti_line(t, 20, "Pedestrian", (50, 300, 80, 380), score=0.9) for t in (0, 1, 3)]
    + [kitti_line(1, 21, "Pedestrian", (150, 300, 180, 380), score=0.9)]  # on the seated person
)

# Sequence 0001 (3 frames): the tracker misses car 0 in frame 1, repeats id 30 in frame 0 on a
# box that the don't-care rule removes (so the repeat is no error), and adds one pedestrian.
KITTI_GT_0001 = (
    [kitti_line(t, 0, "Car", (400, 150, 520, 240)) for t in range(3)]
    + [kitti_line(0, 9, "DontCare", (0, 0, 60, 60))]
)
KITTI_PRED_0001 = [
    kitti_line(0, 30, "Car", (400, 150, 520, 240), score=0.9),
    kitti_line(0, 30, "Car", (5, 5, 55, 55), score=0.2),
    kitti_line(2, 30, "Car", (400, 150, 520, 240), score=0.9),
    kitti_line(2, 31, "Pedestrian", (700, 150, 740, 250), score=0.3),
]


# Masks: rectangles (rows r0..r1-1, columns c0..c1-1) in an image of H x W pixels.
def rect(size, r0, r1, c0, c1):
    h, w = size
    runs, pos = [], 0
    for c in range(c0, c1):  # runs go down column after column
        start = c * h + r0
        runs += [start - pos, r1 - r0]
        pos = start + r1 - r0
    runs.append(h * w - pos)
    return vestrim.Mask(size, runs)


def mots_line(frame, ident, cls, mask):
    h, w = mask.size
    return f"{frame} {ident} {cls} {h} {w} {mask.to_coco()}"


SIZE = (10, 20)


def kitti_mots_0002():
    gt, pred = [], []
    for t in range(4):
        gt.append(mots_line(t, 1001, 1, rect(SIZE, 0, 4, t, t + 6)))
        if t < 3:
            gt.append(mots_line(t, 2001, 2, rect(SIZE, 5, 10, t, t + 3)))
        else:
            gt.append(mots_line(t, 3001, 3, rect(SIZE, 5, 10, 8, 10)))  # read, never scored
        # two overlapping class-10 masks form one ignore region
        gt.append(mots_line(t, 10000, 10, rect(SIZE, 0, 10, 15, 20)))
        gt.append(mots_line(t, 10000, 10, rect(SIZE, 0, 5, 13, 17)))
    pred += [mots_line(t, 1, 1, rect(SIZE, 0, 4, t, t + 6)) for t in (0, 1, 3)]
    pred += [mots_line(2, 1, 1, rect(SIZE, 0, 4, 3, 9)),       # IoU 20/28
             mots_line(1, 2, 1, rect(SIZE, 0, 10, 15, 20)),    # wholly in the ignore region
             mots_line(2, 3, 1, rect(SIZE, 0, 4, 10, 12)),     # a false positive
             mots_line(0, 4, 2, rect(SIZE, 5, 10, 0, 3)),
             mots_line(1, 4, 2, rect(SIZE, 5, 10, 1, 4)),
             mots_line(2, 5, 2, rect(SIZE, 5, 10, 2, 5)),      # a switch
             mots_line(3, 6, 2, rect(SIZE, 5, 10, 13, 17))]    # half in the region: kept
    pred.sort(key=lambda line: int(line.split()[0]))
    return gt, pred


def kitti_mots_0005():
    gt = [mots_line(t, 1002, 1, rect(SIZE, 2, 8, 4, 10)) for t in (0, 1)]
    pred = [mots_line(0, 7, 1, rect(SIZE, 2, 8, 4, 10))]
    return gt, pred


def mots20_02():
    gt, pred = [], []
    for t in (1, 2, 3):
        gt.append(mots_line(t, 2001, 2, rect(SIZE, 2, 10, 2 * t, 2 * t + 4)))
        gt.append(mots_line(t, 1001, 1, rect(SIZE, 0, 4, 12, 16)))   # a car: not scored here
        gt.append(mots_line(t, 10000, 10, rect(SIZE, 0, 10, 17, 20)))
        pred.append(mots_line(t, 4, 2, rect(SIZE, 2, 10, 2 * t, 2 * t + 4)))
    pred.insert(2, mots_line(2, 5, 2, rect(SIZE, 0, 10, 17, 19)))    # in the ignore region
    pred.append(mots_line(3, 6, 2, rect(SIZE, 0, 2, 0, 4)))          # a false positive
    return gt, pred


def write(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="\n") as f:
        f.write("".join(line + "\n" for line in lines))


def main(out):
    kitti = os.path.join(out, "kitti")
    write(os.path.join(kitti, "gt", "evaluate_tracking.seqmap.training"),
          ["0000 empty 000000 000005", "0001 empty 000000 000003"])
    for seq, gt, pred in (("0000", KITTI_GT_0000, KITTI_PRED_0000),
                          ("0001", KITTI_GT_0001, KITTI_PRED_0001)):
        write(os.path.join(kitti, "gt", "label_02", f"{seq}.txt"), gt)
        write(os.path.join(kitti, "tracker_a", "data", f"{seq}.txt"), pred)

    mots = os.path.join(out, "kitti_mots")
    write(os.path.join(mots, "gt", "evaluate_mots.seqmap.val"),
          ["0002 empty 000000 000003", "0005 empty 000000 000001"])
    for seq, (gt, pred) in (("0002", kitti_mots_0002()), ("0005", kitti_mots_0005())):
        write(os.path.join(mots, "gt", "instances_txt", f"{seq}.txt"), gt)
        write(os.path.join(mots, "tracker_a", "data", f"{seq}.txt"), pred)

    mots20 = os.path.join(out, "mots20")
    gt, pred = mots20_02()
    write(os.path.join(mots20, "gt", "MOTS20-02", "gt", "gt.txt"), gt)
    write(os.path.join(mots20, "gt", "MOTS20-02", "seqinfo.ini"),
          ["[Sequence]", "name=MOTS20-02", "imDir=img1", "frameRate=30", "seqLength=3",
           f"imWidth={SIZE[1]}", f"imHeight={SIZE[0]}", "imExt=.jpg"])
    write(os.path.join(mots20, "tracker_a", "data", "MOTS20-02.txt"), pred)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
