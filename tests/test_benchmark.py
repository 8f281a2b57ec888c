"""Benchmark runs: folder layout, protocols and their removals, several trackers, combination
under the benchmark convention, the derived HOTA columns and the output formats."""

import io
import json
import math
import os
import stat
import subprocess
import sys
import types

import numpy as np
import pytest

import vestrim
from vestrim import _native, cli
from vestrim.benchmark import ATTRIBUTES, BenchmarkError, BenchmarkResult, Count, SequenceResult, \
    TrackerResult
from vestrim.derived import derive_hota

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MOT17 = os.path.join(ROOT, "examples", "mot17")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    return str(path)


def bench(tmp_path, gt, trackers, seqinfo=None):
    """A benchmark folder: gt {seq: text}, trackers {name: {seq: text}}, seqinfo {seq: length}."""
    for seq, text in gt.items():
        write(tmp_path / "gt" / seq / "gt" / "gt.txt", text)
    for seq, length in (seqinfo or {}).items():
        write(tmp_path / "gt" / seq / "seqinfo.ini", f"[Sequence]\nseqLength={length}\n")
    for name, files in trackers.items():
        for seq, text in files.items():
            write(tmp_path / name / f"{seq}.txt", text)
    return str(tmp_path / "gt"), [str(tmp_path / name) for name in trackers]


def run_cli(*argv):
    out, err = io.StringIO(), io.StringIO()
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        try:
            status = cli.main([str(a) for a in argv])
        except SystemExit as e:
            status = e.code
    finally:
        sys.stdout, sys.stderr = saved
    return status, out.getvalue(), err.getvalue()


def loaded(tmp_path, gt_lines, pred_lines, protocol="mot17"):
    gt, [tracker] = bench(tmp_path, {"s": "".join(l + "\n" for l in gt_lines)},
                          {"t": {"s": "".join(l + "\n" for l in pred_lines)}})
    [seq] = vestrim.load_benchmark(gt, tracker, protocol=protocol)
    return seq


# --- removals -----------------------------------------------------------------------------------

PED = "1,1,0,0,10,10,1,1,1"  # a scored pedestrian at (0, 0, 10, 10)


@pytest.mark.parametrize("gt_line, pred_box, protocol, removed, gt_scored", [
    ("1,5,50,0,10,10,0,7,1", "50,0,10,10", "mot17", True, False),     # static person
    ("1,5,50,0,10,10,0,8,1", "50,0,10,5", "mot17", True, False),      # distractor, IoU 0.5
    ("1,5,50,0,10,10,0,8,1", "50,0,10,4.99", "mot17", False, False),  # IoU just below 0.5
    ("1,5,50,0,10,10,0,12,1", "50,0,10,10", "mot16", True, False),    # reflection
    ("1,5,50,0,10,10,1,2,1", "50,0,10,10", "mot17", True, False),     # person on vehicle
    ("1,5,50,0,10,10,0,1,1", "50,0,10,10", "mot17", False, False),    # zero-marked pedestrian
    ("1,5,50,0,10,10,0.5,1,1", "50,0,10,10", "mot17", False, False),  # conf 0.5 counts as 0
    ("1,5,50,0,10,10,0.5,1,1", "50,0,10,10", "plain", False, True),   # ... not under plain
    ("1,5,50,0,10,10,1,1.5,1", "50,0,10,10", "mot17", False, True),   # class 1.5 is class 1
    ("1,5,50,0,10,10,1,3,1", "50,0,10,10", "mot17", False, False),    # a car
    ("1,5,50,0,10,10,0,6,1", "50,0,10,10", "mot17", False, False),    # vehicle: kept in MOT17
    ("1,5,50,0,10,10,0,6,1", "50,0,10,10", "mot20", True, False),     # ... a distractor in MOT20
    ("1,5,50,0,10,10,1,7,1", "50,0,10,10", "mot15", False, True),     # mot15 reads no class
    ("1,5,50,0,10,10,0,7,1", "50,0,10,10", "plain", False, False),
])
def test_removal_rules(tmp_path, gt_line, pred_box, protocol, removed, gt_scored):
    seq = loaded(tmp_path, [PED, gt_line], ["1,7,0,0,10,10,1,-1", f"1,8,{pred_box},1,-1"],
                 protocol)
    assert seq.pred_ids[0] == ([7] if removed else [7, 8])
    assert seq.gt_ids[0] == ([1, 5] if gt_scored else [1])
    assert (seq.count.num_pred, seq.count.num_gt) == (2 - removed, 1 + gt_scored)


