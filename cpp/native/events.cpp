// Event logs and per-track tables: the boundary of core/events. Each entry returns its columns as a
// tuple of new NumPy arrays, in the order the package's record classes list them.
#include <cstring>
#include <type_traits>

#include "core/events.hpp"
#include "core/hota.hpp"
#include "module/boxes.hpp"
#include "module/numpy_api.hpp"
#include "native/native.hpp"

namespace vestrim::native {
namespace {

using py::Param;
using py::Ref;

// A column as a new 1-D array: int64, float64, or bool for the uint8 flags (uint8 when `as_bool`
// is false).
template <class T>
PyObject* column(const std::vector<T>& values, bool as_bool = true) {
    const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(values.size())};
    PyObject* array;
    if constexpr (std::is_same_v<T, double>) {
        array = py::new_float64_array(1, shape);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        array = py::new_int64_array(1, shape);
    } else {
        static_assert(std::is_same_v<T, std::uint8_t>);
        const Py_ssize_t strides[1] = {1};
        array = as_bool ? py::new_bool_array(1, shape, strides) : py::new_uint8_array(1, shape, false);
    }
    if (array != nullptr && !values.empty()) std::memcpy(py::array_data(array), values.data(), values.size() * sizeof(T));
    return array;
}

// Rows of `width` values as a new (rows, width) float64 array.
PyObject* matrix_column(const std::vector<double>& values, std::size_t width) {
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(values.size() / width), static_cast<Py_ssize_t>(width)};
    PyObject* array = py::new_float64_array(2, shape);
    if (array != nullptr && !values.empty()) std::memcpy(py::array_data(array), values.data(), values.size() * sizeof(double));
    return array;
}

// A tuple of the given new references (each may be nullptr after a failure: then nullptr).
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    std::vector<Ref> owned;
    owned.reserve(items.size());
    for (PyObject* item : items) owned.push_back(Ref::steal(item));
    for (const Ref& item : owned)
        if (!item) return nullptr;
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
    if (!out) return nullptr;
    for (std::size_t k = 0; k < owned.size(); ++k)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), owned[k].release());
    return out.release();
}

PyObject* log_columns(const events::EventLog& log) {
    return tuple_of({column(log.frame), column(log.kind, false), column(log.gt_id), column(log.pred_id),
                     column(log.has_gt), column(log.has_pred), column(log.similarity),
                     column(log.from_switch_matcher)});
}

PyObject* table_columns(const events::TrackTables& t) {
    const events::GtTable& g = t.gt;
    const events::PredTable& p = t.pred;
    PyObject* gt = tuple_of({column(g.id), column(g.frames), column(g.matched), column(g.ratio),
                             column(g.track_class, false), column(g.frag), column(g.switches), column(g.partner),
                             column(g.has_partner), column(g.idtp), column(g.association),
                             matrix_column(g.association_alphas, hota::kNumAlphas),
                             matrix_column(g.tp_alphas, hota::kNumAlphas)});
    PyObject* pred = tuple_of({column(p.id), column(p.frames), column(p.matched), column(p.gt_covered), column(p.idfp)});
    return tuple_of({gt, pred});
}

// The optional frame numbers of a log: None, or one int per frame.
bool convert_frame_numbers(PyObject* obj, std::vector<Id>& out) {
    return obj == nullptr || obj == Py_None || py::arg("frame_numbers", obj, out);
}

bool check_frame_numbers(const std::vector<Id>& numbers, std::size_t num_frames) {
    if (numbers.empty() || numbers.size() == num_frames) return true;
    py::value_error("frame_numbers must have one entry per frame, got " + std::to_string(numbers.size()) + " for " +
                    std::to_string(num_frames) + " frames");
    return false;
}

// The options after a sequence: threshold, convention (and box format for boxes).
struct Options {
    double threshold = 0.5;
    std::string box_format = "xyxy";
    std::string convention_text = "module";
    Convention convention = Convention::Module;

    bool parse() {
        const auto parsed = parse_convention(convention_text);
        if (!py::ok_or_value_error(parsed)) return false;
        convention = *parsed;
        return true;
    }
};

