"""KITTI tracking: label files, seqmaps, and the benchmark's per-class removals (2D boxes).

A label file holds one object per line, values separated by spaces::

    frame id type truncated occluded alpha x1 y1 x2 y2 h w l x y z ry [score]

Frames are 0-based, boxes are corners. Only the first ten values are read; the 3D values and the
score are ignored. Types compare case-insensitively (``car_2`` reads as ``car``); truncated and
occluded are numbers, truncated toward zero before any test.

``kitti_sequence`` turns a ground-truth table and a prediction table into one ``Sequence`` per
class, after the benchmark's rules (numbered there, beside the code).

``find_run`` lists a split's sequences from its KITTI seqmap (see ``vestrim.datasets.layouts``)
and ``load`` applies these rules to one tracker's sequence.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Iterable, Optional

import numpy as np

from .. import _native
from ..protocols import Protocol
from .frames import layout_sequence
from .layouts import Run, kitti_run, read_kitti_seqmap, required_pred
from .records import BenchmarkSequence, SequenceFiles
from .text import (EPSILON, MAX_FRAME, REMOVAL_THRESHOLD, check_range, check_unique_ids,
                   count_frames, read_bytes, read_native, rows_by_frame)

__all__ = ["KittiTable", "KITTI_TYPES", "KITTI_CLASSES", "read_kitti", "read_kitti_seqmap",
           "kitti_sequence", "span_frames", "find_run", "load"]

# Object types by code (the index). "car_2" is read as car.
KITTI_TYPES = ("car", "van", "truck", "pedestrian", "person", "cyclist", "tram", "misc",
               "dontcare")
_TYPE_CODES = {name: code for code, name in enumerate(KITTI_TYPES)}
_TYPE_CODES["car_2"] = _TYPE_CODES["car"]
_DONTCARE = _TYPE_CODES["dontcare"]

# Scored classes and the type whose boxes a prediction of that class may hit without penalty.
KITTI_CLASSES = {"car": "van", "pedestrian": "person"}

MIN_HEIGHT = 25.0
MAX_OCCLUDED = 2
MAX_TRUNCATED = 0
DONTCARE_OVERLAP = 0.5


@dataclass(frozen=True)
class KittiTable:
    """Every line of a KITTI label file, in file order."""

    frames: np.ndarray     # int64, 0-based
    ids: np.ndarray        # int64
    types: np.ndarray      # int8, index into KITTI_TYPES
    truncated: np.ndarray  # float64, truncated toward zero
    occluded: np.ndarray   # float64, truncated toward zero
    boxes: np.ndarray      # float64 (N, 4): x1, y1, x2, y2
    lines: np.ndarray      # int64, 1-based line numbers

    def __len__(self) -> int:
        return len(self.frames)


def read_kitti(path) -> KittiTable:
    """Read a KITTI tracking label file (ground truth or predictions).

    Every non-blank line becomes one row. A malformed line raises ``MotFormatError`` naming the
    file and line; an unknown type is such an error.
    """
    path = os.fspath(path)
    return parse_kitti(path, read_bytes(path))


def parse_kitti(path: str, data: bytes) -> KittiTable:
    """``read_kitti`` of a file's bytes (``path`` names it in errors)."""
    return KittiTable(*read_native(path, _native.read_kitti, data))


def _range_checked(table: KittiTable) -> np.ndarray:
    """The lines whose frames must lie inside the sequence: all but don't-care lines and lines
    with a negative id."""
    return (table.types != _DONTCARE) & (table.ids >= 0)


def span_frames(*tables: KittiTable) -> int:
    """The number of frames from 0 to the last frame of any range-checked line (0 for none):
    the length of a sequence given without a seqmap."""
    last = [int(t.frames[_range_checked(t)].max()) for t in tables if _range_checked(t).any()]
    return max(last) + 1 if last and max(last) >= 0 else 0


def _dontcare_hits(pred: np.ndarray, dontcare: np.ndarray) -> np.ndarray:
    """Whether each prediction lies more than half (of its own area) inside a don't-care box."""
    ix = np.minimum(pred[:, None, 2], dontcare[None, :, 2]) - np.maximum(pred[:, None, 0],
                                                                         dontcare[None, :, 0])
    iy = np.minimum(pred[:, None, 3], dontcare[None, :, 3]) - np.maximum(pred[:, None, 1],
                                                                         dontcare[None, :, 1])
    inter = np.maximum(ix, 0.0) * np.maximum(iy, 0.0)
    area = (pred[:, 2] - pred[:, 0]) * (pred[:, 3] - pred[:, 1])
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(area[:, None] > 0, inter / area[:, None], 0.0)
    return np.any(ratio > DONTCARE_OVERLAP + EPSILON, axis=1)


