"""The event files of a run (the command line's ``--events DIR``): for every (tracker, class,
sequence), ``DIR/<tracker>/<class>/<sequence>/`` holds ``events.csv``, ``gt_tracks.csv`` and
``pred_tracks.csv``, and, when asked, ``<timelines>/<tracker>/<class>/<sequence>.png`` its timeline.
A plain run's class folder is ``all``. Each file depends on its sequence only, so a pooled run
writes the very bytes of a serial one."""

from __future__ import annotations

import os
import warnings
from typing import Optional

import numpy as np

from . import _native
from .benchmark.plan import plan
from .benchmark.score import load
from .datasets import dataset
from .datasets.layouts import FIRST_FRAME
from .datasets.records import SequenceFiles
from .events import EventLog, GtTrackTable, TrackTables, frame_events_for, track_table_for
from .options import RunOptions
from .pool import local_pool, run_tasks
from .protocols import protocol as find_protocol

__all__ = ["write_event_files", "write_run_events", "events_supported", "PLAIN_CLASS"]

PLAIN_CLASS = "all"  # the class folder of a plain run, which scores every class together


def events_supported(options: RunOptions) -> bool:
    """Whether a protocol's runs have event files: those scored sequence by sequence (a dataset
    that sweeps a threshold over whole classes has no per-sequence matching to show)."""
    return not hasattr(dataset(options.protocol), "score")


def _csv_ids(ids: np.ndarray, present: np.ndarray) -> list[str]:
    return [str(i) if p else "" for i, p in zip(ids.tolist(), present.tolist())]


def _csv_floats(values: np.ndarray) -> list[str]:
    return ["" if v != v else repr(v) for v in values.tolist()]  # NaN: an empty field


def _write_csv(path: str, header: tuple[str, ...], columns: list[list[str]]) -> None:
    lines = [",".join(header)]
    lines += [",".join(row) for row in zip(*columns)]
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


def write_event_files(directory: str, log: EventLog, tables: TrackTables) -> list[str]:
    """Write ``events.csv``, ``gt_tracks.csv`` and ``pred_tracks.csv`` of one sequence into
    ``directory`` (created if need be); returns the paths. Absent ids and similarities are empty
    fields, kinds and classes their names, floats written exactly (shortest round-trip form)."""
    os.makedirs(directory, exist_ok=True)
    paths = [os.path.join(directory, name) for name in ("events.csv", "gt_tracks.csv", "pred_tracks.csv")]
    flag = lambda a: a.view(np.uint8)  # noqa: E731
    with open(paths[0], "wb") as f:
        f.write(_native.events_csv(log.frame, log.kind, log.gt_id, log.pred_id, flag(log.has_gt),
                                   flag(log.has_pred), log.similarity, flag(log.from_switch_matcher)))
    as_text = lambda a: [str(v) for v in a.tolist()]  # noqa: E731
    gt = tables.gt
    _write_csv(paths[1], ("id", "frames", "matched", "ratio", "class", "frag", "switches", "partner", "idtp",
                          "association"),
               [as_text(gt.id), as_text(gt.frames), as_text(gt.matched), _csv_floats(gt.ratio),
                [GtTrackTable.CLASSES[c] for c in gt.track_class.tolist()], as_text(gt.frag), as_text(gt.switches),
                _csv_ids(gt.partner, gt.has_partner), as_text(gt.idtp), _csv_floats(gt.association)])
    pred = tables.pred
    _write_csv(paths[2], ("id", "frames", "matched", "gt_covered", "idfp"),
               [as_text(pred.id), as_text(pred.frames), as_text(pred.matched), as_text(pred.gt_covered),
                as_text(pred.idfp)])
    return paths


def write_sequence_events(files: SequenceFiles, tracker: str, protocol_name: str, classes, iou_threshold: float,
                          events_dir: str, timelines_dir: Optional[str]) -> None:
    """Load one tracker's sequence (every frame laid out) and write the event files of each class
    scored. A top-level function of plain arguments, for worker processes. The loading warnings
    were issued by the scoring run already and are not repeated."""
    proto = find_protocol(protocol_name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sequences = load(files, proto, classes, skip_empty=False)
    for seq in sequences:
        class_folder = seq.class_name or PLAIN_CLASS
        log = frame_events_for(seq, proto, iou_threshold=iou_threshold)
        tables = track_table_for(seq, proto, iou_threshold=iou_threshold)
        write_event_files(os.path.join(events_dir, tracker, class_folder, seq.name), log, tables)
        if timelines_dir is not None:
            from .timeline import timeline_figure

            first = FIRST_FRAME[proto.layout]
            title = f"{tracker}, {class_folder}, {seq.name}"
            figure = timeline_figure(log, frames=(first, first + max(seq.num_frames, 1) - 1), title=title)
            folder = os.path.join(timelines_dir, tracker, class_folder)
            os.makedirs(folder, exist_ok=True)
            figure.savefig(os.path.join(folder, f"{seq.name}.png"), format="png", dpi=figure.dpi)


def write_run_events(gt, trackers, options: RunOptions, *, seqmap=None, events_dir: str,
                     timelines_dir: Optional[str] = None) -> None:
    """Write the event files of every (tracker, sequence) of a run, on ``options.jobs`` processes
    when there are several. The first failure, in (tracker, sequence) order, is raised."""
    trackers_plan = plan(gt, trackers, options.protocol, seqmap, options.split)
    tasks = [(t.name, files) for t in trackers_plan for files in t.sequences]
    args = (options.protocol.name, options.classes, options.iou_threshold, events_dir, timelines_dir)
    pool = None
    if options.jobs > 1 and len(tasks) > 1:
        try:
            pool = local_pool(min(options.jobs, len(tasks)))
        except (OSError, ImportError, NotImplementedError):  # no process support here
            pool = None
    if pool is None:
        for name, files in tasks:
            write_sequence_events(files, name, *args)
        return
    errors: dict[int, Exception] = {}
    with pool:
        run_tasks(pool, [(k, write_sequence_events, (files, name, *args)) for k, (name, files) in enumerate(tasks)],
                  lambda k, _, error: errors.__setitem__(k, error) if error is not None else None,
                  failed=lambda _, error: error is not None)
    if errors:
        raise errors[min(errors)]
