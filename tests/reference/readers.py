"""Pure-Python readers of the MOTChallenge, KITTI and mask text formats: the oracles the native
readers are checked against (by the tests, the fuzz targets and the reading benchmark). Slow by
design: line by line, value by value, with the grammar and the messages spelled out here again
(but for the label and mask files' integers), so that a fault in the native reader cannot hide
behind a shared helper.

    parse_table(path, data, columns), parse_kitti(path, data), parse_mots(path, data)
        the table of a file's bytes, or its MotFormatError (``path`` names it)
    read_table(path, columns=8), read_kitti(path), read_mots(path)
        the same of a file
"""

from __future__ import annotations

import math
import os
import re

import numpy as np

from vestrim._vestrim import Mask
from vestrim.datasets.kitti import _TYPE_CODES, KittiTable
from vestrim.datasets.motchallenge import Table
from vestrim.datasets.mots import MotsTable
# The integer grammar of the label and mask files is the shipped one (its own tests check it).
from vestrim.datasets.text import MAX_COORDINATE, MAX_FRAME, integer, read_bytes, split_lines
from vestrim.errors import MotFormatError

__all__ = ["parse_table", "parse_kitti", "parse_mots", "read_table", "read_kitti", "read_mots"]


def read_table(path, *, columns: int = 8) -> Table:
    path = os.fspath(path)
    if columns not in (6, 7, 8):
        raise ValueError(f"columns must be 6, 7 or 8, got {columns!r}")
    return parse_table(path, read_bytes(path), columns)


def read_kitti(path) -> KittiTable:
    path = os.fspath(path)
    return parse_kitti(path, read_bytes(path))


def read_mots(path) -> MotsTable:
    path = os.fspath(path)
    return parse_mots(path, read_bytes(path))


# --- MOTChallenge -------------------------------------------------------------------------------

