// nuScenes tracking scores: the package hands over boxes already read and filtered, as flat arrays,
// and gets back each selected class's summary and curves and the combined entry.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <cstring>
#include <limits>
#include <string_view>
#include <exception>
#include <mutex>
#include <thread>

#include "core/interrupt.hpp"
#include "core/nuscenes.hpp"
#include "native/native.hpp"
#include "module/numpy_api.hpp"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL VESTRIM_ARRAY_API
#include <numpy/arrayobject.h>

namespace vestrim::native {
namespace {

using py::Param;
using py::Ref;

// A contiguous one-dimensional buffer of integers ("qli" codes) or doubles ("d") whose items have
// the size of T, copied into `out`; false with a TypeError set otherwise.
template <class T>
bool read_array(const char* name, PyObject* obj, const char* codes, std::vector<T>& out) {
    Py_buffer view{};
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return py::noted(name, false);
    const char* format = view.format == nullptr ? "B" : view.format;
    if (*format == '<' || *format == '=' || *format == '@') ++format;
    const bool ok = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) && format[0] != '\0' &&
                    format[1] == '\0' && std::strchr(codes, format[0]) != nullptr;
    if (ok) {
        out.resize(static_cast<std::size_t>(view.shape[0]));
        if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(T));
    }
    PyBuffer_Release(&view);
    if (!ok) {
        PyErr_Format(PyExc_TypeError, "%s must be a contiguous one-dimensional array of %zu-byte %s", name, sizeof(T),
                     codes[0] == 'd' ? "floats" : "integers");
        return false;
    }
    return true;
}

// Checks the layout the core relies on; an empty string when it holds.
std::string check_boxes(const char* side, const nuscenes::Boxes& b, std::size_t frames, bool scored) {
    const std::string s(side);
    if (b.offsets.size() != frames + 1 || b.offsets.front() != 0 || b.offsets.back() != b.ids.size())
        return s + " offsets must run from 0 to the box count over every frame";
    for (std::size_t f = 0; f < frames; ++f)
        if (b.offsets[f] > b.offsets[f + 1]) return s + " offsets must not decrease";
    if (b.classes.size() != b.ids.size() || b.xy.size() != 2 * b.ids.size() ||
        (scored ? b.scores.size() : 0) != (scored ? b.ids.size() : 0))
        return s + " arrays must have one entry (two coordinates) per box";
    for (std::int64_t id : b.ids)
        if (id < 0 || static_cast<std::size_t>(id) >= b.ids.size()) return s + " ids must be in 0 .. box count - 1";
    for (std::int32_t c : b.classes)
        if (c < 0 || static_cast<std::size_t>(c) >= nuscenes::kClasses) return s + " classes must be in 0 .. 6";
    return {};
}

// Runs the passes on up to `threads` threads, this one included; joined before returning. This
// thread keeps the interpreter lock and looks at pending signals as it works; the others only look
// at the stop flag between passes. The first failure (an interrupt included) is rethrown here.
sweep::ParallelFor threaded(std::size_t threads) {
    return [threads](std::size_t count, const std::function<void(std::size_t)>& task) {
        std::atomic<std::size_t> next{0};
        std::atomic<bool> stop{false};
        std::exception_ptr failure;
        std::mutex failure_lock;
        // Takes tasks until none is left or one has failed.
        auto work = [&] {
            while (!stop.load()) {
                const std::size_t i = next.fetch_add(1);
                if (i >= count) return;
                try {
                    task(i);
                } catch (...) {
                    std::lock_guard<std::mutex> hold(failure_lock);
                    if (!failure) failure = std::current_exception();
                    stop.store(true);
                }
            }
        };
        std::vector<std::thread> others;
        const std::size_t extra = std::min(threads, count) > 0 ? std::min(threads, count) - 1 : 0;
        try {
            for (std::size_t t = 0; t < extra; ++t)
                others.emplace_back([&] {
                    const interrupt::Scope no_polling(nullptr);
                    work();
                });
        } catch (...) {
            stop.store(true);
            for (std::thread& t : others) t.join();
            throw;
        }
        work();  // this thread keeps the poll installed by the entry point
        for (std::thread& t : others) t.join();
        if (failure) std::rethrow_exception(failure);
    };
}

