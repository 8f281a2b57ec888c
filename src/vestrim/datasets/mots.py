"""Segmentation tracking (KITTI-MOTS, MOTS20): mask files and the benchmark's rules.

A file holds one mask per line, values separated by spaces::

    frame id class height width rle

``rle`` is a COCO compressed-counts string for a ``height`` × ``width`` mask. Classes: 1 car,
2 pedestrian, 10 ignore region; other classes are read and checked but never scored. Masks stay
run-length encoded throughout: overlaps, the ignore test and IoU all work on the runs.

``mots_sequence`` checks a ground-truth and a prediction table against the benchmark's rules and
returns one ``MaskSequence`` per class (the steps are numbered there, beside the code).

``find_run`` finds a split's sequences in the protocol's layout (KITTI-MOTS seqmap or MOTChallenge
folders, see ``vestrim.datasets.layouts``) and ``load`` applies these rules to one tracker's
sequence.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Iterable, Optional

import numpy as np

from .. import _native
from .._vestrim import mask_iou_matrix, mask_merge
from ..errors import MotFormatError
from ..protocols import Protocol
from .layouts import FIRST_FRAME, Run, kitti_run, motchallenge_run, read_seqinfo, required_pred
from .records import MaskBenchmarkSequence, MaskSequence, SequenceFiles
from .text import (EPSILON, MAX_FRAME, REMOVAL_THRESHOLD, both, check_range, check_unique_ids,
                   count_frames, read_bytes, read_native, rows_by_frame)

__all__ = ["MotsTable", "MaskSequence", "MOTS_CLASSES", "IGNORE_CLASS", "read_mots",
           "mots_sequence", "find_run", "load"]

MOTS_CLASSES = {"car": 1, "pedestrian": 2}
IGNORE_CLASS = 10
IGNORE_OVERLAP = 0.5


@dataclass(frozen=True)
class MotsTable:
    """Every line of a mask file, in file order."""

    frames: np.ndarray   # int64, as written
    ids: np.ndarray      # int64
    classes: np.ndarray  # int64
    sizes: np.ndarray    # int64 (N, 2): height, width
    areas: np.ndarray    # int64: pixels in each mask
    masks: list          # Mask per line
    lines: np.ndarray    # int64, 1-based line numbers

    def __len__(self) -> int:
        return len(self.frames)

    @property
    def last_frame(self) -> int:
        """The largest frame of any line (0 for an empty file)."""
        return int(self.frames.max()) if len(self.frames) else 0


def read_mots(path) -> MotsTable:
    """Read a mask tracking file (ground truth or predictions).

    Every non-blank line becomes one row. A malformed line (values, or a counts string that does
    not fit its size) raises ``MotFormatError`` naming the file and line.
    """
    path = os.fspath(path)
    return parse_mots(path, read_bytes(path))


def parse_mots(path: str, data: bytes) -> MotsTable:
    """``read_mots`` of a file's bytes (``path`` names it in errors)."""
    return MotsTable(*read_native(path, _native.read_mots, data))


def _check_sizes(frame, parts):
    """All masks of a frame share one size: `parts` are (path, table, rows) in reading order."""
    reference = None
    for path, table, rows in parts:
        if not len(rows):
            continue
        sizes = table.sizes[rows]
        if reference is None:
            reference = sizes[0]
        bad = np.flatnonzero((sizes[:, 0] != reference[0]) | (sizes[:, 1] != reference[1]))
        if len(bad):
            k = rows[bad[0]]
            h, w = table.sizes[k]
            raise MotFormatError(
                path, f"mask size {h}x{w} differs from {reference[0]}x{reference[1]}, the size "
                f"of the other masks in frame {frame}", int(table.lines[k]))


