"""Results as data: asdict, DataFrames, HOTA plots (also from the command line) and the lazily
loaded submodules. pandas and matplotlib are test dependencies: these tests fail without them."""

import copy
import dataclasses
import json
import math
import os
import pickle
import subprocess
import sys

import matplotlib
import pandas as pd
import pytest

import vestrim
from vestrim import _native, derived
from test_cli import run_cli

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MOT17 = os.path.join(ROOT, "examples", "mot17")
TRACKERS = [os.path.join(MOT17, "trackers", name) for name in ("alpha", "beta")]


@pytest.fixture(scope="module")
def bench():
    return vestrim.evaluate_benchmark(os.path.join(MOT17, "gt"), TRACKERS, protocol="mot17")


@pytest.fixture(scope="module")
def sequence():
    box = (0, 0, 10, 10)
    return vestrim.evaluate([[1]] * 4, [[box]] * 4, [[7], [7], [8], [8]], [[(1, 0, 11, 10)]] * 4)


def test_asdict_of_a_benchmark_is_its_json_document(bench):
    assert vestrim.asdict(bench) == json.loads(bench.to_json())
    tracker = bench.trackers[0]
    assert vestrim.asdict(tracker) == json.loads(bench.to_json())["trackers"][0]
    combined = vestrim.asdict(tracker.combined)
    assert combined["name"] == "COMBINED"
    assert vestrim.asdict(tracker.combined.count) == combined["count"]


def test_benchmark_results_pickle_and_copy(bench):
    for copied in (pickle.loads(pickle.dumps(bench)), copy.deepcopy(bench)):
        assert type(copied.trackers[0].sequences[0].hota) is vestrim.HotaMetrics
        assert vestrim.asdict(copied) == vestrim.asdict(bench)


def test_asdict_of_metrics_uses_the_json_keys(bench, sequence):
    document = vestrim.asdict(bench)["trackers"][0]["combined"]
    as_dict = vestrim.asdict(sequence)
    assert list(as_dict) == ["clear", "identity", "hota"]
    for family in as_dict:
        assert list(as_dict[family]) == list(document[family])
        assert as_dict[family] == vestrim.asdict(getattr(sequence, family))
    derived_hota = derived.derive_hota(sequence.hota)
    assert as_dict["hota"]["owta"] == derived_hota.owta
    assert as_dict["hota"]["hota_loca_0"] == derived_hota.hota_loca_0
    # A combined result of one sequence holds the same values under the same keys.
    assert vestrim.asdict(vestrim.combine([sequence])) == as_dict
    acc = vestrim.Accumulator()
    assert list(vestrim.asdict(acc.compute())) == ["clear", "identity"]


def test_asdict_plain_values():
    m = vestrim.match_boxes([(0, 0, 1, 1), (5, 5, 6, 6)], [(5, 5, 6, 6)])
    assert vestrim.asdict(m) == {"matches": [[1, 0]], "scores": [1.0], "unmatched_a": [0],
                                 "unmatched_b": []}
    events = vestrim.compute_quorvantix_switch_events([[1], [2]], [[10], [10]], [[[0.9]]] * 2)
    assert vestrim.asdict(events) == {"num_transfer": 1, "num_ascend": 0, "num_migrate": 1}
    assert vestrim.asdict(vestrim.Mask((3, 3), [4, 1, 4])) == {"size": [3, 3], "counts": "414"}
    nan_hota = _native.rebuild_hota_metrics(
        math.nan, 0.5, 0.5, 1.0, *[[math.nan] * 19 for _ in range(10)], 1, 1, 1)
    d = vestrim.asdict(nan_hota)
    assert type(d["hota"]) is float and math.isnan(d["hota"]) and math.isnan(d["det_re_alphas"][0])
    with pytest.raises(TypeError, match="asdict\\(\\) expects a vestrim result, not 'dict'"):
        vestrim.asdict({})


