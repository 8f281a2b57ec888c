// Evaluation under a chosen convention: CLEAR, Identity and HOTA of one sequence as the module
// computes them or as the benchmarks do, and the pieces of HOTA's summary the package recombines
// (the alphas and the mean over them). An evaluation uses the threads call_threads() grants.
#include "core/clear_extra.hpp"
#include "core/evaluate.hpp"
#include "module/boxes.hpp"
#include "native/native.hpp"
#include "native/threads.hpp"

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

// (ClearMetrics, IdentityMetrics, HotaMetrics[, extra]) of a core evaluation.
PyObject* metrics_tuple(const ResultTypes& types, evaluate::Evaluation&& computed, const EvaluateOptions& options) {
    return metrics_tuple(types, std::move(computed.clear), std::move(computed.identity), std::move(computed.hota),
                         options, computed.motp_sum);
}

// Runs an evaluation on `threads` threads. On one it runs here, holding the interpreter lock and
// checking for signals as it goes, like any call. On several it runs without the lock: this thread
// only waits and checks for signals, taking the lock back each time, which costs the workers
// nothing even while other Python threads hold it.
template <class F>
evaluate::Evaluation run_evaluation(std::size_t threads, F&& evaluation) {
    if (threads <= 1) return evaluation();
    return py::without_gil(evaluation);
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
        memory::refuse_largest_frame(seq.frames, memory::bytes_per_pair::kEvaluate);
        const std::size_t threads = call_threads();
        evaluate::Evaluation computed = run_evaluation(
            threads, [&] { return evaluate::evaluate(seq.frames, options.threshold, options.convention, threads); });
        return metrics_tuple(types, std::move(computed), options);
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
        memory::refuse_largest_frame(seq.frames, memory::bytes_per_pair::kClear);
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
        memory::refuse_largest_frame(seq.frames, memory::bytes_per_pair::kEvaluate);
        const std::size_t threads = call_threads();
        evaluate::Evaluation computed = run_evaluation(threads, [&] {
            return evaluate::evaluate_from_similarity(seq.sequence(), options.threshold, options.convention, threads);
        });
        return metrics_tuple(types, std::move(computed), options);
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
