"""Scoring a data root in the benchmarks' own folder tree, and the evaluator's result files."""

import csv
import io
import json
import os
import shutil
import stat

import pytest

import vestrim
from vestrim import _native
from vestrim.errors import MotFormatError
from vestrim.official import OfficialLayoutError, discover, evaluate_official
from vestrim.official_files import format_float, format_g5

from test_cli import run_cli

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")

DETAILED_HEADER = (
    "seq,HOTA(0),LocA(0),HOTALocA(0),"
    + ",".join(f"{f}___{a}" for f in ("HOTA", "DetA", "AssA", "DetRe", "DetPr", "AssRe", "AssPr",
                                       "LocA", "OWTA", "HOTA_TP", "HOTA_FN", "HOTA_FP")
               for a in [*range(5, 100, 5), "AUC"])
    + ",MOTA,MOTP,MODA,CLR_Re,CLR_Pr,MTR,PTR,MLR,sMOTA,CLR_F1,FP_per_frame,MOTAL,MOTP_sum,"
      "CLR_TP,CLR_FN,CLR_FP,IDSW,MT,PT,ML,Frag,CLR_Frames,IDF1,IDR,IDP,IDTP,IDFN,IDFP,Dets,"
      "GT_Dets,IDs,GT_IDs")
SUMMARY_HEADER = (
    "HOTA DetA AssA DetRe DetPr AssRe AssPr LocA OWTA HOTA(0) LocA(0) HOTALocA(0) MOTA MOTP "
    "MODA CLR_Re CLR_Pr MTR PTR MLR CLR_TP CLR_FN CLR_FP IDSW MT PT ML Frag sMOTA IDF1 IDR IDP "
    "IDTP IDFN IDFP Dets GT_Dets IDs GT_IDs")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="") as f:
        f.write(text)
    return str(path)


def mot_root(tmp_path, seqmap="name\nSYN-02\nSYN-01\n"):
    """The bundled MOT17 example as a data root: trackers alpha and beta."""
    root = tmp_path / "data"
    shutil.copytree(os.path.join(EXAMPLES, "mot17", "gt"), root / "gt/mot_challenge/MOT17-train")
    write(root / "gt/mot_challenge/seqmaps/MOT17-train.txt", seqmap)
    trackers = root / "trackers/mot_challenge/MOT17-train"
    shutil.copytree(os.path.join(EXAMPLES, "mot17", "trackers", "alpha"), trackers / "alpha")
    shutil.copytree(os.path.join(EXAMPLES, "mot17", "trackers", "beta"), trackers / "beta/data")
    return root


# --- number spelling ----------------------------------------------------------------------------

@pytest.mark.parametrize("fraction, text", [
    (0.4, "40"), (0.123456, "12.346"), (-0.0504, "-5.04"), (1.0, "100"), (0.125, "12.5"),
    (0.000123, "0.0123"), (1e-7, "1e-05"), (1234.567, "1.2346e+05"), (0.0, "0")])
def test_summary_numbers_are_percent_in_five_significant_digits(fraction, text):
    assert format_g5(100 * fraction) == text


@pytest.mark.parametrize("value, text", [
    (0.5, "0.5"), (0.1 + 0.2, "0.30000000000000004"), (1e-05, "1e-05"), (1e16, "1e+16"),
    (812.0, "812.0"), (0, "0"), (41, "41")])
def test_detailed_numbers_are_shortest_round_trip_or_integers(value, text):
    assert format_float(value) == text


# --- files --------------------------------------------------------------------------------------

