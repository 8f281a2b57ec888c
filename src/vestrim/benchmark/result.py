"""The result model of a benchmark run and its JSON document.

A run gives a ``BenchmarkResult``: one ``TrackerResult`` per (tracker, class), each with a
``SequenceResult`` per sequence and their combination (``COMBINED``). The JSON keys and their
order come from ``vestrim.fields``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional

from ..datasets.records import Count
from ..derived import derived_values, field_values
from ..fields import FAMILIES

__all__ = ["SequenceResult", "TrackerResult", "BenchmarkResult", "Count", "count_values"]


@dataclass(frozen=True)
class SequenceResult:
    """The metrics of one sequence (or of COMBINED). A family not computed is None."""

    name: str
    clear: object
    identity: object
    hota: object
    count: Count
    # Derived records the result holds itself ({"clear": DerivedClear, "hota": DerivedHota}),
    # where they are not those of its counts (class averages, empty multi-class cells).
    derived: Optional[dict] = None

    def derived_clear(self):
        """MTR, PTR, MLR, CLR_F1, FP_per_frame and MOTP_sum (see ``vestrim.derived``)."""
        return derived_values(self.clear, "clear", self.derived)

    def derived_hota(self):
        """DetRe, DetPr, AssRe, AssPr, OWTA, HOTA(0), LocA(0), HOTALocA(0) and their curves."""
        return derived_values(self.hota, "hota", self.derived)

    def to_dict(self, families=FAMILIES) -> dict:
        """The JSON record: one object per computed family, then ``count``."""
        out = {}
        for family in families:
            metrics = getattr(self, family)
            if metrics is not None:
                out[family] = {k: _json_value(v) for k, v in
                               field_values(metrics, family, self.derived).items()}
        out["count"] = count_values(self.count)
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


def count_values(count: Count) -> dict:
    """The JSON record of a ``Count`` (with ``num_frames`` where the count holds it)."""
    out = field_values(count, "count")
    if count.num_frames is not None:
        out["num_frames"] = count.num_frames
    return out


def _json_value(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple)):
        return [_json_value(v) for v in value]
    return value
