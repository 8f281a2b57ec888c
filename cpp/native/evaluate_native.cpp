// Evaluation under a chosen convention: CLEAR, Identity and HOTA of one sequence as the module
// computes them or as the benchmarks do, the benchmarks' per-frame removal matching, and the pieces
// of HOTA's summary the package recombines (the alphas and the mean over them).
#include <cstring>

#include "core/clear.hpp"
#include "core/clear_extra.hpp"
#include "core/hota.hpp"
#include "core/identity.hpp"
#include "core/iou.hpp"
#include "core/sparse_sim.hpp"
#include "module/boxes.hpp"
#include "module/numpy_api.hpp"
#include "native/native.hpp"

namespace vestrim::native {
namespace {

using py::Param;
using py::Ref;


// The result classes of the public module, looked up before any work so that a failure costs nothing.
struct ResultTypes {
    PyTypeObject* clear = nullptr;
    PyTypeObject* identity = nullptr;
    PyTypeObject* hota = nullptr;

    bool load() {
        clear = public_record_type<clear::ClearMetrics>("ClearMetrics");
        if (clear == nullptr) return false;
        identity = public_record_type<identity::IdentityMetrics>("IdentityMetrics");
        if (identity == nullptr) return false;
        hota = public_record_type<hota::HotaMetrics>("HotaMetrics");
        return hota != nullptr;
    }
};

// Frames left out of a sequence because they hold no box on either side. Such a frame changes no
// count and no ratio of any family under either convention, only num_frames: CLEAR adds no gt, no
// false positive and no miss and, having nothing to match, is not a solved frame, so the matched
// runs and the benchmark's bonus for the previous solved frame's match look straight across it
// (the module's continuity follows a gt id's last match in any earlier frame anyway); Identity
// interns no id and counts no overlap; HOTA interns no id and adds nothing to TP, FN, FP or any
// pair's overlap. So a sequence may list only the frames that hold boxes, in order, and say how
// many it left out; they are added to num_frames here.
Result<std::uint64_t> parse_empty_frames(Id value) {
    if (value < 0) return std::unexpected("empty_frames must be >= 0, got " + std::to_string(value));
    return static_cast<std::uint64_t>(value);
}

// The options both evaluations take after their sequence: the matching threshold, the convention,
// the number of frames left out and whether CLEAR's extra columns are wanted.
struct EvaluateOptions {
    double threshold = 0.5;
    Convention convention = Convention::Module;
    std::uint64_t empty_frames = 0;

    bool extra = false;

    // Converts the first `count` of the four arguments (`threshold_name` names the first); false
    // with an exception set.
    bool convert(const char* threshold_name, PyObject* const* a, int count = 4) {
        return py::opt_arg(threshold_name, a[0], threshold) && py::opt_arg("convention", a[1], convention_text_) &&
               py::opt_arg("empty_frames", a[2], empty_frames_value_) &&
               (count < 4 || py::opt_arg("extra", a[3], extra));
    }

