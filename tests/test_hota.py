"""HOTA: the two-pass alpha sweep, its entry points and the HotaMetrics class."""

import math

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

import vestrim
from vestrim import _vestrim

ALPHAS = [k * 0.05 for k in range(1, 20)]
CURVES = ("alphas", "hota_alphas", "deta_alphas", "assa_alphas", "loca_alphas", "hota_tp_alphas",
          "hota_fn_alphas", "hota_fp_alphas", "ass_re_alphas", "ass_pr_alphas")
MEANS = ("hota", "deta", "assa", "loca")
COUNTS = ("num_frames", "num_gt", "num_pred")
ATTRIBUTES = MEANS + CURVES + COUNTS  # the class's attribute order: means, curves, counts


def run(frames):
    """frames: list of (gt_ids, pred_ids, rows)."""
    gt, pred, sim = zip(*frames) if frames else ((), (), ())
    return vestrim.compute_hota_from_similarity(list(gt), list(pred), list(sim))


def as_dict(m):
    return {name: getattr(m, name) for name in ATTRIBUTES}


def bits(value):
    return np.asarray(value, dtype=np.float64).tobytes()


def assert_identical(got, expected):
    """Every field equal, floats compared by their bits."""
    got = as_dict(got) if not isinstance(got, dict) else got
    expected = as_dict(expected) if not isinstance(expected, dict) else expected
    for name in ATTRIBUTES:
        if name in COUNTS:
            assert got[name] == expected[name], name
        else:
            assert bits(got[name]) == bits(expected[name]), (name, got[name], expected[name])


# --- a dense reference, written from the formulas ----------------------------------------------

def neumaier_mean(values):
    s = c = 0.0
    for x in values:
        t = s + x
        c += (s - t) + x if abs(s) >= abs(x) else (x - t) + s
        s = t
    return (s + c) / len(values)