def test_removal_is_one_assignment_over_all_classes(tmp_path):
    # Prediction 8 overlaps the pedestrian (IoU 0.6) and the distractor (IoU 0.6 as well); 7 sits
    # exactly on the pedestrian, so the best assignment gives 8 to the distractor: removed. Of two
    # predictions on one distractor only the one matched goes.
    # Frame 2 follows a frame 1 with other boxes, its lines interleaved with frame 1's.
    gt = ["2,1,0,0,10,10,1,1,1", "1,1,50,0,10,10,1,1,1", "2,5,4,0,10,10,0,8,1",
          "1,5,0,0,10,10,0,8,1", "2,6,100,0,10,10,0,8,1"]
    pred = ["2,7,0,0,10,10,1", "1,7,50,0,10,10,1", "2,8,2,0,10,10,1", "2,9,100,0,10,10,1",
            "1,8,70,0,10,10,1", "2,10,101,0,10,10,1"]
    seq = loaded(tmp_path, gt, pred)
    assert seq.pred_ids == [[7, 8], [7, 10]]


def test_a_frame_without_ground_truth_removes_nothing(tmp_path):
    seq = loaded(tmp_path, ["2,5,0,0,10,10,0,8,1"], ["1,8,0,0,10,10,1"])
    assert list(map(list, seq.pred_ids)) == [[8], []] and not any(seq.gt_ids)


# --- errors -------------------------------------------------------------------------------------

def test_duplicate_id_is_an_error_under_every_protocol(tmp_path):
    gt, [tracker] = bench(tmp_path, {"s": PED + "\n1,2,5,5,1,1,1,1,1\n"},
                          {"t": {"s": "1,7,0,0,10,10,1\n2,7,0,0,1,1,1\n1,7,5,5,1,1,1\n"}})
    for protocol in ("plain", "mot17"):
        status, out, err = run_cli(gt, tracker, "--protocol", protocol)
        assert status == 2 and out == ""
        assert err == f"vestrim: error: {tracker}/s.txt:3: id 7 occurs twice in frame 1\n"


@pytest.mark.parametrize("gt_text, pred_text, message", [
    (PED, "1,7,0,0,10,10,1,2", "t/s.txt:1: class 2 (8th value): only pedestrians are scored"),
    (PED + "\n1,2,0,0,1,1,1,14,1", "1,7,0,0,10,10,1", "gt/s/gt/gt.txt:2: class 14: "
                                                        "ground-truth classes are 1 to 13"),
    (PED + "\n1,2,0,0,1,1,1", "1,7,0,0,10,10,1", "gt/s/gt/gt.txt:2: no class (8th value): "),
    (PED + "\n5,2,0,0,1,1,1,1,1", "1,7,0,0,10,10,1",
     "gt/s/gt/gt.txt:2: frame 5 is outside the sequence's frames 1 to 4 (seqLength of "),
    (PED, "4,7,0,0,10,10,1\n5,7,0,0,10,10,1", "t/s.txt:2: frame 5 is outside the sequence's "),
])
def test_benchmark_file_errors(tmp_path, gt_text, pred_text, message):
    gt, [tracker] = bench(tmp_path, {"s": gt_text + "\n"}, {"t": {"s": pred_text + "\n"}},
                          seqinfo={"s": 4})
    status, out, err = run_cli(gt, tracker, "--protocol", "mot17")
    assert status == 2 and out == "" and err.count("\n") == 1
    assert err.startswith(f"vestrim: error: {tmp_path}/{message}")


def test_invalid_class_without_predictions_is_dropped_with_one_warning(tmp_path):
    gt, [tracker] = bench(tmp_path, {"s": PED + "\n2,2,0,0,1,1,1,14,1\n2,3,0,0,1,1,1,0,1\n"},
                          {"t": {"s": "1,7,0,0,10,10,1\n"}})
    status, out, err = run_cli(gt, tracker, "--protocol", "mot17", "--format", "csv")
    assert status == 0 and err.count("warning") == 1
    assert "2 ground-truth line(s) with no valid class dropped (first at line 2)" in err


