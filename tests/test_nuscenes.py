"""nuScenes tracking: hand-worked scenes for the rules that decide the numbers, refused input, the
command line, and the sweep with another matching criterion."""

import importlib.util
import json
import math
import os

import pytest

pytest.importorskip("msgspec")

import vestrim  # noqa: E402
from vestrim import _core_testing  # noqa: E402
from vestrim.datasets.nuscenes import NuscenesError  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_spec = importlib.util.spec_from_file_location(
    "make_nuscenes_example", os.path.join(ROOT, "examples", "make_nuscenes_example.py"))
make = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(make)

NAN = float("nan")


def car(instance, x, y=0.0, **extra):
    return {"instance": instance, "category": "vehicle.car", "xyz": (x, y, 0.0), **extra}


def scene(name, times, boxes, ego=(90.0, 0.0, 0.0)):
    return {"name": name, "samples": [{"time": t, "ego": ego, "boxes": b}
                                      for t, b in zip(times, boxes)]}


def run(tmp_path, scenes, results, classes=None):
    """Score `results` ({sample token: [(id, class, xyz, score)]}) on the scenes as split 'all'."""
    folder = make.write_dataset(str(tmp_path), scenes, "v1.0-test-set",
                                splits={"all": [s["name"] for s in scenes]})
    path = make.write_results(str(tmp_path / "tracker.json"), results)
    result = vestrim.evaluate_benchmark(folder, [path], protocol="nuscenes", split="all",
                                        classes=classes)
    return {e.class_name: e for e in result.entries}


def test_gap_filled_toward_far_neighbour_and_unreached_recall_points(tmp_path):
    # Car A stands at x = 100, 102.5, 110 at t = 1.0, 1.25, 2.0 s; the tracker sees it at the two
    # ends only. Its filled box lies at 0.25 * 100 + 0.75 * 110 = 107.5 (the far neighbour
    # weighted), 5 m from A: a miss and a false positive. A pedestrian with no lidar or radar
    # points in the middle frame comes back by filling (3 gt boxes), unmatched: the worst values.
    times = [1_000_000, 1_250_000, 2_000_000]
    ped = [{"instance": "P", "category": "human.pedestrian.adult", "xyz": (120.0, 0.0, 0.0),
            "lidar": 0 if k == 1 else 3} for k in range(3)]
    s = scene("s1", times, [[car("A", 100.0), ped[0]], [car("A", 102.5), ped[1]],
                            [car("A", 110.0), ped[2]]])
    results = {"s1-0": [("h", "car", (100.0, 0.0, 0.0), 0.5)], "s1-1": [],
               "s1-2": [("h", "car", (110.0, 0.0, 0.0), 0.5), ("b", "bus", (50, 0, 0), 0.9)]}
    out = run(tmp_path, [s], results)
    c = out["car"].values
    assert (c["gt"], c["tp"], c["fp"], c["fn"], c["ids"], c["frag"]) == (3, 2, 1, 1, 0, 1)
    assert c["recall"] == 2 / 3 and c["mota"] == 1 - 2 / 3 and c["motp"] == 0.0
    assert c["motar"] == max(0.0, 1 - (2 - (1 - 2 / 3) * 3) / (2 / 3 * 3))
    assert (c["tid"], c["lgd"], c["mt"], c["ml"]) == (0.0, 0.5, 0, 0)
    assert c["faf"] == 1 / 3 * 100
    # Two matched scores for three gt boxes: recall points above 2/3 (the first 15) are unreached.
    curves = out["car"].curves
    assert all(math.isnan(v) for v in curves["confidence"][:15])
    assert curves["confidence"][15:] == [0.5] * 25
    assert curves["recall_hypo"][0] == 1.0 and curves["recall_hypo"][39] == 0.1
    assert all(math.isnan(v) for v in curves["mota"][:15])
    assert c["amota"] == c["motar"] * 25 / 40 and c["amotp"] == 15 * 2 / 40
    p = out["pedestrian"].values
    assert (p["gt"], p["fn"], p["ml"], p["amota"], p["amotp"], p["faf"], p["tid"]) == \
        (3, 3, 1, 0.0, 2.0, 500.0, 20.0)
    assert math.isnan(p["fp"]) and math.isnan(p["ids"]) and math.isnan(p["frag"])
    # A class without ground truth is NaN throughout, and the combined entry skips it.
    assert all(math.isnan(v) for v in out["bus"].values.values())
    overall = out["overall"].values
    assert overall["gt"] == 3 and overall["tp"] == 2 and overall["fn"] == 4
    assert overall["amota"] == (c["amota"] + 0.0) / 2


