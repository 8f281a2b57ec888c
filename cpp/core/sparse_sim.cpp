#include "core/sparse_sim.hpp"

#include <algorithm>

#include "core/memory.hpp"
#include "core/row_scan.hpp"

namespace vestrim::sparse_sim {

void SparseSimFrames::reserve(std::size_t frames, std::size_t rows) {
    frames_.reserve(frames);
    row_start_.reserve(rows + 1);
}

void SparseSimFrames::append(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity,
                             interrupt::Meter* meter) {
    frames_.push_back(FrameRecord{gt_ids, pred_ids, row_start_.size() - 1});
    const std::size_t cols = pred_ids.size();
    if (cols > UINT32_MAX) throw InternalError("sparse similarity: too many columns");
    for (std::size_t r = 0; r < gt_ids.size(); ++r) {
        if (meter != nullptr) {
            meter->add(2 * cols);
            memory::make_room(cols_, cols, *meter);
            memory::make_room(values_, cols, *meter);
        }
        const double* row = similarity + r * cols;
        // Only +0.0 is left out: it is the value densify() writes back.
        row_scan::for_each_not_positive_zero(row, cols, [&](std::size_t c) {
            cols_.push_back(static_cast<std::uint32_t>(c));
            values_.push_back(row[c]);
        });
        row_start_.push_back(values_.size());
    }
}

void SparseSimFrames::extend(SparseSimFrames&& other) {
    if (frames_.empty()) {
        *this = std::move(other);
        return;
    }
    const std::size_t row_base = row_start_.size() - 1;
    const std::size_t entry_base = values_.size();
    for (const FrameRecord& f : other.frames_) frames_.push_back(FrameRecord{f.gt_ids, f.pred_ids, f.first_row + row_base});
    for (std::size_t r = 1; r < other.row_start_.size(); ++r) row_start_.push_back(other.row_start_[r] + entry_base);
    cols_.insert(cols_.end(), other.cols_.begin(), other.cols_.end());
    values_.insert(values_.end(), other.values_.begin(), other.values_.end());
    other = SparseSimFrames();
}

void SparseSimFrames::densify(std::size_t k, double* out) const {
    const FrameRecord& f = frames_[k];
    const std::size_t cols = f.pred_ids.size();
    std::fill(out, out + f.gt_ids.size() * cols, 0.0);
    for (std::size_t r = 0; r < f.gt_ids.size(); ++r) {
        double* row = out + r * cols;
        const std::size_t row_index = f.first_row + r;
        for (std::size_t e = row_start_[row_index]; e < row_start_[row_index + 1]; ++e) row[cols_[e]] = values_[e];
    }
}

}  // namespace vestrim::sparse_sim
