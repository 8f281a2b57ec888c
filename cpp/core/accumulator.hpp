// Streaming CLEAR + Identity: both accumulators fed the same frames side by side.
#pragma once

#include <optional>
#include <span>

#include "core/clear.hpp"
#include "core/identity.hpp"

namespace vestrim::accumulator {

struct Accumulator {
    clear::ClearAccumulator clear;
    identity::IdentityAccumulator identity;
    double iou_threshold = 0.5;

    // Folds one frame (row-major n x m similarity) into both accumulators, whole or not at all: if
    // CLEAR's solver refuses the frame (InternalError), memory runs out or the call is interrupted,
    // neither accumulator has taken any part of it. CLEAR solves the frame before changing its state;
    // Identity's part is prepared first (see prepare_update) and what remains of it afterwards
    // cannot fail.
    void update(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const double* similarity) {
        interrupt::Meter meter;
        std::optional<identity::IdentityAccumulator> next =
            identity.prepare_update(gt_ids, pred_ids, similarity, iou_threshold, meter);
        clear.update(gt_ids, pred_ids, similarity, iou_threshold);
        if (next) {
            identity = std::move(*next);
        } else {
            identity.update(gt_ids, pred_ids, similarity, iou_threshold);
        }
    }

    std::uint64_t num_frames() const { return clear.num_frames(); }
};

}  // namespace vestrim::accumulator
