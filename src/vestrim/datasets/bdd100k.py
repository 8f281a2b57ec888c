"""BDD100K box tracking: per-video JSON label files (the 2020 format) and their classes.

A file is a JSON list of frames ``{"index": n, "labels": [...]}``; a label has ``category``,
``id``, ``box2d`` (``x1``, ``y1``, ``x2``, ``y2``, corners as given) and, in ground truth,
``attributes`` with ``Crowd``. Nothing else is read. The JSON is parsed by orjson (the
``vestrim[bdd100k]`` extra); only the fields used are kept, as arrays.

``read_bdd`` reads one file into a ``BddFile``:

1. frames are sorted by ``index`` (stable); the i-th ground-truth frame is later paired with the
   i-th tracker frame, so only the frame counts must agree;
2. every label needs a ``category``; ground-truth labels are decided in this order: a distractor
   category (other person, trailer, other vehicle) is an ignore region; else ``attributes``, when
   present, must be an object with a ``Crowd`` key, and a truthy ``Crowd`` makes an ignore region
   whatever the category; else the label is a box of its category, which must be one of the eight
   classes. Tracker labels are boxes of their category (one of the eleven names), never ignore
   regions;
3. ids (not needed by ignore regions) are JSON integers or strings of decimal digits, compared by
   value, from 0 to 2^63 - 1; corners are JSON numbers.

Ignore regions are class-agnostic; how they and the per-class pre-match remove tracker boxes is
``vestrim.datasets.cells``. ``find_run`` and ``load`` are the dataset's hooks. Errors name the file, the frame (its position in the file
and its ``index``) and the label (its position in the frame), counted from 0.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Optional
from itertools import chain

import numpy as np

from ..errors import BenchmarkError, MotFormatError
from ..protocols import BDD_CLASSES as CLASSES, BDD_SUPER_CATEGORIES, Protocol
from .cells import Rows, cells_as_sequences, class_cells
from .layouts import Run, list_dir, required_pred
from .records import SequenceFiles
from .text import read_bytes

__all__ = ["CLASSES", "DISTRACTORS", "SUPER_CATEGORIES", "BddFile", "read_bdd", "find_run",
           "load", "PRED_EXTENSION"]

# A tracker's file of a video: <video>.json.
PRED_EXTENSION = ".json"

# The distractor categories (ignore regions in ground truth), coded after the classes.
DISTRACTORS = ("other person", "trailer", "other vehicle")
SUPER_CATEGORIES = dict(BDD_SUPER_CATEGORIES)
_CODES = {name: code for code, name in enumerate(CLASSES + DISTRACTORS)}
_FIRST_DISTRACTOR = len(CLASSES)
_MAX_ID = 2**63 - 1
_NUMBER = (int, float)


class _Fault(Exception):
    """A label fault: (frame position, label position, message); placed by ``read_bdd``."""


@dataclass(frozen=True)
class BddFile:
    """One video file: its boxes (``Rows``, frames as positions in index order, class codes 0-7
    for the classes and 8-10 for distractor-category predictions), its ignore regions and, for
    messages, where each row came from."""

    path: str
    rows: Rows
    region_frames: np.ndarray   # int64, ascending
    regions: np.ndarray         # float64 (N, 4)
    num_frames: int
    labels: np.ndarray          # int64: each row's position in its frame's labels
    frame_positions: list       # file position of each frame, in index order
    frame_indices: list         # the ``index`` of each frame, in index order

    def where(self, row: int) -> str:
        """The frame and label of a row, for a message."""
        frame = int(self.rows.frames[row])
        return (f"frame {self.frame_positions[frame]} (index {self.frame_indices[frame]!r}), "
                f"label {int(self.labels[row])}")


def _id(value) -> int:
    if type(value) is int:
        if 0 <= value <= _MAX_ID:
            return value
        raise ValueError(f"id {value} is outside 0 to 2^63 - 1")
    if type(value) is str and value.isascii() and value.isdigit():
        number = int(value)
        if number <= _MAX_ID:
            return number
        raise ValueError(f"id {value!r} is beyond 2^63 - 1")
    raise ValueError(f"id must be a whole number or a string of decimal digits, got "
                     f"{_shown(value)}")


def _shown(value) -> str:
    text = "null" if value is None else repr(value)
    return text if len(text) <= 40 else text[:32] + "..."


def _box(label: dict):
    box = label.get("box2d")
    if type(box) is not dict:
        raise ValueError("no box2d" if box is None else f"box2d must be an object, got "
                         f"{_shown(box)}")
    try:
        corners = (box["x1"], box["y1"], box["x2"], box["y2"])
    except KeyError as e:
        raise ValueError(f"box2d has no {e.args[0]}") from None
    for name, v in zip(("x1", "y1", "x2", "y2"), corners):
        if type(v) not in _NUMBER:
            raise ValueError(f"box2d.{name} must be a number, got {_shown(v)}")
    return corners


def _label(label, gt: bool):
    """(code, id, corners) of a label; code -1 (and id -1) for a ground-truth ignore region."""
    if type(label) is not dict:
        raise ValueError(f"a label must be an object, got {_shown(label)}")
    if "category" not in label:
        raise ValueError("no category")
    category = label["category"]
    code = _CODES.get(category) if type(category) is str else None
    if gt:
        if code is not None and code >= _FIRST_DISTRACTOR:
            return -1, -1, _box(label)
        if "attributes" in label:
            attributes = label["attributes"]
            if type(attributes) is not dict or "Crowd" not in attributes:
                raise ValueError("attributes without Crowd")
            if attributes["Crowd"]:
                return -1, -1, _box(label)
    if code is None:
        raise ValueError(f"unknown category {_shown(category)}")
    if "id" not in label:
        raise ValueError("no id")
    ident = _id(label["id"])
    return code, ident, _box(label)


def _frames(path: str, data):
    """The frames in index order: (file positions, indices, label lists)."""
    if type(data) is not list:
        raise MotFormatError(path, "not a JSON list of frames")
    indices = []
    for position, frame in enumerate(data):
        if type(frame) is not dict:
            raise MotFormatError(path, f"frame {position}: a frame must be an object")
        if "index" not in frame:
            raise MotFormatError(path, f"frame {position}: no index")
        index = frame["index"]
        if type(index) not in _NUMBER:
            raise MotFormatError(path, f"frame {position}: index must be a number, got "
                                 f"{_shown(index)}")
        if type(frame.get("labels")) is not list:
            what = "no labels" if "labels" not in frame else "labels must be a list"
            raise MotFormatError(path, f"frame {position} (index {index!r}): {what}")
        indices.append(index)
    order = sorted(range(len(data)), key=indices.__getitem__)
    return order, [indices[k] for k in order], [data[k]["labels"] for k in order]


def read_bdd(path, *, gt: bool) -> BddFile:
    """Read one video file (ground truth with ``gt=True``) into a ``BddFile``; MotFormatError
    naming the file, frame and label for anything it cannot take."""
    try:
        import orjson  # the bdd100k extra: only runs under this protocol pay its import
    except ImportError:
        raise MotFormatError(path, "reading BDD100K files needs orjson: pip install "
                             "'vestrim[bdd100k]'") from None

    path = os.fspath(path)
    try:
        data = orjson.loads(read_bytes(path))
    except orjson.JSONDecodeError as e:
        raise MotFormatError(path, f"not valid JSON ({e})") from None
    order, indices, frames = _frames(path, data)
    del data
    rows_frames, codes, raw_ids, corners, labels = [], [], [], [], []
    r_frames, r_corners = [], []
    codes_of, first_distractor, missing = _CODES, _FIRST_DISTRACTOR, _MISSING

    def fault(f: int, k: int, item) -> MotFormatError:
        # The checks of _label, one label at a time, word what the fast loop below tripped on.
        try:
            _label(item, gt)
            _id(item["id"])
            message = "unreadable label"
        except ValueError as e:
            message = str(e)
        return MotFormatError(path, f"frame {order[f]} (index {indices[f]!r}), label {k}: "
                              f"{message}")

    for f, frame_labels in enumerate(frames):
        for k, item in enumerate(frame_labels):
            try:
                code = codes_of.get(item["category"])
                if gt:
                    region = code is not None and code >= first_distractor
                    if not region:
                        attributes = item.get("attributes", missing)
                        region = attributes is not missing and bool(attributes["Crowd"])
                    if region:
                        b = item["box2d"]
                        r_frames.append(f)
                        r_corners.append((b["x1"], b["y1"], b["x2"], b["y2"]))
                        continue
                if code is None:
                    raise KeyError("category")
                ident = item["id"]
                b = item["box2d"]
                box = (b["x1"], b["y1"], b["x2"], b["y2"])
            except (KeyError, TypeError, AttributeError):
                raise fault(f, k, item) from None
            rows_frames.append(f)
            codes.append(code)
            raw_ids.append(ident)
            corners.append(box)
            labels.append(k)
    # Types are checked once over the whole file; a row that fails is worded by `fault`.
    for values, region_rows in ((corners, None), (r_corners, r_frames)):
        if not _NUMBERS.issuperset(map(type, chain.from_iterable(values))):
            k = next(k for k, box in enumerate(values) if not _NUMBERS.issuperset(map(type, box)))
            if region_rows is None:
                f, position = rows_frames[k], labels[k]
            else:
                f = region_rows[k]
                position = _region_label(frames[f], values[k])
            raise fault(f, position, frames[f][position])
    try:
        # Integers and digit strings; the int64 array refuses anything beyond 2^63 - 1.
        ids = np.array([v if type(v) is int else int(v) if type(v) is str and v.isascii()
                        and v.isdigit() else _id(v) for v in raw_ids], dtype=np.int64)
        if len(ids) and ids.min() < 0:
            raise ValueError("a negative id")
    except (ValueError, OverflowError):
        k = next(k for k, v in enumerate(raw_ids) if not _good_id(v))
        raise fault(rows_frames[k], labels[k], frames[rows_frames[k]][labels[k]]) from None
    rows = Rows(np.array(rows_frames, dtype=np.int64), np.array(codes, dtype=np.int64), ids,
                np.array(corners, dtype=np.float64).reshape(-1, 4))
    return BddFile(path, rows, np.array(r_frames, dtype=np.int64),
                   np.array(r_corners, dtype=np.float64).reshape(-1, 4), len(frames),
                   np.array(labels, dtype=np.int64), order, indices)


_MISSING = object()
_NUMBERS = frozenset(_NUMBER)


def _good_id(value) -> bool:
    try:
        _id(value)
        return True
    except ValueError:
        return False


def _region_label(frame_labels: list, corners: tuple) -> int:
    """The position of the ignore region with these corners among a frame's labels."""
    for k, item in enumerate(frame_labels):
        b = item.get("box2d") if type(item) is dict else None
        if type(b) is dict and (b.get("x1"), b.get("y1"), b.get("x2"), b.get("y2")) == corners:
            return k
    return 0


