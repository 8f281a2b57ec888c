"""Laying rows out by frame: one entry per frame, each a list of ids and a contiguous box array,
empty frames sharing one empty tuple and one read-only empty array. Every dataset lays out its
boxes here; imports only the records.
"""

from __future__ import annotations

import contextlib
import contextvars

import numpy as np

from .records import Sequence

__all__ = ["layout_frames", "layout_listed_frames", "layout_sequence", "EMPTY_BOXES", "id_views"]

EMPTY_BOXES = np.zeros((0, 4), dtype=np.float64)
EMPTY_BOXES.flags.writeable = False
# The ids of every empty frame: one shared object, immutable so that sharing it is safe.
_EMPTY_IDS = ()


# Set by `id_views`: each frame's ids laid out as an int64 array view instead of a list.
_ID_VIEWS = contextvars.ContextVar("vestrim_id_views", default=False)


@contextlib.contextmanager
def id_views():
    """Within this block every layout gives each frame's ids as a read-in-place int64 array
    instead of a list of ints: for sequences handed straight to the native evaluation, which
    then neither builds nor walks nor converts back a Python int per box."""
    token = _ID_VIEWS.set(True)
    try:
        yield
    finally:
        _ID_VIEWS.reset(token)


def _rows(frames, ids, boxes):
    frames = np.asarray(frames, dtype=np.int64)
    ids = np.asarray(ids, dtype=np.int64)
    boxes = np.asarray(boxes, dtype=np.float64).reshape(-1, 4)
    if not len(frames) == len(ids) == len(boxes):
        raise ValueError("frames, ids and boxes must have the same length")
    return frames, ids, boxes


def _ascending(values: np.ndarray) -> bool:
    return len(values) < 2 or bool(np.all(values[1:] >= values[:-1]))


def _runs(values: np.ndarray) -> np.ndarray:
    """The first index of each run of equal values."""
    if not len(values):
        return np.zeros(0, dtype=np.intp)
    return np.flatnonzero(np.concatenate(([True], values[1:] != values[:-1])))


def _lay_out(slots: np.ndarray, ids: np.ndarray, boxes: np.ndarray, count: int):
    """``(id_lists, box_sets)`` of ``count`` entries, row k going to entry ``slots[k]`` (each
    in range); entries without rows share the empty objects."""
    if not _ascending(slots):
        order = np.argsort(slots, kind="stable")  # file order within a frame
        slots, ids, boxes = slots[order], ids[order], boxes[order]
    starts = _runs(slots)
    return _fill(slots[starts], starts, ids, boxes, count)


def _fill(run_slots: np.ndarray, starts: np.ndarray, ids: np.ndarray, boxes: np.ndarray,
          count: int):
    """``_lay_out`` of rows already grouped: the run of rows from ``starts[k]`` goes to entry
    ``run_slots[k]``."""
    id_lists = [_EMPTY_IDS] * count
    box_sets = [EMPTY_BOXES] * count
    if not len(starts):
        return id_lists, box_sets
    boxes = np.ascontiguousarray(boxes)
    ends = np.append(starts[1:], len(ids)).tolist()
    all_ids = np.ascontiguousarray(ids, dtype=np.int64) if _ID_VIEWS.get() else ids.tolist()
    for slot, lo, hi in zip(run_slots.tolist(), starts.tolist(), ends):
        id_lists[slot] = all_ids[lo:hi]
        box_sets[slot] = boxes[lo:hi]  # a contiguous row range: read in place
    return id_lists, box_sets


def _union(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """The distinct values of both, ascending: ``np.union1d`` without ``np.unique``, which
    imports numpy.ma (some 20 ms in every process that scores)."""
    # Files list their rows frame by frame: a side in order gives only its distinct values.
    values = np.sort(np.concatenate([v[_runs(v)] if _ascending(v) else v for v in (a, b)]))
    if len(values) > 1:
        values = values[np.concatenate(([True], values[1:] != values[:-1]))]
    return values


def layout_frames(frames, ids, boxes, first_frame: int, num_frames: int):
    """Lay rows out by frame: ``(id_lists, box_sets)``, one entry per frame ``first_frame`` …
    ``first_frame + num_frames - 1``, rows of a frame in their given order. A frame's ids are a
    list of ints and its boxes a contiguous (n, 4) float64 array; every empty frame shares one
    empty tuple and one empty read-only array. A row outside those frames is a ``ValueError``.
    """
    frames, ids, boxes = _rows(frames, ids, boxes)
    first_frame, num_frames = int(first_frame), int(num_frames)
    if num_frames < 0:
        raise ValueError(f"num_frames must be >= 0, got {num_frames}")
    if len(frames) and (frames.min() < first_frame or frames.max() >= first_frame + num_frames):
        raise ValueError(f"a row lies outside frames {first_frame} to "
                         f"{first_frame + num_frames - 1}")
    return _lay_out(frames - first_frame, ids, boxes, num_frames)


def layout_listed_frames(frames, ids, boxes, listed):
    """As ``layout_frames``, with one entry per frame of ``listed`` (ascending frame numbers,
    each once) instead of a range. A row in a frame not listed is a ``ValueError``."""
    frames, ids, boxes = _rows(frames, ids, boxes)
    listed = np.asarray(listed, dtype=np.int64)
    if _ascending(frames):  # rows in frame order, as files list them: one look-up per frame
        starts = _runs(frames)
        run_frames = frames[starts]
        run_slots = np.searchsorted(listed, run_frames)
        if len(run_frames) and (run_slots.max() >= len(listed)
                                or np.any(listed[run_slots] != run_frames)):
            raise ValueError("a row lies in a frame that is not listed")
        return _fill(run_slots, starts, ids, boxes, len(listed))
    slots = np.searchsorted(listed, frames)
    if len(frames) and (slots.max() >= len(listed) or np.any(listed[slots] != frames)):
        raise ValueError("a row lies in a frame that is not listed")
    return _lay_out(slots, ids, boxes, len(listed))


def layout_sequence(gt, pred, first_frame: int, num_frames: int, *,
                     skip_empty: bool = False) -> Sequence:
    """A ``Sequence`` of frames ``first_frame`` … ``first_frame + num_frames - 1`` from the
    (frames, ids, boxes) rows of each side. With ``skip_empty`` only the frames with a row on
    either side are laid out and the others counted in ``empty_frames``: memory then follows the
    rows, not the frame numbers."""
    if not skip_empty:
        gt_ids, gt_boxes = layout_frames(gt[0], gt[1], gt[2], first_frame, num_frames)
        pred_ids, pred_boxes = layout_frames(pred[0], pred[1], pred[2], first_frame, num_frames)
        return Sequence(gt_ids, gt_boxes, pred_ids, pred_boxes)
    listed = _union(np.asarray(gt[0], dtype=np.int64), np.asarray(pred[0], dtype=np.int64))
    if len(listed) and (listed[0] < first_frame or listed[-1] >= first_frame + num_frames):
        raise ValueError(f"a row lies outside frames {first_frame} to "
                         f"{first_frame + num_frames - 1}")
    gt_ids, gt_boxes = layout_listed_frames(gt[0], gt[1], gt[2], listed)
    pred_ids, pred_boxes = layout_listed_frames(pred[0], pred[1], pred[2], listed)
    return Sequence(gt_ids, gt_boxes, pred_ids, pred_boxes, int(num_frames) - len(listed))
