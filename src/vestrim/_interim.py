"""Stand-in for the native removal matcher while it is being built (development builds only)."""

import numpy as np

from . import _vestrim

_EPS = 2.0 ** -52


def removal_matches_from_similarity(similarity, threshold):
    from . import _core_testing
    out = []
    for sim in similarity:
        sim = np.array(sim, dtype=np.float64)
        if sim.ndim != 2:
            sim = sim.reshape(0, 0)
        match = np.full(sim.shape[1], -1, dtype=np.int64)
        if sim.size:
            score = np.where(sim < threshold - _EPS, 0.0, sim)
            rows, cols = _core_testing.lsap_solve(score, True)
            for r, c in zip(rows, cols):
                if score[r, c] > _EPS:
                    match[c] = r
        out.append(match)
    return out


def removal_matches(gt_boxes, pred_boxes, threshold):
    sims = []
    for g, p in zip(gt_boxes, pred_boxes):
        sims.append(np.array(_vestrim.iou_matrix(g, p), dtype=np.float64).reshape(len(g), len(p)))
    return removal_matches_from_similarity(sims, threshold)
