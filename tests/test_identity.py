"""Identity metrics: the global trajectory matching and its two entry points."""

import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from scipy.optimize import linear_sum_assignment

import vestrim

FIELDS = ("idf1", "idp", "idr", "idtp", "idfp", "idfn", "num_frames", "num_gt", "num_pred")


def run(frames, threshold=0.5):
    """frames: list of (gt_ids, pred_ids, rows) for compute_identity_from_similarity."""
    gt, pred, sim = zip(*frames) if frames else ((), (), ())
    return vestrim.compute_identity_from_similarity(list(gt), list(pred), list(sim), threshold)


def as_tuple(m):
    # Floats by their bits, so a result one ulp off is caught too.
    return tuple(np.float64(v).tobytes() if isinstance(v, float) else v
                 for v in (getattr(m, f) for f in FIELDS))


def dense_reference(frames, threshold):
    """The trajectory-level FN/FP cost matrices over all ids, solved by scipy."""
    gt_index, pred_index, gt_counts, pred_counts, pairs = {}, {}, [], [], {}
    for gt, pred, sim in frames:
        g = [gt_index.setdefault(i, len(gt_index)) for i in gt]
        p = [pred_index.setdefault(i, len(pred_index)) for i in pred]
        gt_counts += [0] * (len(gt_index) - len(gt_counts))
        pred_counts += [0] * (len(pred_index) - len(pred_counts))
        for r in g:
            gt_counts[r] += 1
        for c in p:
            pred_counts[c] += 1
        for j, r in enumerate(g):
            for k, c in enumerate(p):
                if sim[j][k] >= threshold:
                    pairs[r, c] = pairs.get((r, c), 0) + 1
    no, nh = len(gt_counts), len(pred_counts)
    n = no + nh
    num_gt, num_pred = sum(gt_counts), sum(pred_counts)
    if n == 0:
        fn_sum = fp_sum = 0.0
    else:
        fn = np.zeros((n, n))
        fp = np.zeros((n, n))
        fp[no:, :nh] = 1e18
        fn[:no, nh:] = 1e18
        for r in range(no):
            fn[r, :nh] = gt_counts[r]
            fn[r, nh + r] = gt_counts[r]
        for c in range(nh):
            fp[:no, c] = pred_counts[c]
            fp[no + c, c] = pred_counts[c]
        for (r, c), ex in pairs.items():
            fn[r, c] -= ex
            fp[r, c] -= ex
        rows, cols = linear_sum_assignment(fn + fp)
        fn_sum = fp_sum = 0.0
        for r, c in zip(rows, cols):
            fn_sum += fn[r, c]
            fp_sum += fp[r, c]

    def to_count(x):
        r = math.floor(abs(x) + 0.5) * (1 if x >= 0 else -1)
        return max(int(r), 0)

    idfn, idfp = to_count(fn_sum), to_count(fp_sum)
    idtp = num_gt - idfn
    denom = 0.5 * idfn + (0.5 * idfp + idtp)
    return dict(
        idf1=idtp / denom if denom > 0 else 0.0,
        idp=idtp / (idtp + idfp) if idtp + idfp else 0.0,
        idr=idtp / num_gt if num_gt else 0.0,
        idtp=idtp, idfp=idfp, idfn=idfn,
        num_frames=len(frames), num_gt=num_gt, num_pred=num_pred,
    )


def random_frames(rng, ties):
    """Small id pools so trajectories share frames and compete; duplicates within a frame now and
    then. With `ties`, similarities come from a coarse grid so many matchings are equally good."""
    n_gt, n_pred = int(rng.integers(1, 12)), int(rng.integers(1, 16))
    duplicates = rng.random() < 0.2
    frames = []

    def ids(pool):
        size = int(rng.integers(0, 6))
        return rng.choice(pool, size=size if duplicates else min(size, pool), replace=duplicates)

    for _ in range(int(rng.integers(0, 30))):
        gt, pred = ids(n_gt) * 3 - 7, ids(n_pred) + 100
        if ties:
            sim = rng.integers(0, 5, (len(gt), len(pred))) * 0.25
        else:
            sim = np.where(rng.random((len(gt), len(pred))) < 0.5, rng.random((len(gt), len(pred))), 0.0)
        frames.append(([int(i) for i in gt], [int(i) for i in pred], sim.tolist()))
    return frames


# --- worked examples --------------------------------------------------------------------------

A, B = 10, 20


