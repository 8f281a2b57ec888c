// The benchmarks' per-frame removal matching over whole tables: every row of each side with its
// frame, grouped by frame here, so that a sequence costs one call and one result array rather than
// one array per frame each way.
#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>

#include "core/clear.hpp"
#include "core/iou.hpp"
#include "module/boxes.hpp"
#include "module/numpy_api.hpp"
#include "native/native.hpp"

namespace vestrim::native {
namespace {

using py::Param;

// Row indices ordered by frame; the rows of one frame keep their given order.
std::vector<std::size_t> frame_order(const std::vector<Id>& frames) {
    std::vector<std::size_t> order(frames.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
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
        std::vector<Box> g_boxes, p_boxes;
        std::vector<double> iou, scores;
        std::vector<std::int64_t> gt_of_pred;
        std::size_t gi = 0, pi = 0;
        while (gi < g_order.size() && pi < p_order.size()) {
            const Id g_frame = gt_frames[g_order[gi]], p_frame = pred_frames[p_order[pi]];
            const std::size_t g_end = frame_end(gt_frames, g_order, gi);
            const std::size_t p_end = frame_end(pred_frames, p_order, pi);
            if (g_frame != p_frame) {  // a frame with one side only matches nothing
                (g_frame < p_frame ? gi = g_end : pi = p_end);
                continue;
            }
            g_boxes.clear();
            for (std::size_t k = gi; k < g_end; ++k) g_boxes.push_back(gt->boxes[g_order[k]]);
            p_boxes.clear();
            for (std::size_t k = pi; k < p_end; ++k) p_boxes.push_back(pred->boxes[p_order[k]]);
            iou.resize(g_boxes.size() * p_boxes.size());
            iou::iou_matrix(g_boxes, p_boxes, iou.data());
            gt_of_pred.resize(p_boxes.size());
            clear::removal_matches(iou.data(), g_boxes.size(), p_boxes.size(), threshold, scores,
                                   gt_of_pred.data());
            for (std::size_t j = 0; j < p_boxes.size(); ++j) {
                if (gt_of_pred[j] >= 0)
                    matched[p_order[pi + j]] = static_cast<std::int64_t>(g_order[gi + static_cast<std::size_t>(gt_of_pred[j])]);
            }
            gi = g_end;
            pi = p_end;
        }
        const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(matched.size())};
        PyObject* out = py::new_int64_array(1, shape);
        if (out != nullptr && !matched.empty())
            std::memcpy(py::array_data(out), matched.data(), matched.size() * sizeof(std::int64_t));
        return out;
    });
}

PyMethodDef functions[] = {
    {"removal_matches_rows", py::as_cfunction(removal_matches_rows_entry), METH_FASTCALL | METH_KEYWORDS,
     "removal_matches_rows(gt_frames, gt_boxes, pred_frames, pred_boxes, threshold=0.5)\n--\n\n"
     "removal_matches over whole tables: rows of each side with their frames (any order;\n"
     "the rows of a frame are matched in their given order, boxes xyxy). For each\n"
     "prediction row, the row of its matched ground truth, or -1 (an int64 array)."},
};

}  // namespace

std::span<PyMethodDef> removal_functions() { return functions; }

}  // namespace vestrim::native
