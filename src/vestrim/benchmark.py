"""Scoring trackers on a benchmark's own folder layout, under the benchmark's own rules.

    result = vestrim.evaluate_benchmark("MOT17/train", ["trackers/A", "trackers/B"],
                                        protocol="mot17")

Ground truth is a split folder, ``GT/<seq>/gt/gt.txt`` (with ``GT/<seq>/seqinfo.ini`` giving the
sequence length under a benchmark protocol); each tracker is a folder of ``<seq>.txt`` files
(directly, or in its ``data/`` subfolder). The flow is one way: files are read into tables, the
protocol's removals (see ``vestrim.protocols``) select what is scored, the metrics are computed per
sequence, and the sequences are combined per (tracker, class).
"""

from __future__ import annotations

import configparser
import math
import os
import warnings
from dataclasses import dataclass
from typing import Callable, Iterable, Optional

import numpy as np

from . import _native, _vestrim
from .combination import combine_clear, combine_hota, combine_identity
from .derived import DERIVED_FIELDS, derive_hota
from .mot import MAX_FRAME, MotFormatError, Table, layout_sequence, read_table
from .protocols import PROTOCOLS, Protocol, protocol as _protocol

__all__ = [
    "evaluate_benchmark", "load_benchmark", "BenchmarkResult", "TrackerResult",
    "SequenceResult", "Count", "BenchmarkSequence", "MaskBenchmarkSequence", "BenchmarkError",
    "BenchmarkWarning",
    "FAMILIES", "ATTRIBUTES", "COMBINED",
]

FAMILIES = ("clear", "identity", "hota")
COMBINED = "COMBINED"

# Every attribute of each metric family, as written to JSON (and in that order).
ATTRIBUTES = {
    "clear": ["mota", "motp", "moda", "smota", "motal", "clr_re", "clr_pr", "num_frames",
              "num_gt", "num_matches", "num_false_positives", "num_misses", "num_switches",
              "mt", "pt", "ml", "frag", "frag_present_only", "track_ratios"],
    "identity": ["idf1", "idp", "idr", "idtp", "idfp", "idfn", "num_frames", "num_gt",
                 "num_pred"],
    "hota": ["hota", "deta", "assa", "loca", "alphas", "hota_alphas", "deta_alphas",
             "assa_alphas", "loca_alphas", "hota_tp_alphas", "hota_fn_alphas", "hota_fp_alphas",
             "ass_re_alphas", "ass_pr_alphas", "num_frames", "num_gt", "num_pred"],
    "count": ["num_gt", "num_pred", "num_gt_ids", "num_pred_ids"],
}

_COMBINERS = {"clear": combine_clear, "identity": combine_identity, "hota": combine_hota}


class BenchmarkError(ValueError):
    """A benchmark folder, sequence map or tracker that cannot be scored as asked."""


class BenchmarkWarning(UserWarning):
    """Something skipped or dropped while loading a benchmark (the run goes on)."""


def _warn(message: str) -> None:
    warnings.warn(message, BenchmarkWarning, stacklevel=3)


# --- results ------------------------------------------------------------------------------------

@dataclass(frozen=True)
class Count:
    """Detections and distinct ids scored on each side, after the protocol's removals."""

    num_gt: int
    num_pred: int
    num_gt_ids: int
    num_pred_ids: int

    @classmethod
    def combine(cls, counts: Iterable["Count"]) -> "Count":
        """Summed over sequences (ids of different sequences are different objects)."""
        counts = list(counts)
        return cls(*(sum(getattr(c, f) for c in counts) for f in ATTRIBUTES["count"]))


@dataclass(frozen=True)
class SequenceResult:
    """The metrics of one sequence (or of COMBINED). A family not computed is None."""

    name: str
    clear: object
    identity: object
    hota: object
    count: Count

    def to_dict(self, families=FAMILIES) -> dict:
        """The JSON record: one object per computed family, then ``count``."""
        out = {}
        for family in families:
            metrics = getattr(self, family)
            if metrics is None:
                continue
            record = {a: _json_value(getattr(metrics, a)) for a in ATTRIBUTES[family]}
            if family == "hota":
                derived = derive_hota(metrics)
                record.update((a, _json_value(getattr(derived, a))) for a in DERIVED_FIELDS)
            out[family] = record
        out["count"] = {a: getattr(self.count, a) for a in ATTRIBUTES["count"]}
        return out


@dataclass(frozen=True)
class TrackerResult:
    """One (tracker, class) pair: its per-sequence results and their combination."""

    tracker: str
    class_name: Optional[str]
    sequences: tuple
    combined: SequenceResult

    def to_dict(self, families=FAMILIES) -> dict:
        return {
            "name": self.tracker,
            "class": self.class_name,
            "sequences": [{"name": s.name, **s.to_dict(families)} for s in self.sequences],
            "combined": self.combined.to_dict(families),
        }