@pytest.mark.parametrize("frames, expected", [
    # One trajectory covered by A for two frames, then by B: only one of them can be matched.
    ([([1], [A], [[0.9]])] * 2 + [([1], [B], [[0.9]])] * 2,
     dict(num_gt=4, num_pred=4, idtp=2, idfp=2, idfn=2, idf1=0.5, idp=0.5, idr=0.5)),
    # Same frames, passing every time: perfect.
    ([([1], [A], [[0.7]])] * 3, dict(idtp=3, idfp=0, idfn=0, idf1=1.0, idp=1.0, idr=1.0)),
    # Equality with the threshold counts as a match; NaN never does.
    ([([1], [A], [[0.5]]), ([1], [A], [[math.nan]])], dict(idtp=1, idfp=1, idfn=1)),
    # Ground truth only.
    ([([1, 2], [], [[], []]), ([1], [], [[]])],
     dict(num_gt=3, num_pred=0, idtp=0, idfp=0, idfn=3, idf1=0.0, idp=0.0, idr=0.0)),
    # Predictions only.
    ([([], [A, B], []), ([], [A], [])],
     dict(num_gt=0, num_pred=3, idtp=0, idfp=3, idfn=0, idf1=0.0, idp=0.0, idr=0.0)),
    # Frames without any ids still count as frames.
    ([([], [], [])] * 3, dict(num_frames=3, num_gt=0, num_pred=0, idtp=0, idfp=0, idfn=0, idf1=0.0)),
    # The longer co-occurrence wins even though the other pair scores higher per frame.
    ([([1], [A, B], [[0.6, 0.99]]), ([1], [A], [[0.6]]), ([1], [A], [[0.6]])],
     dict(idtp=3, idfp=1, idfn=0)),
    # Global matching: gt 1 gives up A (2 frames) so gt 2 can keep it (3 frames), gt 1 takes B.
    ([([1, 2], [A, B], [[0.9, 0.8], [0.9, 0.0]])] * 2 + [([2], [A], [[0.9]])],
     dict(idtp=5, idfp=0, idfn=0)),
    # An id listed twice in one frame is counted twice, also in the pair counts.
    ([([1, 1], [A], [[0.9], [0.9]]), ([1], [A], [[0.9]])], dict(num_gt=3, num_pred=2, idtp=3, idfp=0, idfn=0)),
])
def test_worked_examples(frames, expected):
    m = run(frames)
    assert {k: getattr(m, k) for k in expected} == expected


def test_repr():
    frames = [([1], [A], [[0.9]])] * 2 + [([1], [B], [[0.9]])] * 2
    assert repr(run(frames)) == "IdentityMetrics(idf1=0.5000, idp=0.5000, idr=0.5000, idtp=2, idfp=2, idfn=2)"
    empty = vestrim.compute_identity([], [], [], [])
    assert (empty.num_frames, empty.num_gt, empty.num_pred) == (0, 0, 0)
    assert repr(empty) == "IdentityMetrics(idf1=0.0000, idp=0.0000, idr=0.0000, idtp=0, idfp=0, idfn=0)"


@pytest.mark.parametrize("threshold", [0.0, 0.3, 1.0])
def test_identical_predictions_are_perfect_up_to_threshold_one(threshold):
    gt_ids = [[1, 2], [2, 3], [1, 3]]
    boxes = [[(0, 0, 2, 2), (5, 5, 9, 8)], [(5, 6, 9, 9), (1, 1, 3, 4)], [(0, 1, 2, 3), (1, 1, 3, 5)]]
    m = vestrim.compute_identity(gt_ids, boxes, [[i + 100 for i in f] for f in gt_ids], boxes, threshold)
    assert (m.idf1, m.idp, m.idr, m.idfp, m.idfn, m.idtp) == (1.0, 1.0, 1.0, 0, 0, 6)


@pytest.mark.parametrize("threshold", [1.0000001, math.inf, math.nan])
def test_nothing_matches_above_every_similarity(threshold):
    gt_ids = [[1, 2], [2]]
    boxes = [[(0, 0, 2, 2), (5, 5, 9, 8)], [(5, 5, 9, 8)]]
    m = vestrim.compute_identity(gt_ids, boxes, [[7, 8], [8]], boxes, iou_threshold=threshold)
    assert (m.idtp, m.idfn, m.idfp, m.num_gt, m.num_pred) == (0, 3, 3, 3, 3)


def test_box_format_and_array_inputs_reach_the_matching():
    gt = [np.array([[0, 0, 2, 2.0], [4, 4, 6, 6]])]
    pred = [[(0, 0, 2, 2), (4, 4, 2, 2)]]
    m = vestrim.compute_identity([[1, 2]], gt, [[5, 6]], pred, box_format="xywh")
    # In xywh the second gt box is (4, 4, 10, 10) and the second pred box (4, 4, 6, 6): IoU 1/9.
    assert (m.idtp, m.idfn, m.idfp) == (1, 1, 1)


