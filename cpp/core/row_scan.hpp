// Visiting the few interesting cells of a similarity row. Rows of box IoU are mostly zeros (boxes
// that do not overlap), so the metric cores skip them two cells at a time with SSE2 instead of
// testing every cell on its own. The visits happen in ascending index order, exactly the cells
// the plain loop would visit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <emmintrin.h>
#define VESTRIM_ROW_SCAN_SSE2 1
#endif

namespace vestrim::row_scan {

// Calls visit(j) for every j in [0, n) with values[j] >= threshold (never for NaN, nor with a NaN
// threshold).
template <class Visit>
inline void for_each_at_least(const double* values, std::size_t n, double threshold, Visit&& visit) {
    std::size_t j = 0;
#ifdef VESTRIM_ROW_SCAN_SSE2
    const __m128d t = _mm_set1_pd(threshold);
    for (; j + 4 <= n; j += 4) {
        const int mask = _mm_movemask_pd(_mm_cmpge_pd(_mm_loadu_pd(values + j), t)) |
                         (_mm_movemask_pd(_mm_cmpge_pd(_mm_loadu_pd(values + j + 2), t)) << 2);
        for (int bits = mask; bits != 0; bits &= bits - 1) visit(j + static_cast<std::size_t>(std::countr_zero(
                                                                          static_cast<unsigned>(bits))));
    }
#endif
    for (; j < n; ++j)
        if (values[j] >= threshold) visit(j);
}

// Calls visit(j) for every j in [0, n) whose value is anything but +0.0 (-0.0 and NaN included).
template <class Visit>
inline void for_each_not_positive_zero(const double* values, std::size_t n, Visit&& visit) {
    std::size_t j = 0;
#ifdef VESTRIM_ROW_SCAN_SSE2
    // Not +0.0 exactly when the value compares unequal to zero (NaN does) or its sign bit is set.
    const __m128d zero = _mm_setzero_pd();
    for (; j + 4 <= n; j += 4) {
        const __m128d a = _mm_loadu_pd(values + j);
        const __m128d b = _mm_loadu_pd(values + j + 2);
        const int mask = (_mm_movemask_pd(_mm_cmpneq_pd(a, zero)) | _mm_movemask_pd(a)) |
                         ((_mm_movemask_pd(_mm_cmpneq_pd(b, zero)) | _mm_movemask_pd(b)) << 2);
        for (int bits = mask; bits != 0; bits &= bits - 1) visit(j + static_cast<std::size_t>(std::countr_zero(
                                                                          static_cast<unsigned>(bits))));
    }
#endif
    for (; j < n; ++j)
        if (std::bit_cast<std::uint64_t>(values[j]) != 0) visit(j);
}

}  // namespace vestrim::row_scan