    // Checks the convention and the frame count; false with a ValueError set.
    bool parse() {
        const auto parsed_convention = parse_convention(convention_text_);
        if (!py::ok_or_value_error(parsed_convention)) return false;
        const auto parsed_empty_frames = parse_empty_frames(empty_frames_value_);
        if (!py::ok_or_value_error(parsed_empty_frames)) return false;
        convention = *parsed_convention;
        empty_frames = *parsed_empty_frames;
        return true;
    }

private:
    std::string convention_text_ = "module";
    Id empty_frames_value_ = 0;
};

// CLEAR's extra columns of one sequence, from its finished record and the matches' summed
// similarity.
clear::ClearExtra sequence_clear_extra(const clear::ClearMetrics& c, double motp_sum) {
    clear::ClearExtraCounts counts;
    counts.tp = c.num_matches;
    counts.fn = c.num_misses;
    counts.fp = c.num_false_positives;
    counts.mt = c.mt;
    counts.pt = c.pt;
    counts.ml = c.ml;
    counts.frames = c.num_frames;
    counts.motp_sum = motp_sum;
    counts.empty = c.num_gt == 0 || c.num_matches + c.num_false_positives == 0;
    return clear::finalise_clear_extra(counts);
}

// (ClearMetrics, IdentityMetrics, HotaMetrics) from the three records, each counting `empty_frames`
// more frames than it saw; with `extra`, CLEAR's extra columns as a fourth item.
PyObject* metrics_tuple(const ResultTypes& types, clear::ClearMetrics&& clear, identity::IdentityMetrics&& identity,
                        hota::HotaMetrics&& hota, const EvaluateOptions& options, double motp_sum) {
    clear.num_frames += options.empty_frames;
    identity.num_frames += options.empty_frames;
    hota.num_frames += options.empty_frames;
    Ref e;
    if (options.extra) {
        e = Ref::steal(clear_extra_to_py(sequence_clear_extra(clear, motp_sum)));
        if (!e) return nullptr;
    }
    Ref c = Ref::steal(py::wrap_record(types.clear, std::move(clear)));
    if (!c) return nullptr;
    Ref i = Ref::steal(py::wrap_record(types.identity, std::move(identity)));
    if (!i) return nullptr;
    Ref h = Ref::steal(py::wrap_record(types.hota, std::move(hota)));
    if (!h) return nullptr;
    if (e) return PyTuple_Pack(4, c.get(), i.get(), h.get(), e.get());
    return PyTuple_Pack(3, c.get(), i.get(), h.get());
}

// As the public `evaluate` computes it: every frame's IoU matrix once, handed while fresh to the
// CLEAR and Identity accumulators and kept without its zeros for HOTA's two passes.
PyObject* evaluate_boxes(const ResultTypes& types, std::span<const Frame> frames, const EvaluateOptions& options) {
    const double iou_threshold = options.threshold;
    const Convention convention = options.convention;
    clear::ClearAccumulator clear_acc(convention);
    identity::IdentityAccumulator identity_acc;
    const sparse_sim::SparseSimFrames store =
        sparse_sim::store_box_ious(frames, [&](const Frame& f, const double* iou) {
            clear_acc.update(f.gt_ids, f.pred_ids, iou, iou_threshold);
            identity_acc.update(f.gt_ids, f.pred_ids, iou, iou_threshold);
        });
    return metrics_tuple(types, clear_acc.compute(), identity_acc.compute(),
                         hota::compute_hota_from_sparse(store, convention), options, clear_acc.motp_sum());
}

PyObject* evaluate_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_ids", true},         {"gt_boxes", true},   {"pred_ids", true},
                                       {"pred_boxes", true},     {"iou_threshold", false},
                                       {"convention", false},    {"empty_frames", false},
                                       {"extra", false}};
    PyObject* a[8];
    if (!py::bind({"evaluate()", params}, args, nargs, kwnames, a)) return nullptr;
    py::BoxSequenceArgs seq;
    EvaluateOptions options;
    if (!seq.convert(a) || !options.convert("iou_threshold", a + 4)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        if (!options.parse()) return nullptr;
        ResultTypes types;
        if (!types.load() || !seq.build("xyxy")) return nullptr;
        return evaluate_boxes(types, seq.frames, options);
    });
}