PyObject* float_list(const double* values, std::size_t n) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < n; ++k) {
        PyObject* v = PyFloat_FromDouble(values[k]);
        if (v == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), v);
    }
    return list.release();
}

// (summary, confidence, recall_hypo, curves): 17 floats, two lists of 40, 15 lists of 40.
PyObject* class_record(const nuscenes::ClassScore& score) {
    Ref summary = Ref::steal(float_list(score.summary.data(), score.summary.size()));
    Ref confidence = Ref::steal(float_list(score.sweep.confidence.data(), sweep::kRecallPoints));
    Ref recall = Ref::steal(float_list(score.sweep.recall_hypo.data(), sweep::kRecallPoints));
    Ref curves = Ref::steal(PyList_New(sweep::kMetrics));
    if (!summary || !confidence || !recall || !curves) return nullptr;
    for (std::size_t m = 0; m < sweep::kMetrics; ++m) {
        double column[sweep::kRecallPoints];
        for (std::size_t k = 0; k < sweep::kRecallPoints; ++k) column[k] = score.sweep.curves[k][m];
        PyObject* list = float_list(column, sweep::kRecallPoints);
        if (list == nullptr) return nullptr;
        PyList_SET_ITEM(curves.get(), static_cast<Py_ssize_t>(m), list);
    }
    return PyTuple_Pack(4, summary.get(), confidence.get(), recall.get(), curves.get());
}

// nuscenes_score(scene_offsets, timestamps, gt_offsets, gt_ids, gt_classes, gt_xy, pred_offsets,
//                pred_ids, pred_classes, pred_xy, pred_scores, classes, threads=1)
//   -> ([class record per selected class], combined summary)
PyObject* nuscenes_score_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"scene_offsets", true}, {"timestamps", true},   {"gt_offsets", true},
                                       {"gt_ids", true},        {"gt_classes", true},   {"gt_xy", true},
                                       {"pred_offsets", true},  {"pred_ids", true},     {"pred_classes", true},
                                       {"pred_xy", true},       {"pred_scores", true},  {"classes", true},
                                       {"threads", false}};
    PyObject* a[13];
    if (!py::bind({"nuscenes_score()", params}, args, nargs, kwnames, a)) return nullptr;
    nuscenes::Scenes scenes;
    nuscenes::Boxes gt, pred;
    std::vector<std::int64_t> scene_offsets, gt_offsets, pred_offsets, classes;
    Id threads = 1;
    if (!read_array("scene_offsets", a[0], "ql", scene_offsets) || !read_array("timestamps", a[1], "ql", scenes.timestamps) ||
        !read_array("gt_offsets", a[2], "ql", gt_offsets) || !read_array("gt_ids", a[3], "ql", gt.ids) ||
        !read_array("gt_classes", a[4], "il", gt.classes) || !read_array("gt_xy", a[5], "d", gt.xy) ||
        !read_array("pred_offsets", a[6], "ql", pred_offsets) || !read_array("pred_ids", a[7], "ql", pred.ids) ||
        !read_array("pred_classes", a[8], "il", pred.classes) || !read_array("pred_xy", a[9], "d", pred.xy) ||
        !read_array("pred_scores", a[10], "d", pred.scores) || !read_array("classes", a[11], "ql", classes) ||
        !py::opt_arg("threads", a[12], threads))
        return nullptr;
    return py::guarded([&]() -> PyObject* {
        const std::size_t frames = scenes.timestamps.size();
        auto as_sizes = [](const std::vector<std::int64_t>& v, std::vector<std::size_t>& out) {
            for (std::int64_t x : v)
                if (x < 0) return false;
            out.assign(v.begin(), v.end());
            return true;
        };
        if (!as_sizes(scene_offsets, scenes.offsets) || !as_sizes(gt_offsets, gt.offsets) ||
            !as_sizes(pred_offsets, pred.offsets))
            return py::value_error("offsets must not be negative");
        if (scenes.offsets.empty() || scenes.offsets.front() != 0 || scenes.offsets.back() != frames ||
            !std::is_sorted(scenes.offsets.begin(), scenes.offsets.end()))
            return py::value_error("scene offsets must run from 0 to the frame count without decreasing");
        for (const auto& problem : {check_boxes("gt", gt, frames, false), check_boxes("pred", pred, frames, true)})
            if (!problem.empty()) return py::value_error(problem);
        std::vector<std::size_t> selected;
        for (std::int64_t c : classes) {
            if (c < 0 || static_cast<std::size_t>(c) >= nuscenes::kClasses)
                return py::value_error("classes must be in 0 .. 6");
            selected.push_back(static_cast<std::size_t>(c));
        }
        if (threads < 1) return py::value_error("threads must be at least 1");
        gt.scores.clear();
        std::vector<nuscenes::ClassScore> scores;
        try {
            scores = nuscenes::score(std::move(gt), std::move(pred), scenes, selected,
                                     threads > 1 ? threaded(static_cast<std::size_t>(threads)) : sweep::ParallelFor{});
        } catch (const sweep::SweepError& e) {
            return py::value_error(e.message);
        }
        Ref records = Ref::steal(PyList_New(static_cast<Py_ssize_t>(scores.size())));
        if (!records) return nullptr;
        std::vector<nuscenes::Summary> summaries;
        for (std::size_t k = 0; k < scores.size(); ++k) {
            PyObject* record = class_record(scores[k]);
            if (record == nullptr) return nullptr;
            PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(k), record);
            summaries.push_back(scores[k].summary);
        }
        const nuscenes::Summary combined = nuscenes::combine(summaries);
        Ref combined_list = Ref::steal(float_list(combined.data(), combined.size()));
        if (!combined_list) return nullptr;
        return PyTuple_Pack(2, records.get(), combined_list.get());
    });
}

