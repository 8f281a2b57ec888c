"""KITTI tracking: label files, seqmaps, and the benchmark's per-class removals (2D boxes).

The code lives in ``vestrim.datasets.kitti``; this module keeps its public names where they have
always been.
"""

from .datasets.kitti import (DONTCARE_OVERLAP, KITTI_CLASSES, KITTI_TYPES, MAX_OCCLUDED,
                             MAX_TRUNCATED, MIN_HEIGHT, KittiTable, kitti_sequence, read_kitti,
                             read_kitti_seqmap, span_frames)
from .datasets.text import EPSILON, REMOVAL_THRESHOLD

__all__ = ["KittiTable", "KITTI_TYPES", "KITTI_CLASSES", "read_kitti", "read_kitti_seqmap",
           "kitti_sequence", "span_frames", "EPSILON", "REMOVAL_THRESHOLD", "MIN_HEIGHT",
           "MAX_OCCLUDED", "MAX_TRUNCATED", "DONTCARE_OVERLAP"]