// CLEAR alone, with its extra columns: (ClearMetrics, extra tuple), for runs that want no other
// family.
PyObject* evaluate_clear_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_ids", true},      {"gt_boxes", true},   {"pred_ids", true},
                                       {"pred_boxes", true},  {"iou_threshold", false},
                                       {"convention", false}, {"empty_frames", false}};
    PyObject* a[7];
    if (!py::bind({"evaluate_clear()", params}, args, nargs, kwnames, a)) return nullptr;
    py::BoxSequenceArgs seq;
    EvaluateOptions options;
    if (!seq.convert(a) || !options.convert("iou_threshold", a + 4, 3)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        if (!options.parse()) return nullptr;
        PyTypeObject* type = public_record_type<clear::ClearMetrics>("ClearMetrics");
        if (type == nullptr || !seq.build("xyxy")) return nullptr;
        double motp_sum = 0.0;
        clear::ClearMetrics clear = clear::compute_clear(seq.frames, options.threshold, options.convention, &motp_sum);
        clear.num_frames += options.empty_frames;
        Ref e = Ref::steal(clear_extra_to_py(sequence_clear_extra(clear, motp_sum)));
        if (!e) return nullptr;
        Ref c = Ref::steal(py::wrap_record(type, std::move(clear)));
        if (!c) return nullptr;
        return PyTuple_Pack(2, c.get(), e.get());
    });
}

PyObject* evaluate_from_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"gt_ids", true},     {"pred_ids", true},   {"similarity", true},
                                       {"threshold", false}, {"convention", false}, {"empty_frames", false},
                                       {"extra", false}};
    PyObject* a[7];
    if (!py::bind({"evaluate_from_similarity()", params}, args, nargs, kwnames, a)) return nullptr;
    py::SimSequenceArgs seq;
    EvaluateOptions options;
    if (!seq.convert(a) || !options.convert("threshold", a + 3)) return nullptr;
    return py::guarded([&]() -> PyObject* {
        if (!options.parse()) return nullptr;
        ResultTypes types;
        if (!types.load() || !seq.build()) return nullptr;
        const std::span<const SimFrame> frames = seq.frames;
        double motp_sum = 0.0;
        auto clear = clear::compute_clear_from_similarity(frames, options.threshold, options.convention, &motp_sum);
        return metrics_tuple(types, std::move(clear),
                             identity::compute_identity_from_similarity(frames, options.threshold),
                             hota::compute_hota_from_similarity(frames, options.convention), options, motp_sum);
    });
}

// ---------------------------------------------------------------------------------------------
// Removal matching

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
        std::vector<double> iou;
        std::vector<double> scores;
        return per_frame_matches(gt->size(), [&](std::size_t t, std::vector<std::int64_t>& gt_of_pred) {
            const auto gt_boxes = (*gt)[t].boxes;
            const auto pred_boxes = (*pred)[t].boxes;
            iou.resize(gt_boxes.size() * pred_boxes.size());
            iou::iou_matrix(gt_boxes, pred_boxes, iou.data());
            gt_of_pred.resize(pred_boxes.size());
            clear::removal_matches(iou.data(), gt_boxes.size(), pred_boxes.size(), threshold, scores,
                                   gt_of_pred.data());
        });
    });
}

// Per-frame matrices with their column counts: a frame without rows has as many columns as its
// (0, m) array says, or none when given as an empty sequence.
struct SimMatrices {
    py::SimInput values;
    std::vector<std::size_t> cols;
};

bool convert_matrices(PyObject* obj, SimMatrices& out) {
    return py::for_each_item(
        obj, [&](std::size_t n) { out.cols.reserve(n); },
        [&](PyObject* frame) {
            const std::size_t t = out.values.size();
            if (!py::append_sim_frame(frame, out.values)) return false;
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
        std::vector<double> scores;
        return per_frame_matches(sim.cols.size(), [&](std::size_t t, std::vector<std::int64_t>& gt_of_pred) {
            gt_of_pred.resize(sim.cols[t]);
            clear::removal_matches(sim.values.frame_data(t), sim.values.rows(t), sim.cols[t], threshold, scores,
                                   gt_of_pred.data());
        });
    });
}

// ---------------------------------------------------------------------------------------------
// HOTA's alphas and means

