"""Where a tracker goes wrong: per-frame event logs and per-track tables.

Every event is taken from the metric cores' own matching of each frame, so a log's counts equal the
metrics of the same call: MATCH + SWITCH = ``num_matches``, SWITCH = ``num_switches``, FP =
``num_false_positives``, MISS = ``num_misses`` (under the chosen convention), and the TRANSFER,
ASCEND and MIGRATE counts equal ``compute_quorvantix_switch_events``.
"""

from __future__ import annotations

import dataclasses
import importlib
from typing import Any, ClassVar, Literal, Optional

import numpy as np

from . import _native
from .datasets.layouts import FIRST_FRAME
from .datasets.records import MaskBenchmarkSequence
from .options import iou_threshold as checked_threshold
from .protocols import protocol as find_protocol

__all__ = ["EventLog", "GtTrackTable", "PredTrackTable", "TrackTables", "frame_events",
           "frame_events_from_similarity", "frame_events_for", "track_table", "track_table_from_similarity",
           "track_table_for", "event_numbers"]


def _frozen(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


def event_numbers(frame: np.ndarray) -> np.ndarray:
    """Each row's number within its run of equal ``frame`` values, from 0 (int64).

    The rows of one frame are contiguous in a log, so this is the row's position less the position
    where its frame's run starts."""
    frame = np.asarray(frame)
    n = frame.shape[0]
    if n == 0:
        return np.zeros(0, dtype=np.int64)
    starts: np.ndarray = np.flatnonzero(np.concatenate(([True], frame[1:] != frame[:-1]))).astype(np.int64)
    lengths: np.ndarray = np.diff(np.append(starts, np.int64(n)))
    return np.arange(n, dtype=np.int64) - np.repeat(starts, lengths)


def _pandas(what: str) -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError as e:
        raise ImportError(f"{what} needs pandas: pip install 'vestrim[pandas]'") from e


def _ids_or_none(ids: np.ndarray, present: np.ndarray) -> list[Any]:
    return [int(i) if p else None for i, p in zip(ids.tolist(), present.tolist())]


@dataclasses.dataclass(frozen=True, eq=False)
class EventLog:
    """One row per event in equal-length NumPy columns, in frame order; within a frame: MATCH or
    SWITCH for each CLEAR match by ground-truth row, MISS for each unmatched ground-truth row, FP
    for each unmatched prediction, then the switch-event matcher's TRANSFER / ASCEND / MIGRATE
    (for one pair ASCEND, TRANSFER, MIGRATE).

    ``frame`` (int64: the 0-based frame index for arrays, the file's frame number for loaded
    sequences), ``kind`` (uint8 code into ``KINDS``), ``gt_id`` and ``pred_id`` (int64, valid where
    ``has_gt`` / ``has_pred``), ``similarity`` (float64, NaN without a pair) and
    ``from_switch_matcher`` (bool).
    """

    KINDS: ClassVar[tuple[str, ...]] = ("MATCH", "SWITCH", "FP", "MISS", "TRANSFER", "ASCEND", "MIGRATE")

    frame: np.ndarray
    kind: np.ndarray
    gt_id: np.ndarray
    pred_id: np.ndarray
    has_gt: np.ndarray
    has_pred: np.ndarray
    similarity: np.ndarray
    from_switch_matcher: np.ndarray

    @classmethod
    def _from_columns(cls, columns: tuple[np.ndarray, ...]) -> EventLog:
        return cls(*(_frozen(c) for c in columns))

    def __len__(self) -> int:
        return int(self.frame.shape[0])

    def __repr__(self) -> str:
        counts = ", ".join(f"{k}={n}" for k, n in self.counts().items())
        return f"EventLog({len(self)} events: {counts})"

    def counts(self) -> dict[str, int]:
        """{kind name: number of events} for every kind."""
        per_code = np.bincount(self.kind, minlength=len(self.KINDS))
        return {name: int(per_code[code]) for code, name in enumerate(self.KINDS)}

    def of_kind(self, *kinds: str) -> EventLog:
        """The events of the given kinds (names of ``KINDS``), in log order."""
        unknown = [k for k in kinds if k not in self.KINDS]
        if unknown:
            raise ValueError(f"unknown event kind {unknown[0]!r}, expected one of {', '.join(self.KINDS)}")
        keep = np.isin(self.kind, [self.KINDS.index(k) for k in kinds])
        return EventLog(*(_frozen(getattr(self, f.name)[keep]) for f in dataclasses.fields(self)))

    def asdict(self) -> dict[str, list[Any]]:
        """Plain lists: ``kind`` as names, absent ids as None, NaN where there is no pair."""
        return {"frame": self.frame.tolist(), "kind": [self.KINDS[k] for k in self.kind.tolist()],
                "gt_id": _ids_or_none(self.gt_id, self.has_gt),
                "pred_id": _ids_or_none(self.pred_id, self.has_pred),
                "similarity": self.similarity.tolist(),
                "from_switch_matcher": self.from_switch_matcher.tolist()}

    def to_dataframe(self) -> Any:
        """A DataFrame indexed by (``FrameId``, ``Event``: the event's number within its frame) with
        columns ``Type`` (the kind's name), ``OId`` and ``HId`` (nullable integers, missing where the
        event has no such side) and ``D`` = 1 - similarity. Needs pandas."""
        pd = _pandas("EventLog.to_dataframe()")
        index = pd.MultiIndex.from_arrays([self.frame, event_numbers(self.frame)], names=["FrameId", "Event"])
        names = np.array(self.KINDS, dtype=object)
        return pd.DataFrame({
            "Type": names[self.kind],
            "OId": pd.arrays.IntegerArray(self.gt_id.copy(), ~self.has_gt),
            "HId": pd.arrays.IntegerArray(self.pred_id.copy(), ~self.has_pred),
            "D": 1.0 - self.similarity,
        }, index=index)


def _table_frame(table: Any, what: str) -> Any:
    pd = _pandas(what)
    return pd.DataFrame(table.asdict()).set_index("id")


@dataclasses.dataclass(frozen=True, eq=False)
class GtTrackTable:
    """One row per ground-truth id, in order of first appearance.

    ``frames`` present, ``matched`` (CLEAR matches, switches included), ``ratio`` = matched /
    frames, ``track_class`` (0, 1, 2 = MT, PT, ML as ``CLASSES`` names them), ``frag``
    (fragmentations), ``switches``, ``partner`` (the prediction the global identity matching paired
    it with, valid where ``has_partner``) with ``idtp`` (the frames they share), and ``association``:
    the HOTA association score, the mean over the alphas of the mean association IoU of its true
    positive pairs (0 at an alpha without any).
    """

    CLASSES: ClassVar[tuple[str, ...]] = ("MT", "PT", "ML")

    id: np.ndarray
    frames: np.ndarray
    matched: np.ndarray
    ratio: np.ndarray
    track_class: np.ndarray
    frag: np.ndarray
    switches: np.ndarray
    partner: np.ndarray
    has_partner: np.ndarray
    idtp: np.ndarray
    association: np.ndarray
    association_alphas: np.ndarray
    tp_alphas: np.ndarray

    def __len__(self) -> int:
        return int(self.id.shape[0])

    def asdict(self) -> dict[str, list[Any]]:
        out = {f.name: getattr(self, f.name).tolist() for f in dataclasses.fields(self)}
        del out["association_alphas"], out["tp_alphas"]
        out["track_class"] = [self.CLASSES[c] for c in out["track_class"]]
        out["partner"] = _ids_or_none(self.partner, self.has_partner)
        del out["has_partner"]
        return out

    def to_dataframe(self) -> Any:
        """A DataFrame indexed by ``id``; ``track_class`` as "MT" / "PT" / "ML", ``partner`` missing
        where there is none. Needs pandas."""
        frame = _table_frame(self, "GtTrackTable.to_dataframe()")
        frame["partner"] = frame["partner"].astype("Int64")
        return frame


@dataclasses.dataclass(frozen=True, eq=False)
class PredTrackTable:
    """One row per predicted id, in order of first appearance: ``frames`` present, ``matched``
    (CLEAR matches), ``gt_covered`` (distinct ground-truth ids it was matched to) and ``idfp``
    (its frames outside the global identity matching's pair)."""

    id: np.ndarray
    frames: np.ndarray
    matched: np.ndarray
    gt_covered: np.ndarray
    idfp: np.ndarray

    def __len__(self) -> int:
        return int(self.id.shape[0])

    def asdict(self) -> dict[str, list[Any]]:
        return {f.name: getattr(self, f.name).tolist() for f in dataclasses.fields(self)}

    def to_dataframe(self) -> Any:
        """A DataFrame indexed by ``id``. Needs pandas."""
        return _table_frame(self, "PredTrackTable.to_dataframe()")


@dataclasses.dataclass(frozen=True, eq=False)
class TrackTables:
    """The per-track tables of one sequence: ``gt`` and ``pred``."""

    gt: GtTrackTable
    pred: PredTrackTable

    @classmethod
    def _from_columns(cls, columns: tuple[tuple[np.ndarray, ...], tuple[np.ndarray, ...]]) -> TrackTables:
        gt, pred = columns
        return cls(GtTrackTable(*(_frozen(c) for c in gt)), PredTrackTable(*(_frozen(c) for c in pred)))

    def asdict(self) -> dict[str, dict[str, list[Any]]]:
        return {"gt": self.gt.asdict(), "pred": self.pred.asdict()}

    def to_dataframe(self) -> tuple[Any, Any]:
        """(gt DataFrame, pred DataFrame). Needs pandas."""
        return self.gt.to_dataframe(), self.pred.to_dataframe()


def frame_events(gt_ids: Any, gt_boxes: Any, pred_ids: Any, pred_boxes: Any, *, iou_threshold: float = 0.5,
                 box_format: str = "xyxy", convention: Literal["module", "benchmark"] = "module") -> EventLog:
    """The event log of a box sequence (frames indexed from 0), matched by IoU as ``evaluate``
    matches them. ``convention`` is "module" (the rule of ``compute_clear``) or "benchmark" (the
    benchmarks' rule); TRANSFER / ASCEND / MIGRATE always come from the switch-event matcher."""
    return EventLog._from_columns(_native.frame_events(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold,
                                                       box_format, convention))


def frame_events_from_similarity(gt_ids: Any, pred_ids: Any, similarity: Any, *, threshold: float = 0.5,
                                 convention: Literal["module", "benchmark"] = "module") -> EventLog:
    """The event log of a sequence of similarity matrices (gt in rows, higher is better)."""
    return EventLog._from_columns(_native.frame_events_from_similarity(gt_ids, pred_ids, similarity, threshold,
                                                                       convention))


def track_table(gt_ids: Any, gt_boxes: Any, pred_ids: Any, pred_boxes: Any, *, iou_threshold: float = 0.5,
                box_format: str = "xyxy", convention: Literal["module", "benchmark"] = "module") -> TrackTables:
    """The per-track tables of a box sequence."""
    return TrackTables._from_columns(_native.track_table(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold,
                                                         box_format, convention))


def track_table_from_similarity(gt_ids: Any, pred_ids: Any, similarity: Any, *, threshold: float = 0.5,
                                convention: Literal["module", "benchmark"] = "module") -> TrackTables:
    """The per-track tables of a sequence of similarity matrices."""
    return TrackTables._from_columns(_native.track_table_from_similarity(gt_ids, pred_ids, similarity, threshold,
                                                                         convention))


# ---------------------------------------------------------------------------------------------
# Sequences loaded under a benchmark protocol

def _sequence_call(sequence: Any, protocol: Any, iou_threshold: Optional[float]) -> tuple[Any, tuple[Any, ...]]:
    """(the native entry's box or similarity form, its arguments) for a loaded sequence."""
    proto = find_protocol(protocol)
    threshold = checked_threshold(proto, iou_threshold)
    if sequence.empty_frames:
        raise ValueError("frame numbers are known only for a sequence laid out with every frame "
                         "(load_benchmark), not one that leaves out empty frames")
    first = FIRST_FRAME[proto.layout]
    numbers = np.arange(first, first + len(sequence.gt_ids), dtype=np.int64)
    if isinstance(sequence, MaskBenchmarkSequence):  # masks: their IoU matrices
        return "similarity", (*sequence.arrays(), threshold, proto.convention, numbers)
    return "boxes", (*sequence.arrays(), threshold, "xyxy", proto.convention, numbers)


def frame_events_for(sequence: Any, protocol: Any = "plain", *, iou_threshold: Optional[float] = None) -> EventLog:
    """The event log of a sequence loaded by ``load_benchmark`` under ``protocol`` (its name or
    ``Protocol``): matched as the protocol scores it (its convention and IoU threshold; a plain run
    takes ``iou_threshold``, 0.5 by default), frames numbered as in the files."""
    form, args = _sequence_call(sequence, protocol, iou_threshold)
    entry = _native.frame_events_from_similarity if form == "similarity" else _native.frame_events
    return EventLog._from_columns(entry(*args))


def track_table_for(sequence: Any, protocol: Any = "plain", *, iou_threshold: Optional[float] = None) -> TrackTables:
    """The per-track tables of a sequence loaded by ``load_benchmark``, as ``frame_events_for``."""
    form, args = _sequence_call(sequence, protocol, iou_threshold)
    if form == "similarity":
        return TrackTables._from_columns(_native.track_table_from_similarity(*args[:-1]))
    return TrackTables._from_columns(_native.track_table(*args[:-1]))