@dataclass(frozen=True)
class BenchmarkResult:
    """Every (tracker, class) pair of a benchmark run, trackers in the order given."""

    protocol: str
    iou_threshold: float
    metrics: tuple
    trackers: tuple

    def to_dict(self) -> dict:
        """The JSON document: protocol, threshold and one entry per (tracker, class)."""
        return {
            "protocol": self.protocol,
            "iou_threshold": self.iou_threshold,
            "trackers": [t.to_dict(self.metrics) for t in self.trackers],
        }

    def to_json(self, indent: Optional[int] = 2) -> str:
        import json
        return json.dumps(self.to_dict(), indent=indent, allow_nan=False) + "\n"


def _json_value(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple)):
        return [_json_value(v) for v in value]
    return value


# --- finding files ------------------------------------------------------------------------------

@dataclass(frozen=True)
class SequenceFiles:
    name: str
    gt: str
    pred: Optional[str]      # None: the tracker has no file for this sequence
    seqinfo: Optional[str]   # the sequence's seqinfo.ini, when there is one
    num_frames: Optional[int] = None  # the length a KITTI seqmap gives


@dataclass(frozen=True)
class _Tracker:
    name: str
    path: str
    sequences: tuple  # SequenceFiles, in scoring order


def _exists(path: str) -> None:
    if not os.path.exists(path):
        raise BenchmarkError(f"cannot read {path}: no such file or directory")


def _list_dir(path: str) -> list:
    try:
        return sorted(os.listdir(path))
    except OSError as e:
        raise BenchmarkError(f"cannot read {path}: {e.strerror or e}") from None


def read_seqmap(path) -> list:
    """The sequence names of a sequence map: a header line, then one name per non-empty line."""
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise BenchmarkError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
    names: list[str] = []
    seen: dict[str, int] = {}
    for number, line in enumerate(lines[1:], 2):
        name = line.strip()
        if not name:
            continue
        # A name is one folder under GT: "../x" or "a/b" would read files from elsewhere.
        if name in (".", "..") or "/" in name or os.sep in name or "\0" in name:
            raise BenchmarkError(f"{path}:{number}: sequence name {name!r} is not a plain file name")
        if name in seen:
            raise BenchmarkError(
                f"{path}:{number}: sequence {name} is listed twice (first at line {seen[name]})")
        seen[name] = number
        names.append(name)
    if not names:
        raise BenchmarkError(f"{path}: no sequences listed (a header line, then one name a line)")
    return names


