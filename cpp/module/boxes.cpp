#include "module/boxes.hpp"

#include <cstdio>
#include <algorithm>
#include <cstring>

#include "module/numpy_api.hpp"

namespace vestrim::py {

// ---------------------------------------------------------------------------------------------
// Box format

std::string debug_quoted(const std::string& text) {
    // Decode UTF-8 so that non-printable code points can be written as \u{..}.
    std::string out = "\"";
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!decoded) {
        PyErr_Clear();
        return out + text + "\"";
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(decoded.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(decoded.get(), i);
        switch (c) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (!Py_UNICODE_ISPRINTABLE(c)) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
            out += buffer;
            continue;
        }
        // Re-encode the code point as UTF-8.
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out + "\"";
}

Result<BoxFormat> parse_box_format(const std::string& text) {
    if (text == "xyxy") return BoxFormat::Xyxy;
    if (text == "xywh") return BoxFormat::Xywh;
    return std::unexpected("unknown box_format " + debug_quoted(text) + ", expected \"xyxy\" or \"xywh\"");
}

Box to_xyxy(const Box& box, BoxFormat format) {
    if (format == BoxFormat::Xyxy) return box;
    return Box{box.x1, box.y1, box.x1 + box.x2, box.y1 + box.y2};
}

// ---------------------------------------------------------------------------------------------
// Box-like items and box sets

bool convert_float_item(PyObject* obj, double* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        if (Py_SIZE(obj) != n) {
            PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", n, Py_SIZE(obj));
            return false;
        }
        // The common case, exact floats: reading them runs no Python code, so the items can be read
        // in place without holding references.
        PyObject* const* items = PySequence_Fast_ITEMS(obj);
        bool all_floats = true;
        for (Py_ssize_t k = 0; k < n && all_floats; ++k) all_floats = PyFloat_CheckExact(items[k]);
        if (all_floats) {
            for (Py_ssize_t k = 0; k < n; ++k) out[k] = PyFloat_AS_DOUBLE(items[k]);
            return true;
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            // A list can shrink while an element converts; re-check before every read.
            if (Py_SIZE(obj) <= k) {
                PyErr_SetString(PyExc_IndexError, "sequence changed size during conversion");
                return false;
            }
            Ref item = Ref::borrow(PyTuple_CheckExact(obj) ? PyTuple_GET_ITEM(obj, k) : PyList_GET_ITEM(obj, k));
            if (!convert(item.get(), out[k])) return false;
        }
        return true;
    }
    if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence");
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    if (size != n) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", n, size);
        return false;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        Ref item = Ref::steal(PySequence_GetItem(obj, k));
        if (!item || !convert(item.get(), out[k])) return false;
    }
    return true;
}

bool convert(PyObject* obj, Box& out) {
    double v[4];
    if (!convert_float_item(obj, v, 4)) return false;
    out = Box{v[0], v[1], v[2], v[3]};
    return true;
}

namespace {

bool convert_box_list(PyObject* obj, std::vector<Box>& out) {
    return for_each_item(
        obj, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            Box box{};
            if (!convert(item, box)) return false;
            out.push_back(box);
            return true;
        });
}

}  // namespace

bool convert(PyObject* obj, PyBoxes& out) {
    const bool maybe_array = !PyList_CheckExact(obj) && !PyTuple_CheckExact(obj);
    ArrayView view;
    if (maybe_array && as_ndarray(obj, view) && view.ndim == 2 && view.elem == Elem::Float64) {
        out.array.pin(obj, view);
        return true;
    }
    if (convert_box_list(obj, out.list)) return true;
    const std::string list_error = take_error_text();
    std::string array_error = obj == Py_None ? "'None' is not an instance of 'ndarray'"
                                             : "'" + type_name(obj) + "' object is not an instance of 'ndarray'";
    type_error(
        "failed to extract enum PyBoxes ('Array | List')\n"
        "- variant Array (Array): TypeError: failed to extract field PyBoxes::Array.0, caused by TypeError: " +
        array_error +
        "\n- variant List (List): TypeError: failed to extract field PyBoxes::List.0, caused by " + list_error);
    out.list.clear();
    return false;
}

