"""Multi-class protocols: BDD100K JSON and MOTChallenge files with a class column, per-class
removal, empty cells and the class combinations."""

import json
import math
import types
from pathlib import Path

import numpy as np
import pytest

import vestrim
from vestrim.benchmark import Count, SequenceResult
from vestrim.combination import combine_classes
from vestrim.combination import combine
from test_benchmark import run_cli

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MULTI = dict(protocol="mot-multiclass", class_names={1: "pedestrian", 3: "car", 4: "bus"},
             ignore_classes={13})


def _entries(result):
    return {t.class_name: t for t in result.trackers}


def test_worked_example_and_its_bdd100k_twin():
    result = vestrim.evaluate_benchmark(EXAMPLES / "multiclass" / "gt",
                                        [EXAMPLES / "multiclass" / "trackers" / "alpha"], **MULTI)
    got = _entries(result)
    assert list(got) == ["pedestrian", "car", "bus", "cls_comb_cls_av", "cls_comb_det_av"]
    clear = {k: (t.combined.clear.num_matches, t.combined.clear.num_misses,
                 t.combined.clear.num_false_positives, t.combined.clear.num_switches,
                 t.combined.clear.num_frames) for k, t in got.items()}
    assert clear == {"pedestrian": (2, 1, 1, 0, 3), "car": (2, 0, 1, 1, 3), "bus": (0, 0, 1, 0, 0),
                     "cls_comb_cls_av": (4, 1, 3, 1, 6), "cls_comb_det_av": (4, 1, 3, 1, 6)}
    mota = {k: t.combined.clear.mota for k, t in got.items()}
    assert mota == pytest.approx({"pedestrian": 1 / 3, "car": 0.0, "bus": -1.0,
                                  "cls_comb_cls_av": -2 / 9, "cls_comb_det_av": 0.0}, abs=1e-15)
    idf1 = {k: t.combined.identity.idf1 for k, t in got.items()}
    assert idf1 == pytest.approx({"pedestrian": 2 / 3, "car": 0.4, "bus": 0.0,
                                  "cls_comb_cls_av": 16 / 45, "cls_comb_det_av": 0.5}, abs=1e-15)
    # Per sequence the bus cell (predictions, no ground truth) reports MOTA 0, no frames, MLR 1.
    bus = got["bus"].sequences[0]
    assert (bus.clear.mota, bus.clear.num_frames, bus.derived_clear().mlr) == (0.0, 0, 1.0)
    # Count keeps the video's frames; combinations drop them.
    assert bus.to_dict()["count"]["num_frames"] == 3 and got["bus"].combined.count.num_frames is None
    assert got["cls_comb_det_av"].combined.derived_clear().fp_per_frame == 3 / 6

    # The same boxes as BDD100K JSON give the same document, plus the super-categories.
    bdd = vestrim.evaluate_benchmark(EXAMPLES / "bdd100k" / "gt",
                                     [EXAMPLES / "bdd100k" / "trackers" / "alpha"],
                                     protocol="bdd100k", classes=["Pedestrian", "car", "bus"])
    doc, twin = bdd.to_dict(), result.to_dict()
    assert [t["class"] for t in doc["trackers"][5:]] == ["HUMAN", "VEHICLE"]
    assert doc["trackers"][:5] == twin["trackers"]
    vehicle = _entries(bdd)["VEHICLE"].combined.clear
    assert (vehicle.num_false_positives, vehicle.num_frames, vehicle.mota) == (2, 3, -0.5)


def _bdd(tmp_path, gt_frames, pred_frames, name="v"):
    for side, frames in (("gt", gt_frames), ("trk", pred_frames)):
        (tmp_path / side).mkdir(exist_ok=True)
        (tmp_path / side / f"{name}.json").write_text(json.dumps(frames))
    return tmp_path / "gt", tmp_path / "trk"


def _label(category, ident, box, **attributes):
    label = {"category": category, "id": ident,
             "box2d": dict(zip(("x1", "y1", "x2", "y2"), box))}
    if attributes:
        label["attributes"] = attributes
    return label


