// The benchmarks' per-frame removal matching: frame by frame (one answer per frame, from boxes or
// from similarity matrices), and over whole tables (every row of each side with its frame, grouped by
// frame here, so that a sequence costs one call and one result array rather than one array per frame
// each way).
#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>

#include "core/clear.hpp"
#include "core/interrupt.hpp"
#include "core/iou.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"
#include "module/boxes.hpp"
#include "module/numpy_api.hpp"
#include "native/native.hpp"
#include "native/threads.hpp"

namespace vestrim::native {
namespace {

using py::Param;
using py::Ref;

// Frame by frame: one list entry per frame.

// One frame's matched gt rows as an int64 array when numpy is loaded, else as a list of ints.
PyObject* index_vector(const std::vector<std::int64_t>& values, bool as_array) {
    if (!as_array) return py::to_py(values);
    const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(values.size())};
    PyObject* array = py::new_int64_array(1, shape);
    if (array != nullptr && !values.empty())
        std::memcpy(py::array_data(array), values.data(), values.size() * sizeof(std::int64_t));
    return array;
}

// Runs `frame(t, gt_of_pred)` for t = 0 .. num_frames - 1, each filling one frame's answer, and
// collects the answers into a new list.
template <class Frame>
PyObject* per_frame_matches(std::size_t num_frames, Frame&& frame) {
    const bool as_array = py::numpy_imported();
    if (as_array && !py::require_numpy()) return nullptr;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(num_frames)));
    if (!out) return nullptr;
    std::vector<std::int64_t> gt_of_pred;
    for (std::size_t t = 0; t < num_frames; ++t) {
        frame(t, gt_of_pred);
        PyObject* item = index_vector(gt_of_pred, as_array);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(t), item);
    }
    return out.release();
}

PyObject* removal_matches_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_boxes", true}, {"pred_boxes", true}, {"threshold", false}};
    PyObject* a[3];
    if (!py::bind({"removal_matches()", params}, args, nargs, kwnames, a)) return nullptr;
    std::vector<py::PyBoxes> gt_sets, pred_sets;
    double threshold = 0.5;
    if (!py::arg("gt_boxes", a[0], gt_sets) || !py::arg("pred_boxes", a[1], pred_sets) ||
        !py::opt_arg("threshold", a[2], threshold))
        return nullptr;
    return py::guarded([&]() -> PyObject* {
        auto gt = py::to_xyxy_frames(gt_sets, py::BoxFormat::Xyxy);
        if (!py::ok_or_value_error(gt)) return nullptr;
        auto pred = py::to_xyxy_frames(pred_sets, py::BoxFormat::Xyxy);
        if (!py::ok_or_value_error(pred)) return nullptr;
        if (gt->size() != pred->size()) {
            return py::value_error("gt_boxes and pred_boxes must have the same number of frames, got " +
                                   std::to_string(gt->size()) + " and " + std::to_string(pred->size()));
        }
        memory::LargeVector<double> iou;
        memory::LargeVector<double> scores;
        interrupt::Meter meter;
        return per_frame_matches(gt->size(), [&](std::size_t t, std::vector<std::int64_t>& gt_of_pred) {
            const auto gt_boxes = (*gt)[t].boxes;
            const auto pred_boxes = (*pred)[t].boxes;
            memory::refuse_frame(t, gt_boxes.size(), pred_boxes.size(), memory::bytes_per_pair::kRemoval);
            memory::resize_in_pieces(iou, gt_boxes.size() * pred_boxes.size(), &meter);
            iou::iou_matrix(gt_boxes, pred_boxes, iou.data());
            gt_of_pred.resize(pred_boxes.size());
            clear::removal_matches(iou.data(), gt_boxes.size(), pred_boxes.size(), threshold, scores,
                                   gt_of_pred.data());
        });
    });
}

// Per-frame matrices with their column counts: a frame without rows has as many columns as its
// (0, m) array says, or none when given as an empty sequence. An array that is not read in place
// is laid out when its frame is matched.
struct SimMatrices {
    py::SimInput values;
    std::vector<std::size_t> cols;
};

bool convert_matrices(PyObject* obj, SimMatrices& out) {
    return py::for_each_item(
        obj, [&](std::size_t n) { out.cols.reserve(n); },
        [&](PyObject* frame) {
            const std::size_t t = out.values.size();
            if (!py::append_sim_frame(frame, out.values, true)) return false;
            std::size_t cols = 0;
            if (out.values.rows(t) > 0) {
                cols = out.values.row_length(t, 0);
            } else {
                py::ArrayView view;
                if (!PyList_Check(frame) && !PyTuple_Check(frame) && py::as_ndarray(frame, view) && view.ndim == 2)
                    cols = static_cast<std::size_t>(view.shape[1]);
            }
            out.cols.push_back(cols);
            return true;
        });
}

