"""KITTI tracking and MOTS files: reading, the removal rules on hand-built frames, the errors."""

import csv
import io
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vestrim
from vestrim import Mask
from vestrim.cli import main
from vestrim.kitti import kitti_sequence, read_kitti, read_kitti_seqmap
from vestrim.mot import MotFormatError
from vestrim.mots import mots_sequence, read_mots
from reference import readers


def label(frame, ident, kind, box, truncated=0, occluded=0):
    x1, y1, x2, y2 = box
    return f"{frame} {ident} {kind} {truncated} {occluded} -1 {x1} {y1} {x2} {y2} 1 1 1 0 0 0 0"


def write(tmp_path, name, lines):
    path = tmp_path / name
    path.write_text("".join(line + "\n" for line in lines))
    return str(path)


def kitti(tmp_path, gt_lines, pred_lines, num_frames=1, classes=("car", "pedestrian")):
    gt = write(tmp_path, "gt.txt", gt_lines)
    pred = write(tmp_path, "pred.txt", pred_lines)
    return kitti_sequence(read_kitti(gt), read_kitti(pred), num_frames, classes,
                          gt_path=gt, pred_path=pred)


def ids(per_frame):
    return [list(frame) for frame in per_frame]


BOX = (100, 100, 200, 200)


@pytest.mark.parametrize("gt_line, pred_line, cls, expected", [
    (label(0, 1, "Car", BOX), label(0, 5, "car", BOX), "car", ([1], [5])),
    # a prediction on a van, a seated person, an occluded or truncated object is not counted
    (label(0, 1, "Van", BOX), label(0, 5, "Car", BOX), "car", ([], [])),
    (label(0, 1, "Person", BOX), label(0, 5, "Pedestrian", BOX), "pedestrian", ([], [])),
    (label(0, 1, "Car", BOX, occluded=3), label(0, 5, "Car", BOX), "car", ([], [])),
    (label(0, 1, "Car", BOX, truncated=1), label(0, 5, "Car", BOX), "car", ([], [])),
    (label(0, 1, "Car", BOX, truncated=0.9, occluded=2.5), label(0, 5, "Car", BOX), "car",
     ([1], [5])),
    # the van is not matched (IoU 1/3), so the prediction stays and the van is not scored
    (label(0, 1, "Van", BOX), label(0, 5, "Car", (150, 100, 250, 200)), "car", ([], [5])),
    # small boxes: removed only when unmatched, at 25 pixels and below
    (label(0, 1, "Car", (0, 0, 50, 20)), label(0, 5, "Car", (0, 0, 50, 20)), "car", ([1], [5])),
    (label(0, 1, "Car", BOX), label(0, 5, "Car", (0, 0, 50, 25)), "car", ([1], [])),
    (label(0, 1, "Car", BOX), label(0, 5, "Car", (0, 0, 50, 25.5)), "car", ([1], [5])),
    # a negative id is dropped (the prediction then counts against nothing); car_2 is a car
    (label(0, -1, "Car", BOX), label(0, 5, "car_2", BOX), "car", ([], [5])),
    (label(0, 1, "Car", BOX), label(0, -5, "Car", BOX), "car", ([1], [])),
    # other types are not scored, and do not remove anything
    (label(0, 1, "Truck", BOX), label(0, 5, "Car", BOX), "car", ([], [5])),
])
def test_kitti_removals(tmp_path, gt_line, pred_line, cls, expected):
    seq = kitti(tmp_path, [gt_line], [pred_line], classes=[cls])[cls]
    assert (list(seq.gt_ids[0]), list(seq.pred_ids[0])) == expected


@pytest.mark.parametrize("pred_box, removed", [
    ((0, 0, 100, 100), True),        # wholly inside
    ((50, 0, 150, 100), False),      # exactly half inside
    ((49, 0, 149, 100), True),       # just over half
    ((0, 0, 0, 100), False),         # no area: ratio 0 (and tall enough)
])
def test_kitti_dontcare(tmp_path, pred_box, removed):
    # The don't-care box has a negative id, which does not matter for an ignore region.
    seq = kitti(tmp_path, [label(0, -1, "DontCare", (0, 0, 100, 100))],
                [label(0, 5, "Car", pred_box)])["car"]
    assert list(seq.pred_ids[0]) == ([] if removed else [5])


