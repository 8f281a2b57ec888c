"""vestrim._native's evaluation under the module's and the benchmarks' conventions."""

import math
import struct
import subprocess
import sys
from collections import Counter

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

import vestrim
from vestrim import _native

EPS = 2.0 ** -52


def bits(value):
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, list):
        return [bits(v) for v in value]
    return value


def attributes(result):
    return {name: bits(getattr(result, name)) for name in dir(result) if not name.startswith("_")}


def sim_run(frames, threshold=0.5, convention="benchmark"):
    """frames: list of (gt_ids, pred_ids, rows)."""
    gt, pred, sim = (list(x) for x in zip(*frames)) if frames else ([], [], [])
    return _native.evaluate_from_similarity(gt, pred, sim, threshold, convention)


def benchmark_clear(frames, thr):
    """The benchmark's CLEAR rules written out plainly, with scipy's solver."""
    prev, last, present, matched, newly, gaps = {}, {}, Counter(), Counter(), Counter(), {}
    tp = fp = fn = sw = num_gt = fpo = 0
    sim_sum = 0.0

    def presence(g, hit):  # the module's present-only fragmentation
        nonlocal fpo
        tracked, gap = gaps.get(g, (False, False))
        if hit:
            fpo += tracked and gap
            gaps[g] = (True, False)
        else:
            gaps[g] = (tracked, gap or tracked)

    for g_ids, p_ids, rows in frames:
        num_gt += len(g_ids)
        if not g_ids:
            fp += len(p_ids)
            continue
        present.update(g_ids)
        if not p_ids:
            fn += len(g_ids)
            for g in g_ids:
                presence(g, False)
            continue
        s = np.array(rows, dtype=float)
        bonus = np.array([[prev.get(g) == p for p in p_ids] for g in g_ids])
        score = np.where(s >= thr - EPS, np.where(bonus, 1000.0, 0.0) + s, 0.0)
        now = {}
        frame_sum = 0.0  # a frame's matches are summed in row order, then added to the total
        for i, j in zip(*linear_sum_assignment(score, maximize=True)):
            if not score[i, j] > EPS:
                continue
            g, p = g_ids[i], p_ids[j]
            sw += g in last and last[g] != p
            last[g] = now[g] = p
            frame_sum += float(s[i, j])
            matched[g] += 1
            newly[g] += g not in prev
        sim_sum += frame_sum
        for g in g_ids:
            presence(g, g in now)
        tp, fp, fn, prev = tp + len(now), fp + len(p_ids) - len(now), fn + len(g_ids) - len(now), now

    ratios = sorted((matched[g] / present[g] for g in present), reverse=True)
    counts = dict(num_frames=len(frames), num_gt=num_gt, num_matches=tp, num_false_positives=fp,
                  num_misses=fn, num_switches=sw, track_ratios=ratios,
                  mt=sum(r > 0.8 for r in ratios), pt=sum(0.2 <= r <= 0.8 for r in ratios),
                  ml=sum(r < 0.2 for r in ratios), frag=sum(c - 1 for c in newly.values()),
                  frag_present_only=fpo)
    if num_gt == 0:
        return dict(counts, mota=0.0, motp=0.0, moda=0.0, smota=0.0, motal=0.0, clr_re=0.0, clr_pr=0.0)
    w = max(tp + fn, 1)
    return dict(counts, mota=(tp - fp - sw) / w, motp=sim_sum / max(tp, 1), moda=(tp - fp) / w,
                smota=((sim_sum - fp) - sw) / w,
                motal=((tp - fp) - (math.log10(sw) if sw else 0.0)) / w,
                clr_re=tp / w, clr_pr=tp / max(tp + fp, 1))


def clear_fields(m, names):
    return {name: getattr(m, name) for name in names}


# --- benchmark CLEAR on hand-worked sequences ----------------------------------------------------