// Binds and converts (gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold, box_format, convention
// [, frame_numbers]) and runs `run(frames, options, frame_numbers)` on the built frames.
template <class Run>
PyObject* box_entry(const char* display, bool with_numbers, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Run&& run) {
    static constexpr Param params[] = {{"gt_ids", true},        {"gt_boxes", true},      {"pred_ids", true},
                                       {"pred_boxes", true},    {"iou_threshold", false}, {"box_format", false},
                                       {"convention", false},   {"frame_numbers", false}};
    PyObject* a[8] = {};
    const std::span<const Param> used(params, with_numbers ? 8 : 7);
    if (!py::bind({display, used}, args, nargs, kwnames, a)) return nullptr;
    py::BoxSequenceArgs seq;
    Options options;
    std::vector<Id> numbers;
    if (!seq.convert(a) || !py::opt_arg("iou_threshold", a[4], options.threshold) ||
        !py::opt_arg("box_format", a[5], options.box_format) ||
        !py::opt_arg("convention", a[6], options.convention_text) || !convert_frame_numbers(a[7], numbers))
        return nullptr;
    return py::guarded([&]() -> PyObject* {
        if (!options.parse() || !seq.build(options.box_format) || !py::require_numpy()) return nullptr;
        if (!check_frame_numbers(numbers, seq.frames.size())) return nullptr;
        return run(std::span<const Frame>(seq.frames), options, std::span<const std::int64_t>(numbers));
    });
}

// The same for (gt_ids, pred_ids, similarity, threshold, convention [, frame_numbers]).
template <class Run>
PyObject* sim_entry(const char* display, bool with_numbers, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Run&& run) {
    static constexpr Param params[] = {{"gt_ids", true},      {"pred_ids", true},   {"similarity", true},
                                       {"threshold", false},  {"convention", false}, {"frame_numbers", false}};
    PyObject* a[6] = {};
    const std::span<const Param> used(params, with_numbers ? 6 : 5);
    if (!py::bind({display, used}, args, nargs, kwnames, a)) return nullptr;
    py::SimSequenceArgs seq;
    Options options;
    std::vector<Id> numbers;
    if (!seq.convert(a) || !py::opt_arg("threshold", a[3], options.threshold) ||
        !py::opt_arg("convention", a[4], options.convention_text) || !convert_frame_numbers(a[5], numbers))
        return nullptr;
    return py::guarded([&]() -> PyObject* {
        if (!options.parse() || !seq.build() || !py::require_numpy()) return nullptr;
        if (!check_frame_numbers(numbers, seq.frames.size())) return nullptr;
        return run(seq.sequence(), options, std::span<const std::int64_t>(numbers));
    });
}

PyObject* frame_events_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return box_entry("frame_events()", true, args, nargs, kwnames, [](auto frames, const Options& o, auto numbers) {
        return log_columns(events::frame_events(frames, numbers, o.threshold, o.convention));
    });
}

PyObject* frame_events_from_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return sim_entry("frame_events_from_similarity()", true, args, nargs, kwnames,
                     [](auto frames, const Options& o, auto numbers) {
                         return log_columns(events::frame_events_from_similarity(frames, numbers, o.threshold,
                                                                                 o.convention));
                     });
}

PyObject* track_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return box_entry("track_table()", false, args, nargs, kwnames, [](auto frames, const Options& o, auto) {
        return table_columns(events::track_tables(frames, o.threshold, o.convention));
    });
}

PyObject* track_table_from_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return sim_entry("track_table_from_similarity()", false, args, nargs, kwnames,
                     [](auto frames, const Options& o, auto) {
                         return table_columns(events::track_tables_from_similarity(frames, o.threshold, o.convention));
                     });
}

// A 1-D C-contiguous array argument of element type `elem` (and C++ type T), viewed in place; its
// length must be `length` unless that is negative (then it sets it). False with a ValueError set.
template <class T>
bool column_arg(const char* name, PyObject* obj, py::Elem elem, std::span<const T>& out, Py_ssize_t& length) {
    py::ArrayView view;
    if (!py::as_ndarray(obj, view) || view.ndim != 1 || view.elem != elem ||
        (view.shape[0] > 1 && view.strides[0] != static_cast<Py_ssize_t>(sizeof(T))) || !view.aligned) {
        py::value_error(std::string(name) + " must be a 1-D contiguous array of the event log's type");
        return false;
    }
    if (length >= 0 && view.shape[0] != length) {
        py::value_error(std::string(name) + " has " + std::to_string(view.shape[0]) + " rows, expected " +
                        std::to_string(length));
        return false;
    }
    length = view.shape[0];
    out = {reinterpret_cast<const T*>(view.data), static_cast<std::size_t>(view.shape[0])};
    return true;
}

