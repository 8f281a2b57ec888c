"""Reading tracking results and ground truth in the MOTChallenge text format.

One line per object and frame: ``frame, id, x, y, w, h, conf, class, visibility, ...``, comma
separated, spaces and tabs around values tolerated, extra columns ignored, blank lines skipped.
Lines end at ``\\n`` (an ``\\r`` before it is dropped); nothing else ends a line. Frames are
1-based; boxes are given as x, y, width, height and are held here in corner form
(x1, y1, x2, y2), converted as ``(x, y, x + w, y + h)``.

Numbers are ASCII: frames and ids are integers (``-3``, ``+12``, or an integral decimal such as
``3.0``); the other values are decimals with an optional exponent (``1.5``, ``-2e3``). ``inf``,
``nan``, digit separators (``1_0``) and non-ASCII digits are errors. An id occurring twice in one
frame of a file is an error.

``read_table`` reads every line of one file into arrays. ``read_tracks`` applies the plain
ground-truth rules on top of it: a line whose 7th value is 0 is ignored (it marks an object not to
be scored), and a class filter keeps only the lines whose 8th value is one of the given classes.
``load_sequence`` pairs a ground-truth file with a prediction file and lays both out frame by
frame, from frame 1 to the last frame seen in either file, ready for ``vestrim.evaluate``.

Under a benchmark protocol, ``find_run`` finds a split folder's sequences (see
``vestrim.datasets.layouts``) and ``load`` applies the protocol's rules to one tracker's sequence
(see ``load`` for the steps, in the order they run).
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Collection, Optional

import numpy as np

from .. import _native
from ..errors import MotFormatError
from ..protocols import Protocol
from .frames import EMPTY_BOXES, layout_sequence
from .layouts import Run, motchallenge_run, read_seqinfo, warn
from .records import BenchmarkSequence, Sequence, SequenceFiles
from .text import MAX_FRAME, both, cached_gt, check_frames, count, first_row, read_bytes, read_native

__all__ = ["Table", "Tracks", "read_table", "read_tracks", "load_sequence", "find_run", "load",
           "MAX_FRAME"]


@dataclass(frozen=True)
class Table:
    """Every non-blank line of one file, in file order, one row per line."""

    frames: np.ndarray   # int64, as written (1-based)
    ids: np.ndarray      # int64
    boxes: np.ndarray    # float64 (N, 4): x, y, x + w, y + h
    conf: np.ndarray     # float64, the 7th value; NaN where the line has none or columns < 7
    classes: np.ndarray  # float64, the 8th value; NaN where the line has none or columns < 8
    lines: np.ndarray    # int64, 1-based line number of each row
    last_frame: int      # the largest frame of any row; 0 for none

    def __len__(self) -> int:
        return len(self.frames)


@dataclass(frozen=True)
class Tracks:
    """The kept lines of one file, in file order."""

    frames: np.ndarray  # int64, 1-based
    ids: np.ndarray     # int64
    boxes: np.ndarray   # float64, shape (N, 4), x1, y1, x2, y2
    last_frame: int     # the last frame of any line, dropped lines included; 0 for none

    def __len__(self) -> int:
        return len(self.frames)


def read_table(path, *, columns: int = 8) -> Table:
    """Read every non-blank line of one MOTChallenge text file into a ``Table``.

    ``columns`` (6, 7 or 8) is how many leading values of each line are parsed and validated;
    later values are ignored unparsed. Raises ``MotFormatError`` naming the file and, for a
    malformed line or an id occurring twice in one frame, the line.
    """
    path = os.fspath(path)
    if columns not in (6, 7, 8):
        raise ValueError(f"columns must be 6, 7 or 8, got {columns!r}")
    return parse_table(path, read_bytes(path), columns)


def parse_table(path: str, data: bytes, columns: int) -> Table:
    """``read_table`` of a file's bytes (``path`` names it in errors)."""
    return Table(*read_native(path, _native.read_mot, data, columns))


def read_tracks(path: str, *, gt: bool = False,
                classes: Optional[Collection[int]] = None) -> Tracks:
    """Read one MOTChallenge text file.

    With ``gt=True`` lines whose 7th value is 0 are dropped, and ``classes`` (if given) keeps only
    lines whose 8th value is one of them. Raises ``MotFormatError`` naming the file, and the line
    for a malformed one. An empty file gives no lines.
    """
    path = os.fspath(path)
    # The class filter applies to ground truth only.
    classes = frozenset(int(c) for c in classes) if gt and classes is not None else None
    table = read_table(path, columns=8 if gt else 6)
    if not gt:
        return Tracks(table.frames, table.ids, table.boxes, table.last_frame)
    keep = _plain_gt_keep(path, table, classes)
    if keep.all():
        return Tracks(table.frames, table.ids, table.boxes, table.last_frame)
    return Tracks(table.frames[keep], table.ids[keep], table.boxes[keep], table.last_frame)


