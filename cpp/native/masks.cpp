// Dense NumPy images of run-length masks: mask_to_array.
#include <optional>
#include <string>
#include <vector>

#include "core/mask.hpp"
#include "module/numpy_api.hpp"
#include "native/native.hpp"

namespace vestrim::native {
namespace {

using mask::Rle;
using py::Ref;

// The public Mask class; looked up again after a failed attempt.
PyTypeObject* mask_class() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = public_record_type<Rle>("Mask");
    return type;
}

// The masks argument: one Mask (an (h, w) result) or a sequence of them (an (n, h, w) stack), each
// held by reference for the call.
struct MaskArgument {
    std::vector<Ref> masks;
    bool stacked = false;
};

bool convert_masks(PyObject* obj, MaskArgument& out) {
    PyTypeObject* type = mask_class();
    if (type == nullptr) return false;
    if (PyObject_TypeCheck(obj, type)) {
        out.masks.push_back(Ref::borrow(obj));
        return true;
    }
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) || !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected a Mask or a sequence of Masks, got '%s'",
                     py::type_name(obj).c_str());
        return false;
    }
    out.stacked = true;
    return py::for_each_item(
        obj, [&](std::size_t n) { out.masks.reserve(n); },
        [&](PyObject* item) {
            if (!PyObject_TypeCheck(item, type)) {
                PyErr_Format(PyExc_TypeError, "expected a Mask at index %zu, got '%s'",
                             out.masks.size(), py::type_name(item).c_str());
                return false;
            }
            out.masks.push_back(Ref::borrow(item));
            return true;
        });
}

// "F" (column-major, the runs' own order) or "C" (row-major).
bool parse_order(const std::string& order, bool& row_major) {
    if (order == "F" || order == "C") {
        row_major = order == "C";
        return true;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(order.data(), static_cast<Py_ssize_t>(order.size()), "replace"));
    if (text) PyErr_Format(PyExc_ValueError, "order must be \"F\" or \"C\", got %R", text.get());
    return false;
}

PyObject* mask_to_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Param params[] = {{"masks", true}, {"order", false}};
    PyObject* a[2];
    if (!py::bind({"mask_to_array()", params}, args, nargs, kwnames, a)) return nullptr;
    MaskArgument input;
    std::string order = "F";
    if (!py::noted("masks", convert_masks(a[0], input)) || !py::opt_arg("order", a[1], order))
        return nullptr;
    return py::guarded([&]() -> PyObject* {
        bool row_major = false;
        if (!parse_order(order, row_major)) return nullptr;
        if (input.masks.empty())
            return py::value_error("mask_to_array() needs at least one mask to stack");
        std::vector<const Rle*> rles;
        rles.reserve(input.masks.size());
        for (const Ref& m : input.masks) rles.push_back(&py::record<Rle>(m.get()));
        const Rle& first = *rles.front();
        for (const Rle* m : rles) {
            if (m->h != first.h || m->w != first.w) return py::value_error(mask::size_mismatch(first, *m));
        }
        const std::uint64_t n = rles.size(), h = first.h, w = first.w;
        const std::string size = "(" + std::to_string(h) + ", " + std::to_string(w) + ")";
        const std::string what = input.stacked
                                     ? "decoding a stack of " + std::to_string(n) + " " + size + " masks"
                                     : "decoding a " + size + " mask";
        const mask::u128 pixels = static_cast<mask::u128>(n) * h * w;
        if (auto refusal = mask::refuse_output(what, pixels, pixels)) {
            PyErr_SetString(PyExc_MemoryError, refusal->c_str());
            return nullptr;
        }
        // An empty image may still claim a side no array dimension can hold.
        constexpr auto kMaxSide = static_cast<std::uint64_t>(PY_SSIZE_T_MAX);
        if (h > kMaxSide || w > kMaxSide) {
            PyErr_Format(PyExc_MemoryError, "%s gives an array side of more than 2^63 - 1 pixels", what.c_str());
            return nullptr;
        }
        if (!py::require_numpy()) return nullptr;
        // Each image is contiguous, column-major (stack[i] Fortran-contiguous) or row-major.
        const auto hs = static_cast<Py_ssize_t>(h), ws = static_cast<Py_ssize_t>(w);
        const Py_ssize_t image = hs * ws;
        const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(n), hs, ws};
        const Py_ssize_t strides[3] = {image, row_major ? ws : 1, row_major ? 1 : hs};
        const int skip = input.stacked ? 0 : 1;
        Ref array = Ref::steal(py::new_bool_array(3 - skip, shape + skip, strides + skip));
        if (!array) return nullptr;
        auto* out = reinterpret_cast<std::uint8_t*>(py::array_data(array.get()));
        for (std::size_t i = 0; i < rles.size(); ++i)
            mask::decode_into(*rles[i], out + i * static_cast<std::size_t>(image), row_major);
        return array.release();
    });
}

PyMethodDef functions[] = {
    {"mask_to_array", py::as_cfunction(mask_to_array), METH_FASTCALL | METH_KEYWORDS,
     "mask_to_array(masks, order=\"F\")\n--\n\n"
     "Decode masks into a NumPy bool array.\n\n"
     "One `Mask` gives an `(h, w)` array; a sequence of masks of one size gives\n"
     "an `(n, h, w)` stack. With `order=\"F\"` (the default) each image is\n"
     "column-major, the order of the runs, which is the fastest; `order=\"C\"`\n"
     "gives row-major (C-contiguous) images."},
};

}  // namespace

std::span<PyMethodDef> masks_functions() { return functions; }

}  // namespace vestrim::native
