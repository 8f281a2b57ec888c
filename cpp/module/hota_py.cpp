// Python entry points for HOTA and the HotaMetrics result class.
#include "core/hota.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"

namespace vestrim::py {
namespace {

using hota::HotaMetrics;

PyGetSetDef hota_metrics_getters[] = {
    field<&HotaMetrics::hota>("hota", "HOTA score: mean over alpha of `sqrt(DetA * AssA)`."),
    field<&HotaMetrics::deta>("deta", "Detection accuracy: mean over alpha."),
    field<&HotaMetrics::assa>("assa", "Association accuracy: mean over alpha."),
    field<&HotaMetrics::loca>("loca", "Localization accuracy: mean over alpha."),
    field<&HotaMetrics::alphas>("alphas", "The alpha (localization) thresholds swept."),
    field<&HotaMetrics::hota_alphas>("hota_alphas", "Per-alpha HOTA scores, parallel to `alphas`."),
    field<&HotaMetrics::deta_alphas>("deta_alphas", "Per-alpha DetA scores, parallel to `alphas`."),
    field<&HotaMetrics::assa_alphas>("assa_alphas", "Per-alpha AssA scores, parallel to `alphas`."),
    field<&HotaMetrics::loca_alphas>("loca_alphas", "Per-alpha LocA scores, parallel to `alphas`."),
    field<&HotaMetrics::hota_tp_alphas>("hota_tp_alphas", "Per-alpha true positive counts, parallel to `alphas`."),
    field<&HotaMetrics::hota_fn_alphas>("hota_fn_alphas", "Per-alpha false negative counts, parallel to `alphas`."),
    field<&HotaMetrics::hota_fp_alphas>("hota_fp_alphas", "Per-alpha false positive counts, parallel to `alphas`."),
    field<&HotaMetrics::ass_re_alphas>("ass_re_alphas", "Per-alpha association recall, parallel to `alphas`."),
    field<&HotaMetrics::ass_pr_alphas>("ass_pr_alphas", "Per-alpha association precision, parallel to `alphas`."),
    field<&HotaMetrics::num_frames>("num_frames", "Number of frames processed."),
    field<&HotaMetrics::num_gt>("num_gt", "Total ground-truth detections across all frames."),
    field<&HotaMetrics::num_pred>("num_pred", "Total predicted detections across all frames."),
    {},
};

PyObject* hota_metrics_repr(PyObject* self) { return new_str(hota_metrics_text(record<HotaMetrics>(self))); }

PyObject* compute_hota_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_ids", true},   {"gt_boxes", true},   {"pred_ids", true},
                                       {"pred_boxes", true}, {"box_format", false}};
    PyObject* a[5];
    if (!bind({"compute_hota()", params}, args, nargs, kwnames, a)) return nullptr;
    BoxSequenceArgs seq;
    std::string box_format = "xyxy";
    if (!seq.convert(a) || !opt_arg("box_format", a[4], box_format))
        return nullptr;
    return guarded([&]() -> PyObject* {
        if (!seq.build(box_format)) return nullptr;
        memory::refuse_largest_frame(seq.frames, memory::bytes_per_pair::kHota);
        return new_hota_metrics(hota::compute_hota(seq.frames));
    });
}

PyObject* compute_hota_from_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_ids", true}, {"pred_ids", true}, {"similarity", true}};
    PyObject* a[3];
    if (!bind({"compute_hota_from_similarity()", params}, args, nargs, kwnames, a)) return nullptr;
    SimSequenceArgs seq;
    if (!seq.convert(a))
        return nullptr;
    return guarded([&]() -> PyObject* {
        if (!seq.build()) return nullptr;
        memory::refuse_largest_frame(seq.frames, memory::bytes_per_pair::kHota);
        return new_hota_metrics(hota::compute_hota_from_similarity(seq.sequence()));
    });
}

}  // namespace

std::string hota_metrics_text(const hota::HotaMetrics& m) {
    return "HotaMetrics(hota=" + fmt4(m.hota) + ", deta=" + fmt4(m.deta) + ", assa=" + fmt4(m.assa) +
           ", loca=" + fmt4(m.loca) + ")";
}

PyTypeObject* hota_metrics_type() {
    static PyTypeObject* type = record_class<HotaMetrics>({
        .name = "HotaMetrics",
        .doc = "HOTA metrics over a sequence (summarised, with per-alpha curves retained).",
        .getset = hota_metrics_getters,
        .repr = hota_metrics_repr,
    });
    return type;
}

PyObject* new_hota_metrics(hota::HotaMetrics&& metrics) {
    return wrap_record(hota_metrics_type(), std::move(metrics));
}

PyMethodDef compute_hota_def = {
    "compute_hota", as_cfunction(compute_hota_entry), METH_FASTCALL | METH_KEYWORDS,
    "compute_hota(gt_ids, gt_boxes, pred_ids, pred_boxes, box_format=\"xyxy\")\n--\n\n"
    "Compute HOTA metrics (DetA, AssA, LocA, plus per-alpha curves) for a sequence.\n\n"
    "Inputs are frame-aligned exactly like [`compute_clear`]. HOTA sweeps a set of\n"
    "localization thresholds internally, so unlike the other metrics it takes no\n"
    "single `iou_threshold`."};

PyMethodDef compute_hota_from_similarity_def = {
    "compute_hota_from_similarity", as_cfunction(compute_hota_from_similarity_entry),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_hota_from_similarity(gt_ids, pred_ids, similarity)\n--\n\n"
    "Compute HOTA metrics from precomputed per-frame similarity matrices instead\n"
    "of boxes. Same similarity convention as [`compute_clear_from_similarity`]."};

}  // namespace vestrim::py