def test_kitti_frames_and_boxes(tmp_path):
    seq = kitti(tmp_path, [label(2, 1, "Car", BOX), label(0, 1, "Car", (1, 2, 3, 40))],
                [label(1, 4, "Car", BOX)], num_frames=3)["car"]
    assert ids(seq.gt_ids) == [[1], [], [1]] and ids(seq.pred_ids) == [[], [4], []]
    assert seq.gt_boxes[0].tolist() == [[1, 2, 3, 40]] and seq.gt_boxes[0].flags.c_contiguous


def test_kitti_duplicates_count_after_removal(tmp_path):
    # id 1 is twice in frame 0, but one of them is occluded and so removed: fine.
    lines = [label(0, 1, "Car", BOX), label(0, 1, "Car", (0, 0, 50, 50), occluded=3),
             label(0, 1, "Pedestrian", (300, 0, 350, 100))]
    seq = kitti(tmp_path, lines, [])
    assert ids(seq["car"].gt_ids) == [[1]] and ids(seq["pedestrian"].gt_ids) == [[1]]
    lines.append(label(0, 1, "Car", (400, 0, 450, 50)))
    with pytest.raises(MotFormatError, match=r"gt.txt:4: id 1 occurs twice in frame 0 among the "
                                             r"car boxes scored$"):
        kitti(tmp_path, lines, [])


def test_kitti_plain_and_line_by_line_reading_agree(tmp_path):
    lines = [label(0, 1, "car_2", (-1.5, 2e1, .5, 7.), truncated=1.9, occluded=-0.5),
             "  3\t+4 DontCare 0 1 x 1 2 3 4", label(2, -7, "CYCLIST", (0, 0, 1, 1))]
    # The two paths of the Python reference reader (the native reader is checked against it).
    plain = readers.read_kitti(write(tmp_path, "a.txt", lines))
    lines[1] = lines[1].replace("3", "3.0", 1)  # an integral decimal: read line by line
    slow = readers.read_kitti(write(tmp_path, "b.txt", lines))
    for name in ("frames", "ids", "types", "truncated", "occluded", "boxes", "lines"):
        assert getattr(plain, name).tobytes() == getattr(slow, name).tobytes()  # no -0.0 either
        assert getattr(plain, name).dtype == getattr(slow, name).dtype
    assert plain.truncated.tolist() == [1, 0, 0] and plain.types.tolist() == [0, 8, 5]


@pytest.mark.parametrize("line, message", [
    ("0 1 Car 0 0", "expected at least 10 space-separated values, found 5"),
    ("0 1 Bus 0 0 0 1 1 2 2", "unknown object type 'Bus'"),
    ("x 1 Car 0 0 0 1 1 2 2", "frame (1st value) must be an integer, got 'x'"),
    ("0 1 Car 0 nan 0 1 1 2 2", "occluded must be finite, got 'nan'"),
    ("0 1 Car 0 0 0 1 1 2 y", "y2 (10th value) must be a number, got 'y'"),
])
def test_kitti_format_errors(tmp_path, line, message):
    path = write(tmp_path, "bad.txt", ["", label(0, 1, "Car", BOX), line])
    with pytest.raises(MotFormatError) as info:
        read_kitti(path)
    assert str(info.value) == f"{path}:3: {message}"


def test_kitti_frame_range(tmp_path):
    # Don't-care lines and negative ids are not range-checked; other lines are, whatever the type.
    ok = [label(5, -1, "DontCare", BOX), label(7, -1, "Car", BOX)]
    assert ids(kitti(tmp_path, ok, [], num_frames=2)["car"].gt_ids) == [[], []]
    with pytest.raises(MotFormatError) as info:
        kitti(tmp_path, ok, [label(2, 3, "Misc", BOX)], num_frames=2)
    assert str(info.value).endswith("pred.txt:1: frame 2 is outside the sequence's frames 0 to 1")


@pytest.mark.parametrize("text, last_frame, expected", [
    ("0000 empty 000000 000154\n\n0001 empty 0 3\n", False, [("0000", 154), ("0001", 3)]),
    ("0002 empty 000000 000232\n", True, [("0002", 233)]),
])
def test_seqmaps(tmp_path, text, last_frame, expected):
    path = tmp_path / "seqmap"
    path.write_text(text)
    assert read_kitti_seqmap(path, last_frame=last_frame) == expected


# Masks: 4 x 4 images, a mask covering whole columns [a, b) (runs go down the columns).
H = W = 4


def cols(a, b, rows=H):
    if rows == H:
        return Mask((H, W), [a * H, (b - a) * H, (W - b) * H])
    return Mask((H, W), [a * H, rows, H * W - a * H - rows])  # top `rows` pixels of column a