bool convert(PyObject* obj, std::vector<PyBoxes>& out) {
    return for_each_item(
        obj, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            PyBoxes boxes;
            if (!convert(item, boxes)) return false;
            out.push_back(std::move(boxes));
            return true;
        });
}

// ---------------------------------------------------------------------------------------------
// Corner form

Result<BoxSlice> as_boxes(const PyBoxes& boxes, BoxFormat format) {
    BoxSlice slice;
    if (!boxes.array) {
        if (format == BoxFormat::Xyxy) {
            slice.boxes = boxes.list;
            return slice;
        }
        slice.owned.reserve(boxes.list.size());
        for (const Box& b : boxes.list) slice.owned.push_back(to_xyxy(b, format));
        slice.boxes = slice.owned;
        return slice;
    }
    const PinnedMatrix& array = boxes.array;
    if (array.cols != 4) {
        return std::unexpected("boxes array must have shape (N, 4), got [" + std::to_string(array.rows) + ", " +
                               std::to_string(array.cols) + "]");
    }
    const auto n = static_cast<std::size_t>(array.rows);
    const Py_ssize_t row_stride = array.row_stride, col_stride = array.col_stride;
    const bool contiguous = col_stride == sizeof(double) && (row_stride == sizeof(Box) || n <= 1);
    if (format == BoxFormat::Xyxy && contiguous && array.aligned) {
        slice.boxes = {reinterpret_cast<const Box*>(array.data), n};
        return slice;
    }
    slice.owned.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const char* row = array.data + static_cast<Py_ssize_t>(i) * row_stride;
        double v[4];
        for (int k = 0; k < 4; ++k) std::memcpy(&v[k], row + k * col_stride, sizeof(double));
        slice.owned[i] = to_xyxy(Box{v[0], v[1], v[2], v[3]}, format);
    }
    slice.boxes = slice.owned;
    return slice;
}

Result<std::vector<BoxSlice>> to_xyxy_frames(const std::vector<PyBoxes>& sets, BoxFormat format) {
    std::vector<BoxSlice> slices;
    slices.reserve(sets.size());
    for (const PyBoxes& set : sets) {
        auto slice = as_boxes(set, format);
        if (!slice) return std::unexpected(std::move(slice.error()));
        slices.push_back(std::move(*slice));
    }
    return slices;
}

// ---------------------------------------------------------------------------------------------
// Frame validation

namespace {

std::string frame_prefix(std::optional<std::size_t> frame) {
    return frame ? "frame " + std::to_string(*frame) + ": " : std::string();
}

std::string len_of(const char* name, std::optional<std::size_t> frame) {
    return frame ? std::string("len(") + name + "[" + std::to_string(*frame) + "])" : std::string("len(") + name + ")";
}

}  // namespace

Result<void> check_box_frame(std::optional<std::size_t> frame, std::size_t gt_ids, std::size_t gt_boxes,
                             std::size_t pred_ids, std::size_t pred_boxes) {
    if (gt_ids != gt_boxes) {
        return std::unexpected(frame_prefix(frame) + "gt_ids and gt_boxes length mismatch (" +
                               std::to_string(gt_ids) + " vs " + std::to_string(gt_boxes) + ")");
    }
    if (pred_ids != pred_boxes) {
        return std::unexpected(frame_prefix(frame) + "pred_ids and pred_boxes length mismatch (" +
                               std::to_string(pred_ids) + " vs " + std::to_string(pred_boxes) + ")");
    }
    return {};
}

Result<void> check_sim_frame(std::optional<std::size_t> frame, std::size_t gt_ids, std::size_t pred_ids,
                             const SimInput& similarity, std::size_t t) {
    const std::size_t rows = similarity.rows(t);
    if (rows != gt_ids) {
        return std::unexpected(frame_prefix(frame) + "similarity has " + std::to_string(rows) + " rows, expected " +
                               std::to_string(gt_ids) + " (" + len_of("gt_ids", frame) + ")");
    }
    // A frame given as an array has rows of one length: the first stands for all.
    const std::size_t checked = similarity.uniform(t) ? std::min<std::size_t>(rows, 1) : rows;
    for (std::size_t i = 0; i < checked; ++i) {
        const std::size_t cols = similarity.row_length(t, i);
        if (cols != pred_ids) {
            return std::unexpected(frame_prefix(frame) + "similarity row " + std::to_string(i) + " has " +
                                   std::to_string(cols) + " columns, expected " + std::to_string(pred_ids) + " (" +
                                   len_of("pred_ids", frame) + ")");
        }
    }
    return {};
}