@pytest.mark.parametrize("call, message", [
    (lambda: vestrim.compute_identity([[1]], [[]], [[]], [[]]),
     "frame 0: gt_ids and gt_boxes length mismatch (1 vs 0)"),
    (lambda: vestrim.compute_identity_from_similarity([[1]], [[2]], [[[0.5]], [[0.5]]]),
     "gt_ids, pred_ids, and similarity must have the same number of frames, got 1, 1, 2"),
    (lambda: vestrim.compute_identity_from_similarity([[1], [1, 2]], [[2], [3]], [[[0.5]], [[0.5]]]),
     "frame 1: similarity has 1 rows, expected 2 (len(gt_ids[1]))"),
])
def test_frame_validation(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


# --- agreement with the dense formulation ------------------------------------------------------

@pytest.mark.parametrize("ties", [True, False])
def test_agrees_with_dense_reference_on_random_sequences(ties):
    rng = np.random.default_rng(20240 + ties)
    for _ in range(300):
        frames = random_frames(rng, ties)
        threshold = float(rng.choice([0.25, 0.5, 0.75]))
        expected = dense_reference(frames, threshold)
        got = run(frames, threshold)
        assert {k: getattr(got, k) for k in FIELDS} == expected, frames


@pytest.mark.parametrize("ties", [True, False])
def test_sparse_matching_equals_the_core_full_matrix_formulation(ties):
    # The library's own full-matrix path (cost matrices solved by our solver, kept as the reference
    # for the co-occurrence matching) agrees field for field, bit for bit.
    from vestrim import _core_testing

    rng = np.random.default_rng(515 + ties)
    for _ in range(200):
        frames = random_frames(rng, ties)
        threshold = float(rng.choice([0.25, 0.5, 0.75]))
        gt, pred, sim = (list(x) for x in zip(*frames)) if frames else ([], [], [])
        dense = _core_testing.identity_dense(gt, pred, sim, threshold)
        got = run(frames, threshold)
        assert as_tuple(got) == tuple(np.float64(v).tobytes() if isinstance(v, float) else v for v in dense)


def test_agrees_with_dense_reference_on_a_crowded_sequence():
    # Many trajectories, each seen by a few fragments and switching predictions, all of equal
    # length: large components of the co-occurrence graph with many equally good matchings.
    rng = np.random.default_rng(7)
    frames = []
    for t in range(120):
        gt = [int(i) for i in rng.permutation(40)[:15]]
        pred = [int(g * 2 + (t // 10 + g) % 3) for g in gt] + [int(x) for x in rng.integers(500, 520, 3)]
        sim = np.zeros((len(gt), len(pred)))
        for j in range(len(gt)):
            sim[j, j] = 1.0
            sim[j, rng.integers(len(pred))] = 1.0
        frames.append((gt, pred, sim.tolist()))
    got = run(frames)
    assert {k: getattr(got, k) for k in FIELDS} == dense_reference(frames, 0.5)


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_boxes_and_their_iou_matrices_give_equal_results(data):
    box = st.tuples(*[st.integers(0, 6)] * 4).map(lambda b: (b[0], b[1], b[0] + b[2], b[1] + b[3]))
    n_frames = data.draw(st.integers(0, 6))
    gt_ids, gt_boxes, pred_ids, pred_boxes = [], [], [], []
    for _ in range(n_frames):
        g = data.draw(st.lists(st.integers(0, 4), max_size=4))
        p = data.draw(st.lists(st.integers(0, 5), max_size=4))
        gt_ids.append(g)
        pred_ids.append(p)
        gt_boxes.append(data.draw(st.lists(box, min_size=len(g), max_size=len(g))))
        pred_boxes.append(data.draw(st.lists(box, min_size=len(p), max_size=len(p))))
    threshold = data.draw(st.sampled_from([0.0, 0.2, 0.5, 1.0]))
    from_boxes = vestrim.compute_identity(gt_ids, gt_boxes, pred_ids, pred_boxes, threshold)
    sim = [vestrim.iou_matrix(g, p) if g else [] for g, p in zip(gt_boxes, pred_boxes)]
    from_sim = vestrim.compute_identity_from_similarity(gt_ids, pred_ids, sim, threshold)
    assert as_tuple(from_boxes) == as_tuple(from_sim)
