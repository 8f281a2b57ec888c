"""The benchmarks' scoring rules, as data.

Each protocol says how its files are read, which ground truth is scored, which predictions are
removed before scoring, and which conventions the metrics follow. The table below is meant to be
checked line by line against a benchmark's own description of its evaluation.

MOTChallenge lines are ``frame, id, x, y, w, h, conf, class, visibility, ...``. The 7th value
(conf) and 8th value (class) are truncated toward zero to integers before any test below.

``plain``
    Scores every ground-truth line whose 7th value is not 0 (optionally only the classes given),
    with the module's own conventions and any IoU threshold.
``mot15``
    Ground-truth lines whose 7th value is 0 are removed; the ground truth's 8th value is never
    read. Nothing is removed from the predictions.
``mot16``, ``mot17``
    Ground-truth classes must be 1 to 13 (checked in frames that have boxes on both sides).
    Per frame, every ground-truth box (any class, zero-marked ones included) is matched one to
    one against every prediction (IoU of at least 0.5); a prediction matched to a distractor
    (classes 2, 7, 8, 12) is removed. Then only class 1 with a non-zero 7th value is scored.
``mot20``
    As ``mot17``, with class 6 (non-motorized vehicle) also a distractor.

Every MOTChallenge protocol refuses a prediction whose class is above 1.

``kitti``
    KITTI tracking, 2D boxes (``GT/label_02/<seq>.txt``, sequences and frame counts from
    ``GT/evaluate_tracking.seqmap.<split>``, frames from 0). Classes car and pedestrian, each
    scored on its own. Ground-truth ``dontcare`` boxes are ignore regions; other lines with a
    negative id are dropped. Per frame, predictions of the class are matched (IoU of at least
    0.5) to the ground truth of the class and of its distractor type (van for car, person for
    pedestrian); a prediction matched to a distractor, or to an object occluded beyond 2 or
    truncated at all, is removed; an unmatched one is removed when at most 25 pixels tall or more
    than half (of its own area) inside a don't-care box. Ground truth of the class with occluded
    <= 2 and truncated <= 0 is scored. See ``vestrim.kitti``.
``kitti-mots``
    KITTI-MOTS, masks (``GT/instances_txt/<seq>.txt``, sequences and last frames from
    ``GT/evaluate_mots.seqmap.<split>``, frames from 0). Classes car (1) and pedestrian (2);
    class 10 marks ignore regions. Masks of a frame must not overlap. Per frame, predictions of
    the class are matched to its ground truth by mask IoU (at least 0.5); an unmatched one more
    than half inside the ignore region is removed. Similarity is mask IoU. See ``vestrim.mots``.
``mots20``
    As ``kitti-mots``, in the MOTChallenge layout (``GT/<seq>/gt/gt.txt``, ``seqinfo.ini``,
    frames from 1), pedestrians only.

``bdd100k``
    BDD100K box tracking (``GT/<video>.json``, every entry of the folder a video; the 2020
    JSON labels, frames paired by their position in ``index`` order). Eight classes, each scored
    on its own; ground-truth labels of a distractor category or with a truthy ``Crowd`` are
    class-agnostic ignore regions. Per (video, class): pre-match, removal of unmatched
    predictions more than half inside an ignore region, ids relabelled, an id twice in a frame
    refused. See ``vestrim.datasets.bdd100k`` and ``vestrim.datasets.cells``. Cells without
    predictions or without ground truth report 0 frames to CLEAR (and MLR 1). Results in the
    order of the selected classes, then the class combinations and the super-categories HUMAN,
    VEHICLE, BIKE.
``mot-multiclass``
    MOTChallenge-format files whose 8th value is a class number, with a class-name map given by
    the caller, optional ignore classes (ground truth of those is an ignore region), and the
    per-(sequence, class) rules of ``bdd100k``; class combinations, no super-categories.

``kitti``, ``bdd100k`` and ``mot-multiclass`` add the class-averaged and detection-averaged
combinations of their classes (see ``vestrim.combination``).

``nuscenes``
    nuScenes 3D tracking: a dataset version folder, one results file per tracker and a split.
    Seven classes, each swept over 40 recall points with centre-distance matching (below 2 m);
    see ``vestrim.datasets.nuscenes``. No IoU threshold, no sequences.

Every other benchmark protocol fixes the IoU threshold at 0.5 and scores with the benchmark conventions
(CLEAR's match continuity across frames, the threshold margins, the benchmark's alpha values).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal, Optional

__all__ = ["Protocol", "PROTOCOLS", "MOT_CLASSES", "BDD_CLASSES", "BDD_SUPER_CATEGORIES",
           "protocol"]

# The MOTChallenge ground-truth classes (8th value).
MOT_CLASSES = {
    1: "pedestrian",
    2: "person on vehicle",
    3: "car",
    4: "bicycle",
    5: "motorbike",
    6: "non-motorized vehicle",
    7: "static person",
    8: "distractor",
    9: "occluder",
    10: "occluder on ground",
    11: "full occluder",
    12: "reflection",
    13: "crowd",
}


# BDD100K's scored classes in table order, and its super-categories.
BDD_CLASSES = ("pedestrian", "rider", "car", "bus", "truck", "train", "motorcycle", "bicycle")
BDD_SUPER_CATEGORIES = (
    ("HUMAN", ("pedestrian", "rider")),
    ("VEHICLE", ("car", "truck", "bus", "train")),
    ("BIKE", ("motorcycle", "bicycle")),
)


@dataclass(frozen=True)
class Protocol:
    """The rules of one benchmark."""

    name: str
    # "module": the library's own conventions; "benchmark": the benchmark's published ones.
    convention: Literal["module", "benchmark"]
    # The dataset module that finds, reads and lays out its files (see vestrim.datasets):
    # "motchallenge", "kitti", "mots", "bdd100k" (JSON) or "multiclass" (MOTChallenge text with
    # a class column).
    dataset: str = "motchallenge"
    # Where a split folder keeps its sequences: "motchallenge" (<seq>/gt/gt.txt and
    # seqinfo.ini), "kitti" (label_02/<seq>.txt, a seqmap of frame counts) or "kitti-mots"
    # (instances_txt/<seq>.txt, a seqmap of last frames) or "bdd100k" (<video>.json, every entry
    # of the folder).
    layout: str = "motchallenge"
    # The split whose seqmap is read when none is given (the KITTI layouts only).
    default_split: Optional[str] = None
    # The classes scored, by name, each giving one result per tracker (None: class-agnostic, or
    # named by the caller under mot-multiclass).
    classes: Optional[tuple[str, ...]] = None
    # The IoU threshold the benchmark fixes (None: any, chosen by the caller).
    iou_threshold: Optional[float] = None
    # Ground truth: lines whose 7th value is 0 are removed.
    drop_zero_marked: bool = True
    # Ground truth: how many leading values are read (the 8th is not read when 7).
    gt_columns: int = 8
    # Ground truth: the valid classes (None: not checked), and the class scored.
    valid_gt_classes: Optional[frozenset] = None
    scored_gt_class: Optional[int] = None
    # Predictions matched to ground truth of these classes are removed before scoring.
    distractor_classes: frozenset = frozenset()
    # The IoU a prediction must reach with a distractor to be removed.
    removal_threshold: float = 0.5
    # Predictions whose class (when written) exceeds this are refused (None: not checked).
    max_pred_class: Optional[int] = None
    # Classes are reported in the order the caller selects them (else in the protocol's order).
    selection_order: bool = False
    # The class-averaged and detection-averaged combinations are reported, and these
    # super-categories ((label, member classes), ...).
    class_combinations: bool = False
    super_categories: tuple = ()
    # A (sequence, class) without predictions or without ground truth reports 0 frames to CLEAR
    # and MLR 1.
    empty_cells: bool = False
    # Scored with the dataset's own metrics (not CLEAR, Identity and HOTA at an IoU threshold):
    # no metric families or IoU threshold to choose, and a split name the dataset resolves,
    # required.
    own_metrics: bool = False

    @property
    def format(self) -> str:
        """The file format of ground truth and predictions: the dataset's name."""
        return self.dataset

    @property
    def is_benchmark(self) -> bool:
        return self.convention == "benchmark"

    @property
    def pred_columns(self) -> int:
        return 8 if self.max_pred_class is not None else 6


