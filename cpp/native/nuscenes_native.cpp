// nuScenes tracking scores: the package hands over boxes already read and filtered, as flat arrays,
// and gets back each selected class's summary and curves and the combined entry.
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "core/interrupt.hpp"
#include "core/nuscenes.hpp"
#include "native/native.hpp"

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

PyMethodDef nuscenes_methods[] = {
    {"nuscenes_score", py::as_cfunction(nuscenes_score_entry), METH_FASTCALL | METH_KEYWORDS,
     "nuscenes_score(scene_offsets, timestamps, gt_offsets, gt_ids, gt_classes, gt_xy, pred_offsets, pred_ids, "
     "pred_classes, pred_xy, pred_scores, classes, threads=1)\n--\n\n"
     "Scores one tracker's filtered boxes: ([(summary, confidence, recall_hypo, curves)] per selected class, "
     "combined summary)."},
};

}  // namespace

std::span<PyMethodDef> nuscenes_functions() { return nuscenes_methods; }

}  // namespace vestrim::native