def mots_line(frame, ident, cls, mask):
    h, w = mask.size
    return f"{frame} {ident} {cls} {h} {w} {mask.to_coco()}"


def mots(tmp_path, gt_lines, pred_lines, first=0, num_frames=1, classes=("car", "pedestrian")):
    gt = write(tmp_path, "gt.txt", gt_lines)
    pred = write(tmp_path, "pred.txt", pred_lines)
    return mots_sequence(read_mots(gt), read_mots(pred), first, num_frames, classes,
                         gt_path=gt, pred_path=pred)


def test_read_mots(tmp_path):
    path = write(tmp_path, "m.txt", [mots_line(3, 2001, 2, cols(1, 2)), "",
                                     mots_line("1.0", 10000, 10, cols(0, 1))])  # value by value
    table = read_mots(path)
    assert table.frames.tolist() == [3, 1] and table.classes.tolist() == [2, 10]
    assert table.lines.tolist() == [1, 3] and table.areas.tolist() == [4, 4]
    assert table.masks[0].counts == [4, 4, 8] and table.last_frame == 3


@pytest.mark.parametrize("gt_lines, pred_mask, expected", [
    # unmatched, more than half in the ignore region (merged from two overlapping masks): removed
    ([mots_line(0, 10000, 10, cols(0, 2)), mots_line(0, 10000, 10, cols(1, 3))], cols(1, 4),
     ([], [])),
    # exactly half inside: kept
    ([mots_line(0, 10000, 10, cols(0, 2))], cols(1, 3), ([], [1001])),
    # matched to a car: kept even inside the region
    ([mots_line(0, 10000, 10, cols(0, 1)), mots_line(0, 1, 1, cols(1, 4))], cols(1, 4),
     ([1], [1001])),
    # below the matching threshold: unmatched, then inside the region: removed
    ([mots_line(0, 10000, 10, cols(0, 2)), mots_line(0, 1, 1, cols(2, 3, rows=1))],
     cols(0, 3), ([1], [])),
])
def test_mots_ignore_region(tmp_path, gt_lines, pred_mask, expected):
    seq = mots(tmp_path, gt_lines, [mots_line(0, 1001, 1, pred_mask)], classes=["car"])["car"]
    assert (seq.gt_ids[0], seq.pred_ids[0]) == expected
    assert seq.similarity[0].shape == (len(expected[0]), len(expected[1]))


def test_mots_classes_and_similarity(tmp_path):
    gt = [mots_line(0, 1, 1, cols(0, 2)), mots_line(0, 2, 2, cols(2, 3)),
          mots_line(0, 3, 3, cols(3, 4)), mots_line(1, 1, 1, cols(0, 1))]
    pred = [mots_line(0, 7, 2, cols(2, 4)), mots_line(0, 8, 1, cols(1, 2)),
            mots_line(1, 8, 1, cols(0, 1))]
    result = mots(tmp_path, gt, pred, first=0, num_frames=3)
    car, ped = result["car"], result["pedestrian"]
    assert car.gt_ids == [[1], [1], []] and car.pred_ids == [[8], [8], []]
    assert [s.tolist() for s in car.similarity] == [[[0.5]], [[1.0]], []]
    assert ped.gt_ids == [[2], [], []] and ped.similarity[0].tolist() == [[0.5]]


