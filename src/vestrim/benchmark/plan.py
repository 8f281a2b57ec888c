"""Planning a run: which files each tracker is scored on.

The protocol's dataset finds the ground-truth side (``find_run``); this pairs every sequence with
each tracker's file (``<seq>.txt``, directly in the tracker folder or in its ``data/``
subfolder), refuses what cannot be scored and warns about what is skipped.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..datasets import dataset
from ..datasets.layouts import list_dir, warn
from ..datasets.records import SequenceFiles
from ..errors import BenchmarkError
from ..protocols import Protocol

__all__ = ["Tracker", "plan"]


@dataclass(frozen=True)
class Tracker:
    name: str
    path: str
    sequences: tuple  # SequenceFiles, in scoring order


def _exists(path: str) -> None:
    if not os.path.exists(path):
        raise BenchmarkError(f"cannot read {path}: no such file or directory")


def _tracker_name_and_folder(path: str):
    folder = path
    data = os.path.join(path, "data")
    if os.path.isdir(data):
        folder = data
    name = os.path.basename(os.path.normpath(os.path.abspath(path)))
    if name == "data":
        name = os.path.basename(os.path.dirname(os.path.normpath(os.path.abspath(path))))
    return name, folder


def _unique_names(trackers: list) -> list:
    seen: dict[str, str] = {}
    for t in trackers:
        if t.name in seen:
            raise BenchmarkError(f"two trackers are named {t.name}: {seen[t.name]} and {t.path}")
        seen[t.name] = t.path
    return trackers


def plan(gt, trackers, proto: Protocol, seqmap, split=None) -> list:
    """Which files each tracker is scored on: a ``Tracker`` per tracker, in the order given."""
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
        [only] = dataset(proto).find_run(gt, proto, seqmap, split).sequences
        out = []
        for path in trackers:
            name = os.path.splitext(os.path.basename(path))[0]
            out.append(Tracker(name, path, (SequenceFiles(name, gt, path, only.seqinfo),)))
        return _unique_names(out)
    if not os.path.isdir(gt) or not all(os.path.isdir(p) for p in trackers):
        raise BenchmarkError("GT and PRED must both be files (one sequence) or both be folders")
    run = dataset(proto).find_run(gt, proto, seqmap, split)
    sequences = run.sequences
    extension = getattr(dataset(proto), "PRED_EXTENSION", ".txt")
    named = [(*_tracker_name_and_folder(path), path) for path in trackers]
    _unique_names([Tracker(name, path, ()) for name, _, path in named])
    out = []
    for name, folder, path in named:
        files = []
        missing = []
        for seq in sequences:
            pred = os.path.join(folder, seq.name + extension)
            if not os.path.isfile(pred):
                missing.append(pred)
                pred = None
            files.append(SequenceFiles(seq.name, seq.gt, pred, seq.seqinfo, seq.num_frames))
        if len(missing) == len(sequences):
            raise BenchmarkError(f"tracker {name} ({folder}) has none of the {len(sequences)} "
                                 f"scored sequences (expected <sequence>{extension} files in "
                                 f"it)")
        if missing:
            if proto.is_benchmark:
                raise BenchmarkError(f"tracker {name} is incomplete: {len(missing)} of "
                                     f"{len(sequences)} sequences missing, e.g. no {missing[0]}")
            for pred in missing:
                seq_name = os.path.splitext(os.path.basename(pred))[0]
                warn(f"no prediction file {pred}: sequence {seq_name} scored as an empty output")
        for entry in list_dir(folder):
            stem, ext = os.path.splitext(entry)
            if ext == extension and stem not in run.names:
                warn(f"ignoring {os.path.join(folder, entry)}: no ground truth for "
                     f"sequence {stem}")
        out.append(Tracker(name, path, tuple(files)))
    return out
