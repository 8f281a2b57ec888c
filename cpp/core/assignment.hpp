// Pair matching: a one-to-one matching of two sets under an IoU threshold, either by maximum total
// IoU (through the assignment solver) or greedily, highest IoU first. Box, mask and 3D box matching
// all build their own IoU matrix and end here.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/types.hpp"  // InternalError

namespace vestrim::assignment {

enum class Method { Hungarian, Greedy };

struct Matching {
    std::vector<std::pair<std::size_t, std::size_t>> matches;  // (a_index, b_index), a_index ascending
    std::vector<double> scores;                                 // IoU of each pair, parallel to matches
    std::vector<std::size_t> unmatched_a;                       // ascending
    std::vector<std::size_t> unmatched_b;                       // ascending
};

// Matches set a (na rows) against set b (nb columns) of the row-major IoU matrix `iou`, which holds
// na * nb values. A pair is kept only when its IoU is at or above `threshold` (a NaN IoU or a NaN
// threshold never passes). Throws InternalError if the solver fails, which a finite matrix cannot
// cause.
Matching match_boxes(std::span<const double> iou, std::size_t na, std::size_t nb, Method method,
                     double threshold);

}  // namespace vestrim::assignment