@pytest.mark.parametrize("gt_lines, pred_lines, message", [
    # the same id for a car and a pedestrian; class-10 lines may share ids
    ([mots_line(0, 10000, 10, cols(0, 1)), mots_line(0, 10000, 10, cols(0, 1)),
      mots_line(0, 7, 1, cols(1, 2)), mots_line(0, 7, 2, cols(2, 3))], [],
     "gt.txt:4: id 7 occurs twice in frame 0"),
    ([], [mots_line(0, 7, 3, cols(1, 2)), mots_line(0, 7, 1, cols(2, 3))],
     "pred.txt:2: id 7 occurs twice in frame 0"),
    ([mots_line(0, 1, 1, cols(0, 2)), mots_line(0, 2, 2, cols(1, 3))], [],
     "gt.txt:2: mask overlaps the mask of line 1 in frame 0"),
    ([], [mots_line(0, 1, 1, cols(0, 2)), mots_line(0, 2, 5, cols(1, 3))],
     "pred.txt:2: mask overlaps the mask of line 1 in frame 0"),
    # predictions have no ignore region: two class-10 masks of theirs may not overlap either
    ([], [mots_line(0, 10000, 10, cols(0, 2)), mots_line(0, 10001, 10, cols(1, 3))],
     "pred.txt:2: mask overlaps the mask of line 1 in frame 0"),
    ([mots_line(0, 1, 1, cols(0, 2)), mots_line(0, 10000, 10, cols(3, 4)),
      mots_line(0, 10000, 10, cols(1, 2, rows=1))], [],
     "gt.txt:1: mask overlaps the ignore region (class 10) in frame 0"),
    ([mots_line(0, 1, 1, cols(0, 2))], ["0 2 2 4 5 " + Mask((4, 5), [20]).to_coco()],
     "pred.txt:1: mask size 4x5 differs from 4x4, the size of the other masks in frame 0"),
    ([mots_line(3, 1, 1, cols(0, 2))], [], "gt.txt:1: frame 3 is outside the sequence's "
     "frames 0 to 1"),
    (["0 1 1 4 4 0g"], [], "gt.txt:1: mask: "),
    (["0 1 car 4 4 0g"], [], "gt.txt:1: class (3rd value) must be an integer, got 'car'"),
])
def test_mots_errors(tmp_path, gt_lines, pred_lines, message):
    with pytest.raises(MotFormatError) as info:
        mots(tmp_path, gt_lines, pred_lines, num_frames=2)
    assert str(info.value).startswith(str(tmp_path / message))


def test_mots_ignore_lines_outside_are_skipped(tmp_path):
    gt = [mots_line(9, 10000, 10, cols(0, 4)), mots_line(0, 10000, 10, cols(0, 1))]
    seq = mots(tmp_path, gt, [mots_line(1, 5, 1, cols(0, 1))], first=1, num_frames=1)["car"]
    assert seq.pred_ids == [[5]]


# --- the protocols on the bundled examples ------------------------------------------------------

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

# Hand-worked from the objects listed in examples/make_kitti_mots.py. Per (class, sequence):
# (TP, FP, FN, IDSW, Frag, IDTP, IDFP, IDFN, GT dets, pred dets, GT ids, pred ids) and the HOTA
# per alpha as (number of alphas, DetA, AssA) runs.
S = math.sqrt
KITTI = {
    # car: car 0 tracked as 10 then 11, car_2 7 found at IoU 0.62 (so only up to alpha 0.60),
    # one false positive on the dropped negative-id car; van, occluded, truncated, don't-care,
    # small and negative-id predictions removed.
    ("car", "0000"): ((6, 1, 0, 1, 0, 4, 3, 2, 6, 7, 2, 4),
                      [(12, 6 / 7, (3 * .6 + 2 * .4 + 1) / 6), (7, 5 / 8, (3 * .6 + 2 * .4) / 5)]),
    # the repeated id 30 of frame 0 is removed by the don't-care rule; frame 1 is missed
    ("car", "0001"): ((2, 0, 1, 0, 0, 2, 0, 1, 3, 2, 1, 1), [(19, 2 / 3, 2 / 3)]),
    ("car", "COMBINED"): ((8, 1, 1, 1, 0, 6, 3, 3, 9, 9, 3, 5), None),
    # pedestrian 4 missed in frame 2, which has no pedestrian prediction: no fragmentation;
    # the prediction on the seated person is removed
    ("pedestrian", "0000"): ((3, 0, 1, 0, 0, 3, 0, 1, 4, 3, 1, 1), [(19, 3 / 4, 3 / 4)]),
    ("pedestrian", "0001"): ((0, 1, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1), [(19, 0.0, 0.0)]),
    ("pedestrian", "COMBINED"): ((3, 1, 1, 0, 0, 3, 1, 1, 4, 4, 1, 2), [(19, 3 / 5, 3 / 4)]),
}
KITTI_MOTS = {
    # car 1001 tracked throughout, IoU 20/28 in frame 2 (so only up to alpha 0.70); the
    # prediction in the ignore region is removed, the one beside it is a false positive
    ("car", "0002"): ((4, 1, 0, 0, 0, 4, 1, 0, 4, 5, 1, 2),
                      [(14, 4 / 5, 1.0), (5, 3 / 6, 3 / 5)]),
    ("car", "0005"): ((1, 0, 1, 0, 0, 1, 0, 1, 2, 1, 1, 1), [(19, 1 / 2, 1 / 2)]),
    ("car", "COMBINED"): ((5, 1, 1, 0, 0, 5, 1, 1, 6, 6, 2, 3), None),
    # pedestrian 2001 tracked as 4, then 5; the prediction half in the region is kept
    ("pedestrian", "0002"): ((3, 1, 0, 1, 0, 2, 2, 1, 3, 4, 1, 3),
                             [(19, 3 / 4, (2 * 2 / 3 + 1 / 3) / 3)]),
    ("pedestrian", "0005"): ((0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), None),
    ("pedestrian", "COMBINED"): ((3, 1, 0, 1, 0, 2, 2, 1, 3, 4, 1, 3), None),
}
MOTS20 = {
    ("pedestrian", "MOTS20-02"): ((3, 1, 0, 0, 0, 3, 1, 0, 3, 4, 1, 2), [(19, 3 / 4, 1.0)]),
    ("pedestrian", "COMBINED"): ((3, 1, 0, 0, 0, 3, 1, 0, 3, 4, 1, 2), [(19, 3 / 4, 1.0)]),
}
COUNTS = [("clear", "num_matches"), ("clear", "num_false_positives"), ("clear", "num_misses"),
          ("clear", "num_switches"), ("clear", "frag"), ("identity", "idtp"),
          ("identity", "idfp"), ("identity", "idfn"), ("count", "num_gt"),
          ("count", "num_pred"), ("count", "num_gt_ids"), ("count", "num_pred_ids")]


