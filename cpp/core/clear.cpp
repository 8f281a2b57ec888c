#include "core/clear.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>

#include "core/frame_rows.hpp"
#include "core/interrupt.hpp"
#include "core/iou.hpp"
#include "core/lsap.hpp"
#include "core/row_scan.hpp"

namespace vestrim::clear {
namespace {

// Score of a pair that must not be matched. Finite, because the solver rejects infinities.
constexpr double kForbidden = -1e18;

// Whether a solved frame assigns a pair below the threshold (a forbidden pair under the module rule).
template <class Rows>
bool uses_forbidden(const lsap::Assignment& solved, const Rows& similarity, double threshold) {
    for (std::size_t t = 0; t < solved.rows.size(); ++t)
        if (!(similarity.at(solved.rows[t], solved.cols[t]) >= threshold)) return true;
    return false;
}

// The lowest similarity the benchmark rule scores: below it a cell scores 0 (NaN included, so a
// NaN never matches).
double benchmark_lowest(double threshold) { return threshold - kBenchmarkEpsilon; }

}  // namespace

const GtTrack* TrackState::find(Id gt_id) const {
    const std::uint64_t* stored = index_.find(static_cast<std::uint64_t>(gt_id));
    return stored == nullptr ? nullptr : &tracks_[*stored - 1];
}

std::uint32_t TrackState::track_index(Id gt_id) {
    const auto [stored, inserted] = index_.try_emplace(static_cast<std::uint64_t>(gt_id), tracks_.size() + 1);
    if (inserted) tracks_.emplace_back();
    return static_cast<std::uint32_t>(stored - 1);
}

void TrackState::record_presence(GtTrack& track, bool matched) {
    if (matched) {
        if (track.tracked && track.gap_open) frag_present_only += 1;
        track.tracked = true;
        track.gap_open = false;
    } else if (track.tracked) {
        track.gap_open = true;
    }
}

template <class Rows>
ClearAccumulator::ModuleScores ClearAccumulator::fill_module_scores(std::span<const Id> gt_ids,
                                                                    std::span<const Id> pred_ids,
                                                                    const Rows& similarity, double threshold) {
    // Acceptable pairs keep their similarity, the pair repeating a gt's most recent match gets the
    // continuity bonus on top, everything else (NaN included) is forbidden. One scan finds the
    // acceptable cells and the largest finite magnitude among them, which sets the bonus.
    const std::size_t n = gt_ids.size();
    const std::size_t m = pred_ids.size();
    const std::size_t cells = n * m;
    column_allowed_.assign(m, 0);
    accepted_.clear();
    row_accepted_end_.resize(n);
    double largest = 0.0;
    bool every_row_allowed = true;
    interrupt::Meter meter;  // a large frame's scan takes long; nothing has changed state yet
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(m);
        memory::make_room(accepted_, m, meter);
        const std::size_t before = accepted_.size();
        similarity.for_each_at_least(i, threshold, [&](std::size_t j, double value) {
            accepted_.push_back(j);
            column_allowed_[j] = 1;
            const double magnitude = std::fabs(value);
            if (std::isfinite(magnitude) && magnitude > largest) largest = magnitude;
        });
        row_accepted_end_[i] = accepted_.size();
        meter.add(8 * (accepted_.size() - before));  // each accepted cell is recorded, then scored
        every_row_allowed = every_row_allowed && accepted_.size() != before;
    }
    // Without an acceptable cell there is nothing to match: no solver, no score matrix.
    if (accepted_.empty()) return ModuleScores::NoneAcceptable;
    const bool forced = n <= m ? !every_row_allowed
                               : std::find(column_allowed_.begin(), column_allowed_.end(), 0) != column_allowed_.end();

    // The bonus dominates any acceptable similarity: (M + 1) * 1000 for their largest finite
    // magnitude M.
    const double bonus = (largest + 1.0) * 1000.0;
    memory::resize_in_pieces(allowed_, cells, &meter);
    memory::resize_in_pieces(scores_, cells, &meter);
    std::size_t t = 0;
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(2 * m);
        const std::size_t begin = t;
        const std::size_t end = row_accepted_end_[i];
        unsigned char* allowed_row = allowed_.data() + i * m;
        std::fill(allowed_row, allowed_row + m, 0);
        for (std::size_t a = begin; a < end; ++a) allowed_row[accepted_[a]] = 1;
        double* score_row = scores_.data() + i * m;
        // Forbidden cells are read by the plain solver only; a frame that must take one goes to the
        // solver that keeps them apart and never reads their values.
        if (!forced) std::fill(score_row, score_row + m, kForbidden);
        if (t == end) continue;
        const GtTrack* track = state_.find(gt_ids[i]);
        const bool continues = track != nullptr && track->has_last_match;
        const Id last_match = continues ? track->last_match : 0;
        for (; t < end; ++t) {
            const std::size_t j = accepted_[t];
            const double value = similarity.at(i, j);
            score_row[j] = continues && pred_ids[j] == last_match ? value + bonus : value;
        }
    }
    return forced ? ModuleScores::Forced : ModuleScores::Plain;
}

