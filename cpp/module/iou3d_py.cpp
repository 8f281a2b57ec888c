// Python entry points for oriented 3D boxes: pair IoU, the IoU matrix and matching by 3D IoU, with
// the conversion of 3D box sets (`PyBoxes3d`, the seven-column sibling of `PyBoxes`).
#include <cstring>

#include "core/iou3d.hpp"
#include "module/assignment_py.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"
#include "module/numpy_api.hpp"

namespace vestrim::py {
namespace {

using iou3d::Box3d;
constexpr Py_ssize_t kFields = 7;

// A box-like item: any sequence of exactly seven float-convertible items, fetched by index.
bool convert_box3d(PyObject* obj, Box3d& out) {
    double v[kFields];
    if (!convert_float_item(obj, v, kFields)) return false;
    out = Box3d{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
    return true;
}

// One set of 3D boxes as received: a 2-D float64 ndarray pinned for the call (its column count is
// checked by `as_boxes`), or a copied list.
struct PyBoxes3d {
    PinnedMatrix array;
    std::vector<Box3d> list;
};

bool convert(PyObject* obj, PyBoxes3d& out) {
    const bool maybe_array = !PyList_CheckExact(obj) && !PyTuple_CheckExact(obj);
    ArrayView view;
    if (maybe_array && as_ndarray(obj, view) && view.ndim == 2 && view.elem == Elem::Float64) {
        out.array.pin(obj, view);
        return true;
    }
    const bool listed = for_each_item(
        obj, [&](std::size_t n) { out.list.reserve(n); },
        [&](PyObject* item) {
            Box3d box{};
            if (!convert_box3d(item, box)) return false;
            out.list.push_back(box);
            return true;
        });
    if (listed) return true;
    const std::string list_error = take_error_text();
    const std::string array_error = obj == Py_None ? "'None' is not an instance of 'ndarray'"
                                                   : "'" + type_name(obj) + "' object is not an instance of 'ndarray'";
    type_error(
        "failed to extract enum PyBoxes3d ('Array | List')\n"
        "- variant Array (Array): TypeError: failed to extract field PyBoxes3d::Array.0, caused by TypeError: " +
        array_error +
        "\n- variant List (List): TypeError: failed to extract field PyBoxes3d::List.0, caused by " + list_error);
    out.list.clear();
    return false;
}

// The boxes of a set: a view of the caller's array (zero copy) or of a copy.
struct Box3dSlice {
    std::span<const Box3d> boxes;
    std::vector<Box3d> owned;
};

Result<Box3dSlice> as_boxes(const PyBoxes3d& boxes) {
    Box3dSlice slice;
    if (!boxes.array) {
        slice.boxes = boxes.list;
        return slice;
    }
    const PinnedMatrix& array = boxes.array;
    if (array.cols != kFields) {
        return std::unexpected("3D boxes array must have shape (N, 7), got [" + std::to_string(array.rows) + ", " +
                               std::to_string(array.cols) + "]");
    }
    const auto n = static_cast<std::size_t>(array.rows);
    if (n == 0) return slice;
    const Py_ssize_t row_stride = array.row_stride, col_stride = array.col_stride;
    const bool contiguous = col_stride == sizeof(double) && (row_stride == sizeof(Box3d) || n == 1);
    if (contiguous && array.aligned) {
        slice.boxes = {reinterpret_cast<const Box3d*>(array.data), n};
        return slice;
    }
    slice.owned.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const char* row = array.data + static_cast<Py_ssize_t>(i) * row_stride;
        double v[kFields];
        for (Py_ssize_t k = 0; k < kFields; ++k) std::memcpy(&v[k], row + k * col_stride, sizeof(double));
        slice.owned[i] = Box3d{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
    }
    slice.boxes = slice.owned;
    return slice;
}

PyObject* iou_3d_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"box_a", true}, {"box_b", true}};
    PyObject* a[2];
    if (!bind({"iou_3d()", params}, args, nargs, kwnames, a)) return nullptr;
    Box3d box_a{}, box_b{};
    if (!noted("box_a", convert_box3d(a[0], box_a)) || !noted("box_b", convert_box3d(a[1], box_b))) return nullptr;
    return PyFloat_FromDouble(iou3d::iou_3d(box_a, box_b));
}

