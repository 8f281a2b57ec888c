"""Scoring several classes of one sequence as separate cells, with class-agnostic ignore regions.

A *cell* is one (sequence, class). Both multi-class protocols (``bdd100k`` and
``mot-multiclass``) read their files into ``Rows`` (frame, class code, id, box per box) and hand
them to ``class_cells``, which prepares every selected class's cell in this order:

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

The MOTChallenge-format multi-class files (``mot-multiclass``) are read here too: ``read_multiclass``
turns a ground-truth and a prediction table into ``Rows`` under a user-given class-name map.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Callable, Mapping, Optional

import numpy as np

from . import _native
from .mot import MotFormatError, Table, _read_bytes, _read_native, layout_sequence

__all__ = ["Rows", "Cell", "class_cells", "ClassMap", "class_map", "read_multiclass",
           "read_class_table", "RESERVED_LABELS"]

EPSILON = 2.0 ** -52
THRESHOLD = 0.5

# Labels of the class combinations and of the per-class combined row: never a class name.
RESERVED_LABELS = ("combined", "cls_comb_cls_av", "cls_comb_det_av", "human", "vehicle", "bike")


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


# --- MOTChallenge-format files with a class column -------------------------------------------

_NAME = re.compile(r"[a-z0-9_ -]+")


@dataclass(frozen=True)
class ClassMap:
    """The classes of a ``mot-multiclass`` run: number -> name of every mapped class (map order),
    the class numbers that mark ignore regions, and the names scored (result order)."""

    names: tuple          # ((number, name), ...)
    ignore: frozenset
    selected: tuple       # names

    def number(self, name: str) -> int:
        return next(n for n, m in self.names if m == name)


def _class_number(value, what: str) -> int:
    if isinstance(value, bool):
        raise ValueError(f"{what}: class numbers are integers, got {value!r}")
    if isinstance(value, str):
        text = value.strip()
        if not re.fullmatch(r"[+-]?[0-9]+", text):
            raise ValueError(f"{what}: class numbers are integers, got {value!r}")
        value = int(text)
    try:
        number = int(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what}: class numbers are integers, got {value!r}") from None
    if number != value:
        raise ValueError(f"{what}: class numbers are integers, got {value!r}")
    if not -2**63 <= number < 2**63:
        raise ValueError(f"{what}: class {number} does not fit in 64 bits")
    return number


def class_map(class_names, ignore_classes=None, classes=None) -> ClassMap:
    """Check a class-name map (``{1: "pedestrian"}`` or ``"1=pedestrian,3=car"``), the ignore
    classes (``{13}`` or ``"13"``) and a selection of names; ValueError with the reason."""
    if class_names is None:
        raise ValueError("mot-multiclass needs a class-name map, e.g. 1=pedestrian,3=car")
    pairs: list
    if isinstance(class_names, str):
        pairs = []
        for item in class_names.split(","):
            text, sep, label = item.partition("=")
            if not sep or not item.strip():
                raise ValueError(f"class names: expected NUMBER=NAME, got {item.strip()!r}")
            pairs.append((text, label))
    elif isinstance(class_names, Mapping):
        pairs = list(class_names.items())
    else:
        raise ValueError("class names: a mapping of class numbers to names, e.g. "
                         "{1: 'pedestrian', 3: 'car'}")
    names: list = []
    for given, name in pairs:
        number = _class_number(given, "class names")
        if not isinstance(name, str):
            raise ValueError(f"class names: the name of class {number} is not a string")
        name = name.strip().lower()
        if not _NAME.fullmatch(name):
            raise ValueError(f"class names: {name!r} (class {number}) must be letters, digits, "
                             f"'_', '-' or spaces")
        if name in RESERVED_LABELS:
            raise ValueError(f"class names: {name!r} is reserved for combined results")
        if any(n == number for n, _ in names):
            raise ValueError(f"class names: class {number} is named twice")
        if any(m == name for _, m in names):
            raise ValueError(f"class names: the name {name!r} is given to two classes")
        names.append((number, name))
    if not names:
        raise ValueError("class names: no class given")
    ignore_list: list = []
    if isinstance(ignore_classes, (str, int)):
        ignore_list = str(ignore_classes).split(",")
    elif ignore_classes is not None:
        ignore_list = list(ignore_classes)
    ignore = frozenset(_class_number(c, "ignore classes") for c in ignore_list)
    for ignored in sorted(ignore):
        if any(n == ignored for n, _ in names):
            raise ValueError(f"ignore classes: class {ignored} is also a named class")
    if classes is None:
        selected = tuple(m for _, m in names)
    else:
        if isinstance(classes, str):
            classes = [classes]
        selected_list: list = []
        for c in classes:
            if not isinstance(c, str):
                raise ValueError(f"classes are names under mot-multiclass, got {c!r}")
            c = c.strip().lower()
            if not any(m == c for _, m in names):
                raise ValueError(f"class {c!r} is not in the class-name map (named: "
                                 f"{', '.join(m for _, m in names)})")
            if c not in selected_list:
                selected_list.append(c)
        selected = tuple(selected_list)
    return ClassMap(tuple(names), ignore, selected)


def read_class_table(path: str) -> Table:
    """Every line of a MOTChallenge-format file with a class column. One id may occur in several
    lines of a frame (in different classes); the check for repeats is made per class."""
    columns = _read_native(path, _native.read_mot, _read_bytes(path), 8, False)
    return Table(*columns)


def _first_row(table: Table, mask: np.ndarray) -> int:
    rows = np.flatnonzero(mask)
    return int(rows[np.argmin(table.lines[rows])])


def read_multiclass(gt: Table, pred: Table, cmap: ClassMap, *, gt_path: str, pred_path: str):
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
        row = _first_row(gt, bad)
        raise MotFormatError(gt_path, _class_message(gt.classes[row], cmap), int(gt.lines[row]))
    p_class = np.trunc(pred.classes)
    p_ignore = np.isin(p_class, ignore)
    bad = ~p_ignore & ~np.isin(p_class, numbers)
    if bad.any():
        row = _first_row(pred, bad)
        raise MotFormatError(pred_path, _class_message(pred.classes[row], cmap),
                             int(pred.lines[row]))
    code = {float(n): k for k, (n, _) in enumerate(cmap.names)}

    def rows(table: Table, keep: np.ndarray, classes: np.ndarray) -> Rows:
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
