#include "core/evaluate.hpp"

#include "core/sparse_sim.hpp"

namespace vestrim::evaluate {

Evaluation evaluate(std::span<const Frame> frames, double threshold, Convention convention) {
    clear::ClearAccumulator clear_acc(convention);
    identity::IdentityAccumulator identity_acc;
    const sparse_sim::SparseSimFrames store =
        sparse_sim::store_box_ious(frames, [&](const Frame& f, const double* iou) {
            clear_acc.update(f.gt_ids, f.pred_ids, iou, threshold);
            identity_acc.update(f.gt_ids, f.pred_ids, iou, threshold);
        });
    return Evaluation{clear_acc.compute(), identity_acc.compute(), hota::compute_hota_from_sparse(store, convention)};
}

Evaluation evaluate_from_similarity(std::span<const SimFrame> frames, double threshold, Convention convention) {
    return Evaluation{clear::compute_clear_from_similarity(frames, threshold, convention),
                      identity::compute_identity_from_similarity(frames, threshold),
                      hota::compute_hota_from_similarity(frames, convention)};
}

}  // namespace vestrim::evaluate
