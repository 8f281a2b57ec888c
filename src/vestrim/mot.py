"""Reading tracking results and ground truth in the MOTChallenge text format.

One line per object and frame: ``frame, id, x, y, w, h, conf, class, visibility, ...``, comma
separated, spaces around values tolerated, extra columns ignored, blank lines skipped. Frames are
1-based; boxes are given as x, y, width, height and are held here in corner form (x1, y1, x2, y2),
converted as ``(x, y, x + w, y + h)``. In ground truth, a line whose 7th value is 0 is ignored
(it marks an object not to be scored), and a class filter keeps only the lines whose 8th value is
one of the given classes.

``load_sequence`` pairs a ground-truth file with a prediction file and lays both out frame by
frame, from frame 1 to the last frame seen in either file, ready for ``vestrim.evaluate``.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Collection, Optional

import numpy as np

__all__ = ["MotFormatError", "Tracks", "Sequence", "read_tracks", "load_sequence", "MAX_FRAME"]

# A frame number beyond this is taken for a typo: laying out that many (mostly empty) frames
# would exhaust memory long before any result.
MAX_FRAME = 10_000_000

# Box corners are kept within this magnitude so that every area and union stays finite (and so
# every IoU is a number).
MAX_COORDINATE = 1e150

# Integers from the fast numeric path are exact only up to here.
_EXACT_INT = 2.0 ** 53

_EMPTY_BOXES = np.zeros((0, 4), dtype=np.float64)
_EMPTY_BOXES.flags.writeable = False


class MotFormatError(ValueError):
    """A file that cannot be read or parsed. ``str()`` names the file (and line, if any)."""

    def __init__(self, path: str, message: str, line: Optional[int] = None):
        self.path = path
        self.line = line
        self.message = message
        where = f"{path}:{line}" if line is not None else path
        super().__init__(f"{where}: {message}")


@dataclass(frozen=True)
class Tracks:
    """The kept lines of one file, in file order."""

    frames: np.ndarray  # int64, 1-based
    ids: np.ndarray     # int64
    boxes: np.ndarray   # float64, shape (N, 4), x1, y1, x2, y2
    last_frame: int     # the last frame of any line, dropped lines included; 0 for none

    def __len__(self) -> int:
        return len(self.frames)


@dataclass(frozen=True)
class Sequence:
    """One sequence laid out by frame: lists with one entry per frame, frame 1 first."""

    gt_ids: list
    gt_boxes: list
    pred_ids: list
    pred_boxes: list

    @property
    def num_frames(self) -> int:
        return len(self.gt_ids)


def _read_text(path: str) -> str:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise MotFormatError(path, f"cannot read: {e.strerror or e}") from None
    # Undecodable bytes become U+FFFD, which then fails on its line with a line number.
    return data.decode("utf-8-sig", errors="replace")


def _parse_int(token: str) -> int:
    try:
        return int(token)
    except ValueError:
        value = float(token)  # also "3.0" or "1e3"; raises ValueError otherwise
        if not value.is_integer():
            raise
        return int(value)


_ORDINALS = ("1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th")


def _parse_line(fields: list, columns: int):
    """Values of one line's first `columns` fields (frame, id, x, y, w, h, conf, class), or an
    error message."""
    out = []
    for k in range(columns):
        token = fields[k].strip()
        name = ("frame", "id", "x", "y", "width", "height", "confidence", "class")[k]
        try:
            value = _parse_int(token) if k < 2 else float(token)
        except ValueError:
            kind = "an integer" if k < 2 else "a number"
            return f"{name} ({_ORDINALS[k]} value) must be {kind}, got {token!r}"
        if k < 2 and not -2**63 <= value < 2**63:
            return f"{name} {value} does not fit in 64 bits"
        if 2 <= k < 6 and not math.isfinite(value):
            return f"{name} must be finite, got {token!r}"
        out.append(value)
    if out[0] < 1:
        return f"frame numbers start at 1, got {out[0]}"
    if out[0] > MAX_FRAME:
        return f"frame number {out[0]} is implausibly large (the limit is {MAX_FRAME})"
    return out


def _read_slow(path: str, lines: list, gt: bool, classes):
    """Line-by-line reading: the reference semantics, with a precise message for the first bad
    line."""
    frames, ids, boxes = [], [], []
    last_frame = 0
    limit = MAX_COORDINATE
    for number, raw in enumerate(lines, 1):
        fields = raw.split(",")
        if len(fields) < 6:
            if not raw.strip():
                continue
            raise MotFormatError(
                path, f"expected at least 6 comma-separated values, found {len(fields)}", number)
        columns = min(len(fields), 8) if gt else 6
        if classes is not None and columns < 8:
            raise MotFormatError(
                path, "no class (8th value), which the class filter needs", number)
        try:  # the common case, without per-value diagnostics
            frame, ident = int(fields[0]), int(fields[1])
            x, y = float(fields[2]), float(fields[3])
            x2, y2 = x + float(fields[4]), y + float(fields[5])
            conf = float(fields[6]) if columns > 6 else 1.0
            cls = float(fields[7]) if columns > 7 else 0.0
            plain = (0 < frame <= MAX_FRAME and -2**63 <= ident < 2**63
                     and -limit <= x <= limit and -limit <= y <= limit
                     and -limit <= x2 <= limit and -limit <= y2 <= limit)
        except ValueError:
            plain = False
        if not plain:
            values = _parse_line(fields, columns)
            if isinstance(values, str):
                raise MotFormatError(path, values, number)
            frame, ident, x, y, w, h = values[:6]
            x2, y2 = x + w, y + h
            conf = values[6] if columns > 6 else 1.0
            cls = values[7] if columns > 7 else 0.0
        last_frame = max(last_frame, frame)
        if gt and conf == 0:
            continue
        if classes is not None and cls not in classes:
            continue
        if not plain and not all(abs(v) <= limit for v in (x, y, x2, y2)):
            raise MotFormatError(
                path, f"box coordinates beyond {limit:g} in magnitude", number)
        frames.append(frame)
        ids.append(ident)
        boxes.append((x, y, x2, y2))
    return Tracks(np.array(frames, dtype=np.int64), np.array(ids, dtype=np.int64),
                  np.array(boxes, dtype=np.float64).reshape(-1, 4), last_frame)


def _read_fast(lines: list, gt: bool, classes):
    """np.loadtxt for the common well-formed file; None whenever the line-by-line reading might
    differ (it then decides, and reports any error)."""
    first = next((line for line in lines if line.strip()), None)
    if first is None:
        return None
    columns = 8 if gt else 6
    if first.count(",") + 1 < columns:
        return None
    try:
        table = np.loadtxt(lines, delimiter=",", usecols=range(columns), ndmin=2,
                           dtype=np.float64, comments=None)
    except ValueError:
        return None
    head = table[:, :2]
    if (not np.all(np.isfinite(table[:, :6])) or np.any(head != np.floor(head))
            or np.any(np.abs(head) >= _EXACT_INT) or np.any(table[:, 0] < 1)
            or np.any(table[:, 0] > MAX_FRAME)):
        return None
    last_frame = int(table[:, 0].max()) if len(table) else 0
    if gt:
        keep = table[:, 6] != 0
        if classes is not None:
            keep &= np.isin(table[:, 7], np.array(sorted(classes), dtype=np.float64))
        table = table[keep]
    x, y = table[:, 2], table[:, 3]
    boxes = np.empty((len(table), 4), dtype=np.float64)
    boxes[:, 0] = x
    boxes[:, 1] = y
    boxes[:, 2] = x + table[:, 4]
    boxes[:, 3] = y + table[:, 5]
    if not np.all(np.abs(boxes) <= MAX_COORDINATE):
        return None
    return Tracks(table[:, 0].astype(np.int64), table[:, 1].astype(np.int64), boxes, last_frame)


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
    text = _read_text(path)
    lines = text.splitlines()
    tracks = _read_fast(lines, gt, classes)
    if tracks is None:
        tracks = _read_slow(path, lines, gt, classes)
    return tracks


def _by_frame(tracks: Tracks, num_frames: int):
    order = np.argsort(tracks.frames, kind="stable")  # file order within a frame
    frames = tracks.frames[order]
    ids = tracks.ids[order]
    boxes = np.ascontiguousarray(tracks.boxes[order])
    bounds = np.searchsorted(frames, np.arange(1, num_frames + 2), side="left").tolist()
    id_lists, box_sets = [], []
    for t in range(num_frames):
        lo, hi = bounds[t], bounds[t + 1]
        if lo == hi:
            id_lists.append([])
            box_sets.append(_EMPTY_BOXES)
        else:
            id_lists.append(ids[lo:hi].tolist())
            box_sets.append(boxes[lo:hi])  # a contiguous row range: read in place
    return id_lists, box_sets


def load_sequence(gt_path: str, pred_path: Optional[str] = None, *,
                  gt_classes: Optional[Collection[int]] = None) -> Sequence:
    """Read a ground-truth file and a prediction file into one ``Sequence``.

    The sequence runs from frame 1 to the last frame seen in either file; a frame missing from a
    file is an empty frame. ``pred_path=None`` stands for a tracker that output nothing. Boxes are
    in corner form (``box_format="xyxy"``), one contiguous float64 array per frame.
    """
    gt = read_tracks(gt_path, gt=True, classes=gt_classes)
    pred = read_tracks(pred_path) if pred_path is not None else Tracks(
        np.zeros(0, np.int64), np.zeros(0, np.int64), _EMPTY_BOXES, 0)
    num_frames = max(gt.last_frame, pred.last_frame)
    gt_ids, gt_boxes = _by_frame(gt, num_frames)
    pred_ids, pred_boxes = _by_frame(pred, num_frames)
    return Sequence(gt_ids, gt_boxes, pred_ids, pred_boxes)