// ---------------------------------------------------------------------------------------------
// Results boxes, checked and stored as the JSON parser finishes each object

constexpr const char* kClassNames[nuscenes::kClasses] = {"bicycle", "bus", "car", "motorcycle",
                                                         "pedestrian", "trailer", "truck"};

// What the boxes of a results file keep; every box (faulty ones too) gets the next index.
struct BoxStore {
    std::vector<double> xyz, score;
    std::vector<std::int32_t> cls;
    std::vector<std::int64_t> num_pts;
    std::vector<std::int64_t> track;  // index into `names`; -1 for a refused box
    Ref names = Ref::steal(PyDict_New());  // tracking id -> its index, in order of first appearance
    std::vector<std::pair<std::size_t, std::string>> faults;  // (index, why the box is refused)

    std::size_t size() const { return cls.size(); }
};

// The value of a JSON number (int or float, not bool) into `out`; false for anything else.
bool json_number(PyObject* v, double& out) {
    if (PyFloat_CheckExact(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyLong_CheckExact(v)) {
        out = PyLong_AsDouble(v);
        if (out == -1.0 && PyErr_Occurred()) {  // beyond the range of a double
            PyErr_Clear();
            return false;
        }
        return true;
    }
    return false;
}

// A list of exactly `n` JSON numbers (none NaN unless `nan_ok`) into `out`.
bool json_numbers(PyObject* v, std::size_t n, bool nan_ok, double* out) {
    if (v == nullptr || !PyList_CheckExact(v) || static_cast<std::size_t>(PyList_GET_SIZE(v)) != n) return false;
    for (std::size_t k = 0; k < n; ++k) {
        if (!json_number(PyList_GET_ITEM(v, static_cast<Py_ssize_t>(k)), out[k])) return false;
        if (!nan_ok && std::isnan(out[k])) return false;
    }
    return true;
}

std::string repr_of(PyObject* v) {
    Ref r = Ref::steal(PyObject_Repr(v));
    if (!r) {
        PyErr_Clear();
        return "?";
    }
    const char* text = PyUnicode_AsUTF8(r.get());
    if (text == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

// The field names of a box as interned strings (their hashes cached), made once.
struct BoxKeys {
    PyObject* sample_token = PyUnicode_InternFromString("sample_token");
    PyObject* translation = PyUnicode_InternFromString("translation");
    PyObject* size = PyUnicode_InternFromString("size");
    PyObject* rotation = PyUnicode_InternFromString("rotation");
    PyObject* velocity = PyUnicode_InternFromString("velocity");
    PyObject* tracking_id = PyUnicode_InternFromString("tracking_id");
    PyObject* tracking_name = PyUnicode_InternFromString("tracking_name");
    PyObject* tracking_score = PyUnicode_InternFromString("tracking_score");
    PyObject* num_pts = PyUnicode_InternFromString("num_pts");
    PyObject* ego_translation = PyUnicode_InternFromString("ego_translation");

    bool ok() const {
        return sample_token && translation && size && rotation && velocity && tracking_id && tracking_name &&
               tracking_score && num_pts && ego_translation;
    }
};

// nullptr with an exception set if the names cannot be made. Kept for the life of the process.
const BoxKeys* box_keys() {
    static const BoxKeys* keys = [] {
        auto* k = new BoxKeys;
        return k->ok() ? k : nullptr;
    }();
    if (keys == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
    return keys;
}

// Checks one box; empty on success, else why it is refused. Fills the values kept.
std::string check_box(const BoxKeys& key, PyObject* d, double xyz[3], std::int32_t& cls, double& score, std::int64_t& num_pts,
                      PyObject*& tracking_id) {
    const std::pair<PyObject*, const char*> required[] = {
        {key.sample_token, "sample_token"}, {key.translation, "translation"}, {key.size, "size"},
        {key.rotation, "rotation"},         {key.velocity, "velocity"},       {key.tracking_id, "tracking_id"},
        {key.tracking_name, "tracking_name"}};
    for (const auto& [name, text] : required)
        if (PyDict_GetItem(d, name) == nullptr) return std::string("missing field ") + text;
    if (!PyUnicode_Check(PyDict_GetItem(d, key.sample_token))) return "sample_token must be a string";
    double scratch[4];
    if (!json_numbers(PyDict_GetItem(d, key.translation), 3, false, xyz))
        return "translation must be 3 numbers, none NaN";
    if (!json_numbers(PyDict_GetItem(d, key.size), 3, false, scratch)) return "size must be 3 numbers, none NaN";
    if (!json_numbers(PyDict_GetItem(d, key.rotation), 4, false, scratch))
        return "rotation must be 4 numbers, none NaN";
    if (!json_numbers(PyDict_GetItem(d, key.velocity), 2, true, scratch)) return "velocity must be 2 numbers";
    tracking_id = PyDict_GetItem(d, key.tracking_id);
    if (!PyUnicode_Check(tracking_id)) return "tracking_id must be a string";
    PyObject* name = PyDict_GetItem(d, key.tracking_name);
    cls = -1;
    if (PyUnicode_Check(name)) {
        for (std::size_t c = 0; c < nuscenes::kClasses; ++c)
            if (PyUnicode_CompareWithASCIIString(name, kClassNames[c]) == 0) cls = static_cast<std::int32_t>(c);
    }
    if (cls < 0) return "tracking_name " + repr_of(name) + " is not one of bicycle, bus, car, motorcycle, pedestrian, trailer, truck";
    score = -1.0;
    if (PyObject* v = PyDict_GetItem(d, key.tracking_score)) {
        if (!json_number(v, score)) {
            Ref converted = PyUnicode_Check(v) ? Ref::steal(PyFloat_FromString(v)) : Ref();
            if (!converted) {
                PyErr_Clear();
                return "tracking_score " + repr_of(v) + " is not a number";
            }
            score = PyFloat_AS_DOUBLE(converted.get());
        }
        if (std::isnan(score)) return "tracking_score is NaN";
    }
    num_pts = -1;
    if (PyObject* v = PyDict_GetItem(d, key.num_pts)) {
        // As int() takes it: a float is truncated, a string must spell an integer.
        Ref whole;
        if (PyLong_CheckExact(v)) whole = Ref::borrow(v);
        else if (PyFloat_CheckExact(v) || PyUnicode_Check(v)) whole = Ref::steal(PyNumber_Long(v));
        if (!whole) {
            PyErr_Clear();
            return "num_pts " + repr_of(v) + " is not a whole number";
        }
        int overflow = 0;
        num_pts = PyLong_AsLongLongAndOverflow(whole.get(), &overflow);
        if (overflow != 0) num_pts = overflow > 0 ? INT64_MAX : INT64_MIN;  // only its sign and zero matter
    }
    if (PyObject* v = PyDict_GetItem(d, key.ego_translation))
        if (!json_numbers(v, 3, false, scratch)) return "ego_translation must be 3 numbers, none NaN";
    return {};
}

BoxStore* store_of(PyObject* capsule) {
    return static_cast<BoxStore*>(PyCapsule_GetPointer(capsule, "vestrim.nuscenes.BoxStore"));
}

// Stores one box (its fields checked, a refused box with its fault); its index.
std::size_t store_box(BoxStore& store, const BoxKeys& keys, PyObject* d) {
    double xyz[3] = {0, 0, 0};
    std::int32_t cls = 0;
    double score = 0;
    std::int64_t num_pts = 0;
    PyObject* tracking_id = nullptr;
    std::string fault = check_box(keys, d, xyz, cls, score, num_pts, tracking_id);
    const std::size_t index = store.size();
    if (!fault.empty()) {
        store.faults.emplace_back(index, std::move(fault));
        tracking_id = Py_None;
        cls = 0;
    }
    store.xyz.insert(store.xyz.end(), xyz, xyz + 3);
    store.cls.push_back(cls);
    store.score.push_back(score);
    store.num_pts.push_back(num_pts);
    std::int64_t track = -1;
    if (fault.empty()) {
        PyObject* known = PyDict_GetItemWithError(store.names.get(), tracking_id);
        if (known != nullptr) {
            track = PyLong_AsLongLong(known);
        } else {
            track = static_cast<std::int64_t>(PyDict_GET_SIZE(store.names.get()));
            Ref number = Ref::steal(PyLong_FromLongLong(track));
            if (PyErr_Occurred() || !number || PyDict_SetItem(store.names.get(), tracking_id, number.get()) < 0)
                throw std::bad_alloc();
        }
    }
    store.track.push_back(track);
    return index;
}

bool is_box(const BoxKeys& keys, PyObject* d) {
    return PyDict_CheckExact(d) && PyDict_GetItem(d, keys.tracking_name) != nullptr;
}

// The parser's object hook: a box (an object with a tracking_name) becomes (its index,), any other
// object is returned as it is.
PyObject* box_hook(PyObject* capsule, PyObject* d) {
    const BoxKeys* keys = box_keys();
    if (keys == nullptr) return nullptr;
    if (!is_box(*keys, d)) return Py_NewRef(d);
    BoxStore* store = store_of(capsule);
    if (store == nullptr) return nullptr;
    return py::guarded([&]() -> PyObject* {
        Ref number = Ref::steal(PyLong_FromSize_t(store->size()));
        if (!number) return nullptr;
        store_box(*store, *keys, d);
        return PyTuple_Pack(1, number.get());
    });
}

template <class T>
PyObject* array_of(const std::vector<T>& values, int type, npy_intp width = 0) {
    npy_intp dims[2] = {static_cast<npy_intp>(width ? values.size() / width : values.size()), width};
    PyObject* array = PyArray_SimpleNew(width ? 2 : 1, dims, type);
    if (array != nullptr && !values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(), values.size() * sizeof(T));
    return array;
}

// (xyz (n, 3), classes int32, scores, num_pts int64, track int64 (index into the next), tracking ids
// in order of first appearance, {index: fault}); the store is emptied.
PyObject* box_take(PyObject* capsule, PyObject*) {
    BoxStore* store = store_of(capsule);
    if (store == nullptr || !store->names || !py::require_numpy()) return nullptr;
    Ref xyz = Ref::steal(array_of(store->xyz, NPY_FLOAT64, 3));
    Ref cls = Ref::steal(array_of(store->cls, NPY_INT32));
    Ref score = Ref::steal(array_of(store->score, NPY_FLOAT64));
    Ref num_pts = Ref::steal(array_of(store->num_pts, NPY_INT64));
    Ref track = Ref::steal(array_of(store->track, NPY_INT64));
    Ref names = Ref::steal(PyDict_Keys(store->names.get()));
    Ref faults = Ref::steal(PyDict_New());
    if (!xyz || !cls || !score || !num_pts || !track || !names || !faults) return nullptr;
    for (const auto& [index, text] : store->faults) {
        Ref key = Ref::steal(PyLong_FromSize_t(index));
        Ref value = Ref::steal(py::new_str(text));
        if (!key || !value || PyDict_SetItem(faults.get(), key.get(), value.get()) < 0) return nullptr;
    }
    *store = BoxStore{};
    if (!store->names) return nullptr;
    return PyTuple_Pack(7, xyz.get(), cls.get(), score.get(), num_pts.get(), track.get(), names.get(), faults.get());
}

// The number a string stands for where nuscenes_quote_literals quoted a literal (NaN, Infinity,
// -Infinity), borrowed; nullptr for any other value.
PyObject* quoted_number(PyObject* v) {
    static PyObject* const numbers[3] = {PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN()),
                                         PyFloat_FromDouble(std::numeric_limits<double>::infinity()),
                                         PyFloat_FromDouble(-std::numeric_limits<double>::infinity())};
    static constexpr const char* names[3] = {"NaN", "Infinity", "-Infinity"};
    if (!PyUnicode_CheckExact(v) || PyUnicode_GET_LENGTH(v) > 9) return nullptr;
    for (int k = 0; k < 3; ++k)
        if (PyUnicode_CompareWithASCIIString(v, names[k]) == 0) return numbers[k];
    return nullptr;
}

// Puts the numbers back in place of quoted literals among a box's values and its lists' items: the
// count put back, or -1 if a value or item is an object (that layout is left to the whole-document
// parser) or on error (with an exception set).
Py_ssize_t unquote_box(PyObject* d) {
    Py_ssize_t count = 0, pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (PyDict_Check(value)) return -1;
        if (PyObject* number = quoted_number(value)) {
            // Replacing the value of a present key leaves the iteration valid.
            if (PyDict_SetItem(d, key, number) < 0) return -1;
            ++count;
        } else if (PyList_CheckExact(value)) {
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(value); ++k) {
                PyObject* item = PyList_GET_ITEM(value, k);
                if (PyDict_Check(item)) return -1;
                if (PyObject* n = quoted_number(item)) {
                    PyList_SET_ITEM(value, k, Py_NewRef(n));
                    Py_DECREF(item);
                    ++count;
                }
            }
        }
    }
    return count;
}

// box_list(value, quoted) -> (value, restored): one sample's value, decoded on its own. A list of
// boxes becomes an int64 array of their indices; in any other list each box is replaced by
// (its index,) as the hook does; other values stay as they are. With `quoted`, strings standing
// for quoted literals in a box are numbers again before it is checked, and `restored` counts them;
// -1 (nothing stored) where a box holds an object.
PyObject* box_list(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "box_list() takes (value, quoted)");
        return nullptr;
    }
    PyObject* value = args[0];
    const int quoted = PyObject_IsTrue(args[1]);
    const BoxKeys* keys = box_keys();
    BoxStore* store = store_of(capsule);
    if (quoted < 0 || keys == nullptr || store == nullptr || !py::require_numpy()) return nullptr;
    if (!PyList_CheckExact(value)) return Py_BuildValue("(On)", value, Py_ssize_t{0});
    return py::guarded([&]() -> PyObject* {
        const Py_ssize_t n = PyList_GET_SIZE(value);
        Py_ssize_t restored = 0;
        bool all_boxes = true;
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* d = PyList_GET_ITEM(value, k);
            if (!is_box(*keys, d)) {
                all_boxes = false;
            } else if (quoted) {
                const Py_ssize_t r = unquote_box(d);
                if (r < 0) return PyErr_Occurred() ? nullptr : Py_BuildValue("(On)", value, Py_ssize_t{-1});
                restored += r;
            }
        }
        if (!all_boxes) {
            for (Py_ssize_t k = 0; k < n; ++k) {
                Ref box = Ref::steal(box_hook(capsule, PyList_GET_ITEM(value, k)));
                if (!box || PyList_SetItem(value, k, box.release()) < 0) return nullptr;
            }
            return Py_BuildValue("(On)", value, restored);
        }
        std::vector<std::int64_t> indices(static_cast<std::size_t>(n));
        for (Py_ssize_t k = 0; k < n; ++k)
            indices[static_cast<std::size_t>(k)] =
                static_cast<std::int64_t>(store_box(*store, *keys, PyList_GET_ITEM(value, k)));
        Ref array = Ref::steal(array_of(indices, NPY_INT64));
        if (!array) return nullptr;
        return Py_BuildValue("(On)", array.get(), restored);
    });
}

