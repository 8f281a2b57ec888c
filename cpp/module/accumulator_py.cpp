// The streaming `Accumulator` (CLEAR + Identity, one frame per call) and `AccumulatorResult`.
#include <optional>

#include "core/iou.hpp"
#include "module/accumulator_py.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"
#include "module/results.hpp"

namespace vestrim::py {
namespace {

// Each frame goes to the CLEAR and the Identity accumulator.
constexpr std::uint64_t kAccumulatorBytesPerPair = memory::bytes_per_pair::kClear + memory::bytes_per_pair::kIdentity;

AccumulatorObject& state_of(PyObject* self) { return record<AccumulatorObject>(self); }

PyObject* accumulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"iou_threshold", false}, {"box_format", false}};
    PyObject* a[2];
    if (!bind_tuple({"Accumulator.__new__()", params}, args, kwargs, a)) return nullptr;
    double iou_threshold = 0.5;
    std::string box_format = "xyxy";
    if (!opt_arg("iou_threshold", a[0], iou_threshold) || !opt_arg("box_format", a[1], box_format))
        return nullptr;
    const auto format = parse_box_format(box_format);
    if (!ok_or_value_error(format)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* state = new (&state_of(self)) AccumulatorObject();
    state->state.iou_threshold = iou_threshold;
    state->box_format = *format;
    return self;
}

PyObject* accumulator_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"gt_ids", true}, {"gt_boxes", true}, {"pred_ids", true}, {"pred_boxes", true}};
    PyObject* a[4];
    if (!bind({"Accumulator.update()", params}, args, nargs, kwnames, a)) return nullptr;
    AccumulatorObject& acc = state_of(self);
    ExclusiveAccess access(acc.access);
    if (!access) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<Id> gt_ids, pred_ids;
        PyBoxes gt_boxes, pred_boxes;
        if (!arg("gt_ids", a[0], gt_ids) || !arg("gt_boxes", a[1], gt_boxes) || !arg("pred_ids", a[2], pred_ids) ||
            !arg("pred_boxes", a[3], pred_boxes))
            return nullptr;
        const auto gt = as_boxes(gt_boxes, acc.box_format);
        if (!ok_or_value_error(gt)) return nullptr;
        const auto pred = as_boxes(pred_boxes, acc.box_format);
        if (!ok_or_value_error(pred)) return nullptr;
        const auto shapes =
            check_box_frame(std::nullopt, gt_ids.size(), gt->boxes.size(), pred_ids.size(), pred->boxes.size());
        if (!ok_or_value_error(shapes)) return nullptr;
        memory::refuse_frame(acc.state.num_frames(), gt_ids.size(), pred_ids.size(), kAccumulatorBytesPerPair);
        const auto ious = iou::iou_matrix(gt->boxes, pred->boxes);
        acc.state.update(gt_ids, pred_ids, ious.data());
        Py_RETURN_NONE;
    });
}

PyObject* accumulator_update_from_similarity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_ids", true}, {"pred_ids", true}, {"similarity", true}};
    PyObject* a[3];
    if (!bind({"Accumulator.update_from_similarity()", params}, args, nargs, kwnames, a)) return nullptr;
    AccumulatorObject& acc = state_of(self);
    ExclusiveAccess access(acc.access);
    if (!access) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<Id> gt_ids, pred_ids;
        SimInput similarity;
        if (!arg("gt_ids", a[0], gt_ids) || !arg("pred_ids", a[1], pred_ids) ||
            !noted("similarity", append_sim_frame(a[2], similarity)))
            return nullptr;
        const auto shapes = check_sim_frame(std::nullopt, gt_ids.size(), pred_ids.size(), similarity, 0);
        if (!ok_or_value_error(shapes)) return nullptr;
        memory::refuse_frame(acc.state.num_frames(), gt_ids.size(), pred_ids.size(), kAccumulatorBytesPerPair);
        acc.state.update(gt_ids, pred_ids, similarity.frame_data(0));
        Py_RETURN_NONE;
    });
}

PyObject* accumulator_compute(PyObject* self, PyObject*) {
    AccumulatorObject& acc = state_of(self);
    SharedAccess access(acc.access);
    if (!access) return nullptr;
    return guarded([&]() -> PyObject* {
        AccumulatorRecord result;
        result.clear = Ref::steal(new_clear_metrics(acc.state.clear.compute()));
        if (!result.clear) return nullptr;
        result.identity = Ref::steal(new_identity_metrics(acc.state.identity.compute()));
        if (!result.identity) return nullptr;
        return wrap_record(accumulator_result_type(), std::move(result));
    });
}