def read_seqinfo(path: str) -> int:
    """The number of frames of a sequence: ``seqLength`` in the ``[Sequence]`` section."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        with open(path, encoding="utf-8-sig") as f:
            parser.read_file(f)
        text = parser.get("Sequence", "seqLength")
    except (OSError, UnicodeDecodeError) as e:
        raise BenchmarkError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
    except configparser.NoSectionError:
        raise BenchmarkError(f"{path}: no [Sequence] section") from None
    except configparser.NoOptionError:
        raise BenchmarkError(f"{path}: no seqLength in its [Sequence] section") from None
    except configparser.Error as e:
        raise BenchmarkError(f"{path}: not a valid ini file ({e.message.splitlines()[0]})") \
            from None
    try:
        length = int(text.strip())
    except ValueError:
        length = -1
    if not 1 <= length <= MAX_FRAME:
        raise BenchmarkError(f"{path}: seqLength must be a whole number from 1 to {MAX_FRAME}, "
                             f"got {text.strip()!r}")
    return length


def _gt_sequences(gt: str, seqmap, proto: Protocol) -> list:
    """(name, gt file, seqinfo or None, None) of every sequence to score, in scoring order."""
    entries = _list_dir(gt)
    if seqmap is not None:
        names = read_seqmap(seqmap)
    else:
        names = [e for e in entries if os.path.isdir(os.path.join(gt, e))]
    out = []
    for name in names:
        folder = os.path.join(gt, name)
        gt_file = os.path.join(folder, "gt", "gt.txt")
        if not os.path.isfile(gt_file):
            if seqmap is not None:
                raise BenchmarkError(f"sequence {name} of {os.fspath(seqmap)} has no ground truth "
                                     f"({gt_file} not found)")
            _warn(f"skipping {folder}: no gt/gt.txt in it")
            continue
        seqinfo = os.path.join(folder, "seqinfo.ini")
        out.append((name, gt_file, seqinfo if proto.is_benchmark and os.path.isfile(seqinfo)
                    else None, None))
    if not out:
        raise BenchmarkError(f"no sequences in {gt} (expected <sequence>/gt/gt.txt under it)")
    return out


# KITTI layouts: (folder of the ground-truth files, seqmap name before ".<split>", whether the
# seqmap's 4th value is the last frame rather than the number of frames).
_KITTI_LAYOUTS = {
    "kitti": ("label_02", "evaluate_tracking.seqmap", False),
    "kitti-mots": ("instances_txt", "evaluate_mots.seqmap", True),
}


def _kitti_sequences(gt: str, seqmap, split, proto: Protocol):
    """(name, gt file, None, number of frames) of every sequence of a KITTI-style seqmap, and
    the names of all ground-truth files."""
    from .kitti import read_kitti_seqmap
    folder_name, seqmap_name, last_frame = _KITTI_LAYOUTS[proto.layout]
    if seqmap is None:
        seqmap = os.path.join(gt, f"{seqmap_name}.{split or proto.default_split}")
        if not os.path.isfile(seqmap):
            raise BenchmarkError(f"no sequence map {seqmap} (choose the split with --split, or "
                                 f"give --seqmap FILE)")
    elif split is not None:
        raise BenchmarkError("give a sequence map or a split, not both")
    seqmap = os.fspath(seqmap)
    entries = read_kitti_seqmap(seqmap, last_frame=last_frame)
    if not entries:
        raise BenchmarkError(f"{seqmap}: no sequences listed")
    folder = os.path.join(gt, folder_name)
    out = []
    for name, num_frames in entries:
        gt_file = os.path.join(folder, name + ".txt")
        if not os.path.isfile(gt_file):
            raise BenchmarkError(f"sequence {name} of {seqmap} has no ground truth ({gt_file} "
                                 f"not found)")
        out.append((name, gt_file, None, num_frames))
    names = {os.path.splitext(e)[0] for e in _list_dir(folder) if e.endswith(".txt")}
    return out, names


def _tracker_name_and_folder(path: str):
    folder = path
    data = os.path.join(path, "data")
    if os.path.isdir(data):
        folder = data
    name = os.path.basename(os.path.normpath(os.path.abspath(path)))
    if name == "data":
        name = os.path.basename(os.path.dirname(os.path.normpath(os.path.abspath(path))))
    return name, folder


def _plan(gt, trackers, proto: Protocol, seqmap, split=None) -> list:
    """Which files each tracker is scored on."""
    gt = os.fspath(gt)
    if isinstance(trackers, (str, os.PathLike)):
        trackers = [trackers]
    trackers = [os.fspath(t) for t in trackers]
    if not trackers:
        raise BenchmarkError("no tracker given")
    _exists(gt)
    for path in trackers:
        _exists(path)
    if os.path.isfile(gt):
        if seqmap is not None:
            raise BenchmarkError("a sequence map needs a ground-truth folder, not a file")
        if not all(os.path.isfile(p) for p in trackers):
            raise BenchmarkError("GT and PRED must both be files (one sequence) or both be folders")
        seqinfo = None
        parent = os.path.dirname(os.path.abspath(gt))
        if (proto.is_benchmark and proto.layout == "motchallenge"
                and os.path.basename(parent) == "gt"):
            candidate = os.path.join(os.path.dirname(parent), "seqinfo.ini")
            seqinfo = candidate if os.path.isfile(candidate) else None
        plan = []
        for path in trackers:
            name = os.path.splitext(os.path.basename(path))[0]
            plan.append(_Tracker(name, path, (SequenceFiles(name, gt, path, seqinfo),)))
        return _unique_names(plan)
    if not os.path.isdir(gt) or not all(os.path.isdir(p) for p in trackers):
        raise BenchmarkError("GT and PRED must both be files (one sequence) or both be folders")
    if proto.layout == "motchallenge":
        sequences = _gt_sequences(gt, seqmap, proto)
        gt_names = {e for e in _list_dir(gt) if os.path.isdir(os.path.join(gt, e))}
    else:
        sequences, gt_names = _kitti_sequences(gt, seqmap, split, proto)
    named = [(*_tracker_name_and_folder(path), path) for path in trackers]
    _unique_names([_Tracker(name, path, ()) for name, _, path in named])
    plan = []
    for name, folder, path in named:
        files = []
        missing = []
        for seq, gt_file, seqinfo, num_frames in sequences:
            pred = os.path.join(folder, seq + ".txt")
            if not os.path.isfile(pred):
                missing.append(pred)
                pred = None
            files.append(SequenceFiles(seq, gt_file, pred, seqinfo, num_frames))
        if len(missing) == len(sequences):
            raise BenchmarkError(f"tracker {name} ({folder}) has none of the {len(sequences)} "
                                 f"scored sequences (expected <sequence>.txt files in it)")
        if missing:
            if proto.is_benchmark:
                raise BenchmarkError(f"tracker {name} is incomplete: {len(missing)} of "
                                     f"{len(sequences)} sequences missing, e.g. no {missing[0]}")
            for pred in missing:
                seq = os.path.splitext(os.path.basename(pred))[0]
                _warn(f"no prediction file {pred}: sequence {seq} scored as an empty output")
        for entry in _list_dir(folder):
            stem, ext = os.path.splitext(entry)
            if ext == ".txt" and stem not in gt_names:
                _warn(f"ignoring {os.path.join(folder, entry)}: no ground truth for "
                      f"sequence {stem}")
        plan.append(_Tracker(name, path, tuple(files)))
    return plan


def _unique_names(plan: list) -> list:
    seen: dict[str, str] = {}
    for t in plan:
        if t.name in seen:
            raise BenchmarkError(f"two trackers are named {t.name}: {seen[t.name]} and {t.path}")
        seen[t.name] = t.path
    return plan


# --- loading under a protocol -------------------------------------------------------------------

@dataclass(frozen=True)
class BenchmarkSequence:
    """One sequence as it is scored: per-frame ids and xyxy boxes, frame 1 first.

    ``empty_frames`` counts frames left out of the lists because neither side has a box there
    (0 from ``load_benchmark``, which lays out every frame; the scoring path leaves them out so
    that memory follows the lines, not the frame numbers)."""

    name: str
    class_name: Optional[str]
    gt_ids: list
    gt_boxes: list
    pred_ids: list
    pred_boxes: list
    count: Count
    empty_frames: int = 0

    @property
    def num_frames(self) -> int:
        return len(self.gt_ids) + self.empty_frames

    def arrays(self) -> tuple[list, list, list, list]:
        """(gt_ids, gt_boxes, pred_ids, pred_boxes), as ``vestrim.evaluate`` takes them."""
        return self.gt_ids, self.gt_boxes, self.pred_ids, self.pred_boxes


@dataclass(frozen=True)
class MaskBenchmarkSequence:
    """One sequence of masks as it is scored: per-frame ids, ``Mask`` lists and mask IoU
    matrices (rows ground truth, columns predictions), first frame first."""

    name: str
    class_name: Optional[str]
    gt_ids: list
    gt_masks: list
    pred_ids: list
    pred_masks: list
    similarity: list
    count: Count
    empty_frames: int = 0  # as in BenchmarkSequence

    @property
    def num_frames(self) -> int:
        return len(self.gt_ids) + self.empty_frames

    def arrays(self) -> tuple[list, list, list]:
        """(gt_ids, pred_ids, similarity), as the ``*_from_similarity`` functions take them."""
        return self.gt_ids, self.pred_ids, self.similarity


def _number(value: float) -> str:
    return str(int(value)) if math.isfinite(value) and value == int(value) else repr(value)


def _first(table, mask) -> int:
    """The row of the first line (in file order) where mask is set."""
    rows = np.flatnonzero(mask)
    return int(rows[np.argmin(table.lines[rows])])


def _check_frames(path: str, table, num_frames: int, seqinfo: str) -> None:
    outside = table.frames > num_frames
    if outside.any():
        row = _first(table, outside)
        raise MotFormatError(
            path, f"frame {int(table.frames[row])} is outside the sequence's frames 1 to "
                  f"{num_frames} (seqLength of {seqinfo})", int(table.lines[row]))


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


def _gt_keep(path: str, gt, proto: Protocol, classes) -> np.ndarray:
    """Mask of the ground-truth rows scored."""
    if not proto.is_benchmark:
        keep = gt.conf != 0  # a line without a 7th value is scored
        if classes is not None:
            missing = np.isnan(gt.classes)
            if missing.any():
                raise MotFormatError(path, "no class (8th value), which the class filter needs",
                                     int(gt.lines[_first(gt, missing)]))
            keep &= np.isin(gt.classes, np.array(sorted(classes), dtype=np.float64))
        return keep
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
        row = _first(gt, invalid & scored_frames)
        value = gt.classes[row]
        low, high = min(classes), max(classes)
        what = "no class (8th value)" if math.isnan(value) else f"class {_number(value)}"
        raise MotFormatError(path, f"{what}: ground-truth classes are {low} to {high}",
                             int(gt.lines[row]))
    row = _first(gt, invalid)
    _warn(f"{path}: {int(invalid.sum())} ground-truth line(s) with no valid class dropped "
          f"(first at line {int(gt.lines[row])}), all in frames without predictions")
    return gt_class


def _check_pred_classes(path: str, pred, proto: Protocol) -> None:
    over = np.trunc(pred.classes) > proto.max_pred_class  # False where there is no class
    if over.any():
        row = _first(pred, over)
        raise MotFormatError(
            path, f"class {_number(pred.classes[row])} (8th value): only pedestrians are scored "
                  f"here, so predictions must have class -1 or 1", int(pred.lines[row]))


def _distinct(values: np.ndarray) -> int:
    # Not len(np.unique(...)): it imports numpy.ma, about 20 ms in every worker process.
    if not len(values):
        return 0
    low, high = int(values.min()), int(values.max())
    if 0 <= low and high < 4 * len(values):  # the usual small ids: flag them, no sort
        seen = np.zeros(high + 1, dtype=bool)
        seen[values] = True
        return int(np.count_nonzero(seen))
    ordered = np.sort(values)
    return int(np.count_nonzero(ordered[1:] != ordered[:-1])) + 1


def _count(gt_ids: np.ndarray, pred_ids: np.ndarray) -> Count:
    return Count(len(gt_ids), len(pred_ids), _distinct(gt_ids), _distinct(pred_ids))


# In a worker process (see score_task): the last ground-truth table read, so that a worker
# scoring several trackers of one sequence in a row reads the file once.
_gt_cache: Optional[dict] = None


def _read_gt(path: str, columns: int) -> Table:
    if _gt_cache is None:
        return read_table(path, columns=columns)
    table = _gt_cache.get((path, columns))
    if table is None:
        _gt_cache.clear()
        table = _gt_cache[path, columns] = read_table(path, columns=columns)
    return table


def _both(first: Callable, second: Callable) -> tuple:
    """(first(), second()), the second on a helper thread while the first runs here when this
    process may use more than one core (the native readers release the interpreter lock while
    they parse). The helper is joined before returning, also when the first fails."""
    if _native.threads_per_call() < 2:
        return first(), second()
    import threading
    outcome: list = [None, None]

    def run() -> None:
        try:
            outcome[0] = second()
        except BaseException as e:  # handed to the caller below
            outcome[1] = e

    helper = threading.Thread(target=run, name="vestrim-read", daemon=True)
    helper.start()
    try:
        result = first()
    finally:
        helper.join()
    if outcome[1] is not None:
        raise outcome[1]
    return result, outcome[0]


def _load_motchallenge(files: SequenceFiles, proto: Protocol, class_names,
                       skip_empty: bool) -> list:
    # The two files are read at the same time; the ground truth here, where its cache lives.
    gt, pred = _both(lambda: _read_gt(files.gt, proto.gt_columns),
                     lambda: None if files.pred is None else read_table(files.pred, columns=proto.pred_columns))
    if files.seqinfo is not None:
        num_frames = read_seqinfo(files.seqinfo)
        _check_frames(files.gt, gt, num_frames, files.seqinfo)
        if files.pred is not None:
            _check_frames(files.pred, pred, num_frames, files.seqinfo)
    else:
        num_frames = max(gt.last_frame, pred.last_frame if pred is not None else 0)
    empty = np.zeros(0, np.int64)
    if files.pred is not None and proto.max_pred_class is not None:
        _check_pred_classes(files.pred, pred, proto)
    remove = None
    if proto.valid_gt_classes is not None:
        gt_class = _validate_gt_classes(files.gt, gt, pred.frames if pred is not None
                                        else empty, proto)
        if pred is not None and proto.distractor_classes:
            remove = _distractor_predictions(gt, pred, gt_class, proto)
    keep = _gt_keep(files.gt, gt, proto, class_names if not proto.is_benchmark else None)
    gt_frames, gt_ids, gt_boxes = gt.frames[keep], gt.ids[keep], gt.boxes[keep]
    if pred is None:
        pred_frames, pred_ids, pred_boxes = empty, empty, np.zeros((0, 4))
    elif remove is not None and remove.any():
        pred_frames, pred_ids, pred_boxes = (pred.frames[~remove], pred.ids[~remove],
                                             pred.boxes[~remove])
    else:
        pred_frames, pred_ids, pred_boxes = pred.frames, pred.ids, pred.boxes
    s = layout_sequence((gt_frames, gt_ids, gt_boxes), (pred_frames, pred_ids, pred_boxes),
                        1, num_frames, skip_empty=skip_empty)
    class_name = proto.classes[0] if proto.classes else None
    return [BenchmarkSequence(files.name, class_name, s.gt_ids, s.gt_boxes, s.pred_ids,
                              s.pred_boxes, _count(gt_ids, pred_ids), s.empty_frames)]


def _count_frames(gt_ids: list, pred_ids: list) -> Count:
    flat = [np.fromiter((i for frame in ids for i in frame), dtype=np.int64)
            for ids in (gt_ids, pred_ids)]
    return _count(*flat)


def _pred_path(files: SequenceFiles) -> str:
    """The prediction file of a sequence scored under a benchmark protocol (where a tracker
    without every file is refused before loading)."""
    if files.pred is None:
        raise BenchmarkError(f"no prediction file for sequence {files.name}")
    return files.pred


def _load_kitti(files: SequenceFiles, proto: Protocol, class_names, skip_empty: bool) -> list:
    from .kitti import kitti_sequence, read_kitti, span_frames
    pred_path = _pred_path(files)
    gt, pred = read_kitti(files.gt), read_kitti(pred_path)
    num_frames = files.num_frames
    if num_frames is None:  # one pair of files: the frames either file reaches, within the limit
        num_frames = min(span_frames(gt, pred), MAX_FRAME)
    sequences = kitti_sequence(gt, pred, num_frames, class_names or proto.classes or (),
                               gt_path=files.gt, pred_path=pred_path, _skip_empty=skip_empty)
    return [BenchmarkSequence(files.name, c, s.gt_ids, s.gt_boxes, s.pred_ids, s.pred_boxes,
                              _count_frames(s.gt_ids, s.pred_ids), s.empty_frames)
            for c, s in sequences.items()]


def _load_mots(files: SequenceFiles, proto: Protocol, class_names, skip_empty: bool) -> list:
    from .mots import mots_sequence, read_mots
    pred_path = _pred_path(files)
    gt, pred = read_mots(files.gt), read_mots(pred_path)
    last = max(gt.last_frame, pred.last_frame) if len(gt) or len(pred) else None
    if proto.layout == "kitti-mots":
        first = 0
        num_frames = files.num_frames
        if num_frames is None:  # one pair of files: the frames either file reaches, within the limit
            num_frames = 0 if last is None else min(max(last + 1, 0), MAX_FRAME)
    else:
        first = 1
        if files.seqinfo is not None:
            num_frames = read_seqinfo(files.seqinfo)
        else:
            num_frames = 0 if last is None else min(max(last, 0), MAX_FRAME)
    sequences = mots_sequence(gt, pred, first, num_frames, class_names or proto.classes or (),
                              gt_path=files.gt, pred_path=pred_path, _skip_empty=skip_empty)
    return [MaskBenchmarkSequence(files.name, c, s.gt_ids, s.gt_masks, s.pred_ids, s.pred_masks,
                                  s.similarity, _count_frames(s.gt_ids, s.pred_ids),
                                  s.empty_frames)
            for c, s in sequences.items()]


_LOADERS = {"motchallenge": _load_motchallenge, "kitti": _load_kitti, "mots": _load_mots}


def _check_classes(proto: Protocol, classes):
    """The class selection: integers (the 8th value) under plain, class names otherwise."""
    if classes is None:
        return None
    if isinstance(classes, (str, bytes, int)):
        classes = [classes]
    classes = list(classes)
    if not proto.is_benchmark:
        out = []
        for c in classes:
            if isinstance(c, bool) or not isinstance(c, (int, np.integer)):
                raise TypeError(f"classes must be integers under the plain protocol, got {c!r}")
            if not -2**63 <= int(c) < 2**63:
                raise ValueError(f"class {int(c)} does not fit in 64 bits")
            out.append(int(c))
        return frozenset(out)
    scored = proto.classes or ()
    for c in classes:
        if c not in scored:
            raise ValueError(f"class {c!r} is not scored under {proto.name} "
                             f"(scored: {', '.join(scored)})")
    return tuple(c for c in scored if c in classes)


def _check_split(proto: Protocol, split) -> None:
    if split is None:
        return
    if proto.default_split is None:
        kitti = ", ".join(p.name for p in PROTOCOLS.values() if p.default_split is not None)
        raise ValueError(f"a split applies under {kitti} only, not under {proto.name}")
    if not isinstance(split, str) or not split or any(c in split for c in "/\\\0"):
        raise ValueError(f"a split is a plain name such as {proto.default_split!r}, got {split!r}")


def load_benchmark(gt, tracker, *, protocol="plain", seqmap=None, classes=None,
                   split=None) -> list:
    """The sequences of one tracker as they are scored: each a ``BenchmarkSequence`` with its
    name, class and per-frame ids and boxes after the protocol's removals (a
    ``MaskBenchmarkSequence`` with masks and their IoU matrices under ``kitti-mots`` and
    ``mots20``), in scoring order, the classes of a sequence together.

    Under ``plain``, ``classes`` keeps only ground truth whose 8th value is one of the given
    integers; under a benchmark protocol it selects among the classes the protocol scores, by
    name. ``split`` names the seqmap read under ``kitti`` and ``kitti-mots`` when no ``seqmap``
    is given. Raises ``BenchmarkError`` for an unusable layout and ``MotFormatError`` for a file.
    """
    proto = _protocol(protocol)
    chosen = _check_classes(proto, classes)
    _check_split(proto, split)
    [plan] = _plan(gt, [tracker], proto, seqmap, split)
    out = []
    for files in plan.sequences:
        out.extend(_load(files, proto, chosen, skip_empty=False))
    return out


def _load(files: SequenceFiles, proto: Protocol, chosen, *, skip_empty: bool) -> list:
    """The scored sequences of one tracker's files; with ``skip_empty`` each lists only the
    frames with a box on either side (see ``BenchmarkSequence.empty_frames``)."""
    sequences = _LOADERS[proto.format](files, proto, chosen, skip_empty)
    if proto.is_benchmark and chosen is not None:
        sequences = [s for s in sequences if s.class_name in chosen]
    return sequences


# --- scoring ------------------------------------------------------------------------------------

def _metrics(seq: BenchmarkSequence | MaskBenchmarkSequence, proto: Protocol, families,
             iou_threshold: float) -> dict[str, object]:
    # One pass computes each frame's IoU matrix once for all three families, and counts the frames
    # left out of the lists (a sequence with such frames is scored whole this way even when fewer
    # families are asked for).
    if isinstance(seq, MaskBenchmarkSequence):  # the mask protocols are benchmark protocols
        metrics = _native.evaluate_from_similarity(*seq.arrays(), iou_threshold, proto.convention,
                                                   empty_frames=seq.empty_frames)
    elif proto.is_benchmark or seq.empty_frames or set(families) == set(FAMILIES):
        metrics = _native.evaluate(*seq.arrays(), iou_threshold, proto.convention,
                                   empty_frames=seq.empty_frames)
    else:
        return _module_metrics(seq, families, iou_threshold)
    computed = dict(zip(FAMILIES, metrics))
    return {f: computed[f] for f in families}


def _module_metrics(seq: BenchmarkSequence, families, iou_threshold: float) -> dict[str, object]:
    """Only the families asked for, one at a time, with the module's conventions."""
    args = seq.arrays()
    out: dict[str, object] = {}
    for family in families:
        if family == "clear":
            out[family] = _vestrim.compute_clear(*args, iou_threshold=iou_threshold)
        elif family == "identity":
            out[family] = _vestrim.compute_identity(*args, iou_threshold=iou_threshold)
        else:
            out[family] = _vestrim.compute_hota(*args)
    return out