@pytest.mark.parametrize("frames, threshold, under_benchmark, under_module", [
    # A frame without predictions neither breaks the match nor starts a new run.
    ([([1], [7], [[0.9]]), ([1], [], [[]]), ([1], [7, 8], [[0.6, 0.9]])], 0.5,
     dict(num_switches=0, frag=0, num_false_positives=1, num_misses=1),
     dict(num_switches=0, frag=0, num_false_positives=1, num_misses=1)),
    # The bonus goes only to the match of the last scored frame: after a scored frame in which gt 1
    # was missed, pred 8 wins on similarity (a switch and a fragmentation); the module keeps 7.
    ([([1], [7], [[0.9]]), ([1], [9], [[0.1]]), ([1], [7, 8], [[0.6, 0.9]])], 0.5,
     dict(num_switches=1, frag=1, frag_present_only=1, num_matches=2),
     dict(num_switches=0, frag=1, frag_present_only=1, num_matches=2)),
    # Re-acquisition by the same prediction after a gap: no switch, one fragmentation.
    ([([1], [7], [[0.9]]), ([1], [7], [[0.2]]), ([1], [7], [[0.9]])], 0.5,
     dict(num_switches=0, frag=1, num_misses=1), dict(num_switches=0, frag=1, num_misses=1)),
    # A frame without gt is not scored either: the bonus still reaches back to frame 1.
    ([([1], [7], [[0.9]]), ([], [7], []), ([1], [7, 8], [[0.6, 0.9]])], 0.5,
     dict(num_switches=0, num_false_positives=2), dict(num_switches=0, num_false_positives=2)),
    # A pair scoring 0 is never a match under the benchmark, even at a threshold of 0.
    ([([1], [7], [[0.0]])], 0.0, dict(num_matches=0, num_misses=1), dict(num_matches=1, num_misses=0)),
    # Passing within one machine epsilon of the threshold.
    ([([1], [7], [[0.5 - EPS]])], 0.5, dict(num_matches=1), dict(num_matches=0)),
    ([([1], [7], [[0.5 - 2 * EPS]])], 0.5, dict(num_matches=0), dict(num_matches=0)),
    # MOTA's formula; a sequence without gt reports its false positives and 0 for every ratio.
    ([([1], [7, 8], [[0.9, 0.0]])], 0.5, dict(mota=0.0, moda=0.0, num_false_positives=1),
     dict(mota=0.0, moda=0.0, num_false_positives=1)),
    ([([], [7, 8], []), ([], [], [])], 0.5,
     dict(num_false_positives=2, mota=0.0, moda=0.0, smota=0.0, motal=0.0, clr_pr=0.0),
     dict(num_false_positives=2, mota=0.0, moda=-2.0, smota=-2.0, motal=-2.0, clr_pr=0.0)),
])
def test_benchmark_clear_worked_examples(frames, threshold, under_benchmark, under_module):
    assert clear_fields(sim_run(frames, threshold)[0], under_benchmark) == under_benchmark
    assert clear_fields(sim_run(frames, threshold, "module")[0], under_module) == under_module
    expected = benchmark_clear(frames, threshold)
    assert {k: expected[k] for k in under_benchmark} == under_benchmark


def random_frames(rng, special):
    frames = []
    for _ in range(int(rng.integers(0, 12))):
        g = [int(x) for x in rng.choice(5, size=int(rng.integers(0, 4)), replace=False)]
        p = [int(x) + 10 for x in rng.choice(6, size=int(rng.integers(0, 4)), replace=False)]
        values = rng.choice(special, size=(len(g), len(p)))
        frames.append((g, p, values.tolist()))
    return frames


@pytest.mark.parametrize("threshold", [0.5, 0.0, 0.3])
def test_benchmark_clear_matches_reference(threshold):
    rng = np.random.default_rng(int(threshold * 10))
    special = [0.0, 0.25, 0.5, 0.75, 1.0, 0.5 - EPS, 0.5 - 2 * EPS, 0.3, -0.5]
    for _ in range(300):
        frames = random_frames(rng, special)
        got = sim_run(frames, threshold)[0]
        expected = benchmark_clear(frames, threshold)
        assert clear_fields(got, expected) == expected, frames


