// Python entry point for 2D box matching, and the `Matching` result class.
#include "module/assignment_py.hpp"

#include "core/iou.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"

namespace vestrim::py {

using assignment::Matching;
using assignment::Method;

Result<Method> parse_method(const std::string& text) {
    if (text == "hungarian") return Method::Hungarian;
    if (text == "greedy") return Method::Greedy;
    return std::unexpected("unknown method " + debug_quoted(text) + ", expected \"hungarian\" or \"greedy\"");
}

namespace {

PyObject* matching_repr(PyObject* self) {
    const Matching& m = record<Matching>(self);
    return new_str("Matching(matches=" + fmt_u64(m.matches.size()) + " pairs, unmatched_a=" +
                   fmt_u64(m.unmatched_a.size()) + ", unmatched_b=" + fmt_u64(m.unmatched_b.size()) + ")");
}

PyGetSetDef matching_getters[] = {
    field<&Matching::matches>("matches", "Matched `(a_index, b_index)` pairs, ordered by `a_index`."),
    field<&Matching::scores>("scores", "IoU score for each matched pair, parallel to `matches`."),
    field<&Matching::unmatched_a>("unmatched_a", "Indices of `boxes_a` that were not matched."),
    field<&Matching::unmatched_b>("unmatched_b", "Indices of `boxes_b` that were not matched."),
    {},
};

PyObject* match_boxes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"boxes_a", true},
                                       {"boxes_b", true},
                                       {"iou_threshold", false},
                                       {"method", false},
                                       {"box_format", false}};
    PyObject* a[5];
    if (!bind({"match_boxes()", params}, args, nargs, kwnames, a)) return nullptr;
    PyBoxes boxes_a, boxes_b;
    double iou_threshold = 0.5;
    std::string method_text = "hungarian";
    std::string box_format = "xyxy";
    if (!arg("boxes_a", a[0], boxes_a) || !arg("boxes_b", a[1], boxes_b) ||
        !opt_arg("iou_threshold", a[2], iou_threshold) || !opt_arg("method", a[3], method_text) ||
        !opt_arg("box_format", a[4], box_format))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const auto method = parse_method(method_text);
        if (!ok_or_value_error(method)) return nullptr;
        const auto format = parse_box_format(box_format);
        if (!ok_or_value_error(format)) return nullptr;
        const auto slice_a = as_boxes(boxes_a, *format);
        if (!ok_or_value_error(slice_a)) return nullptr;
        const auto slice_b = as_boxes(boxes_b, *format);
        if (!ok_or_value_error(slice_b)) return nullptr;
        const std::size_t na = slice_a->boxes.size();
        const std::size_t nb = slice_b->boxes.size();
        const auto iou = iou::iou_matrix(slice_a->boxes, slice_b->boxes);
        return new_matching(assignment::match_boxes(iou, na, nb, *method, iou_threshold));
    });
}

}  // namespace

PyTypeObject* matching_type() {
    static PyTypeObject* type = record_class<Matching>(
        {.name = "Matching",
         .doc = "The result of matching two sets of boxes.",
         .getset = matching_getters,
         .repr = matching_repr});
    return type;
}

PyObject* new_matching(Matching&& matching) { return wrap_record(matching_type(), std::move(matching)); }

PyMethodDef match_boxes_def = {
    "match_boxes", as_cfunction(match_boxes_entry), METH_FASTCALL | METH_KEYWORDS,
    "match_boxes(boxes_a, boxes_b, iou_threshold=0.5, method=\"hungarian\", box_format=\"xyxy\")\n--\n\n"
    "Match two sets of boxes.\n\n"
    "`method` is either `\"hungarian\"` (optimal, maximises total IoU) or\n"
    "`\"greedy\"` (assign highest-IoU pairs first). Only pairs with IoU at or above\n"
    "`iou_threshold` are kept. `box_format` is `\"xyxy\"` (default) or `\"xywh\"`."};

}  // namespace vestrim::py
