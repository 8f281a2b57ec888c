#include "core/iou.hpp"

#include "core/interrupt.hpp"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VESTRIM_IOU_X86 1
#endif

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

#ifdef VESTRIM_IOU_X86

// The matrix is filled column block by column block. A block of second-set boxes is laid out by
// coordinate (with its areas, by the scalar formula) so that several columns are computed at once.
//
// Each lane performs the scalar formula's operations in the same order, so every value is the
// scalar value bit for bit: with a first-set coordinate `a` that is not NaN, (b < a || isnan(a)) ?
// b : a is exactly MINPD(b, a) (which returns its second operand when b is NaN or the two are
// equal), and likewise MAXPD(b, a) for the max; clamping is a mask of v > 0; the union test masks
// the quotient. Rows whose box has a NaN coordinate take the scalar loop.
constexpr std::size_t kBlock = 128;

struct Block {
    alignas(32) double x1[kBlock];
    alignas(32) double y1[kBlock];
    alignas(32) double x2[kBlock];
    alignas(32) double y2[kBlock];
    alignas(32) double area[kBlock];
};

void load_block(const Box* b, std::size_t count, Block& out) {
    for (std::size_t j = 0; j < count; ++j) {
        out.x1[j] = b[j].x1;
        out.y1[j] = b[j].y1;
        out.x2[j] = b[j].x2;
        out.y2[j] = b[j].y2;
        out.area[j] = area(b[j]);
    }
    // Up to the next multiple of four, empty boxes: the vector loop may compute those lanes, but
    // never stores them.
    for (std::size_t j = count; j < kBlock && j % 4 != 0; ++j) out.x1[j] = out.y1[j] = out.x2[j] = out.y2[j] = out.area[j] = 0.0;
}

inline bool has_nan(const Box& box) {
    return std::isnan(box.x1) || std::isnan(box.y1) || std::isnan(box.x2) || std::isnan(box.y2);
}

// Columns [vec_end, count) of a row, and whole rows with a NaN coordinate, by the scalar formula.
inline void scalar_columns(const Box& box, double area_a, const Box* b, std::size_t begin, std::size_t end,
                           double* row) {
    for (std::size_t j = begin; j < end; ++j) row[j] = iou_with_area(box, area_a, b[j]);
}

void block_sse2(std::span<const Box> a, const Box* b, const Block& blk, std::size_t count, double* out,
                std::size_t stride) {
    const std::size_t vec_end = count & ~std::size_t{1};
    const __m128d zero = _mm_setzero_pd();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Box& box = a[i];
        const double area_a = area(box);
        double* row = out + i * stride;
        if (has_nan(box)) {
            scalar_columns(box, area_a, b, 0, count, row);
            continue;
        }
        const __m128d ax1 = _mm_set1_pd(box.x1), ay1 = _mm_set1_pd(box.y1);
        const __m128d ax2 = _mm_set1_pd(box.x2), ay2 = _mm_set1_pd(box.y2);
        const __m128d aa = _mm_set1_pd(area_a);
        for (std::size_t j = 0; j < vec_end; j += 2) {
            __m128d iw = _mm_sub_pd(_mm_min_pd(_mm_load_pd(blk.x2 + j), ax2), _mm_max_pd(_mm_load_pd(blk.x1 + j), ax1));
            iw = _mm_and_pd(iw, _mm_cmpgt_pd(iw, zero));
            __m128d ih = _mm_sub_pd(_mm_min_pd(_mm_load_pd(blk.y2 + j), ay2), _mm_max_pd(_mm_load_pd(blk.y1 + j), ay1));
            ih = _mm_and_pd(ih, _mm_cmpgt_pd(ih, zero));
            const __m128d inter = _mm_mul_pd(iw, ih);
            const __m128d uni = _mm_sub_pd(_mm_add_pd(aa, _mm_load_pd(blk.area + j)), inter);
            _mm_storeu_pd(row + j, _mm_andnot_pd(_mm_cmple_pd(uni, zero), _mm_div_pd(inter, uni)));
        }
        scalar_columns(box, area_a, b, vec_end, count, row);
    }
}