PyObject* accumulator_num_frames(PyObject* self, void*) {
    AccumulatorObject& acc = state_of(self);
    SharedAccess access(acc.access);
    if (!access) return nullptr;
    return PyLong_FromUnsignedLongLong(acc.state.num_frames());
}

PyObject* accumulator_repr(PyObject* self) {
    AccumulatorObject& acc = state_of(self);
    SharedAccess access(acc.access);
    if (!access) return nullptr;
    return new_str("Accumulator(num_frames=" + fmt_u64(acc.state.num_frames()) + ")");
}

PyMethodDef accumulator_methods[] = {
    {"update", as_cfunction(accumulator_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, gt_ids, gt_boxes, pred_ids, pred_boxes)\n--\n\n"
     "Fold one frame in. `gt_ids`/`gt_boxes` (and `pred_ids`/`pred_boxes`)\n"
     "must have equal length; each boxes argument is a sequence of 4-tuples or\n"
     "a contiguous `(N, 4)` float64 NumPy array, in this accumulator's\n"
     "`box_format`."},
    {"update_from_similarity", as_cfunction(accumulator_update_from_similarity), METH_FASTCALL | METH_KEYWORDS,
     "update_from_similarity($self, gt_ids, pred_ids, similarity)\n--\n\n"
     "Fold one frame in from a precomputed similarity matrix instead of boxes.\n"
     "`similarity[i][j]` scores `gt_ids[i]` against `pred_ids[j]`; it must be\n"
     "`len(gt_ids)` rows by `len(pred_ids)` columns."},
    {"compute", accumulator_compute, METH_NOARGS,
     "compute($self)\n--\n\n"
     "Finalize CLEAR and Identity from everything folded in so far. May be\n"
     "called at any point and does not consume the accumulator."},
    {},
};

PyGetSetDef accumulator_getters[] = {
    {"num_frames", accumulator_num_frames, nullptr, "Number of frames folded in so far.", nullptr},
    {},
};

PyObject* accumulator_result_repr(PyObject* self) {
    const auto& r = record<AccumulatorRecord>(self);
    Ref clear = Ref::steal(PyObject_Repr(r.clear.get()));
    if (!clear) return nullptr;
    Ref identity = Ref::steal(PyObject_Repr(r.identity.get()));
    if (!identity) return nullptr;
    return PyUnicode_FromFormat("AccumulatorResult(clear=%U, identity=%U)", clear.get(), identity.get());
}

PyMemberDef accumulator_result_members[] = {
    object_member<AccumulatorRecord>("clear", offsetof(AccumulatorRecord, clear),
                                     "CLEAR MOT metrics (MOTA, MOTP, FP, FN, ID switches)."),
    object_member<AccumulatorRecord>("identity", offsetof(AccumulatorRecord, identity),
                                     "Identity metrics (IDF1, IDP, IDR)."),
    {},
};

}  // namespace

PyTypeObject* accumulator_type() {
    static PyTypeObject* type = record_class<AccumulatorObject>({
        .name = "Accumulator",
        .doc = "Accumulator(iou_threshold=0.5, box_format=\"xyxy\")\n--\n\n"
               "A streaming CLEAR + Identity accumulator.\n\n"
               "Fold in one frame at a time with [`Accumulator::update`] (boxes) or\n"
               "[`Accumulator::update_from_similarity`] (precomputed scores), then read the\n"
               "metrics with [`Accumulator::compute`] \xE2\x80\x94 the online/large-sequence shape,\n"
               "where the whole sequence is never held in memory. HOTA is not offered here:\n"
               "its alpha sweep is inherently a whole-sequence computation, so use\n"
               "[`evaluate`] or [`compute_hota`] for it.",
        .getset = accumulator_getters,
        .repr = accumulator_repr,
        .methods = accumulator_methods,
        .construct = accumulator_new,
    });
    return type;
}

PyTypeObject* accumulator_result_type() {
    static PyTypeObject* type = record_class<AccumulatorRecord>({
        .name = "AccumulatorResult",
        .doc = "CLEAR and Identity read from a streaming [`Accumulator`] via\n[`Accumulator::compute`].",
        .members = accumulator_result_members,
        .repr = accumulator_result_repr,
    });
    return type;
}

}  // namespace vestrim::py
