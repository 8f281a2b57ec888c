// `evaluate`: CLEAR, Identity and HOTA of one box sequence from one set of IoU matrices.
#include "core/evaluate.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"
#include "module/results.hpp"

namespace vestrim::py {
namespace {

PyObject* evaluation_result_repr(PyObject* self) {
    const auto& r = record<EvaluationRecord>(self);
    Ref clear = Ref::steal(PyObject_Repr(r.clear.get()));
    if (!clear) return nullptr;
    Ref identity = Ref::steal(PyObject_Repr(r.identity.get()));
    if (!identity) return nullptr;
    Ref hota = Ref::steal(PyObject_Repr(r.hota.get()));
    if (!hota) return nullptr;
    return PyUnicode_FromFormat("EvaluationResult(clear=%U, identity=%U, hota=%U)", clear.get(), identity.get(),
                                hota.get());
}

PyMemberDef evaluation_result_members[] = {
    object_member<EvaluationRecord>("clear", offsetof(EvaluationRecord, clear),
                                    "CLEAR MOT metrics (MOTA, MOTP, FP, FN, ID switches)."),
    object_member<EvaluationRecord>("identity", offsetof(EvaluationRecord, identity),
                                    "Identity metrics (IDF1, IDP, IDR)."),
    object_member<EvaluationRecord>("hota", offsetof(EvaluationRecord, hota),
                                    "HOTA metrics (DetA, AssA, LocA, plus per-alpha curves)."),
    {},
};

PyObject* evaluate_frames(std::span<const Frame> frames, double iou_threshold) {
    evaluate::Evaluation computed = evaluate::evaluate(frames, iou_threshold);
    EvaluationRecord result;
    result.clear = Ref::steal(new_clear_metrics(std::move(computed.clear)));
    if (!result.clear) return nullptr;
    result.identity = Ref::steal(new_identity_metrics(std::move(computed.identity)));
    if (!result.identity) return nullptr;
    result.hota = Ref::steal(new_hota_metrics(std::move(computed.hota)));
    if (!result.hota) return nullptr;
    return wrap_record(evaluation_result_type(), std::move(result));
}

PyObject* evaluate_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return box_metric_entry("evaluate()", args, nargs, kwnames, memory::bytes_per_pair::kEvaluate, evaluate_frames);
}

}  // namespace

PyTypeObject* evaluation_result_type() {
    static PyTypeObject* type = record_class<EvaluationRecord>({
        .name = "EvaluationResult",
        .doc = "The result of [`evaluate`]: CLEAR, Identity, and HOTA computed together\n"
               "from one shared similarity matrix.",
        .members = evaluation_result_members,
        .repr = evaluation_result_repr,
    });
    return type;
}

PyMethodDef evaluate_def = {
    "evaluate", as_cfunction(evaluate_entry), METH_FASTCALL | METH_KEYWORDS,
    "evaluate(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, box_format=\"xyxy\")\n--\n\n"
    "Compute CLEAR, Identity, and HOTA together for a sequence.\n\n"
    "Inputs are frame-aligned exactly like [`compute_clear`]. Builds the\n"
    "gt/pred similarity matrix once and reuses it for all three metrics,\n"
    "instead of recomputing it once per metric (what calling `compute_clear`,\n"
    "`compute_identity`, and `compute_hota` separately would do)."};

}  // namespace vestrim::py