template <class Rows>
void ClearAccumulator::fill_benchmark_scores(std::span<const Id> gt_ids, std::span<const Id> pred_ids,
                                             const Rows& similarity, double threshold) {
    const std::size_t n = gt_ids.size();
    const std::size_t m = pred_ids.size();
    const std::uint64_t frame = state_.solved_frames;
    const double lowest = benchmark_lowest(threshold);
    interrupt::Meter meter;  // a large frame's scan takes long; nothing has changed state yet
    memory::resize_in_pieces(scores_, n * m, &meter);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(m);
        // The bonus goes to the prediction this gt id was matched to in the previous solved frame.
        const GtTrack* track = state_.find(gt_ids[i]);
        const bool continues = track != nullptr && frame > 0 && track->last_matched_frame == frame - 1;
        const Id last_match = continues ? track->last_match : 0;
        // Each cell scores its similarity, plus 1000 for the bonus.
        similarity.transform_row(i, scores_.data() + i * m, [&](std::size_t j, double s) {
            return s >= lowest ? (continues && pred_ids[j] == last_match ? 1000.0 : 0.0) + s : 0.0;
        });
    }
}

void ClearAccumulator::update(std::span<const Id> gt_ids, std::span<const Id> pred_ids,
                              const double* similarity, double threshold) {
    update_rows(gt_ids, pred_ids, frame_rows::DenseRows(similarity, pred_ids.size()), threshold);
}

void ClearAccumulator::update(const sparse_sim::SparseSimFrames& store, std::size_t k, double threshold) {
    const auto gt_ids = store.gt_ids(k);
    const auto pred_ids = store.pred_ids(k);
    // A +0.0 cell is left alone when it cannot be acceptable (module) nor score (benchmark).
    const double lowest = convention_ == Convention::Benchmark ? benchmark_lowest(threshold) : threshold;
    if (!(0.0 >= lowest)) {
        update_rows(gt_ids, pred_ids, frame_rows::StoredRows(store, k), threshold);
        return;
    }
    dense_.resize(gt_ids.size() * pred_ids.size());
    store.densify(k, dense_.data());
    update(gt_ids, pred_ids, dense_.data(), threshold);
}

