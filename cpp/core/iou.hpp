// Intersection over union of axis-aligned 2D boxes: the similarity every box-based metric starts from.
#pragma once

#include <span>
#include <vector>

#include "core/memory.hpp"
#include "core/types.hpp"

namespace vestrim::iou {

// IoU of two corner-form boxes; 0 when the union is not positive.
double iou(const Box& a, const Box& b);

// Row-major len(a) x len(b) matrix into `out` (which must hold a.size() * b.size() values).
void iou_matrix(std::span<const Box> a, std::span<const Box> b, double* out);

// Implementation of the matrix loop. Every kernel gives the scalar formula's values bit for bit:
// `Auto` uses the widest vector instructions the processor has, `Sse2` two lanes, `Scalar` none
// (kept selectable for testing).
enum class Kernel { Auto, Sse2, Scalar };
void iou_matrix(std::span<const Box> a, std::span<const Box> b, double* out, Kernel kernel);

// Convenience form returning a fresh row-major matrix (a large buffer: see memory.hpp).
memory::LargeVector<double> iou_matrix(std::span<const Box> a, std::span<const Box> b);

}  // namespace vestrim::iou
