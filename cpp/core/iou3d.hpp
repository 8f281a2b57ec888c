// Volumetric IoU of oriented 3D boxes in the KITTI convention: boxes stand upright, turn only about
// the vertical y axis, and their footprints lie in the x-z ground plane.
#pragma once

#include <span>
#include <vector>

#include "core/memory.hpp"

namespace vestrim::iou3d {

// [x, y, z, l, w, h, yaw]: centre, full extents (l along the heading, w across it, h along y) and the
// heading in radians about y. At yaw 0, l runs along x and w along z. Seven contiguous doubles, so a
// row-major (N, 7) float64 array can be viewed as a span of boxes without copying.
struct Box3d {
    double x, y, z, l, w, h, yaw;
};
static_assert(sizeof(Box3d) == 7 * sizeof(double));

// Intersection volume over union volume; 0 when the union is not positive. Footprints are intersected
// by clipping a's footprint against b's, so swapping the arguments agrees only up to rounding.
double iou_3d(const Box3d& a, const Box3d& b);

// Row-major len(a) x len(b) matrix into `out` (which must hold a.size() * b.size() values); entry
// (i, j) is iou_3d(a[i], b[j]).
void iou_3d_matrix(std::span<const Box3d> a, std::span<const Box3d> b, double* out);

// Convenience form returning a fresh row-major matrix.
memory::LargeVector<double> iou_3d_matrix(std::span<const Box3d> a, std::span<const Box3d> b);

}  // namespace vestrim::iou3d
