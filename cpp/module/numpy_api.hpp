// The NumPy C API, loaded lazily: importing the extension never imports numpy. An object can only be
// an ndarray once numpy has been imported by someone, so until then every array check is simply false.
#pragma once

#include "module/py.hpp"

namespace vestrim::py {

enum class Elem { Float64, Float32, UInt8, Int64, Other };

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

// A 2-D array argument read in place later in the call. Its data pointer, shape and strides are
// taken when the argument is converted, and the array is held until the holder is destroyed (the
// end of the call): Python code that runs in between (an element's __float__ while a later argument
// converts, a signal handler) may reshape or re-stride the array object, but what is read stays the
// memory and layout seen at conversion.
//
// Holding a reference keeps the memory in place as firmly as a buffer export would: an ndarray's
// data moves only through resize(), which refuses while another reference exists (and, told not to
// check, ignores exports as well). A buffer export would cost an allocation per array and call.
class PinnedMatrix {
public:
    // Pins `obj`, the ndarray `view` was just taken from (2-D).
    void pin(PyObject* obj, const ArrayView& view);
    explicit operator bool() const { return static_cast<bool>(array_); }

    Py_ssize_t rows = 0;
    Py_ssize_t cols = 0;
    Py_ssize_t row_stride = 0;  // in bytes
    Py_ssize_t col_stride = 0;
    const char* data = nullptr;
    bool aligned = false;  // every element suitably aligned for double

private:
    Ref array_;
};

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
// A new uninitialised bool array with the given byte strides (which must describe a layout of
// exactly the shape's element count, e.g. a permutation of the contiguous ones).
PyObject* new_bool_array(int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides);

}  // namespace vestrim::py
