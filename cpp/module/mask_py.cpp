// Python entry points for run-length masks: the Mask class, the conversion of Mask objects and
// COCO-style dicts into Rle values, and the mask functions.
#include <memory>
#include <optional>

#include "core/assignment.hpp"
#include "core/mask.hpp"
#include "module/assignment_py.hpp"
#include "module/boxes.hpp"
#include "module/exports.hpp"
#include "module/numpy_api.hpp"

namespace vestrim::py {
namespace {

using mask::Rle;

// ---------------------------------------------------------------------------------------------
// Conversions

// An integer as an unsigned 64-bit value (index protocol; negative or too large: OverflowError).
bool convert_u64(PyObject* obj, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// A run length: an integer from 0 to 4294967295.
bool convert_run(PyObject* obj, std::uint32_t& out) {
    long long v;
    if (PyLong_CheckExact(obj)) {
        v = PyLong_AsLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) return false;
        v = PyLong_AsLongLong(index.get());
    }
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > static_cast<long long>(mask::kMaxRun)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool convert_runs(PyObject* obj, std::vector<std::uint32_t>& out) {
    return for_each_item(
        obj, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            std::uint32_t run = 0;
            if (!convert_run(item, run)) return false;
            out.push_back(run);
            return true;
        });
}

struct MaskSize {
    std::uint64_t h = 0;
    std::uint64_t w = 0;
};

// (h, w): any sequence of exactly two non-negative integers.
bool convert(PyObject* obj, MaskSize& out) {
    if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence");
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length 2 (got %zd)", n);
        return false;
    }
    std::uint64_t v[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
        Ref item = Ref::steal(PySequence_GetItem(obj, k));
        if (!item || !convert_u64(item.get(), v[k])) return false;
    }
    out = MaskSize{v[0], v[1]};
    return true;
}

// Run lengths as an argument (a struct, so the argument helpers find its conversion).
struct Runs {
    std::vector<std::uint32_t> values;
};

bool convert(PyObject* obj, Runs& out) { return convert_runs(obj, out.values); }

// A flag: exactly True or False, or a NumPy boolean scalar read through its truth value.
struct Flag {
    bool value = false;
};

bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
    Ref name = module ? Ref::steal(PyObject_GetAttrString(type, "__name__")) : Ref();
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

bool convert(PyObject* obj, Flag& out) {
    if (PyBool_Check(obj)) {
        out.value = obj == Py_True;
        return true;
    }
    if (!is_numpy_bool(obj)) return type_mismatch(obj, "bool");
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out.value = truth != 0;
    return true;
}

// `None` or a sequence of flags.
struct CrowdFlags {
    std::optional<std::vector<bool>> flags;
};

bool convert(PyObject* obj, CrowdFlags& out) {
    if (obj == Py_None) {
        out.flags.reset();
        return true;
    }
    std::vector<bool> flags;
    const bool ok = for_each_item(
        obj, [&](std::size_t n) { flags.reserve(n); },
        [&](PyObject* item) {
            Flag f;
            if (!convert(item, f)) return false;
            flags.push_back(f.value);
            return true;
        });
    if (!ok) return false;
    out.flags = std::move(flags);
    return true;
}

// A sequence of arbitrary objects (masks not yet converted), each held by reference.
struct Objects {
    std::vector<Ref> items;
};

bool convert(PyObject* obj, Objects& out) {
    return for_each_item(
        obj, [&](std::size_t n) { out.items.reserve(n); },
        [&](PyObject* item) {
            out.items.push_back(Ref::borrow(item));
            return true;
        });
}

// A successful core result, or false with a ValueError carrying the core's message.
template <class T>
bool take(Result<T>&& r, T& out) {
    if (!r) {
        value_error(r.error());
        return false;
    }
    out = std::move(*r);
    return true;
}

// True when `bytes` is valid UTF-8 (strict: no overlongs, surrogates or code points past U+10FFFF).
bool valid_utf8(const unsigned char* s, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

// Run lengths given as a compressed counts string (str or bytes) or as a sequence of integers.
// Raised exactly as the decoder, the constructor or the integer conversion report them.
bool rle_from_coco_counts(std::uint64_t h, std::uint64_t w, PyObject* counts, Rle& out) {
    if (PyBytes_Check(counts)) {
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(counts));
        const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(counts));
        if (!valid_utf8(data, n)) {
            value_error("RLE counts bytes must be valid ASCII");
            return false;
        }
        return take(Rle::from_compressed(h, w, {reinterpret_cast<const char*>(data), n}), out);
    }
    if (PyUnicode_Check(counts)) {
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(counts, &n);
        if (text != nullptr) return take(Rle::from_compressed(h, w, {text, static_cast<std::size_t>(n)}), out);
        // Not encodable (a lone surrogate): not taken as a string; the run-list path refuses it.
        PyErr_Clear();
    }
    std::vector<std::uint32_t> runs;
    if (!convert_runs(counts, runs)) return false;
    return take(Rle::create(h, w, std::move(runs)), out);
}

