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
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from typing import Collection, Optional

import numpy as np

from . import _native

__all__ = ["MotFormatError", "Table", "Tracks", "Sequence", "read_table", "read_tracks",
           "layout_frames", "layout_listed_frames", "layout_sequence", "load_sequence",
           "MAX_FRAME"]

# A frame number beyond this is taken for a typo: laying out that many (mostly empty) frames
# would exhaust memory long before any result.
MAX_FRAME: int = _native.MAX_FRAME

# Box corners are kept within this magnitude so that every area and union stays finite (and so
# every IoU is a number).
MAX_COORDINATE: float = _native.MAX_COORDINATE

_EMPTY_BOXES = np.zeros((0, 4), dtype=np.float64)
_EMPTY_BOXES.flags.writeable = False
# The ids of every empty frame: one shared object, immutable so that sharing it is safe.
_EMPTY_IDS = ()


class MotFormatError(ValueError):
    """A file that cannot be read or parsed. ``str()`` names the file (and line, if any)."""

    def __init__(self, path: str, message: str, line: Optional[int] = None):
        self.path = path
        self.line = line
        self.message = message
        where = f"{path}:{line}" if line is not None else path
        super().__init__(f"{where}: {message}")

    def __reduce__(self):
        # Rebuilt from its fields (and notes), so that it survives the trip back from a worker.
        return type(self), (self.path, self.message, self.line), self.__dict__


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


@dataclass(frozen=True)
class Sequence:
    """One sequence laid out by frame: lists with one entry per frame, frame 1 first. Empty
    frames share one empty id tuple and one empty (read-only) box array.

    ``empty_frames`` is 0 for a sequence laid out frame by frame. The benchmark loaders lay out
    only the frames with a box on either side, in order, and count the frames left out there
    (such a frame changes no metric but the number of frames)."""

    gt_ids: list
    gt_boxes: list
    pred_ids: list
    pred_boxes: list
    empty_frames: int = 0

    @property
    def num_frames(self) -> int:
        return len(self.gt_ids) + self.empty_frames