PyObject* iou_3d_matrix_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"boxes_a", true}, {"boxes_b", true}};
    PyObject* a[2];
    if (!bind({"iou_3d_matrix()", params}, args, nargs, kwnames, a)) return nullptr;
    PyBoxes3d boxes_a, boxes_b;
    if (!arg("boxes_a", a[0], boxes_a) || !arg("boxes_b", a[1], boxes_b)) return nullptr;
    return guarded([&]() -> PyObject* {
        const auto slice_a = as_boxes(boxes_a);
        if (!slice_a) return value_error(slice_a.error());
        const auto slice_b = as_boxes(boxes_b);
        if (!slice_b) return value_error(slice_b.error());
        const auto matrix = iou3d::iou_3d_matrix(slice_a->boxes, slice_b->boxes);
        return matrix_to_py(matrix.data(), slice_a->boxes.size(), slice_b->boxes.size());
    });
}

PyObject* match_boxes_3d_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"boxes_a", true}, {"boxes_b", true}, {"iou_threshold", false}, {"method", false}};
    PyObject* a[4];
    if (!bind({"match_boxes_3d()", params}, args, nargs, kwnames, a)) return nullptr;
    PyBoxes3d boxes_a, boxes_b;
    double iou_threshold = 0.5;
    std::string method_text = "hungarian";
    if (!arg("boxes_a", a[0], boxes_a) || !arg("boxes_b", a[1], boxes_b) ||
        !opt_arg("iou_threshold", a[2], iou_threshold) || !opt_arg("method", a[3], method_text))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const auto method = parse_method(method_text);
        if (!method) return value_error(method.error());
        const auto slice_a = as_boxes(boxes_a);
        if (!slice_a) return value_error(slice_a.error());
        const auto slice_b = as_boxes(boxes_b);
        if (!slice_b) return value_error(slice_b.error());
        const std::size_t na = slice_a->boxes.size();
        const std::size_t nb = slice_b->boxes.size();
        const auto iou = iou3d::iou_3d_matrix(slice_a->boxes, slice_b->boxes);
        return new_matching(assignment::match_boxes(iou, na, nb, *method, iou_threshold));
    });
}

}  // namespace

PyMethodDef iou_3d_def = {
    "iou_3d", as_cfunction(iou_3d_entry), METH_FASTCALL | METH_KEYWORDS,
    "iou_3d(box_a, box_b)\n--\n\n"
    "Volumetric intersection-over-union of two oriented 3D boxes.\n\n"
    "Each box is `[x, y, z, l, w, h, yaw]`: centre, full extents, and heading\n"
    "(radians) about the vertical `y` axis in the `x`\xE2\x80\x93`z` ground plane, the KITTI\n"
    "convention. At `yaw = 0`, `l` runs along `x` and `w` along `z`."};

PyMethodDef iou_3d_matrix_def = {
    "iou_3d_matrix", as_cfunction(iou_3d_matrix_entry), METH_FASTCALL | METH_KEYWORDS,
    "iou_3d_matrix(boxes_a, boxes_b)\n--\n\n"
    "Pairwise 3D IoU matrix between two sets of oriented 3D boxes.\n\n"
    "Each of `boxes_a`/`boxes_b` is a Python sequence of 7-tuples or a `(N, 7)`\n"
    "float64 NumPy array (zero-copy for a contiguous array); see [`iou_3d`] for\n"
    "the box convention.\n\n"
    "Returns a list of `len(boxes_a)` rows, each with `len(boxes_b)` IoU values."};

PyMethodDef match_boxes_3d_def = {
    "match_boxes_3d", as_cfunction(match_boxes_3d_entry), METH_FASTCALL | METH_KEYWORDS,
    "match_boxes_3d(boxes_a, boxes_b, iou_threshold=0.5, method=\"hungarian\")\n--\n\n"
    "Match two sets of oriented 3D boxes, mirroring [`match_boxes`] for 3D IoU.\n\n"
    "`method` is either `\"hungarian\"` (optimal, maximises total IoU) or\n"
    "`\"greedy\"` (assign highest-IoU pairs first). Only pairs with IoU at or\n"
    "above `iou_threshold` are kept."};

}  // namespace vestrim::py