def test_identity_threshold_has_no_margin():
    # Decimal boxes whose IoU rounds to 0.5 - 2^-54: a CLEAR match and a HOTA match at alpha 0.5
    # under the benchmark, yet not an Identity match.
    a, b = (0.0, 0.0, 6.0, 4.1), (0.7, 0.0, 3.7, 4.1)
    assert vestrim.iou(a, b) == 0.5 - 2.0 ** -54
    clear, identity, hota = _native.evaluate([[1]], [[a]], [[7]], [[b]], 0.5, "benchmark")
    assert (clear.num_matches, identity.idtp) == (1, 0)
    assert hota.hota_tp_alphas[9] == 1.0 and hota.alphas[9] == 0.5
    clear, identity, _ = _native.evaluate([[1]], [[a]], [[7]], [[b]], 0.5, "module")
    assert (clear.num_matches, identity.idtp) == (0, 0)


# --- HOTA's alphas -------------------------------------------------------------------------------

def test_benchmark_alphas():
    alphas = _native.benchmark_alphas()
    assert alphas == [0.05 + k * 0.05 for k in range(19)]
    module = vestrim.compute_hota_from_similarity([[1]], [[2]], [[[0.7]]]).alphas
    assert sum(a != b for a, b in zip(alphas, module)) == 4
    assert max(abs(a - b) for a, b in zip(alphas, module)) < 1e-15
    assert sim_run([([1], [2], [[0.7]])])[2].alphas == alphas
    assert sim_run([([], [2], [])])[2].alphas == alphas  # the degenerate result too


@pytest.mark.parametrize("similarity, benchmark_tp, module_tp", [
    (0.5 - EPS, 1.0, 1.0),        # within the benchmark's margin below alpha 0.5
    (0.5 - 2 * EPS, 0.0, 1.0),    # outside it, but within the module's 1e-9
    (0.5 - 2e-9, 0.0, 0.0),
])
def test_hota_threshold_margins(similarity, benchmark_tp, module_tp):
    frames = [([1], [2], [[similarity]])]
    assert sim_run(frames)[2].hota_tp_alphas[9] == benchmark_tp
    assert sim_run(frames, convention="module")[2].hota_tp_alphas[9] == module_tp


@pytest.mark.parametrize("values, expected", [
    ([0.1] * 19, 0.1),
    ([math.inf] + [0.5] * 18, math.inf),
    ([1.7e308] * 19, math.inf),
    ([-1.7e308] * 19, -math.inf),
    ([1.7e308, 1.7e308, -1.7e308], math.inf),  # what the plain sum gives, not the exact 1.7e308
    ([math.inf, -math.inf], math.nan),
    ([math.nan, 1.0], math.nan),
])
def test_alpha_mean(values, expected):
    assert bits(_native.alpha_mean(values)) == bits(expected) or (
        math.isnan(expected) and math.isnan(_native.alpha_mean(values)))


def test_alpha_mean_is_hotas_mean():
    h = vestrim.compute_hota_from_similarity([[1, 2]] * 3, [[5, 6]] * 3, [[[0.93, 0.1], [0.2, 0.61]]] * 3)
    for name in ("hota", "deta", "assa", "loca"):
        assert bits(_native.alpha_mean(getattr(h, name + "_alphas"))) == bits(getattr(h, name))


