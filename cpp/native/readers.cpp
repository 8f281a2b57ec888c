// Native readers of the benchmark text formats: the bytes of a file straight into the column arrays
// of the package's tables, with the same errors as the package's Python reference readers.
#include <cmath>
#include <string_view>

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
            return Ref::steal(PyUnicode_FromFormat("%s (%s value) must be an integer, got %R", name, ordinal,
                                                   token.get()));
        case Fault::IntegerRange:
            return Ref::steal(PyUnicode_FromFormat("%s %U does not fit in 64 bits", name, token.get()));
        case Fault::NotNumber:
            return Ref::steal(PyUnicode_FromFormat("%s (%s value) must be a number, got %R", name, ordinal,
                                                   token.get()));
        case Fault::NotFinite:
            return Ref::steal(PyUnicode_FromFormat("%s must be finite, got %R", name, token.get()));
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
    "read_mot(data, columns)\n--\n\n"
    "Parses MOTChallenge text (any bytes-like object) into (frames, ids, boxes, conf, classes, lines,\n"
    "last_frame). A malformed line or a repeated (frame, id) raises ValueError(message, line).";

PyObject* read_mot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Param params[] = {{"data", true}, {"columns", true}};
    PyObject* a[2];
    if (!py::bind({"read_mot()", params}, args, nargs, kwnames, a)) return nullptr;
    const long columns = PyLong_AsLong(a[1]);
    if (columns == -1 && PyErr_Occurred()) return nullptr;
    if (columns < 6 || columns > 8) return py::value_error("columns must be 6, 7 or 8");
    Buffer buffer;
    if (!buffer.get(a[0]) || !py::require_numpy()) return nullptr;
    return py::guarded([&]() -> PyObject* {
        const std::string_view text = buffer.text();
        const std::size_t capacity = mot::count_lines(text);
        Ref frames = new_array(NPY_INT64, capacity), ids = new_array(NPY_INT64, capacity),
            boxes = new_array(NPY_FLOAT64, capacity, 4), conf = new_array(NPY_FLOAT64, capacity),
            classes = new_array(NPY_FLOAT64, capacity), lines = new_array(NPY_INT64, capacity);
        if (!frames || !ids || !boxes || !conf || !classes || !lines) return nullptr;
        const mot::Columns out{data_of<std::int64_t>(frames), data_of<std::int64_t>(ids), data_of<double>(boxes),
                               data_of<double>(conf),          data_of<double>(classes), data_of<std::int64_t>(lines),
                               capacity};
        mot::Parser parser(text, int(columns), out);
        bool more = true;
        while (more) {
            Py_BEGIN_ALLOW_THREADS
            more = parser.step(kLinesPerBlock);
            Py_END_ALLOW_THREADS
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        mot::Failure failure;
        Py_BEGIN_ALLOW_THREADS
        failure = parser.finish();
        Py_END_ALLOW_THREADS
        if (failure.fault != mot::Fault::None) {
            Ref message = failure_message(failure);
            if (!message) return nullptr;
            Ref error = Ref::steal(Py_BuildValue("(On)", message.get(), Py_ssize_t(failure.line)));
            if (error) PyErr_SetObject(PyExc_ValueError, error.get());
            return nullptr;
        }
        const std::size_t rows = parser.rows();
        if (rows < capacity)
            for (const Ref* array : {&frames, &ids, &boxes, &conf, &classes, &lines})
                if (!shrink(*array, rows)) return nullptr;
        Ref last_frame = Ref::steal(PyLong_FromLongLong(parser.last_frame()));
        if (!last_frame) return nullptr;
        return PyTuple_Pack(7, frames.get(), ids.get(), boxes.get(), conf.get(), classes.get(), lines.get(),
                            last_frame.get());
    });
}

PyMethodDef readers_table[] = {
    {"read_mot", py::as_cfunction(read_mot), METH_FASTCALL | METH_KEYWORDS, kReadMotDoc},
};

}  // namespace

std::span<PyMethodDef> readers_functions() { return readers_table; }

}  // namespace vestrim::native
