// Box inputs: the box format, box sets as received from Python (`PyBoxes`), their conversion to
// corner form, and the validation of per-frame sequences into Frame / SimFrame records.
#pragma once

#include <optional>
#include <vector>

#include "core/types.hpp"
#include "module/numpy_api.hpp"
#include "module/py.hpp"

namespace vestrim::py {

enum class BoxFormat { Xyxy, Xywh };

// Exactly "xyxy" or "xywh"; otherwise the ValueError message.
Result<BoxFormat> parse_box_format(const std::string& text);

// `text` as a double-quoted debug string (backslash, quote and control characters escaped).
std::string debug_quoted(const std::string& text);

// A fixed-length item: any sequence of exactly `n` float-convertible items, fetched by index
// ("expected a sequence of length {n} (got {m})" otherwise).
bool convert_float_item(PyObject* obj, double* out, Py_ssize_t n);

// One frame's box set as received: a 2-D float64 ndarray pinned for the call (its column count is
// checked by `as_boxes`), or a copied list.
struct PyBoxes {
    PinnedMatrix array;      // set for the array variant
    std::vector<Box> list;   // the list variant's converted boxes
};
bool convert(PyObject* obj, PyBoxes& out);
bool convert(PyObject* obj, std::vector<PyBoxes>& out);

// Corner-form boxes: a view of the caller's array (zero copy) or of a converted copy.
struct BoxSlice {
    std::span<const Box> boxes;
    std::vector<Box> owned;
};

// Fails with "boxes array must have shape (N, 4), got [..]" for an array of the wrong shape.
Result<BoxSlice> as_boxes(const PyBoxes& boxes, BoxFormat format);
Result<std::vector<BoxSlice>> to_xyxy_frames(const std::vector<PyBoxes>& sets, BoxFormat format);

Box to_xyxy(const Box& box, BoxFormat format);

Result<std::vector<Frame>> build_frames(const IdFrames& gt_ids, const std::vector<BoxSlice>& gt_boxes,
                                        const IdFrames& pred_ids, const std::vector<BoxSlice>& pred_boxes);
Result<std::vector<SimFrame>> build_sim_frames(const IdFrames& gt_ids, const IdFrames& pred_ids,
                                               const SimInput& similarity);

// Checks of one frame, shared by the per-sequence validation (with `frame` set, messages prefixed by
// "frame {t}: " and naming len(gt_ids[{t}])) and the streaming accumulator (without).
Result<void> check_box_frame(std::optional<std::size_t> frame, std::size_t gt_ids, std::size_t gt_boxes,
                             std::size_t pred_ids, std::size_t pred_boxes);
// Checks frame `t` of `similarity` against the given id counts.
Result<void> check_sim_frame(std::optional<std::size_t> frame, std::size_t gt_ids, std::size_t pred_ids,
                             const SimInput& similarity, std::size_t t);

// Turns a failed Result into a ValueError; true when it succeeded.
template <class T>
bool ok_or_value_error(const Result<T>& r) {
    if (r) return true;
    value_error(r.error());
    return false;
}

}  // namespace vestrim::py

namespace vestrim::py {

// The four per-frame sequence arguments of a box-based metric entry (gt_ids, gt_boxes, pred_ids,
// pred_boxes), converted, then validated into frames that view them.
struct BoxSequenceArgs {
    IdFrames gt_ids, pred_ids;
    std::vector<PyBoxes> gt_boxes, pred_boxes;
    std::vector<BoxSlice> gt_slices, pred_slices;
    std::vector<Frame> frames;

    // Converts args[0..3] in signature order, each failure noted with its parameter name.
    bool convert(PyObject* const* args);
    // Parses the format, converts gt then pred boxes to corner form and builds the frames; raises
    // the first ValueError.
    bool build(const std::string& box_format);
};

// The three sequence arguments of a similarity-based metric entry (gt_ids, pred_ids, similarity).
struct SimSequenceArgs {
    IdFrames gt_ids, pred_ids;
    SimInput similarity;
    std::vector<SimFrame> frames;  // a frame laid out on demand has no `similarity` here

    bool convert(PyObject* const* args);
    bool build();
    // The built frames as the computations read them.
    SimFrames sequence() const { return SimFrames(frames, &similarity); }
};

}  // namespace vestrim::py

namespace vestrim::py {

// The whole boundary of a box-based metric taking (gt_ids, gt_boxes, pred_ids, pred_boxes,
// iou_threshold=0.5, box_format="xyxy"): bind, convert in signature order, parse the format, build
// the frames, refuse a largest frame that would need more memory than there is at `per_pair` bytes
// per pair (see memory.hpp), then `run(frames, iou_threshold)` produces the result object.
template <class Run>
PyObject* box_metric_entry(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           std::uint64_t per_pair, Run&& run) {
    static constexpr Param params[] = {{"gt_ids", true},         {"gt_boxes", true},
                                       {"pred_ids", true},       {"pred_boxes", true},
                                       {"iou_threshold", false}, {"box_format", false}};
    PyObject* a[6];
    if (!bind({display, params}, args, nargs, kwnames, a)) return nullptr;
    BoxSequenceArgs seq;
    double iou_threshold = 0.5;
    std::string box_format = "xyxy";
    if (!seq.convert(a) || !opt_arg("iou_threshold", a[4], iou_threshold) || !opt_arg("box_format", a[5], box_format))
        return nullptr;
    return guarded([&]() -> PyObject* {
        if (!seq.build(box_format)) return nullptr;
        memory::refuse_largest_frame(seq.frames, per_pair);
        return run(std::span<const Frame>(seq.frames), iou_threshold);
    });
}

// The same for a similarity-based metric taking (gt_ids, pred_ids, similarity, threshold=0.5).
template <class Run>
PyObject* sim_metric_entry(const char* display, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           std::uint64_t per_pair, Run&& run) {
    static constexpr Param params[] = {
        {"gt_ids", true}, {"pred_ids", true}, {"similarity", true}, {"threshold", false}};
    PyObject* a[4];
    if (!bind({display, params}, args, nargs, kwnames, a)) return nullptr;
    SimSequenceArgs seq;
    double threshold = 0.5;
    if (!seq.convert(a) || !opt_arg("threshold", a[3], threshold)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (!seq.build()) return nullptr;
        memory::refuse_largest_frame(seq.frames, per_pair);
        return run(seq.sequence(), threshold);
    });
}

}  // namespace vestrim::py