@pytest.mark.parametrize("convention", ["module", "benchmark"])
def test_a_sequences_counts_finalise_to_its_own_ratios(convention):
    # The finalisers that combining sequences uses are the ones that finalise a sequence.
    clear, identity, hota = _native.evaluate(*random_box_sequence(np.random.default_rng(3)),
                                             0.5, convention)
    got = _native.finalise_clear(clear.num_gt, clear.num_matches, clear.num_false_positives,
                                 clear.num_misses, clear.num_switches,
                                 clear.motp * clear.num_matches, convention == "benchmark")
    mota, motp, moda, smota, motal, clr_re, clr_pr = got
    assert clear.num_matches > 0 and bits([mota, moda, motal, clr_re, clr_pr]) == bits(
        [clear.mota, clear.moda, clear.motal, clear.clr_re, clear.clr_pr])
    # The sequence finalised its exact IoU sum; MOTP x TP is that sum up to rounding.
    assert (motp, smota) == pytest.approx((clear.motp, clear.smota), rel=1e-14)
    assert bits(list(_native.finalise_identity(identity.idtp, identity.idfp, identity.idfn,
                                               identity.num_gt))) == \
        bits([identity.idf1, identity.idp, identity.idr])
    tp = hota.hota_tp_alphas
    weighted = [[v * t for v, t in zip(getattr(hota, name), tp)]
                for name in ("assa_alphas", "ass_re_alphas", "ass_pr_alphas", "loca_alphas")]
    out = _native.finalise_hota(tp, hota.hota_fn_alphas, hota.hota_fp_alphas, *weighted)
    assert bits(out[0]) == bits(hota.deta_alphas)
    assert out[1] == pytest.approx(hota.assa_alphas) and out[6] == pytest.approx(hota.hota)


# --- convention="module" is vestrim.evaluate -----------------------------------------------------

def random_box_sequence(rng):
    def boxes(n):
        xy = rng.integers(0, 8, (n, 2)).astype(float)
        return np.hstack([xy, xy + rng.integers(1, 5, (n, 2))])

    gt_ids, gt_boxes, pred_ids, pred_boxes = [], [], [], []
    for _ in range(int(rng.integers(0, 10))):
        n, m = int(rng.integers(0, 5)), int(rng.integers(0, 5))
        gt_ids.append(rng.choice(6, n, replace=False).tolist())
        pred_ids.append(rng.choice(8, m, replace=False).tolist())
        gt_boxes.append(boxes(n))
        pred_boxes.append(boxes(m).tolist())
    return gt_ids, gt_boxes, pred_ids, pred_boxes


# 0 and 2^-53: a zero IoU can count (under both conventions, or only under the benchmark's).
@pytest.mark.parametrize("threshold", [0.5, 0.2, 0.0, 2.0 ** -53])
def test_module_convention_is_evaluate(threshold):
    rng = np.random.default_rng(int(threshold * 10))
    for _ in range(100):
        seq = random_box_sequence(rng)
        expected = vestrim.evaluate(*seq, iou_threshold=threshold)
        got = _native.evaluate(*seq, threshold, "module")
        assert [type(r) for r in got] == [type(expected.clear), type(expected.identity), type(expected.hota)]
        for mine, theirs in zip(got, (expected.clear, expected.identity, expected.hota)):
            assert attributes(mine) == attributes(theirs)
        sims = [vestrim.iou_matrix(g, p) for g, p in zip(seq[1], seq[3])]
        from_sim = _native.evaluate_from_similarity(seq[0], seq[2], sims, threshold)
        for mine, theirs in zip(from_sim, (expected.clear, expected.identity, expected.hota)):
            assert attributes(mine) == attributes(theirs)
        bench = _native.evaluate(*seq, threshold, "benchmark")
        bench_sim = _native.evaluate_from_similarity(seq[0], seq[2], sims, threshold, "benchmark")
        assert [attributes(r) for r in bench] == [attributes(r) for r in bench_sim]


