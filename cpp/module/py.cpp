#include "module/py.hpp"

#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "module/numpy_api.hpp"

namespace vestrim::py {

// ---------------------------------------------------------------------------------------------
// Errors

PyObject* value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

PyObject* type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

PyObject* internal_error_type() {
    // Created once and kept for the life of the process, like the result classes.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "vestrim._vestrim.InternalError",
        "A broken internal invariant of vestrim (a bug, never a caller error).", PyExc_BaseException,
        nullptr);
    return type;
}

bool poll_signals() { return PyErr_CheckSignals() != 0; }

namespace {
// The thread state ReleasedGil saved on this thread.
thread_local PyThreadState* released_state = nullptr;
}  // namespace

ReleasedGil::ReleasedGil() : previous_(released_state) { released_state = PyEval_SaveThread(); }

ReleasedGil::~ReleasedGil() {
    PyEval_RestoreThread(released_state);
    released_state = previous_;
}

bool poll_signals_released() {
    PyEval_RestoreThread(released_state);
    const bool stop = PyErr_CheckSignals() != 0;
    released_state = PyEval_SaveThread();
    return stop;
}

PyObject* internal_error(const std::string& message) {
    PyObject* type = internal_error_type();
    if (type != nullptr) PyErr_SetString(type, message.c_str());
    return nullptr;
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(tb);
    if (owned_value && owned_tb) PyException_SetTraceback(owned_value.get(), owned_tb.get());
    return owned_value;
#endif
}

void restore_exception(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

std::string take_error_text() {
    Ref exc = fetch_exception();
    if (!exc) return "SystemError: error return without exception set";
    std::string text = type_name(exc.get()) + ": ";
    Ref message = Ref::steal(PyObject_Str(exc.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 != nullptr) text += utf8;
    PyErr_Clear();
    return text;
}

bool add_processing_note(const char* param) {
    Ref exc = fetch_exception();
    if (!exc) return false;
    const std::string note = std::string("while processing '") + param + "'";
    Ref add_note = Ref::steal(PyObject_GetAttrString(exc.get(), "add_note"));
    if (add_note) {
        Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
        if (text) Ref::steal(PyObject_CallOneArg(add_note.get(), text.get()));
    }
    PyErr_Clear();  // a missing or failing add_note leaves the original exception as it was
    restore_exception(std::move(exc));
    return false;
}

std::string type_name(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    const char* name = type->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    return name;
}

bool type_mismatch(PyObject* obj, const char* expected) {
    std::string message = obj == Py_None ? "'None' is not an instance of '"
                                         : "'" + type_name(obj) + "' object is not an instance of '";
    message += expected;
    message += "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

std::string plural(Py_ssize_t n, const char* one, const char* many) { return n == 1 ? one : many; }

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(sig.params.size());
    Py_ssize_t required = 0;
    for (const Param& p : sig.params) required += p.required ? 1 : 0;

    if (nargs > n) {
        std::string message = std::string(sig.display) + " takes ";
        if (required == n)
            message += std::to_string(n);
        else
            message += "from " + std::to_string(required) + " to " + std::to_string(n);
        message += " positional arguments but " + std::to_string(nargs) + " " +
                   plural(nargs, "was", "were") + " given";
        type_error(message);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(key, &size);
        if (name == nullptr) return false;
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (std::strlen(sig.params[i].name) == static_cast<std::size_t>(size) &&
                std::memcmp(sig.params[i].name, name, static_cast<std::size_t>(size)) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            type_error(std::string(sig.display) + " got an unexpected keyword argument '" +
                       std::string(name, static_cast<std::size_t>(size)) + "'");
            return false;
        }
        if (out[slot] != nullptr) {
            type_error(std::string(sig.display) + " got multiple values for argument '" +
                       sig.params[slot].name + "'");
            return false;
        }
        out[slot] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (sig.params[i].required && out[i] == nullptr) missing.push_back(sig.params[i].name);
    if (!missing.empty()) {
        const auto k = static_cast<Py_ssize_t>(missing.size());
        std::string message = std::string(sig.display) + " missing " + std::to_string(k) +
                              " required positional " + plural(k, "argument", "arguments") + ": ";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) message += i + 1 == missing.size() ? " and " : ", ";
            message += "'" + std::string(missing[i]) + "'";
        }
        type_error(message);
        return false;
    }
    return true;
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat(&PyTuple_GET_ITEM(args, 0), &PyTuple_GET_ITEM(args, 0) + nargs);
    Ref kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            flat.push_back(value);
        }
    }
    return bind(sig, flat.data(), nargs, kwnames.get(), out);
}

