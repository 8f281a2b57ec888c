// CLEAR, Identity and HOTA of one sequence together, from one computation of each frame's
// similarity. The one frame loop behind every `evaluate`, whatever the convention.
#pragma once

#include <span>

#include "core/clear.hpp"
#include "core/hota.hpp"
#include "core/identity.hpp"
#include "core/types.hpp"

namespace vestrim::evaluate {

struct Evaluation {
    clear::ClearMetrics clear;
    identity::IdentityMetrics identity;
    hota::HotaMetrics hota;
    double motp_sum = 0.0;  // CLEAR's matches' summed similarity, in match order
};

// Box frames: every frame's IoU matrix is computed once, handed while fresh to the CLEAR and
// Identity accumulators (which consume a sequence frame by frame) and kept without its zeros for
// HOTA's two passes over the whole sequence. The three computations are independent, so
// interleaving them changes no result; the store keeps memory proportional to the overlapping pairs
// instead of gt x pred. Identity takes no convention: its rules are the same under both.
//
// With `threads` > 1 (see parallel.hpp) the IoUs are computed first, by chunks of frames in
// parallel, and the families then run side by side on the stored frames (CLEAR and Identity lay
// each frame out densely again), each thread turning to HOTA's per-frame matchings once its family
// is done. Each family sees the frames in the same order either way: the results are identical.
Evaluation evaluate(std::span<const Frame> frames, double threshold, Convention convention = Convention::Module,
                    std::size_t threads = 1);

// Similarity frames (see SimFrames), read by each family in turn; threads likewise.
Evaluation evaluate_from_similarity(const SimFrames& frames, double threshold,
                                    Convention convention = Convention::Module, std::size_t threads = 1);

}  // namespace vestrim::evaluate
