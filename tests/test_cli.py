"""The command line: reading MOTChallenge files, combining sequences, output formats, and an
end-to-end run on the bundled example."""

import csv
import filecmp
import importlib
import importlib.util
import io
import json
import math
import os
import subprocess
import sys
import types

import numpy as np
import pytest

import vestrim
from vestrim import __main__ as cli
from vestrim import mot
from vestrim.mot import MotFormatError, load_sequence, read_tracks
from reference import readers

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    return str(path)


def run_cli(*argv):
    """Runs the command in-process; returns (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        try:
            status = cli.main([str(a) for a in argv])
        except SystemExit as e:  # argparse
            status = e.code
    finally:
        sys.stdout, sys.stderr = saved
    return status, out.getvalue(), err.getvalue()


# --- reading files ------------------------------------------------------------------------------

GT_TEXT = """\
3, 7, 10, 20, 30, 40, 1, 1, 0.9
1,7,0,0,10,10,1,1,1.0,extra,columns
1,8,5,5,1,1,0,1,1.0

1,9,50,50,2,2,1,7,0.5
3,9,1.5,2.5,3,4,1,7,0.5
"""


@pytest.mark.parametrize("pad", ["", "  "])
def test_reading_ground_truth(tmp_path, pad):
    text = "\n".join(pad + line.replace(",", pad + "," + pad) for line in GT_TEXT.splitlines())
    path = write(tmp_path / "gt.txt", text)
    t = read_tracks(path, gt=True)
    # the 7th value 0 drops the line (but it still counts as seen); boxes become corners
    assert t.frames.tolist() == [3, 1, 1, 3]
    assert t.ids.tolist() == [7, 7, 9, 9]
    assert t.boxes.tolist() == [[10, 20, 40, 60], [0, 0, 10, 10], [50, 50, 52, 52],
                                [1.5, 2.5, 4.5, 6.5]]
    assert t.last_frame == 3
    assert read_tracks(path, gt=True, classes=[7]).ids.tolist() == [9, 9]
    assert read_tracks(path, gt=True, classes=[1, 2]).ids.tolist() == [7, 7]
    # predictions keep every line: the 7th value is a confidence there
    assert read_tracks(path).ids.tolist() == [7, 7, 8, 9, 9]


def test_native_and_reference_reading_agree(tmp_path):
    # The native reader and the Python reference must give the same rows.
    rng = np.random.default_rng(5)
    rows = [(int(f), int(i), *np.round(rng.uniform(-5, 50, 4), 2), int(c), int(k))
            for f, i, c, k in zip(rng.integers(1, 9, 60), rng.integers(-3, 6, 60),
                                  rng.integers(0, 2, 60), rng.integers(1, 4, 60))]
    rows = list({(r[0], r[1]): r for r in rows}.values())  # one line per id and frame
    uniform = "".join(f"{f},{i},{x},{y},{w},{h},{c},{k},1\n" for f, i, x, y, w, h, c, k in rows)
    path = write(tmp_path / "a.txt", uniform + "   \n")
    for columns in (6, 7, 8):
        ta, tb = mot.read_table(path, columns=columns), readers.read_table(path, columns=columns)
        for name in ("frames", "ids", "boxes", "conf", "classes", "lines"):
            assert np.array_equal(getattr(ta, name), getattr(tb, name), equal_nan=True), name
        assert ta.last_frame == tb.last_frame == max(r[0] for r in rows)


def test_sequence_layout(tmp_path):
    gt = write(tmp_path / "gt.txt", "2,1,0,0,1,1,1,1,1\n2,3,0,0,1,1,1,1,1\n4,1,0,0,1,1,0,1,1\n")
    pred = write(tmp_path / "pred.txt", "6,5,1,2,3,4,1\n2,6,0,0,1,1,1\n2,5,0,0,1,1,1\n")
    seq = load_sequence(gt, pred)
    # frame 1 and the frames in between are empty; predictions run past the ground truth
    assert seq.num_frames == 6
    assert [list(f) for f in seq.gt_ids] == [[], [1, 3], [], [], [], []]
    assert [list(f) for f in seq.pred_ids] == [[], [6, 5], [], [], [], [5]]
    assert seq.pred_boxes[5].tolist() == [[1, 2, 4, 6]]
    for boxes in seq.gt_boxes + seq.pred_boxes:
        assert boxes.dtype == np.float64 and boxes.shape[1] == 4 and boxes.flags.c_contiguous
    # a ground-truth line that is not scored still extends the sequence
    assert load_sequence(gt, write(tmp_path / "empty.txt", "")).num_frames == 4
    assert load_sequence(write(tmp_path / "e2.txt", "\n\n"), None).num_frames == 0


@pytest.mark.parametrize("line, message", [
    ("1,2,3,4,5", "expected at least 6 comma-separated values, found 5"),
    ("1 2 3 4 5 6", "expected at least 6 comma-separated values, found 1"),
    ("x,2,3,4,5,6,1,1", "frame (1st value) must be an integer, got 'x'"),
    ("1.5,2,3,4,5,6,1,1", "frame (1st value) must be an integer, got '1.5'"),
    ("0,2,3,4,5,6,1,1", "frame numbers start at 1, got 0"),
    ("99999999,2,3,4,5,6,1,1", "frame number 99999999 is implausibly large"),
    ("1,,3,4,5,6,1,1", "id (2nd value) must be an integer, got ''"),
    ("1,9223372036854775808,3,4,5,6,1,1", "id 9223372036854775808 does not fit in 64 bits"),
    ("1,2,3,4,five,6,1,1", "width (5th value) must be a number, got 'five'"),
    ("1,2,3,4,nan,6,1,1", "width must be finite, got 'nan'"),
    ("1,2,3,1e300,5,1e300,1,1", "box coordinates beyond 1e+150 in magnitude"),
    ("1,2,3,4,5,6,high,1", "confidence (7th value) must be a number, got 'high'"),
])
def test_malformed_line_is_one_error_with_file_and_line(tmp_path, line, message):
    gt = write(tmp_path / "gt.txt", "1,1,0,0,1,1,1,1,1\n\n" + line + "\n2,1,0,0,1,1,1,1,1\n")
    pred = write(tmp_path / "pred.txt", "")
    status, out, err = run_cli(gt, pred)
    assert status == 2 and out == ""
    assert err.startswith(f"vestrim: error: {gt}:3: {message}")
    assert err.count("\n") == 1


def test_class_filter_needs_the_class_column(tmp_path):
    path = write(tmp_path / "gt.txt", "1,1,0,0,1,1,1,1\n1,2,0,0,1,1,1\n")
    with pytest.raises(MotFormatError, match=r"gt.txt:2: no class \(8th value\)"):
        read_tracks(path, gt=True, classes=[1])
    assert read_tracks(path, gt=True).ids.tolist() == [1, 2]


def test_unreadable_paths_are_named(tmp_path):
    missing = tmp_path / "nowhere"
    status, _, err = run_cli(missing, tmp_path)
    assert status == 2 and err == f"vestrim: error: cannot read {missing}: no such file or directory\n"
    gt = write(tmp_path / "g" / "s" / "gt" / "gt.txt", "")
    status, _, err = run_cli(gt, tmp_path)
    assert status == 2 and "both be files" in err
    status, _, err = run_cli(tmp_path / "g" / "s", tmp_path)
    assert status == 2 and "no sequences in" in err
    with pytest.raises(MotFormatError, match="cannot read"):
        read_tracks(tmp_path)


def test_only_regular_files_are_read(tmp_path):
    from vestrim.datasets import kitti as kitti_files, layouts, mots as mots_files
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # opening it for reading would wait for a writer
    device = tmp_path / "zeros"
    device.symlink_to("/dev/zero")  # links are followed: this one leads to an endless device
    readers_of_paths = [read_tracks, readers.read_table, kitti_files.read_kitti, mots_files.read_mots,
                        layouts.read_seqmap, layouts.read_seqinfo, layouts.read_kitti_seqmap]
    for path, kind in [(fifo, "a FIFO"), (tmp_path, "a directory"), (device, "a device")]:
        for read in readers_of_paths:
            with pytest.raises(ValueError) as info:
                read(str(path))
            assert str(info.value).replace(": cannot read: ", ": ").replace("cannot read ", "") \
                == f"{path}: not a regular file ({kind})"
    from vestrim import official
    for read in [official._read_text] + ([] if importlib.util.find_spec("msgspec") is None else
                                         [importlib.import_module("vestrim.datasets.nuscenes")
                                          .parse_results]):
        with pytest.raises(ValueError, match=r"not a regular file \(a FIFO\)"):
            read(str(fifo))
    status, out, err = run_cli(os.path.join(EXAMPLES, "gt"), os.path.join(EXAMPLES, "pred"),
                               "--seqmap", device)
    assert (status, out, err) == (2, "", f"vestrim: error: cannot read {device}: not a regular file "
                                        "(a device)\n")
    linked = tmp_path / "linked.txt"
    linked.symlink_to(os.path.join(EXAMPLES, "pred", "synth-01.txt"))
    assert len(read_tracks(str(linked)).ids) > 0  # a link to a regular file is read


def test_subprocess_reports_errors_without_traceback(tmp_path):
    gt = write(tmp_path / "gt.txt", "1,1,0,0,1\n")
    proc = subprocess.run([sys.executable, "-m", "vestrim", gt, gt], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr == f"vestrim: error: {gt}:1: expected at least 6 comma-separated " \
                          "values, found 5\n"


# --- combination --------------------------------------------------------------------------------

def clear_stub(gt, tp, fp, fn, idsw, motp, ratios, frag=0):
    ml = sum(r < 0.2 for r in ratios)
    mt = sum(r > 0.8 for r in ratios)
    return types.SimpleNamespace(
        num_frames=10, num_gt=gt, num_matches=tp, num_false_positives=fp, num_misses=fn,
        num_switches=idsw, mt=mt, pt=len(ratios) - mt - ml, ml=ml, frag=frag,
        frag_present_only=frag, motp=motp, track_ratios=ratios,
        mota=math.nan, moda=math.nan, smota=math.nan, motal=math.nan, clr_re=math.nan,
        clr_pr=math.nan)


def test_combine_clear_by_hand():
    a = clear_stub(gt=10, tp=8, fp=1, fn=2, idsw=1, motp=0.75, ratios=[0.9, 0.5], frag=2)
    b = clear_stub(gt=4, tp=2, fp=3, fn=2, idsw=9, motp=0.5, ratios=[1.0, 0.0], frag=1)
    c = vestrim.combine_clear([a, b])
    assert (c.num_gt, c.num_matches, c.num_false_positives, c.num_misses, c.num_switches) == \
           (14, 10, 4, 4, 10)
    assert (c.mt, c.pt, c.ml, c.frag, c.frag_present_only, c.num_frames) == (2, 1, 1, 3, 3, 20)
    assert c.track_ratios == [1.0, 0.9, 0.5, 0.0]
    assert c.mota == 1 - 18 / 14
    assert c.motp == pytest.approx((8 * 0.75 + 2 * 0.5) / 10)  # weighted by matches: 0.7
    assert c.moda == 6 / 14
    assert c.smota == pytest.approx((7 - 4 - 10) / 14)
    assert c.motal == pytest.approx((6 - 1) / 14)  # log10(10 switches) = 1
    assert c.clr_re == 10 / 14 and c.clr_pr == 10 / 14


def test_combine_identity_by_hand():
    a = types.SimpleNamespace(idtp=6, idfp=3, idfn=4, num_frames=5, num_gt=10, num_pred=9)
    b = types.SimpleNamespace(idtp=1, idfp=5, idfn=3, num_frames=2, num_gt=4, num_pred=6)
    c = vestrim.combine_identity([a, b])
    assert (c.idtp, c.idfp, c.idfn, c.num_frames, c.num_gt, c.num_pred) == (7, 8, 7, 7, 14, 15)
    assert c.idf1 == 7 / 14.5 and c.idp == 7 / 15 and c.idr == 7 / 14


def hota_stub(tp, fn, fp, assa, ass_re, ass_pr, loca):
    def per_alpha(v):
        return [float(x) for x in v] if isinstance(v, list) else [float(v)] * 19
    return types.SimpleNamespace(
        hota_tp_alphas=per_alpha(tp), hota_fn_alphas=per_alpha(fn), hota_fp_alphas=per_alpha(fp),
        assa_alphas=per_alpha(assa), ass_re_alphas=per_alpha(ass_re),
        ass_pr_alphas=per_alpha(ass_pr), loca_alphas=per_alpha(loca),
        num_frames=4, num_gt=7, num_pred=9)


def test_combine_hota_by_hand():
    # a: one object tracked in 4 frames under two ids; b: 2 matches up to alpha 0.5, none after
    a = hota_stub(tp=4, fn=0, fp=0, assa=0.5, ass_re=0.5, ass_pr=1.0, loca=0.9)
    b_tp = [2] * 10 + [0] * 9
    b = hota_stub(tp=b_tp, fn=[3 - t for t in b_tp], fp=[2 + (2 - t) for t in b_tp],
                  assa=[1.0] * 10 + [0.0] * 9, ass_re=1.0, ass_pr=[0.5] * 10 + [0.0] * 9,
                  loca=[0.6] * 10 + [1.0] * 9)
    c = vestrim.combine_hota([a, b])
    assert c.alphas == [k * 0.05 for k in range(1, 20)]
    assert c.hota_tp_alphas == [6.0] * 10 + [4.0] * 9
    assert c.hota_fn_alphas == [1.0] * 10 + [3.0] * 9
    assert c.hota_fp_alphas == [2.0] * 10 + [4.0] * 9
    assert c.deta_alphas == [6 / 9] * 10 + [4 / 11] * 9
    assert c.assa_alphas == [4 / 6] * 10 + [0.5] * 9
    assert c.ass_re_alphas == [4 / 6] * 10 + [0.5] * 9
    assert c.ass_pr_alphas == [5 / 6] * 10 + [1.0] * 9
    assert c.loca_alphas == pytest.approx([0.8] * 10 + [0.9] * 9)
    assert c.hota_alphas == pytest.approx([math.sqrt(4 / 9)] * 10 + [math.sqrt(2 / 11)] * 9)
    assert c.hota == pytest.approx((10 * (2 / 3) + 9 * math.sqrt(2 / 11)) / 19)
    assert c.assa == pytest.approx((10 * (2 / 3) + 9 * 0.5) / 19)
    assert c.loca == pytest.approx((10 * 0.8 + 9 * 0.9) / 19)
    assert (c.num_frames, c.num_gt, c.num_pred) == (8, 14, 18)


def test_combining_nothing_gives_the_empty_sequence():
    empty = vestrim.compute_clear([], [], [], [])
    c = vestrim.combine_clear([])
    for name in cli.ATTRIBUTES["clear"]:
        assert getattr(c, name) == getattr(empty, name), name
    h = vestrim.combine_hota([])
    assert (h.hota, h.deta, h.assa, h.loca) == (0.0, 0.0, 0.0, 1.0)
    assert vestrim.combine_identity([]).idf1 == 0.0


def random_sequence(rng, frames, id_base):
    """A sequence of noisy copies of a few moving boxes, as per-frame xywh lists."""
    gt_ids, gt_boxes, pred_ids, pred_boxes = [], [], [], []
    for t in range(frames):
        gi = [id_base + k for k in range(4) if rng.random() < 0.8]
        gb = [[10.0 * k + t, 5.0 * k, 8.0, 12.0] for k in range(4) if (id_base + k) in gi]
        keep = [j for j in range(len(gi)) if rng.random() < 0.85]
        pi = [id_base + 100 + (gi[j] + (t > frames // 2 and j == 0)) % 7 for j in keep]
        pb = [[v + rng.normal(0, 1.5) for v in gb[j]] for j in keep]
        gt_ids.append(gi), gt_boxes.append(gb), pred_ids.append(pi), pred_boxes.append(pb)
    return gt_ids, gt_boxes, pred_ids, pred_boxes


@pytest.mark.parametrize("seed", range(4))
def test_combination_equals_one_long_sequence(seed):
    # Sequences with distinct ids, scored one after the other as a single sequence, give the
    # same counts and ratios: this is what combining must reproduce.
    rng = np.random.default_rng(seed)
    parts = [random_sequence(rng, int(rng.integers(1, 30)), 1000 * k) for k in range(3)]
    joined = [sum((p[i] for p in parts), []) for i in range(4)]
    families = cli.FAMILIES

    def score(family, seq):
        if family == "hota":
            return vestrim.compute_hota(*seq, box_format="xywh")
        fn = vestrim.compute_clear if family == "clear" else vestrim.compute_identity
        return fn(*seq, box_format="xywh")

    for family in families:
        combined = cli._COMBINERS[family]([score(family, p) for p in parts])
        whole = score(family, joined)
        for name in cli.ATTRIBUTES[family]:
            assert getattr(combined, name) == pytest.approx(getattr(whole, name), abs=1e-12), \
                (family, name)


def test_one_result_combines_to_itself():
    seq = random_sequence(np.random.default_rng(9), 25, 0)
    result = vestrim.evaluate(*seq, box_format="xywh")
    combined = vestrim.combine([result])
    for family in cli.FAMILIES:
        for name in cli.ATTRIBUTES[family]:
            assert getattr(getattr(combined, family), name) == getattr(getattr(result, family), name)
    clear = result.clear
    assert repr(vestrim.combine_clear([clear])) == repr(clear).replace("ClearMetrics", "CombinedClear")


# --- command line -------------------------------------------------------------------------------

@pytest.fixture
def folders(tmp_path):
    gt, pred = tmp_path / "gt", tmp_path / "pred"
    write(gt / "b" / "gt" / "gt.txt", "1,1,0,0,10,10,1,1,1\n2,1,0,0,10,10,1,1,1\n"
                                      "2,2,50,50,10,10,1,2,1\n")
    write(pred / "b.txt", "1,4,0,0,10,10,1\n2,4,1,0,10,10,1\n")
    write(gt / "a" / "gt" / "gt.txt", "1,1,0,0,10,10,1,1,1\n")
    write(pred / "stray.txt", "1,1,0,0,1,1,1\n")
    os.makedirs(gt / "no-gt-here")
    return gt, pred


def test_folders_csv_and_warnings(folders):
    gt, pred = folders
    status, out, err = run_cli(gt, pred, "--format", "csv", "--metrics", "clear,identity")
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [r["sequence"] for r in rows] == ["a", "b", "COMBINED"]
    assert "HOTA" not in rows[0] and "IDF1" in rows[0]
    assert [int(r["CLR_FN"]) for r in rows] == [1, 1, 2]  # a has no predictions at all
    assert [int(r["CLR_TP"]) for r in rows] == [0, 2, 2]
    assert float(rows[1]["MOTP"]) == pytest.approx((1 + 90 / 110) / 2)
    assert float(rows[2]["MOTA"]) == 1 - 2 / 4
    # warnings go to stderr, one per odd file; no progress text when stderr is not a terminal
    assert "no prediction file" in err and "scored as an empty output" in err
    assert "ignoring" in err and "stray.txt" in err and "no-gt-here" in err
    assert "[1/2]" not in err
    status, out, _ = run_cli(gt, pred, "--format", "csv", "--metrics", "clear",
                             "--gt-classes", "2")
    assert [int(r["CLR_GT"]) for r in csv.DictReader(io.StringIO(out))] == [0, 1, 1]


def test_table_and_output_file(folders, tmp_path):
    gt, pred = folders
    target = tmp_path / "out.txt"
    status, out, _ = run_cli(gt, pred, "--metrics", "identity", "-o", target)
    assert status == 0 and out == ""
    lines = target.read_text().splitlines()
    assert lines[0] == "Identity (IoU threshold 0.5)"
    assert lines[1].split() == ["Sequence", "IDF1", "IDP", "IDR", "IDTP", "IDFP", "IDFN"]
    assert [line.split()[0] for line in lines[2:5]] == ["a", "b", "COMBINED"]
    assert lines[5:7] == ["", "Count"]  # always shown
    assert lines[3].split()[1:] == ["0.8000", "1.0000", "0.6667", "2", "0", "1"]
    status, _, err = run_cli(gt, pred, "-o", tmp_path / "no" / "such" / "dir.txt",
                             "--metrics", "clear")
    assert status == 2 and "cannot write" in err


@pytest.mark.parametrize("argv, message", [
    (["--metrics", "clear,mota"], "unknown metric 'mota'"),
    (["--gt-classes", "1,a"], "classes must be integers"),
    (["--format", "xml"], "invalid choice"),
])
def test_bad_options(folders, argv, message):
    status, _, err = run_cli(*folders, *argv)
    assert status == 2 and message in err


def test_example_is_reproducible(tmp_path):
    subprocess.run([sys.executable, os.path.join(EXAMPLES, "make_example.py"), str(tmp_path)],
                   check=True)
    for sub in ("gt", "pred"):
        cmp = filecmp.dircmp(os.path.join(EXAMPLES, sub), tmp_path / sub)
        assert not (cmp.left_only or cmp.right_only or cmp.diff_files)
        for name in cmp.common_dirs:
            sub_cmp = filecmp.dircmp(os.path.join(EXAMPLES, sub, name, "gt"),
                                     tmp_path / sub / name / "gt")
            assert sub_cmp.same_files == ["gt.txt"]


def read_plain(path, gt):
    """An independent, plain reading of a MOT file into {frame: (ids, xywh boxes)}."""
    frames, last = {}, 0
    with open(path) as f:
        for line in f:
            v = line.split(",")
            last = max(last, int(v[0]))
            if gt and float(v[6]) == 0:
                continue
            ids, boxes = frames.setdefault(int(v[0]), ([], []))
            ids.append(int(v[1]))
            boxes.append([float(x) for x in v[2:6]])
    return frames, last


def test_example_end_to_end_equals_library(tmp_path):
    status, out, _ = run_cli(os.path.join(EXAMPLES, "gt"), os.path.join(EXAMPLES, "pred"),
                             "--format", "json")
    assert status == 0
    [doc] = json.loads(out)["trackers"]
    names = sorted(os.listdir(os.path.join(EXAMPLES, "gt")))
    assert [s["name"] for s in doc["sequences"]] == names and len(names) >= 2
    direct = []
    for seq in doc["sequences"]:
        gt, gt_last = read_plain(os.path.join(EXAMPLES, "gt", seq["name"], "gt", "gt.txt"), True)
        pred, pred_last = read_plain(os.path.join(EXAMPLES, "pred", seq["name"] + ".txt"), False)
        frames = range(1, max(gt_last, pred_last) + 1)
        empty = ([], [])
        args = ([gt.get(t, empty)[0] for t in frames], [gt.get(t, empty)[1] for t in frames],
                [pred.get(t, empty)[0] for t in frames], [pred.get(t, empty)[1] for t in frames])
        result = vestrim.evaluate(*args, box_format="xywh")
        direct.append(result)
        separate = {"clear": vestrim.compute_clear(*args, box_format="xywh"),
                    "identity": vestrim.compute_identity(*args, box_format="xywh"),
                    "hota": vestrim.compute_hota(*args, box_format="xywh")}
        for family in cli.FAMILIES:
            for name in cli.ATTRIBUTES[family]:
                assert seq[family][name] == getattr(getattr(result, family), name)
                assert seq[family][name] == getattr(separate[family], name)
    combined = vestrim.combine(direct)
    for family in cli.FAMILIES:
        for name in cli.ATTRIBUTES[family]:
            assert doc["combined"][family][name] == getattr(getattr(combined, family), name)
    # the table shows the same numbers
    status, table, _ = run_cli(os.path.join(EXAMPLES, "gt"), os.path.join(EXAMPLES, "pred"))
    last = [line for line in table.splitlines() if line.startswith("COMBINED")][-2]  # HOTA
    assert last.split()[1] == f"{combined.hota.hota:.4f}"