__attribute__((target("avx"))) void block_avx(std::span<const Box> a, const Box* b, const Block& blk,
                                              std::size_t count, double* out, std::size_t stride) {
    const std::size_t vec_end = (count + 3) & ~std::size_t{3};  // the last step may be partial
    const __m256d zero = _mm256_setzero_pd();
    // Lanes of the last step that hold columns (the rest are padding and are not stored).
    const long long tail = static_cast<long long>(count % 4);
    const __m256i last_lanes = tail == 0 ? _mm256_set1_epi64x(-1)
                                         : _mm256_setr_epi64x(-1, tail > 1 ? -1 : 0, tail > 2 ? -1 : 0, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Box& box = a[i];
        const double area_a = area(box);
        double* row = out + i * stride;
        if (has_nan(box)) {
            scalar_columns(box, area_a, b, 0, count, row);
            continue;
        }
        const __m256d ax1 = _mm256_set1_pd(box.x1), ay1 = _mm256_set1_pd(box.y1);
        const __m256d ax2 = _mm256_set1_pd(box.x2), ay2 = _mm256_set1_pd(box.y2);
        const __m256d aa = _mm256_set1_pd(area_a);
        auto store = [&](std::size_t j, __m256d values) __attribute__((target("avx"))) {
            if (j + 4 <= count)
                _mm256_storeu_pd(row + j, values);
            else
                _mm256_maskstore_pd(row + j, last_lanes, values);
        };
        for (std::size_t j = 0; j < vec_end; j += 4) {
            __m256d iw = _mm256_sub_pd(_mm256_min_pd(_mm256_load_pd(blk.x2 + j), ax2),
                                       _mm256_max_pd(_mm256_load_pd(blk.x1 + j), ax1));
            iw = _mm256_and_pd(iw, _mm256_cmp_pd(iw, zero, _CMP_GT_OQ));
            __m256d ih = _mm256_sub_pd(_mm256_min_pd(_mm256_load_pd(blk.y2 + j), ay2),
                                       _mm256_max_pd(_mm256_load_pd(blk.y1 + j), ay1));
            ih = _mm256_and_pd(ih, _mm256_cmp_pd(ih, zero, _CMP_GT_OQ));
            const __m256d inter = _mm256_mul_pd(iw, ih);
            const __m256d uni = _mm256_sub_pd(_mm256_add_pd(aa, _mm256_load_pd(blk.area + j)), inter);
            if (_mm256_movemask_pd(_mm256_cmp_pd(inter, zero, _CMP_NEQ_UQ)) == 0) {
                // No overlap in any lane (inter is +0.0): +0.0 / uni is +0.0 for every union that is
                // not NaN, and a NaN union is the quotient itself (the division returns its NaN
                // operand), so the division can be skipped.
                store(j, _mm256_and_pd(_mm256_cmp_pd(uni, uni, _CMP_UNORD_Q), uni));
                continue;
            }
            store(j, _mm256_andnot_pd(_mm256_cmp_pd(uni, zero, _CMP_LE_OQ), _mm256_div_pd(inter, uni)));
        }
    }
}

bool has_avx() {
    static const bool supported = (__builtin_cpu_init(), __builtin_cpu_supports("avx"));
    return supported;
}

#endif

}  // namespace

double iou(const Box& a, const Box& b) { return iou_with_area(a, area(a), b); }

void iou_matrix(std::span<const Box> a, std::span<const Box> b, double* out) {
    iou_matrix(a, b, out, Kernel::Auto);
}

void iou_matrix(std::span<const Box> a, std::span<const Box> b, double* out, Kernel kernel) {
    const std::size_t nb = b.size();
#ifdef VESTRIM_IOU_X86
    if (kernel != Kernel::Scalar) {
        const bool avx = kernel == Kernel::Auto && has_avx();
        Block block;
        interrupt::Meter meter;
        for (std::size_t begin = 0; begin < nb; begin += kBlock) {
            const std::size_t count = std::min(kBlock, nb - begin);
            meter.add(a.size() * count);
            load_block(b.data() + begin, count, block);
            if (avx)
                block_avx(a, b.data() + begin, block, count, out + begin, nb);
            else
                block_sse2(a, b.data() + begin, block, count, out + begin, nb);
        }
        return;
    }
#else
    (void)kernel;
#endif
    interrupt::Meter meter;
    for (std::size_t i = 0; i < a.size(); ++i) {
        meter.add(nb);
        const Box& box = a[i];
        const double area_a = area(box);
        double* row = out + i * nb;
        for (std::size_t j = 0; j < nb; ++j) row[j] = iou_with_area(box, area_a, b[j]);
    }
}

memory::LargeVector<double> iou_matrix(std::span<const Box> a, std::span<const Box> b) {
    memory::LargeVector<double> out;
    interrupt::Meter meter;
    memory::resize_in_pieces(out, a.size() * b.size(), &meter);
    iou_matrix(a, b, out.data());
    return out;
}

}  // namespace vestrim::iou