@pytest.mark.parametrize("layout, protocol, message", [
    ({"t": {"x": PED}}, "plain", "tracker t ({tmp}/t) has none of the 2 scored sequences "
                                     "(expected <sequence>.txt files in it)"),
    ({"t": {"a": PED}}, "mot17", "tracker t is incomplete: 1 of 2 sequences missing, e.g. no "
                                 "{tmp}/t/b.txt"),
    ({"t": {"a": PED}, "u/t": {"a": PED}}, "plain", "two trackers are named t: {tmp}/t and "
                                                    "{tmp}/u/t"),
])
def test_tracker_layout_errors(tmp_path, layout, protocol, message):
    gt, trackers = bench(tmp_path, {"a": PED, "b": PED}, layout)
    status, _, err = run_cli(gt, *trackers, "--protocol", protocol)
    assert status == 2
    assert err == f"vestrim: error: {message.format(tmp=tmp_path)}\n"


def test_missing_sequence_under_plain_is_a_warning(tmp_path):
    gt, trackers = bench(tmp_path, {"a": PED, "b": PED}, {"t": {"a": PED}})
    status, out, err = run_cli(gt, *trackers, "--format", "csv")
    assert status == 0 and "sequence b scored as an empty output" in err
    assert [line.split(",")[2] for line in out.splitlines()[1:]] == ["a", "b", "COMBINED"]


@pytest.mark.parametrize("argv, message", [
    (["--iou-threshold", "0"], "the IoU threshold must be in (0, 1], got '0'"),
    (["--iou-threshold", "50"], "the IoU threshold must be in (0, 1], got '50'"),
    (["--iou-threshold", "nan"], "the IoU threshold must be in (0, 1], got 'nan'"),
    (["--iou-threshold", "0.6", "--protocol", "mot17"],
     "--iou-threshold: mot17 scores at IoU 0.5 only"),
    (["--gt-classes", "1", "--protocol", "mot20"],
     "--gt-classes applies under the plain protocol only (mot20 scores pedestrian)"),
    (["--gt-classes", "1," + "9" * 30], f"class '{'9' * 30}' does not fit in 64 bits"),
    (["--gt-classes", "9" * 5000], "classes must be integers, got '99999999999999999999"),
    (["--jobs", "0"], "jobs must be a positive integer, got '0'"),
    (["--jobs", "-3"], "jobs must be a positive integer, got '-3'"),
    (["-j", "two"], "jobs must be a positive integer, got 'two'"),
])
def test_bad_arguments_are_one_line(tmp_path, argv, message):
    gt, trackers = bench(tmp_path, {"a": PED}, {"t": {"a": PED}})
    status, out, err = run_cli(gt, *trackers, *argv)
    assert status == 2 and out == "" and err.count("\n") == 1 and len(err) < 300
    assert err.startswith(f"vestrim: error: ") and message in err


def test_memory_error_is_one_line(tmp_path, monkeypatch):
    gt, trackers = bench(tmp_path, {"a": PED}, {"t": {"a": PED}})

    def exhausted(*args, **kwargs):
        raise MemoryError
    monkeypatch.setattr("vestrim.datasets.motchallenge.read_table", exhausted)
    assert run_cli(gt, *trackers) == (2, "", "vestrim: error: not enough memory for this input\n")


# --- parallel scoring ---------------------------------------------------------------------------

EXAMPLES = os.path.join(ROOT, "examples")


@pytest.mark.parametrize("argv", [
    ["gt", "pred"],
    ["mot17/gt", "mot17/trackers/alpha", "mot17/trackers/beta", "--protocol", "mot17"],
    ["kitti/gt", "kitti/tracker_a", "--protocol", "kitti"],
])
def test_parallel_output_equals_serial_byte_for_byte(argv):
    argv = [os.path.join(EXAMPLES, a) if "/" in a or a in ("gt", "pred") else a for a in argv]
    for fmt in ("table", "json"):
        serial = run_cli(*argv, "--format", fmt, "--jobs", "1")
        assert serial[0] == 0 and serial == run_cli(*argv, "--format", fmt, "--jobs", "2")


def test_parallel_run_replays_warnings_and_the_first_error_in_serial_order(tmp_path):
    # Tasks in serial order: (t, a), (t, b) with a warning, (u, a) failing, (u, b) failing. The
    # larger sequence b is scored first, so (u, b) fails before (u, a) has run.
    big = PED + "\n3,9,0,0,1,1,1,14,1\n" + "".join(f"2,{i},0,0,1,1,1,1,1\n" for i in range(2, 60))
    gt, trackers = bench(tmp_path, {"a": PED, "b": big},
                         {"t": {"a": PED, "b": PED}, "u": {"a": "1,7,0,0,10,10,1,2", "b": "x"}},
                         seqinfo={"a": 3, "b": 3})
    serial = run_cli(gt, *trackers, "--protocol", "mot17", "--jobs", "1")
    assert serial == run_cli(gt, *trackers, "--protocol", "mot17", "--jobs", "3")
    status, out, err = serial
    assert status == 2 and out == "" and err.splitlines() == [
        f"vestrim: warning: {gt}/b/gt/gt.txt: 1 ground-truth line(s) with no valid class dropped "
        f"(first at line 2), all in frames without predictions",
        f"vestrim: error: {tmp_path}/u/a.txt:1: class 2 (8th value): only pedestrians are scored "
        f"here, so predictions must have class -1 or 1"]


