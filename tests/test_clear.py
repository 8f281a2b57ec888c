"""CLEAR MOT: the continuity-biased per-frame matcher, its finalisation and the two entry points."""

import math
import types
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from assignment_reference import assign

import vestrim
from vestrim import _vestrim

COUNT_FIELDS = ("num_frames", "num_gt", "num_matches", "num_false_positives", "num_misses",
                "num_switches", "mt", "pt", "ml", "frag", "frag_present_only")
FLOAT_FIELDS = ("mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr")


def run(frames, threshold=0.5):
    """frames: list of (gt_ids, pred_ids, rows) for compute_clear_from_similarity."""
    gt, pred, sim = zip(*frames) if frames else ((), (), ())
    return vestrim.compute_clear_from_similarity(list(gt), list(pred), list(sim), threshold)


def fields(m):
    return {name: getattr(m, name) for name in COUNT_FIELDS + FLOAT_FIELDS + ("track_ratios",)}


def assert_same(a, b):
    # Compare floats by bits (NaN-aware), so an off-by-one-ulp result is caught too.
    fa, fb = fields(a), fields(b)
    for name in fa:
        if isinstance(fa[name], float):
            assert np.float64(fa[name]).tobytes() == np.float64(fb[name]).tobytes(), name
        else:
            assert fa[name] == fb[name], name


# --- per-frame matching and bookkeeping -------------------------------------------------------

@pytest.mark.parametrize("frames, expected", [
    # Continuity keeps the old pair although a better one is free; pred 8 becomes a false positive.
    ([([1], [7], [[0.9]]), ([1], [7, 8], [[0.6, 0.9]])],
     dict(num_matches=2, num_false_positives=1, num_switches=0, frag=0)),
    # A new pred id for the same gt is a switch.
    ([([1], [7], [[0.9]]), ([1], [8], [[0.9]])], dict(num_switches=1, frag=0)),
    # Same pred again after a gap: no switch, two matched runs.
    ([([1], [7], [[0.9]]), ([1], [7], [[0.1]]), ([1], [7], [[0.9]])],
     dict(num_switches=0, frag=1, frag_present_only=1, num_misses=1)),
    # Absent in the middle frame (which has other objects): new run, but no present-only gap.
    ([([1], [7], [[0.9]]), ([2], [9], [[0.9]]), ([1], [7], [[0.9]])],
     dict(frag=1, frag_present_only=0)),
    # Present in a frame with no preds at all: the run is not broken, the present-only gap is.
    ([([1], [7], [[0.9]]), ([1], [], [[]]), ([1], [7], [[0.9]])],
     dict(frag=0, frag_present_only=1, num_misses=1)),
    # A frame with no gt does not break a run.
    ([([1], [7], [[0.9]]), ([], [7, 8, 9], []), ([1], [7], [[0.9]])],
     dict(frag=0, num_false_positives=3, num_frames=3, num_gt=2)),
    # Solver-assigned pair below the threshold is dropped; equality is accepted.
    ([([1], [7], [[0.3]])], dict(num_matches=0, num_misses=1, num_false_positives=1)),
    ([([1], [7], [[0.5]])], dict(num_matches=1, motp=0.5)),
    # Gaps before the first match never count as present-only fragmentations.
    ([([1], [7], [[0.1]]), ([1], [7], [[0.9]])], dict(frag=0, frag_present_only=0)),
    # gt 100 must take a pair below the threshold; that must not round away gt 101's better pair.
    ([([1, 101], [10, 12], [[1, 0], [0, 1]]), ([100, 101], [10, 11], [[0, 0], [1, 0.5]])],
     dict(num_matches=3, motp=1.0)),
])
def test_worked_examples(frames, expected):
    m = run(frames)
    assert {k: getattr(m, k) for k in expected} == expected


@pytest.mark.parametrize("frames, threshold, tp", [
    ([([1], [7], [[math.nan]])], 0.5, 0),
    ([([1, 2], [7, 8], [[math.nan, 0.9], [0.9, math.nan]])], 0.5, 2),
    ([([1], [7], [[0.9]])], math.nan, 0),
    ([([1], [7], [[math.nan]])], math.nan, 0),
])
def test_nan_never_matches(frames, threshold, tp):
    m = run(frames, threshold)
    n = len(frames[0][0])
    assert (m.num_matches, m.num_misses, m.num_false_positives) == (tp, n - tp, n - tp)