def test_result_files_beside_each_tracker(tmp_path):
    root = mot_root(tmp_path)
    result = evaluate_official(root, "mot17", write_files=True)
    assert [t.tracker for t in result.trackers] == ["alpha", "beta"]
    folder = root / "trackers/mot_challenge/MOT17-train/alpha"
    summary = (folder / "pedestrian_summary.txt").read_bytes().decode()
    header, values, rest = summary.split("\r\n")
    assert header == SUMMARY_HEADER and rest == "" and "\n" not in header + values
    combined = result.trackers[0].combined
    fields = dict(zip(header.split(" "), values.split(" ")))
    assert fields["HOTA"] == format(100 * combined.hota.hota, "1.5g")
    assert fields["IDSW"] == str(combined.clear.num_switches)
    assert fields["Frag"] == str(combined.clear.frag)

    detailed = (folder / "pedestrian_detailed.csv").read_bytes().decode()
    assert detailed.endswith("\r\n") and detailed.count("\r\n") == 4
    lines = detailed.split("\r\n")
    assert lines[0] == DETAILED_HEADER and len(lines[0].split(",")) == 276
    rows = {r["seq"]: r for r in csv.DictReader(io.StringIO(detailed))}
    assert list(rows) == ["SYN-01", "SYN-02", "COMBINED"]  # sorted, whatever the seqmap's order
    seq = result.trackers[0].sequences[0]
    assert seq.name == "SYN-01"
    assert rows["SYN-01"]["HOTA___50"] == repr(seq.hota.hota_alphas[9])
    assert rows["SYN-01"]["HOTA_TP___5"] == repr(float(seq.hota.hota_tp_alphas[0]))
    assert rows["SYN-01"]["Frag"] == f"{seq.clear.frag}.0"
    assert rows["SYN-01"]["CLR_Frames"] == "120" and rows["SYN-01"]["MOTA"] == repr(seq.clear.mota)
    assert rows["COMBINED"]["MOTP_sum"] == repr(combined.derived_clear().motp_sum)
    assert rows["COMBINED"]["CLR_Frames"] == str(sum(s.clear.num_frames
                                                     for s in result.trackers[0].sequences))
    assert float(rows["COMBINED"]["HOTA___AUC"]) == combined.hota.hota


def test_empty_tracker_gives_the_early_exit_values(tmp_path):
    # 950 ground-truth boxes of 11 pedestrians, and a tracker that writes nothing.
    root = tmp_path / "data"
    lines = [f"{f},{i},{10 * i},0,5,5,1,1,1" for i in range(1, 12) for f in range(1, 91)]
    write(root / "gt/mot_challenge/MOT17-train/S/gt/gt.txt", "\n".join(lines[:950]) + "\n")
    write(root / "gt/mot_challenge/MOT17-train/S/seqinfo.ini", "[Sequence]\nseqLength=90\n")
    write(root / "gt/mot_challenge/seqmaps/MOT17-train.txt", "name\nS\n")
    write(root / "trackers/mot_challenge/MOT17-train/T/data/S.txt", "")
    evaluate_official(root, "MOT17", write_files=True)
    folder = root / "trackers/mot_challenge/MOT17-train/T"
    summary = (folder / "pedestrian_summary.txt").read_bytes().decode()
    assert summary.split("\r\n")[1] == (
        "0 0 0 0 0 0 0 100 0 0 100 0 0 0 0 0 0 0 0 100 0 950 0 0 0 0 11 0 0 0 0 0 0 950 0 0 950 "
        "0 11")
    rows = list(csv.reader(io.StringIO((folder / "pedestrian_detailed.csv").read_text())))
    header, seq, combined = rows
    seq, combined = dict(zip(header, seq)), dict(zip(header, combined))
    assert [seq[k] for k in ("HOTA(0)", "LocA(0)", "HOTALocA(0)", "HOTA___5", "LocA___95",
                             "HOTA_FN___50", "HOTA_FN___AUC", "MOTA", "MLR", "MOTP_sum", "Frag",
                             "CLR_Frames", "CLR_FN", "ML", "IDF1", "IDFN", "FP_per_frame")] == [
        "0", "1.0", "0", "0.0", "1.0", "950.0", "950.0", "0", "1.0", "0", "0", "0", "950", "11",
        "0", "950", "0"]
    assert [combined[k] for k in ("HOTA(0)", "LocA(0)", "MOTA", "MLR", "MOTP_sum", "Frag",
                                  "IDF1")] == ["0.0", "1.0", "0.0", "1.0", "0", "0", "0.0"]


def test_fewer_families_and_count_in_any_case(tmp_path):
    root = mot_root(tmp_path)
    status, out, err = run_cli("--data-root", root, "--benchmark", "Mot17", "--metrics",
                               "Identity,COUNT", "--style", "official", "--trackers", "beta",
                               "--tracker-names", "Beta v2")
    assert status == 0, err
    folder = root / "trackers/mot_challenge/MOT17-train/beta"
    assert (folder / "pedestrian_summary.txt").read_text().splitlines()[0] == \
        "IDF1 IDR IDP IDTP IDFN IDFP Dets GT_Dets IDs GT_IDs"
    assert not (root / "trackers/mot_challenge/MOT17-train/alpha/pedestrian_summary.txt").exists()
    lines = out.split("\n")
    assert lines[0] == "" and lines[1] == ("%-35s" % "Identity: Beta v2-pedestrian"
                                           + "".join("%-10s" % f for f in
                                                     "IDF1 IDR IDP IDTP IDFN IDFP".split()))
    assert lines[2].startswith("SYN-01" + " " * 29) and lines[2].endswith(" ")
    assert lines[5] == "" and lines[6].startswith("Count: Beta v2-pedestrian")