def test_a_worker_that_dies_is_one_line(monkeypatch):
    monkeypatch.setattr("vestrim.benchmark.score.score_sequence", lambda *args: os._exit(9))
    status, out, err = run_cli(os.path.join(MOT17, "gt"), os.path.join(MOT17, "trackers", "beta"),
                               "--jobs", "2")
    assert (status, out) == (2, "") and err.startswith("vestrim: error: a worker process ended")


@pytest.mark.parametrize("jobs", [0, -1, True, 2.0, "2"])
def test_bad_jobs_values(jobs):
    with pytest.raises(ValueError, match="jobs must be a positive integer"):
        vestrim.evaluate_benchmark(os.path.join(MOT17, "gt"), [os.path.join(MOT17, "trackers",
                                                                            "beta")], jobs=jobs)


# --- layout: seqinfo, seqmap, several trackers --------------------------------------------------

def test_seqinfo_and_seqmap(tmp_path):
    gt, trackers = bench(tmp_path, {"a": PED, "b": PED, "c": PED},
                         {"t": {"a": PED, "b": PED, "c": PED}}, seqinfo={"a": 6})
    seqmap = write(tmp_path / "map.txt", "name\n c\n\na\n")
    seqs = vestrim.load_benchmark(gt, trackers[0], protocol="mot17", seqmap=seqmap)
    assert [(s.name, s.num_frames) for s in seqs] == [("c", 1), ("a", 6)]
    # plain never reads seqinfo.ini
    assert vestrim.load_benchmark(gt, trackers[0], seqmap=seqmap)[1].num_frames == 1
    write(tmp_path / "bad.txt", "name\na\nzz\n")
    with pytest.raises(BenchmarkError, match=r"sequence zz of .*bad.txt has no ground truth"):
        vestrim.load_benchmark(gt, trackers[0], seqmap=tmp_path / "bad.txt")
    write(tmp_path / "up.txt", "name\n../gt/a\n")
    with pytest.raises(BenchmarkError, match=r"up.txt:2: sequence name '../gt/a' is not a plain"):
        vestrim.load_benchmark(gt, trackers[0], seqmap=tmp_path / "up.txt")
    write(tmp_path / "gt" / "b" / "seqinfo.ini", "[Sequence]\nseqLength=ten\n")
    with pytest.raises(BenchmarkError, match="seqLength must be a whole number from 1 to"):
        vestrim.load_benchmark(gt, trackers[0], protocol="mot16")


def test_several_trackers_json_layout_and_leaderboard(tmp_path):
    gt, _ = bench(tmp_path, {"a": PED + "\n2,1,0,0,10,10,1,1,1\n", "b": PED}, {})
    write(tmp_path / "A" / "data" / "a.txt", "1,3,0,0,10,10,1\n2,3,0,0,10,10,1\n")
    write(tmp_path / "A" / "data" / "b.txt", "")
    write(tmp_path / "B" / "data" / "a.txt", "1,3,0,0,10,10,1\n")
    write(tmp_path / "B" / "data" / "b.txt", "1,4,0,0,10,10,1\n")
    status, out, _ = run_cli(gt, tmp_path / "B", tmp_path / "A" / "data", "--protocol", "mot17",
                             "--format", "json", "--metrics", "identity")
    assert status == 0
    doc = json.loads(out)
    assert list(doc) == ["protocol", "iou_threshold", "trackers"]
    assert (doc["protocol"], doc["iou_threshold"]) == ("mot17", 0.5)
    assert [(t["name"], t["class"]) for t in doc["trackers"]] == [("B", "pedestrian"),
                                                                  ("A", "pedestrian")]
    b = doc["trackers"][0]
    assert list(b) == ["name", "class", "sequences", "combined"]
    assert [s["name"] for s in b["sequences"]] == ["a", "b"]
    assert list(b["sequences"][0]) == ["name", "identity", "count"]
    assert list(b["combined"]) == ["identity", "count"]
    assert b["combined"]["count"] == {"num_gt": 3, "num_pred": 2, "num_gt_ids": 2,
                                      "num_pred_ids": 2}
    assert b["combined"]["identity"]["idtp"] == 2
    status, out, _ = run_cli(gt, tmp_path / "B", tmp_path / "A", "--protocol", "mot17",
                             "--metrics", "identity")
    lines = out.splitlines()
    assert lines[1].split()[0] == "Tracker"
    assert [line.split()[:2] for line in lines[2:4]] == [["B", "0.8000"], ["A", "0.8000"]]