def test_infinite_similarity_is_an_internal_error():
    with pytest.raises(BaseException, match=r"^finite score matrix is solvable: Invalid$") as info:
        run([([1], [7], [[math.inf]])])
    assert not isinstance(info.value, Exception)


# --- finalisation --------------------------------------------------------------------------

@pytest.mark.parametrize("matched_frames, ratio, mt, pt, ml", [
    (5, 1.0, 1, 0, 0), (4, 0.8, 0, 1, 0), (1, 0.2, 0, 1, 0), (0, 0.0, 0, 0, 1),
])
def test_mt_pt_ml_boundaries(matched_frames, ratio, mt, pt, ml):
    m = run([([1], [7], [[0.9 if t < matched_frames else 0.1]]) for t in range(5)])
    assert (m.track_ratios, m.mt, m.pt, m.ml) == ([ratio], mt, pt, ml)


def test_track_ratios_sorted_descending_one_per_id():
    m = run([([1, 2, 3], [7], [[0.1], [0.9], [0.1]]), ([3], [8], [[0.9]])])
    assert m.track_ratios == [1.0, 0.5, 0.0]
    assert (m.mt, m.pt, m.ml) == (1, 1, 1)


@pytest.mark.parametrize("switches", [1, 10])
def test_motal_log_penalty(switches):
    # gt 1 alternates between two preds each frame: one switch per frame after the first.
    frames = [([1], [7 + t % 2], [[0.9]]) for t in range(switches + 1)]
    frames.append(([], [5], []))  # one false positive so moda != clr_re
    m = run(frames)
    w = switches + 1
    assert m.num_switches == switches
    assert m.moda == (w - 1) / w
    assert m.motal == ((w - 1) - math.log10(switches)) / w
    assert (m.motal == m.moda) == (switches == 1)


def test_empty_sequence():
    for m in (run([]), vestrim.compute_clear([], [], [], [])):
        assert all(getattr(m, k) == 0 for k in COUNT_FIELDS + FLOAT_FIELDS)
        assert m.track_ratios == []
        assert repr(m) == ("ClearMetrics(mota=0.0000, motp=0.0000, tp=0, fp=0, fn=0, idsw=0, "
                           "mt=0, pt=0, ml=0, frag=0)")


def test_only_false_positives():
    m = run([([], [1, 2], []), ([], [1, 2, 3], [])])
    assert (m.mota, m.moda, m.clr_pr, m.num_false_positives) == (0.0, -5.0, 0.0, 5)


def test_perfect_tracking_repr():
    box = [(0.0, 0.0, 2.0, 2.0)]
    m = vestrim.compute_clear([[1]] * 3, [box] * 3, [[4]] * 3, [box] * 3)
    assert (m.mota, m.motp, m.track_ratios, m.mt) == (1.0, 1.0, [1.0], 1)
    assert repr(m) == ("ClearMetrics(mota=1.0000, motp=1.0000, tp=3, fp=0, fn=0, idsw=0, "
                       "mt=1, pt=0, ml=0, frag=0)")


@pytest.mark.parametrize("threshold, tp, mota, motp", [(0.5, 0, -1.0, 0.0), (0.1, 1, 1.0, 1 / 7)])
def test_compute_clear_boxes(threshold, tp, mota, motp):
    m = vestrim.compute_clear([[1]], [[(0, 0, 2, 2)]], [[5]], [np.array([[1.0, 1, 3, 3]])],
                              iou_threshold=threshold)
    assert (m.num_matches, m.mota, m.motp) == (tp, mota, motp)
    assert repr(m).startswith(f"ClearMetrics(mota={mota:.4f}, motp={motp:.4f}, tp={tp}, ")