def kitti_sequence(gt: KittiTable, pred: KittiTable, num_frames: int,
                   classes: Iterable[str] = ("car", "pedestrian"), *,
                   gt_path: str = "ground truth", pred_path: str = "predictions",
                   _skip_empty: bool = False) -> dict:
    """Apply the KITTI rules to one sequence: ``{class: Sequence}`` (frames 0 … num_frames − 1).

    1. Ground-truth ``dontcare`` lines are ignore regions, whatever their id; other lines with a
       negative id are dropped (both files); every remaining line must lie inside the sequence.
    2. Per class c and frame, the predictions of class c are matched (IoU of at least 0.5)
       against the ground truth of class c and of its distractor type (van for car, person for
       pedestrian).
    3. A prediction matched to a distractor, or to an object occluded beyond 2 or truncated at
       all, is removed.
    4. An unmatched prediction is removed when it is at most 25 pixels tall or lies more than
       half (of its own area) inside a don't-care box.
    5. The ground truth kept is class c with occluded <= 2 and truncated <= 0; an id twice in
       one frame of what is kept is an error.
    6. Lay the rows out by frame from frame 0.

    Raises ``MotFormatError`` for a scored line outside the sequence (naming its file and line)
    and for an id twice in one frame of the boxes kept (naming file, line, frame and id).
    """
    classes = list(classes)
    for cls in classes:
        if cls not in KITTI_CLASSES:
            raise ValueError(f"unknown KITTI class {cls!r} (expected one of "
                             f"{', '.join(KITTI_CLASSES)})")
    rows = {}
    # 1.
    for name, table, path in (("gt", gt, gt_path), ("pred", pred, pred_path)):
        dontcare = table.types == _DONTCARE
        scored = _range_checked(table)
        inside = check_range(path, table.frames, table.lines, scored, 0, num_frames)
        rows[name] = (scored & inside, dontcare & inside)
    gt_scored, gt_dontcare = rows["gt"]
    dc_rows = np.flatnonzero(gt_dontcare)

    result = {}
    for cls in classes:
        code, distractor = _TYPE_CODES[cls], _TYPE_CODES[KITTI_CLASSES[cls]]
        g_rows = np.flatnonzero(gt_scored & ((gt.types == code) | (gt.types == distractor)))
        p_rows = np.flatnonzero(rows["pred"][0] & (pred.types == code))
        # Only frames with predictions can lose any; the rules look at nothing else.
        frames = np.unique(pred.frames[p_rows])
        g_rows, g_lo, g_hi = rows_by_frame(gt, g_rows, frames)
        p_rows, p_lo, p_hi = rows_by_frame(pred, p_rows, frames)
        d_rows, d_lo, d_hi = rows_by_frame(gt, dc_rows, frames)
        p_sets = [pred.boxes[p_rows[lo:hi]] for lo, hi in zip(p_lo, p_hi)]
        # 2.
        matches = _native.removal_matches([gt.boxes[g_rows[lo:hi]] for lo, hi in zip(g_lo, g_hi)],
                                          p_sets, REMOVAL_THRESHOLD)
        g_bad = ((gt.types[g_rows] == distractor) | (gt.occluded[g_rows] > MAX_OCCLUDED)
                 | (gt.truncated[g_rows] > MAX_TRUNCATED))
        keep_pred = np.ones(len(p_rows), dtype=bool)
        for k, boxes in enumerate(p_sets):
            match = np.asarray(matches[k], dtype=np.int64)
            matched = match >= 0
            drop = np.zeros(len(boxes), dtype=bool)
            drop[matched] = g_bad[g_lo[k] + match[matched]]  # 3.
            # 4.
            loose = ~matched
            drop |= loose & (boxes[:, 3] - boxes[:, 1] <= MIN_HEIGHT + EPSILON)
            if d_hi[k] > d_lo[k]:
                drop |= loose & _dontcare_hits(boxes, gt.boxes[d_rows[d_lo[k]:d_hi[k]]])
            keep_pred[p_lo[k]:p_hi[k]] = ~drop
        # 5.
        kept_gt = g_rows[~g_bad]
        kept_pred = p_rows[keep_pred]
        what = f" among the {cls} boxes scored"
        check_unique_ids(gt_path, gt.frames, gt.ids, gt.lines, kept_gt, what)
        check_unique_ids(pred_path, pred.frames, pred.ids, pred.lines, kept_pred, what)
        # 6.
        result[cls] = layout_sequence(
            (gt.frames[kept_gt], gt.ids[kept_gt], gt.boxes[kept_gt]),
            (pred.frames[kept_pred], pred.ids[kept_pred], pred.boxes[kept_pred]),
            0, num_frames, skip_empty=_skip_empty)
    return result


# --- under a protocol ---------------------------------------------------------------------------

def find_run(gt: str, proto: Protocol, seqmap, split: Optional[str]) -> Run:
    """The sequences of a KITTI split's seqmap, or one ground-truth file."""
    return kitti_run(gt, proto, seqmap, split)


def load(files: SequenceFiles, proto: Protocol, classes, skip_empty: bool) -> list:
    """One tracker's sequence under ``proto``: one ``BenchmarkSequence`` per class scored, by
    the steps of ``kitti_sequence``."""
    pred_path = required_pred(files)
    gt, pred = read_kitti(files.gt), read_kitti(pred_path)
    num_frames = files.num_frames
    if num_frames is None:  # one pair of files: the frames either file reaches, within the limit
        num_frames = min(span_frames(gt, pred), MAX_FRAME)
    sequences = kitti_sequence(gt, pred, num_frames, classes or proto.classes or (),
                               gt_path=files.gt, pred_path=pred_path, _skip_empty=skip_empty)
    return [BenchmarkSequence(files.name, c, s.gt_ids, s.gt_boxes, s.pred_ids, s.pred_boxes,
                              count_frames(s.gt_ids, s.pred_ids), s.empty_frames)
            for c, s in sequences.items()]