def reference(gt_ids, pred_ids, sims, convention="module", pairwise_rows=None):
    """Dense G x P tables and a 19 x G x P match-count table, with every sum in its required order.
    Under the benchmarks' convention: their alphas and margin, and each frame's row sums formed by
    numpy's own (pairwise) sum (`pairwise_rows` overrides the row order)."""
    if pairwise_rows is None:
        pairwise_rows = convention == "benchmark"
    alphas = ALPHAS if convention == "module" else [0.05 + k * 0.05 for k in range(19)]
    gt_map, pred_map = {}, {}
    for g, p in zip(gt_ids, pred_ids):
        for i in g:
            gt_map.setdefault(i, len(gt_map))
        for j in p:
            pred_map.setdefault(j, len(pred_map))
    G, P = len(gt_map), len(pred_map)
    num_gt, num_pred = sum(map(len, gt_ids)), sum(map(len, pred_ids))
    out = {"alphas": list(alphas), "num_frames": len(gt_ids), "num_gt": num_gt, "num_pred": num_pred}
    if P == 0 or G == 0:
        zeros = [0.0] * 19
        out.update(hota_alphas=zeros, deta_alphas=zeros, assa_alphas=zeros, loca_alphas=[1.0] * 19,
                   hota_tp_alphas=zeros, ass_re_alphas=zeros, ass_pr_alphas=zeros,
                   hota_fn_alphas=[float(num_gt)] * 19, hota_fp_alphas=[float(num_pred)] * 19,
                   hota=0.0, deta=0.0, assa=0.0, loca=1.0)
        if P == 0:
            out.update(hota_fp_alphas=zeros, num_pred=0)
        return out

    gt_count, pred_count = np.zeros(G), np.zeros(P)
    frames = []
    for g, p, s in zip(gt_ids, pred_ids, sims):
        gi = np.array([gt_map[x] for x in g], dtype=np.intp)
        pj = np.array([pred_map[x] for x in p], dtype=np.intp)
        np.add.at(gt_count, gi, 1.0)
        np.add.at(pred_count, pj, 1.0)
        frames.append((gi, pj, np.asarray(s, dtype=np.float64).reshape(len(gi), len(pj))))

    with np.errstate(all="ignore"):
        potential = np.zeros((G, P))
        for gi, pj, s in frames:
            if s.size == 0:
                continue
            if pairwise_rows:
                row_sum = s.sum(axis=1)
            else:
                row_sum = np.cumsum(s, axis=1)[:, -1]  # left to right
            col_sum = np.cumsum(s, axis=0)[-1]     # top to bottom
            denom = (row_sum[:, None] + col_sum[None, :]) - s
            for r in range(len(gi)):
                for c in range(len(pj)):
                    if denom[r, c] > 1e-10:
                        potential[gi[r], pj[c]] += s[r, c] / denom[r, c]
        denom = (gt_count[:, None] + pred_count[None, :]) - potential
        alignment = np.where(denom > 1e-10, potential / denom, 0.0)

    thresholds = [a + -1e-9 if convention == "module" else a - 2.0 ** -52 for a in alphas]
    matches = np.zeros((19, G, P))
    tp, fn, fp, loca_sum = [0.0] * 19, [0.0] * 19, [0.0] * 19, [0.0] * 19
    for gi, pj, s in frames:
        if len(gi) == 0:
            fp = [x + len(pj) for x in fp]
            continue
        if len(pj) == 0:
            fn = [x + len(gi) for x in fn]
            continue
        rows, cols = linear_sum_assignment(alignment[np.ix_(gi, pj)] * s, maximize=True)
        for a in range(19):
            matched = 0
            for r, c in zip(rows, cols):
                if s[r, c] >= thresholds[a]:
                    loca_sum[a] += s[r, c]
                    matches[a, gi[r], pj[c]] += 1
                    matched += 1
            tp[a] += matched
            fn[a] += len(gi) - matched
            fp[a] += len(pj) - matched

    curves = {name: [] for name in ("hota_alphas", "deta_alphas", "assa_alphas", "loca_alphas",
                                    "ass_re_alphas", "ass_pr_alphas")}
    for a in range(19):
        deta = tp[a] / max(1.0, tp[a] + fn[a] + fp[a])
        assa_sum = re_sum = pr_sum = 0.0
        for i, j in zip(*np.nonzero(matches[a])):  # ascending (gt index, pred index)
            m, gc, pc = matches[a, i, j], gt_count[i], pred_count[j]
            assa_sum += (m / max(1.0, (gc + pc) - m)) * m
            re_sum += (m / max(1.0, gc)) * m
            pr_sum += (m / max(1.0, pc)) * m
        d = max(1.0, tp[a])
        curves["deta_alphas"].append(deta)
        curves["assa_alphas"].append(assa_sum / d)
        curves["ass_re_alphas"].append(re_sum / d)
        curves["ass_pr_alphas"].append(pr_sum / d)
        curves["hota_alphas"].append(math.sqrt(deta * (assa_sum / d)))
        curves["loca_alphas"].append(max(1e-10, loca_sum[a]) / max(1e-10, tp[a]))
    out.update(curves, hota_tp_alphas=tp, hota_fn_alphas=fn, hota_fp_alphas=fp)
    for name in MEANS:
        out[name] = neumaier_mean(curves[name + "_alphas"])
    return out


# --- random sequences ---------------------------------------------------------------------------

def random_tracks(rng, num_frames=25, num_tracks=8, value="uniform"):
    """Persistent gt tracks, predictions that follow them with misses, switches and false positives,
    and a similarity that is high on the true pairs, zero or noise elsewhere."""
    gt_names = (rng.permutation(num_tracks) * 7919 - 3 * 10**12).tolist()  # arbitrary 64-bit ids
    pred_of = list(range(num_tracks))
    next_pred = num_tracks
    frames = []
    for _ in range(num_frames):
        gt = [t for t in range(num_tracks) if rng.random() < 0.75]
        if rng.random() < 0.1:
            gt.append(gt[0] if gt else 0)  # a duplicate id inside one frame
        rng.shuffle(gt)
        for t in range(num_tracks):
            if rng.random() < 0.08:
                pred_of[t] = next_pred
                next_pred += 1
        truth = [t for t in gt if rng.random() < 0.85]
        pred = [pred_of[t] for t in truth] + [1000 + int(x) for x in rng.integers(0, 4, rng.integers(0, 3))]
        order = rng.permutation(len(pred))
        pred = [pred[k] for k in order]
        sim = np.zeros((len(gt), len(pred)))
        for r, t in enumerate(gt):
            for c, k in enumerate(order):
                if k < len(truth) and truth[k] == t:
                    sim[r, c] = rng.uniform(0.3, 1.0)
        noise = rng.random(sim.shape) < 0.3
        if value == "uniform":
            sim[noise] = rng.uniform(0.0, 0.6, noise.sum())
        elif value == "ties":
            sim = np.round(sim * 4) / 4
            sim[noise] = rng.choice([0.0, 0.25, 0.5], noise.sum())
        elif value == "signed":
            sim[noise] = rng.uniform(-0.7, 0.6, noise.sum())
        frames.append(([gt_names[t] for t in gt], pred, sim.tolist()))
    return frames