_INTEGER = re.compile(rb"[+-]?[0-9]+")
_INTEGRAL_DECIMAL = re.compile(rb"([+-]?[0-9]*)\.0*")  # with at least one digit somewhere
_NUMBER = re.compile(rb"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_NON_FINITE = re.compile(rb"[+-]?(?:inf|infinity|nan)", re.IGNORECASE)
ORDINALS = ("1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th", "9th", "10th")


def _quoted(token: bytes) -> str:
    return repr(token.decode("utf-8", errors="replace"))


_MOT_NAMES = ("frame", "id", "x", "y", "width", "height", "confidence", "class")
_BLANK = b" \t"


def _mot_integer(token: bytes, k: int):
    """The value of a frame or id field, or an error message."""
    if _INTEGER.fullmatch(token):
        digits = token
    else:
        m = _INTEGRAL_DECIMAL.fullmatch(token)
        if m is None or not any(c in b"0123456789" for c in token):
            return f"{_MOT_NAMES[k]} ({ORDINALS[k]} value) must be an integer, got {_quoted(token)}"
        digits = m.group(1)
    # Checked by length first: int() of thousands of digits is slow (and refused by Python).
    magnitude = digits.lstrip(b"+-").lstrip(b"0")
    value = int(digits) if len(magnitude) <= 19 and magnitude else 0
    if len(magnitude) > 19 or not -2**63 <= value < 2**63:
        return f"{_MOT_NAMES[k]} {token.decode('ascii')} does not fit in 64 bits"
    return value


def _mot_number(token: bytes, k: int):
    """The value of a float field, or an error message."""
    if _NUMBER.fullmatch(token):
        value = float(token)
        if value not in (float("inf"), float("-inf")):
            return value
    elif not _NON_FINITE.fullmatch(token):
        return f"{_MOT_NAMES[k]} ({ORDINALS[k]} value) must be a number, got {_quoted(token)}"
    return f"{_MOT_NAMES[k]} must be finite, got {_quoted(token)}"


def _parse_row(fields: list, columns: int):
    """(frame, id, x1, y1, x2, y2, conf, class) of one line, or an error message."""
    values = []
    for k in range(min(len(fields), columns)):
        token = fields[k].strip(_BLANK)
        value = _mot_integer(token, k) if k < 2 else _mot_number(token, k)
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


def parse_table(path: str, data: bytes, columns: int) -> Table:
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




# --- KITTI --------------------------------------------------------------------------------------

_KITTI_NAMES = ("frame", "id", "type", "truncated", "occluded", "alpha", "x1", "y1", "x2", "y2")
_TYPE_BYTES = {name.encode(): code for name, code in _TYPE_CODES.items()}


def _number(token: bytes, k: int) -> float:
    """A finite decimal field; ValueError with the message otherwise."""
    if _NUMBER.fullmatch(token):
        value = float(token)
        if math.isfinite(value):
            return value
    elif not _NON_FINITE.fullmatch(token):
        raise ValueError(f"{_KITTI_NAMES[k]} ({ORDINALS[k]} value) must be a number, got "
                         f"{_quoted(token)}")
    raise ValueError(f"{_KITTI_NAMES[k]} must be finite, got {_quoted(token)}")


# A line of plain values: frame id type truncated occluded alpha x1 y1 x2 y2 [...].
_INT = rb"([+-]?[0-9]{1,19})"
_NUM = rb"([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)"
_KITTI_LINE = re.compile(rb"[ \t]*" + rb"[ \t]+".join(
    [_INT, _INT, rb"(\S+)", _NUM, _NUM, rb"\S+", _NUM, _NUM, _NUM, _NUM]) + rb"(?:[ \t].*)?")


def _read_plain(raw: list):
    """The table of a file whose every line holds plain values, converted column by column;
    None when some line needs the line-by-line reading (which then reports any error)."""
    groups, numbers = [], []
    for number, line in raw:
        m = _KITTI_LINE.fullmatch(line)
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


def parse_kitti(path: str, data: bytes) -> KittiTable:
    raw = list(split_lines(data))
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
            frame = integer(fields[0], 0, _KITTI_NAMES)
            ident = integer(fields[1], 1, _KITTI_NAMES)
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




# --- masks --------------------------------------------------------------------------------------

_MOTS_NAMES = ("frame", "id", "class", "height", "width")


def parse_mots(path: str, data: bytes) -> MotsTable:
    values, masks, lines = [], [], []
    from_coco = Mask.from_coco
    for number, line in split_lines(data):
        m = _MOTS_LINE.fullmatch(line)
        if m is not None:  # the common case, without per-value diagnostics
            row = [int(v) for v in m.groups()[:5]]
            counts = m.group(6)
        else:
            fields = line.split()
            if not fields:
                continue
            row, counts = _read_fields(path, number, fields)
        try:
            mask = from_coco((row[3], row[4]), counts)
        except (ValueError, OverflowError, MemoryError) as e:
            raise MotFormatError(path, f"mask: {e}", number) from None
        values.append(row)
        masks.append(mask)
        lines.append(number)
    table = np.array(values, dtype=np.int64).reshape(-1, 5)
    areas = np.array([m.area() for m in masks], dtype=np.int64)
    return MotsTable(table[:, 0].copy(), table[:, 1].copy(), table[:, 2].copy(),
                     table[:, 3:5].copy(), areas, masks, np.array(lines, dtype=np.int64))


# frame id class height width rle [...], with plain integers (sizes without a sign).
_MOTS_LINE = re.compile(rb"[ \t]*([+-]?[0-9]{1,18})[ \t]+([+-]?[0-9]{1,18})[ \t]+"
                         rb"([+-]?[0-9]{1,18})[ \t]+([0-9]{1,18})[ \t]+([0-9]{1,18})[ \t]+"
                         rb"(\S+)(?:[ \t].*)?")


def _read_fields(path: str, number: int, fields: list):
    """(frame, id, class, height, width) and the counts of a line read value by value."""
    if len(fields) < 6:
        raise MotFormatError(
            path, f"expected 6 space-separated values (frame id class height width rle), "
            f"found {len(fields)}", number)
    try:
        row = [integer(fields[k], k, _MOTS_NAMES) for k in range(5)]
    except ValueError as e:
        raise MotFormatError(path, str(e), number) from None
    if row[3] < 0 or row[4] < 0:
        raise MotFormatError(path, f"mask size {row[3]}x{row[4]} is negative", number)
    return row, fields[5]
