// Python entry points for the identity metrics and the IdentityMetrics result class.
#include "core/identity.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"

namespace vestrim::py {
namespace {

using identity::IdentityMetrics;

PyGetSetDef identity_metrics_getters[] = {
    field<&IdentityMetrics::idf1>("idf1", "Identity F1: `IDTP / (IDTP + 0.5 IDFP + 0.5 IDFN)`."),
    field<&IdentityMetrics::idp>("idp", "Identity precision: `IDTP / (IDTP + IDFP)`."),
    field<&IdentityMetrics::idr>("idr", "Identity recall: `IDTP / (IDTP + IDFN)`."),
    field<&IdentityMetrics::idtp>("idtp", "Identity true positives."),
    field<&IdentityMetrics::idfp>("idfp", "Identity false positives."),
    field<&IdentityMetrics::idfn>("idfn", "Identity false negatives."),
    field<&IdentityMetrics::num_frames>("num_frames", "Number of frames processed."),
    field<&IdentityMetrics::num_gt>("num_gt", "Total ground-truth detections across all frames."),
    field<&IdentityMetrics::num_pred>("num_pred", "Total predicted detections across all frames."),
    {},
};

PyObject* identity_metrics_repr(PyObject* self) {
    const IdentityMetrics& m = record<IdentityMetrics>(self);
    return new_str("IdentityMetrics(idf1=" + fmt4(m.idf1) + ", idp=" + fmt4(m.idp) + ", idr=" + fmt4(m.idr) +
                   ", idtp=" + fmt_u64(m.idtp) + ", idfp=" + fmt_u64(m.idfp) + ", idfn=" + fmt_u64(m.idfn) + ")");
}

PyObject* compute_identity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return box_metric_entry("compute_identity()", args, nargs, kwnames, memory::bytes_per_pair::kIdentity, [](std::span<const Frame> frames, double t) {
        return new_identity_metrics(identity::compute_identity(frames, t));
    });
}

PyObject* compute_identity_from_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    return sim_metric_entry("compute_identity_from_similarity()", args, nargs, kwnames,
                            memory::bytes_per_pair::kIdentity,
                            [](const SimFrames& frames, double t) {
                                return new_identity_metrics(identity::compute_identity_from_similarity(frames, t));
                            });
}

}  // namespace

PyTypeObject* identity_metrics_type() {
    static PyTypeObject* type = record_class<IdentityMetrics>({
        .name = "IdentityMetrics",
        .doc = "Accumulated Identity metrics (IDF1/IDP/IDR) over a sequence.",
        .getset = identity_metrics_getters,
        .repr = identity_metrics_repr,
    });
    return type;
}

PyObject* new_identity_metrics(identity::IdentityMetrics&& metrics) {
    return wrap_record(identity_metrics_type(), std::move(metrics));
}

PyMethodDef compute_identity_def = {
    "compute_identity", as_cfunction(compute_identity_entry), METH_FASTCALL | METH_KEYWORDS,
    "compute_identity(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, box_format=\"xyxy\")\n"
    "--\n\n"
    "Compute Identity metrics (IDF1, IDP, IDR) for a sequence.\n\n"
    "Inputs are frame-aligned exactly like [`compute_clear`]. Identity metrics use\n"
    "a single global bipartite matching between whole ground-truth and predicted\n"
    "trajectories, so id consistency over time is rewarded."};

PyMethodDef compute_identity_from_similarity_def = {
    "compute_identity_from_similarity", as_cfunction(compute_identity_from_similarity_entry),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_identity_from_similarity(gt_ids, pred_ids, similarity, threshold=0.5)\n--\n\n"
    "Compute Identity metrics from precomputed per-frame similarity matrices\n"
    "instead of boxes. Same similarity convention as\n"
    "[`compute_clear_from_similarity`]."};

}  // namespace vestrim::py