def load_sequence(gt_path: str, pred_path: Optional[str] = None, *,
                  gt_classes: Optional[Collection[int]] = None) -> Sequence:
    """Read a ground-truth file and a prediction file into one ``Sequence``.

    The sequence runs from frame 1 to the last frame seen in either file; a frame missing from a
    file is an empty frame. ``pred_path=None`` stands for a tracker that output nothing. Boxes are
    in corner form (``box_format="xyxy"``), one contiguous float64 array per frame.
    """
    gt = read_tracks(gt_path, gt=True, classes=gt_classes)
    pred = read_tracks(pred_path) if pred_path is not None else Tracks(
        np.zeros(0, np.int64), np.zeros(0, np.int64), EMPTY_BOXES, 0)
    num_frames = max(gt.last_frame, pred.last_frame)
    # Every frame gets its entry (callers index by frame): four lists of num_frames references,
    # the empty frames sharing one tuple and one array.
    return layout_sequence((gt.frames, gt.ids, gt.boxes), (pred.frames, pred.ids, pred.boxes),
                            1, num_frames)


# --- under a protocol ---------------------------------------------------------------------------

def find_run(gt: str, proto: Protocol, seqmap, split: Optional[str]) -> Run:
    """The sequences of a split folder (``GT/<seq>/gt/gt.txt``), or one ground-truth file."""
    return motchallenge_run(gt, proto, seqmap, split)


def _number(value: float) -> str:
    return str(int(value)) if math.isfinite(value) and value == int(value) else repr(value)


def _distractor_predictions(gt, pred, gt_class: np.ndarray, proto: Protocol) -> np.ndarray:
    """Mask of the predictions matched, frame by frame, to a distractor."""
    remove = np.zeros(len(pred), dtype=bool)
    if not len(gt) or not len(pred):
        return remove
    match = _native.removal_matches_rows(gt.frames, gt.boxes, pred.frames, pred.boxes,
                                         proto.removal_threshold)
    hit = match >= 0
    distractor = np.isin(gt_class, np.array(sorted(proto.distractor_classes), dtype=np.float64))
    remove[hit] = distractor[match[hit]]
    return remove


def _plain_gt_keep(path: str, gt: Table, classes) -> np.ndarray:
    """Mask of the ground-truth rows the plain rules score: 7th value not 0 (a line without one
    is scored) and, with ``classes``, 8th value among them."""
    keep = gt.conf != 0
    if classes is not None:
        missing = np.isnan(gt.classes)
        if missing.any():
            raise MotFormatError(path, "no class (8th value), which the class filter needs",
                                 int(gt.lines[first_row(gt, missing)]))
        keep &= np.isin(gt.classes, np.array(sorted(classes), dtype=np.float64))
    return keep


def _gt_keep(path: str, gt, proto: Protocol, classes) -> np.ndarray:
    """Mask of the ground-truth rows scored."""
    if not proto.is_benchmark:
        return _plain_gt_keep(path, gt, classes)
    keep = np.trunc(gt.conf) != 0 if proto.drop_zero_marked else np.ones(len(gt), dtype=bool)
    if proto.scored_gt_class is not None:
        keep &= np.trunc(gt.classes) == proto.scored_gt_class
    return keep


def _validate_gt_classes(path: str, gt, pred_frames: np.ndarray, proto: Protocol) -> np.ndarray:
    """Truncated ground-truth classes; an invalid class is an error in a frame with predictions
    and is dropped (with one warning) elsewhere."""
    gt_class = np.trunc(gt.classes)
    classes = proto.valid_gt_classes or frozenset()
    valid = np.isin(gt_class, np.array(sorted(classes), dtype=np.float64))
    if valid.all():
        return gt_class
    invalid = ~valid
    scored_frames = np.isin(gt.frames, pred_frames)
    if (invalid & scored_frames).any():
        row = first_row(gt, invalid & scored_frames)
        value = gt.classes[row]
        low, high = min(classes), max(classes)
        what = "no class (8th value)" if math.isnan(value) else f"class {_number(value)}"
        raise MotFormatError(path, f"{what}: ground-truth classes are {low} to {high}",
                             int(gt.lines[row]))
    row = first_row(gt, invalid)
    warn(f"{path}: {int(invalid.sum())} ground-truth line(s) with no valid class dropped "
          f"(first at line {int(gt.lines[row])}), all in frames without predictions")
    return gt_class