@pytest.mark.parametrize("convention", ["module", "benchmark"])
def test_frames_empty_on_both_sides_only_count(convention):
    # Frames without any box, inserted anywhere, change num_frames and nothing else: scoring
    # the other frames with their count gives the same results.
    rng = np.random.default_rng(19)
    def columns(frames):
        return [list(c) for c in zip(*frames)] if frames else [[], [], [], []]

    for _ in range(100):
        held = [f for f in zip(*random_box_sequence(rng)) if f[0] or f[2]]
        every = list(held)
        for _ in range(int(rng.integers(0, 6))):
            every.insert(int(rng.integers(0, len(every) + 1)), ([], [], [], []))
        expected = _native.evaluate(*columns(every), 0.5, convention)
        got = _native.evaluate(*columns(held), 0.5, convention, empty_frames=len(every) - len(held))
        assert [attributes(r) for r in got] == [attributes(r) for r in expected]
        gt_ids, gt_boxes, pred_ids, pred_boxes = columns(held)
        sims = [vestrim.iou_matrix(g, p) for g, p in zip(gt_boxes, pred_boxes)]
        got = _native.evaluate_from_similarity(gt_ids, pred_ids, sims, 0.5, convention,
                                               empty_frames=len(every) - len(held))
        assert [attributes(r) for r in got] == [attributes(r) for r in expected]


# --- removal matching ----------------------------------------------------------------------------

def test_removal_matches_boxes():
    gt = [(0, 0, 10, 10), (20, 0, 30, 10)]
    pred = [(0, 0, 5, 10),         # IoU 0.5 with gt 0: kept
            (20, 0, 24.9, 10),     # IoU 0.49 with gt 1: counts 0
            (50, 50, 60, 60)]      # no overlap
    out = _native.removal_matches([gt, [], gt], [pred, pred, []])
    assert [a.tolist() for a in out] == [[0, -1, -1], [-1, -1, -1], []]
    assert all(a.dtype == np.int64 for a in out)
    # The one-to-one assignment maximises the total: gt 0 goes to the second prediction.
    out = _native.removal_matches([[(0, 0, 10, 10), (0, 0, 6, 10)]], [[(0, 0, 6, 10), (0, 0, 9, 10)]])
    assert out[0].tolist() == [1, 0]


def test_removal_matches_from_similarity():
    sim = [[[0.5 - EPS, 0.9], [0.5 - 2 * EPS, 0.0]], np.zeros((0, 3)), [[0.7]]]
    assert [a.tolist() for a in _native.removal_matches_from_similarity(sim)] == [[-1, 0], [-1] * 3, [0]]
    laid_out = [np.asfortranarray(sim[0]), np.zeros((0, 3), np.float32), np.array([[0.7]], np.float32)]
    assert [a.tolist() for a in _native.removal_matches_from_similarity(laid_out)] == [[-1, 0], [-1] * 3, [0]]
    assert [a.tolist() for a in _native.removal_matches_from_similarity([[[0.5 - EPS]]])] == [[0]]
    assert _native.removal_matches_from_similarity([[[0.2]]], threshold=0.1)[0].tolist() == [0]


@pytest.mark.parametrize("seed", range(3))
def test_removal_matches_rows_equals_the_per_frame_matching(monkeypatch, seed):
    # Rows in shuffled frame order, frames present on one side only, boxes on a coarse grid so
    # that equal IoUs (ties in the assignment) are common; frames enough to be shared out.
    monkeypatch.setenv("VESTRIM_THREADS", "2")
    rng = np.random.default_rng(seed)
    sides = []
    for n, frames in ((1500, 200), (1250, 225)):
        corner = rng.integers(0, 4, (n, 2)).astype(float)
        size = rng.integers(2, 4, (n, 2))
        sides.append((rng.integers(1, frames, n), np.hstack([corner, corner + size])))
    (gf, gb), (pf, pb) = sides
    rows = _native.removal_matches_rows(gf, gb, pf, pb)
    expected = np.full(len(pf), -1)
    for frame in np.unique(pf):
        g, p = np.flatnonzero(gf == frame), np.flatnonzero(pf == frame)
        [m] = _native.removal_matches([gb[g]], [pb[p]])
        expected[p[m >= 0]] = g[m[m >= 0]]
    assert rows.dtype == np.int64 and rows.tolist() == expected.tolist()
    assert (rows >= 0).sum() > 100
    assert _native.removal_matches_rows(gf, gb, pf[:0], pb[:0]).tolist() == []
    with pytest.raises(ValueError, match="each side needs one frame per box"):
        _native.removal_matches_rows(gf[:-1], gb, pf, pb)


