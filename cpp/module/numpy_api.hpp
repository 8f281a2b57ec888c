// The NumPy C API, loaded lazily: importing the extension never imports numpy. An object can only be
// an ndarray once numpy has been imported by someone, so until then every array check is simply false.
#pragma once

#include "module/py.hpp"

namespace vestrim::py {

enum class Elem { Float64, UInt8, Int64, Other };

// A read-only description of an ndarray argument (borrowed; valid while the array is alive).
struct ArrayView {
    int ndim = 0;
    const Py_ssize_t* shape = nullptr;
    const Py_ssize_t* strides = nullptr;  // in bytes
    const char* data = nullptr;
    Elem elem = Elem::Other;
    bool aligned = false;
    bool exact_type = false;  // exactly numpy.ndarray, not a subclass
};

// True when `obj` is an ndarray (or subclass instance); fills `view`. Never raises.
bool as_ndarray(PyObject* obj, ArrayView& view);

// Imports numpy (if needed) and loads its C API; false with an exception set on failure.
bool require_numpy();

// Whether numpy has been imported by the process (loading its C API if so). Never imports it, never
// raises.
bool numpy_imported();

// New C-contiguous arrays (numpy must be loaded: call require_numpy first). Zero-filled.
PyObject* new_uint8_array(int ndim, const Py_ssize_t* shape, bool fortran_order);
PyObject* new_float64_array(int ndim, const Py_ssize_t* shape);
PyObject* new_int64_array(int ndim, const Py_ssize_t* shape);
char* array_data(PyObject* array);

}  // namespace vestrim::py