def random_boxes(rng, n):
    xy = rng.uniform(0, 40, (n, 2))
    wh = rng.uniform(1, 25, (n, 2))
    return np.hstack([xy, xy + wh])


@pytest.mark.parametrize("value", ["uniform", "ties", "signed"])
@pytest.mark.parametrize("seed", range(6))
def test_matches_dense_reference_bit_for_bit(seed, value):
    rng = np.random.default_rng(seed)
    frames = random_tracks(rng, num_frames=int(rng.integers(1, 40)), num_tracks=int(rng.integers(1, 10)),
                           value=value)
    gt, pred, sim = zip(*frames)
    assert_identical(run(frames), reference(gt, pred, sim))


@pytest.mark.parametrize("seed", range(5))
def test_unstructured_frames_match_reference(seed):
    # Ids drawn afresh every frame, empty frames on either side, dense random similarity.
    rng = np.random.default_rng(100 + seed)
    frames = []
    for _ in range(30):
        gt = rng.integers(0, 12, rng.integers(0, 6)).tolist()
        pred = rng.integers(-5, 15, rng.integers(0, 6)).tolist()
        frames.append((gt, pred, rng.random((len(gt), len(pred))).tolist()))
    gt, pred, sim = zip(*frames)
    assert_identical(run(frames), reference(gt, pred, sim))


@pytest.mark.parametrize("seed", range(4))
def test_boxes_equal_their_iou_matrices(seed):
    rng = np.random.default_rng(200 + seed)
    gt_ids, gt_boxes, pred_ids, pred_boxes, sims = [], [], [], [], []
    for _ in range(20):
        g = rng.choice(8, rng.integers(0, 6), replace=False).tolist()
        p = rng.choice(10, rng.integers(0, 7), replace=False).tolist()
        gb, pb = random_boxes(rng, len(g)), random_boxes(rng, len(p))
        gt_ids.append(g), pred_ids.append(p), gt_boxes.append(gb), pred_boxes.append(pb)
        sims.append(vestrim.iou_matrix(gb, pb))
    from_boxes = vestrim.compute_hota(gt_ids, gt_boxes, pred_ids, pred_boxes)
    assert_identical(from_boxes, vestrim.compute_hota_from_similarity(gt_ids, pred_ids, sims))
    assert_identical(from_boxes, reference(gt_ids, pred_ids, sims))
    # The same boxes as lists, and as xywh.
    as_lists = vestrim.compute_hota(gt_ids, [b.tolist() for b in gt_boxes], pred_ids,
                                    [b.tolist() for b in pred_boxes])
    assert_identical(as_lists, from_boxes)
    xywh = [np.hstack([b[:, :2], b[:, 2:] - b[:, :2]]) for b in gt_boxes]
    pred_xywh = [np.hstack([b[:, :2], b[:, 2:] - b[:, :2]]) for b in pred_boxes]
    converted = vestrim.compute_hota(gt_ids, xywh, pred_ids, pred_xywh, box_format="xywh")
    back = vestrim.compute_hota(gt_ids, [np.hstack([b[:, :2], b[:, :2] + b[:, 2:]]) for b in xywh], pred_ids,
                                [np.hstack([b[:, :2], b[:, :2] + b[:, 2:]]) for b in pred_xywh])
    assert_identical(converted, back)


def test_tables_grow_with_co_occurring_pairs_not_with_id_counts():
    # 20,000 gt and 20,000 predicted ids, each pair together in one frame: dense tables would need
    # 21 x 20,000 x 20,000 doubles (67 GB).
    n = 20_000
    m = vestrim.compute_hota_from_similarity([[i] for i in range(n)], [[i] for i in range(n)], [[[1.0]]] * n)
    assert m.hota_tp_alphas == [float(n)] * 19
    assert (m.hota, m.deta, m.assa, m.loca) == (1.0, 1.0, 1.0, 1.0)


# --- worked examples ----------------------------------------------------------------------------

