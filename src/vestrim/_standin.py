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


# --- reader stand-ins (read_table / layout_frames) ----------------------------------------------

from dataclasses import dataclass  # noqa: E402

from . import mot  # noqa: E402


@dataclass(frozen=True)
class Table:
    frames: np.ndarray
    ids: np.ndarray
    boxes: np.ndarray
    conf: np.ndarray
    classes: np.ndarray
    lines: np.ndarray
    last_frame: int

    def __len__(self):
        return len(self.frames)


def read_table(path, *, columns=8):
    import os
    path = os.fspath(path)
    text = mot._read_text(path)
    rows, seen = [], {}
    for number, raw in enumerate(text.split("\n"), 1):
        if raw.endswith("\r"):
            raw = raw[:-1]
        if not raw.strip():
            continue
        fields = raw.split(",")
        if len(fields) < 6:
            raise mot.MotFormatError(
                path, f"expected at least 6 comma-separated values, found {len(fields)}", number)
        n = min(len(fields), columns)
        values = mot._parse_line(fields, n)
        if isinstance(values, str):
            raise mot.MotFormatError(path, values, number)
        frame, ident, x, y, w, h = values[:6]
        box = (x, y, x + w, y + h)
        if not all(abs(v) <= mot.MAX_COORDINATE for v in box):
            raise mot.MotFormatError(
                path, f"box coordinates beyond {mot.MAX_COORDINATE:g} in magnitude", number)
        key = (frame, ident)
        if key in seen:
            raise mot.MotFormatError(path, f"id {ident} occurs twice in frame {frame}", number)
        seen[key] = number
        conf = values[6] if n > 6 else math.nan
        cls = values[7] if n > 7 else math.nan
        rows.append((frame, ident, box, conf, cls, number))
    return Table(np.array([r[0] for r in rows], dtype=np.int64),
                 np.array([r[1] for r in rows], dtype=np.int64),
                 np.array([r[2] for r in rows], dtype=np.float64).reshape(-1, 4),
                 np.array([r[3] for r in rows], dtype=np.float64),
                 np.array([r[4] for r in rows], dtype=np.float64),
                 np.array([r[5] for r in rows], dtype=np.int64),
                 max((r[0] for r in rows), default=0))


def layout_frames(frames, ids, boxes, first_frame, num_frames):
    order = np.argsort(frames, kind="stable")
    frames, ids = frames[order], ids[order]
    boxes = np.ascontiguousarray(boxes[order])
    bounds = np.searchsorted(frames, np.arange(first_frame, first_frame + num_frames + 1)).tolist()
    id_lists, box_sets = [], []
    for t in range(num_frames):
        lo, hi = bounds[t], bounds[t + 1]
        if lo == hi:
            id_lists.append([])
            box_sets.append(mot._EMPTY_BOXES)
        else:
            id_lists.append(ids[lo:hi].tolist())
            box_sets.append(boxes[lo:hi])
    return id_lists, box_sets


for _name in ("Table", "read_table", "layout_frames"):
    if not hasattr(mot, _name):
        setattr(mot, _name, globals()[_name])