Result<std::vector<Frame>> build_frames(const IdFrames& gt_ids, const std::vector<BoxSlice>& gt_boxes,
                                        const IdFrames& pred_ids, const std::vector<BoxSlice>& pred_boxes) {
    const std::size_t n = gt_ids.size();
    if (n != pred_ids.size()) {
        return std::unexpected("gt and pred must have the same number of frames, got " + std::to_string(n) +
                               " and " + std::to_string(pred_ids.size()));
    }
    if (gt_boxes.size() != n || pred_boxes.size() != n)
        return std::unexpected(std::string("ids and boxes must have the same number of frames"));
    std::vector<Frame> frames;
    frames.reserve(n);
    for (std::size_t t = 0; t < n; ++t) {
        const auto gt = gt_ids.frame(t), pred = pred_ids.frame(t);
        auto ok = check_box_frame(t, gt.size(), gt_boxes[t].boxes.size(), pred.size(), pred_boxes[t].boxes.size());
        if (!ok) return std::unexpected(std::move(ok.error()));
        frames.push_back(Frame{gt, gt_boxes[t].boxes, pred, pred_boxes[t].boxes});
    }
    return frames;
}

Result<std::vector<SimFrame>> build_sim_frames(const IdFrames& gt_ids, const IdFrames& pred_ids,
                                               const SimInput& similarity) {
    const std::size_t n = gt_ids.size();
    if (pred_ids.size() != n || similarity.size() != n) {
        return std::unexpected("gt_ids, pred_ids, and similarity must have the same number of frames, got " +
                               std::to_string(n) + ", " + std::to_string(pred_ids.size()) + ", " +
                               std::to_string(similarity.size()));
    }
    std::vector<SimFrame> frames;
    frames.reserve(n);
    for (std::size_t t = 0; t < n; ++t) {
        const auto gt = gt_ids.frame(t), pred = pred_ids.frame(t);
        auto ok = check_sim_frame(t, gt.size(), pred.size(), similarity, t);
        if (!ok) return std::unexpected(std::move(ok.error()));
        frames.push_back(SimFrame{gt, pred, similarity.frame_data(t)});
    }
    return frames;
}

}  // namespace vestrim::py

namespace vestrim::py {

bool BoxSequenceArgs::convert(PyObject* const* args) {
    return arg("gt_ids", args[0], gt_ids) && arg("gt_boxes", args[1], gt_boxes) &&
           arg("pred_ids", args[2], pred_ids) && arg("pred_boxes", args[3], pred_boxes);
}

bool BoxSequenceArgs::build(const std::string& box_format) {
    const auto format = parse_box_format(box_format);
    if (!ok_or_value_error(format)) return false;
    auto gt = to_xyxy_frames(gt_boxes, *format);
    if (!ok_or_value_error(gt)) return false;
    gt_slices = std::move(*gt);
    auto pred = to_xyxy_frames(pred_boxes, *format);
    if (!ok_or_value_error(pred)) return false;
    pred_slices = std::move(*pred);
    auto built = build_frames(gt_ids, gt_slices, pred_ids, pred_slices);
    if (!ok_or_value_error(built)) return false;
    frames = std::move(*built);
    return true;
}

bool SimSequenceArgs::convert(PyObject* const* args) {
    return arg("gt_ids", args[0], gt_ids) && arg("pred_ids", args[1], pred_ids) &&
           arg("similarity", args[2], similarity);
}

bool SimSequenceArgs::build() {
    auto built = build_sim_frames(gt_ids, pred_ids, similarity);
    if (!ok_or_value_error(built)) return false;
    frames = std::move(*built);
    return true;
}

}  // namespace vestrim::py
