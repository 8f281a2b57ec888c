// The module boundary's toolkit: owning references, argument binding, conversions with the
// "while processing" note, result classes generated from field lists, and repr formatting.
// This is the only layer (with the other cpp/module files) that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/sim_frames.hpp"
#include "core/types.hpp"

namespace vestrim::py {

// ---------------------------------------------------------------------------------------------
// Owning reference

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }  // hands the reference to the caller
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};
// A Ref field of a record is read by the interpreter as a plain object pointer (see object_member).
static_assert(sizeof(Ref) == sizeof(PyObject*) && std::is_standard_layout_v<Ref>);

// ---------------------------------------------------------------------------------------------
// Errors

// Sets a ValueError / TypeError with the given message; always returns nullptr (or false via `fail`).
PyObject* value_error(const std::string& message);
PyObject* type_error(const std::string& message);
// The module's internal-error exception (derives from BaseException).
PyObject* internal_error_type();
PyObject* internal_error(const std::string& message);

// Attaches the note "while processing '{param}'" to the pending exception (silently skipped when the
// exception has no add_note). Returns false so conversions can `return noted(...)`.
bool add_processing_note(const char* param);
inline bool noted(const char* param, bool ok) { return ok || add_processing_note(param); }

// Type-mismatch TypeError: "'int' object is not an instance of 'Sequence'" ("'None' is not ..." for None).
bool type_mismatch(PyObject* obj, const char* expected);
// Name of an object's type as Python users see it ("list", "ndarray").
std::string type_name(PyObject* obj);
// Takes the pending exception out of the error indicator (normalised), or an empty Ref.
Ref fetch_exception();
void restore_exception(Ref exc);
// "{TypeName}: {message}" of the pending exception, which is cleared.
std::string take_error_text();

// The interrupt poll of the boundary: runs the interpreter's signal check (pending handlers run;
// SIGINT's raises KeyboardInterrupt) and reports whether it left an exception set.
bool poll_signals();
// The same while the lock is released by ReleasedGil on this thread.
bool poll_signals_released();

// Runs `body` (core code only: no Python API) with the interpreter lock released, so that it may use
// other threads and other Python threads may run meanwhile. The thread's interrupt poll takes the
// lock back for each signal check; the lock is held again when this returns or throws.
class ReleasedGil {
public:
    ReleasedGil();
    ~ReleasedGil();
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* previous_;
};

template <class F>
decltype(auto) without_gil(F&& body) {
    const ReleasedGil released;
    const interrupt::Scope polling(&poll_signals_released);
    return body();
}

// Runs an entry body, turning core exceptions into Python exceptions. Long core loops inside the
// body poll for signals; an interrupted body ends with the exception the signal check raised.
template <class F>
PyObject* guarded(F&& body) noexcept {
    const interrupt::Scope polling(&poll_signals);
    try {
        return body();
    } catch (const interrupt::Interrupted&) {
        return nullptr;
    } catch (const InternalError& e) {
        return internal_error(e.what());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const memory::Refused& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
        return nullptr;
    } catch (const std::exception& e) {
        return internal_error(e.what());
    }
}

// ---------------------------------------------------------------------------------------------
// Argument binding (fast calling convention with keywords)

struct Param {
    const char* name;
    bool required;
};

struct Signature {
    const char* display;  // "iou()", "Accumulator.update()"
    std::span<const Param> params;
};

// Fills `out` (params.size() slots) with borrowed references, nullptr for an omitted optional, or
// raises the binding TypeError and returns false.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// The same for the classic (args tuple, kwargs dict) convention used by constructors (tp_new).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_cfunction(FastFunction f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---------------------------------------------------------------------------------------------
// Scalar and sequence conversions. Each returns false with a Python exception set.

bool convert(PyObject* obj, double& out);       // the interpreter's float conversion
bool convert(PyObject* obj, std::string& out);  // exactly a str
bool convert(PyObject* obj, bool& out);         // exactly a bool
bool convert(PyObject* obj, Id& out);           // integer conversion; float rejected; 64-bit range
bool convert(PyObject* obj, std::vector<Id>& out);
bool convert(PyObject* obj, std::vector<double>& out);
bool convert(PyObject* obj, Box& out);  // a box-like item: a sequence of exactly four floats

// Converts a required or present argument, attaching the note on failure.
template <class T>
bool arg(const char* param, PyObject* obj, T& out) {
    bool ok = false;
    try {
        ok = convert(obj, out);
    } catch (const std::bad_alloc&) {  // conversions grow C++ buffers: a huge input must not abort
        PyErr_NoMemory();
    }
    return noted(param, ok);
}
// Optional argument: leaves `out` (the default) untouched when omitted.
template <class T>
bool opt_arg(const char* param, PyObject* obj, T& out) {
    return obj == nullptr || arg(param, obj, out);
}

