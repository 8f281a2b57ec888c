// Native readers of the benchmark text formats: the bytes of a file straight into the column arrays
// of the package's tables, with the same errors as the package's Python reference readers.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/mask.hpp"
#include "native/label_text.hpp"
#include "native/mot_text.hpp"
#include "native/native.hpp"
#include "module/numpy_api.hpp"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL VESTRIM_ARRAY_API
#include <numpy/arrayobject.h>

namespace vestrim::native {

namespace {

using py::Ref;

// Lines parsed between two looks at pending signals (a few milliseconds of work).
constexpr std::size_t kLinesPerBlock = 1 << 16;

using py::without_gil;

// Steps a parser through its text in blocks of lines, the lock released during each block,
// looking at pending signals between blocks. False with the signal handler's exception set.
template <class Parser>
bool parse_in_blocks(Parser& parser) {
    for (bool more = true; more;) {
        without_gil([&] { more = parser.step(kLinesPerBlock); });
        if (PyErr_CheckSignals() < 0) return false;
    }
    return true;
}

class Buffer {
public:
    bool get(PyObject* obj) {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::string_view text() const { return {static_cast<const char*>(view_.buf), std::size_t(view_.len)}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

Ref new_array(int type, std::size_t rows, npy_intp width = 0) {
    npy_intp dims[2] = {npy_intp(rows), width};
    return Ref::steal(PyArray_SimpleNew(width ? 2 : 1, dims, type));
}

template <class T>
T* data_of(const Ref& array) {
    return reinterpret_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

bool shrink(const Ref& array, std::size_t rows) {
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    npy_intp dims[2] = {npy_intp(rows), PyArray_NDIM(a) == 2 ? PyArray_DIM(a, 1) : 0};
    PyArray_Dims shape = {dims, PyArray_NDIM(a)};
    return Ref::steal(PyArray_Resize(a, &shape, 0, NPY_CORDER)) ? true : false;
}

// Cuts arrays made with room for `capacity` rows down to the `rows` the parser wrote; false with an
// exception set.
template <class... Arrays>
bool shrink_all(std::size_t rows, std::size_t capacity, const Arrays&... arrays) {
    return rows >= capacity || (shrink(arrays, rows) && ...);
}

// Runs `read(text, capacity)` on the bytes of `data` (any bytes-like object), numpy loaded, with
// `capacity` the most rows the text can hold.
template <class Read>
PyObject* read_text(PyObject* data, Read&& read) {
    Buffer buffer;
    if (!buffer.get(data) || !py::require_numpy()) return nullptr;
    return py::guarded([&]() -> PyObject* {
        const std::string_view text = buffer.text();
        return read(text, mot::count_lines(text));
    });
}

// Raises ValueError(message, line); always nullptr.
PyObject* raise_at_line(Ref message, std::size_t line) {
    if (!message) return nullptr;
    Ref error = Ref::steal(Py_BuildValue("(On)", message.get(), Py_ssize_t(line)));
    if (error) PyErr_SetObject(PyExc_ValueError, error.get());
    return nullptr;
}

// The message both text formats give for a value (`name`, the `ordinal` value of its line, written
// as `token`) that is not an integer, does not fit in 64 bits, is not a number or, for any other
// `fault`, is not finite.
template <class Fault>
Ref value_message(Fault fault, const char* name, const char* ordinal, PyObject* token) {
    if (fault == Fault::NotInteger)
        return Ref::steal(PyUnicode_FromFormat("%s (%s value) must be an integer, got %R", name, ordinal, token));
    if (fault == Fault::IntegerRange)
        return Ref::steal(PyUnicode_FromFormat("%s %U does not fit in 64 bits", name, token));
    if (fault == Fault::NotNumber)
        return Ref::steal(PyUnicode_FromFormat("%s (%s value) must be a number, got %R", name, ordinal, token));
    return Ref::steal(PyUnicode_FromFormat("%s must be finite, got %R", name, token));
}

constexpr const char* kNames[] = {"frame", "id", "x", "y", "width", "height", "confidence", "class"};
constexpr const char* kOrdinals[] = {"1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th"};

// The message of a failed read, worded as the Python reference words it (fields quoted by their
// repr, undecodable bytes as U+FFFD).
Ref failure_message(const mot::Failure& f) {
    using mot::Fault;
    Ref token = Ref::steal(PyUnicode_DecodeUTF8(f.token.data(), Py_ssize_t(f.token.size()), "replace"));
    if (!token) return {};
    const char* name = kNames[f.field];
    const char* ordinal = kOrdinals[f.field];
    switch (f.fault) {
        case Fault::FewValues:
            return Ref::steal(PyUnicode_FromFormat("expected at least %d comma-separated values, found %zu",
                                                   mot::kMinValues, f.count));
        case Fault::NotInteger:
        case Fault::IntegerRange:
        case Fault::NotNumber:
        case Fault::NotFinite:
            return value_message(f.fault, name, ordinal, token.get());
        case Fault::FrameTooSmall:
            return Ref::steal(PyUnicode_FromFormat("frame numbers start at 1, got %lld", (long long)f.value));
        case Fault::FrameTooLarge:
            return Ref::steal(PyUnicode_FromFormat("frame number %lld is implausibly large (the limit is %lld)",
                                                   (long long)f.value, (long long)mot::kMaxFrame));
        case Fault::Coordinates:
            return Ref::steal(PyUnicode_FromFormat("box coordinates beyond %s in magnitude", "1e+150"));
        case Fault::Duplicate:
            return Ref::steal(PyUnicode_FromFormat("id %lld occurs twice in frame %lld", (long long)f.id,
                                                   (long long)f.value));
        case Fault::None:
            break;
    }
    return Ref::steal(PyUnicode_FromString("unknown fault"));
}

constexpr const char* kReadMotDoc =
    "read_mot(data, columns, repeats=True)\n--\n\n"
    "Parses MOTChallenge text (any bytes-like object) into (frames, ids, boxes, conf, classes, lines,\n"
    "last_frame). A malformed line or (unless repeats is false) a repeated (frame, id) raises\n"
    "ValueError(message, line).";

PyObject* read_mot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Param params[] = {{"data", true}, {"columns", true}, {"repeats", false}};
    PyObject* a[3];
    if (!py::bind({"read_mot()", params}, args, nargs, kwnames, a)) return nullptr;
    const long columns = PyLong_AsLong(a[1]);
    if (columns == -1 && PyErr_Occurred()) return nullptr;
    // Multi-class files may repeat an id within a frame across classes: their check is per class.
    const int repeats = a[2] == nullptr ? 1 : PyObject_IsTrue(a[2]);
    if (repeats < 0) return nullptr;
    if (columns < 6 || columns > 8) return py::value_error("columns must be 6, 7 or 8");
    return read_text(a[0], [&](std::string_view text, std::size_t capacity) -> PyObject* {
        Ref frames = new_array(NPY_INT64, capacity), ids = new_array(NPY_INT64, capacity),
            boxes = new_array(NPY_FLOAT64, capacity, 4), conf = new_array(NPY_FLOAT64, capacity),
            classes = new_array(NPY_FLOAT64, capacity), lines = new_array(NPY_INT64, capacity);
        if (!frames || !ids || !boxes || !conf || !classes || !lines) return nullptr;
        const mot::Columns out{data_of<std::int64_t>(frames), data_of<std::int64_t>(ids), data_of<double>(boxes),
                               data_of<double>(conf),          data_of<double>(classes), data_of<std::int64_t>(lines),
                               capacity};
        mot::Parser parser(text, int(columns), out);
        if (!parse_in_blocks(parser)) return nullptr;
        mot::Failure failure;
        without_gil([&] { failure = parser.finish(repeats != 0); });
        if (failure.fault != mot::Fault::None) return raise_at_line(failure_message(failure), failure.line);
        if (!shrink_all(parser.rows(), capacity, frames, ids, boxes, conf, classes, lines)) return nullptr;
        Ref last_frame = Ref::steal(PyLong_FromLongLong(parser.last_frame()));
        if (!last_frame) return nullptr;
        return PyTuple_Pack(7, frames.get(), ids.get(), boxes.get(), conf.get(), classes.get(), lines.get(),
                            last_frame.get());
    });
}

// ---------------------------------------------------------------------------------------------
// KITTI tracking and mask label files

constexpr const char* kLabelOrdinals[] = {"1st", "2nd", "3rd", "4th", "5th", "6th", "7th", "8th", "9th", "10th"};
constexpr const char* kKittiNames[] = {"frame", "id", "type", "truncated", "occluded", "alpha", "x1", "y1", "x2", "y2"};
constexpr const char* kMotsNames[] = {"frame", "id", "class", "height", "width", "rle"};

// Whether `token` is UTF-8, as Mask.from_coco checks counts given as bytes; nothing with an
// exception set if the check itself failed.
std::optional<bool> is_utf8(std::string_view token) {
    if (std::all_of(token.begin(), token.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return true;
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(token.data(), Py_ssize_t(token.size()), "strict"));
    if (decoded) return true;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return std::nullopt;
    PyErr_Clear();
    return false;
}

// The message of a failed read, worded as the Python reference readers word it. `names`: the
// values of a line by position; `few_values`: the format of the message for a short line.
Ref label_failure_message(const labels::Failure& f, const char* const* names, const char* few_values) {
    using labels::Fault;
    Ref token = Ref::steal(PyUnicode_DecodeUTF8(f.token.data(), Py_ssize_t(f.token.size()), "replace"));
    if (!token) return {};
    const char* name = names[f.field];
    const char* ordinal = kLabelOrdinals[f.field];
    switch (f.fault) {
        case Fault::FewValues:
            return Ref::steal(PyUnicode_FromFormat(few_values, f.count));
        case Fault::NotInteger:
        case Fault::IntegerRange:
        case Fault::NotNumber:
        case Fault::NotFinite:
            return value_message(f.fault, name, ordinal, token.get());
        case Fault::UnknownType:
            return Ref::steal(PyUnicode_FromFormat("unknown object type %R", token.get()));
        case Fault::Coordinates:
            return Ref::steal(PyUnicode_FromFormat("box coordinates beyond %s in magnitude", "1e+150"));
        case Fault::NegativeSize:
            return Ref::steal(PyUnicode_FromFormat("mask size %lldx%lld is negative", (long long)f.height,
                                                   (long long)f.width));
        case Fault::Mask: {
            const std::optional<bool> utf8 = is_utf8(f.token);
            if (!utf8) return {};
            if (!*utf8) return Ref::steal(PyUnicode_FromString("mask: RLE counts bytes must be valid ASCII"));
            return Ref::steal(PyUnicode_FromFormat("mask: %s", f.message.c_str()));
        }
        case Fault::None:
            break;
    }
    return Ref::steal(PyUnicode_FromString("unknown fault"));
}

constexpr const char* kReadKittiDoc =
    "read_kitti(data)\n--\n\n"
    "Parses a KITTI tracking label file (any bytes-like object) into (frames, ids, types, truncated,\n"
    "occluded, boxes, lines). A malformed line raises ValueError(message, line).";

PyObject* read_kitti(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Param params[] = {{"data", true}};
    PyObject* a[1];
    if (!py::bind({"read_kitti()", params}, args, nargs, kwnames, a)) return nullptr;
    return read_text(a[0], [&](std::string_view text, std::size_t capacity) -> PyObject* {
        Ref frames = new_array(NPY_INT64, capacity), ids = new_array(NPY_INT64, capacity),
            types = new_array(NPY_INT8, capacity), truncated = new_array(NPY_FLOAT64, capacity),
            occluded = new_array(NPY_FLOAT64, capacity), boxes = new_array(NPY_FLOAT64, capacity, 4),
            lines = new_array(NPY_INT64, capacity);
        if (!frames || !ids || !types || !truncated || !occluded || !boxes || !lines) return nullptr;
        labels::KittiParser parser(
            text, {data_of<std::int64_t>(frames), data_of<std::int64_t>(ids), data_of<std::int8_t>(types),
                   data_of<double>(truncated), data_of<double>(occluded), data_of<double>(boxes),
                   data_of<std::int64_t>(lines)});
        if (!parse_in_blocks(parser)) return nullptr;
        if (parser.failure().fault != labels::Fault::None)
            return raise_at_line(label_failure_message(parser.failure(), kKittiNames,
                                                       "expected at least 10 space-separated values, found %zu"),
                                 parser.failure().line);
        if (!shrink_all(parser.rows(), capacity, frames, ids, types, truncated, occluded, boxes, lines))
            return nullptr;
        return PyTuple_Pack(7, frames.get(), ids.get(), types.get(), truncated.get(), occluded.get(), boxes.get(),
                            lines.get());
    });
}

// The public Mask class; looked up again after a failed attempt.
PyTypeObject* mask_class() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = public_record_type<mask::Rle>("Mask");
    return type;
}

constexpr const char* kReadMotsDoc =
    "read_mots(data)\n--\n\n"
    "Parses a mask tracking file (any bytes-like object) into (frames, ids, classes, sizes, areas,\n"
    "masks, lines), masks a list of Mask. A malformed line raises ValueError(message, line).";

PyObject* read_mots(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Param params[] = {{"data", true}};
    PyObject* a[1];
    if (!py::bind({"read_mots()", params}, args, nargs, kwnames, a)) return nullptr;
    return read_text(a[0], [&](std::string_view text, std::size_t capacity) -> PyObject* {
        PyTypeObject* mask_type = mask_class();
        if (mask_type == nullptr) return nullptr;
        Ref frames = new_array(NPY_INT64, capacity), ids = new_array(NPY_INT64, capacity),
            classes = new_array(NPY_INT64, capacity), sizes = new_array(NPY_INT64, capacity, 2),
            areas = new_array(NPY_INT64, capacity), lines = new_array(NPY_INT64, capacity);
        if (!frames || !ids || !classes || !sizes || !areas || !lines) return nullptr;
        // Decoded without the lock; wrapped into Mask objects (moved, not copied) once it is back.
        std::vector<mask::Rle> rles;
        labels::MotsParser parser(
            text, {data_of<std::int64_t>(frames), data_of<std::int64_t>(ids), data_of<std::int64_t>(classes),
                   data_of<std::int64_t>(sizes), data_of<std::int64_t>(areas), data_of<std::int64_t>(lines), &rles});
        if (!parse_in_blocks(parser)) return nullptr;
        if (parser.failure().fault != labels::Fault::None)
            return raise_at_line(
                label_failure_message(parser.failure(), kMotsNames,
                                      "expected 6 space-separated values (frame id class height width rle), found %zu"),
                parser.failure().line);
        const std::size_t rows = parser.rows();
        if (!shrink_all(rows, capacity, frames, ids, classes, sizes, areas, lines)) return nullptr;
        Ref masks = Ref::steal(PyList_New(Py_ssize_t(rows)));
        if (!masks) return nullptr;
        for (std::size_t r = 0; r < rows; ++r) {
            PyObject* mask = py::wrap_record(mask_type, std::move(rles[r]));
            if (mask == nullptr) return nullptr;
            PyList_SET_ITEM(masks.get(), Py_ssize_t(r), mask);
        }
        return PyTuple_Pack(7, frames.get(), ids.get(), classes.get(), sizes.get(), areas.get(), masks.get(),
                            lines.get());
    });
}

PyMethodDef readers_table[] = {
    {"read_mot", py::as_cfunction(read_mot), METH_FASTCALL | METH_KEYWORDS, kReadMotDoc},
    {"read_kitti", py::as_cfunction(read_kitti), METH_FASTCALL | METH_KEYWORDS, kReadKittiDoc},
    {"read_mots", py::as_cfunction(read_mots), METH_FASTCALL | METH_KEYWORDS, kReadMotsDoc},
};

}  // namespace

std::span<PyMethodDef> readers_functions() { return readers_table; }

}  // namespace vestrim::native
