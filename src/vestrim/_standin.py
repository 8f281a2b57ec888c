"""TEMPORARY: Python stand-ins for vestrim._native entry points that are not built yet.
Removed once the native ones exist."""

import math

import numpy as np

from . import _native, _vestrim

_EPS = 2.0 ** -52


def alpha_mean(values):
    values = list(values)
    total, comp = 0.0, 0.0
    for x in values:
        t = total + x
        comp += (total - t) + x if abs(total) >= abs(x) else (x - t) + total
        total = t
    return (total + comp) / len(values)


def benchmark_alphas():
    return [0.05 + k * 0.05 for k in range(19)]


def removal_matches_from_similarity(similarity, threshold):
    from scipy.optimize import linear_sum_assignment
    out = []
    for sim in similarity:
        sim = np.asarray(sim, dtype=np.float64)
        n_pred = sim.shape[1] if sim.ndim == 2 else 0
        match = np.full(n_pred, -1, dtype=np.int64)
        if sim.size:
            s = np.where(sim < threshold - _EPS, 0.0, sim)
            rows, cols = linear_sum_assignment(s, maximize=True)
            for r, c in zip(rows, cols):
                if s[r, c] > _EPS:
                    match[c] = r
        out.append(match)
    return out


def removal_matches(gt_boxes, pred_boxes, threshold):
    sims = []
    for g, p in zip(gt_boxes, pred_boxes):
        g = np.asarray(g, dtype=np.float64).reshape(-1, 4)
        p = np.asarray(p, dtype=np.float64).reshape(-1, 4)
        sims.append(np.array(_vestrim.iou_matrix(g, p)).reshape(len(g), len(p)))
    return removal_matches_from_similarity(sims, threshold)


def evaluate(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold, convention):
    r = _vestrim.evaluate(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=iou_threshold)
    return r.clear, r.identity, r.hota


for _name in ("alpha_mean", "benchmark_alphas", "removal_matches",
              "removal_matches_from_similarity", "evaluate"):
    if not hasattr(_native, _name):
        setattr(_native, _name, globals()[_name])