PyObject* removal_matches_from_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) {
    static constexpr Param params[] = {{"similarity", true}, {"threshold", false}};
    PyObject* a[2];
    if (!py::bind({"removal_matches_from_similarity()", params}, args, nargs, kwnames, a)) return nullptr;
    SimMatrices sim;
    double threshold = 0.5;
    bool converted = false;
    try {
        converted = py::noted("similarity", convert_matrices(a[0], sim));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        py::add_processing_note("similarity");
    }
    if (!converted || !py::opt_arg("threshold", a[1], threshold)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        for (std::size_t t = 0; t < sim.cols.size(); ++t) {
            for (std::size_t i = 1; i < sim.values.rows(t); ++i) {
                const std::size_t cols = sim.values.row_length(t, i);
                if (cols != sim.cols[t]) {
                    return py::value_error("frame " + std::to_string(t) + ": similarity row " + std::to_string(i) +
                                           " has " + std::to_string(cols) + " columns, expected " +
                                           std::to_string(sim.cols[t]));
                }
            }
        }
        memory::LargeVector<double> scores;
        SimFrames::Buffer laid_out;
        return per_frame_matches(sim.cols.size(), [&](std::size_t t, std::vector<std::int64_t>& gt_of_pred) {
            memory::refuse_frame(t, sim.values.rows(t), sim.cols[t], memory::bytes_per_pair::kRemoval);
            gt_of_pred.resize(sim.cols[t]);
            const double* values = sim.values.frame_data(t);
            if (values == nullptr) {
                laid_out.resize(sim.values.rows(t) * sim.cols[t]);
                sim.values.write(t, laid_out.data());
                values = laid_out.data();
            }
            clear::removal_matches(values, sim.values.rows(t), sim.cols[t], threshold, scores, gt_of_pred.data());
        });
    });
}

// Over whole tables.

// A call takes a second thread only for this many frames or more: fewer are done sooner alone.
constexpr std::size_t kFramesPerThread = 64;

// Row indices ordered by frame; the rows of one frame keep their given order.
std::vector<std::size_t> frame_order(const std::vector<Id>& frames) {
    std::vector<std::size_t> order(frames.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (std::is_sorted(frames.begin(), frames.end())) return order;  // files list their rows frame by frame
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return frames[a] < frames[b]; });
    return order;
}

// The end of the run of `order` entries from `begin` whose rows lie in the same frame.
std::size_t frame_end(const std::vector<Id>& frames, const std::vector<std::size_t>& order, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < order.size() && frames[order[end]] == frames[order[begin]]) ++end;
    return end;
}

