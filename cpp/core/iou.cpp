#include "core/iou.hpp"

#include <cmath>

namespace vestrim::iou {
namespace {

// v if v > 0, else 0 (a negative or NaN extent counts as 0).
inline double clamp_positive(double v) { return v > 0.0 ? v : 0.0; }

// min/max that ignore a NaN operand (like fmin/fmax, but inlined: this is the hot loop of every
// box metric). The sign of a zero result does not matter: extents are clamped afterwards.
inline double min_ignoring_nan(double a, double b) { return (b < a || std::isnan(a)) ? b : a; }
inline double max_ignoring_nan(double a, double b) { return (b > a || std::isnan(a)) ? b : a; }

inline double area(const Box& b) { return clamp_positive(b.x2 - b.x1) * clamp_positive(b.y2 - b.y1); }

inline double iou_with_area(const Box& a, double area_a, const Box& b) {
    const double iw = clamp_positive(min_ignoring_nan(a.x2, b.x2) - max_ignoring_nan(a.x1, b.x1));
    const double ih = clamp_positive(min_ignoring_nan(a.y2, b.y2) - max_ignoring_nan(a.y1, b.y1));
    const double inter = iw * ih;
    const double uni = area_a + area(b) - inter;
    if (uni <= 0.0) return 0.0;
    return inter / uni;
}

}  // namespace

double iou(const Box& a, const Box& b) { return iou_with_area(a, area(a), b); }

void iou_matrix(std::span<const Box> a, std::span<const Box> b, double* out) {
    const std::size_t nb = b.size();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Box& box = a[i];
        const double area_a = area(box);
        double* row = out + i * nb;
        for (std::size_t j = 0; j < nb; ++j) row[j] = iou_with_area(box, area_a, b[j]);
    }
}

std::vector<double> iou_matrix(std::span<const Box> a, std::span<const Box> b) {
    std::vector<double> out(a.size() * b.size());
    iou_matrix(a, b, out.data());
    return out;
}

}  // namespace vestrim::iou