template <class Rows>
void ClearAccumulator::update_rows(std::span<const Id> gt_ids, std::span<const Id> pred_ids, const Rows& similarity,
                                   double threshold) {
    const std::size_t n = gt_ids.size();
    const std::size_t m = pred_ids.size();
    const bool benchmark = convention_ == Convention::Benchmark;

    // With both sides present, the frame's matching is solved before any state changes, so that a
    // solver failure leaves the accumulator exactly as it was (no half-applied frame).
    std::optional<lsap::Assignment> solved;
    if (n > 0 && m > 0) {
        // Under the module rule a frame that must take a forbidden pair is solved with the penalty
        // kept apart from the scores: at its magnitude the plain solver may round allowed scores
        // away. A frame that needs none gets the same answer either way, from the faster solver.
        ModuleScores module_scores = ModuleScores::Plain;
        if (benchmark) {
            fill_benchmark_scores(gt_ids, pred_ids, similarity, threshold);
        } else {
            module_scores = fill_module_scores(gt_ids, pred_ids, similarity, threshold);
        }
        if (module_scores == ModuleScores::NoneAcceptable) {
            solved.emplace();
        } else {
            const bool forced = module_scores == ModuleScores::Forced;
            auto result = forced ? lsap::solve_with_forbidden(n, m, scores_.data(), allowed_.data(), true)
                                 : lsap::solve(n, m, scores_.data(), true);
            if (result && !benchmark && !forced && uses_forbidden(*result, similarity, threshold))
                result = lsap::solve_with_forbidden(n, m, scores_.data(), allowed_.data(), true);
            if (!result) {
                throw InternalError("finite score matrix is solvable: " +
                                    std::string(lsap::to_string(result.error())));
            }
            solved = std::move(*result);
        }
    }

    if (record_ != nullptr) record_->clear();
    totals_.num_frames += 1;
    totals_.num_gt += n;
    if (n == 0) {
        totals_.num_false_positives += m;
        return;
    }

    // Resolve every row to its trajectory record once; indices stay valid while records are added.
    row_tracks_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t index = state_.track_index(gt_ids[i]);
        row_tracks_[i] = index;
        state_.track(index).present_count += 1;
    }

    if (m == 0) {
        totals_.num_misses += n;
        for (std::size_t i = 0; i < n; ++i) state_.record_presence(state_.track(row_tracks_[i]), false);
        return;
    }

    const std::uint64_t frame = state_.solved_frames;
    const auto& rows = solved->rows;
    const auto& cols = solved->cols;
    std::uint64_t k = 0;
    // The benchmarks add up a frame's matched similarities first, in row order, and then add that
    // frame's sum to the total; the module adds match by match.
    double frame_sum = 0.0;
    for (std::size_t t = 0; t < rows.size(); ++t) {
        const std::size_t i = rows[t];
        const std::size_t j = cols[t];
        const double s = similarity.at(i, j);
        if (benchmark) {
            if (!(scores_[i * m + j] > kBenchmarkEpsilon)) continue;
        } else {
            // The solver also assigns forbidden pairs when nothing better exists; drop them here.
            // Written as >= so that a NaN similarity or a NaN threshold never yields a match.
            if (!(s >= threshold)) continue;
        }
        if (benchmark) {
            frame_sum += s;
        } else {
            state_.motp_sum += s;
        }

        GtTrack& track = state_.track(row_tracks_[i]);
        const Id pred = pred_ids[j];
        const bool switched = track.has_last_match && track.last_match != pred;
        if (switched) totals_.num_switches += 1;
        if (record_ != nullptr) record_->push_back({i, j, switched});
        track.has_last_match = true;
        track.last_match = pred;
        k += 1;
        track.matched_count += 1;

        // A new matched run starts unless the id was matched in the previous solved frame. An id
        // listed twice may be matched twice in this frame: the second time, the previous solved
        // frame's answer has moved to prior_matched_frame.
        bool matched_before;
        if (track.last_matched_frame == frame) {
            matched_before = frame > 0 && track.prior_matched_frame == frame - 1;
        } else {
            matched_before = frame > 0 && track.last_matched_frame == frame - 1;
            track.prior_matched_frame = track.last_matched_frame;
            track.last_matched_frame = frame;
        }
        if (!matched_before) track.segment_count += 1;
    }

    for (std::size_t i = 0; i < n; ++i) {
        GtTrack& track = state_.track(row_tracks_[i]);
        state_.record_presence(track, track.last_matched_frame == frame);
    }
    state_.solved_frames = frame + 1;
    if (benchmark) state_.motp_sum += frame_sum;

    totals_.num_matches += k;
    totals_.num_false_positives += m - k;
    totals_.num_misses += n - k;
}

ClearMetrics ClearAccumulator::compute() const {
    ClearMetrics r;
    r.num_frames = totals_.num_frames;
    r.num_gt = totals_.num_gt;
    r.num_matches = totals_.num_matches;
    r.num_false_positives = totals_.num_false_positives;
    r.num_misses = totals_.num_misses;
    r.num_switches = totals_.num_switches;

    if (convention_ == Convention::Benchmark && r.num_gt == 0) {
        // The benchmark stops at the false positives: every ratio stays 0.
        r.frag_present_only = state_.frag_present_only;
        return r;
    }
    const auto tracks = state_.tracks();
    r.track_ratios.reserve(tracks.size());
    for (const GtTrack& track : tracks) {
        r.track_ratios.push_back(static_cast<double>(track.matched_count) /
                                 static_cast<double>(track.present_count));
        if (track.segment_count > 0) r.frag += track.segment_count - 1;
    }
    // Ratios are finite and non-negative, so plain > is a total order on them.
    std::sort(r.track_ratios.begin(), r.track_ratios.end(), std::greater<double>());
    for (const double ratio : r.track_ratios) {
        switch (track_class(ratio)) {
            case TrackClass::MostlyTracked: r.mt += 1; break;
            case TrackClass::PartiallyTracked: r.pt += 1; break;
            case TrackClass::MostlyLost: r.ml += 1; break;
        }
    }

    finalise_ratios(r, state_.motp_sum, convention_);
    r.frag_present_only = state_.frag_present_only;
    return r;
}