// Argument conversion runs before any computation and can take seconds on large inputs: it counts
// its work (one unit per item or value) and checks for signals once per kConversionWorkPerPoll
// units, so that Ctrl-C acts during it. A unit here (a Python object converted) costs tens of times
// a computing step, and the check only reads a flag. False with the signal handler's exception set.
inline constexpr std::uint64_t kConversionWorkPerPoll = std::uint64_t{1} << 16;
inline thread_local std::uint64_t conversion_work_left = kConversionWorkPerPoll;
inline bool count_conversion_work(std::uint64_t work) {
    if (work < conversion_work_left) {
        conversion_work_left -= work;
        return true;
    }
    conversion_work_left = kConversionWorkPerPoll;
    return PyErr_CheckSignals() == 0;
}

// The sequence protocol as every list conversion uses it: rejects str ("Can't extract `str` to
// `Vec`"), requires the sequence check, then iterates. `each(item)` returns false to stop with an
// error. `reserve(n)` receives the length hint (0 when the length is unavailable).
template <class Reserve, class Each>
bool for_each_item(PyObject* seq, Reserve&& reserve, Each&& each) {
    if (PyUnicode_Check(seq)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(seq)) return type_mismatch(seq, "Sequence");
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        // Fast path: index directly, re-reading the size so a list mutated during conversion
        // (an element's __float__ clearing it) is handled safely.
        reserve(static_cast<std::size_t>(Py_SIZE(seq)));
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            Ref item = Ref::borrow(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i)
                                                          : PyTuple_GET_ITEM(seq, i));
            if (!count_conversion_work(1) || !each(item.get())) return false;
        }
        return true;
    }
    // Any other sequence's __len__ is only a hint and may lie (or not fit in memory): reserve no
    // more than a modest amount on its word and let the buffers grow with what is really there.
    constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 16;
    Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    reserve(static_cast<std::size_t>(hint < kMaxReserveHint ? hint : kMaxReserveHint));
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!count_conversion_work(1) || !each(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// Per-frame ids, stored flat: frame t is ids[offsets[t] .. offsets[t + 1]).
struct IdFrames {
    std::vector<Id> ids;
    std::vector<std::size_t> offsets{0};

    std::size_t size() const { return offsets.size() - 1; }
    std::span<const Id> frame(std::size_t t) const {
        return {ids.data() + offsets[t], offsets[t + 1] - offsets[t]};
    }
};
bool convert(PyObject* obj, IdFrames& out);

// Per-frame similarity matrices. A frame given as a C-contiguous, aligned float64 array is read in
// place. Converting a sequence of frames keeps any other exact 2-D float64 or float32 array as it is
// too, and lays it out when the computation reaches the frame (the input is the sequence's
// SimFrames::Layout): one frame's copy at a time, however many frames. The arrays are held until
// the input is destroyed. Any other frame is copied, its rows back to back in `values`.
struct SimInput final : SimFrames::Layout {
    // An array laid out on demand: element (r, c) is at data + r * row_stride + c * col_stride.
    struct Strided {
        const char* data = nullptr;
        Py_ssize_t row_stride = 0, col_stride = 0;  // in bytes
        bool float32 = false;
    };
    static constexpr std::size_t kRagged = ~std::size_t{0};
    // Frame t: `rows` rows of `cols` values each (an array), or a copied sequence of rows whose
    // lengths row_offsets gives from `first_row` on (kRagged: they may differ, which validation
    // reports). Its values are read in place at `view`, laid out from strided[index], or copied
    // into `values` from `index`.
    struct FrameValues {
        const double* view = nullptr;
        bool strided = false;
        std::size_t index = 0;
        std::size_t rows = 0;
        std::size_t cols = kRagged;
        std::size_t first_row = 0;
    };

    memory::LargeVector<double> values;       // huge pages: gigabytes of copies are freed quickly
    std::vector<std::size_t> row_offsets{0};  // copied row r: values[row_offsets[r] .. row_offsets[r + 1])
    std::vector<FrameValues> frame_values;
    std::vector<Strided> strided;
    std::vector<Ref> arrays;                  // the arrays read in place or laid out on demand

    std::size_t size() const { return frame_values.size(); }
    std::size_t rows(std::size_t t) const { return frame_values[t].rows; }
    // True when every row of frame t has row_length(t, 0) values.
    bool uniform(std::size_t t) const { return frame_values[t].cols != kRagged; }
    std::size_t row_length(std::size_t t, std::size_t i) const {
        const FrameValues& f = frame_values[t];
        if (f.cols != kRagged) return f.cols;
        return row_offsets[f.first_row + i + 1] - row_offsets[f.first_row + i];
    }
    // The frame's values, or nullptr for a frame laid out on demand.
    const double* frame_data(std::size_t t) const {
        const FrameValues& f = frame_values[t];
        if (f.view != nullptr) return f.view;
        return f.strided ? nullptr : values.data() + f.index;
    }
    // Frame t's values, row-major, to `out` (its rows all hold the same number of values).
    void write(std::size_t t, double* out) const override;
};
bool convert(PyObject* obj, SimInput& out);
// One frame's matrix (a sequence of rows), appended to `out` as a new frame; with `on_demand`, an
// array that is not read in place is kept for `write` instead of being copied.
bool append_sim_frame(PyObject* obj, SimInput& out, bool on_demand = false);

// ---------------------------------------------------------------------------------------------
// Formatting for reprs

// Fixed point with four decimals, correctly rounded; "NaN", "inf", "-inf" for non-finite values.
std::string fmt4(double v);
std::string fmt_u64(std::uint64_t v);
PyObject* new_str(const std::string& s);

// ---------------------------------------------------------------------------------------------
// Python values from core values

inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_py(unsigned long v) { return PyLong_FromUnsignedLong(v); }
inline PyObject* to_py(unsigned long long v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py(long v) { return PyLong_FromLong(v); }
inline PyObject* to_py(long long v) { return PyLong_FromLongLong(v); }
inline PyObject* to_py(unsigned int v) { return PyLong_FromUnsignedLong(v); }
inline PyObject* to_py(int v) { return PyLong_FromLong(v); }
inline PyObject* to_py(const Ref& v) { return Py_NewRef(v.get()); }  // the same object each time

template <class A, class B>
PyObject* to_py(const std::pair<A, B>& v) {
    Ref a = Ref::steal(to_py(v.first));
    if (!a) return nullptr;
    Ref b = Ref::steal(to_py(v.second));
    if (!b) return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}

template <class T>
PyObject* to_py(const std::vector<T>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = to_py(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// Row-major rows x cols matrix as a new list of lists of floats.
PyObject* matrix_to_py(const double* values, std::size_t rows, std::size_t cols);

// ---------------------------------------------------------------------------------------------
// Native classes holding a C++ record by value.
//
// A record class is defined by one list of getters, generated from pointers to the record's fields:
//
//     static PyGetSetDef getters[] = {
//         py::field<&Matching::matches>("matches", "Matched ..."),
//         ...,
//         {},
//     };
//     PyTypeObject* matching_type() {
//         static PyTypeObject* type = py::record_class<Matching>(
//             {.name = "Matching", .doc = "...", .getset = getters, .repr = matching_repr});
//         return type;
//     }
//     return py::wrap_record(matching_type(), std::move(result));

template <class R>
struct Boxed {
    PyObject_HEAD
    R value;
};

template <class R>
R& record(PyObject* self) {
    return reinterpret_cast<Boxed<R>*>(self)->value;
}

struct ClassSpec {
    const char* name = nullptr;        // bare name: the class reports its module as "builtins"
    const char* doc = nullptr;
    PyGetSetDef* getset = nullptr;
    PyMemberDef* members = nullptr;
    reprfunc repr = nullptr;           // nullptr: the interpreter's default repr
    PyMethodDef* methods = nullptr;
    newfunc construct = nullptr;       // nullptr: not instantiable from Python
};

// Creates a final (not subclassable) heap type without instance dict or weak references. Returns
// nullptr with an exception set on failure. The returned type is kept alive for the process.
PyTypeObject* make_class(const ClassSpec& spec, Py_ssize_t basicsize, destructor dealloc);

template <class R>
void dealloc_record(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    record<R>(self).~R();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class R>
PyTypeObject* record_class(const ClassSpec& spec) {
    return make_class(spec, static_cast<Py_ssize_t>(sizeof(Boxed<R>)), &dealloc_record<R>);
}

// Allocates an instance of `type` (a record class of R) and moves `value` into it.
template <class R>
PyObject* wrap_record(PyTypeObject* type, R&& value) {
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&record<std::remove_cvref_t<R>>(self)) std::remove_cvref_t<R>(std::forward<R>(value));
    return self;
}

template <class M>
struct member_traits;
template <class R, class T>
struct member_traits<T R::*> {
    using record_type = R;
};

template <auto Member>
PyObject* get_field(PyObject* self, void*) {
    using R = typename member_traits<decltype(Member)>::record_type;
    return to_py(record<R>(self).*Member);
}

// One read-only attribute of a record class.
template <auto Member>
constexpr PyGetSetDef field(const char* name, const char* doc) {
    return PyGetSetDef{name, &get_field<Member>, nullptr, doc, nullptr};
}

// One read-only object attribute of a record class whose field (at `field_offset` within R) is a
// Ref that is always set: a member descriptor, so every read returns the stored object itself.
template <class R>
PyMemberDef object_member(const char* name, std::size_t field_offset, const char* doc) {
    static_assert(std::is_standard_layout_v<Boxed<R>>);
#if PY_VERSION_HEX >= 0x030C0000
    constexpr int type = Py_T_OBJECT_EX, flags = Py_READONLY;
#else
    constexpr int type = T_OBJECT_EX, flags = READONLY;
#endif
    return PyMemberDef{name, type, static_cast<Py_ssize_t>(offsetof(Boxed<R>, value) + field_offset), flags, doc};
}

}  // namespace vestrim::py
