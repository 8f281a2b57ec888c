#include "core/sweep.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/interrupt.hpp"
#include "core/lsap.hpp"
#include "core/psum.hpp"
#include "core/types.hpp"

namespace vestrim::sweep {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Coverage of one gt track within a pass, fed its events in frame order.
struct TrackCoverage {
    std::int64_t first_frame = -1;
    std::int64_t first_hit = -1;
    std::int64_t events = 0;
    std::int64_t hits = 0;  // matches and switches
    std::int64_t run = 0;   // frames since the last hit (or since the first event)
    std::int64_t longest_run = 0;
    std::int64_t fragmentations = 0;
    bool gap_after_hit = false;

    void add(std::int64_t frame, bool hit) {
        if (events++ == 0) first_frame = frame;
        if (!hit) {
            ++run;
            gap_after_hit = hits > 0;
            return;
        }
        if (hits++ == 0) first_hit = frame;
        if (gap_after_hit) ++fragmentations;  // tracked, lost, tracked again
        gap_after_hit = false;
        longest_run = std::max(longest_run, run);
        run = 0;
    }
};

// The scratch space of one pass's frame, reused from frame to frame.
struct FrameScratch {
    std::vector<std::size_t> preds;  // the frame's predictions at the threshold
    std::vector<double> cost;
    std::vector<unsigned char> valid;
    std::vector<double> assignment;
    std::vector<unsigned char> gt_used, pred_used;
    std::vector<std::int64_t> matched_pred_ids;  // ids matched (not switched) in the frame
};

}  // namespace

const std::array<double, kRecallPoints>& recall_points() {
    static const std::array<double, kRecallPoints> points = [] {
        std::array<double, kRecallPoints> out{};
        for (std::size_t k = 0; k < kRecallPoints; ++k) {
            const double x = k + 1 == kRecallPoints ? 1.0 : static_cast<double>(k) * (0.9 / 39.0) + 0.1;
            out[k] = std::rint(x * 1e12) / 1e12;
        }
        return out;
    }();
    return points;
}