void finalise_ratios(ClearMetrics& m, double motp_sum, Convention convention) {
    const std::uint64_t tp = m.num_matches;
    const std::uint64_t fp = m.num_false_positives;
    const std::uint64_t fn = m.num_misses;
    const std::uint64_t idsw = m.num_switches;
    m.motp = tp > 0 ? motp_sum / static_cast<double>(tp) : 0.0;
    const double tp_f = static_cast<double>(tp);
    const double fp_f = static_cast<double>(fp);
    const double fn_f = static_cast<double>(fn);
    const double idsw_f = static_cast<double>(idsw);
    const double w = std::max(tp_f + fn_f, 1.0);
    if (convention == Convention::Benchmark) {
        m.mota = ((tp_f - fp_f) - idsw_f) / w;
    } else {
        m.mota = m.num_gt > 0 ? 1.0 - static_cast<double>(fn + fp + idsw) / static_cast<double>(m.num_gt) : 0.0;
    }
    m.moda = (tp_f - fp_f) / w;
    m.smota = ((motp_sum - fp_f) - idsw_f) / w;
    const double switch_penalty = idsw > 0 ? std::log10(idsw_f) : 0.0;
    m.motal = ((tp_f - fp_f) - switch_penalty) / w;
    m.clr_re = tp_f / w;
    m.clr_pr = tp_f / std::max(tp_f + fp_f, 1.0);
}

TrackClass track_class(double ratio) {
    if (ratio > 0.8) return TrackClass::MostlyTracked;
    if (ratio >= 0.2) return TrackClass::PartiallyTracked;
    return TrackClass::MostlyLost;
}

ClearMetrics compute_clear(std::span<const Frame> frames, double threshold, Convention convention,
                           double* motp_sum) {
    ClearAccumulator acc(convention);
    memory::LargeVector<double> iou;  // one frame's matrix, reused
    interrupt::Meter meter;
    for (const Frame& frame : frames) {
        const std::size_t n = frame.gt_ids.size();
        const std::size_t m = frame.pred_ids.size();
        meter.add(1 + n + m + 4 * n * m);
        if (n > 0 && m > 0) {
            memory::resize_in_pieces(iou, n * m, &meter);
            iou::iou_matrix(frame.gt_boxes, frame.pred_boxes, iou.data());
        }
        acc.update(frame.gt_ids, frame.pred_ids, iou.data(), threshold);
    }
    if (motp_sum != nullptr) *motp_sum = acc.motp_sum();
    return acc.compute();
}

ClearMetrics compute_clear_from_similarity(const SimFrames& frames, double threshold,
                                           Convention convention, double* motp_sum) {
    ClearAccumulator acc(convention);
    interrupt::Meter meter;
    SimFrames::Buffer buffer;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const SimFrame frame = frames.frame(k, buffer);
        meter.add(1 + frame.rows() + frame.cols() + 2 * frame.rows() * frame.cols());
        acc.update(frame.gt_ids, frame.pred_ids, frame.similarity, threshold);
    }
    if (motp_sum != nullptr) *motp_sum = acc.motp_sum();
    return acc.compute();
}

void removal_matches(const double* similarity, std::size_t n, std::size_t m, double threshold,
                     memory::LargeVector<double>& scores, std::int64_t* gt_of_pred) {
    std::fill(gt_of_pred, gt_of_pred + m, std::int64_t{-1});
    if (n == 0 || m == 0) return;
    const double lowest = benchmark_lowest(threshold);
    interrupt::Meter meter;  // a large frame takes a while to score
    memory::resize_in_pieces(scores, n * m, &meter);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(2 * m);
        frame_rows::DenseRows(similarity, m).transform_row(i, scores.data() + i * m, [&](std::size_t, double s) {
            return s >= lowest ? 0.0 + s : 0.0;
        });
    }
    auto solved = lsap::solve(n, m, scores.data(), true);
    if (!solved) throw InternalError("finite score matrix is solvable: " + std::string(lsap::to_string(solved.error())));
    for (std::size_t t = 0; t < solved->rows.size(); ++t) {
        const std::size_t i = solved->rows[t];
        const std::size_t j = solved->cols[t];
        if (scores[i * m + j] > kBenchmarkEpsilon) gt_of_pred[j] = static_cast<std::int64_t>(i);
    }
}

}  // namespace vestrim::clear
