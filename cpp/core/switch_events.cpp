#include "core/switch_events.hpp"

#include <string>

#include "core/interrupt.hpp"
#include "core/lsap.hpp"

namespace vestrim::switch_events {
namespace {

// Marks an excluded pair in the stage-2 score matrix; finite because the solver rejects infinities.
constexpr double kExcluded = -1e18;

// NaN similarities and NaN thresholds never pass.
inline bool passes(double similarity, double threshold) { return similarity >= threshold; }

}  // namespace

void SwitchEventsAccumulator::update(std::span<const Id> gt_ids, std::span<const Id> pred_ids,
                                     const double* similarity, double threshold) {
    const std::size_t rows = gt_ids.size();
    const std::size_t cols = pred_ids.size();
    if (record_ != nullptr) record_->clear();
    if (rows == 0 || cols == 0) return;
    auto sim = [&](std::size_t i, std::size_t k) { return similarity[i * cols + k]; };

    object_matched_.assign(rows, 0);
    hyp_matched_.assign(cols, 0);
    interrupt::Meter meter;  // a large frame takes long; the caller discards an interrupted accumulator

    // Stage 1: keep each object's remembered hypothesis while it is present and still passes. Only
    // the first position carrying that hypothesis id is considered.
    if (!hyp_for_object_.empty()) {
        for (std::size_t i = 0; i < rows; ++i) {
            const Id object = gt_ids[i];
            const auto remembered = hyp_for_object_.find(object);
            if (remembered == hyp_for_object_.end()) continue;
            const Id hyp = remembered->second;
            std::size_t k = 0;
            while (k < cols && pred_ids[k] != hyp) ++k;
            meter.add(1 + k);
            if (k == cols || hyp_matched_[k] || !passes(sim(i, k), threshold)) continue;
            object_matched_[i] = 1;
            hyp_matched_[k] = 1;
            matched_objects_.insert(object);
            matched_hyps_.insert(hyp);
        }
    }

    // Stage 2: optimal assignment among the positions stage 1 left over.
    free_objects_.clear();
    free_hyps_.clear();
    for (std::size_t i = 0; i < rows; ++i)
        if (!object_matched_[i]) free_objects_.push_back(i);
    for (std::size_t k = 0; k < cols; ++k)
        if (!hyp_matched_[k]) free_hyps_.push_back(k);
    if (free_objects_.empty() || free_hyps_.empty()) return;

    const std::size_t nr = free_objects_.size();
    const std::size_t nc = free_hyps_.size();
    memory::resize_in_pieces(scores_, nr * nc, &meter);
    memory::resize_in_pieces(allowed_, nr * nc, &meter);
    bool every_row_passes = true;
    for (std::size_t a = 0; a < nr; ++a) {
        meter.add(2 * nc);
        bool any = false;
        for (std::size_t b = 0; b < nc; ++b) {
            const double s = sim(free_objects_[a], free_hyps_[b]);
            const bool pass = passes(s, threshold);
            scores_[a * nc + b] = pass ? s : kExcluded;
            allowed_[a * nc + b] = pass;
            any = any || pass;
        }
        every_row_passes = every_row_passes && any;
    }
    bool every_col_passes = true;
    if (nr > nc) {
        for (std::size_t b = 0; b < nc && every_col_passes; ++b) {
            meter.add(4 * nr);  // a column is read across rows
            bool any = false;
            for (std::size_t a = 0; a < nr && !any; ++a) any = allowed_[a * nc + b] != 0;
            every_col_passes = any;
        }
    }
    // A frame that must take an excluded pair is solved with the exclusion kept apart from the
    // scores: at its magnitude the plain solver may round passing scores away. A frame that needs
    // none gets the same answer either way, from the faster solver.
    const bool forced = nr <= nc ? !every_row_passes : !every_col_passes;
    auto solved = forced ? lsap::solve_with_forbidden(nr, nc, scores_.data(), allowed_.data(), true)
                         : lsap::solve(nr, nc, scores_.data(), true);
    auto uses_excluded = [&](const lsap::Assignment& a) {
        for (std::size_t t = 0; t < a.rows.size(); ++t)
            if (!allowed_[a.rows[t] * nc + a.cols[t]]) return true;
        return false;
    };
    if (solved && !forced && uses_excluded(*solved))
        solved = lsap::solve_with_forbidden(nr, nc, scores_.data(), allowed_.data(), true);
    if (!solved)
        throw InternalError("finite score matrix is solvable: " + std::string(lsap::to_string(solved.error())));

    for (std::size_t t = 0; t < solved->rows.size(); ++t) {
        const std::size_t i = free_objects_[solved->rows[t]];
        const std::size_t k = free_hyps_[solved->cols[t]];
        // The solver must pair every row or column of the smaller side, excluded pairs included.
        if (!passes(sim(i, k), threshold)) continue;
        const Id object = gt_ids[i];
        const Id hyp = pred_ids[k];

        const auto remembered = hyp_for_object_.find(object);
        if (remembered != hyp_for_object_.end() && remembered->second != hyp && !matched_hyps_.contains(hyp)) {
            ++events_.num_ascend;
            if (record_ != nullptr) record_->push_back({match_record::SwitchKind::Ascend, i, k});
        }
        const auto covered = object_for_hyp_.find(hyp);
        if (covered != object_for_hyp_.end() && covered->second != object) {
            ++events_.num_transfer;
            if (record_ != nullptr) record_->push_back({match_record::SwitchKind::Transfer, i, k});
            if (!matched_objects_.contains(object)) {
                ++events_.num_migrate;
                if (record_ != nullptr) record_->push_back({match_record::SwitchKind::Migrate, i, k});
            }
        }

        hyp_for_object_[object] = hyp;
        object_for_hyp_[hyp] = object;
        matched_objects_.insert(object);
        matched_hyps_.insert(hyp);
    }
}

QuorvantixSwitchEvents compute_quorvantix_switch_events(const SimFrames& frames, double threshold) {
    SwitchEventsAccumulator acc;
    interrupt::Meter meter;
    SimFrames::Buffer buffer;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const SimFrame f = frames.frame(k, buffer);
        meter.add(1 + f.rows() + f.cols() + 2 * f.rows() * f.cols());
        acc.update(f.gt_ids, f.pred_ids, f.similarity, threshold);
    }
    return acc.events();
}

}  // namespace vestrim::switch_events