def test_no_files_and_unwritable_output(tmp_path):
    root = mot_root(tmp_path)
    status, _, err = run_cli("--data-root", root, "--benchmark", "MOT17", "--no-files")
    assert status == 0, err
    assert not list(root.glob("trackers/**/*_summary.txt"))
    out = tmp_path / "out"
    write(out / "alpha/keep.txt", "x")
    write(out / "beta", "a file where a folder must go")
    status, _, err = run_cli("--data-root", root, "--benchmark", "MOT17", "--output-folder", out)
    assert status == 2
    assert err.startswith("vestrim: error: cannot write ") and str(out / "beta") in err
    assert err.count("\n") == 1
    # The first tracker's files are whole; no temporary file is left behind.
    assert (out / "alpha/pedestrian_summary.txt").read_text().count("\n") == 2
    assert sorted(os.listdir(out / "alpha")) == ["keep.txt", "pedestrian_detailed.csv",
                                                 "pedestrian_summary.txt"]


# --- discovery ----------------------------------------------------------------------------------

def test_missing_pieces_stop_the_run_before_scoring(tmp_path):
    root = mot_root(tmp_path)
    seqmaps = root / "gt/mot_challenge/seqmaps"
    gt = root / "gt/mot_challenge/MOT17-train"
    trackers = root / "trackers/mot_challenge/MOT17-train"

    def error(**kwargs):
        with pytest.raises(OfficialLayoutError) as e:
            discover(root, "MOT17", **kwargs)
        return str(e.value)

    assert error(split="test") == \
        f"no seqmap found: MOT17-test.txt ({seqmaps / 'MOT17-test.txt'})"
    write(trackers / "README.md", "not a tracker")  # ignored: trackers are sub-folders
    os.remove(trackers / "beta/data/SYN-02.txt")
    assert error() == ("Tracker file not found: beta/data/SYN-02.txt "
                       f"({trackers / 'beta/data/SYN-02.txt'})")
    assert error(trackers=["alpha"], tracker_names=["a", "b"]) == \
        "List of tracker files and tracker display names do not match."
    os.remove(gt / "SYN-02/gt/gt.txt")
    assert error() == f"GT file not found for sequence: SYN-02 ({gt / 'SYN-02/gt/gt.txt'})"
    os.remove(gt / "SYN-02/seqinfo.ini")
    assert error() == f"ini file does not exist: SYN-02/seqinfo.ini ({gt / 'SYN-02/seqinfo.ini'})"
    write(seqmaps / "MOT17-train.txt", "name\n,\n")
    assert error() == f"No sequences are selected to be evaluated. ({seqmaps / 'MOT17-train.txt'})"
    # Names are taken verbatim: a trailing space names another, missing, sequence.
    write(seqmaps / "MOT17-train.txt", "SYN-01\r\nSYN-01 ,x\r\n\r\n")
    assert error().startswith("ini file does not exist: SYN-01 /seqinfo.ini")
    write(seqmaps / "MOT17-train.txt", "name\n../SYN-01\n")
    assert "sequence name '../SYN-01' is not a plain file name" in error()
    shutil.rmtree(root / "gt")
    assert error() == f"no ground-truth folder ({root / 'gt/mot_challenge'})"


def test_layout_settings(tmp_path):
    root = tmp_path / "data"
    shutil.copytree(os.path.join(EXAMPLES, "mot17", "gt"), root / "gt/mot_challenge")
    write(root / "gt/mot_challenge/seqmaps/MOTS-x.txt", "name\nSYN-01\n")
    write(root / "my.seqmap", "name\nSYN-02\n")
    pred = os.path.join(EXAMPLES, "mot17", "trackers", "beta", "SYN-02.txt")
    shutil.copy(pred, write(root / "trackers/mot_challenge/T/SYN-02.txt", ""))
    layout = discover(root, "mot17", skip_split_folder=True, seqmap_file=root / "my.seqmap",
                      tracker_sub_folder="", output_folder=tmp_path / "out",
                      output_sub_folder="run1")
    [tracker] = layout.trackers
    assert [f.name for f in tracker.files] == ["SYN-02"]
    assert tracker.files[0].gt == str(root / "gt/mot_challenge/SYN-02/gt/gt.txt")
    assert tracker.output_folder == str(tmp_path / "out/T/run1")
    with pytest.raises(OfficialLayoutError, match="no seqmap found: MOTS-train.txt"):
        discover(root, "mots20", skip_split_folder=True)
    with pytest.raises(ValueError, match="unknown benchmark 'MOT18'"):
        discover(root, "MOT18")


