#include "module/numpy_api.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL VESTRIM_ARRAY_API
#include <numpy/arrayobject.h>

namespace vestrim::py {
namespace {

bool numpy_loaded = false;
PyArray_Descr* float64_descr = nullptr;  // kept for the life of the process
PyArray_Descr* float32_descr = nullptr;
PyArray_Descr* uint8_descr = nullptr;
PyArray_Descr* int64_descr = nullptr;

bool load_api() {
    if (_import_array() < 0) return false;
    float64_descr = PyArray_DescrFromType(NPY_FLOAT64);
    float32_descr = PyArray_DescrFromType(NPY_FLOAT32);
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
    else if (PyArray_EquivTypes(descr, float32_descr))
        view.elem = Elem::Float32;
    else if (PyArray_EquivTypes(descr, uint8_descr))
        view.elem = Elem::UInt8;
    else if (PyArray_EquivTypes(descr, int64_descr))
        view.elem = Elem::Int64;
    else
        view.elem = Elem::Other;
    return true;
}

void PinnedMatrix::pin(PyObject* obj, const ArrayView& view) {
    array_ = Ref::borrow(obj);
    rows = view.shape[0];
    cols = view.shape[1];
    row_stride = view.strides[0];
    col_stride = view.strides[1];
    data = view.data;
    aligned = view.aligned;
}

bool require_numpy() {
    return numpy_loaded || load_api();
}

bool numpy_imported() { return load_if_imported(); }

PyObject* new_uint8_array(int ndim, const Py_ssize_t* shape, bool fortran_order) {
    return PyArray_ZEROS(ndim, const_cast<npy_intp*>(shape), NPY_UINT8, fortran_order ? 1 : 0);
}

PyObject* new_float64_array(int ndim, const Py_ssize_t* shape) {
    return PyArray_ZEROS(ndim, const_cast<npy_intp*>(shape), NPY_FLOAT64, 0);
}

PyObject* new_int64_array(int ndim, const Py_ssize_t* shape) {
    return PyArray_ZEROS(ndim, const_cast<npy_intp*>(shape), NPY_INT64, 0);
}

PyObject* new_bool_array(int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides) {
    // NewFromDescr steals the descriptor reference.
    return PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_BOOL), ndim,
                                const_cast<npy_intp*>(shape), const_cast<npy_intp*>(strides),
                                nullptr, 0, nullptr);
}

char* array_data(PyObject* array) { return PyArray_BYTES(reinterpret_cast<PyArrayObject*>(array)); }

}  // namespace vestrim::py