@pytest.mark.parametrize("protocol, folder, expected", [
    ("kitti", "kitti", KITTI), ("kitti-mots", "kitti_mots", KITTI_MOTS),
    ("mots20", "mots20", MOTS20)])
def test_bundled_examples(protocol, folder, expected):
    result = vestrim.evaluate_benchmark(EXAMPLES / folder / "gt", [EXAMPLES / folder / "tracker_a"],
                                        protocol=protocol)
    doc = result.to_dict()
    assert doc["protocol"] == protocol and doc["iou_threshold"] == 0.5
    got, combinations = {}, []
    for entry in doc["trackers"]:
        assert entry["name"] == "tracker_a"
        if not entry["sequences"]:  # the combinations of the classes follow them
            combinations.append(entry["class"])
            continue
        for seq in entry["sequences"] + [dict(entry["combined"], name="COMBINED")]:
            got[entry["class"], seq["name"]] = seq
    assert list(got) == list(expected)
    assert combinations == (["cls_comb_cls_av", "cls_comb_det_av"] if protocol == "kitti" else [])
    for key, (counts, hota_runs) in expected.items():
        seq = got[key]
        assert tuple(seq[f][a] for f, a in COUNTS) == counts, key
        tp, fp, fn, idsw = counts[:4]
        idtp, idfp, idfn = counts[5:8]
        mota = (tp - fp - idsw) / max(1, tp + fn) if tp + fn else 0.0
        assert seq["clear"]["mota"] == pytest.approx(mota, abs=1e-12)
        idf1 = 2 * idtp / max(1, 2 * idtp + idfp + idfn)
        assert seq["identity"]["idf1"] == pytest.approx(idf1, abs=1e-12)
        if hota_runs is not None:
            per_alpha = [S(det * ass) for n, det, ass in hota_runs for _ in range(n)]
            assert seq["hota"]["hota_alphas"] == pytest.approx(per_alpha, abs=1e-12)
            assert seq["hota"]["hota"] == pytest.approx(sum(per_alpha) / 19, abs=1e-12)


def test_kitti_motp_and_combined_hota():
    result = vestrim.evaluate_benchmark(EXAMPLES / "kitti" / "gt",
                                        [EXAMPLES / "kitti" / "tracker_a"], protocol="kitti",
                                        classes=["car"])
    car = result.trackers[0]  # then its class combinations
    assert car.class_name == "car" and car.sequences[0].clear.motp == pytest.approx(
        (5 + 0.62) / 6, abs=1e-12)
    # COMBINED: per alpha the summed counts; AssA weighted by each sequence's TP
    per_alpha = ([S(8 / 10 * (6 * .6 + 2 * 2 / 3) / 8)] * 12
                 + [S(7 / 11 * (5 * .52 + 2 * 2 / 3) / 7)] * 7)
    assert car.combined.hota.hota_alphas == pytest.approx(per_alpha, abs=1e-12)