def test_crowd_regions_remove_unmatched_predictions_of_every_class(tmp_path):
    gt = [{"index": 5, "labels": [_label("car", "7", (0, 0, 10, 10), Crowd=False),
                                  _label("car", None, (20, 0, 40, 20), Crowd=True),
                                  _label("trailer", None, (100, 0, 110, 10))]}]
    pred = [{"index": 0, "labels": [
        _label("car", 1, (0, 0, 10, 10)),        # matches the car
        _label("car", "2", (25, 5, 35, 15)),     # inside the crowd: removed
        _label("car", 3, (15, 0, 25, 10)),       # IoA exactly 0.5: kept, a false positive
        _label("pedestrian", 4, (30, 0, 34, 8)),  # a car crowd removes pedestrians too
        _label("bus", 5, (101, 0, 109, 10)),     # a distractor region removes it
        _label("trailer", 6, (0, 0, 10, 10)),    # never scored
        _label("car", "002", (100, 0, 110, 10)),  # id 2 again, but removed: no repeat
    ]}]
    gt_dir, trk = _bdd(tmp_path, gt, pred)
    seqs = vestrim.load_benchmark(gt_dir, trk, protocol="bdd100k")
    kept = {s.class_name: (len(s.gt_ids[0]), len(s.pred_ids[0])) for s in seqs if s.count.num_pred
            or s.count.num_gt}
    assert kept == {"car": (1, 2)}
    car = next(s for s in seqs if s.class_name == "car")
    assert car.pred_boxes[0].tolist() == [[0, 0, 10, 10], [15, 0, 25, 10]]
    assert car.pred_ids[0] == [0, 1] and car.gt_ids[0] == [0]  # relabelled per cell


def test_frames_pair_by_position_in_index_order(tmp_path):
    gt = [{"index": i, "labels": [_label("car", 1, (i, 0, i + 10, 10))]} for i in range(3)]
    pred = [{"index": k, "labels": [_label("car", "007", (i, 0, i + 10, 10))]}
            for k, i in ((30, 2), (10, 0), (20, 1))]
    gt_dir, trk = _bdd(tmp_path, gt, pred)
    result = vestrim.evaluate_benchmark(gt_dir, [trk], protocol="bdd100k", classes="car")
    car = result.trackers[0].combined.clear
    assert (car.num_matches, car.num_false_positives, car.num_switches) == (3, 0, 0)


@pytest.mark.parametrize("gt, pred, message", [
    ([{"index": 0, "labels": [_label("car", 1, (0, 0, 1, 1))]}],
     [{"index": 0, "labels": [_label("Car", 1, (0, 0, 1, 1))]}],
     "trk/v.json: frame 0 (index 0), label 0: unknown category 'Car'"),
    ([{"index": 0, "labels": [_label("car", 1, (0, 0, 1, 1), Occluded=True)]}], [],
     "gt/v.json: frame 0 (index 0), label 0: attributes without Crowd"),
    ([{"index": 0, "labels": []}], [{"index": 0, "labels": [_label("car", -3, (0, 0, 1, 1))]}],
     "trk/v.json: frame 0 (index 0), label 0: id -3 is outside 0 to 2^63 - 1"),
    ([{"index": 0, "labels": []}], [{"index": 0, "labels": [_label("car", "x1", (0, 0, 1, 1))]}],
     "label 0: id must be a whole number or a string of decimal digits, got 'x1'"),
    ([{"index": 0, "labels": []}], [{"index": 0, "labels": [_label("car", 1, (0, 0, "1", 1))]}],
     "label 0: box2d.x2 must be a number, got '1'"),
    ([{"frameIndex": 0, "labels": []}], [], "gt/v.json: frame 0: no index"),
    ([{"index": 0, "labels": []}], [{"index": 0, "labels": []}, {"index": 1, "labels": []}],
     "trk/v.json: 2 frames, but the ground truth"),
    ([{"index": 0, "labels": [_label("car", 1, (0, 0, 9, 9)), _label("car", 1, (20, 0, 29, 9))]}],
     [{"index": 0, "labels": []}],
     "gt/v.json: frame 0 (index 0), label 1: id 1 occurs twice among the car boxes"),
])
def test_bad_files_stop_the_run_naming_file_frame_and_label(tmp_path, gt, pred, message):
    gt_dir, trk = _bdd(tmp_path, gt, pred)
    status, _, err = run_cli(gt_dir, trk, "--protocol", "bdd100k", "--jobs", "1")
    assert status == 2 and err.count("\n") == 1, err
    assert message in err


@pytest.mark.parametrize("kwargs, message", [
    (dict(class_names={1: "combined"}), "reserved"),
    (dict(class_names={1: "car", 2: "car"}), "given to two classes"),
    (dict(class_names={1: "car"}, ignore_classes={1}), "also a named class"),
    (dict(class_names={1: "car"}, classes=["bus"]), "not in the class-name map"),
    (dict(), "needs a class-name map"),
])
def test_class_maps_are_checked(kwargs, message):
    with pytest.raises(ValueError, match=message):
        vestrim.evaluate_benchmark(EXAMPLES / "multiclass" / "gt",
                                   [EXAMPLES / "multiclass" / "trackers" / "alpha"],
                                   protocol="mot-multiclass", **kwargs)


def _mot(tmp_path, gt: str, pred: str):
    seq = tmp_path / "gt" / "s" / "gt"
    seq.mkdir(parents=True)
    (seq / "gt.txt").write_text(gt)
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "s.txt").write_text(pred)
    return tmp_path / "gt", [tmp_path / "t"]


