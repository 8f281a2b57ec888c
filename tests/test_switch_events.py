"""Switch-subtype events (transfer, ascend, migrate) under the two-stage matcher."""

import math

import numpy as np
import pytest
from assignment_reference import assign

import vestrim


def run(frames, threshold=0.5):
    """frames: list of (gt_ids, pred_ids, rows)."""
    gt, pred, sim = zip(*frames) if frames else ((), (), ())
    e = vestrim.compute_quorvantix_switch_events(list(gt), list(pred), list(sim), threshold)
    return e.num_transfer, e.num_ascend, e.num_migrate


def reference(frames, threshold):
    """The two-stage matcher written out plainly, with scipy for stage 2."""
    hyp_for_object, object_for_hyp = {}, {}
    matched_objects, matched_hyps = set(), set()
    transfer = ascend = migrate = 0
    for gt, pred, rows in frames:
        if not gt or not pred:
            continue
        s = np.array(rows, dtype=float)
        object_done, hyp_done = [False] * len(gt), [False] * len(pred)
        for i, o in enumerate(gt):
            if o in hyp_for_object and hyp_for_object[o] in pred:
                k = pred.index(hyp_for_object[o])
                if not hyp_done[k] and s[i, k] >= threshold:
                    object_done[i] = hyp_done[k] = True
                    matched_objects.add(o)
                    matched_hyps.add(pred[k])
        free_r = [i for i, done in enumerate(object_done) if not done]
        free_q = [k for k, done in enumerate(hyp_done) if not done]
        if not free_r or not free_q:
            continue
        sub = s[np.ix_(free_r, free_q)]
        for a, b in zip(*assign(sub.tolist(), (sub >= threshold).tolist())):
            i, k = free_r[a], free_q[b]
            if not s[i, k] >= threshold:
                continue
            o, h = gt[i], pred[k]
            if o in hyp_for_object and hyp_for_object[o] != h and h not in matched_hyps:
                ascend += 1
            if h in object_for_hyp and object_for_hyp[h] != o:
                transfer += 1
                if o not in matched_objects:
                    migrate += 1
            hyp_for_object[o], object_for_hyp[h] = h, o
            matched_objects.add(o)
            matched_hyps.add(h)
    return transfer, ascend, migrate


def one(o, h, s=0.9):
    return ([o], [h], [[s]])


@pytest.mark.parametrize("frames, expected", [
    ([], (0, 0, 0)),
    ([one(1, 10)] * 5, (0, 0, 0)),
    # The object moves on to a hypothesis that has never matched: ascend.
    ([one(1, 10), one(1, 20)], (0, 1, 0)),
    # The hypothesis moves to an object never matched before: transfer and migrate.
    ([one(1, 10), one(2, 10)], (1, 0, 1)),
    # ... to an object matched before, and the hypothesis had matched before: transfer only.
    ([([1, 2], [10, 20], [[0.9, 0.1], [0.1, 0.9]]), one(2, 10)], (1, 0, 0)),
    # Stage 1 keeps the remembered pair although a higher-scoring hypothesis is free.
    ([one(1, 10, 0.6), ([1], [10, 20], [[0.55, 0.9]])], (0, 0, 0)),
    # Frames 3 and 4 are kept by stage 1: each object still remembers hypothesis 10.
    ([one(1, 10), one(2, 10), one(1, 10), one(2, 10)], (1, 0, 1)),
    # Equality with the threshold passes in both stages.
    ([one(1, 10, 0.5), one(2, 10, 0.5), one(2, 10, 0.5), one(1, 10, 0.5)], (1, 0, 1)),
    # A frame with one side empty changes nothing, not even what is remembered.
    ([one(1, 10), ([1], [], [[]]), ([], [10], []), one(1, 10)], (0, 0, 0)),
    ([one(1, 10), ([], [10, 20], []), ([1], [], [[]]), one(2, 10)], (1, 0, 1)),
    # Object 100 must take an excluded pair; that must not round away 101's better pair (with 10).
    ([([1, 101], [10, 12], [[1, 0], [0, 1]]), ([100, 101], [10, 11], [[0, 0], [1, 0.5]])], (1, 0, 0)),
    # Below the threshold nothing matches, in either stage.
    ([one(1, 10), one(1, 10, 0.49), one(2, 10, 0.49)], (0, 0, 0)),
    # NaN never passes: stage 1 does not keep 1-10, and stage 2 does not take it either, so the
    # object is free to move to hypothesis 20 (an ascend).
    ([one(1, 10), ([1], [10, 20], [[math.nan, 0.6]])], (0, 1, 0)),
    ([one(1, 10), one(2, 10, math.nan)], (0, 0, 0)),
    # Stage 1 only looks at the first position carrying the remembered id.
    ([one(1, 10), ([1], [10, 10], [[0.1, 0.9]])], (0, 0, 0)),
])
def test_worked_examples(frames, expected):
    assert run(frames) == expected


def test_nan_threshold_matches_nothing():
    assert run([one(1, 10), one(2, 10), one(1, 20)], threshold=math.nan) == (0, 0, 0)


def test_excluded_pairs_forced_by_the_solver_record_nothing():
    # In frame 2 only 4-20 passes, yet the solver must also pair object 3 with hypothesis 30.
    # Had that pair been recorded, 5-30 in frame 3 would be a transfer and a migrate.
    frames = [([1, 2], [10, 20], [[0.9, 0.0], [0.0, 0.9]]),
              ([3, 4], [20, 30], [[0.0, 0.0], [0.9, 0.0]]),
              one(5, 30)]
    assert run(frames) == (1, 0, 1)


@pytest.mark.parametrize("seed", range(4))
def test_agrees_with_reference_on_random_sequences(seed):
    rng = np.random.default_rng(seed)
    duplicates = seed == 3  # ids repeated within a frame

    def ids(pool, offset):
        size = int(rng.integers(0, 5))
        size = size if duplicates else min(size, pool)
        return [int(i) + offset for i in rng.choice(pool, size=size, replace=duplicates)]

    for _ in range(150):
        n_obj, n_hyp = int(rng.integers(1, 8)), int(rng.integers(1, 10))
        frames = []
        for _ in range(int(rng.integers(0, 25))):
            gt, pred = ids(n_obj, 0), ids(n_hyp, 100)
            sim = np.where(rng.random((len(gt), len(pred))) < 0.6, rng.random((len(gt), len(pred))), 0.0)
            frames.append((gt, pred, sim.tolist()))
        assert run(frames) == reference(frames, 0.5), frames


def test_result_class():
    e = vestrim.compute_quorvantix_switch_events([[1], [2]], [[10], [10]], [[[0.9]], [[0.9]]])
    assert repr(e).startswith("<QuorvantixSwitchEvents object at ")
    with pytest.raises(TypeError):
        vestrim.QuorvantixSwitchEvents()
    with pytest.raises(AttributeError):
        e.num_transfer = 0


@pytest.mark.parametrize("args, message", [
    (([[1]], [[2]], []), "gt_ids, pred_ids, and similarity must have the same number of frames, got 1, 1, 0"),
    (([[1]], [[2, 3]], [[[0.5]]]), "frame 0: similarity row 0 has 1 columns, expected 2 (len(pred_ids[0]))"),
])
def test_frame_validation(args, message):
    with pytest.raises(ValueError) as info:
        vestrim.compute_quorvantix_switch_events(*args)
    assert str(info.value) == message
