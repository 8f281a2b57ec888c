"""Scoring a planned run: every (tracker, sequence) loaded by its dataset and scored, serially or
on a pool of local processes, and the sequences of each (tracker, class) combined.

A pooled run reads as the serial one: results in task order, warnings replayed and the first
failure raised in that order.
"""

from __future__ import annotations

import os
import warnings
from dataclasses import replace
from typing import Callable, Optional

from .. import _native, _vestrim
from ..combination import combine_sequences, copy_clear
from ..derived import DerivedClear, combine_derived_clear, native_derived_clear
from ..datasets import dataset
from ..datasets.records import (BenchmarkSequence, Count, MaskBenchmarkSequence,
                                SequenceFiles)
from ..datasets.frames import id_views
from ..datasets.text import keep_last_gt
from ..fields import COMBINED, FAMILIES
from ..pool import local_pool, run_tasks
from ..protocols import Protocol, protocol as find_protocol
from .result import SequenceResult

__all__ = ["load", "score_sequence", "score_task", "score_all", "combined"]


def load(files: SequenceFiles, proto: Protocol, chosen, *, skip_empty: bool) -> list:
    """The scored sequences of one tracker's files; with ``skip_empty`` each lists only the
    frames with a box on either side (see ``BenchmarkSequence.empty_frames``)."""
    sequences = dataset(proto).load(files, proto, chosen, skip_empty)
    if proto.is_benchmark and chosen is not None and not proto.selection_order:
        sequences = [s for s in sequences if s.class_name in chosen]
    return sequences


def _metrics(seq: BenchmarkSequence | MaskBenchmarkSequence, proto: Protocol, families,
             iou_threshold: float) -> dict[str, object]:
    # One pass computes each frame's IoU matrix once for all three families, and counts the frames
    # left out of the lists (a sequence with such frames is scored whole this way even when fewer
    # families are asked for).
    # CLEAR comes with its derived record (which needs the matches' exact summed similarity).
    if isinstance(seq, MaskBenchmarkSequence):  # the mask protocols are benchmark protocols
        metrics = _native.evaluate_from_similarity(*seq.arrays(), iou_threshold, proto.convention,
                                                   empty_frames=seq.empty_frames, extra=True)
    elif proto.is_benchmark or seq.empty_frames or set(families) == set(FAMILIES):
        metrics = _native.evaluate(*seq.arrays(), iou_threshold, proto.convention,
                                   empty_frames=seq.empty_frames, extra=True)
    else:
        return _module_metrics(seq, families, iou_threshold)
    computed = dict(zip(FAMILIES, metrics))
    out = {f: computed[f] for f in families}
    if "clear" in families:
        out["derived_clear"] = native_derived_clear(metrics[3])
    return out


def _module_metrics(seq: BenchmarkSequence, families, iou_threshold: float) -> dict[str, object]:
    """Only the families asked for, one at a time, with the module's conventions."""
    args = seq.arrays()
    out: dict[str, object] = {}
    for family in families:
        if family == "clear":
            out[family], extra = _native.evaluate_clear(*args, iou_threshold)
            out["derived_clear"] = native_derived_clear(extra)
        elif family == "identity":
            out[family] = _vestrim.compute_identity(*args, iou_threshold=iou_threshold)
        else:
            out[family] = _vestrim.compute_hota(*args)
    return out


def score_sequence(files: SequenceFiles, protocol_name: str, classes, families,
                   iou_threshold: float) -> list:
    """Load and score one tracker's sequence: [(class name, SequenceResult)]. A top-level
    function of plain arguments, so that sequences can be scored in other processes."""
    proto = find_protocol(protocol_name)
    out = []
    with id_views():  # the sequences go to the native evaluation only
        sequences = load(files, proto, classes, skip_empty=True)
    for seq in sequences:
        m = _metrics(seq, proto, families, iou_threshold)
        record = m.get("derived_clear")
        result = SequenceResult(seq.name, m.get("clear"), m.get("identity"), m.get("hota"),
                                seq.count, {"clear": record} if record is not None else None)
        if proto.empty_cells and (seq.count.num_pred == 0 or seq.count.num_gt == 0):
            result = _empty_cell(result)
        out.append((seq.class_name, result))
    return out


def _empty_cell(result: SequenceResult) -> SequenceResult:
    """A (sequence, class) without predictions or without ground truth, as the multi-class
    protocols report it: CLEAR counts 0 frames, and MLR is 1 with every other ratio 0 (the
    metrics themselves already give 0, and LocA 1)."""
    if result.clear is None:
        return result
    clear = copy_clear(result.clear)
    clear = replace(clear, num_frames=0, motp_sum=0.0)
    return replace(result, clear=clear,
                   derived={"clear": DerivedClear(0.0, 0.0, 1.0, 0.0, 0.0, 0.0)})


def score_task(files: SequenceFiles, protocol_name: str, classes, families,
               iou_threshold: float) -> tuple:
    """``score_sequence`` in a worker process: (its result or None, the exception it raised or
    None, the warnings it issued as (warning, file, line)), so that the caller can replay the
    warnings and pick the failure in its own order."""
    keep_last_gt()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result, error = score_sequence(files, protocol_name, classes, families,
                                           iou_threshold), None
        except Exception as e:  # replayed by the caller in its order
            result, error = None, e
    return result, error, [(w.message, w.filename, w.lineno) for w in caught]


def score_all(tasks: list, args: tuple, jobs: int,
              progress: Optional[Callable[[int, int, str], None]]) -> list:
    """The results of ``score_sequence`` for every (tracker, files) task, in task order. (A
    dataset scored over all its sequences at once, with a ``score`` hook, is scored in its place.)

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
        try:
            pool = local_pool(min(jobs, total))
        except (OSError, ImportError, NotImplementedError):  # no process support here
            pool = None
    if pool is None:
        out = []
        for k, (tracker, files) in enumerate(tasks):
            try:
                out.append(score_sequence(files, *args))
            except Exception as e:
                _note_task(e, tracker, files)
                raise
            report(k + 1, k)
        return out

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
                _note_task(failure, *tasks[replayed])
                raise failure
            replayed += 1

    def size(path: str) -> int:
        try:
            return os.path.getsize(path)
        except OSError:
            return 0

    order = sorted(range(total), key=lambda k: (-size(tasks[k][1].gt), tasks[k][1].gt, k))
    with pool:
        run_tasks(pool, [(k, score_task, (tasks[k][1], *args)) for k in order], finished,
                  failed=lambda outcome, error: error is not None or outcome[1] is not None)
    return [outcome[0] for outcome in outcomes]


def _note_task(error: Exception, tracker, files: SequenceFiles) -> None:
    error.add_note(f"while scoring tracker {tracker.name} on sequence {files.name}")


def combined(results: list, families, convention: str) -> SequenceResult:
    """The COMBINED row of a (tracker, class): each family's sequences combined, counts and sums
    added in the order of ``results`` (MOTP and sMOTA from the sequences' exact summed
    similarities, kept in their derived CLEAR records)."""
    stored = [(r.derived or {}).get("clear") for r in results]
    records = [r for r in stored if r is not None]
    exact = "clear" in families and len(records) == len(stored)
    values = combine_sequences(results, families, convention,
                               motp_sums=[r.motp_sum for r in records] if exact else None)
    derived = None
    if exact:
        derived = {"clear": combine_derived_clear([r.clear for r in results], records)}
    return SequenceResult(COMBINED, values.get("clear"), values.get("identity"),
                          values.get("hota"), Count.combine(r.count for r in results), derived)