ALL_COLUMNS = ("HOTA DetA AssA DetRe DetPr AssRe AssPr LocA OWTA HOTA(0) LocA(0) HOTALocA(0) MOTA "
               "MOTP MODA sMOTA MOTAL CLR_Re CLR_Pr CLR_TP CLR_FN CLR_FP IDSW MT PT ML Frag IDF1 "
               "IDR IDP IDTP IDFN IDFP Dets GT_Dets IDs GT_IDs Frames").split()
# CLEAR's derived columns after Frag; HOTA's per-alpha counts come last.
ALPHA_COLUMNS = [f"{n}___{a}" for n in ("HOTA_TP", "HOTA_FN", "HOTA_FP") for a in range(5, 100, 5)]
BENCHMARK_COLUMNS = (ALL_COLUMNS[:27] + "CLR_F1 FP_per_frame MOTP_sum CLR_Frames MTR PTR MLR".split()
                     + ALL_COLUMNS[27:] + ALPHA_COLUMNS)


def test_dataframe_of_a_benchmark(bench):
    df = vestrim.to_dataframe(bench)
    assert list(df.columns) == BENCHMARK_COLUMNS
    assert df.index.names == ["tracker", "class", "sequence"]
    assert list(df.index) == [(t, "pedestrian", s) for t in ("alpha", "beta")
                              for s in ("SYN-01", "SYN-02", "COMBINED")]
    row = df.loc[("beta", "pedestrian", "COMBINED")]
    combined = bench.trackers[1].combined
    expected = {"HOTA": combined.hota.hota, "OWTA": derived.derive_hota(combined.hota).owta,
                "CLR_FP": combined.clear.num_false_positives, "IDF1": combined.identity.idf1,
                "GT_IDs": combined.count.num_gt_ids, "Frames": combined.clear.num_frames}
    assert {k: row[k] for k in expected} == expected
    assert df["CLR_TP"].dtype.kind == "i"
    one = vestrim.to_dataframe(bench.trackers[0])
    assert list(one.index) == ["SYN-01", "SYN-02", "COMBINED"]
    assert one.equals(df.loc["alpha"].loc["pedestrian"].rename_axis("sequence"))


def test_dataframe_of_lists_and_dicts(sequence):
    acc = vestrim.Accumulator()
    acc.update([1], [(0, 0, 1, 1)], [2], [(0, 0, 1, 1)])
    df = vestrim.to_dataframe([sequence, acc.compute()], index=["batch", "stream"])
    assert list(df.columns) == [c for c in BENCHMARK_COLUMNS
                                if c not in ("Dets", "GT_Dets", "IDs", "GT_IDs")]
    assert list(df.index) == ["batch", "stream"]
    assert math.isnan(df.loc["stream", "HOTA"]) and df.loc["stream", "MOTA"] == 1.0
    assert df.loc["batch", "IDSW"] == 1 and df.loc["batch", "Frames"] == 4
    by_dict = vestrim.to_dataframe({"a": sequence.hota, "b": sequence.hota})
    assert list(by_dict.index) == ["a", "b"] and by_dict.columns[0] == "HOTA" and "MOTA" not in by_dict
    assert not any("alphas" in c for c in by_dict.columns)
    with pytest.raises(ValueError, match="index has 1 labels for 2 results"):
        vestrim.to_dataframe([sequence, sequence], index=["x"])
    with pytest.raises(TypeError, match="expects metric results, not 'Mask'"):
        vestrim.to_dataframe([vestrim.Mask((1, 1), [1])])


