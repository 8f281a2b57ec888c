#include "core/iou3d.hpp"

#include <math.h>  // sincos (a GNU extension of the C library)

#include <cmath>
#include <cstddef>

#include "core/interrupt.hpp"

namespace vestrim::iou3d {
namespace {

struct Point {
    double x, z;
};

// Clipping a convex quadrilateral by four half-planes leaves at most 8 vertices. Each clip step emits
// at most two points per input vertex, so 4 * 2^4 bounds every input, even degenerate or non-finite
// ones, without any allocation.
constexpr std::size_t kMaxVertices = 64;

struct Polygon {
    Point pts[kMaxVertices];
    std::size_t n = 0;
};

// Twice the signed area (positive when counter-clockwise with x to the right and z upward).
double twice_signed_area(const Point* p, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const Point& a = p[i];
        const Point& b = p[(i + 1) % n];
        sum += a.x * b.z - b.x * a.z;
    }
    return sum;
}

// The four footprint corners, counter-clockwise whenever the signed area is negative as first built.
void footprint(const Box3d& box, Point out[4]) {
    double s, c;
    ::sincos(box.yaw, &s, &c);
    const double hl = box.l * 0.5;
    const double hw = box.w * 0.5;
    const auto corner = [&](double dx, double dz) {
        return Point{box.x + dx * c + dz * s, box.z - dx * s + dz * c};
    };
    out[0] = corner(hl, hw);
    out[1] = corner(hl, -hw);
    out[2] = corner(-hl, -hw);
    out[3] = corner(-hl, hw);
    // A NaN or zero area keeps the order as built.
    if (0.5 * twice_signed_area(out, 4) < 0.0) {
        const Point p0 = out[0], p1 = out[1];
        out[0] = out[3];
        out[1] = out[2];
        out[2] = p1;
        out[3] = p0;
    }
}

// Sutherland-Hodgman: clips `subject` to the left side of every edge of `clip` (inclusive). Returns
// the final polygon in `subject`, using `scratch` as the second buffer.
void clip_polygon(Polygon& subject, Polygon& scratch, const Point clip[4]) {
    Polygon* in = &subject;
    Polygon* out = &scratch;
    for (std::size_t k = 0; k < 4; ++k) {
        const Point L = clip[k];
        const Point N = clip[(k + 1) % 4];
        const double dx = N.x - L.x;
        const double dz = N.z - L.z;
        // NaN compares false, so a NaN side counts as outside.
        const auto inside = [&](const Point& p) { return (p.z - L.z) * dx - (p.x - L.x) * dz >= 0.0; };
        // Meeting point of the line through L, N with the line through R, Q.
        const auto intersect = [&](const Point& R, const Point& Q) {
            const double K = L.x * dz - dx * L.z;
            const double ex = R.x - Q.x;
            const double ez = Q.z - R.z;
            const double D = R.z * ex + R.x * ez;
            const double det = dz * ex + dx * ez;
            return Point{(K * ex + dx * D) / det, (D * dz - ez * K) / det};
        };

        const std::size_t n = in->n;
        std::size_t m = 0;
        for (std::size_t j = 0; j < n; ++j) {
            const Point& Q = in->pts[j];
            const Point& R = in->pts[j == 0 ? n - 1 : j - 1];
            const bool q_in = inside(Q);
            const bool r_in = inside(R);
            if (q_in) {
                if (!r_in) out->pts[m++] = intersect(R, Q);
                out->pts[m++] = Q;
            } else if (r_in) {
                out->pts[m++] = intersect(R, Q);
            }
        }
        out->n = m;
        if (m == 0) {
            subject.n = 0;
            return;
        }
        Polygon* t = in;
        in = out;
        out = t;
    }
    // Four swaps: the result is back in `subject`.
}

double footprint_overlap(const Point fa[4], const Point fb[4]) {
    Polygon subject, scratch;
    for (std::size_t i = 0; i < 4; ++i) subject.pts[i] = fa[i];
    subject.n = 4;
    clip_polygon(subject, scratch, fb);
    if (subject.n < 3) return 0.0;
    return std::fabs(0.5 * twice_signed_area(subject.pts, subject.n));
}

// The pair IoU given both footprints (each box's footprint depends on that box alone, so the matrix
// builds every footprint once instead of once per pair).
double iou_with_footprints(const Box3d& a, const Point fa[4], const Box3d& b, const Point fb[4]) {
    const double area = footprint_overlap(fa, fb);

    const double top_a = a.y + 0.5 * a.h;
    const double bottom_a = a.y - 0.5 * a.h;
    const double top_b = b.y + 0.5 * b.h;
    const double bottom_b = b.y - 0.5 * b.h;
    // fmin/fmax ignore one NaN operand; the outer fmax turns a NaN difference into 0.
    const double overlap = std::fmax(std::fmin(top_a, top_b) - std::fmax(bottom_a, bottom_b), 0.0);

    const double inter = area * overlap;
    const double uni = (b.l * b.w) * b.h + (a.l * a.w) * a.h - inter;
    if (uni <= 0.0) return 0.0;
    return inter / uni;
}

struct Footprint {
    Point corners[4];
};

}  // namespace

double iou_3d(const Box3d& a, const Box3d& b) {
    Point fa[4], fb[4];
    footprint(a, fa);
    footprint(b, fb);
    return iou_with_footprints(a, fa, b, fb);
}

void iou_3d_matrix(std::span<const Box3d> a, std::span<const Box3d> b, double* out) {
    const std::size_t nb = b.size();
    if (a.empty() || nb == 0) return;
    std::vector<Footprint> fb(nb);
    for (std::size_t j = 0; j < nb; ++j) footprint(b[j], fb[j].corners);
    interrupt::Meter meter;  // a pair clips two rectangles: some tens of cheap steps
    for (std::size_t i = 0; i < a.size(); ++i) {
        meter.add(32 * nb);
        Point fa[4];
        footprint(a[i], fa);
        double* row = out + i * nb;
        for (std::size_t j = 0; j < nb; ++j) row[j] = iou_with_footprints(a[i], fa, b[j], fb[j].corners);
    }
}

memory::LargeVector<double> iou_3d_matrix(std::span<const Box3d> a, std::span<const Box3d> b) {
    memory::LargeVector<double> out;
    interrupt::Meter meter;
    memory::resize_in_pieces(out, a.size() * b.size(), &meter);
    iou_3d_matrix(a, b, out.data());
    return out;
}

}  // namespace vestrim::iou3d