def test_carry_forward_keeps_pairs_and_assignment_maximises_matches(tmp_path):
    # Frame 1 pairs A-h and B-k. In frame 2, A is 1.5 m from h and 0 m from k, B 1.5 m from k and
    # 0 m from h: the earlier pairs are kept (no switch), though swapping them costs nothing.
    # Frame 3 (new objects C, D, tracks m, n): d(C,m) = 0.4, d(C,n) = 1.6, d(D,m) = 1.2 and D-n
    # beyond 2 m: the assignment takes C-n and D-m (two matches), not C-m alone.
    times = [0, 500_000, 1_000_000]
    gt = [[car("A", 100.0), car("B", 100.0, 10.0)],
          [car("A", 100.0), car("B", 100.0, 1.5)],
          [car("C", 100.0, 30.0), car("D", 101.2, 30.0)]]
    pred = {"s1-0": [("h", "car", (100.0, 0.0, 0.0), 0.9), ("k", "car", (100.0, 10.0, 0.0), 0.9)],
            "s1-1": [("h", "car", (100.0, 1.5, 0.0), 0.9), ("k", "car", (100.0, 0.0, 0.0), 0.9)],
            "s1-2": [("m", "car", (100.0, 30.0, 0.0), 0.9), ("n", "car", (98.4, 30.0, 0.0), 0.9)]}
    pred["s1-2"][0] = ("m", "car", (100.0, 30.4, 0.0), 0.9)
    c = run(tmp_path, [scene("s1", times, gt)], pred)["car"].values
    assert (c["tp"], c["ids"], c["fp"], c["fn"]) == (6, 0, 0, 0)
    d_dm = math.sqrt(1.2 ** 2 + 0.4 ** 2)
    expected = [0.0, 0.0, 1.5, 1.5, 1.6, d_dm]
    assert c["motp"] == pytest.approx(sum(expected) / 6, abs=1e-9)


def test_bicycle_rack_drops_bicycles_inside_it_only(tmp_path):
    # A rack 4 m long and 1 m high turned 90 degrees about z: a bicycle at its centre is dropped,
    # one 1.5 m along y (inside the turned rack) too, one 1.5 m along x (outside) and one above
    # it (z counts) are kept, on both sides.
    quarter = (math.cos(math.pi / 4), 0.0, 0.0, math.sin(math.pi / 4))
    rack = {"instance": "R", "category": "static_object.bicycle_rack", "xyz": (100.0, 0.0, 0.5),
            "size": (2.0, 4.0, 1.0), "rotation": quarter}
    spots = {"in": (100.0, 0.0, 0.5), "along": (100.0, 1.5, 0.5), "beside": (101.5, 0.0, 0.5),
             "above": (100.0, 0.0, 1.2)}
    boxes = [rack] + [{"instance": n, "category": "vehicle.bicycle", "xyz": xyz}
                      for n, xyz in spots.items()]
    pred = {"s1-0": [(n, "bicycle", xyz, 0.8) for n, xyz in spots.items()]}
    out = run(tmp_path, [scene("s1", [0], [boxes])], pred)
    b = out["bicycle"].values
    assert (b["gt"], b["tp"], b["fp"], b["fn"]) == (2, 2, 0, 0)


def test_track_scores_are_means_and_threshold_sweep(tmp_path):
    # Track h scores 0.2 and 0.8 (mean 0.5), track g 0.9 in one frame (a false positive at 20 m);
    # the matched scores are h's two means: every recall point reached at threshold 0.5.
    times = [0, 500_000]
    gt = [[car("A", 100.0)], [car("A", 100.0)]]
    pred = {"s1-0": [("h", "car", (100.0, 0.0, 0.0), 0.2), ("g", "car", (100.0, 20.0, 0.0), 0.9)],
            "s1-1": [("h", "car", (100.0, 0.0, 0.0), 0.8)]}
    out = run(tmp_path, [scene("s1", times, gt)], pred, classes=["car"])
    assert list(out) == ["car", "overall"]
    assert out["car"].curves["confidence"] == [0.5] * 40
    assert out["car"].values["fp"] == 1 and out["car"].values["mota"] == 0.5


