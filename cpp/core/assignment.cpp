#include "core/assignment.hpp"

#include <algorithm>
#include <string>

#include "core/interrupt.hpp"
#include "core/lsap.hpp"
#include "core/memory.hpp"
#include "core/types.hpp"

namespace vestrim::assignment {
namespace {

struct Candidate {
    double iou;
    std::size_t a;
    std::size_t b;
};

std::vector<std::size_t> clear_indices(const std::vector<unsigned char>& used) {
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < used.size(); ++k) {
        if (!used[k]) out.push_back(k);
    }
    return out;
}

void greedy(std::span<const double> iou, std::size_t na, std::size_t nb, double threshold,
            std::vector<unsigned char>& used_a, std::vector<unsigned char>& used_b, Matching& out) {
    memory::LargeVector<Candidate> candidates;  // huge pages: hundreds of megabytes are freed quickly
    interrupt::Meter meter;  // millions of candidates take a while to collect and sort
    for (std::size_t i = 0; i < na; ++i) {
        meter.add(2 * nb);
        memory::make_room(candidates, nb, meter);
        for (std::size_t j = 0; j < nb; ++j) {
            const double value = iou[i * nb + j];
            if (value >= threshold) candidates.push_back({value, i, j});
        }
    }
    // Highest IoU first, ties broken by a_index, then b_index (NaN never passes). Each (a, b) is one
    // candidate, so the order is total and an in-place sort gives it exactly.
    std::sort(candidates.begin(), candidates.end(), [&](const Candidate& x, const Candidate& y) {
        meter.add(1);
        if (x.iou != y.iou) return x.iou > y.iou;
        return x.a != y.a ? x.a < y.a : x.b < y.b;
    });

    // Each a_index is taken at most once: record the partner per a, then read back by a_index.
    std::vector<std::size_t> partner(na);
    std::vector<double> score(na);
    for (const Candidate& c : candidates) {
        meter.add(4);
        if (used_a[c.a] || used_b[c.b]) continue;
        used_a[c.a] = 1;
        used_b[c.b] = 1;
        partner[c.a] = c.b;
        score[c.a] = c.iou;
    }
    for (std::size_t i = 0; i < na; ++i) {
        if (!used_a[i]) continue;
        out.matches.emplace_back(i, partner[i]);
        out.scores.push_back(score[i]);
    }
}

void hungarian(std::span<const double> iou, std::size_t na, std::size_t nb, double threshold,
               std::vector<unsigned char>& used_a, std::vector<unsigned char>& used_b, Matching& out) {
    // The whole matrix takes part whatever the threshold; pairs below it are dropped afterwards.
    auto solved = lsap::solve(na, nb, iou.data(), /*maximize=*/true);
    if (!solved) {
        throw InternalError("finite IoU matrix is always solvable: " +
                            std::string(lsap::to_string(solved.error())));
    }
    // The solver delivers its pairs by row ascending.
    for (std::size_t t = 0; t < solved->rows.size(); ++t) {
        const std::size_t i = solved->rows[t];
        const std::size_t j = solved->cols[t];
        const double value = iou[i * nb + j];
        if (!(value >= threshold)) continue;
        used_a[i] = 1;
        used_b[j] = 1;
        out.matches.emplace_back(i, j);
        out.scores.push_back(value);
    }
}

}  // namespace

Matching match_boxes(std::span<const double> iou, std::size_t na, std::size_t nb, Method method,
                     double threshold) {
    std::vector<unsigned char> used_a(na, 0);
    std::vector<unsigned char> used_b(nb, 0);
    Matching out;
    if (na != 0 && nb != 0) {
        if (method == Method::Greedy) {
            greedy(iou, na, nb, threshold, used_a, used_b, out);
        } else {
            hungarian(iou, na, nb, threshold, used_a, used_b, out);
        }
    }
    out.unmatched_a = clear_indices(used_a);
    out.unmatched_b = clear_indices(used_b);
    return out;
}

}  // namespace vestrim::assignment
