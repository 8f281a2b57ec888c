// One frame's gt x pred similarity seen row by row, whether it is held densely (row-major) or as a
// stored frame of a SparseSimFrames (its +0.0 cells left out). The frame-by-frame accumulators read
// a frame through either, so that a stored sequence is consumed without laying each frame out
// densely again; both give the same cells in the same order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/row_scan.hpp"
#include "core/sparse_sim.hpp"

namespace vestrim::frame_rows {

class DenseRows {
public:
    DenseRows(const double* values, std::size_t cols) : values_(values), cols_(cols) {}

    // visit(j, value) for every cell of row r with value >= threshold, in ascending j.
    template <class Visit>
    void for_each_at_least(std::size_t r, double threshold, Visit&& visit) const {
        const double* row = values_ + r * cols_;
        row_scan::for_each_at_least(row, cols_, threshold, [&](std::size_t j) { visit(j, row[j]); });
    }

    // out[j] = f(j, value) for every cell of row r.
    template <class F>
    void transform_row(std::size_t r, double* out, F&& f) const {
        const double* row = values_ + r * cols_;
        for (std::size_t j = 0; j < cols_; ++j) out[j] = f(j, row[j]);
    }

    double at(std::size_t r, std::size_t c) const { return values_[r * cols_ + c]; }

private:
    const double* values_;
    std::size_t cols_;
};

// Reads only the stored cells. Exact where the left-out cells change nothing: for_each_at_least
// needs a threshold that +0.0 does not reach, transform_row an f that maps +0.0 to +0.0.
class StoredRows {
public:
    StoredRows(const sparse_sim::SparseSimFrames& store, std::size_t k) : store_(store), k_(k) {}

    template <class Visit>
    void for_each_at_least(std::size_t r, double threshold, Visit&& visit) const {
        const auto row = store_.row(k_, r);
        for (std::size_t e = 0; e < row.size; ++e)
            if (row.values[e] >= threshold) visit(std::size_t{row.cols[e]}, row.values[e]);
    }

    template <class F>
    void transform_row(std::size_t r, double* out, F&& f) const {
        std::fill(out, out + store_.pred_ids(k_).size(), 0.0);
        const auto row = store_.row(k_, r);
        for (std::size_t e = 0; e < row.size; ++e) out[row.cols[e]] = f(std::size_t{row.cols[e]}, row.values[e]);
    }

    double at(std::size_t r, std::size_t c) const { return store_.at(k_, r, c); }

private:
    const sparse_sim::SparseSimFrames& store_;
    std::size_t k_;
};

}  // namespace vestrim::frame_rows
