"""Combined evaluation and the streaming Accumulator against the one-shot functions."""

import numpy as np
import pytest

import vestrim
from vestrim import Accumulator, evaluate

CLEAR_FIELDS = [
    "mota", "motp", "num_frames", "num_gt", "num_matches", "num_false_positives", "num_misses",
    "num_switches", "mt", "pt", "ml", "frag", "moda", "smota", "motal", "clr_re", "clr_pr",
    "track_ratios", "frag_present_only",
]
IDENTITY_FIELDS = ["idf1", "idp", "idr", "idtp", "idfp", "idfn", "num_frames", "num_gt", "num_pred"]
HOTA_FIELDS = [
    "hota", "deta", "assa", "loca", "alphas", "hota_alphas", "deta_alphas", "assa_alphas", "loca_alphas",
    "hota_tp_alphas", "hota_fn_alphas", "hota_fp_alphas", "ass_re_alphas", "ass_pr_alphas",
    "num_frames", "num_gt", "num_pred",
]


def values(obj, fields):
    return [getattr(obj, f) for f in fields]


def random_sequence(seed, frames=25, arrays=False):
    """Jittered ground truth with misses, false positives and occasional id swaps."""
    rng = np.random.default_rng(seed)
    n_obj = int(rng.integers(1, 7))
    pos = rng.uniform(0, 50, (n_obj, 2))
    gt_ids, gt_boxes, pred_ids, pred_boxes = [], [], [], []
    for _ in range(frames):
        pos += rng.normal(0, 1.5, pos.shape)
        present = rng.random(n_obj) < 0.85
        g_ids = [i for i in range(n_obj) if present[i]]
        g = [(*pos[i], *(pos[i] + 10)) for i in g_ids]
        p_ids, p = [], []
        for i, box in zip(g_ids, g):
            if rng.random() < 0.8:
                jitter = rng.normal(0, 2, 4)
                p.append(tuple(np.array(box) + jitter))
                p_ids.append(100 + (i if rng.random() < 0.9 else int(rng.integers(0, n_obj))))
        for _ in range(int(rng.integers(0, 2))):
            xy = rng.uniform(0, 60, 2)
            p.append((*xy, *(xy + 10)))
            p_ids.append(200 + int(rng.integers(0, 3)))
        gt_ids.append(g_ids)
        pred_ids.append(p_ids)
        if arrays:
            gt_boxes.append(np.array(g, dtype=np.float64).reshape(-1, 4))
            pred_boxes.append(np.array(p, dtype=np.float64).reshape(-1, 4))
        else:
            gt_boxes.append(g)
            pred_boxes.append(p)
    return gt_ids, gt_boxes, pred_ids, pred_boxes


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("threshold", [0.3, 0.5])
def test_evaluate_equals_the_separate_functions(seed, threshold):
    seq = random_sequence(seed, arrays=seed % 2 == 0)
    r = evaluate(*seq, iou_threshold=threshold)
    clear = vestrim.compute_clear(*seq, iou_threshold=threshold)
    identity = vestrim.compute_identity(*seq, iou_threshold=threshold)
    hota = vestrim.compute_hota(*seq)
    assert values(r.clear, CLEAR_FIELDS) == values(clear, CLEAR_FIELDS)
    assert values(r.identity, IDENTITY_FIELDS) == values(identity, IDENTITY_FIELDS)
    assert values(r.hota, HOTA_FIELDS) == values(hota, HOTA_FIELDS)
    assert repr(r) == f"EvaluationResult(clear={clear!r}, identity={identity!r}, hota={hota!r})"


