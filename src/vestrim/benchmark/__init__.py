"""Scoring trackers on a benchmark's own folder layout, under the benchmark's own rules.

    result = vestrim.evaluate_benchmark("MOT17/train", ["trackers/A", "trackers/B"],
                                        protocol="mot17")

Ground truth is a split folder, ``GT/<seq>/gt/gt.txt`` (with ``GT/<seq>/seqinfo.ini`` giving the
sequence length under a benchmark protocol); each tracker is a folder of ``<seq>.txt`` files
(directly, or in its ``data/`` subfolder). The flow is one way: the protocol's dataset finds and
reads the files and applies the protocol's removals (``vestrim.datasets``), the run is planned
(``plan``), each sequence is scored and the sequences are combined per (tracker, class)
(``score``), into the result model (``result``).
"""

from ..datasets.layouts import read_seqinfo, read_seqmap
from ..datasets.records import (BenchmarkSequence, Count, MaskBenchmarkSequence,
                                SequenceFiles)
from ..errors import BenchmarkError, BenchmarkWarning
from ..fields import ATTRIBUTES, COMBINED, FAMILIES
from .result import BenchmarkResult, SequenceResult, TrackerResult
from .run import evaluate_benchmark, load_benchmark
from .score import score_sequence, score_task

__all__ = [
    "evaluate_benchmark", "load_benchmark", "BenchmarkResult", "TrackerResult",
    "SequenceResult", "Count", "BenchmarkSequence", "MaskBenchmarkSequence", "BenchmarkError",
    "BenchmarkWarning",
    "FAMILIES", "ATTRIBUTES", "COMBINED",
]