Counts match_pass(const ClassFrames& frames, const Criterion& criterion, const Formulas& formulas, double threshold,
                  std::vector<double>* collect) {
    Counts counts;
    std::vector<std::int64_t> last_match(frames.num_gt_ids, -1);  // gt id -> pred id it was last paired with
    std::vector<TrackCoverage> tracks(frames.num_gt_ids);
    std::vector<double> event_costs;
    event_costs.reserve(frames.gt_ids.size() + frames.pred_ids.size());
    FrameScratch s;
    interrupt::Meter meter;
    const bool all = std::isnan(threshold);
    std::int64_t frame_number = 0;

    for (std::size_t f = 0; f < frames.frames(); ++f) {
        const std::size_t g0 = frames.gt_offsets[f], ng = frames.gt_offsets[f + 1] - g0;
        s.preds.clear();
        for (std::size_t p = frames.pred_offsets[f]; p < frames.pred_offsets[f + 1]; ++p)
            if (all || frames.pred_scores[p] >= threshold) s.preds.push_back(p);
        const std::size_t np = s.preds.size();
        if (ng == 0 && np == 0) continue;  // a frame with nothing of the class counts nowhere
        meter.add(ng * np + ng + np);
        const std::int64_t frame = frame_number++;
        counts.frames += 1;

        s.gt_used.assign(ng, 0);
        s.pred_used.assign(np, 0);
        s.matched_pred_ids.clear();
        // Events in the order their costs are summed: kept pairs, assigned pairs, misses, false positives.
        auto pair_event = [&](std::size_t i, std::size_t j, bool is_switch) {
            s.gt_used[i] = 1;
            s.pred_used[j] = 1;
            const std::int64_t o = frames.gt_ids[g0 + i], h = frames.pred_ids[s.preds[j]];
            if (is_switch) {
                counts.ids += 1;
            } else {
                counts.tp += 1;
                s.matched_pred_ids.push_back(h);
            }
            last_match[static_cast<std::size_t>(o)] = h;
            tracks[static_cast<std::size_t>(o)].add(frame, true);
            event_costs.push_back(s.cost[i * np + j]);
        };

        if (ng > 0 && np > 0) {
            s.cost.resize(ng * np);
            s.valid.resize(ng * np);
            criterion.pairs(g0, ng, s.preds, s.cost.data(), s.valid.data());

            // An object keeps the track it was last paired with, in any earlier frame, when that
            // track's first unused box here is a valid pair, even if another pairing costs less.
            for (std::size_t i = 0; i < ng; ++i) {
                const std::int64_t h = last_match[static_cast<std::size_t>(frames.gt_ids[g0 + i])];
                if (h < 0) continue;
                for (std::size_t j = 0; j < np; ++j) {
                    if (s.pred_used[j] || frames.pred_ids[s.preds[j]] != h) continue;
                    if (s.valid[i * np + j]) pair_event(i, j, false);
                    break;
                }
            }

            // The rest: a minimum-cost assignment on the whole matrix, where every pair that may
            // not match (invalid, or a row or column already kept) costs more than any set of
            // valid pairs can, so the most valid pairs are used, then the least total cost.
            bool any_valid = false;
            double largest = 0.0;
            for (std::size_t i = 0; i < ng; ++i) {
                if (s.gt_used[i]) continue;
                for (std::size_t j = 0; j < np; ++j) {
                    if (s.pred_used[j] || !s.valid[i * np + j]) continue;
                    const double c = std::fabs(s.cost[i * np + j]);
                    largest = any_valid ? std::max(largest, c) : c;
                    any_valid = true;
                }
            }
            if (any_valid) {
                const double penalty = static_cast<double>(2 * std::min(ng, np)) * (largest + 1.0) + 1.0;
                s.assignment.resize(ng * np);
                auto usable = [&](std::size_t i, std::size_t j) {
                    return !s.gt_used[i] && !s.pred_used[j] && s.valid[i * np + j];
                };
                for (std::size_t i = 0; i < ng; ++i)
                    for (std::size_t j = 0; j < np; ++j)
                        s.assignment[i * np + j] = usable(i, j) ? s.cost[i * np + j] : penalty;
                auto solved = lsap::solve(ng, np, s.assignment.data(), false);
                if (!solved)
                    throw InternalError(std::string("sweep: assignment failed: ") +
                                        std::string(lsap::to_string(solved.error())));
                for (std::size_t k = 0; k < solved->rows.size(); ++k) {
                    const std::size_t i = solved->rows[k], j = solved->cols[k];
                    if (!usable(i, j)) continue;
                    const std::int64_t o = frames.gt_ids[g0 + i], h = frames.pred_ids[s.preds[j]];
                    const std::int64_t previous = last_match[static_cast<std::size_t>(o)];
                    pair_event(i, j, previous >= 0 && previous != h);
                }
            }
        }

        for (std::size_t i = 0; i < ng; ++i) {
            if (s.gt_used[i]) continue;
            counts.fn += 1;
            tracks[static_cast<std::size_t>(frames.gt_ids[g0 + i])].add(frame, false);
            event_costs.push_back(0.0);
        }
        for (std::size_t j = 0; j < np; ++j) {
            if (s.pred_used[j]) continue;
            counts.fp += 1;
            event_costs.push_back(0.0);
        }

        if (collect != nullptr && !s.matched_pred_ids.empty()) {
            // Every prediction of the frame whose track was matched here (two boxes of one track both count).
            for (std::size_t j = 0; j < np; ++j) {
                const std::int64_t h = frames.pred_ids[s.preds[j]];
                if (std::find(s.matched_pred_ids.begin(), s.matched_pred_ids.end(), h) != s.matched_pred_ids.end())
                    collect->push_back(frames.pred_scores[s.preds[j]]);
            }
        }
    }

    counts.gt = counts.tp + counts.ids + counts.fn;
    counts.cost_sum = psum::pairwise_sum(event_costs);
    for (TrackCoverage& t : tracks) {
        if (t.events == 0) continue;
        t.longest_run = std::max(t.longest_run, t.run);  // a trailing run counts too
        const double ratio = static_cast<double>(t.hits) / static_cast<double>(t.events);
        if (ratio >= formulas.mostly_tracked_ratio) counts.mostly_tracked += 1;
        if (ratio < formulas.mostly_lost_ratio) counts.mostly_lost += 1;
        if (t.hits == 0) continue;
        counts.tracked += 1;
        counts.fragmentations += static_cast<double>(t.fragmentations);
        counts.tid_sum += formulas.seconds_per_frame * static_cast<double>(t.first_hit - t.first_frame);
        counts.lgd_sum += formulas.seconds_per_frame * static_cast<double>(t.longest_run);
    }
    return counts;
}

