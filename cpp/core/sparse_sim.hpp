// A sequence of similarity matrices kept without their zero entries. Box IoU matrices of crowded
// scenes are mostly zeros (boxes that do not overlap), so holding a whole sequence this way costs
// memory in proportion to the overlapping pairs instead of to gt x pred per frame; each frame can be
// laid out densely again, bit for bit, when a computation wants it whole.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/iou.hpp"
#include "core/memory.hpp"
#include "core/types.hpp"

namespace vestrim::sparse_sim {

class SparseSimFrames {
public:
    // Room for the given numbers of frames and gt rows (an optimisation only).
    void reserve(std::size_t frames, std::size_t rows);

    // Appends one frame. The id spans are viewed, not copied, and must outlive this record; the
    // row-major gt x pred matrix is copied except for its +0.0 entries (every other value, -0.0 and
    // NaN included, is kept as it is). With a `meter`, the frame's rows are counted on it (a frame of
    // millions of cells takes a while; an interrupted store is to be discarded).
    void append(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity,
                interrupt::Meter* meter = nullptr);

    // Appends every frame of `other` after the frames held (moving its entries when this holds none).
    void extend(SparseSimFrames&& other);

    std::size_t size() const { return frames_.size(); }
    std::span<const Id> gt_ids(std::size_t k) const { return frames_[k].gt_ids; }
    std::span<const Id> pred_ids(std::size_t k) const { return frames_[k].pred_ids; }

    // The stored entries of row r of frame k, in ascending column order; every other entry of the
    // row is +0.0.
    struct Row {
        const std::uint32_t* cols;
        const double* values;
        std::size_t size;
    };
    Row row(std::size_t k, std::size_t r) const {
        const std::size_t i = frames_[k].first_row + r;
        const std::size_t begin = row_start_[i];
        return {cols_.data() + begin, values_.data() + begin, row_start_[i + 1] - begin};
    }

    // Frame k's cell (r, c): its stored value, or +0.0.
    double at(std::size_t k, std::size_t r, std::size_t c) const {
        const Row entries = row(k, r);
        const std::uint32_t* end = entries.cols + entries.size;
        const std::uint32_t* found = std::lower_bound(entries.cols, end, static_cast<std::uint32_t>(c));
        return found != end && *found == c ? entries.values[found - entries.cols] : 0.0;
    }

    // Writes frame k's matrix, row-major, into `out` (gt_ids(k).size() * pred_ids(k).size() values):
    // the stored entries and +0.0 everywhere else, so exactly the matrix that was appended.
    void densify(std::size_t k, double* out) const;

private:
    struct FrameRecord {
        std::span<const Id> gt_ids;
        std::span<const Id> pred_ids;
        std::size_t first_row;  // index into row_start_
    };

    std::vector<FrameRecord> frames_;
    std::vector<std::size_t> row_start_{0};  // entries of row r are [row_start_[r], row_start_[r + 1])
    std::vector<std::uint32_t> cols_;
    std::vector<double> values_;
};

// Every frame's IoU matrix, computed once into one reused buffer and kept without its zeros (memory
// in proportion to the overlapping pairs). `on_frame(store, k, iou)` sees each frame k as soon as it
// is stored, with its full row-major matrix, while both are fresh in cache: for computations that
// consume a sequence frame by frame, from either form.
template <class OnFrame>
SparseSimFrames store_box_ious(std::span<const Frame> frames, OnFrame&& on_frame) {
    SparseSimFrames store;
    std::size_t total_gt = 0;
    for (const Frame& f : frames) total_gt += f.gt_ids.size();
    store.reserve(frames.size(), total_gt);
    memory::LargeVector<double> iou;
    interrupt::Meter meter;
    for (const Frame& f : frames) {
        meter.add(1 + f.gt_boxes.size() + f.pred_boxes.size() + 6 * f.gt_boxes.size() * f.pred_boxes.size());
        memory::resize_in_pieces(iou, f.gt_boxes.size() * f.pred_boxes.size(), &meter);
        iou::iou_matrix(f.gt_boxes, f.pred_boxes, iou.data());
        store.append(f.gt_ids, f.pred_ids, iou.data(), &meter);
        on_frame(std::as_const(store), store.size() - 1, std::as_const(iou).data());
    }
    return store;
}

}  // namespace vestrim::sparse_sim
