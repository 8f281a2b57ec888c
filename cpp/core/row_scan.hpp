// Visiting the few interesting cells of a similarity row. Rows of box IoU are mostly zeros (boxes
// that do not overlap), so the metric cores skip them several cells at a time with vector compares
// instead of testing every cell on its own. The visits happen in ascending index order, exactly the
// cells the plain loop would visit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VESTRIM_ROW_SCAN_X86 1
#endif

namespace vestrim::row_scan {

#ifdef VESTRIM_ROW_SCAN_X86
namespace detail {

inline bool has_avx() {
    static const bool supported = (__builtin_cpu_init(), __builtin_cpu_supports("avx"));
    return supported;
}

template <class Visit>
inline void visit_bits(std::size_t base, int mask, Visit& visit) {
    for (unsigned bits = static_cast<unsigned>(mask); bits != 0; bits &= bits - 1)
        visit(base + static_cast<std::size_t>(std::countr_zero(bits)));
}

// Both scan cells [0, result) in blocks of eight and return where they stopped.
template <class Visit>
__attribute__((target("avx"))) inline std::size_t at_least_avx(const double* values, std::size_t n,
                                                                double threshold, Visit& visit) {
    const __m256d t = _mm256_set1_pd(threshold);
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256d a = _mm256_cmp_pd(_mm256_loadu_pd(values + j), t, _CMP_GE_OQ);
        const __m256d b = _mm256_cmp_pd(_mm256_loadu_pd(values + j + 4), t, _CMP_GE_OQ);
        const __m256d any = _mm256_or_pd(a, b);
        if (_mm256_testz_pd(any, any)) continue;  // no sign bit: no cell qualifies
        visit_bits(j, _mm256_movemask_pd(a) | (_mm256_movemask_pd(b) << 4), visit);
    }
    return j;
}

template <class Visit>
__attribute__((target("avx"))) inline std::size_t not_positive_zero_avx(const double* values, std::size_t n,
                                                                        Visit& visit) {
    const __m256d zero = _mm256_setzero_pd();
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m256d a = _mm256_loadu_pd(values + j);
        const __m256d b = _mm256_loadu_pd(values + j + 4);
        // Not +0.0 exactly when some bit is set.
        const __m256d any = _mm256_or_pd(a, b);
        if (_mm256_testz_si256(_mm256_castpd_si256(any), _mm256_castpd_si256(any))) continue;
        const int mask = (_mm256_movemask_pd(_mm256_cmp_pd(a, zero, _CMP_NEQ_UQ)) | _mm256_movemask_pd(a)) |
                         ((_mm256_movemask_pd(_mm256_cmp_pd(b, zero, _CMP_NEQ_UQ)) | _mm256_movemask_pd(b)) << 4);
        visit_bits(j, mask, visit);
    }
    return j;
}

}  // namespace detail
#endif

// Calls visit(j) for every j in [0, n) with values[j] >= threshold (never for NaN, nor with a NaN
// threshold).
template <class Visit>
inline void for_each_at_least(const double* values, std::size_t n, double threshold, Visit&& visit) {
    std::size_t j = 0;
#ifdef VESTRIM_ROW_SCAN_X86
    if (detail::has_avx()) {
        j = detail::at_least_avx(values, n, threshold, visit);
    } else {
        const __m128d t = _mm_set1_pd(threshold);
        for (; j + 4 <= n; j += 4) {
            const int mask = _mm_movemask_pd(_mm_cmpge_pd(_mm_loadu_pd(values + j), t)) |
                             (_mm_movemask_pd(_mm_cmpge_pd(_mm_loadu_pd(values + j + 2), t)) << 2);
            detail::visit_bits(j, mask, visit);
        }
    }
#endif
    for (; j < n; ++j)
        if (values[j] >= threshold) visit(j);
}

// Calls visit(j) for every j in [0, n) whose value is anything but +0.0 (-0.0 and NaN included).
template <class Visit>
inline void for_each_not_positive_zero(const double* values, std::size_t n, Visit&& visit) {
    std::size_t j = 0;
#ifdef VESTRIM_ROW_SCAN_X86
    if (detail::has_avx()) {
        j = detail::not_positive_zero_avx(values, n, visit);
    } else {
        // Not +0.0 exactly when the value compares unequal to zero (NaN does) or its sign bit is set.
        const __m128d zero = _mm_setzero_pd();
        for (; j + 4 <= n; j += 4) {
            const __m128d a = _mm_loadu_pd(values + j);
            const __m128d b = _mm_loadu_pd(values + j + 2);
            const int mask = (_mm_movemask_pd(_mm_cmpneq_pd(a, zero)) | _mm_movemask_pd(a)) |
                             ((_mm_movemask_pd(_mm_cmpneq_pd(b, zero)) | _mm_movemask_pd(b)) << 2);
            detail::visit_bits(j, mask, visit);
        }
    }
#endif
    for (; j < n; ++j)
        if (std::bit_cast<std::uint64_t>(values[j]) != 0) visit(j);
}

}  // namespace vestrim::row_scan