std::array<double, kRecallPoints> thresholds(std::vector<double> scores, double gt) {
    std::array<double, kRecallPoints> out;
    out.fill(kNaN);
    if (scores.empty()) return out;
    std::sort(scores.begin(), scores.end(), std::greater<>());
    const std::size_t n = scores.size();
    auto recall = [&](std::size_t i) { return static_cast<double>(i + 1) / gt; };  // of scores[i]
    const auto& points = recall_points();
    for (std::size_t k = 0; k < kRecallPoints; ++k) {
        const double rho = points[k];
        double value;
        if (rho > recall(n - 1)) {
            value = kNaN;
        } else if (rho < recall(0)) {
            value = scores[0];
        } else {
            // The last score whose recall is at most rho (recall grows with the index).
            std::size_t lo = 0, hi = n;
            while (hi - lo > 1) {
                const std::size_t mid = lo + (hi - lo) / 2;
                (recall(mid) <= rho ? lo : hi) = mid;
            }
            const std::size_t j = lo;
            if (rho == recall(j) || j + 1 == n) {
                value = scores[j];
            } else {
                const double slope = (scores[j + 1] - scores[j]) / (recall(j + 1) - recall(j));
                value = slope * (rho - recall(j)) + scores[j];
                if (std::isnan(value)) {  // infinite scores: from the other end, then the common value
                    value = slope * (rho - recall(j + 1)) + scores[j + 1];
                    if (std::isnan(value) && scores[j] == scores[j + 1]) value = scores[j];
                }
            }
        }
        out[kRecallPoints - 1 - k] = value;  // index 0 is recall 1
    }
    return out;
}

ClassResult sweep_class(const ClassFrames& frames, const Criterion& criterion, const Formulas& formulas,
                        const ParallelFor& parallel) {
    ClassResult result;
    const auto& points = recall_points();
    for (std::size_t k = 0; k < kRecallPoints; ++k) result.recall_hypo[k] = points[kRecallPoints - 1 - k];
    result.confidence.fill(kNaN);
    Metrics unreached;
    unreached.fill(kNaN);
    result.curves.fill(unreached);
    result.best = unreached;
    result.amota = result.amotp = kNaN;
    const double gt = static_cast<double>(frames.gt_ids.size());
    if (gt == 0) {
        result.recall_hypo.fill(kNaN);
        return result;
    }

    std::vector<double> scores;
    match_pass(frames, criterion, formulas, kNaN, &scores);
    if (static_cast<double>(scores.size()) > gt)
        throw SweepError{"the matching collects " + std::to_string(scores.size()) + " scores for " +
                         std::to_string(frames.gt_ids.size()) + " ground-truth boxes"};
    if (scores.empty()) result.recall_hypo.fill(kNaN);
    result.confidence = thresholds(std::move(scores), gt);

    std::vector<double> distinct;
    double previous = -std::numeric_limits<double>::infinity();
    for (double theta : result.confidence) {
        if (std::isnan(theta)) continue;
        if (theta < previous) throw SweepError{"the score thresholds decrease along the recall points"};
        if (distinct.empty() || theta != distinct.back()) distinct.push_back(theta);
        previous = theta;
    }

    if (distinct.empty()) {
        result.curves.fill(formulas.worst(gt, static_cast<double>(frames.num_gt_ids)));
    } else {
        std::vector<Counts> counts(distinct.size());
        auto pass = [&](std::size_t i) { counts[i] = match_pass(frames, criterion, formulas, distinct[i], nullptr); };
        if (parallel) {
            parallel(distinct.size(), pass);
        } else {
            for (std::size_t i = 0; i < distinct.size(); ++i) pass(i);
        }
        result.passes = distinct.size();
        std::size_t next = 0;
        for (std::size_t k = 0; k < kRecallPoints; ++k) {
            const double theta = result.confidence[k];
            if (std::isnan(theta)) continue;
            while (distinct[next] != theta) ++next;
            result.curves[k] = formulas.metrics(counts[next]);
        }
    }

    // The best threshold: the first index with the largest mota (the lowest threshold on a tie).
    std::size_t best = 0;
    bool found = false;
    for (std::size_t k = 0; k < kRecallPoints; ++k) {
        const double mota = result.curves[k][Mota];
        if (std::isnan(mota)) continue;
        if (!found || mota > result.curves[best][Mota]) best = k;
        found = true;
    }
    result.best = result.curves[best];

    std::array<double, kRecallPoints> motar, motp;
    for (std::size_t k = 0; k < kRecallPoints; ++k) {
        motar[k] = std::isnan(result.curves[k][Motar]) ? 0.0 : result.curves[k][Motar];
        motp[k] = std::isnan(result.curves[k][Motp]) ? formulas.worst_motp : result.curves[k][Motp];
    }
    result.amota = psum::pairwise_sum(motar.data(), kRecallPoints) / static_cast<double>(kRecallPoints);
    result.amotp = psum::pairwise_sum(motp.data(), kRecallPoints) / static_cast<double>(kRecallPoints);
    return result;
}

}  // namespace vestrim::sweep