def sparse_scene(seed, frames=30):
    """Many small boxes over a wide scene, so most IoUs are zero, with degenerate boxes mixed in."""
    rng = np.random.default_rng(seed)
    n_obj = 40
    pos = rng.uniform(0, 2000, (n_obj, 2))
    size = rng.uniform(20, 60, (n_obj, 2))
    gt_ids, gt_boxes, pred_ids, pred_boxes = [], [], [], []
    for t in range(frames):
        pos += rng.normal(0, 3, pos.shape)
        present = np.flatnonzero(rng.random(n_obj) < 0.9)
        g = np.hstack([pos[present], pos[present] + size[present]])
        keep = present[rng.random(len(present)) < 0.85]
        p = np.hstack([pos[keep], pos[keep] + size[keep]]) + rng.normal(0, 4, (len(keep), 4))
        if t % 7 == 3 and len(p):
            p[0, 2:] = p[0, :2]  # zero area
            p[-1, [0, 2]] = p[-1, [2, 0]]  # inverted
        gt_ids.append(present.tolist())
        gt_boxes.append(g)
        pred_ids.append((1000 + keep + (t // 10)).tolist())  # ids move on every 10 frames
        pred_boxes.append(p)
    return gt_ids, gt_boxes, pred_ids, pred_boxes


def exact(obj, fields):
    return [[x.hex() for x in v] if isinstance(v, list) else v.hex() if isinstance(v, float) else v
            for v in values(obj, fields)]


@pytest.mark.parametrize("seed", range(4))
def test_evaluate_equals_the_separate_functions_on_sparse_scenes(seed):
    seq = sparse_scene(seed)
    r = evaluate(*seq)
    assert exact(r.clear, CLEAR_FIELDS) == exact(vestrim.compute_clear(*seq), CLEAR_FIELDS)
    assert exact(r.identity, IDENTITY_FIELDS) == exact(vestrim.compute_identity(*seq), IDENTITY_FIELDS)
    assert exact(r.hota, HOTA_FIELDS) == exact(vestrim.compute_hota(*seq), HOTA_FIELDS)


def test_evaluate_fails_like_compute_hota_on_a_nan_iou():
    inf = float("inf")
    seq = ([[1], [1]], [[(0, 0, 1, 1)], [(-inf, 0, inf, 1)]], [[5], [5]], [[(0, 0, 1, 1)], [(-inf, 0, inf, 1)]])
    with pytest.raises(BaseException) as expected:
        vestrim.compute_hota(*seq)
    with pytest.raises(BaseException) as got:
        evaluate(*seq)
    assert type(got.value) is type(expected.value) and str(got.value) == str(expected.value)
    assert not isinstance(got.value, Exception)


def test_evaluate_empty_and_members():
    r = evaluate([], [], [], [])
    assert r.hota.num_frames == 0 and r.hota.loca == 1.0
    assert repr(r).startswith("EvaluationResult(clear=ClearMetrics(")
    assert r.hota is r.hota and r.clear is r.clear and r.identity is r.identity
    with pytest.raises(AttributeError):
        r.hota = None
    with pytest.raises(TypeError):
        vestrim.EvaluationResult()


def test_evaluate_threshold_only_moves_clear_and_identity():
    seq = random_sequence(3)
    lo, hi = evaluate(*seq, iou_threshold=0.1), evaluate(*seq, iou_threshold=0.9)
    assert values(lo.hota, HOTA_FIELDS) == values(hi.hota, HOTA_FIELDS)
    assert lo.clear.num_matches > hi.clear.num_matches
    assert lo.identity.idtp > hi.identity.idtp


def test_evaluate_validates_before_computing():
    with pytest.raises(ValueError, match='^unknown box_format "cxcywh"'):
        evaluate([[1]], [[(0, 0, 1, 1)]], [[1, 2]], [[(0, 0, 1, 1)]], box_format="cxcywh")
    with pytest.raises(ValueError, match=r"^frame 0: pred_ids and pred_boxes length mismatch \(2 vs 1\)$"):
        evaluate([[1]], [[(0, 0, 1, 1)]], [[1, 2]], [[(0, 0, 1, 1)]])


@pytest.mark.parametrize("seed", range(8))
def test_streaming_equals_batch(seed):
    gt_ids, gt_boxes, pred_ids, pred_boxes = random_sequence(seed, arrays=seed % 2 == 1)
    fmt_acc = Accumulator(0.4)
    sim_acc = Accumulator(iou_threshold=0.4)
    for t in range(len(gt_ids)):
        fmt_acc.update(gt_ids[t], gt_boxes[t], pred_ids[t], pred_boxes[t])
        sim = vestrim.iou_matrix(gt_boxes[t], pred_boxes[t])
        sim_acc.update_from_similarity(gt_ids[t], pred_ids[t], sim)
        if t % 7 == 3:  # compute is interleaved with updates and changes nothing
            fmt_acc.compute()
    clear = vestrim.compute_clear(gt_ids, gt_boxes, pred_ids, pred_boxes, 0.4)
    identity = vestrim.compute_identity(gt_ids, gt_boxes, pred_ids, pred_boxes, 0.4)
    for acc in (fmt_acc, sim_acc):
        result = acc.compute()
        assert acc.num_frames == len(gt_ids)
        assert values(result.clear, CLEAR_FIELDS) == values(clear, CLEAR_FIELDS)
        assert values(result.identity, IDENTITY_FIELDS) == values(identity, IDENTITY_FIELDS)
        assert repr(result) == f"AccumulatorResult(clear={clear!r}, identity={identity!r})"


def test_accumulator_format_and_defaults():
    acc = Accumulator(box_format="xywh")
    acc.update([1], [(0, 0, 2, 2)], [7], [(1, 1, 2, 2)])  # IoU 1/7: below the default 0.5
    assert acc.compute().clear.num_matches == 0
    assert repr(Accumulator()) == "Accumulator(num_frames=0)"
    with pytest.raises(ValueError, match='^unknown box_format "cxcywh", expected "xyxy" or "xywh"$'):
        Accumulator(box_format="cxcywh")
    with pytest.raises(TypeError, match="unexpected keyword argument 'threshold'"):
        Accumulator(threshold=0.5)
    with pytest.raises(TypeError) as info:
        Accumulator(iou_threshold=None)
    assert info.value.__notes__ == ["while processing 'iou_threshold'"]
    assert Accumulator.__text_signature__ == '(iou_threshold=0.5, box_format="xyxy")'


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.update([1, 2], [(0, 0, 1, 1)], [], []), "gt_ids and gt_boxes length mismatch (2 vs 1)"),
        (lambda a: a.update([], [], [3], []), "pred_ids and pred_boxes length mismatch (1 vs 0)"),
        (lambda a: a.update_from_similarity([1], [5, 6], [[0.5]]),
         "similarity row 0 has 1 columns, expected 2 (len(pred_ids))"),
        (lambda a: a.update_from_similarity([1, 2], [5], [[0.5]]),
         "similarity has 1 rows, expected 2 (len(gt_ids))"),
    ],
)
def test_rejected_frames_leave_the_state_unchanged(call, message):
    acc = Accumulator()
    acc.update([1], [(0, 0, 1, 1)], [5], [(0, 0, 1, 1)])
    before = repr(acc.compute())
    with pytest.raises(ValueError) as info:
        call(acc)
    assert str(info.value) == message
    assert acc.num_frames == 1 and repr(acc.compute()) == before


