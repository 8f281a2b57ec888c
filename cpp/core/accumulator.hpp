// Streaming CLEAR + Identity: both accumulators fed the same frames side by side.
#pragma once

#include <span>

#include "core/clear.hpp"
#include "core/identity.hpp"

namespace vestrim::accumulator {

struct Accumulator {
    clear::ClearAccumulator clear;
    identity::IdentityAccumulator identity;
    double iou_threshold = 0.5;

    // Folds one frame (row-major n x m similarity) into both accumulators, CLEAR first. If CLEAR's
    // solver refuses the frame (InternalError), neither accumulator has taken any part of it.
    void update(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity) {
        clear.update(gt_ids, pred_ids, similarity, iou_threshold);
        identity.update(gt_ids, pred_ids, similarity, iou_threshold);
    }

    std::uint64_t num_frames() const { return clear.num_frames(); }
};

}  // namespace vestrim::accumulator
