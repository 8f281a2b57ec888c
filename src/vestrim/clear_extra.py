"""The CLEAR columns benchmark tables print beside CLEAR MOT's own record: F1, false positives per
frame, the summed overlap of the matches (MOTP's numerator), the frames counted, and the shares of
mostly tracked, partially tracked and mostly lost trajectories.

``ClearMetrics`` cannot hold them, so they travel beside it in a ``ClearExtra``, filled by the
native evaluation for a sequence and by the same native finaliser for a combination:

* CLR_F1 = TP / max(1, TP + FN / 2 + FP / 2);
* FP_per_frame = FP / max(1, CLR_Frames);
* MTR, PTR, MLR = MT, PT, ML / max(1, MT + PT + ML);
* a sequence with nothing on one side (no ground truth or no prediction left) reports every one of
  them 0 (CLR_Frames and MOTP_sum included) except MLR = 1, as the benchmarks do;
* combined: MOTP_sum and CLR_Frames are the sums over the sequences, in the order given, and the
  ratios follow from the summed counts.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable, Sequence

from . import _native

__all__ = ["ClearExtra", "EXTRA_FIELDS", "combine_clear_extra"]


@dataclass(frozen=True)
class ClearExtra:
    clr_f1: float
    fp_per_frame: float
    motp_sum: float
    clr_frames: int
    mtr: float
    ptr: float
    mlr: float


EXTRA_FIELDS = tuple(ClearExtra.__dataclass_fields__)


def combine_clear_extra(clears: Sequence, extras: Iterable[ClearExtra]) -> ClearExtra:
    """The extra columns of a combination of sequences, from their CLEAR records and their own
    extra columns (in the same order)."""
    extras = list(extras)
    motp_sum = 0.0
    for e in extras:
        motp_sum += e.motp_sum
    def total(name: str) -> int:
        return sum(int(getattr(c, name)) for c in clears)

    return ClearExtra(*_native.finalise_clear_extra(
        total("num_matches"), total("num_misses"), total("num_false_positives"), total("mt"),
        total("pt"), total("ml"), sum(e.clr_frames for e in extras), motp_sum))