def test_csv_rows_and_percent(tmp_path):
    gt, trackers = bench(tmp_path, {"a": PED}, {"t": {"a": "1,3,0,0,10,5,1\n"}})
    status, out, _ = run_cli(gt, *trackers, "--format", "csv", "--percent", "--metrics", "hota")
    rows = [line.split(",") for line in out.splitlines()]
    assert rows[0][:5] == ["tracker", "class", "sequence", "HOTA", "DetA"]
    assert [r[:3] for r in rows[1:]] == [["t", "", "a"], ["t", "", "COMBINED"]]
    column = dict(zip(rows[0], rows[1]))
    assert float(column["LocA(0)"]) == 50.0 and column["GT_IDs"] == "1"


# --- numbers ------------------------------------------------------------------------------------

def test_derived_hota_columns_by_hand():
    # One frame, IoU 0.575: a match at the first 11 alphas, a miss and a false positive after.
    h = vestrim.compute_hota([[1]], [[(0, 0, 10, 10)]], [[2]], [[(0, 0, 10, 5.75)]])
    d = derive_hota(h)
    matched = [1.0] * 11 + [0.0] * 8
    assert d.det_re_alphas == d.det_pr_alphas == d.owta_alphas == matched
    assert d.det_re == pytest.approx(11 / 19) and d.owta == d.det_re == d.det_pr
    assert (d.ass_re, d.ass_pr) == (d.det_re, d.det_re)
    assert (d.hota_0, d.loca_0) == (1.0, pytest.approx(0.575)) and d.hota_loca_0 == d.loca_0


def clear_stub(**counts):
    base = dict(num_frames=1, num_gt=0, num_matches=0, num_false_positives=0, num_misses=0,
                num_switches=0, mt=0, pt=0, ml=0, frag=0, frag_present_only=0, motp=0.0,
                track_ratios=[])
    base.update(counts)
    return types.SimpleNamespace(**base)


def test_benchmark_combination_recomputes_from_sums():
    a = clear_stub(num_gt=10, num_matches=8, num_false_positives=1, num_misses=2,
                   num_switches=1, motp=0.75)
    empty = clear_stub(num_false_positives=3)  # no ground truth at all
    c = vestrim.combine_clear([a, empty], convention="benchmark")
    assert c.mota == (8 - 4 - 1) / 10 and c.motp == 0.75 and c.moda == 4 / 10
    only = vestrim.combine_clear([empty], convention="benchmark")
    assert (only.mota, only.moda, only.motp, only.clr_pr) == (-3.0, -3.0, 0.0, 0.0)
    with pytest.raises(ValueError, match="unknown convention"):
        vestrim.combine_clear([a], convention="mot")


def test_one_benchmark_sequence_combines_to_itself():
    # The combination recomputes every ratio from the counts with the benchmark formulas; on a
    # sequence with ground truth that must give back the sequence's own numbers.
    seq = vestrim.load_benchmark(os.path.join(MOT17, "gt"), os.path.join(MOT17, "trackers", "beta"),
                                 protocol="mot20")[0]
    clear, identity, hota = _native.evaluate(*seq.arrays(), 0.5, "benchmark")
    one = types.SimpleNamespace(clear=clear, identity=identity, hota=hota)
    combined = vestrim.combine([one], convention="benchmark")
    for family in ("clear", "identity", "hota"):
        for name in ATTRIBUTES[family]:
            assert getattr(getattr(combined, family), name) == \
                pytest.approx(getattr(getattr(one, family), name), abs=1e-12), (family, name)


def test_counts_combine_by_summing():
    assert Count.combine([Count(3, 4, 2, 1), Count(1, 0, 1, 0)]) == Count(4, 4, 3, 1)