def test_empty_frames_count():
    acc = Accumulator()
    acc.update([], [], [], [])
    acc.update_from_similarity([], [], [])
    assert acc.num_frames == 2


def test_unsolvable_frame_is_not_half_applied():
    acc = Accumulator()
    acc.update_from_similarity([1], [5], [[0.9]])
    before = repr(acc.compute())
    with pytest.raises(BaseException) as info:
        acc.update_from_similarity([1, 2], [5], [[float("inf")], [0.1]])
    assert type(info.value).__name__ == "InternalError"
    assert acc.num_frames == 1 and repr(acc.compute()) == before
    acc.update_from_similarity([1], [5], [[0.9]])
    assert acc.compute().clear.num_matches == 2


def test_frame_after_a_failed_one_is_scored_on_its_own():
    # The failed frame leaves an infinite score where the next frame's cell is forbidden.
    acc, fresh = Accumulator(), Accumulator()
    with pytest.raises(BaseException) as info:
        acc.update_from_similarity([1, 2], [5, 6], [[0.9, float("inf")], [0.1, 0.1]])
    assert type(info.value).__name__ == "InternalError"
    for a in (acc, fresh):
        a.update_from_similarity([1, 2], [5, 6], [[0.9, 0.1], [0.1, 0.1]])
    assert acc.compute().clear.num_matches == 1
    assert repr(acc.compute()) == repr(fresh.compute())


class CallsBack:
    """A number whose conversion re-enters the accumulator being updated."""

    def __init__(self, acc, action):
        self.acc, self.action, self.seen = acc, action, None

    def _call_back(self):
        try:
            self.action(self.acc)
        except RuntimeError as e:
            self.seen = str(e)
            raise

    def __float__(self):
        self._call_back()
        return 0.5

    def __index__(self):
        self._call_back()
        return 1


@pytest.mark.parametrize(
    "action, message",
    [
        (lambda a: a.compute(), "Already mutably borrowed"),
        (lambda a: a.num_frames, "Already mutably borrowed"),
        (lambda a: repr(a), "Already mutably borrowed"),
        (lambda a: a.update([], [], [], []), "Already borrowed"),
        (lambda a: a.update_from_similarity([], [], []), "Already borrowed"),
    ],
)
def test_reentrant_use_is_refused(action, message):
    acc = Accumulator()
    acc.update([1], [(0, 0, 1, 1)], [5], [(0, 0, 1, 1)])
    before = repr(acc.compute())
    element = CallsBack(acc, action)
    with pytest.raises(RuntimeError) as info:
        acc.update_from_similarity([1], [5], [[element]])
    assert str(info.value) == message == element.seen
    assert info.value.__notes__ == ["while processing 'similarity'"]
    # Through boxes and through ids as well.
    with pytest.raises(TypeError) as info:  # a box set's failure is wrapped in the box-set error
        acc.update([1], [(0, 0, 1, element)], [5], [(0, 0, 1, 1)])
    assert str(info.value).endswith("caused by RuntimeError: " + message)
    with pytest.raises(RuntimeError) as info:
        acc.update([1], [(0, 0, 1, 1)], [element], [(0, 0, 1, 1)])
    assert info.value.__notes__ == ["while processing 'pred_ids'"]
    assert acc.num_frames == 1 and repr(acc.compute()) == before
