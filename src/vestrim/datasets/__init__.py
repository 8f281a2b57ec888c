"""The dataset families, one module each, behind the same hooks, and the registry that a
protocol row's ``dataset`` names.

Every dataset module provides:

``find_run(gt, proto, seqmap, split) -> Run``
    Which ground-truth files make a run: the sequences to score, in order, with what their
    layout says about each (seqinfo.ini, a seqmap's length), and the names of every sequence the
    folder holds (a ground-truth file on its own is one sequence). Raises ``BenchmarkError``.
``load(files, proto, classes, skip_empty) -> list``
    One tracker's sequence under the protocol: read both files, apply the protocol's removal
    steps (numbered in the docstring beside the code that performs them) and lay the frames
    out; one ``BenchmarkSequence`` (or ``MaskBenchmarkSequence``) per class scored. Raises
    ``MotFormatError`` for a file.

A dataset that is not scored sequence by sequence (one that sweeps a threshold over all the
scenes of a class at once) adds a third hook, ``score(gt, trackers, options)``, which
``evaluate_benchmark`` calls in place of planning and scoring sequence by sequence, and
``load_run(gt, tracker, options)`` for ``load_benchmark`` (see ``nuscenes``).

Adding a dataset: one module here with these hooks, one protocol row naming it, one entry below.
"""

from __future__ import annotations

import importlib
from types import ModuleType

from ..protocols import Protocol

__all__ = ["DATASETS", "dataset"]

# The module of each dataset, imported on first use: a run loads only the readers it scores with.
DATASETS: dict[str, str] = {
    "motchallenge": "motchallenge",
    "kitti": "kitti",
    "mots": "mots",
    "bdd100k": "bdd100k",
    "multiclass": "multiclass",
    "nuscenes": "nuscenes",
}


def dataset(proto: Protocol) -> ModuleType:
    """The dataset module of a protocol row."""
    return importlib.import_module(f"{__name__}.{DATASETS[proto.dataset]}")
