"""Segmentation tracking (KITTI-MOTS, MOTS20): mask files and the benchmark's rules.

The code lives in ``vestrim.datasets.mots``; this module keeps its public names where they have
always been.
"""

from .datasets.mots import (IGNORE_CLASS, IGNORE_OVERLAP, MOTS_CLASSES, MaskSequence, MotsTable,
                            mots_sequence, read_mots)

__all__ = ["MotsTable", "MaskSequence", "MOTS_CLASSES", "IGNORE_CLASS", "read_mots",
           "mots_sequence", "IGNORE_OVERLAP"]