def test_global_alignment_overrides_a_single_frame():
    strong = [[0.9, 0.0], [0.0, 0.9]]
    crossed = [[0.6, 0.7], [0.7, 0.6]]
    m = run([([10, 11], [1, 2], strong)] * 3 + [([10, 11], [1, 2], crossed)])
    assert m.hota_tp_alphas == [8.0] * 12 + [6.0] * 6 + [0.0]
    assert m.hota_fn_alphas == [0.0] * 12 + [2.0] * 6 + [8.0]
    assert m.hota_fp_alphas == m.hota_fn_alphas
    assert m.deta_alphas == [1.0] * 12 + [0.6] * 6 + [0.0]
    assert m.assa_alphas == [1.0] * 12 + [0.6] * 6 + [0.0]
    assert (m.hota, m.deta, m.assa) == (0.8210526315789474,) * 3
    assert m.loca == 0.8578947368421053
    assert repr(m) == "HotaMetrics(hota=0.8211, deta=0.8211, assa=0.8211, loca=0.8579)"


def test_identity_switch_halves_association():
    box = [(0.0, 0.0, 10.0, 10.0)]
    m = vestrim.compute_hota([[5]] * 4, [box] * 4, [[1], [1], [2], [2]], [box] * 4)
    assert m.deta_alphas == [1.0] * 19
    assert (m.assa_alphas, m.ass_re_alphas, m.ass_pr_alphas) == ([0.5] * 19, [0.5] * 19, [1.0] * 19)
    assert m.hota_alphas == [0.7071067811865476] * 19
    assert (m.hota, m.deta, m.assa, m.loca) == (0.7071067811865476, 1.0, 0.5, 1.0)
    assert repr(m) == "HotaMetrics(hota=0.7071, deta=1.0000, assa=0.5000, loca=1.0000)"


@pytest.mark.parametrize("frames", [1, 7])
def test_perfect_tracking(frames):
    box = [(1.0, 2.0, 3.0, 5.0)]
    m = vestrim.compute_hota([[3]] * frames, [box] * frames, [[9]] * frames, [box] * frames)
    for name in ("hota_alphas", "deta_alphas", "assa_alphas", "ass_re_alphas", "ass_pr_alphas", "loca_alphas"):
        assert getattr(m, name) == [1.0] * 19, name
    assert m.hota_tp_alphas == [float(frames)] * 19


def test_alpha_grid_is_k_times_005():
    m = run([])
    assert m.alphas == ALPHAS
    assert m.alphas[2] == 0.15000000000000002 and m.alphas[18] == 0.9500000000000001


@pytest.mark.parametrize("similarity, reached", [
    (0.5, 10),                  # exactly at alpha 0.5
    (0.95, 19),                 # reaches 0.9500000000000001 thanks to the margin
    (0.9499, 18),
    (0.6, 12),                  # 0.6 reaches 0.6000000000000001
    (0.05 - 5e-10, 1),          # within the margin below the first alpha
    (0.049, 0),
    (1.0, 19),
])
def test_alpha_boundaries(similarity, reached):
    m = run([([1], [2], [[similarity]])])
    hit = [1.0] * reached + [0.0] * (19 - reached)
    assert m.hota_tp_alphas == hit
    assert m.hota_fn_alphas == m.hota_fp_alphas == [1.0 - x for x in hit]
    assert m.deta_alphas == m.assa_alphas == m.hota_alphas == hit
    assert m.ass_re_alphas == m.ass_pr_alphas == hit
    # LocA is the matched similarity where something matched, 1e-10 / 1e-10 elsewhere.
    assert m.loca_alphas == [similarity] * reached + [1.0] * (19 - reached)


# --- degenerate sequences -----------------------------------------------------------------------

@pytest.mark.parametrize("gt, pred, fn, fp", [
    ([], [], 0.0, 0.0),                              # no frames
    ([[]], [[]], 0.0, 0.0),                          # one empty frame
    ([[1, 2], [], [1]], [[], [], []], 3.0, 0.0),     # ground truth, no predictions
    ([[], []], [[4], [4]], 0.0, 2.0),                # predictions, no ground truth
])
def test_degenerate_sequences(gt, pred, fn, fp):
    m = vestrim.compute_hota_from_similarity(gt, pred, [[[]] * len(g) for g in gt])
    assert m.alphas == ALPHAS
    assert (m.hota_fn_alphas, m.hota_fp_alphas, m.hota_tp_alphas) == ([fn] * 19, [fp] * 19, [0.0] * 19)
    for name in ("hota_alphas", "deta_alphas", "assa_alphas", "ass_re_alphas", "ass_pr_alphas"):
        assert getattr(m, name) == [0.0] * 19
    assert m.loca_alphas == [1.0] * 19
    assert (m.hota, m.deta, m.assa, m.loca) == (0.0, 0.0, 0.0, 1.0)
    assert (m.num_frames, m.num_gt, m.num_pred) == (len(gt), sum(map(len, gt)), sum(map(len, pred)))


