"""The records a dataset hands to scoring: which files make a sequence, and a sequence laid out
by frame (boxes or masks), with its counts.

Every laid-out record lists frames in order and may leave out frames with nothing on either side,
counting them in ``empty_frames``; ``num_frames`` is defined once, here.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable, Optional

from ..fields import ATTRIBUTES

__all__ = ["Count", "SequenceFiles", "Sequence", "MaskSequence", "BenchmarkSequence",
           "MaskBenchmarkSequence"]


class _Frames:
    """``num_frames`` of a record with per-frame ``gt_ids`` and an ``empty_frames`` count."""

    __slots__ = ()
    gt_ids: list
    empty_frames: int

    @property
    def num_frames(self) -> int:
        return len(self.gt_ids) + self.empty_frames


@dataclass(frozen=True)
class Count:
    """Detections and distinct ids scored on each side, after the protocol's removals."""

    num_gt: int
    num_pred: int
    num_gt_ids: int
    num_pred_ids: int
    # The sequence's frames, where a dataset counts them here (bdd100k, mot-multiclass: also for
    # a class without boxes, whose CLEAR result counts none).
    num_frames: Optional[int] = None

    @classmethod
    def combine(cls, counts: Iterable["Count"]) -> "Count":
        """Summed over sequences (ids of different sequences are different objects); the
        frames are not carried over."""
        counts = list(counts)
        return cls(*(sum(getattr(c, f) for c in counts) for f in ATTRIBUTES["count"]))


@dataclass(frozen=True)
class SequenceFiles:
    """The files of one sequence of one tracker, as a dataset's ``find_run`` lays them out."""

    name: str
    gt: str
    pred: Optional[str]      # None: the tracker has no file for this sequence
    seqinfo: Optional[str]   # the sequence's seqinfo.ini, when there is one
    num_frames: Optional[int] = None  # the length a KITTI seqmap gives


@dataclass(frozen=True)
class Sequence(_Frames):
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


@dataclass(frozen=True)
class MaskSequence(_Frames):
    """One class of one sequence, laid out by frame, ready to score: per frame the ids, the masks
    and the mask IoU matrix (rows ground truth, columns predictions)."""

    gt_ids: list
    gt_masks: list
    pred_ids: list
    pred_masks: list
    similarity: list  # float64 arrays (len(gt_ids[t]), len(pred_ids[t]))
    empty_frames: int = 0  # frames left out, as in Sequence


@dataclass(frozen=True)
class BenchmarkSequence(_Frames):
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

    def arrays(self) -> tuple[list, list, list, list]:
        """(gt_ids, gt_boxes, pred_ids, pred_boxes), as ``vestrim.evaluate`` takes them."""
        return self.gt_ids, self.gt_boxes, self.pred_ids, self.pred_boxes


@dataclass(frozen=True)
class MaskBenchmarkSequence(_Frames):
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

    def arrays(self) -> tuple[list, list, list]:
        """(gt_ids, pred_ids, similarity), as the ``*_from_similarity`` functions take them."""
        return self.gt_ids, self.pred_ids, self.similarity
