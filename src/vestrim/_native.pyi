# Type information for the package's private native module vestrim._native (not a public
# interface): one section per family, as native.cpp registers them.
from collections.abc import Sequence
from typing import Any, Literal

from ._vestrim import (
    Accumulator,
    AccumulatorResult,
    ClearMetrics,
    EvaluationResult,
    HotaMetrics,
    IdentityMetrics,
    Mask,
    Matching,
    QuorvantixSwitchEvents,
)

# The largest frame number and box coordinate magnitude that every reader accepts.
MAX_FRAME: int
MAX_COORDINATE: float

# Readers: MOTChallenge text into (frames, ids, boxes, conf, classes, lines, last_frame); KITTI
# labels into (frames, ids, types, truncated, occluded, boxes, lines); mask files into (frames, ids,
# classes, sizes, areas, masks, lines).
def read_mot(data: Any, columns: int, repeats: bool = True) -> tuple[Any, Any, Any, Any, Any, Any, int]: ...
def read_kitti(data: Any) -> tuple[Any, Any, Any, Any, Any, Any, Any]: ...
def read_mots(data: Any) -> tuple[Any, Any, Any, Any, Any, list[Mask], Any]: ...

# Evaluation under a convention, the benchmarks' removal matching, HOTA's alphas and means.
def evaluate(
    gt_ids: Any,
    gt_boxes: Any,
    pred_ids: Any,
    pred_boxes: Any,
    iou_threshold: float = 0.5,
    convention: Literal["module", "benchmark"] = "module",
    empty_frames: int = 0,
    extra: bool = False,
) -> tuple[Any, ...]: ...
def evaluate_from_similarity(
    gt_ids: Any,
    pred_ids: Any,
    similarity: Any,
    threshold: float = 0.5,
    convention: Literal["module", "benchmark"] = "module",
    empty_frames: int = 0,
    extra: bool = False,
) -> tuple[Any, ...]: ...
def evaluate_clear(
    gt_ids: Any,
    gt_boxes: Any,
    pred_ids: Any,
    pred_boxes: Any,
    iou_threshold: float = 0.5,
    convention: Literal["module", "benchmark"] = "module",
    empty_frames: int = 0,
) -> tuple[ClearMetrics, tuple[float, float, float, int, float, float, float]]: ...
def removal_matches(gt_boxes: Any, pred_boxes: Any, threshold: float = 0.5) -> list[Any]: ...
def removal_matches_from_similarity(similarity: Any, threshold: float = 0.5) -> list[Any]: ...
def removal_matches_rows(
    gt_frames: Any, gt_boxes: Any, pred_frames: Any, pred_boxes: Any, threshold: float = 0.5
) -> Any: ...
def alpha_mean(values: Sequence[float]) -> float: ...
def benchmark_alphas() -> list[float]: ...

# Event logs and per-track tables: their columns as new arrays.
def frame_events(
    gt_ids: Any,
    gt_boxes: Any,
    pred_ids: Any,
    pred_boxes: Any,
    iou_threshold: float = 0.5,
    box_format: str = "xyxy",
    convention: Literal["module", "benchmark"] = "module",
    frame_numbers: Sequence[int] | None = None,
) -> tuple[Any, ...]: ...
def frame_events_from_similarity(
    gt_ids: Any,
    pred_ids: Any,
    similarity: Any,
    threshold: float = 0.5,
    convention: Literal["module", "benchmark"] = "module",
    frame_numbers: Sequence[int] | None = None,
) -> tuple[Any, ...]: ...
def track_table(
    gt_ids: Any,
    gt_boxes: Any,
    pred_ids: Any,
    pred_boxes: Any,
    iou_threshold: float = 0.5,
    box_format: str = "xyxy",
    convention: Literal["module", "benchmark"] = "module",
) -> tuple[tuple[Any, ...], tuple[Any, ...]]: ...
def track_table_from_similarity(
    gt_ids: Any,
    pred_ids: Any,
    similarity: Any,
    threshold: float = 0.5,
    convention: Literal["module", "benchmark"] = "module",
) -> tuple[tuple[Any, ...], tuple[Any, ...]]: ...

def events_csv(
    frame: Any, kind: Any, gt_id: Any, pred_id: Any, has_gt: Any, has_pred: Any, similarity: Any, from_switch_matcher: Any
) -> bytes: ...

# Masks: run lengths into NumPy bool arrays, (H, W) for one mask, (N, H, W) for a list.
def nuscenes_score(
    scene_offsets: Any, timestamps: Any, gt_offsets: Any, gt_ids: Any, gt_classes: Any, gt_xy: Any,
    pred_offsets: Any, pred_ids: Any, pred_classes: Any, pred_xy: Any, pred_scores: Any,
    classes: Any, threads: int = 1,
) -> tuple[list[tuple[list[float], list[float], list[float], list[list[float]]]], list[float]]: ...
def nuscenes_box_reader() -> tuple[Any, Any, Any]: ...
def nuscenes_quote_literals(data: bytes) -> tuple[bytes, int]: ...

def mask_to_array(masks: Mask | Sequence[Mask], order: Literal["F", "C"] = "F") -> Any: ...

# Pickling: the reduction of a result or an Accumulator, and the rebuilders it names.
def reduce(obj: object, /) -> tuple[Any, tuple[Any, ...]]: ...
def rebuild_clear_metrics(*fields: Any) -> ClearMetrics: ...
def rebuild_identity_metrics(*fields: Any) -> IdentityMetrics: ...
def rebuild_hota_metrics(*fields: Any) -> HotaMetrics: ...
def rebuild_matching(*fields: Any) -> Matching: ...
def rebuild_switch_events(*fields: Any) -> QuorvantixSwitchEvents: ...
def rebuild_evaluation_result(*fields: Any) -> EvaluationResult: ...
def rebuild_accumulator_result(*fields: Any) -> AccumulatorResult: ...
def rebuild_mask(*fields: Any) -> Mask: ...
def rebuild_accumulator(*fields: Any) -> Accumulator: ...

# Each metric family's finalisation from summed counts (combining sequences).
def finalise_clear(
    num_gt: int,
    num_matches: int,
    num_false_positives: int,
    num_misses: int,
    num_switches: int,
    motp_sum: float,
    benchmark: bool,
) -> tuple[float, float, float, float, float, float, float]: ...
def finalise_clear_extra(
    num_matches: int, num_misses: int, num_false_positives: int, mt: int, pt: int, ml: int,
    clr_frames: int, motp_sum: float, empty: bool = False,
) -> tuple[float, float, float, int, float, float, float]: ...
def finalise_identity(idtp: int, idfp: int, idfn: int, num_gt: int) -> tuple[float, float, float]: ...
def finalise_hota(
    tp: Sequence[float],
    fn: Sequence[float],
    fp: Sequence[float],
    assa_sum: Sequence[float],
    ass_re_sum: Sequence[float],
    ass_pr_sum: Sequence[float],
    loca_sum: Sequence[float],
    plain_means: bool = False,
) -> tuple[list[float], list[float], list[float], list[float], list[float], list[float], float, float, float, float]: ...

# Threads: how many one evaluation uses (VESTRIM_THREADS, else the usable cores shared among
# VESTRIM_WORKER_PROCESSES processes).
def threads_per_call() -> int: ...