// A Mask (copied) or a mapping with "size" and "counts". Failures are raised as they are, with no
// argument note.
bool extract_rle(PyObject* obj, Rle& out) {
    PyTypeObject* type = mask_type();
    if (type == nullptr) return false;
    if (PyObject_TypeCheck(obj, type)) {
        out = record<Rle>(obj);
        return true;
    }
    Ref size_key = Ref::steal(PyUnicode_FromString("size"));
    if (!size_key) return false;
    Ref size_value = Ref::steal(PyObject_GetItem(obj, size_key.get()));
    if (!size_value) return false;
    MaskSize size;
    if (!convert(size_value.get(), size)) return false;
    Ref counts_key = Ref::steal(PyUnicode_FromString("counts"));
    if (!counts_key) return false;
    Ref counts = Ref::steal(PyObject_GetItem(obj, counts_key.get()));
    if (!counts) return false;
    return rle_from_coco_counts(size.h, size.w, counts.get(), out);
}

bool extract_all(const Objects& objects, std::vector<Rle>& out) {
    out.resize(objects.items.size());
    for (std::size_t i = 0; i < objects.items.size(); ++i) {
        if (!extract_rle(objects.items[i].get(), out[i])) return false;
    }
    return true;
}

PyObject* new_mask(Rle&& rle) { return wrap_record(mask_type(), std::move(rle)); }

// "decoding a (h, w) mask"
std::string mask_description(const char* action, std::uint64_t h, std::uint64_t w) {
    return std::string(action) + " a (" + fmt_u64(h) + ", " + fmt_u64(w) + ") mask";
}

// False with a MemoryError carrying the message, if there is one.
bool memory_error(const std::optional<std::string>& refusal) {
    if (!refusal) return true;
    PyErr_SetString(PyExc_MemoryError, refusal->c_str());
    return false;
}

// ---------------------------------------------------------------------------------------------
// The Mask class

PyObject* mask_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Param params[] = {{"size", true}, {"counts", true}};
    PyObject* a[2];
    if (!bind_tuple({"Mask.__new__()", params}, args, kwargs, a)) return nullptr;
    MaskSize size;
    Runs runs;
    if (!arg("size", a[0], size) || !arg("counts", a[1], runs)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rle rle;
        if (!take(Rle::create(size.h, size.w, std::move(runs.values)), rle)) return nullptr;
        return wrap_record(type, std::move(rle));
    });
}

PyObject* mask_from_coco(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"size", true}, {"counts", true}};
    PyObject* a[2];
    if (!bind({"Mask.from_coco()", params}, args, nargs, kwnames, a)) return nullptr;
    MaskSize size;
    if (!arg("size", a[0], size)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rle rle;
        if (!rle_from_coco_counts(size.h, size.w, a[1], rle)) return nullptr;
        return new_mask(std::move(rle));
    });
}

PyObject* mask_area_method(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(record<Rle>(self).area());
}

PyObject* mask_to_coco(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return new_str(record<Rle>(self).to_compressed()); });
}

PyObject* mask_repr(PyObject* self) {
    const Rle& rle = record<Rle>(self);
    return new_str("Mask(size=(" + fmt_u64(rle.h) + ", " + fmt_u64(rle.w) +
                   "), area=" + fmt_u64(rle.area()) + ")");
}

PyObject* mask_size(PyObject* self, void*) {
    const Rle& rle = record<Rle>(self);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(rle.h),
                         static_cast<unsigned long long>(rle.w));
}

PyObject* mask_counts(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return to_py(record<Rle>(self).counts); });
}

PyGetSetDef mask_getset[] = {
    {"size", mask_size, nullptr, "`(h, w)` of the image.", nullptr},
    {"counts", mask_counts, nullptr,
     "Run lengths (a new list), alternating background and foreground, starting with background.",
     nullptr},
    {},
};