// nuscenes_quote_literals(data) -> (quoted, count): `data` (bytes) with every NaN, Infinity and
// -Infinity written as a JSON string ("NaN", "Infinity", "-Infinity"), so that a strict JSON
// decoder takes the document; `count` is how many were quoted. Inside a string a literal's quotes
// break the document (a quote right after a string's end), so a decoder that takes the result has
// met the literals as values or object keys only.
PyObject* nuscenes_quote_literals_entry(PyObject*, PyObject* arg) {
    if (!PyBytes_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "data must be bytes");
        return nullptr;
    }
    const std::string_view text(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
    // Calls `at(start, next, length)` for each literal in order: `start` where its quoted form
    // begins (before a minus sign), `next` where its letters begin.
    auto each_literal = [&](auto&& at) {
        interrupt::Meter meter;
        std::size_t n = text.find("NaN"), i = text.find("Infinity");  // the next of each
        for (std::size_t from = 0;;) {
            if (n < from) n = text.find("NaN", from);
            if (i < from) i = text.find("Infinity", from);
            const std::size_t next = std::min(n, i);
            if (next == std::string_view::npos) return;
            const std::size_t length = next == n ? 3 : 8;
            at(next != n && next > 0 && text[next - 1] == '-' ? next - 1 : next, next, length);
            meter.add(next + length - from);
            from = next + length;
        }
    };
    return py::guarded([&]() -> PyObject* {
        std::size_t count = 0;
        py::without_gil([&] { each_literal([&](std::size_t, std::size_t, std::size_t) { ++count; }); });
        if (count == 0) return Py_BuildValue("(On)", arg, Py_ssize_t{0});
        Ref quoted = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(text.size() + 2 * count)));
        if (!quoted) return nullptr;
        char* out = PyBytes_AS_STRING(quoted.get());
        py::without_gil([&] {
            std::size_t done = 0;
            each_literal([&](std::size_t start, std::size_t next, std::size_t length) {
                out = std::copy(text.begin() + static_cast<std::ptrdiff_t>(done),
                                text.begin() + static_cast<std::ptrdiff_t>(start), out);
                *out++ = '"';
                out = std::copy(text.begin() + static_cast<std::ptrdiff_t>(start),
                                text.begin() + static_cast<std::ptrdiff_t>(next + length), out);
                *out++ = '"';
                done = next + length;
            });
            std::copy(text.begin() + static_cast<std::ptrdiff_t>(done), text.end(), out);
        });
        return Py_BuildValue("(On)", quoted.get(), static_cast<Py_ssize_t>(count));
    });
}