PyObject* events_csv_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Param params[] = {{"frame", true},    {"kind", true},       {"gt_id", true},
                                       {"pred_id", true},  {"has_gt", true},     {"has_pred", true},
                                       {"similarity", true}, {"from_switch_matcher", true}};
    PyObject* a[8];
    if (!py::bind({"events_csv()", params}, args, nargs, kwnames, a)) return nullptr;
    events::EventColumns log;
    Py_ssize_t n = -1;
    using py::Elem;
    if (!column_arg("frame", a[0], Elem::Int64, log.frame, n) || !column_arg("kind", a[1], Elem::UInt8, log.kind, n) ||
        !column_arg("gt_id", a[2], Elem::Int64, log.gt_id, n) ||
        !column_arg("pred_id", a[3], Elem::Int64, log.pred_id, n) ||
        !column_arg("has_gt", a[4], Elem::UInt8, log.has_gt, n) ||
        !column_arg("has_pred", a[5], Elem::UInt8, log.has_pred, n) ||
        !column_arg("similarity", a[6], Elem::Float64, log.similarity, n) ||
        !column_arg("from_switch_matcher", a[7], Elem::UInt8, log.from_switch_matcher, n))
        return nullptr;
    return py::guarded([&]() -> PyObject* {
        const auto text = events::events_csv(log);
        if (!py::ok_or_value_error(text)) return nullptr;
        return PyBytes_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
    });
}

PyMethodDef functions[] = {
    {"events_csv", py::as_cfunction(events_csv_entry), METH_FASTCALL | METH_KEYWORDS,
     "events_csv(frame, kind, gt_id, pred_id, has_gt, has_pred, similarity, from_switch_matcher)\n--\n\n"
     "An event log's columns (the flags as uint8) as CSV text (bytes)."},
    {"frame_events", py::as_cfunction(frame_events_entry), METH_FASTCALL | METH_KEYWORDS,
     "frame_events(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, box_format=\"xyxy\", "
     "convention=\"module\", frame_numbers=None)\n--\n\n"
     "The event log's columns (frame, kind, gt_id, pred_id, has_gt, has_pred, similarity,\n"
     "from_switch_matcher) as new arrays. frame_numbers (one per frame) names the frames;\n"
     "by default 0, 1, 2, ..."},
    {"frame_events_from_similarity", py::as_cfunction(frame_events_from_similarity_entry),
     METH_FASTCALL | METH_KEYWORDS,
     "frame_events_from_similarity(gt_ids, pred_ids, similarity, threshold=0.5, convention=\"module\", "
     "frame_numbers=None)\n--\n\n"
     "The same as frame_events, from per-frame similarity matrices."},
    {"track_table", py::as_cfunction(track_table_entry), METH_FASTCALL | METH_KEYWORDS,
     "track_table(gt_ids, gt_boxes, pred_ids, pred_boxes, iou_threshold=0.5, box_format=\"xyxy\", "
     "convention=\"module\")\n--\n\n"
     "(gt columns, pred columns) of the per-track tables: gt (id, frames, matched, ratio,\n"
     "class, frag, switches, partner, has_partner, idtp, association, association per alpha,\n"
     "true positives per alpha), pred (id, frames,\n"
     "matched, gt_covered, idfp)."},
    {"track_table_from_similarity", py::as_cfunction(track_table_from_similarity_entry),
     METH_FASTCALL | METH_KEYWORDS,
     "track_table_from_similarity(gt_ids, pred_ids, similarity, threshold=0.5, convention=\"module\")\n--\n\n"
     "The same as track_table, from per-frame similarity matrices."},
};

}  // namespace

std::span<PyMethodDef> events_functions() { return functions; }

}  // namespace vestrim::native