@pytest.mark.parametrize("change, message", [
    (lambda d: d["results"]["s1-0"][0].pop("tracking_id"),
     "sample s1-0: box 0: missing field tracking_id"),
    (lambda d: d["results"]["s1-0"][0].update(tracking_name="van"),
     "sample s1-0: box 0: tracking_name 'van' is not one of"),
    (lambda d: d["results"]["s1-0"][0].update(translation=[1, 2]),
     "sample s1-0: box 0: translation must be 3 numbers"),
    (lambda d: d["results"]["s1-0"][0].update(tracking_score="abc"),
     "sample s1-0: box 0: tracking_score 'abc' is not a number"),
    (lambda d: d["results"].pop("s1-1"), "sample s1-1 of split all"),
    (lambda d: d.pop("meta"), "no 'meta'"),
    (lambda d: d["results"].update({"s1-0": d["results"]["s1-0"] * 501}), "501 boxes"),
])
def test_refused_results_name_file_sample_and_box(tmp_path, change, message):
    folder = make.write_dataset(str(tmp_path), [scene("s1", [0, 1], [[car("A", 100.0)]] * 2)],
                                "v1.0-x", splits={"all": ["s1"]})
    path = make.write_results(str(tmp_path / "t.json"),
                              {"s1-0": [("h", "car", (100, 0, 0), 0.5)], "s1-1": []})
    with open(path) as f:
        document = json.load(f)
    change(document)
    with open(path, "w") as f:
        json.dump(document, f)
    with pytest.raises(NuscenesError, match="t.json: .*" if "no 'meta'" in message else None) as e:
        vestrim.evaluate_benchmark(folder, [path], protocol="nuscenes", split="all")
    assert path in str(e.value) and message in str(e.value)


def test_refused_dataset_and_split(tmp_path):
    folder = make.write_dataset(str(tmp_path), [scene("s1", [0], [[car("A", 100.0)]])], "v1.0-x",
                                splits={"all": ["s1"], "bad": "s1"})
    path = make.write_results(str(tmp_path / "t.json"), {"s1-0": []})
    with pytest.raises(NuscenesError, match="v1.0-x: split mini_val belongs to a version ending in 'mini'"):
        vestrim.evaluate_benchmark(folder, [path], protocol="nuscenes", split="mini_val")
    with pytest.raises(NuscenesError, match="split 'bad' is not a list"):
        vestrim.evaluate_benchmark(folder, [path], protocol="nuscenes", split="bad")
    with pytest.raises(NuscenesError, match="no box in the samples"):
        vestrim.evaluate_benchmark(folder, [path], protocol="nuscenes", split="all")
    table = os.path.join(folder, "sample_annotation.json")
    with open(table) as f:
        records = json.load(f)
    records[0]["instance_token"] = "nobody"
    with open(table, "w") as f:
        json.dump(records, f)
    with pytest.raises(NuscenesError, match=r"sample_annotation.json: row 0: instance_token: "
                                            r"no record with token 'nobody'"):
        vestrim.evaluate_benchmark(folder, [path], protocol="nuscenes", split="all")


def test_command_line_example_outputs(tmp_path, capsys):
    from vestrim.cli import main
    example = os.path.join(ROOT, "examples", "nuscenes")
    base = [os.path.join(example, "v1.0-mini"), os.path.join(example, "results", "jumpy.json"),
            "--protocol", "nuscenes", "--split", "mini_val"]
    assert main(base + ["--format", "nuscenes"]) == 0
    document = json.loads(capsys.readouterr().out)
    assert document["meta"]["use_lidar"] is True
    assert math.isnan(document["label_metrics"]["amota"]["bus"])
    assert document["cfg"]["dist_th_tp"] == 2.0
    assert main(base + ["--format", "json", "--classes", "car", "--plot", str(tmp_path)]) == 0
    assert sorted(os.listdir(tmp_path / "nuscenes")) == ["comparison_car.png", "jumpy_car.png"]
    entries = json.loads(capsys.readouterr().out)["trackers"]
    assert main(base + ["--format", "json", "--classes", "car", "--jobs", "2"]) == 0
    assert json.loads(capsys.readouterr().out)["trackers"] == entries  # results read in a worker
    assert [e["class"] for e in entries] == ["car", "overall"]
    assert len(entries[0]["combined"]["nuscenes"]["mota_curve"]) == 40
    assert entries[1]["combined"]["nuscenes"]["amota"] == \
        entries[0]["combined"]["nuscenes"]["amota"]
    for extra, message in [(["--metrics", "clear"], "--metrics does not apply"),
                           (["--split", "val"], "ending in 'trainval'")]:
        assert main(base + extra) == 2
        out, err = capsys.readouterr()
        assert out == "" and message in err and err.count("\n") == 1


