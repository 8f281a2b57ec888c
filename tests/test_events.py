import json
import math
import pathlib
import pickle

import numpy as np
import pytest

import vestrim
from vestrim import _native
from vestrim.events import event_numbers

KINDS = vestrim.EventLog.KINDS
CONVENTIONS = ["module", "benchmark"]


def random_frames(rng):
    # Few ids and coarse similarities, so that switches, transfers and ties are common.
    special = [0.0, 0.2, 0.5, 0.5 - 2.0 ** -52, 0.6, 0.8, 1.0]
    gt_ids, pred_ids, sims = [], [], []
    for _ in range(int(rng.integers(0, 14))):
        n, m = int(rng.integers(0, 4)), int(rng.integers(0, 4))
        gt_ids.append(rng.choice(5, n, replace=False).tolist())
        pred_ids.append((rng.choice(6, m, replace=False) + 10).tolist())
        sims.append(rng.choice(special, (n, m)))
    return gt_ids, pred_ids, sims


def random_boxes(rng):
    def boxes(n):
        xy = rng.integers(0, 6, (n, 2)).astype(float)
        return np.hstack([xy, xy + rng.integers(1, 4, (n, 2))])

    gt_ids, gt_boxes, pred_ids, pred_boxes = [], [], [], []
    for _ in range(int(rng.integers(0, 10))):
        n, m = int(rng.integers(0, 5)), int(rng.integers(0, 5))
        gt_ids.append(rng.choice(5, n, replace=False).tolist())
        pred_ids.append(rng.choice(7, m, replace=False).tolist())
        gt_boxes.append(boxes(n))
        pred_boxes.append(boxes(m))
    return gt_ids, gt_boxes, pred_ids, pred_boxes


def check_counts(log, clear, switch_events):
    counts = log.counts()
    assert counts["MATCH"] + counts["SWITCH"] == clear.num_matches
    assert counts["SWITCH"] == clear.num_switches
    assert counts["FP"] == clear.num_false_positives
    assert counts["MISS"] == clear.num_misses
    assert (counts["TRANSFER"], counts["ASCEND"], counts["MIGRATE"]) == (
        switch_events.num_transfer, switch_events.num_ascend, switch_events.num_migrate)
    assert np.array_equal(log.from_switch_matcher, log.kind >= KINDS.index("TRANSFER"))
    assert np.all(np.diff(log.frame) >= 0)


@pytest.mark.parametrize("convention", CONVENTIONS)
def test_counts_equal_the_metrics(convention):
    rng = np.random.default_rng(7 if convention == "module" else 8)
    for _ in range(150):
        gt_ids, pred_ids, sims = random_frames(rng)
        log = vestrim.frame_events_from_similarity(gt_ids, pred_ids, sims, threshold=0.5, convention=convention)
        clear = _native.evaluate_from_similarity(gt_ids, pred_ids, sims, 0.5, convention)[0]
        check_counts(log, clear, vestrim.compute_quorvantix_switch_events(gt_ids, pred_ids, sims, 0.5))
    for _ in range(60):
        seq = random_boxes(rng)
        log = vestrim.frame_events(*seq, iou_threshold=0.3, convention=convention)
        clear = _native.evaluate(*seq, 0.3, convention)[0]
        ious = [vestrim.iou_matrix(g, p) for g, p in zip(seq[1], seq[3])]
        check_counts(log, clear, vestrim.compute_quorvantix_switch_events(seq[0], seq[2], ious, 0.3))