def _read_bytes(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise MotFormatError(path, f"cannot read: {e.strerror or e}") from None
    except MemoryError:
        raise MotFormatError(path, _TOO_LARGE) from None
    return data


_TOO_LARGE = "cannot read: the file does not fit in memory"


def _read_native(path: str, read, *args) -> tuple:
    """The columns a native reader returns for ``read(*args)``, its faults as ``MotFormatError``."""
    try:
        return read(*args)
    except ValueError as e:  # (message, line) of the first fault
        raise MotFormatError(path, *e.args) from None
    except MemoryError:
        raise MotFormatError(path, _TOO_LARGE) from None


def _read_table_native(path: str, data: bytes, columns: int) -> Table:
    frames, ids, boxes, conf, classes, lines, last_frame = _read_native(path, _native.read_mot, data, columns)
    return Table(frames, ids, boxes, conf, classes, lines, last_frame)


# --- the reference reader: line by line, in Python ---------------------------------------------

_NAMES = ("frame", "id", "x", "y", "width", "height", "confidence", "class")
_ORDINALS = ("1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th")
_INTEGER = re.compile(rb"[+-]?[0-9]+")
_INTEGRAL_DECIMAL = re.compile(rb"([+-]?[0-9]*)\.0*")  # with at least one digit somewhere
_NUMBER = re.compile(rb"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_NON_FINITE = re.compile(rb"[+-]?(?:inf|infinity|nan)", re.IGNORECASE)
_BLANK = b" \t"


def _quoted(token: bytes) -> str:
    return repr(token.decode("utf-8", errors="replace"))


def _parse_integer(token: bytes, k: int):
    """The value of a frame or id field, or an error message."""
    if _INTEGER.fullmatch(token):
        digits = token
    else:
        m = _INTEGRAL_DECIMAL.fullmatch(token)
        if m is None or not any(c in b"0123456789" for c in token):
            return f"{_NAMES[k]} ({_ORDINALS[k]} value) must be an integer, got {_quoted(token)}"
        digits = m.group(1)
    # Checked by length first: int() of thousands of digits is slow (and refused by Python).
    magnitude = digits.lstrip(b"+-").lstrip(b"0")
    value = int(digits) if len(magnitude) <= 19 and magnitude else 0
    if len(magnitude) > 19 or not -2**63 <= value < 2**63:
        return f"{_NAMES[k]} {token.decode('ascii')} does not fit in 64 bits"
    return value


def _parse_number(token: bytes, k: int):
    """The value of a float field, or an error message."""
    if _NUMBER.fullmatch(token):
        value = float(token)
        if value not in (float("inf"), float("-inf")):
            return value
    elif not _NON_FINITE.fullmatch(token):
        return f"{_NAMES[k]} ({_ORDINALS[k]} value) must be a number, got {_quoted(token)}"
    return f"{_NAMES[k]} must be finite, got {_quoted(token)}"


def _parse_row(fields: list, columns: int):
    """(frame, id, x1, y1, x2, y2, conf, class) of one line, or an error message."""
    values = []
    for k in range(min(len(fields), columns)):
        token = fields[k].strip(_BLANK)
        value = _parse_integer(token, k) if k < 2 else _parse_number(token, k)
        if isinstance(value, str):
            return value
        values.append(value)
    frame, _, x, y, w, h = values[:6]
    if frame < 1:
        return f"frame numbers start at 1, got {frame}"
    if frame > MAX_FRAME:
        return f"frame number {frame} is implausibly large (the limit is {MAX_FRAME})"
    x2, y2 = x + w, y + h
    if not all(abs(v) <= MAX_COORDINATE for v in (x, y, x2, y2)):
        return f"box coordinates beyond {MAX_COORDINATE:g} in magnitude"
    values[4:6] = x2, y2
    values += [float("nan")] * (8 - len(values))
    return values


def _read_table_python(path: str, data: bytes, columns: int) -> Table:
    rows, line_numbers = [], []
    failure = None
    if data.startswith(b"\xef\xbb\xbf"):  # a byte-order mark is how some editors start UTF-8
        data = data[3:]
    lines = data.split(b"\n")
    if not lines[-1]:
        lines.pop()  # the text after the final line end
    for number, line in enumerate(lines, 1):
        if line.endswith(b"\r"):
            line = line[:-1]
        if not line.strip(_BLANK):
            continue
        fields = line.split(b",")
        if len(fields) < 6:
            failure = (f"expected at least 6 comma-separated values, found {len(fields)}", number)
            break
        values = _parse_row(fields, columns)
        if isinstance(values, str):
            failure = (values, number)
            break
        rows.append(values)
        line_numbers.append(number)
    columns_of = list(zip(*rows)) if rows else [()] * 8
    frames = np.array(columns_of[0], dtype=np.int64)
    ids = np.array(columns_of[1], dtype=np.int64)
    lines_array = np.array(line_numbers, dtype=np.int64)
    # A duplicate before the first malformed line is the first fault in the file.
    duplicate = _first_duplicate(frames, ids, lines_array)
    if duplicate is not None and (failure is None or duplicate[1] < failure[1]):
        failure = duplicate
    if failure is not None:
        raise MotFormatError(path, *failure)
    boxes = np.array(columns_of[2:6], dtype=np.float64).reshape(4, -1).T.copy()
    return Table(frames, ids, boxes, np.array(columns_of[6], dtype=np.float64),
                 np.array(columns_of[7], dtype=np.float64), lines_array,
                 int(frames.max()) if len(frames) else 0)


def _first_duplicate(frames, ids, lines):
    """(message, line) for the earliest line repeating a (frame, id) pair seen before it."""
    if len(frames) < 2:
        return None
    order = np.lexsort((lines, ids, frames))
    f, i = frames[order], ids[order]
    repeat = np.flatnonzero((f[1:] == f[:-1]) & (i[1:] == i[:-1])) + 1
    if not len(repeat):
        return None
    first = repeat[np.argmin(lines[order][repeat])]
    return (f"id {i[first]} occurs twice in frame {f[first]}", int(lines[order][first]))


def read_table(path, *, columns: int = 8, _reference: bool = False) -> Table:
    """Read every non-blank line of one MOTChallenge text file into a ``Table``.

    ``columns`` (6, 7 or 8) is how many leading values of each line are parsed and validated;
    later values are ignored unparsed. Raises ``MotFormatError`` naming the file and, for a
    malformed line or an id occurring twice in one frame, the line.
    """
    path = os.fspath(path)
    if columns not in (6, 7, 8):
        raise ValueError(f"columns must be 6, 7 or 8, got {columns!r}")
    data = _read_bytes(path)
    # The Python reader is the reference the native one is checked against.
    read = _read_table_python if _reference else _read_table_native
    return read(path, data, columns)


# --- plain reading and frame layout ------------------------------------------------------------

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
    keep = table.conf != 0  # NaN (no 7th value) keeps the line
    if classes is not None:
        missing = np.flatnonzero(np.isnan(table.classes))
        if len(missing):
            raise MotFormatError(path, "no class (8th value), which the class filter needs",
                                 int(table.lines[missing[0]]))
        keep &= np.isin(table.classes, np.array(sorted(classes), dtype=np.float64))
    if keep.all():
        return Tracks(table.frames, table.ids, table.boxes, table.last_frame)
    return Tracks(table.frames[keep], table.ids[keep], table.boxes[keep], table.last_frame)


def _rows(frames, ids, boxes):
    frames = np.asarray(frames, dtype=np.int64)
    ids = np.asarray(ids, dtype=np.int64)
    boxes = np.asarray(boxes, dtype=np.float64).reshape(-1, 4)
    if not len(frames) == len(ids) == len(boxes):
        raise ValueError("frames, ids and boxes must have the same length")
    return frames, ids, boxes


def _lay_out(slots: np.ndarray, ids: np.ndarray, boxes: np.ndarray, count: int):
    """``(id_lists, box_sets)`` of ``count`` entries, row k going to entry ``slots[k]`` (each
    in range); entries without rows share the empty objects."""
    id_lists = [_EMPTY_IDS] * count
    box_sets = [_EMPTY_BOXES] * count
    if not len(slots):
        return id_lists, box_sets
    if len(slots) > 1 and not np.all(slots[1:] >= slots[:-1]):
        order = np.argsort(slots, kind="stable")  # file order within a frame
        slots, ids, boxes = slots[order], ids[order], boxes[order]
    boxes = np.ascontiguousarray(boxes)
    starts = np.flatnonzero(np.concatenate(([True], slots[1:] != slots[:-1])))
    ends = np.append(starts[1:], len(slots)).tolist()
    all_ids = ids.tolist()
    for slot, lo, hi in zip(slots[starts].tolist(), starts.tolist(), ends):
        id_lists[slot] = all_ids[lo:hi]
        box_sets[slot] = boxes[lo:hi]  # a contiguous row range: read in place
    return id_lists, box_sets


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
    listed = np.union1d(np.asarray(gt[0], dtype=np.int64), np.asarray(pred[0], dtype=np.int64))
    if len(listed) and (listed[0] < first_frame or listed[-1] >= first_frame + num_frames):
        raise ValueError(f"a row lies outside frames {first_frame} to "
                         f"{first_frame + num_frames - 1}")
    gt_ids, gt_boxes = layout_listed_frames(gt[0], gt[1], gt[2], listed)
    pred_ids, pred_boxes = layout_listed_frames(pred[0], pred[1], pred[2], listed)
    return Sequence(gt_ids, gt_boxes, pred_ids, pred_boxes, int(num_frames) - len(listed))


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
    # Every frame gets its entry (callers index by frame): four lists of num_frames references,
    # the empty frames sharing one tuple and one array.
    return layout_sequence((gt.frames, gt.ids, gt.boxes), (pred.frames, pred.ids, pred.boxes),
                            1, num_frames)