@pytest.mark.parametrize("call, message", [
    (lambda: vestrim.compute_clear_from_similarity([[1, 2]], [[3]], [[[0.9]]]),
     "frame 0: similarity has 1 rows, expected 2 (len(gt_ids[0]))"),
    (lambda: vestrim.compute_clear([[1]], [], [[1], [2]], [], box_format="xywh2"),
     'unknown box_format "xywh2", expected "xyxy" or "xywh"'),
    (lambda: vestrim.compute_clear([[1]], [], [[1], [2]], []),
     "gt and pred must have the same number of frames, got 1 and 2"),
])
def test_input_errors(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


# --- the Python class ------------------------------------------------------------------------

ATTRIBUTE_DOCS = {
    "mota": "Multiple Object Tracking Accuracy: `1 - (FN + FP + IDSW) / num_gt`.",
    "motp": "Multiple Object Tracking Precision: mean IoU over matched pairs.",
    "num_frames": "Number of frames processed.",
    "num_gt": "Total ground-truth detections across all frames.",
    "num_matches": "True positives: matched (gt, pred) pairs.",
    "num_false_positives": "False positives: tracker detections with no match.",
    "num_misses": "Misses: ground-truth detections with no match.",
    "num_switches": "Identity switches.",
    "mt": "Mostly tracked: gt trajectories matched in more than 80% of their frames.",
    "pt": "Partially tracked: gt trajectories matched in 20\u201380% of their frames.",
    "ml": "Mostly lost: gt trajectories matched in less than 20% of their frames.",
    "frag": "Fragmentations: times a gt trajectory resumes after an interruption.",
    "moda": "Multiple Object Detection Accuracy: `(TP - FP) / max(1, TP + FN)`.",
    "smota": "MOTA over overlap: `(MOTP_sum - FP - IDSW) / max(1, TP + FN)`.",
    "motal": "MOTA with a log-scaled ID-switch penalty.",
    "clr_re": "CLEAR recall: `TP / max(1, TP + FN)`.",
    "clr_pr": "CLEAR precision: `TP / max(1, TP + FP)`.",
    "track_ratios": "Per gt trajectory, the fraction of its frames that were matched (id\n"
                    "switches count as matched), sorted descending. The basis for MT/PT/ML.",
    "frag_present_only": "Fragmentations under py-quorvantix' definition (a present-but-unmatched\n"
                         "frame followed by a match, within the trajectory's tracked span only).\n"
                         "Distinct from `frag`, which also breaks on frames where the object is\n"
                         "simply absent.",
}


def test_class_shape():
    cls = _vestrim.ClearMetrics
    getters = [k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)]
    assert getters == list(ATTRIBUTE_DOCS)
    assert {k: getattr(cls, k).__doc__ for k in getters} == ATTRIBUTE_DOCS
    assert cls.__doc__ == "Accumulated CLEAR MOT metrics over a sequence."
    with pytest.raises(TypeError):
        cls()
    m = run([([1], [7], [[0.9]])])
    with pytest.raises(AttributeError):
        m.mota = 1.0
    assert m.track_ratios is not m.track_ratios
    assert m != run([([1], [7], [[0.9]])])


def test_function_docstrings():
    assert vestrim.compute_clear.__text_signature__ == (
        '(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, box_format="xyxy")')
    assert vestrim.compute_clear.__doc__.startswith(
        "Compute CLEAR MOT metrics (MOTA, MOTP, FP, FN, ID switches) for a sequence.\n\n"
        "Inputs are frame-aligned: `gt_ids[t]` / `gt_boxes[t]` describe ground-truth\n")
    assert vestrim.compute_clear.__doc__.endswith('`box_format` is `"xyxy"`\n(default) or `"xywh"`.')
    assert vestrim.compute_clear_from_similarity.__text_signature__ == (
        "(gt_ids, pred_ids, similarity, threshold=0.5)")
    assert vestrim.compute_clear_from_similarity.__doc__ == (
        "Compute CLEAR MOT metrics from precomputed per-frame similarity matrices\n"
        "instead of boxes.\n\n"
        "For callers that already hold pairwise scores (e.g. a `quorvantix`-style\n"
        "distance matrix converted to similarity). `similarity[t][i][j]` scores\n"
        "`gt_ids[t][i]` against `pred_ids[t][j]`; higher is better, the same\n"
        "convention as IoU, and pairs below `threshold` are never matched.")


# --- reference and properties ----------------------------------------------------------------

