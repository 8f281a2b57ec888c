// A sequence of similarity matrices kept without their zero entries. Box IoU matrices of crowded
// scenes are mostly zeros (boxes that do not overlap), so holding a whole sequence this way costs
// memory in proportion to the overlapping pairs instead of to gt x pred per frame; each frame can be
// laid out densely again, bit for bit, when a computation wants it whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types.hpp"

namespace vestrim::sparse_sim {

class SparseSimFrames {
public:
    // Room for the given numbers of frames and gt rows (an optimisation only).
    void reserve(std::size_t frames, std::size_t rows);

    // Appends one frame. The id spans are viewed, not copied, and must outlive this record; the
    // row-major gt x pred matrix is copied except for its +0.0 entries (every other value, -0.0 and
    // NaN included, is kept as it is).
    void append(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity);

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

}  // namespace vestrim::sparse_sim
