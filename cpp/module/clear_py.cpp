// Python entry points for CLEAR MOT and the ClearMetrics result class.
#include "core/clear.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"

namespace vestrim::py {
namespace {

using clear::ClearMetrics;

PyGetSetDef clear_metrics_getters[] = {
    field<&ClearMetrics::mota>("mota",
        "Multiple Object Tracking Accuracy: `1 - (FN + FP + IDSW) / num_gt`."),
    field<&ClearMetrics::motp>("motp",
        "Multiple Object Tracking Precision: mean IoU over matched pairs."),
    field<&ClearMetrics::num_frames>("num_frames", "Number of frames processed."),
    field<&ClearMetrics::num_gt>("num_gt", "Total ground-truth detections across all frames."),
    field<&ClearMetrics::num_matches>("num_matches", "True positives: matched (gt, pred) pairs."),
    field<&ClearMetrics::num_false_positives>("num_false_positives",
        "False positives: tracker detections with no match."),
    field<&ClearMetrics::num_misses>("num_misses", "Misses: ground-truth detections with no match."),
    field<&ClearMetrics::num_switches>("num_switches", "Identity switches."),
    field<&ClearMetrics::mt>("mt",
        "Mostly tracked: gt trajectories matched in more than 80% of their frames."),
    field<&ClearMetrics::pt>("pt",
        "Partially tracked: gt trajectories matched in 20\xE2\x80\x93" "80% of their frames."),
    field<&ClearMetrics::ml>("ml",
        "Mostly lost: gt trajectories matched in less than 20% of their frames."),
    field<&ClearMetrics::frag>("frag",
        "Fragmentations: times a gt trajectory resumes after an interruption."),
    field<&ClearMetrics::moda>("moda",
        "Multiple Object Detection Accuracy: `(TP - FP) / max(1, TP + FN)`."),
    field<&ClearMetrics::smota>("smota",
        "MOTA over overlap: `(MOTP_sum - FP - IDSW) / max(1, TP + FN)`."),
    field<&ClearMetrics::motal>("motal", "MOTA with a log-scaled ID-switch penalty."),
    field<&ClearMetrics::clr_re>("clr_re", "CLEAR recall: `TP / max(1, TP + FN)`."),
    field<&ClearMetrics::clr_pr>("clr_pr", "CLEAR precision: `TP / max(1, TP + FP)`."),
    field<&ClearMetrics::track_ratios>("track_ratios",
        "Per gt trajectory, the fraction of its frames that were matched (id\n"
        "switches count as matched), sorted descending. The basis for MT/PT/ML."),
    field<&ClearMetrics::frag_present_only>("frag_present_only",
        "Fragmentations under py-quorvantix' definition (a present-but-unmatched\n"
        "frame followed by a match, within the trajectory's tracked span only).\n"
        "Distinct from `frag`, which also breaks on frames where the object is\n"
        "simply absent."),
    {},
};

PyObject* clear_metrics_repr(PyObject* self) {
    const ClearMetrics& m = record<ClearMetrics>(self);
    return new_str("ClearMetrics(mota=" + fmt4(m.mota) + ", motp=" + fmt4(m.motp) +
                   ", tp=" + fmt_u64(m.num_matches) + ", fp=" + fmt_u64(m.num_false_positives) +
                   ", fn=" + fmt_u64(m.num_misses) + ", idsw=" + fmt_u64(m.num_switches) +
                   ", mt=" + fmt_u64(m.mt) + ", pt=" + fmt_u64(m.pt) + ", ml=" + fmt_u64(m.ml) +
                   ", frag=" + fmt_u64(m.frag) + ")");
}

PyObject* compute_clear_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return box_metric_entry("compute_clear()", args, nargs, kwnames, memory::bytes_per_pair::kClear, [](std::span<const Frame> frames, double t) {
        return new_clear_metrics(clear::compute_clear(frames, t));
    });
}

PyObject* compute_clear_from_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    return sim_metric_entry("compute_clear_from_similarity()", args, nargs, kwnames, memory::bytes_per_pair::kClear,
                            [](const SimFrames& frames, double t) {
                                return new_clear_metrics(clear::compute_clear_from_similarity(frames, t));
                            });
}

}  // namespace

PyTypeObject* clear_metrics_type() {
    static PyTypeObject* type = record_class<ClearMetrics>({
        .name = "ClearMetrics",
        .doc = "Accumulated CLEAR MOT metrics over a sequence.",
        .getset = clear_metrics_getters,
        .repr = clear_metrics_repr,
    });
    return type;
}

PyObject* new_clear_metrics(clear::ClearMetrics&& metrics) {
    return wrap_record(clear_metrics_type(), std::move(metrics));
}

PyMethodDef compute_clear_def = {
    "compute_clear", as_cfunction(compute_clear_entry), METH_FASTCALL | METH_KEYWORDS,
    "compute_clear(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, box_format=\"xyxy\")\n"
    "--\n\n"
    "Compute CLEAR MOT metrics (MOTA, MOTP, FP, FN, ID switches) for a sequence.\n\n"
    "Inputs are frame-aligned: `gt_ids[t]` / `gt_boxes[t]` describe ground-truth\n"
    "objects in frame `t` (and likewise `pred_ids` / `pred_boxes` for the\n"
    "tracker). `gt_ids` and `pred_ids` must have the same number of frames, and\n"
    "within each frame the id and box lists must have equal length. Each\n"
    "frame's boxes may be a sequence of 4-tuples or a `(N, 4)` float64 NumPy\n"
    "array (zero-copy for a contiguous `xyxy` array); `box_format` is `\"xyxy\"`\n"
    "(default) or `\"xywh\"`."};

PyMethodDef compute_clear_from_similarity_def = {
    "compute_clear_from_similarity", as_cfunction(compute_clear_from_similarity_entry),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_clear_from_similarity(gt_ids, pred_ids, similarity, threshold=0.5)\n--\n\n"
    "Compute CLEAR MOT metrics from precomputed per-frame similarity matrices\n"
    "instead of boxes.\n\n"
    "For callers that already hold pairwise scores (e.g. a `quorvantix`-style\n"
    "distance matrix converted to similarity). `similarity[t][i][j]` scores\n"
    "`gt_ids[t][i]` against `pred_ids[t][j]`; higher is better, the same\n"
    "convention as IoU, and pairs below `threshold` are never matched."};

}  // namespace vestrim::py
