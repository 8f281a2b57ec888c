// Plain records shared by every part of the computing core. Nothing here knows about Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <stdexcept>
#include <string>

namespace vestrim {

// Object id exactly as the caller passes it; ground-truth and predicted ids live in separate spaces.
using Id = std::int64_t;

// Axis-aligned 2D box in corner form (x1, y1, x2, y2). Layout is four contiguous doubles so that a
// row-major (N, 4) float64 array can be viewed as a span of boxes without copying.
struct Box {
    double x1, y1, x2, y2;
};
static_assert(sizeof(Box) == 4 * sizeof(double));

// Which rules a metric follows where they differ: the library's own (`Module`) or those the
// benchmarks use for their published numbers (`Benchmark`). Where the two agree, one code path
// serves both.
enum class Convention { Module, Benchmark };

// The benchmarks' margin on threshold tests (one machine epsilon, 2^-52, absolute).
inline constexpr double kBenchmarkEpsilon = 0x1p-52;

// A caller error: the message of the ValueError the boundary raises.
template <class T>
using Result = std::expected<T, std::string>;

// A broken internal invariant (a solver failure, an index validation should have prevented).
// The boundary turns it into the module's internal-error exception.
class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One frame of a box-based sequence. Views borrow the converted arguments for the call.
// Invariant: gt_ids.size() == gt_boxes.size(), pred_ids.size() == pred_boxes.size().
struct Frame {
    std::span<const Id> gt_ids;
    std::span<const Box> gt_boxes;
    std::span<const Id> pred_ids;
    std::span<const Box> pred_boxes;
};

// One frame of a similarity-based sequence: a row-major matrix with one row per gt id and one column
// per pred id. Entry (i, j) scores gt i against pred j; higher is better. In a SimFrames sequence a
// frame without `similarity` is laid out on demand.
struct SimFrame {
    std::span<const Id> gt_ids;
    std::span<const Id> pred_ids;
    const double* similarity = nullptr;  // gt_ids.size() * pred_ids.size() values

    std::size_t rows() const { return gt_ids.size(); }
    std::size_t cols() const { return pred_ids.size(); }
    double at(std::size_t i, std::size_t j) const { return similarity[i * pred_ids.size() + j]; }
    std::span<const double> row(std::size_t i) const {
        return {similarity + i * pred_ids.size(), pred_ids.size()};
    }
};

}  // namespace vestrim