PyObject* removal_matches_rows_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_frames", true},
                                       {"gt_boxes", true},
                                       {"pred_frames", true},
                                       {"pred_boxes", true},
                                       {"threshold", false}};
    PyObject* a[5];
    if (!py::bind({"removal_matches_rows()", params}, args, nargs, kwnames, a)) return nullptr;
    std::vector<Id> gt_frames, pred_frames;
    py::PyBoxes gt_set, pred_set;
    double threshold = 0.5;
    if (!py::arg("gt_frames", a[0], gt_frames) || !py::arg("gt_boxes", a[1], gt_set) ||
        !py::arg("pred_frames", a[2], pred_frames) || !py::arg("pred_boxes", a[3], pred_set) ||
        !py::opt_arg("threshold", a[4], threshold))
        return nullptr;
    if (!py::require_numpy()) return nullptr;
    return py::guarded([&]() -> PyObject* {
        const auto gt = py::as_boxes(gt_set, py::BoxFormat::Xyxy);
        if (!py::ok_or_value_error(gt)) return nullptr;
        const auto pred = py::as_boxes(pred_set, py::BoxFormat::Xyxy);
        if (!py::ok_or_value_error(pred)) return nullptr;
        if (gt->boxes.size() != gt_frames.size() || pred->boxes.size() != pred_frames.size()) {
            return py::value_error("each side needs one frame per box, got " + std::to_string(gt_frames.size()) +
                                   " and " + std::to_string(gt->boxes.size()) + " (gt), " +
                                   std::to_string(pred_frames.size()) + " and " +
                                   std::to_string(pred->boxes.size()) + " (pred)");
        }
        std::vector<std::int64_t> matched(pred_frames.size(), -1);
        const std::vector<std::size_t> g_order = frame_order(gt_frames);
        const std::vector<std::size_t> p_order = frame_order(pred_frames);
        // The frames with both sides, as runs [begin, end) of each order.
        struct FrameRuns {
            std::size_t gi, g_end, pi, p_end;
        };
        std::vector<FrameRuns> runs;
        for (std::size_t gi = 0, pi = 0; gi < g_order.size() && pi < p_order.size();) {
            const Id g_frame = gt_frames[g_order[gi]], p_frame = pred_frames[p_order[pi]];
            const std::size_t g_end = frame_end(gt_frames, g_order, gi);
            const std::size_t p_end = frame_end(pred_frames, p_order, pi);
            if (g_frame != p_frame) {  // a frame with one side only matches nothing
                (g_frame < p_frame ? gi = g_end : pi = p_end);
                continue;
            }
            memory::refuse_frame(static_cast<std::uint64_t>(g_frame), g_end - gi, p_end - pi,
                                 memory::bytes_per_pair::kRemoval);
            runs.push_back({gi, g_end, pi, p_end});
            gi = g_end;
            pi = p_end;
        }
        // Frames are independent and each writes only its own predictions' entries of `matched`.
        struct Scratch {
            std::vector<Box> g_boxes, p_boxes;
            memory::LargeVector<double> iou, scores;
            std::vector<std::int64_t> gt_of_pred;
            interrupt::Meter meter;
        };
        const std::size_t threads = std::min(call_threads(), runs.size() / kFramesPerThread + 1);
        std::vector<Scratch> scratch(threads);
        auto match_frame = [&](std::size_t f, std::size_t worker) {
            const FrameRuns& run = runs[f];
            Scratch& w = scratch[worker];
            w.g_boxes.clear();
            for (std::size_t k = run.gi; k < run.g_end; ++k) w.g_boxes.push_back(gt->boxes[g_order[k]]);
            w.p_boxes.clear();
            for (std::size_t k = run.pi; k < run.p_end; ++k) w.p_boxes.push_back(pred->boxes[p_order[k]]);
            w.meter.add(1 + 8 * w.g_boxes.size() * w.p_boxes.size());
            memory::resize_in_pieces(w.iou, w.g_boxes.size() * w.p_boxes.size(), &w.meter);
            iou::iou_matrix(w.g_boxes, w.p_boxes, w.iou.data());
            w.gt_of_pred.resize(w.p_boxes.size());
            clear::removal_matches(w.iou.data(), w.g_boxes.size(), w.p_boxes.size(), threshold, w.scores,
                                   w.gt_of_pred.data());
            for (std::size_t j = 0; j < w.p_boxes.size(); ++j) {
                if (w.gt_of_pred[j] >= 0)
                    matched[p_order[run.pi + j]] =
                        static_cast<std::int64_t>(g_order[run.gi + static_cast<std::size_t>(w.gt_of_pred[j])]);
            }
        };
        if (threads <= 1) {
            for (std::size_t f = 0; f < runs.size(); ++f) match_frame(f, 0);
        } else {
            py::without_gil([&] { parallel::for_each_index(threads, runs.size(), match_frame); });
        }
        const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(matched.size())};
        PyObject* out = py::new_int64_array(1, shape);
        if (out != nullptr && !matched.empty())
            std::memcpy(py::array_data(out), matched.data(), matched.size() * sizeof(std::int64_t));
        return out;
    });
}

PyMethodDef functions[] = {
    {"removal_matches", py::as_cfunction(removal_matches_entry), METH_FASTCALL | METH_KEYWORDS,
     "removal_matches(gt_boxes, pred_boxes, threshold=0.5)\n--\n\n"
     "Per frame, the benchmarks' one-to-one matching by box IoU: for each prediction\n"
     "the index of its matched ground-truth box, or -1 (int64 arrays, or lists\n"
     "while numpy is not imported)."},
    {"removal_matches_from_similarity", py::as_cfunction(removal_matches_from_similarity_entry),
     METH_FASTCALL | METH_KEYWORDS,
     "removal_matches_from_similarity(similarity, threshold=0.5)\n--\n\n"
     "The same as removal_matches, from per-frame similarity matrices (rows gt)."},
    {"removal_matches_rows", py::as_cfunction(removal_matches_rows_entry), METH_FASTCALL | METH_KEYWORDS,
     "removal_matches_rows(gt_frames, gt_boxes, pred_frames, pred_boxes, threshold=0.5)\n--\n\n"
     "removal_matches over whole tables: rows of each side with their frames (any order;\n"
     "the rows of a frame are matched in their given order, boxes xyxy). For each\n"
     "prediction row, the row of its matched ground truth, or -1 (an int64 array)."},
};

}  // namespace

std::span<PyMethodDef> removal_functions() { return functions; }

}  // namespace vestrim::native