def _check_pred_classes(path: str, pred, proto: Protocol) -> None:
    over = np.trunc(pred.classes) > proto.max_pred_class  # False where there is no class
    if over.any():
        row = first_row(pred, over)
        raise MotFormatError(
            path, f"class {_number(pred.classes[row])} (8th value): only pedestrians are scored "
                  f"here, so predictions must have class -1 or 1", int(pred.lines[row]))


def load(files: SequenceFiles, proto: Protocol, classes, skip_empty: bool) -> list:
    """One tracker's sequence under ``proto``: ``[BenchmarkSequence]``.

    The steps, in the order they run (the numbers mark them in the code):

    1. Read the ground truth (``proto.gt_columns`` values a line; in a worker, the last file read
       is kept for the next tracker) and the predictions (``proto.pred_columns`` values).
    2. The sequence's length: ``seqLength`` of its seqinfo.ini, where a line of either file
       beyond it is an error; without one, the last frame of either file.
    3. A prediction whose class (8th value, truncated) exceeds ``proto.max_pred_class`` is an
       error.
    4. Ground-truth classes (truncated) must be in ``proto.valid_gt_classes``: an invalid one is
       an error in a frame with predictions and is dropped, with one warning, elsewhere.
    5. Per frame, every ground-truth box (any class, zero-marked ones included) is matched one to
       one against every prediction (IoU of at least ``proto.removal_threshold``); a prediction
       matched to a box of ``proto.distractor_classes`` is removed.
    6. The ground truth scored: under ``plain`` every line whose 7th value is not 0 (and, with
       ``classes``, only those classes); under a benchmark protocol the lines whose truncated 7th
       value is not 0 (when ``proto.drop_zero_marked``) and whose truncated class is
       ``proto.scored_gt_class`` (when set).
    7. Lay the rows out by frame from frame 1 (with ``skip_empty`` only the frames with a box on
       either side, the others counted).
    """
    # 1. (both files at the same time)
    gt, pred = both(lambda: cached_gt((files.gt, proto.gt_columns),
                                      lambda: read_table(files.gt, columns=proto.gt_columns)),
                    lambda: None if files.pred is None else read_table(files.pred, columns=proto.pred_columns))
    # 2.
    if files.seqinfo is not None:
        num_frames = read_seqinfo(files.seqinfo)
        check_frames(files.gt, gt, num_frames, files.seqinfo)
        if files.pred is not None:
            check_frames(files.pred, pred, num_frames, files.seqinfo)
    else:
        num_frames = max(gt.last_frame, pred.last_frame if pred is not None else 0)
    empty = np.zeros(0, np.int64)
    # 3.
    if files.pred is not None and proto.max_pred_class is not None:
        _check_pred_classes(files.pred, pred, proto)
    remove = None
    # 4.
    if proto.valid_gt_classes is not None:
        gt_class = _validate_gt_classes(files.gt, gt, pred.frames if pred is not None
                                        else empty, proto)
        # 5.
        if pred is not None and proto.distractor_classes:
            remove = _distractor_predictions(gt, pred, gt_class, proto)
    # 6.
    keep = _gt_keep(files.gt, gt, proto, classes if not proto.is_benchmark else None)
    if keep.all():  # read in place, not copied
        gt_frames, gt_ids, gt_boxes = gt.frames, gt.ids, gt.boxes
    else:
        gt_frames, gt_ids, gt_boxes = gt.frames[keep], gt.ids[keep], gt.boxes[keep]
    if pred is None:
        pred_frames, pred_ids, pred_boxes = empty, empty, np.zeros((0, 4))
    elif remove is not None and remove.any():
        pred_frames, pred_ids, pred_boxes = (pred.frames[~remove], pred.ids[~remove],
                                             pred.boxes[~remove])
    else:
        pred_frames, pred_ids, pred_boxes = pred.frames, pred.ids, pred.boxes
    # 7.
    s = layout_sequence((gt_frames, gt_ids, gt_boxes), (pred_frames, pred_ids, pred_boxes),
                        1, num_frames, skip_empty=skip_empty)
    class_name = proto.classes[0] if proto.classes else None
    return [BenchmarkSequence(files.name, class_name, s.gt_ids, s.gt_boxes, s.pred_ids,
                              s.pred_boxes, count(gt_ids, pred_ids), s.empty_frames)]