def test_example_script_reproduces_the_files(tmp_path):
    subprocess.run([sys.executable, str(EXAMPLES / "make_kitti_mots.py"), str(tmp_path)],
                   check=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    for folder in ("kitti", "kitti_mots", "mots20"):
        made = sorted(p.relative_to(tmp_path) for p in (tmp_path / folder).rglob("*")
                      if p.is_file())
        kept = sorted(p.relative_to(EXAMPLES) for p in (EXAMPLES / folder).rglob("*")
                      if p.is_file())
        assert made == kept
        assert all((tmp_path / p).read_bytes() == (EXAMPLES / p).read_bytes() for p in made)


def test_load_benchmark_masks():
    [seq] = vestrim.load_benchmark(EXAMPLES / "mots20" / "gt", EXAMPLES / "mots20" / "tracker_a",
                                   protocol="mots20")
    assert isinstance(seq, vestrim.MaskBenchmarkSequence) and seq.name == "MOTS20-02"
    assert [list(i) for i in seq.pred_ids] == [[4], [4], [4, 6]]  # 5 lay in the ignore region
    assert [s.shape for s in seq.similarity] == [(1, 1), (1, 1), (1, 2)]
    assert seq.count == vestrim.Count(3, 4, 1, 2)


def run_cli(*argv):
    out, err = io.StringIO(), io.StringIO()
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        status = main([str(a) for a in argv])
    finally:
        sys.stdout, sys.stderr = saved
    return status, out.getvalue(), err.getvalue()


def copy_kitti(tmp_path):
    shutil.copytree(EXAMPLES / "kitti", tmp_path / "kitti")
    return tmp_path / "kitti" / "gt", tmp_path / "kitti" / "tracker_a"


@pytest.mark.parametrize("argv, message", [
    (["--split", "test"], "no sequence map {gt}/evaluate_tracking.seqmap.test (choose the split "
                          "with --split, or give --seqmap FILE)"),
    (["--classes", "car,cyclist"], "--classes: kitti scores car, pedestrian, not 'cyclist'"),
    (["--seqmap", "{gt}/evaluate_tracking.seqmap.training", "--split", "training"],
     "give a sequence map or a split, not both"),
    (["--seqmap", "{gt}/bad.seqmap"], "{gt}/bad.seqmap:1: sequence name '../x' is not a plain "
                                      "file name"),
    (["--seqmap", "{gt}/other.seqmap"], "sequence 0009 of {gt}/other.seqmap has no ground truth "
                                        "({gt}/label_02/0009.txt not found)"),
])
def test_kitti_command_line_errors(tmp_path, argv, message):
    gt, tracker = copy_kitti(tmp_path)
    (gt / "bad.seqmap").write_text("../x empty 0 3\n")
    (gt / "other.seqmap").write_text("0009 empty 0 3\n")
    status, out, err = run_cli(gt, tracker, "--protocol", "kitti",
                               *[a.format(gt=gt) for a in argv])
    assert (status, out, err) == (2, "", f"vestrim: error: {message.format(gt=gt)}\n")


@pytest.mark.parametrize("argv, message", [
    (["--protocol", "mot17", "--split", "val"], "--split applies under kitti, kitti-mots only"),
    (["--classes", "pedestrian"], "--classes applies under the benchmark protocols (under "
                                  "plain, --gt-classes selects ground-truth classes by number)"),
    (["--protocol", "mots20", "--classes", "car"], "--classes: mots20 scores pedestrian, not "
                                                   "'car'"),
])
def test_class_and_split_options(argv, message):
    status, _, err = run_cli(EXAMPLES / "gt", EXAMPLES / "pred", *argv)
    assert (status, err) == (2, f"vestrim: error: {message}\n")


def test_kitti_command_line_split_and_formats(tmp_path):
    gt, tracker = copy_kitti(tmp_path)
    shutil.copy(gt / "evaluate_tracking.seqmap.training", gt / "evaluate_tracking.seqmap.val")
    (gt / "evaluate_tracking.seqmap.val").write_text("0001 empty 000000 000003\n")
    status, out, _ = run_cli(gt, tracker, "--protocol", "kitti", "--split", "val", "--format",
                             "csv", "--classes", "Pedestrian")
    rows = list(csv.reader(io.StringIO(out)))
    assert status == 0 and [r[:3] for r in rows[1:3]] == [["tracker_a", "pedestrian", "0001"],
                                                          ["tracker_a", "pedestrian", "COMBINED"]]
    assert [r[1] for r in rows[3:]] == ["cls_comb_cls_av", "cls_comb_det_av"]