def test_worked_example_rows_and_order():
    gt_ids = [[1, 2], [1, 2], [], [2]]
    pred_ids = [[10, 11], [12, 11], [12], []]
    sims = [[[0.9, 0.0], [0.0, 0.8]], [[0.0, 0.7], [0.1, 0.0]], np.zeros((0, 1)), np.zeros((1, 0))]
    log = vestrim.frame_events_from_similarity(gt_ids, pred_ids, sims)
    plain = vestrim.asdict(log)
    no_pair = [None if math.isnan(s) else s for s in plain["similarity"]]
    rows = list(zip(plain["frame"], plain["kind"], plain["gt_id"], plain["pred_id"], no_pair,
                    plain["from_switch_matcher"]))
    nan = None
    assert rows == [
        (0, "MATCH", 1, 10, 0.9, False), (0, "MATCH", 2, 11, 0.8, False),
        (1, "SWITCH", 1, 11, 0.7, False), (1, "MISS", 2, None, nan, False), (1, "FP", None, 12, nan, False),
        (1, "TRANSFER", 1, 11, 0.7, True),
        (2, "FP", None, 12, nan, False),
        (3, "MISS", 2, None, nan, False),
    ]
    assert [log.frame.dtype, log.kind.dtype, log.gt_id.dtype, log.has_gt.dtype, log.similarity.dtype] == [
        np.int64, np.uint8, np.int64, np.bool_, np.float64]
    assert not log.frame.flags.writeable
    assert len(log.of_kind("MISS", "FP")) == 4

    df = log.to_dataframe()
    assert list(df.index.names) == ["FrameId", "Event"] and list(df.columns) == ["Type", "OId", "HId", "D"]
    assert df.index.tolist()[:5] == [(0, 0), (0, 1), (1, 0), (1, 1), (1, 2)]
    assert df.loc[(1, 2)].Type == "FP" and df.loc[(1, 2)].OId is pd_na() and df.loc[(1, 2)].HId == 12
    assert df.loc[(0, 0)].D == 1.0 - 0.9

    again = pickle.loads(pickle.dumps(log))
    assert all(np.array_equal(getattr(again, c), getattr(log, c), equal_nan=c == "similarity")
               for c in ("frame", "kind", "gt_id", "pred_id", "has_gt", "has_pred", "similarity"))


def pd_na():
    import pandas
    return pandas.NA


def test_event_numbers_are_int64_offsets():
    big = 2 ** 40
    frames = np.array([3, 3, 3, big, big, big + 1, 5_000_000_000], dtype=np.int64)
    numbers = event_numbers(frames)
    assert numbers.dtype == np.int64 and numbers.tolist() == [0, 1, 2, 0, 1, 0, 0]
    assert event_numbers(np.zeros(0, np.int64)).tolist() == []
    # Frame numbers of a loaded sequence go through unchanged, whatever their size.
    columns = _native.frame_events_from_similarity([[1], [1]], [[2], [2]], [[[0.9]], [[0.9]]], 0.5, "module",
                                                   [big, 2 ** 62])
    assert columns[0].tolist() == [big, 2 ** 62]


def test_bad_input_as_the_metrics_word_it():
    args = ([[1]], [[[0, 0, 1, 1]]], [[1], [2]], [[[0, 0, 1, 1]], [[0, 0, 1, 1]]])
    with pytest.raises(ValueError) as expected:
        vestrim.evaluate(*args)
    with pytest.raises(ValueError) as got:
        vestrim.frame_events(*args)
    assert str(got.value) == str(expected.value)
    with pytest.raises(ValueError) as expected:
        _native.evaluate([[1]], [[[0, 0, 1, 1]]], [[1]], [[[0, 0, 1, 1]]], 0.5, "bench")
    for call in (lambda: vestrim.frame_events([[1]], [[[0, 0, 1, 1]]], [[1]], [[[0, 0, 1, 1]]], convention="bench"),
                 lambda: vestrim.track_table_from_similarity([[1]], [[1]], [[[1.0]]], convention="bench")):
        with pytest.raises(ValueError) as got:
            call()
        assert str(got.value) == str(expected.value)
    with pytest.raises(ValueError, match="one entry per frame"):
        _native.frame_events_from_similarity([[1]], [[2]], [[[0.9]]], 0.5, "module", [1, 2])