def test_removal_matches_lists_without_numpy():
    code = ("import sys; from vestrim import _native; "
            "print(_native.removal_matches([[(0, 0, 1, 1)]], [[(0, 0, 1, 1), (5, 5, 6, 6)]]), "
            "'numpy' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["[[0,", "-1]]", "False"]


@pytest.mark.parametrize("call, error, message", [
    (lambda: _native.evaluate([], [], [], [], 0.5, "bench"), ValueError,
     'unknown convention "bench", expected "module" or "benchmark"'),
    (lambda: _native.evaluate_from_similarity([[1]], [[2]], [[[1.0]]], 0.5, 1), TypeError, None),
    (lambda: _native.removal_matches([[]], []), ValueError,
     "gt_boxes and pred_boxes must have the same number of frames, got 1 and 0"),
    (lambda: _native.removal_matches_from_similarity([[[1.0], [1.0, 2.0]]]), ValueError,
     "frame 0: similarity row 1 has 2 columns, expected 1"),
    (lambda: _native.removal_matches([np.zeros((1, 3))], [[]]), ValueError,
     "boxes array must have shape (N, 4), got [1, 3]"),
    (lambda: _native.alpha_mean([]), ValueError, "values must not be empty"),
    (lambda: _native.evaluate([], [], [], [], empty_frames=-1), ValueError,
     "empty_frames must be >= 0, got -1"),
    (lambda: _native.finalise_identity(1, -1, 0, 1), ValueError, "idfp must not be negative"),
    (lambda: _native.finalise_hota(*[[0.0] * 18] * 7), ValueError,
     "tp must hold one value per alpha (19), got 18"),
])
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("first, second, from_boxes", [
    ([0.18, 0.55, 0.85, 0.84, 0.82, 0.27, 0.65, 0.56, 0.33],
     [0.55, 0.18, 0.27, 0.82, 0.33, 0.65, 0.84, 0.85, 0.56], False),
    ([0.16, 0.66, 0.87, 0.43, 0.28, 0.79, 1.0, 0.07, 0.67],
     [0.66, 0.16, 0.07, 1.0, 0.28, 0.67, 0.87, 0.43, 0.79], True),
])
def test_benchmark_row_sums_are_pairwise_where_ties_turn_on_them(first, second, from_boxes):
    # gt 1 sees the same nine values in two frames, the first two swapped and the rest reordered,
    # so its alignments with predictions 10 and 11 are equal up to how each frame's row sum is
    # rounded. The last frame holds two identical gt rows (boxes) that score 10 and 11 alike: which
    # pairing wins is decided by that last bit, and pairwise row sums pick the other one. Boxes
    # (0, 0, w, 1) against (0, 0, 1, 1) give the values as IoUs, kept without their zeros.
    from test_hota import assert_identical, reference
    gt, pred = [[1], [1], [1, 2]], [list(range(10, 19))] * 3
    if from_boxes:
        gt_boxes = [[(0, 0, 1, 1)]] * 2 + [[(0, 0, 1, 1)] * 2]
        pred_boxes = [[(0, 0, w, 1) for w in first], [(0, 0, w, 1) for w in second],
                      [(0, 0, 1, 1)] * 2 + [(5, 5, 6, 6)] * 7]
        sim = [np.array(vestrim.iou_matrix(g, p)) for g, p in zip(gt_boxes, pred_boxes)]
        got = _native.evaluate(gt, gt_boxes, pred, pred_boxes, 0.5, "benchmark")[2]
    else:
        tie = [1.0, 1.0] + [0.0] * 7
        sim = [[first], [second], [tie, tie]]
        got = _native.evaluate_from_similarity(gt, pred, sim, 0.5, "benchmark")[2]
    pairwise = reference(gt, pred, sim, "benchmark")
    assert reference(gt, pred, sim, "benchmark", pairwise_rows=False)["assa"] != pairwise["assa"]
    assert_identical(got, pairwise)


@pytest.mark.parametrize("convention", ["module", "benchmark"])
@pytest.mark.parametrize("seed", [0, 1])
def test_threads_change_no_result(monkeypatch, convention, seed):
    from test_hota import random_tracks
    rng = np.random.default_rng(seed)
    frames = random_tracks(rng, num_frames=60, num_tracks=12, value="ties" if seed else "signed")
    frames[7] = ([], [], [])
    gt, pred, sim = (list(x) for x in zip(*frames))
    boxes = [[(0, 0, 1 + (i % 5), 2) for i in range(len(ids))] for ids in gt]
    pred_boxes = [[(0, 0, 1 + (i % 3), 2 + (i % 2)) for i in range(len(ids))] for ids in pred]
    # Arrays not read in place are laid out frame by frame as each family (and HOTA's two passes)
    # reaches them; float32 values score as the same values given as floats.
    shaped = [np.reshape(s, (len(g), len(p))) for g, p, s in zip(gt, pred, sim)]
    fortran = [np.asfortranarray(s) for s in shaped]
    single = [s.astype(np.float32) for s in shaped]
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("VESTRIM_THREADS", threads)
        scored = [[attributes(m) for m in _native.evaluate_from_similarity(gt, pred, s, 0.5, convention)]
                  for s in (sim, fortran, single, [s.tolist() for s in single])]
        assert scored[0] == scored[1] and scored[2] == scored[3]
        results.append([scored[0], scored[2],
                        [attributes(m) for m in _native.evaluate(gt, boxes, pred, pred_boxes, 0.5, convention)]])
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("env, expected", [
    ({}, lambda cores: cores),
    ({"VESTRIM_WORKER_PROCESSES": "2"}, lambda cores: max(1, cores // 2)),
    ({"VESTRIM_WORKER_PROCESSES": "1000"}, lambda cores: 1),
    ({"VESTRIM_THREADS": "3", "VESTRIM_WORKER_PROCESSES": "1000"}, lambda cores: 3),
    ({"VESTRIM_THREADS": "10000000"}, lambda cores: 64),
    ({"VESTRIM_THREADS": "0", "VESTRIM_WORKER_PROCESSES": "-2"}, lambda cores: cores),
])
def test_threads_per_call(monkeypatch, env, expected):
    import os
    for name in ("VESTRIM_THREADS", "VESTRIM_WORKER_PROCESSES"):
        monkeypatch.delenv(name, raising=False)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert _native.threads_per_call() == expected(len(os.sched_getaffinity(0)))


def test_pool_workers_share_the_cores():
    import os
    from vestrim.pool import local_pool
    with local_pool(2) as pool:
        got = pool.submit(_native.threads_per_call).result()
    assert got == max(1, len(os.sched_getaffinity(0)) // 2)


@pytest.mark.parametrize("threads", ["1", "2"])
def test_both_files_of_a_pair_keep_their_error_order(monkeypatch, threads):
    from vestrim.datasets.text import both
    monkeypatch.setenv("VESTRIM_THREADS", threads)

    def fail(error):
        raise error

    assert both(lambda: 1, lambda: 2) == (1, 2)
    with pytest.raises(KeyError):
        both(lambda: fail(KeyError("first")), lambda: fail(OSError("second")))
    with pytest.raises(OSError):
        both(lambda: 1, lambda: fail(OSError("second")))