PyObject* alpha_mean_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"values", true}};
    PyObject* a[1];
    if (!py::bind({"alpha_mean()", params}, args, nargs, kwnames, a)) return nullptr;
    std::vector<double> values;
    if (!py::arg("values", a[0], values)) return nullptr;
    if (values.empty()) return py::value_error("values must not be empty");
    return PyFloat_FromDouble(hota::mean_over_alphas(values));
}

PyObject* benchmark_alphas_entry(PyObject*, PyObject*) {
    const auto grid = hota::benchmark_alpha_grid();
    return py::to_py(std::vector<double>(grid.begin(), grid.end()));
}

PyMethodDef functions[] = {
    {"evaluate", py::as_cfunction(evaluate_entry), METH_FASTCALL | METH_KEYWORDS,
     "evaluate(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, convention=\"module\", "
     "empty_frames=0, extra=False)\n--\n\n"
     "CLEAR, Identity and HOTA of one box sequence (boxes xyxy) as a tuple\n"
     "(ClearMetrics, IdentityMetrics, HotaMetrics). \"module\" gives exactly\n"
     "vestrim.evaluate's numbers; \"benchmark\" the benchmarks' conventions.\n"
     "empty_frames counts frames left out of the lists because neither side has\n"
     "a box there: they add to num_frames and change nothing else. With extra=True a\n"
     "fourth item holds CLEAR's extra columns (clr_f1, fp_per_frame, motp_sum,\n"
     "clr_frames, mtr, ptr, mlr)."},
    {"evaluate_clear", py::as_cfunction(evaluate_clear_entry), METH_FASTCALL | METH_KEYWORDS,
     "evaluate_clear(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, "
     "convention=\"module\", empty_frames=0)\n--\n\n"
     "CLEAR alone of one box sequence (boxes xyxy), as evaluate computes it, with\n"
     "its extra columns: (ClearMetrics, (clr_f1, fp_per_frame, motp_sum,\n"
     "clr_frames, mtr, ptr, mlr))."},
    {"evaluate_from_similarity", py::as_cfunction(evaluate_from_similarity_entry), METH_FASTCALL | METH_KEYWORDS,
     "evaluate_from_similarity(gt_ids, pred_ids, similarity, threshold=0.5, convention=\"module\", "
     "empty_frames=0, extra=False)\n--\n\n"
     "The same as evaluate, from per-frame similarity matrices."},
    {"removal_matches", py::as_cfunction(removal_matches_entry), METH_FASTCALL | METH_KEYWORDS,
     "removal_matches(gt_boxes, pred_boxes, threshold=0.5)\n--\n\n"
     "Per frame, the benchmarks' one-to-one matching by box IoU: for each prediction\n"
     "the index of its matched ground-truth box, or -1 (int64 arrays, or lists\n"
     "while numpy is not imported)."},
    {"removal_matches_from_similarity", py::as_cfunction(removal_matches_from_similarity_entry),
     METH_FASTCALL | METH_KEYWORDS,
     "removal_matches_from_similarity(similarity, threshold=0.5)\n--\n\n"
     "The same as removal_matches, from per-frame similarity matrices (rows gt)."},
    {"alpha_mean", py::as_cfunction(alpha_mean_entry), METH_FASTCALL | METH_KEYWORDS,
     "alpha_mean(values)\n--\n\n"
     "The mean over alphas exactly as HOTA's summary scores are computed."},
    {"benchmark_alphas", benchmark_alphas_entry, METH_NOARGS,
     "benchmark_alphas()\n--\n\n"
     "The benchmarks' 19 HOTA alphas, 0.05 + k * 0.05 for k = 0 .. 18."},
};

}  // namespace

Result<Convention> parse_convention(const std::string& text) {
    if (text == "module") return Convention::Module;
    if (text == "benchmark") return Convention::Benchmark;
    return std::unexpected("unknown convention " + py::debug_quoted(text) + ", expected \"module\" or \"benchmark\"");
}

std::span<PyMethodDef> evaluate_functions() { return functions; }

}  // namespace vestrim::native