@pytest.mark.parametrize("convention", CONVENTIONS)
def test_track_tables_add_up_to_the_metrics(convention):
    rng = np.random.default_rng(11 if convention == "module" else 12)
    for _ in range(120):
        gt_ids, pred_ids, sims = random_frames(rng)
        tables = vestrim.track_table_from_similarity(gt_ids, pred_ids, sims, convention=convention)
        clear, identity, hota = _native.evaluate_from_similarity(gt_ids, pred_ids, sims, 0.5, convention)
        gt, pred = tables.gt, tables.pred
        assert gt.frames.sum() == clear.num_gt and pred.frames.sum() == identity.num_pred
        assert gt.matched.sum() == pred.matched.sum() == clear.num_matches
        assert gt.switches.sum() == clear.num_switches and gt.frag.sum() == clear.frag
        assert np.bincount(gt.track_class, minlength=3).tolist() == [clear.mt, clear.pt, clear.ml]
        assert gt.idtp.sum() == identity.idtp and pred.idfp.sum() == identity.idfp
        assert np.all(pred.gt_covered <= pred.matched) and np.all((pred.gt_covered > 0) == (pred.matched > 0))
        tp = gt.tp_alphas.sum(axis=0)
        weighted = (gt.association_alphas * gt.tp_alphas).sum(axis=0) / np.maximum(tp, 1.0)
        assert np.allclose(weighted, hota.assa_alphas, rtol=1e-12, atol=1e-15)
        assert np.array_equal(tp, hota.hota_tp_alphas)
        assert np.allclose(gt.association, gt.association_alphas.mean(axis=1), rtol=1e-12, atol=1e-15)


def test_track_table_worked_example():
    # gt 1 is followed by prediction 10, then by 11 (a switch); gt 2 by 11, then lost.
    boxes = [[0, 0, 10, 10], [20, 0, 30, 10]]
    gt_ids = [[1, 2]] * 4
    pred_ids = [[10, 11], [10, 11], [11, 12], [11, 12]]
    gt_boxes = [boxes] * 4
    far = [[0, 0, 10, 10], [50, 50, 60, 60]]
    pred_boxes = [boxes, boxes, far, far]
    tables = vestrim.track_table(gt_ids, gt_boxes, pred_ids, pred_boxes)
    gt, pred = tables.to_dataframe()
    assert gt.loc[1, ["frames", "matched", "switches", "partner", "idtp", "track_class"]].tolist() == [
        4, 4, 1, 10, 2, "MT"]
    assert gt.loc[2, ["frames", "matched", "frag", "partner", "idtp", "track_class"]].tolist() == [4, 2, 0, 11, 2, "PT"]
    assert pred.loc[11, ["frames", "matched", "gt_covered", "idfp"]].tolist() == [4, 4, 2, 2]
    assert pred.loc[12].tolist() == [2, 0, 0, 2]
    assert gt.loc[2, "association"] == pytest.approx(2 / (4 + 4 - 2))
    assert vestrim.asdict(tables)["gt"]["partner"] == [10, 11]
    assert pickle.loads(pickle.dumps(tables)).gt.association.tolist() == tables.gt.association.tolist()


