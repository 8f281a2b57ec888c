"""KITTI tracking: label files, seqmaps, and the benchmark's per-class removals (2D boxes).

A label file holds one object per line, values separated by spaces::

    frame id type truncated occluded alpha x1 y1 x2 y2 h w l x y z ry [score]

Frames are 0-based, boxes are corners. Only the first ten values are read; the 3D values and the
score are ignored. Types compare case-insensitively (``car_2`` reads as ``car``); truncated and
occluded are numbers, truncated toward zero before any test.

``kitti_sequence`` turns a ground-truth table and a prediction table into one ``Sequence`` per
class, after the benchmark's rules:

* ground-truth ``dontcare`` lines are ignore regions, whatever their id; other lines with a
  negative id are dropped (both files); every remaining line must lie inside the sequence;
* per frame, the predictions of class c are matched against the ground truth of class c and of its
  distractor type (van for car, person for pedestrian); a prediction matched to a distractor, or to
  an object occluded beyond 2 or truncated at all, is removed; an unmatched prediction is removed
  when it is at most 25 pixels tall or lies more than half inside a don't-care box;
* the ground truth kept is class c with occluded <= 2 and truncated <= 0; an id twice in one frame
  of what is kept is an error.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass
from typing import Iterable

import numpy as np

from . import _native
from .mot import (_INTEGER, _INTEGRAL_DECIMAL, _NON_FINITE, _NUMBER, MAX_COORDINATE,
                  MAX_FRAME, MotFormatError, _quoted, _read_bytes, _read_native, layout_sequence)

__all__ = ["KittiTable", "KITTI_TYPES", "KITTI_CLASSES", "read_kitti", "read_kitti_seqmap",
           "kitti_sequence", "span_frames"]

# Object types by code (the index). "car_2" is read as car.
KITTI_TYPES = ("car", "van", "truck", "pedestrian", "person", "cyclist", "tram", "misc",
               "dontcare")
_TYPE_CODES = {name: code for code, name in enumerate(KITTI_TYPES)}
_TYPE_CODES["car_2"] = _TYPE_CODES["car"]
_TYPE_BYTES = {name.encode(): code for name, code in _TYPE_CODES.items()}
_DONTCARE = _TYPE_CODES["dontcare"]

# Scored classes and the type whose boxes a prediction of that class may hit without penalty.
KITTI_CLASSES = {"car": "van", "pedestrian": "person"}

# The benchmark's comparison margin (machine epsilon of a double).
EPSILON = 2.0 ** -52
REMOVAL_THRESHOLD = 0.5
MIN_HEIGHT = 25.0
MAX_OCCLUDED = 2
MAX_TRUNCATED = 0
DONTCARE_OVERLAP = 0.5

_NAMES = ("frame", "id", "type", "truncated", "occluded", "alpha", "x1", "y1", "x2", "y2")
_ORDINALS = ("1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th", "9th", "10th")
_SEQMAP_NAMES = ("sequence", "empty", "first frame", "frames")


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


def _integer(token: bytes, k: int, names=_NAMES) -> int:
    """An integer field (``3`` or ``3.0``) of 64 bits; ValueError with the message otherwise."""
    if _INTEGER.fullmatch(token):
        digits = token
    else:
        m = _INTEGRAL_DECIMAL.fullmatch(token)
        if m is None or not any(c in b"0123456789" for c in token):
            raise ValueError(f"{names[k]} ({_ORDINALS[k]} value) must be an integer, got "
                             f"{_quoted(token)}")
        digits = m.group(1)
    magnitude = digits.lstrip(b"+-").lstrip(b"0")
    value = int(digits) if len(magnitude) <= 19 and magnitude else 0
    if len(magnitude) > 19 or not -2**63 <= value < 2**63:
        raise ValueError(f"{names[k]} {token.decode('ascii')} does not fit in 64 bits")
    return value


def _number(token: bytes, k: int) -> float:
    """A finite decimal field; ValueError with the message otherwise."""
    if _NUMBER.fullmatch(token):
        value = float(token)
        if math.isfinite(value):
            return value
    elif not _NON_FINITE.fullmatch(token):
        raise ValueError(f"{_NAMES[k]} ({_ORDINALS[k]} value) must be a number, got "
                         f"{_quoted(token)}")
    raise ValueError(f"{_NAMES[k]} must be finite, got {_quoted(token)}")


def _raw_lines(path: str):
    """(line number, line) of every line, without its line end."""
    return _split_lines(_read_bytes(path))


def _split_lines(data: bytes):
    """(line number, line) of every line of `data`, without its line end."""
    lines = data.split(b"\n")
    if lines and not lines[-1]:
        lines.pop()
    for number, line in enumerate(lines, 1):
        yield number, line[:-1] if line.endswith(b"\r") else line


def text_lines(path: str):
    """(line number, fields) of every non-blank line; fields are split at white space."""
    for number, line in _raw_lines(path):
        fields = line.split()
        if fields:
            yield number, fields


# A line of plain values: frame id type truncated occluded alpha x1 y1 x2 y2 [...].
_INT = rb"([+-]?[0-9]{1,19})"
_NUM = rb"([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)"
_PLAIN_LINE = re.compile(rb"[ \t]*" + rb"[ \t]+".join(
    [_INT, _INT, rb"(\S+)", _NUM, _NUM, rb"\S+", _NUM, _NUM, _NUM, _NUM]) + rb"(?:[ \t].*)?")


def _read_plain(raw: list):
    """The table of a file whose every line holds plain values, converted column by column;
    None when some line needs the line-by-line reading (which then reports any error)."""
    groups, numbers = [], []
    for number, line in raw:
        m = _PLAIN_LINE.fullmatch(line)
        if m is None:
            if line.strip():
                return None
            continue
        groups.append(m.groups())
        numbers.append(number)
    if not groups:
        return None
    columns = list(zip(*groups))
    types = [_TYPE_BYTES.get(t.lower()) for t in columns[2]]
    if None in types:
        return None
    try:
        head = [np.array(columns[k]).astype(np.int64) for k in (0, 1)]
    except (ValueError, OverflowError):
        return None
    values = np.array(columns[3:5] + columns[5:9]).astype(np.float64)
    boxes = np.ascontiguousarray(values[2:].T)
    if not (np.all(np.isfinite(values[:2])) and np.all(np.abs(boxes) <= MAX_COORDINATE)):
        return None
    # + 0.0: a truncated -0.5 is the integer 0, not -0.0 (as in the line-by-line reading)
    return KittiTable(head[0], head[1], np.array(types, dtype=np.int8), np.trunc(values[0]) + 0.0,
                      np.trunc(values[1]) + 0.0, boxes, np.array(numbers, dtype=np.int64))


def read_kitti(path, *, _reference: bool = False) -> KittiTable:
    """Read a KITTI tracking label file (ground truth or predictions).

    Every non-blank line becomes one row. A malformed line raises ``MotFormatError`` naming the
    file and line; an unknown type is such an error.
    """
    path = os.fspath(path)
    data = _read_bytes(path)
    # The Python reader is the reference the native one is checked against.
    return (_read_kitti_python if _reference else _read_kitti_native)(path, data)


def _read_kitti_native(path: str, data: bytes) -> KittiTable:
    return KittiTable(*_read_native(path, _native.read_kitti, data))


def _read_kitti_python(path: str, data: bytes) -> KittiTable:
    raw = list(_split_lines(data))
    table = _read_plain(raw)
    if table is not None:
        return table
    frames, ids, types, trunc, occl, boxes, lines = [], [], [], [], [], [], []
    for number, line in raw:
        fields = line.split()
        if not fields:
            continue
        if len(fields) < 10:
            raise MotFormatError(
                path, f"expected at least 10 space-separated values, found {len(fields)}", number)
        try:
            frame, ident = _integer(fields[0], 0), _integer(fields[1], 1)
            code = _TYPE_CODES.get(fields[2].decode("ascii", errors="replace").lower())
            if code is None:
                raise ValueError(f"unknown object type {_quoted(fields[2])}")
            t, o = math.trunc(_number(fields[3], 3)), math.trunc(_number(fields[4], 4))
            box = tuple(_number(fields[k], k) for k in range(6, 10))
            if not all(abs(v) <= MAX_COORDINATE for v in box):
                raise ValueError(f"box coordinates beyond {MAX_COORDINATE:g} in magnitude")
        except ValueError as e:
            raise MotFormatError(path, str(e), number) from None
        frames.append(frame)
        ids.append(ident)
        types.append(code)
        trunc.append(t)
        occl.append(o)
        boxes.append(box)
        lines.append(number)
    return KittiTable(np.array(frames, dtype=np.int64), np.array(ids, dtype=np.int64),
                      np.array(types, dtype=np.int8), np.array(trunc, dtype=np.float64),
                      np.array(occl, dtype=np.float64),
                      np.array(boxes, dtype=np.float64).reshape(-1, 4),
                      np.array(lines, dtype=np.int64))


def read_kitti_seqmap(path, *, last_frame: bool = False) -> list:
    """Read a KITTI-style seqmap: lines ``<seq> empty <first> <n>``.

    Returns ``[(name, num_frames), ...]`` in file order. ``n`` is the number of frames, or with
    ``last_frame=True`` the last (0-based) frame, so the sequence has ``n + 1`` frames. The third
    value is not used.
    """
    path = os.fspath(path)
    entries, seen = [], set()
    for number, fields in text_lines(path):
        if len(fields) < 4:
            raise MotFormatError(
                path, f"expected '<sequence> empty <first> <{'last' if last_frame else 'count'}>'"
                f", found {len(fields)} values", number)
        name = fields[0].decode("utf-8", errors="replace")
        if name in (".", "..") or any(c in name for c in "/\\\0"):
            raise MotFormatError(path, f"sequence name {name!r} is not a plain file name", number)
        try:
            n = _integer(fields[3], 3, _SEQMAP_NAMES)
        except ValueError:
            n = None
        length = None if n is None else n + 1 if last_frame else n
        if length is None or not 0 <= length <= MAX_FRAME:
            what = "last frame" if last_frame else "number of frames"
            raise MotFormatError(path, f"{what} (4th value) must be a whole number from "
                                 f"{-1 if last_frame else 0} to {MAX_FRAME - last_frame}, got "
                                 f"{_quoted(fields[3])}", number)
        if name in seen:
            raise MotFormatError(path, f"sequence {name!r} is listed twice", number)
        seen.add(name)
        entries.append((name, length))
    return entries


def _range_checked(table: KittiTable) -> np.ndarray:
    """The lines whose frames must lie inside the sequence: all but don't-care lines and lines
    with a negative id."""
    return (table.types != _DONTCARE) & (table.ids >= 0)


def span_frames(*tables: KittiTable) -> int:
    """The number of frames from 0 to the last frame of any range-checked line (0 for none):
    the length of a sequence given without a seqmap."""
    last = [int(t.frames[_range_checked(t)].max()) for t in tables if _range_checked(t).any()]
    return max(last) + 1 if last and max(last) >= 0 else 0


def frame_range_error(path: str, line: int, frame: int, first: int, num_frames: int):
    if num_frames == 0:
        return MotFormatError(path, f"frame {frame} is outside the sequence, which has no frames",
                              line)
    return MotFormatError(path, f"frame {frame} is outside the sequence's frames {first} to "
                          f"{first + num_frames - 1}", line)


def check_range(path: str, frames, lines, checked, first: int, num_frames: int) -> np.ndarray:
    """The rows inside the sequence; a `checked` row outside it raises at its line."""
    inside = (frames >= first) & (frames < first + num_frames)
    bad = np.flatnonzero(checked & ~inside)
    if len(bad):
        k = bad[0]
        raise frame_range_error(path, int(lines[k]), int(frames[k]), first, num_frames)
    return inside


def check_unique_ids(path: str, frames, ids, lines, rows, what: str = "") -> None:
    """Raise at the first line (in file order) whose (frame, id) occurred before among `rows`."""
    if len(rows) < 2:
        return
    order = np.lexsort((lines[rows], ids[rows], frames[rows]))
    f, i = frames[rows][order], ids[rows][order]
    repeat = np.flatnonzero((f[1:] == f[:-1]) & (i[1:] == i[:-1])) + 1
    if len(repeat):
        # Within a run of equal keys the lines ascend, so the second occurrences are these.
        k = rows[order[repeat[np.argmin(lines[rows][order][repeat])]]]
        raise MotFormatError(
            path, f"id {int(ids[k])} occurs twice in frame {int(frames[k])}{what}", int(lines[k]))


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


def rows_by_frame(table, rows: np.ndarray, frames: np.ndarray):
    """`rows` in frame order (file order within a frame) and the bounds of the rows of each of
    `frames` (ascending): frame k's rows are rows[lo[k]:hi[k]]."""
    rows = rows[np.argsort(table.frames[rows], kind="stable")]
    sorted_frames = table.frames[rows]
    return (rows, np.searchsorted(sorted_frames, frames, "left").tolist(),
            np.searchsorted(sorted_frames, frames, "right").tolist())