def test_frames_without_a_partner_and_zero_similarity():
    m = run([([1, 2], [], [[], []]), ([], [7, 8, 9], []), ([1, 2], [7, 8, 9], [[0.0] * 3] * 2),
             ([1], [7], [[0.8]])])
    # Frame 3 is paired by the solver but nothing reaches an alpha.
    assert m.hota_fn_alphas[:16] == [4.0] * 16 and m.hota_fn_alphas[16:] == [5.0] * 3
    assert m.hota_fp_alphas[:16] == [6.0] * 16 and m.hota_fp_alphas[16:] == [7.0] * 3
    assert m.hota_tp_alphas == [1.0] * 16 + [0.0] * 3
    assert (m.num_frames, m.num_gt, m.num_pred) == (4, 5, 7)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_similarity_is_an_internal_error(bad):
    with pytest.raises(BaseException, match=r"^finite score matrix: Invalid$") as info:
        run([([1], [7], [[0.5]]), ([1, 2], [7], [[0.5], [bad]])])
    assert not isinstance(info.value, Exception)


# --- the Python face ----------------------------------------------------------------------------

def test_hota_metrics_class():
    m = run([([1], [2], [[0.7]])])
    assert [n for n in type(m).__dict__ if not n.startswith("__")] == list(ATTRIBUTES)
    assert type(m).__doc__ == "HOTA metrics over a sequence (summarised, with per-alpha curves retained)."
    assert type(m).__dict__["hota"].__doc__ == "HOTA score: mean over alpha of `sqrt(DetA * AssA)`."
    assert m.alphas is not m.alphas
    m.alphas.append(2.0)
    assert len(m.alphas) == 19
    assert all(type(getattr(m, n)) is float for n in MEANS)
    assert all(type(getattr(m, n)) is list and len(getattr(m, n)) == 19 for n in CURVES)
    assert all(type(getattr(m, n)) is int for n in COUNTS)
    with pytest.raises(AttributeError):
        m.hota = 1.0
    with pytest.raises(TypeError):
        _vestrim.HotaMetrics()
    assert repr(vestrim.compute_hota([], [], [], [])) == \
        "HotaMetrics(hota=0.0000, deta=0.0000, assa=0.0000, loca=1.0000)"


def test_entry_points_signatures_and_checks():
    assert vestrim.compute_hota.__text_signature__ == '(gt_ids, gt_boxes, pred_ids, pred_boxes, box_format="xyxy")'
    assert vestrim.compute_hota_from_similarity.__text_signature__ == "(gt_ids, pred_ids, similarity)"
    assert vestrim.compute_hota_from_similarity.__doc__ == (
        "Compute HOTA metrics from precomputed per-frame similarity matrices instead\n"
        "of boxes. Same similarity convention as [`compute_clear_from_similarity`].")
    with pytest.raises(TypeError, match=r"^compute_hota\(\) got an unexpected keyword argument 'iou_threshold'$"):
        vestrim.compute_hota([], [], [], [], iou_threshold=0.5)
    # The box format is parsed before frame counts are compared.
    with pytest.raises(ValueError, match=r'^unknown box_format "XYXY"'):
        vestrim.compute_hota([[1]], [], [], [], box_format="XYXY")
    with pytest.raises(ValueError, match=r"^frame 0: similarity row 0 has 1 columns, expected 2 \(len\(pred_ids\[0\]\)\)$"):
        vestrim.compute_hota_from_similarity([[1]], [[1, 2]], [[[0.5]]])


def test_means_over_alphas_follow_the_plain_sum_when_it_overflows():
    h = vestrim.compute_hota_from_similarity([[1]], [[2]], [[[1.7e308]]])
    assert h.loca == math.inf and h.loca_alphas == [1.7e308] * 19
    assert repr(h) == "HotaMetrics(hota=1.0000, deta=1.0000, assa=1.0000, loca=inf)"