def test_kitti_seqmaps_and_kitti_mots_labels(tmp_path):
    root = tmp_path / "data"
    box_gt = root / "gt/kitti/kitti_2d_box_train"
    shutil.copytree(os.path.join(EXAMPLES, "kitti", "gt"), box_gt)
    write(box_gt / "evaluate_tracking.seqmap.val", "0001 empty 000000 000003\nshort line\n"
                                                   "0000\tempty\t000000\t000005\n")
    shutil.copytree(os.path.join(EXAMPLES, "kitti", "tracker_a"),
                    root / "trackers/kitti/kitti_2d_box_train/tracker_a")
    layout = discover(root, "kitti", split="val")
    assert [(f.name, f.num_frames) for f in layout.trackers[0].files] == [("0000", 5),
                                                                          ("0001", 3)]
    mots_gt = root / "gt/kitti/kitti_mots_val"
    shutil.copytree(os.path.join(EXAMPLES, "kitti_mots", "gt", "instances_txt"),
                    mots_gt / "label_02")
    write(mots_gt / "evaluate_mots.seqmap.val", "5 empty 000000 000001\n2 empty 000000 000003\n")
    shutil.copytree(os.path.join(EXAMPLES, "kitti_mots", "tracker_a"),
                    root / "trackers/kitti/kitti_mots_val/tracker_a")
    layout = discover(root, "KITTI-MOTS")
    assert [(f.name, f.num_frames, os.path.basename(os.path.dirname(f.gt)))
            for f in layout.trackers[0].files] == [("0002", 4, "label_02"), ("0005", 2, "label_02")]
    result = evaluate_official(root, "kitti-mots", write_files=True)
    assert [t.class_name for t in result.trackers] == ["car", "pedestrian"]
    folder = root / "trackers/kitti/kitti_mots_val/tracker_a"
    assert sorted(os.listdir(folder)) == ["car_detailed.csv", "car_summary.txt", "data",
                                          "pedestrian_detailed.csv", "pedestrian_summary.txt"]
    expected = vestrim.evaluate_benchmark(os.path.join(EXAMPLES, "kitti_mots", "gt"),
                                          [os.path.join(EXAMPLES, "kitti_mots", "tracker_a")],
                                          protocol="kitti-mots")
    assert [t.combined.hota.hota for t in result.trackers] == \
        [t.combined.hota.hota for t in expected.trackers]
    own = vestrim.evaluate_benchmark(  # vestrim's own layout rules find label_02 too
        mots_gt, [root / "trackers/kitti/kitti_mots_val/tracker_a"], protocol="kitti-mots",
        seqmap=os.path.join(EXAMPLES, "kitti_mots", "gt", "evaluate_mots.seqmap.val"))
    assert [t.combined.hota.hota for t in own.trackers] == \
        [t.combined.hota.hota for t in expected.trackers]
    shutil.copytree(mots_gt / "label_02", mots_gt / "instances_txt")  # wins when both exist
    assert os.path.basename(os.path.dirname(
        discover(root, "kitti-mots").trackers[0].files[0].gt)) == "instances_txt"


@pytest.mark.parametrize("argv, message", [
    (["GT", "--data-root", "R", "--benchmark", "MOT17"], "give no GT or PRED arguments"),
    (["--data-root", "R", "--benchmark", "MOT17", "--protocol", "mot17"], "drop --protocol"),
    (["--data-root", "R"], "--data-root needs --benchmark"),
    (["--data-root", "R", "--benchmark", "MOT18"], "unknown benchmark 'MOT18'"),
    (["GT", "PRED", "--trackers", "A"], "--trackers applies with --data-root only"),
    (["GT"], "the following arguments are required: GT, PRED"),
    (["GT", "PRED", "--metrics", "hota,Bogus"], "unknown metric 'Bogus'"),
    (["GT", "PRED", "--style", "official", "--format", "csv"], "--style applies to the table"),
])
def test_command_line_modes(argv, message):
    status, out, err = run_cli(*argv)
    assert status == 2 and out == "" and message in err and err.count("\n") == 1


# --- CLEAR's extra columns ----------------------------------------------------------------------