// ---------------------------------------------------------------------------------------------
// Conversions

bool convert(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

bool convert(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return type_mismatch(obj, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool convert(PyObject* obj, bool& out) {
    if (!PyBool_Check(obj)) return type_mismatch(obj, "bool");
    out = obj == Py_True;
    return true;
}

bool convert(PyObject* obj, Id& out) {
    // PyLong_AsLongLong uses __index__ (a float is rejected) and raises OverflowError out of range.
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = static_cast<Id>(v);
    return true;
}

namespace {

// Fast paths for NumPy vectors. Iterating exactly an ndarray (a subclass may iterate differently)
// of int64 or float64 yields NumPy scalars whose integer or float conversion gives exactly the
// stored values, so reading the values directly gives the same result without one Python object
// per element.
bool as_vector_array(PyObject* obj, Elem elem, ArrayView& view) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return false;
    return as_ndarray(obj, view) && view.exact_type && view.ndim == 1 && view.elem == elem;
}

// Appends `n` values of type T that lie `stride` bytes apart from `data`.
template <class T, class Alloc>
void append_values(const char* data, std::size_t n, Py_ssize_t stride, std::vector<T, Alloc>& out) {
    const std::size_t old = out.size();
    out.resize(old + n);
    if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
        if (n > 0) std::memcpy(out.data() + old, data, n * sizeof(T));
        return;
    }
    for (std::size_t k = 0; k < n; ++k)
        std::memcpy(out.data() + old + k, data + static_cast<Py_ssize_t>(k) * stride, sizeof(T));
}

template <class T, class Alloc>
bool append_vector_array(PyObject* obj, Elem elem, std::vector<T, Alloc>& out) {
    ArrayView view;
    if (!as_vector_array(obj, elem, view)) return false;
    append_values(view.data, static_cast<std::size_t>(view.shape[0]), view.strides[0], out);
    return true;
}

}  // namespace

template <class T>
static bool convert_vector(PyObject* obj, std::vector<T>& out) {
    return for_each_item(
        obj, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
            T value{};
            if (!convert(item, value)) return false;
            out.push_back(value);
            return true;
        });
}

bool convert(PyObject* obj, std::vector<Id>& out) {
    return append_vector_array(obj, Elem::Int64, out) || convert_vector(obj, out);
}
bool convert(PyObject* obj, std::vector<double>& out) {
    return append_vector_array(obj, Elem::Float64, out) || convert_vector(obj, out);
}

bool convert(PyObject* obj, IdFrames& out) {
    return for_each_item(
        obj, [&](std::size_t n) { out.offsets.reserve(n + 1); },
        [&](PyObject* frame) {
            if (append_vector_array(frame, Elem::Int64, out.ids)) {
                out.offsets.push_back(out.ids.size());
                return true;
            }
            const bool ok = for_each_item(
                frame, [](std::size_t) {},  // the flat buffer grows geometrically across frames
                [&](PyObject* item) {
                    Id id = 0;
                    if (!convert(item, id)) return false;
                    out.ids.push_back(id);
                    return true;
                });
            if (ok) out.offsets.push_back(out.ids.size());
            return ok;
        });
}