def find_run(gt: str, proto: Protocol, seqmap, split: Optional[str]) -> Run:
    """Every video of a ground-truth folder, sorted by name: every entry must be a
    ``<video>.json`` file; no sequence map. A file on its own is one video."""
    if seqmap is not None:
        raise BenchmarkError("bdd100k scores every video of the ground-truth folder: a sequence "
                             "map does not apply")
    if os.path.isfile(gt):
        return Run((SequenceFiles("", gt, None, None),), frozenset())
    out = []
    for entry in list_dir(gt):
        path = os.path.join(gt, entry)
        if not entry.endswith(PRED_EXTENSION) or entry == PRED_EXTENSION \
                or not os.path.isfile(path):
            raise BenchmarkError(f"{path}: every entry of a bdd100k ground-truth folder must be "
                                 f"a <video>.json file")
        out.append(SequenceFiles(entry[:-len(PRED_EXTENSION)], path, None, None))
    if not out:
        raise BenchmarkError(f"no videos in {gt} (expected <video>.json files)")
    return Run(tuple(out), frozenset(s.name for s in out))


def load(files: SequenceFiles, proto: Protocol, classes, skip_empty: bool) -> list:
    """One tracker's video: a ``BenchmarkSequence`` per selected class, in selection order.

    1. Read both files (``read_bdd``: frames in ``index`` order, ignore regions from the ground
       truth); their frame counts must agree (frames pair by position).
    2. Per class, the steps of ``vestrim.datasets.cells`` (pre-match, removal in ignore regions,
       relabelling, one id per frame), frames laid out from position 0.
    """
    # 1.
    gt = read_bdd(files.gt, gt=True)
    pred = read_bdd(required_pred(files), gt=False)
    if gt.num_frames != pred.num_frames:
        raise MotFormatError(pred.path, f"{pred.num_frames} frames, but the ground truth "
                             f"({gt.path}) has {gt.num_frames}")

    def repeat_error(side: str, row: int, class_name: str) -> MotFormatError:
        source = gt if side == "gt" else pred
        return MotFormatError(source.path, f"{source.where(row)}: id "
                              f"{int(source.rows.ids[row])} occurs twice among the "
                              f"{class_name} boxes of the frame")

    # 2.
    chosen = {CLASSES.index(c): c for c in (classes or CLASSES)}
    cells = class_cells(gt.rows, pred.rows, gt.region_frames, gt.regions, chosen, gt.num_frames,
                        repeat_error=repeat_error, skip_empty=skip_empty)
    return cells_as_sequences(files.name, cells)