def _check_disjoint(path, frame, table: MotsTable, rows, ignore_rows):
    """No two masks of the frame share a pixel, the merged ignore region counting as one mask.
    Returns the ignore region (None without class-10 masks)."""
    masks = [table.masks[k] for k in rows]
    total = int(table.areas[rows].sum())
    region = None
    if len(ignore_rows):
        ignore = [table.masks[k] for k in ignore_rows]
        region = ignore[0] if len(ignore) == 1 else mask_merge(ignore)
        masks.append(region)
        total += region.area()
    if len(masks) < 2 or mask_merge(masks).area() == total:
        return region
    # Disjoint masks have a union as large as their areas together; find the pair to report.
    overlap = mask_iou_matrix(masks, masks)
    for i in range(len(masks)):
        for j in range(i + 1, len(masks)):
            if overlap[i][j] > 0:
                line = int(table.lines[rows[i]])
                if j == len(rows):
                    raise MotFormatError(path, f"mask overlaps the ignore region (class "
                                         f"{IGNORE_CLASS}) in frame {frame}", line)
                raise MotFormatError(path, f"mask overlaps the mask of line {line} in frame "
                                     f"{frame}", int(table.lines[rows[j]]))
    raise AssertionError("union smaller than the areas without an overlapping pair")


# The similarity of every frame without masks: one shared, read-only (0, 0) array.
_NO_SIMILARITY = np.zeros((0, 0), dtype=np.float64)
_NO_SIMILARITY.flags.writeable = False


def _every_frame(lists, slots: np.ndarray, num_frames: int):
    """(gt_ids, gt_masks, pred_ids, pred_masks, similarity) of the frames at `slots` spread over
    all `num_frames` frames, every other frame without masks."""
    out: list[list] = [[[] for _ in range(num_frames)] for _ in range(4)]
    out.append([_NO_SIMILARITY] * num_frames)
    for values, spread in zip(lists, out):
        for slot, value in zip(slots.tolist(), values):
            spread[slot] = value
    return out


def mots_sequence(gt: MotsTable, pred: MotsTable, first_frame: int, num_frames: int,
                  classes: Iterable[str] = ("car", "pedestrian"), *,
                  gt_path: str = "ground truth", pred_path: str = "predictions",
                  _skip_empty: bool = False) -> dict:
    """Apply the MOTS rules to one sequence of frames first_frame … first_frame + num_frames
    − 1: ``{class: MaskSequence}``.

    1. Every line except class 10 lies inside the sequence, and no id occurs twice in one frame
       of a file (class 10 aside, across classes, before anything is removed).
    2. All masks of a frame, in both files, have one size; the masks of a frame do not overlap,
       where the ground truth's class-10 masks are first merged into one ignore region (they may
       overlap each other; in predictions every mask counts on its own).
    3. Per class and frame, predictions are matched against the ground truth of their class by
       mask IoU (at least 0.5).
    4. An unmatched prediction lying more than half (of its own area) in the ground truth's
       ignore region is removed. Nothing is removed from the ground truth.
    5. Lay the frames out (with ``_skip_empty`` only the frames with a mask on either side).

    Raises ``MotFormatError`` naming the file (and line or frame) for a line outside the
    sequence, an id twice in one frame, masks of different sizes or overlapping masks.
    """
    classes = list(classes)
    for cls in classes:
        if cls not in MOTS_CLASSES:
            raise ValueError(f"unknown MOTS class {cls!r} (expected one of "
                             f"{', '.join(MOTS_CLASSES)})")
    inside_rows = []
    # 1.
    for table, path in ((gt, gt_path), (pred, pred_path)):
        scored = table.classes != IGNORE_CLASS
        inside = check_range(path, table.frames, table.lines, scored, first_frame, num_frames)
        check_unique_ids(path, table.frames, table.ids, table.lines, np.flatnonzero(scored))
        inside_rows.append(np.flatnonzero(inside))
    # The frames with a mask in either file; every other frame is empty on both sides.
    present = np.union1d(gt.frames[inside_rows[0]], pred.frames[inside_rows[1]])
    files = [rows_by_frame(table, rows, present) for table, rows in zip((gt, pred), inside_rows)]

    # 2. Per-file checks, frame by frame; the ground truth's ignore regions are kept.
    ignore_regions = [None] * len(present)
    for k, frame in enumerate(present.tolist()):
        parts = []
        for (rows, lo, hi), table, path in zip(files, (gt, pred), (gt_path, pred_path)):
            parts.append((path, table, rows[lo[k]:hi[k]]))
        _check_sizes(frame, parts)
        for n, (path, table, rows) in enumerate(parts):
            if len(rows) < (1 if n == 0 else 2):  # a lone ground-truth mask may be the region
                continue
            # Only the ground truth has ignore regions: in predictions every mask counts alone.
            is_ignore = (table.classes[rows] == IGNORE_CLASS) if n == 0 else np.zeros(len(rows), bool)
            region = _check_disjoint(path, frame, table, rows[~is_ignore], rows[is_ignore])
            if n == 0:
                ignore_regions[k] = region

    result = {}
    for cls in classes:
        code = MOTS_CLASSES[cls]
        per_file = []
        for (rows, lo, hi), table in zip(files, (gt, pred)):
            ids, masks = [], []
            keep = table.classes[rows] == code
            for a, b in zip(lo, hi):
                sel = rows[a:b][keep[a:b]]
                ids.append(table.ids[sel].tolist())
                masks.append([table.masks[k] for k in sel])
            per_file.append((ids, masks))
        (gt_ids, gt_masks), (pred_ids, pred_masks) = per_file
        similarity = [np.array(mask_iou_matrix(g, p), dtype=np.float64).reshape(len(g), len(p))
                      for g, p in zip(gt_masks, pred_masks)]
        # 3.
        matches = _native.removal_matches_from_similarity(similarity, REMOVAL_THRESHOLD)
        # 4.
        for t, region in enumerate(ignore_regions):
            if region is None or not pred_ids[t]:
                continue
            loose = np.flatnonzero(np.asarray(matches[t]) < 0)
            if not len(loose):
                continue
            inside = np.array(mask_iou_matrix([pred_masks[t][k] for k in loose], [region],
                                              is_crowd=[True]), dtype=np.float64)[:, 0]
            dropped = set(loose[inside > IGNORE_OVERLAP + EPSILON].tolist())
            if dropped:
                keep = [k for k in range(len(pred_ids[t])) if k not in dropped]
                pred_ids[t] = [pred_ids[t][k] for k in keep]
                pred_masks[t] = [pred_masks[t][k] for k in keep]
                similarity[t] = np.ascontiguousarray(similarity[t][:, keep])
        # 5.
        lists = (gt_ids, gt_masks, pred_ids, pred_masks, similarity)
        if _skip_empty:
            held = [t for t in range(len(present)) if gt_ids[t] or pred_ids[t]]
            g_ids, g_masks, p_ids, p_masks, sim = ([values[t] for t in held] for values in lists)
            result[cls] = MaskSequence(g_ids, g_masks, p_ids, p_masks, sim,
                                       num_frames - len(held))
        else:
            result[cls] = MaskSequence(*_every_frame(lists, present - first_frame, num_frames))
    return result