def score_sequence(files: SequenceFiles, protocol_name: str, classes, families,
                   iou_threshold: float) -> list:
    """Load and score one tracker's sequence: [(class name, SequenceResult)]. A top-level
    function of plain arguments, so that sequences can be scored in other processes."""
    proto = _protocol(protocol_name)
    out = []
    for seq in _load(files, proto, classes, skip_empty=True):
        m = _metrics(seq, proto, families, iou_threshold)
        out.append((seq.class_name, SequenceResult(seq.name, m.get("clear"), m.get("identity"),
                                                   m.get("hota"), seq.count)))
    return out


def score_task(files: SequenceFiles, protocol_name: str, classes, families,
               iou_threshold: float) -> tuple:
    """``score_sequence`` in a worker process: (its result or None, the exception it raised or
    None, the warnings it issued as (warning, file, line)), so that the caller can replay the
    warnings and pick the failure in its own order."""
    global _gt_cache
    if _gt_cache is None:
        _gt_cache = {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = score_sequence(files, protocol_name, classes, families,
                                           iou_threshold), None
        except Exception as e:  # replayed by the caller in its order
            result, error = None, e
    return result, error, [(w.message, w.filename, w.lineno) for w in caught]


def _score_all(tasks: list, args: tuple, jobs: int,
               progress: Optional[Callable[[int, int, str], None]]) -> list:
    """The results of ``score_sequence`` for every (tracker, files) task, in task order.

    With ``jobs`` > 1 and several tasks they run on a pool of local processes, the largest
    ground truth first and the trackers of one sequence in a row (a worker reads a sequence's
    ground truth once for all of them); warnings are replayed and the first failure raised in
    task order, so that the run reads as the serial one."""
    total = len(tasks)

    def report(done: int, k: int) -> None:
        if progress is not None:
            tracker, files = tasks[k]
            progress(done, total, f"{tracker.name} {files.name}")

    pool = None
    if jobs > 1 and total > 1:
        from .parallel import local_pool
        try:
            pool = local_pool(min(jobs, total))
        except (OSError, ImportError, NotImplementedError):  # no process support here
            pool = None
    if pool is None:
        out = []
        for k, (_, files) in enumerate(tasks):
            out.append(score_sequence(files, *args))
            report(k + 1, k)
        return out

    from .parallel import run_tasks
    outcomes: list = [None] * total
    replayed = done = 0

    def finished(k: int, outcome: Optional[tuple], error: Optional[Exception]) -> None:
        nonlocal replayed, done
        outcomes[k] = outcome if error is None else (None, error, [])
        done += 1
        report(done, k)
        while replayed < total and outcomes[replayed] is not None:
            _, failure, caught = outcomes[replayed]
            for message, filename, lineno in caught:
                warnings.warn_explicit(message, type(message), filename, lineno)
            if failure is not None:
                raise failure
            replayed += 1

    def size(path: str) -> int:
        try:
            return os.path.getsize(path)
        except OSError:
            return 0

    order = sorted(range(total), key=lambda k: (-size(tasks[k][1].gt), tasks[k][1].gt, k))
    with pool:
        run_tasks(pool, [(k, "benchmark", (tasks[k][1], *args)) for k in order], finished,
                  failed=lambda outcome, error: error is not None or outcome[1] is not None)
    return [outcome[0] for outcome in outcomes]


def _combined(results: list, families, convention: str) -> SequenceResult:
    values: dict[str, object] = dict.fromkeys(FAMILIES)
    for f in families:
        values[f] = _COMBINERS[f]([getattr(r, f) for r in results], convention=convention)
    return SequenceResult(COMBINED, values["clear"], values["identity"], values["hota"],
                          Count.combine(r.count for r in results))


def _families(metrics) -> tuple:
    if metrics is None:
        return FAMILIES
    if isinstance(metrics, str):
        metrics = [m.strip() for m in metrics.split(",")]
    metrics = list(metrics)
    for m in metrics:
        if m not in FAMILIES:
            raise ValueError(f"unknown metric {m!r} (choose from {', '.join(FAMILIES)})")
    return tuple(f for f in FAMILIES if f in metrics)


def _threshold(proto: Protocol, iou_threshold) -> float:
    if iou_threshold is None:
        return proto.iou_threshold if proto.iou_threshold is not None else 0.5
    value = float(iou_threshold)
    if not 0.0 < value <= 1.0:  # NaN fails too
        raise ValueError(f"the IoU threshold must be in (0, 1], got {iou_threshold!r}")
    if proto.iou_threshold is not None and value != proto.iou_threshold:
        raise ValueError(f"{proto.name} scores at IoU threshold {proto.iou_threshold:g} only")
    return value


def evaluate_benchmark(gt, trackers, *, protocol="plain", seqmap=None, classes=None,
                       metrics=None, jobs: int = 1, iou_threshold: Optional[float] = None,
                       split: Optional[str] = None,
                       progress: Optional[Callable[[int, int, str], None]] = None
                       ) -> BenchmarkResult:
    """Score one or several trackers on a benchmark folder under a protocol.

    ``gt`` is a split folder (``<seq>/gt/gt.txt`` per sequence) or one ground-truth file;
    ``trackers`` a list of tracker folders (``<seq>.txt`` files, directly or under ``data/``)
    or, with a ground-truth file, prediction files. ``protocol`` is ``"plain"``, ``"mot15"``,
    ``"mot16"``, ``"mot17"``, ``"mot20"``, ``"kitti"``, ``"kitti-mots"`` or ``"mots20"`` (see
    ``vestrim.protocols``; the KITTI layouts keep their sequences as ``label_02/<seq>.txt`` and
    ``instances_txt/<seq>.txt``); ``seqmap`` a sequence map file choosing and ordering the
    sequences (under the KITTI protocols a KITTI seqmap, by default the one of ``split``,
    ``"training"`` under ``kitti`` and ``"val"`` under ``kitti-mots``); ``metrics`` a subset of
    ``("clear", "identity", "hota")``; ``iou_threshold`` applies under ``plain`` (0.5 by
    default; benchmark protocols fix it at 0.5). ``jobs`` > 1 scores the (tracker, sequence)
    pairs on that many local worker processes, with the same result, warnings and first error as
    one at a time. ``progress(done, total, label)`` is called after each scored pair. Returns a
    ``BenchmarkResult`` with, per (tracker, class), the per-sequence results and their
    combination.
    """
    proto = _protocol(protocol)
    families = _families(metrics)
    threshold = _threshold(proto, iou_threshold)
    chosen = _check_classes(proto, classes)
    _check_split(proto, split)
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive integer, got {jobs!r}")
    plan = _plan(gt, trackers, proto, seqmap, split)
    tasks = [(t, files) for t in plan for files in t.sequences]
    scored = _score_all(tasks, (proto.name, chosen, families, threshold), jobs, progress)
    per_tracker: dict = {t.name: {} for t in plan}
    for (tracker, _), results in zip(tasks, scored):
        for class_name, result in results:
            per_tracker[tracker.name].setdefault(class_name, []).append(result)
    out = []
    for t in plan:
        class_order = (proto.classes or ()) if proto.is_benchmark else (None,)
        for class_name in class_order:
            if chosen is not None and proto.is_benchmark and class_name not in chosen:
                continue
            results = per_tracker[t.name].get(class_name, [])
            out.append(TrackerResult(t.name, class_name, tuple(results),
                                     _combined(results, families, proto.convention)))
    return BenchmarkResult(proto.name, threshold, families, tuple(out))