def reference_clear(frames, thr):
    """The per-frame procedure written out with dicts, sets and scipy's solver."""
    last, present, matched, segments, gaps = {}, Counter(), Counter(), Counter(), {}
    prev, motp_sum, fpo = set(), 0.0, 0
    nf = ng = tp = fp = fn = sw = 0

    def presence(g, hit):
        nonlocal fpo
        tracked, gap = gaps.get(g, (False, False))
        if hit:
            fpo += tracked and gap
            gaps[g] = (True, False)
        else:
            gaps[g] = (tracked, gap or tracked)

    for g_ids, p_ids, rows in frames:
        n, m = len(g_ids), len(p_ids)
        nf, ng = nf + 1, ng + n
        if n == 0:
            fp += m
            continue
        present.update(g_ids)
        if m == 0:
            fn += n
            for g in g_ids:
                presence(g, False)
            continue
        s = np.array(rows, dtype=float)
        ok = s >= thr
        finite = np.abs(s[ok])[np.isfinite(s[ok])]
        bonus = ((finite.max() if finite.size else 0.0) + 1.0) * 1000.0
        score = np.where(ok, s, 0.0)
        for i, g in enumerate(g_ids):
            for j, p in enumerate(p_ids):
                if ok[i, j] and last.get(g) == p:
                    score[i, j] = s[i, j] + bonus
        now, k = set(), 0
        for i, j in zip(*assign(score.tolist(), ok.tolist())):
            if not s[i, j] >= thr:
                continue
            g, p = g_ids[i], p_ids[j]
            motp_sum += float(s[i, j])
            sw += g in last and last[g] != p
            last[g], k = p, k + 1
            matched[g] += 1
            segments[g] += g not in prev
            now.add(g)
        for g in g_ids:
            presence(g, g in now)
        prev = now
        tp, fp, fn = tp + k, fp + m - k, fn + n - k

    ratios = sorted((matched[g] / present[g] for g in present), reverse=True)
    w = max(tp + fn, 1.0)
    return dict(
        num_frames=nf, num_gt=ng, num_matches=tp, num_false_positives=fp, num_misses=fn,
        num_switches=sw, track_ratios=ratios,
        mt=sum(r > 0.8 for r in ratios), pt=sum(0.2 <= r <= 0.8 for r in ratios),
        ml=sum(r < 0.2 for r in ratios), frag=sum(c - 1 for c in segments.values()),
        frag_present_only=fpo,
        mota=1.0 - (fn + fp + sw) / ng if ng else 0.0, motp=motp_sum / tp if tp else 0.0,
        moda=(tp - fp) / w, smota=((motp_sum - fp) - sw) / w,
        motal=((tp - fp) - (math.log10(sw) if sw else 0.0)) / w,
        clr_re=tp / w, clr_pr=tp / max(tp + fp, 1.0),
    )


ids = st.lists(st.integers(0, 5), max_size=4)
coarse = st.sampled_from([0.0, 0.25, 0.5, 0.75, 1.0])


@st.composite
def sim_frames(draw):
    out = []
    for _ in range(draw(st.integers(0, 8))):
        g, p = draw(ids), draw(ids)
        value = st.one_of(coarse, st.floats(-1, 2), st.just(math.nan), st.just(-math.inf))
        out.append((g, p, [[draw(value) for _ in p] for _ in g]))
    return out


@st.composite
def box_frames(draw):
    box = st.tuples(*[st.integers(0, 6)] * 2, *[st.integers(1, 4)] * 2).map(
        lambda b: (float(b[0]), float(b[1]), float(b[0] + b[2]), float(b[1] + b[3])))
    out = []
    for _ in range(draw(st.integers(0, 8))):
        g, p = draw(ids), draw(ids)
        out.append((g, [draw(box) for _ in g], p, [draw(box) for _ in p]))
    return out


@settings(max_examples=150, deadline=None)
@given(sim_frames(), st.sampled_from([0.0, 0.5, 0.75, -0.5]))
def test_matches_reference(frames, thr):
    m = run(frames, thr)
    ref = reference_clear(frames, thr)
    assert fields(m) == ref


@settings(max_examples=100, deadline=None)
@given(box_frames(), st.sampled_from([0.0, 0.1, 0.5]))
def test_boxes_equal_their_iou_matrices(frames, thr):
    gt_ids, gt_boxes, pred_ids, pred_boxes = (list(x) for x in zip(*frames)) if frames else ([],) * 4
    from_boxes = vestrim.compute_clear(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=thr)
    sims = [vestrim.iou_matrix(g, p) for g, p in zip(gt_boxes, pred_boxes)]
    from_sim = vestrim.compute_clear_from_similarity(gt_ids, pred_ids, sims, thr)
    assert_same(from_boxes, from_sim)
    assert fields(from_sim) == reference_clear(list(zip(gt_ids, pred_ids, sims)), thr)