namespace {

// Reads element (r, c) of a strided matrix as a double (exactly the value a float32 holds).
inline double strided_at(const SimInput::Strided& m, std::size_t r, std::size_t c) {
    const char* at = m.data + static_cast<Py_ssize_t>(r) * m.row_stride + static_cast<Py_ssize_t>(c) * m.col_stride;
    if (m.float32) {
        float v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }
    double v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

// Writes a rows x cols strided matrix row-major to `out`. A matrix stored column by column is read
// in bands of rows, so that both sides move through memory in cache-sized steps.
void write_strided(const SimInput::Strided& m, std::size_t rows, std::size_t cols, double* out) {
    interrupt::Meter meter;
    const auto row_step = m.row_stride < 0 ? -m.row_stride : m.row_stride;
    const auto col_step = m.col_stride < 0 ? -m.col_stride : m.col_stride;
    if (col_step <= row_step) {
        for (std::size_t r = 0; r < rows; ++r) {
            meter.add(cols);
            double* line = out + r * cols;
            for (std::size_t c = 0; c < cols; ++c) line[c] = strided_at(m, r, c);
        }
        return;
    }
    constexpr std::size_t kBand = 64;
    for (std::size_t r0 = 0; r0 < rows; r0 += kBand) {
        const std::size_t r1 = std::min(rows, r0 + kBand);
        meter.add(8 * (r1 - r0) * cols);  // reads across the array's rows miss the cache
        for (std::size_t c = 0; c < cols; ++c)
            for (std::size_t r = r0; r < r1; ++r) out[r * cols + c] = strided_at(m, r, c);
    }
}

// A whole exact 2-D float64 or float32 ndarray (its rows are what iterating it would yield): read
// in place, kept for `write` (with `on_demand`) or copied. False when `obj` is no such array;
// otherwise `ok` tells whether it was appended.
bool append_sim_array(PyObject* obj, SimInput& out, bool on_demand, bool& ok) {
    ArrayView view;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || !as_ndarray(obj, view) || !view.exact_type ||
        view.ndim != 2 || (view.elem != Elem::Float64 && view.elem != Elem::Float32))
        return false;
    SimInput::FrameValues frame;
    frame.rows = static_cast<std::size_t>(view.shape[0]);
    frame.cols = static_cast<std::size_t>(view.shape[1]);
    const SimInput::Strided matrix{view.data, view.strides[0], view.strides[1], view.elem == Elem::Float32};
    const auto item = static_cast<Py_ssize_t>(sizeof(double));
    const bool in_place = !matrix.float32 && view.aligned && frame.rows > 0 && frame.cols > 0 &&
                          view.strides[1] == item &&
                          (frame.rows == 1 || view.strides[0] == static_cast<Py_ssize_t>(frame.cols) * item);
    ok = false;
    if (in_place) {
        frame.view = reinterpret_cast<const double*>(view.data);
    } else if (on_demand) {
        frame.strided = true;
        frame.index = out.strided.size();
    } else {
        // Row by row, so that a large copy still acts on a signal.
        frame.index = out.values.size();
        for (std::size_t r = 0; r < frame.rows; ++r) {
            if (!count_conversion_work(1 + frame.cols)) return true;
            const std::size_t at = out.values.size();
            out.values.resize(at + frame.cols);
            for (std::size_t c = 0; c < frame.cols; ++c) out.values[at + c] = strided_at(matrix, r, c);
        }
    }
    if (in_place || on_demand) out.arrays.push_back(Ref::borrow(obj));
    if (frame.strided) out.strided.push_back(matrix);
    out.frame_values.push_back(frame);
    ok = true;
    return true;
}

}  // namespace

void SimInput::write(std::size_t t, double* out) const {
    const FrameValues& f = frame_values[t];
    const std::size_t n = f.rows, m = n == 0 ? 0 : row_length(t, 0);
    if (f.strided) {
        write_strided(strided[f.index], n, m, out);
    } else if (n * m > 0) {
        std::memcpy(out, frame_data(t), n * m * sizeof(double));
    }
}

bool append_sim_frame(PyObject* obj, SimInput& out, bool on_demand) {
    bool array_ok = false;
    if (append_sim_array(obj, out, on_demand, array_ok)) return array_ok;
    SimInput::FrameValues frame;
    frame.index = out.values.size();
    frame.first_row = out.row_offsets.size() - 1;
    const bool ok = for_each_item(
        obj, [](std::size_t) {},  // flat buffers grow geometrically across frames
        [&](PyObject* row) {
            if (append_vector_array(row, Elem::Float64, out.values)) {
                out.row_offsets.push_back(out.values.size());
                return count_conversion_work(out.row_offsets.back() - out.row_offsets[out.row_offsets.size() - 2]);
            }
            const bool row_ok = for_each_item(
                row, [](std::size_t) {},
                [&](PyObject* item) {
                    double v = 0.0;
                    if (!convert(item, v)) return false;
                    out.values.push_back(v);
                    return true;
                });
            if (row_ok) out.row_offsets.push_back(out.values.size());
            return row_ok;
        });
    if (ok) {
        frame.rows = out.row_offsets.size() - 1 - frame.first_row;
        out.frame_values.push_back(frame);
    }
    return ok;
}