def test_an_unmapped_class_is_an_error_at_its_line(tmp_path):
    gt, trackers = _mot(tmp_path, "1,1,0,0,10,10,1,3,1\n",
                        "1,1,0,0,10,10,1,1,1\n1,1,0,0,10,10,1,5,1\n")
    with pytest.raises(vestrim.mot.MotFormatError, match=r"s.txt:2: class 5 \(8th value\)"):
        vestrim.evaluate_benchmark(gt, trackers, protocol="mot-multiclass",
                                   class_names="1=pedestrian,3=car")


def test_one_id_in_two_classes_of_a_frame_is_two_tracks(tmp_path):
    lines = "1,4,0,0,10,10,1,1,1\n1,4,50,0,10,10,1,3,1\n"
    gt, trackers = _mot(tmp_path, lines, lines + "1,4,80,0,10,10,1,3,1\n")
    with pytest.raises(vestrim.mot.MotFormatError,
                       match=r"s.txt:3: id 4 occurs twice in frame 1 among the car boxes"):
        vestrim.evaluate_benchmark(gt, trackers, protocol="mot-multiclass",
                                   class_names="1=pedestrian,3=car")
    (trackers[0] / "s.txt").write_text(lines)
    result = vestrim.evaluate_benchmark(gt, trackers, protocol="mot-multiclass",
                                        class_names="1=pedestrian,3=car")
    assert [t.combined.clear.num_matches for t in result.trackers[:2]] == [1, 1]


def _cell(mota, hota_0):
    clear = combine([], convention="benchmark").clear
    clear = types.SimpleNamespace(**{**vars(clear), "mota": mota})
    hota = combine([], convention="benchmark").hota
    hota = types.SimpleNamespace(**{**vars(hota), "hota_alphas": [hota_0] * 19})
    identity = combine([]).identity
    return SequenceResult("COMBINED", clear, identity, hota, Count(0, 0, 0, 0))


def test_class_mean_sums_eight_classes_pairwise():
    values = [1.0, 1e-16, 1e-16, 1e-16, 1e-16, 1e-16, 1e-16, 1e-16]
    values_, derived = combine_classes([_cell(v, v) for v in values], ("clear", "hota"), True)
    mean = SequenceResult("COMBINED", values_["clear"], None, values_["hota"], Count(0, 0, 0, 0),
                          derived)
    left_to_right = sum(values) / 8
    pairwise = float(np.add.reduce(np.array(values))) / 8
    assert pairwise != left_to_right
    assert mean.clear.mota == pairwise and mean.derived_hota().hota_0 == pairwise
    # Per-alpha curves are summed class by class, left to right.
    assert mean.hota.hota_alphas[0] == left_to_right
    assert math.isclose(mean.hota.hota, left_to_right)


@pytest.mark.parametrize("ident, message", [
    (2**63, "id 9223372036854775808 is outside 0 to 2^63 - 1"),
    ("99999999999999999999", "id '99999999999999999999' is beyond 2^63 - 1"),
    (True, "got True"), ("+5", "got '+5'"), ("٣", "got '٣'")])
def test_ids_beyond_64_bits_or_not_plain_digits_are_refused(tmp_path, ident, message):
    gt_dir, trk = _bdd(tmp_path, [{"index": 0, "labels": []}],
                       [{"index": 0, "labels": [_label("car", 1, (0, 0, 1, 1)),
                                                _label("car", ident, (0, 0, 1, 1))]}])
    with pytest.raises(vestrim.mot.MotFormatError, match=r"frame 0 \(index 0\), label 1: .*"
                       + message.replace("^", r"\^").replace("+", r"\+")):
        vestrim.load_benchmark(gt_dir, trk, protocol="bdd100k")


def test_kitti_classes_combine_too():
    result = vestrim.evaluate_benchmark(EXAMPLES / "kitti" / "gt", [EXAMPLES / "kitti" / "tracker_a"],
                                        protocol="kitti")
    car, ped, cls_av, det_av = (t.combined for t in result.trackers)
    assert [t.class_name for t in result.trackers][2:] == ["cls_comb_cls_av", "cls_comb_det_av"]
    assert cls_av.clear.mota == (car.clear.mota + ped.clear.mota) / 2
    assert cls_av.identity.idf1 == (car.identity.idf1 + ped.identity.idf1) / 2
    tp = car.clear.num_matches + ped.clear.num_matches
    fn = car.clear.num_misses + ped.clear.num_misses
    fp = car.clear.num_false_positives + ped.clear.num_false_positives
    idsw = car.clear.num_switches + ped.clear.num_switches
    assert det_av.clear.mota == (tp - fp - idsw) / max(1, tp + fn)
    assert det_av.clear.num_frames == car.clear.num_frames + ped.clear.num_frames
    assert cls_av.derived_hota().hota_loca_0 == (car.derived_hota().hota_loca_0
                                                 + ped.derived_hota().hota_loca_0) / 2