def test_timeline_cells_and_binning(tmp_path):
    pytest.importorskip("matplotlib")
    from vestrim.timeline import timeline_figure

    b = [[0, 0, 10, 10], [20, 0, 30, 10]]
    # gt 2 switches to prediction 10 in frame 2; gt 1 is missed in frame 3 while 12 is a false positive.
    pred_ids = [[10, 11], [10, 11], [11, 10], [12, 10]]
    pred_boxes = [b, b, b, [[50, 50, 60, 60], b[1]]]
    path = tmp_path / "t.png"
    fig = vestrim.plot_timeline([[1, 2]] * 4, [b] * 4, pred_ids, pred_boxes, path=path)
    assert fig.axes[1].images[0].get_array().tolist() == [[1, 1, 3, 2], [1, 1, 3, 1]]
    assert [p.get_height() for p in fig.axes[0].patches] == [0, 0, 0, 1]
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    log = vestrim.frame_events([[1, 2]] * 4, [b] * 4, pred_ids, pred_boxes)
    assert timeline_figure(log, frames=(1, 2)).axes[1].images[0].get_array().tolist() == [[1, 3], [1, 3]]

    # 30,000 frames x 3,000 tracks: cells are binned to stay within 4,000 x 3,000 pixels.
    n = 3000 * 10
    log = vestrim.EventLog(np.repeat(np.arange(0, 30000, 3000, dtype=np.int64), 3000), np.zeros(n, np.uint8),
                           np.tile(np.arange(3000, dtype=np.int64), 10), np.zeros(n, np.int64), np.ones(n, bool),
                           np.zeros(n, bool), np.ones(n), np.zeros(n, bool))
    fig = timeline_figure(log, frames=(0, 29999))
    width, height = fig.get_size_inches() * fig.dpi
    assert width <= 4000 and height <= 3000
    grid = fig.axes[1].images[0].get_array()
    assert grid.shape == (-(-3000 // 3), -(-30000 // 16)) and grid.sum() == 10 * 1000
    assert fig.legends[0].get_title().get_text().startswith("1 column = 16 frames; 1 row = 3 tracks")


def test_event_files(tmp_path):
    from vestrim.event_files import write_event_files

    gt_ids, pred_ids = [[1, 2], [1, 2], [], [2]], [[10, 11], [12, 11], [12], []]
    sims = [[[1.0, 0.0], [0.0, 0.8]], [[0.0, 0.7], [0.1, 0.0]], np.zeros((0, 1)), np.zeros((1, 0))]
    log = vestrim.frame_events_from_similarity(gt_ids, pred_ids, sims)
    tables = vestrim.track_table_from_similarity(gt_ids, pred_ids, sims)
    events, gt, pred = write_event_files(str(tmp_path / "a" / "b"), log, tables)
    assert open(events).read().splitlines() == [
        "frame,event,kind,gt_id,pred_id,similarity,from_switch_matcher",
        "0,0,MATCH,1,10,1.0,0", "0,1,MATCH,2,11,0.8,0",
        "1,0,SWITCH,1,11,0.7,0", "1,1,MISS,2,,,0", "1,2,FP,,12,,0", "1,3,TRANSFER,1,11,0.7,1",
        "2,0,FP,,12,,0", "3,0,MISS,2,,,0"]
    # gt 1's association: 1/2 with 10 at every alpha, and 1/3 with 11 up to alpha 0.7 (14 of 19 alphas).
    assert (14 * (1 / 2 + 1 / 3) / 2 + 5 * 1 / 2) / 19 == pytest.approx(0.4385964912280701, abs=1e-15)
    assert open(gt).read().splitlines()[:2] == [
        "id,frames,matched,ratio,class,frag,switches,partner,idtp,association",
        "1,2,2,1.0,MT,0,1,10,1,0.4385964912280701"]
    assert open(pred).read().splitlines()[1:] == ["10,1,1,1,0", "11,2,2,2,1", "12,2,0,0,2"]
    with pytest.raises(ValueError, match="has 1 rows, expected 8"):
        _native.events_csv(log.frame, log.kind[:1], *([log.gt_id] * 2), *([log.has_gt.view(np.uint8)] * 2),
                           log.similarity, log.has_gt.view(np.uint8))


@pytest.mark.parametrize("gt, tracker, protocol, first, options", [
    ("examples/mot17/gt", "examples/mot17/trackers/alpha", "mot17", 1, {}),
    ("examples/kitti/gt", "examples/kitti/tracker_a", "kitti", 0, {}),
    ("examples/kitti_mots/gt", "examples/kitti_mots/tracker_a", "kitti-mots", 0, {}),
    ("examples/bdd100k/gt", "examples/bdd100k/trackers/alpha", "bdd100k", 0, {}),
    ("examples/multiclass/gt", "examples/multiclass/trackers/alpha", "mot-multiclass", 1,
     {"class_names": {1: "pedestrian", 3: "car", 4: "bus"}, "ignore_classes": {13}}),
])
def test_loaded_sequences_as_the_benchmark_scores_them(gt, tracker, protocol, first, options, monkeypatch):
    monkeypatch.chdir(pathlib.Path(__file__).resolve().parent.parent)
    result = vestrim.evaluate_benchmark(gt, [tracker], protocol=protocol, **options)
    scored = {(t.class_name, s.name): s for t in result.trackers for s in t.sequences}
    for seq in vestrim.load_benchmark(gt, tracker, protocol=protocol, **options):
        log = vestrim.frame_events_for(seq, protocol)
        clear = scored[seq.class_name, seq.name].clear
        counts = log.counts()
        assert (counts["MATCH"] + counts["SWITCH"], counts["SWITCH"], counts["FP"], counts["MISS"]) == (
            clear.num_matches, clear.num_switches, clear.num_false_positives, clear.num_misses)
        if len(log):
            assert first <= log.frame[0] and log.frame[-1] < first + seq.num_frames
        assert vestrim.track_table_for(seq, protocol).gt.idtp.sum() == scored[seq.class_name, seq.name].identity.idtp
    with pytest.raises(ValueError, match="scores at IoU 0.5 only"):
        vestrim.frame_events_for(seq, protocol, iou_threshold=0.6)


def tree(root):
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_command_line_event_files(tmp_path, monkeypatch, capsys):
    from vestrim import cli

    monkeypatch.chdir(pathlib.Path(__file__).resolve().parent.parent)
    trackers = ["examples/mot17/trackers/alpha", "examples/mot17/trackers/beta"]
    outputs = []
    for jobs in (1, 2):
        out = tmp_path / f"jobs{jobs}"
        argv = ["examples/mot17/gt", *trackers, "--protocol", "mot17", "--format", "json", "--jobs", str(jobs),
                "--metrics", "clear", "--events", out / "events", "-o", out / "result.json"]
        assert cli.main([str(a) for a in argv]) == 0
        outputs.append(tree(out / "events"))
    assert outputs[0] == outputs[1]
    result = json.loads((tmp_path / "jobs1" / "result.json").read_text())
    for t in result["trackers"]:
        for s in t["sequences"]:
            rows = outputs[0][f"{t['name']}/pedestrian/{s['name']}/events.csv"].decode().splitlines()[1:]
            kinds = [r.split(",")[2] for r in rows]
            assert (kinds.count("MATCH") + kinds.count("SWITCH"), kinds.count("SWITCH"), kinds.count("FP"),
                    kinds.count("MISS")) == tuple(s["clear"][k] for k in (
                        "num_matches", "num_switches", "num_false_positives", "num_misses"))
    # A plain run's class folder.
    argv = ["examples/gt/synth-01/gt/gt.txt", "examples/pred/synth-01.txt", "--events", tmp_path / "plain",
            "-o", tmp_path / "plain.txt"]
    assert cli.main([str(a) for a in argv]) == 0
    assert sorted(tree(tmp_path / "plain")) == [f"synth-01/all/synth-01/{f}.csv"
                                                 for f in ("events", "gt_tracks", "pred_tracks")]
    # Runs without sequences of their own are refused before anything is read.
    capsys.readouterr()
    for argv, message in [
        (["gt", "pred", "--protocol", "nuscenes", "--split", "mini_val"], "nuscenes is not scored sequence by sequence"),
        (["--data-root", tmp_path, "--benchmark", "MOT17"], "--events applies to GT and PRED runs"),
    ]:
        assert cli.main([str(a) for a in argv] + ["--events", str(tmp_path / "refused")]) == 2
        assert message in capsys.readouterr().err
    assert not (tmp_path / "refused").exists()


def test_command_line_timelines(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from vestrim import cli
    from vestrim.event_files import write_run_events
    from vestrim.options import run_options

    monkeypatch.chdir(pathlib.Path(__file__).resolve().parent.parent)
    argv = ["examples/mot17/gt", "examples/mot17/trackers/alpha", "--protocol", "mot17", "--jobs", "1",
            "--events", tmp_path / "events", "--plot", tmp_path / "plots", "-o", tmp_path / "table.txt"]
    assert cli.main([str(a) for a in argv]) == 0
    timelines = tree(tmp_path / "plots" / "timelines")
    assert sorted(timelines) == ["alpha/pedestrian/SYN-01.png", "alpha/pedestrian/SYN-02.png"]
    write_run_events("examples/mot17/gt", ["examples/mot17/trackers/alpha"], run_options("mot17", jobs=2),
                     events_dir=str(tmp_path / "pooled"), timelines_dir=str(tmp_path / "pooled_timelines"))
    assert tree(tmp_path / "pooled_timelines") == timelines
    assert tree(tmp_path / "pooled") == tree(tmp_path / "events")