PyMethodDef box_hook_def = {"box_hook", box_hook, METH_O, "Object hook of the results parser."};
PyMethodDef box_take_def = {"box_take", box_take, METH_NOARGS, "The boxes stored so far."};
PyMethodDef box_list_def = {"box_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(box_list)),
                            METH_FASTCALL, "Stores the boxes of one sample's value."};

// nuscenes_box_reader() -> (hook, take, box_list): `hook` for json.loads(object_hook=...),
// `box_list` for a sample's value decoded on its own, `take()` for the boxes both stored.
PyObject* nuscenes_box_reader_entry(PyObject*, PyObject*) {
    auto* store = new (std::nothrow) BoxStore;
    if (store == nullptr) return PyErr_NoMemory();
    if (!store->names) {
        delete store;
        return nullptr;
    }
    Ref capsule = Ref::steal(PyCapsule_New(store, "vestrim.nuscenes.BoxStore", [](PyObject* c) {
        delete static_cast<BoxStore*>(PyCapsule_GetPointer(c, "vestrim.nuscenes.BoxStore"));
    }));
    if (!capsule) {
        delete store;
        return nullptr;
    }
    Ref hook = Ref::steal(PyCFunction_New(&box_hook_def, capsule.get()));
    Ref take = Ref::steal(PyCFunction_New(&box_take_def, capsule.get()));
    Ref list = Ref::steal(PyCFunction_New(&box_list_def, capsule.get()));
    if (!hook || !take || !list) return nullptr;
    return PyTuple_Pack(3, hook.get(), take.get(), list.get());
}

