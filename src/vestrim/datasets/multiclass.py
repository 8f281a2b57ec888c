"""MOTChallenge-format files whose 8th value is a class (``--protocol mot-multiclass``).

The layout, lines and frames are MOTChallenge's (``GT/<seq>/gt/gt.txt``, ``seqinfo.ini``, a
sequence map; frames paired by number; boxes x, y, x + w, y + h; the 7th and 8th values truncated
toward zero). The caller names the classes by number (``vestrim.options.class_map``) and may mark
ground-truth ignore classes. ``load`` lists its steps.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

from .. import _native
from ..errors import MotFormatError
from ..options import ClassMap
from ..protocols import Protocol
from .cells import Rows, cells_as_sequences, class_cells
from .layouts import Run, motchallenge_run, read_seqinfo, required_pred
from .records import SequenceFiles
from .text import check_frames, first_row, read_bytes, read_native

__all__ = ["ClassTable", "read_class_table", "read_multiclass", "find_run", "load"]


@dataclass(frozen=True)
class ClassTable:
    """Every non-blank line of one file, in file order (as ``vestrim.mot.Table``)."""

    frames: np.ndarray   # int64, as written (1-based)
    ids: np.ndarray      # int64
    boxes: np.ndarray    # float64 (N, 4): x, y, x + w, y + h
    conf: np.ndarray     # float64, the 7th value (NaN where missing)
    classes: np.ndarray  # float64, the 8th value (NaN where missing)
    lines: np.ndarray    # int64, 1-based
    last_frame: int

    def __len__(self) -> int:
        return len(self.frames)


def read_class_table(path: str) -> ClassTable:
    """Every line of a MOTChallenge-format file with a class column. One id may occur in several
    lines of a frame (in different classes); the check for repeats is made per class."""
    return ClassTable(*read_native(path, _native.read_mot, read_bytes(path), 8, False))


def read_multiclass(gt: ClassTable, pred: ClassTable, cmap: ClassMap, *, gt_path: str,
                    pred_path: str):
    """(gt Rows, pred Rows, ignore-region frames, ignore regions) of one sequence. Frames become
    0-based positions (frame k is position k - 1). GT: an ignore class is an ignore region
    whatever its 7th value; else a 7th value of 0 drops the line; else a mapped class is a box of
    it; anything else is an error. Predictions: a mapped class is a box of it, an ignore class is
    never scored, anything else is an error."""
    numbers = np.array([n for n, _ in cmap.names], dtype=np.float64)
    ignore = np.array(sorted(cmap.ignore), dtype=np.float64)
    g_class = np.trunc(gt.classes)
    g_ignore = np.isin(g_class, ignore)
    g_scored = ~g_ignore & (np.trunc(gt.conf) != 0)
    bad = g_scored & ~np.isin(g_class, numbers)
    if bad.any():
        row = first_row(gt, bad)
        raise MotFormatError(gt_path, _class_message(gt.classes[row], cmap), int(gt.lines[row]))
    p_class = np.trunc(pred.classes)
    p_ignore = np.isin(p_class, ignore)
    bad = ~p_ignore & ~np.isin(p_class, numbers)
    if bad.any():
        row = first_row(pred, bad)
        raise MotFormatError(pred_path, _class_message(pred.classes[row], cmap),
                             int(pred.lines[row]))
    code = {float(n): k for k, (n, _) in enumerate(cmap.names)}

    def rows(table: ClassTable, keep: np.ndarray, classes: np.ndarray) -> Rows:
        order = np.flatnonzero(keep)
        order = order[np.argsort(table.frames[order], kind="stable")]
        codes = np.array([code[c] for c in classes[order].tolist()], dtype=np.int64)
        return Rows(table.frames[order] - 1, codes, table.ids[order], table.boxes[order],
                    table.lines[order])

    regions = np.flatnonzero(g_ignore)
    regions = regions[np.argsort(gt.frames[regions], kind="stable")]
    return (rows(gt, g_scored, g_class), rows(pred, ~p_ignore, p_class),
            gt.frames[regions] - 1, gt.boxes[regions])


def _class_message(value: float, cmap: ClassMap) -> str:
    mapped = ", ".join(str(n) for n, _ in cmap.names)
    if value != value:
        return f"no class (8th value); the classes are {mapped}"
    shown = int(value) if value == int(value) else value
    return f"class {shown} (8th value) is neither named ({mapped}) nor an ignore class"


def find_run(gt: str, proto: Protocol, seqmap, split: Optional[str]) -> Run:
    """The sequences of a split folder (``GT/<seq>/gt/gt.txt``), or one ground-truth file."""
    return motchallenge_run(gt, proto, seqmap, split)


def load(files: SequenceFiles, proto: Protocol, classes: ClassMap, skip_empty: bool) -> list:
    """One tracker's sequence: a ``BenchmarkSequence`` per selected class, in selection order.

    1. Read both files (an id may repeat within a frame across classes).
    2. The sequence's length: ``seqLength`` of its seqinfo.ini, where a line of either file
       beyond it is an error; without one, the last frame of either file.
    3. Classes (``read_multiclass``): ground truth of an ignore class is an ignore region of its
       frame; other ground truth marked 0 is dropped; a named class is a box of it; anything
       else is an error. Predictions of an ignore class are never scored; of a named class, a
       box of it; anything else is an error.
    4. Per class, the steps of ``vestrim.datasets.cells`` (pre-match, removal in ignore regions,
       relabelling, one id per frame), frames laid out from frame 1.
    """
    # 1.
    pred_path = required_pred(files)
    gt, pred = read_class_table(files.gt), read_class_table(pred_path)
    # 2.
    if files.seqinfo is not None:
        num_frames = read_seqinfo(files.seqinfo)
        check_frames(files.gt, gt, num_frames, files.seqinfo)
        check_frames(pred_path, pred, num_frames, files.seqinfo)
    else:
        num_frames = max(gt.last_frame, pred.last_frame)
    # 3.
    g_rows, p_rows, region_frames, regions = read_multiclass(gt, pred, classes,
                                                             gt_path=files.gt,
                                                             pred_path=pred_path)
    sides = {"gt": (files.gt, g_rows), "pred": (pred_path, p_rows)}

    def repeat_error(side: str, row: int, class_name: str) -> MotFormatError:
        path, rows = sides[side]
        frame, ident, line = int(rows.frames[row]) + 1, int(rows.ids[row]), int(rows.lines[row])
        return MotFormatError(path, f"id {ident} occurs twice in frame {frame} among the "
                              f"{class_name} boxes", line)

    # 4.
    code = {name: k for k, (_, name) in enumerate(classes.names)}
    cells = class_cells(g_rows, p_rows, region_frames, regions,
                        {code[name]: name for name in classes.selected}, num_frames,
                        repeat_error=repeat_error, skip_empty=skip_empty)
    return cells_as_sequences(files.name, cells)

