// Python entry points for 2D box IoU.
#include "core/iou.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"

namespace vestrim::py {
namespace {

PyObject* iou_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"box_a", true}, {"box_b", true}, {"box_format", false}};
    PyObject* a[3];
    if (!bind({"iou()", params}, args, nargs, kwnames, a)) return nullptr;
    Box box_a{}, box_b{};
    std::string box_format = "xyxy";
    if (!arg("box_a", a[0], box_a) || !arg("box_b", a[1], box_b) || !opt_arg("box_format", a[2], box_format))
        return nullptr;
    const auto format = parse_box_format(box_format);
    if (!ok_or_value_error(format)) return nullptr;
    return PyFloat_FromDouble(iou::iou(to_xyxy(box_a, *format), to_xyxy(box_b, *format)));
}

PyObject* iou_matrix_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"boxes_a", true}, {"boxes_b", true}, {"box_format", false}};
    PyObject* a[3];
    if (!bind({"iou_matrix()", params}, args, nargs, kwnames, a)) return nullptr;
    PyBoxes boxes_a, boxes_b;
    std::string box_format = "xyxy";
    if (!arg("boxes_a", a[0], boxes_a) || !arg("boxes_b", a[1], boxes_b) ||
        !opt_arg("box_format", a[2], box_format))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const auto format = parse_box_format(box_format);
        if (!ok_or_value_error(format)) return nullptr;
        const auto slice_a = as_boxes(boxes_a, *format);
        if (!ok_or_value_error(slice_a)) return nullptr;
        const auto slice_b = as_boxes(boxes_b, *format);
        if (!ok_or_value_error(slice_b)) return nullptr;
        const auto matrix = iou::iou_matrix(slice_a->boxes, slice_b->boxes);
        return matrix_to_py(matrix.data(), slice_a->boxes.size(), slice_b->boxes.size());
    });
}

}  // namespace

PyMethodDef iou_def = {
    "iou", as_cfunction(iou_entry), METH_FASTCALL | METH_KEYWORDS,
    "iou(box_a, box_b, box_format=\"xyxy\")\n--\n\n"
    "Intersection-over-union of two boxes.\n\n"
    "`box_format` is `\"xyxy\"` (`x1, y1, x2, y2`, the default) or `\"xywh\"`\n"
    "(`x, y, width, height`)."};

PyMethodDef iou_matrix_def = {
    "iou_matrix", as_cfunction(iou_matrix_entry), METH_FASTCALL | METH_KEYWORDS,
    "iou_matrix(boxes_a, boxes_b, box_format=\"xyxy\")\n--\n\n"
    "Pairwise IoU matrix between two sets of boxes.\n\n"
    "Each set is a sequence of 4-item boxes or an `(N, 4)` float64 NumPy array\n"
    "(read in place when C-contiguous and in `\"xyxy\"` format).\n\n"
    "Returns a list of `len(boxes_a)` rows, each with `len(boxes_b)` IoU values."};

}  // namespace vestrim::py