def legends(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


def test_plot_hota_panels_and_lines(tmp_path, sequence, bench):
    path = tmp_path / "curves.png"
    fig = vestrim.plot_hota([sequence, sequence.hota], labels=["boxes", "hota"], path=path)
    assert isinstance(fig, matplotlib.figure.Figure)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert [ax.get_title() for ax in fig.axes] == ["HOTA against alpha", "DetA against alpha",
                                                   "AssA against alpha"]
    for ax, name, attr in zip(fig.axes, ["HOTA", "DetA", "AssA"], ["hota", "deta", "assa"]):
        assert ax.get_ylabel() == name and "alpha" in ax.get_xlabel()
        assert len(ax.get_lines()) == 2
        x, y = ax.get_lines()[0].get_data()
        assert list(x) == sequence.hota.alphas and list(y) == getattr(sequence.hota, attr + "_alphas")
        mean = getattr(sequence.hota, attr) * 100
        assert legends(ax) == [f"boxes ({mean:.2f})", f"hota ({mean:.2f})"]
    # A benchmark draws each tracker's COMBINED, a tracker's result its sequences and COMBINED.
    assert legends(vestrim.plot_hota(bench).axes[0])[0].startswith("alpha (")
    assert [t.split(" ")[0] for t in legends(vestrim.plot_hota(bench.trackers[0]).axes[2])] == \
        ["SYN-01", "SYN-02", "COMBINED"]
    with pytest.raises(ValueError, match="got 1 labels for 2 results"):
        vestrim.plot_hota([sequence, sequence], labels=["one"])
    with pytest.raises(ValueError, match="needs at least one result"):
        vestrim.plot_hota({})
    with pytest.raises(TypeError, match="needs results with HOTA, not 'AccumulatorResult'"):
        vestrim.plot_hota(vestrim.Accumulator().compute())


def test_command_line_plots(tmp_path, bench):
    out = tmp_path / "plots" / "new"
    status, _, err = run_cli(os.path.join(MOT17, "gt"), *TRACKERS, "--protocol", "mot17",
                             "--plot", out, "--format", "csv")
    assert status == 0, err
    assert sorted(os.listdir(out)) == ["alpha.png", "beta.png", "comparison.png"]
    status, _, err = run_cli(os.path.join(MOT17, "gt"), TRACKERS[0], "--plot", tmp_path / "one")
    assert status == 0 and os.listdir(tmp_path / "one") == ["alpha.png"]
    # Several classes name each tracker's file after the class too.
    two_classes = dataclasses.replace(bench, trackers=(
        bench.trackers[0], dataclasses.replace(bench.trackers[0], class_name="car")))
    written = vestrim.plot.write_benchmark_plots(two_classes, tmp_path / "classes")
    assert [os.path.basename(p) for p in written] == ["alpha_pedestrian.png", "alpha_car.png"]
    status, _, err = run_cli(os.path.join(MOT17, "gt"), TRACKERS[0], "--metrics", "clear",
                             "--plot", tmp_path / "x")
    assert status == 2 and err == "vestrim: error: --plot draws HOTA curves: keep hota in --metrics\n"


def test_missing_extras_are_named(monkeypatch, tmp_path, sequence):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"plot_hota\(\) needs matplotlib: pip install 'vestrim\[plot\]'"):
        vestrim.plot_hota(sequence)
    with pytest.raises(ImportError, match=r"needs pandas: pip install 'vestrim\[pandas\]'"):
        vestrim.to_dataframe([sequence])
    status, out, err = run_cli(os.path.join(MOT17, "gt"), TRACKERS[0], "--plot", tmp_path / "p")
    assert (status, out) == (2, "")
    assert err == "vestrim: error: --plot needs matplotlib: pip install 'vestrim[plot]'\n"
    assert not (tmp_path / "p").exists()


def test_import_is_light_and_submodules_load_on_access():
    code = ("import sys, vestrim\n"
            "heavy = ('numpy', 'pandas', 'matplotlib', 'vestrim.mot', 'vestrim.benchmark',\n"
            "         'vestrim.datasets')\n"
            "print(sorted(m for m in heavy if m in sys.modules))\n"
            "print(vestrim.mot.load_sequence.__module__, 'numpy' in sys.modules)\n"
            "print(hasattr(vestrim, 'no_such_module'))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}).stdout
    assert out.splitlines() == ["[]", "vestrim.datasets.motchallenge True", "False"]