PyMethodDef mask_methods[] = {
    {"area", mask_area_method, METH_NOARGS, "area($self)\n--\n\nForeground pixel count."},
    {"to_coco", mask_to_coco, METH_NOARGS,
     "to_coco($self)\n--\n\n"
     "The COCO compressed counts string of the runs (a `str`; the size is not included)."},
    {"from_coco", as_cfunction(mask_from_coco), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_coco(size, counts)\n--\n\n"
     "Build a mask from COCO data: `size` is `(h, w)` and `counts` a compressed\n"
     "counts string (`str` or `bytes`) or a sequence of run lengths."},
    {},
};

// ---------------------------------------------------------------------------------------------
// Module functions

PyObject* mask_area_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"mask", true}};
    PyObject* a[1];
    if (!bind({"mask_area()", params}, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rle rle;
        if (!extract_rle(a[0], rle)) return nullptr;
        return PyLong_FromUnsignedLongLong(rle.area());
    });
}

PyObject* mask_iou_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"mask_a", true}, {"mask_b", true}, {"is_crowd", false}};
    PyObject* a[3];
    if (!bind({"mask_iou()", params}, args, nargs, kwnames, a)) return nullptr;
    Flag is_crowd;
    if (!opt_arg("is_crowd", a[2], is_crowd)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rle mask_a, mask_b;
        if (!extract_rle(a[0], mask_a) || !extract_rle(a[1], mask_b)) return nullptr;
        double value = 0.0;
        if (!take(mask::iou(mask_a, mask_b, is_crowd.value), value)) return nullptr;
        return PyFloat_FromDouble(value);
    });
}

PyObject* mask_iou_matrix_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"masks_a", true}, {"masks_b", true}, {"is_crowd", false}};
    PyObject* a[3];
    if (!bind({"mask_iou_matrix()", params}, args, nargs, kwnames, a)) return nullptr;
    Objects masks_a, masks_b;
    CrowdFlags is_crowd;
    if (!arg("masks_a", a[0], masks_a) || !arg("masks_b", a[1], masks_b) ||
        !opt_arg("is_crowd", a[2], is_crowd))
        return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<Rle> rles_a, rles_b;
        if (!extract_all(masks_a, rles_a) || !extract_all(masks_b, rles_b)) return nullptr;
        // std::vector<bool> is packed; the core reads a span of plain bools.
        std::unique_ptr<bool[]> flags;
        std::optional<std::span<const bool>> crowd;
        if (is_crowd.flags) {
            const std::size_t n = is_crowd.flags->size();
            flags.reset(new bool[n]);
            for (std::size_t j = 0; j < n; ++j) flags[j] = (*is_crowd.flags)[j];
            crowd = std::span<const bool>(flags.get(), n);
        }
        memory::LargeVector<double> matrix;
        if (!take(mask::iou_matrix(rles_a, rles_b, crowd), matrix)) return nullptr;
        return matrix_to_py(matrix.data(), rles_a.size(), rles_b.size());
    });
}

PyObject* match_masks_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {
        {"masks_a", true}, {"masks_b", true}, {"iou_threshold", false}, {"method", false}};
    PyObject* a[4];
    if (!bind({"match_masks()", params}, args, nargs, kwnames, a)) return nullptr;
    Objects masks_a, masks_b;
    double iou_threshold = 0.5;
    std::string method_text = "hungarian";
    if (!arg("masks_a", a[0], masks_a) || !arg("masks_b", a[1], masks_b) ||
        !opt_arg("iou_threshold", a[2], iou_threshold) || !opt_arg("method", a[3], method_text))
        return nullptr;
    return guarded([&]() -> PyObject* {
        // The method is checked before any mask is converted.
        const auto method = parse_method(method_text);
        if (!ok_or_value_error(method)) return nullptr;
        std::vector<Rle> rles_a, rles_b;
        if (!extract_all(masks_a, rles_a) || !extract_all(masks_b, rles_b)) return nullptr;
        memory::LargeVector<double> matrix;
        if (!take(mask::iou_matrix(rles_a, rles_b, std::nullopt), matrix)) return nullptr;
        return new_matching(
            assignment::match_boxes(matrix, rles_a.size(), rles_b.size(), *method, iou_threshold));
    });
}