def kitti_sequence(gt: KittiTable, pred: KittiTable, num_frames: int,
                   classes: Iterable[str] = ("car", "pedestrian"), *,
                   gt_path: str = "ground truth", pred_path: str = "predictions",
                   _skip_empty: bool = False) -> dict:
    """Apply the KITTI rules to one sequence: ``{class: Sequence}`` (frames 0 … num_frames − 1).

    Raises ``MotFormatError`` for a scored line outside the sequence (naming its file and line)
    and for an id twice in one frame of the boxes kept (naming file, line, frame and id).
    """
    classes = list(classes)
    for cls in classes:
        if cls not in KITTI_CLASSES:
            raise ValueError(f"unknown KITTI class {cls!r} (expected one of "
                             f"{', '.join(KITTI_CLASSES)})")
    rows = {}
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
        matches = _native.removal_matches([gt.boxes[g_rows[lo:hi]] for lo, hi in zip(g_lo, g_hi)],
                                          p_sets, REMOVAL_THRESHOLD)
        g_bad = ((gt.types[g_rows] == distractor) | (gt.occluded[g_rows] > MAX_OCCLUDED)
                 | (gt.truncated[g_rows] > MAX_TRUNCATED))
        keep_pred = np.ones(len(p_rows), dtype=bool)
        for k, boxes in enumerate(p_sets):
            match = np.asarray(matches[k], dtype=np.int64)
            matched = match >= 0
            drop = np.zeros(len(boxes), dtype=bool)
            drop[matched] = g_bad[g_lo[k] + match[matched]]
            loose = ~matched
            drop |= loose & (boxes[:, 3] - boxes[:, 1] <= MIN_HEIGHT + EPSILON)
            if d_hi[k] > d_lo[k]:
                drop |= loose & _dontcare_hits(boxes, gt.boxes[d_rows[d_lo[k]:d_hi[k]]])
            keep_pred[p_lo[k]:p_hi[k]] = ~drop
        kept_gt = g_rows[~g_bad]
        kept_pred = p_rows[keep_pred]
        what = f" among the {cls} boxes scored"
        check_unique_ids(gt_path, gt.frames, gt.ids, gt.lines, kept_gt, what)
        check_unique_ids(pred_path, pred.frames, pred.ids, pred.lines, kept_pred, what)
        result[cls] = layout_sequence(
            (gt.frames[kept_gt], gt.ids[kept_gt], gt.boxes[kept_gt]),
            (pred.frames[kept_pred], pred.ids[kept_pred], pred.boxes[kept_pred]),
            0, num_frames, skip_empty=_skip_empty)
    return result