_MOT_VALID = frozenset(range(1, 14))
_MOT_DISTRACTORS = frozenset({2, 7, 8, 12})

PROTOCOLS = {
    p.name: p
    for p in [
        Protocol("plain", "module", dataset="motchallenge"),
        Protocol("mot15", "benchmark", dataset="motchallenge",
                 classes=("pedestrian",), iou_threshold=0.5, gt_columns=7, max_pred_class=1),
        Protocol("mot16", "benchmark", dataset="motchallenge",
                 classes=("pedestrian",), iou_threshold=0.5,
                 valid_gt_classes=_MOT_VALID, scored_gt_class=1,
                 distractor_classes=_MOT_DISTRACTORS, max_pred_class=1),
        Protocol("mot17", "benchmark", dataset="motchallenge",
                 classes=("pedestrian",), iou_threshold=0.5,
                 valid_gt_classes=_MOT_VALID, scored_gt_class=1,
                 distractor_classes=_MOT_DISTRACTORS, max_pred_class=1),
        Protocol("mot20", "benchmark", dataset="motchallenge",
                 classes=("pedestrian",), iou_threshold=0.5,
                 valid_gt_classes=_MOT_VALID, scored_gt_class=1,
                 distractor_classes=_MOT_DISTRACTORS | {6}, max_pred_class=1),
        Protocol("kitti", "benchmark", dataset="kitti", layout="kitti",
                 classes=("car", "pedestrian"), iou_threshold=0.5, default_split="training",
                 class_combinations=True),
        Protocol("kitti-mots", "benchmark", dataset="mots", layout="kitti-mots",
                 classes=("car", "pedestrian"), iou_threshold=0.5, default_split="val"),
        Protocol("mots20", "benchmark", dataset="mots", classes=("pedestrian",),
                 iou_threshold=0.5),
        Protocol("bdd100k", "benchmark", dataset="bdd100k", layout="bdd100k",
                 classes=BDD_CLASSES, iou_threshold=0.5, selection_order=True,
                 class_combinations=True, super_categories=BDD_SUPER_CATEGORIES,
                 empty_cells=True),
        Protocol("mot-multiclass", "benchmark", dataset="multiclass", iou_threshold=0.5,
                 selection_order=True, class_combinations=True, empty_cells=True),
        Protocol("nuscenes", "benchmark", dataset="nuscenes", layout="nuscenes",
                 own_metrics=True,
                 classes=("bicycle", "bus", "car", "motorcycle", "pedestrian", "trailer",
                          "truck")),
    ]
}


def protocol(name) -> Protocol:
    """The protocol called ``name`` (a ``Protocol`` is returned as it is)."""
    if isinstance(name, Protocol):
        return name
    try:
        return PROTOCOLS[name]
    except (KeyError, TypeError):
        raise ValueError(f"unknown protocol {name!r} (choose from "
                         f"{', '.join(PROTOCOLS)})") from None
