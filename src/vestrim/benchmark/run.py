"""The two entry points of a benchmark run: ``evaluate_benchmark`` (plan, score, combine) and
``load_benchmark`` (the sequences of one tracker as they are scored)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Literal, Optional, Union, overload

from ..combination import combine_classes
from ..datasets import dataset
from ..fields import CLASS_AVERAGED, COMBINED, DETECTION_AVERAGED
from ..options import ClassMap, run_options
from ..protocols import protocol as find_protocol
from .plan import plan
from .result import BenchmarkResult, Count, SequenceResult, TrackerResult
from .score import combined, load, score_all

if TYPE_CHECKING:
    from ..datasets.nuscenes import NuscenesResult

__all__ = ["evaluate_benchmark", "load_benchmark", "score_plan"]


def _whole_dataset_hook(options, seqmap, name: str):
    """The dataset's ``name`` hook when it handles all its scenes at once (no sequence map
    applies then), else None."""
    hook = getattr(dataset(options.protocol), name, None)
    if hook is not None and seqmap is not None:
        raise ValueError(f"seqmap does not apply under {options.protocol.name}")
    return hook


def _options(protocol, classes, **kwargs):
    # The Python API takes one `classes`: numbers under plain, names under a benchmark protocol.
    benchmark = find_protocol(protocol).is_benchmark
    return run_options(protocol, classes=classes if benchmark else None,
                       gt_classes=None if benchmark else classes, **kwargs)


def load_benchmark(gt, tracker, *, protocol="plain", seqmap=None, classes=None,
                   split=None, class_names=None, ignore_classes=None) -> list:
    """The sequences of one tracker as they are scored: each a ``BenchmarkSequence`` with its
    name, class and per-frame ids and boxes after the protocol's removals (a
    ``MaskBenchmarkSequence`` with masks and their IoU matrices under ``kitti-mots`` and
    ``mots20``), in scoring order, the classes of a sequence together.

    Under ``plain``, ``classes`` keeps only ground truth whose 8th value is one of the given
    integers; under a benchmark protocol it selects among the classes the protocol scores, by
    name. ``split`` names the seqmap read under ``kitti`` and ``kitti-mots`` when no ``seqmap``
    is given; ``class_names`` and ``ignore_classes`` are those of ``evaluate_benchmark`` under
    ``mot-multiclass``. Under ``bdd100k`` and ``mot-multiclass`` the frames are numbered from 0
    and the ids are relabelled per (sequence, class). Raises ``BenchmarkError`` for an unusable
    layout and ``MotFormatError`` for a file.
    """
    options = _options(protocol, classes, split=split, class_names=class_names,
                       ignore_classes=ignore_classes)
    whole = _whole_dataset_hook(options, seqmap, "load_run")
    if whole is not None:
        return whole(gt, tracker, options)
    [tracker_plan] = plan(gt, [tracker], options.protocol, seqmap, options.split)
    out = []
    for files in tracker_plan.sequences:
        out.extend(load(files, options.protocol, options.classes, skip_empty=False))
    return out


@overload
def evaluate_benchmark(gt, trackers, *, protocol: Literal["nuscenes"], seqmap=None, classes=None,
                       metrics=None, jobs: int = 1, iou_threshold: Optional[float] = None,
                       split: Optional[str] = None,
                       progress: Optional[Callable[[int, int, str], None]] = None,
                       class_names=None, ignore_classes=None) -> "NuscenesResult": ...


@overload
def evaluate_benchmark(gt, trackers, *, protocol=..., seqmap=None, classes=None,
                       metrics=None, jobs: int = 1, iou_threshold: Optional[float] = None,
                       split: Optional[str] = None,
                       progress: Optional[Callable[[int, int, str], None]] = None,
                       class_names=None, ignore_classes=None) -> BenchmarkResult: ...


def evaluate_benchmark(gt, trackers, *, protocol="plain", seqmap=None, classes=None,
                       metrics=None, jobs: int = 1, iou_threshold: Optional[float] = None,
                       split: Optional[str] = None,
                       progress: Optional[Callable[[int, int, str], None]] = None,
                       class_names=None, ignore_classes=None
                       ) -> Union[BenchmarkResult, "NuscenesResult"]:
    """Score one or several trackers on a benchmark folder under a protocol.

    ``gt`` is a split folder (``<seq>/gt/gt.txt`` per sequence) or one ground-truth file;
    ``trackers`` a list of tracker folders (``<seq>.txt`` files, directly or under ``data/``)
    or, with a ground-truth file, prediction files. ``protocol`` is ``"plain"``, ``"mot15"``,
    ``"mot16"``, ``"mot17"``, ``"mot20"``, ``"kitti"``, ``"kitti-mots"``, ``"mots20"``, ``"bdd100k"``,
    ``"mot-multiclass"`` or ``"nuscenes"`` (a dataset version folder, results files and a
    required ``split``; returns a ``NuscenesResult``, see ``vestrim.datasets.nuscenes``) (see
    ``vestrim.protocols``; the KITTI layouts keep their sequences as ``label_02/<seq>.txt`` and
    ``instances_txt/<seq>.txt``); ``seqmap`` a sequence map file choosing and ordering the
    sequences (under the KITTI protocols a KITTI seqmap, by default the one of ``split``,
    ``"training"`` under ``kitti`` and ``"val"`` under ``kitti-mots``); ``metrics`` a subset of
    ``("clear", "identity", "hota")``; ``iou_threshold`` applies under ``plain`` (0.5 by
    default; benchmark protocols fix it at 0.5). ``jobs`` > 1 scores the (tracker, sequence)
    pairs on that many local worker processes (at most the usable cores), with the same result,
    warnings and first error as one at a time. ``progress(done, total, label)`` is called after each scored pair. Returns a
    ``BenchmarkResult`` with, per (tracker, class), the per-sequence results and their
    combination.

    ``"bdd100k"`` reads a folder of ``<video>.json`` files (every entry a video) and reports the
    selected ``classes`` in the order given. ``"mot-multiclass"`` reads MOTChallenge-format
    files whose 8th value is a class: ``class_names`` maps class numbers to names (required,
    e.g. ``{1: "pedestrian", 3: "car"}``), ``ignore_classes`` marks ground-truth ignore regions
    (e.g. ``{13}``) and ``classes`` selects names. Under ``kitti``, ``bdd100k`` and
    ``mot-multiclass`` each tracker's classes are followed by their class-averaged and
    detection-averaged combinations (labels ``cls_comb_cls_av``, ``cls_comb_det_av``) and, under
    ``bdd100k``, the super-categories ``HUMAN``, ``VEHICLE`` and ``BIKE``: entries without
    sequences (see ``vestrim.combination``).
    """
    options = _options(protocol, classes, metrics=metrics, iou_threshold=iou_threshold,
                       split=split, jobs=jobs, class_names=class_names,
                       ignore_classes=ignore_classes)
    whole = _whole_dataset_hook(options, seqmap, "score")
    if whole is not None:
        return whole(gt, trackers, options)
    trackers_plan = plan(gt, trackers, options.protocol, seqmap, options.split)
    return score_plan(trackers_plan, options, progress)


def score_plan(trackers_plan: list, options,
               progress: Optional[Callable[[int, int, str], None]] = None) -> BenchmarkResult:
    """Scores every tracker of a plan (``plan.Tracker``s) under checked ``options`` (a
    ``RunOptions``) and combines its sequences, in the plan's order, per (tracker, class)."""
    proto, families, chosen = options.protocol, options.families, options.classes
    tasks = [(t, files) for t in trackers_plan for files in t.sequences]
    scored = score_all(tasks, (proto.name, chosen, families, options.iou_threshold),
                       options.jobs, progress)
    per_tracker: dict = {t.name: {} for t in trackers_plan}
    for (tracker, _), results in zip(tasks, scored):
        for class_name, result in results:
            per_tracker[tracker.name].setdefault(class_name, []).append(result)
    if isinstance(chosen, ClassMap):
        class_order = chosen.selected
    elif proto.selection_order:
        class_order = chosen
    else:
        class_order = (proto.classes or ()) if proto.is_benchmark else (None,)
    out = []
    for t in trackers_plan:
        entries = []
        for class_name in class_order:
            if (chosen is not None and proto.is_benchmark and not proto.selection_order
                    and class_name not in chosen):
                continue
            results = per_tracker[t.name].get(class_name, [])
            entries.append(TrackerResult(t.name, class_name, tuple(results),
                                         combined(results, families, proto.convention)))
        out += entries
        if proto.class_combinations and entries:
            out += _class_combinations(entries, families, proto.super_categories)
    return BenchmarkResult(proto.name, options.iou_threshold, families, tuple(out))


def _class_combinations(entries: list, families, super_categories) -> list:
    """The entries combining one tracker's classes (no sequences, only COMBINED): class-averaged,
    detection-averaged, then each super-category with a selected member."""
    tracker = entries[0].tracker

    def entry(label: str, members: list, averaged: bool) -> TrackerResult:
        values, derived = combine_classes(members, families, averaged)
        result = SequenceResult(COMBINED, values.get("clear"), values.get("identity"),
                                values.get("hota"), Count.combine(m.count for m in members),
                                derived or None)
        return TrackerResult(tracker, label, (), result)

    results = [e.combined for e in entries]
    out = [entry(CLASS_AVERAGED, results, True), entry(DETECTION_AVERAGED, results, False)]
    for label, classes in super_categories:
        members = [e.combined for e in entries if e.class_name in classes]
        if members:
            out.append(entry(label, members, False))
    return out