PyObject* mask_merge_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"masks", true}, {"intersect", false}};
    PyObject* a[2];
    if (!bind({"mask_merge()", params}, args, nargs, kwnames, a)) return nullptr;
    Objects masks;
    Flag intersect;
    if (!arg("masks", a[0], masks) || !opt_arg("intersect", a[1], intersect)) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<Rle> rles;
        if (!extract_all(masks, rles)) return nullptr;
        Rle merged;
        if (!take(mask::merge(rles, intersect.value), merged)) return nullptr;
        return new_mask(std::move(merged));
    });
}

PyObject* mask_to_bbox_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"mask", true}, {"box_format", false}};
    PyObject* a[2];
    if (!bind({"mask_to_bbox()", params}, args, nargs, kwnames, a)) return nullptr;
    std::string box_format = "xyxy";
    if (!opt_arg("box_format", a[1], box_format)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rle rle;
        if (!extract_rle(a[0], rle)) return nullptr;
        // The box is computed before the format is checked: a bad format is only reported for a
        // mask that converted.
        const Box box = mask::bbox(rle, box_format == "xywh");
        const auto format = parse_box_format(box_format);
        if (!ok_or_value_error(format)) return nullptr;
        return Py_BuildValue("(dddd)", box.x1, box.y1, box.x2, box.y2);
    });
}

PyObject* mask_decode_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"mask", true}};
    PyObject* a[1];
    if (!bind({"mask_decode()", params}, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        Rle rle;
        if (!extract_rle(a[0], rle)) return nullptr;
        // Refused before anything is allocated: a byte per pixel for the grid, then a list of
        // pointers per row.
        const mask::u128 pixels = static_cast<mask::u128>(rle.h) * rle.w;
        if (!memory_error(mask::refuse_output(mask_description("decoding", rle.h, rle.w), pixels,
                                              pixels * 9 + static_cast<mask::u128>(rle.h) * 64)))
            return nullptr;
        const std::vector<std::uint8_t> grid = mask::decode_rows(rle);
        Ref values[2] = {Ref::steal(PyLong_FromLong(0)), Ref::steal(PyLong_FromLong(1))};
        if (!values[0] || !values[1]) return nullptr;
        // An empty image may still claim more rows (or, with rows, columns) than a list can hold.
        // Without rows the width is never materialised: the result is simply [].
        if (rle.h > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) ||
            (rle.h > 0 && rle.w > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)))
            return PyErr_NoMemory();
        const auto h = static_cast<Py_ssize_t>(rle.h), w = static_cast<Py_ssize_t>(rle.w);
        Ref rows = Ref::steal(PyList_New(h));
        if (!rows) return nullptr;
        const std::uint8_t* cell = grid.data();
        for (Py_ssize_t r = 0; r < h; ++r) {
            PyObject* row = PyList_New(w);
            if (row == nullptr) return nullptr;
            PyList_SET_ITEM(rows.get(), r, row);
            for (Py_ssize_t c = 0; c < w; ++c) PyList_SET_ITEM(row, c, Py_NewRef(values[*cell++].get()));
        }
        return rows.release();
    });
}

PyObject* mask_encode_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"bitmap", true}};
    PyObject* a[1];
    if (!bind({"mask_encode()", params}, args, nargs, kwnames, a)) return nullptr;
    ArrayView view;
    if (!as_ndarray(a[0], view) || view.ndim != 2 || view.elem != Elem::UInt8) {
        type_mismatch(a[0], "ndarray");
        add_processing_note("bitmap");
        return nullptr;
    }
    Ref bitmap = Ref::borrow(a[0]);  // held for the duration of the read
    return guarded([&]() -> PyObject* {
        const auto h = static_cast<std::uint64_t>(view.shape[0]), w = static_cast<std::uint64_t>(view.shape[1]);
        const mask::u128 pixels = static_cast<mask::u128>(h) * w;
        if (!memory_error(mask::refuse_output(mask_description("encoding", h, w), pixels,
                                              mask::encoded_bytes_at_least(pixels))))
            return nullptr;
        Rle rle;
        if (!take(mask::encode(reinterpret_cast<const std::uint8_t*>(view.data),
                               static_cast<std::uint64_t>(view.shape[0]),
                               static_cast<std::uint64_t>(view.shape[1]), view.strides[0],
                               view.strides[1]),
                  rle))
            return nullptr;
        return new_mask(std::move(rle));
    });
}

}  // namespace