namespace {

// The values that the copied matrices of a list or tuple of frames hold, as far as exact lists,
// tuples and ndarrays tell their sizes truthfully; reserved up front, the flat buffer never moves
// gigabytes while it grows (a copy that nothing could interrupt). Arrays kept as they are count
// nothing. Saturates rather than wrap.
std::size_t known_values(PyObject* frames) {
    if (!PyList_CheckExact(frames) && !PyTuple_CheckExact(frames)) return 0;
    std::size_t total = 0;
    const auto add = [&](std::size_t n) { total = n > ~std::size_t{0} - total ? ~std::size_t{0} : total + n; };
    // The size of a row or a whole matrix; true for a 2-D array (a whole matrix).
    const auto known_size = [](PyObject* obj, std::size_t& n) {
        ArrayView view;
        n = 0;
        if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
            n = static_cast<std::size_t>(Py_SIZE(obj));
        } else if (as_ndarray(obj, view) && view.exact_type && (view.ndim == 1 || view.ndim == 2)) {
            n = static_cast<std::size_t>(view.shape[0]);
            if (view.ndim == 1) return false;
            if (view.elem == Elem::Float64 || view.elem == Elem::Float32) n = 0;
            n *= static_cast<std::size_t>(view.shape[1]);  // no overflow: numpy bounds an array's bytes
            return true;
        }
        return false;
    };
    for (Py_ssize_t t = 0; t < Py_SIZE(frames); ++t) {
        PyObject* frame = PySequence_Fast_GET_ITEM(frames, t);
        std::size_t n = 0;
        if (known_size(frame, n)) {
            add(n);
        } else if (PyList_CheckExact(frame) || PyTuple_CheckExact(frame)) {
            for (Py_ssize_t r = 0; r < Py_SIZE(frame); ++r) {
                std::size_t row = 0;
                known_size(PySequence_Fast_GET_ITEM(frame, r), row);
                add(row);
            }
        }
    }
    return total;
}

}  // namespace

bool convert(PyObject* obj, SimInput& out) {
    const std::size_t known = known_values(obj);
    // More than a vector can hold cannot be copied at all.
    if (known > out.values.max_size() - out.values.size()) throw std::bad_alloc();
    out.values.reserve(out.values.size() + known);
    return for_each_item(
        obj, [&](std::size_t n) { out.frame_values.reserve(n); },
        [&](PyObject* frame) { return append_sim_frame(frame, out, true); });
}

// ---------------------------------------------------------------------------------------------
// Formatting

std::string fmt4(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.4f", v);
    return buffer;
}

std::string fmt_u64(std::uint64_t v) { return std::to_string(v); }

PyObject* new_str(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* matrix_to_py(const double* values, std::size_t rows, std::size_t cols) {
    Ref outer = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!outer) return nullptr;
    interrupt::Meter meter;  // a large matrix makes millions of objects
    for (std::size_t i = 0; i < rows; ++i) {
        meter.add(1 + 16 * cols);
        PyObject* row = PyList_New(static_cast<Py_ssize_t>(cols));
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), row);
        for (std::size_t j = 0; j < cols; ++j) {
            PyObject* v = PyFloat_FromDouble(values[i * cols + j]);
            if (v == nullptr) return nullptr;
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(j), v);
        }
    }
    return outer.release();
}

// ---------------------------------------------------------------------------------------------
// Classes

PyTypeObject* make_class(const ClassSpec& spec, Py_ssize_t basicsize, destructor dealloc) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    if (spec.doc) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
    if (spec.members) slots.push_back({Py_tp_members, spec.members});
    if (spec.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
    if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.construct) slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.construct)});
    slots.push_back({0, nullptr});

    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (!spec.construct) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    // Created as "builtins.<name>" so the interpreter records __module__ = "builtins" without
    // warning about a missing module; the type's own name is then the bare class name.
    static constexpr std::string_view prefix = "builtins.";
    const std::string qualified = std::string(prefix) + spec.name;
    PyType_Spec type_spec{qualified.c_str(), static_cast<int>(basicsize), 0, flags, slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    // tp_name points into the interpreter's own copy of the type-spec name, which lives as long as the
    // type (these types are never released).
    if (type != nullptr) type->tp_name += prefix.size();
    return type;
}

}  // namespace vestrim::py