PyMethodDef nuscenes_methods[] = {
    {"nuscenes_box_reader", nuscenes_box_reader_entry, METH_NOARGS,
     "nuscenes_box_reader()\n--\n\n"
     "(hook, take, box_list): an object hook for json.loads that stores each results box (an object "
     "with a tracking_name) and puts (index,) in its place; box_list(value, quoted) -> (value, restored) "
     "that does the same for one sample's value decoded on its own (a list of boxes becomes an int64 "
     "array of indices; with quoted, strings standing for NaN, Infinity and -Infinity in a box are "
     "numbers again, restored counts them, -1 where a box holds an object); and take() -> (xyz, "
     "classes, scores, num_pts, track, tracking_ids, {index: fault}) where track indexes the "
     "tracking ids (in order of first appearance; -1 for a refused box)."},
    {"nuscenes_quote_literals", nuscenes_quote_literals_entry, METH_O,
     "nuscenes_quote_literals(data)\n--\n\n"
     "(quoted, count): the bytes with every NaN, Infinity and -Infinity written as a JSON string, and "
     "how many there were."},
    {"nuscenes_score", py::as_cfunction(nuscenes_score_entry), METH_FASTCALL | METH_KEYWORDS,
     "nuscenes_score(scene_offsets, timestamps, gt_offsets, gt_ids, gt_classes, gt_xy, pred_offsets, pred_ids, "
     "pred_classes, pred_xy, pred_scores, classes, threads=1)\n--\n\n"
     "Scores one tracker's filtered boxes: ([(summary, confidence, recall_hypo, curves)] per selected class, "
     "combined summary)."},
};

}  // namespace

std::span<PyMethodDef> nuscenes_functions() { return nuscenes_methods; }

}  // namespace vestrim::native