PyTypeObject* mask_type() {
    static PyTypeObject* type = record_class<Rle>({
        .name = "Mask",
        .doc = "Mask(size, counts)\n--\n\n"
               "A run-length-encoded binary mask in the COCO convention.\n\n"
               "`counts` alternates background and foreground run lengths, walked\n"
               "column-major over an `(h, w)` image, and always starts with a (possibly\n"
               "zero-length) background run; `size` is `(h, w)`. Masks are immutable.",
        .getset = mask_getset,
        .repr = mask_repr,
        .methods = mask_methods,
        .construct = mask_new,
    });
    return type;
}

PyMethodDef match_masks_def = {
    "match_masks", as_cfunction(match_masks_entry), METH_FASTCALL | METH_KEYWORDS,
    "match_masks(masks_a, masks_b, iou_threshold=0.5, method=\"hungarian\")\n--\n\n"
    "Match two sets of masks, mirroring [`match_boxes`] for segmentation masks.\n\n"
    "Each mask is a [`Mask`] or a COCO-style dict; all masks must share one `(h, w)`.\n"
    "`method` is either `\"hungarian\"` (optimal, maximises total IoU) or\n"
    "`\"greedy\"` (assign highest-IoU pairs first). Only pairs with IoU at or above\n"
    "`iou_threshold` are kept."};

PyMethodDef mask_area_def = {
    "mask_area", as_cfunction(mask_area_entry), METH_FASTCALL | METH_KEYWORDS,
    "mask_area(mask)\n--\n\n"
    "Foreground pixel count of a mask, given as a [`Mask`] or a COCO-style dict\n"
    "(`{\"size\": [h, w], \"counts\": ...}`)."};

PyMethodDef mask_iou_def = {
    "mask_iou", as_cfunction(mask_iou_entry), METH_FASTCALL | METH_KEYWORDS,
    "mask_iou(mask_a, mask_b, is_crowd=False)\n--\n\n"
    "Intersection-over-union of two masks of the same `(h, w)`, each a [`Mask`]\n"
    "or a COCO-style dict.\n\n"
    "With `is_crowd=True`, `mask_b` is a crowd/ignore region and the score is the\n"
    "intersection over `mask_a`'s own area (the COCO crowd rule, spelled `is_crowd`\n"
    "like the library's other snake_case parameters)."};

PyMethodDef mask_iou_matrix_def = {
    "mask_iou_matrix", as_cfunction(mask_iou_matrix_entry), METH_FASTCALL | METH_KEYWORDS,
    "mask_iou_matrix(masks_a, masks_b, is_crowd=None)\n--\n\n"
    "Pairwise IoU matrix between two sets of masks: one row per mask of\n"
    "`masks_a`, one column per mask of `masks_b`.\n\n"
    "`is_crowd`, if given, must have one entry per mask in `masks_b`; a true entry\n"
    "makes that column a crowd region, scored as intersection over the area of the\n"
    "`masks_a` mask."};

PyMethodDef mask_merge_def = {
    "mask_merge", as_cfunction(mask_merge_entry), METH_FASTCALL | METH_KEYWORDS,
    "mask_merge(masks, intersect=False)\n--\n\n"
    "Union (`intersect=False`, the default) or intersection (`intersect=True`) of\n"
    "same-size masks.\n\n"
    "An empty list yields an empty `Mask((0, 0), [])`; masks of different sizes\n"
    "raise `ValueError`."};

PyMethodDef mask_to_bbox_def = {
    "mask_to_bbox", as_cfunction(mask_to_bbox_entry), METH_FASTCALL | METH_KEYWORDS,
    "mask_to_bbox(mask, box_format=\"xyxy\")\n--\n\n"
    "Bounding box of the mask's foreground pixels, or `(0, 0, 0, 0)` if there are\n"
    "none.\n\n"
    "`box_format` is `\"xyxy\"` (the default, as for every other box primitive of\n"
    "the module) or `\"xywh\"` (the COCO box convention)."};

PyMethodDef mask_decode_def = {
    "mask_decode", as_cfunction(mask_decode_entry), METH_FASTCALL | METH_KEYWORDS,
    "mask_decode(mask)\n--\n\n"
    "Decode a mask to a dense `(h, w)` nested list of 0/1 values (lists of\n"
    "integers rather than a bytes object)."};

PyMethodDef mask_encode_def = {
    "mask_encode", as_cfunction(mask_encode_entry), METH_FASTCALL | METH_KEYWORDS,
    "mask_encode(bitmap)\n--\n\n"
    "Encode a dense `(h, w)` `uint8` NumPy array (any nonzero value is\n"
    "foreground) into a [`Mask`]."};

}  // namespace vestrim::py