# --- under a protocol ---------------------------------------------------------------------------

def find_run(gt: str, proto: Protocol, seqmap, split: Optional[str]) -> Run:
    """The sequences of a split in the protocol's layout, or one ground-truth file."""
    if proto.layout == "kitti-mots":
        return kitti_run(gt, proto, seqmap, split)
    return motchallenge_run(gt, proto, seqmap, split)


def load(files: SequenceFiles, proto: Protocol, classes, skip_empty: bool) -> list:
    """One tracker's sequence under ``proto``: one ``MaskBenchmarkSequence`` per class scored,
    by the steps of ``mots_sequence``; frames from 0 in the KITTI-MOTS layout (its length from the
    seqmap), from 1 in the MOTChallenge one (from seqinfo.ini)."""
    pred_path = required_pred(files)
    gt, pred = both(lambda: read_mots(files.gt), lambda: read_mots(pred_path))
    last = max(gt.last_frame, pred.last_frame) if len(gt) or len(pred) else None
    first = FIRST_FRAME[proto.layout]
    if proto.layout == "kitti-mots":
        num_frames = files.num_frames
        if num_frames is None:  # one pair of files: the frames either file reaches, within the limit
            num_frames = 0 if last is None else min(max(last + 1, 0), MAX_FRAME)
    else:
        if files.seqinfo is not None:
            num_frames = read_seqinfo(files.seqinfo)
        else:
            num_frames = 0 if last is None else min(max(last, 0), MAX_FRAME)
    sequences = mots_sequence(gt, pred, first, num_frames, classes or proto.classes or (),
                              gt_path=files.gt, pred_path=pred_path, _skip_empty=skip_empty)
    return [MaskBenchmarkSequence(files.name, c, s.gt_ids, s.gt_masks, s.pred_ids, s.pred_masks,
                                  s.similarity, count_frames(s.gt_ids, s.pred_ids),
                                  s.empty_frames)
            for c, s in sequences.items()]