@pytest.mark.parametrize("ids", [[], [7], [3, 1, 3, 0, 1], [5, -2, 5], [2**62, 9, 2**62, -2**63]])
def test_distinct_id_count(ids):
    from vestrim.datasets.text import distinct as _distinct
    ids = np.array(ids, dtype=np.int64)
    assert _distinct(ids) == len(np.unique(ids))


def test_json_never_holds_nan_or_infinity():
    clear = clear_stub(mota=math.nan, moda=-math.inf, smota=0.0, motal=0.0, clr_re=0.0,
                       clr_pr=0.0, track_ratios=[math.nan])
    r = SequenceResult("s", clear, None, None, Count(0, 0, 0, 0))
    t = TrackerResult("t", None, (r,), r)
    text = BenchmarkResult("plain", 0.5, ("clear",), (t,)).to_json()
    doc = json.loads(text)
    assert doc["trackers"][0]["combined"]["clear"]["mota"] is None
    assert doc["trackers"][0]["combined"]["clear"]["track_ratios"] == [None]
    assert "NaN" not in text and "Infinity" not in text


def test_bundled_example_first_frames_by_hand():
    gt, alpha = os.path.join(MOT17, "gt"), os.path.join(MOT17, "trackers", "alpha")
    seq = vestrim.load_benchmark(gt, alpha, protocol="mot17")[0]
    assert seq.name == "SYN-01" and seq.num_frames == 120  # seqLength, not the last line
    # 13 sat on a static person: removed; 14 (car), 15 (zero-marked), 16 (IoU 0.25) stay
    assert list(map(list, seq.pred_ids[:6])) == [[11, 12, 14, 15, 16], [11, 12], [11],
                                                 [11, 12, 17], [], [11, 12, 17, 18]]
    assert seq.gt_ids[:6] == [[1, 2]] * 6
    first = [x[:6] for x in seq.arrays()]
    # Frame 4 re-acquires gt 2 after its gap with the better box 17 (a switch from 12); frame 5
    # has no predictions, so frame 6 continues frame 4's matches 11 and 17.
    c = _native.evaluate(*first, 0.5, "benchmark")[0]
    assert (c.num_matches, c.num_false_positives, c.num_misses, c.num_switches) == (9, 6, 3, 1)
    assert (c.mt, c.pt, c.ml, c.frag) == (1, 1, 0, 1)
    assert c.mota == 2 / 12 and c.motp == pytest.approx((8 + 2 / 3) / 9, abs=1e-12)
    assert _native.evaluate(*first, 0.5, "module")[0].num_switches == 0  # the module keeps 12
    plain = vestrim.load_benchmark(gt, alpha)[0]
    assert plain.pred_ids[0] == [11, 12, 13, 14, 15, 16]


def test_bundled_example_runs_and_is_reproducible(tmp_path):
    status, out, _ = run_cli(os.path.join(MOT17, "gt"), os.path.join(MOT17, "trackers", "alpha"),
                             os.path.join(MOT17, "trackers", "beta"), "--protocol", "mot17",
                             "--seqmap", os.path.join(MOT17, "seqmap.txt"), "--format", "json")
    doc = json.loads(out)
    assert status == 0 and [t["name"] for t in doc["trackers"]] == ["alpha", "beta"]
    subprocess.run([sys.executable, os.path.join(ROOT, "examples", "make_mot17_example.py"),
                    str(tmp_path)], check=True)
    for folder, _, files in os.walk(MOT17):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as a, open(tmp_path / os.path.relpath(path, MOT17), "rb") as b:
                assert a.read() == b.read(), path


# --- output file --------------------------------------------------------------------------------

def test_output_replaces_a_file_atomically(tmp_path, monkeypatch):
    target = write(tmp_path / "out.csv", "old\n")
    os.chmod(target, 0o640)
    cli.write_output(target, "new\n")
    assert open(target).read() == "new\n" and stat.S_IMODE(os.stat(target).st_mode) == 0o640

    def fail(src, dst):
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(os, "replace", fail)
    with pytest.raises(cli.UsageError, match="cannot write .*out.csv: No space left on device"):
        cli.write_output(target, "newer\n")
    assert open(target).read() == "new\n" and os.listdir(tmp_path) == ["out.csv"]


def test_output_to_a_pipe_is_written_directly(tmp_path):
    gt, trackers = bench(tmp_path, {"a": PED}, {"t": {"a": PED}})
    proc = subprocess.run([sys.executable, "-m", "vestrim", gt, *trackers, "--format", "csv",
                           "-o", "/dev/stdout"], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.returncode == 0 and proc.stdout.startswith("tracker,class,sequence,MOTA")
