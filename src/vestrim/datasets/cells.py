"""Scoring several classes of one sequence as separate cells, with class-agnostic ignore regions.

A *cell* is one (sequence, class). Both multi-class datasets (``bdd100k`` and ``multiclass``, the
protocols ``bdd100k`` and ``mot-multiclass``) read their files into ``Rows`` (frame, class code,
id, box per box) and hand them to ``class_cells``, which prepares every selected class's cell in
this order:

1. keep the ground-truth and tracker boxes of the class; nothing else takes part;
2. pre-match them frame by frame: IoU below 0.5 - 2^-52 counts as 0, the assignment maximising the
   sum is solved (the solver and tie rule of the MOTChallenge distractor matching), and a solved
   pair is a match when its value exceeds 2^-52 (IoU exactly 0.5 matches);
3. remove each unmatched tracker box whose intersection over its own area with at least one ignore
   region of its frame exceeds 0.5 + 2^-52 (ignore regions belong to the frame, not to a class;
   matched boxes and ground truth are never removed);
4. relabel the ids of each side: sorted distinct ids become 0 .. n - 1, so the same id in two
   classes is two unrelated tracks;
5. refuse an id twice in one frame among the cell's ground truth or its surviving tracker boxes.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Mapping, Optional

import numpy as np

from .. import _native
from .frames import layout_sequence
from .records import BenchmarkSequence, Count
from .text import EPSILON, REMOVAL_THRESHOLD as THRESHOLD

__all__ = ["Rows", "Cell", "class_cells", "cells_as_sequences"]


@dataclass(frozen=True)
class Rows:
    """The boxes of one file: frame (0-based position), class code, id and xyxy box per row, in
    frame order; ``codes`` < 0 marks rows that are never scored (ignore regions are held apart)."""

    frames: np.ndarray  # int64
    codes: np.ndarray   # int64
    ids: np.ndarray     # int64
    boxes: np.ndarray   # float64 (N, 4)
    lines: Optional[np.ndarray] = None  # int64: each row's line in its file, where it has one

    def __len__(self) -> int:
        return len(self.frames)


@dataclass(frozen=True)
class Cell:
    """One class of one sequence as it is scored."""

    class_name: str
    sequence: object    # a vestrim.mot.Sequence (ids relabelled)
    num_gt: int
    num_pred: int
    num_gt_ids: int
    num_pred_ids: int

    @property
    def empty(self) -> bool:
        """No tracker box left, or no ground truth: the metrics' early returns apply."""
        return self.num_pred == 0 or self.num_gt == 0


def _in_ignore_region(frames: np.ndarray, boxes: np.ndarray, region_frames: np.ndarray,
                      regions: np.ndarray) -> np.ndarray:
    """Whether each box lies more than half (of its own area) inside an ignore region of its
    frame. ``region_frames`` ascend."""
    out = np.zeros(len(frames), dtype=bool)
    if not len(frames) or not len(region_frames):
        return out
    lo = np.searchsorted(region_frames, frames, "left")
    counts = np.searchsorted(region_frames, frames, "right") - lo
    total = int(counts.sum())
    if total == 0:
        return out
    box = np.repeat(np.arange(len(frames)), counts)
    starts = np.cumsum(counts) - counts
    region = np.arange(total) - np.repeat(starts, counts) + np.repeat(lo, counts)
    b, r = boxes[box], regions[region]
    ix = np.maximum(np.minimum(b[:, 2], r[:, 2]) - np.maximum(b[:, 0], r[:, 0]), 0.0)
    iy = np.maximum(np.minimum(b[:, 3], r[:, 3]) - np.maximum(b[:, 1], r[:, 1]), 0.0)
    area = (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1])
    with np.errstate(divide="ignore", invalid="ignore"):
        ioa = np.where(area > EPSILON, (ix * iy) / area, 0.0)
    out[box[ioa > THRESHOLD + EPSILON]] = True
    return out


def _relabel(ids: np.ndarray) -> tuple[np.ndarray, int]:
    if not len(ids):
        return ids, 0
    distinct, inverse = np.unique(ids, return_inverse=True)
    return inverse.astype(np.int64), len(distinct)


def _first_repeat(frames: np.ndarray, ids: np.ndarray) -> Optional[int]:
    """The position of the first row (in row order) whose (frame, id) occurred before."""
    if len(frames) < 2:
        return None
    order = np.lexsort((np.arange(len(frames)), ids, frames))
    f, i = frames[order], ids[order]
    repeat = np.flatnonzero((f[1:] == f[:-1]) & (i[1:] == i[:-1])) + 1
    return int(order[repeat].min()) if len(repeat) else None


def class_cells(gt: Rows, pred: Rows, region_frames: np.ndarray, regions: np.ndarray,
                classes: Mapping[int, str], num_frames: int, *,
                repeat_error: Callable[[str, int, str], Exception],
                skip_empty: bool = False) -> list:
    """The cells of one sequence, one per entry of ``classes`` (code -> name, in result order),
    prepared by the steps in this module's docstring. ``repeat_error(side, row, class)`` builds
    the error for an id twice in a frame (side "gt" or "pred", row of that side's ``Rows``)."""
    codes = np.array(list(classes), dtype=np.int64)
    g_sel = np.flatnonzero(np.isin(gt.codes, codes))
    p_sel = np.flatnonzero(np.isin(pred.codes, codes))
    # 2. One native call matches every (frame, class) group of the sequence.
    stride = int(codes.max()) + 1 if len(codes) else 1
    g_key = gt.frames[g_sel] * stride + gt.codes[g_sel]
    p_key = pred.frames[p_sel] * stride + pred.codes[p_sel]
    matched = np.zeros(len(p_sel), dtype=bool)
    if len(g_sel) and len(p_sel):
        matched = _native.removal_matches_rows(g_key, gt.boxes[g_sel], p_key, pred.boxes[p_sel],
                                               THRESHOLD) >= 0
    # 3. Ignore regions remove only unmatched boxes.
    loose = p_sel[~matched]
    removed = _in_ignore_region(pred.frames[loose], pred.boxes[loose], region_frames, regions)
    keep = np.ones(len(pred), dtype=bool)
    keep[loose[removed]] = False
    cells = []
    for code, name in classes.items():
        g_rows = np.flatnonzero(gt.codes == code)
        p_rows = np.flatnonzero((pred.codes == code) & keep)
        for side, rows, table in (("gt", g_rows, gt), ("pred", p_rows, pred)):
            k = _first_repeat(table.frames[rows], table.ids[rows])
            if k is not None:
                raise repeat_error(side, int(rows[k]), name)
        g_ids, n_gt_ids = _relabel(gt.ids[g_rows])
        p_ids, n_pred_ids = _relabel(pred.ids[p_rows])
        sequence = layout_sequence((gt.frames[g_rows], g_ids, gt.boxes[g_rows]),
                                   (pred.frames[p_rows], p_ids, pred.boxes[p_rows]),
                                   0, num_frames, skip_empty=skip_empty)
        cells.append(Cell(name, sequence, len(g_rows), len(p_rows), n_gt_ids, n_pred_ids))
    return cells


def cells_as_sequences(name: str, cells: list) -> list:
    """``BenchmarkSequence``s of prepared cells."""
    return [BenchmarkSequence(name, c.class_name, c.sequence.gt_ids, c.sequence.gt_boxes,
                              c.sequence.pred_ids, c.sequence.pred_boxes,
                              Count(c.num_gt, c.num_pred, c.num_gt_ids, c.num_pred_ids,
                                    c.sequence.num_frames),
                              c.sequence.empty_frames)
            for c in cells]