def test_sweep_with_3d_iou_criterion():
    # Object 0 is tracked by track 0 (score 0.9) in two frames, a false track 1 (score 0.3)
    # overlaps nothing; boxes 2 x 2 x 2, track 0 shifted 0.1 along x: IoU 1.9 / 2.1.
    def box(x):
        return [x, 0.0, 0.0, 2.0, 2.0, 2.0, 0.0]
    frames = [([(0, box(0.0))], [(0, 0.9, box(0.1))]),
              ([(0, box(0.0))], [(0, 0.9, box(0.1)), (1, 0.3, box(5.0))])]
    amota, amotp, best, confidence, passes = _core_testing.sweep_iou3d(frames)
    assert confidence == [0.9] * 40 and passes == 1
    assert amota == 1.0 and amotp == pytest.approx(1 - 1.9 / 2.1, abs=1e-12)
    assert best[:4] == [1.0, 1.0, 2.0, 1.0]  # recall, motar, gt, mota: the 0.3 track is cut
    assert _core_testing.sweep_iou3d(frames, 2) == (amota, amotp, best, confidence, passes)


BOX = ('{"sample_token": "s", "translation": [1.5, 2, 3], "size": [1, 2, 3], '
       '"rotation": [1, 0, 0, 0], "velocity": %s, "tracking_id": %s, "tracking_name": "car"%s}')


def box(velocity="[0, 0]", tracking_id='"a"', extra=""):
    return BOX % (velocity, tracking_id, extra)


@pytest.mark.parametrize("text, fast", [
    # Literals as values: the fast reading stands.
    ('{"meta": {"x": [NaN, -Infinity]}, "results": {"s": [%s, %s]}}'
     % (box("[NaN, Infinity]"), box("[-Infinity, 0.5]", extra=', "num_pts": 3')), True),
    ('{"meta": null, "results": {"s": [%s], "t": []}}' % box(extra=', "tracking_score": "0.25"'),
     True),
    # Literals elsewhere, or strings that look like them: the standard parser decides.
    ('{"meta": {}, "results": {"s": [%s]}}' % box("[0, 0]", extra=', "translation": [NaN, 1, 2]'),
     True),
    ('{"meta": {NaN: 1}, "results": {"s": [%s]}}' % box(), False),
    ('{"meta": {}, "results": {"s": [%s]}}' % box("[NaN, 0]", '"NaN"'), False),
    ('{"meta": {}, "results": {"s": [%s]}}' % box("[NaN, 0]", '"\\u004eaN"'), False),
    ('{"meta": {}, "results": {"s": [%s], "\\NaN": 1}}' % box(), False),
    ('{"meta": {}, "results": {"s": [%s]}}' % box("[NaN, 0]", extra=', "x": {"y": NaN}'), False),
    ('{"meta": {}, "results": {"s": [%s, NaN]}}' % box(), False),
    ('{"meta": {}, "results": {"s": [%s]}}' % box("[1e999, 0]"), False),
])
def test_results_read_fast_exactly_as_the_standard_parser_reads_them(tmp_path, text, fast):
    from vestrim.datasets import nuscenes

    def outcome(read):
        try:
            p = read()
        except NuscenesError as e:
            return str(e)
        faults = {(t, k): p.faults[i] for t, v in p.samples.items() if hasattr(v, "tolist")
                  for k, i in enumerate(v.tolist()) if i in p.faults}
        def box(i):
            track = p.track_names[p.track[i]] if p.track[i] >= 0 else None
            return p.xyz[i].tolist(), int(p.cls[i]), float(p.score[i]), int(p.num_pts[i]), track

        boxes = {t: [box(i) for i in v.tolist()] if hasattr(v, "tolist") else repr(v)
                 for t, v in p.samples.items()}
        return repr((p.meta, boxes, faults))

    path = tmp_path / "r.json"
    path.write_bytes(text.encode())
    data = path.read_bytes()
    quoted, literals = nuscenes._native_quote(data)
    assert nuscenes._unquote(quoted) == data
    assert (nuscenes._parse_strictly(quoted, literals) is not None) == fast
    assert outcome(lambda: nuscenes.parse_results(str(path))) == \
        outcome(lambda: nuscenes._parse_permissively(str(path), data))


def test_literal_quoting_round_trips():
    from hypothesis import given, strategies as st
    from vestrim.datasets import nuscenes

    @given(st.lists(st.sampled_from(["NaN", "Infinity", "-", '"', "a", "N", "\\", "I", " "])))
    def check(parts):
        data = "".join(parts).encode()
        quoted, literals = nuscenes._native_quote(data)
        assert nuscenes._unquote(quoted) == data
        assert literals == data.count(b"NaN") + data.count(b"Infinity")
    check()
