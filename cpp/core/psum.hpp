// The pairwise sum NumPy's add.reduce forms over a contiguous run of doubles. Two published
// benchmarks compute their sums that way (a row of alignment scores, a column of distances), so
// the benchmark conventions must add in exactly this order to reproduce their last bits.
#pragma once

#include <cstddef>
#include <span>

namespace vestrim::psum {

// n < 8: left to right. 8 <= n <= 128: eight running partial sums over whole blocks of eight,
// folded as ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)), then the tail left to right.
// Longer: both halves split at a multiple of eight, each summed by this rule.
inline double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s = s + a[i];
        return s;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = a[k];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t k = 0; k < 8; ++k) r[k] = r[k] + a[i + k];
        double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) s = s + a[i];
        return s;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

inline double pairwise_sum(std::span<const double> a) { return pairwise_sum(a.data(), a.size()); }

}  // namespace vestrim::psum
