#include "module/numpy_api.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL VESTRIM_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace vestrim::py {
namespace {

bool numpy_loaded = false;
PyArray_Descr* float64_descr = nullptr;  // kept for the life of the process
PyArray_Descr* uint8_descr = nullptr;
PyArray_Descr* int64_descr = nullptr;

bool load_api() {
    if (_import_array() < 0) return false;
    float64_descr = PyArray_DescrFromType(NPY_FLOAT64);
    uint8_descr = PyArray_DescrFromType(NPY_UINT8);
    int64_descr = PyArray_DescrFromType(NPY_INT64);
    numpy_loaded = true;
    return true;
}

// Loads the C API if numpy has already been imported by the process; never imports it itself.
bool load_if_imported() {
    if (numpy_loaded) return true;
    Ref name = Ref::steal(PyUnicode_FromString("numpy"));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    Ref numpy = Ref::steal(PyImport_GetModule(name.get()));
    if (!numpy || !load_api()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

bool as_ndarray(PyObject* obj, ArrayView& view) {
    if (!load_if_imported() || !PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    view.ndim = PyArray_NDIM(array);
    view.shape = PyArray_SHAPE(array);
    view.strides = PyArray_STRIDES(array);
    view.data = PyArray_BYTES(array);
    view.aligned = PyArray_ISALIGNED(array);
    view.exact_type = PyArray_CheckExact(obj);
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (PyArray_EquivTypes(descr, float64_descr))
        view.elem = Elem::Float64;
    else if (PyArray_EquivTypes(descr, uint8_descr))
        view.elem = Elem::UInt8;
    else if (PyArray_EquivTypes(descr, int64_descr))
        view.elem = Elem::Int64;
    else
        view.elem = Elem::Other;
    return true;
}

PinnedMatrix::PinnedMatrix(PinnedMatrix&& other) noexcept
    : rows(other.rows),
      cols(other.cols),
      row_stride(other.row_stride),
      col_stride(other.col_stride),
      data(other.data),
      aligned(other.aligned),
      buffer_(other.buffer_),
      held_(std::exchange(other.held_, false)) {}

PinnedMatrix& PinnedMatrix::operator=(PinnedMatrix&& other) noexcept {
    if (this != &other) {
        release();
        rows = other.rows;
        cols = other.cols;
        row_stride = other.row_stride;
        col_stride = other.col_stride;
        data = other.data;
        aligned = other.aligned;
        buffer_ = other.buffer_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

PinnedMatrix::~PinnedMatrix() { release(); }

void PinnedMatrix::release() {
    // Only the exporting object and the export itself are used here; the layout was copied out.
    if (std::exchange(held_, false)) PyBuffer_Release(&buffer_);
}

bool PinnedMatrix::pin(PyObject* obj) {
    release();
    if (PyObject_GetBuffer(obj, &buffer_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    // The export describes what is read; an ndarray subclass could in principle export something
    // other than its own float64 matrix.
    const char* format = buffer_.format;
    const bool float64 = buffer_.itemsize == sizeof(double) && format != nullptr &&
                         (std::strcmp(format, "d") == 0 || std::strcmp(format, "<d") == 0 ||
                          std::strcmp(format, "=d") == 0 || std::strcmp(format, "@d") == 0);
    if (buffer_.ndim != 2 || !float64 || buffer_.shape == nullptr || buffer_.strides == nullptr) {
        release();
        PyErr_SetString(PyExc_BufferError, "array does not export a 2-D float64 buffer");
        return false;
    }
    rows = buffer_.shape[0];
    cols = buffer_.shape[1];
    row_stride = buffer_.strides[0];
    col_stride = buffer_.strides[1];
    data = static_cast<const char*>(buffer_.buf);
    aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0;
    return true;
}

bool require_numpy() {
    return numpy_loaded || load_api();
}

PyObject* new_uint8_array(int ndim, const Py_ssize_t* shape, bool fortran_order) {
    return PyArray_ZEROS(ndim, const_cast<npy_intp*>(shape), NPY_UINT8, fortran_order ? 1 : 0);
}

PyObject* new_float64_array(int ndim, const Py_ssize_t* shape) {
    return PyArray_ZEROS(ndim, const_cast<npy_intp*>(shape), NPY_FLOAT64, 0);
}

char* array_data(PyObject* array) { return PyArray_BYTES(reinterpret_cast<PyArrayObject*>(array)); }

}  // namespace vestrim::py