def test_motp_sum_adds_frame_sums_in_row_order():
    shifts = [0.1, 0.7, 0.3, 1.1, 0.9, 0.5, 0.2]  # every pair overlaps by more than half
    frames = 40
    gt_ids = [list(range(len(shifts)))] * frames
    gt_boxes = [[(10.0 * k, 0.0, 10.0 * k + 10, 10.0) for k in range(len(shifts))]] * frames
    pred_boxes = [[(10.0 * k + s * (1 + t % 3), 0.0, 10.0 * k + 10 + s * (1 + t % 3), 10.0)
                   for k, s in enumerate(shifts)] for t in range(frames)]
    clear, _, _, extra = _native.evaluate(gt_ids, gt_boxes, gt_ids, pred_boxes, 0.5, "benchmark",
                                          extra=True)
    by_frame, by_match = 0.0, 0.0
    for t in range(frames):
        ious = [vestrim.iou(g, p) for g, p in zip(gt_boxes[t], pred_boxes[t])]
        assert min(ious) >= 0.5
        frame_sum = 0.0
        for v in ious:
            frame_sum += v
            by_match += v
        by_frame += frame_sum
    assert by_frame != by_match  # the data tells the two orders apart
    assert extra[2] == by_frame and clear.motp == by_frame / clear.num_matches
    # The module keeps adding match by match (the public functions' numbers do not move).
    module = _native.evaluate(gt_ids, gt_boxes, gt_ids, pred_boxes, 0.5, "module", extra=True)
    assert module[3][2] == by_match


def test_extra_columns_in_json_dataframe_and_csv(tmp_path):
    gt = os.path.join(EXAMPLES, "mot17", "gt")
    trackers = os.path.join(EXAMPLES, "mot17", "trackers")
    result = vestrim.evaluate_benchmark(gt, [os.path.join(trackers, "alpha")], protocol="mot17")
    seqs = result.trackers[0].sequences
    combined = result.trackers[0].combined
    c, e = combined.clear, combined.derived_clear()
    assert e.motp_sum == seqs[0].derived_clear().motp_sum + seqs[1].derived_clear().motp_sum
    assert c.motp == e.motp_sum / c.num_matches
    assert e.clr_frames == 120 + seqs[1].clear.num_frames
    assert e.clr_f1 == c.num_matches / (c.num_matches + 0.5 * c.num_misses
                                        + 0.5 * c.num_false_positives)
    assert (e.mtr, e.ptr, e.mlr) == (c.mt / 24, c.pt / 24, c.ml / 24)
    plain = [vestrim.evaluate_benchmark(os.path.join(EXAMPLES, "gt"), [os.path.join(EXAMPLES,
                                                                             "pred")],
                                        metrics=metrics).trackers[0] for metrics in ("clear", None)]
    assert [s.derived_clear() for s in plain[0].sequences] == \
        [s.derived_clear() for s in plain[1].sequences]
    assert plain[0].combined.derived_clear() == plain[1].combined.derived_clear()
    record = json.loads(result.to_json())["trackers"][0]["combined"]["clear"]
    assert {k: record[k] for k in ("clr_f1", "fp_per_frame", "motp_sum", "clr_frames", "mtr",
                                   "ptr", "mlr")} == vars(e)
    table = vestrim.to_dataframe(result)
    row = table.xs("COMBINED", level="sequence").iloc[0]
    assert row["MOTP_sum"] == e.motp_sum and row["CLR_Frames"] == e.clr_frames
    assert row["HOTA_FP___95"] == combined.hota.hota_fp_alphas[-1]
    status, out, err = run_cli(gt, os.path.join(trackers, "alpha"), "--protocol", "mot17",
                               "--format", "csv")
    assert status == 0, err
    rows = list(csv.DictReader(io.StringIO(out)))
    assert rows[-1]["MOTP_sum"] == repr(e.motp_sum)
    assert rows[-1]["HOTA_TP___5"] == repr(float(combined.hota.hota_tp_alphas[0]))


def test_plots_beside_the_files(tmp_path):
    pytest.importorskip("matplotlib")
    root = mot_root(tmp_path)
    status, _, err = run_cli("--data-root", root, "--benchmark", "MOT17", "--trackers", "alpha",
                             "--official-plots")
    assert status == 0, err
    folder = root / "trackers/mot_challenge/MOT17-train/alpha"
    assert (folder / "pedestrian_plot.png").read_bytes()[:4] == b"\x89PNG"
    assert (folder / "pedestrian_plot.pdf").read_bytes()[:4] == b"%PDF"
    assert stat.S_ISREG(os.stat(folder / "pedestrian_plot.png").st_mode)


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_failed_scoring_task_names_tracker_and_sequence(tmp_path, jobs):
    root = mot_root(tmp_path)
    write(root / "trackers/mot_challenge/MOT17-train/beta/data/SYN-02.txt", "1,1,0,0,1,x\n")
    with pytest.raises(MotFormatError) as info:
        evaluate_official(root, "MOT17", jobs=jobs)
    assert info.value.__notes__ == ["while scoring tracker beta on sequence SYN-02"]
